#include "cli/ManPage.h"

#include <map>
#include <nlohmann/json.hpp>

#include "cli/CommandLine.h"
#include "cli/Outcome.h"
#include "session/ServiceRecord.h"

namespace {

// Text for roff: backslashes escaped, a line starting with "." or "'" protected, the help's
// continuation indent (a line break and spaces) made one space.
std::string Roff(const std::string& Text) {
  std::string Out;
  bool LineStart = true;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const char C = Text[i];
    if (C == '\n') {
      std::size_t Next = i + 1;
      while (Next < Text.size() && Text[Next] == ' ')
        ++Next;
      // An indented continuation joins its line; a plain line break stays one.
      if (Next > i + 1) {
        Out += ' ';
        i = Next - 1;
        continue;
      }
      Out += '\n';
      LineStart = true;
      continue;
    }
    if (LineStart && (C == '.' || C == '\'')) Out += "\\&";
    LineStart = false;
    if (C == '\\')
      Out += "\\e";
    else if (C == '-')
      Out += "\\-";
    else
      Out += C;
  }
  return Out;
}

// The record's fields with what each holds; a field the writer adds later shows without one
// until it is described here (a test asks for every one).
const std::map<std::string, std::string>& FieldHelp() {
  static const std::map<std::string, std::string> Help = {
      {"Start", "when the command began (UTC, ISO 8601 with milliseconds)"},
      {"End", "when it ended"},
      {"DurationSeconds", "seconds between them"},
      {"Program", "the program that wrote the line: caddis or caddis-updater"},
      {"ToolVersion", "the program's version"},
      {"HostName", "the computer's name"},
      {"Port", "the port's number n of COMn"},
      {"Adapter", "the USB serial adapter of the port {Vendor, Product, Serial, Name}, or null"},
      {"DeviceID", "the card's device ID"},
      {"Before", "the card before {DeviceID, FirmwareVersion, FPGAVersion}, or null"},
      {"After", "the card after, as Before"},
      {"AdapterAfter", "the adapter the card answered on at the end, as Adapter"},
      {"Image", "the image sent {File, Path, Size, SHA256}, or null"},
      {"Action", "update-fpga, update-usb-audio, update-firmware or restore-firmware"},
      {"Result",
       "success, failed, interrupted, skipped (the card already ran the release's image) or "
       "rolled-back (a new firmware failed its proof and the kept one went back)"},
      {"Failure", "why it failed, or null"},
      {"LinkHealth", "the serial link's round trips, keep-alives, damaged frames and bytes"},
      {"KeptFirmware", "the card's firmware read back and kept before the update {File, SHA256}"},
      {"BootLoaderSerial", "the USB serial number of the card's boot loader, or null"},
      {"Override", "an identity check the operator overrode (restore --any-card), or null"},
      {"Release",
       "the release the image came from {Name, Version, File, SHA256, Signer, Signed}, or null"},
      {"Downgrade", "true when a firmware older than the card's went in (--allow-downgrade)"},
  };
  return Help;
}

}  // namespace

std::vector<tRecordFieldHelp> RecordFieldsHelp() {
  std::vector<tRecordFieldHelp> Fields;
  // The fields in the order the writer writes them.
  const nlohmann::ordered_json Line =
      nlohmann::ordered_json::parse(ServiceRecordLine(tServiceEntry{}), nullptr, false);
  if (!Line.is_object()) return Fields;
  for (const auto& [Name, Value] : Line.items()) {
    const auto Found = FieldHelp().find(Name);
    Fields.push_back({Name, Found == FieldHelp().end() ? "" : Found->second});
  }
  return Fields;
}

std::string CaddisManPage(const std::string& Version) {
  std::string Page = ".TH CADDIS 1 \"\" \"caddis " + Version + "\" \"User Commands\"\n";
  Page +=
      ".SH NAME\ncaddis \\- the Caddis audio interface card's service tool, command line\n"
      ".SH SYNOPSIS\n.B caddis\n[\\fB\\-\\-version\\fR] [\\fB\\-v\\fR|\\fB\\-\\-verbose\\fR] "
      "\\fIcommand\\fR [\\fIoptions\\fR]\n"
      ".SH DESCRIPTION\ncaddis talks to the Caddis card over its serial link and its USB DFU "
      "boot loader: status,\ntest traffic, updates of the FPGA, the USB-audio processor and the "
      "firmware, the service\nrecord and the production line's station. "
      "\\fB\\-v\\fR traces every frame and DFU request on\nstandard error.\n"
      ".SH COMMANDS\n";
  for (const tCommand& Command : CliCommands()) {
    Page += ".SS \"" + Roff(Command.Name) + "\"\n";
    Page += ".B " + Roff(Command.Synopsis) + "\n.PP\n" + Roff(Command.Summary) + "\n";
    for (const tOptionHelp& Option : Command.Options) {
      Page += ".TP\n\\fB" + Roff(Option.Name) + "\\fR";
      if (*Option.Value) Page += " \\fI" + Roff(Option.Value) + "\\fR";
      Page += "\n" + Roff(Option.Help) + "\n";
    }
    if (*Command.Notes) Page += ".PP\n" + Roff(Command.Notes);
    if (!Page.empty() && Page.back() != '\n') Page += "\n";
  }
  Page +=
      ".SH \"JSON EVENTS\"\nWith \\fB\\-\\-json\\fR a command writes JSON Lines on standard "
      "output, each object with\n\\fBevent\\fR, \\fBport\\fR (a number or null) and \\fBtime\\fR "
      "(UTC, ISO 8601 with milliseconds):\n";
  const char* const Events[][2] = {
      {"start", "first: command; image {file, size} where one is sent"},
      {"card",
       "the card identified itself: device_id, firmware, fpga; phase before, after or other"},
      {"boot-loader", "the card's boot loader was found: serial, location"},
      {"progress", "at most once per whole percent: phase, percent"},
      {"message", "an operator's text: text"},
      {"answer", "send-hex, echo: a message the card sent: name, hex"},
      {"status", "monitor: a value changed, or 5 s passed: status"},
      {"record", "history: a line of the service record: line"},
      {"result", "last on success: ok, exit 0, duration_s, before, after, record"},
      {"error", "last on failure: ok false, exit, kind, message, duration_s"},
      {"summary", "last for several cards and the station: ok, exit, cards"},
  };
  for (const auto& Event : Events)
    Page += ".TP\n.B " + Roff(Event[0]) + "\n" + Roff(Event[1]) + "\n";
  Page += ".SH \"SERVICE RECORD\"\nOne JSON line per card update or restore, with these fields:\n";
  for (const tRecordFieldHelp& Field : RecordFieldsHelp())
    Page += ".TP\n.B " + Roff(Field.Name) + "\n" + Roff(Field.Help) + "\n";
  Page += ".SH \"EXIT STATUS\"\n.TP\n.B 0\nsuccess\n";
  for (const tOutcome& Outcome : Outcomes())
    Page += ".TP\n.B " + std::to_string(Outcome.Exit) + "\n" + Roff(Outcome.Name) + ": " +
            Roff(Outcome.Help) + "\n";
  Page +=
      ".PP\nWith several cards: 0 when every card succeeded, else the status the failed ones "
      "share, or 1.\n"
      ".SH FILES\n"
      ".TP\n.I $XDG_CONFIG_HOME/caddis/Serial.ini\nthe settings (~/.config by default); "
      "/etc/caddis/Serial.ini is read while the user has none\n"
      ".TP\n.I $XDG_CONFIG_HOME/caddis/ports.txt\nthe numbers given to serial devices\n"
      ".TP\n.I $XDG_DATA_HOME/caddis\nthe default images (SkerryFPGA.bit, xmos.bin, "
      "SkerryTiva.dfu), after the working folder\n"
      ".TP\n.I $XDG_STATE_HOME/caddis/service-record.jsonl\nthe service record; the kept "
      "firmware in the folder firmware beside it; Log.txt\n"
      ".TP\n.I $XDG_RUNTIME_DIR/caddis\nthe port folder (ports/COMn links) and the virtual USB "
      "bus\n"
      ".PP\nRun from a build tree the settings and images lie beside the program. caddis paths "
      "shows\nevery path in use and where it came from.\n"
      ".SH ENVIRONMENT\nCADDIS_RUNTIME_DIR, CADDIS_CONFIG_DIR, CADDIS_LOG_DIR, CADDIS_IMAGE_DIR, "
      "CADDIS_RECORD.\n";
  return Page;
}

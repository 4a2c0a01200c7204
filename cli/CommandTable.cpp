// The commands of caddis: one entry per subcommand, each with its options bound to the
// fields of its own options struct. The parser fills the struct; the command reads its fields.
#include <CLI/CLI.hpp>
#include <concepts>

#include "cli/CliArgs.h"
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/SeveralCards.h"
#include "cli/SiteCommands.h"

namespace {

// What is left to read of an option once the whole command line is parsed: false with the
// usage error shown and Exit set.
using tRead = std::function<bool(const tCliContext& Context, tCliResult& Exit)>;

// A group of options a command's options are composed of (not the command's struct itself).
template <class tGroup, class tOptions>
concept GroupOf = std::derived_from<tOptions, tGroup> && !std::same_as<tOptions, tGroup>;

// One option of a command whose options are tOptions: its help, and how it is added to the
// command's subcommand, bound to its field (with what is left to read after the parse, if any).
template <class tOptions>
struct tOption {
  tOptionHelp Help;
  std::function<tRead(CLI::App& Sub, tOptions& Options)> Add;

  tOption(tOptionHelp aHelp, std::function<tRead(CLI::App&, tOptions&)> aAdd)
      : Help(aHelp), Add(std::move(aAdd)) {}
  // An option of one of the command's groups.
  template <GroupOf<tOptions> tGroup>
  tOption(const tOption<tGroup>& Shared)
      : Help(Shared.Help),
        Add([Add = Shared.Add](CLI::App& Sub, tOptions& Options) { return Add(Sub, Options); }) {}
};

template <class tGroup>
tOption<tGroup> Flag(const char* Name, const char* Help, bool tGroup::*Field) {
  return {{Name, "", Help}, [=](CLI::App& Sub, tGroup& Options) {
            Sub.add_flag(Name, Options.*Field, Help);
            return tRead();
          }};
}

template <class tGroup>
tOption<tGroup> Text(const char* Name, const char* Value, const char* Help,
                     std::string tGroup::*Field) {
  return {{Name, Value, Help}, [=](CLI::App& Sub, tGroup& Options) {
            Sub.add_option(Name, Options.*Field, Help);
            return tRead();
          }};
}

// A text whose absence the command tells apart from an empty one.
template <class tGroup>
tOption<tGroup> Text(const char* Name, const char* Value, const char* Help,
                     std::optional<std::string> tGroup::*Field) {
  return {{Name, Value, Help}, [=](CLI::App& Sub, tGroup& Options) {
            Sub.add_option_function<std::string>(
                Name, [&Given = Options.*Field](const std::string& Text) { Given = Text; }, Help);
            return tRead();
          }};
}

// A text given once or more, each kept.
template <class tGroup>
tOption<tGroup> Texts(const char* Name, const char* Value, const char* Help,
                      std::vector<std::string> tGroup::*Field) {
  return {{Name, Value, Help}, [=](CLI::App& Sub, tGroup& Options) {
            Sub.add_option(Name, Options.*Field, Help)->allow_extra_args(false);
            return tRead();
          }};
}

// Seconds, 0 to 86400, read as the parser fills the field (its initial value is the default).
// A value refused is a usage error, said when the options are read in help's order, so of
// several mistakes the same one is named as by the checks before it.
template <class tGroup>
tOption<tGroup> Seconds(const char* Name, const char* Help, double tGroup::*Field) {
  return {{Name, "S", Help, tGroup{}.*Field}, [=](CLI::App& Sub, tGroup& Options) -> tRead {
            auto Refused = std::make_shared<std::optional<std::string>>();
            Sub.add_option_function<std::string>(
                Name,
                [&Value = Options.*Field, Refused](const std::string& Text) {
                  if (!ParseSeconds(Text, Value)) *Refused = Text;
                },
                Help);
            return [Name, Refused](const tCliContext& Context, tCliResult& Exit) {
              if (!*Refused) return true;
              Exit = UsageError(Context.Command,
                                std::string(Name) + " wants seconds, not '" + **Refused + "'");
              return false;
            };
          }};
}

// Each --port takes one word; given again, it adds more.
void AddPort(CLI::App& Sub, const char* Help, std::vector<std::string>& Texts) {
  Sub.add_option("--port", Texts, Help)->allow_extra_args(false);
}

// --port N of a command on one card, which needs it.
tOption<tPortGroup> OnePort(const char* Help) {
  return {{"--port", "N", Help}, [=](CLI::App& Sub, tPortGroup& Options) -> tRead {
            AddPort(Sub, Help, Options.PortTexts);
            return [&Options](const tCliContext& Context, tCliResult& Exit) {
              if (Options.PortTexts.size() > 1) {
                Exit = UsageError(Context.Command, "takes one --port");
                return false;
              }
              return ReadPort(Context.Command,
                              Options.PortTexts.empty()
                                  ? std::nullopt
                                  : std::optional<std::string>(Options.PortTexts.front()),
                              Options.Port, Exit);
            };
          }};
}

// --port N of a command that also runs without one.
tOption<tOptionalPortGroup> OptionalPort(const char* Help) {
  return {{"--port", "N", Help}, [=](CLI::App& Sub, tOptionalPortGroup& Options) -> tRead {
            AddPort(Sub, Help, Options.PortTexts);
            return [&Options](const tCliContext& Context, tCliResult& Exit) {
              if (Options.PortTexts.size() > 1) {
                Exit = UsageError(Context.Command, "takes one --port");
                return false;
              }
              if (Options.PortTexts.empty()) return true;
              int32_t Port = 0;
              if (!ReadPort(Context.Command, Options.PortTexts.front(), Port, Exit)) return false;
              Options.Port = Port;
              return true;
            };
          }};
}

// --port N[,N...] of a command that takes several cards; --all is the other way to name them.
tOption<tPortsGroup> SeveralPorts(const char* Help) {
  return {{"--port", "N", Help}, [=](CLI::App& Sub, tPortsGroup& Options) -> tRead {
            AddPort(Sub, Help, Options.PortTexts);
            return [&Options](const tCliContext& Context, tCliResult& Exit) {
              return ReadPorts(Context.Command, Options, Exit);
            };
          }};
}

template <class tOptions>
struct tCommandOf {
  const char* Name;
  const char* Synopsis;
  const char* Summary;
  std::vector<tOption<tOptions>> Options;
  const char* Notes;
  tCliResult (*Run)(const tCliContext& Context, const tOptions& Options);
  int MinWords = 0;
  int MaxWords = 0;
};

template <class tOptions>
class tBound final : public tBoundCommand {
 public:
  tBound(const tCommandOf<tOptions>& Command, CLI::App& Sub) : fRun(Command.Run) {
    for (const tOption<tOptions>& Option : Command.Options)
      if (tRead Read = Option.Add(Sub, fOptions)) fReads.push_back(std::move(Read));
  }

  bool Read(const tCliContext& Context, tCliResult& Exit) override {
    for (const tRead& Read : fReads)
      if (!Read(Context, Exit)) return false;
    return true;
  }

  bool WritesEvents() const override {
    if constexpr (std::derived_from<tOptions, tEventsGroup>)
      return fOptions.Json;
    else
      return false;
  }

  tCliResult Run(const tCliContext& Context) override {
    if constexpr (std::derived_from<tOptions, tPortsGroup>) {
      if (fOptions.All || fOptions.Ports.size() > 1) {
        // --all asks each port for a card as status does, with the command's --timeout.
        double Timeout = tTimeoutGroup().Timeout;
        if constexpr (std::derived_from<tOptions, tTimeoutGroup>) Timeout = fOptions.Timeout;
        return RunOnSeveralCards(Context, fOptions, Timeout);
      }
      fOptions.Port = fOptions.Ports.front();
    }
    return fRun(Context, fOptions);
  }

 private:
  tOptions fOptions;  // the parser holds references into it
  std::vector<tRead> fReads;
  tCliResult (*fRun)(const tCliContext&, const tOptions&);
};

// The command as the parser and help see it, whatever its options' struct.
template <class tOptions>
tCommand Command(tCommandOf<tOptions> Typed) {
  std::vector<tOptionHelp> Help;
  for (const tOption<tOptions>& Option : Typed.Options)
    Help.push_back(Option.Help);
  return {
      .Name = Typed.Name,
      .Synopsis = Typed.Synopsis,
      .Summary = Typed.Summary,
      .Options = std::move(Help),
      .Notes = Typed.Notes,
      .MinWords = Typed.MinWords,
      .MaxWords = Typed.MaxWords,
      .Bind = [Typed](CLI::App& Sub) { return std::make_unique<tBound<tOptions>>(Typed, Sub); }};
}

const tOption<tPortGroup> Port = OnePort(
    "the card's port: its number as caddis ports lists it (5 or COM5),\n"
    "                    or its device (/dev/ttyUSB0, /dev/serial/by-id/..., \\\\.\\COM5)");
// The commands that work on several cards at once.
const tOption<tPortsGroup> Ports = SeveralPorts(
    "the card's port: its number as caddis ports lists it (5 or COM5),\n"
    "                    or its device (/dev/ttyUSB0, /dev/serial/by-id/..., \\\\.\\COM5);\n"
    "                    repeated or as a list (5,6,7) for several cards at once");
const tOption<tPortsGroup> All =
    Flag("--all", "every non-Bluetooth port where a card answers (instead of --port)",
         &tPortsGroup::All);
const tOption<tEventsGroup> Events =
    Flag("--json", "JSON Lines events on standard output (see the README)", &tEventsGroup::Json);
const tOption<tTimeoutGroup> Timeout = Seconds(
    "--timeout", "seconds to wait for the card's identity (default 5)", &tTimeoutGroup::Timeout);
const tOption<tSendOptions> ReplyWait =
    Seconds("--wait", "seconds to show replies (default 0.5)", &tSendOptions::Wait);
const tOption<tSerialUpdateOptions> AckTimeout =
    Seconds("--ack-timeout", "give up when the card does not answer a packet for S s (default 10)",
            &tSerialUpdateOptions::AckTimeout);
const tOption<tJsonOptions> Json =
    Flag("--json", "one JSON value on one line", &tJsonOptions::Json);
const tOption<tRecordGroup> Record =
    Text("--record", "FILE",
         "the service record to append to (default: $CADDIS_RECORD, else\n"
         "                    service-record.jsonl in the state folder)",
         &tRecordGroup::Record);
const tOption<tSiteGroup> SiteOption =
    Text("--site", "DSN",
         "the site database (default: $CADDIS_SITE, else libpq's environment\n"
         "                    and ~/.pgpass; a password in DSN is refused)",
         &tSiteGroup::Site);
const tOption<tStationNameGroup> StationNameOption =
    Text("--station-name", "NAME", "the station's name in the site database (default: the host's)",
         &tStationNameGroup::StationName);
const tOption<tRecordGroup> RecordToShip =
    Text("--record", "FILE",
         "the service record to ship (default: $CADDIS_RECORD, else\n"
         "                    service-record.jsonl in the state folder)",
         &tRecordGroup::Record);
const char* const SiteNotes =
    "The lines go to the site database's service_lines table, each once by its Id (a line\n"
    "without one is keyed by its bytes and place). Where the record has been shipped up to is\n"
    "kept beside it in <record>.shipped. The station ships by itself with --site.\n";
const tOption<tBootDownloadGroup> BootTimeout =
    Seconds("--boot-timeout", "seconds to wait for the boot loader after Boot (default 10)",
            &tBootDownloadGroup::BootTimeout);
const tOption<tReturnGroup> FirmwareReturnTimeout =
    Seconds("--return-timeout", "seconds to wait for the card's port to come back (default 30)",
            &tReturnGroup::ReturnTimeout);

const tOption<tForceGroup> Force =
    Flag("--force", "send the image also to a card that already runs the release's",
         &tForceGroup::Force);
const tOption<tFirmwarePolicyGroup> AllowDowngrade =
    Flag("--allow-downgrade", "take a firmware older than the card's (recorded as a downgrade)",
         &tFirmwarePolicyGroup::AllowDowngrade);
const tOption<tFirmwarePolicyGroup> NoRollback =
    Flag("--no-rollback",
         "leave a card whose new firmware fails its proof as it is, instead of\n"
         "                    putting back the firmware kept before the download",
         &tFirmwarePolicyGroup::NoRollback);
const tOption<tFirmwarePolicyGroup> Settle =
    Seconds("--settle",
            "seconds the card must answer every keep-alive after a firmware download,\n"
            "                    0 for no watch (default 10)",
            &tFirmwarePolicyGroup::Settle);
const tOption<tPackageGroup> Package =
    Text("--package", "P",
         "the image from the release package P, checked before anything is sent:\n"
         "                    its signature, its hashes, the cards it fits (see caddis package)",
         &tPackageGroup::Package);
const tOption<tPackageGroup> AllowUnsigned =
    Flag("--allow-unsigned", "take a release package that carries no signature (recorded)",
         &tPackageGroup::AllowUnsigned);

}  // namespace

const std::vector<tCommand>& CliCommands() {
  static const std::vector<tCommand> Commands = {
      Command<tJsonOptions>({
          .Name = "ports",
          .Synopsis = "caddis ports [--json]",
          .Summary = "List the serial ports: number, one space, device name.",
          .Options = {Json},
          .Notes = "",
          .Run = PortsCommand,
      }),
      Command<tJsonOptions>({
          .Name = "paths",
          .Synopsis = "caddis paths [--json]",
          .Summary =
              "Show the files and folders the tool uses: log, settings, port numbers, runtime.",
          .Options = {Json},
          .Notes = "The log of link errors is Log.txt in $CADDIS_LOG_DIR, else in the user's "
                   "state folder\n"
                   "($XDG_STATE_HOME/caddis, else ~/.local/state/caddis; %LOCALAPPDATA%\\Caddis "
                   "on Windows).\n",
          .Run = PathsCommand,
      }),
      Command<tStatusOptions>({
          .Name = "status",
          .Synopsis = "caddis status --port N[,N...] | --all [--json] [--timeout S]",
          .Summary = "Show the card's identity, versions, temperature, voltages, rates and "
                     "network settings.",
          .Options = {Ports, All, Events, Timeout},
          .Notes =
              "Opens the port, asks the card for its identity at once, then waits (at most 1.5 "
              "s) for\n"
              "the reports the card sends on its own; a report that did not come is shown as "
              "not\n"
              "received (null in JSON). With --json the status is the result event's "
              "\"status\".\n",
          .Run = StatusCommand,
      }),
      Command<tMonitorOptions>({
          .Name = "monitor",
          .Synopsis = "caddis monitor --port N [--log] [--seconds S] [--json]",
          .Summary = "Show the card's status live until Ctrl-C.",
          .Options = {Port,
                      Flag("--log",
                           "show every message in either direction (traffic lines, on "
                           "stderr)",
                           &tMonitorOptions::Log),
                      Seconds("--seconds", "end after S seconds", &tMonitorOptions::Seconds),
                      Events},
          .Notes = "On a terminal the status line is redrawn in place; otherwise a line is "
                   "printed when a\n"
                   "value changes, and at least every 5 s while none does. With --json each "
                   "such line is a\n"
                   "status event with the card's status as status --json gives it.\n",
          .Run = MonitorCommand,
      }),
      Command<tSendOptions>({
          .Name = "send-hex",
          .Synopsis = "caddis send-hex --port N [--wait S] [--json] HEX",
          .Summary = "Send one message typed in hexadecimal and show the replies.",
          .Options = {Port, ReplyWait, Events},
          .Notes = "HEX is the message bytes as an even number of hex digits, identifier first, "
                   "without\n"
                   "count byte and checksum (3c is the Status request). Each message the card "
                   "sends in\n"
                   "that time is a line of standard output in the same form (with --json an "
                   "answer event);\n"
                   "traffic lines go to stderr.\n",
          .Run = SendHexCommand,
          .MinWords = AnyWords,
          .MaxWords = AnyWords,
      }),
      Command<tSendOptions>({
          .Name = "echo",
          .Synopsis = "caddis echo --port N [--wait S] [--json] [TEXT...]",
          .Summary = "Send an Echo message with TEXT (default \"Echo Text\") and show the replies.",
          .Options = {Port, ReplyWait, Events},
          .Notes = "With --json each message the card sends in that time is an answer event.\n",
          .Run = EchoCommand,
          .MinWords = AnyWords,
          .MaxWords = AnyWords,
      }),
      Command<tResetOptions>({
          .Name = "reset",
          .Synopsis =
              "caddis reset --port N[,N...] | --all [--no-wait] [--return-timeout S] [--json]",
          .Summary = "Restart the card's microcontroller (Restart) and wait for it to come back.",
          .Options = {Ports, All, Events,
                      Flag("--no-wait", "end once Restart is sent", &tResetOptions::NoWait),
                      Seconds("--return-timeout",
                              "seconds to wait for the card's port to come back (default 10)",
                              &tResetOptions::ReturnTimeout)},
          .Notes =
              "Restart, then a keep-alive every 20 ms on the open link until the card is seen "
              "to go\n"
              "(its port gone, or a keep-alive unanswered for longer than the link's round "
              "trip\n"
              "allows); a card that answers them all for 2 s did not restart (exit status 1). "
              "Then\n"
              "the card is looked for again. With --no-wait: Restart, 10 ms, the port closed.\n",
          .Run = ResetCommand,
      }),
      Command<tBootOptions>({
          .Name = "boot",
          .Synopsis = "caddis boot --port N [--timeout S] [--json]",
          .Summary = "Restart the card's microcontroller in its USB DFU boot loader (Boot).",
          .Options = {Port, Events, Timeout},
          .Notes = "Waits for the card's identity first, so the message is known to arrive.\n",
          .Run = BootCommand,
      }),
      Command<tSerialUpdateOptions>({
          .Name = "update-fpga",
          .Synopsis = "caddis update-fpga --port N[,N...] | --all [--file PATH | --package P "
                      "[--allow-unsigned]] [--timeout S] [--ack-timeout S] [--no-restart] "
                      "[--force] [--json]",
          .Summary = "Load the FPGA bitstream into the card over the serial link.",
          .Options = {Ports, All, Events,
                      Text("--file", "PATH",
                           "the bitstream (default: SkerryFPGA.bit beside the caddis program)",
                           &tSerialUpdateOptions::File),
                      Timeout, AckTimeout,
                      Flag("--no-restart",
                           "do not restart the microcontroller after a successful update (by\n"
                           "                    default it is restarted and the command waits "
                           "for it to come back)",
                           &tSerialUpdateOptions::NoRestart),
                      Record, Force, Package, AllowUnsigned},
          .Notes = "Exit status 0 only when the card accepted the whole image.\n",
          .Run = UpdateFPGACommand,
      }),
      Command<tSerialUpdateOptions>({
          .Name = "update-usb-audio",
          .Synopsis = "caddis update-usb-audio --port N[,N...] | --all [--file PATH | --package "
                      "P [--allow-unsigned]] [--timeout S] [--ack-timeout S] [--force] [--json]",
          .Summary = "Load the USB-audio processor's image into the card over the serial link.",
          .Options = {Ports, All, Events,
                      Text("--file", "PATH",
                           "the image (default: xmos.bin beside the caddis program)",
                           &tSerialUpdateOptions::File),
                      Timeout, AckTimeout, Record, Force, Package, AllowUnsigned},
          .Notes = "Exit status 0 only when the card accepted the whole image.\n",
          .Run = UpdateUSBAudioCommand,
      }),
      Command<tFirmwareOptions>({
          .Name = "update-firmware",
          .Synopsis = "caddis update-firmware --port N[,N...] | --all [--file PATH | --package P "
                      "[--allow-unsigned]] [--serial "
                      "SN] [--no-verify] [--no-backup] [--timeout S] [--boot-timeout S] "
                      "[--return-timeout S] [--force] [--allow-downgrade] [--no-rollback] "
                      "[--settle S] [--json]",
          .Summary =
              "The whole firmware update: Boot, download and verify over USB DFU, the card back.",
          .Options = {Ports, All, Events,
                      Text("--file", "PATH",
                           "the firmware image (default: SkerryTiva.dfu beside the caddis "
                           "program)",
                           &tFirmwareOptions::File),
                      Text("--serial", "SN",
                           "the card's boot loader by its USB serial number, when other new\n"
                           "                    boot loaders may appear at the same time",
                           &tFirmwareOptions::Serial),
                      Flag("--no-verify", "do not read the image back and compare",
                           &tFirmwareOptions::NoVerify),
                      Flag("--no-backup", "do not read the card's firmware back and keep it first",
                           &tFirmwareOptions::NoBackup),
                      Timeout, BootTimeout, FirmwareReturnTimeout, Record, Force, AllowDowngrade,
                      NoRollback, Settle, Package, AllowUnsigned},
          .Notes =
              "The card's firmware is read back and kept before the download (caddis restore "
              "puts it\n"
              "back); when that fails nothing is written and the card returns to its "
              "firmware.\n"
              "Once back, the card must answer every keep-alive for --settle seconds; a card "
              "that does\n"
              "not come back, stays in its boot loader or fails that gets the kept firmware "
              "back by\n"
              "itself (exit status 7, recorded as rolled-back) unless --no-rollback is given.\n"
              "Each step's failure ends the command with its reason and exit status; a download "
              "is\n"
              "never broken off half-way (Ctrl-C waits for it to end). With several cards, Boot "
              "is\n"
              "sent to one card at a time and each card takes the one boot loader that appeared "
              "after\n"
              "its own Boot; the downloads then run at once.\n",
          .Run = UpdateFirmwareCommand,
      }),
      Command<tRestoreOptions>({
          .Name = "restore",
          .Synopsis = "caddis restore --port N [--file KEPT] [--serial SN] [--any-card] "
                      "[--timeout S] [--boot-timeout S] [--return-timeout S] [--json]",
          .Summary =
              "Put a kept firmware image back into the card: by default the newest kept for it.",
          .Options = {Port, Events,
                      Text("--file", "KEPT",
                           "the kept image (default: the newest kept for the card on port N)",
                           &tRestoreOptions::File),
                      Text("--serial", "SN", "the card's boot loader by its USB serial number",
                           &tRestoreOptions::Serial),
                      Flag("--any-card",
                           "put the image back even when it was kept from another card (the "
                           "record says so)",
                           &tRestoreOptions::AnyCard),
                      Timeout, BootTimeout, FirmwareReturnTimeout, Record},
          .Notes =
              "The card's firmware is read back and kept before every firmware update, in the "
              "folder\n"
              "firmware beside the service record (--record's, else "
              "$XDG_STATE_HOME/caddis/firmware),\n"
              "named for the card's device ID, with the card it came from (device ID, boot "
              "loader\n"
              "serial, port adapter) beside it. The newest image of this card is chosen by its "
              "device\n"
              "ID and port adapter; before the card leaves its link the image is checked "
              "against the\n"
              "SHA-256 kept beside it (a missing one is refused) and its device ID; after Boot "
              "the\n"
              "boot loader's serial must be the one it was kept from, or nothing is written and "
              "the\n"
              "card is sent back to its firmware. --any-card lifts both identity checks. Then "
              "as\n"
              "update-firmware: download and verify, the card back. The restore is written to "
              "the\n"
              "service record.\n",
          .Run = RestoreCommand,
      }),
      Command<tHistoryOptions>({
          .Name = "history",
          .Synopsis = "caddis history [--port N | --card ID] [--record FILE] [--json]\n"
                      "       caddis history --site DSN [--port N] [--card ID] [--identity C] "
                      "[--station NAME] [--result R] [--image SHA] [--release V] [--since T] "
                      "[--until T] [--latest] [--json]",
          .Summary = "Show the service record: one line per card update.",
          .Options = {OptionalPort("only the updates on port N"),
                      Text("--card", "ID", "only the updates of the card with device ID ID",
                           &tHistoryOptions::Card),
                      Text("--record", "FILE",
                           "the service record to read (default: $CADDIS_RECORD, else\n"
                           "                    service-record.jsonl in the state folder)",
                           &tRecordGroup::Record),
                      Events,
                      Text("--site", "DSN",
                           "ask the site database instead of the record (\"\": libpq's\n"
                           "                    environment; never a password: use ~/.pgpass)",
                           &tSiteGroup::Site),
                      Text("--identity", "C", "with --site: the card by its whole identity",
                           &tSiteFilterGroup::Identity),
                      Text("--station", "NAME", "with --site: only the updates of station NAME",
                           &tSiteFilterGroup::Station),
                      Text("--result", "R", "with --site: success, failed or interrupted",
                           &tSiteFilterGroup::Result),
                      Text("--image", "SHA", "with --site: the image by its SHA-256 (or its start)",
                           &tSiteFilterGroup::Image),
                      Text("--release", "V",
                           "with --site: what the card runs after: firmware version, FPGA\n"
                           "                    version or image file name",
                           &tSiteFilterGroup::Release),
                      Text("--since", "T", "with --site: updates from time T (2026-12-08 10:00Z)",
                           &tSiteFilterGroup::Since),
                      Text("--until", "T", "with --site: updates before time T",
                           &tSiteFilterGroup::Until),
                      Flag("--latest",
                           "with --site: only each card's newest successful update of each\n"
                           "                    action, what the card runs now",
                           &tSiteFilterGroup::Latest)},
          .Notes =
              "The record is $CADDIS_RECORD when set, else service-record.jsonl in the state "
              "folder\n"
              "($XDG_STATE_HOME/caddis, else ~/.local/state/caddis). A damaged line is skipped "
              "with a\n"
              "warning on stderr. With --json each line is a record event, its \"line\" the "
              "record's own\n"
              "object, and the result event gives the count.\n",
          .Run = HistoryCommand,
      }),
      Command<tPackageCreateOptions>({
          .Name = "package create",
          .Synopsis = "caddis package create OUT --name N --version V --device-id ID[,ID...] "
                      "[--date D] [--fpga F --fpga-version T] [--usb-audio U] [--firmware D "
                      "--firmware-version N] [--temperature MIN:MAX] [--voltage I:MIN:MAX]... "
                      "[--key SECKEY] [--json]",
          .Summary = "Make a release package: the images, their manifest and its signature.",
          .Options =
              {Text("--name", "N", "the release's name", &tPackageCreateOptions::Name),
               Text("--version", "V", "the release's version", &tPackageCreateOptions::Version),
               Text("--date", "D", "the release's date (default: today, UTC)",
                    &tPackageCreateOptions::Date),
               Text("--device-id", "ID", "the device IDs of the cards the release fits",
                    &tPackageCreateOptions::DeviceIDs),
               Text("--fpga", "F", "the FPGA bitstream", &tPackageCreateOptions::FPGA),
               Text("--fpga-version", "T", "the FPGA version text the card reports with F",
                    &tPackageCreateOptions::FPGAVersion),
               Text("--usb-audio", "U", "the USB-audio image", &tPackageCreateOptions::USBAudio),
               Text("--firmware", "D", "the firmware image (DFU file)",
                    &tPackageCreateOptions::Firmware),
               Text("--firmware-version", "N", "the firmware version the card reports with D",
                    &tPackageCreateOptions::FirmwareVersion),
               Text("--temperature", "MIN:MAX",
                    "the card's temperature after a firmware update, degrees C",
                    &tPackageCreateOptions::Temperature),
               Texts("--voltage", "I:MIN:MAX",
                     "supply voltage I's limits after a firmware update, volts",
                     &tPackageCreateOptions::Voltages),
               Text("--key", "SECKEY", "sign with this secret key file",
                    &tPackageCreateOptions::Key),
               Json},
          .Notes = "The package is a zip of manifest.json, its signature manifest.json.minisig and "
                   "the images.\n"
                   "The manifest gives each image's kind, size, SHA-256 and version. A key sealed "
                   "with a\n"
                   "password asks for it on the terminal (or reads it from standard input).\n",
          .Run = PackageCreateCommand,
          .MinWords = 1,
          .MaxWords = 1,
      }),
      Command<tPackageSignOptions>({
          .Name = "package sign",
          .Synopsis = "caddis package sign P (--key SECKEY | --signature SIG) [--json]",
          .Summary = "Sign a release package's manifest, or put in a signature made elsewhere.",
          .Options =
              {Text("--key", "SECKEY", "sign with this secret key file", &tPackageSignOptions::Key),
               Text("--signature", "SIG", "a detached signature of the package's manifest.json",
                    &tPackageSignOptions::Signature),
               Json},
          .Notes =
              "With another signing tool: caddis package show P --manifest > manifest.json, "
              "sign that\nfile, then caddis package sign P --signature manifest.json.minisig.\n",
          .Run = PackageSignCommand,
          .MinWords = 1,
          .MaxWords = 1,
      }),
      Command<tPackageCheckOptions>({
          .Name = "package verify",
          .Synopsis = "caddis package verify P [--allow-unsigned] [--json]",
          .Summary = "Check a release package: its signature, its manifest and every image.",
          .Options = {Flag("--allow-unsigned", "take a package that carries no signature",
                           &tPackageCheckOptions::AllowUnsigned),
                      Json},
          .Notes = "The signature must be made by a trusted key: a public key file (*.pub) in the "
                   "folders\ncaddis paths lists. Exit status 5 when the package is refused.\n",
          .Run = PackageVerifyCommand,
          .MinWords = 1,
          .MaxWords = 1,
      }),
      Command<tPackageCheckOptions>({
          .Name = "package show",
          .Synopsis = "caddis package show P [--manifest] [--json]",
          .Summary = "Show a release package: the release, its cards, its images, its signer.",
          .Options = {Flag("--manifest", "write the manifest as it is signed, nothing else",
                           &tPackageCheckOptions::ManifestOnly),
                      Json},
          .Notes = "",
          .Run = PackageShowCommand,
          .MinWords = 1,
          .MaxWords = 1,
      }),
      Command<tSiteOptions>({
          .Name = "site push",
          .Synopsis =
              "caddis site push [--site DSN] [--record FILE] [--station-name NAME] [--json]",
          .Summary = "Ship the service record's new lines to the site database now.",
          .Options = {SiteOption, RecordToShip, StationNameOption, Events},
          .Notes = SiteNotes,
          .Run = SitePushCommand,
      }),
      Command<tSiteOptions>({
          .Name = "site status",
          .Synopsis =
              "caddis site status [--site DSN] [--record FILE] [--station-name NAME] [--json]",
          .Summary = "Say how many lines of the service record wait to be shipped.",
          .Options = {SiteOption, RecordToShip, StationNameOption, Events},
          .Notes = SiteNotes,
          .Run = SiteStatusCommand,
      }),
      Command<tJsonOptions>({
          .Name = "dfu list",
          .Synopsis = "caddis dfu list [--json]",
          .Summary = "List the USB DFU devices: index, record fields, strings, mode, location.",
          .Options = {Json},
          .Notes = "",
          .Run = DfuListCommand,
      }),
      Command<tDfuDownloadOptions>({
          .Name = "dfu download",
          .Synopsis = "caddis dfu download FILE [--no-verify] [--serial SN] [--path P] [--index "
                      "I] [--wait S] [--port N [--return-timeout S]] [--json]",
          .Summary = "Download a firmware image into the card's DFU boot loader.",
          .Options = {Events,
                      Flag("--no-verify", "do not read the image back and compare",
                           &tDfuDownloadOptions::NoVerify),
                      Text("--serial", "SN", "the boot loader with this USB serial number",
                           &tDfuFilterGroup::Serial),
                      Text("--path", "P",
                           "the boot loader at this location (as caddis dfu list shows it)",
                           &tDfuFilterGroup::Path),
                      Text("--index", "I",
                           "DFU device I (see caddis dfu list), whatever its "
                           "identity",
                           &tDfuFilterGroup::Index),
                      Seconds("--wait", "seconds to search for the card (default 10)",
                              &tDfuDownloadOptions::Wait),
                      OptionalPort("after the update wait for the card on serial port N and "
                                   "show its\n"
                                   "                    firmware version"),
                      FirmwareReturnTimeout},
          .Notes = "Without a choice the card's boot loader (vendor 0x1CBE, product 0x00FF) is "
                   "searched for;\n"
                   "with more than one present the command lists them and asks for a choice.\n",
          .Run = DfuDownloadCommand,
          .MinWords = 1,
          .MaxWords = 1,
      }),
      Command<tStationOptions>({
          .Name = "station",
          .Synopsis = "caddis station --fpga F [--usb-audio U] [--firmware D] | --package P "
                      "[--allow-unsigned] [--gone S] [--seconds S] [--keep-firmware N] [--record "
                      "FILE] [--json] [--force] [--allow-downgrade] [--no-rollback] [--settle S] "
                      "[--site DSN] [--station-name NAME]",
          .Summary = "Update every card that arrives, until Ctrl-C: the production line's station.",
          .Options = {Text("--fpga", "F", "the FPGA bitstream each card gets",
                           &tStationOptions::FPGA),
                      Text("--usb-audio", "U", "the USB-audio image each card gets next",
                           &tStationOptions::USBAudio),
                      Text("--firmware", "D", "the firmware image each card gets last",
                           &tStationOptions::Firmware),
                      Seconds("--gone",
                              "seconds a card's port must stay gone before the card counts as\n"
                              "                    unplugged and its port is served again "
                              "(default 10)",
                              &tStationOptions::Gone),
                      Seconds("--seconds", "end after S seconds", &tStationOptions::Seconds),
                      Text("--keep-firmware", "N",
                           "firmware images kept per card, the newest (default 3; caddis paths\n"
                           "                    shows the folder)",
                           &tStationOptions::KeepFirmware),
                      Record, Events, Force, AllowDowngrade, NoRollback, Settle, Package,
                      AllowUnsigned, SiteOption, StationNameOption},
          .Notes =
              "Waits for serial ports to arrive and runs the recipe on each new one (a caddis "
              "child per\n"
              "card, each writing its service record line), with a live table of the cards. A "
              "card is\n"
              "done until it is unplugged, so the restarts of its own updates never start it "
              "again.\n"
              "Ports present at the start are served too. Ctrl-C lets the running updates end "
              "cleanly.\n"
              "On a terminal each port shows PASS, FAIL, WORKING or EMPTY, the card, its whole "
              "time on the\n"
              "station and the step under way, fitted to the terminal's width; in a pipe each "
              "event is\n"
              "a line, and with --json the steps' own events are passed on, named by port.\n"
              "Exit status: 0 when every card served succeeded, else as for several cards.\n",
          .Run = StationCommand,
      }),
  };
  return Commands;
}

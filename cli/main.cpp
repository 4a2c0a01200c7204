// caddis: the command line of the Caddis Updater, for scripted and headless work.
//
// One entry per subcommand in Commands; main() builds the parser from it, answers --help and
// --version and runs the command. Every command drives the card through the same card
// session and 10 ms loop as the window.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "cli/CliEvents.h"
#include "cli/CliLoop.h"
#include "cli/Commands.h"
#include "cli/SeveralCards.h"
#include "platform/Console.h"

namespace {

struct tOptionHelp {
  const char* Name;       // "--port"
  const char* Value;      // "N", "S" for seconds, or "" for a flag
  const char* Help;       // "the card's port: its number as caddis ports lists it"
  double Default = 0;     // the value of an "S" option that is not given
  bool Required = false;  // the command cannot run without it
};

// Words the command reads itself, whatever their number.
constexpr int AnyWords = -1;

struct tCommand {
  const char* Name;      // "status", "dfu download"
  const char* Synopsis;  // "caddis status --port N [--json] [--timeout S]"
  const char* Summary;   // one line for caddis --help
  std::vector<tOptionHelp> Options;
  const char* Notes;  // after the options in caddis <command> --help
  int (*Run)(const tCliRequest& Request);
  int MinWords = 0;  // positional arguments, at least and at most (AnyWords: not checked)
  int MaxWords = 0;
  bool Events = false;   // --json writes the events of CliEvents.h
  bool Several = false;  // takes several ports (--port repeated or a list, --all)
};

const tOptionHelp Port = {
    "--port", "N",
    "the card's port: its number as caddis ports lists it (5 or COM5),\n"
    "                    or its device (/dev/ttyUSB0, /dev/serial/by-id/..., \\\\.\\COM5)",
    0, true};
// The commands that work on several cards at once.
const tOptionHelp Ports = {
    "--port", "N",
    "the card's port: its number as caddis ports lists it (5 or COM5),\n"
    "                    or its device (/dev/ttyUSB0, /dev/serial/by-id/..., \\\\.\\COM5);\n"
    "                    repeated or as a list (5,6,7) for several cards at once",
    0, true};
const tOptionHelp All = {"--all", "", "every port where a card answers (instead of --port)"};
const tOptionHelp Events = {"--json", "", "JSON Lines events on standard output (see the README)"};
const tOptionHelp Timeout = {"--timeout", "S",
                             "seconds to wait for the card's identity (default 5)", 5};
const tOptionHelp ReplyWait = {"--wait", "S", "seconds to show replies (default 0.5)", 0.5};
const tOptionHelp AckTimeout = {
    "--ack-timeout", "S", "give up when the card does not answer a packet for S s (default 10)",
    10};
const tOptionHelp Json = {"--json", "", "one JSON value on one line"};
const tOptionHelp Record = {"--record", "FILE",
                            "the service record to append to (default: $CADDIS_RECORD, else\n"
                            "                    service-record.jsonl in the state folder)"};
const tOptionHelp BootTimeout = {"--boot-timeout", "S",
                                 "seconds to wait for the boot loader after Boot (default 10)", 10};
const tOptionHelp FirmwareReturnTimeout = {
    "--return-timeout", "S", "seconds to wait for the card's port to come back (default 30)", 30};

const std::vector<tCommand> Commands = {
    {"ports",
     "caddis ports [--json]",
     "List the serial ports: number, one space, device name.",
     {Json},
     "",
     PortsCommand},
    {"paths",
     "caddis paths [--json]",
     "Show the files and folders the tool uses: log, settings, port numbers, runtime.",
     {Json},
     "The log of link errors is Log.txt in $CADDIS_LOG_DIR, else in the user's state folder\n"
     "($XDG_STATE_HOME/caddis, else ~/.local/state/caddis; %LOCALAPPDATA%\\Caddis on Windows).\n",
     PathsCommand},
    {"status",
     "caddis status --port N[,N...] | --all [--json] [--timeout S]",
     "Show the card's identity, versions, temperature, voltages, rates and network settings.",
     {Ports, All, Events, Timeout},
     "Opens the port, asks the card for its identity at once, then waits (at most 1.5 s) for\n"
     "the reports the card sends on its own; a report that did not come is shown as not\n"
     "received (null in JSON). With --json the status is the result event's \"status\".\n",
     StatusCommand,
     0,
     0,
     true,
     true},
    {"monitor",
     "caddis monitor --port N [--log] [--seconds S]",
     "Show the card's status live until Ctrl-C.",
     {Port,
      {"--log", "", "show every message in either direction (traffic lines, on stderr)"},
      {"--seconds", "S", "end after S seconds", 0},
      Record},
     "On a terminal the status line is redrawn in place; otherwise a line is printed per change.\n",
     MonitorCommand},
    {"send-hex",
     "caddis send-hex --port N [--wait S] HEX",
     "Send one message typed in hexadecimal and show the replies.",
     {Port, ReplyWait},
     "HEX is the message bytes as an even number of hex digits, identifier first, without\n"
     "count byte and checksum (3c is the Status request). Traffic lines go to stderr.\n",
     SendHexCommand,
     AnyWords,
     AnyWords},
    {"echo",
     "caddis echo --port N [--wait S] [TEXT...]",
     "Send an Echo message with TEXT (default \"Echo Text\") and show the replies.",
     {Port, ReplyWait},
     "",
     EchoCommand,
     AnyWords,
     AnyWords},
    {"reset",
     "caddis reset --port N[,N...] | --all [--no-wait] [--return-timeout S] [--json]",
     "Restart the card's microcontroller (Restart) and wait for it to come back.",
     {Ports,
      All,
      Events,
      {"--no-wait", "", "end once Restart is sent"},
      {"--return-timeout", "S", "seconds to wait for the card's port to come back (default 10)",
       10}},
     "Restart, then a keep-alive every 20 ms on the open link until the card is seen to go\n"
     "(its port gone, or a keep-alive unanswered for longer than the link's round trip\n"
     "allows); a card that answers them all for 2 s did not restart (exit status 1). Then\n"
     "the card is looked for again. With --no-wait: Restart, 10 ms, the port closed.\n",
     ResetCommand,
     0,
     0,
     true,
     true},
    {"boot",
     "caddis boot --port N [--timeout S]",
     "Restart the card's microcontroller in its USB DFU boot loader (Boot).",
     {Port, Timeout},
     "Waits for the card's identity first, so the message is known to arrive.\n",
     BootCommand},
    {"update-fpga",
     "caddis update-fpga --port N[,N...] | --all [--file PATH] [--timeout S] [--ack-timeout S] "
     "[--no-restart] [--json]",
     "Load the FPGA bitstream into the card over the serial link.",
     {Ports,
      All,
      Events,
      {"--file", "PATH", "the bitstream (default: SkerryFPGA.bit beside the caddis program)"},
      Timeout,
      AckTimeout,
      {"--no-restart", "",
       "do not restart the microcontroller after a successful update (by\n"
       "                    default it is restarted and the command waits for it to come back)"},
      Record},
     "Exit status 0 only when the card accepted the whole image.\n",
     UpdateFPGACommand,
     0,
     0,
     true,
     true},
    {"update-usb-audio",
     "caddis update-usb-audio --port N[,N...] | --all [--file PATH] [--timeout S] "
     "[--ack-timeout S] [--json]",
     "Load the USB-audio processor's image into the card over the serial link.",
     {Ports,
      All,
      Events,
      {"--file", "PATH", "the image (default: xmos.bin beside the caddis program)"},
      Timeout,
      AckTimeout,
      Record},
     "Exit status 0 only when the card accepted the whole image.\n",
     UpdateUSBAudioCommand,
     0,
     0,
     true,
     true},
    {"update-firmware",
     "caddis update-firmware --port N[,N...] | --all [--file PATH] [--serial SN] [--no-verify] "
     "[--no-backup] "
     "[--timeout S] [--boot-timeout S] [--return-timeout S] [--json]",
     "The whole firmware update: Boot, download and verify over USB DFU, the card back.",
     {Ports,
      All,
      Events,
      {"--file", "PATH", "the firmware image (default: SkerryTiva.dfu beside the caddis program)"},
      {"--serial", "SN",
       "the card's boot loader by its USB serial number, when other new\n"
       "                    boot loaders may appear at the same time"},
      {"--no-verify", "", "do not read the image back and compare"},
      {"--no-backup", "", "do not read the card's firmware back and keep it first"},
      Timeout,
      BootTimeout,
      FirmwareReturnTimeout,
      Record},
     "The card's firmware is read back and kept before the download (caddis restore puts it\n"
     "back); when that fails nothing is written and the card returns to its firmware.\n"
     "Each step's failure ends the command with its reason and exit status; a download is\n"
     "never broken off half-way (Ctrl-C waits for it to end). With several cards, Boot is\n"
     "sent to one card at a time and each card takes the one boot loader that appeared after\n"
     "its own Boot; the downloads then run at once.\n",
     UpdateFirmwareCommand,
     0,
     0,
     true,
     true},
    {"restore",
     "caddis restore --port N [--file KEPT] [--serial SN] [--timeout S] [--boot-timeout S] "
     "[--return-timeout S]",
     "Put a kept firmware image back into the card: by default the newest kept for it.",
     {Port,
      {"--file", "KEPT", "the kept image (default: the newest kept for the card on port N)"},
      {"--serial", "SN", "the card's boot loader by its USB serial number"},
      Timeout,
      BootTimeout,
      FirmwareReturnTimeout,
      Record},
     "The card's firmware is read back and kept before every firmware update, in the folder\n"
     "firmware beside the service record ($XDG_STATE_HOME/caddis/firmware), named for the\n"
     "card's device ID. The image is checked against the SHA-256 kept beside it before the\n"
     "card leaves its link; then as update-firmware: Boot, download and verify, the card back.\n"
     "The restore is written to the service record.\n",
     RestoreCommand},
    {"history",
     "caddis history [--port N | --card ID] [--json]",
     "Show the service record: one line per card update.",
     {{"--port", "N", "only the updates on port N"},
      {"--card", "ID", "only the updates of the card with device ID ID"},
      {"--json", "", "the record's own lines (JSON Lines) instead of a table"}},
     "The record is $CADDIS_RECORD when set, else service-record.jsonl in the state folder\n"
     "($XDG_STATE_HOME/caddis, else ~/.local/state/caddis). A damaged line is skipped with a\n"
     "warning on stderr.\n",
     HistoryCommand},
    {"dfu list",
     "caddis dfu list [--json]",
     "List the USB DFU devices: index, record fields, strings, mode, location.",
     {Json},
     "",
     DfuListCommand},
    {"dfu download",
     "caddis dfu download FILE [--no-verify] [--serial SN] [--path P] [--index I] [--wait S] "
     "[--port N [--return-timeout S]] [--json]",
     "Download a firmware image into the card's DFU boot loader.",
     {Events,
      {"--no-verify", "", "do not read the image back and compare"},
      {"--serial", "SN", "the boot loader with this USB serial number"},
      {"--path", "P", "the boot loader at this location (as caddis dfu list shows it)"},
      {"--index", "I", "DFU device I (see caddis dfu list), whatever its identity"},
      {"--wait", "S", "seconds to search for the card (default 10)", 10},
      {"--port", "N",
       "after the update wait for the card on serial port N and show its\n"
       "                    firmware version"},
      FirmwareReturnTimeout},
     "Without a choice the card's boot loader (vendor 0x1CBE, product 0x00FF) is searched for;\n"
     "with more than one present the command lists them and asks for a choice.\n",
     DfuDownloadCommand,
     1,
     1,
     true},
    {"station",
     "caddis station --fpga F [--usb-audio U] [--firmware D] [--gone S] [--seconds S] "
     "[--record FILE]",
     "Update every card that arrives, until Ctrl-C: the production line's station.",
     {{"--fpga", "F", "the FPGA bitstream each card gets"},
      {"--usb-audio", "U", "the USB-audio image each card gets next"},
      {"--firmware", "D", "the firmware image each card gets last"},
      {"--gone", "S",
       "seconds a card's port must stay gone before the card counts as\n"
       "                    unplugged and its port is served again (default 10)",
       10},
      {"--seconds", "S", "end after S seconds", 0},
      Record},
     "Waits for serial ports to arrive and runs the recipe on each new one (a caddis child per\n"
     "card, each writing its service record line), with a live table of the cards. A card is\n"
     "done until it is unplugged, so the restarts of its own updates never start it again.\n"
     "Ports present at the start are served too. Ctrl-C lets the running updates end cleanly.\n"
     "Exit status: 0 when every card served succeeded, else as for several cards.\n",
     StationCommand,
     0,
     0},
};

// Where each option's text or flag goes.
const std::map<std::string, std::string tCliRequest::*> TextOptions = {
    {"--fpga", &tCliRequest::StationFPGA},
    {"--usb-audio", &tCliRequest::StationUSBAudio},
    {"--firmware", &tCliRequest::StationFirmware},
    {"--gone", &tCliRequest::Gone},
    {"--timeout", &tCliRequest::Timeout},
    {"--wait", &tCliRequest::Wait},
    {"--seconds", &tCliRequest::Seconds},
    {"--return-timeout", &tCliRequest::ReturnTimeout},
    {"--ack-timeout", &tCliRequest::AckTimeout},
    {"--boot-timeout", &tCliRequest::BootTimeout},
    {"--file", &tCliRequest::File},
    {"--serial", &tCliRequest::Serial},
    {"--path", &tCliRequest::Path},
    {"--record", &tCliRequest::Record},
    {"--index", &tCliRequest::Index},
    {"--card", &tCliRequest::Card}};
const std::map<std::string, bool tCliRequest::*> FlagOptions = {
    {"--json", &tCliRequest::Json},
    {"--all", &tCliRequest::All},
    {"--log", &tCliRequest::Log},
    {"--no-wait", &tCliRequest::NoWait},
    {"--no-restart", &tCliRequest::NoRestart},
    {"--no-verify", &tCliRequest::NoVerify},
    {"--no-backup", &tCliRequest::NoBackup}};

// Reads what the commands' options share, in the table's order: the number of positional
// arguments, the port and every seconds option (its default when not given). False with the
// usage error shown and Exit set.
bool ReadOptions(const tCommand& C, tCliRequest& Request, int& Exit) {
  if (C.MaxWords != AnyWords && !CheckPositional(Request, static_cast<std::size_t>(C.MinWords),
                                                 static_cast<std::size_t>(C.MaxWords), Exit))
    return false;
  for (const tOptionHelp& Option : C.Options) {
    const std::string Name = Option.Name;
    if (Name == "--port") {
      if (C.Several && !ReadPorts(Request, Exit)) return false;
      if (!C.Several && Request.PortList.size() > 1) {
        Exit = UsageError(Request.Command, "takes one --port");
        return false;
      }
      if (!C.Several && (Option.Required || Request.Has(Name)) &&
          !ReadPort(Request, Request.PortList.empty() ? std::string() : Request.PortList.front(),
                    Request.PortNumber, Exit))
        return false;
    } else if (std::string(Option.Value) == "S") {
      double Value = 0;
      if (!ReadSeconds(Request, Name, Request.*(TextOptions.at(Name)), Option.Default, Value, Exit))
        return false;
      Request.SecondsGiven[Name] = Value;
    }
  }
  return true;
}

int MainHelp() {
  std::printf("Usage: caddis [--version] [-v|--verbose] <command> [options]\n\nCommands:\n");
  for (const tCommand& C : Commands)
    std::printf("  %-18s %s\n", C.Name, C.Summary);
  std::printf(
      "\nOptions:\n"
      "  --version          show the program's version\n"
      "  -v, --verbose      trace every frame on the serial link (hex and name, both\n"
      "                     directions) and every DFU request on stderr, time-stamped\n"
      "\ncaddis <command> --help shows a command's options.\n"
      "Exit status (with --json also the error event's \"exit\" and \"kind\"):\n%s"
      "With several cards: 0 when every card succeeded, else the status the failed ones\n"
      "share, or 1 when they differ.\n"
      "Environment: CADDIS_RUNTIME_DIR (port folder, virtual USB bus), CADDIS_CONFIG_DIR,\n"
      "CADDIS_LOG_DIR (folder of Log.txt, the log of link errors), CADDIS_IMAGE_DIR (folder\n"
      "of the default images, instead of the program's own), CADDIS_RECORD (the service\n"
      "record); caddis paths shows them.\n",
      ExitStatusHelp().c_str());
  return ExitOk;
}

int CommandHelp(const tCommand& C) {
  std::printf("Usage: %s\n%s\n", C.Synopsis, C.Summary);
  for (const tOptionHelp& Option : C.Options) {
    const std::string Left = std::string(Option.Name) + (*Option.Value ? " " : "") + Option.Value;
    std::printf("  %-17s %s\n", Left.c_str(), Option.Help);
  }
  std::printf("%s", C.Notes);
  return ExitOk;
}

struct tParser {
  CLI::App App{"Caddis Updater command line", "caddis"};
  tCliRequest Request;
  bool Help = false, Version = false;
  std::vector<std::pair<CLI::App*, const tCommand*>> Subcommands;
  CLI::App* Dfu = nullptr;

  tParser() {
    App.set_help_flag();
    App.allow_extras();
    App.add_flag("-h,--help", Help);
    App.add_flag("--version", Version);
    App.add_flag("-v,--verbose", Request.Verbose);
    Dfu = App.add_subcommand("dfu", "the card's firmware over USB DFU");
    Dfu->set_help_flag();
    Dfu->allow_extras();
    Dfu->add_flag("-h,--help", Help);
    for (const tCommand& C : Commands) {
      const std::string Name = C.Name;
      const bool UnderDfu = Name.rfind("dfu ", 0) == 0;
      CLI::App* Sub =
          (UnderDfu ? Dfu : &App)->add_subcommand(UnderDfu ? Name.substr(4) : Name, C.Summary);
      Sub->set_help_flag();
      // Words it does not know stay with the command, which explains them in its own terms.
      Sub->allow_extras();
      Sub->add_flag("-h,--help", Help);
      Sub->add_flag("-v,--verbose", Request.Verbose);
      for (const tOptionHelp& Option : C.Options) {
        if (std::string(Option.Name) == "--port")
          // Each --port takes one word; given again, it adds more.
          Sub->add_option(Option.Name, Request.PortList, Option.Help)->allow_extra_args(false);
        else if (const auto Text = TextOptions.find(Option.Name); Text != TextOptions.end())
          Sub->add_option(Option.Name, Request.*(Text->second), Option.Help);
        else
          Sub->add_flag(Option.Name, Request.*(FlagOptions.at(Option.Name)), Option.Help);
      }
      Subcommands.emplace_back(Sub, &C);
    }
  }

  // The command whose subcommand was parsed, or null.
  const tCommand* Chosen(CLI::App*& Sub) const {
    for (const auto& [App, Command] : Subcommands)
      if (App->parsed()) return Sub = App, Command;
    return nullptr;
  }
};

}  // namespace

namespace {

int Run(const std::vector<std::string>& Arguments) {
  std::vector<const char*> Words;
  for (const std::string& Argument : Arguments)
    Words.push_back(Argument.c_str());
  tParser Parser;
  std::string ParseError;
  try {
    Parser.App.parse(static_cast<int>(Words.size()), Words.data());
  } catch (const CLI::ParseError& Error) {
    ParseError = Error.what();
    // "--port: 1 required TEXT missing": an option at the end without its value.
    if (const auto Colon = ParseError.find(':');
        dynamic_cast<const CLI::ArgumentMismatch*>(&Error) && Colon != std::string::npos)
      ParseError = "option '" + ParseError.substr(0, Colon) + "' needs a value";
  }
  CLI::App* Sub = nullptr;
  const tCommand* Command = Parser.Chosen(Sub);
  if (!Command) {
    if (Parser.Version && ParseError.empty()) {
      std::printf("caddis %s\n", ToolVersion());
      return ExitOk;
    }
    if (Parser.Help && ParseError.empty()) return MainHelp();
    if (Parser.Dfu->parsed()) {
      std::fprintf(stderr, "caddis dfu: give list or download (see caddis --help)\n");
      return ExitUsage;
    }
    const auto Extra = Parser.App.remaining();
    if (Words.size() < 2) {
      MainHelp();
      return ExitUsage;
    }
    const std::string Word = Extra.empty() ? Arguments[1] : Extra.front();
    if (!ParseError.empty())
      std::fprintf(stderr, "caddis: %s (see caddis --help)\n", ParseError.c_str());
    else if (Word.rfind("-", 0) == 0)
      std::fprintf(stderr, "caddis: unknown option '%s' (see caddis --help)\n", Word.c_str());
    else
      std::fprintf(stderr, "caddis: unknown command '%s' (see caddis --help)\n", Word.c_str());
    return ExitUsage;
  }
  tCliRequest& Request = Parser.Request;
  Request.Command = Command->Name;
  Request.Arguments = Arguments;
  if (Parser.Help) return CommandHelp(*Command);
  if (Command->Events && Request.Json) tCliEvents::SetCommand(Request.Command);
  if (!ParseError.empty()) return UsageError(Request.Command, ParseError);
  for (const tOptionHelp& Option : Command->Options)
    if (Sub->count(Option.Name) > 0) Request.Given.push_back(Option.Name);
  // Words the parser did not take: unknown options, or the command's own arguments.
  for (const std::string& Word : Sub->remaining()) {
    if (Word.size() > 1 && Word[0] == '-')
      return UsageError(Request.Command, "unknown option '" + Word.substr(0, Word.find('=')) + "'");
    Request.Words.push_back(Word);
  }
  if (int Exit = ExitOk; !ReadOptions(*Command, Request, Exit)) return Exit;
  InstallStopHandlers();
  if (Request.Verbose) StartTracing(nullptr);
  if (Command->Several && (Request.All || Request.PortNumbers.size() > 1))
    return RunOnSeveralCards(Request);
  if (Command->Several) Request.PortNumber = Request.PortNumbers.front();
  return Command->Run(Request);
}

}  // namespace

int main(int argc, char** argv) {
  // Every name the tool keeps is UTF-8: the arguments too (a path such as C:\Jörg\image.dfu
  // on Windows), and the output shows them as such.
  const std::vector<std::string> Arguments = tConsole::Arguments(argc, argv);
  tConsole::UseUtf8Output();
  // With --json anywhere, even bad arguments end in an error event.
  for (std::size_t i = 1; i < Arguments.size(); ++i)
    if (Arguments[i] == "--json") tCliEvents::Enable();
  const int Exit = Run(Arguments);
  tCliEvents::Finish(Exit, LastFailureText());
  return Exit;
}

// caddis: the command line of the Caddis Updater, for scripted and headless work.
//
// One entry per subcommand in CommandTable(); main() only picks the entry, answers --help and
// runs it. Every command drives the host object with the same 10 ms loop as the window.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/CliLoop.h"
#include "cli/Commands.h"

namespace {

struct tCommand {
  const char* Name;      // "status", "dfu download"
  const char* Synopsis;  // "caddis status --port N [--json] [--timeout S]"
  const char* Summary;   // one line for caddis --help
  const char* Details;   // the options, for caddis <command> --help
  int (*Run)(const tCommandArgs& Args);
};

const char* const PortHelp =
    "  --port N          the card's port: its number as caddis ports lists it\n";
const char* const TimeoutHelp =
    "  --timeout S       seconds to wait for the card's identity (default 5)\n";

int HelpCommand(const tCommandArgs&);

const std::vector<tCommand> Table = {
    {"ports", "caddis ports", "List the serial ports: number, one space, device name.", "",
     PortsCommand},
    {"status", "caddis status --port N [--json] [--timeout S]",
     "Show the card's identity, versions, temperature, voltages, rates and network settings.",
     "Opens the port, waits for the card to identify itself (keep-alive, then Status), then\n"
     "about 1.5 s more for its periodic reports, and prints what it reported.\n",
     StatusCommand},
    {"monitor", "caddis monitor --port N [--log] [--seconds S]",
     "Show the card's status live until Ctrl-C.",
     "  --log             show every message in either direction (traffic lines, on stderr)\n"
     "  --seconds S       end after S seconds\n"
     "On a terminal the status line is redrawn in place; otherwise a line is printed per change.\n",
     MonitorCommand},
    {"send-hex", "caddis send-hex --port N [--wait S] HEX",
     "Send one message typed in hexadecimal and show the replies.",
     "HEX is the message bytes, identifier first, without count byte and checksum, read in\n"
     "fixed pairs from its start (3c is the Status request). Traffic lines go to stderr.\n"
     "  --wait S          seconds to show replies (default 0.5)\n",
     SendHexCommand},
    {"echo", "caddis echo --port N [--wait S] [TEXT...]",
     "Send an Echo message with TEXT (default \"Echo Text\") and show the replies.",
     "  --wait S          seconds to show replies (default 0.5)\n", EchoCommand},
    {"reset", "caddis reset --port N [--no-wait] [--return-timeout S]",
     "Restart the card's microcontroller (Restart) and wait for it to come back.",
     "As the window does it: Restart, the port closed, 2 s, then the card looked for again.\n"
     "  --no-wait         end once Restart is sent\n"
     "  --return-timeout S  seconds to wait for the card's port to come back (default 10)\n",
     ResetCommand},
    {"boot", "caddis boot --port N [--timeout S]",
     "Restart the card's microcontroller in its USB DFU boot loader (Boot).",
     "Waits for the card's identity first, so the message is known to arrive.\n", BootCommand},
    {"update-fpga",
     "caddis update-fpga --port N [--file PATH] [--timeout S] [--ack-timeout S] [--no-restart]",
     "Load the FPGA bitstream into the card over the serial link.",
     "  --file PATH       the bitstream (default: SkerryFPGA.bit beside the caddis program)\n"
     "  --ack-timeout S   give up when the card does not answer a packet for S s (default 10)\n"
     "  --no-restart      do not restart the microcontroller after a successful update (by\n"
     "                    default it is restarted and the command waits for it to come back)\n"
     "Exit status 0 only when the card accepted the whole image.\n",
     UpdateFPGACommand},
    {"update-usb-audio",
     "caddis update-usb-audio --port N [--file PATH] [--timeout S] [--ack-timeout S]",
     "Load the USB-audio processor's image into the card over the serial link.",
     "  --file PATH       the image (default: xmos.bin beside the caddis program)\n"
     "  --ack-timeout S   give up when the card does not answer a packet for S s (default 10)\n"
     "Exit status 0 only when the card accepted the whole image.\n",
     UpdateUSBAudioCommand},
    {"dfu list", "caddis dfu list",
     "List the USB DFU devices: index, record fields, strings, mode.", "", DfuListCommand},
    {"dfu download",
     "caddis dfu download FILE [--no-verify] [--index I] [--wait S] [--port N "
     "[--return-timeout S]]",
     "Download a firmware image into the card's DFU boot loader.",
     "  --no-verify       do not read the image back and compare\n"
     "  --index I         use DFU device I (see caddis dfu list) instead of searching for the\n"
     "                    card (vendor 0x1CBE, product 0x00FF)\n"
     "  --wait S          seconds to search for the card (default 10)\n"
     "  --port N          after the update wait for the card on serial port N and show its\n"
     "                    firmware version\n"
     "  --return-timeout S  seconds to wait for the card's port to come back (default 30)\n",
     DfuDownloadCommand},
    {"help", "caddis help", "Show this help.", "", HelpCommand},
};

int HelpCommand(const tCommandArgs&) {
  std::printf("Usage: caddis <command> [options]\n\nCommands:\n");
  for (const tCommand& C : Table)
    std::printf("  %-18s %s\n", C.Name, C.Summary);
  std::printf(
      "\ncaddis <command> --help shows a command's options.\n"
      "Exit status: 0 success, 1 failure, 2 bad arguments, 130 interrupted.\n"
      "Environment: CADDIS_RUNTIME_DIR (port folder, virtual USB bus), CADDIS_CONFIG_DIR,\n"
      "CADDIS_LOG_DIR (folder of Log.txt, the log of link errors).\n");
  return ExitOk;
}

int CommandHelp(const tCommand& C) {
  std::printf("Usage: %s\n%s\n", C.Synopsis, C.Summary);
  const std::string Synopsis = C.Synopsis;
  if (Synopsis.find("--port") != std::string::npos) std::printf("%s", PortHelp);
  if (Synopsis.find("--timeout") != std::string::npos) std::printf("%s", TimeoutHelp);
  std::printf("%s", C.Details);
  return ExitOk;
}

// The entry named by the first one or two arguments; Used tells how many it took.
const tCommand* FindCommand(int argc, char** argv, int& Used) {
  for (const tCommand& C : Table) {
    const std::string Name = C.Name;
    const auto Space = Name.find(' ');
    if (Space == std::string::npos) {
      if (Name == argv[1]) return Used = 1, &C;
    } else if (argc > 2 && Name.substr(0, Space) == argv[1] && Name.substr(Space + 1) == argv[2]) {
      return Used = 2, &C;
    }
  }
  return nullptr;
}

bool WantsHelp(const tCommandArgs& Args) {
  for (const std::string& Arg : Args) {
    if (Arg == "--") return false;
    if (Arg == "--help" || Arg == "-h") return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    HelpCommand({});
    return ExitUsage;
  }
  const std::string First = argv[1];
  if (First == "-h" || First == "--help") return HelpCommand({});
  int Used = 0;
  const tCommand* Command = FindCommand(argc, argv, Used);
  if (!Command) {
    if (First == "dfu")
      std::fprintf(stderr, "caddis dfu: give list or download (see caddis --help)\n");
    else
      std::fprintf(stderr, "caddis: unknown command '%s' (see caddis --help)\n", First.c_str());
    return ExitUsage;
  }
  const tCommandArgs Args(argv + 1 + Used, argv + argc);
  if (WantsHelp(Args)) return CommandHelp(*Command);
  ChooseLogFolder();
  InstallStopHandlers();
  return Command->Run(Args);
}

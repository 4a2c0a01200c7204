// The caddis program against the caddis-card-sim program over a pseudo-terminal: what it
// prints, what it sends, and its exit status, in a private runtime folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include <grp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "RunProgram.h"
#include "cli/Outcome.h"
#include "lib/lmdfu/DFUSuffix.h"
#include "platform/Paths.h"
#include "serial/PseudoTerminal.h"
#include "session/ServiceRecord.h"
#include "sim/SimProcess.h"

#include "cli/CliRun.h"

namespace {

class CliCommandTest : public tCliFixture {};

TEST_F(CliCommandTest, StatusReportsTheCardsIdentityAndReports) {
  auto Sim = StartCard(11, {"--device-id", "7", "--firmware", "3", "--fpga-version", "9012345678"});
  const tRun Json = Caddis({"status", "--port", "11", "--json"});
  ASSERT_EQ(Json.Exit, 0) << Json.Err;
  const std::string& J = Json.Out;
  // The status is the result event's, the last line.
  const std::string Last = J.substr(J.rfind('\n', J.size() - 2) + 1);
  EXPECT_EQ(Last.rfind("{\"event\":\"result\",\"port\":11,", 0), 0u) << J;
  for (const char* Field :
       {"\"status\":{\"HostName\":\"Caddis\",\"ComPortID\":11,\"DeviceID\":7,\"FirmwareVersion\":3,"
        "\"FPGAVersion\":\"9012345678\",\"Temperature\":",
        "\"SampleRates\":[48000,48000,48000,44100]",
        "\"IPAddress\":\"192.168.1.50\",\"IPAddressValue\":838969536",
        "\"SubnetMask\":\"255.255.255.0\",\"SubnetMaskValue\":16777215",
        "\"UDPorTCP\":false,\"Transport\":\"UDP\",\"LinkHealth\":{"})
    EXPECT_TRUE(Contains(J, Field)) << Field << "\nin " << J;
  // The reported values drift a little around the card's nominal ones.
  const auto Temperature = std::stoi(J.substr(J.find("\"Temperature\":") + 14));
  EXPECT_GE(Temperature, 38);
  EXPECT_LE(Temperature, 44);
  const auto Voltages = J.substr(J.find("\"Voltages\":["), 40);
  EXPECT_TRUE(Contains(Voltages, "[5.") || Contains(Voltages, "[4.9")) << Voltages;

  const tRun Text = Caddis({"status", "--port", "COM11"});
  ASSERT_EQ(Text.Exit, 0) << Text.Err;
  EXPECT_TRUE(Contains(Text.Out, "Device ID:        7\n")) << Text.Out;
  EXPECT_TRUE(Contains(Text.Out, "FPGA version:     9012345678\n")) << Text.Out;
  EXPECT_TRUE(Contains(Text.Out, "IP address:       192.168.1.50\n")) << Text.Out;
}

TEST_F(CliCommandTest, PortsListsTheSimulatedCard) {
  auto Sim = StartCard(12);
  const tRun Ports = Caddis({"ports"});
  ASSERT_EQ(Ports.Exit, 0) << Ports.Err;
  EXPECT_EQ(Ports.Out.rfind("12 ", 0), 0u) << Ports.Out;

  // A FIFO where the port numbers are kept neither hangs the list nor goes unsaid.
  const std::string Numbers = Runtime.Folder.Path + "/config/ports.txt";
  std::filesystem::create_directories(Runtime.Folder.Path + "/config");
  std::filesystem::permissions(Runtime.Folder.Path + "/config", std::filesystem::perms::owner_all);
  ASSERT_EQ(mkfifo(Numbers.c_str(), 0600), 0);
  const tRun WithFifo = Caddis({"ports"});
  EXPECT_EQ(WithFifo.Exit, 0) << WithFifo.Err;
  EXPECT_EQ(WithFifo.Out, Ports.Out);
  EXPECT_EQ(WithFifo.Err, "caddis: " + Numbers +
                              " was not read: not a regular file (a FIFO); port numbers are not "
                              "remembered\n");
}

TEST_F(CliCommandTest, PortsThatDoNotOpenAreExplained) {
  const tRun Missing = Caddis({"status", "--port", "9"});
  EXPECT_EQ(Missing.Exit, ExitPort);
  EXPECT_TRUE(Contains(Missing.Err, "caddis: Cannot open ComPort 9: no such port")) << Missing.Err;

  auto Sim = StartCard(13);
  tProcess Holder(Runtime, CADDIS_PATH, {"monitor", "--port", "13", "--seconds", "20"});
  ASSERT_TRUE(WaitFor([&] { return Contains(Holder.Output(), "COM13"); }))
      << "monitor did not start";
  const tRun Busy = Caddis({"status", "--port", "13"});
  EXPECT_EQ(Busy.Exit, ExitPort);
  EXPECT_TRUE(Contains(Busy.Err, "Cannot open ComPort 13: COM13 is in use by caddis (pid "))
      << Busy.Err;
  // Ctrl-C ends the monitor cleanly and frees the port.
  Holder.Signal(SIGINT);
  const tRun Monitor = Holder.Wait(10s);
  EXPECT_EQ(Monitor.Exit, 0) << Monitor.Err;
  EXPECT_EQ(Caddis({"status", "--port", "13"}).Exit, 0);

  // Another program that merely has the port open (a terminal program, a logger) would take
  // the card's replies: the port is refused, naming it.
  tPortHolder Terminal(std::filesystem::read_symlink(Runtime.PortLink(13)).string());
  const tRun Held = Caddis({"status", "--port", "13"});
  EXPECT_EQ(Held.Exit, ExitPort);
  EXPECT_TRUE(Contains(Held.Err, "Cannot open ComPort 13: COM13 is in use by " + Terminal.Name()))
      << Held.Err;
}

TEST_F(CliCommandTest, ASilentCardIsAnError) {
  auto Sim = StartCard(14, {"--silent"});
  const auto Start = std::chrono::steady_clock::now();
  const tRun Silent = Caddis({"status", "--port", "14", "--timeout", "1.5"});
  EXPECT_EQ(Silent.Exit, ExitNoCard);
  EXPECT_TRUE(Contains(Silent.Err, "no answer from the card on COM14 within 1.5 s")) << Silent.Err;
  EXPECT_EQ(Silent.Out, "");
  EXPECT_GE(std::chrono::steady_clock::now() - Start, 1500ms);

  // With an image to send (a missing one is refused before the card is asked).
  const tRun Update = Caddis(
      {"update-fpga", "--port", "14", "--timeout", "1", "--file", WriteImage("a.bit", 1024)});
  EXPECT_EQ(Update.Exit, ExitNoCard);
  EXPECT_TRUE(Contains(Update.Err, "no answer from the card on COM14")) << Update.Err;

  auto Nameless = StartCard(22, {"--zero-device-id"});
  const tRun Unidentified = Caddis({"status", "--port", "22", "--timeout", "2.5"});
  EXPECT_EQ(Unidentified.Exit, ExitNoCard);
  EXPECT_TRUE(Contains(Unidentified.Err, "the card on COM22 answers but has not identified itself"))
      << Unidentified.Err;
}

TEST_F(CliCommandTest, BadArgumentsAreRefusedWithUsageStatus) {
  struct tCase {
    std::vector<std::string> Args;
    const char* Text;
  };
  const tCase Cases[] = {
      {{"status"}, "caddis status: --port N is required"},
      {{"status", "--port", "x"}, "'x' is not a port number"},
      {{"status", "--port", "1", "--bogus"}, "unknown option '--bogus'"},
      {{"status", "--port"}, "option '--port' needs a value"},
      {{"status", "--port", "1", "--timeout", "soon"}, "--timeout wants seconds"},
      {{"status", "--port", "1", "extra"}, "unexpected argument 'extra'"},
      {{"send-hex", "--port", "1"}, "give the message as one argument of hex digits"},
      {{"send-hex", "--port", "1", ""}, "nothing to send"},
      {{"send-hex", "--port", "1", "zz"}, "'zz' is not hexadecimal"},
      {{"send-hex", "--port", "1", "3c3"}, "'3c3' has an odd number of hex digits"},
      {{"send-hex", "--port", "1", std::string(2 * 255, 'a')},
       "the message is 255 bytes long; one message carries at most 254"},
      {{"dfu", "download"}, "missing argument"},
      {{"dfu"}, "give one of list, download"},
      {{"package"}, "give one of create, sign, verify, show"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
  };
  for (const tCase& Case : Cases) {
    const tRun Run = Caddis(Case.Args);
    EXPECT_EQ(Run.Exit, 2) << Case.Text;
    EXPECT_TRUE(Contains(Run.Err, Case.Text)) << Run.Err;
  }
  EXPECT_EQ(Caddis({}).Exit, 2);
}

TEST_F(CliCommandTest, EveryCommandHasHelp) {
  const tRun Help = Caddis({"--help"});
  ASSERT_EQ(Help.Exit, 0);
  const std::vector<std::vector<std::string>> Commands = {{"ports"},
                                                          {"status"},
                                                          {"monitor"},
                                                          {"send-hex"},
                                                          {"echo"},
                                                          {"reset"},
                                                          {"boot"},
                                                          {"update-fpga"},
                                                          {"update-usb-audio"},
                                                          {"dfu", "list"},
                                                          {"dfu", "download"},
                                                          {"update-firmware"},
                                                          {"restore"},
                                                          {"history"}};
  for (auto Command : Commands) {
    const std::string Name = Command.size() == 1 ? Command[0] : Command[0] + " " + Command[1];
    EXPECT_TRUE(Contains(Help.Out, "  " + Name + " ")) << Name;
    Command.push_back("--help");
    const tRun Run = Caddis(Command);
    EXPECT_EQ(Run.Exit, 0) << Name;
    EXPECT_EQ(Run.Out.rfind("Usage: caddis " + Name, 0), 0u) << Run.Out;
    // Each option is explained once.
    const std::string Options = Run.Out.substr(Run.Out.find('\n'));
    for (const char* Option : {"  --port ", "  --timeout ", "  --wait "}) {
      const auto First = Options.find(Option);
      EXPECT_TRUE(First == std::string::npos ||
                  Options.find(Option, First + 1) == std::string::npos)
          << Name << ": " << Option << " twice in\n"
          << Run.Out;
    }
  }
}

TEST_F(CliCommandTest, SendHexShowsTheRequestAndTheReply) {
  auto Sim = StartCard(15, {"--device-id", "9", "--firmware", "4"});
  const tRun Run = Caddis({"send-hex", "--port", "15", "3c"});
  ASSERT_EQ(Run.Exit, 0) << Run.Err;
  EXPECT_TRUE(Contains(Run.Err, "  to Caddis: Status 60\n")) << Run.Err;
  EXPECT_TRUE(Contains(Run.Err, "from Caddis: Status 60 9 4 ")) << Run.Err;

  const tRun Echo = Caddis({"echo", "--port", "15", "hi", "there"});
  ASSERT_EQ(Echo.Exit, 0) << Echo.Err;
  EXPECT_TRUE(Contains(Echo.Err, "from Caddis: Echo 5 104 105 32 116 104 101 114 101\n"))
      << Echo.Err;
}

TEST_F(CliCommandTest, ResetRestartsTheCard) {
  auto Sim = StartCard(16, {"--verbose"});
  const tRun Run = Caddis({"reset", "--port", "16"});
  ASSERT_EQ(Run.Exit, 0) << Run.Err;
  // Traffic lines only with -v.
  EXPECT_FALSE(Contains(Run.Err, "  to Caddis: Restart 1\n")) << Run.Err;
  EXPECT_TRUE(Contains(Sim->Output(), "restarting")) << Sim->Output();
  // It ends once the card is back, so the next command finds the port.
  EXPECT_TRUE(Contains(Run.Out,
                       "Restart sent on COM16\nWaiting for the card on COM16\n"
                       "Card back on COM16: device ID 33, firmware version 12\n"))
      << Run.Out;
  EXPECT_EQ(Caddis({"status", "--port", "16"}).Exit, 0);
  const tRun Verbose = Caddis({"-v", "reset", "--port", "16"});
  ASSERT_EQ(Verbose.Exit, 0) << Verbose.Err;
  EXPECT_TRUE(Contains(Verbose.Err, "  to Caddis: Restart 1\n")) << Verbose.Err;
}

// Cards whose port stays and whose microcontroller is silent for a while after the Restart,
// however briefly, are seen to restart; one that ignores the Restart is not, whether it
// answers at once or only after a while (its answers then take as long before the Restart,
// and the silence that counts grows with them).
TEST_F(CliCommandTest, AQuickRestartIsSeenAndAnIgnoredOneIsNot) {
  struct tCase {
    std::vector<std::string> Card;
    std::vector<std::string> Command;
    bool Restarts;
  };
  const std::vector<std::string> Reset = {"reset", "--port"};
  const tCase Cases[] = {
      {{"--restart-keeps-port", "--restart-ms", "50"}, Reset, true},
      {{"--restart-keeps-port", "--restart-ms", "150"}, Reset, true},
      {{"--restart-keeps-port", "--restart-ms", "1000"}, Reset, true},
      {{"--restart-keeps-port", "--restart-ms", "150"}, {"update-fpga", "--port"}, true},
      {{"--restart-keeps-port", "--ignore-restart", "--answer-delay", "100"}, Reset, false},
      {{"--ignore-restart", "--answer-delay", "100"}, {"update-fpga", "--port"}, false},
  };
  const std::string Image = WriteImage("SkerryFPGA.bit", 4 * 128);
  int Com = 40;
  for (const tCase& Case : Cases) {
    const std::string Port = std::to_string(++Com);
    auto Sim = StartCard(Com, Case.Card);
    std::vector<std::string> Args = Case.Command;
    Args.push_back(Port);
    if (Args[0] == "update-fpga") Args.insert(Args.end(), {"--file", Image});
    const tRun Run = Caddis(Args);
    const std::string What = Args[0] + " with " + Case.Card.back() + "\n" + Run.Out + Run.Err;
    EXPECT_TRUE(Contains(Run.Out, "Restart sent on COM" + Port + "\n")) << What;
    if (Case.Restarts) {
      EXPECT_EQ(Run.Exit, 0) << What;
      EXPECT_TRUE(Contains(Run.Out, "Card back on COM" + Port + ": ")) << What;
      continue;
    }
    EXPECT_EQ(Run.Exit, Args[0] == "update-fpga" ? ExitVerify : ExitFailure) << What;
    EXPECT_FALSE(Contains(Run.Out, "Card back")) << What;
    EXPECT_TRUE(Contains(Run.Err, "caddis: the card on COM" + Port +
                                      " did not restart: it answered every keep-alive for 2 s "
                                      "after the Restart; "))
        << What;
    EXPECT_TRUE(Contains(Run.Err, Args[0] == "reset" ? "power the card off and on to restart it"
                                                     : "power the card off and on to load it"))
        << What;
  }
}

// The tool itself stopped (SIGSTOP) for 50-200 ms as soon as the card has its Restart: a card
// that ignores it answered meanwhile and is still refused; a card that restarts in 20 ms with
// its port kept lost the probe sent behind the Restart and is still seen to restart.
TEST_F(CliCommandTest, TheToolsOwnStallAfterTheRestartDecidesNothing) {
  const std::string Image = WriteImage("SkerryFPGA.bit", 4 * 128);
  int Com = 50;
  for (const int StallMs : {50, 200}) {
    for (const bool Ignores : {true, false}) {
      const std::string Port = std::to_string(++Com);
      auto Sim = StartCard(Com, Ignores ? std::vector<std::string>{"--ignore-restart", "-v"}
                                        : std::vector<std::string>{"--restart-keeps-port",
                                                                   "--restart-ms", "20", "-v"});
      tProcess Update(Runtime, CADDIS_PATH, {"update-fpga", "--port", Port, "--file", Image});
      const char* Seen = Ignores ? "Restart ignored" : "restarting";
      ASSERT_TRUE(WaitFor([&] { return Contains(Sim->Output(), Seen); }, 30s)) << Sim->Output();
      // The stall is what is tested: the tool does not run for that long.
      Update.Signal(SIGSTOP);
      std::this_thread::sleep_for(std::chrono::milliseconds(StallMs));
      Update.Signal(SIGCONT);
      const tRun Run = Update.Wait();
      const std::string What = std::to_string(StallMs) + " ms, " + Seen + "\n" + Run.Out + Run.Err;
      EXPECT_EQ(Run.Exit, Ignores ? ExitVerify : ExitOk) << What;
      EXPECT_EQ(Contains(Run.Err, "did not restart"), Ignores) << What;
    }
  }
}

TEST_F(CliCommandTest, UpdateFPGARefusesAFileItCannotRead) {
  auto Sim = StartCard(17);
  const tRun Run =
      Caddis({"update-fpga", "--port", "17", "--file", Runtime.Folder.Path + "/absent.bit"});
  EXPECT_EQ(Run.Exit, ExitImage);
  EXPECT_TRUE(Contains(Run.Err, "cannot read " + Runtime.Folder.Path + "/absent.bit")) << Run.Err;

  // The operator's own file is named, not the link the tool makes for it.
  const std::string Empty = WriteImage("empty.bit", 0);
  const tRun EmptyRun = Caddis({"update-fpga", "--port", "17", "--file", Empty});
  EXPECT_EQ(EmptyRun.Exit, ExitImage);
  EXPECT_TRUE(Contains(EmptyRun.Err, "cannot send " + Empty + ": the file is empty"))
      << EmptyRun.Err;
}

TEST_F(CliCommandTest, UpdateFPGADeliversTheImageByteExact) {
  const std::string Image = WriteImage("my-bitstream.bin", 64 * 1024 + 77);
  const std::string Received = Runtime.Folder.Path + "/received.bit";
  auto Sim = StartCard(18, {"--fpga-out", Received});
  const tRun Run = Caddis({"update-fpga", "--port", "18", "--file", Image}, 60s);
  ASSERT_EQ(Run.Exit, 0) << Run.Out << Run.Err;
  // Progress lines in a pipe name the port, so several runs can share one log.
  EXPECT_TRUE(Contains(Run.Out, "\nCOM18 FPGA update: 50%\n")) << Run.Out;
  EXPECT_TRUE(Contains(Run.Out,
                       "\nCOM18 FPGA update: 100%\nFPGA updated successfully\n"
                       "Restart sent on COM18\nWaiting for the card on COM18\n"
                       "Card back on COM18: "))
      << Run.Out;
  ASSERT_TRUE(WaitFor([&] { return FileText(Received).size() == FileText(Image).size(); }));
  EXPECT_TRUE(FileText(Received) == FileText(Image));
}

TEST_F(CliCommandTest, AFlashErrorAbortsTheUpdateWithItsReason) {
  const std::string Image = WriteImage("SkerryFPGA.bit", 10 * 128);
  auto Sim = StartCard(19, {"--ack-code", "4@3"});
  const tRun Run = Caddis({"update-fpga", "--port", "19", "--file", Image});
  EXPECT_EQ(Run.Exit, ExitRefused);
  EXPECT_TRUE(Contains(Run.Err, "Tiva file updater Flash error on packet ")) << Run.Err;
  EXPECT_TRUE(Contains(Run.Err, "Update aborted")) << Run.Err;
  EXPECT_TRUE(Contains(Run.Err, "caddis: FPGA update aborted at ")) << Run.Err;
  EXPECT_TRUE(Contains(Run.Err, "the card answered Flash (code 4)")) << Run.Err;
  EXPECT_FALSE(Contains(Run.Out, "updated successfully")) << Run.Out;
}

TEST_F(CliCommandTest, CtrlCEndsAnUpdateAndFreesThePort) {
  const std::string Image = WriteImage("big.bit", 256 * 1024);
  auto Sim = StartCard(23);
  tProcess Update(Runtime, CADDIS_PATH, {"update-fpga", "--port", "23", "--file", Image});
  ASSERT_TRUE(WaitFor([&] { return Contains(Update.Output(), "FPGA update: 0%"); }, 15s));
  Update.Signal(SIGINT);
  const tRun Run = Update.Wait(10s);
  EXPECT_EQ(Run.Exit, 130) << Run.Err;
  EXPECT_TRUE(Contains(Run.Err, "caddis: FPGA update interrupted at ")) << Run.Err;
  EXPECT_FALSE(Contains(Run.Out, "updated successfully"));
  EXPECT_EQ(Caddis({"status", "--port", "23"}).Exit, 0);
}

TEST_F(CliCommandTest, ACardThatStopsAnsweringEndsTheUpdate) {
  const std::string Image = WriteImage("xmos.bin", 20 * 128);
  auto Sim = StartCard(20, {"--silent-at", "5"});
  const tRun Run =
      Caddis({"update-usb-audio", "--port", "20", "--file", Image, "--ack-timeout", "1"});
  EXPECT_EQ(Run.Exit, ExitNoCard);
  EXPECT_TRUE(Contains(Run.Err, "USB Audio update aborted: no answer from the card")) << Run.Err;
}

// Each answer comes within --ack-timeout, the start packet's too, though no two together
// would: the card is waited for.
TEST_F(CliCommandTest, ACardThatTakesItsTimeOverEachAnswerIsWaitedFor) {
  const std::string Image = WriteImage("xmos.bin", 128);
  const std::string Received = Runtime.Folder.Path + "/received.bin";
  auto Sim = StartCard(28, {"--packet-delay", "1500", "--usb-audio-out", Received});
  const tRun Run =
      Caddis({"update-usb-audio", "--port", "28", "--file", Image, "--ack-timeout", "2.5"});
  EXPECT_EQ(Run.Exit, 0) << Run.Out << Run.Err;
  EXPECT_TRUE(Contains(Run.Out, "USB Audio updated successfully")) << Run.Out;
  ASSERT_TRUE(WaitFor([&] { return FileText(Received) == FileText(Image); }));
}

// A damaged answer is named as such, not taken for a card that stopped answering.
TEST_F(CliCommandTest, ADamagedAnswerEndsTheUpdateAndIsNamed) {
  const std::string Image = WriteImage("xmos.bin", 20 * 128);
  auto Sim = StartCard(29, {"--corrupt-checksum", "5"});
  const tRun Run =
      Caddis({"update-usb-audio", "--port", "29", "--file", Image, "--ack-timeout", "30"});
  EXPECT_EQ(Run.Exit, ExitRefused);
  EXPECT_TRUE(Contains(Run.Err, "Tiva file updater: the card's answer to packet ")) << Run.Err;
  EXPECT_TRUE(Contains(Run.Err, " arrived damaged (checksum ")) << Run.Err;
  EXPECT_TRUE(Contains(Run.Err, "%: the card's answer arrived damaged\n")) << Run.Err;
  EXPECT_FALSE(Contains(Run.Err, "stopped answering")) << Run.Err;
}

// A card killed outright (its port hangs up without a removal notice) and started again on
// the same number: the monitor closes the dead port and follows the new card; status, asked
// while the port hangs up, ends at once.
TEST_F(CliCommandTest, AHungUpPortIsLeftAndTheCardFollowedWhenItIsBack) {
  auto Sim = StartCard(30, {"--device-id", "7"});
  tProcess Monitor(Runtime, CADDIS_PATH, {"monitor", "--port", "30", "--seconds", "60"});
  ASSERT_TRUE(WaitFor([&] { return Contains(Monitor.Output(), ": ID 7 "); })) << Monitor.Output();
  Sim->Kill();
  Sim = StartCard(30, {"--device-id", "9"});
  ASSERT_TRUE(WaitFor([&] { return Contains(Monitor.Output(), ": ID 9 "); }, 20s))
      << Monitor.Output();
  Monitor.Signal(SIGINT);
  const tRun Watched = Monitor.Wait(10s);
  EXPECT_EQ(Watched.Exit, 0);
  EXPECT_TRUE(Contains(Watched.Err, "COM30 hung up\n")) << Watched.Err;
  EXPECT_TRUE(Contains(Watched.Err, "COM30 reopened\n")) << Watched.Err;
  EXPECT_FALSE(Contains(Watched.Err, "Tx error")) << Watched.Err;

  // A silent card: status waits for its identity until the port hangs up.
  auto Silent = StartCard(31, {"--silent", "--verbose"});
  tProcess Status(Runtime, CADDIS_PATH, {"status", "--port", "31", "--timeout", "60"});
  ASSERT_TRUE(WaitFor([&] { return Contains(Silent->Output(), "COM31 opened by the tool"); }))
      << Silent->Output();
  Silent->Kill();
  const tRun Hung = Status.Wait(30s);
  EXPECT_EQ(Hung.Exit, ExitNoCard);
  EXPECT_TRUE(Contains(Hung.Err,
                       "caddis: the card's port COM31 hung up before the card "
                       "identified itself"))
      << Hung.Err;
}

TEST_F(CliCommandTest, BootAndDfuDownloadBringTheCardBackWithNewFirmware) {
  auto Sim = StartCard(21, {"--firmware", "12"});
  const tRun Boot = Caddis({"-v", "boot", "--port", "21"});
  ASSERT_EQ(Boot.Exit, 0) << Boot.Err;
  EXPECT_TRUE(Contains(Boot.Err, "  to Caddis: Boot 4\n")) << Boot.Err;

  // The boot loader appears on the virtual bus a moment after the card leaves its port.
  tRun List;
  ASSERT_TRUE(WaitFor([&] {
    List = Caddis({"dfu", "list"});
    return Contains(List.Out, ": vendor 0x1CBE product 0x00FF release 0x");
  })) << List.Out
      << List.Err;
  EXPECT_EQ(List.Exit, 0);
  EXPECT_TRUE(Contains(List.Out, ", DFU mode\n")) << List.Out;
  EXPECT_TRUE(Contains(List.Out, "Tiva extensions no, part number 0, revision none")) << List.Out;
  EXPECT_TRUE(Contains(List.Out, "Serial number: SIM00021 (string ")) << List.Out;

  const tRun Download = Caddis({"dfu", "download", DEMO_DFU_PATH, "--port", "21"}, 90s);
  ASSERT_EQ(Download.Exit, 0) << Download.Out << Download.Err;
  EXPECT_TRUE(Contains(Download.Out, "vendor 0x1CBE product 0x00FF")) << Download.Out;
  EXPECT_TRUE(Contains(Download.Out, "\nCOM21 Downloading: 100%\n")) << Download.Out;
  EXPECT_TRUE(Contains(Download.Out, "\nCOM21 Verifying: 100%\n")) << Download.Out;
  EXPECT_TRUE(Contains(Download.Out, "Device updated successfully\n")) << Download.Out;
  EXPECT_TRUE(Contains(Download.Out, "Card back on COM21: device ID 33, firmware version 2\n"))
      << Download.Out;

  const tRun Status = Caddis({"status", "--port", "21", "--json"});
  ASSERT_EQ(Status.Exit, 0) << Status.Err;
  EXPECT_TRUE(Contains(Status.Out, "\"FirmwareVersion\":2,")) << Status.Out;
}

TEST_F(CliCommandTest, DfuDownloadWithoutADeviceOrFileFails) {
  const tRun Missing = Caddis({"dfu", "download", Runtime.Folder.Path + "/none.dfu"});
  EXPECT_EQ(Missing.Exit, ExitImage);
  EXPECT_TRUE(Contains(Missing.Err, "cannot read ")) << Missing.Err;

  const tRun NoDevice = Caddis({"dfu", "download", DEMO_DFU_PATH, "--wait", "0"});
  EXPECT_EQ(NoDevice.Exit, ExitNoCard);
  EXPECT_TRUE(Contains(NoDevice.Err, "No USB DFU devices found")) << NoDevice.Err;

  // SIGTERM ends the search as Ctrl-C does, with the status a terminated program has. The
  // search lists the virtual USB folder: its first listing shows the program searching.
  const std::string UsbFolder = tPaths::VirtualUSBFolder();
  ASSERT_TRUE(tPaths::MakeFolders(UsbFolder));
  const int Watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(Watch, 0);
  ASSERT_GE(inotify_add_watch(Watch, UsbFolder.c_str(), IN_OPEN), 0);
  tProcess Searching(Runtime, CADDIS_PATH, {"dfu", "download", DEMO_DFU_PATH, "--wait", "30"});
  pollfd Listed{Watch, POLLIN, 0};
  EXPECT_EQ(poll(&Listed, 1, 10000), 1) << "the program never looked for a boot loader";
  close(Watch);
  Searching.Signal(SIGTERM);
  EXPECT_EQ(Searching.Wait(10s).Exit, 143);
}

TEST_F(CliCommandTest, SeveralBootLoadersAreListedNotGuessed) {
  auto First = StartCard(24);
  auto Second = StartCard(25);
  for (const char* Port : {"24", "25"})
    ASSERT_EQ(Caddis({"boot", "--port", Port}).Exit, 0);
  ASSERT_TRUE(WaitFor([&] {
    const std::string List = Caddis({"dfu", "list"}).Out;
    return Contains(List, "SIM00024") && Contains(List, "SIM00025");
  }));
  const tRun Refused = Caddis({"dfu", "download", DEMO_DFU_PATH});
  EXPECT_EQ(Refused.Exit, 2);
  EXPECT_TRUE(Contains(Refused.Err, "choose one with --serial, --path or --index")) << Refused.Err;
  EXPECT_TRUE(Contains(Refused.Err, ": serial SIM00024 at ")) << Refused.Err;
  EXPECT_TRUE(Contains(Refused.Err, ": serial SIM00025 at ")) << Refused.Err;

  // A serial number that none has: said so, with those that are there.
  const tRun NoMatch =
      Caddis({"dfu", "download", DEMO_DFU_PATH, "--serial", "NOPE", "--wait", "0"});
  EXPECT_EQ(NoMatch.Exit, ExitNoCard);
  EXPECT_TRUE(Contains(NoMatch.Err, "no USB DFU device matches serial NOPE; present:\n"))
      << NoMatch.Err;
  EXPECT_TRUE(Contains(NoMatch.Err, ": serial SIM00024 at ")) << NoMatch.Err;
  EXPECT_TRUE(Contains(NoMatch.Err, ": serial SIM00025 at ")) << NoMatch.Err;

  const tRun Chosen =
      Caddis({"dfu", "download", DEMO_DFU_PATH, "--serial", "SIM00025", "--port", "25"}, 90s);
  ASSERT_EQ(Chosen.Exit, 0) << Chosen.Out << Chosen.Err;
  EXPECT_TRUE(Contains(Chosen.Out, "Card back on COM25: device ID 33, firmware version 2\n"))
      << Chosen.Out;
  // The other card still waits in its boot loader.
  const tRun Json = Caddis({"dfu", "list", "--json"});
  EXPECT_TRUE(Contains(Json.Out, "\"SerialNumber\":\"SIM00024\"")) << Json.Out;
  EXPECT_FALSE(Contains(Json.Out, "SIM00025")) << Json.Out;
}

TEST_F(CliCommandTest, UpdateFirmwareRunsTheWholeUpdateInOneCommand) {
  auto Sim = StartCard(26, {"--firmware", "12"});
  const tRun Missing =
      Caddis({"update-firmware", "--port", "26", "--file", Runtime.Folder.Path + "/none.dfu"});
  EXPECT_EQ(Missing.Exit, ExitImage);
  EXPECT_TRUE(Contains(Missing.Err, "cannot read " + Runtime.Folder.Path + "/none.dfu: "))
      << Missing.Err;

  // The bad file was found before Boot: the card is still on its link. The default image is
  // the build's demo image, found through the variable only the demo and the tests set.
  tScopedEnv Images("CADDIS_IMAGE_DIR", DEMO_IMAGE_DIR);
  const tRun Run = Caddis({"update-firmware", "--port", "26"}, 90s);
  ASSERT_EQ(Run.Exit, 0) << Run.Out << Run.Err;
  EXPECT_TRUE(Contains(Run.Out, "Card on COM26: device ID 33, firmware version 12\n")) << Run.Out;
  EXPECT_TRUE(Contains(Run.Out, "Serial number: SIM00026 ")) << Run.Out;
  EXPECT_TRUE(Contains(Run.Out, "COM26 Verifying: 100%\nDevice updated successfully\n")) << Run.Out;
  EXPECT_TRUE(Contains(Run.Out, "Card back on COM26: device ID 33, firmware version 2\n"))
      << Run.Out;

  // The firmware the card ran before was kept, the record names it, and restore puts it back.
  const auto Record = nlohmann::json::parse(FileText(ServiceRecordPath()));
  EXPECT_EQ(Record["Action"], "update-firmware");
  EXPECT_EQ(Record["Result"], "success");
  EXPECT_EQ(Record["Before"]["FirmwareVersion"], 12);
  EXPECT_EQ(Record["After"]["FirmwareVersion"], 2);
  const std::string Kept = Record["KeptFirmware"]["File"].get<std::string>();
  EXPECT_TRUE(Contains(Run.Out, "The card's firmware is kept in " + Kept + "\n")) << Run.Out;
  const tRun Restored = Caddis({"restore", "--port", "26"}, 90s);
  ASSERT_EQ(Restored.Exit, 0) << Restored.Out << Restored.Err;
  EXPECT_TRUE(Contains(Restored.Out, "Restoring " + Kept + "\n")) << Restored.Out;
  EXPECT_TRUE(Contains(Restored.Out, "Card back on COM26: device ID 33, firmware version 12\n"))
      << Restored.Out;
}

// Every check that needs only the file comes before Boot: a refused image leaves the card
// on its link, and says why.
TEST_F(CliCommandTest, UpdateFirmwareRefusesABadImageBeforeBoot) {
  auto Sim = StartCard(32, {"--verbose"});
  auto Dfu = [&](const std::string& Name, std::vector<uint8_t> Payload, uint16_t Vendor,
                 uint16_t Product, int Flip = -1) {
    dfu::AppendSuffix(Payload, Vendor, Product);
    if (Flip >= 0) Payload[Flip] ^= 1;
    const std::string Path = Runtime.Folder.Path + "/" + Name;
    std::ofstream(Path, std::ios::binary)
        .write(reinterpret_cast<const char*>(Payload.data()), Payload.size());
    return Path;
  };
  const std::vector<uint8_t> Firmware(4096, 0x42);
  struct tCase {
    std::string File;
    const char* Reason;
  };
  const tCase Cases[] = {
      {WriteImage("plain.bin", 4096), "no DFU suffix"},
      {Dfu("damaged.dfu", Firmware, 0x1CBE, 0x00FF, 100), "DFU suffix CRC mismatch"},
      {Dfu("vendor.dfu", Firmware, 0x1234, 0x00FF), "image is for vendor 0x1234"},
      {Dfu("product.dfu", Firmware, 0x1CBE, 0x0001), "image is for product 0x0001"},
      {WriteImage("empty.dfu", 0), "image too short"},
      {WriteImage("one.dfu", 1), "image too short"},
      {Dfu("big.dfu", std::vector<uint8_t>((1 << 20) + 1, 7), 0x1CBE, 0x00FF),
       "the firmware is 1048577 bytes long; the card's flash holds 1048576"},
  };
  for (const tCase& Case : Cases) {
    const tRun Run = Caddis({"update-firmware", "--port", "32", "--file", Case.File});
    EXPECT_EQ(Run.Exit, ExitImage) << Case.File;
    EXPECT_TRUE(Contains(Run.Err, "caddis: cannot use " + Case.File + ": " + Case.Reason))
        << Run.Err;
    EXPECT_FALSE(Contains(Run.Out, "Boot sent")) << Run.Out;
  }
  EXPECT_FALSE(Contains(Sim->Output(), "Boot")) << Sim->Output();
  EXPECT_EQ(Caddis({"status", "--port", "32"}).Exit, 0);
}

// After Boot: a boot loader that refuses the download before a block was written is sent
// back, and the card returns with its former firmware; a stop while the boot loader is
// searched for says where the card is and how to bring it back; a reset that does not reach
// the boot loader is no success.
TEST_F(CliCommandTest, UpdateFirmwareNeverLeavesTheCardSomewhereUnsaid) {
  tScopedEnv Images("CADDIS_IMAGE_DIR", DEMO_IMAGE_DIR);
  auto Verifiable = StartCard(33, {"--firmware", "12", "--dfu-no-upload"});
  const tRun Refused = Caddis({"update-firmware", "--port", "33", "--no-backup"}, 60s);
  EXPECT_EQ(Refused.Exit, ExitRefused);
  EXPECT_TRUE(Contains(Refused.Err, "cannot be verified")) << Refused.Err;
  EXPECT_TRUE(
      Contains(Refused.Err, "; nothing was written: the card restarts with its former firmware"))
      << Refused.Err;
  EXPECT_TRUE(Contains(Refused.Out, "Card back on COM33: device ID 33, firmware version 12\n"))
      << Refused.Out;

  auto Searched = StartCard(34);
  tProcess Stopped(Runtime, CADDIS_PATH, {"update-firmware", "--port", "34", "--serial", "NONE"});
  ASSERT_TRUE(WaitFor([&] { return Contains(Stopped.Output(), "Boot sent on COM34"); }));
  Stopped.Signal(SIGINT);
  const tRun Interrupted = Stopped.Wait(10s);
  EXPECT_EQ(Interrupted.Exit, 130);
  EXPECT_TRUE(Contains(Interrupted.Err,
                       "caddis: interrupted: the card from COM34 is in its USB DFU boot loader; "
                       "bring it back with caddis dfu download "))
      << Interrupted.Err;
  EXPECT_TRUE(Contains(Interrupted.Err, " --port 34, or by switching it off and on\n"))
      << Interrupted.Err;

  auto Stuck = StartCard(35, {"--dfu-fault", "reset-ignored"});
  const tRun Kept = Caddis(
      {"update-firmware", "--port", "35", "--serial", "SIM00035", "--return-timeout", "5"}, 60s);
  EXPECT_EQ(Kept.Exit, ExitVerify);
  EXPECT_FALSE(Contains(Kept.Out, "Device updated successfully")) << Kept.Out;
  EXPECT_TRUE(Contains(Kept.Err, "the device did not restart into it: error -15: ")) << Kept.Err;
  EXPECT_TRUE(Contains(Kept.Err, "install libusbK")) << Kept.Err;
  // The firmware is whole: switching the card off and on starts it.
  EXPECT_TRUE(Contains(Kept.Err, "--port 35, or by switching it off and on\n")) << Kept.Err;
}

TEST_F(CliCommandTest, VerboseTracesEveryFrameAndTheVersionIsShown) {
  auto Sim = StartCard(27);
  const tRun Run = Caddis({"-v", "send-hex", "--port", "27", "3c"});
  ASSERT_EQ(Run.Exit, 0) << Run.Err;
  EXPECT_TRUE(Contains(Run.Err, "] tx Status: 02 3c ")) << Run.Err;
  EXPECT_TRUE(Contains(Run.Err, "] rx Status: 0e 3c 21 0c ")) << Run.Err;

  const tRun Version = Caddis({"--version"});
  EXPECT_EQ(Version.Exit, 0);
  EXPECT_EQ(Version.Out.rfind("caddis ", 0), 0u) << Version.Out;

  // A helper program answers --help instead of writing a file of that name.
  tProcess Image(Runtime, DFU_IMAGE_PATH, {"--help"});
  const tRun Help = Image.Wait();
  EXPECT_EQ(Help.Exit, 0);
  EXPECT_TRUE(Contains(Help.Out, "usage: caddis-dfu-image")) << Help.Out;
  EXPECT_FALSE(std::filesystem::exists("--help"));
  EXPECT_EQ(tProcess(Runtime, DFU_IMAGE_PATH, {"--bogus"}).Wait().Exit, 2);
}

TEST_F(CliCommandTest, TheDemoImagesGoToTheSimulatedCard) {
  // The build's made-up images are found only through the variable the demo and the tests
  // set, and a pseudo-terminal is where the simulated card lives: they are sent.
  const std::string Received = Runtime.Folder.Path + "/received.bin";
  auto Sim = StartCard(29, {"--usb-audio-out", Received});
  tScopedEnv Images("CADDIS_IMAGE_DIR", DEMO_IMAGE_DIR);
  const tRun Run = Caddis({"update-usb-audio", "--port", "29"}, 60s);
  ASSERT_EQ(Run.Exit, 0) << Run.Out << Run.Err;
  const std::string Demo = FileText(std::string(DEMO_IMAGE_DIR) + "/xmos.bin");
  ASSERT_TRUE(WaitFor([&] { return FileText(Received).size() == Demo.size(); })) << Run.Out;
  EXPECT_TRUE(FileText(Received) == Demo);
}

TEST_F(CliCommandTest, APortIsNamedByItsNumberOrItsDevice) {
  auto Sim = StartCard(28);
  const std::string Link = Runtime.PortLink(28);
  const std::string Device = std::filesystem::read_symlink(Link).string();
  // Whatever name it is given by, the port goes by the number the port list gives it.
  for (const std::string& Name : {Link, Device}) {
    const tRun Run = Caddis({"status", "--port", Name});
    ASSERT_EQ(Run.Exit, 0) << Name << ": " << Run.Err;
    EXPECT_TRUE(Contains(Run.Out, "Port:             COM28\n")) << Run.Out;
  }
  const tRun Missing = Caddis({"status", "--port", "/dev/ttyNOPE0"});
  EXPECT_EQ(Missing.Exit, ExitPort);
  EXPECT_TRUE(Contains(Missing.Err, "no serial port /dev/ttyNOPE0 in the port list"))
      << Missing.Err;
}

TEST_F(CliCommandTest, ALinkErrorOfAnOrdinaryUserLandsInTheirOwnLog) {
  // An operator without special rights (nobody, when the tests run as root), with nothing but
  // a home folder: the log of link errors goes to the state folder there, and nowhere else.
  const std::string Home = Runtime.Folder.Path + "/home";
  std::filesystem::create_directory(Home);
  const bool AsRoot = geteuid() == 0;
  if (AsRoot) {
    ASSERT_EQ(chmod(Runtime.Folder.Path.c_str(), 0755), 0);
    ASSERT_EQ(chown(Home.c_str(), 65534, 65534), 0);
  }
  struct stat Root {};
  const bool RootLogExisted = stat("/Log.txt", &Root) == 0;
  tScopedEnv HomeEnv("HOME", Home);
  tScopedEnv RuntimeEnv("CADDIS_RUNTIME_DIR", Home + "/run");
  tScopedEnv ConfigEnv("CADDIS_CONFIG_DIR", Home + "/config");
  tScopedEnv LogDir("CADDIS_LOG_DIR", ""), State("XDG_STATE_HOME", "");
  tEnvironment::Unset("CADDIS_LOG_DIR");
  tEnvironment::Unset("XDG_STATE_HOME");
  const tProgramRun Run = RunProgram(
      {CADDIS_PATH, "status", "--port", "99"}, Runtime.Folder.Path + "/nobody.out", 60s, [AsRoot] {
        return !AsRoot || (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0);
      });
  EXPECT_EQ(Run.Exit, ExitPort) << Run.Output;
  EXPECT_TRUE(Contains(Run.Output, "Cannot open ComPort 99")) << Run.Output;
  EXPECT_FALSE(Contains(Run.Output, "Cannot write the log file")) << Run.Output;
  const std::string Log = FileText(Home + "/.local/state/caddis/Log.txt");
  EXPECT_TRUE(Contains(Log, " Caddis Host Cannot open ComPort 99\r\n")) << Log;
  struct stat After {};
  EXPECT_EQ(stat("/Log.txt", &After) == 0, RootLogExisted);
  if (RootLogExisted) {
    EXPECT_EQ(After.st_size, Root.st_size) << "/Log.txt was written";
  }
}

TEST_F(CliCommandTest, PathsShowsTheFilesAndFoldersInUse) {
  const std::string Root = Runtime.Folder.Path;
  tScopedEnv LogDir("CADDIS_LOG_DIR", Root + "/logs");
  tScopedEnv State("XDG_STATE_HOME", Root + "/state");
  tScopedEnv Images("CADDIS_IMAGE_DIR", Root + "/images");
  const tRun Json = Caddis({"paths", "--json"});
  ASSERT_EQ(Json.Exit, 0) << Json.Err;
  // Run from the build tree, the settings lie beside the program.
  const std::string Expected =
      "{\"LogFile\":\"" + Root + "/logs/Log.txt\",\"ServiceRecord\":\"" + Root +
      "/state/caddis/service-record.jsonl\",\"KeptFirmwareFolder\":\"" + Root +
      "/state/caddis/firmware\",\"SettingsFile\":\"" +
      std::filesystem::path(CADDIS_PATH).parent_path().string() +
      "/Serial.ini\",\"SettingsFileFrom\":\"beside the program\",\"ConfigFolder\":\"" + Root +
      "/config\",\"PortNumbersFile\":\"" + Root + "/config/ports.txt\",\"RuntimeFolder\":\"" +
      Root + "/run\",\"PortFolder\":\"" + Root + "/run/ports\",\"VirtualUSBFolder\":\"" + Root +
      "/run/usb\",\"ImageFolder\":\"" + Root + "/images\",\"ImageFolders\":[{\"Path\":\"" + Root +
      "/images\",\"From\":\"$CADDIS_IMAGE_DIR\"}],\"TrustedKeyFolders\":[\"" + Root +
      "/config/trusted-keys\",\"/etc/caddis/trusted-keys\"]}\n";
  EXPECT_EQ(Json.Out, Expected);
  const tRun Text = Caddis({"paths"});
  ASSERT_EQ(Text.Exit, 0) << Text.Err;
  EXPECT_TRUE(Contains(Text.Out, "Log file:         " + Root + "/logs/Log.txt\n")) << Text.Out;
  EXPECT_TRUE(Contains(Text.Out, "Port numbers:     " + Root + "/config/ports.txt\n")) << Text.Out;
  EXPECT_TRUE(Contains(Text.Out, "Trusted keys:     " + Root + "/config/trusted-keys\n"))
      << Text.Out;
  EXPECT_TRUE(Contains(Text.Out, "Image folder:     " + Root + "/images  ($CADDIS_IMAGE_DIR)\n"))
      << Text.Out;

  // The same program installed in a prefix's bin: nothing is looked for beside it. The
  // system-wide settings are read while the user has none.
  const std::string Bin = Root + "/usr/bin";
  std::filesystem::create_directories(Bin);
  std::filesystem::copy_file(CADDIS_PATH, Bin + "/caddis");
  tScopedEnv NoImageDir("CADDIS_IMAGE_DIR", "");
  tScopedEnv Data("XDG_DATA_HOME", Root + "/data");
  const tRun Installed = tProcess(Runtime, Bin + "/caddis", {"paths", "--json"}).Wait();
  ASSERT_EQ(Installed.Exit, 0) << Installed.Err;
  const nlohmann::json Paths = nlohmann::json::parse(Installed.Out);
  EXPECT_EQ(Paths["SettingsFile"], Root + "/config/Serial.ini") << Paths;
  ASSERT_EQ(Paths["ImageFolders"].size(), 2u) << Paths;
  EXPECT_EQ(Paths["ImageFolders"][0]["From"], "the working folder");
  EXPECT_EQ(Paths["ImageFolders"][1]["Path"], Root + "/data/caddis");
  EXPECT_EQ(Paths["ImageFolders"][1]["From"], "the user's data folder");
  EXPECT_FALSE(Contains(Installed.Out, Bin)) << Installed.Out;
  // A default image that is not there says where to put it, and writes no record line.
  auto Sim = StartCard(33);
  const tRun Missing =
      tProcess(Runtime, Bin + "/caddis", {"update-usb-audio", "--port", "33"}).Wait();
  EXPECT_EQ(Missing.Exit, ExitImage) << Missing.Err;
  EXPECT_TRUE(Contains(Missing.Err, "put xmos.bin in ")) << Missing.Err;
  EXPECT_TRUE(Contains(Missing.Err, " or " + Root + "/data/caddis, or give --file")) << Missing.Err;
  EXPECT_FALSE(std::filesystem::exists(ServiceRecordPath())) << FileText(ServiceRecordPath());
}

TEST_F(CliCommandTest, StatusAndMonitorShowTheLinksHealth) {
  // Every fifth frame from the card arrives damaged.
  auto Sim = StartCard(30, {"--corrupt-checksum", "5"});
  const tRun Json = Caddis({"status", "--port", "30", "--json"});
  ASSERT_EQ(Json.Exit, 0) << Json.Err;
  // The status is in the last event, the result.
  const std::string Last = Json.Out.substr(Json.Out.rfind('{', Json.Out.rfind("\"event\"")));
  const auto Result = nlohmann::json::parse(Last);
  ASSERT_EQ(Result["event"], "result") << Json.Out;
  const auto& Health = Result["status"]["LinkHealth"];
  EXPECT_GE(Health["RoundTrips"].get<int>(), 1) << Json.Out;
  EXPECT_GT(Health["RoundTripMs"]["Max"].get<double>(), 0.0) << Json.Out;
  EXPECT_GE(Health["FramesDamaged"]["Checksum"].get<int>(), 1) << Json.Out;
  EXPECT_EQ(Health["FramesDamaged"]["Length"], 0) << Json.Out;
  EXPECT_GT(Health["BytesSent"].get<int>(), 0) << Json.Out;
  EXPECT_GT(Health["BytesReceived"].get<int>(), Health["BytesSent"].get<int>()) << Json.Out;
  EXPECT_EQ(Health["HangUps"], 0) << Json.Out;

  const tRun Monitor = Caddis({"monitor", "--port", "30", "--seconds", "2.5"});
  ASSERT_EQ(Monitor.Exit, 0) << Monitor.Err;
  EXPECT_TRUE(Contains(Monitor.Out, "; link: round trip ")) << Monitor.Out;
  EXPECT_TRUE(Contains(Monitor.Out, " checksum, ")) << Monitor.Out;
}

TEST_F(CliCommandTest, HistoryShowsTheRecordAndSkipsADamagedLine) {
  const std::string Record = ServiceRecordPath();
  EXPECT_EQ(Record.rfind(Runtime.Folder.Path, 0), 0u) << "the test's own record";
  const tRun Empty = Caddis({"history"});
  EXPECT_EQ(Empty.Exit, 0) << Empty.Err;
  EXPECT_TRUE(Contains(Empty.Out, "No updates recorded yet")) << Empty.Out;

  tServiceEntry Entry;
  Entry.Action = tRecordAction::FPGA;
  Entry.Program = "caddis";
  Entry.Port = 5;
  Entry.Before = {true, 17, 3, "0104052026"};
  Entry.Result = sr_Succeeded;
  std::string Error;
  ASSERT_TRUE(AppendServiceRecord(Record, Entry, Error)) << Error;
  { std::ofstream(Record, std::ios::app) << "{\"Start\":\"2026-12-0\n"; }
  Entry.Port = 6;
  Entry.Before.DeviceID = 18;
  Entry.Result = sr_Failed;
  Entry.Failure = "the card stopped answering";
  ASSERT_TRUE(AppendServiceRecord(Record, Entry, Error)) << Error;

  const tRun Table = Caddis({"history"});
  EXPECT_EQ(Table.Exit, 0) << Table.Err;
  EXPECT_TRUE(Contains(Table.Err, "line 2 of " + Record + " is damaged and was skipped"))
      << Table.Err;
  EXPECT_EQ(std::count(Table.Out.begin(), Table.Out.end(), '\n'), 3) << Table.Out;
  EXPECT_TRUE(Contains(Table.Out, "COM6  18    update-fpga")) << Table.Out;
  EXPECT_TRUE(Contains(Table.Out, "failed: the card stopped answering")) << Table.Out;

  // With --json each line is a record event carrying the line's own object, after the start
  // event and before the result.
  const tRun Json = Caddis({"history", "--json", "--card", "18"});
  EXPECT_EQ(Json.Exit, 0) << Json.Err;
  std::vector<nlohmann::json> Events;
  std::istringstream Lines(Json.Out);
  for (std::string Line; std::getline(Lines, Line);)
    Events.push_back(nlohmann::json::parse(Line));
  ASSERT_EQ(Events.size(), 3u) << Json.Out;
  EXPECT_EQ(Events[0]["event"], "start");
  EXPECT_EQ(Events[1]["event"], "record");
  EXPECT_EQ(Events[1]["port"], 6);
  EXPECT_EQ(Events[1]["line"], nlohmann::json::parse(ServiceRecordLine(Entry)));
  EXPECT_EQ(Events[2]["event"], "result");
  EXPECT_EQ(Events[2]["count"], 1);
  EXPECT_EQ(Events[2]["record"], Record);
  // --record names the record read, as it names the one written.
  const tRun Elsewhere =
      Caddis({"history", "--json", "--record", Runtime.Folder.Path + "/none.jsonl"});
  EXPECT_EQ(Elsewhere.Exit, 0) << Elsewhere.Err;
  EXPECT_TRUE(Contains(Elsewhere.Out, "\"count\":0")) << Elsewhere.Out;
  const tRun OnPort = Caddis({"history", "--port", "5"});
  EXPECT_TRUE(Contains(OnPort.Out, "COM5")) << OnPort.Out;
  EXPECT_FALSE(Contains(OnPort.Out, "COM6")) << OnPort.Out;
  const tRun None = Caddis({"history", "--port", "7"});
  EXPECT_TRUE(Contains(None.Out, "No updates recorded on COM7")) << None.Out;

  EXPECT_EQ(Caddis({"history", "--port", "5", "--card", "17"}).Exit, 2);
  EXPECT_EQ(Caddis({"history", "--card", "256"}).Exit, 2);
}

TEST_F(CliCommandTest, NoFileInTheRecordsPlaceIsRefusedAndCtrlCEndsAnyWait) {
  const std::string Image = WriteImage("SkerryFPGA.bit", 10 * 128);
  const std::string Fifo = Runtime.Folder.Path + "/record.fifo";
  ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);

  // The update is refused before the card is touched: its line could never be written.
  auto Sim = StartCard(24);
  const tRun Refused =
      Caddis({"update-fpga", "--port", "24", "--file", Image, "--record", Fifo}, 20s);
  EXPECT_EQ(Refused.Exit, ExitFailure) << Refused.Err;
  EXPECT_TRUE(Contains(Refused.Err, "caddis: cannot write the service record " + Fifo +
                                        ": not a regular file (a FIFO)"))
      << Refused.Err;
  EXPECT_FALSE(Contains(Refused.Out, "FPGA update")) << Refused.Out;

  // history reads neither a FIFO nor a device that never ends.
  for (const std::string& Place : {Fifo, std::string("/dev/zero")}) {
    tScopedEnv Record("CADDIS_RECORD", Place);
    const tRun History = Caddis({"history"}, 20s);
    EXPECT_EQ(History.Exit, ExitFailure) << Place << ": " << History.Err;
    EXPECT_TRUE(Contains(History.Err, "caddis: cannot read the service record " + Place +
                                          ": not a regular file (a "))
        << History.Err;
  }

  // Ctrl-C while the tool waits for a card that stopped answering: the interrupted status,
  // and the record says so.
  const std::string Record = Runtime.Folder.Path + "/record.jsonl";
  auto Silent = StartCard(25, {"--silent-at", "3"});
  tProcess Update(
      Runtime, CADDIS_PATH,
      {"update-fpga", "--port", "25", "--file", Image, "--ack-timeout", "60", "--record", Record});
  ASSERT_TRUE(WaitFor([&] { return Contains(Update.Output(), "FPGA update: 0%"); }, 15s));
  Update.Signal(SIGINT);
  const tRun Run = Update.Wait(10s);
  EXPECT_EQ(Run.Exit, 130) << Run.Err;
  const auto Line = nlohmann::json::parse(FileText(Record), nullptr, false);
  ASSERT_TRUE(Line.is_object()) << FileText(Record);
  EXPECT_EQ(Line["Result"], "interrupted");
}

}  // namespace

namespace {

// A firmware that fails its proof after the download, through the command line: rolled back
// by itself with exit status 7, or left as it is with --no-rollback; the record says which.
TEST_F(CliCommandTest, AFirmwareThatFailsItsProofIsRolledBackOrLeftAsAsked) {
  const std::string Image = Runtime.Folder.Path + "/fw13.dfu";
  ASSERT_EQ(tProcess(Runtime, DFU_IMAGE_PATH, {Image, "13", "20000"}).Wait().Exit, 0);
  struct tCase {
    int Port;
    const char* Fault;
    std::vector<std::string> Extra;
    const char* Says;
    const char* Result;
    const char* FirmwareThen;
  };
  const tCase Cases[] = {
      {37, "13:never-starts", {}, "; rolled back to firmware version 12\n", "rolled-back", "12"},
      {38,
       "13:drops-keepalive",
       {"--no-rollback"},
       "the card left a keep-alive unanswered",
       "failed",
       "13"},
  };
  for (const tCase& Case : Cases) {
    auto Sim = StartCard(
        Case.Port, {"--firmware", "12", "--restart-ms", "200", "--firmware-fault", Case.Fault});
    const std::string Port = std::to_string(Case.Port);
    std::vector<std::string> Args{"update-firmware",
                                  "--port",
                                  Port,
                                  "--file",
                                  Image,
                                  "--return-timeout",
                                  "4",
                                  "--settle",
                                  "0.5",
                                  "--record",
                                  Runtime.Folder.Path + "/record-" + Port};
    Args.insert(Args.end(), Case.Extra.begin(), Case.Extra.end());
    const tRun Run = Caddis(Args, 90s);
    EXPECT_EQ(Run.Exit, ExitVerify) << Case.Fault << "\n" << Run.Out << Run.Err;
    EXPECT_TRUE(Contains(Run.Err, Case.Says)) << Run.Err;
    if (!Case.Extra.empty()) {
      EXPECT_TRUE(Contains(Run.Err, "; the card is left as it is (--no-rollback)\n")) << Run.Err;
    }
    const auto Line = nlohmann::json::parse(FileText(Runtime.Folder.Path + "/record-" + Port));
    EXPECT_EQ(Line["Result"], Case.Result) << Line.dump();
    EXPECT_EQ(Line["After"]["FirmwareVersion"], std::stoi(Case.FirmwareThen)) << Line.dump();
    const tRun Status = Caddis({"status", "--port", Port});
    EXPECT_TRUE(Contains(Status.Out, std::string("Firmware version: ") + Case.FirmwareThen))
        << Status.Out;
  }
}

}  // namespace

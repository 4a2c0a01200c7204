// The caddis-card-sim program on its own: its pseudo-terminal spoken to with plain reads and
// writes, its port folder entry, Restart, and its end.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/PortCatalogue.h"
#include "serial/ComPorts.h"
#include "sim/SimProcess.h"
#include "tests/serial/PseudoTerminal.h"

namespace {

using tBytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// The tool's side of the wire, opened through the port folder's link.
class tWireEnd {
 public:
  explicit tWireEnd(const std::string& Link) {
    Fd = open(Link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0) return;
    termios Settings{};
    tcgetattr(Fd, &Settings);
    cfmakeraw(&Settings);
    tcsetattr(Fd, TCSANOW, &Settings);
  }
  ~tWireEnd() {
    if (Fd >= 0) close(Fd);
  }
  bool Write(const tBytes& Bytes) {
    return write(Fd, Bytes.data(), Bytes.size()) == ssize_t(Bytes.size());
  }
  // Collects bytes until Count have come or Limit has passed.
  tBytes Read(std::size_t Count, std::chrono::milliseconds Limit = 5s) {
    tBytes Got;
    WaitFor(
        [&] {
          uint8_t Buffer[512];
          const ssize_t N = read(Fd, Buffer, std::min(sizeof Buffer, Count - Got.size()));
          if (N > 0) Got.insert(Got.end(), Buffer, Buffer + N);
          return Got.size() >= Count;
        },
        Limit);
    return Got;
  }
  int Fd = -1;
};

TEST(SimProcessTest, AnswersOverItsPseudoTerminalAndEndsCleanly) {
  tTestRuntime Runtime;
  tSimProcess Sim(Runtime, {"--com", "5", "--device-id", "7", "--firmware", "3", "--fpga-version",
                            "9012345678"});
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Runtime.PortLink(5)); }))
      << Sim.Output();
  tWireEnd Wire(Runtime.PortLink(5));
  ASSERT_GE(Wire.Fd, 0);
  ASSERT_TRUE(Wire.Write({0x02, 0x00, 0x02, 0x02, 0x3C, 0x3E}));
  EXPECT_EQ(Wire.Read(3 + 15), (tBytes{0x02, 0x00, 0x02, 0x0E, 60, 7, 3, '5', '6', '7', '8', '1',
                                       '2', '3', '4', '9', '0', 0x61}));
  ASSERT_TRUE(Wire.Write({0x02, 0x00, 0x07}));
  EXPECT_EQ(Wire.Read(4), (tBytes{0x03, 0x02, 0x02, 0x07}));
  // Its own reports follow within about a second; the first is the temperature.
  const tBytes Report = Wire.Read(4, 3s);
  ASSERT_EQ(Report.size(), 4u);
  EXPECT_EQ(Report[0], 3);
  EXPECT_EQ(Report[1], 65);

  EXPECT_EQ(Sim.Stop(), 0);
  EXPECT_FALSE(std::filesystem::is_symlink(Runtime.PortLink(5)));
}

// A terminal device given to the card (on a real bus, the device side of a USB serial
// gadget) is served as it is: made raw, answered, reported to whether or not anyone listens,
// and never registered as a port.
TEST(SimProcessTest, ServesAGivenTerminalDeviceWithoutRegisteringAPort) {
  tTestRuntime Runtime;
  tPseudoTerminal Line;
  // Device ID 10 is a line feed: a line left cooked would send it as 0x0D 0x0A.
  tSimProcess Sim(Runtime, {"--tty", Line.SlavePath, "--device-id", "10"});
  tBytes Got;
  auto Arrived = [&](const tBytes& Wanted) {
    return WaitFor([&] {
      uint8_t Buffer[256];
      const ssize_t N = read(Line.Master, Buffer, sizeof Buffer);
      if (N > 0) Got.insert(Got.end(), Buffer, Buffer + N);
      return std::search(Got.begin(), Got.end(), Wanted.begin(), Wanted.end()) != Got.end();
    });
  };
  // The card reports unasked as soon as it runs (a temperature report first).
  EXPECT_TRUE(Arrived({0x03, 65})) << Sim.Output();
  ASSERT_TRUE(Line.WriteAll("\x02\x00\x02\x02\x3C\x3E", 6));
  EXPECT_TRUE(Arrived({0x0E, 60, 10, 12})) << Sim.Output();
  EXPECT_FALSE(std::filesystem::exists(Runtime.Folder.Path + "/run/ports/COM1"));
  EXPECT_EQ(Sim.Stop(), 0);
}

TEST(SimProcessTest, RestartDropsOffTheLinkForAboutASecond) {
  tTestRuntime Runtime;
  tSimProcess Sim(Runtime, {"--com", "6"});
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Runtime.PortLink(6)); }))
      << Sim.Output();
  {
    tWireEnd Wire(Runtime.PortLink(6));
    ASSERT_TRUE(Wire.Write({0x02, 0x01, 0x03}));
    EXPECT_TRUE(WaitFor([&] { return !std::filesystem::is_symlink(Runtime.PortLink(6)); }, 3s));
  }
  const auto Gone = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Runtime.PortLink(6)); }, 10s))
      << Sim.Output();
  EXPECT_GE(std::chrono::steady_clock::now() - Gone, 500ms);

  tWireEnd Again(Runtime.PortLink(6));
  ASSERT_TRUE(Again.Write({0x02, 0x00, 0x02}));
  EXPECT_EQ(Again.Read(3), (tBytes{0x02, 0x00, 0x02}));
}

TEST(SimProcessTest, PortNumberInUseIsRefused) {
  tTestRuntime Runtime;
  tSimProcess First(Runtime, {"--com", "8"});
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Runtime.PortLink(8)); }));
  tSimProcess Second(Runtime, {"--com", "8"});
  EXPECT_EQ(Second.Wait(), 1);
  EXPECT_NE(Second.Output().find("already registered"), std::string::npos) << Second.Output();
  EXPECT_TRUE(std::filesystem::exists(Runtime.PortLink(8)));  // the first keeps its entry
  EXPECT_EQ(First.Stop(), 0);
}

TEST(SimProcessTest, ARegistrationLeftByAKilledCardIsNoPort) {
  tTestRuntime Runtime;
  // Only the port folder is listed: no kernel devices of this machine.
  const std::string None = Runtime.Folder.Path + "/none";
  tPortCatalogue::SetRoots({None, None, None, "", ""});
  tSimProcess Killed(Runtime, {"--com", "6"});
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Runtime.PortLink(6)); }));
  Killed.Kill();
  ASSERT_TRUE(std::filesystem::is_symlink(Runtime.PortLink(6))) << "the link stays behind";
  // Its pseudo-terminal's number goes to another program: the link leads to a terminal that
  // is not a card's.
  tPseudoTerminal Other;
  std::filesystem::remove(Runtime.PortLink(6));
  std::filesystem::create_symlink(Other.SlavePath, Runtime.PortLink(6));
  std::vector<std::string> Ports;
  ListComPorts(Ports);
  EXPECT_TRUE(Ports.empty()) << Ports[0];

  tSimProcess Next(Runtime, {"--com", "6"});
  ASSERT_TRUE(WaitFor([&] {
    return std::filesystem::read_symlink(Runtime.PortLink(6)) != Other.SlavePath;
  })) << Next.Output();
  Ports.clear();
  ListComPorts(Ports);
  ASSERT_EQ(Ports.size(), 1u);
  EXPECT_EQ(Ports[0].rfind("6 ", 0), 0u) << Ports[0];
  EXPECT_EQ(Next.Stop(), 0);
  tPortCatalogue::SetRoots({});
}

TEST(SimProcessTest, CommandLineHelpAndMistakes) {
  tTestRuntime Runtime;
  tSimProcess Help(Runtime, {"--help"});
  EXPECT_EQ(Help.Wait(), 0);
  for (const char* Option :
       {"--corrupt-checksum", "--fpga-out", "--usb-audio-out", "--image-out", "--packet-delay",
        "--wire-baud", "--ack-code", "--wrong-ack", "--silent-at", "--dfu-fault"})
    EXPECT_NE(Help.Output().find(Option), std::string::npos) << Option;
  tSimProcess Wrong(Runtime, {"--com", "1", "--frobnicate"});
  EXPECT_EQ(Wrong.Wait(), 2);
  EXPECT_NE(Wrong.Output().find("unknown option --frobnicate"), std::string::npos);
}

}  // namespace

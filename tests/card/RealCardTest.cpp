// The tool against a real card, run only when an engineer asks for it:
//   CADDIS_TEST_PORT=N            the card's port: identity, echo and keep-alive;
//   CADDIS_TEST_FPGA_IMAGE=PATH   with the port: an FPGA update with that bitstream;
//   CADDIS_TEST_DFU=1             with the port: Boot, a firmware download of
//                                 CADDIS_TEST_DFU_IMAGE and the card's return on its port.
// Without them each test is skipped and says which variable it waits for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "RunProgram.h"

namespace {

using namespace std::chrono_literals;

std::string Setting(const char* aName) {
  const char* Value = std::getenv(aName);
  return Value ? Value : "";
}

class RealCard : public testing::Test {
 protected:
  void SetUp() override {
    Port = Setting("CADDIS_TEST_PORT");
    if (Port.empty())
      GTEST_SKIP() << "no card: set CADDIS_TEST_PORT=N to run the tests against the card on "
                      "port N (see the README, Tests against a real card)";
  }
  tProgramRun Caddis(std::vector<std::string> aArgs, std::chrono::seconds aLimit = 60s) {
    aArgs.insert(aArgs.begin(), CADDIS_PATH);
    return RunProgram(aArgs, "/tmp/caddis-card-test-" + std::to_string(getpid()) + ".out", aLimit);
  }
  std::string Port;
};

TEST_F(RealCard, IdentifiesItself) {
  const tProgramRun Status = Caddis({"status", "--port", Port, "--json"});
  ASSERT_EQ(Status.Exit, 0) << Status.Output;
  EXPECT_TRUE(Status.Says("\"HostName\":\"Caddis\"")) << Status.Output;
  EXPECT_FALSE(Status.Says("\"DeviceID\":0,")) << Status.Output;
}

// The traffic lines after aPrefix ("  to Caddis: Echo", "from Caddis: Echo"): the message's
// bytes as the log shows them.
std::string LoggedMessage(const tProgramRun& aRun, const std::string& aPrefix) {
  const size_t At = aRun.Output.find(aPrefix);
  if (At == std::string::npos) return {};
  const size_t Start = At + aPrefix.size();
  return aRun.Output.substr(Start, aRun.Output.find('\n', Start) - Start);
}

TEST_F(RealCard, EchoesText) {
  const tProgramRun Echo = Caddis({"echo", "--port", Port, "Caddis echo test 0123456789"});
  ASSERT_EQ(Echo.Exit, 0) << Echo.Output;
  const std::string Sent = LoggedMessage(Echo, "  to Caddis: Echo");
  ASSERT_FALSE(Sent.empty()) << Echo.Output;
  EXPECT_EQ(LoggedMessage(Echo, "from Caddis: Echo"), Sent) << Echo.Output;
}

// Keep-alive messages go out once a second; the link counts as lost after three unanswered.
TEST_F(RealCard, KeepsTheLinkAliveForHalfAMinute) {
  const tProgramRun Monitor = Caddis({"monitor", "--port", Port, "--seconds", "30", "--log"});
  EXPECT_EQ(Monitor.Exit, 0) << Monitor.Output;
  EXPECT_TRUE(Monitor.Says("from Caddis: AYT")) << Monitor.Output;
  EXPECT_FALSE(Monitor.Says("AYT Timeout")) << Monitor.Output;
}

TEST_F(RealCard, TakesAnFPGAUpdate) {
  const std::string Image = Setting("CADDIS_TEST_FPGA_IMAGE");
  if (Image.empty())
    GTEST_SKIP() << "set CADDIS_TEST_FPGA_IMAGE=PATH to update the card's FPGA with that image";
  const tProgramRun Update = Caddis({"update-fpga", "--port", Port, "--file", Image}, 600s);
  ASSERT_EQ(Update.Exit, 0) << Update.Output;
  EXPECT_TRUE(Update.Says("FPGA updated successfully")) << Update.Output;
}

TEST_F(RealCard, BootsIntoDFUTakesTheFirmwareAndComesBack) {
  if (Setting("CADDIS_TEST_DFU") != "1")
    GTEST_SKIP() << "set CADDIS_TEST_DFU=1 to restart the card in its boot loader and download "
                    "firmware";
  // The build's demo image is made-up firmware: a real card must get its own.
  const std::string Image = Setting("CADDIS_TEST_DFU_IMAGE");
  ASSERT_FALSE(Image.empty()) << "CADDIS_TEST_DFU=1 needs CADDIS_TEST_DFU_IMAGE=PATH, the card's "
                                 "own firmware image";
  const tProgramRun Boot = Caddis({"boot", "--port", Port});
  ASSERT_EQ(Boot.Exit, 0) << Boot.Output;
  const tProgramRun Download =
      Caddis({"dfu", "download", Image, "--wait", "30", "--port", Port}, 300s);
  ASSERT_EQ(Download.Exit, 0) << Download.Output;
  EXPECT_TRUE(Download.Says("Device updated successfully")) << Download.Output;
  EXPECT_TRUE(Download.Says("Card back on COM" + Port)) << Download.Output;
}

}  // namespace

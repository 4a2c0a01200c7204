// The host object over a real serial port (a pseudo-terminal) against the caddis-card-sim
// program, driven by a 10 ms main loop as the window drives it.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "hostlink/OrvaneHost.h"
#include "platform/UIThread.h"
#include "sim/SimProcess.h"

namespace {

using namespace std::chrono_literals;

class HostLinkIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLogFormats("%d/%m/%Y", "%H:%M:%S"); }

  // Starts the card on COM<Com> and opens the host on it.
  void Start(int Com, const std::vector<std::string>& Extra = {}) {
    std::vector<std::string> Args{
        "--com", std::to_string(Com), "--device-id", "7",        "--firmware",
        "3",     "--fpga-version",    "9012345678",  "--verbose"};
    Args.insert(Args.end(), Extra.begin(), Extra.end());
    Sim = std::make_unique<tSimProcess>(Runtime, Args);
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Runtime.PortLink(Com)); }))
        << Sim->Output();
    Host = std::make_unique<tOrvaneHost>(Com, true, "Caddis");
    ASSERT_NE(Host->ComPort, nullptr) << Output.Lines.size();
  }
  // One main-loop tick: receive, keep-alive, hand-offs, then the rest of the 10 ms.
  void Tick() {
    Host->ServiceReceive();
    Host->ServiceAYT();
    tUIThread::ServePending();
    std::this_thread::sleep_for(10ms);
    ++Ticks;
  }
  template <typename Pred>
  bool TickUntil(Pred Done, int Limit) {
    for (int i = 0; i < Limit; ++i) {
      Tick();
      if (Done()) return true;
    }
    return false;
  }
  void TearDown() override {
    Host.reset();
    if (Sim) {
      EXPECT_EQ(Sim->Stop(), 0);
    }
  }

  tCapturedOutput Output;
  tTestRuntime Runtime;
  std::unique_ptr<tSimProcess> Sim;
  std::unique_ptr<tOrvaneHost> Host;
  int Ticks = 0;
};

TEST_F(HostLinkIntegrationTest, IdentityVersionsAndReportsArrive) {
  Start(11);
  // The first keep-alive leaves on tick 100; the card answers at once, the Status request
  // follows, and its reply is handled a tick or two later.
  ASSERT_TRUE(TickUntil([&] { return Host->DeviceID != 0; }, 130)) << Sim->Output();
  EXPECT_GE(Ticks, 100);
  EXPECT_LE(Ticks, 110);
  EXPECT_EQ(Host->FirmwareVersion, 3);
  EXPECT_EQ(Host->FPGAVersion, "9012345678");
  // The card reports once a second from when the port opened.
  ASSERT_TRUE(TickUntil([&] { return Host->Temperature != 0 && Host->Voltages[0] != 0; }, 100));
  EXPECT_NEAR(Host->Temperature, 41, 3);
  EXPECT_NEAR(Host->Voltages[0], 5.0f, 0.11f);
  EXPECT_NEAR(Host->Voltages[1], 7.0f, 0.11f);
  EXPECT_NEAR(Host->Voltages[2], 15.0f, 0.11f);
  EXPECT_EQ(Host->SampleRates[oh_WordClock], 48000u);
  EXPECT_FALSE(Output.LogFileExists()) << Output.LogLines().back();
}

TEST_F(HostLinkIntegrationTest, SilentCardIsClearedOnTheThirdUnansweredKeepAlive) {
  Start(12, {"--silent-after", "2.5"});
  Host->Logging = true;
  ASSERT_TRUE(TickUntil([&] { return Host->DeviceID != 0; }, 130)) << Sim->Output();
  ASSERT_TRUE(TickUntil([&] { return Host->DeviceID == 0; }, 800)) << Sim->Output();
  // Cleared exactly when a keep-alive fell due with two before it unanswered.
  EXPECT_EQ(Ticks % 100, 0);
  EXPECT_EQ(Host->GetAYTFailCount(), 3);
  EXPECT_EQ(Host->FPGAVersion, std::string(10, '\0'));
  const auto Lines = Output.LogLines();
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_TRUE(EndsWith(Lines[1], " Caddis Host AYT Timeout"));
}

TEST_F(HostLinkIntegrationTest, InjectedBadChecksumGivesErrorLineAndReply) {
  Start(13, {"--corrupt-checksum", "3"});
  ASSERT_TRUE(TickUntil(
      [&] {
        for (const auto& Line : Output.Lines)
          if (Line.rfind("Caddis Host Rx error: Invalid CheckSum received: ", 0) == 0) return true;
        return false;
      },
      300))
      << Sim->Output();
  // The card saw the tool's error reply, "Error" with the checksum code.
  EXPECT_TRUE(WaitFor([&] { return Sim->Output().find("rx: Error 2 2") != std::string::npos; }, 5s))
      << Sim->Output();
  EXPECT_FALSE(Output.LogLines().empty());
}

// Bytes that reached the card before the tool's first frame (the system echoing the card's
// own reports back while the port opened) leave its reader waiting inside a frame that
// swallows every keep-alive. The tool must get it back in step and identify the card in
// seconds, not after the card's reader has taken a whole made-up frame of keep-alives.
TEST_F(HostLinkIntegrationTest, ACardWhoseReaderIsOutOfStepIsIdentified) {
  Start(14);
  const uint8_t Echoed[] = {94, 65, 41};  // a count byte of 94 and the start of a report
  ASSERT_EQ(Host->ComPort->Send(Echoed, sizeof Echoed), 3);
  // One keep-alive vanishes into the card's wait; the zero bytes and the Error answer follow.
  ASSERT_TRUE(TickUntil([&] { return Host->DeviceID != 0; }, 400)) << Sim->Output();
  EXPECT_GE(Ticks, 200);
  EXPECT_EQ(Host->DeviceID, 7);
}

TEST_F(HostLinkIntegrationTest, RestartDropsTheCardAndItComesBack) {
  Start(14);
  ASSERT_TRUE(TickUntil([&] { return Host->DeviceID != 0; }, 130)) << Sim->Output();
  // The window's reset: Restart, close, wait, reopen.
  Host->SendHeader(tHostId::Restart);
  Tick();
  Host.reset();
  // The card is back once it has registered its port again after it began to restart.
  ASSERT_TRUE(WaitFor([&] {
    const std::string Said = Sim->Output();
    const auto Restarting = Said.find("restarting");
    return Restarting != std::string::npos &&
           Said.find(" COM14 is ", Restarting) != std::string::npos;
  })) << Sim->Output();
  Host = std::make_unique<tOrvaneHost>(14, true, "Caddis");
  ASSERT_NE(Host->ComPort, nullptr);
  Ticks = 0;
  EXPECT_TRUE(TickUntil([&] { return Host->DeviceID == 7; }, 130)) << Sim->Output();
}

}  // namespace

// Seeing a restarting card leave while the link stays open: a card double on a fake port
// answers the watch's keep-alive probes by a rule, on a made-up clock stepped every
// millisecond, which the host reads its reply times from too. The clock starts an hour after
// the steady clock's epoch, whatever the real clock says.
#include "hostlink/CardLeaving.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "FakeComPort.h"
#include "TempFolder.h"
#include "hostlink/HostFrame.h"
#include "platform/PortCatalogue.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tClock = tCardLeaveWatch::tClock;

namespace {

constexpr int32_t Com = 77;

// How the card double answers. Probes are answered Delay after they were sent. With a
// restart (DownFor > 0) the card is down from DownAfter after the Restart for DownFor: a
// probe that arrives meanwhile is lost, or, with Buffers, answered once it is back.
struct tCardRule {
  std::chrono::milliseconds Delay{2};
  std::chrono::milliseconds DownFor{0};
  bool Buffers = false;
  std::chrono::milliseconds DownAfter{0};
};

class CardLeavingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Root.empty());
    for (const char* Folder : {"sys/class/tty", "dev", "ports"})
      fs::create_directories(Root + "/" + Folder);
    tPortCatalogue::SetRoots(
        {Root + "/sys", Root + "/dev", Root + "/cmdline", Root + "/ports", Root + "/config"});
    std::ofstream(Root + "/dev/ttyX").put('\n');
    fs::create_symlink(Root + "/dev/ttyX", Root + "/ports/COM77");
    Host = std::make_unique<tOrvaneHost>(Com, false, "Caddis");
    ASSERT_NE(Ports.Last, nullptr);
    Host->AYTActive = false;
    Host->Clock = [this] { return Clock; };
    Ports.Last->OnSend = [this](const uint8_t* Bytes, int32_t Count) { Sent(Bytes, Count); };
  }
  void TearDown() override {
    Host.reset();
    tPortCatalogue::SetRoots({});
  }

  // The card takes what the host wrote, frame by frame.
  void Sent(const uint8_t* Bytes, int32_t Count) {
    ++Writes;
    for (int32_t At = 0; At + 1 < Count; At += Bytes[At] + 1) {
      const uint8_t Id = Bytes[At + 1];
      if (Id == tHostId::Restart && Rule.DownFor > 0ms) {
        DownFrom = Clock + Rule.DownAfter;
        DownUntil = DownFrom + Rule.DownFor;
      }
      if (Id != tHostId::AYT) continue;
      ++Probes;
      if (Clock < DownFrom || Clock >= DownUntil)
        Answers.push_back(Clock + Rule.Delay);
      else if (Rule.Buffers)
        Answers.push_back(DownUntil + Rule.Delay);
    }
  }
  // One millisecond of the main loop: the answers due arrive and the host takes them (unless
  // the tool is stalled: then they wait in the port).
  void Tick(bool ToolRuns = true) {
    Clock += 1ms;
    std::array<uint8_t, tHostFrame::MaxFrameSize> Frame;
    const std::size_t Size = tHostFrame::BuildFrame(tHostFrame::MakeMessage(tHostId::AYT), Frame);
    while (!Answers.empty() && Answers.front() <= Clock) {
      Answers.erase(Answers.begin());
      Ports.Last->Feed(std::vector<uint8_t>(Frame.begin(), Frame.begin() + Size));
    }
    if (ToolRuns) Host->ServiceReceive();
  }
  // A new card: the answers still on their way are gone, the rule's restart not yet due.
  void NewCard(const tCardRule& aRule) {
    Rule = aRule;
    while (!Answers.empty())
      Tick();
    DownFrom = DownUntil = tClock::time_point::max();
  }
  // Calibrates, sends the Restart and watches for up to Span; true when the card was seen to
  // leave.
  // With Stall the tool does not run for that long right after the Restart.
  bool Watch(tCardLeaveWatch& Watch, std::chrono::milliseconds Span = 2000ms,
             std::chrono::milliseconds Stall = 0ms) {
    for (const auto Until = Clock + 10s; !Watch.Calibrate(Clock); Tick())
      if (Clock > Until) {
        ADD_FAILURE() << "the card's answers were not measured";
        return false;
      }
    Watch.SendRestart(Clock);
    for (const auto Resumes = Clock + Stall; Clock < Resumes;)
      Tick(false);
    for (const auto Until = Clock + Span; Clock < Until && !Watch.Left(); Watch.Step(Clock))
      Tick();
    return Watch.Left();
  }

  tTempFolder Folder{"caddis-leaving-"};
  const std::string Root = Folder.Path;
  tFakePortFactory Ports;
  std::unique_ptr<tOrvaneHost> Host;
  tCardRule Rule;
  tClock::time_point Clock = tClock::time_point(1h);
  tClock::time_point DownFrom = tClock::time_point::max(), DownUntil = DownFrom;
  std::vector<tClock::time_point> Answers;
  int Writes = 0;
  int Probes = 0;
};

// The silence that counts is the measured round trip plus as much again (at least two of the
// loop's ticks), and the Restart leaves with a probe behind it in one write.
TEST_F(CardLeavingTest, TheRoundTripIsMeasuredAndTheRestartCarriesAProbe) {
  for (const auto Delay : {3ms, 30ms}) {
    NewCard({Delay});
    Host->ResetLinkHealth();
    tCardLeaveWatch W(*Host, Com);
    while (!W.Calibrate(Clock))
      Tick();
    EXPECT_EQ(W.RoundTrip(), Delay);
    // The probes' replies are the link's round trips too.
    EXPECT_EQ(Host->LinkHealth().RoundTrips,
              static_cast<uint32_t>(tCardLeaveWatch::CalibrationProbes));
    EXPECT_EQ(W.SilenceLimit(), Delay + std::max<tClock::duration>(Delay, 20ms));
    Ports.Last->TakeSent();
    const int Before = Writes;
    W.SendRestart(Clock);
    EXPECT_EQ(Writes, Before + 1);
    const auto Sent = Ports.Last->TakeSent();
    ASSERT_EQ(Sent.size(), 6u);
    EXPECT_EQ(Sent[1], tHostId::Restart);
    EXPECT_EQ(Sent[4], tHostId::AYT);
  }
}

TEST_F(CardLeavingTest, ACardThatIsDownOrLateAfterTheRestartIsSeenToLeave) {
  const tCardRule Cases[] = {
      {2ms, 50ms},
      {2ms, 150ms},
      {2ms, 1000ms},
      {2ms, 50ms, true},
      {30ms, 50ms, true},
      {2ms, 50ms, false, 5ms},
      {2ms, 50ms, true, 5ms},
  };
  for (const tCardRule& Case : Cases) {
    NewCard(Case);
    tCardLeaveWatch W(*Host, Com);
    EXPECT_TRUE(Watch(W)) << "delay " << Case.Delay.count() << " ms, down " << Case.DownFor.count()
                          << " ms after " << Case.DownAfter.count();
    EXPECT_EQ(W.How(), "it fell silent");
  }
}

// A card that answers every probe, however slowly the link carries them, stays; it is
// probed every ProbePeriod, or as fast as its answers come.
TEST_F(CardLeavingTest, ACardAnsweringEveryProbeStays) {
  for (const auto Delay : {1ms, 15ms, 45ms}) {
    NewCard({Delay});
    tCardLeaveWatch W(*Host, Com);
    const int Before = Probes + tCardLeaveWatch::CalibrationProbes;
    EXPECT_FALSE(Watch(W)) << W.How();
    const auto Period = std::max<std::chrono::milliseconds>(tCardLeaveWatch::ProbePeriod, Delay);
    EXPECT_GE(Probes - Before, 2000ms / Period - 1) << Delay.count();
  }
}

TEST_F(CardLeavingTest, APortThatHangsUpOrLeavesTheListIsAPortThatWentAway) {
  tCardLeaveWatch HungUp(*Host, Com);
  Ports.Last->IsHungUp = true;
  EXPECT_TRUE(Watch(HungUp));
  EXPECT_EQ(HungUp.How(), "its port went away");

  Ports.Last->IsHungUp = false;
  tCardLeaveWatch Unlisted(*Host, Com);
  fs::remove(Root + "/ports/COM77");
  EXPECT_TRUE(Watch(Unlisted));
  EXPECT_EQ(Unlisted.How(), "its port went away");
}

// The tool itself stopped right after the Restart (a busy machine, a stopped program): the
// deadline of the probe passes while nobody listens. A card that ignored the Restart answered
// meanwhile and stays; a card that restarted within the stall lost the probe and is seen to
// leave once the tool listens again.
TEST_F(CardLeavingTest, TheToolsOwnStallIsNotTheCardsSilence) {
  for (const auto Stall : {50ms, 100ms, 200ms}) {
    NewCard({2ms});
    tCardLeaveWatch Stayed(*Host, Com);
    EXPECT_FALSE(Watch(Stayed, 2000ms, Stall)) << Stall.count() << " ms: " << Stayed.How();

    NewCard({2ms, 20ms});
    tCardLeaveWatch Restarted(*Host, Com);
    EXPECT_TRUE(Watch(Restarted, 2000ms, Stall)) << Stall.count() << " ms";
    EXPECT_EQ(Restarted.How(), "it fell silent");
  }
}

}  // namespace

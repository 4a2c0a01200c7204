#include "sim/SimCard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <vector>

#include "hostlink/FakeComPort.h"
#include "hostlink/HostTestSupport.h"
#include "hostlink/OrvaneHost.h"
#include "sim/SimRunner.h"

namespace {

using tBytes = std::vector<uint8_t>;
using tClock = tSimCard::tClock;
using namespace std::chrono_literals;

tBytes FrameOf(const tBytes& Message) {
  tBytes Frame{static_cast<uint8_t>(Message.size() + 1)};
  Frame.insert(Frame.end(), Message.begin(), Message.end());
  Frame.push_back(static_cast<uint8_t>(std::accumulate(Frame.begin(), Frame.end(), 0u)));
  return Frame;
}

// Splits the card's output into messages (identifier and data), checking every frame.
std::vector<tBytes> Messages(const tBytes& Wire) {
  std::vector<tBytes> Result;
  std::size_t At = 0;
  while (At < Wire.size()) {
    const std::size_t N = Wire[At];
    EXPECT_LE(At + N + 1, Wire.size());
    if (At + N + 1 > Wire.size()) break;
    const tBytes Frame(Wire.begin() + At, Wire.begin() + At + N + 1);
    EXPECT_EQ(FrameOf(tBytes(Frame.begin() + 1, Frame.end() - 1)), Frame);
    Result.emplace_back(Frame.begin() + 1, Frame.end() - 1);
    At += N + 1;
  }
  return Result;
}

class SimCardTest : public ::testing::Test {
 protected:
  tSimCard& Make(const tSimCardConfig& Config = {}) {
    Card = std::make_unique<tSimCard>(
        Config, [this](const uint8_t* B, std::size_t N) { Wire.insert(Wire.end(), B, B + N); }, T0);
    return *Card;
  }
  void Send(const tBytes& Bytes, tClock::duration At = 0s) {
    Card->Receive(Bytes.data(), Bytes.size(), T0 + At);
  }
  tBytes Take() { return std::exchange(Wire, {}); }

  tClock::time_point T0 = tClock::now();
  std::unique_ptr<tSimCard> Card;
  tBytes Wire;
};

TEST_F(SimCardTest, AnswersKeepAliveStatusEchoAndRecoveryState) {
  tSimCardConfig Config;
  Config.DeviceID = 7;
  Config.FirmwareVersion = 3;
  Config.FPGAVersion = "9012345678";
  auto& C = Make(Config);
  Send({0x02, 0x00, 0x02});
  EXPECT_EQ(Take(), (tBytes{0x02, 0x00, 0x02}));
  Send({0x02, 0x3C, 0x3E});
  EXPECT_EQ(Take(), FrameOf({60, 7, 3, '5', '6', '7', '8', '1', '2', '3', '4', '9', '0'}));
  Send(FrameOf({5, 'h', 'i'}));
  EXPECT_EQ(Take(), FrameOf({5, 'h', 'i'}));
  C.RecoveryState = -2;
  Send(FrameOf({80}));
  EXPECT_EQ(Take(), FrameOf({80, 0xFE, 0xFF}));
}

TEST_F(SimCardTest, FramesSplitAndJoinedAnyhow) {
  Make();
  const tBytes Two = [] {
    tBytes B = FrameOf({0});
    const tBytes E = FrameOf({5, 1, 2, 3});
    B.insert(B.end(), E.begin(), E.end());
    return B;
  }();
  for (std::size_t i = 0; i < Two.size(); ++i)
    Send({Two[i]});
  EXPECT_EQ(Messages(Take()), (std::vector<tBytes>{{0}, {5, 1, 2, 3}}));
}

TEST_F(SimCardTest, BadFramesAreAnsweredWithError) {
  Make();
  Send({0x02, 0x00, 0x03, 0x02, 0x00, 0x02});
  EXPECT_EQ(Take(), (tBytes{0x03, 0x02, 0x02, 0x07}));  // and the frame behind it is dropped
  Send({0x01, 0x00});
  EXPECT_EQ(Take(), (tBytes{0x03, 0x02, 0x01, 0x06}));
  Send({0x02, 0x00, 0x02});
  EXPECT_EQ(Take(), (tBytes{0x02, 0x00, 0x02}));
  // The longest frame the tool sends (count byte 255: an echo with 253 bytes) is no fault.
  tBytes Longest(254, 0x41);
  Longest[0] = 5;
  const tBytes Frame = FrameOf(Longest);
  ASSERT_EQ(Frame[0], 0xFF);
  Send(Frame);
  EXPECT_EQ(Take(), Frame);
}

TEST_F(SimCardTest, HostSettingsAndRestart) {
  auto& C = Make();
  Send(FrameOf({70, 1}));
  Send(FrameOf({64, 2}));
  Send(FrameOf({64, 9}));  // no such port: kept
  EXPECT_TRUE(C.UseTCP);
  EXPECT_EQ(C.SyncPort, 2);
  EXPECT_FALSE(C.TakeRestartRequest());
  Send(FrameOf({1}));
  EXPECT_TRUE(C.TakeRestartRequest());
  EXPECT_FALSE(C.TakeRestartRequest());
  EXPECT_TRUE(Take().empty());
}

TEST_F(SimCardTest, ReportsOnceASecondWithSmallDrift) {
  auto& C = Make();
  C.Tick(T0 + 999ms);
  EXPECT_TRUE(Take().empty());
  for (int Second = 1; Second <= 20; ++Second) {
    C.Tick(T0 + std::chrono::seconds(Second));
    C.Tick(T0 + std::chrono::seconds(Second) + 500ms);
    const auto M = Messages(Take());
    ASSERT_EQ(M.size(), 9u) << Second;
    EXPECT_EQ(M[0][0], 65);
    EXPECT_NEAR(M[0][1], 41, 3);
    ASSERT_EQ(M[1].size(), 8u);
    EXPECT_EQ(M[1][0], 66);
    EXPECT_NEAR(M[1][1], 50, 1);
    EXPECT_NEAR(M[1][2], 70, 1);
    EXPECT_NEAR(M[1][3], 150, 1);
    for (int Port = 0; Port < 4; ++Port) {
      EXPECT_EQ(M[2 + Port][0], 61);
      EXPECT_EQ(M[2 + Port][1], Port);
    }
    EXPECT_EQ(M[2 + 2], (tBytes{61, 2, 0x80, 0xBB, 0, 0}));
    EXPECT_EQ(M[6], (tBytes{68, 192, 168, 1, 50}));
    EXPECT_EQ(M[7], (tBytes{69, 255, 255, 255, 0}));
    EXPECT_EQ(M[8], (tBytes{70, 0}));
  }
}

TEST_F(SimCardTest, SilentFaults) {
  tSimCardConfig Config;
  Config.Silent = true;
  auto& Quiet = Make(Config);
  Send({2, 0, 2});
  Quiet.Tick(T0 + 5s);
  EXPECT_TRUE(Take().empty());

  Config.Silent = false;
  Config.SilentAfterSeconds = 2.5;
  auto& Later = Make(Config);
  Send({2, 0, 2}, 2s);
  EXPECT_EQ(Take(), (tBytes{2, 0, 2}));
  Later.Tick(T0 + 2s);
  EXPECT_FALSE(Take().empty());
  Send({2, 0, 2}, 2500ms);
  Later.Tick(T0 + 3s);
  EXPECT_TRUE(Take().empty());
}

TEST_F(SimCardTest, CorruptionFaults) {
  tSimCardConfig Config;
  Config.CorruptChecksumEvery = 2;
  Make(Config);
  Send({2, 0, 2});
  Send({2, 0, 2});
  Send({2, 0, 2});
  const tBytes W = Take();
  ASSERT_EQ(W.size(), 9u);
  EXPECT_EQ(tBytes(W.begin(), W.begin() + 3), (tBytes{2, 0, 2}));
  EXPECT_EQ(W[3], 2);
  EXPECT_NE(W[5], 2);  // the second frame's checksum is wrong
  EXPECT_EQ(tBytes(W.begin() + 6, W.end()), (tBytes{2, 0, 2}));

  Config = {};
  Config.BadLengthEvery = 1;
  Make(Config);
  Send({2, 0, 2});
  EXPECT_EQ(Take(), (tBytes{0xFF, 0, 2}));

  Config = {};
  Config.ZeroDeviceID = true;
  Make(Config);
  Send({2, 60, 62});
  EXPECT_EQ(Messages(Take()).at(0).at(1), 0);
}

TEST(SimOptionsTest, CommandLine) {
  tSimOptions O;
  bool Help = false;
  std::string Error;
  ASSERT_TRUE(
      ParseSimOptions({"--com", "9", "--device-id", "7", "--firmware", "3", "--fpga-version",
                       "9012345678", "--silent-after", "2.5", "--corrupt-checksum", "4",
                       "--bad-length", "5", "--zero-device-id", "--verbose"},
                      O, Help, Error))
      << Error;
  EXPECT_EQ(O.ComNumber, 9u);
  EXPECT_EQ(O.Card.DeviceID, 7);
  EXPECT_EQ(O.Card.FirmwareVersion, 3);
  EXPECT_EQ(O.Card.FPGAVersion, "9012345678");
  EXPECT_DOUBLE_EQ(O.Card.SilentAfterSeconds, 2.5);
  EXPECT_EQ(O.Card.CorruptChecksumEvery, 4);
  EXPECT_EQ(O.Card.BadLengthEvery, 5);
  EXPECT_TRUE(O.Card.ZeroDeviceID);
  EXPECT_TRUE(O.Verbose);
  EXPECT_FALSE(Help);

  for (const std::vector<std::string>& Bad : {std::vector<std::string>{},
                                              {"--com"},
                                              {"--com", "0"},
                                              {"--com", "x"},
                                              {"--com", "1", "--device-id", "256"},
                                              {"--com", "1", "--corrupt-checksum", "0"},
                                              {"--com", "1", "--what"},
                                              {"--com", "1", "--silent-after", "-1"}}) {
    tSimOptions Ignored;
    EXPECT_FALSE(ParseSimOptions(Bad, Ignored, Help, Error)) << (Bad.empty() ? "" : Bad.back());
    EXPECT_FALSE(Error.empty());
  }
  EXPECT_TRUE(ParseSimOptions({"--help"}, O, Help, Error));
  EXPECT_TRUE(Help);
}

// ---- the tool's host object against the card, wired through a fake port ----

class HostAgainstCardTest : public ::testing::Test {
 protected:
  void Connect(const tSimCardConfig& Config) {
    Card = std::make_unique<tSimCard>(
        Config,
        [this](const uint8_t* B, std::size_t N) {
          if (Port) Port->Incoming.insert(Port->Incoming.end(), B, B + N);
        },
        Now);
    Host = std::make_unique<tOrvaneHost>(4, false, "Caddis");
    Port = Factory.Last;
    Port->OnSend = [this](const uint8_t* B, int32_t N) { Card->Receive(B, N, Now); };
  }
  // One main-loop tick of 10 ms on both sides.
  void Tick() {
    Now += 10ms;
    Card->Tick(Now);
    Host->ServiceReceive();
    Host->ServiceAYT();
  }
  template <typename Pred>
  int TicksUntil(Pred Done, int Limit) {
    for (int Tick = 1; Tick <= Limit; ++Tick) {
      this->Tick();
      if (Done()) return Tick;
    }
    return -1;
  }

  tCapturedOutput Output;
  tFakePortFactory Factory;
  tClock::time_point Now = tClock::now();
  std::unique_ptr<tSimCard> Card;
  std::unique_ptr<tOrvaneHost> Host;
  tFakeComPort* Port = nullptr;
};

TEST_F(HostAgainstCardTest, IdentityAndReportsArriveAfterTheFirstKeepAlive) {
  tSimCardConfig Config;
  Config.DeviceID = 7;
  Config.FirmwareVersion = 3;
  Config.FPGAVersion = "9012345678";
  Connect(Config);
  // The keep-alive leaves on tick 100, the card answers at once, the Status request goes out
  // with the reply's handling on tick 101 and its answer is handled on tick 102.
  const int Ticks = TicksUntil([&] { return Host->DeviceID != 0; }, 200);
  EXPECT_GE(Ticks, 100);
  EXPECT_LE(Ticks, 102);
  EXPECT_EQ(Host->FirmwareVersion, 3);
  EXPECT_EQ(Host->FPGAVersion, "9012345678");
  EXPECT_NEAR(Host->Temperature, 41, 3);
  EXPECT_NEAR(Host->Voltages[0], 5.0f, 0.11f);
  EXPECT_NEAR(Host->Voltages[2], 15.0f, 0.11f);
  EXPECT_EQ(Host->SampleRates[oh_WordClock], 48000u);
  EXPECT_EQ(Host->IPAddress, 0x3201A8C0u);
  EXPECT_FALSE(Output.LogFileExists());
}

TEST_F(HostAgainstCardTest, SilentCardIsClearedOnTheThirdUnansweredKeepAlive) {
  tSimCardConfig Config;
  Config.SilentAfterSeconds = 1.5;
  Connect(Config);
  Host->Logging = true;
  const int Identified = TicksUntil([&] { return Host->DeviceID != 0; }, 200);
  ASSERT_GT(Identified, 0);
  // Silent from 1.5 s: the keep-alives of ticks 200, 300 and 400 go unanswered and the
  // third one clears the card's status.
  const int Cleared = TicksUntil([&] { return Host->DeviceID == 0; }, 400);
  EXPECT_EQ(Identified + Cleared, 400);
  EXPECT_EQ(Host->GetAYTFailCount(), 3);
  EXPECT_FLOAT_EQ(Host->Voltages[0], 0.0f);
  const auto Lines = Output.LogLines();
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_TRUE(EndsWith(Lines[1], " Caddis Host AYT Timeout"));
}

TEST_F(HostAgainstCardTest, InjectedBadChecksumGivesErrorLineAndReply) {
  tSimCardConfig Config;
  Config.CorruptChecksumEvery = 1;
  Connect(Config);
  std::vector<uint8_t> Replies;
  Port->OnSend = [&](const uint8_t* B, int32_t N) {
    Replies.insert(Replies.end(), B, B + N);
    Card->Receive(B, N, Now);
  };
  TicksUntil([] { return false; }, 100);  // the card's first reports arrive corrupted
  const auto Lines = Output.LogLines();
  ASSERT_GE(Lines.size(), 2u);
  EXPECT_NE(Lines[1].find(" Caddis Host Rx error: Invalid CheckSum received: 3 65 "),
            std::string::npos)
      << Lines[1];
  const uint8_t ErrorReply[] = {3, 2, 2, 7};
  EXPECT_NE(
      std::search(Replies.begin(), Replies.end(), std::begin(ErrorReply), std::end(ErrorReply)),
      Replies.end());
  EXPECT_EQ(Host->Temperature, 0);
}

}  // namespace

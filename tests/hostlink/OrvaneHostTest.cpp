#include "hostlink/OrvaneHost.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <numeric>
#include <vector>

#include "hostlink/FakeComPort.h"
#include "hostlink/HostTestSupport.h"

namespace {

using tBytes = std::vector<uint8_t>;

// A frame around Message, its checksum summed here independently of the code under test.
tBytes FrameOf(const tBytes& Message) {
  tBytes Frame{static_cast<uint8_t>(Message.size() + 1)};
  Frame.insert(Frame.end(), Message.begin(), Message.end());
  Frame.push_back(static_cast<uint8_t>(std::accumulate(Frame.begin(), Frame.end(), 0u)));
  return Frame;
}

class OrvaneHostTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLogFormats("%d/%m/%Y", "%H:%M:%S"); }

  tOrvaneHost& Open(bool ErrorLogging = false) {
    Host = std::make_unique<tOrvaneHost>(3, ErrorLogging, "Caddis");
    Port = Factory.Last;
    return *Host;
  }
  // Feeds bytes and runs one receive pass.
  void Receive(const tBytes& Bytes) {
    Port->Feed(Bytes);
    Host->ServiceReceive();
  }
  void ReceiveMessage(const tBytes& Message) { Receive(FrameOf(Message)); }
  void Ticks(int Count) {
    for (int i = 0; i < Count; ++i)
      Host->ServiceAYT();
  }
  // The log file's entries without their stamp and counter.
  std::vector<std::string> LoggedTexts() const {
    std::vector<std::string> Texts;
    for (const auto& Line : Output.LogLines()) {
      const auto Counter = Line.find(" 0000000000 ");
      if (Counter != std::string::npos) Texts.push_back(Line.substr(Counter + 12));
    }
    return Texts;
  }

  tCapturedOutput Output;
  tFakePortFactory Factory;
  std::unique_ptr<tOrvaneHost> Host;
  tFakeComPort* Port = nullptr;
};

// ---- creation and the port ----

TEST_F(OrvaneHostTest, CreateOpensThePortAtLinkSettings) {
  auto& H = Open();
  ASSERT_NE(H.ComPort, nullptr);
  EXPECT_EQ(Factory.LastCom, 3u);
  EXPECT_EQ(Factory.LastBaud, 115200);
  EXPECT_TRUE(Factory.LastFlow);
  EXPECT_EQ(H.FPGAVersion, std::string(10, ' '));
  EXPECT_TRUE(H.AYTActive);
  EXPECT_FALSE(H.Logging);
}

TEST_F(OrvaneHostTest, PortZeroOpensNothing) {
  tOrvaneHost H(0, false, "Caddis");
  EXPECT_EQ(Factory.Opens, 0);
  EXPECT_EQ(H.ComPort, nullptr);
}

TEST_F(OrvaneHostTest, HostNameIsCutTo31Characters) {
  tOrvaneHost H(0, false, std::string(40, 'x'));
  EXPECT_EQ(H.HostName, std::string(31, 'x'));
}

TEST_F(OrvaneHostTest, PortThatCannotOpenGivesErrorLineAndAPortlessObject) {
  Factory.Fail = true;
  Factory.FailWith = {tSerialError::se_Busy, EBUSY, "minicom (pid 812)"};
  auto& H = Open(/*ErrorLogging=*/true);
  EXPECT_EQ(H.ComPort, nullptr);
  EXPECT_EQ(H.OpenFailure().Kind, tSerialError::se_Busy);
  EXPECT_EQ(H.OpenFailure().Code, EBUSY);
  EXPECT_EQ(H.OpenFailure().Holder, "minicom (pid 812)");
  EXPECT_EQ(LoggedTexts(), std::vector<std::string>{"Caddis Host Cannot open ComPort 3"});
  EXPECT_EQ(Output.Lines, std::vector<std::string>{"Caddis Host Cannot open ComPort 3"});
  // Without a port every call is accepted and does nothing on the link.
  H.Logging = true;
  H.SendHeader(0);
  EXPECT_EQ(Output.Lines.back(), "  to Caddis: AYT 0");
  EXPECT_EQ(H.ReceiveMessage()[0], 0);
  H.ServiceReceive();
  H.ServiceAYT();
  EXPECT_EQ(H.GetAYTQFCount(), 0);
}

// ---- sending ----

TEST_F(OrvaneHostTest, SendsExactFrames) {
  auto& H = Open();
  H.SendHeader(0);
  EXPECT_EQ(Port->TakeSent(), (tBytes{0x02, 0x00, 0x02}));
  H.SendHeader(60);
  EXPECT_EQ(Port->TakeSent(), (tBytes{0x02, 0x3C, 0x3E}));
  H.SendError(tu_LengthError);
  EXPECT_EQ(Port->TakeSent(), (tBytes{0x03, 0x02, 0x01, 0x06}));
  H.SendError(tu_ChecksumError);
  EXPECT_EQ(Port->TakeSent(), (tBytes{0x03, 0x02, 0x02, 0x07}));
  const uint8_t Echo[] = {'a', 'b'};
  H.SendData(5, Echo, 2);
  EXPECT_EQ(Port->TakeSent(), FrameOf({5, 'a', 'b'}));
}

TEST_F(OrvaneHostTest, SendDataLimits) {
  auto& H = Open();
  tBytes Data(254);
  std::iota(Data.begin(), Data.end(), 1);
  H.SendData(7, Data.data(), 253);
  const tBytes Frame = Port->TakeSent();
  ASSERT_EQ(Frame.size(), 256u);
  EXPECT_EQ(Frame[0], 255);
  EXPECT_EQ(Frame, FrameOf([&] {
              tBytes M{7};
              M.insert(M.end(), Data.begin(), Data.begin() + 253);
              return M;
            }()));

  H.SendData(7, Data.data(), 254);
  EXPECT_TRUE(Port->TakeSent().empty());
  EXPECT_EQ(LoggedTexts(),
            std::vector<std::string>{"Caddis Host Tx error: max message length exceeded"});
}

TEST_F(OrvaneHostTest, ShortTransmitIsReportedAndNotResent) {
  auto& H = Open();
  Port->SendLimit = 2;
  H.SendHeader(60);
  EXPECT_EQ(Port->TakeSent(), (tBytes{0x02, 0x3C}));
  EXPECT_EQ(LoggedTexts(), std::vector<std::string>{"Caddis Host Tx error: 2 sent instead of 3"});
}

TEST_F(OrvaneHostTest, TrafficLinesCarryTheirPrefixes) {
  auto& H = Open();
  H.Logging = true;
  H.SendHeader(0);
  ReceiveMessage({60, 7, 3, '5', '6', '7', '8', '1', '2', '3', '4', '9', '0'});
  ReceiveMessage({64, 1});
  ASSERT_EQ(Output.Lines.size(), 3u);
  EXPECT_EQ(Output.Lines[0], "  to Caddis: AYT 0");
  EXPECT_EQ(Output.Lines[1], "from Caddis: Status 60 7 3 53 54 55 56 49 50 51 52 57 48");
  EXPECT_EQ(Output.Lines[2], "from Caddis: 64? 64 1");
  // Traffic lines go to the display only, never to the log file.
  EXPECT_FALSE(Output.LogFileExists());
}

TEST_F(OrvaneHostTest, LongTrafficLineIsCutAt255) {
  auto& H = Open();
  H.Logging = true;
  tBytes Data(253, 200);
  H.SendData(5, Data.data(), 253);
  ASSERT_EQ(Output.Lines.size(), 1u);
  EXPECT_EQ(Output.Lines[0].size(), 255u);
  EXPECT_EQ(Output.Lines[0].rfind("  to Caddis: Echo 5 200 200", 0), 0u);
}

// ---- receiving ----

TEST_F(OrvaneHostTest, ReceivesOneValidFrame) {
  auto& H = Open();
  Port->Feed({0x02, 0x00, 0x02});
  const tHostMessage M = H.ReceiveMessage();
  EXPECT_EQ(M[0], 1);
  EXPECT_EQ(M[1], 0);
  EXPECT_EQ(H.ReceiveMessage()[0], 0);
  EXPECT_TRUE(Port->Sent.empty());
}

TEST_F(OrvaneHostTest, BadChecksumIsLoggedClearedAndAnswered) {
  auto& H = Open();
  Port->Feed({0x02, 0x00, 0x03, 0x02, 0x00, 0x02});
  EXPECT_EQ(H.ReceiveMessage()[0], 0);
  EXPECT_EQ(LoggedTexts(),
            std::vector<std::string>{
                "Caddis Host Rx error: Invalid CheckSum received: 2 0 3, correct checksum: 2"});
  EXPECT_TRUE(Port->Incoming.empty());  // the frame behind it went too
  EXPECT_EQ(Port->TakeSent(), (tBytes{0x03, 0x02, 0x02, 0x07}));
  // With Logging and LogErrors clear the line reaches the log file only.
  EXPECT_TRUE(Output.Lines.empty());
}

TEST_F(OrvaneHostTest, BadLengthBytesAreLoggedClearedAndAnswered) {
  for (uint8_t N : {0x00, 0x01, 0xFF}) {
    SCOPED_TRACE(int(N));
    auto& H = Open(/*ErrorLogging=*/true);
    Port->Feed({N, 0x00, 0x02, 0x00, 0x02});
    EXPECT_EQ(H.ReceiveMessage()[0], 0);
    const std::string Expected =
        "Caddis Host Rx error: Invalid Length received: " + std::to_string(N);
    EXPECT_EQ(LoggedTexts().back(), Expected);
    EXPECT_EQ(Output.Lines.back(), Expected);
    EXPECT_TRUE(Port->Incoming.empty());
    EXPECT_EQ(Port->TakeSent(), (tBytes{0x03, 0x02, 0x01, 0x06}));
  }
}

TEST_F(OrvaneHostTest, PartialFrameWaitsAndArrivesWhole) {
  auto& H = Open();
  const tBytes Frame = FrameOf({65, 42});
  Port->Feed(tBytes(Frame.begin(), Frame.end() - 1));
  H.ServiceReceive();
  EXPECT_EQ(H.Temperature, 0);
  EXPECT_EQ(Port->Incoming.size(), Frame.size() - 1);
  Port->Feed({Frame.back()});
  H.ServiceReceive();
  EXPECT_EQ(H.Temperature, 42);
  EXPECT_TRUE(Port->Incoming.empty());
}

TEST_F(OrvaneHostTest, TwoFramesComeInTwoCallsAndOneServicePass) {
  auto& H = Open();
  tBytes Bytes = FrameOf({65, 1});
  const tBytes Second = FrameOf({65, 2});
  Bytes.insert(Bytes.end(), Second.begin(), Second.end());
  Port->Feed(Bytes);
  EXPECT_EQ(H.ReceiveMessage()[2], 1);
  EXPECT_EQ(H.ReceiveMessage()[2], 2);
  EXPECT_EQ(H.ReceiveMessage()[0], 0);

  Port->Feed(Bytes);
  H.ServiceReceive();  // both handled in arrival order within one tick
  EXPECT_EQ(H.Temperature, 2);
}

TEST_F(OrvaneHostTest, LongestReceivableFrame) {
  auto& H = Open();
  tBytes Message(253, 9);
  Message[0] = 99;  // unnamed, ignored
  Port->Feed(FrameOf(Message));
  const tHostMessage M = H.ReceiveMessage();
  EXPECT_EQ(M[0], 253);
  EXPECT_EQ(M[253], 9);
}

// ---- dispatch ----

TEST_F(OrvaneHostTest, MessageNames) {
  const std::pair<uint8_t, const char*> Names[] = {
      {0, "AYT"},
      {1, "Restart"},
      {2, "Error"},
      {4, "Boot"},
      {5, "Echo"},
      {39, "UpdateHostFPGA"},
      {40, "UpdateUSBAudio"},
      {41, "UpdateXMOS"},
      {60, "Status"},
      {61, "SampleRate"},
      {62, "ResetEngine"},
      {63, "UpdateEngineFPGA"},
      {65, "Temperature"},
      {66, "Voltages"},
      {68, "IPAddress"},
      {69, "SubnetMask"},
      {70, "UDP/TCP"},
      {80, "RecoveryState"},
      {64, "64?"},
      {3, "3?"},
      {255, "255?"},
  };
  for (const auto& [Id, Name] : Names)
    EXPECT_EQ(tOrvaneHost::MessageName(Id), Name) << int(Id);
}

TEST_F(OrvaneHostTest, StatusReplyFillsIdentityAndFPGAVersion) {
  auto& H = Open();
  ReceiveMessage({0});
  EXPECT_EQ(Port->TakeSent(), (tBytes{0x02, 0x3C, 0x3E}));
  EXPECT_TRUE(H.GetStatusRequested());
  ReceiveMessage({0});  // no second request while one is outstanding
  EXPECT_TRUE(Port->TakeSent().empty());

  ReceiveMessage({60, 7, 3, '5', '6', '7', '8', '1', '2', '3', '4', '9', '0'});
  EXPECT_EQ(H.DeviceID, 7);
  EXPECT_EQ(H.FirmwareVersion, 3);
  EXPECT_EQ(H.FPGAVersion, "9012345678");
  EXPECT_FALSE(H.GetStatusRequested());
  ReceiveMessage({0});  // identity known: no request
  EXPECT_TRUE(Port->TakeSent().empty());
}

TEST_F(OrvaneHostTest, StatusWithDeviceIdZeroIsAskedAgain) {
  auto& H = Open();
  ReceiveMessage({0});
  ReceiveMessage({60, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  Port->TakeSent();
  ReceiveMessage({0});
  EXPECT_EQ(Port->TakeSent(), (tBytes{0x02, 0x3C, 0x3E}));
  EXPECT_EQ(H.DeviceID, 0);
}

TEST_F(OrvaneHostTest, ADamagedStatusReplyIsAskedForAgain) {
  // Whether the reply came with a bad checksum or a bad length, the next keep-alive reply
  // asks again, and the card ends up identified.
  for (const tBytes& Damaged :
       {tBytes{0x0E, 60, 7, 3, '5', '6', '7', '8', '1', '2', '3', '4', '9', '0', 0x00},
        tBytes{0xFF, 60, 7}}) {
    auto& H = Open();
    ReceiveMessage({0});
    Receive(Damaged);
    Port->TakeSent();
    ReceiveMessage({0});
    EXPECT_EQ(Port->TakeSent(), (tBytes{0x02, 0x3C, 0x3E}));
    EXPECT_EQ(H.GetDiscardedFrames(), 1u);
    EXPECT_EQ(H.GetStatusReplies(), 0u);
    ReceiveMessage({60, 7, 3, '5', '6', '7', '8', '1', '2', '3', '4', '9', '0'});
    EXPECT_EQ(H.DeviceID, 7);
  }
}

// A card that was not listening when the identity was asked for (it was starting again)
// is asked again once a keep-alive period has passed and it answers.
TEST_F(OrvaneHostTest, AStatusRequestTheCardMissedIsAskedForAgain) {
  auto& H = Open();
  H.AskIdentity();
  EXPECT_EQ(Port->TakeSent(), (tBytes{0x02, 0x00, 0x02, 0x02, 0x3C, 0x3E}));
  for (int Tick = 0; Tick < tOrvaneHost::AYTPeriodTicks; ++Tick)
    H.ServiceAYT();
  EXPECT_EQ(Port->TakeSent(), (tBytes{0x02, 0x00, 0x02}));
  ReceiveMessage({0});
  EXPECT_EQ(Port->TakeSent(), (tBytes{0x02, 0x3C, 0x3E}));
}

TEST_F(OrvaneHostTest, SampleRateReportsStoreAndRaiseTheEvent) {
  auto& H = Open();
  std::vector<std::pair<tOrvanePort, uint32_t>> Events;
  H.OnSampleRateChange() = [&](tOrvanePort P, uint32_t R) { Events.emplace_back(P, R); };
  ReceiveMessage({61, 2, 0x80, 0xBB, 0x00, 0x00});
  EXPECT_EQ(H.SampleRates[oh_WordClock], 48000u);
  ReceiveMessage({61, 3, 0x44, 0xAC, 0x00, 0x00});
  EXPECT_EQ(H.SampleRates[oh_USBAudio], 44100u);
  ReceiveMessage({61, 4, 1, 2, 3, 4});  // no such port
  ASSERT_EQ(Events.size(), 2u);
  EXPECT_EQ(Events[0], std::make_pair(oh_WordClock, 48000u));
  EXPECT_EQ(Events[1], std::make_pair(oh_USBAudio, 44100u));
  EXPECT_EQ(H.SampleRates[oh_Kelp0], 0u);
}

TEST_F(OrvaneHostTest, SampleRateWithoutHandlerStillStores) {
  auto& H = Open();
  ReceiveMessage({61, 0, 0x00, 0x77, 0x01, 0x00});
  EXPECT_EQ(H.SampleRates[oh_Kelp0], 96000u);
}

TEST_F(OrvaneHostTest, ReportsFillTheirFields) {
  auto& H = Open();
  ReceiveMessage({66, 50, 70, 150, 33, 18, 12, 0});
  EXPECT_FLOAT_EQ(H.Voltages[0], 5.0f);
  EXPECT_FLOAT_EQ(H.Voltages[1], 7.0f);
  EXPECT_FLOAT_EQ(H.Voltages[2], 15.0f);
  EXPECT_FLOAT_EQ(H.Voltages[3], 3.3f);
  EXPECT_FLOAT_EQ(H.Voltages[6], 0.0f);
  ReceiveMessage({65, 47});
  EXPECT_EQ(H.Temperature, 47);
  ReceiveMessage({68, 192, 168, 1, 20});
  EXPECT_EQ(H.IPAddress, 0x1401A8C0u);
  ReceiveMessage({69, 255, 255, 255, 0});
  EXPECT_EQ(H.SubnetMask, 0x00FFFFFFu);
  ReceiveMessage({70, 2});
  EXPECT_TRUE(H.UDPorTCP);
  ReceiveMessage({70, 0});
  EXPECT_FALSE(H.UDPorTCP);
  ReceiveMessage({80, 0xFF, 0xFF});
  EXPECT_EQ(H.RecoveryState, -1);
  ReceiveMessage({80, 0x34, 0x12});
  EXPECT_EQ(H.RecoveryState, 0x1234);
}

TEST_F(OrvaneHostTest, UpdateCompleteEventsPassTheirByte) {
  auto& H = Open();
  ReceiveMessage({63, 1});  // no handlers set: nothing happens
  ReceiveMessage({41, 1});
  int Engine = -1, XMOS = -1;
  H.OnEngineFPGAUpdateComplete() = [&](uint8_t U) { Engine = U; };
  H.OnXMOSUpdateComplete() = [&](uint8_t U) { XMOS = U; };
  ReceiveMessage({63, 5});
  ReceiveMessage({41, 9});
  EXPECT_EQ(Engine, 5);
  EXPECT_EQ(XMOS, 9);
}

// Everything the card reported, for comparing before and after a message.
struct tSnapshot {
  explicit tSnapshot(const tOrvaneHost& H)
      : DeviceID(H.DeviceID),
        FirmwareVersion(H.FirmwareVersion),
        Temperature(H.Temperature),
        FPGAVersion(H.FPGAVersion),
        IPAddress(H.IPAddress),
        SubnetMask(H.SubnetMask),
        UDPorTCP(H.UDPorTCP),
        SampleRates(H.SampleRates),
        Voltages(H.Voltages),
        RecoveryState(H.RecoveryState) {}
  bool operator==(const tSnapshot&) const = default;
  uint8_t DeviceID, FirmwareVersion, Temperature;
  std::string FPGAVersion;
  uint32_t IPAddress, SubnetMask;
  bool UDPorTCP;
  std::array<uint32_t, 4> SampleRates;
  std::array<float, 7> Voltages;
  int16_t RecoveryState;
};

TEST_F(OrvaneHostTest, ShortReportsChangeNothing) {
  auto& H = Open();
  // Known values first, so that a short report that did write something would show.
  ReceiveMessage({60, 7, 3, '5', '6', '7', '8', '1', '2', '3', '4', '9', '0'});
  ReceiveMessage({66, 50, 70, 150, 33, 18, 12, 10});
  ReceiveMessage({65, 40});
  ReceiveMessage({68, 1, 2, 3, 4});
  ReceiveMessage({69, 5, 6, 7, 8});
  ReceiveMessage({70, 1});
  ReceiveMessage({80, 3, 0});
  ReceiveMessage({61, 1, 0x80, 0xBB, 0, 0});
  int Events = 0;
  H.OnSampleRateChange() = [&](tOrvanePort, uint32_t) { ++Events; };
  H.OnEngineFPGAUpdateComplete() = [&](uint8_t) { ++Events; };
  H.OnXMOSUpdateComplete() = [&](uint8_t) { ++Events; };
  const tSnapshot Before(H);

  const std::vector<tBytes> Short = {
      {60, 9, 9, 9, 9, 9},
      {60},
      {66, 1, 2, 3},
      {66},
      {65},
      {68, 1, 2, 3},
      {69, 1},
      {70},
      {80, 0xFF},
      {61, 1, 0x44, 0xAC, 0},
      {61},
      {63},
      {41},
  };
  for (const auto& M : Short) {
    SCOPED_TRACE(int(M[0]));
    ReceiveMessage(M);
    EXPECT_TRUE(tSnapshot(H) == Before);
  }
  EXPECT_EQ(Events, 0);
  EXPECT_TRUE(Output.LogLines().empty());
}

TEST_F(OrvaneHostTest, UnknownIdentifiersAndIdleUpdaterRepliesAreDropped) {
  auto& H = Open();
  ReceiveMessage({65, 40});
  const tSnapshot Before(H);
  for (const tBytes& M : {tBytes{39, 0, 0}, tBytes{40, 1, 0, 0, 1}, tBytes{3, 1}, tBytes{64, 2},
                          tBytes{1}, tBytes{4}, tBytes{5, 'x'}, tBytes{62}, tBytes{200, 1, 2}})
    ReceiveMessage(M);
  EXPECT_TRUE(tSnapshot(H) == Before);
  EXPECT_TRUE(Port->Sent.empty());
}

TEST_F(OrvaneHostTest, ErrorMessageFromTheCardClears) {
  auto& H = Open();
  ReceiveMessage({0});
  ReceiveMessage({60, 7, 3, '5', '6', '7', '8', '1', '2', '3', '4', '9', '0'});
  ReceiveMessage({61, 2, 0x80, 0xBB, 0, 0});
  ReceiveMessage({66, 50, 70, 150, 0, 0, 0, 0});
  ReceiveMessage({65, 40});
  ReceiveMessage({80, 3, 0});
  Port->TakeSent();

  ReceiveMessage({2, 1});
  EXPECT_EQ(H.DeviceID, 0);
  EXPECT_EQ(H.FirmwareVersion, 0);
  EXPECT_EQ(H.FPGAVersion, std::string(10, '\0'));
  EXPECT_EQ(H.SampleRates[oh_WordClock], 0u);
  EXPECT_FLOAT_EQ(H.Voltages[0], 0.0f);
  EXPECT_EQ(H.Temperature, 40);  // kept until the next report
  EXPECT_EQ(H.RecoveryState, 3);
  EXPECT_EQ(Port->InputClears, 1);
  EXPECT_EQ(Port->OutputClears, 1);

  ReceiveMessage({0});
  EXPECT_EQ(Port->TakeSent(), (tBytes{0x02, 0x3C, 0x3E}));
}

// ---- commands ----

TEST_F(OrvaneHostTest, SmallCommands) {
  auto& H = Open();
  H.ResetEngine();
  EXPECT_EQ(Port->TakeSent(), FrameOf({62}));
  H.SetSyncSource(oh_WordClock);
  EXPECT_EQ(Port->TakeSent(), FrameOf({64, 2}));
  H.SetUDPorTCP(true);
  EXPECT_TRUE(H.UDPorTCP);
  EXPECT_EQ(Port->TakeSent(), FrameOf({70, 1}));
  H.SetUDPorTCP(false);
  EXPECT_FALSE(H.UDPorTCP);
  EXPECT_EQ(Port->TakeSent(), FrameOf({70, 0}));
  H.GetRecoveryState();
  EXPECT_EQ(Port->TakeSent(), FrameOf({80}));
}

// ---- keep-alive ----

class KeepAliveTest : public OrvaneHostTest {
 protected:
  // Runs ticks one by one and records which of them sent a keep-alive.
  std::vector<int> KeepAliveTicks(int From, int To) {
    std::vector<int> Sent;
    for (int Tick = From; Tick <= To; ++Tick) {
      Host->ServiceAYT();
      const tBytes Bytes = Port->TakeSent();
      if (!Bytes.empty()) {
        EXPECT_EQ(Bytes, (tBytes{0x02, 0x00, 0x02})) << "tick " << Tick;
        Sent.push_back(Tick);
      }
    }
    return Sent;
  }
};

TEST_F(KeepAliveTest, SilentCardTimeline) {
  auto& H = Open();
  H.Logging = true;
  ReceiveMessage({60, 7, 3, '5', '6', '7', '8', '1', '2', '3', '4', '9', '0'});
  Output.Lines.clear();

  EXPECT_EQ(KeepAliveTicks(1, 299), (std::vector<int>{100, 200}));
  EXPECT_EQ(H.GetAYTFailCount(), 2);
  EXPECT_EQ(H.DeviceID, 7);
  EXPECT_TRUE(Output.LogLines().empty());

  EXPECT_EQ(KeepAliveTicks(300, 300), std::vector<int>{300});
  EXPECT_EQ(H.DeviceID, 0);
  EXPECT_EQ(Port->InputClears, 1);
  EXPECT_EQ(LoggedTexts(), std::vector<std::string>{"Caddis Host AYT Timeout"});

  EXPECT_EQ(KeepAliveTicks(301, 600), (std::vector<int>{400, 500, 600}));
  EXPECT_EQ(H.GetAYTFailCount(), 6);
  EXPECT_EQ(Port->InputClears, 1);
  EXPECT_EQ(LoggedTexts().size(), 1u);
}

TEST_F(KeepAliveTest, LostLinkWithLoggingOffLeavesNoTrace) {
  auto& H = Open(/*ErrorLogging=*/true);
  ReceiveMessage({60, 7, 3, '5', '6', '7', '8', '1', '2', '3', '4', '9', '0'});
  Ticks(300);
  EXPECT_EQ(H.DeviceID, 0);
  EXPECT_FALSE(Output.LogFileExists());
  EXPECT_TRUE(Output.Lines.empty());
}

TEST_F(KeepAliveTest, ReplyResetsTheCount) {
  auto& H = Open();
  ReceiveMessage({60, 7, 3, '5', '6', '7', '8', '1', '2', '3', '4', '9', '0'});
  Ticks(250);
  EXPECT_EQ(H.GetAYTFailCount(), 2);
  ReceiveMessage({0});
  EXPECT_EQ(H.GetAYTFailCount(), 0);
  Port->TakeSent();
  // Three more due keep-alives (ticks 300, 400, 500) before the link counts as lost.
  EXPECT_EQ(KeepAliveTicks(251, 499), (std::vector<int>{300, 400}));
  EXPECT_EQ(H.DeviceID, 7);
  KeepAliveTicks(500, 500);
  EXPECT_EQ(H.DeviceID, 0);
}

TEST_F(KeepAliveTest, InactiveKeepAliveKeepsItsCounters) {
  auto& H = Open();
  Ticks(150);
  EXPECT_EQ(H.GetAYTQFCount(), 50);
  EXPECT_EQ(H.GetAYTFailCount(), 1);
  H.AYTActive = false;
  Port->TakeSent();
  EXPECT_TRUE(KeepAliveTicks(1, 500).empty());
  EXPECT_EQ(H.GetAYTQFCount(), 50);
  EXPECT_EQ(H.GetAYTFailCount(), 1);
  H.AYTActive = true;
  EXPECT_EQ(KeepAliveTicks(151, 200), std::vector<int>{200});
  EXPECT_EQ(H.GetAYTFailCount(), 2);
}

TEST_F(KeepAliveTest, OneStatusRequestPerClear) {
  auto& H = Open();
  ReceiveMessage({0});
  ReceiveMessage({60, 7, 3, '5', '6', '7', '8', '1', '2', '3', '4', '9', '0'});
  Ticks(300);
  EXPECT_EQ(H.DeviceID, 0);
  Port->TakeSent();
  ReceiveMessage({0});
  ReceiveMessage({0});
  EXPECT_EQ(Port->TakeSent(), (tBytes{0x02, 0x3C, 0x3E}));
  // A request outstanding at the time of a Clear does not block the next one.
  Ticks(300);
  ReceiveMessage({0});
  EXPECT_EQ(Port->TakeSent(),
            (tBytes{0x02, 0x00, 0x02, 0x02, 0x00, 0x02, 0x02, 0x00, 0x02, 0x02, 0x3C, 0x3E}));
}

// A card whose reports arrive but which does not answer a keep-alive is not reading from a
// frame's start: a frame's worth of zero bytes goes out before the next keep-alive, and the
// card's Error answer to them brings the identity request at once. A card that says nothing
// gets no zero bytes.
TEST_F(KeepAliveTest, ACardThatTalksButDoesNotAnswerIsBroughtBackInStep) {
  auto& H = Open();
  H.Logging = true;
  EXPECT_EQ(KeepAliveTicks(1, 199), (std::vector<int>{100}));
  EXPECT_TRUE(LoggedTexts().empty());
  ReceiveMessage({65, 41});  // a temperature report, unasked
  Ticks(1);
  tBytes Expected(tHostFrame::MaxFrameSize, 0);
  Expected.insert(Expected.end(), {0x02, 0x00, 0x02});
  EXPECT_EQ(Port->TakeSent(), Expected);
  EXPECT_EQ(LoggedTexts().size(), 1u);
  ReceiveMessage({2, 2});  // Error: checksum
  EXPECT_EQ(Port->TakeSent(), (tBytes{0x02, 0x00, 0x02, 0x02, 0x3C, 0x3E}));
  // Brought back: the card answers, and the next periods send keep-alives only.
  ReceiveMessage({0});
  ReceiveMessage({65, 41});
  EXPECT_EQ(KeepAliveTicks(1, 200), (std::vector<int>{100, 200}));
}

}  // namespace

// ---- link health ----

namespace {

TEST(LinkHealthTest, RoundTripsGiveLastMinMeanAndMax) {
  tLinkHealth Health;
  EXPECT_EQ(Health.RoundTripMeanUs(), 0);
  for (int Us : {3000, 1000, 5000, 2000})
    Health.AddRoundTrip(std::chrono::microseconds(Us));
  EXPECT_EQ(Health.RoundTrips, 4u);
  EXPECT_EQ(Health.RoundTripLastUs, 2000);
  EXPECT_EQ(Health.RoundTripMinUs, 1000);
  EXPECT_EQ(Health.RoundTripMaxUs, 5000);
  EXPECT_EQ(Health.RoundTripMeanUs(), 2750);
}

tLinkHealth WithRoundTrips(std::initializer_list<int> Us, uint32_t Unanswered) {
  tLinkHealth Health;
  for (int One : Us)
    Health.AddRoundTrip(std::chrono::microseconds(One));
  Health.KeepAlivesUnanswered = Unanswered;
  Health.BytesSent = 10;
  Health.HangUps = 1;
  return Health;
}

TEST(LinkHealthTest, LaterLinksAddUp) {
  struct tCase {
    const char* What;
    tLinkHealth Earlier, Later;
    uint32_t RoundTrips;
    int64_t Last, Min, Max;
  };
  const tCase Cases[] = {
      {"both timed", WithRoundTrips({4000, 2000}, 1), WithRoundTrips({3000, 6000}, 2), 4, 6000,
       2000, 6000},
      {"only the earlier timed", WithRoundTrips({4000, 2000}, 1), WithRoundTrips({}, 2), 2, 2000,
       2000, 4000},
      // An earlier link with no round trip has no minimum of 0 to keep.
      {"only the later timed", WithRoundTrips({}, 1), WithRoundTrips({3000, 6000}, 2), 2, 6000,
       3000, 6000},
  };
  for (const tCase& Case : Cases) {
    tLinkHealth Sum = Case.Earlier;
    Sum += Case.Later;
    EXPECT_EQ(Sum.RoundTrips, Case.RoundTrips) << Case.What;
    EXPECT_EQ(Sum.RoundTripLastUs, Case.Last) << Case.What;
    EXPECT_EQ(Sum.RoundTripMinUs, Case.Min) << Case.What;
    EXPECT_EQ(Sum.RoundTripMaxUs, Case.Max) << Case.What;
    EXPECT_EQ(Sum.RoundTripSumUs, Case.Earlier.RoundTripSumUs + Case.Later.RoundTripSumUs)
        << Case.What;
    EXPECT_EQ(Sum.KeepAlivesUnanswered, 3u) << Case.What;
    EXPECT_EQ(Sum.BytesSent, 20u) << Case.What;
    EXPECT_EQ(Sum.HangUps, 2u) << Case.What;
  }
  // Answer gaps add up the same way; a later link without any keeps the earlier ones.
  tLinkHealth Earlier, Later, None;
  Earlier.AddAnswerGap(std::chrono::microseconds(4000));
  Later.AddAnswerGap(std::chrono::microseconds(1000));
  Later.AddAnswerGap(std::chrono::microseconds(9000));
  tLinkHealth Sum = None;
  Sum += Earlier;
  Sum += None;
  EXPECT_EQ(Sum.AnswerGapMinUs, 4000);
  Sum += Later;
  EXPECT_EQ(Sum.AnswerGaps, 3u);
  EXPECT_EQ(Sum.AnswerGapMinUs, 1000);
  EXPECT_EQ(Sum.AnswerGapMaxUs, 9000);
  EXPECT_EQ(Sum.AnswerGapMeanUs(), 14000 / 3);
}

TEST_F(OrvaneHostTest, LinkHealthCountsKeepAlivesDamageBytesAndHangUps) {
  auto& H = Open();
  H.AskIdentity();                         // keep-alive and Status: 6 bytes out
  ReceiveMessage({0});                     // its reply: 3 bytes in, one round trip
  ReceiveMessage({0});                     // a repeated reply: nothing is out, so nothing is timed
  Ticks(2 * tOrvaneHost::AYTPeriodTicks);  // two more keep-alives; the first has no reply
  EXPECT_EQ(H.LinkHealth().RoundTrips, 1u);
  EXPECT_EQ(H.LinkHealth().KeepAlivesUnanswered, 1u);
  EXPECT_EQ(H.LinkHealth().BytesSent, 12u);
  EXPECT_EQ(H.LinkHealth().BytesReceived, 6u);

  // A frame with a wrong checksum and the frame behind it, thrown away together: all six
  // bytes came over the link. The host answers with a 4-byte error message.
  Receive({0x02, 0x00, 0x03, 0x02, 0x00, 0x02});
  EXPECT_EQ(H.LinkHealth().FramesDamagedChecksum, 1u);
  EXPECT_EQ(H.LinkHealth().BytesReceived, 12u);
  Receive({0xFF, 0x01, 0x02});
  EXPECT_EQ(H.LinkHealth().FramesDamagedLength, 1u);
  EXPECT_EQ(H.LinkHealth().BytesReceived, 15u);
  EXPECT_EQ(H.LinkHealth().BytesSent, 20u);
  // Frames sent together (a restart's Restart and keep-alive) count too.
  H.SendHeaders({tHostId::Restart, tHostId::AYT});
  EXPECT_EQ(H.LinkHealth().BytesSent, 26u);

  // A hang-up counts once, however many ticks see it.
  Port->IsHungUp = true;
  H.ServiceReceive();
  H.ServiceReceive();
  EXPECT_EQ(H.LinkHealth().HangUps, 1u);

  H.ResetLinkHealth();
  EXPECT_EQ(H.LinkHealth(), tLinkHealth{});
}

}  // namespace

namespace {

TEST(LinkHealthTest, TextsForTheOperatorAndForScripts) {
  tLinkHealth Health;
  EXPECT_EQ(LinkHealthText(Health),
            "round trip none yet, 0 unanswered, damaged frames 0 length 0 checksum, 0 bytes out "
            "0 in, 0 hang-ups");
  EXPECT_EQ(LinkHealthJson(Health),
            "{\"RoundTripMs\":{\"Last\":null,\"Min\":null,\"Mean\":null,\"Max\":null},"
            "\"RoundTrips\":0,\"KeepAlivesUnanswered\":0,\"FramesDamaged\":{\"Length\":0,"
            "\"Checksum\":0},\"BytesSent\":0,\"BytesReceived\":0,\"HangUps\":0,"
            "\"AnswerGapMs\":{\"Min\":null,\"Mean\":null,\"Max\":null},\"AnswerGaps\":0}");
  for (int Us : {1250, 860, 3400})
    Health.AddRoundTrip(std::chrono::microseconds(Us));
  Health.KeepAlivesUnanswered = 1;
  Health.FramesDamagedLength = 2;
  Health.FramesDamagedChecksum = 3;
  Health.BytesSent = 120;
  Health.BytesReceived = 640;
  Health.HangUps = 4;
  EXPECT_EQ(LinkHealthText(Health),
            "round trip 3.4 ms (min 0.9, mean 1.8, max 3.4), 1 unanswered, damaged frames 2 "
            "length 3 checksum, 120 bytes out 640 in, 4 hang-ups");
  EXPECT_EQ(LinkHealthJson(Health),
            "{\"RoundTripMs\":{\"Last\":3.400,\"Min\":0.860,\"Mean\":1.836,\"Max\":3.400},"
            "\"RoundTrips\":3,\"KeepAlivesUnanswered\":1,\"FramesDamaged\":{\"Length\":2,"
            "\"Checksum\":3},\"BytesSent\":120,\"BytesReceived\":640,\"HangUps\":4,"
            "\"AnswerGapMs\":{\"Min\":null,\"Mean\":null,\"Max\":null},\"AnswerGaps\":0}");
  // A file update's packet answers: named after the rest, mean first.
  for (int Us : {1800, 17'000, 2'100})
    Health.AddAnswerGap(std::chrono::microseconds(Us));
  EXPECT_EQ(LinkHealthText(Health),
            "round trip 3.4 ms (min 0.9, mean 1.8, max 3.4), 1 unanswered, damaged frames 2 "
            "length 3 checksum, 120 bytes out 640 in, 4 hang-ups, packet answers 7.0 ms (min "
            "1.8, max 17.0) over 3");
  EXPECT_NE(LinkHealthJson(Health).find(
                "\"AnswerGapMs\":{\"Min\":1.800,\"Mean\":6.966,\"Max\":17.000},\"AnswerGaps\":3}"),
            std::string::npos)
      << LinkHealthJson(Health);
}

}  // namespace

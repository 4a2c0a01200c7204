// The card's side of file updates: its answers packet by packet, and the tool's host object
// updating it in-process over a fake port with a made-up clock (faults, wire time, delay).
#include "sim/SimFileUpdate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <random>

#include "hostlink/FakeComPort.h"
#include "hostlink/HostTestSupport.h"
#include "hostlink/OrvaneHost.h"
#include "sim/SimCard.h"
#include "sim/SimRunner.h"
#include "support/MadeUpImage.h"

namespace {

using tBytes = std::vector<uint8_t>;
using tClock = tSimCard::tClock;
using namespace std::chrono_literals;

tHostMessage Msg(const tBytes& Bytes) {
  return tHostFrame::MakeMessage(Bytes);
}

tBytes Bytes(const std::optional<tHostMessage>& M) {
  if (!M) return {};
  return tBytes(M->begin() + 1, M->begin() + 1 + (*M)[0]);
}

tBytes DataPacket(uint16_t Number, const tBytes& Data, uint8_t Id = 39) {
  tBytes P(4 + Data.size());
  P[0] = Id;
  P[1] = 1;
  P[2] = static_cast<uint8_t>(Number >> 8);
  P[3] = static_cast<uint8_t>(Number);
  std::copy(Data.begin(), Data.end(), P.begin() + 4);
  return P;
}

tBytes Filled(std::size_t Size, uint8_t Value) {
  return tBytes(Size, Value);
}

TEST(SimFileUpdateTest, GoodTransferKeepsTheImageAndRepeatsAreAnsweredAgain) {
  tSimFileUpdate U(39);
  EXPECT_EQ(Bytes(U.Handle(Msg({39, 0, 0, 2}))), (tBytes{39, 0, 0}));
  EXPECT_TRUE(U.Receiving());
  EXPECT_EQ(Bytes(U.Handle(Msg(DataPacket(0, Filled(128, 1))))), (tBytes{39, 1, 0, 0, 0}));
  // The tool sends the packet again: answered again, stored once.
  EXPECT_EQ(Bytes(U.Handle(Msg(DataPacket(0, Filled(128, 1))))), (tBytes{39, 1, 0, 0, 0}));
  EXPECT_EQ(Bytes(U.Handle(Msg(DataPacket(1, {200, 100, 7})))), (tBytes{39, 1, 0, 0, 1}));
  EXPECT_TRUE(U.Image().empty());
  // 128 + 307 = 435 = 0x01B3
  EXPECT_EQ(Bytes(U.Handle(Msg({39, 2, 0x01, 0xB3}))), (tBytes{39, 2, 0}));
  EXPECT_FALSE(U.Receiving());
  tBytes Expected = Filled(128, 1);
  Expected.insert(Expected.end(), {200, 100, 7});
  EXPECT_EQ(U.Image(), Expected);
  EXPECT_EQ(U.ImagesCompleted(), 1);
  // Another identifier's packets are not this transfer's.
  EXPECT_FALSE(U.Handle(Msg({40, 0, 0, 1})).has_value());
}

TEST(SimFileUpdateTest, RefusalsNameTheFaultAndForgetTheTransfer) {
  tSimFileUpdate U(40);
  EXPECT_EQ(Bytes(U.Handle(Msg(DataPacket(0, {1}, 40)))), (tBytes{40, 1, 3, 0, 0}));
  EXPECT_EQ(Bytes(U.Handle(Msg({40, 0, 0, 0}))), (tBytes{40, 0, 3}));  // no packets
  EXPECT_EQ(Bytes(U.Handle(Msg({40, 0, 0}))), (tBytes{40, 0, 1}));     // short start
  EXPECT_EQ(Bytes(U.Handle(Msg({40, 2, 0, 0}))), (tBytes{40, 2, 3}));  // nothing to end
  EXPECT_EQ(Bytes(U.Handle(Msg({40, 9, 0, 0}))), (tBytes{40, 9, 1}));  // no such type
  EXPECT_EQ(Bytes(U.Handle(Msg({40}))), (tBytes{40, 0, 1}));

  struct tCase {
    const char* What;
    std::vector<tBytes> Before;
    tBytes Packet;
    tBytes Answer;
  };
  const tCase Cases[] = {
      {"short packet before the last",
       {{40, 0, 0, 2}},
       DataPacket(0, Filled(100, 1), 40),
       {40, 1, 1, 0, 0}},
      {"out of order", {{40, 0, 0, 3}}, DataPacket(1, Filled(128, 1), 40), {40, 1, 3, 0, 1}},
      {"beyond the count",
       {{40, 0, 0, 1}, DataPacket(0, {1}, 40)},
       DataPacket(1, {1}, 40),
       {40, 1, 3, 0, 1}},
      {"empty data packet", {{40, 0, 0, 1}}, DataPacket(0, {}, 40), {40, 1, 1, 0, 0}},
      {"finish too early",
       {{40, 0, 0, 2}, DataPacket(0, Filled(128, 1), 40)},
       {40, 2, 0, 128},
       {40, 2, 3}},
      {"wrong byte sum", {{40, 0, 0, 1}, DataPacket(0, {1, 2}, 40)}, {40, 2, 0, 4}, {40, 2, 2}},
      {"long finish", {{40, 0, 0, 1}, DataPacket(0, {1, 2}, 40)}, {40, 2, 0, 3, 0}, {40, 2, 1}},
  };
  for (const auto& C : Cases) {
    tSimFileUpdate Card(40);
    for (const auto& B : C.Before)
      ASSERT_EQ(Bytes(Card.Handle(Msg(B))).at(2), 0) << C.What;
    EXPECT_EQ(Bytes(Card.Handle(Msg(C.Packet))), C.Answer) << C.What;
    EXPECT_FALSE(Card.Receiving()) << C.What;
    EXPECT_TRUE(Card.Image().empty()) << C.What;
  }
}

TEST(SimFileUpdateTest, InjectedFaults) {
  tSimUpdateFaults F;
  F.AckCodeAt = 1;
  F.AckCode = 5;
  F.WrongAckAt = 0;
  tSimFileUpdate U(39, F);
  U.Handle(Msg({39, 0, 0, 3}));
  EXPECT_EQ(Bytes(U.Handle(Msg(DataPacket(0, Filled(128, 1))))), (tBytes{39, 1, 0, 0, 1}));
  EXPECT_EQ(Bytes(U.Handle(Msg(DataPacket(1, Filled(128, 1))))), (tBytes{39, 1, 5, 0, 1}));
  EXPECT_FALSE(U.Receiving());

  tSimUpdateFaults Quiet;
  Quiet.SilentAt = 1;
  tSimFileUpdate S(39, Quiet);
  S.Handle(Msg({39, 0, 0, 2}));
  S.Handle(Msg(DataPacket(0, Filled(128, 1))));
  EXPECT_FALSE(S.Handle(Msg(DataPacket(1, {9}))).has_value());
  EXPECT_TRUE(S.Receiving());
  // Each new transfer meets the fault again.
  S.Handle(Msg({39, 0, 0, 2}));
  S.Handle(Msg(DataPacket(0, Filled(128, 1))));
  EXPECT_FALSE(S.Handle(Msg(DataPacket(1, {9}))).has_value());
}

// The wire's timing seen from outside: a frame is read once its last byte is in, and the
// answer leaves once its own bytes have gone out. At 1200 baud a byte takes 1/120 s.
TEST(SimFileUpdateTest, EmulatedWireDelaysReadingAndReplies) {
  tSimCardConfig Config;
  Config.WireBaud = 1200;
  tBytes Wire;
  const auto T0 = tClock::now();
  tSimCard Card(
      Config, [&](const uint8_t* B, std::size_t N) { Wire.insert(Wire.end(), B, B + N); }, T0);
  EXPECT_EQ(Card.WireTime(3), 25ms);
  const tBytes AYT{2, 0, 2};
  Card.Receive(AYT.data(), AYT.size(), T0);
  Card.Receive(AYT.data(), AYT.size(), T0);  // behind the first on the wire
  EXPECT_EQ(Card.NextDue(), T0 + 25ms);
  Card.Tick(T0 + 24ms);
  EXPECT_TRUE(Wire.empty());
  // The first arrives at 25 ms, its answer is out at 50 ms; the second arrives at 50 ms and
  // its answer follows the first one's, at 75 ms.
  Card.Tick(T0 + 49ms);
  EXPECT_TRUE(Wire.empty());
  Card.Tick(T0 + 50ms);
  EXPECT_EQ(Wire, AYT);
  Card.Tick(T0 + 74ms);
  EXPECT_EQ(Wire.size(), 3u);
  Card.Tick(T0 + 75ms);
  EXPECT_EQ(Wire.size(), 6u);
}

// ---- the tool's host object updating the card in-process ----

class HostUpdatesCardTest : public ::testing::Test {
 protected:
  void Connect(const tSimCardConfig& Config) {
    Card = std::make_unique<tSimCard>(
        Config,
        [this](const uint8_t* B, std::size_t N) { OnTheWay.insert(OnTheWay.end(), B, B + N); },
        Now);
    Card->SetImageHandler(
        [this](uint8_t Id, const tBytes& Image) { Images.emplace_back(Id, Image); });
    Host = std::make_unique<tOrvaneHost>(4, false, "Caddis");
    Port = Factory.Last;
    Port->OnSend = [this](const uint8_t* B, int32_t N) {
      Card->Receive(B, N, Now);
      SentBytes += N;
    };
  }

  tBytes WriteImage(const std::string& Name, std::size_t Size) {
    tBytes Data(Size);
    std::mt19937 Random(static_cast<uint32_t>(Size));
    for (auto& B : Data)
      B = static_cast<uint8_t>(Random());
    std::ofstream(Images_.Path + "/" + Name, std::ios::binary)
        .write(reinterpret_cast<const char*>(Data.data()), static_cast<std::streamsize>(Size));
    return Data;
  }
  // Runs FPGA (or USB-audio) update to its end on 10 ms ticks; the number of ticks, or -1.
  int Update(bool FPGA, int Limit = 100000) {
    Finished = false;
    auto Finish = [this](float P, tTivaUpdateError Code) {
      Finished = true;
      FinalProgress = P;
      FinalCode = Code;
    };
    if (FPGA)
      Host->UpdateHostFPGA(nullptr, Finish, Images_.Path + "/SkerryFPGA.bit");
    else
      Host->UpdateUSBAudio(nullptr, Finish, Images_.Path + "/xmos.bin");
    for (int Tick = 1; Tick <= Limit; ++Tick) {
      Now += 10ms;
      Card->Tick(Now);
      // What the card sent reaches the tool's receive queue between two ticks, as the port's
      // own thread delivers it.
      Port->Incoming.insert(Port->Incoming.end(), OnTheWay.begin(), OnTheWay.end());
      OnTheWay.clear();
      Host->ServiceReceive();
      if (Finished) return Tick;
    }
    return -1;
  }
  bool Shown(const std::string& Text) const {
    return std::any_of(Output.Lines.begin(), Output.Lines.end(),
                       [&](const std::string& L) { return L == Text; });
  }

  tCapturedOutput Output;
  tTempFolder Images_;
  tFakePortFactory Factory;
  tClock::time_point Now = tClock::now();
  std::unique_ptr<tSimCard> Card;
  std::unique_ptr<tOrvaneHost> Host;
  tFakeComPort* Port = nullptr;
  tBytes OnTheWay;
  std::vector<std::pair<uint8_t, tBytes>> Images;
  bool Finished = false;
  float FinalProgress = -1;
  tTivaUpdateError FinalCode = tu_SequenceError;
  std::size_t SentBytes = 0;
};

TEST_F(HostUpdatesCardTest, BothImagesArriveByteExactOnePacketPerTick) {
  Connect({});
  const tBytes FPGA = WriteImage("SkerryFPGA.bit", 20000);  // 157 packets, the last of 32
  const tBytes Audio = WriteImage("xmos.bin", 1280);        // exactly 10 full packets
  const int Ticks = Update(true);
  ASSERT_GT(Ticks, 0);
  EXPECT_EQ(FinalCode, tu_Ack);
  EXPECT_EQ(Card->ReceivedImage(39), FPGA);
  // Start, 157 data packets and the finish: one exchange per tick without wire time.
  EXPECT_EQ(Ticks, 159);
  ASSERT_GT(Update(false), 0);
  EXPECT_EQ(FinalCode, tu_Ack);
  EXPECT_EQ(Card->ReceivedImage(40), Audio);
  EXPECT_EQ(Card->ReceivedImage(39), FPGA);
  ASSERT_EQ(Images.size(), 2u);
  EXPECT_EQ(Images[0], std::make_pair(uint8_t{39}, FPGA));
  EXPECT_EQ(Images[1], std::make_pair(uint8_t{40}, Audio));
}

TEST_F(HostUpdatesCardTest, InjectedAnswersAbortWithTheToolsTexts) {
  struct tCase {
    tSimUpdateFaults Faults;
    tTivaUpdateError Code;
    std::string Text;
  };
  const tCase Cases[] = {
      {{.AckCodeAt = 2, .AckCode = tu_FlashError},
       tu_FlashError,
       "Tiva file updater Flash error on packet 3\r\nUpdate aborted"},
      {{.AckCodeAt = 0, .AckCode = tu_SequenceError},
       tu_SequenceError,
       "Tiva file updater unknown (5) error on packet 1\r\nUpdate aborted"},
      {{.WrongAckAt = 1},
       tu_SequenceError,
       "Tiva file updater packet number error: 2acknowledged instead of 1\r\nUpdate aborted"},
  };
  WriteImage("SkerryFPGA.bit", 1000);
  for (const auto& C : Cases) {
    tSimCardConfig Config;
    Config.UpdateFaults = C.Faults;
    Connect(Config);
    ASSERT_GT(Update(true), 0) << C.Text;
    EXPECT_EQ(FinalCode, C.Code) << C.Text;
    EXPECT_TRUE(Shown(C.Text)) << C.Text;
    EXPECT_TRUE(Card->ReceivedImage(39).empty());
    EXPECT_FALSE(Host->Updating());
  }
}

TEST_F(HostUpdatesCardTest, SilenceAtAPacketLeavesTheTransferWaiting) {
  tSimCardConfig Config;
  Config.UpdateFaults.SilentAt = 3;
  Connect(Config);
  WriteImage("SkerryFPGA.bit", 1000);
  EXPECT_EQ(Update(true, 500), -1);
  EXPECT_TRUE(Host->Updating());
  EXPECT_TRUE(Card->ReceivedImage(39).empty());
}

// At 115200 baud a full data packet's frame (134 bytes) and its answer (7) take 12.2 ms on
// the wire: more than one tick, so each packet needs two. The whole exchange can never be
// quicker than the wire time of everything the tool sent and the card answered.
TEST_F(HostUpdatesCardTest, WireEmulationTakesAtLeastTheWireTime) {
  tSimCardConfig Config;
  Config.WireBaud = 115200;
  Connect(Config);
  const tBytes FPGA = WriteImage("SkerryFPGA.bit", 128 * 50);
  const auto Start = Now;
  const int Ticks = Update(true);
  ASSERT_GT(Ticks, 0);
  EXPECT_EQ(Card->ReceivedImage(39), FPGA);
  const std::size_t Answers = 5 * 2 + 7 * 50;  // start and finish answers, data answers
  EXPECT_GE(Now - Start, Card->WireTime(SentBytes + Answers));
  EXPECT_GE(Ticks, 2 * 50);
}

TEST_F(HostUpdatesCardTest, PacketDelayIsWaitedBeforeEachAnswer) {
  tSimCardConfig Config;
  Config.PacketDelay = 25ms;
  Connect(Config);
  WriteImage("SkerryFPGA.bit", 128 * 20);
  const int Ticks = Update(true);
  ASSERT_GT(Ticks, 0);
  EXPECT_EQ(FinalCode, tu_Ack);
  EXPECT_GE(Ticks, 3 * 22);  // 22 exchanges of at least 25 ms each
}

TEST(SimOptionsTest, UpdateAndBootLoaderOptions) {
  tSimOptions O;
  bool Help = false;
  std::string Error;
  ASSERT_TRUE(ParseSimOptions({"--com",           "3",        "--fpga-out",  "/tmp/a",
                               "--usb-audio-out", "/tmp/b",   "--image-out", "/tmp/c",
                               "--packet-delay",  "15",       "--wire-baud", "115200",
                               "--ack-code",      "4@12",     "--wrong-ack", "7",
                               "--silent-at",     "9",        "--dfu-fault", "status-error@2",
                               "--dfu-fault",     "stall@3",  "--dfu-fault", "disconnect@4",
                               "--dfu-fault",     "silent@5", "--dfu-fault", "wrong-readback@600",
                               "--dfu-block-ms",  "120"},
                              O, Help, Error))
      << Error;
  EXPECT_EQ(O.FPGAOut, "/tmp/a");
  EXPECT_EQ(O.USBAudioOut, "/tmp/b");
  EXPECT_EQ(O.ImageOut, "/tmp/c");
  EXPECT_EQ(O.Card.PacketDelay, 15ms);
  EXPECT_EQ(O.Card.WireBaud, 115200u);
  EXPECT_EQ(O.Card.UpdateFaults.AckCode, 4);
  EXPECT_EQ(O.Card.UpdateFaults.AckCodeAt, 12);
  EXPECT_EQ(O.Card.UpdateFaults.WrongAckAt, 7);
  EXPECT_EQ(O.Card.UpdateFaults.SilentAt, 9);
  EXPECT_EQ(O.DFUFaults.StatusErrorAtBlock, 2);
  EXPECT_EQ(O.DFUFaults.StallAtBlock, 3);
  EXPECT_EQ(O.DFUFaults.DisconnectAtBlock, 4);
  EXPECT_EQ(O.DFUFaults.SilentAtBlock, 5);
  EXPECT_EQ(O.DFUFaults.WrongReadBackAt, 600);
  EXPECT_EQ(O.DFUBlockMs, 120u);
  EXPECT_EQ(SimDFUSerial(3), "SIM00003");

  for (const std::vector<std::string>& Bad :
       {std::vector<std::string>{"--com", "1", "--ack-code", "4"},
        {"--com", "1", "--ack-code", "0@1"},
        {"--com", "1", "--ack-code", "4@70000"},
        {"--com", "1", "--wire-baud", "0"},
        {"--com", "1", "--packet-delay", "-3"},
        {"--com", "1", "--silent-at", "x"},
        {"--com", "1", "--fpga-out"},
        {"--com", "1", "--dfu-fault", "melt@1"},
        {"--com", "1", "--dfu-fault", "stall"},
        {"--com", "1", "--dfu-block-ms", "20000"}}) {
    tSimOptions Ignored;
    EXPECT_FALSE(ParseSimOptions(Bad, Ignored, Help, Error)) << Bad[2] << " " << Bad.back();
  }
}

}  // namespace

namespace {

TEST(SimOptionsTest, FirmwareBehavioursAndTheDFUFaultsAppearance) {
  tSimOptions O;
  bool Help = false;
  std::string Error;
  ASSERT_TRUE(
      ParseSimOptions({"--com", "3", "--firmware-fault", "13:never-starts", "--firmware-fault",
                       "14:wrong-version", "--firmware-fault", "0:low-voltage", "--firmware-fault",
                       "255:drops-keepalive", "--dfu-fault-visit", "2"},
                      O, Help, Error))
      << Error;
  const std::map<uint8_t, tFirmwareFault> Expected{{13, tFirmwareFault::NeverStarts},
                                                   {14, tFirmwareFault::WrongVersion},
                                                   {0, tFirmwareFault::LowVoltage},
                                                   {255, tFirmwareFault::DropsKeepAlive}};
  EXPECT_EQ(O.FirmwareFaults, Expected);
  EXPECT_EQ(O.DFUFaultVisit, 2);
  for (const std::vector<std::string>& Bad :
       {std::vector<std::string>{"--com", "1", "--firmware-fault", "13"},
        {"--com", "1", "--firmware-fault", "256:never-starts"},
        {"--com", "1", "--firmware-fault", "13:melts"},
        {"--com", "1", "--firmware-fault", ":never-starts"},
        {"--com", "1", "--dfu-fault-visit", "0"},
        {"--com", "1", "--dfu-fault-visit", "x"}}) {
    tSimOptions Ignored;
    EXPECT_FALSE(ParseSimOptions(Bad, Ignored, Help, Error)) << Bad[2] << " " << Bad.back();
  }
}

// A made-up FPGA image may name the version its bitstream reports; it stays a made-up FPGA
// image to the tool either way.
TEST(SimImagesTest, AVersionedFPGAImageNamesItsVersion) {
  const auto Image = MakeVersionedFPGAImage("0201122026", 4000);
  EXPECT_EQ(Image.size(), 4000u);
  EXPECT_EQ(MadeUpFPGAVersion(Image), "0201122026");
  EXPECT_EQ(MadeUpImageName(Image), MadeUpFPGAName);
  EXPECT_TRUE(IsMadeUpImage(Image));
  // The build's own made-up bitstream names none; other bytes name none either.
  const std::string Plain = std::string(MadeUpImageMark) +
                            "CADDIS DEMO FPGA BITSTREAM - made-up "
                            "bytes for the simulated card.\n";
  EXPECT_EQ(MadeUpFPGAVersion({Plain.begin(), Plain.end()}), "");
  EXPECT_EQ(MadeUpFPGAVersion(std::vector<uint8_t>(100, 'x')), "");
  EXPECT_EQ(MadeUpFPGAVersion({}), "");
  // Cut short after the version's lead: no version, and nothing read beyond the bytes.
  const auto Cut = std::vector<uint8_t>(Image.begin(), Image.begin() + 120);
  EXPECT_EQ(MadeUpFPGAVersion(Cut), "");
}

}  // namespace

// The host object's FPGA and USB-audio updates, against a fake port.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "hostlink/FakeComPort.h"
#include "hostlink/HostTestSupport.h"
#include "hostlink/OrvaneHost.h"
#include "support/MadeUpImage.h"

namespace {

using tBytes = std::vector<uint8_t>;

tBytes FrameOf(const tBytes& Message) {
  tBytes Frame;
  Frame.reserve(Message.size() + 2);
  Frame.push_back(static_cast<uint8_t>(Message.size() + 1));
  for (uint8_t b : Message)
    Frame.push_back(b);
  Frame.push_back(static_cast<uint8_t>(std::accumulate(Frame.begin(), Frame.end(), 0u)));
  return Frame;
}

int OpenFileCount() {
  int Count = 0;
  for (const auto& Entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)Entry;
    ++Count;
  }
  return Count;
}

class HostFileUpdateTest : public testing::Test {
 protected:
  void SetUp() override {
    // Capitals in the folder name: it is used as it is, never lower-cased.
    Images = Output.Folder.Path + "/Tool Images";
    std::filesystem::create_directory(Images);
    Host = std::make_unique<tOrvaneHost>(3, false, "Caddis");
    Port = Factory.Last;
  }

  void MakeImage(const std::string& Name, size_t Size) {
    std::ofstream File(Images + "/" + Name, std::ios::binary);
    for (size_t i = 0; i < Size; ++i)
      File.put(static_cast<char>(i));
  }
  void Reply(const tBytes& Message) {
    Port->Feed(FrameOf(Message));
    Host->ServiceReceive();
  }
  tTivaUpdateEvent ProgressRecorder() {
    return [this](float p, tTivaUpdateError e) { Progress.push_back({p, e}); };
  }
  tTivaUpdateEvent FinishRecorder() {
    return [this](float p, tTivaUpdateError e) { Finished.push_back({p, e}); };
  }

  tCapturedOutput Output;
  tFakePortFactory Factory;
  std::string Images;
  std::unique_ptr<tOrvaneHost> Host;
  tFakeComPort* Port = nullptr;
  std::vector<std::pair<float, tTivaUpdateError>> Progress, Finished;
};

TEST_F(HostFileUpdateTest, MissingFileIsReportedAndNothingHappens) {
  Host->UpdateHostFPGA(ProgressRecorder(), FinishRecorder(), Images + "/SkerryFPGA.bit");
  ASSERT_EQ(Output.Lines.size(), 1u);
  EXPECT_EQ(Output.Lines[0], "Cannot Update FPGA: file " + Images + "/SkerryFPGA.bit not found");
  Host->UpdateUSBAudio(ProgressRecorder(), FinishRecorder(), Images + "/xmos.bin");
  EXPECT_EQ(Output.Lines[1], "Cannot Update USB Audio: file " + Images + "/xmos.bin not found");
  EXPECT_TRUE(Port->Sent.empty());
  EXPECT_TRUE(Progress.empty());
  EXPECT_TRUE(Finished.empty());
  EXPECT_FALSE(Host->Updating());
}

TEST_F(HostFileUpdateTest, AMadeUpImageGoesToThePseudoTerminalOnly) {
  // The build's made-up images start with the mark; a real port never gets one.
  for (const char* Name : {"SkerryFPGA.bit", "xmos.bin"}) {
    const std::string Path = Images + "/" + Name;
    std::ofstream(Path, std::ios::binary) << MadeUpImageMark << std::string(300, 'x');
  }
  const std::string Refusal =
      " is a made-up image, made for the simulated card only, and COM3 "
      "is a real serial port";
  Host->UpdateHostFPGA(ProgressRecorder(), FinishRecorder(), Images + "/SkerryFPGA.bit");
  Host->UpdateUSBAudio(ProgressRecorder(), FinishRecorder(), Images + "/xmos.bin");
  EXPECT_EQ(Output.Lines, (std::vector<std::string>{
                              "Cannot Update FPGA: " + Images + "/SkerryFPGA.bit" + Refusal,
                              "Cannot Update USB Audio: " + Images + "/xmos.bin" + Refusal}));
  EXPECT_TRUE(Port->Sent.empty());
  EXPECT_FALSE(Host->Updating());

  Port->PseudoTerminal = true;
  Host->UpdateHostFPGA(ProgressRecorder(), FinishRecorder(), Images + "/SkerryFPGA.bit");
  EXPECT_TRUE(Host->Updating());
  EXPECT_EQ(Port->TakeSent(), FrameOf({39, 0, 0, 3})) << "the start packet";
}

TEST_F(HostFileUpdateTest, WholeFPGAUpdateThroughTheHost) {
  MakeImage("SkerryFPGA.bit", 200);
  Host->UpdateHostFPGA(ProgressRecorder(), FinishRecorder(), Images + "/SkerryFPGA.bit");
  // The start packet has left and progress 0 was reported before the call returned.
  EXPECT_EQ(Port->TakeSent(), FrameOf({39, 0, 0, 2}));
  ASSERT_EQ(Progress.size(), 1u);
  EXPECT_EQ(Progress[0], std::make_pair(0.0f, tu_Ack));

  Reply({39, 0, 0});
  EXPECT_EQ(Port->TakeSent().size(), 2u + 4 + 128);
  Reply({39, 1, 0, 0, 0});
  EXPECT_EQ(Port->TakeSent().size(), 2u + 4 + 72);
  Reply({39, 1, 0, 0, 1});
  const int Sum = 200 * 199 / 2;  // the bytes 0..199
  EXPECT_EQ(Port->TakeSent(),
            FrameOf({39, 2, static_cast<uint8_t>(Sum >> 8), static_cast<uint8_t>(Sum & 0xFF)}));
  EXPECT_TRUE(Finished.empty());
  Reply({39, 2, 0});
  ASSERT_EQ(Finished.size(), 1u);
  EXPECT_EQ(Finished[0], std::make_pair(1.0f, tu_Ack));
  EXPECT_FALSE(Host->Updating());

  // Later replies for the finished transfer change nothing.
  Reply({39, 2, 0});
  Reply({39, 0, 0});
  EXPECT_EQ(Finished.size(), 1u);
  EXPECT_TRUE(Port->Sent.empty());
}

// Each packet's answer gap is the time from its sending to its answer on the host's clock;
// late replies and a reply with no update running time nothing.
TEST_F(HostFileUpdateTest, PacketAnswerGapsAreMeasured) {
  auto Now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  Host->Clock = [&Now] { return Now; };
  const auto Step = [&Now](int Us) { Now += std::chrono::microseconds(Us); };
  MakeImage("SkerryFPGA.bit", 200);
  Host->UpdateHostFPGA(ProgressRecorder(), FinishRecorder(), Images + "/SkerryFPGA.bit");
  // The answers to the start packet, two data packets and the finish packet, one after another
  // as an adapter's latency timer would hold them.
  const struct {
    int GapUs;
    tBytes Answer;
  } Answers[] = {
      {1500, {39, 0, 0}}, {16'200, {39, 1, 0, 0, 0}}, {2'000, {39, 1, 0, 0, 1}}, {900, {39, 2, 0}}};
  for (const auto& A : Answers) {
    Step(A.GapUs);
    Reply(A.Answer);
  }
  ASSERT_EQ(Finished.size(), 1u);
  Step(5000);
  Reply({39, 2, 0});
  const tLinkHealth& Health = Host->LinkHealth();
  EXPECT_EQ(Health.AnswerGaps, 4u);
  EXPECT_EQ(Health.AnswerGapMinUs, 900);
  EXPECT_EQ(Health.AnswerGapMaxUs, 16'200);
  EXPECT_EQ(Health.AnswerGapMeanUs(), (1500 + 16'200 + 2000 + 900) / 4);
  EXPECT_EQ(Health.RoundTrips, 0u);  // keep-alive round trips are counted apart
}

TEST_F(HostFileUpdateTest, AbortReachesTheCallerAndFreesTheHost) {
  MakeImage("xmos.bin", 300);
  Host->UpdateUSBAudio(ProgressRecorder(), FinishRecorder(), Images + "/xmos.bin");
  EXPECT_EQ(Port->TakeSent(), FrameOf({40, 0, 0, 3}));
  Reply({40, 0, 0});
  Reply({40, 1, 4, 0, 0});
  ASSERT_EQ(Finished.size(), 1u);
  EXPECT_EQ(Finished[0].second, tu_FlashError);
  EXPECT_FALSE(Host->Updating());
  EXPECT_EQ(Output.Lines.back(), "Tiva file updater Flash error on packet 1\r\nUpdate aborted");
  // A new update may start now.
  Host->UpdateUSBAudio(ProgressRecorder(), FinishRecorder(), Images + "/xmos.bin");
  EXPECT_TRUE(Host->Updating());
}

TEST_F(HostFileUpdateTest, APortThatHangsUpEndsTheTransferAtOnce) {
  MakeImage("SkerryFPGA.bit", 300);
  Host->UpdateHostFPGA(ProgressRecorder(), FinishRecorder(), Images + "/SkerryFPGA.bit");
  Reply({39, 0, 0});
  Port->IsHungUp = true;  // the card was unplugged
  Host->ServiceReceive();
  ASSERT_EQ(Finished.size(), 1u);
  EXPECT_EQ(Finished[0].second, tu_NoAnswer);
  EXPECT_FALSE(Host->Updating());
  EXPECT_EQ(Output.Lines.back(),
            "Tiva file updater: the card's port COM3 hung up while packet 0 was unanswered\r\n"
            "Update aborted");
}

TEST_F(HostFileUpdateTest, SecondUpdateIsRefusedAndTheFirstGoesOn) {
  MakeImage("SkerryFPGA.bit", 100);
  MakeImage("xmos.bin", 100);
  Host->UpdateHostFPGA(ProgressRecorder(), FinishRecorder(), Images + "/SkerryFPGA.bit");
  Port->TakeSent();
  Host->UpdateUSBAudio(ProgressRecorder(), FinishRecorder(), Images + "/xmos.bin");
  EXPECT_EQ(Output.Lines.back(), "Cannot Update USB Audio: an update is already running");
  EXPECT_TRUE(Port->Sent.empty());
  Reply({39, 0, 0});
  Reply({39, 1, 0, 0, 0});
  Reply({39, 2, 0});
  ASSERT_EQ(Finished.size(), 1u);
  EXPECT_EQ(Finished[0].second, tu_Ack);
}

TEST_F(HostFileUpdateTest, ImagesThatCannotMakeATransferAreRefused) {
  MakeImage("SkerryFPGA.bit", 0);
  Host->UpdateHostFPGA(ProgressRecorder(), FinishRecorder(), Images + "/SkerryFPGA.bit");
  ASSERT_EQ(Output.Lines.size(), 1u);
  EXPECT_NE(Output.Lines[0].find("Cannot Update FPGA: "), std::string::npos);
  EXPECT_NE(Output.Lines[0].find("is empty"), std::string::npos);
  EXPECT_TRUE(Port->Sent.empty());
  EXPECT_TRUE(Progress.empty());
  EXPECT_FALSE(Host->Updating());
}

TEST_F(HostFileUpdateTest, FPGAFileNameFollowsTheHostName) {
  EXPECT_EQ(Host->GetFPGAFilename(), "SkerryFPGA.bit");
  EXPECT_EQ(tOrvaneHost(0, false, "Orvane").GetFPGAFilename(), "orvane_interface_fpga.bit");
  EXPECT_EQ(tOrvaneHost(0, false, "orvane").GetFPGAFilename(), "SkerryFPGA.bit");
}

// The image is read whole when the update starts: the file is not held open meanwhile.
TEST_F(HostFileUpdateTest, DestroyingTheHostMidUpdateClosesTheImage) {
  MakeImage("SkerryFPGA.bit", 1000);
  const int Before = OpenFileCount();
  Host->UpdateHostFPGA(ProgressRecorder(), FinishRecorder(), Images + "/SkerryFPGA.bit");
  EXPECT_TRUE(Host->Updating());
  EXPECT_EQ(OpenFileCount(), Before);
  Host.reset();
  EXPECT_EQ(OpenFileCount(), Before);
  EXPECT_TRUE(Finished.empty());
}

}  // namespace

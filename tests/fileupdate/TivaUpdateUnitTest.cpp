#include "fileupdate/TivaUpdateUnit.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "hostlink/HostFrame.h"
#include "platform/Files.h"
#include "support/DisplayMessage.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Body(const tHostMessage& m) {
  return Bytes(m.begin() + 1, m.begin() + 1 + m[0]);
}

class TivaUpdateUnitTest : public testing::Test {
 protected:
  void SetUp() override {
    Folder = tFiles::MakeTempFolder("updater-");
    ASSERT_FALSE(Folder.empty());
    SavedProc = DisplayMessageProc;
    DisplayMessageProc = [this](const std::string& s) { Lines.push_back(s); };
  }
  void TearDown() override {
    DisplayMessageProc = SavedProc;
    std::error_code Ignored;
    std::filesystem::remove_all(Folder, Ignored);
  }

  std::string MakeFile(size_t Size, const std::string& Name = "image.bin") {
    std::string Path = Folder + "/" + Name;
    std::ofstream File(Path, std::ios::binary);
    for (size_t i = 0; i < Size; ++i)
      File.put(static_cast<char>((i * 31 + 7) & 0xFF));
    return Path;
  }

  std::unique_ptr<tTivaFileUpdater> Make(
      const std::string& Path, int32_t Header = 39,
      std::chrono::milliseconds AckTimeout = tTivaFileUpdater::DefaultAckTimeout) {
    auto U = std::make_unique<tTivaFileUpdater>(
        [this](const tHostMessage& m) { Sent.push_back(Body(m)); }, Header, Path, AckTimeout);
    U->OnUpdatePacket() = [this](float p, tTivaUpdateError e) {
      Progress.push_back(p);
      EXPECT_EQ(e, tu_Ack);
    };
    U->OnUpdateFinished() = [this](float p, tTivaUpdateError e) { Finished.push_back({p, e}); };
    return U;
  }

  static tHostMessage Reply(Bytes b) { return tHostFrame::MakeMessage(b); }

  std::string Folder;
  tDisplayMessageProc SavedProc;
  std::vector<std::string> Lines;
  std::vector<Bytes> Sent;
  std::vector<float> Progress;
  std::vector<std::pair<float, tTivaUpdateError>> Finished;
};

TEST_F(TivaUpdateUnitTest, ThreePacketFileExactSequence) {
  const std::string Path = MakeFile(300);
  auto U = Make(Path);
  ASSERT_EQ(Sent.size(), 1u);
  EXPECT_EQ(Sent[0], (Bytes{39, 0, 0, 3}));

  U->ReceiveMessage(Reply({39, 0, 0}));
  ASSERT_EQ(Sent.size(), 2u);
  EXPECT_EQ(Bytes(Sent[1].begin(), Sent[1].begin() + 4), (Bytes{39, 1, 0, 0}));
  EXPECT_EQ(Sent[1].size(), 4u + 128);
  EXPECT_TRUE(Progress.empty());  // the start acknowledgement raises no progress

  U->ReceiveMessage(Reply({39, 1, 0, 0, 0}));
  EXPECT_EQ(Bytes(Sent[2].begin(), Sent[2].begin() + 4), (Bytes{39, 1, 0, 1}));
  EXPECT_EQ(Sent[2].size(), 4u + 128);
  U->ReceiveMessage(Reply({39, 1, 0, 0, 1}));
  EXPECT_EQ(Bytes(Sent[3].begin(), Sent[3].begin() + 4), (Bytes{39, 1, 0, 2}));
  EXPECT_EQ(Sent[3].size(), 4u + 44);
  EXPECT_TRUE(U->FileOpen());
  U->ReceiveMessage(Reply({39, 1, 0, 0, 2}));
  EXPECT_FALSE(U->FileOpen());

  // The file's bytes travel in order and the finish packet carries their sum.
  std::ifstream File(Path, std::ios::binary);
  Bytes Content((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
  Bytes Carried;
  uint32_t Sum = 0;
  for (int i = 1; i <= 3; ++i)
    Carried.insert(Carried.end(), Sent[i].begin() + 4, Sent[i].end());
  for (uint8_t b : Content)
    Sum += b;
  EXPECT_EQ(Carried, Content);
  EXPECT_EQ(Sent[4], (Bytes{39, 2, static_cast<uint8_t>((Sum >> 8) & 0xFF),
                            static_cast<uint8_t>(Sum & 0xFF)}));

  ASSERT_EQ(Progress.size(), 3u);
  EXPECT_FLOAT_EQ(Progress[0], 2.0f / 3.0f);
  EXPECT_FLOAT_EQ(Progress[1], 1.0f);
  EXPECT_FLOAT_EQ(Progress[2], 1.0f);
  EXPECT_TRUE(Finished.empty());
  U->ReceiveMessage(Reply({39, 2, 0}));
  ASSERT_EQ(Finished.size(), 1u);
  EXPECT_FLOAT_EQ(Finished[0].first, 1.0f);
  EXPECT_EQ(Finished[0].second, tu_Ack);
  EXPECT_TRUE(Lines.empty());
}

TEST_F(TivaUpdateUnitTest, ExactMultipleHasNoEmptyPacket) {
  auto U = Make(MakeFile(256));
  EXPECT_EQ(Sent[0], (Bytes{39, 0, 0, 2}));
  U->ReceiveMessage(Reply({39, 0, 0}));
  U->ReceiveMessage(Reply({39, 1, 0, 0, 0}));
  U->ReceiveMessage(Reply({39, 1, 0, 0, 1}));
  ASSERT_EQ(Sent.size(), 4u);
  EXPECT_EQ(Sent[2].size(), 4u + 128);
  EXPECT_EQ(Sent[3][1], 2);  // the finish packet follows the second data packet
}

TEST_F(TivaUpdateUnitTest, CardErrorAbortsWithItsCode) {
  auto U = Make(MakeFile(300));
  U->ReceiveMessage(Reply({39, 0, 0}));
  U->ReceiveMessage(Reply({39, 1, 4, 0, 0}));
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines[0], "Tiva file updater Flash error on packet 1\r\nUpdate aborted");
  EXPECT_FALSE(U->FileOpen());
  ASSERT_EQ(Finished.size(), 1u);
  EXPECT_EQ(Finished[0].second, tu_FlashError);
  EXPECT_FLOAT_EQ(Finished[0].first, 1.0f / 3.0f);
  EXPECT_EQ(Sent.size(), 2u);  // nothing more leaves
}

TEST_F(TivaUpdateUnitTest, UnknownCodeAndSequenceError) {
  auto U = Make(MakeFile(600));
  U->ReceiveMessage(Reply({39, 0, 5}));
  EXPECT_EQ(Lines.back(), "Tiva file updater unknown (5) error on packet 0\r\nUpdate aborted");
  EXPECT_EQ(Finished.back().second, 5);

  auto V = Make(MakeFile(600, "b.bin"));
  V->ReceiveMessage(Reply({39, 0, 0}));
  V->ReceiveMessage(Reply({39, 1, 0, 0, 0}));
  V->ReceiveMessage(Reply({39, 1, 0, 0, 1}));
  const size_t ProgressBefore = Progress.size();
  V->ReceiveMessage(Reply({39, 1, 0, 0, 5}));  // packet 2 is outstanding
  EXPECT_EQ(Lines.back(),
            "Tiva file updater packet number error: 5acknowledged instead of 2\r\nUpdate aborted");
  EXPECT_EQ(Finished.back().second, tu_SequenceError);
  EXPECT_EQ(Progress.size(), ProgressBefore);  // no progress after an abort
}

TEST_F(TivaUpdateUnitTest, AnAcknowledgementOfAnotherPacketTypeIsASequenceError) {
  struct tCase {
    std::vector<Bytes> Replies;  // the last one is out of turn
    std::string Reason;
  };
  const std::vector<tCase> Cases = {
      {{{39, 2, 0}}, "the finish packet acknowledged instead of the start packet"},
      {{{39, 0, 0}, {39, 2, 0}}, "the finish packet acknowledged instead of packet 0"},
      {{{39, 0, 0}, {39, 0, 0}}, "the start packet acknowledged instead of packet 0"},
      {{{39, 0, 0}, {39, 1, 0, 0, 0}, {39, 1, 0, 0, 1}, {39, 1, 0, 0, 2}, {39, 1, 0, 0, 2}},
       "packet 2 acknowledged instead of the finish packet"},
  };
  for (const tCase& Case : Cases) {
    Lines.clear();
    Progress.clear();
    Finished.clear();
    auto U = Make(MakeFile(300));
    for (size_t i = 0; i + 1 < Case.Replies.size(); ++i)
      U->ReceiveMessage(Reply(Case.Replies[i]));
    const size_t ProgressBefore = Progress.size();
    U->ReceiveMessage(Reply(Case.Replies.back()));
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_EQ(Lines[0], "Tiva file updater sequence error: " + Case.Reason + "\r\nUpdate aborted");
    ASSERT_EQ(Finished.size(), 1u);
    EXPECT_EQ(Finished[0].second, tu_SequenceError);
    EXPECT_EQ(Progress.size(), ProgressBefore);
    EXPECT_FALSE(U->FileOpen());
    U->ReceiveMessage(Reply({39, 2, 0}));  // nothing counts once it has ended
    EXPECT_EQ(Finished.size(), 1u);
  }
}

TEST_F(TivaUpdateUnitTest, AnUnansweredOrCutOffTransferEnds) {
  using namespace std::chrono_literals;
  const auto T0 = std::chrono::steady_clock::time_point{} + 1h;
  auto U = Make(MakeFile(300));
  U->Service(T0);  // the start packet left before this tick
  U->ReceiveMessage(Reply({39, 0, 0}));
  U->Service(T0 + 9s);  // the answer came; packet 0 left
  U->Service(T0 + 18s);
  EXPECT_TRUE(Finished.empty()) << "within the time";
  U->Service(T0 + 19s);
  ASSERT_EQ(Finished.size(), 1u);
  EXPECT_EQ(Finished[0].second, tu_NoAnswer);
  EXPECT_EQ(Lines.back(),
            "Tiva file updater: no answer from the card for packet 0 within 10 s\r\nUpdate "
            "aborted");
  U->Service(T0 + 40s);
  EXPECT_EQ(Finished.size(), 1u) << "ends once";

  Finished.clear();
  auto V = Make(MakeFile(300, "b.bin"));
  V->LinkLost("the card's port COM3 hung up");
  ASSERT_EQ(Finished.size(), 1u);
  EXPECT_EQ(Finished[0].second, tu_NoAnswer);
  EXPECT_EQ(Lines.back(),
            "Tiva file updater: the card's port COM3 hung up while the start packet was "
            "unanswered\r\nUpdate aborted");
}

// The owner's time-out counts from each packet sent, so from the card's last answer.
TEST_F(TivaUpdateUnitTest, TheAnswerTimeOutIsTheOwners) {
  using namespace std::chrono_literals;
  const auto T0 = std::chrono::steady_clock::time_point{} + 1h;
  struct tCase {
    std::chrono::milliseconds Timeout;
    const char* Within;
  };
  for (const tCase& Case : {tCase{20s, "20 s"}, tCase{1500ms, "1500 ms"}}) {
    Finished.clear();
    auto U = Make(MakeFile(300), 39, Case.Timeout);
    U->Service(T0);
    U->ReceiveMessage(Reply({39, 0, 0}));
    U->Service(T0 + Case.Timeout - 1ms);  // the start packet's answer came in time
    U->Service(T0 + 2 * Case.Timeout - 2ms);
    EXPECT_TRUE(Finished.empty()) << Case.Within;
    U->Service(T0 + 2 * Case.Timeout - 1ms);
    ASSERT_EQ(Finished.size(), 1u) << Case.Within;
    EXPECT_EQ(Lines.back(), std::string("Tiva file updater: no answer from the card for packet 0 "
                                        "within ") +
                                Case.Within + "\r\nUpdate aborted");
  }
}

// The card gets exactly the bytes the file held when the update began, and the checksum of
// those: a file cut short and rewritten during the transfer changes nothing of it.
TEST_F(TivaUpdateUnitTest, TheImageIsTheFileAsItWasAtTheStart) {
  const std::string Path = MakeFile(64 * 1024);
  std::ifstream File(Path, std::ios::binary);
  const Bytes Original((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
  auto U = Make(Path);
  U->ReceiveMessage(Reply({39, 0, 0}));
  std::filesystem::resize_file(Path, 10000);
  std::ofstream(Path, std::ios::binary | std::ios::in | std::ios::out).write("changed", 7);
  for (int n = 0; n < 512; ++n)
    U->ReceiveMessage(Reply({39, 1, 0, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)}));
  ASSERT_EQ(Sent.size(), 514u);
  Bytes Carried;
  uint32_t Sum = 0;
  for (size_t i = 1; i <= 512; ++i)
    Carried.insert(Carried.end(), Sent[i].begin() + 4, Sent[i].end());
  for (uint8_t b : Original)
    Sum += b;
  EXPECT_TRUE(Carried == Original);
  EXPECT_EQ(Sent.back(), (Bytes{39, 2, static_cast<uint8_t>(Sum >> 8), static_cast<uint8_t>(Sum)}));
  U->ReceiveMessage(Reply({39, 2, 0}));
  ASSERT_EQ(Finished.size(), 1u);
  EXPECT_EQ(Finished[0].second, tu_Ack);
}

TEST_F(TivaUpdateUnitTest, ForeignAndShortRepliesChangeNothing) {
  auto U = Make(MakeFile(300));
  U->ReceiveMessage(Reply({40, 0, 0}));
  U->ReceiveMessage(Reply({39}));
  U->ReceiveMessage(Reply({39, 0}));
  EXPECT_EQ(Sent.size(), 1u);
  U->ReceiveMessage(Reply({39, 0, 0}));
  U->ReceiveMessage(Reply({39, 1, 0}));  // a data acknowledgement without its number
  EXPECT_EQ(Sent.size(), 2u);
  EXPECT_TRUE(Finished.empty());
  EXPECT_TRUE(Lines.empty());
}

TEST_F(TivaUpdateUnitTest, OwnerMayDestroyTheUpdaterInsideTheFinishedEvent) {
  auto* Raw = new tTivaFileUpdater([](const tHostMessage&) {}, 39, MakeFile(10));
  bool Called = false;
  Raw->OnUpdateFinished() = [&](float, tTivaUpdateError) {
    Called = true;
    delete Raw;
  };
  Raw->ReceiveMessage(Reply({39, 0, 3}));  // size error: abort, event, delete
  EXPECT_TRUE(Called);
}

TEST_F(TivaUpdateUnitTest, FilesThatCannotMakeAProperTransferAreRefused) {
  auto Refused = [&](const std::string& Path, const std::string& Expected) {
    Sent.clear();
    try {
      Make(Path);
      ADD_FAILURE() << "accepted " << Path;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(Expected), std::string::npos) << e.what();
    }
    EXPECT_TRUE(Sent.empty());
  };
  Refused(MakeFile(0), "is empty");
  Refused(Folder + "/missing.bin", "cannot read file");
  Refused(Folder, "cannot read file");  // a folder is not an image
  // One byte past 65535 packets of 128 bytes (sparse where the file system can).
  const std::string Big = Folder + "/big.bin";
  std::filesystem::resize_file(MakeFile(1, "big.bin"), tTivaFileUpdater::MaxFileSize + 1);
  Refused(Big, "too large");
  std::filesystem::resize_file(Big, tTivaFileUpdater::MaxFileSize);
  auto U = Make(Big);
  EXPECT_EQ(Sent[0], (Bytes{39, 0, 0xFF, 0xFF}));
}

TEST(TivaUpdateErrorName, Names) {
  EXPECT_EQ(tTivaFileUpdater::ErrorName(tu_Ack), "OK");
  EXPECT_EQ(tTivaFileUpdater::ErrorName(tu_ChecksumError), "Checksu");
  EXPECT_EQ(tTivaFileUpdater::ErrorName(tu_FlashError), "Flash");
  EXPECT_EQ(tTivaFileUpdater::ErrorName(static_cast<tTivaUpdateError>(200)), "unknown (200)");
}

}  // namespace

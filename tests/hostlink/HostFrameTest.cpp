#include "hostlink/HostFrame.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace tHostFrame;

TEST(HostFrameTest, ChecksumIsTheLowByteOfThePlainSum) {
  tHostMessage M{};
  M[0] = 2;
  M[1] = 0xF0;
  M[2] = 0x20;
  EXPECT_EQ(GetChecksum(M), static_cast<uint8_t>(2 + 0xF0 + 0x20));
  M[0] = 0;
  EXPECT_EQ(GetChecksum(M), 0);
}

TEST(HostFrameTest, EveryLengthRoundTrips) {
  for (int Length = 1; Length <= 253; ++Length) {
    std::vector<uint8_t> Bytes(Length);
    for (int i = 0; i < Length; ++i)
      Bytes[i] = static_cast<uint8_t>(i * 37 + Length);
    const tHostMessage Sent = MakeMessage(Bytes);
    std::array<uint8_t, MaxFrameSize> Frame;
    const std::size_t Size = BuildFrame(Sent, Frame);
    ASSERT_EQ(Size, static_cast<std::size_t>(Length + 2));
    ASSERT_EQ(Frame[0], Length + 1);

    // Every prefix is incomplete; the whole frame decodes to the same message.
    tHostMessage Got{};
    for (std::size_t Prefix = 1; Prefix < Size; ++Prefix)
      ASSERT_EQ(DecodeFrame({Frame.data(), Prefix}, Got).Status, tFrameStatus::Incomplete);
    const auto R = DecodeFrame({Frame.data(), Size}, Got);
    ASSERT_EQ(R.Status, tFrameStatus::Message) << Length;
    EXPECT_EQ(R.FrameSize, Size);
    EXPECT_TRUE(std::equal(Got.begin(), Got.begin() + Length + 1, Sent.begin()));
  }
}

TEST(HostFrameTest, LongestSentMessageIsRefusedByAReceiver) {
  std::vector<uint8_t> Bytes(254, 1);
  std::array<uint8_t, MaxFrameSize> Frame;
  EXPECT_EQ(BuildFrame(MakeMessage(Bytes), Frame), 256u);
  EXPECT_EQ(Frame[0], 255);
  tHostMessage Got{};
  EXPECT_EQ(DecodeFrame(Frame, Got).Status, tFrameStatus::BadLength);
}

TEST(HostFrameTest, RefusesBadCountsAndChecksums) {
  tHostMessage Got{};
  for (uint8_t N : {0, 1, 255}) {
    const uint8_t Bytes[] = {N, 0, 0};
    EXPECT_EQ(DecodeFrame(Bytes, Got).Status, tFrameStatus::BadLength) << int(N);
  }
  const uint8_t Bad[] = {0x02, 0x00, 0x03};
  const auto R = DecodeFrame(Bad, Got);
  EXPECT_EQ(R.Status, tFrameStatus::BadChecksum);
  EXPECT_EQ(R.Received, 3);
  EXPECT_EQ(R.Computed, 2);
  EXPECT_EQ(R.FrameSize, 3u);
  EXPECT_EQ(DecodeFrame({}, Got).Status, tFrameStatus::Incomplete);
}

TEST(HostFrameTest, MakeMessageNeverOverflows) {
  std::vector<uint8_t> Data(300, 7);
  const tHostMessage M = MakeMessage(9, Data.data(), Data.size());
  EXPECT_EQ(M[0], 254);
  EXPECT_EQ(M[1], 9);
  EXPECT_EQ(M[254], 7);
  EXPECT_EQ(MakeMessage(Data)[0], 255);
}

}  // namespace

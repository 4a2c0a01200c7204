#include "serial/FiFo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <thread>

namespace {

TEST(FiFo, ByteQueueHoldsOneLessThanItsSize) {
  tFiFo Q(1, 4096);
  EXPECT_TRUE(Q.Empty());
  EXPECT_EQ(Q.SpaceFree(), 4095);
  for (int i = 0; i < 4095; ++i) {
    uint8_t b = static_cast<uint8_t>(i);
    ASSERT_TRUE(Q.Store(&b)) << i;
    ASSERT_EQ(Q.Count, i + 1);
    ASSERT_EQ(Q.SpaceFree(), 4095 - (i + 1));
  }
  uint8_t extra = 0xAA;
  EXPECT_FALSE(Q.Store(&extra));
  EXPECT_TRUE(Q.Full());
  EXPECT_EQ(Q.Count, 4095);
  EXPECT_EQ(Q.SpaceUsed(), 255);
  // The refused store changed nothing: the first byte is still the oldest.
  uint8_t out = 0xFF;
  ASSERT_TRUE(Q.Retrieve(&out));
  EXPECT_EQ(out, 0);
}

TEST(FiFo, SpaceUsedIsInTwoHundredFiftySixths) {
  tFiFo Q(1, 4096);
  EXPECT_EQ(Q.SpaceUsed(), 0);
  uint8_t b = 1;
  for (int i = 0; i < 15; ++i)
    Q.Store(&b);
  EXPECT_EQ(Q.SpaceUsed(), 0);  // 15/4096 of 256 truncates to 0
  Q.Store(&b);
  EXPECT_EQ(Q.SpaceUsed(), 1);
}

TEST(FiFo, WrapsAroundInOrder) {
  tFiFo Q(1, 4096);
  uint8_t b = 0;
  for (int i = 0; i < 4000; ++i)
    ASSERT_TRUE(Q.Store(&b));
  for (int i = 0; i < 4000; ++i)
    ASSERT_TRUE(Q.Retrieve(&b));
  for (int i = 0; i < 200; ++i) {
    b = static_cast<uint8_t>(i);
    ASSERT_TRUE(Q.Store(&b));
  }
  EXPECT_LT(Q.InPos, Q.OutPos);  // InPos wrapped past the end of the buffer
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(Q.Retrieve(&b));
    EXPECT_EQ(b, static_cast<uint8_t>(i));
  }
  EXPECT_TRUE(Q.Empty());
  EXPECT_FALSE(Q.Retrieve(&b));
}

TEST(FiFo, PeekLeavesTheElementAndEmptyLeavesCallerUntouched) {
  tFiFo Q(1, 16);
  uint8_t b = 0x5A;
  EXPECT_FALSE(Q.Peek(&b));
  EXPECT_EQ(b, 0x5A);
  EXPECT_FALSE(Q.Retrieve(&b));
  EXPECT_EQ(b, 0x5A);
  uint8_t in = 7;
  Q.Store(&in);
  in = 8;
  Q.Store(&in);
  uint8_t p1 = 0, p2 = 0;
  EXPECT_TRUE(Q.Peek(&p1));
  EXPECT_TRUE(Q.Peek(&p2));
  EXPECT_EQ(p1, 7);
  EXPECT_EQ(p2, 7);
  EXPECT_EQ(Q.Count, 2);
}

TEST(FiFo, ClearEmptiesWithoutLosingCapacity) {
  tFiFo Q(4, 64);
  uint32_t v = 0xDEADBEEF;
  for (int i = 0; i < 10; ++i)
    Q.Store(&v);
  Q.Clear();
  EXPECT_TRUE(Q.Empty());
  EXPECT_EQ(Q.Count, 0);
  EXPECT_EQ(Q.SpaceFree(), 15);
  EXPECT_EQ(Q.SpaceUsed(), 0);
}

TEST(FiFo, MultiByteElementsMoveWhole) {
  tFiFo Q(4, 16);  // three elements of four bytes
  for (uint32_t v : {0x01020304u, 0xA0B0C0D0u, 0xFFFFFFFFu})
    ASSERT_TRUE(Q.Store(&v));
  uint32_t extra = 0;
  EXPECT_FALSE(Q.Store(&extra));
  uint32_t v = 0;
  Q.Retrieve(&v);
  EXPECT_EQ(v, 0x01020304u);
  Q.Retrieve(&v);
  EXPECT_EQ(v, 0xA0B0C0D0u);
}

TEST(FiFo, ConstructionFailures) {
  auto expectFailure = [](int32_t es, int32_t size) {
    try {
      tFiFo Q(es, size);
      ADD_FAILURE() << "tFiFo(" << es << ", " << size << ") was built";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "tFiFo.Create failed");
    }
  };
  expectFailure(2, 6);     // not a power of two
  expectFailure(3, 4096);  // not a whole number of elements
  expectFailure(1, 0);
  expectFailure(1, -8);
  expectFailure(0, 16);
  tFiFo Q(2, 4096);
  EXPECT_EQ(Q.SpaceFree(), 2047);
}

TEST(WordFiFo, SizingRaisesToPowerOfTwo) {
  tWordFiFo Three(3);
  EXPECT_EQ(Three.SizeMask + 1, 8);
  EXPECT_EQ(Three.SpaceFree(), 3);
  tWordFiFo Five(5);
  EXPECT_EQ(Five.SizeMask + 1, 16);
  tWordFiFo Big(2048);
  EXPECT_EQ(Big.SizeMask + 1, 4096);
  EXPECT_EQ(Big.SpaceFree(), 2047);

  tWordFiFo One(1);
  EXPECT_EQ(One.SizeMask + 1, 2);
  uint16_t w = 1;
  EXPECT_FALSE(One.Store(&w));
}

TEST(WordFiFo, MovesSixteenBitValues) {
  tWordFiFo Q(4);
  for (uint16_t v : {0x1234, 0xFFFF, 0x0001})
    ASSERT_TRUE(Q.Store(&v));
  uint16_t v = 0;
  Q.Retrieve(&v);
  EXPECT_EQ(v, 0x1234);
  Q.Retrieve(&v);
  EXPECT_EQ(v, 0xFFFF);
  Q.Retrieve(&v);
  EXPECT_EQ(v, 0x0001);
}

// One producer and one consumer move ten million bytes; every byte arrives in order.
TEST(FiFo, TwoThreadStressKeepsOrder) {
  constexpr int64_t Total = 10'000'000;
  tFiFo Q(1, 4096);
  std::thread Producer([&] {
    for (int64_t i = 0; i < Total;) {
      uint8_t b = static_cast<uint8_t>(i * 7 + (i >> 8));
      if (Q.Store(&b))
        ++i;
      else
        std::this_thread::yield();
    }
  });
  int64_t Received = 0, Mismatches = 0;
  while (Received < Total) {
    uint8_t peeked = 0, b = 0;
    if (!Q.Peek(&peeked)) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_TRUE(Q.Retrieve(&b));
    const uint8_t expected = static_cast<uint8_t>(Received * 7 + (Received >> 8));
    if (b != expected || peeked != b) ++Mismatches;
    ++Received;
  }
  Producer.join();
  EXPECT_EQ(Mismatches, 0);
  EXPECT_TRUE(Q.Empty());
}

}  // namespace

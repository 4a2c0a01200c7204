#include "lib/controls/ResponseCurves.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace {

struct tSeedHolder {
  tSeedHolder(tCurveType Type, std::vector<tResponsePoint> aPoints) : Points(std::move(aPoints)) {
    Seed.CurveType = Type;
    Seed.nPoints = static_cast<uint16_t>(Points.size());
    Seed.ResponsePoints = Points.data();
  }
  std::vector<tResponsePoint> Points;
  tResponseSeed Seed;
};

tResponseLUT Filled(float Value) {
  tResponseLUT T;
  T.fill(Value);
  return T;
}

TEST(ResponseCurves, SymmetricLinearRangeIsExactlyZeroOnBothCentrePositions) {
  tSeedHolder S(cv_Lin, {{0, -10.0f}, {255, 10.0f}});
  tResponseLUT T = Filled(99.0f);
  BuildResponseLUT(&S.Seed, T);
  EXPECT_EQ(T[0], -10.0f);
  EXPECT_EQ(T[127], 0.0f);
  EXPECT_EQ(T[128], 0.0f);
  EXPECT_NEAR(T[255], 10.0f, 1e-4);
  EXPECT_NEAR(T[126], -10.0f + 126 * 20.0f / 255, 1e-4);
  EXPECT_NEAR(T[129], -10.0f + 129 * 20.0f / 255, 1e-4);
  // Entries follow the 32-bit running sum, not a fresh product per entry.
  const float Step = 20.0f / 255;
  float r = -10.0f;
  for (int j = 0; j < 100; ++j)
    r = r + Step;
  EXPECT_EQ(T[100], r);
}

TEST(ResponseCurves, IntegerLinesRoundHalvesToEven) {
  tSeedHolder S(cv_Int, {{0, 0.0f}, {4, 10.0f}});
  tResponseLUT T = Filled(99.0f);
  BuildResponseLUT(&S.Seed, T);
  EXPECT_EQ(std::vector<float>(T.begin(), T.begin() + 6), (std::vector<float>{0, 2, 5, 8, 10, 99}));
  // A one-entry segment writes its first breakpoint, rounded like every entry.
  tSeedHolder One(cv_Int, {{7, 2.5f}, {7, 40.0f}});
  BuildResponseLUT(&One.Seed, T);
  EXPECT_EQ(T[7], 2.0f);
}

TEST(ResponseCurves, ShortSymmetricSegmentsKeepTheirEnds) {
  for (const int32_t End : {1, 2, 3}) {
    tSeedHolder S(cv_Lin, {{0, -4.0f}, {End, 4.0f}});
    tResponseLUT T = Filled(99.0f);
    BuildResponseLUT(&S.Seed, T);
    EXPECT_EQ(T[0], -4.0f) << End;
    EXPECT_NEAR(T[End], 4.0f, 1e-6) << End;
    if (End >= 2) {
      EXPECT_EQ(T[1], 0.0f) << End;
    }
  }
}

TEST(ResponseCurves, GeometricSegmentsNeedTwoEndsOfOneSign) {
  for (const auto& [y0, y1] : std::vector<std::pair<float, float>>{{0, 8}, {-1, 8}, {4, 0}}) {
    tSeedHolder S(cv_Log2, {{0, y0}, {10, y1}});
    tResponseLUT T = Filled(99.0f);
    BuildResponseLUT(&S.Seed, T);
    EXPECT_EQ(T, Filled(99.0f)) << y0 << " " << y1;
  }
  tSeedHolder S(cv_Log2, {{0, 1.0f}, {3, 8.0f}});
  tResponseLUT T = Filled(99.0f);
  BuildResponseLUT(&S.Seed, T);
  EXPECT_FLOAT_EQ(T[1], 2.0f);
  EXPECT_FLOAT_EQ(T[2], 4.0f);
  EXPECT_FLOAT_EQ(T[3], 8.0f);
}

TEST(ResponseCurves, CurveShapes) {
  const auto Build = [](tCurveType Type) {
    tSeedHolder S(Type, {{0, 0.0f}, {10, 100.0f}});
    tResponseLUT T = Filled(0.0f);
    BuildResponseLUT(&S.Seed, T);
    return T;
  };
  EXPECT_NEAR(Build(cv_Sqr)[5], 25.0f, 1e-4);
  EXPECT_NEAR(Build(cv_RevSqr)[5], 75.0f, 1e-4);
  EXPECT_NEAR(Build(cv_Sine)[5], 100.0f * std::sin(std::numbers::pi / 4), 1e-4);
  EXPECT_NEAR(Build(cv_Log10)[5], 100.0f * std::log(6.0) / std::log(11.0), 1e-3);
  EXPECT_NEAR(Build(cv_RevLog10)[5], 100.0f * (1 - std::log(6.0) / std::log(11.0)), 1e-3);
  EXPECT_EQ(Build(cv_Custom), Filled(0.0f));
}

TEST(ResponseCurves, LaterSegmentsCountFromTheirOwnStart) {
  tSeedHolder S(cv_Sqr, {{0, 0.0f}, {100, 10.0f}, {200, 20.0f}});
  tResponseLUT T = Filled(99.0f);
  BuildResponseLUT(&S.Seed, T);
  EXPECT_NEAR(T[100], 10.0f, 1e-5);
  EXPECT_NEAR(T[150], 12.5f, 1e-5);
  EXPECT_NEAR(T[200], 20.0f, 1e-5);
  EXPECT_EQ(T[201], 99.0f);  // outside the breakpoints: untouched
}

TEST(ResponseCurves, SeedsAreCachedAndSharedByChecksum) {
  tResponseLUTManager M;
  tSeedHolder A(cv_Lin, {{0, 0.0f}, {255, 1.0f}});
  tSeedHolder B(cv_Lin, {{0, 0.0f}, {255, 1.0f}});
  B.Seed.UnitDesc = "dB";
  tSeedHolder C(cv_Sqr, {{0, 0.0f}, {255, 1.0f}});
  const pResponseLUT TA = M.GetResponseLUT(&A.Seed);
  ASSERT_NE(TA, nullptr);
  EXPECT_EQ(M.GetResponseLUT(&A.Seed), TA);
  EXPECT_EQ(M.GetResponseLUT(&B.Seed), TA);
  const pResponseLUT TC = M.GetResponseLUT(&C.Seed);
  EXPECT_NE(TC, TA);
  EXPECT_EQ(M.Count(), 2);
  EXPECT_EQ(M.Entry(1)->SeedCheckSum, tResponseLUTManager::SeedCheckSum(C.Seed));
  EXPECT_EQ(reinterpret_cast<uint8_t*>(TC) - reinterpret_cast<uint8_t*>(M.Entry(1)), 4);
  EXPECT_FLOAT_EQ((*TC)[255], 1.0f);
  EXPECT_EQ(M.GetResponseLUT(nullptr), nullptr);
  M.Clear();
  EXPECT_EQ(M.Count(), 0);
}

TEST(ResponseCurves, SeedsThatShareAChecksumGetATableEach) {
  // A line from entry 0 and a whole-number line from entry 1: one checksum, two curves.
  tSeedHolder Line(cv_Lin, {{0, 0.0f}, {255, 255.0f}});
  tSeedHolder Whole(cv_Int, {{1, 0.0f}, {255, 255.0f}});
  ASSERT_EQ(tResponseLUTManager::SeedCheckSum(Line.Seed),
            tResponseLUTManager::SeedCheckSum(Whole.Seed));
  tResponseLUTManager M;
  const pResponseLUT TLine = M.GetResponseLUT(&Line.Seed);
  const pResponseLUT TWhole = M.GetResponseLUT(&Whole.Seed);
  ASSERT_NE(TWhole, TLine);
  tResponseLUT Want{};
  BuildResponseLUT(&Whole.Seed, Want);
  EXPECT_EQ(*TWhole, Want);
  // Each keeps its own table on later requests, from other copies of the seeds too.
  tSeedHolder WholeAgain(cv_Int, {{1, 0.0f}, {255, 255.0f}});
  EXPECT_EQ(M.GetResponseLUT(&WholeAgain.Seed), TWhole);
  EXPECT_EQ(M.GetResponseLUT(&Line.Seed), TLine);
  EXPECT_EQ(M.Count(), 2);
}

TEST(ResponseCurves, ChecksumWrapsIn32Bits) {
  tSeedHolder S(cv_Sine, {{0x7FFFFFFF, 1.0f}, {3, -2.0f}});
  // 8 + 2 + (0x7FFFFFFF + 0x3F800000) * 1 + (3 + 0xC0000000) * 2, modulo 2^32.
  const uint32_t Want = 10u + (0x7FFFFFFFu + 0x3F800000u) + (3u + 0xC0000000u) * 2u;
  EXPECT_EQ(tResponseLUTManager::SeedCheckSum(S.Seed), static_cast<int32_t>(Want));
}

TEST(ResponseCurves, TheProgramWideManagerIsCreatedOnce) {
  tResponseLUTManager& M = CreateResponseLUTManager();
  EXPECT_EQ(&CreateResponseLUTManager(), &M);
  EXPECT_EQ(ResponseLUTManager.get(), &M);
  ResponseLUTManager.reset();
}

// ---- Inverse lookup ----

tResponseLUT Rising() {
  tResponseLUT T;
  for (int i = 0; i < 256; ++i)
    T[i] = static_cast<float>(i);
  return T;
}

TEST(ResponseCurves, NearestIndexClampsAtTheEndsAndTakesTheLowerOfTwoHalfway) {
  const tResponseLUT T = Rising();
  EXPECT_EQ(NearestLUTIndex(T, 255, -5.0f), 0);
  EXPECT_EQ(NearestLUTIndex(T, 255, 1000.0f), 255);
  EXPECT_EQ(NearestLUTIndex(T, 255, 10.5f), 10);
  EXPECT_EQ(NearestLUTIndex(T, 255, 11.5f), 11);
  EXPECT_EQ(NearestLUTIndex(T, 255, 11.6f), 12);
  EXPECT_EQ(NearestLUTIndex(T, 100, 200.0f), 100);
  EXPECT_EQ(NearestLUTIndex(T, 0, 200.0f), 0);
}

TEST(ResponseCurves, NearestIndexInFallingAndFlatTables) {
  tResponseLUT Falling;
  for (int i = 0; i < 256; ++i)
    Falling[i] = 255.0f - i;
  EXPECT_EQ(NearestLUTIndex(Falling, 255, 100.2f), 155);
  EXPECT_EQ(NearestLUTIndex(Falling, 255, 300.0f), 0);
  EXPECT_EQ(NearestLUTIndex(Falling, 255, -1.0f), 255);
  EXPECT_EQ(NearestLUTIndex(Filled(3.0f), 255, 3.0f), 0);
  EXPECT_EQ(NearestLUTIndex(Filled(3.0f), 255, 7.0f), 0);
  EXPECT_EQ(NearestLUTIndex(Rising(), 255, std::nanf("")), 0);
}

TEST(ResponseCurves, NearestIndexMatchesAnExhaustiveSearchOnRandomRisingTables) {
  std::mt19937 Rng(4711);
  std::uniform_real_distribution<float> Value(-1000.0f, 1000.0f);
  for (int Round = 0; Round < 300; ++Round) {
    tResponseLUT T;
    for (float& v : T)
      v = Value(Rng);
    std::sort(T.begin(), T.end());
    const int32_t Last = std::uniform_int_distribution<int32_t>(1, 255)(Rng);
    for (int i = 0; i < 20; ++i) {
      const float X = Value(Rng) * 1.1f;
      int32_t Want = 0;
      const float Clamped = std::clamp(X, T[0], T[Last]);
      for (int32_t j = 1; j <= Last; ++j)
        if (std::fabs(double(T[j]) - Clamped) < std::fabs(double(T[Want]) - Clamped)) Want = j;
      ASSERT_EQ(NearestLUTIndex(T, Last, X), Want) << "round " << Round << " X " << X;
    }
  }
}

// ---- Properties of built tables ----

// Random breakpoints in rising order with values fit for the curve type.
tSeedHolder RandomValidSeed(std::mt19937& Rng, tCurveType Type) {
  const int n = std::uniform_int_distribution<int>(2, 6)(Rng);
  std::vector<int32_t> Posns;
  std::uniform_int_distribution<int32_t> Posn(0, 255);
  while (static_cast<int>(Posns.size()) < n) {
    const int32_t p = Posn(Rng);
    if (std::find(Posns.begin(), Posns.end(), p) == Posns.end()) Posns.push_back(p);
  }
  std::sort(Posns.begin(), Posns.end());
  std::uniform_real_distribution<float> Value(Type == cv_Log2 ? 0.01f : -500.0f, 500.0f);
  std::vector<tResponsePoint> Points;
  for (const int32_t p : Posns)
    Points.push_back({p, Value(Rng)});
  return tSeedHolder(Type, Points);
}

TEST(ResponseCurves, EveryComputedCurveMeetsItsBreakpoints) {
  std::mt19937 Rng(1234);
  for (int Type = cv_Int; Type <= cv_Sine; ++Type) {
    if (Type == cv_Custom) continue;
    for (int Round = 0; Round < 200; ++Round) {
      const tSeedHolder S = RandomValidSeed(Rng, static_cast<tCurveType>(Type));
      tResponseLUT T = Filled(12345.0f);
      BuildResponseLUT(&S.Seed, T);
      for (size_t k = 0; k < S.Points.size(); ++k) {
        const tResponsePoint& P = S.Points[k];
        const double Want = Type == cv_Int ? std::nearbyint(P.Value) : P.Value;
        // The running sum of straight lines carries one 32-bit rounding per step (up to 255).
        const double Span = k == 0 ? 0.0 : std::fabs(S.Points[k - 1].Value) + std::fabs(P.Value);
        const double Tolerance =
            1e-3 + (Type == cv_Int ? 1.0 : 0.0) +
            (Type <= cv_Lin ? 256 * std::numeric_limits<float>::epsilon() * Span : 0.0);
        ASSERT_NEAR(T[P.Posn], Want, Tolerance)
            << "type " << Type << " round " << Round << " posn " << P.Posn;
      }
      // Nothing outside the breakpoints' range is written.
      for (int j = 0; j < S.Points.front().Posn; ++j)
        ASSERT_EQ(T[j], 12345.0f);
      for (int j = S.Points.back().Posn + 1; j < 256; ++j)
        ASSERT_EQ(T[j], 12345.0f);
    }
  }
}

TEST(ResponseCurves, NoSeedWritesOutsideItsTable) {
  struct {
    float Before[32];
    tResponseLUT T;
    float After[32];
  } Guarded;
  std::mt19937 Rng(99);
  std::uniform_int_distribution<int32_t> Posn(-300, 600);
  std::uniform_real_distribution<float> Value(-1e6f, 1e6f);
  for (int Round = 0; Round < 5000; ++Round) {
    std::fill(std::begin(Guarded.Before), std::end(Guarded.Before), 7.0f);
    std::fill(std::begin(Guarded.After), std::end(Guarded.After), 7.0f);
    std::vector<tResponsePoint> Points(std::uniform_int_distribution<int>(0, 8)(Rng));
    for (auto& P : Points) {
      const int Kind = std::uniform_int_distribution<int>(0, 9)(Rng);
      P.Posn = Kind == 0   ? std::numeric_limits<int32_t>::min()
               : Kind == 1 ? std::numeric_limits<int32_t>::max()
                           : Posn(Rng);
      P.Value = Kind == 2 ? std::numeric_limits<float>::infinity() : Value(Rng);
    }
    const auto Type = static_cast<tCurveType>(std::uniform_int_distribution<int>(0, 12)(Rng));
    tSeedHolder S(Type, Points);
    BuildResponseLUT(&S.Seed, Guarded.T);
    for (int i = 0; i < 32; ++i) {
      ASSERT_EQ(Guarded.Before[i], 7.0f) << Round;
      ASSERT_EQ(Guarded.After[i], 7.0f) << Round;
    }
    const int32_t Last = std::uniform_int_distribution<int32_t>(-5, 300)(Rng);
    const int32_t k = NearestLUTIndex(Guarded.T, Last, Value(Rng));
    ASSERT_GE(k, 0);
    ASSERT_LE(k, std::clamp(Last, 0, 255));
  }
}

}  // namespace

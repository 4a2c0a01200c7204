#include "lib/controls/ResponseCurves.h"

#include <bit>
#include <cmath>
#include <numbers>

std::unique_ptr<tResponseLUTManager> ResponseLUTManager;

tResponseLUTManager& CreateResponseLUTManager() {
  if (!ResponseLUTManager) ResponseLUTManager = std::make_unique<tResponseLUTManager>();
  return *ResponseLUTManager;
}

// ---- The manager ----

tResponseLUTManager::~tResponseLUTManager() {
  Clear();
}

int32_t tResponseLUTManager::SeedCheckSum(const tResponseSeed& Seed) {
  uint32_t Sum = uint32_t{Seed.CurveType} + Seed.nPoints;
  if (Seed.ResponsePoints != nullptr) {
    for (uint32_t k = 0; k < Seed.nPoints; ++k) {
      const tResponsePoint& P = Seed.ResponsePoints[k];
      Sum += (static_cast<uint32_t>(P.Posn) + std::bit_cast<uint32_t>(P.Value)) * (k + 1);
    }
  }
  return static_cast<int32_t>(Sum);
}

// A cache entry with the seed it was built from, so that a checksum hit can be confirmed.
// The entry (checksum, then table) comes first: an item's address is its entry's.
struct tResponseLUTManager::tCachedLUT {
  tResponseLUTEntry Entry;
  tCurveType CurveType;
  std::vector<tResponsePoint> Points;

  bool Matches(const tResponseSeed& Seed) const {
    if (Seed.CurveType != CurveType || Seed.nPoints != Points.size()) return false;
    for (size_t k = 0; k < Points.size(); ++k) {
      const tResponsePoint& P = Seed.ResponsePoints[k];
      // Values compare by their bits, as the checksum reads them (so -0.0 is not 0.0).
      if (P.Posn != Points[k].Posn ||
          std::bit_cast<uint32_t>(P.Value) != std::bit_cast<uint32_t>(Points[k].Value))
        return false;
    }
    return true;
  }
};

tResponseLUTManager::tCachedLUT* tResponseLUTManager::Cached(int32_t Index) const {
  return static_cast<tCachedLUT*>(Get(Index));
}

tResponseLUTEntry* tResponseLUTManager::Entry(int32_t Index) const {
  return &Cached(Index)->Entry;
}

namespace {

// The seed as the cache sees it: a seed without breakpoints has none, whatever nPoints says.
tResponseSeed Normalised(const tResponseSeed& Seed) {
  tResponseSeed N;
  N.CurveType = Seed.CurveType;
  N.nPoints = Seed.ResponsePoints != nullptr ? Seed.nPoints : 0;
  N.ResponsePoints = Seed.ResponsePoints;
  return N;
}

}  // namespace

pResponseLUT tResponseLUTManager::GetResponseLUT(pResponseSeed Seed) {
  if (Seed == nullptr) return nullptr;
  const int32_t Sum = SeedCheckSum(*Seed);
  const tResponseSeed Key = Normalised(*Seed);
  for (int32_t i = 0; i < Count(); ++i)
    if (Cached(i)->Entry.SeedCheckSum == Sum && Cached(i)->Matches(Key))
      return &Cached(i)->Entry.Table;
  CreateResponseLUT(Seed, Sum);
  return &Entry(Count() - 1)->Table;
}

void tResponseLUTManager::CreateResponseLUT(pResponseSeed Seed, int32_t SeedCheckSum) {
  auto NewEntry = std::make_unique<tCachedLUT>();  // checksum and table zero-filled
  NewEntry->Entry.SeedCheckSum = SeedCheckSum;
  NewEntry->CurveType = cv_Lin;
  if (Seed != nullptr) {
    const tResponseSeed Key = Normalised(*Seed);
    NewEntry->CurveType = Key.CurveType;
    NewEntry->Points.assign(Key.ResponsePoints, Key.ResponsePoints + Key.nPoints);
    BuildResponseLUT(Seed, NewEntry->Entry.Table);
  }
  Add(NewEntry.get());
  NewEntry.release();
}

void tResponseLUTManager::Clear() {
  for (int32_t i = 0; i < Count(); ++i)
    delete Cached(i);
  tList::Clear();
}

// ---- Building a table ----

namespace {

// Nearest whole number, halves to the even neighbour, whatever the rounding mode.
double RoundHalfEven(double x) {
  const double Down = std::floor(x);
  const double Diff = x - Down;
  if (Diff < 0.5) return Down;
  if (Diff > 0.5) return Down + 1.0;
  return std::fmod(Down, 2.0) == 0.0 ? Down : Down + 1.0;
}

struct tSegment {
  int32_t x0, x1, dx;
  float y0, y1, dy;
};

// Straight lines: a 32-bit running sum, so every entry carries the sum's rounding.
void BuildLine(const tSegment& S, bool Whole, tResponseLUT& T) {
  const float Step = static_cast<float>(static_cast<double>(S.dy) / S.dx);
  float r = S.y0;
  for (int32_t j = S.x0; j <= S.x1; ++j) {
    T[j] = Whole ? static_cast<float>(RoundHalfEven(r)) : r;
    r = r + Step;
  }
  // A range symmetric about zero reads exactly zero on its two centre positions (dx div 2
  // and the one after, from the segment's start). A centre position that is one of the
  // segment's ends keeps its breakpoint value: a short segment is not flattened to zero.
  if (S.y1 == -S.y0 && S.y1 != 0.0f) {
    for (const int32_t e : {S.x0 + S.dx / 2, S.x0 + S.dx / 2 + 1})
      if (e > S.x0 && e < S.x1) T[e] = 0.0f;
  }
}

// Every other computed type: one formula per entry, in double precision. d is the entry's
// distance from the segment's start.
double CurveValue(tCurveType Type, const tSegment& S, int32_t j, double L) {
  const double y0 = S.y0, y1 = S.y1, dy = S.dy, dx = S.dx;
  const double d = j - S.x0;
  switch (Type) {
    case cv_Log10:
      return y0 + std::log(d + 1.0) * dy / L;
    case cv_RevLog10:
      return y0 + (1.0 - std::log(double(S.x1 - j) + 1.0) / L) * dy;
    case cv_Sqr:
      return y0 + d * d * dy / (dx * dx);
    case cv_RevSqr: {
      const double Back = S.x1 - j;
      return y0 + (1.0 - Back * Back / (dx * dx)) * dy;
    }
    case cv_Log2:
      return y0 * std::exp(std::log(y1 / y0) * d / dx);
    case cv_Sine:
      return y0 + std::sin(d * std::numbers::pi / (2.0 * dx)) * dy;
    default:
      return y0;
  }
}

void BuildSegment(tCurveType Type, const tSegment& S, tResponseLUT& T) {
  if (Type == cv_Custom) return;
  // Geometric steps need two ends of the same sign, neither zero.
  if (Type == cv_Log2 && !((S.y0 > 0 && S.y1 > 0) || (S.y0 < 0 && S.y1 < 0))) return;
  if (S.dx == 0) {
    T[S.x0] = Type == cv_Int ? static_cast<float>(RoundHalfEven(S.y0)) : S.y0;
    return;
  }
  if (Type == cv_Lin || Type == cv_Int) {
    BuildLine(S, Type == cv_Int, T);
    return;
  }
  const double L = static_cast<float>(std::log(S.dx + 1.0));
  for (int32_t j = S.x0; j <= S.x1; ++j)
    T[j] = static_cast<float>(CurveValue(Type, S, j, L));
}

}  // namespace

void BuildResponseLUT(pResponseSeed Seed, tResponseLUT& Table) {
  if (Seed == nullptr || Seed->ResponsePoints == nullptr || Seed->nPoints < 2) return;
  const tCurveType Type = Seed->CurveType;
  if (Type > cv_Sine) return;  // an unknown curve type computes nothing
  const tResponsePoint* P = Seed->ResponsePoints;
  const int32_t Last = static_cast<int32_t>(Table.size()) - 1;
  for (int32_t s = 1; s < Seed->nPoints; ++s) {
    tSegment S{P[s - 1].Posn, P[s].Posn, 0, P[s - 1].Value, P[s].Value, 0.0f};
    // Ends outside the table or falling back write nothing, never outside the table.
    if (S.x0 < 0 || S.x1 > Last || S.x1 < S.x0) continue;
    S.dx = S.x1 - S.x0;
    S.dy = S.y1 - S.y0;
    BuildSegment(Type, S, Table);
  }
}

// ---- Inverse lookup ----

int32_t NearestLUTIndex(const tResponseLUT& Table, int32_t Last, float X) {
  if (Last <= 0) return 0;
  if (Last > 255) Last = 255;
  const float Lo = Table[0];
  const float Hi = Table[Last];
  // Limited to the range of the two ends, so a falling table is searched too.
  const float Low = std::fmin(Lo, Hi);
  const float High = std::fmax(Lo, Hi);
  if (X < Low)
    X = Low;
  else if (X > High)
    X = High;

  int32_t k = 0;
  const double Estimate = (double(X) - Lo) * Last / (double(Hi) - Lo);
  if (Estimate >= Last)
    k = Last;  // NaN (equal ends, odd values) stays at 0
  else if (Estimate > 0)
    k = static_cast<int32_t>(RoundHalfEven(Estimate));

  if (Hi > Lo) {
    while (k < Last && Table[k] < X)
      ++k;
    while (k > 0 && Table[k] > X)
      --k;
  } else {
    while (k < Last && Table[k] > X)
      ++k;
    while (k > 0 && Table[k] < X)
      --k;
  }
  const auto Distance = [&](int32_t i) { return std::fabs(double(Table[i]) - X); };
  if (k > 0 && Distance(k - 1) < Distance(k)) return k - 1;
  if (k < Last && Distance(k + 1) < Distance(k)) return k + 1;
  return k;
}

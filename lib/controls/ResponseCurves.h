// Response curves: a control's 256 positions mapped to the values it stands for.
//
// A seed (curve type and breakpoints) is built once into a 256-entry lookup table, which the
// manager caches and shares between every control whose seed is equal (same curve type and
// breakpoints; the unit text does not count); the inverse lookup maps a value back to the
// nearest table position. The manager owns its tables: a table stays valid until Clear or
// the manager's destruction. User-interface thread only; no locking.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/persist/List.h"

enum tCurveType : uint8_t {
  cv_Int = 0,       // straight line, entries rounded to whole numbers (halves to even)
  cv_Lin = 1,       // straight line
  cv_Log10 = 2,     // rises fast, then flattens
  cv_RevLog10 = 3,  // rises slowly, then fast
  cv_Sqr = 4,       // square law
  cv_RevSqr = 5,    // reversed square law
  cv_Log2 = 6,      // geometric: constant ratio between neighbours
  cv_Custom = 7,    // not computed: no entry is written
  cv_Sine = 8,      // quarter sine wave
};

// A breakpoint: table position 0..255 and its value.
struct tResponsePoint {
  int32_t Posn;
  float Value;
};
static_assert(sizeof(tResponsePoint) == 8);

using pResponsePointsH = const tResponsePoint*;

struct tResponseSeed {
  tCurveType CurveType = cv_Lin;
  std::string UnitDesc;  // at most 30 characters; not part of the curve
  uint16_t nPoints = 0;
  // nPoints breakpoints in rising Posn order.
  pResponsePointsH ResponsePoints = nullptr;
};
using pResponseSeed = const tResponseSeed*;

using tResponseLUT = std::array<float, 256>;
using pResponseLUT = tResponseLUT*;

// One cache entry: the seed's checksum and its table.
struct tResponseLUTEntry {
  int32_t SeedCheckSum;
  tResponseLUT Table;
};
static_assert(sizeof(tResponseLUTEntry) == 1028);

class tResponseLUTManager : public tList {
 public:
  tResponseLUTManager() = default;
  ~tResponseLUTManager() override;

  // The cached table for Seed, built first when there is none; null for a null seed. The
  // checksum finds candidate entries quickly; an entry is taken only when its seed equals
  // Seed (curve type and every breakpoint), so two seeds that share a checksum get a table
  // each. Valid until Clear or the manager's destruction.
  pResponseLUT GetResponseLUT(pResponseSeed Seed);
  // Builds a new entry for Seed under SeedCheckSum (keeping a copy of the seed's curve type
  // and breakpoints) and appends it. Entries no segment writes are 0.
  void CreateResponseLUT(pResponseSeed Seed, int32_t SeedCheckSum);
  // Releases every entry, then empties the list.
  void Clear() override;

  // CurveType + nPoints, plus (Posn + the bits of Value) * (k + 1) for every breakpoint k,
  // in wrapping 32-bit arithmetic. UnitDesc does not count.
  static int32_t SeedCheckSum(const tResponseSeed& Seed);

  std::string_view ClassName() const override { return "tResponseLUTManager"; }

  // The entry at Index: checksum and table, as laid out in the cache.
  tResponseLUTEntry* Entry(int32_t Index) const;

 private:
  struct tCachedLUT;
  tCachedLUT* Cached(int32_t Index) const;
};

// The program-wide manager, created at start-up.
extern std::unique_ptr<tResponseLUTManager> ResponseLUTManager;
// Creates ResponseLUTManager when it is absent; returns it.
tResponseLUTManager& CreateResponseLUTManager();

// Fills Table from Seed segment by segment (later segments overwrite a shared end entry).
// Fewer than 2 breakpoints write nothing. A segment whose ends lie outside 0..255 or fall
// back (x1 < x0) writes nothing, so no seed writes outside the table. Every computed curve
// type counts from its segment's own start, so each segment starts at its first breakpoint
// and ends at its second. cv_Log2 writes nothing unless both ends are non-zero and of the
// same sign.
void BuildResponseLUT(pResponseSeed Seed, tResponseLUT& Table);

// The index 0..Last of the entry nearest to X in a table whose values run monotonically
// from entry 0 to entry Last (rising, or falling). X is first limited to the range of the
// two end values. Equal distances keep the index reached from below (the lower index in a
// rising table). A table whose two ends are equal gives 0. Last is limited to 0..255.
int32_t NearestLUTIndex(const tResponseLUT& Table, int32_t Last, float X);

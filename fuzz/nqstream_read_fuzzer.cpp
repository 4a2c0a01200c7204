// Runs the tagged stream's typed reads over arbitrary bytes. The first byte chooses how
// many of the following bytes are operations; the rest is the stream. Every read stays
// within the stream and within the caller's buffer (a guard around it must stay intact).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "lib/persist/NqError.h"
#include "lib/persist/NqLists.h"

namespace {

constexpr uint16_t MemoryOnly = 0x10;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0 || Size > 1 << 16) return 0;
  const size_t nOps = std::min<size_t>(Data[0] % 32, Size - 1);
  const uint8_t* Ops = Data + 1;
  const uint8_t* Bytes = Ops + nOps;
  const size_t nBytes = Size - 1 - nOps;

  tNqStream S("", MemoryOnly);
  S.SetSize(static_cast<int64_t>(nBytes));  // sized first: no growth in whole MiB
  S.WriteBuffer(Bytes, static_cast<int32_t>(nBytes));
  S.Seek(int64_t{0}, 0);

  uint8_t Guarded[64 + 2 * 16];
  for (size_t i = 0; i < nOps; ++i) {
    const uint8_t Op = Ops[i];
    const int64_t Before = S.GetPosition();
    try {
      switch (Op % 8) {
        case 0:
          S.ReadObjectID();
          break;
        case 1:
          S.CheckObjectID(Op, "Fuzz");
          break;
        case 2: {
          std::memset(Guarded, 0xA5, sizeof Guarded);
          const uint16_t BufSize = Op >> 2;  // 0..63
          S.ReadLen(Guarded + 16, BufSize);
          for (size_t g = 0; g < 16; ++g)
            if (Guarded[g] != 0xA5 || Guarded[16 + BufSize + g] != 0xA5) std::abort();
          break;
        }
        case 3: {
          const std::string s = S.StrRead();
          if (s.size() > 255) std::abort();
          break;
        }
        case 4:
          S.ReadInt32();
          break;
        case 5:
          S.Finished();
          break;
        case 6:
          S.Seek(static_cast<int64_t>(Op >> 3) - 8, 1);
          break;
        case 7:
          S.Seek(int64_t{Op >> 3}, 0);
          break;
      }
    } catch (const tNqError&) {
    }
    // Reads never move a position inside the stream past its end.
    const auto End = static_cast<int64_t>(nBytes);
    if (Op % 8 <= 4 && Before >= 0 && Before <= End && S.GetPosition() > End) std::abort();
  }
  return 0;
}

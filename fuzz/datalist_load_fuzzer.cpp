// Loads a tDataList from arbitrary bytes. A stream that lies must be refused with an error,
// never read or written out of bounds; a list that loads must store back exactly the bytes
// it was loaded from, and stay usable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "lib/persist/NqError.h"
#include "lib/persist/NqLists.h"

namespace {

// Not a saving mode: the stream's data stays in memory.
constexpr uint16_t MemoryOnly = 0x10;

// A stream holding the given bytes, at their start. Sizing the memory first keeps the
// stream from growing in whole MiB, which would only slow the fuzzer down.
std::unique_ptr<tNqStream> StreamOf(const uint8_t* Data, size_t Size) {
  auto S = std::make_unique<tNqStream>("", MemoryOnly);
  S->SetSize(static_cast<int64_t>(Size));
  S->WriteBuffer(Data, static_cast<int32_t>(Size));
  S->Seek(int64_t{0}, 0);
  return S;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Input, size_t InputSize) {
  if (InputSize == 0 || InputSize > 1 << 16) return 0;
  // An odd first byte replaces the stored count by a small one (the second byte mod 8), so
  // that most inputs reach the items; an even one hands the rest over as it is.
  std::vector<uint8_t> Bytes(Input + 1, Input + InputSize);
  if ((Input[0] & 1) != 0 && Bytes.size() >= 4) {
    Bytes[0] %= 8;
    Bytes[1] = Bytes[2] = Bytes[3] = 0;
  }
  const uint8_t* Data = Bytes.data();
  const size_t Size = Bytes.size();
  auto Stream = StreamOf(Data, Size);
  tNqStream& S = *Stream;
  std::unique_ptr<tDataList> List;
  try {
    List = tNqList::Load<tDataList>(S);
  } catch (const tNqError&) {
    return 0;
  }
  const int64_t Consumed = S.GetPosition();
  if (Consumed < 4 || Consumed > static_cast<int64_t>(Size)) std::abort();

  tNqStream Out("", MemoryOnly);
  Out.SetSize(Consumed);
  List->Store(Out);
  if (Out.GetPosition() != Consumed ||
      std::memcmp(Out.Memory(), Data, static_cast<size_t>(Consumed)) != 0)
    std::abort();

  // Searching an unsorted loaded list and adding to it stay within the list.
  for (size_t i = 0; i + 1 < Size && i < 16; i += 2) {
    const auto Key = static_cast<uint16_t>(Data[i] | Data[i + 1] << 8);
    const uint8_t* Found = List->FindItem(Key);
    if (Found != nullptr && tDataList::ItemKey(Found) != Key) std::abort();
    List->CreateItem(static_cast<uint16_t>(4 + Data[i] % 8), Key);
  }
  List->Clear();
  return 0;
}

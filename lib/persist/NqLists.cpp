#include "lib/persist/NqLists.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "lib/persist/NqError.h"
#include "support/ShortString.h"

// ---- tNqStream ----

namespace {

uint16_t WordFrom(const uint8_t* b) {
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

void PutWord(uint8_t* b, uint16_t Value) {
  b[0] = static_cast<uint8_t>(Value);
  b[1] = static_cast<uint8_t>(Value >> 8);
}

}  // namespace

uint16_t tNqStream::ReadWord() {
  uint8_t b[2] = {0, 0};
  ReadBuffer(b, 2);
  return WordFrom(b);
}

void tNqStream::WriteWord(uint16_t Value) {
  uint8_t b[2];
  PutWord(b, Value);
  WriteBuffer(b, 2);
}

int32_t tNqStream::ReadInt32() {
  uint8_t b[4] = {0, 0, 0, 0};
  ReadBuffer(b, 4);
  return static_cast<int32_t>(uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 |
                              uint32_t{b[3]} << 24);
}

void tNqStream::WriteInt32(int32_t Value) {
  const auto u = static_cast<uint32_t>(Value);
  const uint8_t b[4] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
                        static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)};
  WriteBuffer(b, 4);
}

int64_t tNqStream::Remaining() {
  const int64_t Position = GetPosition();
  const int64_t Size = GetSize();
  return (Position < 0 || Position >= Size) ? 0 : Size - Position;
}

uint16_t tNqStream::ReadObjectID() {
  return ReadWord();
}

void tNqStream::WriteObjectID(uint16_t ID) {
  WriteWord(ID);
}

void tNqStream::CheckObjectID(uint16_t ObjectID, const std::string& Description) {
  const uint16_t Got = ReadObjectID();
  if (Got != ObjectID)
    throw tNqInOutError("Invalid " + Description + " object: " + std::to_string(Got) +
                            " read instead of " + std::to_string(ObjectID),
                        int32_t{ObjectID} + 1000);
}

void tNqStream::ReadLen(void* buf, uint16_t abufsize) {
  const uint16_t L = ReadWord();
  // A block cut short is an error before the buffer is touched.
  if (L > Remaining()) throw tNqStreamError("Stream read error");
  if (buf == nullptr) abufsize = 0;
  if (L < abufsize) std::memset(buf, 0, abufsize);
  ReadBuffer(buf, std::min(L, abufsize));
  // The rest of a longer block is read and dropped, so the stream ends up after the block.
  uint8_t Discard[256];
  for (int32_t Left = L - abufsize; Left > 0;) {
    const int32_t Chunk = std::min<int32_t>(Left, sizeof Discard);
    ReadBuffer(Discard, Chunk);
    Left -= Chunk;
  }
}

void tNqStream::WriteLen(const void* buf, uint16_t abufsize) {
  WriteWord(abufsize);
  if (abufsize != 0) WriteBuffer(buf, abufsize);
}

std::string tNqStream::StrRead() {
  const uint16_t L = ReadWord();
  if (L > MaxShortString)
    throw tNqStreamError("Invalid string length " + std::to_string(L) + " in stream (at most 255)");
  if (L > Remaining()) throw tNqStreamError("Stream read error");
  std::string s(L, '\0');
  ReadBuffer(s.data(), L);
  return s;
}

void tNqStream::StrWrite(const std::string& s) {
  const std::string Cut = ShortString(s);
  WriteWord(static_cast<uint16_t>(Cut.size()));
  if (!Cut.empty()) WriteBuffer(Cut.data(), static_cast<int32_t>(Cut.size()));
}

bool tNqStream::Finished() {
  return GetPosition() == GetSize();
}

// ---- tNqList ----

tNqList::tNqList(int32_t aCapacity, std::string_view aDescription) {
  Create(aCapacity, aDescription);
}

tNqList::~tNqList() {
  tNqList::Clear();
}

void tNqList::Create(int32_t aCapacity, std::string_view aDescription) {
  Description = std::string(aDescription.substr(0, MaxDescription));
  SetCapacity(aCapacity);
  AutoFree = true;
}

void tNqList::Error(const std::string& Msg, int32_t Data) const {
  tList::Error(Msg + " [" + std::string(ClassName()) + "]", Data);
}

void tNqList::LoadFrom(tNqStream& S) {
  if (S.Remaining() < 4)
    throw tNqStreamError("Stream too short for a " + std::string(ClassName()) + " count");
  const int32_t N = S.ReadInt32();
  if (N < 0 || N > S.Remaining() / MinStoredItemSize())
    throw tNqStreamError("Invalid " + std::string(ClassName()) + " count " + std::to_string(N) +
                         ": the stream holds " + std::to_string(S.Remaining()) + " more bytes");
  SetCapacity(N);
  Create(N, "");
  for (int32_t i = 0; i < N; ++i)
    tList::Add(LoadItem(S));
}

void tNqList::Store(tNqStream& S) {
  S.WriteInt32(Count());
  for (int32_t i = 0; i < Count(); ++i)
    StoreItem(S, Get(i));
}

void tNqList::FreeItem(void* Item) {
  Remove(Item);
  if (Item != nullptr && AutoFree) delete static_cast<tNqObject*>(Item);
}

void tNqList::Clear() {
  while (Count() > 0)
    FreeItem(Get(0));
  tList::Clear();
}

void tNqList::CopyTo(tList& aList) const {
  // Two owners would release every shared item twice.
  const auto* Target = dynamic_cast<const tNqList*>(&aList);
  if (AutoFree && Target != nullptr && Target->AutoFree)
    Error("Cannot share owned items with a list that owns its items (%d)", Count());
  // The target's own Add: a sorted target stays sorted.
  for (int32_t i = 0; i < Count(); ++i)
    aList.Add(Get(i));
}

bool tNqList::SameAs(const tList* aList) const {
  if (aList == nullptr || aList->Count() != Count()) return false;
  for (int32_t i = 0; i < Count(); ++i)
    if (aList->Get(i) != Get(i)) return false;
  return true;
}

// ---- tSortedList ----

tSortedList::tSortedList(int32_t aCapacity, std::string_view aDescription, tKeyCompare aCompare)
    : tNqList(aCapacity, aDescription), Compare(aCompare) {}

bool tSortedList::Search(const void* aKey, int32_t& anIndex) const {
  if (Compare == nullptr)
    throw tNqListError("No key comparison set [" + std::string(ClassName()) + "]");
  int32_t Lo = 0;
  int32_t Hi = Count() - 1;
  bool Found = false;
  while (Lo <= Hi) {
    const int32_t Mid = Lo + (Hi - Lo) / 2;
    const int c = Compare(KeyOf(Get(Mid)), aKey);
    if (c < 0) {
      Lo = Mid + 1;
    } else {
      Hi = Mid - 1;
      if (c == 0) Found = true;
    }
  }
  anIndex = Lo;
  return Found;
}

int32_t tSortedList::Add(void* Item) {
  int32_t Index = 0;
  Search(KeyOf(Item), Index);
  InsertItem(Index, Item);
  return Index;
}

bool tSortedList::FitsBetween(int32_t Before, int32_t After, const void* Item) const {
  if (Compare == nullptr)
    throw tNqListError("No key comparison set [" + std::string(ClassName()) + "]");
  const void* Key = KeyOf(Item);
  if (Before >= 0 && Compare(KeyOf(Get(Before)), Key) > 0) return false;
  if (After < Count() && Compare(KeyOf(Get(After)), Key) < 0) return false;
  return true;
}

void tSortedList::Insert(int32_t Index, void* Item) {
  if (Index < 0 || Index > Count()) Error("List index out of bounds (%d)", Index);
  if (!FitsBetween(Index - 1, Index, Item)) Error("Insert out of key order at index %d", Index);
  InsertItem(Index, Item);
}

void tSortedList::Put(int32_t Index, void* Item) {
  if (Index < 0 || Index >= Count()) Error("List index out of bounds (%d)", Index);
  if (!FitsBetween(Index - 1, Index + 1, Item)) Error("Put out of key order at index %d", Index);
  PutItem(Index, Item);
}

// ---- tDataList ----

tDataList::tDataList(int32_t aCapacity, std::string_view aDescription)
    : tSortedList(aCapacity, aDescription, &tDataList::CompareKeys) {}

tDataList::~tDataList() {
  Clear();
}

uint16_t tDataList::ItemSize(const void* Item) {
  return WordFrom(static_cast<const uint8_t*>(Item));
}

uint16_t tDataList::ItemKey(const void* Item) {
  return WordFrom(static_cast<const uint8_t*>(Item) + 2);
}

int tDataList::CompareKeys(const void* StoredKey, const void* SearchedKey) {
  if (StoredKey == nullptr && SearchedKey == nullptr) return 0;
  if (StoredKey == nullptr) return -1;
  if (SearchedKey == nullptr) return 1;
  const uint16_t a = WordFrom(static_cast<const uint8_t*>(StoredKey));
  const uint16_t b = WordFrom(static_cast<const uint8_t*>(SearchedKey));
  return a < b ? -1 : a > b ? 1 : 0;
}

const void* tDataList::KeyOf(const void* anItem) const {
  return anItem == nullptr ? nullptr : static_cast<const uint8_t*>(anItem) + 2;
}

uint8_t* tDataList::CreateItem(uint16_t Size, uint16_t Key) {
  if (Size == 0) return nullptr;
  if (Size < HeaderSize)
    throw tNqListError("Item size " + std::to_string(Size) + " below its 4-byte header [" +
                       std::string(ClassName()) + "]");
  std::unique_ptr<uint8_t[]> Item(new uint8_t[Size]());
  PutWord(Item.get(), Size);
  PutWord(Item.get() + 2, Key);
  Add(Item.get());
  return Item.release();
}

uint8_t* tDataList::FindItem(uint16_t Key) const {
  uint8_t KeyBytes[2];
  PutWord(KeyBytes, Key);
  int32_t Index = 0;
  if (!Search(KeyBytes, Index)) return nullptr;
  // A list loaded out of key order can make the search stop beside the equal key it saw;
  // an item of another key is never the answer.
  auto* Item = static_cast<uint8_t*>(Get(Index));
  return Item != nullptr && ItemKey(Item) == Key ? Item : nullptr;
}

void* tDataList::LoadItem(tNqStream& S) {
  if (S.Remaining() < 2)
    throw tNqStreamError("Item beyond the end of the stream [" + std::string(ClassName()) + "]");
  const uint16_t Size = S.ReadWord();
  if (Size == 0) return nullptr;
  if (Size < HeaderSize)
    throw tNqStreamError("Invalid item size " + std::to_string(Size) + " [" +
                         std::string(ClassName()) + "]");
  if (Size - 2 > S.Remaining())
    throw tNqStreamError("Item of " + std::to_string(Size) +
                         " bytes reaches beyond the end of the stream [" +
                         std::string(ClassName()) + "]");
  std::unique_ptr<uint8_t[]> Item(new uint8_t[Size]());
  PutWord(Item.get(), Size);
  S.ReadBuffer(Item.get() + 2, Size - 2);
  return Item.release();
}

void tDataList::StoreItem(tNqStream& S, void* Item) {
  if (Item == nullptr) {
    S.WriteWord(0);
    return;
  }
  S.WriteBuffer(Item, ItemSize(Item));
}

void tDataList::FreeItem(void* Item) {
  Remove(Item);
  if (Item != nullptr && AutoFree) delete[] static_cast<uint8_t*>(Item);
}

// ---- The global lists ----

namespace {

int CompareAddresses(const void* StoredKey, const void* SearchedKey) {
  const std::less<const void*> Less;
  return Less(StoredKey, SearchedKey) ? -1 : Less(SearchedKey, StoredKey) ? 1 : 0;
}

[[noreturn]] void NotStored(std::string_view ClassName) {
  throw tNqStreamError(std::string(ClassName) + " items are not stored in streams");
}

}  // namespace

tTrackArcList::tTrackArcList() : tDataList(32, "TrackArc32List") {}
tTrackArcList::~tTrackArcList() = default;

tBackBufferList::tBackBufferList() : tSortedList(32, "BackBufferList", &CompareAddresses) {}
tBackBufferList::~tBackBufferList() = default;
void* tBackBufferList::LoadItem(tNqStream&) {
  NotStored(ClassName());
}
void tBackBufferList::StoreItem(tNqStream&, void*) {
  NotStored(ClassName());
}

tTouchedKnobsList::tTouchedKnobsList() : tNqList(8, "TouchedKnobs32") {
  AutoFree = false;
}
tTouchedKnobsList::~tTouchedKnobsList() = default;
void* tTouchedKnobsList::LoadItem(tNqStream&) {
  NotStored(ClassName());
}
void tTouchedKnobsList::StoreItem(tNqStream&, void*) {
  NotStored(ClassName());
}

std::unique_ptr<tTrackArcList> TrackArc32List;
std::unique_ptr<tBackBufferList> BackBufferList;
std::unique_ptr<tTouchedKnobsList> TouchedKnobs32;

void CreateGlobalLists() {
  if (!TrackArc32List) TrackArc32List = std::make_unique<tTrackArcList>();
  if (!BackBufferList) BackBufferList = std::make_unique<tBackBufferList>();
  if (!TouchedKnobs32) TouchedKnobs32 = std::make_unique<tTouchedKnobsList>();
}

void DestroyGlobalLists() {
  TouchedKnobs32.reset();
  BackBufferList.reset();
  TrackArc32List.reset();
}

#include "lib/persist/NqLists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "TempFolder.h"
#include "lib/persist/NqError.h"

namespace {

// A stream that holds its data in memory only and never saves it (not a saving mode).
constexpr uint16_t MemoryOnly = 0x10;

// A stream holding Bytes, positioned at its start.
std::unique_ptr<tNqStream> StreamOf(const std::vector<uint8_t>& Bytes) {
  auto S = std::make_unique<tNqStream>("", MemoryOnly);
  S->SetSize(static_cast<int64_t>(Bytes.size()));
  S->WriteBuffer(Bytes.data(), static_cast<int32_t>(Bytes.size()));
  S->Seek(int64_t{0}, 0);
  return S;
}

std::vector<uint8_t> WrittenBytes(tNqStream& S) {
  const int64_t End = S.GetPosition();
  return {S.Memory(), S.Memory() + End};
}

TEST(NqStream, ReadLenZeroFillsShortBlocksAndSkipsTheRestOfLongOnes) {
  auto S = StreamOf({3,    0,   'a', 'b', 'c',                                // a 3-byte block
                     12,   0,   1,   2,   3,   4, 5, 6, 7, 8, 9, 10, 11, 12,  // a 12-byte block
                     0x34, 0x12});
  uint8_t Buf[8];
  std::fill(std::begin(Buf), std::end(Buf), 0xEE);
  S->ReadLen(Buf, 8);
  EXPECT_EQ(std::vector<uint8_t>(Buf, Buf + 8),
            (std::vector<uint8_t>{'a', 'b', 'c', 0, 0, 0, 0, 0}));
  S->ReadLen(Buf, 8);
  EXPECT_EQ(std::vector<uint8_t>(Buf, Buf + 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(S->ReadObjectID(), 0x1234);  // the stream is after all 12 bytes
  EXPECT_TRUE(S->Finished());
}

TEST(NqStream, StringsAndIdentifiersAreLittleEndianAndLengthPrefixed) {
  tNqStream S("", MemoryOnly);
  S.StrWrite("");
  S.StrWrite("Hi");
  S.StrWrite(std::string(300, 'x'));  // cut to 255
  S.WriteObjectID(0xBEEF);
  S.WriteLen("xyz", 3);
  const auto Bytes = WrittenBytes(S);
  ASSERT_EQ(Bytes.size(), 2u + 4u + 257u + 2u + 5u);
  EXPECT_EQ(std::vector<uint8_t>(Bytes.begin(), Bytes.begin() + 6),
            (std::vector<uint8_t>{0, 0, 2, 0, 'H', 'i'}));
  EXPECT_EQ(Bytes[6], 255);
  EXPECT_EQ(Bytes[7], 0);
  EXPECT_EQ(Bytes[263], 0xEF);
  EXPECT_EQ(Bytes[264], 0xBE);

  auto R = StreamOf(Bytes);
  EXPECT_EQ(R->StrRead(), "");
  EXPECT_EQ(R->StrRead(), "Hi");
  EXPECT_EQ(R->StrRead(), std::string(255, 'x'));
  EXPECT_EQ(R->ReadObjectID(), 0xBEEF);
  EXPECT_FALSE(R->Finished());
}

TEST(NqStream, AStringLengthOver255IsRefused) {
  auto S = StreamOf({0, 1, 'a'});  // 256
  EXPECT_THROW(S->StrRead(), tNqStreamError);
}

TEST(NqStream, CheckObjectIDNamesWhatWasReadAndWhatWasExpected) {
  auto S = StreamOf({7, 0, 9, 0});
  EXPECT_NO_THROW(S->CheckObjectID(7, "Knob"));
  try {
    S->CheckObjectID(7, "Knob");
    FAIL() << "a wrong identifier was accepted";
  } catch (const tNqInOutError& E) {
    EXPECT_EQ(std::string(E.what()), "Invalid Knob object: 9 read instead of 7");
    EXPECT_EQ(E.HelpContext, 1007);
  }
}

TEST(NqStream, WritesThatCannotBeStoredAreNotLostSilently) {
  tTempFolder Temp;
  const std::string Path = Temp.File("empty.nq");
  WriteFileBytes(Path, {});
  tNqStream S(Path, fmOpenReadWrite);  // an empty file: no room to write
  EXPECT_THROW(S.WriteObjectID(1), tNqStreamError);
}

// A tNqStream holding Bytes in each way one is opened for reading: in memory, and from a
// file through the buffered stream (mode 0) and through the mapped stream (mode 2).
class tReadModes {
 public:
  static constexpr uint16_t Modes[] = {MemoryOnly, fmOpenRead, fmOpenReadWrite};
  std::unique_ptr<tNqStream> Open(uint16_t Mode, const std::vector<uint8_t>& Bytes) {
    if (Mode == MemoryOnly) return StreamOf(Bytes);
    const std::string Path = Temp.File("stream" + std::to_string(Mode) + ".nq");
    WriteFileBytes(Path, Bytes);
    return std::make_unique<tNqStream>(Path, Mode);
  }

 private:
  tTempFolder Temp;
};

TEST(NqStream, DataThatEndsEarlyIsAReadErrorInEveryOpenMode) {
  uint8_t Buf[8];
  const std::vector<std::pair<std::vector<uint8_t>, std::function<void(tNqStream&)>>> Cases = {
      {{}, [](tNqStream& S) { S.ReadObjectID(); }},
      {{7}, [](tNqStream& S) { S.ReadObjectID(); }},
      {{}, [](tNqStream& S) { S.CheckObjectID(0, "Knob"); }},
      {{7}, [](tNqStream& S) { S.CheckObjectID(7, "Knob"); }},
      {{3, 0, 'a', 'b'}, [](tNqStream& S) { S.StrRead(); }},
      {{5, 0, 1, 2, 3}, [&](tNqStream& S) { S.ReadLen(Buf, 8); }},  // shorter than the buffer
      {{5, 0, 1, 2, 3}, [&](tNqStream& S) { S.ReadLen(Buf, 2); }},  // longer than the buffer
      {{1, 0, 0}, [](tNqStream& S) { S.ReadInt32(); }},
  };
  tReadModes Streams;
  for (const uint16_t Mode : tReadModes::Modes) {
    for (const auto& [Bytes, Reading] : Cases) {
      SCOPED_TRACE(testing::Message() << "mode " << Mode << ", " << testing::PrintToString(Bytes));
      auto S = Streams.Open(Mode, Bytes);
      try {
        Reading(*S);
        ADD_FAILURE() << "data cut short was read as good";
      } catch (const tNqStreamError& E) {
        EXPECT_STREQ(E.what(), "Stream read error");
      }
    }
  }
}

// A random sequence of records, each written with the stream's typed operations and read
// back with their counterparts.
class tRecordSequence {
 public:
  explicit tRecordSequence(std::mt19937& Rng) {
    auto Pick = [&](int Lo, int Hi) { return std::uniform_int_distribution<int>(Lo, Hi)(Rng); };
    for (int n = Pick(1, 6); n > 0; --n) {
      tRecord R;
      R.Kind = Pick(0, 4);
      R.Word = static_cast<uint16_t>(Pick(0, 65535));
      R.Bytes.resize(static_cast<size_t>(Pick(0, 12)));
      for (auto& b : R.Bytes)
        b = static_cast<uint8_t>(Pick(0, 255));
      R.BufSize = static_cast<uint16_t>(Pick(0, 14));
      Records.push_back(std::move(R));
    }
  }

  std::vector<uint8_t> Write() const {
    tNqStream S("", MemoryOnly);
    for (const tRecord& R : Records) {
      switch (R.Kind) {
        case 0:
          S.WriteObjectID(R.Word);
          break;
        case 1:
          S.StrWrite(std::string(R.Bytes.begin(), R.Bytes.end()));
          break;
        case 2:
          S.WriteLen(R.Bytes.data(), static_cast<uint16_t>(R.Bytes.size()));
          break;
        case 3:
          S.WriteInt32(static_cast<int32_t>(R.Word * 65599u));
          break;
        default: {
          tDataList L(0, "Records");
          for (size_t i = 0; i < R.Bytes.size(); i += 3) {
            uint8_t* Item = L.CreateItem(static_cast<uint16_t>(4 + R.Bytes[i] % 4), R.Bytes[i]);
            std::fill(Item + 4, Item + tDataList::ItemSize(Item), static_cast<uint8_t>(i));
          }
          L.Store(S);
        }
      }
    }
    return WrittenBytes(S);
  }

  // Reads the records back; each must equal what was written. False when the stream
  // raised an error (what was read before it was right).
  bool ReadBack(tNqStream& S) const {
    try {
      for (const tRecord& R : Records) {
        switch (R.Kind) {
          case 0:
            EXPECT_EQ(S.ReadObjectID(), R.Word);
            break;
          case 1:
            EXPECT_EQ(S.StrRead(), std::string(R.Bytes.begin(), R.Bytes.end()));
            break;
          case 2: {
            std::vector<uint8_t> Buf(R.BufSize, 0xEE);
            S.ReadLen(Buf.data(), R.BufSize);
            std::vector<uint8_t> Want = R.Bytes;
            Want.resize(R.BufSize, 0);
            EXPECT_EQ(Buf, Want);
            break;
          }
          case 3:
            EXPECT_EQ(S.ReadInt32(), static_cast<int32_t>(R.Word * 65599u));
            break;
          default: {
            auto L = tNqList::Load<tDataList>(S);
            EXPECT_EQ(L->Count(), static_cast<int32_t>((R.Bytes.size() + 2) / 3));
            for (int32_t i = 0; i < L->Count(); ++i) {
              const auto* Item = static_cast<const uint8_t*>(L->Get(i));
              EXPECT_EQ(tDataList::ItemSize(Item), 4 + tDataList::ItemKey(Item) % 4);
            }
          }
        }
      }
    } catch (const tNqError&) {
      return false;
    }
    return true;
  }

 private:
  struct tRecord {
    int Kind = 0;
    uint16_t Word = 0;
    std::vector<uint8_t> Bytes;
    uint16_t BufSize = 0;
  };
  std::vector<tRecord> Records;
};

TEST(NqStream, ARecordSequenceCutAtEveryLengthReadsBackWholeOrFails) {
  std::mt19937 Rng(1607);
  tReadModes Files;
  for (int Round = 0; Round < 150; ++Round) {
    const tRecordSequence Sequence(Rng);
    const std::vector<uint8_t> Whole = Sequence.Write();
    // Every cut in memory; through files in the first rounds (each cut is a file opened).
    for (const uint16_t Mode : tReadModes::Modes) {
      if (Mode != MemoryOnly && Round >= 4) continue;
      for (size_t Cut = 0; Cut <= Whole.size(); ++Cut) {
        SCOPED_TRACE(testing::Message() << "round " << Round << ", mode " << Mode << ", cut at "
                                        << Cut << " of " << Whole.size());
        auto S = Files.Open(Mode, std::vector<uint8_t>(Whole.begin(), Whole.begin() + Cut));
        EXPECT_EQ(Sequence.ReadBack(*S), Cut == Whole.size());
        if (testing::Test::HasFailure()) return;
      }
    }
  }
}

// ---- Lists ----

std::unique_ptr<tDataList> MakeList(std::initializer_list<uint16_t> Keys) {
  auto L = std::make_unique<tDataList>(0, "Keys");
  for (const uint16_t k : Keys)
    L->CreateItem(4, k);
  return L;
}

std::vector<uint16_t> KeysOf(const tDataList& L) {
  std::vector<uint16_t> Keys;
  for (int32_t i = 0; i < L.Count(); ++i)
    Keys.push_back(tDataList::ItemKey(L.Get(i)));
  return Keys;
}

TEST(NqLists, SearchFindsTheFirstOfEqualKeysOrTheInsertionPoint) {
  tDataList Empty(0, "Empty");
  int32_t Index = -1;
  uint8_t Key[2] = {5, 0};
  EXPECT_FALSE(Empty.Search(Key, Index));
  EXPECT_EQ(Index, 0);

  tDataList L(0, "Keys");
  L.CreateItem(4, 9);
  uint8_t* FirstFive = L.CreateItem(4, 5);
  L.CreateItem(4, 2);
  uint8_t* SecondFive = L.CreateItem(6, 5);
  EXPECT_EQ(KeysOf(L), (std::vector<uint16_t>{2, 5, 5, 9}));
  // Add puts an equal key before the existing one.
  EXPECT_EQ(L.Get(1), SecondFive);
  EXPECT_EQ(L.Get(2), FirstFive);

  const std::vector<std::pair<uint16_t, std::pair<bool, int32_t>>> Cases = {
      {5, {true, 1}}, {6, {false, 3}}, {10, {false, 4}}, {1, {false, 0}}, {9, {true, 3}}};
  for (const auto& [k, Want] : Cases) {
    uint8_t K[2] = {static_cast<uint8_t>(k), 0};
    EXPECT_EQ(L.Search(K, Index), Want.first) << k;
    EXPECT_EQ(Index, Want.second) << k;
  }
  EXPECT_EQ(L.FindItem(5), SecondFive);
  EXPECT_EQ(L.FindItem(7), nullptr);
}

TEST(NqLists, KeysCompareUnsigned) {
  auto L = MakeList({0x8000, 1, 0xFFFF, 0x7FFF});
  EXPECT_EQ(KeysOf(*L), (std::vector<uint16_t>{1, 0x7FFF, 0x8000, 0xFFFF}));
}

TEST(NqLists, CreateItemWritesItsHeaderAndZeroFillsThePayload) {
  tDataList L(0, "Items");
  const uint8_t* Item = L.CreateItem(8, 3);
  ASSERT_NE(Item, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(Item, Item + 8), (std::vector<uint8_t>{8, 0, 3, 0, 0, 0, 0, 0}));
  EXPECT_EQ(L.CreateItem(0, 3), nullptr);
  EXPECT_EQ(L.Count(), 1);
  EXPECT_THROW(L.CreateItem(3, 3), tNqListError);  // smaller than its header
  EXPECT_EQ(L.Count(), 1);
}

TEST(NqLists, StoreWritesTheCountAndEveryItemVerbatim) {
  tDataList L(0, "Two");
  uint8_t* Six = L.CreateItem(6, 0x0102);
  Six[4] = 0xAA;
  Six[5] = 0xBB;
  L.CreateItem(4, 0x0001);
  tNqStream S("", MemoryOnly);
  L.Store(S);
  EXPECT_EQ(WrittenBytes(S), (std::vector<uint8_t>{2, 0, 0, 0,  // count
                                                   4, 0, 1, 0,  // key 1 first
                                                   6, 0, 2, 1, 0xAA, 0xBB}));
}

TEST(NqLists, IndexErrorsNameTheListClass) {
  tDataList L(0, "Errors");
  try {
    L.Get(7);
    FAIL() << "index 7 of an empty list was accepted";
  } catch (const tNqListError& E) {
    EXPECT_EQ(std::string(E.what()), "List index out of bounds (7) [tDataList]");
  }
  EXPECT_THROW(L.Delete(0), tNqListError);
  EXPECT_THROW(L.SetCapacity(-1), tNqListError);
}

// An owned object that counts its destruction.
struct tCounted : tNqObject {
  explicit tCounted(int& aCount) : Count(aCount) {}
  ~tCounted() override { ++Count; }
  int& Count;
};

class tObjectList : public tNqList {
 public:
  tObjectList() : tNqList(4, "A description that is too long") {}
  void* LoadItem(tNqStream&) override { return nullptr; }
  void StoreItem(tNqStream&, void*) override {}
};

TEST(NqLists, ClearReleasesOwnedItemsOnceAndLeavesOthersAlive) {
  int Released = 0;
  tCounted A(Released), B(Released);
  {
    tObjectList NotOwning;
    EXPECT_EQ(NotOwning.GetDescription(), "A description t");  // 15 characters
    NotOwning.AutoFree = false;
    NotOwning.Add(&A);
    NotOwning.Add(&B);
    NotOwning.Clear();
    EXPECT_EQ(NotOwning.Count(), 0);
    EXPECT_EQ(NotOwning.Capacity(), 0);
  }
  EXPECT_EQ(Released, 0);

  tObjectList Owning;
  Owning.Add(new tCounted(Released));
  Owning.Add(new tCounted(Released));
  Owning.Add(nullptr);
  Owning.Clear();
  EXPECT_EQ(Released, 2);
  Owning.Add(new tCounted(Released));
  // Destroying the list releases what it still owns.
  {
    tObjectList Temporary;
    Temporary.Add(new tCounted(Released));
  }
  EXPECT_EQ(Released, 3);
  void* Item = Owning.Get(0);
  Owning.FreeItem(Item);
  EXPECT_EQ(Released, 4);
  EXPECT_EQ(Owning.Count(), 0);
}

TEST(NqLists, SameAsComparesItemReferencesNotContents) {
  auto A = MakeList({1, 2});
  auto B = MakeList({1, 2});  // equal keys, other blocks
  EXPECT_FALSE(A->SameAs(B.get()));
  EXPECT_FALSE(A->SameAs(nullptr));
  tDataList Shared(0, "Shared");
  Shared.AutoFree = false;  // A owns the blocks
  A->CopyTo(Shared);
  EXPECT_TRUE(A->SameAs(&Shared));
  EXPECT_TRUE(Shared.SameAs(A.get()));
  Shared.Delete(1);
  EXPECT_FALSE(A->SameAs(&Shared));
}

TEST(NqLists, CopyToNeverLetsTwoListsOwnTheSameItems) {
  int Released = 0;
  {
    tObjectList Owner;
    Owner.Add(new tCounted(Released));
    Owner.Add(new tCounted(Released));
    tObjectList AlsoOwning;
    EXPECT_THROW(Owner.CopyTo(AlsoOwning), tNqListError);
    EXPECT_EQ(AlsoOwning.Count(), 0);
    EXPECT_THROW(Owner.CopyTo(Owner), tNqListError);
    EXPECT_EQ(Owner.Count(), 2);
    tObjectList Viewer;
    Viewer.AutoFree = false;
    Owner.CopyTo(Viewer);
    EXPECT_TRUE(Viewer.SameAs(&Owner));
    // Items nobody owns may be handed to one owner.
    tObjectList Lender;
    Lender.AutoFree = false;
    Lender.Add(new tCounted(Released));
    tObjectList Taker;
    Lender.CopyTo(Taker);
  }
  EXPECT_EQ(Released, 3);  // each item once
}

TEST(NqLists, ASortedListStaysSortedHoweverItIsAddedTo) {
  auto L = MakeList({2, 9});
  tList& Base = *L;
  Base.Add(new uint8_t[4]{4, 0, 5, 0});
  EXPECT_EQ(KeysOf(*L), (std::vector<uint16_t>{2, 5, 9}));
  // Copied items are added in key order too.
  auto S = StreamOf({2, 0, 0, 0, 4, 0, 7, 0, 4, 0, 1, 0});
  auto Unsorted = tNqList::Load<tDataList>(*S);
  Unsorted->AutoFree = false;  // L takes them over
  Unsorted->CopyTo(*L);
  EXPECT_EQ(KeysOf(*L), (std::vector<uint16_t>{1, 2, 5, 7, 9}));
  // An insertion or a replacement out of key order is refused and changes nothing.
  auto Big = std::unique_ptr<uint8_t[]>(new uint8_t[4]{4, 0, 100, 0});
  EXPECT_THROW(Base.Insert(0, Big.get()), tNqListError);
  EXPECT_THROW(Base.Put(0, Big.get()), tNqListError);
  EXPECT_EQ(KeysOf(*L), (std::vector<uint16_t>{1, 2, 5, 7, 9}));
  Base.Insert(L->Count(), Big.release());  // where it belongs
  EXPECT_EQ(KeysOf(*L), (std::vector<uint16_t>{1, 2, 5, 7, 9, 100}));
}

TEST(NqLists, AStoredListLoadsBackThroughAFileInKeyOrder) {
  tTempFolder Temp;
  const std::string Path = Temp.File("lists/arcs.nq");
  std::vector<uint8_t> Stored;
  {
    tDataList L(0, "Arcs");
    for (const uint16_t k : {40, 3, 17, 3}) {
      uint8_t* Item = L.CreateItem(static_cast<uint16_t>(4 + k % 7), k);
      for (int i = 4; i < 4 + k % 7; ++i)
        Item[i] = static_cast<uint8_t>(k + i);
    }
    tNqStream S(Path, fmCreate);
    S.WriteObjectID(42);
    L.Store(S);
    S.StrWrite("end");
    Stored = WrittenBytes(S);
  }
  EXPECT_EQ(FileBytes(Path), Stored);

  tNqStream S(Path, fmOpenRead);
  S.CheckObjectID(42, "Arcs");
  auto Loaded = tNqList::Load<tDataList>(S);
  EXPECT_EQ(Loaded->GetDescription(), "");
  EXPECT_TRUE(Loaded->AutoFree);
  EXPECT_EQ(KeysOf(*Loaded), (std::vector<uint16_t>{3, 3, 17, 40}));
  EXPECT_EQ(S.StrRead(), "end");
  EXPECT_TRUE(S.Finished());
  const uint8_t* Arc = Loaded->FindItem(17);
  ASSERT_NE(Arc, nullptr);
  EXPECT_EQ(tDataList::ItemSize(Arc), 7);
  EXPECT_EQ(Arc[6], 17 + 6);
  // The loaded list keeps its order for later additions.
  Loaded->CreateItem(4, 10);
  EXPECT_EQ(KeysOf(*Loaded), (std::vector<uint16_t>{3, 3, 10, 17, 40}));
}

TEST(NqLists, StreamsThatLieAboutWhatTheyHoldAreRefused) {
  const std::vector<std::vector<uint8_t>> Lies = {
      {},                                       // no count
      {1, 0},                                   // half a count
      {0xFF, 0xFF, 0xFF, 0xFF},                 // count -1
      {0xFF, 0xFF, 0xFF, 0x7F, 4, 0, 1, 0},     // a count the stream cannot hold
      {2, 0, 0, 0, 4, 0, 1, 0},                 // the second item is missing
      {1, 0, 0, 0, 2, 0, 1, 0},                 // an item smaller than its header
      {1, 0, 0, 0, 3, 0, 1},                    // ditto
      {1, 0, 0, 0, 9, 0, 1, 0, 0},              // an item beyond the stream's end
      {2, 0, 0, 0, 4, 0, 1, 0, 0xFF, 0xFF, 1},  // the same, after a good item
  };
  for (const auto& Bytes : Lies) {
    auto S = StreamOf(Bytes);
    EXPECT_THROW(tNqList::Load<tDataList>(*S), tNqStreamError) << testing::PrintToString(Bytes);
  }
}

TEST(NqLists, ASizeZeroItemLoadsAsNullAndStoresBackTheSame) {
  const std::vector<uint8_t> Bytes = {2, 0, 0, 0, 0, 0, 4, 0, 7, 0};
  auto S = StreamOf(Bytes);
  auto L = tNqList::Load<tDataList>(*S);
  ASSERT_EQ(L->Count(), 2);
  EXPECT_EQ(L->Get(0), nullptr);
  EXPECT_EQ(L->FindItem(7), L->Get(1));
  L->CreateItem(4, 0);  // a null item sorts before every key
  EXPECT_EQ(tDataList::ItemKey(L->Get(1)), 0);
  L->FreeItem(L->Get(1));
  tNqStream Out("", MemoryOnly);
  L->Store(Out);
  EXPECT_EQ(WrittenBytes(Out), Bytes);
}

TEST(NqLists, AListLoadedOutOfKeyOrderNeverAnswersWithAnotherKey) {
  // Stored as 9, 2, 5: loading appends in stream order and does not sort.
  auto S = StreamOf({3, 0, 0, 0, 4, 0, 9, 0, 4, 0, 2, 0, 4, 0, 5, 0});
  auto L = tNqList::Load<tDataList>(*S);
  EXPECT_EQ(KeysOf(*L), (std::vector<uint16_t>{9, 2, 5}));
  for (const uint16_t k : {0, 2, 3, 5, 9, 10}) {
    const uint8_t* Found = L->FindItem(k);
    if (Found != nullptr) {
      EXPECT_EQ(tDataList::ItemKey(Found), k);
    }
  }
  EXPECT_NE(L->FindItem(5), nullptr);
}

TEST(NqLists, RandomAdditionsStaySortedAndRoundTripByteForByte) {
  std::mt19937 Rng(20261207);
  for (int Round = 0; Round < 50; ++Round) {
    tDataList L(0, "Random");
    std::vector<uint16_t> Keys;
    const int n = std::uniform_int_distribution<int>(0, 60)(Rng);
    for (int i = 0; i < n; ++i) {
      const auto k = static_cast<uint16_t>(std::uniform_int_distribution<int>(0, 20)(Rng) * 3000);
      const auto Size = static_cast<uint16_t>(std::uniform_int_distribution<int>(4, 40)(Rng));
      uint8_t* Item = L.CreateItem(Size, k);
      if (Size > 4) Item[Size - 1] = static_cast<uint8_t>(i);
      Keys.push_back(k);
      // The new item is the first of its key.
      ASSERT_EQ(L.FindItem(k), Item);
    }
    std::sort(Keys.begin(), Keys.end());
    ASSERT_EQ(KeysOf(L), Keys);
    for (int i = 0; i < 10; ++i) {
      const auto k = static_cast<uint16_t>(std::uniform_int_distribution<int>(0, 65535)(Rng));
      int32_t Index = 0;
      uint8_t K[2] = {static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8)};
      const bool Found = L.Search(K, Index);
      const auto First = std::lower_bound(Keys.begin(), Keys.end(), k);
      ASSERT_EQ(Index, First - Keys.begin());
      ASSERT_EQ(Found, First != Keys.end() && *First == k);
    }
    tNqStream S("", MemoryOnly);
    L.Store(S);
    const auto Bytes = WrittenBytes(S);
    auto R = StreamOf(Bytes);
    auto Loaded = tNqList::Load<tDataList>(*R);
    tNqStream Again("", MemoryOnly);
    Loaded->Store(Again);
    ASSERT_EQ(WrittenBytes(Again), Bytes);
  }
}

TEST(NqLists, TheGlobalListsHaveTheirCapacitiesAndOwnership) {
  CreateGlobalLists();
  ASSERT_TRUE(TrackArc32List && BackBufferList && TouchedKnobs32);
  EXPECT_EQ(TrackArc32List->GetDescription(), "TrackArc32List");
  EXPECT_EQ(TrackArc32List->Capacity(), 32);
  EXPECT_TRUE(TrackArc32List->AutoFree);
  EXPECT_EQ(BackBufferList->GetDescription(), "BackBufferList");
  EXPECT_EQ(BackBufferList->Capacity(), 32);
  EXPECT_TRUE(BackBufferList->AutoFree);
  EXPECT_EQ(TouchedKnobs32->GetDescription(), "TouchedKnobs32");
  EXPECT_EQ(TouchedKnobs32->Capacity(), 8);
  EXPECT_FALSE(TouchedKnobs32->AutoFree);

  int Released = 0;
  tCounted Knob(Released);
  TouchedKnobs32->Add(&Knob);
  auto* Buffer = new tCounted(Released);
  BackBufferList->Add(Buffer);
  EXPECT_EQ(BackBufferList->IndexOf(Buffer), 0);
  TrackArc32List->CreateItem(16, 1);
  tNqStream S("", MemoryOnly);
  EXPECT_THROW(BackBufferList->Store(S), tNqStreamError);
  EXPECT_EQ(BackBufferList->Count(), 1);
  DestroyGlobalLists();
  EXPECT_FALSE(TrackArc32List || BackBufferList || TouchedKnobs32);
  EXPECT_EQ(Released, 1);  // the back buffer, not the knob
}

}  // namespace

// Tagged object streams and keyed lists.
//
// tNqStream adds typed little-endian records to TNonBufferedFileStreamViaMem: 16-bit object
// identifiers, length-prefixed blocks and length-prefixed strings. tNqList is a list of item
// pointers that can own its items and write itself to, and read itself from, such a stream
// (a signed 32-bit count, then the items as the list class stores them); tSortedList keeps
// its items in key order with a binary search; tDataList holds self-describing memory blocks
// (16-bit size including the 4-byte header, 16-bit key, payload), written verbatim.
//
// Errors raise tNqError subclasses (NqError.h): tNqInOutError for a wrong object
// identifier; tNqListError for a list index, count or order error (its message names the
// list's class); tNqStreamError for data that ends early ("Stream read error"), a write the
// stream cannot take ("Stream write error", with the system's reason when there is one) and
// a stream that lies about what it holds. A read that raises has given the caller nothing
// it could mistake for data; a list operation that raises leaves the list as it was.
//
// Ownership: a tNqList with AutoFree (the default) owns its items and releases each once,
// when FreeItem removes it or the list is cleared or destroyed; items of an owning tNqList
// are objects derived from tNqObject (a tDataList's are its memory blocks). An item has at
// most one owning list: CopyTo shares items, never copies them, and refuses to make a
// second owner. A loaded list owns what it loaded. User-interface thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "lib/persist/List.h"
#include "lib/persist/nonbuf_filestream.h"

class tNqStream : public TNonBufferedFileStreamViaMem {
 public:
  using TNonBufferedFileStreamViaMem::TNonBufferedFileStreamViaMem;

  // Every read takes the whole record or raises "Stream read error" (a record cut short,
  // a block or string longer than what remains), in every open mode. Writes raise "Stream
  // write error" when the stream takes fewer bytes than given, so nothing is lost silently.
  uint16_t ReadObjectID();
  void WriteObjectID(uint16_t ID);
  // Reads an identifier; a different one than ObjectID raises tNqInOutError "Invalid
  // <Description> object: <read> read instead of <ObjectID>" with help context
  // ObjectID + 1000.
  void CheckObjectID(uint16_t ObjectID, const std::string& Description);
  // Reads a length-prefixed block into abufsize bytes at buf: a shorter block is followed by
  // zeros, a longer one is cut and the stream is left after its end.
  void ReadLen(void* buf, uint16_t abufsize);
  void WriteLen(const void* buf, uint16_t abufsize);
  // A stored length above 255 raises tNqStreamError.
  std::string StrRead();
  // Writes at most the first 255 characters of s.
  void StrWrite(const std::string& s);
  // True when the position equals the size.
  bool Finished();

  int32_t ReadInt32();
  void WriteInt32(int32_t Value);
  uint16_t ReadWord();
  void WriteWord(uint16_t Value);
  // Bytes between the position and the end (0 when the position lies beyond it).
  int64_t Remaining();
};

// Base of objects an owning tNqList releases.
class tNqObject {
 public:
  virtual ~tNqObject() = default;
};

class tNqList : public tList {
 public:
  static constexpr size_t MaxDescription = 15;

  // Create: Description (at most 15 characters), capacity, AutoFree true.
  tNqList(int32_t aCapacity, std::string_view aDescription);
  // Releases owned items. A subclass that overrides FreeItem clears in its own destructor,
  // since here only tNqList's FreeItem is reached.
  ~tNqList() override;

  // Load: makes a list of class tListClass from S. Reads the count N and refuses one the
  // stream cannot hold; sets the capacity to N, the Description to empty and AutoFree to
  // true; then N times LoadItem, appending in stream order (never sorted). A failing item
  // releases the list and every item loaded so far.
  template <class tListClass>
  static std::unique_ptr<tListClass> Load(tNqStream& S);

  // Writes the count (4 bytes), then StoreItem for every item in index order.
  virtual void Store(tNqStream& S);
  virtual void* LoadItem(tNqStream& S) = 0;
  virtual void StoreItem(tNqStream& S, void* Item) = 0;
  // Removes the first occurrence of Item; then, if Item is not null and the list owns its
  // items, destroys it (as a tNqObject).
  virtual void FreeItem(void* Item);
  // Frees the items from the first on, then empties the list and drops its capacity.
  void Clear() override;
  // Appends every item, in index order, to aList with aList's own Add (a sorted list stays
  // sorted). The items are shared, not copied: when this list owns them and aList is an
  // owning tNqList, nothing is appended and a list error is raised, since both would release
  // them. Handing items this list does not own to one owning list is allowed.
  void CopyTo(tList& aList) const;
  // True when aList exists and holds the same item references in the same order.
  bool SameAs(const tList* aList) const;

  std::string_view ClassName() const override { return "tNqList"; }
  const std::string& GetDescription() const { return Description; }

  bool AutoFree = true;

 protected:
  // Adds " [<class name>]" to the template before raising.
  [[noreturn]] void Error(const std::string& Msg, int32_t Data) const override;
  // The fewest bytes one stored item takes; bounds the count a stream can hold.
  virtual int64_t MinStoredItemSize() const { return 1; }
  void Create(int32_t aCapacity, std::string_view aDescription);
  void LoadFrom(tNqStream& S);

  std::string Description;
};

// Compares the key of a stored item (first) with a searched key (second): negative,
// zero or positive.
using tKeyCompare = int (*)(const void* StoredKey, const void* SearchedKey);

class tSortedList : public tNqList {
 public:
  tSortedList(int32_t aCapacity, std::string_view aDescription, tKeyCompare aCompare);

  // The key reference of an item: here the item itself.
  virtual const void* KeyOf(const void* anItem) const { return anItem; }
  // Binary search: anIndex becomes the first index whose key is not smaller than aKey (the
  // first of several equal keys, or where aKey would be inserted); true when it is equal.
  bool Search(const void* aKey, int32_t& anIndex) const;
  // Inserts Item before any items of an equal key; returns its index. Reached also through
  // a tList reference (CopyTo uses it), so the list stays in key order however it is added
  // to.
  int32_t Add(void* Item) override;
  // Insert and Put at an index where Item's key does not fit between its neighbours raise a
  // list error and change nothing.
  void Insert(int32_t Index, void* Item) override;
  void Put(int32_t Index, void* Item) override;

  std::string_view ClassName() const override { return "tSortedList"; }

  tKeyCompare Compare = nullptr;

 private:
  // Item's key is not below the key at Before nor above the key at After (either index may
  // lie outside the list).
  bool FitsBetween(int32_t Before, int32_t After, const void* Item) const;
};

class tDataList : public tSortedList {
 public:
  static constexpr uint16_t HeaderSize = 4;

  tDataList(int32_t aCapacity, std::string_view aDescription);
  ~tDataList() override;

  // The address of the item's key, 2 bytes into it; null for a null item.
  const void* KeyOf(const void* anItem) const override;
  // A new zero-filled block of Size bytes with Size and Key in its header, added in key
  // order. Size 0 gives null and adds nothing; a Size below the header raises an error.
  virtual uint8_t* CreateItem(uint16_t Size, uint16_t Key);
  // The first item with Key, or null. In a list loaded out of key order an item of Key may
  // be missed, but an item of another key is never returned.
  uint8_t* FindItem(uint16_t Key) const;
  // Reads Size, then Size - 2 bytes after it. Size 0 gives a null item; a Size below the
  // header, or one that reaches beyond the stream's end, raises an error.
  void* LoadItem(tNqStream& S) override;
  // Writes the item as it lies in memory (Size bytes); a null item is written as Size 0.
  void StoreItem(tNqStream& S, void* Item) override;
  void FreeItem(void* Item) override;

  std::string_view ClassName() const override { return "tDataList"; }

  // Size and key of an item, read from its header.
  static uint16_t ItemSize(const void* Item);
  static uint16_t ItemKey(const void* Item);
  // The key order: a null key (of a null item) before every other key.
  static int CompareKeys(const void* StoredKey, const void* SearchedKey);

 protected:
  int64_t MinStoredItemSize() const override { return 2; }
};

// The instrument-control library's three global lists, created at start-up.
class tTrackArcList : public tDataList {
 public:
  tTrackArcList();
  ~tTrackArcList() override;
  std::string_view ClassName() const override { return "tTrackArcList"; }
};

// Owns its items (tNqObject), kept in address order. Its items are not stored in streams:
// LoadItem and StoreItem raise an error.
class tBackBufferList : public tSortedList {
 public:
  tBackBufferList();
  ~tBackBufferList() override;
  void* LoadItem(tNqStream& S) override;
  void StoreItem(tNqStream& S, void* Item) override;
  std::string_view ClassName() const override { return "tBackBufferList"; }
};

// Refers to controls it does not own. Its items are not stored in streams.
class tTouchedKnobsList : public tNqList {
 public:
  tTouchedKnobsList();
  ~tTouchedKnobsList() override;
  void* LoadItem(tNqStream& S) override;
  void StoreItem(tNqStream& S, void* Item) override;
  std::string_view ClassName() const override { return "tTouchedKnobsList"; }
};

// Capacity 32, "TrackArc32List".
extern std::unique_ptr<tTrackArcList> TrackArc32List;
// Capacity 32, "BackBufferList".
extern std::unique_ptr<tBackBufferList> BackBufferList;
// Capacity 8, "TouchedKnobs32", not owning its items.
extern std::unique_ptr<tTouchedKnobsList> TouchedKnobs32;

// Creates the three global lists (those already there are kept). Called by the start-up.
void CreateGlobalLists();
// Destroys them, releasing the items they own.
void DestroyGlobalLists();

template <class tListClass>
std::unique_ptr<tListClass> tNqList::Load(tNqStream& S) {
  static_assert(std::is_base_of_v<tNqList, tListClass>);
  std::unique_ptr<tListClass> List;
  if constexpr (std::is_default_constructible_v<tListClass>)
    List = std::make_unique<tListClass>();
  else
    List = std::make_unique<tListClass>(0, std::string_view{});
  List->LoadFrom(S);
  return List;
}

#include "lib/persist/List.h"

#include <new>

#include "lib/persist/NqError.h"

void tList::Error(const std::string& Msg, int32_t Data) const {
  std::string Text = Msg;
  const auto At = Text.find("%d");
  if (At != std::string::npos) Text.replace(At, 2, std::to_string(Data));
  throw tNqListError(Text);
}

void tList::SetCapacity(int32_t NewCapacity) {
  if (NewCapacity < Count() || NewCapacity > MaxListSize)
    Error("List capacity out of bounds (%d)", NewCapacity);
  try {
    if (NewCapacity > FCapacity) {
      FList.reserve(static_cast<size_t>(NewCapacity));
    } else if (NewCapacity < FCapacity) {
      std::vector<void*> Smaller;
      Smaller.reserve(static_cast<size_t>(NewCapacity));
      Smaller.assign(FList.begin(), FList.end());
      FList.swap(Smaller);
    }
  } catch (const std::bad_alloc&) {
    Error("Out of memory for list capacity (%d)", NewCapacity);
  }
  FCapacity = NewCapacity;
}

void* tList::Get(int32_t Index) const {
  if (Index < 0 || Index >= Count()) Error("List index out of bounds (%d)", Index);
  return FList[static_cast<size_t>(Index)];
}

void tList::Put(int32_t Index, void* Item) {
  PutItem(Index, Item);
}

void tList::PutItem(int32_t Index, void* Item) {
  if (Index < 0 || Index >= Count()) Error("List index out of bounds (%d)", Index);
  void* Old = FList[static_cast<size_t>(Index)];
  FList[static_cast<size_t>(Index)] = Item;
  if (Old != Item) {
    if (Old != nullptr) Notify(Old, ln_Deleted);
    if (Item != nullptr) Notify(Item, ln_Added);
  }
}

int32_t tList::Add(void* Item) {
  const int32_t Index = Count();
  InsertItem(Index, Item);
  return Index;
}

void tList::Insert(int32_t Index, void* Item) {
  InsertItem(Index, Item);
}

void tList::InsertItem(int32_t Index, void* Item) {
  if (Index < 0 || Index > Count()) Error("List index out of bounds (%d)", Index);
  if (Count() == FCapacity) Grow();
  if (Count() == FCapacity) Error("List count out of bounds (%d)", Count());
  FList.insert(FList.begin() + Index, Item);
  if (Item != nullptr) Notify(Item, ln_Added);
}

void tList::Delete(int32_t Index) {
  if (Index < 0 || Index >= Count()) Error("List index out of bounds (%d)", Index);
  void* Item = FList[static_cast<size_t>(Index)];
  FList.erase(FList.begin() + Index);
  if (Item != nullptr) Notify(Item, ln_Deleted);
}

int32_t tList::Remove(void* Item) {
  const int32_t Index = IndexOf(Item);
  if (Index >= 0) Delete(Index);
  return Index;
}

int32_t tList::IndexOf(const void* Item) const {
  for (size_t i = 0; i < FList.size(); ++i)
    if (FList[i] == Item) return static_cast<int32_t>(i);
  return -1;
}

void tList::Clear() {
  std::vector<void*>().swap(FList);
  FCapacity = 0;
}

void tList::Grow() {
  const int32_t Delta = FCapacity > 64 ? FCapacity / 4 : FCapacity > 8 ? 16 : 4;
  const int32_t Wanted = FCapacity > MaxListSize - Delta ? MaxListSize : FCapacity + Delta;
  if (Wanted > FCapacity) SetCapacity(Wanted);
}

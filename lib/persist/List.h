// The growable list of untyped item pointers that the library's lists and the curve
// manager build on.
//
// Index, count and capacity errors go through the overridable Error, which raises a
// tNqListError formatted from a message template and a number ("%d" stands for the number);
// subclasses add their class name to the template; a raised error leaves the list as it
// was. The list never owns its items. Add, Insert and Put are virtual, so a subclass that
// keeps an order (tSortedList) keeps it also when it is reached through a tList reference.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class tList {
 public:
  // The most items a list can hold.
  static constexpr int32_t MaxListSize = INT32_MAX / 16;
  enum tListNotification : uint8_t { ln_Added, ln_Extracted, ln_Deleted };

  tList() = default;
  virtual ~tList() = default;
  tList(const tList&) = delete;
  tList& operator=(const tList&) = delete;

  int32_t Count() const { return static_cast<int32_t>(FList.size()); }
  int32_t Capacity() const { return FCapacity; }
  void SetCapacity(int32_t NewCapacity);
  void* Get(int32_t Index) const;
  // Replaces the item at Index.
  virtual void Put(int32_t Index, void* Item);
  // Appends Item; returns its index.
  virtual int32_t Add(void* Item);
  // Inserts Item before the item at Index (0..Count).
  virtual void Insert(int32_t Index, void* Item);
  void Delete(int32_t Index);
  // Removes the first occurrence of Item; its former index, or -1 when it was not there.
  int32_t Remove(void* Item);
  int32_t IndexOf(const void* Item) const;
  // Empties the list and drops its capacity.
  virtual void Clear();

  // The class name that list errors carry.
  virtual std::string_view ClassName() const { return "tList"; }

 protected:
  // Raises a tNqListError from Msg with Data in place of "%d".
  [[noreturn]] virtual void Error(const std::string& Msg, int32_t Data) const;
  // Makes room when an item is added to a full list.
  virtual void Grow();
  // Called for every item added to or removed from the list.
  virtual void Notify(void* /*Item*/, tListNotification /*Action*/) {}
  // Insert and Put as this class does them, for subclasses that have checked the order.
  void InsertItem(int32_t Index, void* Item);
  void PutItem(int32_t Index, void* Item);

 private:
  std::vector<void*> FList;
  int32_t FCapacity = 0;
};

// The growable list of untyped item pointers that the library's lists and the curve
// manager build on.
//
// Index, count and capacity errors go through the overridable Error, which raises a
// tNqListError formatted from a message template and a number ("%d" stands for the number);
// subclasses add their class name to the template. The list never owns its items.
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
  void Put(int32_t Index, void* Item);
  // Appends Item; returns its index.
  int32_t Add(void* Item);
  void Insert(int32_t Index, void* Item);
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

 private:
  std::vector<void*> FList;
  int32_t FCapacity = 0;
};

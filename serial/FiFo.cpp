#include "serial/FiFo.h"

#include <cstring>
#include <stdexcept>

tFiFo::tFiFo(int32_t aElementSize, int32_t FiFoSize)
    : ElementSize(aElementSize), SizeMask(FiFoSize - 1) {
  // A size that is not a positive power of two, or not a whole number of elements, would
  // let the masked positions fall between elements or outside the buffer.
  const bool PowerOfTwo = FiFoSize > 0 && (FiFoSize & SizeMask) == 0;
  const bool WholeElements = aElementSize > 0 && FiFoSize % aElementSize == 0;
  if (!PowerOfTwo || !WholeElements) throw std::runtime_error("tFiFo.Create failed");
  Buffer = std::make_unique<uint8_t[]>(static_cast<size_t>(FiFoSize));
  Clear();
}

tFiFo::~tFiFo() = default;

void tFiFo::Clear() {
  std::lock_guard<std::mutex> Guard(Lock);
  InPos = 0;
  OutPos = 0;
  Count = 0;
}

bool tFiFo::Full() const {
  return IncPos(InPos) == OutPos;
}

bool tFiFo::Empty() const {
  return OutPos == InPos;
}

bool tFiFo::Store(const void* E) {
  std::lock_guard<std::mutex> Guard(Lock);
  const int32_t In = InPos.load(std::memory_order_relaxed);
  const int32_t Next = IncPos(In);
  if (Next == OutPos.load(std::memory_order_acquire)) return false;
  MoveVar(E, Buffer.get() + In);
  // Release: the element's bytes are visible before the consumer sees the new position.
  InPos.store(Next, std::memory_order_release);
  Count.fetch_add(1, std::memory_order_release);
  return true;
}

bool tFiFo::Retrieve(void* E) {
  std::lock_guard<std::mutex> Guard(Lock);
  const int32_t Out = OutPos.load(std::memory_order_relaxed);
  if (InPos.load(std::memory_order_acquire) == Out) return false;
  MoveVar(Buffer.get() + Out, E);
  OutPos.store(IncPos(Out), std::memory_order_release);
  Count.fetch_sub(1, std::memory_order_release);
  return true;
}

bool tFiFo::Peek(void* E) const {
  const int32_t Out = OutPos.load(std::memory_order_acquire);
  if (InPos.load(std::memory_order_acquire) == Out) return false;
  MoveVar(Buffer.get() + Out, E);
  return true;
}

uint8_t tFiFo::SpaceUsed() const {
  const int64_t Used = (InPos - OutPos) & SizeMask;
  return static_cast<uint8_t>((Used * 256) / (int64_t{SizeMask} + 1));
}

int32_t tFiFo::SpaceFree() const {
  return ((OutPos - InPos - 1) & SizeMask) / ElementSize;
}

void tFiFo::MoveVar(const void* FromVar, void* ToVar) const {
  std::memcpy(ToVar, FromVar, static_cast<size_t>(ElementSize));
}

tWordFiFo::tWordFiFo(int32_t Entries) : tFiFo(2, BufferSizeFor(Entries)) {}

int32_t tWordFiFo::BufferSizeFor(int32_t Entries) {
  uint32_t n = 2u * static_cast<uint32_t>(Entries);
  if (n != 0 && (n & (n - 1)) != 0) {
    int32_t Shifts = 1;
    while (n != 1) {
      n >>= 1;
      ++Shifts;
    }
    n = 1u << Shifts;
  }
  return static_cast<int32_t>(n);
}

void tWordFiFo::MoveVar(const void* FromVar, void* ToVar) const {
  uint16_t Word;
  std::memcpy(&Word, FromVar, sizeof Word);
  std::memcpy(ToVar, &Word, sizeof Word);
}

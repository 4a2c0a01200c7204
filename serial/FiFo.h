// Fixed-capacity ring queue for exactly one producer thread and one consumer thread.
//
// Threading contract:
//   - Store is called by the producer only; Retrieve and Peek by the consumer only.
//   - Clear is called by the user-interface thread (which is one of the two sides).
//   - Store, Retrieve and Clear hold Lock for their whole run; everything else reads
//     InPos, OutPos and Count without the lock, as atomic snapshots.
// With one producer the free space it sees can only grow until it stores again; with one
// consumer a non-empty queue stays non-empty until it retrieves.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class tFiFo {
 public:
  // Buffer of FiFoSize bytes holding elements of aElementSize bytes. FiFoSize must be a
  // power of two and a whole multiple of aElementSize, else this throws
  // std::runtime_error("tFiFo.Create failed"). One slot always stays free, so the capacity
  // is FiFoSize / aElementSize - 1 elements.
  tFiFo(int32_t aElementSize, int32_t FiFoSize);
  virtual ~tFiFo();
  tFiFo(const tFiFo&) = delete;
  tFiFo& operator=(const tFiFo&) = delete;

  virtual void Clear();
  virtual bool Full() const;
  virtual bool Empty() const;
  // Copies one element of ElementSize bytes from E into the queue; false when full.
  virtual bool Store(const void* E);
  // Moves the oldest element into E; false (E untouched) when empty.
  virtual bool Retrieve(void* E);
  // Copies the oldest element into E without removing it; false (E untouched) when empty.
  virtual bool Peek(void* E) const;
  // Fill level in 256ths: 0 empty, 255 for a full queue.
  virtual uint8_t SpaceUsed() const;
  // Elements Store can still accept.
  virtual int32_t SpaceFree() const;

  int32_t IncPos(int32_t FromPos) const { return (FromPos + ElementSize) & SizeMask; }

  const int32_t ElementSize;
  const int32_t SizeMask;
  std::atomic<int32_t> InPos{0};
  std::atomic<int32_t> OutPos{0};
  std::atomic<int32_t> Count{0};

 protected:
  // Every copy of an element goes through here, so a subclass can copy its type directly.
  virtual void MoveVar(const void* FromVar, void* ToVar) const;

 private:
  std::mutex Lock;
  std::unique_ptr<uint8_t[]> Buffer;
};

// The same queue with 16-bit elements, sized by entries: the buffer is 2 * Entries bytes
// raised to the next power of two, so 2048 entries give 4096 bytes holding 2047 entries.
class tWordFiFo : public tFiFo {
 public:
  explicit tWordFiFo(int32_t Entries);

 protected:
  void MoveVar(const void* FromVar, void* ToVar) const override;

 private:
  static int32_t BufferSizeFor(int32_t Entries);
};

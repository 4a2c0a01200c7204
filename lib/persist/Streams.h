// The byte streams the persistence library builds on: the common stream interface, the
// growable in-memory stream and the standard buffered file stream.
//
// Positions and sizes are 64-bit; Read and Write move at most Count bytes and return how
// many they moved (a short count is the caller's to check; ReadBuffer and WriteBuffer do it
// for them). Seek origins: 0 from the start, 1 from the current position, 2 from the end;
// any other origin leaves the position. Failures raise tNqStreamError (NqError.h); a
// stream's destructor never raises. Used from one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Standard open mode numbers.
constexpr uint16_t fmCreate = 0xFF00;
constexpr uint16_t fmOpenRead = 0;
constexpr uint16_t fmOpenWrite = 1;
constexpr uint16_t fmOpenReadWrite = 2;

class tStream {
 public:
  virtual ~tStream() = default;
  tStream() = default;
  tStream(const tStream&) = delete;
  tStream& operator=(const tStream&) = delete;

  virtual int32_t Read(void* Buffer, int32_t Count) = 0;
  virtual int32_t Write(const void* Buffer, int32_t Count) = 0;
  virtual int64_t Seek(int64_t Offset, uint16_t Origin) = 0;
  // The 32-bit form: the same rule, the new position cut to 32 bits.
  int32_t Seek(int32_t Offset, uint16_t Origin) {
    return static_cast<int32_t>(Seek(static_cast<int64_t>(Offset), Origin));
  }
  virtual int64_t GetSize();
  virtual void SetSize(int64_t NewSize) = 0;
  int64_t GetPosition() { return Seek(int64_t{0}, 1); }
  void SetPosition(int64_t Pos) { Seek(Pos, 0); }

  // Writes all Count bytes or raises "Stream write error": for callers that have no use for
  // a short count and must not lose data silently.
  void WriteBuffer(const void* Buffer, int32_t Count);
  // Reads exactly Count bytes or raises "Stream read error": data that ends early is an
  // error, never a record padded with whatever the buffer held.
  void ReadBuffer(void* Buffer, int32_t Count);
  // Finishes with the stream's file (flush, cut, close) and raises what fails there. The
  // destructor does the same but can only report failures through the message hook.
  virtual void Close() {}
};

// A growable block of memory. Size is what the stream holds; capacity what is allocated.
// At most MaxMemorySize bytes; a write or size beyond that raises an error.
class tMemoryStream : public tStream {
 public:
  static constexpr int64_t MaxMemorySize = INT32_MAX;

  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  int64_t GetSize() override { return FSize; }
  // Sets the size and the capacity to NewSize; the position moves back to a shorter end.
  void SetSize(int64_t NewSize) override;
  uint8_t* Memory() { return FMemory.data(); }
  int64_t Capacity() const { return static_cast<int64_t>(FMemory.size()); }
  // Releases the memory: size, capacity and position 0.
  void Clear();

 private:
  void SetCapacity(int64_t NewCapacity);
  std::vector<uint8_t> FMemory;
  int64_t FSize = 0;
  int64_t FPosition = 0;
};

// A file through the C library's buffered stream. Modes as above (fmCreate replaces an
// existing file); a file that cannot be opened raises "Cannot open file" or "Cannot create
// file" with the path and the system's reason. In the modes that write, the stream holds
// the file exclusively (the lock of the non-buffered stream): an open while another such
// stream holds it is refused and leaves the file as it was. Writing after Close raises
// "Stream write error".
class tFileStream : public tStream {
 public:
  tFileStream(const std::string& FileName, uint16_t Mode);
  ~tFileStream() override;

  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  int64_t GetSize() override;
  void SetSize(int64_t NewSize) override;
  void Close() override;

 private:
  void SwitchTo(bool Writing);
  std::FILE* F = nullptr;
  std::string Path;
  enum { fs_Idle, fs_Reading, fs_Writing } LastOp = fs_Idle;
};

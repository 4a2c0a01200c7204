// File streams that leave nothing waiting in a buffer.
//
// TNonBufferedFileStream reaches its file through a memory mapping of fixed size
// (MaxFileSize): every Read and Write maps a view of the whole mapping, copies, and unmaps
// it again, and every Write is flushed to the file before it returns. While the stream is
// open the file on disk is as long as the mapping; closing cuts it to the logical size.
//
// TNonBufferedFileStreamViaMem is an in-memory stream that, by its open mode, either hands
// everything to a file stream (its Shadow: mode 0 a buffered file stream for reading, mode 2
// a TNonBufferedFileStream that can grow the file by half its size) or, in every other mode,
// collects the data in memory and, in modes fmCreate and fmOpenWrite only, saves it to its
// file in one piece when it is closed or destroyed.
//
// Errors are raised as tNqStreamError, with the system's error number in ErrorCode when a
// system call failed and its reason in the message. Destructors cannot raise: a failure
// while a stream is destroyed (a save that cannot be written) goes to the operator through
// DisplayMessage; call Close() first to receive it as an error instead. Writing after
// Close() raises "Stream write error". One thread at a time.
//
// Files: a stream that writes holds its file exclusively (so does the buffered stream that
// may save an in-memory one); a second open of a held file is refused before anything
// happens to the file, so the holder's data stays as it was. Each stream owns its file and,
// for the in-memory kind, its Shadow; both are released when the stream is destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "lib/persist/Streams.h"
#include "platform/MappedFile.h"

class TNonBufferedFileStream : public tStream {
 public:
  static constexpr uint32_t DefaultMaxFileSize = 2097152;

  // Create (two arguments) and Create2. Mode decides the opening, tested in this order:
  // high byte 0xFF: create or replace the file, read-write mapping of aMaxFileSize bytes;
  // bit 1: open an existing file read-write, mapping of aMaxFileSize bytes;
  // bit 0: open an existing file, cut it to 0, read-write mapping of aMaxFileSize bytes;
  // else: open an existing file read-only, mapping of the file's size (MaxFileSize 0).
  // aMaxFileSize 0 maps the file's size at opening. A mapping larger than the file extends
  // the file. A file that cannot be opened (missing, not permitted, opened by another stream
  // of this kind) raises "Cannot access file <path>" / "Please ensure drive is present and
  // write-enabled"; a file over 4 GiB - 1 cannot be held and is refused. An empty mapping
  // (an empty file with MaxFileSize 0) still opens: writes then store nothing and return 0.
  TNonBufferedFileStream(const std::string& FileName, uint16_t Mode,
                         uint32_t aMaxFileSize = DefaultMaxFileSize);
  ~TNonBufferedFileStream() override;

  // Reads up to Count bytes, no further than the logical size. A read that starts beyond the
  // logical size, or that would pass the end of the mapping, is refused with an error.
  int32_t Read(void* Buffer, int32_t Count) override;
  // Writes Count bytes and flushes them to the file before returning; a write past the
  // logical size raises it (a write of 0 bytes changes nothing). A write that would pass the
  // end of the mapping is refused with an error and writes nothing; so is every write when
  // the mapping could not be made, with the system's reason ("Stream write error: ...").
  // Only an empty mapping (an empty file mapped at its size) returns 0 without an error.
  int32_t Write(const void* Buffer, int32_t Count) override;
  // Origin 2 counts a positive Offset back from the logical size: CurrentFileSize - Offset.
  // No bounds are applied here.
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  using tStream::Seek;
  int64_t GetSize() override { return CurrentFileSize; }
  // Sets the logical size only (the file is cut at closing); refused on a read-only stream
  // and for sizes outside 0 .. 4 GiB - 1.
  void SetSize(int64_t NewSize) override;
  // A whole-mapping read-write view kept until the stream closes; null when the stream is
  // read-only or has no mapping. Bytes written through it do not change the logical size.
  uint8_t* Memory();
  // Unmaps, cuts the file to the logical size, flushes it to disk and closes it.
  void Close() override;

  uint32_t GetMaxFileSize() const { return MaxFileSize; }
  uint32_t GetMappingSize() const { return MappingSize; }
  uint32_t GetCurrentFileSize() const { return CurrentFileSize; }
  bool IsReadOnly() const { return !ReadWriteAccess; }
  const std::string& GetDiskFilename() const { return DiskFilename; }
  const std::string& GetFileMappingName() const { return FileMappingName; }

 private:
  void RaiseSystemError(const std::string& What, int Err) const;
  void CheckMapped(int32_t Count, const char* What) const;

  uint32_t MaxFileSize = 0;
  tMappedFile hFile;
  // Size of the mapping in bytes; 0 when no mapping could be made.
  uint32_t MappingSize = 0;
  int64_t CurrentFileOffset = 0;
  uint32_t CurrentFileSize = 0;
  bool ReadWriteAccess = false;  // otherwise read-only: SetSize is refused
  bool WritableMapping = false;  // mapping protection
  tMappedFile::tOpening CreationDisposition = tMappedFile::mf_OpenExisting;
  std::string DiskFilename;
  // The file's name without its folder. Kept for messages; named mappings are not needed
  // here, so two streams on files of the same name in different folders may be open.
  std::string FileMappingName;
  uint8_t* FMemory = nullptr;
  // The system's error when the mapping could not be made (0: made, or empty).
  int MappingError = 0;
};

class TNonBufferedFileStreamViaMem : public tMemoryStream {
 public:
  // Mode 0: Shadow = a buffered file stream for reading. Mode 2: Shadow = a
  // TNonBufferedFileStream on the existing file with a mapping of S + S / 2 bytes (S the
  // file's size). Any other mode: the data is collected in memory. A file that cannot be
  // opened in mode 0 or 2 raises "Cannot open file".
  TNonBufferedFileStreamViaMem(const std::string& aFileName, uint16_t aMode);
  ~TNonBufferedFileStreamViaMem() override;

  int32_t Read(void* Buffer, int32_t Count) override;
  // In memory: a write that ends beyond everything written so far and beyond the capacity
  // sets the size to the next whole MiB above its end, so a series of small writes grows
  // the memory rarely. The final size is trimmed to the data when it is saved.
  int32_t Write(const void* Buffer, int32_t Count) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  using tStream::Seek;
  int64_t GetSize() override;
  // Ignored when there is a Shadow. In memory, a smaller size also cuts what the save
  // writes: the file gets the new size and the bytes below it.
  void SetSize(int64_t NewSize) override;
  // With a Shadow: closes it (its file is cut and flushed). Without one, in modes fmCreate
  // and fmOpenWrite: saves the data (as much as was written) to DiskFileName, creating
  // missing folders. Then releases the memory.
  void Close() override;

  bool GetUseFileStreamForSaver() const { return FUseFileStreamForSaver; }
  // Saving through a buffered file stream (true) or a TNonBufferedFileStream (false). Takes
  // effect only in modes fmCreate and fmOpenWrite.
  void SetUseFileStreamForSaver(bool Value);
  const std::string& GetDiskFileName() const { return FileName; }
  // Takes effect only in modes fmCreate and fmOpenWrite.
  void SetDiskFileName(const std::string& Value);
  uint16_t GetMode() const { return Mode; }
  int32_t GetMaxPosition() const { return MaxPosition; }
  // The file stream doing the work in modes 0 and 2, else null.
  tStream* GetShadow() const { return Shadow.get(); }

 private:
  bool SavesToFile() const { return Mode == fmCreate || Mode == fmOpenWrite; }
  void Save();

  bool FUseFileStreamForSaver = false;
  std::unique_ptr<tStream> Shadow;
  std::string FileName;
  uint16_t Mode;
  int32_t MaxPosition = 0;
  bool Closed = false;
};

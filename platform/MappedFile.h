// A file reached through memory-mapped views: the operating-system side of the persistence
// library's non-buffered file stream.
//
// The stream keeps one open file and, for every read and write, maps a view of the whole
// mapping from offset 0, copies, and unmaps again. Failures return false (or null) and keep
// the system's error code in Error() (SystemErrorText in platform/Files.h reads it) so the
// stream can raise it with a clear message. The file's length is changed only while no view
// is mapped (Windows refuses it otherwise).
// Not thread-safe: one stream, one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

class tMappedFile {
 public:
  enum tOpening : uint8_t {
    mf_CreateAlways,      // create, replacing an existing file
    mf_OpenExisting,      // open an existing file as it is
    mf_TruncateExisting,  // open an existing file and cut it to 0 bytes
  };

  tMappedFile() = default;
  ~tMappedFile();
  tMappedFile(const tMappedFile&) = delete;
  tMappedFile& operator=(const tMappedFile&) = delete;

  // Opens Path for reading, or reading and writing when Writable, and takes an exclusive
  // lock on it so that no other stream of this kind shares the file; How's creating or
  // cutting happens only once the lock is held. On failure nothing stays open and the file
  // is as it was.
  bool Open(const std::string& Path, tOpening How, bool Writable);
  bool IsOpen() const { return Handle != -1; }
  // The system's error code of the last failed call (0 when none failed).
  int Error() const { return LastError; }

  bool GetSize(uint64_t& aSize);
  // Makes the file at least aSize bytes long, reserving the blocks on disk where the file
  // system can, so that writing through a view never meets a full disk.
  bool Extend(uint64_t aSize);
  // Sets the file's length (cuts or extends with zeros).
  bool SetSize(uint64_t aSize);

  // A view of the first Length bytes of the file, shared with the file; null on failure.
  void* MapView(std::size_t Length, bool Writable);
  static void UnmapView(void* View, std::size_t Length);
  // Writes the first Length bytes of View to the file and waits until they are there.
  bool FlushView(void* View, std::size_t Length);
  // Writes everything of the file to the disk and waits (fsync).
  bool FlushFile();
  // Closes the file (and with it the lock); false when the system reported an error.
  bool Close();

 private:
  bool Fail();
  std::intptr_t Handle = -1;  // the system's file descriptor or handle; -1 when closed
  int LastError = 0;
};

// Opens Path (for reading, or reading and writing when Writable) and takes the same
// exclusive lock as tMappedFile; the file is created or cut to 0 bytes, as How says, only
// once the lock is held, so a refused open changes nothing. Returns the descriptor or handle,
// or -1 with the system's error code in Error (EBUSY, on Windows ERROR_SHARING_VIOLATION,
// when another stream holds the file).
std::intptr_t OpenLockedFile(const std::string& Path, tMappedFile::tOpening How, bool Writable,
                             int& Error);
// The same, read-write, as a C library stream (closing it releases the lock); null with
// Error set on failure.
std::FILE* OpenLockedStream(const std::string& Path, tMappedFile::tOpening How, int& Error);

#include "platform/MappedFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Repeats a call that a signal interrupted.
template <class tCall>
auto RetryOnInterrupt(tCall Call) {
  decltype(Call()) Result;
  do {
    Result = Call();
  } while (Result == -1 && errno == EINTR);
  return Result;
}

}  // namespace

namespace {
int Descriptor(std::intptr_t Handle) {
  return static_cast<int>(Handle);
}
}  // namespace

bool tMappedFile::Fail() {
  LastError = errno;
  return false;
}

std::intptr_t OpenLockedFile(const std::string& Path, tMappedFile::tOpening How, bool Writable,
                             int& Error) {
  Error = 0;
  // The file is cut only once the lock is held: a refused open must leave another
  // stream's file exactly as it was.
  int Flags = O_CLOEXEC | (Writable ? O_RDWR : O_RDONLY);
  if (How == tMappedFile::mf_CreateAlways) Flags |= O_CREAT;
  const int Fd = RetryOnInterrupt([&] { return ::open(Path.c_str(), Flags, 0666); });
  if (Fd < 0) {
    Error = errno;
    return -1;
  }
  // No sharing: a second stream on the same file would cut it under the first.
  if (RetryOnInterrupt([&] { return ::flock(Fd, LOCK_EX | LOCK_NB); }) != 0) {
    Error = (errno == EWOULDBLOCK) ? EBUSY : errno;
    ::close(Fd);
    return -1;
  }
  if (How != tMappedFile::mf_OpenExisting &&
      RetryOnInterrupt([&] { return ::ftruncate(Fd, 0); }) != 0) {
    Error = errno;
    ::close(Fd);
    return -1;
  }
  return Fd;
}

std::FILE* OpenLockedStream(const std::string& Path, tMappedFile::tOpening How, int& Error) {
  const int Fd = static_cast<int>(OpenLockedFile(Path, How, true, Error));
  if (Fd < 0) return nullptr;
  std::FILE* F = ::fdopen(Fd, "r+b");
  if (F == nullptr) {
    Error = errno;
    ::close(Fd);
  }
  return F;
}

bool tMappedFile::GetSize(uint64_t& aSize) {
  struct stat St {};
  if (::fstat(Descriptor(Handle), &St) != 0) return Fail();
  aSize = static_cast<uint64_t>(St.st_size);
  return true;
}

bool tMappedFile::Extend(uint64_t aSize) {
  uint64_t Now = 0;
  if (!GetSize(Now)) return false;
  if (Now >= aSize) return true;
  const int Err = ::posix_fallocate(Descriptor(Handle), 0, static_cast<off_t>(aSize));
  if (Err == 0) return true;
  if (Err != EOPNOTSUPP && Err != EINVAL) {
    errno = Err;
    return Fail();
  }
  return SetSize(aSize);  // the file system cannot reserve blocks: a sparse extension
}

bool tMappedFile::SetSize(uint64_t aSize) {
  if (RetryOnInterrupt(
          [&] { return ::ftruncate(Descriptor(Handle), static_cast<off_t>(aSize)); }) != 0)
    return Fail();
  return true;
}

void* tMappedFile::MapView(std::size_t Length, bool Writable) {
  const int Prot = Writable ? (PROT_READ | PROT_WRITE) : PROT_READ;
  void* View = ::mmap(nullptr, Length, Prot, MAP_SHARED, Descriptor(Handle), 0);
  if (View == MAP_FAILED) {
    Fail();
    return nullptr;
  }
  return View;
}

void tMappedFile::UnmapView(void* View, std::size_t Length) {
  if (View != nullptr) ::munmap(View, Length);
}

bool tMappedFile::FlushView(void* View, std::size_t Length) {
  if (Length == 0) return true;
  if (::msync(View, Length, MS_SYNC) != 0) return Fail();
  return true;
}

bool tMappedFile::FlushFile() {
  if (RetryOnInterrupt([&] { return ::fsync(Descriptor(Handle)); }) != 0) return Fail();
  return true;
}

bool tMappedFile::Close() {
  if (Handle == -1) return true;
  const int Result = ::close(Descriptor(Handle));  // never retried: it is gone either way
  Handle = -1;
  if (Result != 0 && errno != EINTR) return Fail();
  return true;
}

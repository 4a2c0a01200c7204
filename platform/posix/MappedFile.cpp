#include "platform/posix/MappedFile.h"

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

tMappedFile::~tMappedFile() {
  Close();
}

bool tMappedFile::Fail() {
  LastError = errno;
  return false;
}

bool tMappedFile::Open(const std::string& Path, tOpening How, bool Writable) {
  Close();
  LastError = 0;
  int Flags = O_CLOEXEC | (Writable ? O_RDWR : O_RDONLY);
  if (How == mf_CreateAlways) Flags |= O_CREAT | O_TRUNC;
  if (How == mf_TruncateExisting) Flags |= O_TRUNC;
  const int NewFd = RetryOnInterrupt([&] { return ::open(Path.c_str(), Flags, 0666); });
  if (NewFd < 0) return Fail();
  // No sharing: a second stream on the same file would cut it under the first.
  if (RetryOnInterrupt([&] { return ::flock(NewFd, LOCK_EX | LOCK_NB); }) != 0) {
    const int Err = errno;
    ::close(NewFd);
    LastError = (Err == EWOULDBLOCK) ? EBUSY : Err;
    return false;
  }
  Fd = NewFd;
  return true;
}

bool tMappedFile::GetSize(uint64_t& aSize) {
  struct stat St {};
  if (::fstat(Fd, &St) != 0) return Fail();
  aSize = static_cast<uint64_t>(St.st_size);
  return true;
}

bool tMappedFile::Extend(uint64_t aSize) {
  uint64_t Now = 0;
  if (!GetSize(Now)) return false;
  if (Now >= aSize) return true;
  const int Err = ::posix_fallocate(Fd, 0, static_cast<off_t>(aSize));
  if (Err == 0) return true;
  if (Err != EOPNOTSUPP && Err != EINVAL) {
    errno = Err;
    return Fail();
  }
  return SetSize(aSize);  // the file system cannot reserve blocks: a sparse extension
}

bool tMappedFile::SetSize(uint64_t aSize) {
  if (RetryOnInterrupt([&] { return ::ftruncate(Fd, static_cast<off_t>(aSize)); }) != 0)
    return Fail();
  return true;
}

void* tMappedFile::MapView(std::size_t Length, bool Writable) {
  const int Prot = Writable ? (PROT_READ | PROT_WRITE) : PROT_READ;
  void* View = ::mmap(nullptr, Length, Prot, MAP_SHARED, Fd, 0);
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
  if (RetryOnInterrupt([&] { return ::fsync(Fd); }) != 0) return Fail();
  return true;
}

bool tMappedFile::Close() {
  if (Fd < 0) return true;
  const int Result = ::close(Fd);  // never retried: the descriptor is gone either way
  Fd = -1;
  if (Result != 0 && errno != EINTR) return Fail();
  return true;
}

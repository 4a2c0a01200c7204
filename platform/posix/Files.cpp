#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tFiles {

std::FILE* Open(const std::string& Path, const char* Mode, int& Error) {
  std::FILE* File = std::fopen(Path.c_str(), Mode);
  if (File == nullptr) Error = errno;
  return File;
}

std::FILE* CreateNew(const std::string& Path, int& Error) {
  int Fd;
  do {
    Fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (Fd < 0 && errno == EINTR);
  if (Fd < 0) {
    Error = errno;
    return nullptr;
  }
  std::FILE* File = ::fdopen(Fd, "wb");
  if (File == nullptr) {
    Error = errno;
    ::close(Fd);
  }
  return File;
}

std::string MakeTempFolder(const std::string& Prefix) {
  const char* Tmp = std::getenv("TMPDIR");
  std::string Pattern =
      std::string(Tmp != nullptr && *Tmp != '\0' ? Tmp : "/tmp") + "/" + Prefix + "XXXXXX";
  return ::mkdtemp(Pattern.data()) != nullptr ? Pattern : std::string();
}

namespace {

void Fill(const struct stat& Status, tFileInfo& Info) {
  Info.Regular = S_ISREG(Status.st_mode);
  Info.Size = static_cast<uint64_t>(Status.st_size);
  Info.Stamp = {static_cast<int64_t>(Status.st_ino), Status.st_mtim.tv_sec, Status.st_mtim.tv_nsec,
                Status.st_ctim.tv_sec, Status.st_ctim.tv_nsec};
}

}  // namespace

bool Describe(const std::string& Path, tFileInfo& Info, int& Error) {
  struct stat Status {};
  if (::stat(Path.c_str(), &Status) != 0) {
    Error = errno;
    return false;
  }
  Fill(Status, Info);
  return true;
}

bool Describe(std::FILE* File, tFileInfo& Info, int& Error) {
  struct stat Status {};
  if (!File || ::fstat(fileno(File), &Status) != 0) {
    Error = File ? errno : EBADF;
    return false;
  }
  Fill(Status, Info);
  return true;
}

bool IsNotFound(int Code) {
  return Code == ENOENT || Code == ENOTDIR;
}

int ReadAccess(const std::string& Path) {
  return ::access(Path.c_str(), R_OK) == 0 ? 0 : errno;
}

std::string SystemErrorText(int Code) {
  return std::strerror(Code);
}

}  // namespace tFiles

#include "platform/Files.h"

#include <dirent.h>
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

namespace {

// fsync, where the file can be kept at all: a pipe or a terminal (a record sent to standard
// output) has nothing to keep and says so with EINVAL.
bool Sync(int Fd, int& Error) {
  if (::fsync(Fd) == 0 || errno == EINVAL) return true;
  Error = errno;
  return false;
}

}  // namespace

bool AppendDurably(const std::string& Path, const std::string& Bytes, int& Error) {
  int Fd;
  do {
    Fd = ::open(Path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  } while (Fd < 0 && errno == EINTR);
  if (Fd < 0) {
    Error = errno;
    return false;
  }
  bool Written = true;
  for (size_t Done = 0; Done < Bytes.size();) {
    const ssize_t Count = ::write(Fd, Bytes.data() + Done, Bytes.size() - Done);
    if (Count < 0 && errno == EINTR) continue;
    if (Count <= 0) {
      Error = Count < 0 ? errno : ENOSPC;
      Written = false;
      break;
    }
    Done += static_cast<size_t>(Count);
  }
  if (Written) Written = Sync(Fd, Error);
  if (::close(Fd) != 0 && Written) {
    Error = errno;
    Written = false;
  }
  return Written;
}

bool SyncToDisk(std::FILE* File, int& Error) {
  if (!File) {
    Error = EBADF;
    return false;
  }
  if (std::fflush(File) != 0) {
    Error = errno;
    return false;
  }
  return Sync(fileno(File), Error);
}

bool Remove(const std::string& Path, int& Error) {
  if (::unlink(Path.c_str()) == 0) return true;
  Error = errno;
  return false;
}

bool ListFolder(const std::string& Folder, std::vector<std::string>& Names, int& Error) {
  DIR* Dir = ::opendir(Folder.c_str());
  if (!Dir) {
    Error = errno;
    return false;
  }
  Names.clear();
  while (const dirent* Entry = ::readdir(Dir)) {
    const std::string Name = Entry->d_name;
    if (Name != "." && Name != "..") Names.push_back(Name);
  }
  ::closedir(Dir);
  return true;
}

}  // namespace tFiles

#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tFiles {
namespace {

std::atomic<bool (*)()> StopCheck{nullptr};

// Makes Call again while a signal interrupted it, unless a stop was requested by then.
template <class tCall>
auto RetryUnlessStopped(tCall Call) {
  for (;;) {
    const auto Result = Call();
    if (Result >= 0 || errno != EINTR) return Result;
    if (const auto Stopped = StopCheck.load(); Stopped && Stopped()) return Result;
  }
}

}  // namespace

void SetStopCheck(bool (*StopRequested)()) {
  StopCheck = StopRequested;
}

std::FILE* Open(const std::string& Path, const char* Mode, int& Error) {
  std::FILE* File = std::fopen(Path.c_str(), Mode);
  if (File == nullptr) Error = errno;
  return File;
}

std::FILE* CreateNew(const std::string& Path, int& Error) {
  const int Fd = RetryUnlessStopped(
      [&] { return ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
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

tFileType TypeOf(mode_t Mode) {
  if (S_ISREG(Mode)) return ft_Regular;
  if (S_ISFIFO(Mode)) return ft_Fifo;
  if (S_ISDIR(Mode)) return ft_Folder;
  if (S_ISCHR(Mode) || S_ISBLK(Mode)) return ft_Device;
  return ft_Other;
}

void Fill(const struct stat& Status, tFileInfo& Info) {
  Info.Regular = S_ISREG(Status.st_mode);
  Info.Type = TypeOf(Status.st_mode);
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

// fsync, where the file can be kept at all: a pipe or a terminal given to SyncToDisk has
// nothing to keep and says so with EINVAL.
bool Sync(int Fd, int& Error) {
  if (::fsync(Fd) == 0 || errno == EINVAL) return true;
  Error = errno;
  return false;
}

}  // namespace

std::FILE* OpenRegular(const std::string& Path, tOpenFor For, int& Error, std::string& Why) {
  Error = 0;
  auto Refuse = [&](tFileType Type) -> std::FILE* {
    Error = 0;
    Why = NotRegularText(Type);
    return nullptr;
  };
  auto Fail = [&](int Code) -> std::FILE* {
    Error = Code;
    Why = SystemErrorText(Code);
    return nullptr;
  };
  // The name is looked at first: opening a device could already act on it (a serial port
  // raises its modem lines).
  tFileInfo Info;
  if (int Code = 0; Describe(Path, Info, Code)) {
    if (!Info.Regular) return Refuse(Info.Type);
  } else if (!(For == of_Append && IsNotFound(Code))) {
    return Fail(Code);
  }
  // Not waiting at the open covers a FIFO put in the file's place since it was looked at.
  const int Flags = (For == of_Read ? O_RDONLY : O_WRONLY | O_APPEND | O_CREAT) | O_NONBLOCK |
                    O_NOCTTY | O_CLOEXEC;
  const int Fd = RetryUnlessStopped([&] { return ::open(Path.c_str(), Flags, 0666); });
  if (Fd < 0) {
    const int Code = errno;
    // A folder opened to write, a FIFO without a reader: said as what they are.
    if (int Ignored = 0;
        (Code == EISDIR || Code == ENXIO) && Describe(Path, Info, Ignored) && !Info.Regular)
      return Refuse(Info.Type);
    return Fail(Code);
  }
  struct stat Status {};
  if (::fstat(Fd, &Status) != 0) {
    const int Code = errno;
    ::close(Fd);
    return Fail(Code);
  }
  if (!S_ISREG(Status.st_mode)) {
    ::close(Fd);
    return Refuse(TypeOf(Status.st_mode));
  }
  // An ordinary file's reads and writes never wait anyway; the flag is cleared so none of
  // them can end early with EAGAIN.
  if (const int Now = ::fcntl(Fd, F_GETFL);
      Now < 0 || ::fcntl(Fd, F_SETFL, Now & ~O_NONBLOCK) != 0) {
    const int Code = errno;
    ::close(Fd);
    return Fail(Code);
  }
  std::FILE* File = ::fdopen(Fd, For == of_Read ? "rb" : "ab");
  if (File == nullptr) {
    const int Code = errno;
    ::close(Fd);
    return Fail(Code);
  }
  return File;
}

namespace {

bool AppendWhole(const std::string& Path, const std::string& Bytes, bool Durably, int& Error,
                 std::string& Why) {
  Error = 0;
  std::FILE* File = OpenRegular(Path, of_Append, Error, Why);
  if (File == nullptr) return false;
  const int Fd = fileno(File);
  bool Written = true;
  for (size_t Done = 0; Done < Bytes.size();) {
    const ssize_t Count =
        RetryUnlessStopped([&] { return ::write(Fd, Bytes.data() + Done, Bytes.size() - Done); });
    if (Count <= 0) {
      Error = Count < 0 ? errno : ENOSPC;
      Written = false;
      break;
    }
    Done += static_cast<size_t>(Count);
  }
  if (Written && Durably) Written = Sync(Fd, Error);
  // Nothing went through the stream's buffer: closing it only closes the file.
  if (std::fclose(File) != 0 && Written) {
    Error = errno;
    Written = false;
  }
  if (!Written) Why = SystemErrorText(Error);
  return Written;
}

}  // namespace

bool AppendDurably(const std::string& Path, const std::string& Bytes, std::string& Why) {
  int Error = 0;
  return AppendWhole(Path, Bytes, true, Error, Why);
}

bool AppendBytes(const std::string& Path, const std::string& Bytes, int& Error, std::string& Why) {
  return AppendWhole(Path, Bytes, false, Error, Why);
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

bool Replace(const std::string& From, const std::string& To, int& Error) {
  if (::rename(From.c_str(), To.c_str()) == 0) return true;
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

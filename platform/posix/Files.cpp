#include "platform/Files.h"

#include <fcntl.h>
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

std::string SystemErrorText(int Code) {
  return std::strerror(Code);
}

}  // namespace tFiles

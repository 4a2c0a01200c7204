#include "platform/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace tPaths {
namespace {

std::string Env(const char* Name) {
  const char* Value = std::getenv(Name);
  return Value ? std::string(Value) : std::string();
}

}  // namespace

std::string ExecutableFolder() {
  char Buffer[4096];
  const ssize_t Length = readlink("/proc/self/exe", Buffer, sizeof Buffer - 1);
  if (Length <= 0) return ".";
  std::string Path(Buffer, static_cast<size_t>(Length));
  const auto Slash = Path.rfind('/');
  if (Slash == std::string::npos) return ".";
  return Slash == 0 ? std::string("/") : Path.substr(0, Slash);
}

std::string RuntimeFolder() {
  if (auto Dir = Env("CADDIS_RUNTIME_DIR"); !Dir.empty()) return Dir;
  if (auto Dir = Env("XDG_RUNTIME_DIR"); !Dir.empty()) return Dir + "/caddis";
  return "/tmp/caddis-" + std::to_string(getuid());
}

std::string PortFolder() {
  return RuntimeFolder() + "/ports";
}

std::string VirtualUSBFolder() {
  return RuntimeFolder() + "/usb";
}

std::string ConfigFolder() {
  if (auto Dir = Env("CADDIS_CONFIG_DIR"); !Dir.empty()) return Dir;
  if (auto Dir = Env("XDG_CONFIG_HOME"); !Dir.empty()) return Dir + "/caddis";
  if (auto Home = Env("HOME"); !Home.empty()) return Home + "/.config/caddis";
  return RuntimeFolder() + "/config";
}

bool MakeFolders(const std::string& Folder) {
  if (Folder.empty()) return false;
  for (size_t Pos = 1;; ++Pos) {
    Pos = Folder.find('/', Pos);
    const std::string Part = Folder.substr(0, Pos);
    if (mkdir(Part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (Pos == std::string::npos) break;
  }
  struct stat Info;
  return stat(Folder.c_str(), &Info) == 0 && S_ISDIR(Info.st_mode);
}

}  // namespace tPaths

#include "platform/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tPaths {
namespace {

std::string Env(const char* Name) {
  const char* Value = std::getenv(Name);
  return Value ? std::string(Value) : std::string();
}

}  // namespace

std::string ExecutablePath() {
  char Buffer[4096];
  const ssize_t Length = readlink("/proc/self/exe", Buffer, sizeof Buffer - 1);
  return Length > 0 ? std::string(Buffer, static_cast<size_t>(Length)) : std::string();
}

std::string ExecutableFolder() {
  const std::string Path = ExecutablePath();
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

std::string DataFolder() {
  if (auto Dir = Env("XDG_DATA_HOME"); !Dir.empty()) return Dir + "/caddis";
  if (auto Home = Env("HOME"); !Home.empty()) return Home + "/.local/share/caddis";
  return RuntimeFolder() + "/data";
}

bool MayBeInstalled() {
  return true;
}

std::string StateFolder() {
  if (auto Dir = Env("XDG_STATE_HOME"); !Dir.empty()) return Dir + "/caddis";
  if (auto Home = Env("HOME"); !Home.empty()) return Home + "/.local/state/caddis";
  return RuntimeFolder() + "/state";
}

namespace {

// One folder: a directory (a symbolic link counts as one only when FollowLink) owned by this
// user, with no write permission for group or others.
bool CheckFolder(const std::string& Folder, bool FollowLink, std::string& Why) {
  struct stat Info;
  if ((FollowLink ? stat(Folder.c_str(), &Info) : lstat(Folder.c_str(), &Info)) != 0) {
    Why = "the folder " + Folder + " cannot be used: " + std::strerror(errno);
    return false;
  }
  std::string Fault;
  if (S_ISLNK(Info.st_mode))
    Fault = "it is a symbolic link";
  else if (!S_ISDIR(Info.st_mode))
    Fault = "it is not a folder";
  else if (Info.st_uid != geteuid())
    Fault = "it belongs to user " + std::to_string(Info.st_uid);
  else if (Info.st_mode & (S_IWGRP | S_IWOTH))
    Fault = "others may write to it";
  if (Fault.empty()) return true;
  Why = "the folder " + Folder + " is not safe to use: " + Fault;
  return false;
}

std::string WithoutTrailingSlashes(std::string Path) {
  while (Path.size() > 1 && Path.back() == '/')
    Path.pop_back();
  return Path;
}

}  // namespace

bool IsPrivateFolder(const std::string& Folder, std::string& Why) {
  const std::string Path = WithoutTrailingSlashes(Folder);
  const std::string Runtime = WithoutTrailingSlashes(RuntimeFolder());
  if (Path != Runtime && Path.rfind(Runtime + "/", 0) != 0)
    return CheckFolder(Path, /*FollowLink=*/true, Why);
  // The runtime folder and each folder below it on the way to Path.
  for (size_t End = Runtime.size();; End = Path.find('/', End + 1)) {
    if (!CheckFolder(Path.substr(0, End), /*FollowLink=*/false, Why)) return false;
    if (End == std::string::npos || End >= Path.size()) return true;
  }
}

bool MakeFolders(const std::string& Folder, std::string& Why) {
  if (Folder.empty()) {
    Why = "no folder given";
    return false;
  }
  for (size_t Pos = 1;; ++Pos) {
    Pos = Folder.find('/', Pos);
    const std::string Part = Folder.substr(0, Pos);
    if (mkdir(Part.c_str(), 0700) != 0 && errno != EEXIST) {
      Why = "cannot create the folder " + Part + ": " + std::strerror(errno);
      return false;
    }
    if (Pos == std::string::npos) break;
  }
  return IsPrivateFolder(Folder, Why);
}

bool MakeFolders(const std::string& Folder) {
  std::string Ignored;
  return MakeFolders(Folder, Ignored);
}

}  // namespace tPaths

#include "platform/Paths.h"

#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/win32/WideText.h"

namespace tPaths {
namespace {

std::string Env(const wchar_t* Name) {
  const wchar_t* Value = ::_wgetenv(Name);
  return Value != nullptr ? tWideText::ToUtf8(Value) : std::string();
}

// The tool's own paths use "/" throughout; Windows accepts it.
std::string WithSlashes(std::string Path) {
  for (char& C : Path)
    if (C == '\\') C = '/';
  return Path;
}

std::string LocalAppData() {
  if (auto Dir = Env(L"LOCALAPPDATA"); !Dir.empty()) return WithSlashes(Dir);
  if (auto Dir = Env(L"APPDATA"); !Dir.empty()) return WithSlashes(Dir);
  return ExecutableFolder();
}

}  // namespace

std::string ExecutableFolder() {
  std::wstring Buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD Length =
        ::GetModuleFileNameW(nullptr, Buffer.data(), static_cast<DWORD>(Buffer.size()));
    if (Length == 0) return ".";
    if (Length < Buffer.size()) {
      Buffer.resize(Length);
      break;
    }
    if (Buffer.size() >= 32768) return ".";  // longer than any Windows path
    Buffer.resize(Buffer.size() * 2);
  }
  const std::string Path = WithSlashes(tWideText::ToUtf8(Buffer));
  const auto Slash = Path.rfind('/');
  if (Slash == std::string::npos) return ".";
  return Path.substr(0, Slash);
}

std::string RuntimeFolder() {
  if (auto Dir = Env(L"CADDIS_RUNTIME_DIR"); !Dir.empty()) return WithSlashes(Dir);
  return LocalAppData() + "/Caddis/run";
}

std::string PortFolder() {
  return RuntimeFolder() + "/ports";
}

std::string VirtualUSBFolder() {
  return RuntimeFolder() + "/usb";
}

std::string ConfigFolder() {
  if (auto Dir = Env(L"CADDIS_CONFIG_DIR"); !Dir.empty()) return WithSlashes(Dir);
  if (auto Dir = Env(L"APPDATA"); !Dir.empty()) return WithSlashes(Dir) + "/Caddis";
  return LocalAppData() + "/Caddis";
}

bool MakeFolders(const std::string& Folder) {
  if (Folder.empty()) return false;
  const std::string Path = WithSlashes(Folder);
  // Each prefix that ends before a "/" is a folder to make; a drive ("C:") or the root of a
  // share already exists and refuses creation, which is fine.
  for (size_t Pos = 1;; ++Pos) {
    Pos = Path.find('/', Pos);
    const std::wstring Part = tWideText::FromUtf8(Path.substr(0, Pos));
    if (!::CreateDirectoryW(Part.c_str(), nullptr)) {
      const DWORD Error = ::GetLastError();
      if (Error != ERROR_ALREADY_EXISTS && Error != ERROR_ACCESS_DENIED &&
          Error != ERROR_INVALID_NAME && Pos != std::string::npos)
        return false;
    }
    if (Pos == std::string::npos) break;
  }
  const DWORD Attributes = ::GetFileAttributesW(tWideText::FromUtf8(Path).c_str());
  return Attributes != INVALID_FILE_ATTRIBUTES && (Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace tPaths

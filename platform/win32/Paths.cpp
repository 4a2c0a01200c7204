#include "platform/Paths.h"

#include <windows.h>
// After windows.h:
#include <aclapi.h>

#include <cstdlib>
#include <memory>
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

// Whether Sid is this process's user, or the Administrators group (what owns the objects an
// elevated process makes).
bool IsOwnSid(PSID Sid) {
  HANDLE Token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &Token)) return false;
  DWORD Size = 0;
  ::GetTokenInformation(Token, TokenUser, nullptr, 0, &Size);
  std::unique_ptr<BYTE[]> Buffer(new BYTE[Size ? Size : 1]);
  const bool Got = Size && ::GetTokenInformation(Token, TokenUser, Buffer.get(), Size, &Size);
  ::CloseHandle(Token);
  if (Got && ::EqualSid(Sid, reinterpret_cast<TOKEN_USER*>(Buffer.get())->User.Sid)) return true;
  BYTE Admins[SECURITY_MAX_SID_SIZE];
  DWORD AdminsSize = sizeof Admins;
  return ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, Admins, &AdminsSize) &&
         ::EqualSid(Sid, Admins);
}

}  // namespace

std::string ExecutablePath() {
  std::wstring Buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD Length =
        ::GetModuleFileNameW(nullptr, Buffer.data(), static_cast<DWORD>(Buffer.size()));
    if (Length == 0) return "";
    if (Length < Buffer.size()) {
      Buffer.resize(Length);
      return tWideText::ToUtf8(Buffer);
    }
    if (Buffer.size() >= 32768) return "";  // longer than any Windows path
    Buffer.resize(Buffer.size() * 2);
  }
}

std::string ExecutableFolder() {
  const std::string Path = WithSlashes(ExecutablePath());
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

std::string DataFolder() {
  return ExecutableFolder();
}

bool MayBeInstalled() {
  return false;
}

std::string StateFolder() {
  return LocalAppData() + "/Caddis";
}

// The tool's folders lie in the user's local application data, whose permissions admit only
// the user, the system and administrators, and folders made there inherit them. What is left
// to check is that the folder is a real one (no junction or link leading elsewhere) that this
// user owns.
bool IsPrivateFolder(const std::string& Folder, std::string& Why) {
  const std::wstring Wide = tWideText::FromUtf8(Folder);
  const DWORD Attributes = ::GetFileAttributesW(Wide.c_str());
  if (Attributes == INVALID_FILE_ATTRIBUTES || (Attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    Why = Folder + " is not a folder";
    return false;
  }
  if (Attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    Why = Folder + " is a link to another folder";
    return false;
  }
  PSID Owner = nullptr;
  PSECURITY_DESCRIPTOR Descriptor = nullptr;
  const DWORD Result =
      ::GetNamedSecurityInfoW(Wide.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &Owner,
                              nullptr, nullptr, nullptr, &Descriptor);
  const bool Own = Result == ERROR_SUCCESS && Owner && IsOwnSid(Owner);
  if (Descriptor) ::LocalFree(Descriptor);
  if (!Own) {
    Why = Folder + " is owned by another user";
    return false;
  }
  return true;
}

bool MakeFolders(const std::string& Folder, std::string& Why) {
  if (!MakeFolders(Folder)) {
    Why = "cannot create the folder " + Folder;
    return false;
  }
  return IsPrivateFolder(Folder, Why);
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

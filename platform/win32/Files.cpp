#include "platform/Files.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "platform/win32/WideText.h"

namespace tFiles {

std::FILE* Open(const std::string& Path, const char* Mode, int& Error) {
  _doserrno = 0;
  std::FILE* File = ::_wfopen(tWideText::FromUtf8(Path).c_str(), tWideText::FromUtf8(Mode).c_str());
  if (File == nullptr) {
    // The runtime keeps the system's own code beside errno; errno's numbers are not Windows
    // error codes.
    const unsigned long Code = _doserrno;
    Error = Code != 0 ? static_cast<int>(Code) : ERROR_INVALID_PARAMETER;
  }
  return File;
}

std::FILE* CreateNew(const std::string& Path, int& Error) {
  // The C runtime's fopen ignores the "x" of "wbx" and empties an existing file; CREATE_NEW
  // really fails when the file exists. Other writers (a second copy of the tool appending to
  // the same log) may share the file.
  HANDLE File = ::CreateFileW(tWideText::FromUtf8(Path).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (File == INVALID_HANDLE_VALUE) {
    Error = static_cast<int>(::GetLastError());
    return nullptr;
  }
  return StreamOverHandle(reinterpret_cast<std::intptr_t>(File), false, Error);
}

std::string MakeTempFolder(const std::string& Prefix) {
  wchar_t Temp[MAX_PATH + 1];
  const DWORD Length = ::GetTempPathW(MAX_PATH + 1, Temp);
  if (Length == 0 || Length > MAX_PATH) return {};
  std::string Base = tWideText::ToUtf8(std::wstring(Temp, Length));
  for (char& C : Base)
    if (C == '\\') C = '/';
  if (!Base.empty() && Base.back() != '/') Base += '/';
  // Names from the process id, the tick count and a counter; CreateDirectoryW fails when the
  // name is taken, so a collision only costs another try.
  static std::atomic<unsigned> Counter{0};
  for (int Try = 0; Try < 100; ++Try) {
    const std::string Path = Base + Prefix + std::to_string(::GetCurrentProcessId()) + "-" +
                             std::to_string(::GetTickCount64()) + "-" + std::to_string(++Counter);
    if (::CreateDirectoryW(tWideText::FromUtf8(Path).c_str(), nullptr)) return Path;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return {};
  }
  return {};
}

namespace {

void Fill(DWORD Attributes, DWORD SizeHigh, DWORD SizeLow, const FILETIME& Created,
          const FILETIME& Written, tFileInfo& Info) {
  auto Wide = [](DWORD High, DWORD Low) {
    return static_cast<int64_t>((static_cast<uint64_t>(High) << 32) | Low);
  };
  Info.Regular = (Attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
  Info.Size = static_cast<uint64_t>(Wide(SizeHigh, SizeLow));
  Info.Stamp = {Wide(Created.dwHighDateTime, Created.dwLowDateTime),
                Wide(Written.dwHighDateTime, Written.dwLowDateTime), 0, 0, 0};
}

}  // namespace

bool Describe(const std::string& Path, tFileInfo& Info, int& Error) {
  WIN32_FILE_ATTRIBUTE_DATA Data{};
  if (!::GetFileAttributesExW(tWideText::FromUtf8(Path).c_str(), GetFileExInfoStandard, &Data)) {
    Error = static_cast<int>(::GetLastError());
    return false;
  }
  Fill(Data.dwFileAttributes, Data.nFileSizeHigh, Data.nFileSizeLow, Data.ftCreationTime,
       Data.ftLastWriteTime, Info);
  return true;
}

bool Describe(std::FILE* File, tFileInfo& Info, int& Error) {
  const HANDLE Handle =
      File ? reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(File))) : INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION Data{};
  if (Handle == INVALID_HANDLE_VALUE) {
    Error = ERROR_INVALID_HANDLE;
    return false;
  }
  // A device (NUL, a console) or a pipe opened by name is no ordinary file, and has none of a
  // file's information to give.
  if (::GetFileType(Handle) != FILE_TYPE_DISK) {
    Info = tFileInfo{};
    return true;
  }
  if (!::GetFileInformationByHandle(Handle, &Data)) {
    Error = static_cast<int>(::GetLastError());
    return false;
  }
  Fill(Data.dwFileAttributes, Data.nFileSizeHigh, Data.nFileSizeLow, Data.ftCreationTime,
       Data.ftLastWriteTime, Info);
  return true;
}

bool IsNotFound(int Code) {
  return Code == ERROR_FILE_NOT_FOUND || Code == ERROR_PATH_NOT_FOUND;
}

int ReadAccess(const std::string& Path) {
  HANDLE File = ::CreateFileW(tWideText::FromUtf8(Path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (File == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
  ::CloseHandle(File);
  return 0;
}

std::string SystemErrorText(int Code) {
  wchar_t* Buffer = nullptr;
  const DWORD Length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(Code), 0, reinterpret_cast<wchar_t*>(&Buffer), 0, nullptr);
  std::wstring Text = Length > 0 && Buffer != nullptr ? std::wstring(Buffer, Length) : L"";
  if (Buffer != nullptr) ::LocalFree(Buffer);
  while (!Text.empty() && (Text.back() == L'\n' || Text.back() == L'\r' || Text.back() == L' ' ||
                           Text.back() == L'.'))
    Text.pop_back();
  if (Text.empty()) Text = L"System error " + std::to_wstring(Code);
  return tWideText::ToUtf8(Text);
}

namespace {

// FlushFileBuffers, where the file can be kept at all: a console or a pipe (a record sent to
// standard output) has nothing to keep.
bool Sync(HANDLE File, int& Error) {
  if (::FlushFileBuffers(File)) return true;
  const DWORD Code = ::GetLastError();
  if (Code == ERROR_INVALID_HANDLE || Code == ERROR_INVALID_FUNCTION) return true;
  Error = static_cast<int>(Code);
  return false;
}

}  // namespace

bool AppendDurably(const std::string& Path, const std::string& Bytes, int& Error) {
  // Append access alone: every write goes to the end of the file, whoever else appends.
  HANDLE File = ::CreateFileW(tWideText::FromUtf8(Path).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (File == INVALID_HANDLE_VALUE) {
    Error = static_cast<int>(::GetLastError());
    return false;
  }
  bool Written = true;
  for (size_t Done = 0; Done < Bytes.size();) {
    DWORD Count = 0;
    const DWORD Want = static_cast<DWORD>(std::min<size_t>(Bytes.size() - Done, 1u << 30));
    if (!::WriteFile(File, Bytes.data() + Done, Want, &Count, nullptr) || Count == 0) {
      const DWORD Code = ::GetLastError();
      Error = Code != 0 ? static_cast<int>(Code) : ERROR_DISK_FULL;
      Written = false;
      break;
    }
    Done += Count;
  }
  if (Written) Written = Sync(File, Error);
  ::CloseHandle(File);
  return Written;
}

bool SyncToDisk(std::FILE* File, int& Error) {
  if (!File || std::fflush(File) != 0) {
    Error = ERROR_WRITE_FAULT;
    return false;
  }
  const HANDLE Handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(File)));
  if (Handle == INVALID_HANDLE_VALUE) {
    Error = ERROR_INVALID_HANDLE;
    return false;
  }
  return Sync(Handle, Error);
}

bool Remove(const std::string& Path, int& Error) {
  if (::DeleteFileW(tWideText::FromUtf8(Path).c_str())) return true;
  Error = static_cast<int>(::GetLastError());
  return false;
}

bool ListFolder(const std::string& Folder, std::vector<std::string>& Names, int& Error) {
  WIN32_FIND_DATAW Data{};
  HANDLE Find = ::FindFirstFileW(tWideText::FromUtf8(Folder + "/*").c_str(), &Data);
  if (Find == INVALID_HANDLE_VALUE) {
    Error = static_cast<int>(::GetLastError());
    return false;
  }
  Names.clear();
  do {
    const std::string Name = tWideText::ToUtf8(Data.cFileName);
    if (Name != "." && Name != "..") Names.push_back(Name);
  } while (::FindNextFileW(Find, &Data));
  ::FindClose(Find);
  return true;
}

}  // namespace tFiles

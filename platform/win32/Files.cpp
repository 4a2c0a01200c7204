#include "platform/Files.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <optional>

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
  Info.Type = (Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ft_Folder
              : (Attributes & FILE_ATTRIBUTE_DEVICE) != 0  ? ft_Device
                                                           : ft_Regular;
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
  if (const DWORD Type = ::GetFileType(Handle); Type != FILE_TYPE_DISK) {
    Info = tFileInfo{};
    Info.Type = Type == FILE_TYPE_PIPE ? ft_Fifo : ft_Device;
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

void SetStopCheck(bool (*)()) {
  // No call here is ever interrupted by a signal: a stop request reaches the program on a
  // thread of its own.
}

std::FILE* OpenRegular(const std::string& Path, tOpenFor For, int& Error, std::string& Why) {
  Error = 0;
  auto Refuse = [&](tFileType Type) -> std::FILE* {
    Error = 0;
    Why = NotRegularText(Type);
    return nullptr;
  };
  auto Fail = [&](DWORD Code) -> std::FILE* {
    Error = static_cast<int>(Code);
    Why = SystemErrorText(Error);
    return nullptr;
  };
  // The name is looked at first: opening a device could already act on it.
  tFileInfo Info;
  if (int Code = 0; Describe(Path, Info, Code)) {
    if (!Info.Regular) return Refuse(Info.Type);
  } else if (!(For == of_Append && IsNotFound(Code))) {
    return Fail(static_cast<DWORD>(Code));
  }
  // Append access alone: every write goes to the end of the file, whoever else appends. A
  // folder is never opened without FILE_FLAG_BACKUP_SEMANTICS; a pipe's open never waits.
  HANDLE File = ::CreateFileW(
      tWideText::FromUtf8(Path).c_str(), For == of_Read ? GENERIC_READ : FILE_APPEND_DATA,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, For == of_Read ? OPEN_EXISTING : OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (File == INVALID_HANDLE_VALUE) {
    const DWORD Code = ::GetLastError();
    if (int Ignored = 0;
        Code == ERROR_ACCESS_DENIED && Describe(Path, Info, Ignored) && !Info.Regular)
      return Refuse(Info.Type);
    return Fail(Code);
  }
  // What was opened is looked at again: the name may lead elsewhere by now.
  if (const DWORD Type = ::GetFileType(File); Type != FILE_TYPE_DISK) {
    ::CloseHandle(File);
    return Refuse(Type == FILE_TYPE_PIPE ? ft_Fifo : ft_Device);
  }
  BY_HANDLE_FILE_INFORMATION Data{};
  if (!::GetFileInformationByHandle(File, &Data)) {
    const DWORD Code = ::GetLastError();
    ::CloseHandle(File);
    return Fail(Code);
  }
  if ((Data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    ::CloseHandle(File);
    return Refuse(ft_Folder);
  }
  const int Fd =
      ::_open_osfhandle(reinterpret_cast<std::intptr_t>(File),
                        (For == of_Read ? _O_RDONLY : _O_WRONLY | _O_APPEND) | _O_BINARY);
  if (Fd < 0) {
    ::CloseHandle(File);
    return Fail(ERROR_TOO_MANY_OPEN_FILES);
  }
  std::FILE* Stream = ::_fdopen(Fd, For == of_Read ? "rb" : "ab");
  if (Stream == nullptr) {
    ::_close(Fd);  // closes the handle too
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  return Stream;
}

namespace {

// Appenders of one file take turns, each for its one write: where the system makes "to the
// end" and "write" two steps (as Wine does for a file opened for appending only), two programs'
// lines could otherwise land on the same place. The lock lies far beyond any data, so it holds
// back no reader and no write of the file's bytes, only other appenders; it is released with
// the handle, however its holder ends.
class tAppendTurn {
 public:
  explicit tAppendTurn(HANDLE File) : fFile(File) {
    fHeld = ::LockFileEx(fFile, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, At()) != 0;
  }
  ~tAppendTurn() {
    if (fHeld) ::UnlockFileEx(fFile, 0, 1, 0, At());
  }
  tAppendTurn(const tAppendTurn&) = delete;
  tAppendTurn& operator=(const tAppendTurn&) = delete;

 private:
  OVERLAPPED* At() {
    fAt = {};
    fAt.Offset = 0xFFFFFFFEu;
    fAt.OffsetHigh = 0x7FFFFFFFu;
    return &fAt;
  }
  HANDLE fFile;
  OVERLAPPED fAt{};
  bool fHeld = false;
};

bool AppendWhole(const std::string& Path, const std::string& Bytes, bool Durably, int& Error,
                 std::string& Why) {
  Error = 0;
  std::FILE* Stream = OpenRegular(Path, of_Append, Error, Why);
  if (Stream == nullptr) return false;
  const HANDLE File = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(Stream)));
  std::optional<tAppendTurn> Turn(std::in_place, File);
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
  Turn.reset();
  if (Written && Durably) Written = Sync(File, Error);
  // Nothing went through the stream's buffer: closing it only closes the file.
  std::fclose(Stream);
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

bool Replace(const std::string& From, const std::string& To, int& Error) {
  if (::MoveFileExW(tWideText::FromUtf8(From).c_str(), tWideText::FromUtf8(To).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
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

#include "platform/MappedFile.h"

#include <windows.h>

#include "platform/win32/WideText.h"

namespace {

HANDLE FileHandle(std::intptr_t Handle) {
  return reinterpret_cast<HANDLE>(Handle);
}

}  // namespace

bool tMappedFile::Fail() {
  LastError = static_cast<int>(::GetLastError());
  return false;
}

std::intptr_t OpenLockedFile(const std::string& Path, tMappedFile::tOpening How, bool Writable,
                             int& Error) {
  Error = 0;
  // Share mode 0 is the lock: no other open of the file succeeds while this one holds it
  // (ERROR_SHARING_VIOLATION). The file is created here when missing but cut only after the
  // open, which is after the lock is held.
  const DWORD Access = Writable ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
  const DWORD Disposition = How == tMappedFile::mf_CreateAlways ? OPEN_ALWAYS : OPEN_EXISTING;
  HANDLE File = ::CreateFileW(tWideText::FromUtf8(Path).c_str(), Access, 0, nullptr, Disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (File == INVALID_HANDLE_VALUE) {
    Error = static_cast<int>(::GetLastError());
    return -1;
  }
  if (How != tMappedFile::mf_OpenExisting) {
    LARGE_INTEGER Zero{};
    if (!::SetFilePointerEx(File, Zero, nullptr, FILE_BEGIN) || !::SetEndOfFile(File)) {
      Error = static_cast<int>(::GetLastError());
      ::CloseHandle(File);
      return -1;
    }
  }
  return reinterpret_cast<std::intptr_t>(File);
}

std::FILE* OpenLockedStream(const std::string& Path, tMappedFile::tOpening How, int& Error) {
  const std::intptr_t Handle = OpenLockedFile(Path, How, true, Error);
  if (Handle == -1) return nullptr;
  return StreamOverHandle(Handle, true, Error);
}

bool tMappedFile::GetSize(uint64_t& aSize) {
  LARGE_INTEGER Size{};
  if (!::GetFileSizeEx(FileHandle(Handle), &Size)) return Fail();
  aSize = static_cast<uint64_t>(Size.QuadPart);
  return true;
}

bool tMappedFile::Extend(uint64_t aSize) {
  uint64_t Now = 0;
  if (!GetSize(Now)) return false;
  if (Now >= aSize) return true;
  // NTFS allocates the clusters when the end of file moves, so a full disk shows here and
  // not as a fault while writing through a view.
  return SetSize(aSize);
}

bool tMappedFile::SetSize(uint64_t aSize) {
  LARGE_INTEGER Position{};
  Position.QuadPart = static_cast<LONGLONG>(aSize);
  if (!::SetFilePointerEx(FileHandle(Handle), Position, nullptr, FILE_BEGIN)) return Fail();
  if (!::SetEndOfFile(FileHandle(Handle))) return Fail();  // ERROR_USER_MAPPED_FILE while mapped
  return true;
}

void* tMappedFile::MapView(std::size_t Length, bool Writable) {
  // A mapping of exactly Length bytes; the view keeps the mapping alive, so its handle is
  // closed at once and UnmapView needs nothing but the view.
  const uint64_t Size = Length;
  HANDLE Mapping = ::CreateFileMappingW(
      FileHandle(Handle), nullptr, Writable ? PAGE_READWRITE : PAGE_READONLY,
      static_cast<DWORD>(Size >> 32), static_cast<DWORD>(Size & 0xFFFFFFFFu), nullptr);
  if (Mapping == nullptr) {
    Fail();
    return nullptr;
  }
  void* View = ::MapViewOfFile(Mapping, Writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, Length);
  if (View == nullptr) Fail();
  ::CloseHandle(Mapping);
  return View;
}

void tMappedFile::UnmapView(void* View, std::size_t) {
  if (View != nullptr) ::UnmapViewOfFile(View);
}

bool tMappedFile::FlushView(void* View, std::size_t Length) {
  if (Length == 0) return true;
  if (!::FlushViewOfFile(View, Length)) return Fail();
  return FlushFile();  // FlushViewOfFile only starts the writes; this waits for them
}

bool tMappedFile::FlushFile() {
  if (!::FlushFileBuffers(FileHandle(Handle))) return Fail();
  return true;
}

bool tMappedFile::Close() {
  if (Handle == -1) return true;
  const bool Closed = ::CloseHandle(FileHandle(Handle));
  Handle = -1;
  return Closed ? true : Fail();
}

#include "platform/win32/WideText.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace tWideText {

std::wstring FromUtf8(const std::string& Text) {
  if (Text.empty()) return {};
  const int Size = static_cast<int>(Text.size());
  const int Length = MultiByteToWideChar(CP_UTF8, 0, Text.data(), Size, nullptr, 0);
  if (Length <= 0) return {};
  std::wstring Wide(static_cast<size_t>(Length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, Text.data(), Size, Wide.data(), Length);
  return Wide;
}

std::string ToUtf8(const std::wstring& Text) {
  if (Text.empty()) return {};
  const int Size = static_cast<int>(Text.size());
  const int Length =
      WideCharToMultiByte(CP_UTF8, 0, Text.data(), Size, nullptr, 0, nullptr, nullptr);
  if (Length <= 0) return {};
  std::string Narrow(static_cast<size_t>(Length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, Text.data(), Size, Narrow.data(), Length, nullptr, nullptr);
  return Narrow;
}

}  // namespace tWideText

std::FILE* StreamOverHandle(std::intptr_t File, bool ReadToo, int& Error) {
  const int Fd = ::_open_osfhandle(File, (ReadToo ? _O_RDWR : _O_WRONLY) | _O_BINARY);
  if (Fd < 0) {
    Error = ERROR_TOO_MANY_OPEN_FILES;
    ::CloseHandle(reinterpret_cast<HANDLE>(File));
    return nullptr;
  }
  std::FILE* Stream = ::_fdopen(Fd, ReadToo ? "r+b" : "wb");
  if (Stream == nullptr) {
    Error = ERROR_NOT_ENOUGH_MEMORY;
    ::_close(Fd);  // closes the handle too
  }
  return Stream;
}

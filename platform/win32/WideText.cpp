#include "platform/win32/WideText.h"

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

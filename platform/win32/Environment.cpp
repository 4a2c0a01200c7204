#include "platform/Environment.h"

#include <windows.h>

#include <cstdlib>

#include "platform/win32/WideText.h"

namespace tEnvironment {

// The C runtime's wide copy of the environment, which it passes on to the programs it starts
// and keeps in step with the system's.
std::optional<std::string> Get(const std::string& Name) {
  const wchar_t* Value = ::_wgetenv(tWideText::FromUtf8(Name).c_str());
  if (!Value) return std::nullopt;
  return tWideText::ToUtf8(Value);
}

bool Set(const std::string& Name, const std::string& Value) {
  // An empty value would remove the variable: Windows has no empty variables.
  return ::_wputenv_s(tWideText::FromUtf8(Name).c_str(), tWideText::FromUtf8(Value).c_str()) == 0;
}

void Unset(const std::string& Name) {
  ::_wputenv_s(tWideText::FromUtf8(Name).c_str(), L"");
}

unsigned long ProcessId() {
  return ::GetCurrentProcessId();
}

std::string HostName() {
  wchar_t Name[256] = {};
  DWORD Length = 256;
  if (!::GetComputerNameExW(ComputerNameDnsHostname, Name, &Length)) return {};
  return tWideText::ToUtf8(std::wstring(Name, Length));
}

}  // namespace tEnvironment

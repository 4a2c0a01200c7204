// Serial ports a window test makes appear in the port list and disappear again, the way each
// system lists them: on Linux a COM<n> link in the (test's own) port folder pointing at
// /dev/null; on Windows a value in the registry's SERIALCOMM list (under Wine, the test
// prefix's registry). What is added is removed when the object goes.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <filesystem>

#include "platform/Paths.h"
#endif

class tTestPorts {
 public:
  tTestPorts() = default;
  tTestPorts(const tTestPorts&) = delete;
  tTestPorts& operator=(const tTestPorts&) = delete;
  ~tTestPorts() {
    for (int32_t Com : std::set<int32_t>(Added))
      Remove(Com);
  }

  // The device name the port list shows beside the number.
  static std::string Name(int32_t Com) {
#ifdef _WIN32
    return "CaddisTest" + std::to_string(Com);
#else
    (void)Com;
    return "null";
#endif
  }

  void Add(int32_t Com) {
#ifdef _WIN32
    HKEY Key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, SerialComm, 0, nullptr, REG_OPTION_VOLATILE,
                          KEY_SET_VALUE, nullptr, &Key, nullptr) != ERROR_SUCCESS)
      return;
    const std::wstring Data = L"COM" + std::to_wstring(Com);
    ::RegSetValueExW(Key, ValueName(Com).c_str(), 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(Data.c_str()),
                     static_cast<DWORD>((Data.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(Key);
#else
    std::filesystem::create_directories(tPaths::PortFolder());
    std::filesystem::create_symlink("/dev/null", Link(Com));
#endif
    Added.insert(Com);
  }

  void Remove(int32_t Com) {
#ifdef _WIN32
    HKEY Key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, SerialComm, 0, KEY_SET_VALUE, &Key) == ERROR_SUCCESS) {
      ::RegDeleteValueW(Key, ValueName(Com).c_str());
      ::RegCloseKey(Key);
    }
#else
    std::error_code Ignored;
    std::filesystem::remove(Link(Com), Ignored);
#endif
    Added.erase(Com);
  }

 private:
#ifdef _WIN32
  static constexpr const wchar_t* SerialComm = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
  static std::wstring ValueName(int32_t Com) {
    return L"\\Device\\CaddisTest" + std::to_wstring(Com);
  }
#else
  static std::string Link(int32_t Com) {
    return tPaths::PortFolder() + "/COM" + std::to_string(Com);
  }
#endif
  std::set<int32_t> Added;
};

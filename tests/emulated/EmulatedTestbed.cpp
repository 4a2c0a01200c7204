#include "emulated/EmulatedTestbed.h"

#include <umockdev.h>

#include <cstdlib>
#include <filesystem>

namespace emulated {

namespace {

std::string& RootFolder() {
  static std::string Folder;
  return Folder;
}

}  // namespace

UMockdevTestbed* Testbed() {
  // Kept to the end: the preload library and libusb's threads use the testbed's folder until
  // the process ends. Only the folder is removed then.
  static UMockdevTestbed* const Instance = [] {
    UMockdevTestbed* Made = umockdev_testbed_new();
    gchar* Root = umockdev_testbed_get_root_dir(Made);
    RootFolder() = Root;
    g_free(Root);
    std::atexit([] {
      std::error_code Ignored;
      std::filesystem::remove_all(RootFolder(), Ignored);
    });
    return Made;
  }();
  return Instance;
}

bool Active() {
  Testbed();  // asking before the testbed exists loses its add events for the whole process
  return umockdev_in_mock_environment();
}

std::string RealPath(const std::string& aPath) {
  gchar* Root = umockdev_testbed_get_root_dir(Testbed());
  std::string Path = std::string(Root) + aPath;
  g_free(Root);
  return Path;
}

bool AddFromString(const std::string& aDescription, std::string* aError) {
  GError* Error = nullptr;
  if (umockdev_testbed_add_from_string(Testbed(), aDescription.c_str(), &Error)) return true;
  if (aError) *aError = Error ? Error->message : "umockdev refused the description";
  if (Error) g_error_free(Error);
  return false;
}

void Uevent(const std::string& aSysPath, const char* aAction) {
  umockdev_testbed_uevent(Testbed(), aSysPath.c_str(), aAction);
}

void Remove(const std::string& aSysPath) {
  Uevent(aSysPath, "remove");
  umockdev_testbed_remove_device(Testbed(), aSysPath.c_str());
}

}  // namespace emulated

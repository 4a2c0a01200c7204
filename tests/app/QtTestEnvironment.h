// A QApplication on the offscreen platform for the window tests, made once per test program,
// with isolated port, config and sysfs folders so the port list holds only what a test adds.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/QtUIThread.h"
#include "app/WindowFont.h"

class tQtTestEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    std::string Pattern = (std::filesystem::temp_directory_path() / "caddis-gui-XXXXXX").string();
    Root = mkdtemp(Pattern.data());
    std::filesystem::create_directories(Root + "/sys/class/tty");
    setenv("CADDIS_RUNTIME_DIR", (Root + "/run").c_str(), 1);
    setenv("CADDIS_CONFIG_DIR", (Root + "/config").c_str(), 1);
    // The window's updates append to the service record, in the state folder.
    setenv("XDG_STATE_HOME", (Root + "/state").c_str(), 1);
    unsetenv("CADDIS_RECORD");
    setenv("CADDIS_SYSFS_ROOT", (Root + "/sys").c_str(), 1);
    setenv("CADDIS_DEV_ROOT", (Root + "/dev").c_str(), 1);
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int Argc = 1;
    static char Name[] = "caddis-gui-test";
    static char* Argv[] = {Name, nullptr};
    App = new QApplication(Argc, Argv);
    InstallQtUIThread();
    UseWindowFont();  // as the program sets it before its window
  }
  void TearDown() override {
    delete App;
    std::error_code Ignored;
    std::filesystem::remove_all(Root, Ignored);
  }
  static inline std::string Root;
  QApplication* App = nullptr;
};

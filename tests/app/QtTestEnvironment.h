// A QApplication for the window tests, made once per test program on the platform
// tQtTestPlatform picks (offscreen unless told otherwise), with isolated port, config and
// sysfs folders so the port list holds only what a test adds.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QThread>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "QtTestPlatform.h"
#include "TempFolder.h"
#include "app/QtUIThread.h"
#include "app/WindowFont.h"

// Runs the event loop (timer ticks, hand-offs, device notices) until Done or the limit.
template <typename Pred>
bool Within(Pred Done, int Seconds = 20) {
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > Until) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(2);
  }
  return true;
}

class tQtTestEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    Folder = std::make_unique<tTempFolder>("caddis-gui-");
    Root = Folder->Path;
    std::filesystem::create_directories(Root + "/sys/class/tty");
    for (const auto& [Name, Sub] : {std::pair{"CADDIS_RUNTIME_DIR", "/run"},
                                    {"CADDIS_CONFIG_DIR", "/config"},
                                    {"CADDIS_SYSFS_ROOT", "/sys"},
                                    {"CADDIS_DEV_ROOT", "/dev"},
                                    // The window's updates append to the service record and
                                    // keep the old firmware, in the state folder.
                                    {"XDG_STATE_HOME", "/state"},
                                    {"LOCALAPPDATA", "/state"}})
      Env.push_back(std::make_unique<tScopedEnv>(Name, Root + Sub));
    tEnvironment::Unset("CADDIS_RECORD");
    [[maybe_unused]] const std::string Platform = tQtTestPlatform::Choose();
#ifdef _WIN32
    // The offscreen platform on Windows draws text with FreeType from one folder, not with the
    // system's fonts: the one that holds the window's font.
    if (Platform == "offscreen" && !tEnvironment::Get("QT_QPA_FONTDIR"))
      Env.push_back(std::make_unique<tScopedEnv>("QT_QPA_FONTDIR", TahomaFolder().toStdString()));
#endif
    static int Argc = 1;
    static char Name[] = "caddis-gui-test";
    static char* Argv[] = {Name, nullptr};
    App = std::make_unique<QApplication>(Argc, Argv);
    InstallQtUIThread();
    UseWindowFont();  // as the program sets it before its window
  }
  void TearDown() override {
    App.reset();
    Env.clear();
    Folder.reset();
  }
  static inline std::string Root;

 private:
  std::unique_ptr<tTempFolder> Folder;
  std::vector<std::unique_ptr<tScopedEnv>> Env;
  std::unique_ptr<QApplication> App;
};

// The caddis-updater program itself on the offscreen platform: its command line and the
// start-up stamp that the window measurement reads.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

class CaddisUpdaterProcess : public testing::Test {
 protected:
  void SetUp() override {
    std::string Pattern = (std::filesystem::temp_directory_path() / "caddis-proc-XXXXXX").string();
    Root = mkdtemp(Pattern.data());
    std::filesystem::create_directories(Root + "/sys/class/tty");
  }
  void TearDown() override { std::filesystem::remove_all(Root); }

  // Starts the program with Arguments, waits for its stamp and ends it; the stamp's text.
  std::string StampOf(const std::vector<std::string>& Arguments) {
    const std::string Stamp = Root + "/stamp";
    std::filesystem::remove(Stamp);
    std::vector<std::string> Env = {
        "QT_QPA_PLATFORM=offscreen",          "CADDIS_STARTUP_STAMP=" + Stamp,
        "CADDIS_RUNTIME_DIR=" + Root,         "CADDIS_CONFIG_DIR=" + Root + "/config",
        "CADDIS_SYSFS_ROOT=" + Root + "/sys", "CADDIS_DEV_ROOT=" + Root + "/dev"};
    for (char** E = environ; *E; ++E)
      if (std::string(*E).rfind("CADDIS_", 0) != 0 && std::string(*E).rfind("QT_QPA", 0) != 0)
        Env.push_back(*E);
    std::vector<std::string> Args = {UPDATER_PATH};
    Args.insert(Args.end(), Arguments.begin(), Arguments.end());
    auto Pointers = [](std::vector<std::string>& Strings) {
      std::vector<char*> P;
      for (auto& S : Strings)
        P.push_back(S.data());
      P.push_back(nullptr);
      return P;
    };
    auto ArgP = Pointers(Args);
    auto EnvP = Pointers(Env);
    pid_t Pid = -1;
    EXPECT_EQ(posix_spawn(&Pid, UPDATER_PATH, nullptr, nullptr, ArgP.data(), EnvP.data()), 0);
    if (Pid < 0) return "";
    std::string Text;
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < Until) {
      std::ifstream In(Stamp);
      std::stringstream All;
      All << In.rdbuf();
      Text = All.str();
      if (Text.find("logging-controls") != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(Pid, SIGTERM);
    int Status = 0;
    waitpid(Pid, &Status, 0);
    return Text;
  }

  std::string Root;
};

// Any parameter shows "Log", "AYT" and "Clear", also those the toolkit takes as its own.
TEST_F(CaddisUpdaterProcess, AnyParameterShowsTheLoggingControls) {
  EXPECT_NE(StampOf({}).find("logging-controls hidden"), std::string::npos);
  for (const std::vector<std::string>& Arguments :
       std::vector<std::vector<std::string>>{{"--log"}, {"-reverse"}, {"-title", "X"}}) {
    const std::string Stamp = StampOf(Arguments);
    EXPECT_NE(Stamp.find("logging-controls shown"), std::string::npos)
        << Arguments[0] << ": " << Stamp;
    // The first paint's wall-clock time, for the start-up measurement, and the platform
    // plugin that drew it.
    EXPECT_EQ(Stamp.rfind("first-paint-ns ", 0), 0u) << Stamp;
    EXPECT_NE(Stamp.find("\nplatform offscreen\n"), std::string::npos) << Stamp;
  }
}

}  // namespace

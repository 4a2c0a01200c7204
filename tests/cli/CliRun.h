// What the command-line tests share: a run of a program with its standard output and error in
// files, and a fixture with a private runtime folder, simulated cards and image files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "sim/SimProcess.h"

using namespace std::chrono_literals;

struct tRun {
  int Exit = -1;  // -1: killed after its time ran out
  std::string Out;
  std::string Err;
};

// One run of a program with its standard output and error caught in files.
class tProcess {
 public:
  tProcess(const tTestRuntime& Runtime, const std::string& Program,
           const std::vector<std::string>& Args)
      : OutPath(Runtime.Folder.Path + "/run-" + std::to_string(++Count)),
        Pid(SpawnProgram(Program, Args, OutPath + ".out", OutPath + ".err")) {}
  ~tProcess() { Stop(); }

  // Waits up to Limit for the program to end; kills it after that.
  tRun Wait(std::chrono::milliseconds Limit = 30s) {
    int Status = 0;
    if (Pid > 0) {
      if (WaitFor([&] { return waitpid(Pid, &Status, WNOHANG) == Pid; }, Limit)) {
        Result.Exit = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
        Pid = -1;
      } else {
        Stop();
      }
    }
    Result.Out = FileText(OutPath + ".out");
    Result.Err = FileText(OutPath + ".err");
    return Result;
  }
  void Signal(int Number) {
    if (Pid > 0) kill(Pid, Number);
  }
  void Stop() {
    if (Pid <= 0) return;
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
    Pid = -1;
  }
  std::string Output() const { return FileText(OutPath + ".out"); }

 private:
  static inline int Count = 0;
  std::string OutPath;
  pid_t Pid = -1;
  tRun Result;
};

inline bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

class tCliFixture : public ::testing::Test {
 protected:
  tRun Caddis(const std::vector<std::string>& Args, std::chrono::milliseconds Limit = 30s) {
    return tProcess(Runtime, CADDIS_PATH, Args).Wait(Limit);
  }
  // Starts a simulated card on port Com and waits for its port entry.
  std::unique_ptr<tSimProcess> StartCard(int Com, std::vector<std::string> Args = {}) {
    Args.insert(Args.begin(), {"--com", std::to_string(Com)});
    auto Sim = std::make_unique<tSimProcess>(Runtime, Args);
    EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(Runtime.PortLink(Com)); }))
        << Sim->Output();
    return Sim;
  }
  std::string WriteImage(const std::string& Name, std::size_t Size) {
    std::vector<char> Bytes(Size);
    std::mt19937 Random(Size);
    for (char& B : Bytes)
      B = static_cast<char>(Random());
    const std::string Path = Runtime.Folder.Path + "/" + Name;
    std::ofstream(Path, std::ios::binary).write(Bytes.data(), Bytes.size());
    return Path;
  }

  tTestRuntime Runtime;
  tScopedEnv fLogDir{"CADDIS_LOG_DIR", Runtime.Folder.Path};
};

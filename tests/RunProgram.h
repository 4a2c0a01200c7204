// Runs a program of the build to its end and collects its exit status and output, for the
// tests that drive the real caddis program.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

struct tProgramRun {
  int Exit = -1;       // -1: it did not end within its time, or did not run
  std::string Output;  // standard output and error together

  bool Says(const std::string& aText) const { return Output.find(aText) != std::string::npos; }
};

// Runs aArgv (the program first) with the output in aOutputPath, for at most aLimit.
// aInChild runs in the child just before the program starts (async-signal-safe calls only);
// it returns false to make the child fail with exit status 125.
inline tProgramRun RunProgram(const std::vector<std::string>& aArgv, const std::string& aOutputPath,
                              std::chrono::seconds aLimit = std::chrono::seconds(120),
                              const std::function<bool()>& aInChild = {}) {
  std::vector<std::string> Argv = aArgv;
  std::vector<char*> Pointers;
  for (auto& A : Argv)
    Pointers.push_back(A.data());
  Pointers.push_back(nullptr);
  const pid_t Pid = fork();
  if (Pid == 0) {
    const int Out = open(aOutputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (Out < 0 || dup2(Out, 1) < 0 || dup2(Out, 2) < 0) _exit(126);
    if (aInChild && !aInChild()) _exit(125);
    execv(Pointers[0], Pointers.data());
    _exit(127);
  }
  tProgramRun Run;
  if (Pid > 0) {
    int Status = 0;
    const auto Until = std::chrono::steady_clock::now() + aLimit;
    pid_t Ended = 0;
    while ((Ended = waitpid(Pid, &Status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < Until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (Ended == 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, &Status, 0);
    } else if (Ended == Pid && WIFEXITED(Status)) {
      Run.Exit = WEXITSTATUS(Status);
    }
  }
  std::ifstream File(aOutputPath);
  std::stringstream Text;
  Text << File.rdbuf();
  Run.Output = Text.str();
  std::remove(aOutputPath.c_str());
  return Run;
}

// A small program the process tests start: it writes its arguments back, one per line on
// standard output (after "args:"), writes "err:" and the first argument on standard error, and
// with "wait" as its first argument waits for a stop request and exits 128 + its reason;
// with "handle N" (Windows) says whether handle N is open in it ("handle open"/"handle
// closed"); with "log FOLDER COUNT TAG" appends COUNT lines "TAG <i>" to FOLDER's link-error log,
// as the tool does, and exits 0; otherwise it exits with the number after "exit", if any.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/Console.h"
#include "support/LogFile.h"

namespace {
std::atomic<int> Stopped{0};
void OnStop(int Reason) {
  Stopped = Reason;
}
}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> Args = tConsole::Arguments(argc, argv);
  tConsole::InstallStopHandler(OnStop);
  std::printf("args:\n");
  for (std::size_t i = 1; i < Args.size(); ++i)
    std::printf("%s\n", Args[i].c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "err:%s\n", Args.size() > 1 ? Args[1].c_str() : "");
  std::fflush(stderr);
  if (Args.size() > 1 && Args[1] == "wait") {
    std::printf("waiting\n");
    std::fflush(stdout);
    // Bounded, so a stop request that never comes fails the test instead of hanging it.
    for (int i = 0; i < 3000 && !Stopped; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return Stopped ? 128 + Stopped : 99;
  }
#ifdef _WIN32
  if (Args.size() > 2 && Args[1] == "handle") {
    // Whether the handle with this number is open in this program.
    DWORD Flags = 0;
    const auto Handle = reinterpret_cast<HANDLE>(std::strtoull(Args[2].c_str(), nullptr, 10));
    std::printf("handle %s\n", ::GetHandleInformation(Handle, &Flags) ? "open" : "closed");
    return 0;
  }
#endif
  if (Args.size() > 4 && Args[1] == "log") {
    LogFolder = Args[2];
    SetLogFormats("%Y-%m-%d", "%H:%M:%S");
    const int Count = std::atoi(Args[3].c_str());
    for (int i = 0; i < Count; ++i)
      LogToFile(Args[4] + " " + std::to_string(i));
    return 0;
  }
  for (std::size_t i = 1; i + 1 < Args.size(); ++i)
    if (Args[i] == "exit") return std::atoi(Args[i + 1].c_str());
  return 0;
}

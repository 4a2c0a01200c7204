// A pseudo-terminal for tests and benchmarks: the test holds the master side, the code under
// test opens the slave side as its serial device.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

extern char** environ;

class tPseudoTerminal {
 public:
  tPseudoTerminal() {
    Master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0)
      throw std::runtime_error(std::string("posix_openpt: ") + std::strerror(errno));
    char Name[128];
    if (ptsname_r(Master, Name, sizeof Name) != 0) throw std::runtime_error("ptsname_r failed");
    SlavePath = Name;
    // The slave starts in cooked mode with echo; nothing may be echoed or translated.
    termios Settings{};
    tcgetattr(Master, &Settings);
    cfmakeraw(&Settings);
    tcsetattr(Master, TCSANOW, &Settings);
  }
  ~tPseudoTerminal() { CloseMaster(); }
  tPseudoTerminal(const tPseudoTerminal&) = delete;
  tPseudoTerminal& operator=(const tPseudoTerminal&) = delete;

  void CloseMaster() {
    if (Master >= 0) ::close(Master);
    Master = -1;
  }

  // Writes all Count bytes, waiting for room; false if the far end takes nothing for Timeout.
  bool WriteAll(const void* Buffer, size_t Count,
                std::chrono::milliseconds Timeout = std::chrono::seconds(20)) {
    const auto* Bytes = static_cast<const uint8_t*>(Buffer);
    while (Count > 0) {
      const ssize_t N = ::write(Master, Bytes, Count);
      if (N > 0) {
        Bytes += N;
        Count -= static_cast<size_t>(N);
        continue;
      }
      if (N < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (!WaitFor(POLLOUT, Timeout)) return false;
    }
    return true;
  }

  // Reads what has arrived, waiting up to Timeout for the first byte; 0 when none came.
  size_t ReadSome(void* Buffer, size_t Count,
                  std::chrono::milliseconds Timeout = std::chrono::seconds(20)) {
    for (;;) {
      const ssize_t N = ::read(Master, Buffer, Count);
      if (N > 0) return static_cast<size_t>(N);
      if (N < 0 && errno != EAGAIN && errno != EINTR) return 0;
      if (!WaitFor(POLLIN, Timeout)) return 0;
    }
  }

  int Master = -1;
  std::string SlavePath;

 private:
  bool WaitFor(short Events, std::chrono::milliseconds Timeout) {
    pollfd Fd = {Master, Events, 0};
    return poll(&Fd, 1, static_cast<int>(Timeout.count())) > 0;
  }
};

// Another program that has a port open while it lives, as a terminal program would: "sleep",
// with the device as its standard input.
class tPortHolder {
 public:
  explicit tPortHolder(const std::string& Device) {
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 0, Device.c_str(), O_RDWR | O_NOCTTY, 0);
    char Sleep[] = "sleep", Seconds[] = "60";
    char* Argv[] = {Sleep, Seconds, nullptr};
    if (posix_spawnp(&Pid, "sleep", &Actions, nullptr, Argv, environ) != 0) Pid = -1;
    posix_spawn_file_actions_destroy(&Actions);
  }
  ~tPortHolder() { End(); }
  tPortHolder(const tPortHolder&) = delete;
  tPortHolder& operator=(const tPortHolder&) = delete;
  void End() {
    if (Pid <= 0) return;
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
    Pid = -1;
  }
  // How the tool names it: "sleep (pid 812)".
  std::string Name() const { return "sleep (pid " + std::to_string(Pid) + ")"; }
  pid_t Pid = -1;
};

// The byte at position i of a test pattern that does not repeat every 256 bytes.
inline uint8_t PatternByte(uint64_t i) {
  return static_cast<uint8_t>((i * 2654435761u) >> 13 ^ (i >> 8));
}

#include "sim/SimPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/Paths.h"

tSimPort::~tSimPort() {
  Close();
}

std::string tSimPort::LinkPath() const {
  return tPaths::PortFolder() + "/COM" + std::to_string(ComNumber);
}

bool tSimPort::Open(std::string& Error) {
  Close();
  if (GivenDevice) return OpenGiven(Error);
  Master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0 || ptsname(Master) == nullptr) {
    Error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    Close();
    return false;
  }
  SlavePath = ptsname(Master);
  // A pseudo-terminal starts in cooked mode with echo; the wire must carry bytes unchanged.
  termios Settings{};
  tcgetattr(Master, &Settings);
  cfmakeraw(&Settings);
  tcsetattr(Master, TCSANOW, &Settings);
  // Opening and closing the slave once makes the master report a hang-up until the tool
  // opens the port, so nothing is sent into a wire that nobody listens to.
  const int Slave = open(SlavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (Slave >= 0) close(Slave);
  if (!Register(Error)) {
    Close();
    return false;
  }
  return true;
}

// A device's far end is not this process's: the card sends whether or not anyone listens, as
// a real card's USB serial function does, and nothing is registered.
bool tSimPort::OpenGiven(std::string& Error) {
  Master = open(SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Master < 0) {
    Error = "cannot open " + SlavePath + ": " + std::strerror(errno);
    return false;
  }
  termios Settings{};
  if (tcgetattr(Master, &Settings) != 0) {
    Error = SlavePath + " is not a terminal device: " + std::strerror(errno);
    Close();
    return false;
  }
  cfmakeraw(&Settings);
  Settings.c_cflag |= CLOCAL | CREAD;
  tcsetattr(Master, TCSANOW, &Settings);
  tcflush(Master, TCIOFLUSH);
  return true;
}

bool tSimPort::Register(std::string& Error) {
  const std::string Folder = tPaths::PortFolder();
  std::string Why;
  if (!tPaths::MakeFolders(Folder, Why)) {
    Error = "cannot register COM" + std::to_string(ComNumber) + ": " + Why;
    return false;
  }
  const std::string Link = LinkPath();
  // The lock is held for as long as this card runs: a registration whose lock is free was
  // left by a card that was killed, and is replaced; a held one belongs to a running card.
  const std::string Lock = Link + ".lock";
  LockFd = open(Lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (LockFd < 0 || flock(LockFd, LOCK_EX | LOCK_NB) != 0) {
    Error = "COM" + std::to_string(ComNumber) + " is already registered by a running card" +
            (LockFd < 0 ? std::string(" (") + std::strerror(errno) + ")" : "");
    ReleaseLock(false);
    return false;
  }
  struct stat LockInfo {};
  const bool Stale = fstat(LockFd, &LockInfo) == 0 && LockInfo.st_size > 0;
  struct stat Target {};
  char Old[4096];
  const ssize_t OldLength = readlink(Link.c_str(), Old, sizeof Old - 1);
  if (!Stale && OldLength > 0 && stat(Link.c_str(), &Target) == 0) {
    // A link without a card's lock: the operator pinned the number to a device.
    Old[OldLength] = '\0';
    Error = "COM" + std::to_string(ComNumber) + " is already registered (" + Old + ")";
    ReleaseLock(true);
    return false;
  }
  // The entry appears in one step (rename), so a watcher never sees a half-made link.
  const std::string Temporary = Link + ".new" + std::to_string(getpid());
  unlink(Temporary.c_str());
  if (symlink(SlavePath.c_str(), Temporary.c_str()) != 0 ||
      rename(Temporary.c_str(), Link.c_str()) != 0) {
    Error = "cannot register " + Link + ": " + std::strerror(errno);
    unlink(Temporary.c_str());
    ReleaseLock(true);
    return false;
  }
  // The lock file's content marks it as a card's: a link beside a lock file with a pid in it
  // is known to be a card's registration, live or left behind.
  const std::string Pid = std::to_string(getpid()) + "\n";
  if (ftruncate(LockFd, 0) != 0 || write(LockFd, Pid.data(), Pid.size()) < 0) {
    // Harmless: only the next card's judgement of a left-behind link depends on it.
  }
  Registered = true;
  return true;
}

void tSimPort::ReleaseLock(bool Remove) {
  if (LockFd < 0) return;
  if (Remove) unlink((LinkPath() + ".lock").c_str());
  close(LockFd);
  LockFd = -1;
}

void tSimPort::Unregister() {
  if (!Registered) return;
  Registered = false;
  // Only our own entry is removed: another card may have taken the number meanwhile.
  char Target[4096];
  const std::string Link = LinkPath();
  const ssize_t Length = readlink(Link.c_str(), Target, sizeof Target - 1);
  if (Length > 0 && std::string(Target, static_cast<std::size_t>(Length)) == SlavePath)
    unlink(Link.c_str());
  ReleaseLock(true);
}

void tSimPort::Close() {
  Unregister();
  if (Master >= 0) close(Master);
  Master = -1;
}

tSimPort::tWait tSimPort::Wait(std::chrono::nanoseconds Timeout) {
  if (Master < 0 && GivenDevice) {
    std::string Error;
    if (!OpenGiven(Error)) {
      std::this_thread::sleep_for(Timeout);
      return tWait::Nothing;
    }
  }
  if (Master < 0) return tWait::HungUp;
  pollfd Poll{Master, POLLIN, 0};
  // Finer than milliseconds: the emulated wire times replies in fractions of one.
  const auto Ns = std::max<int64_t>(Timeout.count(), 0);
  const timespec Limit{static_cast<time_t>(Ns / 1'000'000'000),
                       static_cast<long>(Ns % 1'000'000'000)};
  const int Ready = ppoll(&Poll, 1, &Limit, nullptr);
  if (Ready < 0) return errno == EINTR ? tWait::Interrupted : tWait::HungUp;
  if (Ready == 0) return tWait::Nothing;
  if (GivenDevice && (Poll.revents & (POLLHUP | POLLERR))) {
    nanosleep(&Limit, nullptr);
    Reopen();
    return tWait::Nothing;
  }
  if (Poll.revents & POLLIN) return tWait::Readable;
  if (Poll.revents & (POLLHUP | POLLERR)) return tWait::HungUp;
  return tWait::Nothing;
}

// A given device's terminal is hung up when its bus goes (an unplug, a reset): that
// descriptor only ever reads an end of file, and the card's USB function opens its end anew.
// The card cannot tell whether anyone will listen when the bus is back, so it goes on as if
// someone were.
void tSimPort::Reopen() {
  close(Master);
  Master = -1;
  std::string Error;
  OpenGiven(Error);
}

std::size_t tSimPort::Read(uint8_t* Buffer, std::size_t Capacity) {
  if (Master < 0) return 0;
  const ssize_t Got = read(Master, Buffer, Capacity);
  if (GivenDevice && (Got == 0 || (Got < 0 && errno == EIO))) Reopen();
  return Got > 0 ? static_cast<std::size_t>(Got) : 0;
}

void tSimPort::Write(const uint8_t* Bytes, std::size_t Count) {
  if (Master < 0) return;
  pollfd Poll{Master, POLLOUT, 0};
  if (!GivenDevice && poll(&Poll, 1, 0) >= 0 && (Poll.revents & POLLHUP)) return;
  // A tool that stops reading fills the pseudo-terminal: a frame that finds no room at all is
  // lost whole, like bytes on a wire nobody listens to; one that went out in part is finished
  // so the tool never sees half a frame followed by the next.
  std::size_t Done = 0;
  for (int Attempts = 0; Done < Count && Attempts < 20; ++Attempts) {
    const ssize_t Put = write(Master, Bytes + Done, Count - Done);
    if (Put > 0) {
      Done += static_cast<std::size_t>(Put);
      continue;
    }
    if (Put < 0 && errno != EAGAIN && errno != EINTR) return;
    if (Done == 0 && Put < 0 && errno == EAGAIN) return;
    pollfd Room{Master, POLLOUT, 0};
    poll(&Room, 1, 10);
  }
}

#include "platform/SerialDevice.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/posix/SerialSysCalls.h"

namespace {

int RealModemControl(int Fd, unsigned long Request, int* Lines) {
  return Request == TIOCCBRK ? ::ioctl(Fd, Request) : ::ioctl(Fd, Request, Lines);
}

tSerialSysCalls RealCalls() {
  return {::read, ::write, RealModemControl};
}

tSerialSysCalls& Calls() {
  static tSerialSysCalls C = RealCalls();
  return C;
}

speed_t SpeedFor(int32_t BaudRate) {
  struct tRate {
    int32_t Baud;
    speed_t Speed;
  };
  static constexpr tRate Rates[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000}};
  for (const tRate& R : Rates)
    if (R.Baud == BaudRate) return R.Speed;
  return B0;
}

// Raw 8N1, receiver on, modem status ignored for open/close; VMIN 1 / VTIME 0 together with
// O_NONBLOCK make a read return at once, EAGAIN meaning "nothing yet" and 0 meaning "hung up".
void Configure(int Fd, int32_t BaudRate, bool FlowControl) {
  termios Settings{};
  if (tcgetattr(Fd, &Settings) != 0) return;
  cfmakeraw(&Settings);
  Settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  Settings.c_cflag |= CS8 | CLOCAL | CREAD;
  if (FlowControl) Settings.c_cflag |= CRTSCTS;
  Settings.c_iflag &= ~(IXON | IXOFF | IXANY);
  Settings.c_cc[VMIN] = 1;
  Settings.c_cc[VTIME] = 0;
  if (const speed_t Speed = SpeedFor(BaudRate); Speed != B0) {
    cfsetispeed(&Settings, Speed);
    cfsetospeed(&Settings, Speed);
  }
  // tcsetattr succeeds when any one setting took; whatever the driver refused stays as the
  // driver has it, which is all a caller could do about it anyway.
  tcsetattr(Fd, TCSANOW, &Settings);
  // A new session starts with none of the last one's bytes: a pseudo-terminal keeps what its
  // far end wrote meanwhile, and a USB serial device delivers at open what its device side
  // had queued. (A USB serial port hears its device even before this: until its line is made
  // raw, the kernel echoes what arrives during open back to the device. The card's rule for
  // udev makes its ports raw when they appear; the host link gets a card's frame reader back
  // in step when echoed bytes have put it out.)
  tcflush(Fd, TCIFLUSH);
}

tSerialError ErrorOf(int Errno) {
  tSerialError E;
  E.Code = Errno;
  switch (Errno) {
    case 0:
      E.Kind = tSerialError::se_None;
      break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      E.Kind = tSerialError::se_NotFound;
      break;
    case EBUSY:
      E.Kind = tSerialError::se_Busy;
      break;
    case EACCES:
    case EPERM:
      E.Kind = tSerialError::se_Denied;
      break;
    case ENOTTY:
      E.Kind = tSerialError::se_NotSerial;
      break;
    case EIO:
      E.Kind = tSerialError::se_HungUp;
      break;
    default:
      E.Kind = tSerialError::se_Other;
      break;
  }
  return E;
}

// Another process that has the character device Device open: "minicom (pid 812)", from the
// open files /proc shows; empty when there is none. Only the processes this user may look
// into are seen (every one for root).
std::string OtherHolder(dev_t Device) {
  DIR* Proc = opendir("/proc");
  if (!Proc) return {};
  const std::string Self = std::to_string(getpid());
  std::string Holder;
  while (const dirent* Process = readdir(Proc)) {
    const std::string Pid = Process->d_name;
    if (Pid.find_first_not_of("0123456789") != std::string::npos || Pid == Self) continue;
    DIR* Fds = opendir(("/proc/" + Pid + "/fd").c_str());
    if (!Fds) continue;
    while (const dirent* Fd = readdir(Fds)) {
      // Only descriptors that lead into /dev are looked at: stat() on another process's
      // file on a stalled network mount would wait for that mount.
      char Target[64];
      const ssize_t Length = readlinkat(dirfd(Fds), Fd->d_name, Target, sizeof Target - 1);
      if (Length < 5 || std::string_view(Target, 5) != "/dev/") continue;
      struct stat Info {};
      if (fstatat(dirfd(Fds), Fd->d_name, &Info, 0) == 0 && S_ISCHR(Info.st_mode) &&
          Info.st_rdev == Device) {
        std::string Program;
        std::getline(std::ifstream("/proc/" + Pid + "/comm"), Program);
        Holder = (Program.empty() ? "another program" : Program) + " (pid " + Pid + ")";
        break;
      }
    }
    closedir(Fds);
    if (!Holder.empty()) break;
  }
  closedir(Proc);
  return Holder;
}

tSerialError BusyWith(const std::string& Holder) {
  tSerialError E = ErrorOf(EBUSY);
  E.Holder = Holder;
  return E;
}

}  // namespace

struct tSerialDevice::tImpl {
  int Fd = -1;
  tSerialError Error;
  bool ModemLine(int Line, bool On) {
    return Calls().ModemControl(Fd, On ? TIOCMBIS : TIOCMBIC, &Line) == 0;
  }
};

struct tSerialWaiter::tImpl {
  int WakeEvent = -1;
  int CloseEvent = -1;
};

tSerialSysCalls& SerialSysCalls() {
  return Calls();
}

void ResetSerialSysCalls() {
  Calls() = RealCalls();
}

int SerialDeviceFd(const tSerialDevice& Device) {
  return Device.Backend().Fd;
}

tSerialDevice::tSerialDevice(std::unique_ptr<tImpl> aImpl) : Impl(std::move(aImpl)) {}

std::unique_ptr<tSerialDevice> tSerialDevice::Open(const std::string& Path, int32_t BaudRate,
                                                   bool FlowControl, tSerialError& Error) {
  Error = {};
  const int Fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) {
    const int OpenError = errno;
    Error = ErrorOf(OpenError);
    // Refused by another program's exclusive mode: name that program if it can be seen.
    if (struct stat Info{}; OpenError == EBUSY && stat(Path.c_str(), &Info) == 0)
      Error.Holder = OtherHolder(Info.st_rdev);
    return nullptr;
  }
  if (!isatty(Fd)) {
    Error = ErrorOf(ENOTTY);
    ::close(Fd);
    return nullptr;
  }
  // A port another program reads (a terminal program, a logger) would take the card's
  // replies: it is refused, whether or not that program asked for exclusive use.
  if (struct stat Info{}; fstat(Fd, &Info) == 0) {
    if (const std::string Holder = OtherHolder(Info.st_rdev); !Holder.empty()) {
      Error = BusyWith(Holder);
      ::close(Fd);
      return nullptr;
    }
  }
  // Two copies of the tool must not share a port: TIOCEXCL stops other opens (except by
  // root), the advisory lock stops another copy even when it runs as root.
  if (flock(Fd, LOCK_EX | LOCK_NB) != 0) {
    Error = ErrorOf(errno == EWOULDBLOCK ? EBUSY : errno);
    ::close(Fd);
    return nullptr;
  }
  ioctl(Fd, TIOCEXCL);
  Configure(Fd, BaudRate, FlowControl);
  auto Impl = std::make_unique<tImpl>();
  Impl->Fd = Fd;
  std::unique_ptr<tSerialDevice> Device(new tSerialDevice(std::move(Impl)));
  Device->SetLinesAtOpen(FlowControl);
  return Device;
}

// Closing a USB serial port (cdc-acm and most other drivers) waits up to the port's
// closing_wait, 30 s by default, for output its device has not taken. A card that stopped
// reading must not hold the tool that long, and what it did not take was for a card that is
// no longer listening: unsent output is dropped, here, where every port is closed. Setting
// closing_wait needs privileges some systems keep from the user; it lasts as long as the
// device, so the card's udev rule sets it for everyone when the port appears.
static void DropUnsentOutput(int Fd) {
  serial_struct Serial{};
  if (ioctl(Fd, TIOCGSERIAL, &Serial) == 0 && Serial.closing_wait != ASYNC_CLOSING_WAIT_NONE) {
    Serial.closing_wait = ASYNC_CLOSING_WAIT_NONE;
    ioctl(Fd, TIOCSSERIAL, &Serial);
  }
  tcflush(Fd, TCOFLUSH);
}

tSerialDevice::~tSerialDevice() {
  DropUnsentOutput(Impl->Fd);
  // A pseudo-terminal keeps the exclusive flag after its last close; give it back.
  ioctl(Impl->Fd, TIOCNXCL);
  flock(Impl->Fd, LOCK_UN);
  ::close(Impl->Fd);
}

const tSerialError& tSerialDevice::LastError() const {
  return Impl->Error;
}

// poll() always tells of arriving bytes.
tReadPath tSerialDevice::ReadPath() const {
  return rp_Events;
}

bool tSerialDevice::IsPseudoTerminal() const {
  // A pseudo-terminal's far end is a node of the devpts file system; a real port's is not.
  struct statfs Info {};
  return fstatfs(Impl->Fd, &Info) == 0 && Info.f_type == DEVPTS_SUPER_MAGIC;
}

int64_t tSerialDevice::Read(void* Buffer, size_t Count) {
  for (;;) {
    const ssize_t N = Calls().Read(Impl->Fd, Buffer, Count);
    if (N > 0) return N;
    if (N == 0) {
      // End of file: the far end is gone.
      Impl->Error = {tSerialError::se_HungUp, 0};
      return -1;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    Impl->Error = ErrorOf(errno);
    return -1;
  }
}

int64_t tSerialDevice::Write(const void* Buffer, size_t Count) {
  for (;;) {
    const ssize_t N = Calls().Write(Impl->Fd, Buffer, Count);
    if (N >= 0) return N;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    Impl->Error = ErrorOf(errno);
    return -1;
  }
}

int tSerialDevice::BytesWaiting() {
  int Waiting = 0;
  if (ioctl(Impl->Fd, FIONREAD, &Waiting) != 0) return 0;
  return Waiting;
}

void tSerialDevice::FlushOutput() {
  tcflush(Impl->Fd, TCOFLUSH);
}

void tSerialDevice::ClearLineErrors() {
  serial_icounter_struct Counters{};
  ioctl(Impl->Fd, TIOCGICOUNT, &Counters);
}

bool tSerialDevice::SetDTR(bool On) {
  return Impl->ModemLine(TIOCM_DTR, On);
}

bool tSerialDevice::SetRTS(bool On) {
  return Impl->ModemLine(TIOCM_RTS, On);
}

bool tSerialDevice::ClearBreak() {
  return Calls().ModemControl(Impl->Fd, TIOCCBRK, nullptr) == 0;
}

void tSerialDevice::SetLinesAtOpen(bool FlowControl) {
  if (!FlowControl) SetRTS(false);
  SetDTR(false);
  ClearBreak();
}

tSerialWaiter::tSerialWaiter(std::unique_ptr<tImpl> aImpl) : Impl(std::move(aImpl)) {}

std::unique_ptr<tSerialWaiter> tSerialWaiter::Create(tSerialError& Error) {
  Error = {};
  const int Wake = eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);
  if (Wake < 0) {
    Error = ErrorOf(errno);
    return nullptr;
  }
  const int Close = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (Close < 0) {
    Error = ErrorOf(errno);
    ::close(Wake);
    return nullptr;
  }
  auto Impl = std::make_unique<tImpl>();
  Impl->WakeEvent = Wake;
  Impl->CloseEvent = Close;
  return std::unique_ptr<tSerialWaiter>(new tSerialWaiter(std::move(Impl)));
}

tSerialWaiter::~tSerialWaiter() {
  ::close(Impl->WakeEvent);
  ::close(Impl->CloseEvent);
}

bool tSerialWaiter::SetWake(tSerialError& Error) {
  const uint64_t One = 1;
  if (::write(Impl->WakeEvent, &One, sizeof One) == sizeof One) return true;
  // A counter already at its limit is still set: that is no failure.
  if (errno == EAGAIN) return true;
  Error = ErrorOf(errno);
  return false;
}

void tSerialWaiter::SetClose() {
  const uint64_t One = 1;
  [[maybe_unused]] const ssize_t Ignored = ::write(Impl->CloseEvent, &One, sizeof One);
}

tSerialWaiter::tWaitResult tSerialWaiter::Wait(tSerialDevice* Device, bool WantOutput) {
  const int DeviceFd = Device ? Device->Impl->Fd : -1;
  pollfd Fds[3] = {{Impl->CloseEvent, POLLIN, 0},
                   {Impl->WakeEvent, POLLIN, 0},
                   {DeviceFd, static_cast<short>(POLLIN | (WantOutput ? POLLOUT : 0)), 0}};
  tWaitResult Result;
  int Ready;
  do {
    Ready = poll(Fds, DeviceFd < 0 ? 2 : 3, -1);
  } while (Ready < 0 && errno == EINTR);
  if (Ready < 0) {
    Result.Error = ErrorOf(errno);
    return Result;
  }
  Result.Closed = Fds[0].revents != 0;
  if (Fds[1].revents & POLLIN) {
    uint64_t Counter;
    [[maybe_unused]] const ssize_t Ignored = ::read(Impl->WakeEvent, &Counter, sizeof Counter);
    Result.Woken = true;
  }
  if (DeviceFd >= 0) {
    const short Events = Fds[2].revents;
    if (Events & POLLIN) Result.Device |= de_Readable;
    if (Events & POLLOUT) Result.Device |= de_Writable;
    if (Events & (POLLHUP | POLLERR | POLLNVAL)) Result.Device |= de_HungUp;
  }
  return Result;
}

bool tSerialWaiter::PauseUnlessClosed(int Milliseconds) {
  pollfd Fd = {Impl->CloseEvent, POLLIN, 0};
  return poll(&Fd, 1, Milliseconds) != 1;
}

void LowerCurrentThreadPriority() {
  const id_t Thread = static_cast<id_t>(gettid());
  errno = 0;
  const int Nice = getpriority(PRIO_PROCESS, Thread);
  if (errno == 0) setpriority(PRIO_PROCESS, Thread, Nice + 1);
}

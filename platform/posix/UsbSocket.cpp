#include "platform/UsbSocket.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace usbsock {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool MakeAddress(const std::string& aPath, sockaddr_un& aAddr) {
  std::memset(&aAddr, 0, sizeof aAddr);
  aAddr.sun_family = AF_UNIX;
  if (aPath.empty() || aPath.size() >= sizeof aAddr.sun_path) return false;
  std::memcpy(aAddr.sun_path, aPath.data(), aPath.size());
  return true;
}

int ResultOf(int aErrno) {
  switch (aErrno) {
    case ECONNREFUSED:
    case ENOENT:
    case ECONNRESET:
    case EPIPE:
    case ENOTCONN:
      return sr_Gone;
    case EACCES:
    case EPERM:
      return sr_Access;
    default:
      return sr_Error;
  }
}

}  // namespace

std::vector<std::string> ListEndpoints(const std::string& aFolder) {
  std::vector<std::string> Paths;
  if (DIR* Dir = opendir(aFolder.c_str())) {
    while (dirent* Entry = readdir(Dir)) {
      if (Entry->d_name[0] == '.') continue;
      struct stat Info;
      const std::string Path = aFolder + "/" + Entry->d_name;
      if (stat(Path.c_str(), &Info) == 0 && S_ISSOCK(Info.st_mode)) Paths.push_back(Path);
    }
    closedir(Dir);
  }
  std::sort(Paths.begin(), Paths.end());
  return Paths;
}

tPacketClient::~tPacketClient() {
  if (fWire >= 0) close(static_cast<int>(fWire));
}

std::unique_ptr<tPacketClient> tPacketClient::Connect(const std::string& aPath, int* aResult) {
  sockaddr_un Addr;
  if (!MakeAddress(aPath, Addr)) {
    if (aResult) *aResult = sr_Error;
    return nullptr;
  }
  const int Fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (Fd < 0) {
    if (aResult) *aResult = sr_Error;
    return nullptr;
  }
  int R;
  do {
    R = connect(Fd, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr);
  } while (R != 0 && errno == EINTR);
  if (R != 0) {
    const int Err = errno;
    close(Fd);
    if (aResult) *aResult = ResultOf(Err);
    return nullptr;
  }
  if (aResult) *aResult = 0;
  return std::unique_ptr<tPacketClient>(new tPacketClient(Fd));
}

namespace {

int WaitFor(int aFd, short aEvents, int64_t aDeadlineMs, int& aErrno) {
  for (;;) {
    const int64_t Left = aDeadlineMs - NowMs();
    if (Left < 0) return sr_Timeout;
    pollfd P{aFd, aEvents, 0};
    const int R = poll(&P, 1, static_cast<int>(Left));
    if (R < 0 && errno == EINTR) continue;
    if (R < 0) {
      aErrno = errno;
      return sr_Error;
    }
    if (R == 0) return sr_Timeout;
    if (P.revents & aEvents) return 0;  // data may still be waiting on a hung-up socket
    if (P.revents & (POLLHUP | POLLERR | POLLNVAL)) return sr_Gone;
  }
}

}  // namespace

int tPacketClient::Exchange(std::span<const uint8_t> aRequest, std::vector<uint8_t>& aReply,
                            unsigned aTimeoutMs) {
  aReply.clear();
  const int Fd = static_cast<int>(fWire);
  if (Fd < 0) return sr_Gone;
  const int64_t Deadline = NowMs() + aTimeoutMs;
  if (int R = WaitFor(Fd, POLLOUT, Deadline, fErrno)) return R;
  ssize_t Sent;
  do {
    Sent = send(Fd, aRequest.data(), aRequest.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (Sent < 0 && errno == EINTR);
  if (Sent < 0) {
    fErrno = errno;
    return errno == EAGAIN ? sr_Timeout : ResultOf(errno);
  }
  if (int R = WaitFor(Fd, POLLIN, Deadline, fErrno)) return R;
  aReply.resize(MaxPacket);
  ssize_t Got;
  do {
    Got = recv(Fd, aReply.data(), aReply.size(), MSG_DONTWAIT | MSG_TRUNC);
  } while (Got < 0 && errno == EINTR);
  if (Got < 0) {
    fErrno = errno;
    aReply.clear();
    return ResultOf(errno);
  }
  if (Got == 0) {  // orderly close: the device has gone
    aReply.clear();
    return sr_Gone;
  }
  if (static_cast<size_t>(Got) > aReply.size()) {  // longer than any valid reply
    aReply.clear();
    return sr_Error;
  }
  aReply.resize(static_cast<size_t>(Got));
  return static_cast<int>(Got);
}

bool tPacketServer::Open(const std::string& aPath, std::string* aError) {
  auto Failed = [&](const std::string& aWhy) {
    if (aError) *aError = aWhy;
    return false;
  };
  sockaddr_un Addr;
  if (!MakeAddress(aPath, Addr)) return Failed("socket path too long: " + aPath);
  unlink(aPath.c_str());
  const int Listen = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  fListen = Listen;
  if (Listen < 0) return Failed(std::string("socket: ") + std::strerror(errno));
  if (bind(Listen, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr) != 0)
    return Failed("bind " + aPath + ": " + std::strerror(errno));
  fPath = aPath;
  if (listen(Listen, 8) != 0) return Failed(std::string("listen: ") + std::strerror(errno));
  fWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fWake < 0) return Failed(std::string("eventfd: ") + std::strerror(errno));
  return true;
}

void tPacketServer::CloseAll() {
  if (fListen >= 0) close(static_cast<int>(fListen));
  fListen = -1;
  if (!fPath.empty()) unlink(fPath.c_str());
  fPath.clear();
  if (fWake >= 0) close(static_cast<int>(fWake));
  fWake = -1;
}

void tPacketServer::Stop() {
  fStopping = true;
  if (fThread.joinable()) {
    if (fThread.get_id() == std::this_thread::get_id()) return;  // Run() ends by itself
    const uint64_t One = 1;
    if (fWake >= 0 && write(static_cast<int>(fWake), &One, sizeof One) < 0) {
      // Nothing to do: the thread also notices fStopping within its poll period.
    }
    fThread.join();
  }
  std::lock_guard<std::mutex> Lock(fStopLock);
  CloseAll();
  fRunning = false;
}

void tPacketServer::Run() {
  std::vector<int> Clients;
  std::vector<uint8_t> Buffer(MaxPacket);
  bool Vanish = false;
  while (!fStopping && !Vanish) {
    std::vector<pollfd> Fds;
    Fds.push_back({static_cast<int>(fWake), POLLIN, 0});
    Fds.push_back({static_cast<int>(fListen), POLLIN, 0});
    for (int C : Clients)
      Fds.push_back({C, POLLIN, 0});
    if (poll(Fds.data(), Fds.size(), 500) < 0 && errno != EINTR) break;
    if (Fds[1].revents & POLLIN) {
      const int C =
          accept4(static_cast<int>(fListen), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (C >= 0) Clients.push_back(C);
    }
    std::vector<int> Closed;
    for (size_t i = 2; i < Fds.size() && !Vanish && !fStopping; ++i) {
      if (!Fds[i].revents) continue;
      const int C = Fds[i].fd;
      const ssize_t Got = recv(C, Buffer.data(), Buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
      if (Got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (Got <= 0 || static_cast<size_t>(Got) > Buffer.size()) {  // closed, or oversized
        Closed.push_back(C);
        continue;
      }
      ++fServed;
      tPacketAction Action =
          fHandler(std::span<const uint8_t>(Buffer.data(), static_cast<size_t>(Got)));
      if (Action.SendReply &&
          send(C, Action.Reply.data(), Action.Reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
        Closed.push_back(C);  // a host that does not read its replies is dropped
      Vanish = Action.Vanish;
    }
    for (int C : Closed) {
      close(C);
      std::erase(Clients, C);
    }
  }
  for (int C : Clients)
    close(C);
  if (Vanish) {
    {
      std::lock_guard<std::mutex> Lock(fStopLock);
      if (fListen >= 0) close(static_cast<int>(fListen));
      fListen = -1;
      if (!fPath.empty()) unlink(fPath.c_str());
      fPath.clear();
      fRunning = false;
    }
    if (fVanished) fVanished();
  }
}

}  // namespace usbsock

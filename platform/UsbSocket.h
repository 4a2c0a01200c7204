// The virtual USB bus's wire: one request packet and one reply packet at a time between a
// device side that serves an endpoint in the virtual USB folder and host sides that connect
// to it. On POSIX systems an endpoint is a Unix-domain sequenced-packet socket file; on
// Windows a marker file naming a message-mode named pipe. Message boundaries are kept by the
// wire, so a packet is a whole request or reply; what is inside is the DFU library's business.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace usbsock {

// Results of the host side's calls: 0 / a byte count, or one of these.
enum tSockResult : int {
  sr_Timeout = -2,
  sr_Gone = -3,    // the far end closed, was never there, or its endpoint is stale
  sr_Access = -4,  // permission denied on the endpoint
  sr_Error = -5,   // anything else (errno kept in LastErrno)
};

// Largest packet either side accepts.
constexpr size_t MaxPacket = 70 * 1024;

// The endpoints devices serve in aFolder, as paths for tPacketClient::Connect, sorted by name.
// Empty when the folder cannot be read.
std::vector<std::string> ListEndpoints(const std::string& aFolder);

// One connection from the host side. Not shared between threads.
class tPacketClient {
 public:
  ~tPacketClient();
  tPacketClient(const tPacketClient&) = delete;
  tPacketClient& operator=(const tPacketClient&) = delete;

  // Connects to the endpoint aPath; null with *aResult set on failure.
  static std::unique_ptr<tPacketClient> Connect(const std::string& aPath, int* aResult);

  // Sends one packet and waits for the one reply, both within aTimeoutMs. Returns the reply's
  // size (in aReply) or a tSockResult.
  int Exchange(std::span<const uint8_t> aRequest, std::vector<uint8_t>& aReply,
               unsigned aTimeoutMs);

  // The system's code of the last failure.
  int LastErrno() const { return fErrno; }

 private:
  explicit tPacketClient(intptr_t aWire) : fWire(aWire) {}
  intptr_t fWire;  // the backend's connection (a descriptor or a handle), -1 for none
  int fErrno = 0;
};

// What the device side does with one request.
struct tPacketAction {
  bool SendReply = true;  // false: leave the host waiting (it times out)
  std::vector<uint8_t> Reply;
  bool Vanish = false;  // after the reply: close everything and remove the endpoint
};

// The device side: a listening socket and a thread that serves every connection, one
// request at a time in arrival order (a USB device handles one control transfer at a time).
class tPacketServer {
 public:
  using tHandler = std::function<tPacketAction(std::span<const uint8_t> aRequest)>;
  using tVanished = std::function<void()>;

  tPacketServer() = default;
  ~tPacketServer();
  tPacketServer(const tPacketServer&) = delete;
  tPacketServer& operator=(const tPacketServer&) = delete;

  // Creates the endpoint aPath (replacing a stale one; failing when a live server owns
  // it) and starts serving. aHandler and aVanished run on the server's thread. False with a
  // reason in *aError on failure.
  bool Start(const std::string& aPath, tHandler aHandler, tVanished aVanished, std::string* aError);
  // Stops serving, closes every connection and removes the endpoint. Safe to call from
  // the handler or the vanish callback (it then does not wait for its own thread).
  void Stop();
  bool Running() const { return fRunning; }
  // Number of request packets served (for benchmarks and tests).
  uint64_t Served() const { return fServed; }

 private:
  // The backend's part of Start: makes the endpoint aPath and what the thread waits on (a
  // stale endpoint there is replaced). False with a reason; Start then calls CloseAll().
  bool Open(const std::string& aPath, std::string* aError);
  void Run();
  void CloseAll();

  std::string fPath;
  tHandler fHandler;
  tVanished fVanished;
  // The backend's listening end and its wake-up event (descriptors or handles), -1 for none.
  intptr_t fListen = -1;
  intptr_t fWake = -1;
  std::thread fThread;
  std::mutex fStopLock;
  std::atomic<bool> fRunning{false};
  std::atomic<bool> fStopping{false};
  std::atomic<uint64_t> fServed{0};
};

}  // namespace usbsock

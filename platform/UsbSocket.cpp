// The device side's start and end, the same on every system; the wire itself is the backend's.
#include "platform/UsbSocket.h"

namespace usbsock {

tPacketServer::~tPacketServer() {
  Stop();
}

bool tPacketServer::Start(const std::string& aPath, tHandler aHandler, tVanished aVanished,
                          std::string* aError) {
  auto Failed = [&](const std::string& aWhy) {
    if (aError) *aError = aWhy;
    CloseAll();
    return false;
  };
  if (fRunning) {
    if (aError) *aError = "already serving";
    return false;
  }
  if (fThread.joinable()) {  // the device vanished earlier: its thread has ended
    if (fThread.get_id() == std::this_thread::get_id()) return Failed("cannot restart here");
    fThread.join();
  }
  CloseAll();
  // An endpoint left by a process that died is replaced; a live one is not taken over.
  if (int Probe; tPacketClient::Connect(aPath, &Probe)) return Failed(aPath + " is in use");
  std::string Why;
  if (!Open(aPath, &Why)) return Failed(Why);
  fHandler = std::move(aHandler);
  fVanished = std::move(aVanished);
  fStopping = false;
  fRunning = true;
  fThread = std::thread([this] { Run(); });
  return true;
}

}  // namespace usbsock

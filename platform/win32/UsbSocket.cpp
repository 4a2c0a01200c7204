// Windows has no wire for the virtual USB bus yet (Unix-domain sockets do not exist under
// Wine): no virtual device is listed, connecting finds nothing, and a device side cannot
// start. Real devices are reached through libusb as on every system.
#include "platform/UsbSocket.h"

namespace usbsock {

std::vector<std::string> ListEndpoints(const std::string&) {
  return {};
}

tPacketClient::~tPacketClient() = default;

std::unique_ptr<tPacketClient> tPacketClient::Connect(const std::string&, int* aResult) {
  if (aResult) *aResult = sr_Gone;
  return nullptr;
}

int tPacketClient::Exchange(std::span<const uint8_t>, std::vector<uint8_t>&, unsigned) {
  return sr_Gone;
}

tPacketServer::~tPacketServer() = default;

bool tPacketServer::Start(const std::string&, tHandler, tVanished, std::string* aError) {
  if (aError) *aError = "the virtual USB bus is not available on Windows";
  return false;
}

void tPacketServer::Stop() {}

}  // namespace usbsock

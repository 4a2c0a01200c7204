// The virtual USB bus: devices that other processes (the simulated card) publish as
// sequenced-packet Unix-domain sockets in the virtual USB folder, one socket file per device.
//
// Each request packet carries one control transfer, a reset or an open; each reply packet its
// result:
//   request: Op (1 control, 2 reset, 3 open), bmRequestType, bRequest, 0, wValue, wIndex,
//            wLength (16-bit little-endian each), then for host-to-device transfers exactly
//            wLength data bytes;
//   reply:   Result (0 done, 1 stall, 2 malformed request, 3 access refused), three zero
//            bytes, then for device-to-host transfers at most wLength data bytes.
// Descriptors and strings are read with the standard GET_DESCRIPTOR request, as on a real bus.
// Listing reads only the device and configuration descriptors; opening a device for use sends
// the open request first, which a device may refuse, as a real bus refuses a device node the
// user may not open while still listing it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "lib/lmdfu/DFUTransport.h"

namespace dfu {

enum tVirtualOp : uint8_t { vo_Control = 1, vo_Reset = 2, vo_Open = 3 };
enum tVirtualResult : uint8_t { vr_Done = 0, vr_Stall = 1, vr_Malformed = 2, vr_Access = 3 };

constexpr size_t VirtualRequestHeader = 10;
constexpr size_t VirtualReplyHeader = 4;

struct tVirtualRequest {
  uint8_t Op = vo_Control;
  uint8_t RequestType = 0;
  uint8_t Request = 0;
  uint16_t Value = 0;
  uint16_t Index = 0;
  uint16_t Length = 0;
  std::vector<uint8_t> Data;  // host-to-device data (exactly Length bytes)

  bool DeviceToHost() const { return RequestType & 0x80; }
};

std::vector<uint8_t> EncodeRequest(const tVirtualRequest& aRequest);
// False for a packet that is not a well-formed request (short, unknown op, wrong data size).
bool DecodeRequest(std::span<const uint8_t> aPacket, tVirtualRequest& aRequest);

std::vector<uint8_t> EncodeReply(uint8_t aResult, std::span<const uint8_t> aData = {});

// The host side of the bus.
class tVirtualUsbBus : public tUsbBus {
 public:
  // aFolder empty: the virtual USB folder of this machine, looked up at every List().
  explicit tVirtualUsbBus(std::string aFolder = {}, unsigned aTimeoutMs = 2000);
  std::vector<tUsbDevice> List() override;
  std::unique_ptr<tUsbTransport> Open(size_t aIndex, int* aError) override;

  // Opens the device published at aSocketPath directly, reading its descriptors into aDevice.
  static std::unique_ptr<tUsbTransport> OpenPath(const std::string& aSocketPath,
                                                 tUsbDevice* aDevice, unsigned aTimeoutMs,
                                                 int* aError);

 private:
  std::string fFolder;
  unsigned fTimeoutMs;
  std::vector<std::string> fListed;
};

}  // namespace dfu

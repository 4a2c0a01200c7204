// The USB bus as the DFU library sees it: a bus lists devices with their descriptors, and an
// opened device carries control transfers on endpoint 0 and a USB reset. Two buses implement
// it: real USB through libusb-1.0 and the virtual bus of the simulated card.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace usb {

// Transfer results: >= 0 is a byte count; these negative values are failures.
enum tUsbResult : int {
  ur_Stall = -1,     // the device refused the request
  ur_Timeout = -2,   // no answer in time
  ur_NoDevice = -3,  // the device has gone
  ur_Access = -4,    // not permitted to open the device
  ur_IO = -5,        // any other failure, or a malformed answer
};

const char* UsbResultText(int aResult);

// One alternate setting of one interface, with the class descriptors that follow it.
struct tUsbInterface {
  uint8_t Number = 0;
  uint8_t Alt = 0;
  uint8_t Class = 0;
  uint8_t SubClass = 0;
  uint8_t Protocol = 0;
  uint8_t StringIndex = 0;
  std::vector<uint8_t> Extra;
};

struct tUsbDevice {
  uint16_t VendorID = 0;
  uint16_t ProductID = 0;
  uint16_t Release = 0;  // bcdDevice
  uint8_t ManufacturerString = 0;
  uint8_t ProductString = 0;
  uint8_t SerialString = 0;
  uint8_t MaxPacket0 = 64;
  std::vector<tUsbInterface> Interfaces;
  std::string Location;  // "usb 1-2.3 (/dev/bus/usb/001/005)" or the virtual socket's path
};

// An opened device. Every transfer has a time limit.
class tUsbTransport {
 public:
  virtual ~tUsbTransport() = default;
  // Device-to-host control transfer; returns the bytes received or a tUsbResult.
  virtual int ControlIn(uint8_t aRequestType, uint8_t aRequest, uint16_t aValue, uint16_t aIndex,
                        uint8_t* aData, uint16_t aLength, unsigned aTimeoutMs) = 0;
  // Host-to-device control transfer; returns the bytes sent or a tUsbResult.
  virtual int ControlOut(uint8_t aRequestType, uint8_t aRequest, uint16_t aValue, uint16_t aIndex,
                         const uint8_t* aData, uint16_t aLength, unsigned aTimeoutMs) = 0;
  // Takes the interface for this program (and selects the alternate setting). 0 or a result.
  virtual int ClaimInterface(uint8_t aInterface, uint8_t aAlt) = 0;
  // A USB reset. 0 or a tUsbResult; a device that leaves the bus at once counts as success.
  virtual int Reset() = 0;
};

class tUsbBus {
 public:
  virtual ~tUsbBus() = default;
  // Lists the devices present now; the order is stable between calls.
  virtual std::vector<tUsbDevice> List() = 0;
  // Opens the device at aIndex of the last List(). Null with *aError set on failure.
  virtual std::unique_ptr<tUsbTransport> Open(size_t aIndex, int* aError) = 0;
  // What the operator can do about a device this bus may not open (empty: nothing to add).
  virtual std::string AccessHint() const { return {}; }
};

}  // namespace usb

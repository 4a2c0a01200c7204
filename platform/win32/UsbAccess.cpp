#include "platform/UsbAccess.h"

namespace usb {

// Windows hands a device to libusb through its driver, not through a node.
std::string UsbDeviceNode(uint8_t, uint8_t) {
  return "";
}

std::string UsbAccessHint() {
  return "the boot loader needs the WinUSB driver: install it for the device once with a "
         "WinUSB driver installer (see README.txt, USB driver)";
}

}  // namespace usb

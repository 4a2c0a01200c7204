#include "platform/UsbAccess.h"

#include <cstdio>

namespace usb {

std::string UsbDeviceNode(uint8_t aBus, uint8_t aAddress) {
  char Node[32];
  std::snprintf(Node, sizeof Node, " (/dev/bus/usb/%03u/%03u)", aBus, aAddress);
  return Node;
}

std::string UsbAccessHint() {
  return "the operator needs write access to its USB device node: install the udev rule "
         "99-caddis-dfu.rules (see the README, USB access)";
}

}  // namespace usb

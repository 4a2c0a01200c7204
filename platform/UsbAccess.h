// What the operator sees of how this system lets a program reach a USB device: the node
// libusb opens for it (to name in a device's location) and what is needed before it may.
#pragma once

#include <cstdint>
#include <string>

namespace usb {

// " (node)" for the device at aAddress on bus aBus, or "" where the system has no node to
// name.
std::string UsbDeviceNode(uint8_t aBus, uint8_t aAddress);

// What the operator must do when a device cannot be opened.
std::string UsbAccessHint();

}  // namespace usb

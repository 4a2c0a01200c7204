// How the DFU engine reaches a device: the USB bus contract of the platform layer, and the
// standard descriptor requests the engine and the virtual bus read through it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/UsbBus.h"

namespace dfu {

// The bus contract the library works over, under the library's own names.
using usb::tUsbBus;
using usb::tUsbDevice;
using usb::tUsbInterface;
using usb::tUsbResult;
using usb::tUsbTransport;
using usb::UsbResultText;
using enum usb::tUsbResult;

// Splits a raw configuration descriptor (with everything wTotalLength covers) into its
// interfaces; the descriptors after an interface go into its Extra. Malformed parts end the
// walk; nothing is read outside aConfig.
std::vector<tUsbInterface> ParseConfiguration(const uint8_t* aConfig, size_t aLength);

// Reads string descriptor aIndex in the device's first language and turns it into 8-bit text
// (UTF-16 code units above 255 become '?'). Returns false when the device gives none.
bool ReadStringDescriptor(tUsbTransport& aDevice, uint8_t aIndex, std::string& aText,
                          unsigned aTimeoutMs);

}  // namespace dfu

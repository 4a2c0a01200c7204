// The made-up firmware of the simulated card and its DFU image ("SkerryTiva.dfu").
//
// Firmware layout (little-endian):
//   0..3    initial stack pointer 0x20008000   (shaped like a microcontroller vector table)
//   4..7    reset vector 0x00000101
//   8..15   marker "CADDISFW"
//   16      firmware version: the card reports it as its firmware version after an update
//   17..19  zero
//   20..    filler, a fixed pseudo-random sequence
//   last    the made-up image mark (MadeUpImageMark), so the tool never sends it to a real
//           card's boot loader
// The image is that firmware followed by a DFU suffix for vendor 0x1CBE, product 0x00FF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hostlink/CardDefs.h"

namespace dfu {

constexpr size_t DemoVersionOffset = 16;
constexpr size_t DemoHeaderSize = 20;
using ::CardProductID;
using ::CardVendorID;

// The firmware alone; aSize is raised to hold the header and the mark at least. Without
// aMarked the mark is left out: an image shaped like a real card's, for tests of the paths
// a real boot loader takes.
std::vector<uint8_t> MakeDemoFirmware(uint8_t aVersion, size_t aSize, bool aMarked = true);
// Firmware plus DFU suffix for the card.
std::vector<uint8_t> MakeDemoImage(uint8_t aVersion, size_t aSize, bool aMarked = true);
// The version byte of firmware laid out as above, or -1 for anything else.
int DemoFirmwareVersion(std::span<const uint8_t> aFirmware);

}  // namespace dfu

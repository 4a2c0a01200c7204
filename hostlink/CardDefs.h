// What the tool knows about the card in one place: its boot loader's USB identity, the names
// of its image files, and how a fraction done is shown as a whole percentage.
#pragma once

#include <cstdint>
#include <string>

// The card's microcontroller in its USB DFU boot loader.
constexpr uint16_t CardVendorID = 0x1CBE;
constexpr uint16_t CardProductID = 0x00FF;

// Image files, looked for in the image folder unless the operator names another: the folder
// of the tool's executable, or the one $CADDIS_IMAGE_DIR names (the demo and the tests point
// it at the build's made-up images, which are never installed beside the programs).
inline constexpr const char* FirmwareImageName = "SkerryTiva.dfu";
inline constexpr const char* USBAudioImageName = "xmos.bin";
// The FPGA bitstream's name depends on the host object's name (exactly "Orvane" or not).
std::string FPGAImageName(const std::string& HostName);

// Folder + "/" + Name as an 8-bit text of at most 255 characters (each step cut), the folder
// used in its own case.
std::string ImagePathIn(const std::string& Folder, const std::string& Name);
// The folder of the default images (support/FilePlaces.h): $CADDIS_IMAGE_DIR, the program's
// own folder, or installed the user's data folder.
std::string DefaultImageFolder();
// The image Name where it is found: installed, in the working folder or else the data folder.
std::string DefaultImagePath(const std::string& Name);

// The whole percentage shown for a fraction done: 0..100, halves to the even neighbour (the
// 12.5 of 0.125 shows 12), anything not a number as 0.
int ProgressPercent(float Fraction);

// The made-up images of the build (the demo FPGA bitstream, USB-audio image and firmware
// image, made for the simulated card) carry a mark that no real image has, so the tool can
// keep them from a real card even when someone copies them beside the programs.
//
// The mark is MadeUpImageMark: at the very start of a made-up FPGA or USB-audio image, and at
// the end of a made-up firmware, just in front of the image's DFU suffix (at most 255 bytes).
// cmake/MakeDemoImage.cmake writes the same text; a test holds the two together.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

inline constexpr std::string_view MadeUpImageMark =
    "CADDIS MADE-UP IMAGE: for the simulated card only, never for a real card\n";

// A made-up FPGA or USB-audio image says right after the mark what it stands for:
// "CADDIS DEMO " and one of these names (packaging/CMakeLists.txt passes the same names to
// cmake/MakeDemoImage.cmake).
inline constexpr std::string_view MadeUpKindLead = "CADDIS DEMO ";
inline constexpr std::string_view MadeUpFPGAName = "FPGA BITSTREAM";
inline constexpr std::string_view MadeUpUSBAudioName = "USB-AUDIO IMAGE";
// The name a made-up image gives itself after its mark (MadeUpFPGAName, MadeUpUSBAudioName
// or another), empty when Image does not start with the mark and a name.
std::string MadeUpImageName(std::span<const uint8_t> Image);

// Whether Image carries the mark in either place.
bool IsMadeUpImage(std::span<const uint8_t> Image);
// The same for the file at Path, from its first and last bytes; false when it cannot be read.
bool FileIsMadeUpImage(const std::string& Path);

// Why a made-up image Name is refused, Where saying what the target really is ("COM5 is a
// real serial port").
std::string MadeUpImageRefusal(const std::string& Name, const std::string& Where);

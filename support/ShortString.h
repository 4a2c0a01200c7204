// Texts passed around for display and logging are 8-bit texts of at most 255 characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

constexpr std::size_t MaxShortString = 255;

// Cuts a text to MaxShortString characters.
inline std::string ShortString(std::string_view Text) {
  return std::string(Text.substr(0, MaxShortString));
}

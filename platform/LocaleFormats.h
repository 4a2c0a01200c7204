// The user's date and time formats, for the stamps of the log file.
//
// The formats are those of the user's default locale (LC_TIME from the environment). They are
// read without changing the program's own locale, so number formatting elsewhere keeps the
// "C" conventions.
#pragma once

#include <ctime>
#include <string>

namespace tLocaleFormats {

struct tDateTimeFormats {
  std::string ShortDate;  // strftime format, e.g. "%d/%m/%Y"
  std::string LongTime;   // strftime format, e.g. "%H:%M:%S"
};

// The short-date and long-time formats of the user's locale; those of the "C" locale when the
// user's locale is not installed.
tDateTimeFormats UserDateTimeFormats();

// Formats Time with Format in the user's locale (month and day names, if the format has any).
// Empty when the result would not fit 255 characters.
std::string FormatUserTime(const std::string& Format, const std::tm& Time);

// The current local date and time, broken down.
std::tm LocalNow();

}  // namespace tLocaleFormats

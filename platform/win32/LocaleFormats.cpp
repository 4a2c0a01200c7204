#include "platform/LocaleFormats.h"

#include <windows.h>

#include <ctime>

#include "platform/win32/LocalePicture.h"
#include "platform/win32/WideText.h"

namespace tLocalePicture {

std::string ToStrftime(const std::string& Picture) {
  std::string Pattern;
  for (size_t i = 0; i < Picture.size();) {
    const char C = Picture[i];
    if (C == '\'') {  // quoted text; '' inside quotes is one quote
      for (++i; i < Picture.size(); ++i) {
        if (Picture[i] == '\'') {
          if (i + 1 < Picture.size() && Picture[i + 1] == '\'') {
            Pattern += '\'';
            ++i;
            continue;
          }
          ++i;
          break;
        }
        Pattern += Picture[i] == '%' ? std::string("%%") : std::string(1, Picture[i]);
      }
      continue;
    }
    size_t Run = 1;
    while (i + Run < Picture.size() && Picture[i + Run] == C)
      ++Run;
    i += Run;
    switch (C) {
      case 'd':
        Pattern += Run == 1 ? "%#d" : Run == 2 ? "%d" : Run == 3 ? "%a" : "%A";
        break;
      case 'M':
        Pattern += Run == 1 ? "%#m" : Run == 2 ? "%m" : Run == 3 ? "%b" : "%B";
        break;
      case 'y':
        Pattern += Run <= 2 ? "%y" : "%Y";
        break;
      case 'h':
        Pattern += Run == 1 ? "%#I" : "%I";
        break;
      case 'H':
        Pattern += Run == 1 ? "%#H" : "%H";
        break;
      case 'm':
        Pattern += Run == 1 ? "%#M" : "%M";
        break;
      case 's':
        Pattern += Run == 1 ? "%#S" : "%S";
        break;
      case 't':
        Pattern += "%p";  // "t" (the first letter only) has no strftime form; the whole marker
        break;
      case 'g':  // era: nothing in the Gregorian calendar
        break;
      case '%':
        Pattern += std::string(2 * Run, '%');
        break;
      default:
        Pattern += std::string(Run, C);
    }
  }
  return Pattern;
}

}  // namespace tLocalePicture

namespace tLocaleFormats {
namespace {

std::string UserPicture(LCTYPE Item, const char* Fallback) {
  wchar_t Buffer[LOCALE_NAME_MAX_LENGTH * 4];
  const int Length = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, Item, Buffer,
                                       static_cast<int>(sizeof Buffer / sizeof Buffer[0]));
  if (Length <= 1) return Fallback;
  return tWideText::ToUtf8(std::wstring(Buffer, static_cast<size_t>(Length - 1)));
}

}  // namespace

tDateTimeFormats UserDateTimeFormats() {
  return {tLocalePicture::ToStrftime(UserPicture(LOCALE_SSHORTDATE, "M/d/yyyy")),
          tLocalePicture::ToStrftime(UserPicture(LOCALE_STIMEFORMAT, "HH:mm:ss"))};
}

std::string FormatUserTime(const std::string& Format, const std::tm& Time) {
  char Buffer[256];
  const std::size_t Length = std::strftime(Buffer, sizeof Buffer, Format.c_str(), &Time);
  return std::string(Buffer, Length);
}

std::tm LocalNow() {
  const std::time_t Now = std::time(nullptr);
  std::tm Local{};
  localtime_s(&Local, &Now);
  return Local;
}

}  // namespace tLocaleFormats

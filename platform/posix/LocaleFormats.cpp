#include "platform/LocaleFormats.h"

#include <langinfo.h>
#include <locale.h>

#include <ctime>

namespace tLocaleFormats {
namespace {

// The user's LC_TIME locale, made once and kept for the life of the program.
locale_t UserTimeLocale() {
  static const locale_t Locale = [] {
    locale_t L = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
    if (L == static_cast<locale_t>(0)) L = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
    return L;
  }();
  return Locale;
}

std::string LangInfo(nl_item Item, const char* Fallback) {
  const locale_t Locale = UserTimeLocale();
  const char* Text = Locale != static_cast<locale_t>(0) ? nl_langinfo_l(Item, Locale) : nullptr;
  return (Text != nullptr && *Text != '\0') ? Text : Fallback;
}

}  // namespace

tDateTimeFormats UserDateTimeFormats() {
  return {LangInfo(D_FMT, "%m/%d/%y"), LangInfo(T_FMT, "%H:%M:%S")};
}

std::string FormatUserTime(const std::string& Format, const std::tm& Time) {
  char Buffer[256];
  const locale_t Locale = UserTimeLocale();
  const std::size_t Length = Locale != static_cast<locale_t>(0)
                                 ? strftime_l(Buffer, sizeof Buffer, Format.c_str(), &Time, Locale)
                                 : std::strftime(Buffer, sizeof Buffer, Format.c_str(), &Time);
  return std::string(Buffer, Length);
}

std::tm LocalNow() {
  const std::time_t Now = std::time(nullptr);
  std::tm Local{};
  localtime_r(&Now, &Local);
  return Local;
}

}  // namespace tLocaleFormats

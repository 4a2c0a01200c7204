#include "app/CaddisText.h"

#include <cmath>
#include <cstdio>

#include "support/ShortString.h"

int32_t PortNumberOfItem(std::string_view Item) {
  Item = Item.substr(0, 31);
  const size_t Space = Item.find(' ');
  if (Space == std::string_view::npos || Space == 0) return -1;
  int64_t Value = 0;
  for (size_t i = 0; i < Space; ++i) {
    if (Item[i] < '0' || Item[i] > '9') return -1;
    Value = Value * 10 + (Item[i] - '0');
    if (Value > INT32_MAX) return -1;
  }
  return static_cast<int32_t>(Value);
}

int32_t ComPortIndex(const std::vector<std::string>& Items, int32_t nCom) {
  for (size_t i = 1; i < Items.size(); ++i) {
    const int32_t n = PortNumberOfItem(Items[i]);
    if (n >= 0 && n == nCom) return static_cast<int32_t>(i);
  }
  return -1;
}

std::string VoltageText(float Volts, char DecimalSeparator) {
  char Buffer[64];
  const int n = std::snprintf(Buffer, sizeof Buffer, "%3.1f", static_cast<double>(Volts));
  if (n < 0) return {};
  std::string Text(Buffer);
  // snprintf follows the C locale, which the tool never changes: swap in the user's separator.
  if (const auto Dot = Text.find('.'); Dot != std::string::npos) Text[Dot] = DecimalSeparator;
  return Text;
}

#include "app/CaddisText.h"

#include <cmath>
#include <cstdio>

#include "support/ShortString.h"

int32_t HexToInt(std::string_view Text) {
  Text = Text.substr(0, 31);
  size_t i = 0;
  while (i < Text.size() && Text[i] == ' ')
    ++i;
  uint32_t Value = 0;  // unsigned: a long text wraps instead of overflowing
  for (; i < Text.size(); ++i) {
    const char c = Text[i];
    Value *= 16;
    if (c >= '0' && c <= '9')
      Value += static_cast<uint32_t>(c - '0');
    else if (c >= 'A' && c <= 'F')
      Value += static_cast<uint32_t>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f')
      Value += static_cast<uint32_t>(c - 'a' + 10);
  }
  return static_cast<int32_t>(Value);
}

std::vector<uint8_t> HexMessage(std::string_view Text) {
  Text = Text.substr(0, MaxShortString);
  std::vector<uint8_t> Message;
  for (size_t i = 0; i + 1 < Text.size(); i += 2)
    Message.push_back(static_cast<uint8_t>(HexToInt(Text.substr(i, 2)) & 0xFF));
  return Message;
}

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

int ProgressPosition(float Amount) {
  return static_cast<int>(std::nearbyint(static_cast<double>(Amount) * 100.0));
}

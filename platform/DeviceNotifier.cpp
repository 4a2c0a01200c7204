#include "platform/DeviceNotifier.h"

#include <climits>

int PortNumberFromName(const std::string& Name) {
  if (Name.size() < 4 || Name.compare(0, 3, "COM") != 0) return -1;
  long Value = 0;
  for (size_t i = 3; i < Name.size(); ++i) {
    if (Name[i] < '0' || Name[i] > '9') return -1;
    if (Value > (INT_MAX - 9) / 10) return -1;
    Value = Value * 10 + (Name[i] - '0');
  }
  return static_cast<int>(Value);
}

#include "support/HostMessage.h"

#include <algorithm>
#include <cstring>

tHostMessage MakeHostMessage(uint8_t Header, const void* Data, std::size_t DataLength) {
  tHostMessage Message{};
  DataLength = std::min<std::size_t>(DataLength, MaxHostMessageLength - 1);
  Message[0] = static_cast<uint8_t>(DataLength + 1);
  Message[1] = Header;
  if (DataLength > 0) std::memcpy(&Message[2], Data, DataLength);
  return Message;
}

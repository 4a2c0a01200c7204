#include "lib/lmdfu/DFUTransport.h"

#include "lib/lmdfu/DFUProtocol.h"

#include <algorithm>

namespace dfu {

std::vector<tUsbInterface> ParseConfiguration(const uint8_t* aConfig, size_t aLength) {
  std::vector<tUsbInterface> Interfaces;
  size_t Pos = 0;
  while (Pos + 2 <= aLength) {
    const uint8_t Len = aConfig[Pos];
    const uint8_t Type = aConfig[Pos + 1];
    if (Len < 2 || Pos + Len > aLength) break;
    const uint8_t* D = aConfig + Pos;
    if (Type == DescInterface && Len >= 9) {
      tUsbInterface I;
      I.Number = D[2];
      I.Alt = D[3];
      I.Class = D[5];
      I.SubClass = D[6];
      I.Protocol = D[7];
      I.StringIndex = D[8];
      Interfaces.push_back(std::move(I));
    } else if (Type != DescConfiguration && !Interfaces.empty()) {
      Interfaces.back().Extra.insert(Interfaces.back().Extra.end(), D, D + Len);
    }
    Pos += Len;
  }
  return Interfaces;
}

bool ReadStringDescriptor(tUsbTransport& aDevice, uint8_t aIndex, std::string& aText,
                          unsigned aTimeoutMs) {
  aText.clear();
  if (aIndex == 0) return false;
  uint8_t Buffer[255];
  int Got = aDevice.ControlIn(ReqTypeStandardIn, StdGetDescriptor, DescString << 8, 0, Buffer,
                              sizeof Buffer, aTimeoutMs);
  if (Got < 4 || Buffer[1] != DescString) return false;
  const uint16_t Language = static_cast<uint16_t>(Buffer[2] | (Buffer[3] << 8));
  Got = aDevice.ControlIn(ReqTypeStandardIn, StdGetDescriptor, (DescString << 8) | aIndex, Language,
                          Buffer, sizeof Buffer, aTimeoutMs);
  if (Got < 2 || Buffer[1] != DescString) return false;
  const size_t End = std::min<size_t>(static_cast<size_t>(Got), Buffer[0]);
  for (size_t i = 2; i + 1 < End; i += 2) {
    const unsigned Unit = Buffer[i] | (Buffer[i + 1] << 8);
    aText.push_back(Unit < 256 ? static_cast<char>(Unit) : '?');
  }
  return true;
}

}  // namespace dfu

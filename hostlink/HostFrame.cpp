#include "hostlink/HostFrame.h"

#include <algorithm>
#include <cstring>

#include "support/ShortString.h"

namespace tHostFrame {

tHostMessage MakeMessage(uint8_t Header, const void* Data, std::size_t DataLength) {
  return MakeHostMessage(Header, Data, DataLength);
}

tHostMessage MakeMessage(std::span<const uint8_t> Bytes) {
  tHostMessage Message{};
  const std::size_t Length = std::min<std::size_t>(Bytes.size(), 255);
  Message[0] = static_cast<uint8_t>(Length);
  std::copy_n(Bytes.begin(), Length, Message.begin() + 1);
  return Message;
}

uint8_t GetChecksum(const tHostMessage& aMessage) {
  unsigned Sum = 0;
  for (unsigned i = 0; i <= aMessage[0]; ++i)
    Sum += aMessage[i];
  return static_cast<uint8_t>(Sum);
}

std::size_t BuildFrame(const tHostMessage& aMessage, std::array<uint8_t, MaxFrameSize>& Frame) {
  // The count byte is one more than the message length: the checksum byte is counted too.
  // With a zero in the checksum's place the sum over the count and the message is the same.
  const unsigned Length = std::min<unsigned>(aMessage[0], MaxSendLength);
  tHostMessage Framed = aMessage;
  Framed[0] = static_cast<uint8_t>(Length + 1);
  Framed[Length + 1] = 0;
  Framed[Length + 1] = GetChecksum(Framed);
  std::copy_n(Framed.begin(), Length + 2, Frame.begin());
  return Length + 2;
}

tDecodeResult DecodeFrame(std::span<const uint8_t> Bytes, tHostMessage& aMessage, int MaxCount) {
  tDecodeResult Result;
  if (Bytes.empty()) return Result;
  const uint8_t N = Bytes[0];
  if (!IsValidCount(N, MaxCount)) {
    Result.Status = tFrameStatus::BadLength;
    return Result;
  }
  if (Bytes.size() <= N) return Result;
  tHostMessage Buffer{};
  std::copy_n(Bytes.begin(), N + 1, Buffer.begin());
  Result.FrameSize = N + 1u;
  Result.Received = Buffer[N];
  Buffer[N] = 0;
  Result.Computed = GetChecksum(Buffer);
  if (Result.Received != Result.Computed) {
    Result.Status = tFrameStatus::BadChecksum;
    return Result;
  }
  Buffer[0] = static_cast<uint8_t>(N - 1);
  aMessage = Buffer;
  Result.Status = tFrameStatus::Message;
  return Result;
}

}  // namespace tHostFrame

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

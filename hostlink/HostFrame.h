// The frame every host message travels in on the serial link, in both directions:
// a count byte N (the message bytes plus the checksum), the message, and a checksum byte
// that is the low 8 bits of the sum of the count byte and the message bytes.
//
// Shared by the tool's host link and the simulated card, so both sides frame and check
// bytes with the same code. Plain functions over fixed 256-byte buffers; no allocation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "support/HostMessage.h"

namespace tHostFrame {

// The longest message that is framed when sending (count byte 255, a 256-byte frame).
constexpr int MaxSendLength = MaxHostMessageLength;
// The largest count byte a receiver accepts: one below what a sender can produce.
constexpr int MaxReceiveCount = 254;
constexpr int MaxFrameSize = 256;

// Builds a message from an identifier and its data; DataLength must be at most 253.
tHostMessage MakeMessage(uint8_t Header, const void* Data = nullptr, std::size_t DataLength = 0);
tHostMessage MakeMessage(std::span<const uint8_t> Bytes);

// The low 8 bits of the sum of the length byte and the bytes it counts.
uint8_t GetChecksum(const tHostMessage& aMessage);

// Writes the frame of aMessage (length 1..254) into Frame; returns its size (L + 2).
std::size_t BuildFrame(const tHostMessage& aMessage, std::array<uint8_t, MaxFrameSize>& Frame);

// The largest count byte a sender produces (a 254-byte message): what the card's side must
// take from the tool.
constexpr int MaxSendCount = MaxSendLength + 1;

// A count byte a receiver accepts (2..MaxCount; the tool's receiver takes up to 254).
constexpr bool IsValidCount(uint8_t N, int MaxCount = MaxReceiveCount) {
  return N >= 2 && N <= MaxCount;
}

enum class tFrameStatus {
  Incomplete,   // fewer than N + 1 bytes: wait for more
  Message,      // a whole frame with a correct checksum
  BadLength,    // count byte 0, 1 or 255
  BadChecksum,  // a whole frame whose checksum is wrong
};

struct tDecodeResult {
  tFrameStatus Status = tFrameStatus::Incomplete;
  std::size_t FrameSize = 0;  // N + 1 for Message and BadChecksum, else 0
  uint8_t Received = 0;       // the checksum byte that came
  uint8_t Computed = 0;       // the checksum the bytes call for
};

// Looks at the frame that starts at Bytes[0], taking count bytes up to MaxCount. For
// Message, aMessage holds the message (length N - 1, without the checksum). Never reads past
// Bytes.
tDecodeResult DecodeFrame(std::span<const uint8_t> Bytes, tHostMessage& aMessage,
                          int MaxCount = MaxReceiveCount);

}  // namespace tHostFrame

// Typed hexadecimal commands (the window's "Send Hex", caddis send-hex).
// Reads Text as hexadecimal: only the first 31 characters count, leading spaces are
// skipped, and every further character shifts the value by one digit, adding 0-15 for a
// hexadecimal digit and nothing for any other character ("5 " gives 80, "G1" gives 1).
int32_t HexToInt(std::string_view Text);

// The message bytes (identifier first) that a typed hex command stands for: the text, cut
// to 255 characters, is read in fixed pairs from its start; a trailing odd character is
// ignored ("01 02" gives 01 and 00).
std::vector<uint8_t> HexMessage(std::string_view Text);

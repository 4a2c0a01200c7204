// A host message and the acknowledgement codes of a file update: the values the host link,
// the file updater and the simulated card pass between them, below all three.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// A host message: byte 0 is its length L, bytes 1..L the message; byte 1 is the message
// identifier, bytes 2..L its data.
using tHostMessage = std::array<uint8_t, 256>;

// The longest message a sender frames (count byte 255, a 256-byte frame): the identifier and
// at most MaxHostMessageLength - 1 data bytes.
constexpr int MaxHostMessageLength = 254;

// Acknowledgement codes of a file update; 1 and 2 are also the fault codes of the link's own
// "Error" message (bad length, bad checksum).
enum tTivaUpdateError : uint8_t {
  tu_Ack = 0,
  tu_LengthError = 1,
  tu_ChecksumError = 2,
  tu_SizeError = 3,
  tu_FlashError = 4,
  tu_SequenceError = 5,
  // Raised by the tool itself: the card stopped answering, or its port went away.
  tu_NoAnswer = 6,
};

// Builds a message from an identifier and its data; data beyond what one message carries
// (MaxHostMessageLength - 1 bytes) is left out.
tHostMessage MakeHostMessage(uint8_t Header, const void* Data = nullptr,
                             std::size_t DataLength = 0);

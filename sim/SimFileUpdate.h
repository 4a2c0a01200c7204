// tSimFileUpdate: the card's receiving side of one kind of file update (the FPGA image on
// identifier 39, the USB-audio image on 40), written from the card's point of view.
//
// Packets (after the identifier, numbers big-endian):
//   start [0, packet count]   data [1, packet number, 1..128 bytes]   finish [2, byte sum]
// Replies: [identifier, type, code] for start and finish, [identifier, 1, code, number] for
// data. The card places packet n at byte n * 128, so every packet but the last must carry a
// full 128 bytes. Codes it answers with:
//   1 length   a packet of the wrong size for its type (or a short packet before the last)
//   2 checksum the byte sum at the finish packet differs from what arrived
//   3 size     a count of 0, data without a start, a number beyond the count or out of
//              order, or a finish before every packet arrived
//   4 flash    (only by injection: the card never fails to write here)
// After any error the card forgets the transfer; the tool must begin with a new start.
// The last packet repeated is acknowledged again and not stored twice.
//
// Faults injected for tests and demos: a given code in answer to data packet N, an
// acknowledgement carrying the wrong number at packet N, no answer at all to packet N
// (numbers as on the wire: the first data packet is 0). Each applies to every transfer.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "hostlink/HostFrame.h"

struct tSimUpdateFaults {
  int AckCodeAt = -1;  // answer data packet AckCodeAt with AckCode (-1: never)
  uint8_t AckCode = tu_FlashError;
  int WrongAckAt = -1;  // acknowledge data packet WrongAckAt with the number after it
  int SilentAt = -1;    // no answer to data packet SilentAt
};

class tSimFileUpdate {
 public:
  static constexpr int PacketBytes = 128;

  explicit tSimFileUpdate(uint8_t anUpdateHeader, const tSimUpdateFaults& aFaults = {});

  // The card's answer to one update packet (identifier included), or none when it stays
  // silent. Messages for another identifier are not this transfer's: no answer.
  std::optional<tHostMessage> Handle(const tHostMessage& aMessage);

  bool Receiving() const { return Active; }
  // The last image that arrived whole with the right byte sum (empty before one).
  const std::vector<uint8_t>& Image() const { return Completed; }
  int ImagesCompleted() const { return CompletedCount; }
  uint8_t Header() const { return UpdateHeader; }

 private:
  tHostMessage Reply(uint8_t Type, uint8_t Code);
  tHostMessage DataReply(uint8_t Code, uint16_t Number);
  tHostMessage Fail(tHostMessage Answer);
  std::optional<tHostMessage> Begin(const tHostMessage& aMessage);
  std::optional<tHostMessage> Data(const tHostMessage& aMessage);
  std::optional<tHostMessage> End(const tHostMessage& aMessage);
  std::optional<uint8_t> DataError(uint16_t Number, int Length) const;

  uint8_t UpdateHeader;
  tSimUpdateFaults Faults;
  bool Active = false;
  uint16_t PacketCount = 0;
  uint16_t NextPacket = 0;
  std::vector<uint8_t> Received;
  std::vector<uint8_t> Completed;
  int CompletedCount = 0;
};

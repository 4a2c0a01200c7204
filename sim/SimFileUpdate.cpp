#include "sim/SimFileUpdate.h"

#include <numeric>

namespace {

constexpr uint8_t StartPacket = 0;
constexpr uint8_t DataPacket = 1;
constexpr uint8_t FinishPacket = 2;
// Message lengths (identifier included) of the fixed-size packets and of a data packet's
// header.
constexpr int ControlLength = 4;
constexpr int DataHeaderLength = 4;

uint16_t Number16(const tHostMessage& M) {
  return static_cast<uint16_t>(M[3] << 8 | M[4]);
}

}  // namespace

tSimFileUpdate::tSimFileUpdate(uint8_t anUpdateHeader, const tSimUpdateFaults& aFaults)
    : UpdateHeader(anUpdateHeader), Faults(aFaults) {}

tHostMessage tSimFileUpdate::Reply(uint8_t Type, uint8_t Code) {
  const uint8_t Payload[] = {Type, Code};
  return tHostFrame::MakeMessage(UpdateHeader, Payload, sizeof Payload);
}

tHostMessage tSimFileUpdate::DataReply(uint8_t Code, uint16_t Number) {
  const uint8_t Payload[] = {DataPacket, Code, static_cast<uint8_t>(Number >> 8),
                             static_cast<uint8_t>(Number & 0xFF)};
  return tHostFrame::MakeMessage(UpdateHeader, Payload, sizeof Payload);
}

// An error answer ends the transfer on the card's side.
tHostMessage tSimFileUpdate::Fail(tHostMessage Answer) {
  Active = false;
  Received.clear();
  return Answer;
}

std::optional<tHostMessage> tSimFileUpdate::Handle(const tHostMessage& aMessage) {
  const int Length = aMessage[0];
  if (Length < 1 || aMessage[1] != UpdateHeader) return std::nullopt;
  if (Length < 2) return Fail(Reply(StartPacket, tu_LengthError));
  switch (aMessage[2]) {
    case StartPacket:
      return Begin(aMessage);
    case DataPacket:
      return Data(aMessage);
    case FinishPacket:
      return End(aMessage);
    default:
      return Fail(Reply(aMessage[2], tu_LengthError));
  }
}

std::optional<tHostMessage> tSimFileUpdate::Begin(const tHostMessage& aMessage) {
  if (aMessage[0] != ControlLength) return Fail(Reply(StartPacket, tu_LengthError));
  const uint16_t Count = Number16(aMessage);
  if (Count == 0) return Fail(Reply(StartPacket, tu_SizeError));
  // A new start replaces whatever transfer was under way.
  Active = true;
  PacketCount = Count;
  NextPacket = 0;
  Received.clear();
  Received.reserve(static_cast<std::size_t>(Count) * PacketBytes);
  return Reply(StartPacket, tu_Ack);
}

std::optional<uint8_t> tSimFileUpdate::DataError(uint16_t Number, int Length) const {
  if (!Active || Number >= PacketCount || Number != NextPacket) return tu_SizeError;
  const bool Last = Number + 1 == PacketCount;
  if (Length < 1 || Length > PacketBytes || (!Last && Length != PacketBytes)) return tu_LengthError;
  return std::nullopt;
}

std::optional<tHostMessage> tSimFileUpdate::Data(const tHostMessage& aMessage) {
  if (aMessage[0] < DataHeaderLength) return Fail(Reply(DataPacket, tu_LengthError));
  const uint16_t Number = Number16(aMessage);
  const int Length = aMessage[0] - DataHeaderLength;
  if (Faults.SilentAt == Number) return std::nullopt;
  if (Faults.AckCodeAt == Number) return Fail(DataReply(Faults.AckCode, Number));
  // The tool may send the last packet again when it missed the answer: answer it again.
  if (Active && NextPacket > 0 && Number == NextPacket - 1) return DataReply(tu_Ack, Number);
  if (const auto Error = DataError(Number, Length)) return Fail(DataReply(*Error, Number));
  Received.insert(Received.end(), aMessage.begin() + 1 + DataHeaderLength,
                  aMessage.begin() + 1 + DataHeaderLength + Length);
  ++NextPacket;
  if (Faults.WrongAckAt == Number) return DataReply(tu_Ack, static_cast<uint16_t>(Number + 1));
  return DataReply(tu_Ack, Number);
}

std::optional<tHostMessage> tSimFileUpdate::End(const tHostMessage& aMessage) {
  if (aMessage[0] != ControlLength) return Fail(Reply(FinishPacket, tu_LengthError));
  if (!Active || NextPacket != PacketCount) return Fail(Reply(FinishPacket, tu_SizeError));
  const uint16_t Sum = static_cast<uint16_t>(std::accumulate(Received.begin(), Received.end(), 0u));
  if (Sum != Number16(aMessage)) return Fail(Reply(FinishPacket, tu_ChecksumError));
  Completed = std::move(Received);
  Received.clear();
  Active = false;
  ++CompletedCount;
  return Reply(FinishPacket, tu_Ack);
}

#include "fileupdate/TivaUpdateUnit.h"

#include <stdexcept>

#include "platform/Files.h"
#include "support/DisplayMessage.h"
#include "support/ShortString.h"

namespace {

constexpr int PacketBytes = 128;
constexpr uint8_t StartPacket = 0, DataPacket = 1, FinishPacket = 2;

}  // namespace

tTivaFileUpdater::tTivaFileUpdater(tTivaSendEvent aSendEvent, int32_t anUpdateHeader,
                                   const std::string& aFilename)
    : UpdateHeader(anUpdateHeader), Filename(aFilename), fOnSend(std::move(aSendEvent)) {
  Start();
}

tTivaFileUpdater::~tTivaFileUpdater() {
  CloseFile();
}

void tTivaFileUpdater::Start() {
  CloseFile();
  int Error = 0;
  CodeFile = tFiles::Open(Filename, "rb", Error);
  tFiles::tFileInfo Info;
  if (!CodeFile || !tFiles::Describe(CodeFile, Info, Error) || !Info.Regular) {
    CloseFile();
    throw std::runtime_error(ShortString("Tiva file updater: cannot read file " + Filename));
  }
  const int64_t Size = static_cast<int64_t>(Info.Size);
  if (Size <= 0 || Size > MaxFileSize) {
    CloseFile();
    throw std::runtime_error(ShortString(
        "Tiva file updater: file " + Filename + (Size <= 0 ? " is empty" : " is too large (") +
        (Size <= 0 ? std::string() : std::to_string(Size) + " bytes, at most 8388480)")));
  }
  PacketCount = static_cast<int32_t>((Size + PacketBytes - 1) / PacketBytes);
  PacketNumber = 0;
  Checksum = 0;
  Ended = false;
  fEnd = ue_Running;
  Outstanding = StartPacket;
  const uint8_t Packet[] = {StartPacket, static_cast<uint8_t>(PacketCount >> 8),
                            static_cast<uint8_t>(PacketCount)};
  SendPacket(Packet, sizeof Packet);
}

void tTivaFileUpdater::Continue() {
  uint8_t Packet[3 + PacketBytes] = {DataPacket, static_cast<uint8_t>(PacketNumber >> 8),
                                     static_cast<uint8_t>(PacketNumber)};
  ++PacketNumber;
  Outstanding = DataPacket;
  const size_t Read = CodeFile ? std::fread(Packet + 3, 1, PacketBytes, CodeFile) : 0;
  for (size_t i = 0; i < Read; ++i)
    Checksum += Packet[3 + i];
  SendPacket(Packet, static_cast<int32_t>(3 + Read));
}

void tTivaFileUpdater::Finish() {
  CloseFile();
  Outstanding = FinishPacket;
  const uint8_t Packet[] = {FinishPacket, static_cast<uint8_t>(Checksum >> 8),
                            static_cast<uint8_t>(Checksum)};
  SendPacket(Packet, sizeof Packet);
}

void tTivaFileUpdater::Stop(tTivaUpdateEnd Why, tTivaUpdateError Error, const std::string& Reason) {
  fEnd = Why;
  Abort(Error, Reason);
}

void tTivaFileUpdater::Abort(tTivaUpdateError Error, const std::string& Reason) {
  if (fEnd == ue_Running) fEnd = ue_Aborted;
  DisplayMessage(ShortString(Reason + "\r\nUpdate aborted"));
  CloseFile();
  Finished(Progress(), Error);
}

void tTivaFileUpdater::Finished(float Progress, tTivaUpdateError AckCode) {
  Ended = true;
  // The owner may destroy this updater inside the event: nothing touches it afterwards.
  if (fOnUpdateFinished) {
    const auto Event = fOnUpdateFinished;
    Event(Progress, AckCode);
  }
}

void tTivaFileUpdater::SendPacket(const uint8_t* Packet, int32_t DataLength) {
  if (DataLength > MaxHostMessageLength - 1) {
    DisplayMessage("  to Tiva: Max message length exceeded");
    return;
  }
  const tHostMessage Message =
      MakeHostMessage(static_cast<uint8_t>(UpdateHeader), Packet, static_cast<size_t>(DataLength));
  SentSinceService = true;
  if (fOnSend) fOnSend(Message);
}

void tTivaFileUpdater::ReceiveMessage(const tHostMessage& aMessage) {
  const int Length = aMessage[0];
  // A reply too short to carry its packet type and code tells nothing: it changes nothing.
  if (Ended || Length < 3 || aMessage[1] != static_cast<uint8_t>(UpdateHeader)) return;
  const uint8_t Type = aMessage[2];
  const auto Code = static_cast<tTivaUpdateError>(aMessage[3]);
  if (Code != tu_Ack) {
    Stop(ue_CardRefused, Code,
         "Tiva file updater " + ErrorName(Code) + " error on packet " +
             std::to_string(PacketNumber));
    return;
  }
  // Only the packet last sent can be acknowledged: a finish acknowledgement before the data
  // is done, or a second start acknowledgement, must never count as progress or success.
  if (Type <= FinishPacket && Type != Outstanding) {
    const std::string What = Type == StartPacket    ? "the start packet"
                             : Type == FinishPacket ? "the finish packet"
                             : Length >= 5
                                 ? "packet " + std::to_string(aMessage[4] * 256 + aMessage[5])
                                 : "a data packet";
    Stop(ue_WrongReply, tu_SequenceError,
         "Tiva file updater sequence error: " + What + " acknowledged instead of " +
             OutstandingName());
    return;
  }
  switch (Type) {
    case StartPacket:
      Continue();
      break;
    case DataPacket: {
      if (Length < 5) return;  // no packet number to check
      const int32_t n = aMessage[4] * 256 + aMessage[5];
      if (n != ((PacketNumber - 1) & 0xFFFF)) {
        Stop(ue_WrongReply, tu_SequenceError,
             "Tiva file updater packet number error: " + std::to_string(n) +
                 "acknowledged instead of " + std::to_string(PacketNumber - 1));
        return;
      }
      if (PacketNumber == PacketCount)
        Finish();
      else
        Continue();
      if (fOnUpdatePacket) fOnUpdatePacket(Progress(), tu_Ack);
      break;
    }
    case FinishPacket:
      fEnd = ue_Accepted;
      Finished(1.0f, tu_Ack);
      break;
    default:
      break;
  }
}

void tTivaFileUpdater::Service(std::chrono::steady_clock::time_point Now) {
  if (Ended) return;
  if (SentSinceService) {
    SentSinceService = false;
    AnswerDeadline = Now + AckTimeout;
    return;
  }
  if (Now < AnswerDeadline) return;
  Stop(ue_NoAnswer, tu_NoAnswer,
       "Tiva file updater: no answer from the card for " + OutstandingName() + " within " +
           std::to_string(AckTimeout.count()) + " s");
}

void tTivaFileUpdater::LinkLost(const std::string& Why) {
  if (Ended) return;
  Stop(ue_LinkLost, tu_NoAnswer,
       "Tiva file updater: " + Why + " while " + OutstandingName() + " was unanswered");
}

std::string tTivaFileUpdater::OutstandingName() const {
  if (Outstanding == StartPacket) return "the start packet";
  if (Outstanding == FinishPacket) return "the finish packet";
  return "packet " + std::to_string(PacketNumber - 1);
}

std::string tTivaFileUpdater::ErrorName(tTivaUpdateError Error) {
  static const char* const Names[] = {"OK", "Length", "Checksu", "Size", "Flash"};
  if (Error <= tu_FlashError) return Names[Error];
  return "unknown (" + std::to_string(static_cast<int>(Error)) + ")";
}

void tTivaFileUpdater::CloseFile() {
  if (CodeFile) std::fclose(CodeFile);
  CodeFile = nullptr;
}

float tTivaFileUpdater::Progress() const {
  return PacketCount > 0 ? static_cast<float>(PacketNumber) / static_cast<float>(PacketCount)
                         : 0.0f;
}

#include "fileupdate/TivaUpdateUnit.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "platform/Files.h"
#include "support/DisplayMessage.h"
#include "support/ShortString.h"

namespace {

constexpr int PacketBytes = 128;
constexpr uint8_t StartPacket = 0, DataPacket = 1, FinishPacket = 2;

std::string TooLargeText(const std::string& Filename, uint64_t Size) {
  return ShortString("Tiva file updater: file " + Filename + " is too large (" +
                     std::to_string(Size) + " bytes, at most " +
                     std::to_string(tTivaFileUpdater::MaxFileSize) + ")");
}

}  // namespace

tImageFile ReadImageFile(const std::string& Path, uint64_t Limit) {
  tImageFile Image;
  Image.Path = Path;
  int Error = 0;
  tFiles::tFileInfo Info;
  if (!tFiles::Describe(Path, Info, Error)) {
    Image.Missing = true;
    Image.Error = tFiles::SystemErrorText(Error);
    return Image;
  }
  // Never waits: a FIFO, a device or a folder in the image's place is refused as it is.
  std::string Why;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> File(
      tFiles::OpenRegular(Path, tFiles::of_Read, Error, Why), std::fclose);
  if (!File) {
    Image.Error = Why;
    return Image;
  }
  if (!tFiles::Describe(File.get(), Info, Error)) {
    Image.Error = tFiles::SystemErrorText(Error);
    return Image;
  }
  if (!Info.Regular) {
    Image.Error = "not a regular file";
    return Image;
  }
  Image.Size = Info.Size;
  if (Info.Size > Limit) {
    Image.Error = "too large (" + std::to_string(Info.Size) + " bytes, at most " +
                  std::to_string(Limit) + ")";
    return Image;
  }
  // Read to its end: a file that grows, shrinks or is rewritten later changes nothing of what
  // was read, and one that grew past the limit meanwhile is refused.
  std::vector<uint8_t> Bytes;
  uint8_t Chunk[64 * 1024];
  while (Bytes.size() <= Limit) {
    const std::size_t Got = std::fread(Chunk, 1, sizeof Chunk, File.get());
    Bytes.insert(Bytes.end(), Chunk, Chunk + Got);
    if (Got < sizeof Chunk) break;
  }
  if (std::ferror(File.get())) {
    Image.Error = tFiles::SystemErrorText(EIO);
    return Image;
  }
  Image.Size = Bytes.size();
  if (Bytes.size() > Limit) {
    Image.Error = "too large (more than " + std::to_string(Limit) + " bytes)";
    return Image;
  }
  Image.Bytes = std::move(Bytes);
  Image.Read = true;
  return Image;
}

tTivaFileUpdater::tTivaFileUpdater(tTivaSendEvent aSendEvent, int32_t anUpdateHeader,
                                   const std::string& aFilename,
                                   std::chrono::milliseconds anAckTimeout)
    : UpdateHeader(anUpdateHeader),
      Filename(aFilename),
      fAckTimeout(anAckTimeout),
      fOnSend(std::move(aSendEvent)) {
  Start();
}

tTivaFileUpdater::tTivaFileUpdater(tTivaSendEvent aSendEvent, int32_t anUpdateHeader,
                                   const std::string& aFilename, std::vector<uint8_t> anImage,
                                   std::chrono::milliseconds anAckTimeout)
    : UpdateHeader(anUpdateHeader),
      Filename(aFilename),
      Given(std::move(anImage)),
      fAckTimeout(anAckTimeout),
      fOnSend(std::move(aSendEvent)) {
  Start();
}

tTivaFileUpdater::~tTivaFileUpdater() = default;

void tTivaFileUpdater::Start() {
  CloseFile();
  if (Given) {
    Begin(*Given);
    return;
  }
  // One more byte than fits is read, so a file that grew past the limit is refused whole.
  tImageFile File = ReadImageFile(Filename, static_cast<uint64_t>(MaxFileSize) + 1);
  if (!File.Read) throw std::runtime_error(UnreadText(File));
  Begin(std::move(File.Bytes));
}

void tTivaFileUpdater::Begin(std::vector<uint8_t> Bytes) {
  if (Bytes.empty())
    throw std::runtime_error(ShortString("Tiva file updater: file " + Filename + " is empty"));
  if (Bytes.size() > static_cast<std::size_t>(MaxFileSize))
    throw std::runtime_error(TooLargeText(Filename, Bytes.size()));
  Image = std::move(Bytes);
  Sent = 0;
  PacketCount = static_cast<int32_t>((Image.size() + PacketBytes - 1) / PacketBytes);
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
  const std::size_t Take = std::min<std::size_t>(PacketBytes, Image.size() - Sent);
  std::copy_n(Image.begin() + static_cast<std::ptrdiff_t>(Sent), Take, Packet + 3);
  Sent += Take;
  for (std::size_t i = 0; i < Take; ++i)
    Checksum += Packet[3 + i];
  SendPacket(Packet, static_cast<int32_t>(3 + Take));
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
  Damage.clear();
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
    AnswerDeadline = Now + fAckTimeout;
    return;
  }
  if (!AnswerDeadline || Now < *AnswerDeadline) return;
  const auto Ms = fAckTimeout.count();
  const std::string Within =
      " within " + (Ms % 1000 ? std::to_string(Ms) + " ms" : std::to_string(Ms / 1000) + " s");
  if (!Damage.empty()) {
    Stop(ue_DamagedReply, tu_NoAnswer,
         "Tiva file updater: no answer from the card for " + OutstandingName() + Within +
             "; a frame arrived damaged meanwhile (" + Damage + ")");
    return;
  }
  Stop(ue_NoAnswer, tu_NoAnswer,
       "Tiva file updater: no answer from the card for " + OutstandingName() + Within);
}

void tTivaFileUpdater::ReplyDamaged(const std::string& aDamage, int Identifier) {
  if (Ended) return;
  if (Identifier != UpdateHeader) {
    Damage = aDamage;
    return;
  }
  Stop(ue_DamagedReply, tu_NoAnswer,
       "Tiva file updater: the card's answer to " + OutstandingName() + " arrived damaged (" +
           aDamage + ")");
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

std::string tTivaFileUpdater::UnreadText(const tImageFile& Image) {
  if (Image.Size > static_cast<uint64_t>(MaxFileSize)) return TooLargeText(Image.Path, Image.Size);
  return ShortString("Tiva file updater: cannot read file " + Image.Path);
}

std::string tTivaFileUpdater::ErrorName(tTivaUpdateError Error) {
  static const char* const Names[] = {"OK", "Length", "Checksu", "Size", "Flash"};
  if (Error <= tu_FlashError) return Names[Error];
  return "unknown (" + std::to_string(static_cast<int>(Error)) + ")";
}

void tTivaFileUpdater::CloseFile() {
  Image = {};
}

float tTivaFileUpdater::Progress() const {
  return PacketCount > 0 ? static_cast<float>(PacketNumber) / static_cast<float>(PacketCount)
                         : 0.0f;
}

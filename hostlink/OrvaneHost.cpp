#include "hostlink/OrvaneHost.h"

#include "hostlink/CardDefs.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>
#include <vector>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "support/DisplayMessage.h"
#include "support/LogFile.h"
#include "support/MadeUpImage.h"
#include "support/ShortString.h"

namespace {

std::unique_ptr<tComPort> OpenRealComPort(uint32_t aComPort, int32_t BaudRate, bool FlowControl) {
  return std::make_unique<tComPort>(static_cast<int32_t>(aComPort), BaudRate, FlowControl);
}

tComPortFactory& ComPortFactory() {
  static tComPortFactory Factory = OpenRealComPort;
  return Factory;
}

struct tCatalogueEntry {
  uint8_t Id;
  const char* Name;
};

// Identifier 64 (sync source) has no name of its own; it shows as "64?".
constexpr tCatalogueEntry Catalogue[] = {
    {tHostId::AYT, "AYT"},
    {tHostId::Restart, "Restart"},
    {tHostId::Error, "Error"},
    {tHostId::Boot, "Boot"},
    {tHostId::Echo, "Echo"},
    {tHostId::UpdateHostFPGA, "UpdateHostFPGA"},
    {tHostId::UpdateUSBAudio, "UpdateUSBAudio"},
    {tHostId::UpdateXMOS, "UpdateXMOS"},
    {tHostId::Status, "Status"},
    {tHostId::SampleRate, "SampleRate"},
    {tHostId::ResetEngine, "ResetEngine"},
    {tHostId::UpdateEngineFPGA, "UpdateEngineFPGA"},
    {tHostId::Temperature, "Temperature"},
    {tHostId::Voltages, "Voltages"},
    {tHostId::IPAddress, "IPAddress"},
    {tHostId::SubnetMask, "SubnetMask"},
    {tHostId::UDPorTCP, "UDP/TCP"},
    {tHostId::RecoveryState, "RecoveryState"},
};

// Four payload bytes, the first as the least significant.
uint32_t LittleEndian32(const uint8_t* Bytes) {
  return uint32_t{Bytes[0]} | uint32_t{Bytes[1]} << 8 | uint32_t{Bytes[2]} << 16 |
         uint32_t{Bytes[3]} << 24;
}

}  // namespace

tOrvaneHost::tOrvaneHost(uint32_t aComPort, bool ErrorLogging, const std::string& aName)
    : HostName(aName.substr(0, MaxHostName)),
      FPGAVersion(FPGAVersionLength, ' '),
      ComPortID(aComPort),
      LogErrors(ErrorLogging) {
  OpenComPort();
}

tOrvaneHost::~tOrvaneHost() {
  CloseComPort();
}

void tOrvaneHost::SetComPortFactory(tComPortFactory Factory) {
  ComPortFactory() = Factory ? std::move(Factory) : tComPortFactory(OpenRealComPort);
}

uint8_t tOrvaneHost::GetChecksum(const tHostMessage& aMessage) {
  return tHostFrame::GetChecksum(aMessage);
}

std::string tOrvaneHost::MessageName(uint8_t Header) {
  for (const auto& Entry : Catalogue)
    if (Entry.Id == Header) return Entry.Name;
  return std::to_string(Header) + "?";
}

void tOrvaneHost::OpenComPort() {
  if (ComPortID == 0 || ComPort) return;
  fOpenFailure = {};
  try {
    ComPort = ComPortFactory()(ComPortID, LinkBaudRate, true);
  } catch (const tComPortOpenError& Refusal) {
    ComPort.reset();
    fOpenFailure = Refusal.Error;
  } catch (const std::exception&) {
    ComPort.reset();
  }
  if (!ComPort) LogError("Cannot open ComPort " + std::to_string(ComPortID));
}

void tOrvaneHost::CloseComPort() {
  // The field is emptied before the port goes, so nothing reaches a port being destroyed.
  std::unique_ptr<tComPort> Port = std::move(ComPort);
  Port.reset();
}

void tOrvaneHost::LogMessage(const std::string& Prefix, const tHostMessage& aMessage) {
  std::string Line = Prefix.substr(0, MaxHostName);
  if (aMessage[0] > 0) Line += MessageName(aMessage[1]);
  Line.resize(std::min<std::size_t>(Line.size(), 62));
  for (unsigned i = 1; i <= aMessage[0] && Line.size() < MaxShortString; ++i)
    Line += " " + std::to_string(aMessage[i]);
  DisplayMessage(ShortString(Line));
}

void tOrvaneHost::LogError(const std::string& aMessage) {
  const std::string Line = ShortString(HostName + " Host " + aMessage);
  LogToFile(Line);
  if (Logging || LogErrors) DisplayMessage(Line);
}

void tOrvaneHost::Clear() {
  if (ComPort) {
    DropInput();
    ComPort->ClearOutputQueue();
  }
  const uint8_t Empty[tHostPayload::Status] = {};
  ProcessStatus(Empty, tHostPayload::Status);
  SampleRates.fill(0);
  Voltages.fill(0.0f);
  ReportsReceived &= ~(or_Voltages | (or_SampleRate0 * 15));
  StatusRequested = false;
}

void tOrvaneHost::SendHeader(uint8_t Header) {
  SendMessage(tHostFrame::MakeMessage(Header));
}

void tOrvaneHost::SendError(tTivaUpdateError Error) {
  const uint8_t Code = Error;
  SendMessage(tHostFrame::MakeMessage(tHostId::Error, &Code, 1));
}

void tOrvaneHost::SendData(uint8_t Header, const void* Data, uint8_t DataLength) {
  if (DataLength >= tHostFrame::MaxSendLength) {
    LogError("Tx error: max message length exceeded");
    return;
  }
  SendMessage(tHostFrame::MakeMessage(Header, Data, DataLength));
}

std::size_t tOrvaneHost::PrepareFrame(const tHostMessage& aMessage,
                                      std::array<uint8_t, tHostFrame::MaxFrameSize>& Frame) {
  if (Logging) LogMessage("  to " + HostName + ": ", aMessage);
  const std::size_t FrameSize = tHostFrame::BuildFrame(aMessage, Frame);
  if (ComPort && OnFrame) OnFrame(true, Frame.data(), FrameSize);
  return FrameSize;
}

void tOrvaneHost::SendMessage(const tHostMessage& aMessage) {
  std::array<uint8_t, tHostFrame::MaxFrameSize> Frame;
  const auto FrameSize = static_cast<int32_t>(PrepareFrame(aMessage, Frame));
  Transmit(Frame.data(), FrameSize);
}

void tOrvaneHost::Transmit(const uint8_t* Bytes, int32_t Size) {
  if (!ComPort) return;
  const int32_t Sent = ComPort->Send(Bytes, Size);
  if (Sent > 0) Health.BytesSent += static_cast<uint64_t>(Sent);
  if (Sent < Size)
    LogError("Tx error: " + std::to_string(Sent) + " sent instead of " + std::to_string(Size));
}

void tOrvaneHost::SendHeaders(std::initializer_list<uint8_t> Headers) {
  std::vector<uint8_t> Frames;
  std::array<uint8_t, tHostFrame::MaxFrameSize> Frame;
  for (const uint8_t Header : Headers) {
    const std::size_t FrameSize = PrepareFrame(tHostFrame::MakeMessage(Header), Frame);
    Frames.insert(Frames.end(), Frame.begin(), Frame.begin() + FrameSize);
  }
  Transmit(Frames.data(), static_cast<int32_t>(Frames.size()));
}

tHostMessage tOrvaneHost::ReceiveMessage() {
  tHostMessage Message{};
  if (!ComPort) return Message;
  uint8_t N = 0;
  if (!ComPort->PeekNextByte(N)) return Message;
  if (!tHostFrame::IsValidCount(N)) {
    ReportLengthError(N);
    return Message;
  }
  // An incomplete frame stays queued until its last byte arrives.
  if (ComPort->ReceivingCount() <= N) return Message;
  tHostMessage Frame{};
  const int32_t Got = ComPort->Receive(Frame.data(), N + 1);
  if (Got > 0) Health.BytesReceived += static_cast<uint64_t>(Got);
  if (OnFrame && Got > 0) OnFrame(false, Frame.data(), static_cast<std::size_t>(Got));
  const auto Decoded =
      tHostFrame::DecodeFrame(std::span<const uint8_t>(Frame.data(), std::max(Got, 0)), Message);
  if (Decoded.Status == tHostFrame::tFrameStatus::BadChecksum) {
    ReportChecksumError(Frame, Decoded);
    Message[0] = 0;
  } else if (Decoded.Status != tHostFrame::tFrameStatus::Message) {
    // The port handed over fewer bytes than it counted; what came is not a frame.
    Message[0] = 0;
    ++Health.FramesDamagedLength;
    ReceiveDiscarded("cut short", -1);
  }
  return Message;
}

void tOrvaneHost::ReceiveDiscarded(const std::string& Damage, int Identifier) {
  ++DiscardedFrames;
  // What was thrown away may have been the answer to the Status request: ask again on the
  // next keep-alive reply rather than wait for an answer that will never come.
  StatusRequested = false;
  // Or the answer to a file-update packet, which the card does not send again.
  if (FileUpdater) FileUpdater->ReplyDamaged(Damage, Identifier);
}

void tOrvaneHost::ReportLengthError(uint8_t N) {
  LogError("Rx error: Invalid Length received: " + std::to_string(N));
  DropInput();
  ++Health.FramesDamagedLength;
  ReceiveDiscarded("invalid length byte " + std::to_string(N), -1);
  SendError(tu_LengthError);
}

void tOrvaneHost::ReportChecksumError(const tHostMessage& Frame,
                                      const tHostFrame::tDecodeResult& Decoded) {
  std::string Text = "Rx error: Invalid CheckSum received: ";
  const std::size_t N = Decoded.FrameSize - 1;
  for (std::size_t i = 0; i < N && Text.size() < MaxShortString; ++i)
    Text += std::to_string(Frame[i]) + " ";
  Text +=
      std::to_string(Decoded.Received) + ", correct checksum: " + std::to_string(Decoded.Computed);
  LogError(Text);
  if (ComPort) DropInput();
  ++Health.FramesDamagedChecksum;
  ReceiveDiscarded("checksum " + std::to_string(Decoded.Received) + " instead of " +
                       std::to_string(Decoded.Computed),
                   N >= 1 ? Frame[1] : -1);
  SendError(tu_ChecksumError);
}

void tOrvaneHost::DropInput() {
  Health.BytesReceived += static_cast<uint64_t>(std::max(ComPort->ReceivingCount(), 0));
  ComPort->ClearInputQueue();
}

void tOrvaneHost::ServiceReceive() {
  if (ComPort && !HangUpCounted && ComPort->HungUp()) {
    HangUpCounted = true;
    ++Health.HangUps;
  }
  ReceiveAll();
  ServiceFileUpdate();
}

void tOrvaneHost::ReceiveAll() {
  if (!ComPort) return;
  for (;;) {
    const tHostMessage Message = ReceiveMessage();
    if (Message[0] == 0) return;
    ProcessMessage(Message);
    // A handler may have closed the port (an event that resets the link).
    if (!ComPort) return;
  }
}

void tOrvaneHost::ServiceFileUpdate() {
  // Both calls may end the update, and the updater with it.
  if (!FileUpdater) return;
  if (ComPort && ComPort->HungUp())
    FileUpdater->LinkLost("the card's port COM" + std::to_string(ComPortID) + " hung up");
  else
    FileUpdater->Service(Clock());
}

void tOrvaneHost::ServiceAYT() {
  if (!ComPort || !AYTActive) return;
  if (++AYTQFCount < AYTPeriodTicks) return;
  AYTQFCount = 0;
  ++AYTFailCount;
  // A Status request still unanswered a whole keep-alive period later went to a card that
  // was not listening (starting again, say): the next keep-alive reply asks again.
  if (DeviceID == 0) StatusRequested = false;
  if (AYTFailCount == AYTLostCount) {
    Clear();
    if (Logging) LogError("AYT Timeout");
  }
  if (AYTSentAt && MessagesSinceKeepAlive > 0) BringCardInStep();
  SendAYT();
}

// A card that talks (its reports arrive) but has not answered a keep-alive for a whole period
// is not listening from a frame's start: its frame reader took bytes that were no frame of
// ours as the start of one (bytes the system echoed back to it while its port was being
// opened, or half a frame from before a restart). It takes a count byte and waits for that
// many more, and our frames vanish into that wait. A frame's worth of zero bytes completes
// whatever it waits for; the checksum then fails, and the card drops all it has and answers
// with an Error message, back at a frame's start (a zero where a frame starts is a bad count,
// handled the same way). The identity is asked for again as soon as that Error comes.
void tOrvaneHost::BringCardInStep() {
  static constexpr std::array<uint8_t, tHostFrame::MaxFrameSize> Zeros{};
  if (Logging)
    LogError("The card talks but does not answer: " + std::to_string(Zeros.size()) +
             " zero bytes bring its frame reader back in step");
  ResyncSent = true;
  Transmit(Zeros.data(), static_cast<int32_t>(Zeros.size()));
}

void tOrvaneHost::SendAYT() {
  NoteKeepAliveSent();
  SendHeader(tHostId::AYT);
}

void tOrvaneHost::NoteKeepAliveSent() {
  if (AYTSentAt) ++Health.KeepAlivesUnanswered;
  MessagesSinceKeepAlive = 0;
  AYTSentAt = Clock();
}

void tOrvaneHost::AskIdentity() {
  if (!ComPort) return;
  AYTQFCount = 0;
  ++AYTFailCount;
  SendAYT();
  if (DeviceID == 0 && !StatusRequested) {
    SendHeader(tHostId::Status);
    StatusRequested = true;
  }
}

void tOrvaneHost::ProcessMessage(const tHostMessage& aMessage) {
  if (Logging) LogMessage("from " + HostName + ": ", aMessage);
  if (aMessage[1] != tHostId::AYT) ++MessagesSinceKeepAlive;
  const uint8_t* Payload = &aMessage[2];
  const int PayloadLength = aMessage[0] - 1;
  switch (aMessage[1]) {
    case tHostId::AYT:
      ProcessAYTReply();
      break;
    case tHostId::Error:
      Clear();
      // The answer to the zero bytes: the card listens from a frame's start again.
      if (std::exchange(ResyncSent, false)) AskIdentity();
      break;
    case tHostId::UpdateHostFPGA:
    case tHostId::UpdateUSBAudio:
      ProcessFileUpdateReply(aMessage);
      break;
    case tHostId::UpdateXMOS:
      if (PayloadLength >= 1) ProcessXMOSUpdate(Payload[0]);
      break;
    case tHostId::Status:
      if (PayloadLength >= tHostPayload::Status) ++StatusReplies;
      ProcessStatus(Payload, PayloadLength);
      break;
    case tHostId::SampleRate:
      if (PayloadLength >= tHostPayload::SampleRate) ProcessSampleRate(Payload[0], Payload + 1);
      break;
    case tHostId::UpdateEngineFPGA:
      if (PayloadLength >= 1) ProcessEngineFPGAUpdate(Payload[0]);
      break;
    case tHostId::Temperature:
      if (PayloadLength >= 1) {
        Temperature = Payload[0];
        ReportsReceived |= or_Temperature;
      }
      break;
    case tHostId::Voltages:
      if (PayloadLength >= tHostPayload::Voltages) {
        for (int i = 0; i < OrvaneVoltageCount; ++i)
          Voltages[i] = Payload[i] / 10.0f;
        ReportsReceived |= or_Voltages;
      }
      break;
    case tHostId::IPAddress:
      if (PayloadLength >= tHostPayload::Address) {
        IPAddress = LittleEndian32(Payload);
        ReportsReceived |= or_IPAddress;
      }
      break;
    case tHostId::SubnetMask:
      if (PayloadLength >= tHostPayload::Address) {
        SubnetMask = LittleEndian32(Payload);
        ReportsReceived |= or_SubnetMask;
      }
      break;
    case tHostId::UDPorTCP:
      if (PayloadLength >= 1) {
        UDPorTCP = Payload[0] != 0;
        ReportsReceived |= or_UDPorTCP;
      }
      break;
    case tHostId::RecoveryState:
      if (PayloadLength >= tHostPayload::RecoveryState)
        RecoveryState = static_cast<int16_t>(Payload[0] | Payload[1] << 8);
      break;
    default:
      break;
  }
}

void tOrvaneHost::ProcessAYTReply() {
  AYTFailCount = 0;
  ResyncSent = false;
  ++AYTReplies;
  LastAYTReplyTime = Clock();
  // A reply with no keep-alive outstanding (one the card sent twice) has no round trip.
  if (AYTSentAt) {
    Health.AddRoundTrip(
        std::chrono::duration_cast<std::chrono::microseconds>(*LastAYTReplyTime - *AYTSentAt));
    AYTSentAt.reset();
  }
  if (DeviceID == 0 && !StatusRequested) {
    SendHeader(tHostId::Status);
    StatusRequested = true;
  }
}

void tOrvaneHost::ProcessStatus(const uint8_t* Payload, int PayloadLength) {
  // The request was answered either way; a short reply leaves the identity as it was, and the
  // next keep-alive reply asks again if none is known.
  StatusRequested = false;
  if (PayloadLength < tHostPayload::Status) return;
  DeviceID = Payload[0];
  FirmwareVersion = Payload[1];
  // The version's three groups arrive last group first: characters 7..10, 3..6, then 1..2.
  FPGAVersion.assign(FPGAVersionLength, ' ');
  std::copy_n(Payload + 2, 4, FPGAVersion.begin() + 6);
  std::copy_n(Payload + 6, 4, FPGAVersion.begin() + 2);
  std::copy_n(Payload + 10, 2, FPGAVersion.begin());
}

void tOrvaneHost::ProcessSampleRate(uint8_t OrvanePort, const uint8_t* RateBytes) {
  if (OrvanePort >= OrvanePortCount) return;
  const uint32_t Rate = LittleEndian32(RateBytes);
  SampleRates[OrvanePort] = Rate;
  ReportsReceived |= or_SampleRate0 << OrvanePort;
  if (fOnSampleRateChange) fOnSampleRateChange(static_cast<tOrvanePort>(OrvanePort), Rate);
}

void tOrvaneHost::ProcessEngineFPGAUpdate(uint8_t Updated) {
  if (fOnEngineFPGAUpdateComplete) fOnEngineFPGAUpdateComplete(Updated);
}

void tOrvaneHost::ProcessXMOSUpdate(uint8_t Updated) {
  if (fOnXMOSUpdateComplete) fOnXMOSUpdateComplete(Updated);
}

void tOrvaneHost::ProcessFileUpdateReply(const tHostMessage& aMessage) {
  // Replies belong to the running update; without one they are dropped without a word.
  if (!FileUpdater) return;
  // Timed before the updater sends the next packet in its answer.
  if (PacketSentAt) {
    Health.AddAnswerGap(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock() - *PacketSentAt));
    PacketSentAt.reset();
  }
  FileUpdater->ReceiveMessage(aMessage);
}

std::string tOrvaneHost::GetFPGAFilename() const {
  return FPGAImageName(HostName);
}

void tOrvaneHost::UpdateHostFPGA(tTivaUpdateEvent ProgressEvent, tTivaUpdateEvent FinishEvent,
                                 const std::string& aPath) {
  UpdateHostFPGA(
      std::move(ProgressEvent), std::move(FinishEvent),
      ReadImageFile(aPath.empty() ? DefaultImagePath(GetFPGAFilename()) : ShortString(aPath),
                    static_cast<uint64_t>(tTivaFileUpdater::MaxFileSize) + 1));
}

void tOrvaneHost::UpdateUSBAudio(tTivaUpdateEvent ProgressEvent, tTivaUpdateEvent FinishEvent,
                                 const std::string& aPath) {
  UpdateUSBAudio(
      std::move(ProgressEvent), std::move(FinishEvent),
      ReadImageFile(aPath.empty() ? DefaultImagePath(USBAudioImageName) : ShortString(aPath),
                    static_cast<uint64_t>(tTivaFileUpdater::MaxFileSize) + 1));
}

void tOrvaneHost::UpdateHostFPGA(tTivaUpdateEvent ProgressEvent, tTivaUpdateEvent FinishEvent,
                                 const tImageFile& Image) {
  StartFileUpdate(Image, tHostId::UpdateHostFPGA, "FPGA", std::move(ProgressEvent),
                  std::move(FinishEvent));
}

void tOrvaneHost::UpdateUSBAudio(tTivaUpdateEvent ProgressEvent, tTivaUpdateEvent FinishEvent,
                                 const tImageFile& Image) {
  StartFileUpdate(Image, tHostId::UpdateUSBAudio, "USB Audio", std::move(ProgressEvent),
                  std::move(FinishEvent));
}

void tOrvaneHost::StartFileUpdate(const tImageFile& Image, int32_t UpdateHeader,
                                  const std::string& What, tTivaUpdateEvent ProgressEvent,
                                  tTivaUpdateEvent FinishEvent) {
  const std::string& Path = Image.Path;
  // A second updater would orphan the first with its file open and mix their replies.
  if (FileUpdater) {
    DisplayMessage("Cannot Update " + What + ": an update is already running");
    return;
  }
  if (Image.Missing) {
    DisplayMessage("Cannot Update " + What + ": file " + Path + " not found");
    return;
  }
  if (!Image.Read) {
    DisplayMessage("Cannot Update " + What + ": " + tTivaFileUpdater::UnreadText(Image));
    return;
  }
  // The build's made-up images go to the simulated card only, never down a real port.
  if (IsMadeUpImage(Image.Bytes) && !(ComPort && ComPort->IsPseudoTerminal())) {
    DisplayMessage(
        "Cannot Update " + What + ": " +
        MadeUpImageRefusal(Path, "COM" + std::to_string(ComPortID) + " is a real serial port"));
    return;
  }
  try {
    FileUpdater = std::make_unique<tTivaFileUpdater>(
        [this](const tHostMessage& aMessage) {
          PacketSentAt = Clock();
          SendMessage(aMessage);
        },
        UpdateHeader, Path, Image.Bytes, FileAckTimeout);
  } catch (const std::exception& Refusal) {
    DisplayMessage("Cannot Update " + What + ": " + Refusal.what());
    return;
  }
  FileUpdater->OnUpdatePacket() = ProgressEvent;
  FileUpdater->OnUpdateFinished() = [this](float Progress, tTivaUpdateError AckCode) {
    FileUpdaterFinished(Progress, AckCode);
  };
  FileUpdateFinishedEvent = std::move(FinishEvent);
  if (ProgressEvent) ProgressEvent(0.0f, tu_Ack);
}

void tOrvaneHost::FileUpdaterFinished(float Progress, tTivaUpdateError AckCode) {
  // Runs inside the updater's own last call: it touches nothing of itself afterwards.
  LastFileUpdateEnd = FileUpdater->End();
  FileUpdater.reset();
  PacketSentAt.reset();
  if (FileUpdateFinishedEvent) {
    const auto Event = std::move(FileUpdateFinishedEvent);
    FileUpdateFinishedEvent = nullptr;
    Event(Progress, AckCode);
  }
}

void tOrvaneHost::ResetEngine() {
  SendHeader(tHostId::ResetEngine);
}

void tOrvaneHost::SetSyncSource(tOrvanePort aPort) {
  const uint8_t Port = aPort;
  SendData(tHostId::SyncSource, &Port, 1);
}

void tOrvaneHost::SetUDPorTCP(bool UseTCP) {
  UDPorTCP = UseTCP;
  const uint8_t Value = UseTCP ? 1 : 0;
  SendData(tHostId::UDPorTCP, &Value, 1);
}

int16_t tOrvaneHost::GetRecoveryState() {
  SendHeader(tHostId::RecoveryState);
  return RecoveryState;
}

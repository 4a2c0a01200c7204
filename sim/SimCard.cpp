#include "sim/SimCard.h"

#include <algorithm>
#include <utility>

#include "hostlink/OrvaneHost.h"

namespace {

constexpr std::size_t MaxInput = 4096;

// Reported values wander by at most one step from their nominal value, as real sensors do.
uint8_t Wander(uint8_t Value, uint8_t Nominal, int Step, int Range) {
  const int Next = std::clamp(Value + Step, Nominal - Range, Nominal + Range);
  return static_cast<uint8_t>(std::clamp(Next, 0, 255));
}

}  // namespace

tSimCard::tSimCard(const tSimCardConfig& aConfig, tSendProc aSend, tClock::time_point Now)
    : Config(aConfig),
      fSend(std::move(aSend)),
      Start(Now),
      NextReport(Now + ReportPeriod),
      Random(aConfig.Seed) {
  Config.FPGAVersion.resize(tOrvaneHost::FPGAVersionLength, ' ');
  InstallHandlers();
}

void tSimCard::InstallHandlers() {
  namespace Id = tHostId;
  Handlers[Id::AYT] = [this](const tHostMessage&) {
    SendMessage(tHostFrame::MakeMessage(Id::AYT));
  };
  Handlers[Id::Restart] = [this](const tHostMessage&) { RestartRequested = true; };
  Handlers[Id::Echo] = [this](const tHostMessage& M) { SendMessage(M); };
  Handlers[Id::Status] = [this](const tHostMessage&) { AnswerStatus(); };
  Handlers[Id::SyncSource] = [this](const tHostMessage& M) {
    if (M[0] >= 2 && M[2] < SampleRates.size()) SyncPort = M[2];
  };
  Handlers[Id::UDPorTCP] = [this](const tHostMessage& M) {
    if (M[0] >= 2) UseTCP = M[2] != 0;
  };
  Handlers[Id::RecoveryState] = [this](const tHostMessage&) {
    const auto State = static_cast<uint16_t>(RecoveryState);
    const uint8_t Payload[] = {static_cast<uint8_t>(State & 0xFF),
                               static_cast<uint8_t>(State >> 8)};
    SendMessage(tHostFrame::MakeMessage(Id::RecoveryState, Payload, sizeof Payload));
  };
  // An "Error" from the tool means it threw away what it had; nothing to resend.
  Handlers[Id::Error] = [](const tHostMessage&) {};
}

void tSimCard::SetHandler(uint8_t Id, tHandler Handler) {
  Handlers[Id] = std::move(Handler);
}

bool tSimCard::IsSilent(tClock::time_point Now) const {
  if (Config.Silent) return true;
  if (Config.SilentAfterSeconds < 0) return false;
  return Now - Start >= std::chrono::duration<double>(Config.SilentAfterSeconds);
}

bool tSimCard::TakeRestartRequest() {
  return std::exchange(RestartRequested, false);
}

void tSimCard::Reconnect(tClock::time_point Now) {
  Input.clear();
  NextReport = Now + ReportPeriod;
}

void tSimCard::Receive(const uint8_t* Bytes, std::size_t Count, tClock::time_point Now) {
  if (IsSilent(Now)) {
    Input.clear();
    return;
  }
  // A stream that never forms a frame cannot grow without bound.
  if (Input.size() + Count > MaxInput) Input.clear();
  Input.insert(Input.end(), Bytes, Bytes + std::min(Count, MaxInput));
  HandleFrames(Now);
}

void tSimCard::HandleFrames(tClock::time_point Now) {
  using tHostFrame::tFrameStatus;
  std::size_t Used = 0;
  while (Used < Input.size() && !IsSilent(Now)) {
    tHostMessage Message{};
    const auto R = tHostFrame::DecodeFrame(
        std::span<const uint8_t>(Input.data() + Used, Input.size() - Used), Message);
    if (R.Status == tFrameStatus::Incomplete) break;
    if (R.Status == tFrameStatus::Message) {
      Used += R.FrameSize;
      Dispatch(Message);
      continue;
    }
    // A bad frame: like the tool, drop everything waiting and tell the other side.
    if (fLog) fLog(R.Status == tFrameStatus::BadLength ? "rx bad length" : "rx bad checksum");
    Used = Input.size();
    const uint8_t Code = R.Status == tFrameStatus::BadLength ? tu_LengthError : tu_ChecksumError;
    SendMessage(tHostFrame::MakeMessage(tHostId::Error, &Code, 1));
  }
  Input.erase(Input.begin(), Input.begin() + static_cast<std::ptrdiff_t>(Used));
}

void tSimCard::Dispatch(const tHostMessage& aMessage) {
  Log("rx", aMessage);
  if (const auto& Handler = Handlers[aMessage[1]]) Handler(aMessage);
}

void tSimCard::AnswerStatus() {
  // The FPGA version travels as characters 7..10, then 3..6, then 1..2.
  const std::string& V = Config.FPGAVersion;
  uint8_t Payload[12];
  Payload[0] = Config.ZeroDeviceID ? 0 : Config.DeviceID;
  Payload[1] = Config.FirmwareVersion;
  std::copy_n(V.begin() + 6, 4, Payload + 2);
  std::copy_n(V.begin() + 2, 4, Payload + 6);
  std::copy_n(V.begin(), 2, Payload + 10);
  SendMessage(tHostFrame::MakeMessage(tHostId::Status, Payload, sizeof Payload));
}

void tSimCard::Tick(tClock::time_point Now) {
  if (Now < NextReport) return;
  // Reports keep their one-second rhythm; a late tick does not send a burst.
  NextReport += ReportPeriod;
  if (NextReport <= Now) NextReport = Now + ReportPeriod;
  if (IsSilent(Now)) return;
  Drift();
  SendReports();
}

void tSimCard::Drift() {
  std::uniform_int_distribution<int> Step(-1, 1);
  Temperature = Wander(Temperature, 41, Step(Random), 3);
  static constexpr std::array<uint8_t, 7> Nominal{50, 70, 150, 33, 18, 12, 10};
  for (std::size_t i = 0; i < Voltages.size(); ++i)
    Voltages[i] = Wander(Voltages[i], Nominal[i], Step(Random), 1);
}

void tSimCard::SendReports() {
  SendMessage(tHostFrame::MakeMessage(tHostId::Temperature, &Temperature, 1));
  SendMessage(tHostFrame::MakeMessage(tHostId::Voltages, Voltages.data(), Voltages.size()));
  for (uint8_t Port = 0; Port < SampleRates.size(); ++Port) {
    const uint32_t Rate = SampleRates[Port];
    const uint8_t Payload[] = {Port, static_cast<uint8_t>(Rate), static_cast<uint8_t>(Rate >> 8),
                               static_cast<uint8_t>(Rate >> 16), static_cast<uint8_t>(Rate >> 24)};
    SendMessage(tHostFrame::MakeMessage(tHostId::SampleRate, Payload, sizeof Payload));
  }
  SendMessage(tHostFrame::MakeMessage(tHostId::IPAddress, IPAddress.data(), IPAddress.size()));
  SendMessage(tHostFrame::MakeMessage(tHostId::SubnetMask, SubnetMask.data(), SubnetMask.size()));
  const uint8_t Transport = UseTCP ? 1 : 0;
  SendMessage(tHostFrame::MakeMessage(tHostId::UDPorTCP, &Transport, 1));
}

void tSimCard::SendMessage(const tHostMessage& aMessage) {
  std::array<uint8_t, tHostFrame::MaxFrameSize> Frame;
  const std::size_t Size = tHostFrame::BuildFrame(aMessage, Frame);
  ++FramesSent;
  std::string Fault;
  if (Config.CorruptChecksumEvery > 0 && FramesSent % Config.CorruptChecksumEvery == 0) {
    Frame[Size - 1] ^= 0x5A;
    Fault = " (checksum corrupted)";
  }
  if (Config.BadLengthEvery > 0 && FramesSent % Config.BadLengthEvery == 0) {
    Frame[0] = 0xFF;
    Fault += " (bad length byte)";
  }
  Log("tx" + Fault, aMessage);
  if (fSend) fSend(Frame.data(), Size);
}

void tSimCard::Log(const std::string& Direction, const tHostMessage& aMessage) {
  if (!fLog) return;
  std::string Line = Direction + ": " + tOrvaneHost::MessageName(aMessage[1]);
  for (unsigned i = 1; i <= aMessage[0]; ++i)
    Line += " " + std::to_string(aMessage[i]);
  fLog(Line);
}

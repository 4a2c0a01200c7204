#include "sim/SimCard.h"

#include <algorithm>
#include <utility>

#include "hostlink/OrvaneHost.h"
#include "support/MadeUpImage.h"

namespace {

constexpr std::size_t MaxInput = 4096;

// Reported values wander by at most one step from their nominal value, as real sensors do.
uint8_t Wander(uint8_t Value, uint8_t Nominal, int Step, int Range) {
  const int Next = std::clamp(Value + Step, Nominal - Range, Nominal + Range);
  return static_cast<uint8_t>(std::clamp(Next, 0, 255));
}

// The nominal readings: the first supply well below its own when the card runs short of it.
constexpr std::array<uint8_t, 7> NominalVoltages{50, 70, 150, 33, 18, 12, 10};
constexpr uint8_t LowSupplyVoltage = 25;

constexpr std::string_view VersionLead = " - version ";

}  // namespace

std::vector<uint8_t> MakeVersionedFPGAImage(const std::string& Version, std::size_t Size) {
  std::string Text = std::string(MadeUpImageMark) + std::string(MadeUpKindLead) +
                     std::string(MadeUpFPGAName) + std::string(VersionLead) + Version +
                     " - made-up bytes for the simulated card, not a real image.\n";
  while (Text.size() < Size)
    Text += "CADDIS DEMO FPGA BITSTREAM - filler of the made-up image.\n";
  Text.resize(std::max(Size, MadeUpImageMark.size()));
  return {Text.begin(), Text.end()};
}

std::string MadeUpFPGAVersion(const std::vector<uint8_t>& Image) {
  if (MadeUpImageName(Image) != MadeUpFPGAName) return {};
  const std::size_t Lead = MadeUpImageMark.size() + MadeUpKindLead.size() + MadeUpFPGAName.size();
  const std::string_view Rest(reinterpret_cast<const char*>(Image.data()) + Lead,
                              std::min<std::size_t>(Image.size() - Lead, 128));
  if (!Rest.starts_with(VersionLead)) return {};
  const std::string_view Named = Rest.substr(VersionLead.size());
  const std::size_t End = std::min(Named.find(" - "), Named.find('\n'));
  return End == std::string_view::npos ? std::string() : std::string(Named.substr(0, End));
}

tSimCard::tSimCard(const tSimCardConfig& aConfig, tSendProc aSend, tClock::time_point Now)
    : Config(aConfig),
      fSend(std::move(aSend)),
      Start(Now),
      NextReport(Now + ReportPeriod),
      Random(aConfig.Seed),
      FPGAUpdate(tHostId::UpdateHostFPGA, aConfig.UpdateFaults),
      USBAudioUpdate(tHostId::UpdateUSBAudio, aConfig.UpdateFaults),
      InWireFree(Now),
      OutWireFree(Now),
      CurrentTime(Now) {
  Config.FPGAVersion.resize(tOrvaneHost::FPGAVersionLength, ' ');
  InstallHandlers();
}

void tSimCard::InstallHandlers() {
  namespace Id = tHostId;
  Handlers[Id::AYT] = [this](const tHostMessage&) {
    if (KeepAliveAnswered) SendMessage(tHostFrame::MakeMessage(Id::AYT));
  };
  // Asked for its readings, the card sends them at once, as it does once a second.
  Handlers[Id::Temperature] = [this](const tHostMessage&) {
    SendMessage(tHostFrame::MakeMessage(Id::Temperature, &Temperature, 1));
  };
  Handlers[Id::Voltages] = [this](const tHostMessage&) {
    SendMessage(tHostFrame::MakeMessage(Id::Voltages, Voltages.data(), Voltages.size()));
  };
  Handlers[Id::Restart] = [this](const tHostMessage&) {
    (Config.IgnoreRestart ? RestartIgnored : RestartRequested) = true;
  };
  Handlers[Id::Boot] = [this](const tHostMessage&) { BootRequested = true; };
  Handlers[Id::UpdateHostFPGA] = [this](const tHostMessage& M) {
    HandleUpdatePacket(FPGAUpdate, M);
  };
  Handlers[Id::UpdateUSBAudio] = [this](const tHostMessage& M) {
    HandleUpdatePacket(USBAudioUpdate, M);
  };
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

void tSimCard::SetFPGAVersion(const std::string& Version) {
  Config.FPGAVersion = Version;
  Config.FPGAVersion.resize(tOrvaneHost::FPGAVersionLength, ' ');
}

void tSimCard::SetLowSupply(bool Low) {
  LowSupply = Low;
  Voltages[0] = Low ? LowSupplyVoltage : NominalVoltages[0];
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

bool tSimCard::TakeIgnoredRestart() {
  return std::exchange(RestartIgnored, false);
}

bool tSimCard::TakeBootRequest() {
  return std::exchange(BootRequested, false);
}

const std::vector<uint8_t>& tSimCard::ReceivedImage(uint8_t Header) const {
  static const std::vector<uint8_t> None;
  if (Header == tHostId::UpdateHostFPGA) return FPGAUpdate.Image();
  if (Header == tHostId::UpdateUSBAudio) return USBAudioUpdate.Image();
  return None;
}

void tSimCard::Reconnect(tClock::time_point Now) {
  Input.clear();
  Arriving.clear();
  Leaving.clear();
  InWireFree = OutWireFree = CurrentTime = Now;
  NextReport = Now + ReportPeriod;
}

std::chrono::nanoseconds tSimCard::WireTime(std::size_t Count) const {
  if (Config.WireBaud == 0) return std::chrono::nanoseconds(0);
  // Start bit, 8 data bits, stop bit.
  constexpr uint64_t BitsPerByte = 10;
  return std::chrono::nanoseconds(Count * BitsPerByte * 1'000'000'000ULL / Config.WireBaud);
}

bool tSimCard::ReadyForInput(tClock::time_point Now) const {
  return Config.WireBaud == 0 || InWireFree <= Now + WireTime(InputChunk);
}

void tSimCard::Receive(const uint8_t* Bytes, std::size_t Count, tClock::time_point Now) {
  if (IsSilent(Now)) {
    Input.clear();
    Arriving.clear();
    return;
  }
  if (Config.WireBaud == 0) {
    Accept(Bytes, Count, Now);
    return;
  }
  // The bytes are read once the last of them would have come down the wire.
  InWireFree = std::max(InWireFree, Now) + WireTime(Count);
  Arriving.push_back({InWireFree, std::vector<uint8_t>(Bytes, Bytes + Count)});
}

void tSimCard::Accept(const uint8_t* Bytes, std::size_t Count, tClock::time_point Now) {
  CurrentTime = Now;
  // A stream that never forms a frame cannot grow without bound.
  if (Input.size() + Count > MaxInput) Input.clear();
  Input.insert(Input.end(), Bytes, Bytes + std::min(Count, MaxInput));
  HandleFrames(Now);
}

void tSimCard::HandleUpdatePacket(tSimFileUpdate& Update, const tHostMessage& aMessage) {
  const int Completed = Update.ImagesCompleted();
  const auto Answer = Update.Handle(aMessage);
  if (!Answer) {
    if (fLog) fLog("no answer (injected silence)");
    return;
  }
  SendMessageAt(*Answer, CurrentTime + Answering + Config.PacketDelay);
  if (Update.ImagesCompleted() != Completed && fOnImage) fOnImage(Update.Header(), Update.Image());
}

void tSimCard::HandleFrames(tClock::time_point Now) {
  using tHostFrame::tFrameStatus;
  std::size_t Used = 0;
  while (Used < Input.size() && !IsSilent(Now)) {
    tHostMessage Message{};
    // Every frame the tool may send is taken, up to its longest (count byte 255).
    const auto R =
        tHostFrame::DecodeFrame(std::span<const uint8_t>(Input.data() + Used, Input.size() - Used),
                                Message, tHostFrame::MaxSendCount);
    if (R.Status == tFrameStatus::Incomplete) break;
    if (R.Status == tFrameStatus::Message) {
      Used += R.FrameSize;
      Dispatch(Message);
      // A microcontroller that restarts loses what arrived behind the Restart.
      if (RestartRequested) Used = Input.size();
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
  // Whatever the handler answers is ready only once the card has had its time.
  Answering = Config.AnswerDelay;
  if (const auto& Handler = Handlers[aMessage[1]]) Handler(aMessage);
  Answering = {};
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
  // Each chunk is handled at the time it arrived, so replies keep the wire's timing even
  // when the owner calls a little late.
  while (!Arriving.empty() && Arriving.front().Due <= Now) {
    const tTimedBytes Chunk = std::move(Arriving.front());
    Arriving.pop_front();
    if (IsSilent(Chunk.Due)) continue;
    Accept(Chunk.Bytes.data(), Chunk.Bytes.size(), Chunk.Due);
  }
  CurrentTime = Now;
  SendDue(Now);
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
  for (std::size_t i = 0; i < Voltages.size(); ++i)
    Voltages[i] = Wander(Voltages[i], i == 0 && LowSupply ? LowSupplyVoltage : NominalVoltages[i],
                         Step(Random), 1);
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

tSimCard::tClock::time_point tSimCard::NextDue() const {
  tClock::time_point Due = NextReport;
  if (!Arriving.empty()) Due = std::min(Due, Arriving.front().Due);
  if (!Leaving.empty()) Due = std::min(Due, Leaving.front().Due);
  return Due;
}

void tSimCard::SendDue(tClock::time_point Now) {
  while (!Leaving.empty() && Leaving.front().Due <= Now) {
    const tTimedBytes Frame = std::move(Leaving.front());
    Leaving.pop_front();
    if (fSend) fSend(Frame.Bytes.data(), Frame.Bytes.size());
  }
}

// Frames leave in the order they were made: each waits for the one before it to be on the
// wire, then takes its own wire time.
void tSimCard::Schedule(const std::array<uint8_t, tHostFrame::MaxFrameSize>& Frame,
                        std::size_t Size, tClock::time_point Ready) {
  if (Config.WireBaud == 0 && Leaving.empty() && Ready <= CurrentTime) {
    if (fSend) fSend(Frame.data(), Size);
    return;
  }
  const auto Due = std::max(Ready, OutWireFree) + WireTime(Size);
  OutWireFree = Due;
  Leaving.push_back({Due, std::vector<uint8_t>(Frame.begin(), Frame.begin() + Size)});
}

void tSimCard::SendMessage(const tHostMessage& aMessage) {
  SendMessageAt(aMessage, CurrentTime + Answering);
}

void tSimCard::SendMessageAt(const tHostMessage& aMessage, tClock::time_point Ready) {
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
  Schedule(Frame, Size, Ready);
}

void tSimCard::Log(const std::string& Direction, const tHostMessage& aMessage) {
  if (!fLog) return;
  std::string Line = Direction + ": " + tOrvaneHost::MessageName(aMessage[1]);
  for (unsigned i = 1; i <= aMessage[0]; ++i)
    Line += " " + std::to_string(aMessage[i]);
  fLog(Line);
}

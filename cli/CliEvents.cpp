#include "cli/CliEvents.h"

#include <cstdio>
#include <filesystem>

#include "cli/CliText.h"
#include "hostlink/OrvaneHost.h"
#include "session/ServiceRecord.h"

namespace tCliEvents {
namespace {

struct tState {
  bool On = false;
  std::string Command;
  int32_t Port = 0;
  std::chrono::steady_clock::time_point Started;
  nlohmann::ordered_json Before, After;
  std::string Record;
  std::string ProgressPhase;
  int ProgressPercentShown = -1;
  bool Ended = false;  // a result or error event was written
};

tState& State() {
  static tState Events;
  return Events;
}

// The card's 10-character FPGA version without the padding it is sent with.
std::string Trimmed(const std::string& Text) {
  const auto End = Text.find_last_not_of(std::string(" \0", 2));
  return End == std::string::npos ? std::string() : Text.substr(0, End + 1);
}

// The card as Host knows it: {"device_id","firmware","fpga"}.
nlohmann::ordered_json CardObject(const tOrvaneHost& Host) {
  return {{"device_id", Host.DeviceID},
          {"firmware", Host.FirmwareVersion},
          {"fpga", Utf8FromLatin1(Trimmed(Host.FPGAVersion))}};
}

}  // namespace

void Enable() {
  tState& S = State();
  S = tState();
  S.On = true;
  S.Started = std::chrono::steady_clock::now();
}

bool On() {
  return State().On;
}

void SetCommand(const std::string& Command) {
  State().Command = Command;
}

void MarkEnded() {
  State().Ended = true;
}

void Finish(const tCliResult& Ended) {
  const tState& S = State();
  if (!S.On || S.Ended) return;
  if (const int Exit = Ended.Exit; Exit != ExitOk)
    Error(KindOfExit(Exit), Ended.Text.empty() ? OutcomeOf(KindOfExit(Exit)).Help : Ended.Text);
  else if (!S.Command.empty())
    Result();
}

void SetPort(int32_t Port) {
  State().Port = Port;
}

nlohmann::ordered_json Event(const char* Name) {
  const tState& S = State();
  return {{"event", Name},
          {"port", S.Port > 0 ? nlohmann::ordered_json(S.Port) : nlohmann::ordered_json(nullptr)},
          {"time", UtcStamp(std::chrono::system_clock::now())}};
}

void Emit(const nlohmann::ordered_json& Line) {
  if (!On()) return;
  std::printf("%s\n", JsonText(Line).c_str());
  std::fflush(stdout);
}

nlohmann::ordered_json ImageObject(const std::string& Path, std::optional<uint64_t> Size) {
  if (Path.empty()) return nullptr;
  // The absolute name, as the operator's system spells it, in UTF-8.
  std::error_code Failed;
  const auto Absolute = std::filesystem::absolute(
      std::filesystem::path(std::u8string(Path.begin(), Path.end())), Failed);
  const std::u8string Name = Failed ? std::u8string(Path.begin(), Path.end())
                                    : Absolute.lexically_normal().generic_u8string();
  nlohmann::ordered_json Image = {{"file", std::string(Name.begin(), Name.end())}};
  Image["size"] = Size ? nlohmann::ordered_json(*Size) : nlohmann::ordered_json(nullptr);
  return Image;
}

void Start(const nlohmann::ordered_json& Image) {
  if (!On()) return;
  nlohmann::ordered_json Line = Event("start");
  Line["command"] = State().Command;
  if (!Image.is_null()) Line["image"] = Image;
  Emit(Line);
}

void Card(const tOrvaneHost& Host, const char* Phase) {
  if (!On()) return;
  nlohmann::ordered_json Line = Event("card");
  const nlohmann::ordered_json Facts = CardObject(Host);
  Line.insert(Facts.begin(), Facts.end());
  if (Phase) {
    Line["phase"] = Phase;
    // A card in the updated one's place ("other") is neither the card before nor after.
    if (const std::string Which = Phase; Which == "after")
      State().After = Facts;
    else if (Which == "before")
      State().Before = Facts;
  }
  Emit(Line);
}

void Progress(const std::string& Phase, float Fraction) {
  tState& S = State();
  if (!S.On) return;
  const int Percent = ProgressPercent(Fraction);
  if (Phase == S.ProgressPhase && Percent == S.ProgressPercentShown) return;
  S.ProgressPhase = Phase;
  S.ProgressPercentShown = Percent;
  nlohmann::ordered_json Line = Event("progress");
  Line["phase"] = Phase;
  Line["percent"] = Percent;
  Emit(Line);
}

void Message(const std::string& Text) {
  if (!On()) return;
  nlohmann::ordered_json Line = Event("message");
  Line["text"] = Utf8FromLatin1(Text);
  Emit(Line);
}

void SetRecord(const std::string& Path) {
  State().Record = Path;
}

namespace {

double Duration() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - State().Started).count();
}

// Seconds to the millisecond, as a number.
double Rounded(double Seconds) {
  return static_cast<double>(static_cast<long long>(Seconds * 1000 + 0.5)) / 1000;
}

// What a final event (result or error) closes with: the time taken, the card before and after,
// the record line written.
void AddClosingFields(nlohmann::ordered_json& Line) {
  const tState& S = State();
  Line["duration_s"] = Rounded(Duration());
  if (!S.Before.is_null()) Line["before"] = S.Before;
  if (!S.After.is_null()) Line["after"] = S.After;
  if (!S.Record.empty()) Line["record"] = S.Record;
}

}  // namespace

void Result(const nlohmann::ordered_json& Extra) {
  if (!State().On) return;
  nlohmann::ordered_json Line = Event("result");
  Line["ok"] = true;
  Line["exit"] = ExitOk;
  AddClosingFields(Line);
  Line.insert(Extra.begin(), Extra.end());
  Emit(Line);
  State().Ended = true;
}

void Error(tFailKind Kind, const std::string& Message) {
  if (!State().On) return;
  const tOutcome& Outcome = OutcomeOf(Kind);
  nlohmann::ordered_json Line = Event("error");
  Line["ok"] = false;
  Line["exit"] = Outcome.Exit;
  Line["kind"] = Outcome.Name;
  Line["message"] = Utf8FromLatin1(Message);
  AddClosingFields(Line);
  Emit(Line);
  State().Ended = true;
}

}  // namespace tCliEvents

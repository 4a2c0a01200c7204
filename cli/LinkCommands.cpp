// caddis send-hex, echo, reset and boot: single messages to the card, with the traffic shown.
#include <cstdio>

#include "app/CaddisText.h"
#include "cli/CliLoop.h"
#include "cli/Commands.h"
#include "hostlink/OrvaneHost.h"

namespace {

constexpr double DefaultReplyWait = 0.5;
constexpr double DefaultIdentityTimeout = 5.0;
constexpr double DefaultReturnWait = 10.0;
// Time for the Boot message to leave the port before it is closed.
constexpr auto BootPause = std::chrono::milliseconds(100);

const std::vector<tCliOption> MessageOptions = {{"--port", true}, {"--wait", true}};

// Opens the port with traffic logging on and the keep-alive off, so the lines shown are the
// message sent and what the card answers to it.
std::unique_ptr<tOrvaneHost> OpenForTraffic(int32_t Port, std::string& Error) {
  auto Host = OpenCardHost(Port, Error);
  if (!Host) return nullptr;
  Host->Logging = true;
  Host->AYTActive = false;
  return Host;
}

// Sends through Send on the first tick, then shows the replies for Wait.
int SendAndShowReplies(int32_t Port, double Wait, const std::function<void(tOrvaneHost&)>& Send) {
  std::string Error;
  const auto Host = OpenForTraffic(Port, Error);
  if (!Host) return Failure(Error);
  Send(*Host);
  tCliLoop Loop(Host.get());
  return Loop.RunFor(Seconds(Wait)) == le_Stopped ? ExitInterrupted : ExitOk;
}

// The options every message command shares: the port and how long to show replies.
bool ReadMessageArgs(const std::string& Name, const tCommandArgs& Args, tCliArgs& Parsed,
                     int32_t& Port, double& Wait, int& Exit) {
  return ReadArgs(Name, Args, MessageOptions, Parsed, Exit) && ReadPort(Name, Parsed, Port, Exit) &&
         ReadSeconds(Name, Parsed, "--wait", DefaultReplyWait, Wait, Exit);
}

}  // namespace

int SendHexCommand(const tCommandArgs& Args) {
  const std::string Name = "send-hex";
  tCliArgs Parsed;
  int Exit = ExitOk;
  int32_t Port = 0;
  double Wait = 0;
  if (!ReadMessageArgs(Name, Args, Parsed, Port, Wait, Exit)) return Exit;
  if (Parsed.Positional.size() != 1)
    return UsageError(Name, "give the message as one hex argument (quote it if it has spaces)");
  // The text is read in pairs from its start, as the window reads its hex field, but whole:
  // a message too long for one frame is refused rather than cut.
  const std::string& Hex = Parsed.Positional[0];
  std::vector<uint8_t> Bytes;
  for (std::size_t At = 0; At < Hex.size(); At += 254) {
    const std::vector<uint8_t> Part = HexMessage(std::string_view(Hex).substr(At, 254));
    Bytes.insert(Bytes.end(), Part.begin(), Part.end());
  }
  if (Bytes.size() > tHostFrame::MaxSendLength)
    return UsageError(Name, "the message is " + std::to_string(Bytes.size()) +
                                " bytes long; one message carries at most " +
                                std::to_string(tHostFrame::MaxSendLength) +
                                " (the identifier and 253 data bytes)");
  if (Bytes.empty())
    return UsageError(Name, "nothing to send: a message needs at least one byte (two hex digits)");
  return SendAndShowReplies(Port, Wait, [&Bytes](tOrvaneHost& Host) {
    Host.SendMessage(tHostFrame::MakeMessage(std::span<const uint8_t>(Bytes)));
  });
}

int EchoCommand(const tCommandArgs& Args) {
  const std::string Name = "echo";
  tCliArgs Parsed;
  int Exit = ExitOk;
  int32_t Port = 0;
  double Wait = 0;
  if (!ReadMessageArgs(Name, Args, Parsed, Port, Wait, Exit)) return Exit;
  // Several words are one text, as a shell's echo takes them; none gives the window's text.
  std::string Text = Parsed.Positional.empty() ? "Echo Text" : "";
  for (std::size_t i = 0; i < Parsed.Positional.size(); ++i)
    Text += (i ? " " : "") + Parsed.Positional[i];
  if (Text.size() > 253)
    return UsageError(Name, "the text is " + std::to_string(Text.size()) +
                                " characters long; a message carries at most 253");
  return SendAndShowReplies(Port, Wait, [&Text](tOrvaneHost& Host) {
    Host.SendData(tHostId::Echo, Text.data(), static_cast<uint8_t>(Text.size()));
  });
}

int ResetCommand(const tCommandArgs& Args) {
  const std::string Name = "reset";
  tCliArgs Parsed;
  int Exit = ExitOk;
  int32_t Port = 0;
  double ReturnWait = 0;
  if (!ReadPortCommand(Name, Args,
                       {{"--port", true}, {"--no-wait", false}, {"--return-timeout", true}},
                       "--return-timeout", DefaultReturnWait, Parsed, Port, ReturnWait, Exit))
    return Exit;
  std::string Error;
  auto Host = OpenForTraffic(Port, Error);
  if (!Host) return Failure(Error);
  return RestartCard(std::move(Host), !Parsed.Has("--no-wait"), ReturnWait);
}

int BootCommand(const tCommandArgs& Args) {
  const std::string Name = "boot";
  tCliArgs Parsed;
  int Exit = ExitOk;
  int32_t Port = 0;
  double Timeout = 0;
  if (!ReadPortCommand(Name, Args, {{"--port", true}, {"--timeout", true}}, "--timeout",
                       DefaultIdentityTimeout, Parsed, Port, Timeout, Exit))
    return Exit;
  // The card must be listening, or the message goes nowhere and the DFU search that follows
  // would wait for a device that never comes.
  const auto Host = OpenIdentifiedCard(Port, Timeout, Exit);
  if (!Host) return Exit;
  tCliLoop Loop(Host.get());
  Host->Logging = true;
  Host->SendHeader(tHostId::Boot);
  Loop.RunFor(BootPause);
  std::printf("Boot sent on COM%d: the card restarts in its USB DFU boot loader\n", Port);
  return ExitOk;
}

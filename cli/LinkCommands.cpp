// caddis send-hex, echo, reset and boot: single messages to the card, with the traffic shown.
#include <cstdio>

#include "cli/CliEvents.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "hostlink/OrvaneHost.h"
#include "session/LinkFlows.h"

namespace {

// Shows each message the card sends as it is taken: with --json an answer event, else (Lines)
// its bytes as send-hex takes them on standard output.
void ShowAnswers(tCliSession& Session, bool Lines) {
  Session.OnFrameSeen = [Lines](bool Outgoing, const uint8_t* Frame, std::size_t Size) {
    if (Outgoing || Size < 3) return;
    const std::string Hex = AnswerHex(Frame, Size);
    if (tCliEvents::On()) {
      nlohmann::ordered_json Event = tCliEvents::Event("answer");
      Event["name"] = tOrvaneHost::MessageName(Frame[1]);
      Event["hex"] = Hex;
      tCliEvents::Emit(Event);
    } else if (Lines) {
      std::printf("%s\n", Hex.c_str());
      std::fflush(stdout);
    }
  };
}

}  // namespace

tCliResult SendHexCommand(const tCliContext& Context, const tSendOptions& Options) {
  if (Context.Words.size() != 1)
    return UsageError(Context.Command, "give the message as one argument of hex digits");
  // Stricter than the window's hex field, which reads fixed pairs and drops what is left: a
  // script's typing error must not go to the card as another message.
  std::vector<uint8_t> Bytes;
  if (std::string Why; !ParseHexBytes(Context.Words[0], Bytes, Why))
    return UsageError(Context.Command, Why);
  if (Bytes.size() > tHostFrame::MaxSendLength)
    return UsageError(Context.Command, "the message is " + std::to_string(Bytes.size()) +
                                           " bytes long; one message carries at most " +
                                           std::to_string(tHostFrame::MaxSendLength) +
                                           " (the identifier and 253 data bytes)");
  if (Bytes.empty())
    return UsageError(Context.Command,
                      "nothing to send: a message needs at least one byte (two hex digits)");
  tCliEvents::Start();
  tCliSession Session;
  ShowAnswers(Session, true);
  return RunCommandFlow(Session,
                        SendAndShowFlow(Session, Options.Port,
                                        tHostFrame::MakeMessage(std::span<const uint8_t>(Bytes)),
                                        Seconds(Options.Wait)),
                        Context.Command);
}

tCliResult EchoCommand(const tCliContext& Context, const tSendOptions& Options) {
  // Several words are one text, as a shell's echo takes them; none gives the window's text.
  std::string Text = Context.Words.empty() ? "Echo Text" : "";
  for (std::size_t i = 0; i < Context.Words.size(); ++i)
    Text += (i ? " " : "") + Context.Words[i];
  if (Text.size() > 253)
    return UsageError(Context.Command, "the text is " + std::to_string(Text.size()) +
                                           " characters long; a message carries at most 253");
  tCliEvents::Start();
  tCliSession Session;
  ShowAnswers(Session, false);
  return RunCommandFlow(
      Session,
      SendAndShowFlow(Session, Options.Port,
                      tHostFrame::MakeMessage(tHostId::Echo, Text.data(), Text.size()),
                      Seconds(Options.Wait)),
      Context.Command);
}

tCliResult ResetCommand(const tCliContext& Context, const tResetOptions& Options) {
  tCliEvents::Start();
  std::optional<tReturnRequest> Return;
  if (!Options.NoWait)
    Return = tReturnRequest{.Limit = Seconds(Options.ReturnTimeout),
                            .IfStaying = "power the card off and on to restart it",
                            .NotBack = fk_NoCard,
                            .Done = "restarted"};
  tCliSession Session;
  tCliReport Report;
  // The traffic lines only with -v: the operator asked for a restart, not a trace.
  return RunCommandFlow(Session, ResetFlow(Session, Report, Options.Port, Return, Context.Verbose),
                        Context.Command);
}

tCliResult BootCommand(const tCliContext& Context, const tBootOptions& Options) {
  tCliEvents::Start();
  tCliSession Session;
  tCliReport Report;
  return RunCommandFlow(
      Session, BootFlow(Session, Report, Options.Port, Seconds(Options.Timeout), Context.Verbose),
      Context.Command);
}

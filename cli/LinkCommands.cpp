// caddis send-hex, echo, reset and boot: single messages to the card, with the traffic shown.
#include <cstdio>

#include "cli/CliEvents.h"
#include "cli/CliLoop.h"
#include "cli/Commands.h"
#include "hostlink/OrvaneHost.h"

namespace {

// Opens the port with traffic logging on and the keep-alive off, so the lines shown are the
// message sent and what the card answers to it.
bool OpenForTraffic(tCliSession& Session, int32_t Port, std::string& Error) {
  if (!Session.OpenCard(Port, Error)) return false;
  Session.Host->Logging = true;
  Session.Host->AYTActive = false;
  return true;
}

// Sends through Send on the first tick, then shows the replies for Wait.
tCliResult SendAndShowReplies(int32_t Port, double Wait,
                              const std::function<void(tOrvaneHost&)>& Send) {
  tCliSession Session;
  std::string Error;
  if (!OpenForTraffic(Session, Port, Error)) return Failure(fk_Port, Error);
  Send(*Session.Host);
  tCliLoop Loop(Session.Host.get());
  return Loop.RunFor(Seconds(Wait)) == le_Stopped ? InterruptedExit() : tCliResult(ExitOk);
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
  return SendAndShowReplies(Options.Port, Options.Wait, [&Bytes](tOrvaneHost& Host) {
    Host.SendMessage(tHostFrame::MakeMessage(std::span<const uint8_t>(Bytes)));
  });
}

tCliResult EchoCommand(const tCliContext& Context, const tSendOptions& Options) {
  // Several words are one text, as a shell's echo takes them; none gives the window's text.
  std::string Text = Context.Words.empty() ? "Echo Text" : "";
  for (std::size_t i = 0; i < Context.Words.size(); ++i)
    Text += (i ? " " : "") + Context.Words[i];
  if (Text.size() > 253)
    return UsageError(Context.Command, "the text is " + std::to_string(Text.size()) +
                                           " characters long; a message carries at most 253");
  return SendAndShowReplies(Options.Port, Options.Wait, [&Text](tOrvaneHost& Host) {
    Host.SendData(tHostId::Echo, Text.data(), static_cast<uint8_t>(Text.size()));
  });
}

tCliResult ResetCommand(const tCliContext& Context, const tResetOptions& Options) {
  tCliEvents::Start();
  tCliSession Session;
  std::string Error;
  if (!OpenForTraffic(Session, Options.Port, Error)) return Failure(fk_Port, Error);
  if (Options.NoWait) {
    if (!Session.Restart(false)) return InterruptedExit();
    Say("Restart sent on COM" + std::to_string(Session.ComPort));
    return ExitOk;
  }
  tCliReport Report;
  return RunCommandFlow(Session,
                        RestartAndReturnFlow(Session, Report,
                                             {Seconds(Options.ReturnTimeout),
                                              "power the card off and on to restart it", fk_NoCard}),
                        Context.Command);
}

tCliResult BootCommand(const tCliContext& Context, const tBootOptions& Options) {
  const int32_t Port = Options.Port;
  // The card must be listening, or the message goes nowhere and the DFU search that follows
  // would wait for a device that never comes.
  tCliSession Session;
  if (tCliResult Exit = RunCommandFlow(
          Session, OpenIdentifiedFlow(Session, Port, Seconds(Options.Timeout)), Context.Command);
      Exit.Exit != ExitOk)
    return Exit;
  Session.Host->Logging = true;
  Session.SendBoot();
  tCliLoop(Session.Host.get()).RunFor(tCardSession::BootPause);
  std::printf("Boot sent on COM%d: the card restarts in its USB DFU boot loader\n", Port);
  return ExitOk;
}

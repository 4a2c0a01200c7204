#include "cli/Outcome.h"

#include <cstdio>
#include <string>

#include "platform/Console.h"

namespace {

// "interrupted (Ctrl-C)", in the system's words for what stops a program; kept for the
// program's life, as the table's texts are.
const char* StopHelp(tConsole::tStopReason Reason) {
  static std::string Texts[2];
  std::string& Text = Texts[Reason == tConsole::cs_Interrupt ? 0 : 1];
  Text = std::string(Reason == tConsole::cs_Interrupt ? "interrupted (" : "terminated (") +
         tConsole::StopRequestText(Reason) + ")";
  return Text.c_str();
}

}  // namespace

const std::vector<tOutcome>& Outcomes() {
  static const std::vector<tOutcome> Table = {
      {fk_Failure, ExitFailure, "failure", "any other failure"},
      {fk_Usage, ExitUsage, "usage", "bad arguments"},
      {fk_Port, ExitPort, "port", "the port is missing, or busy (another program has it)"},
      {fk_NoCard, ExitNoCard, "no-card", "no card answered, or it did not identify itself"},
      {fk_Image, ExitImage, "image",
       "the image refused: missing, unreadable, of the wrong kind, or made up for a real port"},
      {fk_Refused, ExitRefused, "refused",
       "the card refused the update: an error code, a wrong acknowledgement, a download refused"},
      {fk_Verify, ExitVerify, "verify",
       "verification failed: the image read back differs, or the card did not come back"},
      {fk_Interrupted, ExitInterrupted, "interrupted", StopHelp(tConsole::cs_Interrupt)},
      {fk_Terminated, ExitTerminated, "terminated", StopHelp(tConsole::cs_Terminate)},
  };
  return Table;
}

const tOutcome& OutcomeOf(tFailKind Kind) {
  for (const tOutcome& Outcome : Outcomes())
    if (Outcome.Kind == Kind) return Outcome;
  return Outcomes().front();
}

tFailKind KindOfExit(int Exit) {
  for (const tOutcome& Outcome : Outcomes())
    if (Outcome.Exit == Exit) return Outcome.Kind;
  return fk_Failure;
}

std::string ExitStatusHelp() {
  std::string Text = "  0    success (for updates: the card accepted the image)\n";
  for (const tOutcome& Outcome : Outcomes()) {
    char Line[200];
    std::snprintf(Line, sizeof Line, "  %-3d  %s (%s)\n", Outcome.Exit, Outcome.Help, Outcome.Name);
    Text += Line;
  }
  return Text;
}

int CombinedExit(const std::vector<int>& Exits) {
  int Failed = ExitOk;
  for (int Exit : Exits) {
    if (Exit == ExitOk) continue;
    if (Failed != ExitOk && Failed != Exit) return ExitFailure;
    Failed = Exit;
  }
  return Failed;
}

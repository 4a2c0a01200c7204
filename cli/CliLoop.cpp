#include "cli/CliLoop.h"

#include <cstdio>

#include "cli/CliEvents.h"
#include "cli/CliText.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "support/DisplayMessage.h"

void InstallStopHandlers() {
  tConsole::InstallStopHandler(RequestLoopStop);
  // A file operation a signal interrupts gives up once a stop is requested.
  tFiles::SetStopCheck(LoopStopRequested);
}

bool StopRequested() {
  return LoopStopRequested();
}

tCliResult InterruptedExit(std::string Text) {
  return {128 + (LoopStopSignal() ? LoopStopSignal() : tConsole::cs_Interrupt), std::move(Text)};
}

tStatusLine::tStatusLine() : fTerminal(tConsole::OutputIsTerminal()) {}

void tStatusLine::Show(const std::string& Text) {
  // With --json the events say it.
  if (tCliEvents::On()) return;
  if (Text == fText && (fDrawn || !fTerminal)) return;
  fText = Text;
  if (fTerminal) {
    // A line longer than the terminal wraps, and a wrapped line cannot be redrawn in place.
    std::string Shown = Text;
    if (const size_t Columns = static_cast<size_t>(tConsole::OutputColumns());
        Columns > 1 && Shown.size() >= Columns)
      Shown.resize(Columns - 1);
    std::printf("\r\033[K%s", Shown.c_str());
    fShown = Shown;
    fDrawn = true;
  } else {
    std::printf("%s\n", Text.c_str());
  }
  std::fflush(stdout);
}

void tStatusLine::Message(const std::string& Text) {
  if (tCliEvents::On()) return tCliEvents::Message(Text);
  if (fTerminal && fDrawn) {
    std::printf("\r\033[K");
    std::fflush(stdout);
  }
  std::fprintf(stderr, "%s\n", Text.c_str());
  std::fflush(stderr);
  if (fTerminal && fDrawn) {
    std::printf("%s", fShown.c_str());
    std::fflush(stdout);
  }
}

void tStatusLine::Finish() {
  if (fTerminal && fDrawn) {
    std::printf("\n");
    std::fflush(stdout);
  }
  fDrawn = false;
}

void tTransferDisplay::Show(const std::string& Label, const std::string& LineLabel,
                            float Fraction) {
  constexpr int LineStep = 10;
  if (Label != fLabel) {
    fLabel = Label;
    fStart = std::chrono::steady_clock::now();
  }
  if (tCliEvents::On()) return tCliEvents::Progress(LineLabel, Fraction);
  if (fLine.Terminal()) {
    const double Elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - fStart).count();
    // One column to spare: a line that fills the terminal's last column wraps on some.
    const int Columns = tConsole::OutputColumns();
    fLine.Show(FittedTransferLine(Label, Fraction, fTotal, Elapsed,
                                  Columns > 1 ? static_cast<std::size_t>(Columns - 1) : 0));
  } else {
    const int Step = ProgressPercent(Fraction) / LineStep * LineStep;
    fLine.Show(fTarget + " " + LineLabel + ": " + std::to_string(Step) + "%");
  }
}

#include "cli/CliLoop.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cli/CliText.h"
#include "support/DisplayMessage.h"
#include "support/LogFile.h"

namespace {

void RequestStop(int Signal) {
  RequestLoopStop(Signal);
}

}  // namespace

void InstallStopHandlers() {
  struct sigaction Action {};
  Action.sa_handler = RequestStop;
  sigemptyset(&Action.sa_mask);
  sigaction(SIGINT, &Action, nullptr);
  sigaction(SIGTERM, &Action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() {
  return LoopStopRequested();
}

int InterruptedExit() {
  return 128 + (LoopStopSignal() ? LoopStopSignal() : SIGINT);
}

tStatusLine::tStatusLine() : fTerminal(isatty(STDOUT_FILENO) == 1) {}

void tStatusLine::Show(const std::string& Text) {
  if (Text == fText && (fDrawn || !fTerminal)) return;
  fText = Text;
  if (fTerminal) {
    // A line longer than the terminal wraps, and a wrapped line cannot be redrawn in place.
    winsize Size{};
    std::string Shown = Text;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &Size) == 0 && Size.ws_col > 1 &&
        Shown.size() >= Size.ws_col)
      Shown.resize(Size.ws_col - 1);
    std::printf("\r\033[K%s", Shown.c_str());
    fShown = Shown;
    fDrawn = true;
  } else {
    std::printf("%s\n", Text.c_str());
  }
  std::fflush(stdout);
}

void tStatusLine::Message(const std::string& Text) {
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
  constexpr int BarWidth = 40;
  constexpr int LineStep = 10;
  if (Label != fLabel) {
    fLabel = Label;
    fStart = std::chrono::steady_clock::now();
  }
  if (fLine.Terminal()) {
    const double Elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - fStart).count();
    fLine.Show(TransferLine(Label, Fraction, fTotal, Elapsed, BarWidth));
  } else {
    const int Step = ProgressPercent(Fraction) / LineStep * LineStep;
    fLine.Show(LineLabel + ": " + std::to_string(Step) + "%");
  }
}

tDisplayScope::tDisplayScope(std::function<void(const std::string&)> Proc)
    : fSaved(DisplayMessageProc) {
  DisplayMessageProc = std::move(Proc);
}

tDisplayScope::~tDisplayScope() {
  DisplayMessageProc = fSaved;
}

void ChooseLogFolder() {
  if (const char* Folder = std::getenv("CADDIS_LOG_DIR"); Folder && *Folder) LogFolder = Folder;
}

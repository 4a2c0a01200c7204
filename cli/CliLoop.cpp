#include "cli/CliLoop.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "cli/CliText.h"
#include "hostlink/OrvaneHost.h"
#include "platform/UIThread.h"
#include "platform/posix/PortCatalogue.h"
#include "serial/ComPorts.h"
#include "support/DisplayMessage.h"
#include "support/LogFile.h"

namespace {

std::atomic<bool> Stop{false};

void RequestStop(int) {
  Stop = true;
}

// A loop that fell far behind (the machine was busy) starts afresh instead of running a
// burst of ticks to catch up.
constexpr std::chrono::milliseconds MaxLag{100};

}  // namespace

tLoopEnd tCliLoop::RunUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit,
                            const std::function<void()>& Step) {
  using tClock = std::chrono::steady_clock;
  auto Next = tClock::now();
  const auto Until = Next + Limit;
  for (;;) {
    if (fHost) {
      fHost->ServiceReceive();
      fHost->ServiceAYT();
    }
    tUIThread::ServePending();
    if (Step) Step();
    if (Done && Done()) return le_Done;
    if (Stop) return le_Stopped;
    const auto Now = tClock::now();
    if (Now >= Until) return le_TimedOut;
    Next += Tick;
    if (Next + MaxLag < Now) Next = Now;
    WaitForNextTick(std::min(Next, Until));
  }
}

tLoopEnd tCliLoop::RunFor(std::chrono::milliseconds Span, const std::function<void()>& Step) {
  const tLoopEnd End = RunUntil({}, Span, Step);
  return End == le_TimedOut ? le_Done : End;
}

void tCliLoop::WaitForNextTick(std::chrono::steady_clock::time_point Next) {
  for (;;) {
    const auto Now = std::chrono::steady_clock::now();
    if (Now >= Next || Stop) return;
    tUIThread::WaitAndServe(std::chrono::ceil<std::chrono::milliseconds>(Next - Now));
  }
}

void InstallStopHandlers() {
  struct sigaction Action {};
  Action.sa_handler = RequestStop;
  sigemptyset(&Action.sa_mask);
  sigaction(SIGINT, &Action, nullptr);
  sigaction(SIGTERM, &Action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() {
  return Stop;
}

std::chrono::milliseconds Seconds(double Value) {
  return std::chrono::milliseconds(static_cast<int64_t>(std::llround(Value * 1000.0)));
}

std::unique_ptr<tOrvaneHost> OpenCardHost(int32_t aComPort, std::string& Error) {
  // Error logging is switched on only after the open: a port that does not open is
  // explained below, with its reason, instead of the host's bare line.
  auto Host = std::make_unique<tOrvaneHost>(static_cast<uint32_t>(aComPort), false, "Caddis");
  if (!Host->ComPort) {
    Error = "Cannot open ComPort " + std::to_string(aComPort) + ": " +
            OpenErrorReason(tComPort::LastOpenError());
    if (const std::string Problem = tPortCatalogue::PortFolderProblem(); !Problem.empty())
      Error += " (registered ports are ignored: " + Problem + ")";
    return nullptr;
  }
  Host->LogErrors = true;
  return Host;
}

bool WaitForIdentity(tCliLoop& Loop, const tOrvaneHost& Host, std::chrono::milliseconds Timeout,
                     std::string& Error) {
  // A keep-alive that went out (count up) and came back (count cleared) shows a card that
  // answers but has not given a usable identity, which deserves its own explanation.
  int32_t LastFailCount = Host.GetAYTFailCount();
  bool Answered = false;
  const tLoopEnd End = Loop.RunUntil([&] { return Host.DeviceID != 0; }, Timeout,
                                     [&] {
                                       const int32_t FailCount = Host.GetAYTFailCount();
                                       if (LastFailCount > 0 && FailCount == 0) Answered = true;
                                       LastFailCount = FailCount;
                                     });
  if (End == le_Done) return true;
  const std::string Port = "COM" + std::to_string(Host.ComPortID);
  const std::string Within = " within " + SecondsText(Timeout.count() / 1000.0) + " s";
  if (End == le_Stopped)
    Error = "interrupted";
  else if (Answered && Host.GetStatusReplies() > 0)
    Error = "the card on " + Port + " answers but has not identified itself" + Within +
            " (its Status reply carries device ID 0)";
  else if (Answered && Host.GetDiscardedFrames() > 0)
    Error = "the card on " + Port + " answers but its identity did not arrive" + Within +
            " (its Status reply was lost or damaged on the link)";
  else if (Answered)
    Error = "the card on " + Port + " answers but has not answered the Status request" + Within;
  else
    Error = "no answer from the card on " + Port + Within + " (is it powered and connected?)";
  return false;
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

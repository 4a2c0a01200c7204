#include "platform/Console.h"

#include <cstdio>

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace tConsole {
namespace {

void (*StopHandler)(int) = nullptr;

void OnSignal(int Signal) {
  if (StopHandler) StopHandler(Signal == SIGINT ? cs_Interrupt : cs_Terminate);
}

}  // namespace

void InstallStopHandler(void (*aHandler)(int Reason)) {
  StopHandler = aHandler;
  struct sigaction Action {};
  Action.sa_handler = OnSignal;
  sigemptyset(&Action.sa_mask);
  sigaction(SIGINT, &Action, nullptr);
  sigaction(SIGTERM, &Action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool OutputIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

int OutputColumns() {
  winsize Size{};
  return ioctl(STDOUT_FILENO, TIOCGWINSZ, &Size) == 0 ? Size.ws_col : 0;
}

int OutputLines() {
  winsize Size{};
  return ioctl(STDOUT_FILENO, TIOCGWINSZ, &Size) == 0 ? Size.ws_row : 0;
}

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void UseUtf8Output() {}

const char* StopRequestText(tStopReason Reason) {
  return Reason == cs_Interrupt ? "Ctrl-C" : "SIGTERM";
}

bool ReadSecretLine(const std::string& Prompt, std::string& Line) {
  const bool Terminal = ::isatty(STDIN_FILENO) == 1;
  termios Saved{};
  if (Terminal && ::tcgetattr(STDIN_FILENO, &Saved) == 0) {
    termios Quiet = Saved;
    Quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    std::fputs(Prompt.c_str(), stderr);
    std::fflush(stderr);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &Quiet);
  }
  Line.clear();
  int c = 0;
  while ((c = std::fgetc(stdin)) != EOF && c != '\n') Line.push_back(static_cast<char>(c));
  if (Terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &Saved);
    std::fputs("\n", stderr);
  }
  if (!Line.empty() && Line.back() == '\r') Line.pop_back();
  return c != EOF || !Line.empty();
}

}  // namespace tConsole

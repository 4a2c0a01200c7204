// caddis-card-sim: the card's side of the serial link over a pseudo-terminal.
#include <signal.h>

#include <atomic>
#include <iostream>

#include "sim/SimRunner.h"

namespace {

std::atomic<bool> StopRequested{false};

void RequestStop(int) {
  StopRequested = true;
}

void InstallStopHandlers() {
  struct sigaction Action {};
  Action.sa_handler = RequestStop;
  sigemptyset(&Action.sa_mask);
  Action.sa_flags = 0;  // no restart: the loop's wait returns at once
  sigaction(SIGINT, &Action, nullptr);
  sigaction(SIGTERM, &Action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  tSimOptions Options;
  bool Help = false;
  std::string Error;
  if (!ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc), Options, Help, Error)) {
    std::cerr << "caddis-card-sim: " << Error << "\n" << SimUsage();
    return 2;
  }
  if (Help) {
    std::cout << SimUsage();
    return 0;
  }
  InstallStopHandlers();
  return RunSimCard(Options, StopRequested, std::cout);
}

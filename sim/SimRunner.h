// The simulated card's main loop: one pseudo-terminal, one card, until asked to stop.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "sim/SimCard.h"

struct tSimOptions {
  uint32_t ComNumber = 0;
  tSimCardConfig Card;
  bool Verbose = false;
  // How long a "Restart" keeps the card off the link.
  std::chrono::milliseconds RestartDowntime{1000};
};

// Reads the command line (without the program name). False with Error set when it is not
// usable; Help is set for --help.
bool ParseSimOptions(const std::vector<std::string>& Args, tSimOptions& Options, bool& Help,
                     std::string& Error);
std::string SimUsage();

// Runs the card until Stop is set; returns the process exit code. Lines go to Out.
int RunSimCard(const tSimOptions& Options, const std::atomic<bool>& Stop, std::ostream& Out);

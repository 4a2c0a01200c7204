// The simulated card's main loop: one pseudo-terminal, one card, until asked to stop. On
// "Boot" the card leaves its port for its USB DFU boot loader (a virtual DFU device) and comes
// back on the same port when the boot loader is told to leave DFU mode.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "sim/SimCard.h"
#include "sim/bootloader/VirtualDFUDevice.h"

// How a firmware behaves once the card starts it after a download (keyed by the version the
// image carries, so the firmware kept before still works when it goes back).
enum class tFirmwareFault {
  NeverStarts,     // the card stays in its boot loader: the firmware never starts
  WrongVersion,    // it reports another version than the image carries (one more)
  LowVoltage,      // it reports its first supply voltage far below nominal (2.5 V of 5.0 V)
  DropsKeepAlive,  // it leaves every keep-alive unanswered (Status still answered)
};

struct tSimOptions {
  uint32_t ComNumber = 0;
  // A terminal device to serve instead of a registered pseudo-terminal (the device side of
  // a USB serial gadget).
  std::string Tty;
  // The card's serial gadget in configfs: restarts unplug and plug it, and the boot loader
  // takes its device controller through the GadgetFS mounted at GadgetFS.
  std::string Gadget;
  std::string GadgetFS = "/dev/gadget";
  tSimCardConfig Card;
  bool Verbose = false;
  // How long a "Restart" keeps the card off the link.
  std::chrono::milliseconds RestartDowntime{1000};
  // On "Restart" the port stays (as a serial adapter powered from the host's side does) and
  // the card is only silent for RestartDowntime, losing what arrives meanwhile; otherwise
  // the port leaves the folder for that time and comes back as a new device.
  bool RestartKeepsPort = false;
  // How long the card takes from "Boot" until its boot loader is on the USB bus, and from a
  // disconnect in DFU mode until it is back there.
  std::chrono::milliseconds BootDowntime{300};
  // Where received images are written (empty: kept in memory only). ImageOut takes both
  // kinds unless the kind has its own file.
  std::string FPGAOut;
  std::string USBAudioOut;
  std::string ImageOut;
  // Faults of the boot loader's DFU device: on every appearance of the boot loader, or with
  // DFUFaultVisit only on its Nth (1: after the first Boot), so a later download can fail
  // where an earlier one went through.
  dfu::tVirtualDFUFaults DFUFaults;
  int DFUFaultVisit = 0;
  // How each firmware version behaves after a download.
  std::map<uint8_t, tFirmwareFault> FirmwareFaults;
  // How long the boot loader reports it needs to program one block (bwPollTimeout); a slow
  // flash makes a download long enough to watch.
  uint32_t DFUBlockMs = 2;
  // The boot loader cannot upload (a download it is asked to verify is refused).
  bool DFUNoUpload = false;
};

// The serial string of the card's DFU device on port COM<n>: "SIM" and n in five digits.
std::string SimDFUSerial(uint32_t ComNumber);

// Reads the command line (without the program name). False with Error set when it is not
// usable; Help is set for --help.
bool ParseSimOptions(const std::vector<std::string>& Args, tSimOptions& Options, bool& Help,
                     std::string& Error);
std::string SimUsage();

// Runs the card until Stop is set; returns the process exit code. Lines go to Out.
int RunSimCard(const tSimOptions& Options, const std::atomic<bool>& Stop, std::ostream& Out);

// The serial ports of this machine and their numbers ("COM<n>").
//
// Two sources:
//   - the port folder (tPaths::PortFolder()): symbolic links named COM<n>, each pointing at
//     a device; the link's number is the port's number (the simulated card registers itself
//     there, and an operator pins a number to a device the same way);
//   - the kernel's serial devices that really exist (a device link in sysfs, not an empty
//     legacy 8250 placeholder, not the system console). Each gets the lowest free number
//     from 1 the first time it is seen, remembered per device identity (its
//     /dev/serial/by-id or by-path name, else its kernel name) in "ports.txt" in the config
//     folder, so an adapter keeps its number when it is unplugged and plugged again.
// Called on the user-interface thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tPortCatalogue {

// Everything the catalogue reads. An empty field means $CADDIS_SYSFS_ROOT, $CADDIS_DEV_ROOT,
// $CADDIS_KERNEL_CMDLINE (for the first three) when set, else the machine's own.
struct tRoots {
  std::string SysFs;          // "/sys"
  std::string Dev;            // "/dev"
  std::string KernelCmdLine;  // "/proc/cmdline"
  std::string PortFolder;     // tPaths::PortFolder()
  std::string ConfigFolder;   // tPaths::ConfigFolder()
};
// Tests point the catalogue at a fake tree; SetRoots({}) goes back to the machine's own.
void SetRoots(const tRoots& Roots);

struct tPort {
  int32_t Number = 0;
  std::string Name;        // kernel name (ttyUSB0) or the link target's file name
  std::string DevicePath;  // what to open
  // The USB device a kernel port belongs to, as its sysfs gives it: "0403:6001 FTDI
  // FT232R USB UART, serial A10KJ3XQ" (vendor:product, manufacturer, product, serial
  // number; the strings it has). Empty for ports that are not on USB.
  std::string Usb;
};

// Why the port folder is being ignored (it, or the runtime folder above it, is not the
// user's own private folder: tPaths::IsPrivateFolder), naming the folder; empty when it is
// fine or does not exist. Its links are then neither listed nor opened.
std::string PortFolderProblem();

// Every port present: the port folder's links by number, then the kernel devices by name.
// A kernel device that a link of the port folder already names is listed once, by the link.
std::vector<tPort> ListPorts();

// The path to open for port aCom: its COM<n> link, else the kernel device remembered under
// that number if it is present now. Empty when there is none.
std::string DevicePathFor(int32_t aCom);

// The number of a device given by path (/dev/ttyUSB0, a by-id link, a COM<n> link) or
// kernel name (ttyUSB0); 0 when it has none. Numbers a new kernel device like ListPorts;
// a device that has just gone is still found by the kernel name it last had.
int32_t PortNumberOf(const std::string& DeviceOrName);

}  // namespace tPortCatalogue

// The serial ports of this machine and their numbers ("COM<n>").
//
// Each port present has a number n, a name the operator recognises and a device path to open.
// Where the numbers come from is the system's business:
//   - Windows numbers its ports itself: the serial drivers register each one as "COM<n>"
//     with the name of its device ("Serial0", "VCP0"); the path is "\\.\COM<n>".
//   - On Linux two sources: the port folder (tPaths::PortFolder()), whose symbolic links
//     named COM<n> each point at a device (the simulated card registers itself there, and an
//     operator pins a number to a device the same way); and the kernel's serial devices that
//     really exist, each given the lowest free number from 1 the first time it is seen and
//     remembered per device identity in "ports.txt" in the config folder, so an adapter
//     keeps its number when it is unplugged and plugged again.
// Called on the user-interface thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tPortCatalogue {

// The folders a catalogue that reads the file system looks at (Linux; Windows reads its
// registry and ignores them). An empty field means $CADDIS_SYSFS_ROOT, $CADDIS_DEV_ROOT,
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
  std::string Name;        // the driver's device name (Serial0; ttyUSB0; a link target's name)
  std::string DevicePath;  // what to open
  // The USB device the port belongs to, where the system tells (Linux from sysfs, Windows
  // from the device setup):
  // "0403:6001 FTDI FT232R USB UART, serial A10KJ3XQ" (vendor:product, manufacturer,
  // product, serial number; the strings it has). Empty otherwise.
  std::string Usb;
  // The system names the port as one of a Bluetooth link (Windows: its device is enumerated by
  // the Bluetooth bus; Linux: an rfcomm tty, or one whose device sits under a Bluetooth
  // adapter). Opening one may try to reach a far device for many seconds.
  bool Bluetooth = false;
};

// Why the port folder is being ignored (it, or the runtime folder above it, is not the
// user's own private folder: tPaths::IsPrivateFolder), naming the folder; empty when it is
// fine, does not exist, or the system has none. Its links are then neither listed nor opened.
std::string PortFolderProblem();

// Why the file of remembered port numbers is being ignored (it is no ordinary file, or far
// too large), naming it; empty when it is fine, absent, or the system has none. Ports are
// then still numbered, but the numbers are not remembered.
std::string NumbersFileProblem();
// The file of remembered port numbers; empty where the system numbers its ports itself.
std::string NumbersFilePath();

// Every port present. On Windows in the order the system registered them; on Linux the port
// folder's links by number, then the kernel devices by name (a kernel device that a link
// already names is listed once, by the link).
std::vector<tPort> ListPorts();

// The numbers of the ports present, in ListPorts' order, without what it takes to name their
// devices (on Windows one registry key is read): cheap enough to ask every few seconds.
std::vector<int32_t> PortNumbers();

// The path to open for port aCom when that port is present now (on Linux its COM<n> link,
// else the kernel device remembered under that number). Empty when there is none.
std::string DevicePathFor(int32_t aCom);

// The device behind port aCom now: DevicePathFor's path with every link on the way followed
// (on Linux the kernel device a COM<n> or by-id link leads to; Windows opens a port by its
// number and names no other device, so there it is that path as it is). Empty when the port
// is not present. Two different devices behind one number give two different texts.
std::string RealDevicePathFor(int32_t aCom);

// The number of a device given by path or name ("\\.\COM5", "COM5", "Serial0";
// /dev/ttyUSB0, a by-id link, a COM<n> link, ttyUSB0); 0 when it has none. On Linux a new
// kernel device is numbered like ListPorts, and one that has just gone is still found by the
// kernel name it last had.
int32_t PortNumberOf(const std::string& DeviceOrName);

// The port name ("COM5") the device notices give a kernel tty device (PortNumberOf), or ""
// for a device that is not a port of the list.
inline std::string PortNameOfKernelDevice(const std::string& KernelName) {
  const int32_t n = PortNumberOf(KernelName);
  return n > 0 ? "COM" + std::to_string(n) : std::string();
}

// Windows: the USB identity as the port list shows it ("0403:6001 FTDI FT232R USB UART, serial
// A10KJ3XQ") from a port device's instance ("USB\\VID_0403&PID_6001\\A10KJ3XQ"), its
// manufacturer and the product string it reported (either may be empty); "" for a device that
// is no USB device.
std::string UsbIdentityOfInstance(const std::string& Instance, const std::string& Manufacturer,
                                  const std::string& Product);
// Windows: whether a port device's instance ("BTHENUM\{...}_LOCALMFG&0002\7&...") belongs to
// the Bluetooth bus.
bool IsBluetoothInstance(const std::string& Instance);

}  // namespace tPortCatalogue

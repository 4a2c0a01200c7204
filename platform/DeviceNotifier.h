// Arrival and removal notices for serial ports, named as the port list numbers them ("COM5").
//
// Two sources: kernel tty devices through a udev monitor (the udev daemon's events where one
// runs, since they come after permissions and by-id links are in place; the kernel's own
// otherwise, as in containers), and the port folder's COM<n> links through inotify.
// The owner watches FileDescriptors() for reading on the user-interface thread (the window
// with socket notifiers, the command line with poll) and calls ReadChanges when one is ready.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct tDeviceChange {
  enum tKind { dc_Arrival, dc_RemoveComplete };
  tKind Kind;
  std::string PortName;  // "COM" and the port number
};

class tDeviceNotifier {
 public:
  // Maps a kernel tty name ("ttyUSB0") to its port name ("COM3"), or "" for a device that
  // is not a serial port of the list.
  using tKernelNameMap = std::function<std::string(const std::string& KernelName)>;

  // Watches PortFolder (created when missing) and, when KernelNames is set, the kernel's
  // tty devices. A source that cannot be set up is left out; the other still works.
  tDeviceNotifier(const std::string& PortFolder, tKernelNameMap KernelNames);
  ~tDeviceNotifier();
  tDeviceNotifier(const tDeviceNotifier&) = delete;
  tDeviceNotifier& operator=(const tDeviceNotifier&) = delete;

  std::vector<int> FileDescriptors() const;
  // Reads every pending notice without blocking, in the order they happened per source.
  std::vector<tDeviceChange> ReadChanges();

  bool WatchingKernelDevices() const;

 private:
  struct tImpl;
  std::unique_ptr<tImpl> Impl;
};

// Reads "COM<n>" as the port number n (all digits); -1 when the name is not of that form.
int PortNumberFromName(const std::string& Name);

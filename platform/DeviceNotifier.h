// Arrival and removal notices for serial ports, named as the port list numbers them ("COM5").
//
// Where they come from is the system's business:
//   - Windows broadcasts them to top-level windows (WM_DEVICECHANGE for a port), and sends
//     the COM-port device interface's notices to windows registered for them (some USB-serial
//     drivers are seen only that way); the notifier keeps a hidden window on a thread of its
//     own, takes both, tells each change of a port once, and calls OnPending there when a
//     notice waits.
//   - Linux: kernel tty devices through a udev monitor (the udev daemon's events where one
//     runs, since they come after permissions and by-id links are in place; the kernel's own
//     otherwise, as in containers), and the port folder's COM<n> links through inotify; the
//     owner watches FileDescriptors() for reading on the user-interface thread (the window
//     with socket notifiers, a loop with poll).
// Either way the owner then calls ReadChanges on the user-interface thread.
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

  // Descriptors to watch for reading where the system has them; empty where it has none.
  std::vector<int> FileDescriptors() const;
  // Called on a thread of the notifier (never the user-interface thread) whenever notices
  // have arrived, where the system delivers them that way; the owner hands the reading to the
  // user-interface thread. Set it once, before any notice can come.
  void SetOnPending(std::function<void()> OnPending);
  // Reads every pending notice without blocking, in the order they happened per source.
  std::vector<tDeviceChange> ReadChanges();

  // True when the system's own devices are watched (not only the port folder).
  bool WatchingKernelDevices() const;
  // Where the notices come from, for -v and the log ("udev monitor (udev), port folder"); the
  // sources that could not be set up are left out.
  std::string Sources() const;

 private:
  struct tImpl;
  std::unique_ptr<tImpl> Impl;
};

// Reads "COM<n>" as the port number n (all digits); -1 when the name is not of that form.
int PortNumberFromName(const std::string& Name);

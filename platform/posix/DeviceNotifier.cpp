#include "platform/DeviceNotifier.h"

#include <fcntl.h>
#include <libudev.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Paths.h"

struct tDeviceNotifier::tImpl {
  std::string PortFolder;
  tKernelNameMap KernelNames;
  int Inotify = -1;
  int Watch = -1;
  udev* Udev = nullptr;
  udev_monitor* Monitor = nullptr;
  bool Daemon = false;  // the udev daemon's events, not the kernel's

  void WatchPortFolder() {
    tPaths::MakeFolders(PortFolder);
    Watch = inotify_add_watch(
        Inotify, PortFolder.c_str(),
        IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF);
  }

  void StartUdev() {
    Udev = udev_new();
    if (!Udev) return;
    // The daemon's events carry finished devices; without a daemon only the kernel speaks.
    Daemon = access("/run/udev/control", F_OK) == 0;
    Monitor = udev_monitor_new_from_netlink(Udev, Daemon ? "udev" : "kernel");
    if (Monitor && udev_monitor_filter_add_match_subsystem_devtype(Monitor, "tty", nullptr) == 0 &&
        udev_monitor_enable_receiving(Monitor) == 0) {
      // Reads happen when poll says so; never let a spurious wake-up block the UI thread.
      const int Fd = udev_monitor_get_fd(Monitor);
      fcntl(Fd, F_SETFL, fcntl(Fd, F_GETFL) | O_NONBLOCK);
      return;
    }
    if (Monitor) udev_monitor_unref(Monitor);
    Monitor = nullptr;
  }

  void ReadInotify(std::vector<tDeviceChange>& Changes) {
    alignas(inotify_event) char Buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    bool Rewatch = false;
    for (;;) {
      const ssize_t Length = read(Inotify, Buffer, sizeof Buffer);
      if (Length <= 0) break;
      for (ssize_t Pos = 0; Pos < Length;) {
        const auto* Event = reinterpret_cast<const inotify_event*>(Buffer + Pos);
        Pos += static_cast<ssize_t>(sizeof(inotify_event) + Event->len);
        if (Event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) Rewatch = true;
        if (Event->len == 0) continue;
        const std::string Name(Event->name);
        if (PortNumberFromName(Name) < 0) continue;
        if (Event->mask & (IN_CREATE | IN_MOVED_TO))
          Changes.push_back({tDeviceChange::dc_Arrival, Name});
        else if (Event->mask & (IN_DELETE | IN_MOVED_FROM))
          Changes.push_back({tDeviceChange::dc_RemoveComplete, Name});
      }
    }
    // The folder itself went away (a runtime folder cleaned up): watch its successor.
    if (Rewatch) {
      if (Watch >= 0) inotify_rm_watch(Inotify, Watch);
      WatchPortFolder();
    }
  }

  void ReadUdev(std::vector<tDeviceChange>& Changes) {
    while (udev_device* Device = udev_monitor_receive_device(Monitor)) {
      const char* Action = udev_device_get_action(Device);
      const char* SysName = udev_device_get_sysname(Device);
      if (Action && SysName && KernelNames) {
        const std::string Port = KernelNames(SysName);
        if (!Port.empty()) {
          if (std::strcmp(Action, "add") == 0)
            Changes.push_back({tDeviceChange::dc_Arrival, Port});
          else if (std::strcmp(Action, "remove") == 0)
            Changes.push_back({tDeviceChange::dc_RemoveComplete, Port});
        }
      }
      udev_device_unref(Device);
    }
  }
};

tDeviceNotifier::tDeviceNotifier(const std::string& PortFolder, tKernelNameMap KernelNames)
    : Impl(std::make_unique<tImpl>()) {
  Impl->PortFolder = PortFolder;
  Impl->KernelNames = std::move(KernelNames);
  Impl->Inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (Impl->Inotify >= 0) Impl->WatchPortFolder();
  if (Impl->KernelNames) Impl->StartUdev();
}

tDeviceNotifier::~tDeviceNotifier() {
  if (Impl->Inotify >= 0) close(Impl->Inotify);
  if (Impl->Monitor) udev_monitor_unref(Impl->Monitor);
  if (Impl->Udev) udev_unref(Impl->Udev);
}

std::vector<int> tDeviceNotifier::FileDescriptors() const {
  std::vector<int> Fds;
  if (Impl->Inotify >= 0) Fds.push_back(Impl->Inotify);
  if (Impl->Monitor) Fds.push_back(udev_monitor_get_fd(Impl->Monitor));
  return Fds;
}

// The descriptors tell of every notice here.
void tDeviceNotifier::SetOnPending(std::function<void()>) {}

std::vector<tDeviceChange> tDeviceNotifier::ReadChanges() {
  std::vector<tDeviceChange> Changes;
  if (Impl->Inotify >= 0) Impl->ReadInotify(Changes);
  if (Impl->Monitor) Impl->ReadUdev(Changes);
  return Changes;
}

bool tDeviceNotifier::WatchingKernelDevices() const {
  return Impl->Monitor != nullptr;
}

std::string tDeviceNotifier::Sources() const {
  std::string Text;
  if (Impl->Monitor) Text = Impl->Daemon ? "udev monitor (udev)" : "udev monitor (kernel)";
  if (Impl->Inotify >= 0 && Impl->Watch >= 0)
    Text += std::string(Text.empty() ? "" : ", ") + "port folder";
  return Text;
}

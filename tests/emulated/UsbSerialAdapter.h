// A USB serial adapter in the emulated kernel: the USB device (vendor, product, strings),
// its interface and the ttyUSB port below it, with a /dev node. Plugging and unplugging send
// the uevents a real adapter causes.
#pragma once

#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace emulated {

struct tUsbSerialIdentity {
  std::string Vendor = "0403";
  std::string Product = "6001";
  std::string Manufacturer = "FTDI";
  std::string ProductName = "FT232R USB UART";
  std::string Serial = "A10KJ3XQ";
};

class tUsbSerialAdapter {
 public:
  // aKernelName "ttyUSB0"; aPort the USB port path ("1-2").
  explicit tUsbSerialAdapter(std::string aKernelName = "ttyUSB0", std::string aPort = "1-2",
                             tUsbSerialIdentity aIdentity = {});
  ~tUsbSerialAdapter();
  tUsbSerialAdapter(const tUsbSerialAdapter&) = delete;
  tUsbSerialAdapter& operator=(const tUsbSerialAdapter&) = delete;

  // Adds the devices, parent first (the testbed sends their "add" events). False with the
  // reason.
  bool Plug(std::string* aError);
  // "remove" for each, port first, and takes them out of the testbed.
  void Unplug();

  std::string TtyPath() const;  // sysfs path of the tty device
  // The kernel name it gets when plugged in next (the testbed cannot give a name to a new
  // node twice; a real adapter may come back under another name too).
  void Rename(const std::string& aKernelName);

  // Records the calls on the modem lines, the break and exclusive use made on the adapter's
  // node, in order ("TIOCMBIC DTR", "TIOCCBRK", "TIOCEXCL"...). The adapter accepts the line
  // calls; every other ioctl goes to the pseudo-terminal behind the node, whose master side
  // (Master()) reads the port's settings back. Call after Plug(); false with the reason.
  bool RecordLineCalls(std::string* aError);
  int Master() const { return fMaster; }
  std::vector<std::string> LineCalls() const;
  void ClearLineCalls();

 private:
  std::string ById() const;  // its /dev/serial/by-id link
  static int HandleIoctl(UMockdevIoctlBase* aBase, UMockdevIoctlClient* aClient, void* aSelf);

  std::string fKernel;
  std::string fPort;
  tUsbSerialIdentity fIdentity;
  bool fPlugged = false;
  int fMaster = -1;
  UMockdevIoctlBase* fHandler = nullptr;
  mutable std::mutex fLock;
  std::vector<std::string> fCalls;
};

}  // namespace emulated

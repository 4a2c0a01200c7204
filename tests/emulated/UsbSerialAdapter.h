// A USB serial adapter in the emulated kernel: the USB device (vendor, product, strings),
// its interface and the ttyUSB port below it, with a /dev node. Plugging and unplugging send
// the uevents a real adapter causes.
#pragma once

#include <string>

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

 private:
  std::string fKernel;
  std::string fPort;
  tUsbSerialIdentity fIdentity;
  bool fPlugged = false;
};

}  // namespace emulated

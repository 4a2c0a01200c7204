#include "emulated/UsbSerialAdapter.h"

#include "emulated/EmulatedTestbed.h"

namespace emulated {
namespace {

const std::string Hub = "/sys/devices/pci0000:00/0000:00:14.0/usb1";

}  // namespace

tUsbSerialAdapter::tUsbSerialAdapter(std::string aKernelName, std::string aPort,
                                     tUsbSerialIdentity aIdentity)
    : fKernel(std::move(aKernelName)), fPort(std::move(aPort)), fIdentity(std::move(aIdentity)) {
  Testbed();
}

tUsbSerialAdapter::~tUsbSerialAdapter() {
  Unplug();
}

std::string tUsbSerialAdapter::TtyPath() const {
  return Hub + "/" + fPort + "/" + fPort + ":1.0/" + fKernel + "/tty/" + fKernel;
}

bool tUsbSerialAdapter::Plug(std::string* aError) {
  if (fPlugged) return true;
  const std::string Usb = Hub + "/" + fPort;
  const std::string Interface = Usb + "/" + fPort + ":1.0";
  const std::string SerialPort = Interface + "/" + fKernel;
  // The tty has no "dev" attribute: with the USB serial major a node is no terminal to
  // isatty(), and the port would refuse it. Its node comes from the N: line.
  const std::string Description = "P: " + Usb.substr(4) + "\n" +
                                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                                  "A: idVendor=" +
                                  fIdentity.Vendor + "\n" + "A: idProduct=" + fIdentity.Product +
                                  "\n" + "A: manufacturer=" + fIdentity.Manufacturer + "\n" +
                                  "A: product=" + fIdentity.ProductName + "\n" +
                                  "A: serial=" + fIdentity.Serial + "\n" +
                                  "\n"
                                  "P: " +
                                  Interface.substr(4) + "\n" +
                                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=ftdi_sio\n"
                                  "A: bInterfaceClass=ff\n"
                                  "\n"
                                  "P: " +
                                  SerialPort.substr(4) + "\n" +
                                  "E: SUBSYSTEM=usb-serial\nE: DRIVER=ftdi_sio\n"
                                  "\n"
                                  "P: " +
                                  TtyPath().substr(4) + "\n" + "N: " + fKernel + "\n" +
                                  "E: SUBSYSTEM=tty\n"
                                  "E: DEVNAME=/dev/" +
                                  fKernel + "\n" + "L: device=../../../" + fKernel + "\n";
  if (!AddFromString(Description, aError)) return false;
  fPlugged = true;
  return true;
}

void tUsbSerialAdapter::Unplug() {
  if (!fPlugged) return;
  fPlugged = false;
  const std::string Usb = Hub + "/" + fPort;
  Remove(TtyPath());
  Remove(Usb + "/" + fPort + ":1.0/" + fKernel);
  Remove(Usb + "/" + fPort + ":1.0");
  Remove(Usb);
}

}  // namespace emulated

#include "emulated/UsbSerialAdapter.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
  if (fHandler) {
    umockdev_testbed_detach_ioctl(Testbed(), ("/dev/" + fKernel).c_str(), nullptr);
    g_object_unref(fHandler);
    fHandler = nullptr;
  }
  if (fMaster >= 0) close(fMaster);
  fMaster = -1;
  const std::string Usb = Hub + "/" + fPort;
  Remove(TtyPath());
  Remove(Usb + "/" + fPort + ":1.0/" + fKernel);
  Remove(Usb + "/" + fPort + ":1.0");
  Remove(Usb);
}

bool tUsbSerialAdapter::BackWithPseudoTerminal(std::string* aError) {
  fMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const char* Slave =
      fMaster >= 0 && grantpt(fMaster) == 0 && unlockpt(fMaster) == 0 ? ptsname(fMaster) : nullptr;
  const std::string Node = RealPath("/dev/" + fKernel);
  if (!Slave || unlink(Node.c_str()) != 0 || symlink(Slave, Node.c_str()) != 0) {
    if (aError) *aError = "cannot back " + Node + " with a pseudo-terminal: " + strerror(errno);
    return false;
  }
  fHandler = umockdev_ioctl_base_new();
  g_signal_connect(fHandler, "handle-ioctl", G_CALLBACK(&tUsbSerialAdapter::HandleIoctl), this);
  GError* Error = nullptr;
  if (!umockdev_testbed_attach_ioctl(Testbed(), ("/dev/" + fKernel).c_str(), fHandler, &Error)) {
    if (aError) *aError = Error ? Error->message : "cannot attach the ioctl handler";
    if (Error) g_error_free(Error);
    return false;
  }
  return true;
}

std::vector<std::string> tUsbSerialAdapter::LineCalls() const {
  std::lock_guard<std::mutex> Guard(fLock);
  return fCalls;
}

void tUsbSerialAdapter::ClearLineCalls() {
  std::lock_guard<std::mutex> Guard(fLock);
  fCalls.clear();
}

int tUsbSerialAdapter::HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* aClient, void* aSelf) {
  auto& Self = *static_cast<tUsbSerialAdapter*>(aSelf);
  const unsigned long Request = umockdev_ioctl_client_get_request(aClient);
  std::string Call;
  bool Forward = true;
  if (Request == TIOCMBIS || Request == TIOCMBIC) {
    UMockdevIoctlData* Bits = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(aClient), 0,
                                                          sizeof(int), nullptr);
    int Lines = 0;
    if (Bits) {
      std::memcpy(&Lines, Bits->data, sizeof Lines);
      g_object_unref(Bits);
    }
    Call = Request == TIOCMBIS ? "TIOCMBIS" : "TIOCMBIC";
    if (Lines & TIOCM_RTS) Call += " RTS";
    if (Lines & TIOCM_DTR) Call += " DTR";
    Forward = false;
  } else if (Request == TIOCCBRK || Request == TIOCSBRK) {
    Call = Request == TIOCCBRK ? "TIOCCBRK" : "TIOCSBRK";
    Forward = false;
  } else if (Request == TIOCEXCL || Request == TIOCNXCL) {
    Call = Request == TIOCEXCL ? "TIOCEXCL" : "TIOCNXCL";
  }
  if (!Call.empty()) {
    std::lock_guard<std::mutex> Guard(Self.fLock);
    Self.fCalls.push_back(Call);
  }
  if (!Forward) {
    umockdev_ioctl_client_complete(aClient, 0, 0);
    return TRUE;
  }
  int Errno = 0;
  const int Result = umockdev_ioctl_client_execute(aClient, &Errno, nullptr);
  umockdev_ioctl_client_complete(aClient, Result, Result < 0 ? Errno : 0);
  return TRUE;
}

}  // namespace emulated

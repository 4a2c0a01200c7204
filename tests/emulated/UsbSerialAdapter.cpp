#include "emulated/UsbSerialAdapter.h"

#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

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

std::string tUsbSerialAdapter::ById() const {
  std::string Name = "usb-" + fIdentity.Manufacturer + "_" + fIdentity.ProductName + "_" +
                     fIdentity.Serial + "-if00-port0";
  for (char& C : Name)
    if (C == ' ') C = '_';
  return "/dev/serial/by-id/" + Name;
}

void tUsbSerialAdapter::Rename(const std::string& aKernelName) {
  if (!fPlugged) fKernel = aKernelName;
}

bool tUsbSerialAdapter::Plug(std::string* aError) {
  if (fPlugged) return true;
  std::error_code Ignored;
  const std::string Usb = Hub + "/" + fPort;
  const std::string Interface = Usb + "/" + fPort + ":1.0";
  const std::string SerialPort = Interface + "/" + fKernel;
  // The tty has no "dev" attribute: with the USB serial major a node is no terminal to
  // isatty(), and the port would refuse it. Its node comes from the N: line, and the testbed
  // makes it a pseudo-terminal's slave.
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
  // The lasting name udev gives the adapter, by which it keeps its port number.
  std::filesystem::create_directories(RealPath("/dev/serial/by-id"), Ignored);
  std::filesystem::create_symlink("../../" + fKernel, RealPath(ById()), Ignored);
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
  fMaster = -1;
  const std::string Usb = Hub + "/" + fPort;
  Remove(TtyPath());
  Remove(Usb + "/" + fPort + ":1.0/" + fKernel);
  Remove(Usb + "/" + fPort + ":1.0");
  Remove(Usb);
  // The testbed leaves the node's link to its pseudo-terminal behind; a real node goes.
  unlink(RealPath("/dev/" + fKernel).c_str());
  unlink(RealPath(ById()).c_str());
}

bool tUsbSerialAdapter::RecordLineCalls(std::string* aError) {
  // The testbed backs a tty's node with a pseudo-terminal of its own; its master is the far
  // end of the adapter's wire.
  fMaster = umockdev_testbed_get_dev_fd(Testbed(), ("/dev/" + fKernel).c_str());
  if (fMaster < 0) {
    if (aError) *aError = "/dev/" + fKernel + " is not backed by a pseudo-terminal";
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

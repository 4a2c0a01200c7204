// The card's DFU boot loader as libusb meets it on a Linux machine: a USB device in the
// emulated sysfs (descriptors, bus and device numbers) with a usbfs node under
// /dev/bus/usb whose ioctls this fixture answers. The device itself is tVirtualDFUDevice,
// the same model the virtual bus serves; this class is only the usbfs wire around it.
//
// What libusb does on usbfs and how it is answered:
//   - opening the node asks GET_CAPABILITIES; claiming with automatic driver detach is
//     DISCONNECT_CLAIM; a reset is RELEASEINTERFACE, RESET and the claim again;
//   - a control transfer is SUBMITURB (answered at once by the model and queued as done)
//     then REAPURBNDELAY; a transfer that ends in a time-out is DISCARDURB and a reap;
//   - libusb waits in poll() for the node to be writable before it reaps. The node is a
//     FIFO kept full while nothing is to be reaped and emptied when a URB completes, so the
//     waiting libusb sleeps instead of spinning.
// The ioctls arrive on umockdev's worker thread; the test thread only plugs and unplugs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/bootloader/VirtualDFUDevice.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace emulated {

class tUsbfsBootLoader {
 public:
  explicit tUsbfsBootLoader(dfu::tVirtualDFUOptions aOptions = {});
  ~tUsbfsBootLoader();
  tUsbfsBootLoader(const tUsbfsBootLoader&) = delete;
  tUsbfsBootLoader& operator=(const tUsbfsBootLoader&) = delete;

  // Plugs the device in as bus 1, port 1, with the next free device number, its node
  // created with aNodeMode. False with the reason in aError.
  bool Plug(std::string* aError, mode_t aNodeMode = 0664);
  // Takes it out of sysfs and /dev (the "remove" uevent first). Does nothing when unplugged.
  void Unplug();
  bool Plugged() const { return !fSysPath.empty(); }

  // How the USB reset ioctl ends once the model has restarted: ENODEV (the device has left
  // and comes back as another one), or EIO / EPROTO (the reset handshake failed because
  // the device dropped off the bus during it). aDeviceRestarts false: the reset fails with
  // aErrno and never reaches the device, which stays in its boot loader.
  void SetResetOutcome(int aErrno, bool aDeviceRestarts = true);

  dfu::tVirtualDFUDevice& Device() { return *fDevice; }
  std::string NodePath() const { return fNode; }
  std::string SysPath() const { return fSysPath; }
  uint64_t ControlTransfers() const;
  // The model has left the bus (after a reset, a detach or a disconnect fault).
  bool Gone() const;

 private:
  static int HandleIoctl(UMockdevIoctlBase* aBase, UMockdevIoctlClient* aClient, void* aSelf);
  void Ioctl(UMockdevIoctlClient* aClient);
  void SubmitUrb(UMockdevIoctlClient* aClient);
  void ReapUrb(UMockdevIoctlClient* aClient);
  void DiscardUrb(UMockdevIoctlClient* aClient);
  void ResetDevice(UMockdevIoctlClient* aClient);
  void SetReadable(bool aUrbsDone);  // the FIFO's level: empty when URBs wait to be reaped
  std::vector<uint8_t> Descriptors();

  std::unique_ptr<dfu::tVirtualDFUDevice> fDevice;
  UMockdevIoctlBase* fHandler = nullptr;
  std::string fSysPath;
  std::string fNode;
  int fFifo = -1;  // this side's end of the node, to fill and empty it
  int fDeviceNumber = 1;

  mutable std::mutex fLock;       // the URB queues and the state below, shared with the worker
  std::deque<uint64_t> fDone;     // client addresses of completed URBs, in completion order
  std::deque<uint64_t> fPending;  // submitted, not answered (a silent device)
  bool fGone = false;
  int fResetErrno = 0;  // 0: ENODEV
  bool fResetRestarts = true;
  uint64_t fControlTransfers = 0;
};

}  // namespace emulated

// The simulated card on a real USB bus, through Linux's USB gadget framework: the card's
// serial function is a gadget the system's configfs holds (its device side a terminal such
// as /dev/ttyGS0), and its boot loader is served from this process through GadgetFS. Both
// share the machine's one device controller, as the card's microcontroller has one USB port:
// the serial gadget leaves the controller before the boot loader takes it, and gets it back
// when the boot loader leaves.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "sim/bootloader/VirtualDFUDevice.h"

// The card's serial gadget, made beforehand in configfs (a folder under
// /sys/kernel/config/usb_gadget/). Unplug and Plug detach it from the device controller and
// attach it again: the host sees a real unplug and a new enumeration.
class tSerialGadget {
 public:
  explicit tSerialGadget(std::string aFolder) : Folder(std::move(aFolder)) {}

  // Reads which controller the gadget is on. False with Error when it is on none.
  bool Attach(std::string& Error);
  bool Unplug(std::string& Error);
  bool Plug(std::string& Error);
  const std::string& Controller() const { return Udc; }

 private:
  bool WriteUdc(const std::string& Name, std::string& Error);

  std::string Folder;
  std::string Udc;
  bool Plugged = true;
};

// The boot loader's DFU device served on the device controller through GadgetFS (mounted at
// a folder while the controller was free; the one file there is the controller's ep0). The kernel
// answers the device and configuration descriptors from what Start writes; every other request on
// ep0 reaches the device model. A USB reset after the host configured the device reaches the model
// as a reset; when the model leaves the bus, ep0 is closed, which takes the device off the bus.
//
// What GadgetFS cannot carry: a control write's data stage is acknowledged by the kernel
// before the model sees it, so a block the model refuses is reported only by the next
// GETSTATUS, never as a stall; and control writes of more than 256 bytes stall in the
// kernel, so the device announces a transfer size of 256.
class tGadgetBootLoader {
 public:
  tGadgetBootLoader(std::string aGadgetFS, dfu::tVirtualDFUOptions aOptions);
  ~tGadgetBootLoader();
  tGadgetBootLoader(const tGadgetBootLoader&) = delete;
  tGadgetBootLoader& operator=(const tGadgetBootLoader&) = delete;

  static constexpr uint16_t TransferSize = 256;

  bool Start(std::string* aError);
  void Stop();
  void SetFaults(const dfu::tVirtualDFUFaults& aFaults) { Device.SetFaults(aFaults); }
  std::string Where() const { return Ep0Path; }
  // Set by Start when the device runs but may not keep up with the host.
  std::string Warning;

  // Runs on the serving thread once the device has left the bus.
  std::function<void(const dfu::tVirtualDFURestart&)> OnRestart;

 private:
  void Serve();
  // One control request; false when the device has left the bus.
  bool Setup(const void* aRequest);
  bool Leave();
  std::string FindEp0(std::string& Error) const;
  ssize_t ReadWaiting(uint8_t* aData, std::size_t aLength);
  static constexpr int WakeSignal = SIGUSR2;

  std::string Folder;
  std::string Ep0Path;
  dfu::tVirtualDFUDevice Device;
  int Ep0 = -1;
  int StopEvent = -1;
  std::thread Worker;
  bool Configured = false;
  std::atomic<bool> StopRequested{false};
};

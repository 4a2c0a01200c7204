// Real USB devices through libusb-1.0: the bus lists every device with its descriptors
// (read from the system's cache, no device is opened for that) and opens one for control
// transfers and resets.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/UsbBus.h"

struct libusb_context;
struct libusb_device;

namespace usb {

class tLibusbBus : public tUsbBus {
 public:
  // Starts a libusb context of its own. Check Ready(); Problem() says why not.
  tLibusbBus();
  ~tLibusbBus() override;
  tLibusbBus(const tLibusbBus&) = delete;
  tLibusbBus& operator=(const tLibusbBus&) = delete;

  bool Ready() const { return fContext != nullptr; }
  const std::string& Problem() const { return fProblem; }

  std::vector<tUsbDevice> List() override;
  std::unique_ptr<tUsbTransport> Open(size_t aIndex, int* aError) override;
  std::string AccessHint() const override;

 private:
  void ReleaseListed();
  libusb_context* fContext = nullptr;
  std::string fProblem;
  std::vector<libusb_device*> fListed;  // one reference each, released at the next List()
};

}  // namespace usb

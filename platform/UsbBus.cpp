#include "platform/UsbBus.h"

namespace usb {

const char* UsbResultText(int aResult) {
  switch (aResult) {
    case ur_Stall:
      return "request stalled";
    case ur_Timeout:
      return "transfer timed out";
    case ur_NoDevice:
      return "device has gone";
    case ur_Access:
      return "permission denied";
    case ur_IO:
      return "transfer failed";
    default:
      return aResult >= 0 ? "ok" : "transfer failed";
  }
}

}  // namespace usb

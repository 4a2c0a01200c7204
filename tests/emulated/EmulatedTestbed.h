// The emulated kernel every test of this folder runs in: one umockdev testbed for the whole
// process (its sysfs, /dev nodes and uevents), created before anything looks at devices.
// The test programs run under umockdev's preload library (CTest starts them through
// umockdev-wrapper); without it the testbed is not seen by libudev, libusb or open().
#pragma once

#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace emulated {

// The process's testbed, created on first use. Create it before the DFU library starts
// libusb (its hot-plug monitor must see the testbed's uevents).
UMockdevTestbed* Testbed();
// True when the preload library diverts /sys and /dev into the testbed.
bool Active();
// The real path of a testbed file ("/dev/bus/usb/001/002" -> "<root>/dev/bus/usb/001/002").
std::string RealPath(const std::string& aPath);
// Adds devices described in umockdev's text format; false with the reason in aError.
bool AddFromString(const std::string& aDescription, std::string* aError);
// Sends a uevent ("add", "remove", "change") for the sysfs path.
void Uevent(const std::string& aSysPath, const char* aAction);
// Sends "remove" and takes the device out of sysfs and /dev.
void Remove(const std::string& aSysPath);

}  // namespace emulated

#include "platform/UsbLibusb.h"

#include <libusb.h>

#include <string>

#include "platform/UsbAccess.h"

namespace usb {
namespace {

int FromLibusb(int aResult) {
  if (aResult >= 0) return aResult;
  switch (aResult) {
    case LIBUSB_ERROR_PIPE:
      return ur_Stall;
    case LIBUSB_ERROR_TIMEOUT:
      return ur_Timeout;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      return ur_NoDevice;
    case LIBUSB_ERROR_ACCESS:
    // Windows: the device has no driver libusb can use (WinUSB not installed for it).
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return ur_Access;
    default:
      return ur_IO;
  }
}

std::string LocationOf(libusb_device* aDevice) {
  uint8_t Ports[8];
  const int N = libusb_get_port_numbers(aDevice, Ports, sizeof Ports);
  std::string Text = "usb " + std::to_string(libusb_get_bus_number(aDevice));
  for (int i = 0; i < N; ++i)
    Text += (i ? "." : "-") + std::to_string(Ports[i]);
  // The node libusb opens, which is what the operator needs access to.
  return Text + UsbDeviceNode(libusb_get_bus_number(aDevice), libusb_get_device_address(aDevice));
}

class tLibusbTransport : public tUsbTransport {
 public:
  explicit tLibusbTransport(libusb_device_handle* aHandle) : fHandle(aHandle) {
    libusb_set_auto_detach_kernel_driver(fHandle, 1);
  }
  ~tLibusbTransport() override {
    if (fClaimed >= 0) libusb_release_interface(fHandle, fClaimed);
    libusb_close(fHandle);
  }

  int ControlIn(uint8_t aRequestType, uint8_t aRequest, uint16_t aValue, uint16_t aIndex,
                uint8_t* aData, uint16_t aLength, unsigned aTimeoutMs) override {
    return FromLibusb(libusb_control_transfer(fHandle, aRequestType | LIBUSB_ENDPOINT_IN, aRequest,
                                              aValue, aIndex, aData, aLength, aTimeoutMs));
  }

  int ControlOut(uint8_t aRequestType, uint8_t aRequest, uint16_t aValue, uint16_t aIndex,
                 const uint8_t* aData, uint16_t aLength, unsigned aTimeoutMs) override {
    // libusb takes a non-const buffer for both directions; it does not write to an OUT one.
    return FromLibusb(libusb_control_transfer(fHandle, aRequestType & ~LIBUSB_ENDPOINT_IN, aRequest,
                                              aValue, aIndex, const_cast<uint8_t*>(aData), aLength,
                                              aTimeoutMs));
  }

  int ClaimInterface(uint8_t aInterface, uint8_t aAlt) override {
    if (fClaimed == aInterface) return 0;
    if (int R = libusb_claim_interface(fHandle, aInterface)) return FromLibusb(R);
    fClaimed = aInterface;
    if (aAlt != 0) return FromLibusb(libusb_set_interface_alt_setting(fHandle, aInterface, aAlt));
    return 0;
  }

  int Reset() override {
    // A device that leaves DFU mode re-enumerates as another device: "not found" is success.
    // Any other failure of the reset (an I/O or protocol error) comes back as ur_IO; the
    // engine then asks the device whether it has left.
    const int R = libusb_reset_device(fHandle);
    return (R == LIBUSB_ERROR_NOT_FOUND || R == LIBUSB_ERROR_NO_DEVICE) ? 0 : FromLibusb(R);
  }

 private:
  libusb_device_handle* fHandle;
  int fClaimed = -1;
};

}  // namespace

tLibusbBus::tLibusbBus() {
  const int R = libusb_init(&fContext);
  if (R != 0) {
    fContext = nullptr;
    fProblem = std::string("libusb: ") + libusb_strerror(static_cast<libusb_error>(R));
  }
}

tLibusbBus::~tLibusbBus() {
  ReleaseListed();
  if (fContext) libusb_exit(fContext);
}

void tLibusbBus::ReleaseListed() {
  for (auto* Device : fListed)
    libusb_unref_device(Device);
  fListed.clear();
}

std::vector<tUsbDevice> tLibusbBus::List() {
  ReleaseListed();
  std::vector<tUsbDevice> Devices;
  if (!fContext) return Devices;
  libusb_device** All = nullptr;
  const ssize_t Count = libusb_get_device_list(fContext, &All);
  for (ssize_t i = 0; i < Count; ++i) {
    libusb_device_descriptor D;
    if (libusb_get_device_descriptor(All[i], &D) != 0) continue;
    tUsbDevice Info;
    Info.VendorID = D.idVendor;
    Info.ProductID = D.idProduct;
    Info.Release = D.bcdDevice;
    Info.ManufacturerString = D.iManufacturer;
    Info.ProductString = D.iProduct;
    Info.SerialString = D.iSerialNumber;
    Info.MaxPacket0 = D.bMaxPacketSize0;
    Info.Location = LocationOf(All[i]);
    libusb_config_descriptor* Config = nullptr;
    if (libusb_get_active_config_descriptor(All[i], &Config) != 0 &&
        libusb_get_config_descriptor(All[i], 0, &Config) != 0)
      Config = nullptr;
    if (Config) {
      for (int n = 0; n < Config->bNumInterfaces; ++n) {
        const libusb_interface& Itf = Config->interface[n];
        for (int a = 0; a < Itf.num_altsetting; ++a) {
          const libusb_interface_descriptor& Alt = Itf.altsetting[a];
          tUsbInterface I;
          I.Number = Alt.bInterfaceNumber;
          I.Alt = Alt.bAlternateSetting;
          I.Class = Alt.bInterfaceClass;
          I.SubClass = Alt.bInterfaceSubClass;
          I.Protocol = Alt.bInterfaceProtocol;
          I.StringIndex = Alt.iInterface;
          if (Alt.extra_length > 0) I.Extra.assign(Alt.extra, Alt.extra + Alt.extra_length);
          // Some devices put the functional descriptor after the configuration instead.
          if (I.Extra.empty() && Config->extra_length > 0)
            I.Extra.assign(Config->extra, Config->extra + Config->extra_length);
          Info.Interfaces.push_back(std::move(I));
        }
      }
      libusb_free_config_descriptor(Config);
    }
    fListed.push_back(libusb_ref_device(All[i]));
    Devices.push_back(std::move(Info));
  }
  if (Count >= 0) libusb_free_device_list(All, 1);
  return Devices;
}

std::string tLibusbBus::AccessHint() const {
  return UsbAccessHint();
}

std::unique_ptr<tUsbTransport> tLibusbBus::Open(size_t aIndex, int* aError) {
  if (aIndex >= fListed.size()) {
    if (aError) *aError = ur_NoDevice;
    return nullptr;
  }
  libusb_device_handle* Handle = nullptr;
  const int R = libusb_open(fListed[aIndex], &Handle);
  if (R != 0) {
    if (aError) *aError = FromLibusb(R);
    return nullptr;
  }
  if (aError) *aError = 0;
  return std::make_unique<tLibusbTransport>(Handle);
}

}  // namespace usb

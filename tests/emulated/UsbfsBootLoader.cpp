#include "emulated/UsbfsBootLoader.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "emulated/EmulatedTestbed.h"

namespace emulated {
namespace {

constexpr size_t SetupSize = 8;
constexpr uint32_t Capabilities = USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

std::string Hex(const std::vector<uint8_t>& aBytes) {
  std::string Text;
  char Digits[3];
  for (uint8_t B : aBytes) {
    std::snprintf(Digits, sizeof Digits, "%02x", B);
    Text += Digits;
  }
  return Text;
}

// The pointer-sized argument resolved as aSize bytes of the caller's memory; null on failure.
UMockdevIoctlData* Resolve(UMockdevIoctlData* aData, size_t aOffset, size_t aSize) {
  return umockdev_ioctl_data_resolve(aData, aOffset, aSize, nullptr);
}

}  // namespace

tUsbfsBootLoader::tUsbfsBootLoader(dfu::tVirtualDFUOptions aOptions)
    : fDevice(std::make_unique<dfu::tVirtualDFUDevice>(std::move(aOptions))) {
  Testbed();
}

tUsbfsBootLoader::~tUsbfsBootLoader() {
  Unplug();
}

std::vector<uint8_t> tUsbfsBootLoader::Descriptors() {
  // What the kernel shows in sysfs: the device descriptor and the whole configuration.
  auto Read = [this](uint8_t aType, uint16_t aLength) {
    dfu::tVirtualRequest Request;
    Request.RequestType = dfu::ReqTypeStandardIn;
    Request.Request = dfu::StdGetDescriptor;
    Request.Value = static_cast<uint16_t>(aType << 8);
    Request.Length = aLength;
    auto Packet = fDevice->Handle(Request).Packet;
    if (Packet.size() < dfu::VirtualReplyHeader || Packet[0] != dfu::vr_Done) return Packet = {};
    Packet.erase(Packet.begin(), Packet.begin() + dfu::VirtualReplyHeader);
    return Packet;
  };
  auto All = Read(dfu::DescDevice, 18);
  const auto Head = Read(dfu::DescConfiguration, 9);
  if (Head.size() < 4) return All;
  const auto Config = Read(dfu::DescConfiguration, static_cast<uint16_t>(Head[2] | Head[3] << 8));
  All.insert(All.end(), Config.begin(), Config.end());
  return All;
}

bool tUsbfsBootLoader::Plug(std::string* aError, mode_t aNodeMode) {
  if (Plugged()) return true;
  const auto Desc = Descriptors();
  if (Desc.size() < 18) {
    if (aError) *aError = "the device model gives no descriptors";
    return false;
  }
  char Number[12];
  std::snprintf(Number, sizeof Number, "%03d", ++fDeviceNumber);
  const std::string Node = std::string("/dev/bus/usb/001/") + Number;
  const std::string SysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
  char Ids[32];
  std::snprintf(Ids, sizeof Ids, "%x/%x/%x", Desc[8] | Desc[9] << 8, Desc[10] | Desc[11] << 8,
                Desc[12] | Desc[13] << 8);
  const std::string Description =
      "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n"
      "N: bus/usb/001/" +
      std::string(Number) +
      "\n"
      "E: DEVNAME=" +
      Node +
      "\n"
      "E: DEVTYPE=usb_device\n"
      "E: DRIVER=usb\n"
      "E: SUBSYSTEM=usb\n"
      "E: BUSNUM=001\n"
      "E: DEVNUM=" +
      Number +
      "\n"
      "E: PRODUCT=" +
      Ids +
      "\n"
      "A: busnum=1\n"
      "A: devnum=" +
      std::to_string(fDeviceNumber) +
      "\n"
      "A: bConfigurationValue=1\n"
      "A: speed=12\n"
      "H: descriptors=" +
      Hex(Desc) + "\n";
  {
    std::lock_guard<std::mutex> Guard(fLock);
    fDone.clear();
    fPending.clear();
    fGone = false;
  }
  if (!AddFromString(Description, aError)) return false;
  fSysPath = SysPath;
  fNode = Node;
  // The node becomes a FIFO that this side keeps full until a URB is done.
  const std::string Real = RealPath(Node);
  unlink(Real.c_str());
  if (mkfifo(Real.c_str(), 0600) != 0 ||
      (fFifo = open(Real.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0 ||
      chmod(Real.c_str(), aNodeMode) != 0) {
    if (aError) *aError = "cannot make the usbfs node " + Real + ": " + std::strerror(errno);
    Unplug();
    return false;
  }
  fcntl(fFifo, F_SETPIPE_SZ, 4096);
  SetReadable(false);
  fHandler = umockdev_ioctl_base_new();
  g_signal_connect(fHandler, "handle-ioctl", G_CALLBACK(&tUsbfsBootLoader::HandleIoctl), this);
  GError* Error = nullptr;
  if (!umockdev_testbed_attach_ioctl(Testbed(), Node.c_str(), fHandler, &Error)) {
    if (aError) *aError = Error ? Error->message : "cannot attach the ioctl handler";
    if (Error) g_error_free(Error);
    Unplug();
    return false;
  }
  return true;
}

void tUsbfsBootLoader::Unplug() {
  if (!Plugged()) return;
  {
    std::lock_guard<std::mutex> Guard(fLock);
    fGone = true;
  }
  Remove(fSysPath);
  if (fHandler) {
    umockdev_testbed_detach_ioctl(Testbed(), fNode.c_str(), nullptr);
    g_object_unref(fHandler);
    fHandler = nullptr;
  }
  if (fFifo >= 0) close(fFifo);
  fFifo = -1;
  unlink(RealPath(fNode).c_str());
  fSysPath.clear();
  fNode.clear();
}

void tUsbfsBootLoader::SetResetOutcome(int aErrno, bool aDeviceRestarts) {
  std::lock_guard<std::mutex> Guard(fLock);
  fResetErrno = aErrno;
  fResetRestarts = aDeviceRestarts;
}

uint64_t tUsbfsBootLoader::ControlTransfers() const {
  std::lock_guard<std::mutex> Guard(fLock);
  return fControlTransfers;
}

bool tUsbfsBootLoader::Gone() const {
  std::lock_guard<std::mutex> Guard(fLock);
  return fGone;
}

void tUsbfsBootLoader::SetReadable(bool aUrbsDone) {
  char Block[4096];
  if (aUrbsDone) {
    while (read(fFifo, Block, sizeof Block) > 0) {
    }
  } else {
    std::memset(Block, 0, sizeof Block);
    while (write(fFifo, Block, sizeof Block) > 0) {
    }
  }
}

int tUsbfsBootLoader::HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* aClient, void* aSelf) {
  static_cast<tUsbfsBootLoader*>(aSelf)->Ioctl(aClient);
  return TRUE;
}

void tUsbfsBootLoader::Ioctl(UMockdevIoctlClient* aClient) {
  const unsigned long Request = umockdev_ioctl_client_get_request(aClient);
  switch (Request) {
    case USBDEVFS_SUBMITURB:
      return SubmitUrb(aClient);
    case USBDEVFS_REAPURBNDELAY:
      return ReapUrb(aClient);
    case USBDEVFS_DISCARDURB:
      return DiscardUrb(aClient);
    case USBDEVFS_RESET:
      return ResetDevice(aClient);
    default:
      break;
  }
  if (Gone()) return umockdev_ioctl_client_complete(aClient, -1, ENODEV);
  switch (Request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* Caps = Resolve(umockdev_ioctl_client_get_arg(aClient), 0, 4);
      if (!Caps) return umockdev_ioctl_client_complete(aClient, -1, EFAULT);
      std::memcpy(Caps->data, &Capabilities, sizeof Capabilities);
      umockdev_ioctl_client_complete(aClient, 0, 0);
      g_object_unref(Caps);
      return;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_SETINTERFACE:
      return umockdev_ioctl_client_complete(aClient, 0, 0);
    default:
      return umockdev_ioctl_client_complete(aClient, -1, ENOTTY);
  }
}

void tUsbfsBootLoader::SubmitUrb(UMockdevIoctlClient* aClient) {
  UMockdevIoctlData* UrbData =
      Resolve(umockdev_ioctl_client_get_arg(aClient), 0, sizeof(usbdevfs_urb));
  if (!UrbData) return umockdev_ioctl_client_complete(aClient, -1, EFAULT);
  auto* Urb = reinterpret_cast<usbdevfs_urb*>(UrbData->data);
  const size_t Length = Urb->buffer_length > 0 ? static_cast<size_t>(Urb->buffer_length) : 0;
  UMockdevIoctlData* Buffer = nullptr;
  auto Finish = [&](long aResult, int aErrno) {
    umockdev_ioctl_client_complete(aClient, aResult, aErrno);
    if (Buffer) g_object_unref(Buffer);
    g_object_unref(UrbData);
  };
  if (Gone()) return Finish(-1, ENODEV);
  if (Urb->type != USBDEVFS_URB_TYPE_CONTROL || Length < SetupSize) return Finish(-1, EINVAL);
  Buffer = Resolve(UrbData, offsetof(usbdevfs_urb, buffer), Length);
  if (!Buffer) return Finish(-1, EFAULT);
  uint8_t* Bytes = Buffer->data;
  dfu::tVirtualRequest Request;
  Request.RequestType = Bytes[0];
  Request.Request = Bytes[1];
  Request.Value = static_cast<uint16_t>(Bytes[2] | Bytes[3] << 8);
  Request.Index = static_cast<uint16_t>(Bytes[4] | Bytes[5] << 8);
  Request.Length = static_cast<uint16_t>(Bytes[6] | Bytes[7] << 8);
  if (SetupSize + Request.Length > Length) return Finish(-1, EINVAL);
  if (!Request.DeviceToHost())
    Request.Data.assign(Bytes + SetupSize, Bytes + SetupSize + Request.Length);
  const auto Answer = fDevice->Handle(Request);

  std::lock_guard<std::mutex> Guard(fLock);
  ++fControlTransfers;
  const uint64_t Address = UrbData->client_addr;
  Urb->actual_length = 0;
  if (!Answer.Reply && !Answer.Vanish) {
    // No answer: the URB stays outstanding until libusb gives up and discards it.
    fPending.push_back(Address);
    return Finish(0, 0);
  }
  if (!Answer.Reply) {
    // The device left the bus in the middle: the kernel ends the URB as shut down.
    Urb->status = -ESHUTDOWN;
    fGone = true;
  } else if (Answer.Packet.size() < dfu::VirtualReplyHeader || Answer.Packet[0] != dfu::vr_Done) {
    Urb->status = -EPIPE;
  } else {
    const size_t Data = Answer.Packet.size() - dfu::VirtualReplyHeader;
    if (Request.DeviceToHost())
      std::memcpy(Bytes + SetupSize, Answer.Packet.data() + dfu::VirtualReplyHeader, Data);
    Urb->status = 0;
    Urb->actual_length = static_cast<int>(Request.DeviceToHost() ? Data : Request.Length);
    fGone = Answer.Vanish;  // answered, then restarted (a detach)
  }
  fDone.push_back(Address);
  SetReadable(true);
  Finish(0, 0);
}

void tUsbfsBootLoader::ReapUrb(UMockdevIoctlClient* aClient) {
  std::lock_guard<std::mutex> Guard(fLock);
  if (fDone.empty()) {
    SetReadable(false);
    return umockdev_ioctl_client_complete(aClient, -1, fGone ? ENODEV : EAGAIN);
  }
  UMockdevIoctlData* Target = Resolve(umockdev_ioctl_client_get_arg(aClient), 0, sizeof(void*));
  if (!Target) return umockdev_ioctl_client_complete(aClient, -1, EFAULT);
  const auto Address = static_cast<uintptr_t>(fDone.front());
  fDone.pop_front();
  std::memcpy(Target->data, &Address, sizeof Address);
  umockdev_ioctl_client_complete(aClient, 0, 0);
  g_object_unref(Target);
}

void tUsbfsBootLoader::DiscardUrb(UMockdevIoctlClient* aClient) {
  std::lock_guard<std::mutex> Guard(fLock);
  UMockdevIoctlData* UrbData =
      Resolve(umockdev_ioctl_client_get_arg(aClient), 0, sizeof(usbdevfs_urb));
  if (!UrbData) return umockdev_ioctl_client_complete(aClient, -1, EFAULT);
  bool Found = false;
  for (auto It = fPending.begin(); It != fPending.end(); ++It)
    if (*It == UrbData->client_addr) {
      fPending.erase(It);
      Found = true;
      break;
    }
  if (Found) {
    auto* Urb = reinterpret_cast<usbdevfs_urb*>(UrbData->data);
    Urb->status = -ENOENT;
    Urb->actual_length = 0;
    fDone.push_back(UrbData->client_addr);
    SetReadable(true);
  }
  umockdev_ioctl_client_complete(aClient, Found ? 0 : -1, Found ? 0 : EINVAL);
  g_object_unref(UrbData);
}

void tUsbfsBootLoader::ResetDevice(UMockdevIoctlClient* aClient) {
  int Errno = 0;
  bool Restarts = true;
  {
    std::lock_guard<std::mutex> Guard(fLock);
    if (fGone) return umockdev_ioctl_client_complete(aClient, -1, ENODEV);
    Errno = fResetErrno ? fResetErrno : ENODEV;
    Restarts = fResetRestarts;
  }
  if (!Restarts) return umockdev_ioctl_client_complete(aClient, -1, Errno);
  dfu::tVirtualRequest Request;
  Request.Op = dfu::vo_Reset;
  const bool Left = fDevice->Handle(Request).Vanish;
  std::lock_guard<std::mutex> Guard(fLock);
  fGone = Left;
  // A device that stays (no valid firmware) is reset in place and keeps its address.
  umockdev_ioctl_client_complete(aClient, Left ? -1 : 0, Left ? Errno : 0);
}

}  // namespace emulated

#include "lib/lmdfu/LMDFU.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "lib/lmdfu/DFUEngine.h"
#include "lib/lmdfu/DFUSuffix.h"
#include "lib/lmdfu/VirtualUsb.h"
#include "platform/UsbLibusb.h"
#include "support/MadeUpImage.h"

using namespace dfu;
using usb::tLibusbBus;

struct tLMDFUDevice {
  std::unique_ptr<tUsbTransport> Transport;  // null when the device could not be opened
  int OpenError = 0;
  tUsbDevice Usb;
  tUsbInterface Interface;
  tDFUFunctional Functional;
  bool Claimed = false;
  bool Virtual = false;     // on the virtual bus, where the simulated card lives
  std::string OpenProblem;  // why Transport is null, for the operator
  std::string LastError;
  uint32_t BlocksSent = 0;  // by the last download
};

namespace {

std::mutex TraceLock;
std::function<void(const std::string&)> Trace;

std::string HexBytes(const uint8_t* aData, int aCount) {
  static const char* const Digits = "0123456789abcdef";
  std::string Text;
  for (int i = 0; i < aCount && i < 16; ++i) {
    Text += ' ';
    Text += Digits[aData[i] >> 4];
    Text += Digits[aData[i] & 15];
  }
  if (aCount > 16) Text += " ...";
  return Text;
}

// Passes every request to the device and tells the trace what went and what came back.
class tTracingTransport : public tUsbTransport {
 public:
  tTracingTransport(std::unique_ptr<tUsbTransport> aInner,
                    std::function<void(const std::string&)> aTrace)
      : fInner(std::move(aInner)), fTrace(std::move(aTrace)) {}
  int ControlIn(uint8_t aRequestType, uint8_t aRequest, uint16_t aValue, uint16_t aIndex,
                uint8_t* aData, uint16_t aLength, unsigned aTimeoutMs) override {
    const int R =
        fInner->ControlIn(aRequestType, aRequest, aValue, aIndex, aData, aLength, aTimeoutMs);
    Show("in ", aRequestType, aRequest, aValue, aIndex, aLength, R,
         R > 0 ? HexBytes(aData, R) : std::string());
    return R;
  }
  int ControlOut(uint8_t aRequestType, uint8_t aRequest, uint16_t aValue, uint16_t aIndex,
                 const uint8_t* aData, uint16_t aLength, unsigned aTimeoutMs) override {
    const int R =
        fInner->ControlOut(aRequestType, aRequest, aValue, aIndex, aData, aLength, aTimeoutMs);
    Show("out", aRequestType, aRequest, aValue, aIndex, aLength, R, "");
    return R;
  }
  int ClaimInterface(uint8_t aInterface, uint8_t aAlt) override {
    const int R = fInner->ClaimInterface(aInterface, aAlt);
    fTrace("claim interface " + std::to_string(aInterface) + " alt " + std::to_string(aAlt) + ": " +
           (R < 0 ? UsbResultText(R) : "ok"));
    return R;
  }
  int Reset() override {
    const int R = fInner->Reset();
    fTrace(std::string("USB reset: ") + (R < 0 ? UsbResultText(R) : "ok"));
    return R;
  }

 private:
  void Show(const char* aWay, uint8_t aRequestType, uint8_t aRequest, uint16_t aValue,
            uint16_t aIndex, uint16_t aLength, int aResult, const std::string& aData) {
    // DFU class requests by name, others by number.
    static const char* const Names[] = {"DETACH",    "DNLOAD",   "UPLOAD", "GETSTATUS",
                                        "CLRSTATUS", "GETSTATE", "ABORT"};
    const bool Class = (aRequestType & 0x60) == 0x20;
    const std::string Name =
        Class && aRequest < 7 ? Names[aRequest] : "request " + std::to_string(aRequest);
    fTrace("DFU " + std::string(aWay) + " " + Name + " value " + std::to_string(aValue) +
           " index " + std::to_string(aIndex) + " length " + std::to_string(aLength) + ": " +
           (aResult < 0 ? UsbResultText(aResult) : std::to_string(aResult) + " bytes") + aData);
  }

  std::unique_ptr<tUsbTransport> fInner;
  std::function<void(const std::string&)> fTrace;
};

std::mutex Lock;  // guards the library's state below, not the devices' transfers
bool Initialised = false;
std::unique_ptr<tLibusbBus> RealBus;
std::set<const tLMDFUDevice*> LiveHandles;
constexpr unsigned TransferTimeoutMs = 5000;

bool Known(const tLMDFUDevice* aHandle) {
  std::lock_guard<std::mutex> Guard(Lock);
  return aHandle && LiveHandles.count(aHandle);
}

tLMDFUErr FromUsb(int aResult) {
  switch (aResult) {
    case ur_Stall:
      return lm_Stall;
    case ur_Timeout:
      return lm_Timeout;
    case ur_NoDevice:
      return lm_DeviceGone;
    case ur_Access:
      return lm_Access;
    default:
      return lm_Transfer;
  }
}

tLMDFUErr FromVerdict(tSuffixVerdict aVerdict) {
  switch (aVerdict) {
    case sv_Ok:
      return lm_Ok;
    case sv_TooShort:
      return lm_ImageTooShort;
    case sv_NoSignature:
      return lm_NoSuffix;
    case sv_BadLength:
      return lm_SuffixLength;
    case sv_BadVersion:
      return lm_SuffixVersion;
    case sv_BadCRC:
      return lm_SuffixCRC;
    case sv_WrongVendor:
      return lm_WrongVendor;
    case sv_WrongProduct:
      return lm_WrongProduct;
  }
  return lm_NoSuffix;
}

// The index-th DFU-capable device: real ones first, then virtual ones. Opens it.
tLMDFUErr OpenNth(int32_t aIndex, std::unique_ptr<tLMDFUDevice>& aDevice) {
  std::vector<tUsbBus*> Buses;
  if (RealBus && RealBus->Ready()) Buses.push_back(RealBus.get());
  tVirtualUsbBus VirtualBus;
  Buses.push_back(&VirtualBus);
  int32_t Left = aIndex;
  for (tUsbBus* Bus : Buses) {
    const auto Devices = Bus->List();
    for (size_t i = 0; i < Devices.size(); ++i) {
      tUsbInterface Interface;
      tDFUFunctional Functional;
      if (!FindDFUInterface(Devices[i], Interface, Functional)) continue;
      if (Left-- > 0) continue;
      auto Device = std::make_unique<tLMDFUDevice>();
      Device->Usb = Devices[i];
      Device->Virtual = Bus == &VirtualBus;
      Device->Interface = Interface;
      Device->Functional = Functional;
      Device->Transport = Bus->Open(i, &Device->OpenError);
      {
        std::lock_guard<std::mutex> Guard(TraceLock);
        if (Trace && Device->Transport)
          Device->Transport =
              std::make_unique<tTracingTransport>(std::move(Device->Transport), Trace);
      }
      if (!Device->Transport) {
        // A device this user may not open stays listed so later ones keep their index.
        if (Device->OpenError != ur_Access) return FromUsb(Device->OpenError);
        Device->OpenProblem = "no permission to open the device at " + Devices[i].Location;
        if (const std::string Hint = Bus->AccessHint(); !Hint.empty())
          Device->OpenProblem += "; " + Hint;
        Device->LastError = Device->OpenProblem;
      }
      aDevice = std::move(Device);
      return lm_Ok;
    }
  }
  return lm_NoDevice;
}

void FillInfo(const tLMDFUDevice& aDevice, tLMDFUDeviceInfo& aInfo) {
  std::memset(&aInfo, 0, sizeof aInfo);
  aInfo.usVID = aDevice.Usb.VendorID;
  aInfo.usPID = aDevice.Usb.ProductID;
  aInfo.usDevice = aDevice.Usb.Release;
  aInfo.usDetachTimeOut = aDevice.Functional.DetachTimeOut;
  aInfo.usTransferSize = aDevice.Functional.TransferSize;
  aInfo.ucDFUAttributes = aDevice.Functional.Attributes;
  aInfo.ucManufacturerString = aDevice.Usb.ManufacturerString;
  aInfo.ucProductString = aDevice.Usb.ProductString;
  aInfo.ucSerialString = aDevice.Usb.SerialString;
  aInfo.ucDFUInterfaceString = aDevice.Interface.StringIndex;
  aInfo.bDFUMode = aDevice.Interface.Protocol == DFUProtocolDFUMode ? 1 : 0;
}

// The build's made-up images reach the simulated card's boot loader on the virtual bus only,
// never a real device; true (with the reason kept) when this one is refused.
bool RefusedAsMadeUp(tLMDFUDevice& aDevice, const uint8_t* aImage, uint32_t aImageLen) {
  if (aDevice.Virtual || !IsMadeUpImage(std::span<const uint8_t>(aImage, aImageLen))) return false;
  aDevice.LastError = MadeUpImageRefusal(
      "the image", "the boot loader at " + aDevice.Usb.Location + " is a real USB device");
  return true;
}

// Readies the device for class requests: it must have been opened, and its DFU interface is
// claimed once.
tLMDFUErr Usable(tLMDFUDevice& aDevice) {
  if (!aDevice.Transport) {
    aDevice.LastError = aDevice.OpenProblem;
    return FromUsb(aDevice.OpenError);
  }
  if (!aDevice.Claimed) {
    const int R =
        aDevice.Transport->ClaimInterface(aDevice.Interface.Number, aDevice.Interface.Alt);
    if (R < 0) {
      aDevice.LastError = std::string("claiming the DFU interface: ") + UsbResultText(R);
      return FromUsb(R);
    }
    aDevice.Claimed = true;
  }
  return lm_Ok;
}

// Brackets one download for the receiver and posts its notifications.
class tNotifier {
 public:
  explicit tNotifier(tLMDFUReceiver* aReceiver) : fReceiver(aReceiver) {
    if (fReceiver) fReceiver->DFUCallStarted();
  }
  ~tNotifier() {
    if (fReceiver) fReceiver->DFUCallEnded();
  }
  void Post(uint32_t aMessage, uint32_t aParam = 0) {
    if (fReceiver) fReceiver->PostDFUMessage(aMessage, aParam);
  }
  tLMDFUErr Finish(tLMDFUErr aResult) {
    Post(aResult == lm_Ok ? WM_DFU_COMPLETE : WM_DFU_ERROR);
    return aResult;
  }

 private:
  tLMDFUReceiver* fReceiver;
};

tLMDFUErr RunDownload(tLMDFUDevice& aDevice, std::span<const uint8_t> aImage, bool aVerify,
                      bool aIgnoreIDs, tNotifier& aNotify) {
  tSuffix Suffix;
  const auto Verdict =
      CheckImage(aImage, aDevice.Usb.VendorID, aDevice.Usb.ProductID, aIgnoreIDs, &Suffix);
  if (Verdict != sv_Ok) {
    aDevice.LastError = SuffixVerdictText(Verdict, Suffix);
    return FromVerdict(Verdict);
  }
  if (aDevice.Interface.Protocol != DFUProtocolDFUMode) {
    aDevice.LastError = "device runs its firmware, not in DFU mode";
    return lm_NotDFUMode;
  }
  const uint8_t Attributes = aDevice.Functional.Attributes;
  if (!(Attributes & AttrCanDnload)) {
    aDevice.LastError = "device does not accept downloads";
    return lm_NotSupported;
  }
  if (aVerify && (!(Attributes & AttrCanUpload) || !(Attributes & AttrManifestationTolerant))) {
    // Read-back needs a device that uploads and stays reachable after manifestation; refuse
    // before writing rather than report an unverified image as verified.
    aDevice.LastError = "device cannot be read back after a download, so it cannot be verified";
    return lm_NotSupported;
  }
  if (auto E = Usable(aDevice)) return E;
  const auto Payload = aImage.first(Suffix.PayloadSize);
  const auto Size = static_cast<uint32_t>(Payload.size());
  tDFUEngine Engine(*aDevice.Transport, aDevice.Interface.Number, aDevice.Functional,
                    tDFULimits{TransferTimeoutMs});
  auto Progress = [&](uint32_t aDone) { aNotify.Post(WM_DFU_PROGRESS, aDone); };
  aNotify.Post(WM_DFU_DOWNLOAD, Size);
  tLMDFUErr E = Engine.BringToIdle();
  if (!E) E = Engine.Download(Payload, Progress);
  aDevice.BlocksSent = Engine.BlocksSent();
  if (!E && aVerify) {
    aNotify.Post(WM_DFU_VERIFY, Size);
    E = Engine.Verify(Payload, Progress);
  }
  if (E) aDevice.LastError = Engine.LastError();
  return E;
}

tLMDFUErr RunUpload(tLMDFUDevice& aDevice, std::vector<uint8_t>& aImage, uint32_t aMaxBytes,
                    tNotifier& aNotify) {
  if (aDevice.Interface.Protocol != DFUProtocolDFUMode) {
    aDevice.LastError = "device runs its firmware, not in DFU mode";
    return lm_NotDFUMode;
  }
  if (!(aDevice.Functional.Attributes & AttrCanUpload)) {
    aDevice.LastError = "device cannot be read (no upload)";
    return lm_NotSupported;
  }
  if (auto E = Usable(aDevice)) return E;
  tDFUEngine Engine(*aDevice.Transport, aDevice.Interface.Number, aDevice.Functional,
                    tDFULimits{TransferTimeoutMs});
  aNotify.Post(WM_DFU_UPLOAD, aMaxBytes);
  tLMDFUErr E = Engine.BringToIdle();
  if (!E)
    E = Engine.Upload(aImage, aMaxBytes,
                      [&](uint32_t aDone) { aNotify.Post(WM_DFU_PROGRESS, aDone); });
  if (E) aDevice.LastError = Engine.LastError();
  return E;
}

}  // namespace

tLMDFUErr LMDFUInit() {
  std::lock_guard<std::mutex> Guard(Lock);
  if (!Initialised) {
    RealBus = std::make_unique<tLibusbBus>();
    Initialised = true;
  }
  return lm_Ok;
}

tLMDFUErr LMDFUDeviceOpen(int32_t aIndex, tLMDFUDeviceInfo* aInfo, tLMDFUHandle* aHandle) {
  if (!aInfo || !aHandle) return lm_BadArgument;
  std::lock_guard<std::mutex> Guard(Lock);
  if (!Initialised) return lm_NotInitialised;
  if (aIndex < 0) return lm_NoDevice;
  std::unique_ptr<tLMDFUDevice> Device;
  if (auto E = OpenNth(aIndex, Device)) return E;
  FillInfo(*Device, *aInfo);
  *aHandle = Device.release();
  LiveHandles.insert(*aHandle);
  return lm_Ok;
}

tLMDFUErr LMDFUDeviceClose(tLMDFUHandle aHandle, tLMDFUBool aReset) {
  {
    std::lock_guard<std::mutex> Guard(Lock);
    if (!aHandle || !LiveHandles.erase(aHandle)) return lm_BadArgument;
  }
  std::unique_ptr<tLMDFUDevice> Device(aHandle);
  if (!aReset || Device->Interface.Protocol != DFUProtocolDFUMode) return lm_Ok;
  if (auto E = Usable(*Device)) return E;
  tDFUEngine Engine(*Device->Transport, Device->Interface.Number, Device->Functional,
                    tDFULimits{TransferTimeoutMs});
  return Engine.Leave();
}

tLMDFUErr LMDFUDeviceASCIIStringGet(tLMDFUHandle aHandle, uint8_t aIndex, char* aString,
                                    uint16_t* aLength) {
  if (!aString || !aLength || *aLength == 0) return lm_BadArgument;
  aString[0] = 0;
  if (!Known(aHandle)) return lm_BadArgument;
  if (!aHandle->Transport) return FromUsb(aHandle->OpenError);
  std::string Text;
  if (!ReadStringDescriptor(*aHandle->Transport, aIndex, Text, TransferTimeoutMs)) {
    *aLength = 0;
    return lm_Transfer;
  }
  const size_t Copy = std::min<size_t>(Text.size(), *aLength - 1u);
  std::memcpy(aString, Text.data(), Copy);
  aString[Copy] = 0;
  *aLength = static_cast<uint16_t>(Copy);
  return lm_Ok;
}

tLMDFUErr LMDFUIsValidImage(tLMDFUHandle aHandle, const uint8_t* aImage, uint32_t aImageLen,
                            uint32_t* aTivaFormat) {
  if (aTivaFormat) *aTivaFormat = 0;
  if (!Known(aHandle) || (!aImage && aImageLen)) return lm_BadArgument;
  if (RefusedAsMadeUp(*aHandle, aImage, aImageLen)) return lm_MadeUpImage;
  tSuffix Suffix;
  const auto Verdict = CheckImage(std::span<const uint8_t>(aImage, aImageLen),
                                  aHandle->Usb.VendorID, aHandle->Usb.ProductID, false, &Suffix);
  aHandle->LastError = Verdict == sv_Ok ? std::string() : SuffixVerdictText(Verdict, Suffix);
  return FromVerdict(Verdict);
}

tLMDFUErr LMDFUDownload(tLMDFUHandle aHandle, const uint8_t* aImage, uint32_t aImageLen,
                        tLMDFUBool aVerify, tLMDFUBool aIgnoreIDs, tLMDFUReceiver* aReceiver) {
  tNotifier Notify(aReceiver);
  if (!Known(aHandle) || (!aImage && aImageLen)) return Notify.Finish(lm_BadArgument);
  aHandle->LastError.clear();
  aHandle->BlocksSent = 0;
  if (RefusedAsMadeUp(*aHandle, aImage, aImageLen)) return Notify.Finish(lm_MadeUpImage);
  return Notify.Finish(RunDownload(*aHandle, std::span<const uint8_t>(aImage, aImageLen),
                                   aVerify != 0, aIgnoreIDs != 0, Notify));
}

tLMDFUErr LMDFUUpload(tLMDFUHandle aHandle, uint8_t* aBuffer, uint32_t aBufferLen,
                      uint32_t* aUploadedLen, tLMDFUReceiver* aReceiver) {
  tNotifier Notify(aReceiver);
  if (aUploadedLen) *aUploadedLen = 0;
  if (!Known(aHandle) || !aUploadedLen || (!aBuffer && aBufferLen))
    return Notify.Finish(lm_BadArgument);
  aHandle->LastError.clear();
  std::vector<uint8_t> Image;
  const tLMDFUErr E = RunUpload(*aHandle, Image, aBufferLen, Notify);
  if (E == lm_Ok) {
    if (!Image.empty()) std::memcpy(aBuffer, Image.data(), Image.size());
    *aUploadedLen = static_cast<uint32_t>(Image.size());
  }
  return Notify.Finish(E);
}

const char* LMDFUStatusText(int aStatus) {
  switch (aStatus) {
    case lm_Ok:
      return "success";
    case lm_NotInitialised:
      return "DFU library not initialised";
    case lm_NoDevice:
      return "no DFU device at this index";
    case lm_BadArgument:
      return "invalid argument or handle";
    case lm_Access:
      return "no permission to open the USB device";
    case lm_DeviceGone:
      return "the device has gone";
    case lm_Timeout:
      return "the device did not answer in time";
    case lm_Stall:
      return "the device refused a request";
    case lm_Transfer:
      return "USB transfer failed";
    case lm_NotDFUMode:
      return "the device is not in DFU mode";
    case lm_NotSupported:
      return "the device does not support this operation";
    case lm_DeviceStatus:
      return "the device reported an error";
    case lm_DeviceState:
      return "the device is in an unexpected state";
    case lm_VerifyMismatch:
      return "verification failed: the read-back differs";
    case lm_VerifyShort:
      return "verification failed: the read-back is short";
    case lm_ResetIgnored:
      return "the USB reset did not reach the device, which stays in DFU mode (on Windows the "
             "WinUSB driver resets only the pipes: install libusbK for the boot loader)";
    case lm_UploadTooLarge:
      return "the device holds more than the upload may take";
    case lm_ImageTooShort:
      return "image too short";
    case lm_NoSuffix:
      return "image has no DFU suffix";
    case lm_SuffixLength:
      return "image has an invalid DFU suffix length";
    case lm_SuffixVersion:
      return "image has an unsupported DFU suffix version";
    case lm_SuffixCRC:
      return "image CRC mismatch";
    case lm_WrongVendor:
      return "image is for another vendor";
    case lm_MadeUpImage:
      return "a made-up image, for the simulated card only";
    case lm_WrongProduct:
      return "image is for another product";
    default:
      return "unknown status";
  }
}

std::string LMDFULastErrorText(tLMDFUHandle aHandle) {
  return Known(aHandle) ? aHandle->LastError : std::string();
}

uint32_t LMDFUBlocksSent(tLMDFUHandle aHandle) {
  return Known(aHandle) ? aHandle->BlocksSent : 0;
}

void LMDFUSetTrace(std::function<void(const std::string&)> aTrace) {
  std::lock_guard<std::mutex> Guard(TraceLock);
  Trace = std::move(aTrace);
}

std::string LMDFUDeviceLocation(tLMDFUHandle aHandle) {
  return Known(aHandle) ? aHandle->Usb.Location : std::string();
}

std::string LMDFUUsbProblem() {
  std::lock_guard<std::mutex> Guard(Lock);
  if (!Initialised) return "DFU library not initialised";
  return RealBus ? RealBus->Problem() : std::string();
}

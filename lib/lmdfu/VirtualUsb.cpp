#include "lib/lmdfu/VirtualUsb.h"

#include <algorithm>
#include <cstring>

#include "lib/lmdfu/DFUProtocol.h"
#include "platform/Paths.h"
#include "platform/UsbSocket.h"

namespace dfu {
namespace {

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

int FromSocket(int aResult) {
  switch (aResult) {
    case usbsock::sr_Timeout:
      return ur_Timeout;
    case usbsock::sr_Gone:
      return ur_NoDevice;
    case usbsock::sr_Access:
      return ur_Access;
    default:
      return aResult < 0 ? ur_IO : aResult;
  }
}

class tVirtualTransport : public tUsbTransport {
 public:
  explicit tVirtualTransport(std::unique_ptr<usbsock::tPacketClient> aClient)
      : fClient(std::move(aClient)) {}

  int ControlIn(uint8_t aRequestType, uint8_t aRequest, uint16_t aValue, uint16_t aIndex,
                uint8_t* aData, uint16_t aLength, unsigned aTimeoutMs) override {
    tVirtualRequest Rq{
        vo_Control, static_cast<uint8_t>(aRequestType | 0x80), aRequest, aValue, aIndex, aLength,
        {}};
    const int R = Exchange(Rq, aTimeoutMs);
    if (R < 0) return R;
    const size_t Got = fReply.size() - VirtualReplyHeader;
    if (Got > aLength) return ur_IO;  // more than asked for: not a sound device
    if (Got) std::memcpy(aData, fReply.data() + VirtualReplyHeader, Got);
    return static_cast<int>(Got);
  }

  int ControlOut(uint8_t aRequestType, uint8_t aRequest, uint16_t aValue, uint16_t aIndex,
                 const uint8_t* aData, uint16_t aLength, unsigned aTimeoutMs) override {
    tVirtualRequest Rq{
        vo_Control, static_cast<uint8_t>(aRequestType & 0x7F), aRequest, aValue, aIndex, aLength,
        {}};
    if (aLength) Rq.Data.assign(aData, aData + aLength);
    const int R = Exchange(Rq, aTimeoutMs);
    return R < 0 ? R : aLength;
  }

  int ClaimInterface(uint8_t, uint8_t) override { return 0; }

  // Asks the device for use; false with ur_Access when it refuses.
  int Open() {
    tVirtualRequest Rq;
    Rq.Op = vo_Open;
    const int R = fClient->Exchange(EncodeRequest(Rq), fReply, 2000);
    if (R < 0) return FromSocket(R);
    if (fReply.size() < VirtualReplyHeader) return ur_IO;
    return fReply[0] == vr_Access ? ur_Access : (fReply[0] == vr_Done ? 0 : ur_IO);
  }

  int Reset() override {
    tVirtualRequest Rq;
    Rq.Op = vo_Reset;
    const int R = Exchange(Rq, 2000);
    return R == ur_NoDevice ? 0 : (R < 0 ? R : 0);
  }

 private:
  int Exchange(const tVirtualRequest& aRequest, unsigned aTimeoutMs) {
    const int R = fClient->Exchange(EncodeRequest(aRequest), fReply, aTimeoutMs);
    if (R < 0) return FromSocket(R);
    if (fReply.size() < VirtualReplyHeader) return ur_IO;
    switch (fReply[0]) {
      case vr_Done:
        return 0;
      case vr_Stall:
        return ur_Stall;
      default:
        return ur_IO;
    }
  }

  std::unique_ptr<usbsock::tPacketClient> fClient;
  std::vector<uint8_t> fReply;
};

bool ReadDescriptors(tUsbTransport& aDevice, tUsbDevice& aInfo, unsigned aTimeoutMs) {
  uint8_t D[18];
  if (aDevice.ControlIn(ReqTypeStandardIn, StdGetDescriptor, DescDevice << 8, 0, D, sizeof D,
                        aTimeoutMs) != 18 ||
      D[1] != DescDevice)
    return false;
  aInfo.MaxPacket0 = D[7];
  aInfo.VendorID = Get16(D + 8);
  aInfo.ProductID = Get16(D + 10);
  aInfo.Release = Get16(D + 12);
  aInfo.ManufacturerString = D[14];
  aInfo.ProductString = D[15];
  aInfo.SerialString = D[16];
  uint8_t Head[9];
  if (aDevice.ControlIn(ReqTypeStandardIn, StdGetDescriptor, DescConfiguration << 8, 0, Head,
                        sizeof Head, aTimeoutMs) != 9 ||
      Head[1] != DescConfiguration)
    return false;
  const uint16_t Total = Get16(Head + 2);
  std::vector<uint8_t> Config(Total);
  const int Got = aDevice.ControlIn(ReqTypeStandardIn, StdGetDescriptor, DescConfiguration << 8, 0,
                                    Config.data(), Total, aTimeoutMs);
  if (Got < 9) return false;
  aInfo.Interfaces = ParseConfiguration(Config.data(), static_cast<size_t>(Got));
  return true;
}

}  // namespace

std::vector<uint8_t> EncodeRequest(const tVirtualRequest& aRequest) {
  std::vector<uint8_t> P(VirtualRequestHeader + aRequest.Data.size(), 0);
  P[0] = aRequest.Op;
  P[1] = aRequest.RequestType;
  P[2] = aRequest.Request;
  auto Set16 = [&P](size_t aAt, uint16_t aValue) {
    P[aAt] = static_cast<uint8_t>(aValue);
    P[aAt + 1] = static_cast<uint8_t>(aValue >> 8);
  };
  Set16(4, aRequest.Value);
  Set16(6, aRequest.Index);
  Set16(8, aRequest.Length);
  std::copy(aRequest.Data.begin(), aRequest.Data.end(), P.begin() + VirtualRequestHeader);
  return P;
}

bool DecodeRequest(std::span<const uint8_t> aPacket, tVirtualRequest& aRequest) {
  if (aPacket.size() < VirtualRequestHeader) return false;
  aRequest.Op = aPacket[0];
  aRequest.RequestType = aPacket[1];
  aRequest.Request = aPacket[2];
  aRequest.Value = Get16(&aPacket[4]);
  aRequest.Index = Get16(&aPacket[6]);
  aRequest.Length = Get16(&aPacket[8]);
  const auto Data = aPacket.subspan(VirtualRequestHeader);
  if (aRequest.Op == vo_Reset || aRequest.Op == vo_Open) {
    aRequest.Data.clear();
    return Data.empty();
  }
  if (aRequest.Op != vo_Control) return false;
  const size_t Expected = aRequest.DeviceToHost() ? 0 : aRequest.Length;
  if (Data.size() != Expected) return false;
  aRequest.Data.assign(Data.begin(), Data.end());
  return true;
}

std::vector<uint8_t> EncodeReply(uint8_t aResult, std::span<const uint8_t> aData) {
  std::vector<uint8_t> P(VirtualReplyHeader + aData.size(), 0);
  P[0] = aResult;
  std::copy(aData.begin(), aData.end(), P.begin() + VirtualReplyHeader);
  return P;
}

tVirtualUsbBus::tVirtualUsbBus(std::string aFolder, unsigned aTimeoutMs)
    : fFolder(std::move(aFolder)), fTimeoutMs(aTimeoutMs) {}

std::unique_ptr<tUsbTransport> tVirtualUsbBus::OpenPath(const std::string& aSocketPath,
                                                        tUsbDevice* aDevice, unsigned aTimeoutMs,
                                                        int* aError) {
  int R = 0;
  auto Client = usbsock::tPacketClient::Connect(aSocketPath, &R);
  if (!Client) {
    if (aError) *aError = FromSocket(R);
    return nullptr;
  }
  auto Transport = std::make_unique<tVirtualTransport>(std::move(Client));
  if (aDevice) {
    *aDevice = tUsbDevice{};
    aDevice->Location = aSocketPath;
    if (!ReadDescriptors(*Transport, *aDevice, aTimeoutMs)) {
      if (aError) *aError = ur_IO;
      return nullptr;
    }
  } else if (const int Refused = Transport->Open(); Refused != 0) {
    if (aError) *aError = Refused;
    return nullptr;
  }
  if (aError) *aError = 0;
  return Transport;
}

std::vector<tUsbDevice> tVirtualUsbBus::List() {
  const std::string Folder = fFolder.empty() ? tPaths::VirtualUSBFolder() : fFolder;
  // A device another user could have put there would receive the firmware image.
  std::string Why;
  const std::vector<std::string> Names = tPaths::IsPrivateFolder(Folder, Why)
                                             ? usbsock::ListEndpoints(Folder)
                                             : std::vector<std::string>{};
  fListed.clear();
  std::vector<tUsbDevice> Devices;
  for (const auto& Path : Names) {
    tUsbDevice Device;
    if (!OpenPath(Path, &Device, fTimeoutMs, nullptr)) continue;  // stale or not a device
    fListed.push_back(Path);
    Devices.push_back(std::move(Device));
  }
  return Devices;
}

std::unique_ptr<tUsbTransport> tVirtualUsbBus::Open(size_t aIndex, int* aError) {
  if (aIndex >= fListed.size()) {
    if (aError) *aError = ur_NoDevice;
    return nullptr;
  }
  return OpenPath(fListed[aIndex], nullptr, fTimeoutMs, aError);
}

}  // namespace dfu

#include "sim/bootloader/VirtualDFUDevice.h"

#include <algorithm>
#include <chrono>

#include "platform/Environment.h"
#include "platform/Paths.h"
#include "platform/UsbSocket.h"

namespace dfu {
namespace {

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

std::vector<uint8_t> StringDescriptor(const std::string& aText) {
  std::vector<uint8_t> D{0, DescString};
  for (unsigned char c : aText.substr(0, 126))
    Put16(D, c);
  D[0] = static_cast<uint8_t>(D.size());
  return D;
}

std::atomic<int> DeviceCounter{0};

}  // namespace

tVirtualDFUDevice::tVirtualDFUDevice(tVirtualDFUOptions aOptions)
    : fOptions(std::move(aOptions)),
      fServer(std::make_unique<usbsock::tPacketServer>()),
      fFlash(fOptions.Firmware),
      fFirmwareValid(fOptions.FirmwareValid) {}

tVirtualDFUDevice::~tVirtualDFUDevice() {
  Stop();
}

bool tVirtualDFUDevice::Start(std::string* aError) {
  const std::string Folder = fOptions.Folder.empty() ? tPaths::VirtualUSBFolder() : fOptions.Folder;
  std::string Why;
  if (!tPaths::MakeFolders(Folder, Why)) {
    if (aError) *aError = Why;
    return false;
  }
  const std::string Name = fOptions.Name.empty()
                               ? "dfu-" + std::to_string(tEnvironment::ProcessId()) + "-" +
                                     std::to_string(DeviceCounter++)
                               : fOptions.Name;
  {
    std::lock_guard<std::mutex> Guard(fLock);
    fPath = Folder + "/" + Name;
  }
  Rearm();
  auto Handler = [this](std::span<const uint8_t> aPacket) {
    tVirtualRequest Request;
    usbsock::tPacketAction Action;
    if (!DecodeRequest(aPacket, Request)) {
      Action.Reply = EncodeReply(vr_Malformed);
      return Action;
    }
    tAnswer Answer = Handle(Request);
    Action.SendReply = Answer.Reply;
    Action.Reply = std::move(Answer.Packet);
    Action.Vanish = Answer.Vanish;
    return Action;
  };
  auto Vanished = [this] {
    if (OnRestart) OnRestart(LastRestart());
  };
  return fServer->Start(fPath, Handler, Vanished, aError);
}

void tVirtualDFUDevice::Rearm() {
  std::lock_guard<std::mutex> Guard(fLock);
  fState = st_DfuIdle;
  fStatus = ds_OK;
  // The flash keeps what was written before: a later boot into DFU mode starts from it.
  fNewFirmware = false;
  fBlockPending = false;
  fManifested = false;
  fUploadOffset = 0;
  fSilentUsed = false;
}

void tVirtualDFUDevice::Stop() {
  fServer->Stop();
}

bool tVirtualDFUDevice::Running() const {
  return fServer->Running();
}

void tVirtualDFUDevice::SetFaults(const tVirtualDFUFaults& aFaults) {
  std::lock_guard<std::mutex> Guard(fLock);
  fOptions.Faults = aFaults;
  fSilentUsed = false;
}

std::vector<uint8_t> tVirtualDFUDevice::ReceivedImage() const {
  std::lock_guard<std::mutex> Guard(fLock);
  return fReceived;
}

int tVirtualDFUDevice::DownloadsCompleted() const {
  std::lock_guard<std::mutex> Guard(fLock);
  return fDownloads;
}

uint8_t tVirtualDFUDevice::State() const {
  std::lock_guard<std::mutex> Guard(fLock);
  return fState;
}

uint8_t tVirtualDFUDevice::Status() const {
  std::lock_guard<std::mutex> Guard(fLock);
  return fStatus;
}

std::string tVirtualDFUDevice::SocketPath() const {
  std::lock_guard<std::mutex> Guard(fLock);
  return fPath;
}

tVirtualDFURestart tVirtualDFUDevice::LastRestart() const {
  std::lock_guard<std::mutex> Guard(fLock);
  return fRestart;
}

uint64_t tVirtualDFUDevice::RequestsServed() const {
  return fServer->Served();
}

std::vector<uint8_t> tVirtualDFUDevice::Reply(std::span<const uint8_t> aData) const {
  return EncodeReply(vr_Done, aData);
}

std::vector<uint8_t> tVirtualDFUDevice::StallReply() {
  return EncodeReply(vr_Stall);
}

// A request the current state does not allow: the device stalls it and enters dfuERROR.
std::vector<uint8_t> tVirtualDFUDevice::StallToError(uint8_t aStatus) {
  fState = st_DfuError;
  fStatus = aStatus;
  fBlockPending = false;
  return StallReply();
}

std::vector<uint8_t> tVirtualDFUDevice::Descriptor(uint8_t aType, uint8_t aIndex) const {
  std::vector<uint8_t> D;
  if (aType == DescDevice) {
    D = {18, DescDevice, 0x00, 0x02, 0, 0, 0, 64};
    Put16(D, fOptions.VendorID);
    Put16(D, fOptions.ProductID);
    Put16(D, fOptions.Release);
    D.insert(D.end(), {1, 2, 3, 1});
  } else if (aType == DescConfiguration && aIndex == 0) {
    D = {9, DescConfiguration, 27, 0, 1, 1, 0, 0x80, 50};
    D.insert(D.end(), {9, DescInterface, 0, 0, 0, DFUClass, DFUSubClass, DFUProtocolDFUMode, 4});
    D.insert(D.end(), {9, DescDFUFunctional, fOptions.Attributes});
    Put16(D, fOptions.DetachTimeOut);
    Put16(D, fOptions.TransferSize);
    Put16(D, 0x0110);
  } else if (aType == DescString) {
    switch (aIndex) {
      case 0:
        D = {4, DescString, 0x09, 0x04};
        break;
      case 1:
        D = StringDescriptor(fOptions.Manufacturer);
        break;
      case 2:
        D = StringDescriptor(fOptions.Product);
        break;
      case 3:
        D = StringDescriptor(fOptions.Serial);
        break;
      case 4:
        D = StringDescriptor(fOptions.InterfaceName);
        break;
      default:
        break;
    }
  }
  return D;
}

tVirtualDFUDevice::tAnswer tVirtualDFUDevice::Handle(const tVirtualRequest& aRequest) {
  std::lock_guard<std::mutex> Guard(fLock);
  if (aRequest.Op == vo_Reset)
    return fOptions.Faults.ResetIgnored ? tAnswer{true, Reply(), false} : Restart(rr_Reset);
  if (aRequest.Op == vo_Open)
    return {true, EncodeReply(fOptions.Faults.RefuseAccess ? vr_Access : vr_Done), false};
  tAnswer Answer = (aRequest.RequestType & 0x60) == 0x20 ? Class(aRequest) : Standard(aRequest);
  // As on the wire: a device never returns more than the host asked for.
  if (aRequest.DeviceToHost() && Answer.Packet.size() > VirtualReplyHeader + aRequest.Length)
    Answer.Packet.resize(VirtualReplyHeader + aRequest.Length);
  return Answer;
}

// Standard requests never touch the DFU state; what the device does not know it stalls.
tVirtualDFUDevice::tAnswer tVirtualDFUDevice::Standard(const tVirtualRequest& aRequest) {
  if (aRequest.RequestType == ReqTypeStandardIn && aRequest.Request == StdGetDescriptor) {
    auto D =
        Descriptor(static_cast<uint8_t>(aRequest.Value >> 8), static_cast<uint8_t>(aRequest.Value));
    if (D.empty()) return {true, StallReply()};
    if (D.size() > aRequest.Length) D.resize(aRequest.Length);
    return {true, Reply(D)};
  }
  if (aRequest.RequestType == ReqTypeStandardIn && aRequest.Request == StdGetStatus) {
    const uint8_t Zero[2] = {0, 0};
    return {true, Reply(std::span<const uint8_t>(Zero, std::min<size_t>(2, aRequest.Length)))};
  }
  if ((aRequest.RequestType == ReqTypeStandardOut && aRequest.Request == StdSetConfiguration) ||
      (aRequest.RequestType == ReqTypeStandardInterfaceOut && aRequest.Request == StdSetInterface))
    return {true, Reply()};
  return {true, StallReply()};
}

// A busy state ends by itself once its poll time-out has passed: the block is programmed, or
// manifestation is done.
void tVirtualDFUDevice::CatchUpBusy() {
  if (fState != st_DnBusy && fState != st_Manifest) return;
  if (NowUs() < fBusyUntilUs) return;
  if (fState == st_DnBusy) {
    fFlash.insert(fFlash.end(), fPendingData.begin(), fPendingData.end());
    fPendingData.clear();
    fBlockPending = false;
    fState = st_DnloadSync;
    return;
  }
  fManifested = true;
  fFirmwareValid = true;
  fNewFirmware = true;
  fReceived = fFlash;
  ++fDownloads;
  fState =
      (fOptions.Attributes & AttrManifestationTolerant) ? st_ManifestSync : st_ManifestWaitReset;
}

tVirtualDFUDevice::tAnswer tVirtualDFUDevice::Class(const tVirtualRequest& aRequest) {
  CatchUpBusy();
  if (aRequest.Index != 0) return {true, StallReply()};  // not our interface
  // While busy the device takes no request at all; the host must honour bwPollTimeout.
  if (fState == st_DnBusy || fState == st_Manifest) return {true, StallToError()};
  const bool In = aRequest.DeviceToHost();
  switch (aRequest.Request) {
    case rq_GetStatus:
      if (!In) break;
      return GetStatus();
    case rq_GetState:
      if (!In) break;
      return {true, Reply(std::span<const uint8_t>(&fState, aRequest.Length ? 1 : 0))};
    case rq_ClrStatus:
      if (In || fState != st_DfuError) break;
      fState = st_DfuIdle;
      fStatus = ds_OK;
      return {true, Reply()};
    case rq_Abort:
      if (In) break;
      if (fState != st_DfuIdle && fState != st_DnloadIdle && fState != st_UploadIdle) break;
      fState = st_DfuIdle;
      return {true, Reply()};
    case rq_Dnload:
      if (In) break;
      return Dnload(aRequest);
    case rq_Upload:
      if (!In) break;
      return Upload(aRequest);
    case rq_Detach:
      if (In || !(fOptions.Attributes & AttrWillDetach)) break;
      if (fState != st_DfuIdle && fState != st_ManifestWaitReset) break;
      return Restart(rr_Detach);
    default:
      break;
  }
  if (fState == st_ManifestWaitReset) return {true, StallReply()};  // only a reset helps now
  return {true, StallToError()};
}

tVirtualDFUDevice::tAnswer tVirtualDFUDevice::GetStatus() {
  tDFUStatusReply S;
  switch (fState) {
    case st_DnloadSync:
      if (fBlockPending) {
        const auto& F = fOptions.Faults;
        if (F.StatusErrorAtBlock >= 0 && fBlocksReceived - 1 == F.StatusErrorAtBlock) {
          fState = st_DfuError;
          fStatus = F.StatusErrorCode;
          fBlockPending = false;
        } else if (fFlash.size() + fPendingData.size() > fOptions.FlashSize) {
          fState = st_DfuError;
          fStatus = ds_errADDRESS;
          fBlockPending = false;
        } else {
          fState = st_DnBusy;
          S.PollTimeoutMs = fOptions.PollTimeoutMs;
          fBusyUntilUs = NowUs() + int64_t(fOptions.PollTimeoutMs) * 1000;
        }
      } else {
        fState = st_DnloadIdle;
      }
      break;
    case st_ManifestSync:
      if (!fManifested) {
        fState = st_Manifest;
        S.PollTimeoutMs = fOptions.ManifestTimeoutMs;
        fBusyUntilUs = NowUs() + int64_t(fOptions.ManifestTimeoutMs) * 1000;
      } else {
        fState = st_DfuIdle;
      }
      break;
    default:
      break;
  }
  S.Status = fStatus;
  S.State = fState;
  uint8_t Raw[StatusReplySize];
  EncodeStatus(S, Raw);
  return {true, Reply(Raw)};
}

tVirtualDFUDevice::tAnswer tVirtualDFUDevice::Dnload(const tVirtualRequest& aRequest) {
  if (!(fOptions.Attributes & AttrCanDnload)) return {true, StallToError()};
  if (aRequest.Length > fOptions.TransferSize) return {true, StallToError()};
  if (aRequest.Length == 0) {
    // The end of the download; only after at least one block.
    if (fState != st_DnloadIdle) return {true, StallToError()};
    fState = st_ManifestSync;
    fManifested = false;
    return {true, Reply()};
  }
  if (fState == st_DfuIdle) {  // the first block: the old firmware is erased
    fFlash.clear();
    fFirmwareValid = false;
    fNewFirmware = false;
    fBlocksReceived = 0;
    fNextBlock = 0;
  } else if (fState != st_DnloadIdle) {
    return {true, StallToError()};
  }
  const auto& F = fOptions.Faults;
  const int Block = fBlocksReceived;
  if (F.DisconnectAtBlock == Block) {
    fRestart = {rr_Disconnected, false, false, fFlash, DemoFirmwareVersion(fFlash)};
    return {false, {}, true};
  }
  if (F.SilentAtBlock == Block && !fSilentUsed) {
    fSilentUsed = true;
    return {false, {}, false};
  }
  if (F.StallAtBlock == Block) return {true, StallToError()};
  if (aRequest.Value != fNextBlock) return {true, StallToError(ds_errADDRESS)};
  ++fNextBlock;
  ++fBlocksReceived;
  fPendingData = aRequest.Data;
  fBlockPending = true;
  fState = st_DnloadSync;
  return {true, Reply()};
}

tVirtualDFUDevice::tAnswer tVirtualDFUDevice::Upload(const tVirtualRequest& aRequest) {
  if (!(fOptions.Attributes & AttrCanUpload)) return {true, StallToError()};
  if (aRequest.Length > fOptions.TransferSize) return {true, StallToError()};
  if (fState == st_DfuIdle) {
    fUploadOffset = 0;
  } else if (fState != st_UploadIdle) {
    return {true, StallToError()};
  }
  fUploadOffset = std::min(fUploadOffset, fFlash.size());
  const size_t Take = std::min<size_t>(aRequest.Length, fFlash.size() - fUploadOffset);
  std::vector<uint8_t> Data(fFlash.begin() + fUploadOffset, fFlash.begin() + fUploadOffset + Take);
  const long Wrong = fOptions.Faults.WrongReadBackAt;
  if (Wrong >= 0 && static_cast<size_t>(Wrong) >= fUploadOffset &&
      static_cast<size_t>(Wrong) < fUploadOffset + Take)
    Data[static_cast<size_t>(Wrong) - fUploadOffset] ^= 0xFF;
  fUploadOffset += Take;
  // A short frame ends the upload.
  fState = Take < aRequest.Length ? st_DfuIdle : st_UploadIdle;
  return {true, Reply(Data)};
}

// A reset or a detach: with valid firmware the device leaves the bus and runs it; without,
// it stays in DFU mode and says why.
tVirtualDFUDevice::tAnswer tVirtualDFUDevice::Restart(tRestartReason aReason) {
  if (!fFirmwareValid) {
    fState = st_DfuError;
    fStatus = ds_errFIRMWARE;
    fBlockPending = false;
    return {true, Reply()};
  }
  fRestart = {aReason, fNewFirmware, true, fFlash, DemoFirmwareVersion(fFlash)};
  fState = st_AppIdle;
  return {true, Reply(), true};
}

}  // namespace dfu

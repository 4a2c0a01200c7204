#include "lib/lmdfu/DFUEngine.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace dfu {
namespace {

using tClock = std::chrono::steady_clock;
// How long a device whose reset failed is given to show it is still there.
constexpr unsigned LeaveProbeMs = 1000;

// DFU 1.0 functional descriptors end before bcdDFUVersion (7 bytes); 1.1 ones are 9.
bool ParseFunctional(const std::vector<uint8_t>& aExtra, tDFUFunctional& aFunctional) {
  size_t Pos = 0;
  while (Pos + 2 <= aExtra.size()) {
    const uint8_t Len = aExtra[Pos];
    if (Len < 2 || Pos + Len > aExtra.size()) return false;
    const uint8_t* D = aExtra.data() + Pos;
    if (D[1] == DescDFUFunctional && Len >= 7) {
      aFunctional.Present = true;
      aFunctional.Attributes = D[2];
      aFunctional.DetachTimeOut = static_cast<uint16_t>(D[3] | (D[4] << 8));
      aFunctional.TransferSize = static_cast<uint16_t>(D[5] | (D[6] << 8));
      aFunctional.Version = Len >= 9 ? static_cast<uint16_t>(D[7] | (D[8] << 8)) : 0x0100;
      return true;
    }
    Pos += Len;
  }
  return false;
}

}  // namespace

bool FindDFUInterface(const tUsbDevice& aDevice, tUsbInterface& aInterface,
                      tDFUFunctional& aFunctional) {
  const tUsbInterface* Best = nullptr;
  for (const auto& I : aDevice.Interfaces) {
    if (I.Class != DFUClass || I.SubClass != DFUSubClass) continue;
    if (!Best || (Best->Alt != 0 && I.Alt == 0 && I.Number == Best->Number)) Best = &I;
  }
  if (!Best) return false;
  aInterface = *Best;
  aFunctional = tDFUFunctional{};
  if (!ParseFunctional(Best->Extra, aFunctional)) {
    // Without a functional descriptor assume the plainest device: download only, blocks of
    // endpoint 0's packet size.
    aFunctional.Attributes = AttrCanDnload;
    aFunctional.TransferSize = aDevice.MaxPacket0;
  }
  return true;
}

tDFUEngine::tDFUEngine(tUsbTransport& aDevice, uint8_t aInterface,
                       const tDFUFunctional& aFunctional, tDFULimits aLimits)
    : fDevice(aDevice),
      fInterface(aInterface),
      fFunctional(aFunctional),
      fLimits(aLimits),
      fBlockSize(aFunctional.TransferSize ? aFunctional.TransferSize : 64) {}

tLMDFUErr tDFUEngine::Fail(tLMDFUErr aCode, const std::string& aText) {
  fLastError = aText;
  return aCode;
}

tLMDFUErr tDFUEngine::TransferFailed(int aResult, const std::string& aWhat) {
  tLMDFUErr Code = lm_Transfer;
  switch (aResult) {
    case ur_Stall:
      Code = lm_Stall;
      break;
    case ur_Timeout:
      Code = lm_Timeout;
      break;
    case ur_NoDevice:
      Code = lm_DeviceGone;
      break;
    case ur_Access:
      Code = lm_Access;
      break;
    default:
      break;
  }
  return Fail(Code, aWhat + ": " + UsbResultText(aResult));
}

void tDFUEngine::Sleep(uint32_t aMs) const {
  if (aMs) std::this_thread::sleep_for(std::chrono::milliseconds(std::min(aMs, fLimits.MaxPollMs)));
}

tLMDFUErr tDFUEngine::GetStatus(tDFUStatusReply& aReply) {
  uint8_t Raw[StatusReplySize];
  const int Got = fDevice.ControlIn(ReqTypeClassIn, rq_GetStatus, 0, fInterface, Raw,
                                    StatusReplySize, fLimits.TransferTimeoutMs);
  if (Got < 0) return TransferFailed(Got, "GETSTATUS");
  if (Got != StatusReplySize)
    return Fail(lm_Transfer, "GETSTATUS: reply of " + std::to_string(Got) + " bytes, not 6");
  aReply = DecodeStatus(Raw);
  return lm_Ok;
}

tLMDFUErr tDFUEngine::GetState(uint8_t& aState) {
  const int Got = fDevice.ControlIn(ReqTypeClassIn, rq_GetState, 0, fInterface, &aState, 1,
                                    fLimits.TransferTimeoutMs);
  if (Got < 0) return TransferFailed(Got, "GETSTATE");
  if (Got != 1) return Fail(lm_Transfer, "GETSTATE: empty reply");
  return lm_Ok;
}

tLMDFUErr tDFUEngine::ClearStatus() {
  const int R = fDevice.ControlOut(ReqTypeClassOut, rq_ClrStatus, 0, fInterface, nullptr, 0,
                                   fLimits.TransferTimeoutMs);
  return R < 0 ? TransferFailed(R, "CLRSTATUS") : lm_Ok;
}

tLMDFUErr tDFUEngine::Abort() {
  const int R = fDevice.ControlOut(ReqTypeClassOut, rq_Abort, 0, fInterface, nullptr, 0,
                                   fLimits.TransferTimeoutMs);
  return R < 0 ? TransferFailed(R, "ABORT") : lm_Ok;
}

tLMDFUErr tDFUEngine::BringToIdle() {
  const auto Start = tClock::now();
  for (int Step = 0;; ++Step) {
    tDFUStatusReply S;
    if (auto E = GetStatus(S)) return E;
    if (S.State == st_DfuIdle && S.Status == ds_OK) return lm_Ok;
    if (Step >= 8 || tClock::now() - Start > std::chrono::milliseconds(fLimits.MaxBusyMs))
      return Fail(lm_DeviceState,
                  std::string("device does not return to dfuIDLE (") + StateName(S.State) + ")");
    tLMDFUErr E = lm_Ok;
    switch (S.State) {
      case st_AppIdle:
      case st_AppDetach:
        return Fail(lm_NotDFUMode, "device runs its firmware, not in DFU mode");
      case st_ManifestWaitReset:
        return Fail(lm_DeviceState, "device waits for a USB reset after manifestation");
      case st_DnBusy:
      case st_Manifest:
        Sleep(S.PollTimeoutMs);
        break;
      case st_DfuError:
      case st_DfuIdle:  // dfuIDLE with a status other than OK: clear it
        E = ClearStatus();
        break;
      default:  // the idle download and upload states take ABORT; the sync states stall it
                // into dfuERROR, which the next round clears
        E = Abort();
        if (E == lm_Stall) E = lm_Ok;
        break;
    }
    if (E) return E;
  }
}

tLMDFUErr tDFUEngine::WaitBlockDone(const std::string& aWhat) {
  const auto Start = tClock::now();
  for (;;) {
    tDFUStatusReply S;
    if (auto E = GetStatus(S)) {
      fLastError = aWhat + ", " + fLastError;
      return E;
    }
    if (S.Status != ds_OK)
      return Fail(lm_DeviceStatus, std::string("device reports ") + StatusName(S.Status) + " (" +
                                       StatusMeaning(S.Status) + ") in " + StateName(S.State) +
                                       " after " + aWhat);
    if (S.State == st_DnloadIdle) return lm_Ok;
    if (S.State != st_DnBusy && S.State != st_DnloadSync)
      return Fail(lm_DeviceState,
                  std::string("device went to ") + StateName(S.State) + " after " + aWhat);
    if (tClock::now() - Start > std::chrono::milliseconds(fLimits.MaxBusyMs))
      return Fail(lm_Timeout, "device stays busy after " + aWhat);
    Sleep(S.PollTimeoutMs);
  }
}

tLMDFUErr tDFUEngine::Manifest() {
  const bool Tolerant = fFunctional.Attributes & AttrManifestationTolerant;
  const auto Start = tClock::now();
  bool SeenManifest = false;
  for (;;) {
    tDFUStatusReply S;
    if (auto E = GetStatus(S)) {
      // A device that cannot stay on the bus through manifestation may stop answering once
      // it has begun; it then waits for the reset that Leave() gives it.
      if (SeenManifest && !Tolerant && E != lm_DeviceGone) return lm_Ok;
      fLastError = "manifestation, " + fLastError;
      return E;
    }
    if (S.Status != ds_OK)
      return Fail(lm_DeviceStatus, std::string("device reports ") + StatusName(S.Status) + " (" +
                                       StatusMeaning(S.Status) + ") during manifestation");
    if (S.State == st_DfuIdle || S.State == st_ManifestWaitReset) return lm_Ok;
    if (S.State != st_ManifestSync && S.State != st_Manifest)
      return Fail(lm_DeviceState,
                  std::string("device went to ") + StateName(S.State) + " during manifestation");
    SeenManifest |= S.State == st_Manifest;
    if (tClock::now() - Start > std::chrono::milliseconds(fLimits.MaxBusyMs))
      return Fail(lm_Timeout, "manifestation does not end");
    Sleep(S.PollTimeoutMs);
  }
}

tLMDFUErr tDFUEngine::Download(std::span<const uint8_t> aPayload, const tProgress& aProgress) {
  uint16_t Block = 0;
  size_t Done = 0;
  fBlocksSent = 0;
  while (Done < aPayload.size()) {
    const size_t Take = std::min<size_t>(fBlockSize, aPayload.size() - Done);
    const std::string What = "block " + std::to_string(Done / fBlockSize);
    ++fBlocksSent;  // counted before it goes: a request that fails may still have arrived
    const int R =
        fDevice.ControlOut(ReqTypeClassOut, rq_Dnload, Block, fInterface, aPayload.data() + Done,
                           static_cast<uint16_t>(Take), fLimits.TransferTimeoutMs);
    if (R < 0) return TransferFailed(R, "DNLOAD " + What);
    if (static_cast<size_t>(R) != Take) return Fail(lm_Transfer, "DNLOAD " + What + " cut short");
    if (auto E = WaitBlockDone(What)) return E;
    Done += Take;
    ++Block;  // block numbers wrap at 65536, as the 16-bit wValue does
    if (aProgress) aProgress(static_cast<uint32_t>(Done));
  }
  const int R = fDevice.ControlOut(ReqTypeClassOut, rq_Dnload, Block, fInterface, nullptr, 0,
                                   fLimits.TransferTimeoutMs);
  if (R < 0) return TransferFailed(R, "final zero-length DNLOAD");
  return Manifest();
}

tLMDFUErr tDFUEngine::UploadBlocks(const tBlockHandler& aBlock) {
  std::vector<uint8_t> Buffer(fBlockSize);
  for (uint16_t Block = 0;; ++Block) {  // block numbers wrap as the 16-bit wValue does
    const int Got = fDevice.ControlIn(ReqTypeClassIn, rq_Upload, Block, fInterface, Buffer.data(),
                                      fBlockSize, fLimits.TransferTimeoutMs);
    if (Got < 0) return TransferFailed(Got, "UPLOAD block " + std::to_string(Block));
    // A short frame returns the device to dfuIDLE by itself; otherwise it waits in
    // dfuUPLOAD-IDLE for the next request, and an ABORT brings it back.
    const bool Last = static_cast<size_t>(Got) < fBlockSize;
    bool Enough = false;
    const tLMDFUErr E =
        aBlock(std::span<const uint8_t>(Buffer.data(), static_cast<size_t>(Got)), Last, Enough);
    if (Last) return E;
    if (E) {
      // The block's own failure is the reason, even when the ABORT after it fails too.
      const std::string Why = fLastError;
      Abort();
      return Fail(E, Why);
    }
    if (Enough) return Abort();
  }
}

tLMDFUErr tDFUEngine::Verify(std::span<const uint8_t> aPayload, const tProgress& aProgress) {
  if (aPayload.empty()) return lm_Ok;
  size_t Done = 0;
  return UploadBlocks([&](std::span<const uint8_t> aBlock, bool aLast, bool& aEnough) {
    const size_t Take = std::min(aBlock.size(), aPayload.size() - Done);
    const auto Mismatch = std::mismatch(aBlock.begin(), aBlock.begin() + Take,
                                        aPayload.begin() + static_cast<std::ptrdiff_t>(Done));
    if (Mismatch.first != aBlock.begin() + Take) {
      const size_t At = Done + static_cast<size_t>(Mismatch.first - aBlock.begin());
      return Fail(lm_VerifyMismatch,
                  "read-back differs from the image at byte " + std::to_string(At));
    }
    Done += Take;
    if (aProgress) aProgress(static_cast<uint32_t>(Done));
    if (aLast && Done < aPayload.size())
      return Fail(lm_VerifyShort, "device gave back " + std::to_string(Done) + " of " +
                                      std::to_string(aPayload.size()) + " bytes");
    // The device may hold more than the image (a whole flash); its upload stops there.
    aEnough = Done == aPayload.size();
    return lm_Ok;
  });
}

tLMDFUErr tDFUEngine::Upload(std::vector<uint8_t>& aImage, size_t aMaxBytes,
                             const tProgress& aProgress) {
  aImage.clear();
  return UploadBlocks([&](std::span<const uint8_t> aBlock, bool, bool&) {
    if (aBlock.size() > aMaxBytes - aImage.size())
      return Fail(lm_UploadTooLarge,
                  "the device gives more than " + std::to_string(aMaxBytes) + " bytes");
    aImage.insert(aImage.end(), aBlock.begin(), aBlock.end());
    // The empty block that ends an image of whole blocks adds nothing to show.
    if (aProgress && !aBlock.empty()) aProgress(static_cast<uint32_t>(aImage.size()));
    return lm_Ok;
  });
}

tLMDFUErr tDFUEngine::Leave() {
  if (fFunctional.Attributes & AttrWillDetach) {
    const int R = fDevice.ControlOut(ReqTypeClassOut, rq_Detach, fFunctional.DetachTimeOut,
                                     fInterface, nullptr, 0, fLimits.TransferTimeoutMs);
    if (R >= 0 || R == ur_NoDevice) return lm_Ok;
  }
  const int R = fDevice.Reset();
  if (R < 0 && R != ur_IO) return TransferFailed(R, "USB reset");
  // What counts is whether the device left, not how the reset ended: one that no longer
  // answers has, one that still answers in DFU mode is still in its boot loader. A device that
  // restarts into its firmware may drop off the bus before the reset's handshake has ended,
  // so the host sees an I/O or protocol error rather than its departure; and a driver that
  // cannot reset a device (Windows' WinUSB, under libusb) resets its pipes instead and
  // reports success.
  uint8_t Raw[StatusReplySize];
  const int Got =
      fDevice.ControlIn(ReqTypeClassIn, rq_GetStatus, 0, fInterface, Raw, StatusReplySize,
                        std::min(fLimits.TransferTimeoutMs, LeaveProbeMs));
  if (Got != StatusReplySize) return lm_Ok;
  const tDFUStatusReply S = DecodeStatus(Raw);
  if (S.State == st_AppIdle || S.State == st_AppDetach) return lm_Ok;
  // A boot loader that was reset but holds no valid firmware stays, as it must.
  if (S.Status == ds_errFIRMWARE)
    return Fail(lm_DeviceState, std::string("the device stays in DFU mode after the reset (") +
                                    StateName(S.State) +
                                    "): the firmware it holds is not valid (errFIRMWARE)");
  if (R >= 0)
    return Fail(lm_ResetIgnored, std::string("the USB reset was reported done, but the device "
                                             "still answers in DFU mode (") +
                                     StateName(S.State) +
                                     "): the reset did not reach it (on Windows the WinUSB "
                                     "driver resets only the pipes: install libusbK for the "
                                     "boot loader)");
  return Fail(lm_DeviceState, std::string("USB reset failed (") + UsbResultText(R) +
                                  ") and the device stays in DFU mode (" + StateName(S.State) +
                                  ")");
}

}  // namespace dfu

// The card's boot loader as a virtual USB DFU device: it publishes itself on the virtual USB
// bus (a socket in the virtual USB folder), answers descriptor and string requests, follows
// the DFU 1.1 state machine (dfuIDLE, dfuDNLOAD-SYNC, dfuDNBUSY with a poll time-out,
// dfuDNLOAD-IDLE, dfuMANIFEST-SYNC, dfuMANIFEST, dfuMANIFEST-WAIT-RESET, dfuUPLOAD-IDLE,
// dfuERROR), keeps the downloaded image and gives it back on UPLOAD.
//
// A USB reset (or a DETACH, when the device announces it detaches itself) makes it leave
// DFU mode if its firmware is valid: the device leaves the bus and OnRestart reports the
// firmware it now runs. With no valid firmware (a download was interrupted) it stays in
// dfuERROR with errFIRMWARE, as a boot loader must.
//
// Fault switches make it fail on purpose: an error status after block N, a stalled block N,
// a disconnect at block N, no answer to block N, a wrong byte in the read-back, a USB reset
// that does not reach it.
//
// Threads: the device serves its socket on a thread of its own; OnRestart runs there. Every
// public function may be called from any thread, except that the destructor and Start must
// not run inside OnRestart (Stop may).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lib/lmdfu/DFUProtocol.h"
#include "lib/lmdfu/VirtualUsb.h"
#include "sim/bootloader/DemoImage.h"

namespace usbsock {
class tPacketServer;
}

namespace dfu {

struct tVirtualDFUFaults {
  int StatusErrorAtBlock = -1;  // GETSTATUS after this block (0 = first) reports an error
  uint8_t StatusErrorCode = ds_errWRITE;
  int StallAtBlock = -1;       // DNLOAD of this block is stalled (dfuERROR, errSTALLEDPKT)
  int DisconnectAtBlock = -1;  // at DNLOAD of this block the device leaves the bus
  int SilentAtBlock = -1;      // DNLOAD of this block gets no answer (once)
  long WrongReadBackAt = -1;   // UPLOAD returns this byte inverted
  bool RefuseAccess = false;   // listed, but opening it for use is refused (no permission)
  bool ResetIgnored = false;   // a USB reset is acknowledged but changes nothing (as a driver
                               // that resets only the pipes leaves it)
};

struct tVirtualDFUOptions {
  uint16_t VendorID = CardVendorID;
  uint16_t ProductID = CardProductID;
  uint16_t Release = 0x0100;
  std::string Manufacturer = "Caddis";
  std::string Product = "Caddis card DFU boot loader";
  std::string Serial = "SIM00001";
  std::string InterfaceName = "Tiva firmware";
  uint8_t Attributes = AttrCanDnload | AttrCanUpload | AttrManifestationTolerant;
  uint16_t TransferSize = 1024;
  uint16_t DetachTimeOut = 1000;
  uint32_t PollTimeoutMs = 2;      // bwPollTimeout while a block is programmed
  uint32_t ManifestTimeoutMs = 5;  // bwPollTimeout during manifestation
  size_t FlashSize = 256 * 1024;   // a download beyond this fails with errADDRESS
  bool FirmwareValid = true;       // the firmware present before any download is good
  std::vector<uint8_t> Firmware;   // what UPLOAD returns before any download
  tVirtualDFUFaults Faults;
  std::string Folder;  // empty: this machine's virtual USB folder (created if needed)
  std::string Name;    // socket file name; empty: "dfu-<pid>-<n>"
};

enum tRestartReason { rr_Reset, rr_Detach, rr_Disconnected };

struct tVirtualDFURestart {
  tRestartReason Reason = rr_Reset;
  bool NewFirmware = false;    // a download completed since Start()
  bool FirmwareValid = false;  // false only after rr_Disconnected mid-download
  std::vector<uint8_t> Firmware;
  int FirmwareVersion = -1;  // DemoFirmwareVersion of it
};

class tVirtualDFUDevice {
 public:
  explicit tVirtualDFUDevice(tVirtualDFUOptions aOptions = {});
  ~tVirtualDFUDevice();
  tVirtualDFUDevice(const tVirtualDFUDevice&) = delete;
  tVirtualDFUDevice& operator=(const tVirtualDFUDevice&) = delete;

  // Publishes the device in dfuIDLE. False with a reason in *aError on failure.
  bool Start(std::string* aError = nullptr);
  // Puts the device in dfuIDLE as a boot loader just started, keeping its flash (Start does
  // this before publishing it).
  void Rearm();
  // Leaves the bus without a restart report.
  void Stop();
  bool Running() const;

  // Called after the device has left the bus on a reset, a detach or a disconnect fault.
  std::function<void(const tVirtualDFURestart&)> OnRestart;

  void SetFaults(const tVirtualDFUFaults& aFaults);

  // The firmware of the last completed download (empty before one).
  std::vector<uint8_t> ReceivedImage() const;
  int DownloadsCompleted() const;
  uint8_t State() const;
  uint8_t Status() const;
  std::string SocketPath() const;
  uint64_t RequestsServed() const;

  // What the device reported when it last left the bus (after an answer with Vanish set).
  tVirtualDFURestart LastRestart() const;

  // The device's answer to one request; public so it can be exercised without a socket, and
  // served on other wires (a USB gadget).
  struct tAnswer {
    bool Reply = true;
    std::vector<uint8_t> Packet;
    bool Vanish = false;
  };
  tAnswer Handle(const tVirtualRequest& aRequest);

 private:
  std::vector<uint8_t> Reply(std::span<const uint8_t> aData = {}) const;
  std::vector<uint8_t> StallReply();
  std::vector<uint8_t> StallToError(uint8_t aStatus = ds_errSTALLEDPKT);
  tAnswer Standard(const tVirtualRequest& aRequest);
  tAnswer Class(const tVirtualRequest& aRequest);
  tAnswer Dnload(const tVirtualRequest& aRequest);
  tAnswer Upload(const tVirtualRequest& aRequest);
  tAnswer GetStatus();
  tAnswer Restart(tRestartReason aReason);
  void CatchUpBusy();
  std::vector<uint8_t> Descriptor(uint8_t aType, uint8_t aIndex) const;

  tVirtualDFUOptions fOptions;
  std::unique_ptr<usbsock::tPacketServer> fServer;
  std::string fPath;
  mutable std::mutex fLock;
  uint8_t fState = st_DfuIdle;
  uint8_t fStatus = ds_OK;
  std::vector<uint8_t> fFlash;
  bool fFirmwareValid = true;
  bool fNewFirmware = false;
  bool fBlockPending = false;  // received, not yet programmed
  std::vector<uint8_t> fPendingData;
  bool fManifested = false;
  int64_t fBusyUntilUs = 0;
  int fBlocksReceived = 0;  // blocks of the current download
  uint16_t fNextBlock = 0;
  size_t fUploadOffset = 0;
  std::vector<uint8_t> fReceived;
  int fDownloads = 0;
  tVirtualDFURestart fRestart;
  bool fSilentUsed = false;
};

}  // namespace dfu

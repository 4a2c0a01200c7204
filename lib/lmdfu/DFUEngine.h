// The host side of the DFU 1.1 state machine over one opened device: bring the device to
// dfuIDLE, download an image block by block (each followed by GETSTATUS, honouring the
// device's poll time-out), end with the zero-length block and manifestation, read the image
// back and compare, read the device's whole image (upload), and leave DFU mode.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "lib/lmdfu/DFUProtocol.h"
#include "lib/lmdfu/DFUTransport.h"
#include "lib/lmdfu/LMDFUTypes.h"

namespace dfu {

// What the DFU functional descriptor says (or what is assumed without one).
struct tDFUFunctional {
  bool Present = false;
  uint8_t Attributes = 0;
  uint16_t DetachTimeOut = 0;
  uint16_t TransferSize = 0;
  uint16_t Version = 0;
};

// Finds the first DFU interface of aDevice (alternate setting 0 preferred) and its functional
// descriptor. False when the device has none.
bool FindDFUInterface(const tUsbDevice& aDevice, tUsbInterface& aInterface,
                      tDFUFunctional& aFunctional);

struct tDFULimits {
  unsigned TransferTimeoutMs = 5000;  // every control transfer
  unsigned MaxPollMs = 10000;         // one wait asked for by bwPollTimeout is cut to this
  unsigned MaxBusyMs = 60000;         // the longest a block or manifestation may stay busy
};

class tDFUEngine {
 public:
  using tProgress = std::function<void(uint32_t aDone)>;

  tDFUEngine(tUsbTransport& aDevice, uint8_t aInterface, const tDFUFunctional& aFunctional,
             tDFULimits aLimits = {});

  tLMDFUErr GetStatus(tDFUStatusReply& aReply);
  tLMDFUErr GetState(uint8_t& aState);
  tLMDFUErr ClearStatus();
  tLMDFUErr Abort();

  // Clears dfuERROR, aborts an idle download or upload, waits out a busy state, until the
  // device reports dfuIDLE with status OK.
  tLMDFUErr BringToIdle();
  // Writes aPayload in blocks of the transfer size, then the zero-length block, and waits
  // for manifestation. aProgress gets the bytes written after each acknowledged block.
  tLMDFUErr Download(std::span<const uint8_t> aPayload, const tProgress& aProgress);
  // Reads the device's image back from dfuIDLE and compares it with aPayload; leaves the
  // device in dfuIDLE. aProgress gets the bytes compared after each block.
  tLMDFUErr Verify(std::span<const uint8_t> aPayload, const tProgress& aProgress);
  // Reads the device's image from dfuIDLE into aImage, block by block until the device gives
  // a short block (which returns it to dfuIDLE). A device that gives more than aMaxBytes is
  // stopped there (ABORT) and the upload fails with lm_UploadTooLarge. aProgress gets the
  // bytes read after each block.
  tLMDFUErr Upload(std::vector<uint8_t>& aImage, size_t aMaxBytes, const tProgress& aProgress);
  // Makes a device in DFU mode run its firmware: DETACH if it will detach itself, else reset.
  // After the reset (done, or failed with an I/O error) the device is asked for its status:
  // it has left when it no longer answers or runs its firmware. One that still answers in DFU
  // mode fails: with lm_DeviceState when it holds no valid firmware (errFIRMWARE) or the reset
  // failed, with lm_ResetIgnored when the reset was reported done but did not reach it.
  tLMDFUErr Leave();

  // The details of the last failure, e.g. "device reports errWRITE (...) after block 3".
  const std::string& LastError() const { return fLastError; }
  uint16_t BlockSize() const { return fBlockSize; }
  // The data blocks the last Download sent (0: the device was sent nothing to write).
  uint32_t BlocksSent() const { return fBlocksSent; }

 private:
  tLMDFUErr TransferFailed(int aResult, const std::string& aWhat);
  tLMDFUErr Fail(tLMDFUErr aCode, const std::string& aText);
  void Sleep(uint32_t aMs) const;
  tLMDFUErr WaitBlockDone(const std::string& aWhat);
  tLMDFUErr Manifest();
  // UPLOAD from the start of the device's image, each block to aBlock, until a short block
  // or until aBlock sets aEnough (the upload is then aborted, returning the device to
  // dfuIDLE). A failure from aBlock ends the upload (aborted likewise) with that failure.
  using tBlockHandler =
      std::function<tLMDFUErr(std::span<const uint8_t> aBlock, bool aLast, bool& aEnough)>;
  tLMDFUErr UploadBlocks(const tBlockHandler& aBlock);

  tUsbTransport& fDevice;
  uint8_t fInterface;
  tDFUFunctional fFunctional;
  tDFULimits fLimits;
  uint16_t fBlockSize;
  uint32_t fBlocksSent = 0;
  std::string fLastError;
};

}  // namespace dfu

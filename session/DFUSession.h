// The DFU side of a firmware update, for every front end: finding the card's boot loader
// among the USB DFU devices (with filters), the one firmware image loader, the check of an
// image against a device, the download on a worker thread with its notifications, and
// sending a boot loader back to its firmware.
//
// Threads: everything runs on the caller's thread except the download itself, which runs on
// the worker that tDFUDownload owns; its notifications reach the receiver given to Start.
#pragma once

#include <array>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "lib/lmdfu/LMDFU.h"
#include "lib/lmdfu/DFUEventQueue.h"
#include "session/Flow.h"

// One USB string of a device: its index, and its text when it could be read.
struct tDFUString {
  uint8_t Index = 0;
  std::string Text;
  bool Read = false;
  bool Refused = false;  // this user may not open the device
};

struct tDFUDeviceEntry {
  int32_t Index = -1;  // in the library's enumeration
  tLMDFUDeviceInfo Info{};
  tDFUString Manufacturer, Product, Serial, Interface;
  std::string Location;  // "usb 1-2.3", or the virtual device's socket
  bool IsCard() const;
};

// Which devices a search keeps. Every condition given must hold.
struct tDFUFilter {
  bool CardOnly = true;  // the card's vendor and product only
  std::string Serial;    // the USB serial number, exactly
  std::string Location;  // the bus path, exactly
  int32_t Index = -1;    // the library's index
  bool Matches(const tDFUDeviceEntry& Entry) const;
  // Whether a serial number, location or index was given, and those conditions as the
  // operator gave them ("serial SIM00021, index 2").
  bool Narrowed() const;
  std::string Conditions() const;
};

// Opens every DFU device in turn (until the first index that does not open), keeps those
// Filter matches, with their strings read, and closes each without a reset.
std::vector<tDFUDeviceEntry> SearchDFUDevices(const tDFUFilter& Filter);

// The firmware image in memory. Load reads the file only when it is not loaded yet or has
// changed (size or modification time), so a search repeated every second stays cheap.
class tDFUImage {
 public:
  // Above this no file is a firmware image for the card (its flash is 1 MiB; a DFU image is
  // that at most plus a 16-byte suffix). The library also takes sizes of 32 bits only.
  static constexpr uint64_t MaxSize = 4u << 20;
  // The card's flash, which the firmware (the image without its suffix) must fit. The
  // library's device record carries no flash size, so this is the limit for every card.
  static constexpr uint64_t CardFlashSize = 1u << 20;

  enum tLoad { il_Loaded, il_Missing, il_NotAFile, il_TooLarge, il_Unreadable };
  // il_Loaded when the image in memory is the file's content now. Otherwise the image is
  // emptied and Error() says why ("Permission denied", "5000000 bytes is too large ...").
  tLoad Load(const std::string& Path);
  const std::string& Error() const { return fError; }

  // Never null, even for an empty image, so the library always gets an address.
  const uint8_t* Data() const { return fBytes.empty() ? &fNothing : fBytes.data(); }
  // The bytes themselves; the same vector object for the loader's whole life.
  const std::vector<uint8_t>& Bytes() const { return fBytes; }
  uint32_t Size() const { return static_cast<uint32_t>(fBytes.size()); }
  void Release();
  // How many times a file was actually read (for the loader's own checks).
  int Reads() const { return fReads; }

 private:
  std::vector<uint8_t> fBytes;
  std::string fPath;
  uint64_t fFileSize = 0;
  std::array<int64_t, 5> fStamp{};
  bool fValid = false;
  int fReads = 0;
  std::string fError;
  static constexpr uint8_t fNothing = 0;
};

// Opens the device at Index, asks the library whether Image suits it and closes it again.
// lm_Ok when it does; the open's failure or the library's refusal otherwise.
tLMDFUErr CheckDFUImage(int32_t Index, const tDFUImage& Image);

// Every check of a firmware image for the card that needs no device: a DFU suffix with the
// right CRC, made for the card's vendor and product (0xFFFF in it matches any), and firmware
// that fits FlashSize. True when it passes; Error says why not.
bool CheckFirmwareImage(const tDFUImage& Image, uint64_t FlashSize, std::string& Error);

// Opens the device at Index and, when it is the card, closes it with the reset that sends it
// back to its firmware; another device found there is left alone. True when the card was
// sent back and left DFU mode.
bool LeaveDFUMode(int32_t Index);

// One download: Start opens the device and runs LMDFUDownload on a worker thread; Finish
// waits for it, closes the device (with the reset that starts the new firmware after
// success, without it after a failure so the device can be tried again) and gives the
// result. The image must outlive the download.
class tDFUDownload {
 public:
  ~tDFUDownload();
  // OnReturned runs on the worker once the library call has returned (to wake the owner).
  // lm_Ok when the download is running; the open's failure otherwise.
  tLMDFUErr Start(int32_t Index, const tDFUImage& Image, bool Verify, tLMDFUReceiver* Receiver,
                  std::function<void()> OnReturned);
  bool Running() const { return fWorker.joinable(); }
  bool Returned() const { return fReturned; }
  tLMDFUErr Finish();
  // The library's details of the failure, read before the device was closed.
  const std::string& ErrorDetails() const { return fDetails; }
  // The data blocks sent to the device (0: its firmware is as it was).
  uint32_t BlocksSent() const { return fBlocksSent; }
  // The close's result after a good download: lm_Ok when the device left DFU mode for its
  // new firmware, the library's error when it stayed in the boot loader.
  tLMDFUErr LeaveResult() const { return fLeaveResult; }

 private:
  tLMDFUHandle fHandle = nullptr;
  std::thread fWorker;
  std::atomic<bool> fReturned{false};
  tLMDFUErr fResult = lm_Ok;
  tLMDFUErr fLeaveResult = lm_Ok;
  uint32_t fBlocksSent = 0;
  std::string fDetails;
};

// The DFU notifications of one download as phases and a fraction, for a progress display:
// the download fills the first half and the verify phase the second when verifying.
class tDFUProgress {
 public:
  explicit tDFUProgress(bool Verify) : fVerify(Verify) {}
  // Takes one notification; true when it ended the download (complete or error).
  bool Handle(uint32_t Message, uint32_t Param);
  const char* Phase() const {
    return fReading ? "Reading" : fVerifying ? "Verifying" : "Downloading";
  }
  float Fraction() const;
  // The fraction of the current phase alone.
  float PhaseFraction() const;
  uint64_t Done() const { return fDone; }
  uint64_t Total() const { return fTotal; }
  bool Failed() const { return fFailed; }

 private:
  bool fVerify;
  bool fVerifying = false;
  bool fReading = false;  // an upload: the device's image read
  bool fFailed = false;
  uint64_t fDone = 0;   // bytes of the whole download (both phases)
  uint64_t fTotal = 0;  // bytes of the whole download (both phases)
  uint64_t fPhaseStart = 0;
  uint64_t fPhaseTotal = 0;
};

// Follows a library call that runs on a worker and posts to Queue: at every step of the flow
// every notification goes to Progress and then OnEvent, until the call has returned
// (Returned, read on the caller's thread) and everything it posted has been handled, or its
// final notification has. A stop request ends only the following; the caller still waits
// for the worker, so a device is never left in the middle of a transfer.
tFlow FollowDFUFlow(tLMDFUEventQueue& Queue, std::function<bool()> Returned,
                    tDFUProgress& Progress, std::function<void(const tDFUProgress&)> OnEvent);

// Where a download left the card, and which step failed with the library's code for it.
struct tDownloadOutcome {
  bool Written = false;   // blocks were sent: the former firmware is gone
  bool Complete = false;  // the whole image was written (and verified when asked)
  bool SentBack = false;  // the card left DFU mode for the firmware it holds
  // df_Check: the library refused the image (Code); df_CardImage: the library took it, but it
  // does not fit the card's flash or vector table (Code stays lm_Ok).
  enum tStep { df_Check, df_CardImage, df_Open, df_Download, df_Leave } Step = df_Check;
  tLMDFUErr Code = lm_Ok;
};

// Checks Image against the device (and, for the card, against its flash), downloads it on a
// worker thread (verifying when Verify) and closes the device, the card then starting its
// new firmware. OnEvent gets every notification as the flow handles it. A stopped flow
// still waits for the download to end: a device is never left in the middle of one. The
// outcome's text says why it failed; FileName names the image in it.
// With SendBackUntouched, a device that refused the image or the download before a single
// block was sent to it still holds its former firmware: it is sent back to it (the text says
// so). Out tells where the download left the card.
tFlow DownloadFirmwareFlow(const tDFUDeviceEntry& Device, const tDFUImage& Image,
                           std::string FileName, bool Verify,
                           std::function<void(const tDFUProgress&)> OnEvent,
                           tDownloadOutcome& Out, bool SendBackUntouched = false);
// The same, run to its end from a loop of its own.
bool DownloadFirmware(const tDFUDeviceEntry& Device, const tDFUImage& Image,
                      const std::string& FileName, bool Verify,
                      const std::function<void(const tDFUProgress&)>& OnEvent, std::string& Error,
                      tDownloadOutcome* Outcome = nullptr, bool SendBackUntouched = false);

// "<What> error -13: verification failed: the read-back differs (<Details>)": a library call's
// failure for the operator and the service record.
std::string DFUFailureText(const std::string& What, tLMDFUErr Code, const std::string& Details);

#include "session/DFUSession.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "hostlink/CardDefs.h"
#include "lib/lmdfu/DFUSuffix.h"
#include "platform/Files.h"
#include "platform/UIThread.h"
#include "session/HostLoop.h"

namespace {

tDFUString ReadString(tLMDFUHandle Handle, uint8_t Index) {
  tDFUString String;
  String.Index = Index;
  if (Index == 0) return String;
  char Buffer[256] = {};
  uint16_t Length = sizeof Buffer;
  const tLMDFUErr Result = LMDFUDeviceASCIIStringGet(Handle, Index, Buffer, &Length);
  String.Read = Result == lm_Ok;
  String.Refused = Result == lm_Access;
  Buffer[sizeof Buffer - 1] = 0;
  String.Text = Buffer;
  return String;
}

}  // namespace

bool tDFUDeviceEntry::IsCard() const {
  return Info.usVID == CardVendorID && Info.usPID == CardProductID;
}

bool tDFUFilter::Matches(const tDFUDeviceEntry& Entry) const {
  if (CardOnly && !Entry.IsCard()) return false;
  if (!Serial.empty() && Entry.Serial.Text != Serial) return false;
  if (!Location.empty() && Entry.Location != Location) return false;
  return Index < 0 || Entry.Index == Index;
}

bool tDFUFilter::Narrowed() const {
  return !Serial.empty() || !Location.empty() || Index >= 0;
}

std::string tDFUFilter::Conditions() const {
  std::string Text;
  auto Add = [&Text](const std::string& Part) { Text += (Text.empty() ? "" : ", ") + Part; };
  if (!Serial.empty()) Add("serial " + Serial);
  if (!Location.empty()) Add("path " + Location);
  if (Index >= 0) Add("index " + std::to_string(Index));
  return Text;
}

std::vector<tDFUDeviceEntry> SearchDFUDevices(const tDFUFilter& Filter) {
  std::vector<tDFUDeviceEntry> Found;
  for (int32_t i = 0; i < INT32_MAX; ++i) {
    tDFUDeviceEntry Entry;
    tLMDFUHandle Handle = nullptr;
    if (LMDFUDeviceOpen(i, &Entry.Info, &Handle) != lm_Ok) break;
    Entry.Index = i;
    // Strings are read only for devices that may match: a search runs every second.
    if (!Filter.CardOnly || Entry.IsCard()) {
      Entry.Product = ReadString(Handle, Entry.Info.ucProductString);
      Entry.Manufacturer = ReadString(Handle, Entry.Info.ucManufacturerString);
      Entry.Serial = ReadString(Handle, Entry.Info.ucSerialString);
      Entry.Interface = ReadString(Handle, Entry.Info.ucDFUInterfaceString);
      Entry.Location = LMDFUDeviceLocation(Handle);
      if (Filter.Matches(Entry)) Found.push_back(Entry);
    }
    if (LMDFUDeviceClose(Handle, LMDFU_FALSE) != lm_Ok) break;
  }
  return Found;
}

tDFUImage::tLoad tDFUImage::Load(const std::string& Path) {
  tFiles::tFileInfo Info;
  if (int Code = 0; !tFiles::Describe(Path, Info, Code)) {
    Release();
    fError = tFiles::SystemErrorText(Code);
    return tFiles::IsNotFound(Code) ? il_Missing : il_Unreadable;
  }
  // The same file, unchanged since it was read: nothing to read again.
  if (fValid && Path == fPath && Info.Size == fFileSize && Info.Stamp == fStamp) return il_Loaded;
  Release();
  if (!Info.Regular) {
    fError = tFiles::NotRegularText(Info.Type);
    return il_NotAFile;
  }
  const uint64_t Size = Info.Size;
  if (Size > MaxSize) {
    fError = std::to_string(Size) + " bytes is too large for a firmware image";
    return il_TooLarge;
  }
  int Code = 0;
  std::string Why;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> In(
      tFiles::OpenRegular(Path, tFiles::of_Read, Code, Why), std::fclose);
  if (!In) {
    fError = Why;
    return Code == 0 ? il_NotAFile : il_Unreadable;
  }
  try {
    fBytes.resize(Size);
  } catch (const std::bad_alloc&) {
    fError = "out of memory";
    return il_Unreadable;
  }
  ++fReads;
  if (std::fread(fBytes.data(), 1, Size, In.get()) != Size) {
    Release();
    fError = "the file changed while it was read";
    return il_Unreadable;
  }
  fPath = Path;
  fFileSize = Size;
  fStamp = Info.Stamp;
  fValid = true;
  return il_Loaded;
}

void tDFUImage::Release() {
  fBytes = {};
  fValid = false;
  fError.clear();
}

tLMDFUErr CheckDFUImage(int32_t Index, const tDFUImage& Image) {
  tLMDFUDeviceInfo Info{};
  tLMDFUHandle Handle = nullptr;
  const tLMDFUErr Opened = LMDFUDeviceOpen(Index, &Info, &Handle);
  if (Opened != lm_Ok) return Opened;
  uint32_t TivaFormat = 0;
  const tLMDFUErr Verdict = LMDFUIsValidImage(Handle, Image.Data(), Image.Size(), &TivaFormat);
  LMDFUDeviceClose(Handle, LMDFU_FALSE);
  return Verdict;
}

bool CheckFirmwareImage(const tDFUImage& Image, uint64_t FlashSize, std::string& Error) {
  dfu::tSuffix Suffix;
  const dfu::tSuffixVerdict Verdict =
      dfu::CheckImage(Image.Bytes(), CardVendorID, CardProductID, false, &Suffix);
  if (Verdict != dfu::sv_Ok) {
    Error = dfu::SuffixVerdictText(Verdict, Suffix);
    return false;
  }
  if (Suffix.PayloadSize > FlashSize) {
    Error = "the firmware is " + std::to_string(Suffix.PayloadSize) +
            " bytes long; the card's flash holds " + std::to_string(FlashSize);
    return false;
  }
  return true;
}

bool LeaveDFUMode(int32_t Index) {
  if (Index < 0) return false;
  tLMDFUDeviceInfo Info{};
  tLMDFUHandle Handle = nullptr;
  if (LMDFUDeviceOpen(Index, &Info, &Handle) != lm_Ok) return false;
  const bool Card = Info.usVID == CardVendorID && Info.usPID == CardProductID;
  const tLMDFUErr Closed = LMDFUDeviceClose(Handle, Card ? LMDFU_TRUE : LMDFU_FALSE);
  return Card && Closed == lm_Ok;
}

tDFUDownload::~tDFUDownload() {
  if (fWorker.joinable()) Finish();
}

tLMDFUErr tDFUDownload::Start(int32_t Index, const tDFUImage& Image, bool Verify,
                              tLMDFUReceiver* Receiver, std::function<void()> OnReturned) {
  tLMDFUDeviceInfo Info{};
  fHandle = nullptr;
  fReturned = false;
  fBlocksSent = 0;
  fDetails.clear();
  const tLMDFUErr Opened = LMDFUDeviceOpen(Index, &Info, &fHandle);
  if (Opened != lm_Ok) {
    fHandle = nullptr;
    return Opened;
  }
  const uint8_t* Data = Image.Data();
  const uint32_t Size = Image.Size();
  auto Run = [this, Data, Size, Verify, Receiver, OnReturned = std::move(OnReturned)] {
    fResult = LMDFUDownload(fHandle, Data, Size, Verify ? LMDFU_TRUE : LMDFU_FALSE, LMDFU_FALSE,
                            Receiver);
    fReturned = true;
    if (OnReturned) OnReturned();
  };
  try {
    fWorker = std::thread(Run);
  } catch (const std::system_error&) {
    // No thread to be had: the call runs here, and progress shows only at its end.
    Run();
  }
  return lm_Ok;
}

tLMDFUErr tDFUDownload::Finish() {
  if (fWorker.joinable()) fWorker.join();
  if (!fHandle) return fResult;
  if (fResult != lm_Ok) fDetails = LMDFULastErrorText(fHandle);
  fBlocksSent = LMDFUBlocksSent(fHandle);
  fLeaveResult = LMDFUDeviceClose(fHandle, fResult == lm_Ok ? LMDFU_TRUE : LMDFU_FALSE);
  fHandle = nullptr;
  return fResult;
}

bool tDFUProgress::Handle(uint32_t Message, uint32_t Param) {
  switch (Message) {
    case WM_DFU_DOWNLOAD:
    case WM_DFU_UPLOAD:
    case WM_DFU_ERASE:
      fVerifying = false;
      fReading = Message == WM_DFU_UPLOAD;
      fPhaseStart = 0;
      fDone = 0;
      fTotal = static_cast<uint64_t>(Param) * (fVerify && Message == WM_DFU_DOWNLOAD ? 2 : 1);
      fPhaseTotal = Param;
      return false;
    case WM_DFU_VERIFY:
      fVerifying = true;
      fPhaseStart = fDone;
      fTotal = std::max<uint64_t>(fTotal, fPhaseStart + Param);
      fPhaseTotal = Param;
      return false;
    case WM_DFU_PROGRESS:
      fDone = std::min<uint64_t>(fPhaseStart + Param, fTotal);
      return false;
    case WM_DFU_COMPLETE:
      fDone = fTotal;
      return true;
    case WM_DFU_ERROR:
      fFailed = true;
      return true;
    default:
      return false;
  }
}

float tDFUProgress::PhaseFraction() const {
  if (fPhaseTotal == 0) return fDone >= fTotal && fTotal > 0 ? 1.0f : 0.0f;
  return static_cast<float>(std::min(fDone - fPhaseStart, fPhaseTotal)) /
         static_cast<float>(fPhaseTotal);
}

float tDFUProgress::Fraction() const {
  return fTotal == 0 ? 0.0f : static_cast<float>(fDone) / static_cast<float>(fTotal);
}

tFlow FollowDFUFlow(tLMDFUEventQueue& Queue, std::function<bool()> Returned, tDFUProgress& Progress,
                    std::function<void(const tDFUProgress&)> OnEvent) {
  bool Ended = false;
  co_await Until([&] {
    const bool CallReturned = Returned();
    Queue.Drain([&](const tLMDFUEvent& Event) {
      Ended = Progress.Handle(Event.Message, Event.Param) || Ended;
      if (OnEvent) OnEvent(Progress);
    });
    return Ended || (CallReturned && !Queue.WaitFor(std::chrono::milliseconds(0)));
  });
  co_return tFlowOutcome::Success();
}

std::string DFUFailureText(const std::string& What, tLMDFUErr Code, const std::string& Details) {
  return What + " error " + std::to_string(Code) + ": " + LMDFUStatusText(Code) +
         (Details.empty() ? "" : " (" + Details + ")");
}

tFlow DownloadFirmwareFlow(const tDFUDeviceEntry& Device, const tDFUImage& Image,
                           std::string FileName, bool Verify,
                           std::function<void(const tDFUProgress&)> OnEvent, tDownloadOutcome& Out,
                           bool SendBackUntouched) {
  Out = {};
  std::string Error;
  // The device still holds its firmware: when asked, it is sent back to it.
  auto Untouched = [&] {
    if (SendBackUntouched) {
      Out.SentBack = LeaveDFUMode(Device.Index);
      Error += Out.SentBack
                   ? "; nothing was written: the card restarts with its former firmware"
                   : "; nothing was written, but the card could not be sent back to its former "
                     "firmware";
    }
    return tFlowOutcome::Failed(fk_Failure, Error);
  };
  const tLMDFUErr Verdict = CheckDFUImage(Device.Index, Image);
  Out.Step = tDownloadOutcome::df_Check;
  Out.Code = Verdict;
  if (std::string Why; Verdict == lm_Ok && Device.IsCard() &&
                       !CheckFirmwareImage(Image, tDFUImage::CardFlashSize, Why)) {
    Out.Step = tDownloadOutcome::df_CardImage;
    Error = "File " + FileName + " is not compatible with this device: " + Why;
    co_return Untouched();
  }
  if (Verdict != lm_Ok) {
    Error = "File " + FileName +
            " is not compatible with this device: " + std::string(LMDFUStatusText(Verdict)) + " (" +
            std::to_string(Verdict) + ")";
    co_return Untouched();
  }
  tLMDFUEventQueue Queue;
  tDFUDownload Download;
  if (const tLMDFUErr Opened =
          Download.Start(Device.Index, Image, Verify, &Queue, [] { tUIThread::Wake(); });
      Opened != lm_Ok) {
    Out.Step = tDownloadOutcome::df_Open;
    Out.Code = Opened;
    Error = DFUFailureText("Open", Opened, {});
    co_return Untouched();
  }
  tDFUProgress Progress(Verify);
  // A download cannot be stopped half-way without leaving the device in an error state, so
  // a stop request only ends the display: the call is still waited for below.
  // (Named arguments only: GCC 12 destroys temporaries of a co_await expression twice.)
  const std::function<bool()> Running = [&] { return Download.Returned(); };
  const std::function<bool()> Over = [] { return true; };
  co_await FollowDFUFlow(Queue, Running, Progress, OnEvent);
  const tLMDFUErr Result = Download.Finish();
  co_await FollowDFUFlow(Queue, Over, Progress, OnEvent);
  if (Result != lm_Ok) {
    Out.Step = tDownloadOutcome::df_Download;
    Out.Code = Result;
    Error = DFUFailureText("Download", Result, Download.ErrorDetails());
    Out.Written = Download.BlocksSent() > 0;
    if (!Out.Written) co_return Untouched();
    co_return tFlowOutcome::Failed(fk_Failure, Error);
  }
  Out.Written = Out.Complete = true;
  // The new firmware runs only once the device has left DFU mode.
  Out.SentBack = Download.LeaveResult() == lm_Ok;
  if (const tLMDFUErr Left = Download.LeaveResult(); Left != lm_Ok) {
    Out.Step = tDownloadOutcome::df_Leave;
    Out.Code = Left;
    co_return tFlowOutcome::Failed(
        fk_Failure, "The firmware was written, but the device did not restart into it: error " +
                        std::to_string(Left) + ": " + LMDFUStatusText(Left));
  }
  co_return tFlowOutcome::Success();
}

bool DownloadFirmware(const tDFUDeviceEntry& Device, const tDFUImage& Image,
                      const std::string& FileName, bool Verify,
                      const std::function<void(const tDFUProgress&)>& OnEvent, std::string& Error,
                      tDownloadOutcome* Outcome, bool SendBackUntouched) {
  tDownloadOutcome Local;
  const tFlowOutcome Result = RunFlow(DownloadFirmwareFlow(
      Device, Image, FileName, Verify, OnEvent, Outcome ? *Outcome : Local, SendBackUntouched));
  Error = Result.Text;
  return Result.Ok;
}

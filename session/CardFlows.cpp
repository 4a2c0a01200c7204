#include "session/CardFlows.h"

#include <algorithm>
#include <set>

#include "hostlink/CardDefs.h"
#include "hostlink/CardLeaving.h"
#include "hostlink/OrvaneHost.h"
#include "lib/lmdfu/DFUSuffix.h"
#include "platform/Files.h"
#include "platform/UIThread.h"
#include "serial/ComPorts.h"
#include "session/BootTurn.h"
#include "session/FirmwareBackup.h"
#include "session/ServiceRecordReader.h"
#include "support/DisplayMessage.h"
#include "support/FilePlaces.h"
#include "support/MadeUpImage.h"

const char* const FPGARestartAdvice =
    "the FPGA runs the new bitstream only after a restart: power the card off and on to load it";

namespace {

using namespace std::chrono_literals;
using tClock = std::chrono::steady_clock;

std::string SecondsText(std::chrono::milliseconds Span) {
  const auto Ms = Span.count();
  std::string Text = std::to_string(Ms / 1000);
  if (Ms % 1000) {
    std::string Fraction = std::to_string(1000 + Ms % 1000).substr(1);
    while (Fraction.back() == '0')
      Fraction.pop_back();
    Text += "." + Fraction;
  }
  return Text;
}

std::string CardText(const std::string& Lead, int32_t Port, const tOrvaneHost& Host) {
  return Lead + " " + ComPortName(Port) + ": device ID " + std::to_string(Host.DeviceID) +
         ", firmware version " + std::to_string(Host.FirmwareVersion);
}

// ---- DFU steps -------------------------------------------------------------------------

std::string EntryKey(const tDFUDeviceEntry& Entry) {
  return Entry.Location + "\n" + Entry.Serial.Text;
}

// Runs Search every Period until it gives exactly one boot loader (success, in Found),
// several (fk_Usage, Many and their list), none by the time Limit has passed (fk_NoCard,
// None), or the flow was stopped.
tFlow PollForOneFlow(std::function<std::vector<tDFUDeviceEntry>()> Search,
                     std::chrono::milliseconds Limit, std::chrono::milliseconds Period,
                     std::string Many, std::string None, tDFUDeviceEntry& Found) {
  const auto Until = tClock::now() + Limit;
  for (;;) {
    const auto Entries = Search();
    if (Entries.size() == 1) {
      Found = Entries.front();
      co_return tFlowOutcome::Success();
    }
    if (Entries.size() > 1)
      co_return tFlowOutcome::Failed(fk_Usage, Many + BootLoaderList(Entries));
    if (tClock::now() >= Until) co_return tFlowOutcome::Failed(fk_NoCard, None);
    if (co_await For(Period) == le_Stopped) co_return tFlowOutcome::Interrupted();
  }
}

// What a download's failure means for a script.
tFailKind DownloadFailureKind(const tDownloadOutcome& Failed) {
  const tLMDFUErr Code = Failed.Code;
  switch (Failed.Step) {
    case tDownloadOutcome::df_Check:
      return Code <= lm_ImageTooShort ? fk_Image : fk_Failure;
    case tDownloadOutcome::df_CardImage:
      return fk_Image;
    case tDownloadOutcome::df_Open:
      return fk_Failure;
    case tDownloadOutcome::df_Leave:
      return fk_Verify;
    case tDownloadOutcome::df_Download:
      break;
  }
  switch (Code) {
    case lm_VerifyMismatch:
    case lm_VerifyShort:
      return fk_Verify;
    case lm_Stall:
    case lm_DeviceStatus:
    case lm_DeviceState:
    case lm_NotSupported:
      return fk_Refused;
    case lm_DeviceGone:
    case lm_Timeout:
      return fk_NoCard;
    default:
      return fk_Failure;
  }
}

// Downloads with progress to Target; the failure's kind as DownloadFailureKind gives it. With
// Outcome a device that refused the image before anything was written is sent back to its
// firmware; without it, it stays in its boot loader for another try.
tFlow DownloadFlow(tFlowReport& Report, const tDFUDeviceEntry& Device, const tDFUImage& Image,
                   std::string File, bool Verify, std::string Target, tDownloadOutcome* Outcome) {
  Report.ProgressStart(Target, Image.Size());
  // The name after the last separator of either system, taken from the UTF-8 text itself (a
  // file-system path object would read it in Windows' ANSI code page).
  const std::string FileName = File.substr(File.find_last_of("/\\") + 1);
  tDownloadOutcome Local;
  tDownloadOutcome& Out = Outcome ? *Outcome : Local;
  std::function<void(const tDFUProgress&)> OnEvent = [&Report](const tDFUProgress& Progress) {
    if (!Progress.Failed())
      Report.Progress(Progress.Phase(), Progress.Phase(), Progress.PhaseFraction());
  };
  const bool SendBack = Outcome != nullptr;
  tFlowOutcome Result =
      co_await DownloadFirmwareFlow(Device, Image, FileName, Verify, OnEvent, Out, SendBack);
  Report.ProgressEnd();
  if (!Result.Ok) Result.Kind = DownloadFailureKind(Out);
  co_return Result;
}

// A boot loader in a progress line: "USB SIM00021", by its location when it has no serial.
std::string BootLoaderName(const tDFUDeviceEntry& Device) {
  return "USB " + (Device.Serial.Text.empty() ? Device.Location : Device.Serial.Text);
}

// Loads a firmware image and checks that it fits the card: done before the card leaves its
// link, as an image refused later would leave the card in its boot loader for nothing.
tFlowOutcome LoadImage(const std::string& File, tDFUImage& Image, bool ForTheCard) {
  switch (Image.Load(File)) {
    case tDFUImage::il_Loaded:
      break;
    case tDFUImage::il_TooLarge:
      return tFlowOutcome::Failed(fk_Image, "cannot use " + File + ": " + Image.Error());
    default:
      return tFlowOutcome::Failed(fk_Image, "cannot read " + File + ": " + Image.Error());
  }
  if (std::string Why; ForTheCard && !CheckFirmwareImage(Image, tDFUImage::CardFlashSize, Why))
    return tFlowOutcome::Failed(fk_Image, "cannot use " + File + ": " + Why);
  return tFlowOutcome::Success();
}

// The size of the bytes loaded, for the start event; none when they were not.
std::optional<uint64_t> LoadedSize(const tDFUImage& Image) {
  if (Image.Bytes().empty()) return std::nullopt;
  return Image.Size();
}

// Reads the card's firmware back from its boot loader and keeps it, for the record.
tFlow KeepOldFlow(tFlowReport& Report, const tDFUDeviceEntry& Device, tCardFacts Card, int32_t Port,
                  tAdapterIdentity Adapter, tServiceRecorder& Record) {
  Report.Line("Reading the card's firmware back before the update");
  Report.ProgressStart(ComPortName(Port), tDFUImage::CardFlashSize);
  tKeptFirmware Kept;
  std::function<void(const tDFUProgress&)> OnEvent = [&Report](const tDFUProgress& Progress) {
    if (!Progress.Failed())
      Report.Progress(Progress.Phase(), Progress.Phase(), Progress.PhaseFraction());
  };
  // Beside the record the update's line goes to.
  const std::string Folder = KeptFirmwareFolder(Record.RecordPath());
  const tFlowOutcome Outcome =
      co_await KeepFirmwareFlow(Device, Card, OnEvent, Kept, Folder, Adapter);
  Report.ProgressEnd();
  if (!Outcome.Ok) co_return Outcome;
  Report.Line("The card's firmware is kept in " + Kept.Path);
  Record.SetKept(Kept.Path, Kept.SHA256);
  co_return tFlowOutcome::Success();
}

// Where a card left in its boot loader is, and how the operator brings it back: "the card from
// COM5 is in its USB DFU boot loader (serial S); bring it back with ...". Switching the card
// off and on starts the firmware it holds, when that is whole.
std::string StrandedText(const tFlowReport& Report, const std::string& File, int32_t Port,
                         const std::string& Serial, bool FirmwareWhole) {
  const std::string Command = Report.BringBackCommand(File, Serial, Port);
  return "the card from " + ComPortName(Port) + " is in its USB DFU boot loader" +
         (Serial.empty() ? "" : " (serial " + Serial + ")") +
         (Command.empty() ? std::string(FirmwareWhole ? "; bring it back" : "")
                          : "; bring it back with " + Command) +
         (FirmwareWhole ? (Command.empty() ? " by switching it off and on"
                                           : ", or by switching it off and on")
                        : "");
}

// The download into the boot loader Device and the card's return on the session's port (the
// card that left, Leaving). Written is set once the whole image is in.
tFlow DownloadAndReturnFlow(tCardSession& Session, tFlowReport& Report,
                            const tFirmwareRequest& Request, const tDFUImage& Image,
                            tDFUDeviceEntry Device, tCardIdentity Leaving, bool* Written) {
  const int32_t Port = Session.ComPort;
  tDownloadOutcome Outcome;
  const std::string Target = ComPortName(Port);
  tFlowOutcome Downloaded =
      co_await DownloadFlow(Report, Device, Image, Request.File, Request.Verify, Target, &Outcome);
  if (!Downloaded.Ok) {
    if (Outcome.SentBack) {
      // A card whose boot loader was sent back is waited for; the failure stands.
      const tReturnRequest Return{
          .Limit = Request.ReturnTimeout, .NotBack = fk_NoCard, .Expected = Leaving};
      tFlowOutcome Returned = co_await WaitForReturnFlow(Session, Report, 0ms, Return);
      co_return Returned.Ok ? Downloaded : Returned;
    }
    Downloaded.Text += "; " + StrandedText(Report, Request.File, Port, Device.Serial.Text,
                                           !Outcome.Written || Outcome.Complete);
    co_return Downloaded;
  }
  if (Written) *Written = true;
  Report.Line("Device updated successfully");
  if (co_await For(0ms) == le_Stopped)
    co_return tFlowOutcome::Interrupted("interrupted: the card from " + ComPortName(Port) +
                                        " restarts with its new firmware by itself");
  // A firmware that does not start leaves the card in its boot loader: the boot loader that
  // left the bus after the download is seen on it again (twice, so a passing re-enumeration
  // does not count), and the card is not awaited any longer.
  const std::string Serial = Device.Serial.Text;
  int Absent = 0, PresentAgain = 0;
  tDFUFilter Filter = Request.Filter;
  Filter.Serial = Serial;
  Filter.Location.clear();
  Filter.Index = -1;
  std::function<std::string()> Stayed = [&Absent, &PresentAgain, Filter, Serial] {
    if (Serial.empty()) return std::string();
    if (SearchDFUDevices(Filter).size() != 1)
      ++Absent;
    else if (Absent > 0)
      ++PresentAgain;
    if (PresentAgain < 2) return std::string();
    return "the new firmware did not start: the card stayed in its boot loader (serial " + Serial +
           ")";
  };
  const tReturnRequest NewFirmware{
      .Limit = Request.ReturnTimeout, .NotBack = fk_Verify, .Expected = Leaving, .Abandon = Stayed};
  tFlowOutcome Back = co_await WaitForReturnFlow(Session, Report, 0ms, NewFirmware);
  co_return Back;
}

// Once the card has identified itself on the session's link: Boot, its boot loader, its
// firmware kept (for an update, with the backup asked for; its failure ends the update before
// anything is written) or, for a restore (Restoring: the card the image was kept from), its
// boot loader's serial compared with the kept one, the download and the card's return.
// Written is set once the whole image is in the card.
tFlow BootAndDownloadFlow(tCardSession& Session, tFlowReport& Report,
                          const tFirmwareRequest& Request, const tDFUImage& Image,
                          tServiceRecorder& Record, const tKeptCard* Restoring,
                          bool* Written = nullptr) {
  const int32_t Port = Session.ComPort;
  const tCardFacts Card = CardFactsOf(Session.Host.get());
  const tCardIdentity Leaving = Session.CardIdentity();
  const tReturnRequest Return{
      .Limit = Request.ReturnTimeout, .NotBack = fk_NoCard, .Expected = Leaving};
  // One card at a time from its Boot until its boot loader is found, among every program of
  // this user: the one new boot loader is then this card's.
  tBootTurn Turn;
  for (bool Waiting = true; Waiting;) {
    std::string Error;
    switch (Turn.TryTake(Error)) {
      case tBootTurn::bt_Taken:
        Waiting = false;
        break;
      case tBootTurn::bt_Unusable:
        Report.Warning(Error);
        Waiting = false;
        break;
      case tBootTurn::bt_Busy:
        if (co_await For(tCardSession::PollPeriod) == le_Stopped)
          co_return tFlowOutcome::Interrupted();
        break;
    }
  }
  Report.Line("Boot sent on " + ComPortName(Port) + ": waiting for its boot loader on USB");
  // From here on the card is in its boot loader until it is sent back: a stop or a failure
  // says where it is and how to bring it back.
  auto Stranded = [&](const std::string& Serial, bool FirmwareWhole) {
    return StrandedText(Report, Request.File, Port, Serial, FirmwareWhole);
  };
  tDFUDeviceEntry Device;
  tFlowOutcome Found =
      co_await BootToLoaderFlow(Session, Request.Filter, Request.BootTimeout, Device);
  if (!Found.Ok) {
    if (Found.Stopped())
      co_return tFlowOutcome::Interrupted("interrupted: " + Stranded(std::string(), true));
    co_return tFlowOutcome::Failed(fk_NoCard, Found.Text);
  }
  Turn.Release();
  Report.BootLoader(Device);
  Record.SetBootLoader(Device.Serial.Text);
  // A card whose boot loader was sent back is waited for; the failure stands.
  auto SentBack = [&](tFlowOutcome Failed) -> tFlow {
    tFlowOutcome Returned = co_await WaitForReturnFlow(Session, Report, 0ms, Return);
    co_return Returned.Ok ? Failed : Returned;
  };
  // Firmware kept from another card's boot loader is never put into this one unasked.
  if (Restoring && Device.Serial.Text != Restoring->BootLoaderSerial) {
    const std::string Serials =
        "kept from the boot loader with serial " +
        (Restoring->BootLoaderSerial.empty() ? std::string("(not known)")
                                             : Restoring->BootLoaderSerial) +
        ", this card's boot loader has serial " + Device.Serial.Text;
    if (!Request.AnyCard) {
      const std::string Refused = "the kept firmware " + Request.File + " is another card's (" +
                                  Serials + "); nothing was written";
      if (LeaveDFUMode(Device.Index)) {
        const tFlowOutcome Failed =
            tFlowOutcome::Failed(fk_Image, Refused + ": the card restarts with its firmware");
        tFlowOutcome Back = co_await SentBack(Failed);
        co_return Back;
      }
      co_return tFlowOutcome::Failed(fk_Image, Refused + "; " + Stranded(Device.Serial.Text, true));
    }
    const std::string Override = "restored with --any-card: " + Serials;
    Report.Warning(Override);
    const std::string Before = Record.Entry().Override;
    Record.SetOverride(Before.empty() ? Override : Before + "; " + Override);
  }
  if (!Restoring && Request.Backup) {
    tFlowOutcome Kept = co_await KeepOldFlow(Report, Device, Card, Port, Leaving.Adapter, Record);
    if (!Kept.Ok) {
      if (LeaveDFUMode(Device.Index)) {
        const tFlowOutcome Failed = tFlowOutcome::Failed(
            fk_Failure,
            Kept.Text + "; nothing was written: the card restarts with its former firmware");
        tFlowOutcome Back = co_await SentBack(Failed);
        co_return Back;
      }
      co_return tFlowOutcome::Failed(fk_Failure,
                                     Kept.Text + "; " + Stranded(Device.Serial.Text, true));
    }
  }
  tFlowOutcome Done =
      co_await DownloadAndReturnFlow(Session, Report, Request, Image, Device, Leaving, Written);
  co_return Done;
}

}  // namespace

void FinishRecord(tServiceRecorder& Record, const tCardSession& Session, tFlowReport& Report,
                  const tFlowOutcome& Outcome) {
  const tServiceResult Result = Outcome.Ok          ? sr_Succeeded
                                : Outcome.Stopped() ? sr_Interrupted
                                                    : sr_Failed;
  // A stop while the card was awaited ends without a failure text of its own.
  const std::string Failure = Outcome.Ok                 ? std::string()
                              : !Outcome.Text.empty()    ? Outcome.Text
                              : Result == sr_Interrupted ? std::string("interrupted")
                                                         : std::string("failed");
  std::string Error;
  Record.Finish(Session, Result, Failure, Error);
  Report.Recorded(Record.RecordPath(), Error);
}

tFlow RecordOnReturnFlow(tCardSession& Session, tFlowReport& Report, tServiceRecorder& Record,
                         tFlowOutcome Outcome, std::chrono::milliseconds Limit) {
  const uint32_t Openings = Session.Openings();
  co_await Until(
      [&] { return Session.Openings() != Openings && Session.Host && Session.Host->DeviceID != 0; },
      Limit);
  FinishRecord(Record, Session, Report, Outcome);
  co_return Outcome;
}

// Sends Boot to the identified card, closes the link and waits up to Limit for a boot loader
// that Filter matches and that was not present before. When more than one new one appears it
// stops, listing them and asking for the serial number.
tFlow BootToLoaderFlow(tCardSession& Session, tDFUFilter Filter, std::chrono::milliseconds Limit,
                       tDFUDeviceEntry& Found) {
  if (!Session.Host) co_return tFlowOutcome::Failed(fk_NoCard, "no link to the card");
  std::set<std::string> Before;
  for (const auto& Entry : SearchDFUDevices(Filter))
    Before.insert(EntryKey(Entry));
  Session.SendBoot();
  if (co_await For(tCardSession::BootPause) == le_Stopped) co_return tFlowOutcome::Interrupted();
  Session.Close();
  // (Every argument of a flow awaited here is a named object: GCC 12 destroys temporaries of
  // a co_await expression twice.)
  std::function<std::vector<tDFUDeviceEntry>()> SearchNew = [Filter, Before] {
    std::vector<tDFUDeviceEntry> New;
    for (const auto& Entry : SearchDFUDevices(Filter))
      if (!Before.count(EntryKey(Entry))) New.push_back(Entry);
    return New;
  };
  const std::string Many =
      "more than one new boot loader appeared; give the card's with --serial:\n";
  const std::string None = "no new boot loader appeared on USB within " + SecondsText(Limit) +
                           " s after Boot (vendor 0x1CBE, product 0x00FF)";
  tFlowOutcome Outcome =
      co_await PollForOneFlow(SearchNew, Limit, tCardSession::PollPeriod, Many, None, Found);
  co_return Outcome;
}

// Polls every second (as the update dialog does) until Filter matches exactly one boot
// loader, or Limit has passed. With several it stops at once, listing them.
tFlow FindBootLoaderFlow(tDFUFilter Filter, std::chrono::milliseconds Limit,
                         tDFUDeviceEntry& Found) {
  const std::string None = "No USB DFU devices found (vendor 0x1CBE, product 0x00FF)";
  std::function<std::vector<tDFUDeviceEntry>()> Search = [Filter] {
    return SearchDFUDevices(Filter);
  };
  const std::string Many =
      "more than one boot loader found; choose one with --serial, --path or --index:\n";
  tFlowOutcome Outcome = co_await PollForOneFlow(Search, Limit, 1000ms, Many, None, Found);
  // Boot loaders may be there but none the one asked for: say so, and which are there.
  if (!Outcome.Ok && Outcome.Text == None && Filter.Narrowed()) {
    tDFUFilter Any = Filter;
    Any.Serial.clear();
    Any.Location.clear();
    Any.Index = -1;
    if (const auto Present = SearchDFUDevices(Any); !Present.empty())
      Outcome.Text = "no USB DFU device matches " + Filter.Conditions() + "; present:\n" +
                     BootLoaderList(Present);
  }
  co_return Outcome;
}

// ---- The link ----------------------------------------------------------------------------

tFlow IdentityFlow(tCardSession& Session, std::chrono::milliseconds Timeout) {
  if (!Session.Host) co_return tFlowOutcome::Failed(fk_NoCard, "no link to the card");
  const tOrvaneHost& Host = *Session.Host;
  // A keep-alive that went out (count up) and came back (count cleared) shows a card that
  // answers but has not given a usable identity, which deserves its own explanation.
  int32_t LastFailCount = Host.GetAYTFailCount();
  bool Answered = false;
  // A port that hangs up can bring no answer any more: that ends the wait at once.
  auto HungUp = [&] { return Host.ComPort && Host.ComPort->HungUp(); };
  const tLoopEnd End = co_await Until(
      [&] {
        const int32_t FailCount = Host.GetAYTFailCount();
        if (LastFailCount > 0 && FailCount == 0) Answered = true;
        LastFailCount = FailCount;
        return Host.DeviceID != 0 || HungUp();
      },
      Timeout);
  if (End == le_Done && Host.DeviceID != 0) co_return tFlowOutcome::Success();
  const std::string Port = ComPortName(static_cast<int32_t>(Host.ComPortID));
  const std::string Within = " within " + SecondsText(Timeout) + " s";
  if (End == le_Stopped) co_return tFlowOutcome::Interrupted();
  std::string Error;
  if (HungUp())
    Error = "the card's port " + Port + " hung up before the card identified itself";
  else if (Answered && Host.GetStatusReplies() > 0)
    Error = "the card on " + Port + " answers but has not identified itself" + Within +
            " (its Status reply carries device ID 0)";
  else if (Answered && Host.GetDiscardedFrames() > 0)
    Error = "the card on " + Port + " answers but its identity did not arrive" + Within +
            " (its Status reply was lost or damaged on the link)";
  else if (Answered)
    Error = "the card on " + Port + " answers but has not answered the Status request" + Within;
  else
    Error = "no answer from the card on " + Port + Within + " (is it powered and connected?)";
  co_return tFlowOutcome::Failed(fk_NoCard, Error);
}

tFlow OpenIdentifiedFlow(tCardSession& Session, int32_t Port, std::chrono::milliseconds Timeout) {
  if (std::string Error; !Session.OpenCard(Port, Error))
    co_return tFlowOutcome::Failed(fk_Port, Error);
  Session.Host->AskIdentity();
  co_return co_await IdentityFlow(Session, Timeout);
}

tFlow WaitForCardFlow(tCardSession& Session, std::chrono::milliseconds Limit,
                      std::function<std::string()> Abandon) {
  const auto Until = tClock::now() + Limit;
  std::string LastError;
  for (;;) {
    // Only a port that is listed again is tried, so the waiting leaves no failed opens in
    // the log file.
    if (Session.PortListed() && Session.OpenCard(Session.ComPort, LastError)) {
      Session.Host->AskIdentity();
      tFlowOutcome Identified = co_await IdentityFlow(Session, tCardSession::IdentityTimeout);
      if (Identified.Ok || Identified.Stopped()) co_return Identified;
      // A restarting card's port may still be the old one, or come and go, for a moment: a
      // port that hangs up is tried again until the time is up.
      const bool HungUp = Session.Host->ComPort && Session.Host->ComPort->HungUp();
      Session.Close();
      if (!HungUp || tClock::now() >= Until) co_return Identified;
      LastError = Identified.Text;
    }
    if (tClock::now() >= Until)
      co_return tFlowOutcome::Failed(
          fk_NoCard, "the card did not come back on " + ComPortName(Session.ComPort) + " within " +
                         SecondsText(Limit) + " s" + (LastError.empty() ? "" : ": " + LastError));
    if (Abandon)
      if (std::string Why = Abandon(); !Why.empty()) co_return tFlowOutcome::Failed(fk_NoCard, Why);
    if (co_await For(tCardSession::PollPeriod) == le_Stopped) co_return tFlowOutcome::Interrupted();
  }
}

// ---- Restart -----------------------------------------------------------------------------

tFlow RestartSeenLeavingFlow(tCardSession& Session, tCardSession::tRestartSeen& Seen) {
  Seen = tCardSession::rs_NotSent;
  if (!Session.Host) co_return tFlowOutcome::Failed(fk_NoCard, "no link to the card");
  tOrvaneHost& Host = *Session.Host;
  const std::string Port = ComPortName(Session.ComPort);
  // The probes are the watch's own: the keep-alive stays off and their traffic is not shown,
  // only the Restart is.
  const bool Logging = Host.Logging;
  Host.AYTActive = false;
  Host.Logging = false;
  tCardLeaveWatch Leaving(Host, Session.ComPort);
  // Each answer is taken as it arrives (the loop steps the flow on every wake-up), so the
  // round trip is the link's.
  const tLoopEnd Measured = co_await Until([&] { return Leaving.Calibrate(tClock::now()); },
                                           tCardSession::IdentityTimeout);
  Host.Logging = Logging;
  if (Measured == le_Stopped) {
    Seen = tCardSession::rs_Interrupted;
    co_return tFlowOutcome::Interrupted();
  }
  if (Measured != le_Done)
    co_return tFlowOutcome::Failed(fk_NoCard,
                                   "no answer from the card on " + Port + " within " +
                                       SecondsText(tCardSession::IdentityTimeout) +
                                       " s (is it powered and connected?); Restart not sent");
  Leaving.SendRestart(tClock::now());
  Host.Logging = false;
  // A card still answering every probe after the pause did not restart: its coming "back"
  // would prove nothing.
  const tLoopEnd Watched = co_await Until(
      [&] {
        Leaving.Step(tClock::now());
        return Leaving.Left();
      },
      tCardSession::DownPause);
  Host.Logging = Logging;
  const bool Left = Leaving.Left();
  Session.Close();
  if (Watched == le_Stopped) {
    Seen = tCardSession::rs_Interrupted;
    co_return tFlowOutcome::Interrupted();
  }
  if (Left) {
    Seen = tCardSession::rs_Left;
    co_return tFlowOutcome::Success();
  }
  Seen = tCardSession::rs_Stayed;
  co_return tFlowOutcome::Failed(fk_Failure, "the card on " + Port +
                                                 " did not restart: it answered every keep-alive "
                                                 "for " +
                                                 SecondsText(tCardSession::DownPause) +
                                                 " s after the Restart");
}

tFlow WaitForReturnFlow(tCardSession& Session, tFlowReport& Report, std::chrono::milliseconds Pause,
                        tReturnRequest Request) {
  Report.Line("Waiting for the card on " + ComPortName(Session.ComPort));
  // After an accepted image the card's leaving is part of the update: a card gone for good
  // (unplugged meanwhile) is said as such, also when the wait is stopped.
  const std::string Gone = Request.Accepted.empty()
                               ? std::string()
                               : Request.Accepted +
                                     " accepted; the card left during its restart and did not "
                                     "come back";
  if (co_await For(Pause) == le_Stopped) co_return tFlowOutcome::Interrupted(Gone);
  tFlowOutcome Back = co_await WaitForCardFlow(Session, Request.Limit, Request.Abandon);
  if (Back.Stopped()) co_return tFlowOutcome::Interrupted(Gone);
  if (!Back.Ok)
    co_return tFlowOutcome::Failed(Request.NotBack,
                                   Gone.empty() ? Back.Text : Gone + " (" + Back.Text + ")");
  // A card swapped for another in the same port answers as well: only the card that left
  // counts as back. The other one is a card of its own, never reported as this one's return.
  if (Request.Expected.Known()) {
    const tCardIdentity Now = Session.CardIdentity();
    if (!SameCard(Request.Expected, Now)) {
      Report.Line(CardText("Another card on", Session.ComPort, *Session.Host));
      Report.Card(*Session.Host, "other");
      co_return tFlowOutcome::Failed(
          Request.NotBack, "the card on " + ComPortName(Session.ComPort) +
                               " is not the card that was " + Request.Done + " (that was " +
                               CardIdentityText(Request.Expected) + "; this is " +
                               CardIdentityText(Now) + ")");
    }
  }
  Report.Line(CardText("Card back on", Session.ComPort, *Session.Host));
  Report.Card(*Session.Host, "after");
  co_return tFlowOutcome::Success();
}

tFlow RestartAndReturnFlow(tCardSession& Session, tFlowReport& Report, tReturnRequest Request) {
  // The card must be seen to leave, or a lost Restart would pass for a quick one.
  tCardSession::tRestartSeen Seen = tCardSession::rs_NotSent;
  const int32_t Port = Session.ComPort;
  if (!Request.Expected.Known()) Request.Expected = Session.CardIdentity();
  tFlowOutcome Restarted = co_await RestartSeenLeavingFlow(Session, Seen);
  if (Seen == tCardSession::rs_Interrupted) co_return Restarted;
  if (Seen == tCardSession::rs_NotSent) co_return tFlowOutcome::Failed(fk_NoCard, Restarted.Text);
  Report.Line("Restart sent on " + ComPortName(Port));
  // A card that kept answering did not restart: after an update it does not run the new image.
  if (Seen == tCardSession::rs_Stayed)
    co_return tFlowOutcome::Failed(
        Request.NotBack == fk_Verify ? fk_Verify : fk_Failure,
        Restarted.Text + (Request.IfStaying.empty() ? "" : "; " + Request.IfStaying));
  co_return co_await WaitForReturnFlow(Session, Report, 0ms, Request);
}

// ---- Images over the link ------------------------------------------------------------------

tFlowOutcome CheckReadableImage(const std::string& File, uint64_t& Size) {
  tFiles::tFileInfo Info;
  int Code = 0;
  if (!tFiles::Describe(File, Info, Code) || (Code = tFiles::ReadAccess(File)) != 0)
    return tFlowOutcome::Failed(fk_Image,
                                "cannot read " + File + ": " + tFiles::SystemErrorText(Code));
  if (!Info.Regular)
    return tFlowOutcome::Failed(fk_Image,
                                "cannot read " + File + ": " + tFiles::NotRegularText(Info.Type));
  Size = Info.Size;
  return tFlowOutcome::Success();
}

std::string WrongKindReason(const std::string& File, std::span<const uint8_t> Bytes,
                            tImageKind Kind) {
  // A DFU suffix with its CRC right marks firmware: it goes to the card's boot loader.
  if (dfu::tSuffix Suffix; dfu::ParseSuffix(Bytes, Suffix) == dfu::sv_Ok)
    return File + " is a firmware image (it has a DFU suffix): update it with caddis " +
           "update-firmware";
  const std::string MadeUp = MadeUpImageName(Bytes);
  const bool MadeUpFPGA = MadeUp == MadeUpFPGAName, MadeUpUSBAudio = MadeUp == MadeUpUSBAudioName;
  if (Kind == ik_FPGA && MadeUpUSBAudio)
    return File + " is the made-up USB-audio image, not an FPGA bitstream";
  if (Kind == ik_USBAudio && MadeUpFPGA)
    return File + " is the made-up FPGA bitstream, not a USB-audio image";
  // Every .bit file the FPGA tools write starts with these bytes (a length-prefixed fixed
  // field, then the key of the design-name field).
  static constexpr uint8_t BitFileHead[] = {0x00, 0x09, 0x0f, 0xf0, 0x0f, 0xf0, 0x0f,
                                            0xf0, 0x0f, 0xf0, 0x00, 0x00, 0x01, 0x61};
  if (Kind == ik_USBAudio && Bytes.size() >= sizeof BitFileHead &&
      std::equal(std::begin(BitFileHead), std::end(BitFileHead), Bytes.begin()))
    return File + " is an FPGA bitstream (it starts with a .bit file's header), not a USB-audio " +
           "image";
  return {};
}

namespace {

// The image read must be one the updater sends (read, not empty, not too large); the reason,
// with the operator's own file name, otherwise.
tFlowOutcome CheckImageBytes(const tImageFile& Image) {
  const std::string& File = Image.Path;
  if (!Image.Read && Image.Size <= static_cast<uint64_t>(tTivaFileUpdater::MaxFileSize))
    return tFlowOutcome::Failed(fk_Image, "cannot read " + File + ": " + Image.Error);
  if (Image.Read && Image.Bytes.empty())
    return tFlowOutcome::Failed(fk_Image, "cannot send " + File + ": the file is empty");
  if (Image.Size > static_cast<uint64_t>(tTivaFileUpdater::MaxFileSize))
    return tFlowOutcome::Failed(fk_Image, "cannot send " + File + ": it is " +
                                              std::to_string(Image.Size) + " bytes long, at most " +
                                              std::to_string(tTivaFileUpdater::MaxFileSize) +
                                              " fit");
  return tFlowOutcome::Success();
}

struct tTransfer {
  bool Finished = false;
  tTivaUpdateError Code = tu_Ack;
  float Progress = 0;
  tTivaUpdateEnd End = ue_Running;  // what ended it, as the updater tells
};

// A card that stopped answering or whose port hung up is gone; any other end was the card's
// refusal.
tFailKind AbortKind(const tTransfer& Transfer) {
  if (Transfer.End == ue_LinkLost) return fk_NoCard;
  if (Transfer.End == ue_WrongReply || Transfer.End == ue_DamagedReply) return fk_Refused;
  return Transfer.Code == tu_NoAnswer ? fk_NoCard : fk_Refused;
}

std::string Percent(float Fraction) {
  return std::to_string(ProgressPercent(Fraction)) + "%";
}

// The transfer itself, on the open link, until the card has answered the finish packet,
// refused the image, or left a packet unanswered for AckTimeout (counted by the updater from
// the packet last sent, so from the card's last answer of any kind).
tFlow TransferFlow(tCardSession& Session, tFlowReport& Report, const tImageUpdateRequest& Request,
                   const tImageFile& Image, tServiceRecorder& Record) {
  const std::string& Path = Image.Path;
  const std::string What = Request.What;
  const std::string LineLabel = What + " update";
  tTransfer Transfer;
  Report.ProgressStart(ComPortName(Session.ComPort), Image.Bytes.size());
  auto OnProgress = [&](float Progress, tTivaUpdateError) {
    Transfer.Progress = Progress;
    Report.Progress(What, LineLabel, Progress);
  };
  auto OnFinish = [&](float Progress, tTivaUpdateError AckCode) {
    Transfer.Finished = true;
    Transfer.End = Session.Host ? Session.Host->FileUpdateEnd() : ue_LinkLost;
    Transfer.Code = AckCode;
    Transfer.Progress = Progress;
  };
  Session.Host->FileAckTimeout = Request.AckTimeout;
  Session.StartUpdate(Request.Kind, Image, OnProgress, OnFinish);
  // A missing or unusable image was refused with its reason already shown.
  if (!Session.Host->Updating() && !Transfer.Finished) {
    Report.ProgressEnd();
    const tImageFacts& Facts = Record.Entry().Image;
    co_return tFlowOutcome::Failed(fk_Image, Facts.Known || Facts.Error.empty()
                                                 ? What + " update did not start"
                                                 : "cannot read " + Path + ": " + Facts.Error);
  }
  const tLoopEnd End = co_await Until([&] { return Transfer.Finished; });
  if (Transfer.Finished && Transfer.Code == tu_Ack) Report.Progress(What, LineLabel, 1.0f);
  Report.ProgressEnd();
  if (End == le_Stopped && !Transfer.Finished) {
    // The transfer ends with the link; the card drops a transfer that stops coming.
    Session.Close();
    co_return tFlowOutcome::Interrupted(Request.StoppedDuringTransfer.empty()
                                            ? What + " update interrupted at " +
                                                  Percent(Transfer.Progress)
                                            : Request.StoppedDuringTransfer);
  }
  if (Transfer.End == ue_NoAnswer)
    co_return tFlowOutcome::Failed(
        fk_NoCard, What + " update aborted: no answer from the card for " +
                       SecondsText(Request.AckTimeout) + " s at " + Percent(Transfer.Progress));
  if (Transfer.Code != tu_Ack)
    co_return tFlowOutcome::Failed(
        AbortKind(Transfer),
        What + " update aborted at " + Percent(Transfer.Progress) + ": " +
            (Transfer.End == ue_LinkLost
                 ? "the card's port " + ComPortName(Session.ComPort) + " hung up"
                 : FileUpdateFailure(Transfer.End, Transfer.Code)));
  co_return tFlowOutcome::Success();
}

}  // namespace

namespace {

// A record that can never take the update's line refuses the update before the card is touched.
tFlowOutcome CheckRecordPlace(const tRecordRequest& Record) {
  if (std::string Error; !ServiceRecordUsable(ServiceRecordPath(Record.Path), Error))
    return tFlowOutcome::Failed(fk_Failure, Error);
  return tFlowOutcome::Success();
}

std::string Trimmed(const std::string& Text) {
  const auto End = Text.find_last_not_of(std::string(" \0", 2));
  return End == std::string::npos ? std::string() : Text.substr(0, End + 1);
}

std::string LowerCase(std::string Text) {
  for (char& C : Text)
    C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Text;
}

// Writes the record's line with Result and Failure as they are.
void FinishAs(tServiceRecorder& Record, const tCardSession& Session, tFlowReport& Report,
              tServiceResult Result, const std::string& Failure) {
  std::string Error;
  Record.Finish(Session, Result, Failure, Error);
  Report.Recorded(Record.RecordPath(), Error);
}

// The SHA-256 of the image the card took in its last USB-audio update, as the record tells:
// the newest update of this card (by device ID and adapter; a skip changed nothing) when it
// succeeded. Empty when there is none, when it did not succeed (the card may hold half an
// image), when the record cannot be read, or when the card's port names no adapter: cards of
// one type share their device ID, so without the adapter the record cannot tell them apart.
std::string LastUSBAudioImage(const tCardSession& Session, const std::string& RecordPath) {
  const tCardIdentity Card = Session.CardIdentity();
  if (!Card.Known() || !Card.Adapter.Known()) return {};
  std::string Newest, Error;
  ReadHistory(
      ServiceRecordPath(RecordPath), {.Port = 0, .Card = Card.DeviceID},
      [&](tHistoryEntry& Entry) {
        if (Entry.Action != tRecordAction::USBAudio ||
            Entry.Result == ServiceResultName(sr_Skipped) || !Entry.Adapter.Known())
          return;
        if (!SameCard({static_cast<uint8_t>(Entry.DeviceID), Entry.Adapter}, Card)) return;
        Newest = Entry.Result == ServiceResultName(sr_Succeeded) ? Entry.ImageSHA256.value_or("")
                                                                 : std::string();
      },
      [](std::size_t) {}, Error);
  return Newest;
}

// What says the card already runs the release's image ("version 0104052026"); empty when
// nothing does (or the request names no release).
std::string CurrentImageText(const tCardSession& Session, const tImageUpdateRequest& Request,
                             const tImageFacts& Facts) {
  if (!Session.Host) return {};
  if (Request.Kind == ik_FPGA) {
    if (!Request.ExpectedVersion || Session.Host->DeviceID == 0 ||
        !SameFPGAVersion(Session.Host->FPGAVersion, *Request.ExpectedVersion))
      return {};
    return "version " + Trimmed(*Request.ExpectedVersion);
  }
  // The card does not report its USB-audio image: the record tells what it took last.
  if (!Request.ExpectedSHA256 || !Facts.Known) return {};
  if (LastUSBAudioImage(Session, Request.Record.Path) != Facts.SHA256) return {};
  return "image SHA-256 " + Facts.SHA256.substr(0, 16) + "..., as recorded for this card";
}

}  // namespace

bool SameFPGAVersion(const std::string& A, const std::string& B) {
  return Trimmed(A) == Trimmed(B);
}

tFlowOutcome CheckReleaseHash(const std::string& File, const tImageFacts& Facts,
                              const std::optional<std::string>& Expected) {
  if (!Expected) return tFlowOutcome::Success();
  if (!Facts.Known)
    return tFlowOutcome::Failed(fk_Image, "cannot read " + File + ": " + Facts.Error);
  if (Facts.SHA256 != LowerCase(*Expected))
    return tFlowOutcome::Failed(fk_Image, File + " is not the release's image: its SHA-256 is " +
                                              Facts.SHA256 + ", the release's " +
                                              LowerCase(*Expected) +
                                              " (was the file changed after it was checked?)");
  return tFlowOutcome::Success();
}

tFirmwarePolicy FirmwarePolicyOf(const std::string& File, uint8_t Now,
                                 const std::optional<uint8_t>& New, bool Force) {
  // --force sends a firmware the card already runs; a downgrade stays one.
  if (!New) return {};
  if (*New == Now && !Force)
    return {tFirmwarePolicy::fp_Current,
            "Firmware already current (version " + std::to_string(Now) + ")"};
  if (*New < Now)
    return {tFirmwarePolicy::fp_Downgrade,
            File + " holds firmware version " + std::to_string(*New) +
                ", older than the card's version " + std::to_string(Now)};
  return {};
}

tFlowOutcome CheckReleaseFits(const std::string& File, const std::vector<uint8_t>& DeviceIDs,
                              const tCardSession& Session) {
  if (DeviceIDs.empty()) return tFlowOutcome::Success();
  const uint8_t ID = Session.Host ? Session.Host->DeviceID : 0;
  if (std::find(DeviceIDs.begin(), DeviceIDs.end(), ID) != DeviceIDs.end() && ID != 0)
    return tFlowOutcome::Success();
  std::string List;
  for (const uint8_t Each : DeviceIDs)
    List += (List.empty() ? "" : ", ") + std::to_string(Each);
  return tFlowOutcome::Failed(
      fk_Image, File + " fits device IDs " + List + "; the card on " +
                    ComPortName(Session.ComPort) + " is " +
                    (ID ? "device ID " + std::to_string(ID) : std::string("not identified")));
}

tFlow ImageUpdateFlow(tCardSession& Session, tFlowReport& Report, tImageUpdateRequest Request) {
  if (tFlowOutcome Place = CheckRecordPlace(Request.Record); !Place.Ok) co_return Place;
  if (Request.OpenLink) {
    if (std::string Error; !Session.OpenCard(Request.Port, Error))
      co_return tFlowOutcome::Failed(fk_Port, Error);
  }
  if (!Session.Host) co_return tFlowOutcome::Failed(fk_Port, "no link to the card");
  const std::string Name =
      Request.Kind == ik_FPGA ? Session.Host->GetFPGAFilename() : std::string(USBAudioImageName);
  const std::string Path =
      Request.File ? *Request.File
                   : (Request.ImageFolder.empty() ? DefaultImagePath(Name)
                                                  : ImagePathIn(Request.ImageFolder, Name));
  // The image is read once: what the start event and the record say of it and what the card
  // receives are the same bytes, whatever happens to the file meanwhile.
  const tImageFile Image =
      ReadImageFile(Path, static_cast<uint64_t>(tTivaFileUpdater::MaxFileSize) + 1);
  Report.Image(Path, Image.Read ? std::optional<uint64_t>(Image.Bytes.size()) : std::nullopt);
  if (const tFlowOutcome Usable = CheckImageBytes(Image); !Usable.Ok) {
    if (Request.File) co_return Usable;
    // A default image that is not there is refused before the card is touched, as a file
    // given is: no record line. The window shows the host's own words for it; the outcome
    // says where to put it.
    if (!Image.Read) {
      DisplayMessage("Cannot Update " + std::string(Request.What) + ": file " + Path +
                     " not found");
      co_return tFlowOutcome::Failed(
          fk_Image,
          Usable.Text + "; " +
              (Request.ImageFolder.empty() ? MissingImageHint(CurrentFileFolders(), Name)
                                           : "put " + Name + " in " + Request.ImageFolder));
    }
  }
  // An image recognisably of another kind is never sent. The window names no file: the
  // default image beside the tool is refused the way the host refuses one.
  if (const std::string Wrong = WrongKindReason(Path, Image.Bytes, Request.Kind); !Wrong.empty()) {
    if (!Request.File) DisplayMessage("Cannot Update " + std::string(Request.What) + ": " + Wrong);
    co_return tFlowOutcome::Failed(fk_Image, Wrong);
  }
  if (Request.OpenLink) {
    // The link must be known good before the first packet: the transfer has no retries.
    Session.Host->AskIdentity();
    if (tFlowOutcome Identified = co_await IdentityFlow(Session, Request.IdentityTimeout);
        !Identified.Ok)
      co_return Identified;
    Report.Card(*Session.Host, "before");
  }
  const tImageFacts Facts = ImageFactsOf(Image);
  // A release's image that is not the one checked, or not for this card, is refused before
  // the first packet; one the card already runs is not sent again.
  if (tFlowOutcome Hash = CheckReleaseHash(Path, Facts, Request.ExpectedSHA256); !Hash.Ok)
    co_return Hash;
  if (tFlowOutcome Fits = CheckReleaseFits(Path, Request.DeviceIDs, Session); !Fits.Ok)
    co_return Fits;
  const char* Action = Request.Kind == ik_FPGA ? tRecordAction::FPGA : tRecordAction::USBAudio;
  tServiceRecorder Record(Request.Record.Program, Request.Record.Path);
  if (const std::string Current = CurrentImageText(Session, Request, Facts);
      !Current.empty() && !Request.Force) {
    Report.Line(std::string(Request.What) + " already current (" + Current + ")");
    Record.Begin(Session, Action, Facts);
    Record.SetRelease(Request.Release);
    FinishAs(Record, Session, Report, sr_Skipped, {});
    co_return tFlowOutcome::Success();
  }
  Record.Begin(Session, Action, Facts);
  Record.SetRelease(Request.Release);
  tFlowOutcome Outcome = co_await TransferFlow(Session, Report, Request, Image, Record);
  if (Outcome.Ok) {
    Report.ImageAccepted(Request.What);
    // The card runs the new bitstream only after a restart; the flow ends once the card is
    // back, so the next one finds its port.
    if (Session.TakeRestartDue() && Request.Restart) {
      Request.Return.Accepted = std::string(Request.What) + " image";
      Outcome = co_await RestartAndReturnFlow(Session, Report, Request.Return);
      // Back with the new bitstream, the card names the version it runs: the release's, or
      // the update did not take.
      if (Outcome.Ok && Request.Kind == ik_FPGA && Request.ExpectedVersion && Session.Host &&
          !SameFPGAVersion(Session.Host->FPGAVersion, *Request.ExpectedVersion))
        Outcome = tFlowOutcome::Failed(
            fk_Verify, "the card reports FPGA version " + Trimmed(Session.Host->FPGAVersion) +
                           " after the update, not the release's version " +
                           Trimmed(*Request.ExpectedVersion));
    }
  }
  FinishRecord(Record, Session, Report, Outcome);
  co_return Outcome;
}

// ---- Firmware over USB -------------------------------------------------------------------

tFlowOutcome InitDFULibrary(tFlowReport& Report) {
  const tLMDFUErr Status = LMDFUInit();
  if (Status != lm_Ok)
    return tFlowOutcome::Failed(
        fk_Failure, std::string("DFU library not initialised: ") + LMDFUStatusText(Status));
  if (const std::string Problem = LMDFUUsbProblem(); !Problem.empty())
    Report.Warning("real USB devices are not listed: " + Problem);
  return tFlowOutcome::Success();
}

namespace {

// Whether the card that came back after a firmware download runs it as it should: the
// version the release names, then the settling watch (tFirmwareProof). fk_Verify with why.
tFlow ProveFirmwareFlow(tCardSession& Session, const tFirmwareRequest& Request) {
  if (!Session.Host) co_return tFlowOutcome::Failed(fk_Verify, "no link to the card");
  const uint8_t Now = Session.Host->FirmwareVersion;
  if (Request.ExpectedVersion && Now != *Request.ExpectedVersion)
    co_return tFlowOutcome::Failed(fk_Verify, "the card reports firmware version " +
                                                  std::to_string(Now) +
                                                  " after the update, not the image's version " +
                                                  std::to_string(*Request.ExpectedVersion));
  if (Request.Proof.Settle <= 0ms && Request.Proof.Limits.Empty())
    co_return tFlowOutcome::Success();
  tFlowOutcome Settled = co_await SettleFlow(Session, Request.Proof);
  co_return Settled;
}

// The boot loader with serial Serial, when it is on USB now.
std::optional<tDFUDeviceEntry> BootLoaderPresent(const tDFUFilter& Filter,
                                                 const std::string& Serial) {
  if (Serial.empty()) return std::nullopt;
  tDFUFilter This = Filter;
  This.Serial = Serial;
  This.Location.clear();
  This.Index = -1;
  const auto Found = SearchDFUDevices(This);
  if (Found.size() != 1) return std::nullopt;
  return Found.front();
}

// The firmware kept before this update put back into the card whose new firmware failed its
// proof (Reason). The kept image is checked as RestoreFlow checks it (its SHA-256 as kept, the
// card it came from: the updated one, by device ID and boot loader serial); a card still on
// its link is sent Boot, a card left in its boot loader gets it there directly. Result is the
// record's: sr_RolledBack once the card is back on its old version, sr_Failed otherwise.
tFlow RollBackFlow(tCardSession& Session, tFlowReport& Report, tFirmwareRequest Request,
                   tServiceRecorder& Record, std::string Reason, tServiceResult& Result) {
  Result = sr_Failed;
  const tServiceEntry Entry = Record.Entry();
  const int32_t Port = Entry.Port;
  auto RollbackFailed = [&](const std::string& Why) {
    return tFlowOutcome::Failed(fk_Verify, Reason + "; the rollback failed: " + Why);
  };
  if (!Request.Proof.Rollback)
    co_return tFlowOutcome::Failed(fk_Verify,
                                   Reason + "; the card is left as it is (--no-rollback)");
  if (Entry.KeptFile.empty())
    co_return tFlowOutcome::Failed(fk_Verify, Reason +
                                                  "; no firmware was kept before the download, so "
                                                  "none can go back: the card is left as it is");
  const tCardIdentity Updated{Entry.Before.DeviceID, Entry.Adapter};
  // A card that answers in the updated card's place is another card: nothing goes into it.
  if (Session.Host && Session.Host->DeviceID != 0 && !SameCard(Updated, Session.CardIdentity()))
    co_return RollbackFailed("the card on " + ComPortName(Port) +
                             " is not the card that was updated; nothing was written");
  Request.File = Entry.KeptFile;
  tDFUImage Image;
  if (tFlowOutcome Loaded = LoadImage(Request.File, Image, false); !Loaded.Ok)
    co_return RollbackFailed(Loaded.Text);
  std::string Error;
  if (!CheckKeptFirmware(Request.File, Image.Bytes(), Error)) co_return RollbackFailed(Error);
  if (ImageFactsOf(Request.File, Image.Bytes()).SHA256 != Entry.KeptSHA256)
    co_return RollbackFailed(Request.File + " is not the image kept before the update");
  tKeptCard From;
  if (!ReadKeptCard(Request.File, From, Error)) co_return RollbackFailed(Error);
  if (From.DeviceID != Updated.DeviceID || From.BootLoaderSerial != Entry.BootLoaderSerial)
    co_return RollbackFailed(Request.File + " was not kept from this card");
  const uint8_t Old = Entry.Before.FirmwareVersion;
  Report.Warning(Reason + ": rolling back to firmware version " + std::to_string(Old));
  Report.Line("Restoring " + Request.File);
  Request.Backup = false;
  Request.AnyCard = false;
  tFlowOutcome Restored;
  Session.ComPort = Port;
  if (Session.Host && Session.Host->DeviceID != 0) {
    // The card runs the failed firmware on its link: Boot takes it to its boot loader.
    Restored = co_await BootAndDownloadFlow(Session, Report, Request, Image, Record, &From);
  } else {
    // It never came back: its boot loader is still (or again) on USB, and takes the image
    // as it is.
    Session.Close();
    const auto Device = BootLoaderPresent(Request.Filter, Entry.BootLoaderSerial);
    if (!Device)
      co_return RollbackFailed("the card's boot loader (serial " + Entry.BootLoaderSerial +
                               ") is not on USB and the card is not back on " + ComPortName(Port) +
                               "; nothing was written");
    Report.BootLoader(*Device);
    Restored =
        co_await DownloadAndReturnFlow(Session, Report, Request, Image, *Device, Updated, nullptr);
  }
  if (Restored.Stopped()) co_return Restored;
  if (!Restored.Ok) co_return RollbackFailed(Restored.Text);
  if (!Session.Host || Session.Host->FirmwareVersion != Old)
    co_return RollbackFailed("the card reports firmware version " +
                             std::to_string(Session.Host ? Session.Host->FirmwareVersion : 0) +
                             " after the rollback, not its old version " + std::to_string(Old));
  Result = sr_RolledBack;
  co_return tFlowOutcome::Failed(
      fk_Verify, Reason + "; rolled back to firmware version " + std::to_string(Old));
}

}  // namespace

tFlow FirmwareUpdateFlow(tCardSession& Session, tFlowReport& Report, tFirmwareRequest Request) {
  // Everything that can be checked is checked before the card leaves its link: an image
  // refused later would leave the card in its boot loader for nothing.
  // The image is read once: the start event, the record and the download all take its bytes.
  if (tFlowOutcome Place = CheckRecordPlace(Request.Record); !Place.Ok) co_return Place;
  tDFUImage Image;
  const tFlowOutcome Loaded = LoadImage(Request.File, Image, true);
  Report.Image(Request.File, LoadedSize(Image));
  if (!Loaded.Ok) co_return Loaded;
  const tImageFacts Facts = ImageFactsOf(Request.File, Image.Bytes());
  if (tFlowOutcome Hash = CheckReleaseHash(Request.File, Facts, Request.ExpectedSHA256); !Hash.Ok)
    co_return Hash;
  if (tFlowOutcome Ready = InitDFULibrary(Report); !Ready.Ok) co_return Ready;
  if (tFlowOutcome Opened =
          co_await OpenIdentifiedFlow(Session, Request.Port, Request.IdentityTimeout);
      !Opened.Ok)
    co_return Opened;
  Report.Card(*Session.Host, "before");
  Report.Line(CardText("Card on", Session.ComPort, *Session.Host));
  if (tFlowOutcome Fits = CheckReleaseFits(Request.File, Request.DeviceIDs, Session); !Fits.Ok)
    co_return Fits;
  tServiceRecorder Record(Request.Record.Program, Request.Record.Path);
  // The version policy, decided while the card still runs its firmware: nothing refused here
  // sends Boot.
  const tFirmwarePolicy Policy = FirmwarePolicyOf(Request.File, Session.Host->FirmwareVersion,
                                                  Request.ExpectedVersion, Request.Force);
  if (Policy.Verdict == tFirmwarePolicy::fp_Current) {
    Report.Line(Policy.Text);
    Record.Begin(Session, tRecordAction::Firmware, Facts);
    Record.SetRelease(Request.Release);
    FinishAs(Record, Session, Report, sr_Skipped, {});
    co_return tFlowOutcome::Success();
  }
  const bool Downgrade = Policy.Verdict == tFirmwarePolicy::fp_Downgrade;
  if (Downgrade && !Request.AllowDowngrade)
    co_return tFlowOutcome::Failed(
        fk_Refused, Policy.Text + ": a downgrade, refused (--allow-downgrade takes it)");
  if (Downgrade) Report.Warning(Policy.Text + ": a downgrade, allowed");
  Record.Begin(Session, tRecordAction::Firmware, Facts);
  Record.SetRelease(Request.Release);
  Record.SetDowngrade(Downgrade);
  // The card's firmware is read back and kept first: nothing is written unless it was.
  bool Written = false;
  tFlowOutcome Outcome =
      co_await BootAndDownloadFlow(Session, Report, Request, Image, Record, nullptr, &Written);
  if (!Written || Outcome.Stopped()) {
    FinishRecord(Record, Session, Report, Outcome);
    co_return Outcome;
  }
  // The new firmware is in: the card must prove it runs, or the kept one goes back.
  if (Outcome.Ok) {
    Outcome = co_await ProveFirmwareFlow(Session, Request);
    if (Outcome.Stopped()) {
      FinishRecord(Record, Session, Report, Outcome);
      co_return Outcome;
    }
  } else if (!Session.Host || Session.Host->DeviceID == 0) {
    // It did not come back; a card whose boot loader is on USB again never started its firmware.
    const std::string Serial = Record.Entry().BootLoaderSerial;
    if (BootLoaderPresent(Request.Filter, Serial))
      Outcome.Text = "the new firmware did not start: the card stayed in its boot loader (serial " +
                     Serial + ")";
  }
  if (Outcome.Ok) {
    FinishRecord(Record, Session, Report, Outcome);
    co_return Outcome;
  }
  tServiceResult Result = sr_Failed;
  const std::string Reason = Outcome.Text;
  tFlowOutcome Final = co_await RollBackFlow(Session, Report, Request, Record, Reason, Result);
  if (Final.Stopped()) {
    FinishRecord(Record, Session, Report, Final);
    co_return Final;
  }
  FinishAs(Record, Session, Report, Result, Result == sr_RolledBack ? Reason : Final.Text);
  co_return Final;
}

tFlow RestoreFlow(tCardSession& Session, tFlowReport& Report, tFirmwareRequest Request) {
  if (tFlowOutcome Place = CheckRecordPlace(Request.Record); !Place.Ok) co_return Place;
  if (tFlowOutcome Ready = InitDFULibrary(Report); !Ready.Ok) co_return Ready;
  if (tFlowOutcome Opened =
          co_await OpenIdentifiedFlow(Session, Request.Port, Request.IdentityTimeout);
      !Opened.Ok)
    co_return Opened;
  const tCardIdentity Card = Session.CardIdentity();
  Report.Line(CardText("Card on", Session.ComPort, *Session.Host));
  // The image, its kept SHA-256 and the card it was kept from are checked while the card still
  // runs its firmware: nothing that fails here sends Boot.
  const std::string Folder = KeptFirmwareFolder(Request.Record.Path);
  if (Request.File.empty()) {
    Request.File = NewestKeptFirmware(Card, Folder, Request.AnyCard);
    if (Request.File.empty())
      co_return tFlowOutcome::Failed(
          fk_Image, "no firmware kept for this card (" + CardIdentityText(Card) + ") in " + Folder);
  }
  // Read once: the kept SHA-256 is checked on the very bytes that go back into the card and
  // that the record names.
  tDFUImage Image;
  if (tFlowOutcome Loaded = LoadImage(Request.File, Image, false); !Loaded.Ok) co_return Loaded;
  if (std::string Error; !CheckKeptFirmware(Request.File, Image.Bytes(), Error))
    co_return tFlowOutcome::Failed(fk_Image, Error);
  tKeptCard From;
  if (std::string Error; !ReadKeptCard(Request.File, From, Error)) {
    if (!Request.AnyCard)
      co_return tFlowOutcome::Failed(fk_Image, "cannot restore " + Request.File + ": " + Error +
                                                   " (--any-card puts it back all the same)");
    From = {};
  } else if (From.DeviceID != Card.DeviceID && !Request.AnyCard) {
    co_return tFlowOutcome::Failed(
        fk_Image, "the kept firmware " + Request.File + " is another card's: kept from device ID " +
                      std::to_string(From.DeviceID) + ", this card has device ID " +
                      std::to_string(Card.DeviceID));
  }
  if (std::string Why; !CheckFirmwareImage(Image, tDFUImage::CardFlashSize, Why))
    co_return tFlowOutcome::Failed(fk_Image, "cannot use " + Request.File + ": " + Why);
  Report.Line("Restoring " + Request.File);
  tServiceRecorder Record(Request.Record.Program, Request.Record.Path);
  const tImageFacts Facts = ImageFactsOf(Request.File, Image.Bytes());
  Record.Begin(Session, tRecordAction::Restore, Facts);
  if (Request.AnyCard && From.DeviceID != Card.DeviceID) {
    const std::string Override = "restored with --any-card: kept from " +
                                 (From.DeviceID ? "device ID " + std::to_string(From.DeviceID)
                                                : std::string("a card not known")) +
                                 ", this card has device ID " + std::to_string(Card.DeviceID);
    Report.Warning(Override);
    Record.SetOverride(Override);
  }
  const tFlowOutcome Outcome =
      co_await BootAndDownloadFlow(Session, Report, Request, Image, Record, &From);
  FinishRecord(Record, Session, Report, Outcome);
  co_return Outcome;
}

tFlow DFUDownloadFlow(tCardSession& Session, tFlowReport& Report, tDFUDownloadRequest Request) {
  tDFUImage Image;
  const tFlowOutcome Loaded = LoadImage(Request.File, Image, false);
  Report.Image(Request.File, LoadedSize(Image));
  if (!Loaded.Ok) co_return Loaded;
  if (tFlowOutcome Ready = InitDFULibrary(Report); !Ready.Ok) co_return Ready;
  // The card appears a moment after Boot: search once a second, as the update dialog does.
  // With several boot loaders present the operator chooses; the tool never guesses.
  tDFUDeviceEntry Device;
  tFlowOutcome Found = co_await FindBootLoaderFlow(Request.Filter, Request.Wait, Device);
  if (!Found.Ok) co_return Found;
  Report.BootLoader(Device);
  const std::string Target = Request.Port > 0 ? ComPortName(Request.Port) : BootLoaderName(Device);
  tFlowOutcome Downloaded =
      co_await DownloadFlow(Report, Device, Image, Request.File, Request.Verify, Target, nullptr);
  if (co_await For(0ms) == le_Stopped) Report.Warning("the download was finished before stopping");
  if (!Downloaded.Ok) co_return Downloaded;
  Report.Line("Device updated successfully");
  // After an update the card restarts its firmware; the window waits for it to come back
  // before it closes the dialog, and so does this when given the port. The card's port is
  // gone while it is in its boot loader, so it is looked for at once.
  if (Request.Port <= 0) co_return tFlowOutcome::Success();
  Session.ComPort = Request.Port;
  const tReturnRequest NewFirmware{.Limit = Request.ReturnTimeout, .NotBack = fk_Verify};
  tFlowOutcome Back = co_await WaitForReturnFlow(Session, Report, 0ms, NewFirmware);
  co_return Back;
}

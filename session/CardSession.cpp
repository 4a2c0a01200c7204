#include "session/CardSession.h"

#include "hostlink/CardLeaving.h"

#include <set>

#include "hostlink/OrvaneHost.h"
#include "platform/PortCatalogue.h"
#include "platform/UIThread.h"
#include "serial/ComPorts.h"
#include "support/DisplayMessage.h"

namespace {

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

std::string EntryKey(const tDFUDeviceEntry& Entry) {
  return Entry.Location + "\n" + Entry.Serial.Text;
}

// Runs Search every Period until it gives exactly one boot loader (true), several (Many and
// their list), none by the time Limit has passed (None), or Pause was interrupted.
bool PollForOne(const std::function<std::vector<tDFUDeviceEntry>()>& Search,
                std::chrono::milliseconds Limit, std::chrono::milliseconds Period,
                const tCardSession::tPause& Pause, const std::string& Many, const std::string& None,
                tDFUDeviceEntry& Found, std::string& Error) {
  const auto Until = std::chrono::steady_clock::now() + Limit;
  for (;;) {
    const auto Entries = Search();
    if (Entries.size() == 1) {
      Found = Entries.front();
      return true;
    }
    if (Entries.size() > 1) {
      Error = Many + BootLoaderList(Entries);
      return false;
    }
    if (std::chrono::steady_clock::now() >= Until) {
      Error = None;
      return false;
    }
    if (!Pause(Period)) {
      Error = "interrupted";
      return false;
    }
  }
}

}  // namespace

std::string OpenErrorReason(const tSerialError& Error, int32_t Port) {
  switch (Error.Kind) {
    case tSerialError::se_NotFound:
      return "no such port (caddis ports lists the ports present)";
    case tSerialError::se_Busy:
      return (Port > 0 ? "COM" + std::to_string(Port) : std::string("the port")) +
             " is in use by " + (Error.Holder.empty() ? "another program" : Error.Holder);
    case tSerialError::se_Denied:
      return "permission denied: add your user to the dialout group "
             "(sudo usermod -aG dialout $USER) and log in again";
    case tSerialError::se_None:
      return "reason unknown";
    default:
      return Error.Text();
  }
}

bool WaitForIdentity(tHostLoop& Loop, const tOrvaneHost& Host, std::chrono::milliseconds Timeout,
                     std::string& Error) {
  // A keep-alive that went out (count up) and came back (count cleared) shows a card that
  // answers but has not given a usable identity, which deserves its own explanation.
  int32_t LastFailCount = Host.GetAYTFailCount();
  bool Answered = false;
  // A port that hangs up can bring no answer any more: that ends the wait at once.
  auto HungUp = [&] { return Host.ComPort && Host.ComPort->HungUp(); };
  const tLoopEnd End = Loop.RunUntil([&] { return Host.DeviceID != 0 || HungUp(); }, Timeout,
                                     [&] {
                                       const int32_t FailCount = Host.GetAYTFailCount();
                                       if (LastFailCount > 0 && FailCount == 0) Answered = true;
                                       LastFailCount = FailCount;
                                     });
  if (End == le_Done && Host.DeviceID != 0) return true;
  const std::string Port = "COM" + std::to_string(Host.ComPortID);
  const std::string Within = " within " + SecondsText(Timeout) + " s";
  if (End == le_Stopped)
    Error = "interrupted";
  else if (HungUp())
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
  return false;
}

tCardSession::tCardSession(tPause Pause) : fPause(std::move(Pause)) {}

tCardSession::~tCardSession() = default;

bool tCardSession::Open(int32_t Port) {
  DropHost();
  fLinkLost = false;
  ComPort = Port;
  ++fOpenings;
  Host = std::make_unique<tOrvaneHost>(static_cast<uint32_t>(Port), false, "Caddis");
  const bool Opened = Host->ComPort != nullptr;
  OpenFailure = Host->OpenFailure();
  OpenError = Opened ? std::string()
                     : "Cannot open ComPort " + std::to_string(Port) + ": " +
                           OpenErrorReason(OpenFailure, Port);
  if (!Opened)
    if (const std::string Problem = tPortCatalogue::PortFolderProblem(); !Problem.empty())
      OpenError += " (registered ports are ignored: " + Problem + ")";
  if (OnLinkChange) OnLinkChange();
  return Opened;
}

bool tCardSession::OpenCard(int32_t Port, std::string& Error) {
  if (Open(Port)) {
    Host->LogErrors = true;
    return true;
  }
  Error = OpenError;
  Close();
  return false;
}

void tCardSession::DropHost() {
  if (Host) fClosedLinks += Host->LinkHealth();
  Host.reset();
}

void tCardSession::Drop() {
  DropHost();
  if (OnLinkChange) OnLinkChange();
}

void tCardSession::Close() {
  fLinkLost = false;
  Drop();
}

tCardSession::tLinkChange tCardSession::KeepLink(std::chrono::steady_clock::time_point Now) {
  const std::string Port = "COM" + std::to_string(ComPort);
  if (Host) {
    if (!Host->ComPort || !Host->ComPort->HungUp()) return lc_None;
    // Nothing sent reaches the card any more, and nothing comes from it: as removed.
    Drop();
    fLinkLost = true;
    fFailedDevice.clear();
    fNextReopen = Now + PollPeriod;
    DisplayMessage(Port + " hung up");
    return lc_HungUp;
  }
  if (!fLinkLost || (fNextReopen && Now < *fNextReopen)) return lc_None;
  fNextReopen = Now + PollPeriod;
  const std::string Device = tPortCatalogue::RealDevicePathFor(ComPort);
  if (Device.empty() || Device == fFailedDevice) {
    if (Device.empty()) fFailedDevice.clear();
    return lc_None;
  }
  if (!Open(ComPort)) {
    Drop();
    fLinkLost = true;
    fFailedDevice = Device;
    return lc_None;
  }
  DisplayMessage(Port + " reopened");
  return lc_Reopened;
}

tLinkHealth tCardSession::LinkHealth() const {
  tLinkHealth Health = fClosedLinks;
  if (Host) Health += Host->LinkHealth();
  return Health;
}

void tCardSession::ResetLinkHealth() {
  fClosedLinks = {};
  if (Host) Host->ResetLinkHealth();
}

bool tCardSession::PortListed() const {
  return ComPort > 0 && !tPortCatalogue::DevicePathFor(ComPort).empty();
}

bool tCardSession::Reopen() {
  if (Host || !PortListed()) return false;
  return Open(ComPort);
}

bool tCardSession::Restart(bool AwaitDown) {
  if (!Host) return false;
  Host->SendHeader(tHostId::Restart);
  if (!fPause(RestartPause)) return false;
  Close();
  return !AwaitDown || fPause(DownPause);
}

tCardSession::tRestartSeen tCardSession::RestartSeenLeaving(std::string& Error) {
  if (!Host) {
    Error = "no link to the card";
    return rs_NotSent;
  }
  using tClock = tCardLeaveWatch::tClock;
  const std::string Port = "COM" + std::to_string(ComPort);
  // The probes are the watch's own: the keep-alive stays off and their traffic is not shown,
  // only the Restart is.
  const bool Logging = Host->Logging;
  Host->AYTActive = false;
  Host->Logging = false;
  tCardLeaveWatch Leaving(*Host, ComPort);
  // Event-driven, so each answer is taken as it arrives and the round trip is the link's.
  tHostLoop Loop(Host.get(), true);
  const tLoopEnd Measured =
      Loop.RunUntil([&] { return Leaving.Calibrate(tClock::now()); }, IdentityTimeout);
  if (Measured == le_Stopped) return rs_Interrupted;
  if (Measured != le_Done) {
    Host->Logging = Logging;
    Error = "no answer from the card on " + Port + " within " + SecondsText(IdentityTimeout) +
            " s (is it powered and connected?); Restart not sent";
    return rs_NotSent;
  }
  Host->Logging = Logging;
  Leaving.SendRestart(tClock::now());
  Host->Logging = false;
  // A card still answering every probe after the pause did not restart: its coming "back"
  // would prove nothing.
  const tLoopEnd Watched = Loop.RunUntil(
      [&] {
        Leaving.Step(tClock::now());
        return Leaving.Left();
      },
      DownPause);
  Host->Logging = Logging;
  Close();
  if (Watched == le_Stopped) return rs_Interrupted;
  if (Leaving.Left()) return rs_Left;
  Error = "the card on " + Port + " did not restart: it answered every keep-alive for " +
          SecondsText(DownPause) + " s after the Restart";
  return rs_Stayed;
}

void tCardSession::StartUpdate(tImageKind Kind, const std::string& Path, tTivaUpdateEvent Progress,
                               tTivaUpdateEvent Finish) {
  if (!Host) return;
  fRestartDue = false;
  auto Finished = [this, Kind, Finish = std::move(Finish)](float Amount, tTivaUpdateError Code) {
    if (Kind == ik_FPGA && Code == tu_Ack) fRestartDue = true;
    if (Finish) Finish(Amount, Code);
  };
  if (Kind == ik_FPGA)
    Host->UpdateHostFPGA(std::move(Progress), Finished, Path);
  else
    Host->UpdateUSBAudio(std::move(Progress), Finished, Path);
}

bool tCardSession::TakeRestartDue() {
  const bool Due = fRestartDue;
  fRestartDue = false;
  return Due;
}

void tCardSession::SendBoot() {
  if (Host) Host->SendHeader(tHostId::Boot);
}

bool tCardSession::WaitForCard(std::chrono::milliseconds Limit, std::string& Error) {
  const auto Until = std::chrono::steady_clock::now() + Limit;
  std::string LastError;
  for (;;) {
    // Only a port that is listed again is tried, so the waiting leaves no failed opens in
    // the log file.
    if (PortListed() && OpenCard(ComPort, LastError)) {
      Host->AskIdentity();
      tHostLoop Loop(Host.get());
      if (WaitForIdentity(Loop, *Host, IdentityTimeout, Error)) return true;
      // A restarting card's port may still be the old one, or come and go, for a moment: a
      // port that hangs up is tried again until the time is up.
      const bool HungUp = Host->ComPort && Host->ComPort->HungUp();
      Close();
      if (!HungUp || std::chrono::steady_clock::now() >= Until) return false;
      LastError = Error;
    }
    if (std::chrono::steady_clock::now() >= Until) {
      Error = "the card did not come back on COM" + std::to_string(ComPort) + " within " +
              SecondsText(Limit) + " s" + (LastError.empty() ? "" : ": " + LastError);
      return false;
    }
    if (!fPause(PollPeriod)) {
      Error = "interrupted";
      return false;
    }
  }
}

bool tCardSession::BootToLoader(const tDFUFilter& Filter, std::chrono::milliseconds Limit,
                                tDFUDeviceEntry& Found, std::string& Error) {
  if (!Host) {
    Error = "no link to the card";
    return false;
  }
  std::set<std::string> Before;
  for (const auto& Entry : SearchDFUDevices(Filter))
    Before.insert(EntryKey(Entry));
  SendBoot();
  if (!fPause(BootPause)) {
    Error = "interrupted";
    return false;
  }
  Close();
  return PollForOne(
      [&] {
        std::vector<tDFUDeviceEntry> New;
        for (const auto& Entry : SearchDFUDevices(Filter))
          if (!Before.count(EntryKey(Entry))) New.push_back(Entry);
        return New;
      },
      Limit, PollPeriod, fPause,
      "more than one new boot loader appeared; give the card's with --serial:\n",
      "no new boot loader appeared on USB within " + SecondsText(Limit) +
          " s after Boot (vendor 0x1CBE, product 0x00FF)",
      Found, Error);
}

std::string BootLoaderList(const std::vector<tDFUDeviceEntry>& Entries) {
  std::string Text;
  for (const auto& Entry : Entries)
    Text += "  index " + std::to_string(Entry.Index) + ": serial " +
            (Entry.Serial.Text.empty() ? "(none)" : Entry.Serial.Text) + " at " + Entry.Location +
            "\n";
  return Text;
}

bool FindBootLoader(const tDFUFilter& Filter, std::chrono::milliseconds Limit,
                    tDFUDeviceEntry& Found, std::string& Error) {
  const std::string None = "No USB DFU devices found (vendor 0x1CBE, product 0x00FF)";
  if (PollForOne([&] { return SearchDFUDevices(Filter); }, Limit, std::chrono::milliseconds(1000),
                 [](std::chrono::milliseconds Span) {
                   return tHostLoop(nullptr).RunFor(Span) != le_Stopped;
                 },
                 "more than one boot loader found; choose one with --serial, --path or --index:\n",
                 None, Found, Error))
    return true;
  // Boot loaders may be there but none the one asked for: say so, and which are there.
  if (Error == None && Filter.Narrowed()) {
    tDFUFilter Any = Filter;
    Any.Serial.clear();
    Any.Location.clear();
    Any.Index = -1;
    if (const auto Present = SearchDFUDevices(Any); !Present.empty())
      Error = "no USB DFU device matches " + Filter.Conditions() + "; present:\n" +
              BootLoaderList(Present);
  }
  return false;
}

bool DownloadFirmware(const tDFUDeviceEntry& Device, const tDFUImage& Image,
                      const std::string& FileName, bool Verify,
                      const std::function<void(const tDFUProgress&)>& OnEvent, std::string& Error,
                      tDownloadOutcome* Outcome, bool SendBackUntouched) {
  tDownloadOutcome Ignored;
  tDownloadOutcome& Out = Outcome ? *Outcome : Ignored;
  Out = {};
  // The device still holds its firmware: when asked, it is sent back to it.
  auto Untouched = [&] {
    if (!SendBackUntouched) return false;
    Out.SentBack = LeaveDFUMode(Device.Index);
    Error += Out.SentBack
                 ? "; nothing was written: the card restarts with its former firmware"
                 : "; nothing was written, but the card could not be sent back to its former "
                   "firmware";
    return false;
  };
  const tLMDFUErr Verdict = CheckDFUImage(Device.Index, Image);
  Out.Step = tDownloadOutcome::df_Check;
  Out.Code = Verdict;
  if (std::string Why; Verdict == lm_Ok && Device.IsCard() &&
                       !CheckFirmwareImage(Image, tDFUImage::CardFlashSize, Why)) {
    Out.Step = tDownloadOutcome::df_CardImage;
    Error = "File " + FileName + " is not compatible with this device: " + Why;
    return Untouched();
  }
  if (Verdict != lm_Ok) {
    Error = "File " + FileName +
            " is not compatible with this device: " + std::string(LMDFUStatusText(Verdict)) + " (" +
            std::to_string(Verdict) + ")";
    return Untouched();
  }
  tLMDFUEventQueue Queue;
  tDFUDownload Download;
  if (const tLMDFUErr Opened =
          Download.Start(Device.Index, Image, Verify, &Queue, [] { tUIThread::Wake(); });
      Opened != lm_Ok) {
    Out.Step = tDownloadOutcome::df_Open;
    Out.Code = Opened;
    Error = DFUFailureText("Open", Opened, {});
    return Untouched();
  }
  tDFUProgress Progress(Verify);
  // A download cannot be stopped half-way without leaving the device in an error state, so
  // a stop request only ends the display: the call is still waited for below.
  FollowDFUCall(
      Queue, [&] { return Download.Returned(); }, Progress, OnEvent);
  const tLMDFUErr Result = Download.Finish();
  FollowDFUCall(
      Queue, [] { return true; }, Progress, OnEvent);
  if (Result != lm_Ok) {
    Out.Step = tDownloadOutcome::df_Download;
    Out.Code = Result;
    Error = DFUFailureText("Download", Result, Download.ErrorDetails());
    Out.Written = Download.BlocksSent() > 0;
    return Out.Written ? false : Untouched();
  }
  Out.Written = Out.Complete = true;
  // The new firmware runs only once the device has left DFU mode.
  Out.SentBack = Download.LeaveResult() == lm_Ok;
  if (const tLMDFUErr Left = Download.LeaveResult(); Left != lm_Ok) {
    Out.Step = tDownloadOutcome::df_Leave;
    Out.Code = Left;
    Error = "The firmware was written, but the device did not restart into it: error " +
            std::to_string(Left) + ": " + LMDFUStatusText(Left);
    return false;
  }
  return true;
}

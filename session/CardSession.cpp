#include "session/CardSession.h"

#include "hostlink/CardLeaving.h"

#include <set>

#include "hostlink/OrvaneHost.h"
#include "platform/PortCatalogue.h"
#include "platform/UIThread.h"
#include "serial/ComPorts.h"

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
  const tLoopEnd End = Loop.RunUntil([&] { return Host.DeviceID != 0; }, Timeout,
                                     [&] {
                                       const int32_t FailCount = Host.GetAYTFailCount();
                                       if (LastFailCount > 0 && FailCount == 0) Answered = true;
                                       LastFailCount = FailCount;
                                     });
  if (End == le_Done) return true;
  const std::string Port = "COM" + std::to_string(Host.ComPortID);
  const std::string Within = " within " + SecondsText(Timeout) + " s";
  if (End == le_Stopped)
    Error = "interrupted";
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
  Host.reset();
  ComPort = Port;
  Host = std::make_unique<tOrvaneHost>(static_cast<uint32_t>(Port), false, "Caddis");
  const bool Opened = Host->ComPort != nullptr;
  OpenError = Opened ? std::string()
                     : "Cannot open ComPort " + std::to_string(Port) + ": " +
                           OpenErrorReason(tComPort::LastOpenError(), Port);
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

void tCardSession::Close() {
  Host.reset();
  if (OnLinkChange) OnLinkChange();
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

bool tCardSession::RestartSeenLeaving(std::string& Error) {
  if (!Host) return false;
  // The watch notes the device behind the port before the card can go.
  tCardLeaveWatch Leaving(ComPort);
  if (!Restart(false)) {
    Error = "interrupted";
    return false;
  }
  // A card still there and answering after the pause did not restart: its coming "back"
  // would prove nothing.
  constexpr std::chrono::milliseconds Slice{10};
  for (auto Waited = std::chrono::milliseconds(0); Waited < DownPause; Waited += Slice) {
    if (!fPause(Slice)) {
      Error = "interrupted";
      return false;
    }
    Leaving.Step(std::chrono::steady_clock::now());
  }
  if (Leaving.Left()) return true;
  Error = "the card on COM" + std::to_string(ComPort) + " did not restart: it kept answering for " +
          SecondsText(DownPause) + " s after the Restart";
  return false;
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
      Close();
      return false;
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
                      tDownloadFailure* Failed) {
  tDownloadFailure Ignored;
  tDownloadFailure& Failure = Failed ? *Failed : Ignored;
  const tLMDFUErr Verdict = CheckDFUImage(Device.Index, Image);
  Failure = {tDownloadFailure::df_Check, Verdict};
  if (Verdict != lm_Ok) {
    Error = "File " + FileName +
            " is not compatible with this device: " + std::string(LMDFUStatusText(Verdict)) + " (" +
            std::to_string(Verdict) + ")";
    return false;
  }
  tLMDFUEventQueue Queue;
  tDFUDownload Download;
  if (const tLMDFUErr Opened =
          Download.Start(Device.Index, Image, Verify, &Queue, [] { tUIThread::Wake(); });
      Opened != lm_Ok) {
    Failure = {tDownloadFailure::df_Open, Opened};
    Error = "Open error " + std::to_string(Opened) + ": " + LMDFUStatusText(Opened);
    return false;
  }
  tDFUProgress Progress(Verify);
  bool Ended = false;
  auto Drain = [&] {
    Queue.Drain([&](const tLMDFUEvent& Event) {
      Ended = Progress.Handle(Event.Message, Event.Param) || Ended;
      if (OnEvent) OnEvent(Progress);
    });
  };
  // A download cannot be stopped half-way without leaving the device in an error state, so
  // a stop request only ends the display: the call is still waited for below.
  tHostLoop(nullptr).RunUntil(
      [&] {
        const bool Returned = Download.Returned();
        Drain();
        return Ended || (Returned && !Queue.WaitFor(std::chrono::milliseconds(0)));
      },
      std::chrono::hours(24 * 365));
  const tLMDFUErr Result = Download.Finish();
  Drain();
  if (Result != lm_Ok) {
    Failure = {tDownloadFailure::df_Download, Result};
    const std::string& Details = Download.ErrorDetails();
    Error = "Download error " + std::to_string(Result) + ": " + LMDFUStatusText(Result) +
            (Details.empty() ? "" : " (" + Details + ")");
    return false;
  }
  // The new firmware runs only once the device has left DFU mode.
  if (const tLMDFUErr Left = Download.LeaveResult(); Left != lm_Ok) {
    Failure = {tDownloadFailure::df_Leave, Left};
    Error = "The firmware was written, but the device did not restart into it: error " +
            std::to_string(Left) + ": " + LMDFUStatusText(Left);
    return false;
  }
  return true;
}

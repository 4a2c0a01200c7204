#include "session/LinkFlows.h"

#include "hostlink/OrvaneHost.h"
#include "serial/ComPorts.h"

namespace {

using tClock = std::chrono::steady_clock;

tFlowOutcome OpenForTraffic(tCardSession& Session, int32_t Port, bool Traffic = true) {
  std::string Error;
  if (!Session.OpenCard(Port, Error)) return tFlowOutcome::Failed(fk_Port, Error);
  Session.Host->Logging = Traffic;
  Session.Host->AYTActive = false;
  return tFlowOutcome::Success();
}

}  // namespace

tFlow StatusFlow(tCardSession& Session, tFlowReport& Report, int32_t Port,
                 std::chrono::milliseconds Timeout) {
  if (tFlowOutcome Opened = co_await OpenIdentifiedFlow(Session, Port, Timeout); !Opened.Ok)
    co_return Opened;
  Report.Card(*Session.Host, nullptr);
  // Only as long as the values shown still miss a report.
  if (co_await Until(
          [&Session] { return Session.Host && Session.Host->ReportsReceived == or_AllReports; },
          StatusReportWait) == le_Stopped)
    co_return tFlowOutcome::Interrupted();
  co_return tFlowOutcome::Success();
}

tFlow MonitorFlow(tCardSession& Session, int32_t Port, bool Logging,
                  std::optional<std::chrono::milliseconds> Limit,
                  std::function<void(const tCardSession&)> OnTick) {
  if (std::string Error; !Session.OpenCard(Port, Error))
    co_return tFlowOutcome::Failed(fk_Failure, Error);
  auto TakeLink = [&Session, Logging] {
    Session.Host->Logging = Logging;
    Session.Host->AskIdentity();
  };
  TakeLink();
  // A port that hangs up is closed and opened again once it can be. The watch never ends by
  // itself: only its time or a stop ends it.
  co_await Until(
      [&] {
        if (Session.KeepLink(tClock::now()) == tCardSession::lc_Reopened) TakeLink();
        if (OnTick) OnTick(Session);
        return false;
      },
      Limit);
  co_return tFlowOutcome::Success();
}

tFlow SendAndShowFlow(tCardSession& Session, int32_t Port, tHostMessage Message,
                      std::chrono::milliseconds Wait) {
  if (tFlowOutcome Opened = OpenForTraffic(Session, Port); !Opened.Ok) co_return Opened;
  Session.Host->SendMessage(Message);
  if (co_await For(Wait) == le_Stopped) co_return tFlowOutcome::Interrupted();
  co_return tFlowOutcome::Success();
}

tFlow ResetFlow(tCardSession& Session, tFlowReport& Report, int32_t Port,
                std::optional<tReturnRequest> Return, bool Traffic) {
  if (tFlowOutcome Opened = OpenForTraffic(Session, Port, Traffic); !Opened.Ok) co_return Opened;
  if (Return) {
    tFlowOutcome Back = co_await RestartAndReturnFlow(Session, Report, *Return);
    co_return Back;
  }
  Session.Host->SendHeader(tHostId::Restart);
  if (co_await For(tCardSession::RestartPause) == le_Stopped) co_return tFlowOutcome::Interrupted();
  Session.Close();
  Report.Line("Restart sent on " + ComPortName(Port));
  co_return tFlowOutcome::Success();
}

tFlow BootFlow(tCardSession& Session, tFlowReport& Report, int32_t Port,
               std::chrono::milliseconds Timeout, bool Traffic) {
  if (tFlowOutcome Opened = co_await OpenIdentifiedFlow(Session, Port, Timeout); !Opened.Ok)
    co_return Opened;
  Session.Host->Logging = Traffic;
  Session.SendBoot();
  // Time for Boot to leave the port; a stop meanwhile does not take it back.
  co_await For(tCardSession::BootPause);
  Report.Line("Boot sent on " + ComPortName(Port) +
              ": the card restarts in its USB DFU boot loader");
  co_return tFlowOutcome::Success();
}

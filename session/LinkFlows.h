// The flows that only talk to the card over its link, changing nothing on it: its status once
// its reports are in, the live watch of its reports, one message and the answers to it, a
// restart, and Boot. Like the update flows (session/CardFlows.h) each is a tFlow the front end
// steps from its loop; what is to be shown goes through tFlowReport or the caller's hook.
//
// Threads: user-interface thread, like the session the flows work on.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "session/CardFlows.h"
#include "support/HostMessage.h"

// The card sends its reports (temperature, voltages, rates, addresses) on its own about once
// a second; after its identity, StatusFlow waits at most this long for a round of them.
constexpr std::chrono::milliseconds StatusReportWait{1500};

// Port opened and the card's identity awaited for Timeout (as OpenIdentifiedFlow), the card
// reported (Card, without a phase), then its reports awaited for StatusReportWait: a report
// that does not come is no failure, the status then shows it as missing.
tFlow StatusFlow(tCardSession& Session, tFlowReport& Report, int32_t Port,
                 std::chrono::milliseconds Timeout);

// The live watch: Port opened (fk_Failure otherwise), the card asked for its identity, and
// the link kept through hang-ups (tCardSession::KeepLink), the identity asked again on each
// reopening, until Limit has passed (none: until stopped; a stop ends the watch as a success).
// Logging switches on the traffic lines of every link. OnTick is called at least once a tick
// with the session, whose link may be closed meanwhile.
tFlow MonitorFlow(tCardSession& Session, int32_t Port, bool Logging,
                  std::optional<std::chrono::milliseconds> Limit,
                  std::function<void(const tCardSession&)> OnTick);

// Port opened for its traffic (fk_Port otherwise): the traffic lines on and the keep-alive off,
// so what is shown is the message sent and what the card answers to it. Then Message is sent
// and the answers are let come for Wait.
tFlow SendAndShowFlow(tCardSession& Session, int32_t Port, tHostMessage Message,
                      std::chrono::milliseconds Wait);

// Port opened as for SendAndShowFlow (its traffic shown only with Traffic), and the card
// restarted: with Return it is seen to leave and awaited back (RestartAndReturnFlow); without,
// Restart is sent, the link closed after RestartPause, and "Restart sent on COMn" said.
tFlow ResetFlow(tCardSession& Session, tFlowReport& Report, int32_t Port,
                std::optional<tReturnRequest> Return, bool Traffic);

// Port opened and the card's identity awaited (as OpenIdentifiedFlow: the card must be
// listening, or Boot goes nowhere), then Boot sent with its traffic shown, and after BootPause
// "Boot sent on COMn: the card restarts in its USB DFU boot loader".
tFlow BootFlow(tCardSession& Session, tFlowReport& Report, int32_t Port,
               std::chrono::milliseconds Timeout, bool Traffic);

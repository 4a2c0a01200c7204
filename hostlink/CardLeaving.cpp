#include "hostlink/CardLeaving.h"

#include <algorithm>

#include "hostlink/OrvaneHost.h"
#include "platform/PortCatalogue.h"

tCardLeaveWatch::tCardLeaveWatch(tOrvaneHost& aHost, int32_t aComPort)
    : Host(aHost), ComPort(aComPort), Device(tPortCatalogue::RealDevicePathFor(aComPort)) {
  RepliesSeen = Host.GetAYTReplies();
}

void tCardLeaveWatch::Leave(const std::string& How) {
  fHow = How;
  SentAt.reset();
}

void tCardLeaveWatch::SendProbe(tClock::time_point Now) {
  RepliesSeen = Host.GetAYTReplies();
  Host.SendHeader(tHostId::AYT);
  Host.NoteKeepAliveSent();
  Sent(Now);
}

void tCardLeaveWatch::Sent(tClock::time_point Now) {
  SentAt = Now;
  NextProbe = Now + ProbePeriod;
  Listened = {};
  StalledSinceSent = false;
}

bool tCardLeaveWatch::ProbeDue(tClock::time_point Now) const {
  return !SentAt && (!NextProbe || Now >= *NextProbe);
}

bool tCardLeaveWatch::TakeAnswer(tClock::time_point Now, tClock::duration& Took) {
  if (!SentAt || Host.GetAYTReplies() == RepliesSeen) return false;
  RepliesSeen = Host.GetAYTReplies();
  // The answer came when the host took it, which is never later than the step that sees it.
  const tClock::time_point Came = std::min(Now, Host.GetLastAYTReplyTime().value_or(Now));
  Took = std::max(Came - *SentAt, tClock::duration::zero());
  SentAt.reset();
  return true;
}

bool tCardLeaveWatch::Calibrate(tClock::time_point Now) {
  if (Measured >= CalibrationProbes) return true;
  if (!Started) Started = Now;
  if (Measured == 0 && !SentAt && Host.GetAYTFailCount() > 0 && Now - *Started < SettleLimit)
    return false;
  if (tClock::duration Took{}; TakeAnswer(Now, Took)) {
    fRoundTrip = std::max(fRoundTrip, Took);
    if (++Measured == CalibrationProbes) {
      fSilenceLimit = fRoundTrip + std::max<tClock::duration>(fRoundTrip, MinMargin);
      return true;
    }
  }
  if (ProbeDue(Now)) SendProbe(Now);
  return false;
}

void tCardLeaveWatch::SendRestart(tClock::time_point Now) {
  RepliesSeen = Host.GetAYTReplies();
  Host.SendHeaders({tHostId::Restart, tHostId::AYT});
  Host.NoteKeepAliveSent();
  Sent(Now);
  LastStep = Now;
}

void tCardLeaveWatch::Step(tClock::time_point Now) {
  if (Left()) return;
  const std::string Current = tPortCatalogue::RealDevicePathFor(ComPort);
  if (!Host.ComPort || Host.ComPort->HungUp() || Current.empty() || Current != Device) {
    Leave("its port went away");
    return;
  }
  const tClock::duration Gap = LastStep ? Now - *LastStep : tClock::duration::zero();
  LastStep = Now;
  if (SentAt) {
    if (Gap > StallLimit) StalledSinceSent = true;
    tClock::duration Took{};
    if (!TakeAnswer(Now, Took)) {
      if (Gap <= StallLimit) Listened += Gap;
      if (Listened > fSilenceLimit) Leave("it fell silent");
      return;
    }
    // Answered, but only after a pause that a card starting again leaves (and not one the
    // tool itself took).
    if (Took > fSilenceLimit && !StalledSinceSent) {
      Leave("it fell silent");
      return;
    }
  }
  if (ProbeDue(Now)) SendProbe(Now);
}

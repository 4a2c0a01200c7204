#include "site/SiteBackground.h"

#include "site/SiteLink.h"
#include "site/SiteSchema.h"

tSiteBackground::tSiteBackground(tOptions Options)
    : fOptions(std::move(Options)), fShipper(fOptions.RecordPath, fOptions.Station) {
  fThread = std::thread([this] { Run(); });
}

tSiteBackground::~tSiteBackground() {
  {
    std::lock_guard Lock(fMutex);
    fStop = true;
  }
  fWake.notify_all();
  fThread.join();
}

void tSiteBackground::Trigger() {
  {
    std::lock_guard Lock(fMutex);
    fTriggered = true;
    // A thread leaving a failing database alone is not woken only to sleep again: an update
    // pays for no more than this lock.
    if (fBackingOff) return;
  }
  fWake.notify_all();
}

void tSiteBackground::SetPorts(std::vector<tPortBeat> Ports) {
  {
    std::lock_guard Lock(fMutex);
    fBeat = std::move(Ports);
    if (fBackingOff) return;  // sent when the period is over
  }
  fWake.notify_all();
}

tSiteBackground::tStatus tSiteBackground::Status() const {
  std::lock_guard Lock(fMutex);
  return fStatus;
}

void tSiteBackground::Run() {
  std::unique_lock Lock(fMutex);
  for (;;) {
    fTriggered = false;
    Lock.unlock();
    Round();
    Lock.lock();
    // After a failed round the database is left alone for a period, however many updates
    // end meanwhile: a database that is down is not hammered, and the lines wait in the record.
    fBackingOff = !fStatus.LastError.empty();
    if (!fBackingOff)
      fWake.wait_for(Lock, fOptions.Period, [this] { return fStop || fTriggered || fBeat; });
    else
      fWake.wait_for(Lock, fOptions.Period, [this] { return fStop; });
    fBackingOff = false;
    // Lines an update wrote just before the end still go, unless the database is failing.
    if (fStop && !(fTriggered && fStatus.LastError.empty())) break;
  }
}

void tSiteBackground::Round() {
  std::string Error;
  if (!fDb || !fDb->Ok()) {
    fDb = std::make_unique<tSiteDb>(fOptions.Connection, fOptions.ConnectSeconds);
    fSchemaReady = false;
    if (!fDb->Ok()) Error = "cannot reach the site database: " + fDb->Error();
  }
  if (Error.empty() && !fSchemaReady) fSchemaReady = EnsureSiteSchema(*fDb, Error);
  std::size_t Shipped = 0;
  if (Error.empty()) {
    const tShipResult Result = fShipper.Ship(*fDb);
    Shipped = Result.Sent;
    if (!Result.Ok) Error = Result.Error;
  }
  // The newest heartbeat goes now or never.
  std::optional<std::vector<tPortBeat>> Beat;
  {
    std::lock_guard Lock(fMutex);
    Beat.swap(fBeat);
  }
  if (Beat && Error.empty()) SendHeartbeat(*fDb, fShipper.Station(), *Beat, Error);
  std::lock_guard Lock(fMutex);
  ++fStatus.Rounds;
  fStatus.Shipped += Shipped;
  fStatus.LastError = Error;
}

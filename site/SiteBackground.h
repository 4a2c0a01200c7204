// The station's link to the site database, on a thread of its own so that nothing the database
// does (down, slow, refusing) reaches the updates: the front end only calls Trigger() after an
// update and SetPorts() when its ports change, both of which return at once.
//
// The thread connects (within the connect timeout), makes or upgrades the tables once, ships
// what waits and sends the newest heartbeat; then it sleeps until triggered or Period has
// passed. After a round that failed it waits the whole Period before it tries again. A heartbeat
// that cannot be sent is dropped: only the newest state matters, so at most one waits. The record's
// lines never are: they stay in the record until shipped.
//
// Threads: Trigger, SetPorts and Status from any thread; the destructor from the owner's.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "site/SiteQueries.h"
#include "site/SiteShipper.h"

class tSiteDb;

class tSiteBackground {
 public:
  struct tOptions {
    std::string Connection;  // as SiteConnectionText gives it
    std::string RecordPath;
    std::string Station;  // empty: the host's name
    std::chrono::milliseconds Period{std::chrono::seconds(15)};
    int ConnectSeconds = 5;
  };
  explicit tSiteBackground(tOptions Options);
  // Stops the thread after one last round when an update asked for one and the database was
  // answering; a connection attempt under way ends within the connect timeout.
  ~tSiteBackground();
  tSiteBackground(const tSiteBackground&) = delete;
  tSiteBackground& operator=(const tSiteBackground&) = delete;

  // Ship now (after an update).
  void Trigger();
  // The station's ports now, sent as the next heartbeat (replacing one not yet sent).
  void SetPorts(std::vector<tPortBeat> Ports);

  struct tStatus {
    uint64_t Rounds = 0;  // rounds finished, shipped or not
    std::size_t Shipped = 0;
    std::string LastError;  // empty after a round that went well
  };
  tStatus Status() const;

 private:
  void Run();
  void Round();

  tOptions fOptions;
  tSiteShipper fShipper;
  std::unique_ptr<tSiteDb> fDb;  // the thread's own
  bool fSchemaReady = false;

  mutable std::mutex fMutex;
  std::condition_variable fWake;
  bool fStop = false, fTriggered = true;
  bool fBackingOff = false;  // waiting out a period after a failed round
  std::optional<std::vector<tPortBeat>> fBeat;
  tStatus fStatus;
  std::thread fThread;
};

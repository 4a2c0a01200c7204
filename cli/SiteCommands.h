// The commands on the site database (site/): caddis history --site, caddis site push and
// status, and the station's link to it. A build without libpq has them all, and each says
// that this build has no site record (a usage error).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/CommandOptions.h"
#include "cli/Outcome.h"
#include "session/StationScreen.h"

tCliResult SiteHistoryCommand(const tCliContext& Context, const tHistoryOptions& Options);
tCliResult SitePushCommand(const tCliContext& Context, const tSiteOptions& Options);
tCliResult SiteStatusCommand(const tCliContext& Context, const tSiteOptions& Options);

// The station's link to the site database: it ships in the background and sends each port's
// state as a heartbeat. Both calls return at once.
class tStationSite {
 public:
  virtual ~tStationSite() = default;
  // The ports as the screen shows them; called every round, it passes on what changed (and
  // the same again now and then, so the dashboard sees the station is alive) and ships after
  // each step that ended.
  virtual void Ports(const std::vector<tStationPortView>& Views) = 0;
};

// The link when --site or $CADDIS_SITE names a database, else none. Exit is a usage error
// (nothing returned) when the connection text carries a password or the build has no site
// record.
std::unique_ptr<tStationSite> OpenStationSite(const tCliContext& Context,
                                              const tStationOptions& Options, tCliResult& Exit);

// "EMPTY" -> "empty": the heartbeat's state word of a port.
const char* HeartbeatState(tStationPortView::tState State);

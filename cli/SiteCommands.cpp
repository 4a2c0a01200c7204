// caddis history --site, caddis site push and status, and the station's link to the site
// database: thin layers over site/.
#include "cli/SiteCommands.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "cli/CliArgs.h"
#include "cli/CliEvents.h"
#include "cli/Commands.h"
#include "platform/Environment.h"
#include "session/ServiceRecord.h"

#ifdef CADDIS_HAVE_SITE
#include "site/SiteBackground.h"
#include "site/SiteLink.h"
#include "site/SiteQueries.h"
#include "site/SiteSchema.h"
#include "site/SiteShipper.h"
#endif

const char* HeartbeatState(tStationPortView::tState State) {
  switch (State) {
    case tStationPortView::ps_Working:
      return "working";
    case tStationPortView::ps_Pass:
      return "passed";
    case tStationPortView::ps_Fail:
      return "failed";
    case tStationPortView::ps_Empty:
      break;
  }
  return "empty";
}

#ifndef CADDIS_HAVE_SITE

namespace {
tCliResult NoSite(const std::string& Command) {
  return UsageError(Command, "this build has no site record (--site)");
}
}  // namespace

tCliResult SiteHistoryCommand(const tCliContext& Context, const tHistoryOptions&) {
  return NoSite(Context.Command);
}
tCliResult SitePushCommand(const tCliContext& Context, const tSiteOptions&) {
  return NoSite(Context.Command);
}
tCliResult SiteStatusCommand(const tCliContext& Context, const tSiteOptions&) {
  return NoSite(Context.Command);
}
std::unique_ptr<tStationSite> OpenStationSite(const tCliContext& Context,
                                              const tStationOptions& Options, tCliResult& Exit) {
  const auto Named = tEnvironment::Get("CADDIS_SITE");
  if (Options.Site || (Named && !Named->empty())) Exit = NoSite(Context.Command);
  return nullptr;
}

#else

namespace {

// The connection text, or a usage error when it carries a password.
bool Connection(const tCliContext& Context, const std::optional<std::string>& Site,
                std::string& Text, tCliResult& Exit) {
  std::string Error;
  const auto Found = SiteConnectionText(Site.value_or(""), Error);
  if (!Found) {
    Exit = UsageError(Context.Command, Error);
    return false;
  }
  Text = *Found;
  return true;
}

std::string Versions(const std::optional<int32_t>& Firmware,
                     const std::optional<std::string>& FPGA) {
  if (!Firmware && !FPGA) return "-";
  return "fw " + (Firmware ? std::to_string(*Firmware) : std::string("?")) + ", FPGA " +
         FPGA.value_or("?");
}

// Columns padded to their widest cell, the last one left as it is.
void PrintTable(const std::vector<std::vector<std::string>>& Rows) {
  std::vector<std::size_t> Widths;
  for (const auto& Row : Rows)
    for (std::size_t i = 0; i < Row.size(); ++i) {
      if (Widths.size() <= i) Widths.push_back(0);
      Widths[i] = std::max(Widths[i], Row[i].size());
    }
  for (const auto& Row : Rows) {
    std::string Text;
    for (std::size_t i = 0; i < Row.size(); ++i) {
      Text += Row[i];
      if (i + 1 < Row.size()) Text.append(Widths[i] - Row[i].size() + 2, ' ');
    }
    std::printf("%s\n", Text.c_str());
  }
}

bool ReadFilter(const tCliContext& Context, const tHistoryOptions& Options, tSiteFilter& Filter,
                tCliResult& Exit) {
  if (Options.Card) {
    int32_t Card = 0;
    if (!ParseIndex(*Options.Card, 255, Card)) {
      Exit = UsageError(Context.Command, "'" + *Options.Card + "' is not a device ID (0..255)");
      return false;
    }
    Filter.Card = Card;
  }
  if (Options.Result && *Options.Result != "success" && *Options.Result != "failed" &&
      *Options.Result != "interrupted") {
    Exit = UsageError(Context.Command, "--result wants success, failed or interrupted, not '" +
                                           *Options.Result + "'");
    return false;
  }
  if (Options.Image &&
      (Options.Image->empty() ||
       Options.Image->find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)) {
    Exit = UsageError(Context.Command, "--image wants a SHA-256 in hex (or its first digits)");
    return false;
  }
  Filter.Port = Options.Port;
  Filter.CardIdentity = Options.Identity;
  Filter.Station = Options.Station;
  Filter.Result = Options.Result;
  Filter.ImageHash = Options.Image;
  Filter.Release = Options.Release;
  Filter.Since = Options.Since;
  Filter.Until = Options.Until;
  Filter.LatestPerCard = Options.Latest;
  Filter.Limit = 100000;
  return true;
}

// Whether the database holds a site record at all; a reader may not make the tables.
bool HasTables(tSiteDb& Db) {
  auto Result = Db.Exec("SELECT to_regclass('service_lines') IS NOT NULL");
  return Result && PgText(Result.get(), 0, 0) == "t";
}

}  // namespace

tCliResult SiteHistoryCommand(const tCliContext& Context, const tHistoryOptions& Options) {
  tSiteFilter Filter;
  tCliResult Exit;
  std::string Dsn;
  if (!ReadFilter(Context, Options, Filter, Exit) || !Connection(Context, Options.Site, Dsn, Exit))
    return Exit;
  tCliEvents::Start();
  tSiteDb Db(Dsn);
  if (!Db.Ok()) return Failure("cannot reach the site database: " + Db.Error());
  std::vector<tSiteLine> Lines;
  std::string Error;
  if (HasTables(Db) && !QuerySiteLines(Db, Filter, Lines, Error)) return Failure(Error);
  if (Options.Json) {
    for (const tSiteLine& Line : Lines) {
      nlohmann::ordered_json Event = tCliEvents::Event("record");
      Event["port"] = Line.Port ? nlohmann::ordered_json(*Line.Port) : nullptr;
      Event["station"] = Line.Station;
      Event["line"] = nlohmann::ordered_json::parse(Line.Line, nullptr, false);
      tCliEvents::Emit(Event);
    }
    tCliEvents::Result({{"count", Lines.size()}});
    return ExitOk;
  }
  if (Lines.empty()) {
    std::printf("No updates in the site database match\n");
    return ExitOk;
  }
  std::vector<std::vector<std::string>> Rows = {
      {"Start (UTC)", "Station", "Port", "Card", "Action", "Before", "After", "Image", "Result"}};
  for (const tSiteLine& Line : Lines)
    Rows.push_back({Line.Started.empty() ? "-" : Line.Started, Line.Station,
                    Line.Port ? "COM" + std::to_string(*Line.Port) : "-",
                    Line.Card.empty() ? "-" : Line.Card, Line.Action.empty() ? "-" : Line.Action,
                    Versions(Line.FirmwareBefore, Line.FPGABefore),
                    Versions(Line.FirmwareAfter, Line.FPGAAfter),
                    Line.ImageFile.empty() ? "-" : Line.ImageFile,
                    Line.Failure.empty() ? Line.Result : Line.Result + ": " + Line.Failure});
  PrintTable(Rows);
  return ExitOk;
}

tCliResult SitePushCommand(const tCliContext& Context, const tSiteOptions& Options) {
  tCliResult Exit;
  std::string Dsn;
  if (!Connection(Context, Options.Site, Dsn, Exit)) return Exit;
  const std::string Record = ServiceRecordPath(Options.Record.value_or(""));
  tCliEvents::Start();
  tCliEvents::SetRecord(Record);
  tSiteDb Db(Dsn);
  if (!Db.Ok()) return Failure("cannot reach the site database: " + Db.Error());
  std::string Error;
  if (!EnsureSiteSchema(Db, Error)) return Failure(Error);
  tSiteShipper Shipper(Record, Options.StationName);
  const tShipResult Shipped = Shipper.Ship(Db);
  if (!Shipped.Ok)
    return Failure(Shipped.Error + " (" + std::to_string(Shipped.Sent) + " lines shipped, " +
                   std::to_string(Shipped.Waiting) + " waiting)");
  if (Options.Json) {
    tCliEvents::Result({{"shipped", Shipped.Sent}, {"station", Shipper.Station()}});
    return ExitOk;
  }
  std::printf("Shipped %zu lines of %s to the site database as station %s\n", Shipped.Sent,
              Record.c_str(), Shipper.Station().c_str());
  return ExitOk;
}

tCliResult SiteStatusCommand(const tCliContext& Context, const tSiteOptions& Options) {
  tCliResult Exit;
  std::string Dsn;
  if (!Connection(Context, Options.Site, Dsn, Exit)) return Exit;
  const std::string Record = ServiceRecordPath(Options.Record.value_or(""));
  tCliEvents::Start();
  tCliEvents::SetRecord(Record);
  tSiteShipper Shipper(Record, Options.StationName);
  tShipPlace Place;
  const tShipResult Waiting = Shipper.Waiting(&Place);
  if (!Waiting.Ok) return Failure(Waiting.Error);
  // Whether the lines could go now, within a short timeout: status never hangs on the network.
  tSiteDb Db(Dsn, 3);
  const std::string Reach = Db.Ok() ? "reachable" : "not reachable: " + Db.Error();
  if (Options.Json) {
    tCliEvents::Result({{"waiting", Waiting.Waiting},
                        {"shipped_bytes", Place.Offset},
                        {"last_id", Place.LastId},
                        {"station", Shipper.Station()},
                        {"reachable", Db.Ok()}});
    return ExitOk;
  }
  std::printf(
      "Record: %s\nStation: %s\nShipped: %llu bytes%s\nWaiting: %zu lines\n"
      "Site database: %s\n",
      Record.c_str(), Shipper.Station().c_str(), static_cast<unsigned long long>(Place.Offset),
      Place.LastId.empty() ? "" : (", last line " + Place.LastId).c_str(), Waiting.Waiting,
      Reach.c_str());
  return ExitOk;
}

namespace {

class tStationSiteLink : public tStationSite {
 public:
  explicit tStationSiteLink(tSiteBackground::tOptions Options) : fBackground(std::move(Options)) {}

  void Ports(const std::vector<tStationPortView>& Views) override {
    std::vector<tPortBeat> Beats;
    std::string Key;
    std::size_t Ended = 0;
    for (const tStationPortView& View : Views) {
      Beats.push_back({View.Port, HeartbeatState(View.State), View.Card, View.Step});
      Key += std::to_string(View.Port) + '\x1f' + Beats.back().State + '\x1f' + View.Card + '\x1f' +
             View.Step + '\x1e';
      Ended += View.State == tStationPortView::ps_Pass || View.State == tStationPortView::ps_Fail;
    }
    // Every change of a step writes a record line (the caddis child's): ship after it.
    if (Key != fLastKey) {
      fBackground.SetPorts(std::move(Beats));
      fBackground.Trigger();
      fLastKey = Key;
      fSinceBeat = 0;
    } else if (++fSinceBeat >= BeatEvery) {
      // The same state again now and then: the dashboard tells a quiet station from a dead one.
      fBackground.SetPorts(std::move(Beats));
      fSinceBeat = 0;
    }
  }

 private:
  // The station's rounds are about 100 ms apart: a heartbeat about every 10 s when idle.
  static constexpr int BeatEvery = 100;
  tSiteBackground fBackground;
  std::string fLastKey;
  int fSinceBeat = 0;
};

}  // namespace

std::unique_ptr<tStationSite> OpenStationSite(const tCliContext& Context,
                                              const tStationOptions& Options, tCliResult& Exit) {
  const auto Named = tEnvironment::Get("CADDIS_SITE");
  if (!Options.Site && !(Named && !Named->empty())) return nullptr;
  tSiteBackground::tOptions Site;
  if (!Connection(Context, Options.Site, Site.Connection, Exit)) return nullptr;
  Site.RecordPath = ServiceRecordPath(Options.Record.value_or(""));
  Site.Station = Options.StationName;
  return std::make_unique<tStationSiteLink>(std::move(Site));
}

#endif

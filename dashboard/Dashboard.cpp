#include "dashboard/Dashboard.h"

#include <httplib.h>

#include "dashboard/DashboardPages.h"
#include "site/SiteLink.h"
#include "site/SiteQueries.h"

bool MakeReadOnly(tSiteDb& Db, std::string& Error) {
  if (!Db.Run("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY")) {
    Error = Db.Error();
    return false;
  }
  auto Writer = Db.Exec(
      "SELECT bool_or(has_table_privilege(t, p)) FROM unnest(ARRAY['service_lines', "
      "'station_ports', 'caddis_schema']) t, unnest(ARRAY['INSERT', 'UPDATE', 'DELETE', "
      "'TRUNCATE']) p WHERE to_regclass(t) IS NOT NULL");
  if (!Writer) {
    Error = Db.Error();
    return false;
  }
  if (PgText(Writer.get(), 0, 0) == "t") {
    auto User = Db.Exec("SELECT current_user");
    Error = "the role " + (User ? PgText(User.get(), 0, 0) : std::string("given")) +
            " may change the site's tables; the dashboard only reads: connect as caddis_reader "
            "(user=caddis_reader in the connection)";
    return false;
  }
  return true;
}

tDashboardSource::tDashboardSource(std::string Connection) : fConnection(std::move(Connection)) {}
tDashboardSource::~tDashboardSource() = default;

bool tDashboardSource::Open(std::string& Error) {
  std::lock_guard Lock(fMutex);
  fDb = std::make_unique<tSiteDb>(fConnection);
  if (!fDb->Ok()) {
    Error = "cannot reach the site database: " + fDb->Error();
    fDb.reset();
    return false;
  }
  if (!MakeReadOnly(*fDb, Error)) {
    fDb.reset();
    return false;
  }
  return true;
}

tDashboardReply tDashboardSource::Page(const std::string& Path, const std::string& Card) {
  std::lock_guard Lock(fMutex);
  std::string Error;
  // A connection lost (the server restarted) is made again for the next page.
  if (!fDb || !fDb->Ok()) {
    fDb = std::make_unique<tSiteDb>(fConnection);
    if (!fDb->Ok() || !MakeReadOnly(*fDb, Error)) {
      if (Error.empty()) Error = fDb->Error();
      fDb.reset();
      return {503, DashboardPage("No database", Path, ErrorBody(Error))};
    }
  }
  tSiteDb& Db = *fDb;
  const auto Failed = [&](const std::string& Title) {
    return tDashboardReply{503, DashboardPage(Title, Path, ErrorBody(Error))};
  };
  if (Path == "/") {
    std::vector<tStationBeat> Stations;
    if (!QueryLineNow(Db, Stations, Error)) return Failed("The line now");
    return {200, DashboardPage("The line now", Path, LineNowBody(Stations))};
  }
  if (Path == "/yield") {
    std::vector<tYieldBucket> Hours, Days;
    std::vector<tCount> Kinds;
    if (!QueryYield(Db, false, 48, Hours, Error) || !QueryYield(Db, true, 30, Days, Error) ||
        !QueryFailureKinds(Db, 7, Kinds, Error))
      return Failed("Yield and failures");
    return {200, DashboardPage("Yield and failures", Path, YieldBody(Hours, Days, Kinds))};
  }
  if (Path == "/releases") {
    std::vector<tRelease> Releases;
    if (!QueryReleases(Db, Releases, Error)) return Failed("Releases in the field");
    return {200, DashboardPage("Releases in the field", Path, ReleasesBody(Releases))};
  }
  if (Path == "/card") {
    std::vector<tSiteLine> Lines;
    if (!Card.empty()) {
      tSiteFilter Filter;
      Filter.CardIdentity = Card;
      Filter.Limit = 2000;
      if (!QuerySiteLines(Db, Filter, Lines, Error)) return Failed("One card");
    }
    return {200, DashboardPage("One card", Path, CardBody(Card, Lines))};
  }
  if (Path == "/link") {
    std::vector<tLinkDay> Days;
    if (!QueryLinkHealth(Db, 60, Days, Error)) return Failed("Link health");
    return {200, DashboardPage("Link health", Path, LinkHealthBody(Days))};
  }
  return {404, DashboardPage("Not found", "", "<p>There is no such page.</p>")};
}

void MountDashboard(httplib::Server& Server, tDashboardSource& Source) {
  Server.Get(R"(/.*)", [&Source](const httplib::Request& Request, httplib::Response& Response) {
    const std::string Card = Request.has_param("id") ? Request.get_param_value("id") : "";
    const tDashboardReply Reply = Source.Page(Request.path, Card.substr(0, 300));
    Response.status = Reply.Status;
    // Nothing but the page itself: no script runs, nothing is loaded from anywhere else.
    Response.set_header("Content-Security-Policy",
                        "default-src 'none'; style-src 'unsafe-inline'; img-src 'self'; "
                        "form-action 'self'; frame-ancestors 'none'");
    Response.set_header("X-Content-Type-Options", "nosniff");
    Response.set_header("Cache-Control", "no-store");
    Response.set_content(Reply.Html, "text/html; charset=utf-8");
  });
}

bool ParseListen(const std::string& Text, std::string& Host, int& Port, std::string& Error) {
  const auto Colon = Text.rfind(':');
  Error = "--listen wants HOST:PORT (127.0.0.1:8080), not '" + Text + "'";
  if (Colon == std::string::npos || Colon == 0) return false;
  Host = Text.substr(0, Colon);
  if (Host.front() == '[') {
    if (Host.back() != ']' || Host.size() < 3) return false;
    Host = Host.substr(1, Host.size() - 2);
  } else if (Host.find(':') != std::string::npos) {
    return false;
  }
  const std::string Number = Text.substr(Colon + 1);
  if (Number.empty() || Number.size() > 5 ||
      Number.find_first_not_of("0123456789") != std::string::npos)
    return false;
  Port = std::stoi(Number);
  if (Port < 1 || Port > 65535) return false;
  Error.clear();
  return true;
}

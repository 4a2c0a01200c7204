#include "site/SiteQueries.h"

#include <cstdlib>

#include "site/SiteLink.h"

namespace {

using tParams = std::vector<std::optional<std::string>>;

std::optional<int32_t> IntAt(const PGresult* Result, int Row, int Column) {
  if (PgIsNull(Result, Row, Column)) return std::nullopt;
  return static_cast<int32_t>(std::strtol(PQgetvalue(Result, Row, Column), nullptr, 10));
}

std::optional<std::string> TextAt(const PGresult* Result, int Row, int Column) {
  if (PgIsNull(Result, Row, Column)) return std::nullopt;
  return PgText(Result, Row, Column);
}

int64_t Int64At(const PGresult* Result, int Row, int Column) {
  return PgIsNull(Result, Row, Column) ? 0
                                       : std::strtoll(PQgetvalue(Result, Row, Column), nullptr, 10);
}

double DoubleAt(const PGresult* Result, int Row, int Column) {
  return PgIsNull(Result, Row, Column) ? 0 : std::strtod(PQgetvalue(Result, Row, Column), nullptr);
}

// Adds "AND <Condition>" with its value as the next parameter ($n in Condition stands for it).
void Where(std::string& Sql, tParams& Params, const std::string& Condition,
           const std::string& Value) {
  Params.push_back(Value);
  std::string Numbered = Condition;
  const std::string Mark = "$n";
  for (auto At = Numbered.find(Mark); At != std::string::npos; At = Numbered.find(Mark, At))
    Numbered.replace(At, Mark.size(), "$" + std::to_string(Params.size()));
  Sql += " AND " + Numbered;
}

tPgResult Query(tSiteDb& Db, const std::string& Sql, const tParams& Params, std::string& Error) {
  tPgResult Result = Db.Exec(Sql, Params);
  if (!Result) Error = "the site database refused the query: " + Db.Error();
  return Result;
}

}  // namespace

bool QuerySiteLines(tSiteDb& Db, const tSiteFilter& Filter, std::vector<tSiteLine>& Lines,
                    std::string& Error) {
  Lines.clear();
  tParams Params;
  std::string Sql =
      "SELECT id, station, to_char(started AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS'), "
      "action, result, failure, card, image_file, image_sha256, port, device_id, "
      "firmware_before, firmware_after, fpga_before, fpga_after, line::text "
      "FROM service_lines l WHERE true";
  if (Filter.Card) Where(Sql, Params, "device_id = $n::integer", std::to_string(*Filter.Card));
  if (Filter.CardIdentity) Where(Sql, Params, "card = $n", *Filter.CardIdentity);
  if (Filter.Port) Where(Sql, Params, "port = $n::integer", std::to_string(*Filter.Port));
  if (Filter.Station) Where(Sql, Params, "station = $n", *Filter.Station);
  if (Filter.Result) Where(Sql, Params, "result = $n", *Filter.Result);
  // A hash's first characters are enough, as with other tools that name objects by hash.
  if (Filter.ImageHash)
    Where(Sql, Params, "image_sha256 LIKE replace(replace(lower($n), '%', ''), '_', '') || '%'",
          *Filter.ImageHash);
  if (Filter.Release)
    Where(Sql, Params, "(firmware_after::text = $n OR fpga_after = $n OR image_file = $n)",
          *Filter.Release);
  if (Filter.Since) Where(Sql, Params, "started >= $n::timestamptz", *Filter.Since);
  if (Filter.Until) Where(Sql, Params, "started < $n::timestamptz", *Filter.Until);
  if (Filter.LatestPerCard)
    // What a card runs now is what its newest successful update left: a newer line of the same
    // card rules the older out.
    Sql +=
        " AND l.result = 'success' AND l.card IS NOT NULL AND NOT EXISTS (SELECT 1 FROM "
        "service_lines n WHERE n.card = l.card AND n.result = 'success' AND n.action = l.action "
        "AND (n.started, n.seq) > (l.started, l.seq))";
  Params.push_back(std::to_string(Filter.Limit > 0 ? Filter.Limit : 1000));
  // The newest Limit lines, shown oldest first.
  Sql = "SELECT * FROM (" + Sql + " ORDER BY started DESC NULLS LAST, seq DESC LIMIT $" +
        std::to_string(Params.size()) + "::bigint) s ORDER BY 3 NULLS FIRST, 1";
  tPgResult Result = Query(Db, Sql, Params, Error);
  if (!Result) return false;
  const PGresult* R = Result.get();
  for (int Row = 0; Row < PQntuples(R); ++Row) {
    tSiteLine L;
    L.Id = PgText(R, Row, 0);
    L.Station = PgText(R, Row, 1);
    L.Started = PgText(R, Row, 2);
    L.Action = PgText(R, Row, 3);
    L.Result = PgText(R, Row, 4);
    L.Failure = PgText(R, Row, 5);
    L.Card = PgText(R, Row, 6);
    L.ImageFile = PgText(R, Row, 7);
    L.ImageHash = PgText(R, Row, 8);
    L.Port = IntAt(R, Row, 9);
    L.DeviceID = IntAt(R, Row, 10);
    L.FirmwareBefore = IntAt(R, Row, 11);
    L.FirmwareAfter = IntAt(R, Row, 12);
    L.FPGABefore = TextAt(R, Row, 13);
    L.FPGAAfter = TextAt(R, Row, 14);
    L.Line = PgText(R, Row, 15);
    Lines.push_back(std::move(L));
  }
  return true;
}

bool SendHeartbeat(tSiteDb& Db, const std::string& Station, const std::vector<tPortBeat>& Ports,
                   std::string& Error) {
  const auto Fail = [&] {
    Error = "cannot send the station's heartbeat: " + Db.Error();
    Db.Run("ROLLBACK");
    return false;
  };
  if (!Db.Run("BEGIN") || !Db.Run("DELETE FROM station_ports WHERE station = $1", {Station}))
    return Fail();
  for (const tPortBeat& Port : Ports)
    if (!Db.Run("INSERT INTO station_ports (station, port, state, card, step) VALUES "
                "($1, $2::integer, $3, $4, $5)",
                {Station, std::to_string(Port.Port), Port.State, Port.Card, Port.Step}))
      return Fail();
  // A station without ports still says it is there.
  if (Ports.empty() && !Db.Run("INSERT INTO station_ports (station, port, state) VALUES "
                               "($1, 0, 'empty')",
                               {Station}))
    return Fail();
  if (!Db.Run("COMMIT")) return Fail();
  return true;
}

bool QueryLineNow(tSiteDb& Db, std::vector<tStationBeat>& Stations, std::string& Error) {
  Stations.clear();
  tPgResult Result = Query(Db,
                           "SELECT station, port, state, coalesce(card, ''), coalesce(step, ''), "
                           "to_char(seen AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS'), "
                           "extract(epoch FROM now() - seen)::bigint "
                           "FROM station_ports ORDER BY station, port",
                           {}, Error);
  if (!Result) return false;
  const PGresult* R = Result.get();
  for (int Row = 0; Row < PQntuples(R); ++Row) {
    const std::string Station = PgText(R, Row, 0);
    if (Stations.empty() || Stations.back().Station != Station) {
      Stations.push_back({Station, PgText(R, Row, 5), Int64At(R, Row, 6), {}});
    }
    const int32_t Port = IntAt(R, Row, 1).value_or(0);
    if (Port > 0)
      Stations.back().Ports.push_back(
          {Port, PgText(R, Row, 2), PgText(R, Row, 3), PgText(R, Row, 4)});
  }
  return true;
}

bool QueryYield(tSiteDb& Db, bool PerDay, int Buckets, std::vector<tYieldBucket>& Yield,
                std::string& Error) {
  Yield.clear();
  const std::string Unit = PerDay ? "day" : "hour";
  tPgResult Result =
      Query(Db,
            "WITH newest AS (SELECT date_trunc($1, max(started) AT TIME ZONE 'UTC') AS t "
            "FROM service_lines), "
            "b AS (SELECT generate_series(t - ($2::integer - 1) * ('1 ' || $1)::interval, t, "
            "('1 ' || $1)::interval) AS s FROM newest WHERE t IS NOT NULL) "
            "SELECT to_char(b.s, 'YYYY-MM-DD HH24:MI'), "
            "count(*) FILTER (WHERE l.result = 'success'), "
            "count(*) FILTER (WHERE l.result = 'failed'), "
            "count(*) FILTER (WHERE l.result = 'interrupted') "
            "FROM b LEFT JOIN service_lines l ON l.started >= b.s AT TIME ZONE 'UTC' "
            "AND l.started < (b.s + ('1 ' || $1)::interval) AT TIME ZONE 'UTC' "
            "GROUP BY b.s ORDER BY b.s",
            {Unit, std::to_string(Buckets)}, Error);
  if (!Result) return false;
  const PGresult* R = Result.get();
  for (int Row = 0; Row < PQntuples(R); ++Row)
    Yield.push_back(
        {PgText(R, Row, 0), Int64At(R, Row, 1), Int64At(R, Row, 2), Int64At(R, Row, 3)});
  return true;
}

bool QueryFailureKinds(tSiteDb& Db, int Days, std::vector<tCount>& Kinds, std::string& Error) {
  Kinds.clear();
  tPgResult Result =
      Query(Db,
            "SELECT coalesce(failure, '(no reason given)'), count(*) FROM service_lines "
            "WHERE result <> 'success' AND started >= (SELECT max(started) FROM service_lines) - "
            "$1::integer * interval '1 day' GROUP BY 1 ORDER BY 2 DESC, 1 LIMIT 20",
            {std::to_string(Days)}, Error);
  if (!Result) return false;
  for (int Row = 0; Row < PQntuples(Result.get()); ++Row)
    Kinds.push_back({PgText(Result.get(), Row, 0), Int64At(Result.get(), Row, 1)});
  return true;
}

bool QueryReleases(tSiteDb& Db, std::vector<tRelease>& Releases, std::string& Error) {
  Releases.clear();
  tPgResult Result = Query(
      Db,
      "SELECT action, coalesce(firmware_after::text, '-'), coalesce(fpga_after, '-'), "
      "coalesce(image_file, '-'), coalesce(image_sha256, ''), count(*), "
      "to_char(max(started) AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI') FROM ("
      "SELECT DISTINCT ON (card, action) card, action, firmware_after, fpga_after, image_file, "
      "image_sha256, started FROM service_lines "
      "WHERE result = 'success' AND card IS NOT NULL "
      "ORDER BY card, action, started DESC, seq DESC) newest "
      "GROUP BY 1, 2, 3, 4, 5 ORDER BY 6 DESC, 1, 2, 3 LIMIT 200",
      {}, Error);
  if (!Result) return false;
  const PGresult* R = Result.get();
  for (int Row = 0; Row < PQntuples(R); ++Row)
    Releases.push_back({PgText(R, Row, 0), PgText(R, Row, 1), PgText(R, Row, 2), PgText(R, Row, 3),
                        PgText(R, Row, 4), Int64At(R, Row, 5), PgText(R, Row, 6)});
  return true;
}

bool QueryLinkHealth(tSiteDb& Db, int Days, std::vector<tLinkDay>& Trend, std::string& Error) {
  Trend.clear();
  tPgResult Result =
      Query(Db,
            "SELECT to_char(date_trunc('day', started AT TIME ZONE 'UTC'), 'YYYY-MM-DD'), "
            "coalesce(avg(link_round_trip_ms), 0), coalesce(max(link_round_trip_max_ms), 0), "
            "coalesce(sum(link_damaged), 0), coalesce(sum(link_unanswered), 0), count(*) "
            "FROM service_lines WHERE started >= (SELECT max(started) FROM service_lines) - "
            "$1::integer * interval '1 day' GROUP BY 1 ORDER BY 1",
            {std::to_string(Days)}, Error);
  if (!Result) return false;
  const PGresult* R = Result.get();
  for (int Row = 0; Row < PQntuples(R); ++Row)
    Trend.push_back({PgText(R, Row, 0), DoubleAt(R, Row, 1), DoubleAt(R, Row, 2),
                     Int64At(R, Row, 3), Int64At(R, Row, 4), Int64At(R, Row, 5)});
  return true;
}

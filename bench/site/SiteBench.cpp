// The site record's speed, against a real PostgreSQL server started here:
//  - BM_ShipLines: record lines shipped per second (the shipper's batches, 500 lines each);
//  - BM_DashboardPage: each dashboard page over a database of one million lines (filled once
//    with generate_series, with 20 stations' heartbeats);
//  - BM_UpdateRecord: an update's record path (the line written and flushed, then the shipper
//    told) with no site database configured, with one that is not there (its socket missing),
//    and with one that does not answer (a network address that drops the connection attempt).
// Run: build/default/bin/bench_site (the million lines take a minute to fill).
#include <benchmark/benchmark.h>

#include <memory>

#include "TempFolder.h"
#include "dashboard/Dashboard.h"
#include "session/CardSession.h"
#include "session/ServiceRecord.h"
#include "site/PgServer.h"
#include "site/SiteBackground.h"
#include "site/SiteLink.h"
#include "site/SiteSchema.h"
#include "site/SiteShipper.h"

namespace {

// One server for the whole run, stopped at its end.
struct tBenchServer {
  tTempFolder Folder{"cb-"};
  tPgServer Server{Folder.Path};
  std::string Error;
  bool Ok = false;
  tBenchServer() {
    Ok = Server.Start(Error);
    if (!Ok) return;
    tSiteDb Admin(Server.Dsn());
    Ok = Admin.Run("CREATE DATABASE ship") && Admin.Run("CREATE DATABASE million");
    if (!Ok) Error = Admin.Error();
  }
};
tBenchServer& Server() {
  static tBenchServer Instance;
  return Instance;
}

tServiceEntry Entry(int i) {
  tServiceEntry E;
  E.Action = tRecordAction::FPGA;
  E.Program = "caddis";
  E.Start = std::chrono::system_clock::time_point(std::chrono::hours(24 * 20800) +
                                                  std::chrono::seconds(30 * i));
  E.End = E.Start + std::chrono::seconds(20);
  E.HostName = "bench";
  E.Port = 1 + i % 4;
  E.Adapter = {"0403", "6001", "A" + std::to_string(i % 500), "FT232R"};
  E.Before = {true, static_cast<uint8_t>(1 + i % 200), 3, "0104052026"};
  E.After = {true, static_cast<uint8_t>(1 + i % 200), 4, "0105052026"};
  E.Image = {true, "/images/SkerryFPGA.bit", 123456, std::string(64, 'a'), ""};
  E.Result = i % 10 ? sr_Succeeded : sr_Failed;
  E.Failure = i % 10 ? "" : "the card stopped answering";
  E.Health.RoundTrips = 100;
  E.Health.RoundTripSumUs = 95000;
  E.Id = RecordLineId(E.HostName, E.End);
  return E;
}

void BM_ShipLines(benchmark::State& State) {
  auto& S = Server();
  if (!S.Ok) return State.SkipWithError(S.Error.c_str());
  tSiteDb Db(S.Server.Dsn("ship"));
  std::string Error;
  if (!EnsureSiteSchema(Db, Error)) return State.SkipWithError(Error.c_str());
  tTempFolder Folder;
  const std::string Record = Folder.File("record.jsonl");
  const int Lines = static_cast<int>(State.range(0));
  std::string Text;
  for (int i = 0; i < Lines; ++i)
    Text += ServiceRecordLine(Entry(i)) + "\n";
  for (auto _ : State) {
    State.PauseTiming();
    Db.Run("TRUNCATE service_lines");
    std::ofstream(Record, std::ios::binary) << Text;
    std::filesystem::remove(ShipPlacePath(Record));
    tSiteShipper Shipper(Record, "bench");
    State.ResumeTiming();
    const tShipResult Shipped = Shipper.Ship(Db);
    if (!Shipped.Ok || Shipped.Sent != static_cast<std::size_t>(Lines))
      return State.SkipWithError(Shipped.Error.c_str());
  }
  State.SetItemsProcessed(State.iterations() * Lines);
}
BENCHMARK(BM_ShipLines)->Arg(10000)->UseRealTime()->Unit(benchmark::kMillisecond);

// A million lines as the shipper would have left them, made by the server itself.
bool FillMillion(std::string& Error) {
  static bool Filled = false;
  if (Filled) return true;
  auto& S = Server();
  tSiteDb Db(S.Server.Dsn("million"));
  if (!EnsureSiteSchema(Db, Error)) return false;
  // A million rows take longer than a station's statements may.
  const char* Fill = R"SQL(
SET statement_timeout = 0;
INSERT INTO service_lines (id, station, record_offset, started, port, device_id, card, action,
  result, failure, image_file, image_sha256, firmware_before, fpga_before, firmware_after,
  fpga_after, link_round_trip_ms, link_round_trip_max_ms, link_damaged, link_unanswered, line)
SELECT 'g' || i, 'station-' || (i % 20), i * 900,
  timestamptz '2026-10-01' + i * interval '7 seconds', 1 + i % 4, i % 250,
  (i % 250) || ' 0403:6001 A' || (i % 5000), 'update-fpga',
  CASE WHEN i % 11 = 0 THEN 'failed' ELSE 'success' END,
  CASE WHEN i % 11 = 0 THEN 'the card stopped answering' END,
  'SkerryFPGA-' || (i / 200000) || '.bit', md5((i / 200000)::text) || md5('x'), 3, '0104',
  CASE WHEN i % 11 = 0 THEN NULL ELSE 4 + i / 200000 END,
  CASE WHEN i % 11 = 0 THEN NULL ELSE '010' || (5 + i / 200000) END,
  0.9 + (i % 100) / 100.0, 4.0, i % 3, i % 2,
  jsonb_build_object('Start', 'x', 'Port', 1 + i % 4, 'LinkHealth', jsonb_build_object(
    'RoundTripMs', jsonb_build_object('Mean', 0.9 + (i % 100) / 100.0, 'Max', 4.0),
    'FramesDamaged', jsonb_build_object('Length', 0, 'Checksum', i % 3),
    'KeepAlivesUnanswered', i % 2))
FROM generate_series(1, 1000000) i;
)SQL";
  tPgResult Result(PQexec(Db.Handle(), Fill));
  if (!Result || PQresultStatus(Result.get()) != PGRES_COMMAND_OK) {
    Error = PQerrorMessage(Db.Handle());
    return false;
  }
  // As autovacuum would have left it: the visibility map lets the pages read indexes alone.
  if (!Db.Run("SET statement_timeout = 0") || !Db.Run("VACUUM ANALYZE service_lines")) {
    Error = Db.Error();
    return false;
  }
  for (int s = 0; s < 20; ++s) {
    std::vector<tPortBeat> Ports;
    for (int p = 1; p <= 4; ++p)
      Ports.push_back({p, "working", std::to_string(s * 4 + p), "update-fpga"});
    if (!SendHeartbeat(Db, "station-" + std::to_string(s), Ports, Error)) return false;
  }
  Filled = true;
  return true;
}

void BM_DashboardPage(benchmark::State& State) {
  static const char* const Paths[] = {"/", "/yield", "/releases", "/card", "/link"};
  const std::string Path = Paths[State.range(0)];
  State.SetLabel(Path + " over 1000000 lines");
  auto& S = Server();
  std::string Error;
  if (!S.Ok || !FillMillion(Error)) return State.SkipWithError((S.Error + Error).c_str());
  tDashboardSource Source(S.Server.Dsn("million", "caddis_reader"));
  if (!Source.Open(Error)) return State.SkipWithError(Error.c_str());
  for (auto _ : State) {
    const tDashboardReply Reply = Source.Page(Path, Path == "/card" ? "17 0403:6001 A17" : "");
    if (Reply.Status != 200) return State.SkipWithError(Reply.Html.c_str());
    benchmark::DoNotOptimize(Reply.Html.data());
  }
}
BENCHMARK(BM_DashboardPage)->DenseRange(0, 4)->UseRealTime()->Unit(benchmark::kMillisecond);

// The record path of one update: the line written and on the disk, then the shipper told.
enum tSite { NoSite, Missing, Silent };
void BM_UpdateRecord(benchmark::State& State) {
  const auto Site = static_cast<tSite>(State.range(0));
  State.SetLabel(Site == NoSite    ? "no site database"
                 : Site == Missing ? "site database unreachable (no server)"
                                   : "site database unreachable (no answer, 5 s timeout)");
  tTempFolder Folder;
  tCardSession Session([](std::chrono::milliseconds) { return true; });
  Session.AdapterOf = [](int32_t) { return tAdapterIdentity{"0403", "6001", "A1", "FT232R"}; };
  tServiceRecorder Recorder("caddis", Folder.File("record.jsonl"));
  std::unique_ptr<tSiteBackground> Background;
  if (Site != NoSite) {
    tSiteBackground::tOptions Options;
    Options.Connection = Site == Missing ? "host=" + Folder.Path + " dbname=none"
                                         : "host=192.0.2.1 port=5432 dbname=none";
    Options.RecordPath = Recorder.RecordPath();
    Options.ConnectSeconds = 5;
    Background = std::make_unique<tSiteBackground>(Options);
  }
  for (auto _ : State) {
    Recorder.Begin(Session, tRecordAction::FPGA, tImageFacts{});
    std::string Error;
    if (!Recorder.Finish(Session, sr_Succeeded, "", Error))
      return State.SkipWithError(Error.c_str());
    if (Background) Background->Trigger();
  }
}
BENCHMARK(BM_UpdateRecord)->DenseRange(0, 2)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

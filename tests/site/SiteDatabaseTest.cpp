// The site record against a real PostgreSQL server: the schema and its read-only role, the
// shipper through refusals, repeats and a replaced record, the queries behind caddis history
// --site and the dashboard, and the caddis program's site commands.
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "RunProgram.h"
#include "cli/SiteCommands.h"
#include "site/SiteBackground.h"
#include "site/SiteFixture.h"
#include "site/SiteQueries.h"
#include "site/SiteShipper.h"

namespace {

using json = nlohmann::json;

class SiteDatabase : public tSiteServerTest {
 protected:
  std::string Record() const { return Own.File("record.jsonl"); }
  // The ids in the database, in the order they were shipped.
  std::vector<std::string> Ids(const std::string& Station = "bench") {
    std::vector<std::string> Found;
    auto Result =
        Db->Exec("SELECT id FROM service_lines WHERE station = $1 ORDER BY seq", {Station});
    EXPECT_TRUE(Result) << Db->Error();
    for (int Row = 0; Result && Row < PQntuples(Result.get()); ++Row)
      Found.push_back(PgText(Result.get(), Row, 0));
    return Found;
  }
  std::vector<std::string> RecordIds() {
    std::vector<tRecordLine> Lines;
    std::string Error;
    EXPECT_TRUE(ReadRecordLines(Record(), 0, 100000, Lines, Error));
    std::vector<std::string> Found;
    for (const auto& Line : Lines)
      Found.push_back(ShipLineId(Line));
    return Found;
  }
};

TEST_F(SiteDatabase, SchemaIsVersionedAndTheReaderCannotWrite) {
  std::string Error;
  EXPECT_EQ(Number("SELECT max(version) FROM caddis_schema"), SiteSchemaVersion);
  ASSERT_TRUE(EnsureSiteSchema(*Db, Error)) << "a second time changes nothing: " << Error;
  EXPECT_EQ(Number("SELECT count(*) FROM caddis_schema"), SiteSchemaVersion);

  tSiteDb Reader(Server->Dsn(Database, "caddis_reader"));
  ASSERT_TRUE(Reader.Ok()) << Reader.Error();
  EXPECT_TRUE(Reader.Run("SELECT count(*) FROM service_lines")) << Reader.Error();
  for (const char* Write :
       {"INSERT INTO station_ports (station, port, state) VALUES ('x', 1, 'empty')",
        "DELETE FROM service_lines", "UPDATE caddis_schema SET version = 5",
        "CREATE TABLE mine (a int)"})
    EXPECT_FALSE(Reader.Run(Write)) << Write;

  // A server that stops answering mid-statement cannot hold a station's thread for ever.
  auto Timeout = Db->Exec("SHOW statement_timeout");
  ASSERT_TRUE(Timeout) << Db->Error();
  EXPECT_EQ(PgText(Timeout.get(), 0, 0), "30s");

  // Tables newer than this build are left alone, never written into.
  ASSERT_TRUE(Db->Run("INSERT INTO caddis_schema (version) VALUES (99)"));
  EXPECT_FALSE(EnsureSiteSchema(*Db, Error));
  EXPECT_NE(Error.find("version 99"), std::string::npos) << Error;
}

TEST_F(SiteDatabase, AnOlderDatabaseIsUpgradedWithItsLinesKept) {
  // The tables as the first version left them, holding a line shipped then.
  AppendEntry(Record(), [] {
    tServiceEntry Entry = SiteEntry(0, 3, 21, 3, 4, "0105", sr_Succeeded);
    Entry.Health.RoundTrips = 2;
    Entry.Health.RoundTripSumUs = 3000;
    Entry.Health.RoundTripMaxUs = 2500;
    Entry.Health.FramesDamagedChecksum = 3;
    Entry.Health.KeepAlivesUnanswered = 1;
    return Entry;
  }());
  tSiteShipper Shipper(Record(), "bench");
  ASSERT_TRUE(Shipper.Ship(*Db).Ok);
  ASSERT_TRUE(
      Db->Run("ALTER TABLE service_lines DROP COLUMN link_round_trip_ms, DROP COLUMN "
              "link_round_trip_max_ms, DROP COLUMN link_damaged, DROP COLUMN "
              "link_unanswered"));
  ASSERT_TRUE(Db->Run("DROP INDEX IF EXISTS service_lines_newest, service_lines_trend"));
  ASSERT_TRUE(Db->Run("DELETE FROM caddis_schema WHERE version > 1"));
  std::string Error;
  ASSERT_TRUE(EnsureSiteSchema(*Db, Error)) << Error;
  EXPECT_EQ(Number("SELECT max(version) FROM caddis_schema"), SiteSchemaVersion);
  std::vector<tLinkDay> Trend;
  ASSERT_TRUE(QueryLinkHealth(*Db, 30, Trend, Error)) << Error;
  ASSERT_EQ(Trend.size(), 1u);
  EXPECT_DOUBLE_EQ(Trend[0].MeanRoundTripMs, 1.5);
  EXPECT_DOUBLE_EQ(Trend[0].MaxRoundTripMs, 2.5);
  EXPECT_EQ(Trend[0].Damaged, 3);
  EXPECT_EQ(Trend[0].Unanswered, 1);
  // A line shipped after the upgrade fills the same columns itself.
  AppendEntry(Record(), SiteEntry(1, 3, 21, 4, 5, "0106", sr_Succeeded));
  ASSERT_TRUE(Shipper.Ship(*Db).Ok);
  EXPECT_EQ(Number("SELECT count(*) FROM service_lines WHERE link_damaged IS NOT NULL"), 2);
}

TEST_F(SiteDatabase, ShipsInOrderThroughRefusalsRepeatsAndAReplacedRecord) {
  tSiteShipper Shipper(Record(), "bench");
  for (int i = 0; i < 3; ++i)
    AppendEntry(Record(), SiteEntry(i, 3, 21, 3, 4, "0105", sr_Succeeded));
  tShipResult Shipped = Shipper.Ship(*Db, 2);  // two batches
  ASSERT_TRUE(Shipped.Ok) << Shipped.Error;
  EXPECT_EQ(Shipped.Sent, 3u);
  EXPECT_EQ(Ids(), RecordIds());

  // The database refuses: nothing moves, nothing is lost, the lines wait.
  AppendEntry(Record(), SiteEntry(3, 3, 21, 4, 5, "0106", sr_Failed, "the card stopped"));
  ASSERT_TRUE(Db->Run("ALTER TABLE service_lines RENAME TO held"));
  Shipped = Shipper.Ship(*Db);
  EXPECT_FALSE(Shipped.Ok);
  EXPECT_EQ(Shipped.Waiting, 1u);
  EXPECT_EQ(Shipper.Waiting().Waiting, 1u);
  ASSERT_TRUE(Db->Run("ALTER TABLE held RENAME TO service_lines"));
  // A line still being written waits for its line end.
  std::ofstream(Record(), std::ios::app) << R"({"Id":"half)";
  Shipped = Shipper.Ship(*Db);
  ASSERT_TRUE(Shipped.Ok) << Shipped.Error;
  EXPECT_EQ(Shipped.Sent, 1u);
  EXPECT_EQ(Ids().size(), 4u);

  // A commit whose place was never written (a crash between them) is sent again: kept once.
  tShipPlace Place;
  std::string Error;
  ASSERT_TRUE(ReadShipPlace(ShipPlacePath(Record()), Place, Error));
  ASSERT_TRUE(WriteShipPlace(ShipPlacePath(Record()), {0, ""}, Error));
  Shipped = Shipper.Ship(*Db);
  ASSERT_TRUE(Shipped.Ok) << Shipped.Error;
  EXPECT_EQ(Number("SELECT count(*) FROM service_lines"), 4);
  tShipPlace Again;
  ASSERT_TRUE(ReadShipPlace(ShipPlacePath(Record()), Again, Error));
  EXPECT_EQ(Again.Offset, Place.Offset);
  EXPECT_EQ(Again.LastId, Place.LastId);

  // The record replaced by another (restored from elsewhere): its lines go from its start.
  std::filesystem::remove(Record());
  AppendEntry(Record(), SiteEntry(10, 4, 22, 3, 4, "0105", sr_Succeeded));
  const std::string Replaced = RecordIds().front();
  Shipped = Shipper.Ship(*Db);
  ASSERT_TRUE(Shipped.Ok) << Shipped.Error;
  EXPECT_EQ(Ids().back(), Replaced);
  EXPECT_EQ(Ids().size(), 5u);
}

TEST_F(SiteDatabase, LinesWithoutIdsShipOnceAndStrangeLinesAreKept) {
  // A record from before lines had ids, with a damaged line and hostile texts.
  std::ofstream(Record()) << R"({"Start":"2026-01-02T03:04:05.000Z","Port":1,"Result":"success"})"
                          << "\n"
                          << "not a record line\n"
                          << R"({"Start":"2026-01-02T03:04:05.000Z","Port":1,"Result":"success"})"
                          << "\n"
                          << R"({"Failure":"'); DROP TABLE service_lines; --","Result":"x"})"
                          << "\n"
                          << R"({"Start":"2026-02-30T03:04:05.000Z","Failure":"a\u0000b"})"
                          << "\n";
  tSiteShipper Shipper(Record(), "bench");
  for (int Round = 0; Round < 3; ++Round) {
    // Each round forgets the place: the keys alone keep each line once.
    std::filesystem::remove(ShipPlacePath(Record()));
    const tShipResult Shipped = Shipper.Ship(*Db);
    ASSERT_TRUE(Shipped.Ok) << Shipped.Error;
  }
  EXPECT_EQ(Ids(), RecordIds());
  EXPECT_EQ(Ids().size(), 5u) << "the same line at two places is two updates";
  EXPECT_EQ(Number("SELECT count(*) FROM service_lines WHERE line ? 'Unreadable'"), 1);
  EXPECT_EQ(Number("SELECT count(*) FROM service_lines WHERE failure LIKE '%DROP TABLE%'"), 1);
}

TEST_F(SiteDatabase, HistoryFiltersAnswerWhichCardsRunAReleaseAndOneCardsHistory) {
  // Card 21 got 0105 then 0106; card 22 got 0105; card 23 failed on 0106; station two has 24.
  AppendEntry(Record(), SiteEntry(0, 3, 21, 3, 4, "0105", sr_Succeeded));
  AppendEntry(Record(), SiteEntry(60, 4, 22, 3, 4, "0105", sr_Succeeded));
  AppendEntry(Record(), SiteEntry(120, 3, 21, 4, 5, "0106", sr_Succeeded));
  AppendEntry(Record(), SiteEntry(180, 5, 23, 3, 5, "0106", sr_Failed, "the card stopped"));
  tSiteShipper First(Record(), "bench");
  ASSERT_TRUE(First.Ship(*Db).Ok);
  const std::string Other = Own.File("other.jsonl");
  AppendEntry(Other, SiteEntry(240, 3, 24, 3, 5, "0106", sr_Succeeded));
  tSiteShipper Second(Other, "bench-2");
  ASSERT_TRUE(Second.Ship(*Db).Ok);

  const auto Day = [](int Minute) {
    return UtcStamp(std::chrono::system_clock::time_point(std::chrono::hours(24 * 20800) +
                                                          std::chrono::minutes(Minute)));
  };
  struct tCase {
    const char* Name;
    std::function<void(tSiteFilter&)> Set;
    std::vector<int> Cards;  // device IDs in the answer's order
  } Cases[] = {
      {"everything", [](tSiteFilter&) {}, {21, 22, 21, 23, 24}},
      {"one card's history", [](tSiteFilter& F) { F.Card = 21; }, {21, 21}},
      {"by whole identity", [](tSiteFilter& F) { F.CardIdentity = "22 0403:6001 A22"; }, {22}},
      {"by port", [](tSiteFilter& F) { F.Port = 3; }, {21, 21, 24}},
      {"by station", [](tSiteFilter& F) { F.Station = "bench-2"; }, {24}},
      {"by result", [](tSiteFilter& F) { F.Result = "failed"; }, {23}},
      {"by image hash's start",
       [](tSiteFilter& F) { F.ImageHash = std::string(62, 'A') + "1"; },
       {21, 22, 21, 23, 24}},
      {"by image hash",
       [](tSiteFilter& F) { F.ImageHash = std::string(62, 'a') + "15"; },
       {21, 23, 24}},
      {"release as firmware", [](tSiteFilter& F) { F.Release = "4"; }, {21, 22}},
      {"release as FPGA", [](tSiteFilter& F) { F.Release = "0106"; }, {21, 24}},
      {"release as image file", [](tSiteFilter& F) { F.Release = "0105.bit"; }, {21, 22}},
      {"which cards run 0105 now",
       [](tSiteFilter& F) {
         F.Release = "0105";
         F.LatestPerCard = true;
       },
       {22}},
      {"which cards run 0106 now",
       [](tSiteFilter& F) {
         F.Release = "0106";
         F.LatestPerCard = true;
       },
       {21, 24}},
      {"time range",
       [&](tSiteFilter& F) {
         F.Since = Day(60);
         F.Until = Day(180);
       },
       {22, 21}},
      {"SQL in a value is a value", [](tSiteFilter& F) { F.Station = "x' OR '1'='1"; }, {}},
      {"limit keeps the newest", [](tSiteFilter& F) { F.Limit = 2; }, {23, 24}},
  };
  for (const tCase& Case : Cases) {
    std::vector<tSiteLine> Lines;
    std::string Error;
    tSiteFilter Filter;
    Case.Set(Filter);
    ASSERT_TRUE(QuerySiteLines(*Db, Filter, Lines, Error)) << Case.Name << ": " << Error;
    std::vector<int> Cards;
    for (const auto& Line : Lines)
      Cards.push_back(Line.DeviceID.value_or(-1));
    EXPECT_EQ(Cards, Case.Cards) << Case.Name;
  }
  // A time PostgreSQL cannot read is an error, not an empty answer.
  std::vector<tSiteLine> Lines;
  std::string Error;
  tSiteFilter Unreadable;
  Unreadable.Since = "last tuesday-ish";
  EXPECT_FALSE(QuerySiteLines(*Db, Unreadable, Lines, Error));
  EXPECT_FALSE(Error.empty());
}

TEST_F(SiteDatabase, HeartbeatsKeepOnlyEachStationsNewestPorts) {
  std::string Error;
  ASSERT_TRUE(SendHeartbeat(
      *Db, "bench", {{3, "working", "21", "update-fpga"}, {4, "passed", "22", "passed"}}, Error))
      << Error;
  ASSERT_TRUE(SendHeartbeat(*Db, "bench-2", {}, Error)) << Error;
  ASSERT_TRUE(SendHeartbeat(*Db, "bench", {{3, "failed", "21", "the card <stopped>"}}, Error));
  std::vector<tStationBeat> Line;
  ASSERT_TRUE(QueryLineNow(*Db, Line, Error)) << Error;
  ASSERT_EQ(Line.size(), 2u);
  EXPECT_EQ(Line[0].Station, "bench");
  ASSERT_EQ(Line[0].Ports.size(), 1u);
  EXPECT_EQ(Line[0].Ports[0].State, "failed");
  EXPECT_EQ(Line[0].Ports[0].Step, "the card <stopped>");
  EXPECT_EQ(Line[1].Station, "bench-2");
  EXPECT_TRUE(Line[1].Ports.empty()) << "a station without ports is still there";
}

// Polls What until it holds, for at most a minute: the end of a wait on the station's thread.
template <class tWhat>
bool Eventually(tWhat What) {
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!What()) {
    if (std::chrono::steady_clock::now() > Until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

TEST_F(SiteDatabase, TheStationShipsAndSendsItsPortsInTheBackground) {
  tCliContext Context;
  Context.Command = "station";
  tStationOptions Options;
  Options.Record = Record();
  Options.StationName = "line-1";
  tCliResult Exit;
  {
    tScopedEnv None("CADDIS_SITE", "");
    EXPECT_EQ(OpenStationSite(Context, Options, Exit), nullptr) << "no database named, none used";
    EXPECT_EQ(Exit.Exit, ExitOk);
    Options.Site = "host=x password=hunter2";
    EXPECT_EQ(OpenStationSite(Context, Options, Exit), nullptr);
    EXPECT_EQ(Exit.Exit, ExitUsage);
  }
  Exit = {};
  Options.Site = Dsn();
  AppendEntry(Record(), SiteEntry(0, 3, 21, 3, 4, "0105", sr_Succeeded));
  const auto Site = OpenStationSite(Context, Options, Exit);
  ASSERT_NE(Site, nullptr);
  const auto State = [&](int Port) {
    auto Result = Db->Exec(
        "SELECT state || ' ' || coalesce(step, '') FROM station_ports WHERE "
        "station = 'line-1' AND port = $1::integer",
        {std::to_string(Port)});
    return Result && PQntuples(Result.get()) == 1 ? PgText(Result.get(), 0, 0) : std::string();
  };
  Site->Ports({{3, tStationPortView::ps_Working, "21", "", "update-fpga", std::nullopt},
               {4, tStationPortView::ps_Empty, "", "", "", std::nullopt}});
  EXPECT_TRUE(
      Eventually([&] { return State(3) == "working update-fpga" && State(4) == "empty "; }));
  EXPECT_TRUE(Eventually([&] { return Ids("line-1").size() == 1; }));
  // The step ended and wrote its line: both reach the database.
  AppendEntry(Record(), SiteEntry(1, 3, 21, 4, 5, "0106", sr_Succeeded));
  Site->Ports({{3, tStationPortView::ps_Pass, "21", "", "passed", std::nullopt},
               {4, tStationPortView::ps_Fail, "22", "", "the card stopped", std::nullopt}});
  EXPECT_TRUE(Eventually([&] { return State(3) == "passed passed"; }));
  EXPECT_TRUE(Eventually([&] { return State(4) == "failed the card stopped"; }));
  EXPECT_TRUE(Eventually([&] { return Ids("line-1") == RecordIds(); }));
}

TEST_F(SiteDatabase, TheBackgroundShipsWhatTheLastUpdateWroteBeforeItEnds) {
  tSiteBackground::tOptions Options;
  Options.Connection = Dsn();
  Options.RecordPath = Record();
  Options.Station = "bench";
  Options.Period = std::chrono::hours(1);  // nothing but a trigger makes it ship again
  {
    tSiteBackground Background(Options);
    ASSERT_TRUE(Eventually([&] { return Background.Status().Rounds >= 1; }));
    AppendEntry(Record(), SiteEntry(0, 3, 21, 3, 4, "0105", sr_Succeeded));
    Background.Trigger();
  }
  EXPECT_EQ(Ids(), RecordIds());
  EXPECT_EQ(Ids().size(), 1u);
}

TEST_F(SiteDatabase, TheCaddisProgramPushesReportsAndAnswers) {
  AppendEntry(Record(), SiteEntry(0, 3, 21, 3, 4, "0105", sr_Succeeded));
  AppendEntry(Record(), SiteEntry(60, 3, 21, 4, 5, "0106", sr_Succeeded));
  const auto Caddis = [&](std::vector<std::string> Args) {
    Args.insert(Args.begin(), CADDIS_PATH);
    return RunProgram(Args, Own.File("out.txt"));
  };
  auto Run = Caddis({"site", "status", "--site", Dsn(), "--record", Record()});
  EXPECT_EQ(Run.Exit, 0) << Run.Output;
  EXPECT_TRUE(Run.Says("Waiting: 2 lines")) << Run.Output;
  Run = Caddis({"site", "push", "--site", Dsn(), "--record", Record(), "--station-name", "st-9"});
  EXPECT_EQ(Run.Exit, 0) << Run.Output;
  EXPECT_TRUE(Run.Says("Shipped 2 lines")) << Run.Output;
  Run = Caddis({"site", "status", "--site", Dsn(), "--record", Record(), "--json"});
  EXPECT_TRUE(Run.Says("\"waiting\":0")) << Run.Output;

  Run = Caddis({"history", "--site", Dsn(), "--card", "21"});
  EXPECT_EQ(Run.Exit, 0) << Run.Output;
  EXPECT_TRUE(Run.Says("st-9")) << Run.Output;
  EXPECT_TRUE(Run.Says("fw 4, FPGA 0105")) << Run.Output;
  Run = Caddis({"history", "--site", Dsn(), "--release", "0106", "--latest", "--json"});
  EXPECT_EQ(Run.Exit, 0) << Run.Output;
  EXPECT_TRUE(Run.Says("\"count\":1")) << Run.Output;
  EXPECT_TRUE(Run.Says("\"station\":\"st-9\"")) << Run.Output;

  struct tRefused {
    std::vector<std::string> Args;
    const char* Says;
  } Refusals[] = {
      {{"history", "--site", "host=x password=hunter2"}, ".pgpass"},
      {{"site", "push", "--site", "postgresql://u:hunter2@x/db"}, ".pgpass"},
      {{"history", "--release", "0106"}, "give --site"},
      {{"history", "--site", Dsn(), "--result", "maybe"}, "--result"},
      {{"history", "--site", Dsn(), "--image", "xyz"}, "--image"},
  };
  for (const tRefused& Refused : Refusals) {
    Run = Caddis(Refused.Args);
    EXPECT_EQ(Run.Exit, 2) << Run.Output;
    EXPECT_TRUE(Run.Says(Refused.Says)) << Run.Output;
    EXPECT_FALSE(Run.Says("hunter2")) << "a password is never shown: " << Run.Output;
  }
  // A database that is not there fails, and says so.
  Run =
      Caddis({"site", "push", "--site", "host=" + Own.Path + " dbname=none", "--record", Record()});
  EXPECT_EQ(Run.Exit, 1) << Run.Output;
  EXPECT_TRUE(Run.Says("cannot reach the site database")) << Run.Output;
}

}  // namespace

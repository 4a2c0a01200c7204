// Twenty stations of four cards each write their records through the real recorder and ship
// them through the real background shipper to a real PostgreSQL server that is stopped (as in
// a crash) and started again twice meanwhile. Afterwards every line is in the database exactly
// once, and each station's lines are in its record's order.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "session/CardSession.h"
#include "site/SiteBackground.h"
#include "site/SiteFixture.h"
#include "site/SiteShipper.h"

namespace {

constexpr int Stations = 20, CardsPerStation = 4, Phases = 4, LinesPerPhase = 5;
constexpr int LinesPerPhaseAll = Stations * CardsPerStation * LinesPerPhase;

// Polls What until it holds, for at most Limit: the end of a wait on other threads' work.
template <class tWhat>
bool Eventually(tWhat What, std::chrono::seconds Limit = std::chrono::seconds(180)) {
  const auto Until = std::chrono::steady_clock::now() + Limit;
  while (!What()) {
    if (std::chrono::steady_clock::now() > Until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The cards write phase by phase; the test opens each phase in turn.
class tGate {
 public:
  void Open(int Phase) {
    {
      std::lock_guard Lock(fMutex);
      fOpen = Phase;
    }
    fChanged.notify_all();
  }
  void WaitFor(int Phase) {
    std::unique_lock Lock(fMutex);
    fChanged.wait(Lock, [&] { return fOpen >= Phase; });
  }
  void Written() {
    {
      std::lock_guard Lock(fMutex);
      ++fWritten;
    }
    fChanged.notify_all();
  }
  void WaitWritten(int Count) {
    std::unique_lock Lock(fMutex);
    fChanged.wait(Lock, [&] { return fWritten >= Count; });
  }

 private:
  std::mutex fMutex;
  std::condition_variable fChanged;
  int fOpen = -1, fWritten = 0;
};

class SiteIngest : public tSiteServerTest {};

TEST_F(SiteIngest, TwentyStationsTwoOutagesEveryLineOnceInOrder) {
  std::vector<std::string> Records;
  std::vector<std::unique_ptr<tSiteBackground>> Shippers;
  for (int s = 0; s < Stations; ++s) {
    Records.push_back(Own.File("station-" + std::to_string(s) + ".jsonl"));
    tSiteBackground::tOptions Options;
    Options.Connection = Dsn();
    Options.RecordPath = Records.back();
    Options.Station = "station-" + std::to_string(s);
    Options.Period = std::chrono::milliseconds(100);
    Options.ConnectSeconds = 2;
    Shippers.push_back(std::make_unique<tSiteBackground>(Options));
  }

  tGate Gate;
  std::vector<std::string> Failures;
  std::mutex FailuresLock;
  std::vector<std::thread> Cards;
  for (int s = 0; s < Stations; ++s)
    for (int c = 0; c < CardsPerStation; ++c)
      Cards.emplace_back([&, s, c] {
        tCardSession Session([](std::chrono::milliseconds) { return true; });
        Session.ComPort = c + 1;
        const std::string Serial = "S" + std::to_string(s) + "C" + std::to_string(c);
        Session.AdapterOf = [Serial](int32_t) {
          return tAdapterIdentity{"0403", "6001", Serial, "FT232R"};
        };
        tServiceRecorder Recorder("caddis", Records[s]);
        for (int Phase = 0; Phase < Phases; ++Phase) {
          Gate.WaitFor(Phase);
          for (int i = 0; i < LinesPerPhase; ++i) {
            Recorder.Begin(Session, tRecordAction::FPGA, tImageFacts{});
            std::string Error;
            if (!Recorder.Finish(Session, i % 3 ? sr_Succeeded : sr_Failed, "the card stopped",
                                 Error)) {
              std::lock_guard Lock(FailuresLock);
              Failures.push_back(Error);
            }
            // After each update, as the station does; it returns at once whatever the server.
            Shippers[s]->Trigger();
            Gate.Written();
          }
        }
      });

  // However the test ends, the cards finish their phases and their threads are joined.
  struct tJoinAll {
    tGate& Gate;
    std::vector<std::thread>& Threads;
    ~tJoinAll() {
      Gate.Open(Phases);
      for (auto& Thread : Threads)
        if (Thread.joinable()) Thread.join();
    }
  } JoinAll{Gate, Cards};

  const auto ErrorsSeenByAll = [&] {
    for (const auto& Shipper : Shippers)
      if (Shipper->Status().LastError.empty()) return false;
    return true;
  };
  std::string Error;
  for (int Phase = 0; Phase < Phases; ++Phase) {
    Gate.Open(Phase);
    Gate.WaitWritten(LinesPerPhaseAll * (Phase + 1));
    if (Phase % 2 == 0) {
      // Down at once, as in a crash, while the stations may still be shipping.
      ASSERT_TRUE(Server->Stop(Error, true)) << Error;
    } else {
      // Every station has lines written during the outage and has met the server down.
      ASSERT_TRUE(Eventually(ErrorsSeenByAll));
      ASSERT_TRUE(Server->Start(Error)) << Error;
    }
  }
  for (auto& Card : Cards)
    Card.join();
  EXPECT_TRUE(Failures.empty()) << Failures.front();

  // Each station drains its record by itself once the server is back.
  ASSERT_TRUE(Eventually([&] {
    for (int s = 0; s < Stations; ++s)
      if (tSiteShipper(Records[s], "").Waiting().Waiting != 0) return false;
    return true;
  })) << "still waiting; the last error: "
      << Shippers.front()->Status().LastError;
  Shippers.clear();

  Db = std::make_unique<tSiteDb>(Dsn());
  ASSERT_TRUE(Db->Ok()) << Db->Error();
  const long long All = LinesPerPhaseAll * Phases;
  EXPECT_EQ(Number("SELECT count(*) FROM service_lines"), All);
  EXPECT_EQ(Number("SELECT count(DISTINCT line->>'Id') FROM service_lines WHERE id = line->>'Id'"),
            All);
  for (int s = 0; s < Stations; ++s) {
    std::vector<tRecordLine> Lines;
    ASSERT_TRUE(ReadRecordLines(Records[s], 0, 100000, Lines, Error)) << Error;
    ASSERT_EQ(Lines.size(), static_cast<std::size_t>(CardsPerStation * Phases * LinesPerPhase));
    auto Result = Db->Exec(
        "SELECT id, record_offset FROM service_lines WHERE station = $1 "
        "ORDER BY seq",
        {"station-" + std::to_string(s)});
    ASSERT_TRUE(Result) << Db->Error();
    ASSERT_EQ(PQntuples(Result.get()), static_cast<int>(Lines.size()));
    for (int Row = 0; Row < PQntuples(Result.get()); ++Row) {
      ASSERT_EQ(PgText(Result.get(), Row, 0), ShipLineId(Lines[Row])) << "station " << s;
      ASSERT_EQ(PgText(Result.get(), Row, 1), std::to_string(Lines[Row].Offset));
    }
  }
}

}  // namespace

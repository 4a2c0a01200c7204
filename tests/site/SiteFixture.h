// What the site record's tests against a real server share: one server per test program,
// a fresh database per test, and record lines written by the record's own writer.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "TempFolder.h"
#include "session/ServiceRecord.h"
#include "site/PgServer.h"
#include "site/SiteLink.h"
#include "site/SiteSchema.h"

class tSiteServerTest : public testing::Test {
 public:
  static void SetUpTestSuite() {
    Folder = new tTempFolder("cs-");
    Server = new tPgServer(Folder->Path);
    std::string Error;
    if (!Server->Start(Error)) StartError = new std::string(Error);
  }
  static void TearDownTestSuite() {
    delete Server;  // stops it
    delete Folder;
    delete StartError;
    Server = nullptr;
    Folder = nullptr;
    StartError = nullptr;
  }

 protected:
  void SetUp() override {
    ASSERT_EQ(StartError, nullptr) << *StartError;
    static std::atomic<int> Count{0};
    Database = "t" + std::to_string(++Count);
    tSiteDb Admin(Server->Dsn());
    ASSERT_TRUE(Admin.Ok()) << Admin.Error();
    ASSERT_TRUE(Admin.Run("CREATE DATABASE " + Database)) << Admin.Error();
    Db = std::make_unique<tSiteDb>(Dsn());
    ASSERT_TRUE(Db->Ok()) << Db->Error();
    std::string Error;
    ASSERT_TRUE(EnsureSiteSchema(*Db, Error)) << Error;
  }
  std::string Dsn() const { return Server->Dsn(Database); }

  // The number a query's single cell holds.
  long long Number(const std::string& Sql) {
    auto Result = Db->Exec(Sql);
    EXPECT_TRUE(Result) << Db->Error();
    return Result ? std::stoll(PgText(Result.get(), 0, 0)) : -1;
  }

  static inline tTempFolder* Folder = nullptr;
  static inline tPgServer* Server = nullptr;
  static inline std::string* StartError = nullptr;
  tTempFolder Own;
  std::string Database;
  std::unique_ptr<tSiteDb> Db;
};

// An update as the recorder would note it, at a moment counted in minutes from a fixed day.
inline tServiceEntry SiteEntry(int Minute, int32_t Port, uint8_t Device, int FwBefore, int FwAfter,
                               const std::string& FPGA, tServiceResult Result,
                               const std::string& Failure = {}) {
  tServiceEntry Entry;
  Entry.Action = tRecordAction::FPGA;
  Entry.Program = "caddis";
  Entry.Start = std::chrono::system_clock::time_point(std::chrono::hours(24 * 20800) +
                                                      std::chrono::minutes(Minute));
  Entry.End = Entry.Start + std::chrono::seconds(30);
  Entry.DurationSeconds = 30;
  Entry.HostName = "bench";
  Entry.Port = Port;
  Entry.Adapter = {"0403", "6001", "A" + std::to_string(Device), "FT232R"};
  Entry.Before = {true, Device, static_cast<uint8_t>(FwBefore), "0104052026"};
  if (Result == sr_Succeeded) Entry.After = {true, Device, static_cast<uint8_t>(FwAfter), FPGA};
  Entry.Image.Known = true;
  Entry.Image.Path = "/images/" + FPGA + ".bit";
  Entry.Image.SHA256 = std::string(62, 'a') + std::to_string(10 + FwAfter % 90);
  Entry.Image.Size = 1000;
  Entry.Result = Result;
  Entry.Failure = Failure;
  Entry.Id = RecordLineId(Entry.HostName, Entry.End);
  return Entry;
}

inline void AppendEntry(const std::string& Record, const tServiceEntry& Entry) {
  std::string Error;
  ASSERT_TRUE(AppendServiceRecord(Record, Entry, Error)) << Error;
}

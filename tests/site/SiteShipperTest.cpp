// The shipper's pieces that need no database: the connection text's password check, the
// place file, the record read in complete lines, each line's key and the columns kept beside
// it, and the record line's own Id.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "TempFolder.h"
#include "session/ServiceRecord.h"
#include "site/SiteLink.h"
#include "site/SiteShipper.h"

namespace {

using json = nlohmann::json;

void Write(const std::string& Path, const std::string& Text) {
  std::ofstream(Path, std::ios::binary) << Text;
}

TEST(SiteConnection, PasswordsAreRefusedWhereverTheyHide) {
  struct tCase {
    const char* Text;
    bool Password;
  } Cases[] = {
      {"", false},
      {"host=/run/pg dbname=site user=station", false},
      {"host=db password=secret", true},
      {"host=db  password = 'se cret'", true},
      {"host=db password=''", false},  // an empty password is none
      {"postgresql://station@db/site", false},
      {"postgresql://station:secret@db/site", true},
      {"postgres://station:@db/site", true},
      {"postgresql://db/site?user=station&password=secret", true},
      {"postgresql://db/site?sslmode=require", false},
      {"postgresql:///site?host=/run/pg", false},
      {"host='unbalanced password=x", true},  // unparsable and mentions one
      {"application_name=passwordless", false},
  };
  for (const tCase& Case : Cases)
    EXPECT_EQ(SiteTextHasPassword(Case.Text), Case.Password) << Case.Text;
}

TEST(SiteConnection, ComesFromTheOptionThenTheEnvironmentNeverWithAPassword) {
  std::string Error;
  {
    tScopedEnv Site("CADDIS_SITE", "host=env dbname=site");
    EXPECT_EQ(SiteConnectionText("host=given", Error), "host=given");
    EXPECT_EQ(SiteConnectionText("", Error), "host=env dbname=site");
  }
  {
    tScopedEnv Site("CADDIS_SITE", "");
    EXPECT_EQ(SiteConnectionText("", Error), "");  // libpq's own environment decides
  }
  tScopedEnv Site("CADDIS_SITE", "host=env password=hunter2");
  EXPECT_FALSE(SiteConnectionText("", Error));
  EXPECT_NE(Error.find("CADDIS_SITE"), std::string::npos);
  EXPECT_NE(Error.find(".pgpass"), std::string::npos);
  EXPECT_EQ(Error.find("hunter2"), std::string::npos) << "the password is never shown";
}

TEST(ShipPlace, RoundTripsAndRefusesWhatItDidNotWrite) {
  tTempFolder Folder;
  const std::string Path = Folder.File("record.jsonl.shipped");
  tShipPlace Place;
  std::string Error;
  ASSERT_TRUE(ReadShipPlace(Path, Place, Error)) << "a missing place is the start";
  EXPECT_EQ(Place.Offset, 0u);
  ASSERT_TRUE(WriteShipPlace(Path, {123456789012ull, "bench/20261208T103907123Z/ab"}, Error))
      << Error;
  ASSERT_TRUE(ReadShipPlace(Path, Place, Error)) << Error;
  EXPECT_EQ(Place.Offset, 123456789012ull);
  EXPECT_EQ(Place.LastId, "bench/20261208T103907123Z/ab");
  EXPECT_FALSE(std::filesystem::exists(Path + ".new"));
  for (const char* Damaged : {"", "12", "x 1\n", "-5 id\n", "99999999999999999999 id\n"}) {
    Write(Path, Damaged);
    EXPECT_FALSE(ReadShipPlace(Path, Place, Error)) << "'" << Damaged << "'";
  }
}

TEST(RecordLines, OnlyCompleteLinesFromTheOffset) {
  tTempFolder Folder;
  const std::string Path = Folder.File("record.jsonl");
  std::vector<tRecordLine> Lines;
  std::string Error;
  ASSERT_TRUE(ReadRecordLines(Path, 0, 10, Lines, Error)) << "no record yet is no line";
  EXPECT_TRUE(Lines.empty());
  Write(Path, "{\"a\":1}\n\n{\"b\":2}\n{\"c\":");  // a blank line, and one still being written
  ASSERT_TRUE(ReadRecordLines(Path, 0, 10, Lines, Error));
  ASSERT_EQ(Lines.size(), 3u);
  EXPECT_EQ(Lines[0].Bytes, "{\"a\":1}");
  EXPECT_EQ(Lines[1].Offset, 8u);
  EXPECT_EQ(Lines[2].Offset, 9u);
  EXPECT_EQ(Lines[2].End, 17u);
  ASSERT_TRUE(ReadRecordLines(Path, 9, 1, Lines, Error));
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines[0].Bytes, "{\"b\":2}");
  ASSERT_TRUE(ReadRecordLines(Path, 17, 10, Lines, Error));
  EXPECT_TRUE(Lines.empty()) << "the unfinished line waits";
  ASSERT_TRUE(ReadRecordLines(Path, 1000, 10, Lines, Error));
  EXPECT_TRUE(Lines.empty());
  // A line far too long is cut, but the next one starts where it really does.
  Write(Path, std::string(3 << 20, 'x') + "\n{\"d\":4}\n");
  ASSERT_TRUE(ReadRecordLines(Path, 0, 10, Lines, Error));
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_EQ(Lines[0].End, (3u << 20) + 1);
  EXPECT_EQ(Lines[1].Offset, Lines[0].End);
  EXPECT_EQ(Lines[1].Bytes, "{\"d\":4}");
}

TEST(ShipLineId, TheLinesOwnIdElseAStableKeyOfBytesAndPlace) {
  EXPECT_EQ(ShipLineId({0, 0, R"({"Id":"st/1/ab","Port":3})"}), "st/1/ab");
  const tRecordLine Old{40, 0, R"({"Start":"2026-12-08T10:39:07.123Z","Port":3})"};
  const std::string Key = ShipLineId(Old);
  EXPECT_EQ(Key.rfind("sha256:", 0), 0u);
  EXPECT_EQ(Key.size(), 7u + 64);
  EXPECT_EQ(ShipLineId(Old), Key) << "the same every time it is read";
  // The same bytes at another place (the same update recorded twice) are another line.
  EXPECT_NE(ShipLineId({41, 0, Old.Bytes}), Key);
  for (const char* NoId : {R"({"Id":""})", R"({"Id":7})", "not json", "[1]", R"({"Id":"a\nb"})",
                           R"({"Id":"a\u0000b"})"})
    EXPECT_EQ(ShipLineId({0, 0, NoId}).rfind("sha256:", 0), 0u) << NoId;
}

TEST(ShipRow, ColumnsComeFromTheLineAndStrangeValuesBecomeNull) {
  const std::string Line =
      R"({"Start":"2026-12-08T10:39:07.123Z","Port":3,"DeviceID":21,)"
      R"("Adapter":{"Vendor":"0403","Product":"6001","Serial":"A1"},)"
      R"("Before":{"DeviceID":21,"FirmwareVersion":3,"FPGAVersion":"0104"},)"
      R"("After":{"DeviceID":21,"FirmwareVersion":4,"FPGAVersion":"0105"},)"
      R"("Image":{"File":"SkerryFPGA.bit","SHA256":"ab12"},"Action":"update-fpga",)"
      R"("Result":"failed","Failure":"<b>'; DROP TABLE x; --","Id":"s/1/x"})";
  const json Row = json::parse(ShipRowJson({100, 0, Line}, "bench-3"));
  EXPECT_EQ(Row["id"], "s/1/x");
  EXPECT_EQ(Row["station"], "bench-3");
  EXPECT_EQ(Row["record_offset"], 100);
  EXPECT_EQ(Row["started"], "2026-12-08T10:39:07.123Z");
  EXPECT_EQ(Row["card"], "21 0403:6001 A1");
  EXPECT_EQ(Row["firmware_before"], 3);
  EXPECT_EQ(Row["fpga_after"], "0105");
  EXPECT_EQ(Row["image_sha256"], "ab12");
  EXPECT_EQ(Row["failure"], "<b>'; DROP TABLE x; --");
  EXPECT_EQ(Row["line"], json::parse(Line));

  struct tOdd {
    const char* Line;
    const char* Column;
  } Odds[] = {
      {R"({"Start":"yesterday"})", "started"},
      {R"({"Start":"2026-12-08T10:39:07.123"})", "started"},
      {R"({"Start":"2026-12-08 10:39:07Z"})", "started"},
      {R"({"Start":"2026-02-30T10:39:07.123Z"})", "started"},
      {R"({"Start":"2026-12-08T24:00:00.000Z"})", "started"},
      {R"({"Start":"2026-13-08T10:39:07.123Z"})", "started"},
      {R"({"Port":"3"})", "port"},
      {R"({"Port":99999999999})", "port"},
      {R"({"Port":3.5})", "port"},
      {R"({"DeviceID":null})", "card"},
      {R"({"Image":"file"})", "image_file"},
  };
  for (const tOdd& Odd : Odds) {
    const json Strange = json::parse(ShipRowJson({0, 0, Odd.Line}, "s"));
    EXPECT_TRUE(!Strange.contains(Odd.Column) || Strange[Odd.Column].is_null()) << Odd.Line;
  }
  // A NUL, which PostgreSQL keeps in no text, becomes U+FFFD wherever it is.
  const json Nul = json::parse(ShipRowJson({0, 0, R"({"Failure":"a\u0000b","x\u0000":1})"}, "s"));
  EXPECT_EQ(Nul["failure"],
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_TRUE(Nul["line"].contains("x\xEF\xBF\xBD"));
  // Not JSON at all: kept as its text, columns empty, still shipped.
  const json Broken = json::parse(ShipRowJson({0, 0, "{\"Start\": \xff broken"}, "s"));
  EXPECT_TRUE(Broken["line"]["Unreadable"].is_string());
  EXPECT_FALSE(Broken.contains("started"));
}

TEST(RecordLineId, UniqueAndNamedForTheStationAndMoment) {
  const auto At = std::chrono::system_clock::time_point(std::chrono::hours(500000));
  std::set<std::string> Ids;
  for (int i = 0; i < 1000; ++i)
    Ids.insert(RecordLineId("bench-3", At));
  EXPECT_EQ(Ids.size(), 1000u) << "the same moment never gives the same id";
  const std::string Id = *Ids.begin();
  EXPECT_EQ(Id.rfind("bench-3/" + UtcStamp(At, true) + "/", 0), 0u) << Id;
  EXPECT_EQ(Id.size(), std::string("bench-3/").size() + UtcStamp(At, true).size() + 1 + 32);
}

}  // namespace

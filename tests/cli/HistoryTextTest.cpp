// caddis history's reading of the record: which lines are updates, which the filters keep,
// which are damaged, and the table they make.
#include "cli/HistoryText.h"

#include <gtest/gtest.h>

#include "session/ServiceRecord.h"

namespace {

using namespace std::chrono_literals;

std::string RecordLine(int32_t Port, uint8_t Card, tServiceResult Result,
                       const std::string& Failure = "") {
  tServiceEntry Entry;
  Entry.Action = tRecordAction::FPGA;
  Entry.Program = "caddis";
  Entry.Start = std::chrono::system_clock::time_point(1765190347123ms);
  Entry.End = Entry.Start + 5s;
  Entry.Port = Port;
  Entry.Before = {true, Card, 3, "0104052026"};
  Entry.After = {true, Card, 3, "0105052026"};
  Entry.Image = {true, "/images/SkerryFPGA.bit", 100, std::string(64, 'c'), ""};
  Entry.Result = Result;
  Entry.Failure = Failure;
  return ServiceRecordLine(Entry);
}

TEST(HistoryTextTest, LinesAreKeptFilteredOrFoundDamaged) {
  struct tCase {
    const char* What;
    std::string Line;
    tHistoryFilter Filter;
    tHistoryLine Expected;
  };
  const std::string Good = RecordLine(5, 17, sr_Succeeded);
  const tCase Cases[] = {
      {"an update", Good, {}, hl_Kept},
      {"on the port asked for", Good, {5, -1}, hl_Kept},
      {"on another port", Good, {6, -1}, hl_Filtered},
      {"of the card asked for", Good, {0, 17}, hl_Kept},
      {"of another card", Good, {0, 18}, hl_Filtered},
      {"blank", "  \r", {}, hl_Blank},
      {"cut off half-way", Good.substr(0, Good.size() / 2), {}, hl_Damaged},
      {"not an object", "[1,2,3]", {}, hl_Damaged},
      {"no result", "{\"Start\":\"x\",\"Action\":\"update-fpga\"}", {}, hl_Damaged},
      {"a result that is no text",
       "{\"Start\":\"x\",\"Action\":\"a\",\"Result\":7}",
       {},
       hl_Damaged},
      // A field of the wrong kind is no match, and no crash.
      {"a port that is a text",
       "{\"Start\":\"x\",\"Action\":\"a\",\"Result\":\"success\",\"Port\":\"5\"}",
       {5, -1},
       hl_Filtered},
  };
  for (const tCase& Case : Cases) {
    tHistoryEntry Entry;
    EXPECT_EQ(ReadHistoryLine(Case.Line, Case.Filter, Entry), Case.Expected) << Case.What;
    if (Case.Expected == hl_Kept) {
      EXPECT_EQ(Entry.Line, Case.Line) << Case.What;
    }
  }
}

TEST(HistoryTextTest, TableAlignsItsColumnsAndEndsWithTheResult) {
  std::vector<tHistoryEntry> Entries(2);
  ASSERT_EQ(ReadHistoryLine(RecordLine(5, 17, sr_Succeeded), {}, Entries[0]), hl_Kept);
  ASSERT_EQ(
      ReadHistoryLine(RecordLine(12, 3, sr_Failed, "the card stopped answering"), {}, Entries[1]),
      hl_Kept);
  const auto Lines = HistoryTable(Entries);
  ASSERT_EQ(Lines.size(), 3u);
  EXPECT_EQ(Lines[0],
            "Start (UTC)          Port   Card  Action       Before                 After         "
            "         Image           Result");
  EXPECT_EQ(Lines[1],
            "2025-12-08 10:39:07  COM5   17    update-fpga  fw 3, FPGA 0104052026  fw 3, FPGA "
            "0105052026  SkerryFPGA.bit  success");
  EXPECT_EQ(Lines[2],
            "2025-12-08 10:39:07  COM12  3     update-fpga  fw 3, FPGA 0104052026  fw 3, FPGA "
            "0105052026  SkerryFPGA.bit  failed: the card stopped answering");
}

TEST(HistoryTextTest, MissingFactsShowAsDashes) {
  tHistoryEntry Entry;
  ASSERT_EQ(ReadHistoryLine("{\"Start\":\"then\",\"Action\":\"update-firmware\",\"Result\":"
                            "\"interrupted\",\"Before\":null,\"Image\":null}",
                            {}, Entry),
            hl_Kept);
  EXPECT_EQ(HistoryTable({Entry})[1],
            "then         -     -     update-firmware  -       -      -      interrupted");
}

}  // namespace

// caddis history's table of the updates the record holds (the reading of the record is the
// card session's: tests/session/ServiceRecordTest.cpp).
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

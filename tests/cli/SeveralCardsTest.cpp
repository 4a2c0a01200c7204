// What the command line shares for several cards and for scripts, alone: the exit-status table,
// the children's arguments, the rows and lines made of their events, and the events' times.
#include "cli/SeveralCards.h"

#include <gtest/gtest.h>

#include <set>

#include "cli/CliEvents.h"
#include "cli/Outcome.h"

namespace {

TEST(OutcomeTest, EveryKindHasItsOwnStatusAndNameAndIsFoundByItsStatus) {
  std::set<int> Exits;
  std::set<std::string> Names;
  for (const tOutcome& Outcome : Outcomes()) {
    EXPECT_TRUE(Exits.insert(Outcome.Exit).second) << Outcome.Name;
    EXPECT_TRUE(Names.insert(Outcome.Name).second) << Outcome.Name;
    EXPECT_NE(Outcome.Exit, ExitOk);
    EXPECT_EQ(KindOfExit(Outcome.Exit), Outcome.Kind) << Outcome.Name;
    EXPECT_EQ(OutcomeOf(Outcome.Kind).Exit, Outcome.Exit);
    EXPECT_NE(ExitStatusHelp().find(Outcome.Name), std::string::npos) << Outcome.Name;
  }
  // A status no kind has (a child killed by a signal) is a plain failure.
  EXPECT_EQ(KindOfExit(137), fk_Failure);
}

TEST(OutcomeTest, SeveralCardsSucceedOnlyTogetherAndShareAFailureOnlyWhenItIsTheSame) {
  const struct {
    std::vector<int> Exits;
    int Combined;
  } Cases[] = {
      {{0, 0, 0}, ExitOk},
      {{0, ExitRefused, 0, 0}, ExitRefused},
      {{ExitNoCard, 0, ExitNoCard}, ExitNoCard},
      {{ExitNoCard, ExitRefused}, ExitFailure},
      {{0, ExitVerify, ExitImage, 0}, ExitFailure},
      {{}, ExitOk},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(CombinedExit(Case.Exits), Case.Combined) << testing::PrintToString(Case.Exits);
}

TEST(SeveralCardsTest, EachChildGetsTheParentsArgumentsForItsOwnPortWithEvents) {
  const std::vector<std::string> Expected = {"/bin/caddis", "-v",     "update-fpga", "--file",
                                             "a b.bit",     "--port", "6",           "--json"};
  const std::vector<std::vector<std::string>> Parents = {
      {"caddis", "-v", "update-fpga", "--port", "5,6", "--file", "a b.bit"},
      {"caddis", "-v", "update-fpga", "--port", "5", "--file", "a b.bit", "--port", "6", "--json"},
      {"caddis", "-v", "update-fpga", "--all", "--file", "a b.bit"},
      {"caddis", "-v", "update-fpga", "--port=5,6", "--json", "--file", "a b.bit"},
  };
  for (const auto& Parent : Parents)
    EXPECT_EQ(ChildArguments(Parent, "/bin/caddis", 6), Expected) << testing::PrintToString(Parent);
}

nlohmann::json Event(const std::string& Text) {
  return nlohmann::json::parse(Text);
}

TEST(SeveralCardsTest, ACardsRowFollowsItsEventsToItsResult) {
  tCardRow Row;
  Row.Port = 5;
  EXPECT_TRUE(Row.Running());
  TakeEvent(Row,
            Event(R"({"event":"card","device_id":7,"firmware":3,"fpga":"1.2","phase":"before"})"));
  TakeEvent(Row, Event(R"({"event":"progress","phase":"FPGA update","percent":40})"));
  EXPECT_EQ(Row.Phase, "FPGA update 40%");
  TakeEvent(Row,
            Event(R"({"event":"card","device_id":7,"firmware":4,"fpga":"1.3","phase":"after"})"));
  TakeEvent(Row, Event(R"({"event":"result","ok":true,"exit":0,"duration_s":12.25})"));
  EXPECT_FALSE(Row.Running());
  EXPECT_EQ(Row.Card, "7");
  EXPECT_EQ(Row.Before, "fw 3, FPGA 1.2");
  EXPECT_EQ(Row.After, "fw 4, FPGA 1.3");
  EXPECT_EQ(Row.Result, "ok");
  EXPECT_EQ(Row.Exit, 0);

  tCardRow Failed;
  Failed.Port = 6;
  TakeEvent(
      Failed,
      Event(
          R"j({"event":"error","exit":6,"kind":"refused","message":"the card answered Flash (code 4)","duration_s":1.5})j"));
  EXPECT_EQ(Failed.Exit, ExitRefused);
  EXPECT_EQ(Failed.Result, "refused: the card answered Flash (code 4)");

  const std::vector<std::string> Table = CardTable({Row, Failed});
  ASSERT_EQ(Table.size(), 3u);
  EXPECT_EQ(Table[0].rfind("Port", 0), 0u);
  for (const char* Text : {"COM5", "7", "fw 3, FPGA 1.2", "fw 4, FPGA 1.3", "12.2 s", "ok"})
    EXPECT_NE(Table[1].find(Text), std::string::npos) << Text << " in " << Table[1];
  for (const char* Text : {"COM6", "1.5 s", "refused: the card answered Flash (code 4)"})
    EXPECT_NE(Table[2].find(Text), std::string::npos) << Text << " in " << Table[2];
  // The columns line up: the time column starts at the same place in every line.
  EXPECT_EQ(Table[0].find("Time"), Table[1].find("12.2 s"));
  EXPECT_EQ(Table[0].find("Time"), Table[2].find("1.5 s"));
}

TEST(SeveralCardsTest, TheSummaryCarriesTheCardsAsObjectsAndNullWhenNotKnown) {
  tCardRow Known;
  Known.Port = 5;
  TakeEvent(Known,
            Event(R"({"event":"card","device_id":7,"firmware":3,"fpga":"1.2","phase":"before"})"));
  TakeEvent(Known,
            Event(R"({"event":"card","device_id":7,"firmware":4,"fpga":"1.3","phase":"after"})"));
  TakeEvent(Known, Event(R"({"event":"result","ok":true,"exit":0,"duration_s":2.5})"));
  tCardRow Silent;
  Silent.Port = 6;
  FinishRow(Silent, ExitNoCard, "no answer");
  const nlohmann::ordered_json Cards = SummaryCards({Known, Silent});
  ASSERT_EQ(Cards.size(), 2u);
  EXPECT_EQ(Cards[0]["card"], 7);
  EXPECT_EQ(Cards[0]["before"],
            nlohmann::ordered_json::parse(R"({"device_id":7,"firmware":3,"fpga":"1.2"})"));
  EXPECT_EQ(Cards[0]["after"]["firmware"], 4);
  EXPECT_EQ(Cards[0]["exit"], 0);
  for (const char* Field : {"card", "before", "after"})
    EXPECT_TRUE(Cards[1][Field].is_null()) << Field << ": " << Cards[1];
  EXPECT_EQ(Cards[1]["exit"], ExitNoCard);
  EXPECT_EQ(Cards[1]["result"], "no-card: no answer");
}

TEST(SeveralCardsTest, EventsReadAsLinesNamedByTheirPortAndProgressByTenths) {
  const struct {
    const char* Event;
    const char* Line;
  } Cases[] = {
      {R"({"event":"progress","phase":"FPGA update","percent":40})", "COM5 FPGA update: 40%"},
      {R"({"event":"progress","phase":"FPGA update","percent":41})", ""},
      {R"({"event":"message","text":"FPGA updated successfully"})",
       "COM5 FPGA updated successfully"},
      {R"({"event":"card","device_id":7,"firmware":3,"fpga":"1.2","phase":"after"})",
       "COM5 card 7: fw 3, FPGA 1.2 (after)"},
      {R"({"event":"error","kind":"no-card","message":"no answer"})",
       "COM5 failed (no-card): no answer"},
      {R"({"event":"result","duration_s":2.04})", "COM5 done in 2.0 s"},
      {R"({"event":"start","command":"update-fpga","image":{"file":"/i/F.bit","size":64}})",
       "COM5 update-fpga /i/F.bit (64 bytes)"},
      {R"({"event":"something-new"})", ""},
      {R"({"percent":"forty"})", ""},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(EventText(5, Event(Case.Event)), Case.Line) << Case.Event;
}

}  // namespace

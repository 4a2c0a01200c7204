// The station's screen at the widths terminals have: every line fits, one heading, a state per
// port, the columns dropped and cut in their stated order.
#include "session/StationScreen.h"

#include <gtest/gtest.h>

namespace {

using tView = tStationPortView;

const std::string Footer = "Served: 3, succeeded: 1. Ctrl-C ends the station.";

// Four ports in every state, with a long failure text and long versions.
std::vector<tView> Bench() {
  return {
      {5, tView::ps_Working, "7", "fw 3, FPGA 1.2", "step 1/2: FPGA update 40%", 9.44},
      {6, tView::ps_Pass, "12", "fw 3, FPGA 1.2 -> fw 4, FPGA 1.3", "passed", 75.0},
      {7, tView::ps_Fail, "", "",
       "no-card: Waiting for the card on COM7 ended after 5 s without an answer", 5.0},
      {8, tView::ps_Empty, "", "", "", std::nullopt},
      // A card's message may hold a line break: on the screen it is one line.
      {9, tView::ps_Working, "9", "", "Flash error on packet 6\r\nUpdate\taborted", 0.5},
  };
}

bool Has(const std::string& Line, const std::string& Text) {
  return Line.find(Text) != std::string::npos;
}

TEST(StationScreenTest, EveryLineFitsAndEachPortShowsItsStateAtEveryWidth) {
  const struct {
    int Width;
    std::vector<const char*> Headings;     // shown
    std::vector<const char*> NotHeadings;  // dropped
    bool FailureWhole;                     // the failure text is not cut
  } Cases[] = {
      {200, {"Port", "State", "Card", "Time", "Versions", "Step"}, {}, true},
      {80, {"Port", "State", "Card", "Time", "Step"}, {"Versions"}, false},
      {40, {"Port", "State", "Card", "Time", "Step"}, {"Versions"}, false},
      {30, {"Port", "State", "Step"}, {"Versions", "Card", "Time"}, false},
      {12, {"Port"}, {"Versions", "Card", "Time"}, false},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE("width " + std::to_string(Case.Width));
    const std::vector<std::string> Screen = StationScreen(Bench(), Footer, Case.Width);
    ASSERT_EQ(Screen.size(), 7u);
    for (const std::string& Line : Screen) {
      EXPECT_LE(TextColumns(Line), static_cast<std::size_t>(Case.Width)) << Line;
      EXPECT_TRUE(Line.empty() || Line.back() != ' ') << Line;
      for (const char Byte : Line)
        EXPECT_GE(static_cast<unsigned char>(Byte), 0x20) << Line;
    }
    std::size_t Headings = 0;
    for (const std::string& Line : Screen)
      Headings += Line.rfind("Port", 0) == 0;
    EXPECT_EQ(Headings, 1u);
    for (const char* Heading : Case.Headings)
      EXPECT_TRUE(Has(Screen[0], Heading)) << Heading << " in " << Screen[0];
    for (const char* Heading : Case.NotHeadings)
      EXPECT_FALSE(Has(Screen[0], Heading)) << Heading << " in " << Screen[0];
    if (Case.Width >= 30) {
      const char* States[] = {"WORKING", "PASS", "FAIL", "EMPTY"};
      for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Screen[1 + i].rfind("COM" + std::to_string(5 + i), 0), 0u) << Screen[1 + i];
        EXPECT_TRUE(Has(Screen[1 + i], States[i])) << Screen[1 + i];
      }
    }
    EXPECT_EQ(Has(Screen[3], "without an answer"), Case.FailureWhole) << Screen[3];
    if (!Case.FailureWhole && Case.Width >= 30) {
      EXPECT_TRUE(Has(Screen[3], "...")) << Screen[3];
    }
  }
}

TEST(StationScreenTest, TheTimeIsTheCardsWholeTimeAndTheColumnsLineUp) {
  const std::vector<std::string> Screen = StationScreen(Bench(), Footer, 80);
  EXPECT_TRUE(Has(Screen[1], "9.4 s")) << Screen[1];
  EXPECT_TRUE(Has(Screen[2], "1:15")) << Screen[2];
  EXPECT_TRUE(Has(Screen[1], "step 1/2: FPGA update 40%")) << Screen[1];
  // The step starts at the same column on every line.
  const auto Step = Screen[0].find("Step");
  EXPECT_EQ(Screen[1].find("step 1/2"), Step);
  EXPECT_EQ(Screen[2].find("passed"), Step);
  // An empty port shows no card, no time and no step.
  EXPECT_EQ(Screen[4], "COM8  EMPTY");
  EXPECT_TRUE(Has(Screen[5], "Flash error on packet 6  Update aborted")) << Screen[5];
  EXPECT_EQ(Screen[6], Footer);
}

TEST(StationScreenTest, PortsThatDoNotFitTheTerminalsHeightAreCounted) {
  std::vector<tView> Many;
  for (int Port = 1; Port <= 20; ++Port)
    Many.push_back({Port, tView::ps_Working, "1", "", "step 1/1", 1.0});
  const struct {
    int Lines;
    std::size_t Drawn;
    const char* Last;  // the line before the footer
  } Cases[] = {
      {0, 22, "COM20"},
      {22, 22, "COM20"},
      {21, 21, "... 2 more ports"},
      {10, 10, "... 13 more ports"},
      {2, 3, "... 20 more ports"},
  };
  for (const auto& Case : Cases) {
    const std::vector<std::string> Screen = StationScreen(Many, Footer, 80, Case.Lines);
    ASSERT_EQ(Screen.size(), Case.Drawn) << Case.Lines;
    EXPECT_EQ(Screen[Screen.size() - 2].rfind(Case.Last, 0), 0u) << Screen[Screen.size() - 2];
    EXPECT_EQ(Screen.back(), Footer);
  }
}

TEST(StationScreenTest, TextIsCutWholeCharactersWithAnEllipsis) {
  const struct {
    const char* Text;
    std::size_t Columns;
    const char* Cut;
  } Cases[] = {
      {"abcdef", 6, "abcdef"},
      {"abcdefgh", 7, "abcd..."},
      {"J\xC3\xB6rg image", 5, "J\xC3\xB6..."},
      {"J\xC3\xB6rg", 4, "J\xC3\xB6rg"},
      {"abcd", 3, "abc"},
      {"abc", 1, "a"},
      {"abc", 0, ""},
  };
  for (const auto& Case : Cases) {
    EXPECT_EQ(CutToColumns(Case.Text, Case.Columns), Case.Cut) << Case.Text;
    EXPECT_LE(TextColumns(CutToColumns(Case.Text, Case.Columns)), Case.Columns);
  }
  const struct {
    double Seconds;
    const char* Text;
  } Times[] = {{0, "0.0 s"},    {9.44, "9.4 s"}, {59.9, "59.9 s"},
               {59.97, "0:59"}, {125.2, "2:05"}, {-1, "0.0 s"}};
  for (const auto& Time : Times)
    EXPECT_EQ(StationTimeText(Time.Seconds), Time.Text) << Time.Seconds;
}

}  // namespace

// The station's live screen as text: one line per port with its state (PASS, FAIL, WORKING,
// EMPTY), the card, its time on the station and the step under way or the result, fitted to
// the terminal's width. Pure text arithmetic, so every width is tested without a terminal.
//
// Every line is at most Width columns (a column per character) and holds no control character
// (each becomes a space), so a terminal never wraps one and the redraw moves up by exactly the
// lines it drew. When the table is too wide, in this
// order: the Versions column is dropped; the Step column (the last one) is cut with an ellipsis
// down to StepMinColumns; then the Card column is dropped, then the Time column; Port and State
// are always shown, and a line still too long is cut with an ellipsis.
//
// Threads: any.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One port of the station as the screen shows it.
struct tStationPortView {
  enum tState { ps_Empty, ps_Working, ps_Pass, ps_Fail };
  int32_t Port = 0;
  tState State = ps_Empty;
  std::string Card;               // the card's device ID ("7"); "" not known yet
  std::string Versions;           // "fw 3, FPGA 1.2 -> fw 4, FPGA 1.3"; "" not known
  std::string Step;               // working: the step under way; pass or fail: the result
  std::optional<double> Seconds;  // the card's whole time on the station so far
};

// "PASS", "FAIL", "WORKING", "EMPTY".
const char* StationStateName(tStationPortView::tState State);

// The narrowest the Step column is cut to before other columns are dropped.
constexpr std::size_t StepMinColumns = 10;

// The screen: a heading, a line per port in the order given, then Footer, each at most Width
// columns (Width below 1 counts as 1). Lines: the most lines to draw (0: no limit); ports that
// do not fit are counted on a line of their own ("... 3 more ports").
std::vector<std::string> StationScreen(const std::vector<tStationPortView>& Ports,
                                       const std::string& Footer, int Width, int Lines = 0);

// Columns Text takes on a terminal: its characters (UTF-8 code points).
std::size_t TextColumns(const std::string& Text);
// Text cut to at most Columns columns; a cut text ends in an ellipsis ("...") when there is
// room for more than that.
std::string CutToColumns(const std::string& Text, std::size_t Columns);
// The time on the station: "9.4 s" under a minute, "2:05" from then on.
std::string StationTimeText(double Seconds);

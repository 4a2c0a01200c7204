#include "session/StationScreen.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace {

// Three dots, not the one-character ellipsis: that one is two columns wide on some terminals.
const char* const Ellipsis = "...";
const std::size_t EllipsisColumns = 3;

// A byte that continues a UTF-8 sequence.
bool Continues(unsigned char Byte) {
  return (Byte & 0xC0) == 0x80;
}

// The columns of the table, in the order shown; the Step column is last and not padded.
enum tColumn { col_Port, col_State, col_Card, col_Time, col_Versions, col_Step, col_Count };
const std::array<const char*, col_Count> Headings = {"Port", "State",    "Card",
                                                     "Time", "Versions", "Step"};
// Dropped in this order while the table is too wide (after the Step column is cut).
const std::array<tColumn, 2> DroppedAfterCut = {col_Card, col_Time};

// Text on one line: a line break, tab or other control character in it (a card's message
// "...error on packet 6\r\nUpdate aborted") would move the cursor where the screen does not
// count, so each becomes a space.
std::string OneLine(std::string Text) {
  for (char& Byte : Text)
    if (static_cast<unsigned char>(Byte) < 0x20 || Byte == 0x7F) Byte = ' ';
  return Text;
}

std::string PortName(int32_t Port) {
  return "COM" + std::to_string(Port);
}

std::array<std::string, col_Count> CellsOf(const tStationPortView& Port) {
  const bool Empty = Port.State == tStationPortView::ps_Empty;
  return {PortName(Port.Port),
          StationStateName(Port.State),
          Empty ? "" : (Port.Card.empty() ? "-" : OneLine(Port.Card)),
          Port.Seconds ? StationTimeText(*Port.Seconds) : "",
          Empty ? "" : OneLine(Port.Versions),
          OneLine(Port.Step)};
}

std::string Padded(const std::string& Text, std::size_t Columns) {
  const std::size_t Taken = TextColumns(Text);
  return Taken >= Columns ? Text : Text + std::string(Columns - Taken, ' ');
}

}  // namespace

const char* StationStateName(tStationPortView::tState State) {
  switch (State) {
    case tStationPortView::ps_Working:
      return "WORKING";
    case tStationPortView::ps_Pass:
      return "PASS";
    case tStationPortView::ps_Fail:
      return "FAIL";
    case tStationPortView::ps_Empty:
      break;
  }
  return "EMPTY";
}

std::size_t TextColumns(const std::string& Text) {
  std::size_t Columns = 0;
  for (const char Byte : Text)
    Columns += !Continues(static_cast<unsigned char>(Byte));
  return Columns;
}

std::string CutToColumns(const std::string& Text, std::size_t Columns) {
  if (TextColumns(Text) <= Columns) return Text;
  // Keep the characters that fit, whole, then the ellipsis (too narrow for it: none).
  const std::size_t Room = Columns > EllipsisColumns ? Columns - EllipsisColumns : Columns;
  std::size_t Kept = 0, End = 0;
  while (End < Text.size()) {
    if (!Continues(static_cast<unsigned char>(Text[End]))) {
      if (Kept == Room) break;
      ++Kept;
    }
    ++End;
  }
  return Text.substr(0, End) + (Columns > EllipsisColumns ? Ellipsis : "");
}

std::string StationTimeText(double Seconds) {
  char Text[32];
  if (!(Seconds >= 0)) Seconds = 0;
  if (Seconds < 59.95) {
    std::snprintf(Text, sizeof Text, "%.1f s", Seconds);
  } else {
    const auto Whole = static_cast<long long>(std::floor(Seconds));
    std::snprintf(Text, sizeof Text, "%lld:%02lld", Whole / 60, Whole % 60);
  }
  return Text;
}

std::vector<std::string> StationScreen(const std::vector<tStationPortView>& Ports,
                                       const std::string& Footer, int Width, int Lines) {
  const std::size_t Columns = static_cast<std::size_t>(std::max(Width, 1));
  // The ports that fit: the heading and the footer always, "... N more ports" when some do not.
  std::size_t Shown = Ports.size();
  if (Lines > 0 && Ports.size() + 2 > static_cast<std::size_t>(Lines))
    Shown = static_cast<std::size_t>(std::max(Lines - 3, 0));

  std::vector<std::array<std::string, col_Count>> Rows;
  Rows.push_back({});
  for (int i = 0; i < col_Count; ++i)
    Rows.back()[i] = Headings[i];
  for (std::size_t i = 0; i < Shown; ++i)
    Rows.push_back(CellsOf(Ports[i]));

  std::array<std::size_t, col_Count> Widths{};
  for (const auto& Row : Rows)
    for (int i = 0; i < col_Count; ++i)
      Widths[i] = std::max(Widths[i], TextColumns(Row[i]));
  std::array<bool, col_Count> Kept;
  Kept.fill(true);
  // A column no port has anything in is not shown.
  Kept[col_Versions] = Widths[col_Versions] > TextColumns(Headings[col_Versions]);

  // The columns before the Step column, with the two spaces after each.
  const auto Before = [&] {
    std::size_t Sum = 0;
    for (int i = 0; i < col_Step; ++i)
      if (Kept[i]) Sum += Widths[i] + 2;
    return Sum;
  };
  if (Before() + Widths[col_Step] > Columns) Kept[col_Versions] = false;
  const std::size_t StepMin = std::min(StepMinColumns, Widths[col_Step]);
  for (const tColumn Column : DroppedAfterCut)
    if (Before() + StepMin > Columns) Kept[Column] = false;
  const std::size_t Left = Before();
  Widths[col_Step] = Columns > Left ? std::min(Widths[col_Step], Columns - Left) : 0;

  std::vector<std::string> Screen;
  for (const auto& Row : Rows) {
    std::string Line;
    for (int i = 0; i < col_Step; ++i)
      if (Kept[i]) Line += Padded(CutToColumns(Row[i], Widths[i]), Widths[i] + 2);
    Line += CutToColumns(Row[col_Step], Widths[col_Step]);
    while (!Line.empty() && Line.back() == ' ')
      Line.pop_back();
    Screen.push_back(CutToColumns(Line, Columns));
  }
  if (Shown < Ports.size())
    Screen.push_back(CutToColumns(
        std::string(Ellipsis) + " " + std::to_string(Ports.size() - Shown) + " more ports",
        Columns));
  Screen.push_back(CutToColumns(OneLine(Footer), Columns));
  return Screen;
}

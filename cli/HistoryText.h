// The service record read back for caddis history: each line taken apart, filtered and laid
// out as a table. Kept apart from files and terminals so it can be tested alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// Which updates are shown: those on one port, or of one card (by its device ID).
struct tHistoryFilter {
  int32_t Port = 0;   // 0: any
  int32_t Card = -1;  // -1: any
};

struct tHistoryEntry {
  std::string Line;  // as the record holds it
  nlohmann::ordered_json Value;
};

enum tHistoryLine { hl_Kept, hl_Filtered, hl_Blank, hl_Damaged };

// Takes one line of the record apart: hl_Kept with Entry filled when it is an update Filter
// keeps, hl_Filtered when it is one it does not, hl_Blank for an empty line, hl_Damaged when
// it is not a record line (not JSON, not an object, or without a start, an action and a
// result as texts).
tHistoryLine ReadHistoryLine(const std::string& Line, const tHistoryFilter& Filter,
                             tHistoryEntry& Entry);

// The table: a heading and one row per entry, columns padded to their widest cell.
std::vector<std::string> HistoryTable(const std::vector<tHistoryEntry>& Entries);

// caddis history's table of the updates the service record holds (read by
// session/ServiceRecordReader.h). Kept apart from files and terminals so it can be tested alone.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "session/ServiceRecordReader.h"

// The table built one entry at a time. It keeps only the cells it shows, each row's packed into
// one text, so a long record costs the table's rows and never its lines.
class tHistoryTable {
 public:
  static constexpr std::size_t Columns = 8;

  tHistoryTable();
  void Add(const tHistoryEntry& Entry);
  bool HasEntries() const { return fRows.size() > 1; }
  // The heading and one line per entry, columns padded to their widest cell, each passed to
  // Line in turn.
  void Print(const std::function<void(const std::string&)>& Line) const;

 private:
  struct tRow {
    std::string Text;                      // the cells one after the other
    std::array<uint32_t, Columns> Ends{};  // where each cell ends in Text
  };
  void AddRow(const std::array<std::string, Columns>& Cells);

  std::vector<tRow> fRows;
  std::array<std::size_t, Columns> fWidths{};
};

// The table of Entries as its lines: a heading and one row per entry.
std::vector<std::string> HistoryTable(const std::vector<tHistoryEntry>& Entries);

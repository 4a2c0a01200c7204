// caddis history's table of the updates the service record holds (read by
// session/ServiceRecordReader.h). Kept apart from files and terminals so it can be tested alone.
#pragma once

#include <string>
#include <vector>

#include "session/ServiceRecordReader.h"

// The table: a heading and one row per entry, columns padded to their widest cell.
std::vector<std::string> HistoryTable(const std::vector<tHistoryEntry>& Entries);

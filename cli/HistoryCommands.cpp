// caddis history: the service record as a table, or its own lines.
#include <cstdio>

#include "cli/CliArgs.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "cli/HistoryText.h"
#include "session/ServiceRecord.h"

namespace {

// "fw 12, FPGA 0104052026" for a card, "-" for none.
std::string CardText(const tHistoryEntry::tCard& Card) {
  if (!Card.Known) return "-";
  return "fw " +
         (Card.FirmwareVersion < 0 ? std::string("?") : std::to_string(Card.FirmwareVersion)) +
         ", FPGA " + Card.FPGAVersion.value_or("?");
}

// "2026-12-08 10:39:07" of "2026-12-08T10:39:07.123Z"; other texts as they are.
std::string StartText(const std::string& Stamp) {
  if (Stamp.size() < 19 || Stamp[10] != 'T') return Stamp;
  std::string Text = Stamp.substr(0, 19);
  Text[10] = ' ';
  return Text;
}

}  // namespace

std::vector<std::string> HistoryTable(const std::vector<tHistoryEntry>& Entries) {
  std::vector<std::vector<std::string>> Rows = {
      {"Start (UTC)", "Port", "Card", "Action", "Before", "After", "Image", "Result"}};
  for (const tHistoryEntry& Entry : Entries)
    Rows.push_back({StartText(Entry.Start),
                    Entry.Port > 0 ? "COM" + std::to_string(Entry.Port) : "-",
                    Entry.DeviceID >= 0 ? std::to_string(Entry.DeviceID) : "-", Entry.Action,
                    CardText(Entry.Before), CardText(Entry.After), Entry.ImageFile.value_or("-"),
                    Entry.Failure.empty() ? Entry.Result : Entry.Result + ": " + Entry.Failure});
  return AlignedColumns(Rows);
}

tCliResult HistoryCommand(const tCliContext& Context, const tHistoryOptions& Options) {
  tHistoryFilter Filter;
  if (Options.Port && Options.Card)
    return UsageError(Context.Command, "give --port or --card, not both");
  Filter.Port = Options.Port.value_or(0);
  if (Options.Card && !ParseIndex(*Options.Card, 255, Filter.Card))
    return UsageError(Context.Command, "'" + *Options.Card + "' is not a device ID (0..255)");

  const std::string Path = ServiceRecordPath();
  std::vector<tHistoryEntry> Entries;
  std::string Error;
  const tHistoryRead Read = ReadHistory(
      Path, Filter,
      [&](tHistoryEntry& Entry) {
        if (Options.Json)
          std::printf("%s\n", Entry.Line.c_str());
        else
          Entries.push_back(std::move(Entry));
      },
      [&Path](std::size_t Number) {
        std::fprintf(stderr, "caddis: line %zu of %s is damaged and was skipped\n", Number,
                     Path.c_str());
      },
      Error);
  if (Read == hr_Failed) return Failure(Error);
  if (Read == hr_NotFound) {
    if (!Options.Json) std::printf("No updates recorded yet (%s)\n", Path.c_str());
    return ExitOk;
  }
  if (Options.Json) return ExitOk;
  if (Entries.empty()) {
    const std::string Which = Filter.Port > 0    ? " on COM" + std::to_string(Filter.Port)
                              : Filter.Card >= 0 ? " for card " + std::to_string(Filter.Card)
                                                 : "";
    std::printf("No updates recorded%s (%s)\n", Which.c_str(), Path.c_str());
    return ExitOk;
  }
  for (const std::string& Row : HistoryTable(Entries))
    std::printf("%s\n", Row.c_str());
  return ExitOk;
}

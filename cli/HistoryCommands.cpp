// caddis history: the service record as a table, or its own lines.
#include <algorithm>
#include <cstdio>

#include "cli/CliArgs.h"
#include "cli/CliEvents.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "cli/HistoryText.h"
#include "cli/SiteCommands.h"
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

tHistoryTable::tHistoryTable() {
  AddRow({"Start (UTC)", "Port", "Card", "Action", "Before", "After", "Image", "Result"});
}

void tHistoryTable::Add(const tHistoryEntry& Entry) {
  AddRow({StartText(Entry.Start), Entry.Port > 0 ? "COM" + std::to_string(Entry.Port) : "-",
          Entry.DeviceID >= 0 ? std::to_string(Entry.DeviceID) : "-", Entry.Action,
          CardText(Entry.Before), CardText(Entry.After), Entry.ImageFile.value_or("-"),
          Entry.Failure.empty() ? Entry.Result : Entry.Result + ": " + Entry.Failure});
}

void tHistoryTable::AddRow(const std::array<std::string, Columns>& Cells) {
  tRow Row;
  for (std::size_t i = 0; i < Columns; ++i) {
    Row.Text += Cells[i];
    Row.Ends[i] = static_cast<uint32_t>(Row.Text.size());
    fWidths[i] = std::max(fWidths[i], Cells[i].size());
  }
  Row.Text.shrink_to_fit();
  fRows.push_back(std::move(Row));
}

void tHistoryTable::Print(const std::function<void(const std::string&)>& Line) const {
  std::string Text;
  for (const tRow& Row : fRows) {
    Text.clear();
    uint32_t Begin = 0;
    for (std::size_t i = 0; i < Columns; ++i) {
      const uint32_t End = Row.Ends[i];
      Text.append(Row.Text, Begin, End - Begin);
      if (i + 1 < Columns) Text.append(fWidths[i] - (End - Begin) + 2, ' ');
      Begin = End;
    }
    while (!Text.empty() && Text.back() == ' ')
      Text.pop_back();
    Line(Text);
  }
}

std::vector<std::string> HistoryTable(const std::vector<tHistoryEntry>& Entries) {
  tHistoryTable Table;
  for (const tHistoryEntry& Entry : Entries)
    Table.Add(Entry);
  std::vector<std::string> Lines;
  Table.Print([&](const std::string& Line) { Lines.push_back(Line); });
  return Lines;
}

tCliResult HistoryCommand(const tCliContext& Context, const tHistoryOptions& Options) {
  if (Options.Site) return SiteHistoryCommand(Context, Options);
  // The site database's filters have no meaning for the local record.
  if (Options.Identity || Options.Station || Options.Result || Options.Image || Options.Release ||
      Options.Since || Options.Until || Options.Latest)
    return UsageError(Context.Command,
                      "--identity, --station, --result, --image, --release, --since, --until "
                      "and --latest ask the site database: give --site");
  tHistoryFilter Filter;
  if (Options.Port && Options.Card)
    return UsageError(Context.Command, "give --port or --card, not both");
  Filter.Port = Options.Port.value_or(0);
  if (Options.Card && !ParseIndex(*Options.Card, 255, Filter.Card))
    return UsageError(Context.Command, "'" + *Options.Card + "' is not a device ID (0..255)");

  const std::string Path = ServiceRecordPath(Options.Record.value_or(""));
  tCliEvents::Start();
  tCliEvents::SetRecord(Path);
  // Only the table's cells are kept, never the record's lines.
  tHistoryTable Table;
  std::string Error;
  std::size_t Count = 0;
  const tHistoryRead Read = ReadHistory(
      Path, Filter,
      [&](tHistoryEntry& Entry) {
        ++Count;
        if (!Options.Json) return Table.Add(Entry);
        // Each line of the record as an event of the port it names, the line's own object.
        nlohmann::ordered_json Event = tCliEvents::Event("record");
        Event["port"] = Entry.Port > 0 ? nlohmann::ordered_json(Entry.Port) : nullptr;
        Event["line"] = nlohmann::ordered_json::parse(Entry.Line, nullptr, false);
        tCliEvents::Emit(Event);
      },
      [&Path](std::size_t Number) {
        std::fprintf(stderr, "caddis: line %zu of %s is damaged and was skipped\n", Number,
                     Path.c_str());
      },
      Error);
  if (Read == hr_Failed) return Failure(Error);
  if (Options.Json) {
    tCliEvents::Result({{"count", Count}});
    return ExitOk;
  }
  if (Read == hr_NotFound) {
    std::printf("No updates recorded yet (%s)\n", Path.c_str());
    return ExitOk;
  }
  if (!Table.HasEntries()) {
    const std::string Which = Filter.Port > 0    ? " on COM" + std::to_string(Filter.Port)
                              : Filter.Card >= 0 ? " for card " + std::to_string(Filter.Card)
                                                 : "";
    std::printf("No updates recorded%s (%s)\n", Which.c_str(), Path.c_str());
    return ExitOk;
  }
  Table.Print([](const std::string& Line) { std::printf("%s\n", Line.c_str()); });
  return ExitOk;
}

// caddis history: the service record as a table, or its own lines.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/CliArgs.h"
#include "cli/CliText.h"
#include "cli/Commands.h"
#include "cli/HistoryText.h"
#include "platform/Files.h"
#include "session/ServiceRecord.h"

namespace {

using nlohmann::ordered_json;

// A text field of Value, or Missing when it is absent, null or not a text.
std::string TextOf(const ordered_json& Value, const char* Name, const std::string& Missing = "") {
  const auto Found = Value.find(Name);
  return Found != Value.end() && Found->is_string() ? Found->get<std::string>() : Missing;
}

// A whole-number field of Value, or -1.
int64_t NumberOf(const ordered_json& Value, const char* Name) {
  const auto Found = Value.find(Name);
  return Found != Value.end() && Found->is_number_integer() ? Found->get<int64_t>() : -1;
}

// "fw 12, FPGA 0104052026" for a card object, "-" for none.
std::string CardText(const ordered_json& Value, const char* Name) {
  const auto Found = Value.find(Name);
  if (Found == Value.end() || !Found->is_object()) return "-";
  const int64_t Firmware = NumberOf(*Found, tRecordField::FirmwareVersion);
  return "fw " + (Firmware < 0 ? std::string("?") : std::to_string(Firmware)) + ", FPGA " +
         TextOf(*Found, tRecordField::FPGAVersion, "?");
}

// "2026-12-08 10:39:07" of "2026-12-08T10:39:07.123Z"; other texts as they are.
std::string StartText(const std::string& Stamp) {
  if (Stamp.size() < 19 || Stamp[10] != 'T') return Stamp;
  std::string Text = Stamp.substr(0, 19);
  Text[10] = ' ';
  return Text;
}

}  // namespace

tHistoryLine ReadHistoryLine(const std::string& Line, const tHistoryFilter& Filter,
                             tHistoryEntry& Entry) {
  if (Line.find_first_not_of(" \t\r") == std::string::npos) return hl_Blank;
  ordered_json Value = ordered_json::parse(Line, nullptr, false);
  if (Value.is_discarded() || !Value.is_object()) return hl_Damaged;
  for (const char* Name : {tRecordField::Start, tRecordField::Action, tRecordField::Result})
    if (TextOf(Value, Name).empty()) return hl_Damaged;
  if (Filter.Port > 0 && NumberOf(Value, tRecordField::Port) != Filter.Port) return hl_Filtered;
  if (Filter.Card >= 0 && NumberOf(Value, tRecordField::DeviceID) != Filter.Card)
    return hl_Filtered;
  Entry.Line = Line;
  Entry.Value = std::move(Value);
  return hl_Kept;
}

std::vector<std::string> HistoryTable(const std::vector<tHistoryEntry>& Entries) {
  std::vector<std::vector<std::string>> Rows = {
      {"Start (UTC)", "Port", "Card", "Action", "Before", "After", "Image", "Result"}};
  for (const tHistoryEntry& Entry : Entries) {
    const ordered_json& V = Entry.Value;
    const int64_t Port = NumberOf(V, tRecordField::Port);
    const int64_t Card = NumberOf(V, tRecordField::DeviceID);
    const auto Image = V.find(tRecordField::Image);
    const std::string Result = TextOf(V, tRecordField::Result);
    const std::string Failure = TextOf(V, tRecordField::Failure);
    Rows.push_back(
        {StartText(TextOf(V, tRecordField::Start)), Port > 0 ? "COM" + std::to_string(Port) : "-",
         Card >= 0 ? std::to_string(Card) : "-", TextOf(V, tRecordField::Action),
         CardText(V, tRecordField::Before), CardText(V, tRecordField::After),
         Image != V.end() && Image->is_object() ? TextOf(*Image, tRecordField::File, "-") : "-",
         Failure.empty() ? Result : Result + ": " + Failure});
  }
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
  int Code = 0;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> In(tFiles::Open(Path, "rb", Code),
                                                           std::fclose);
  if (!In) {
    if (!tFiles::IsNotFound(Code))
      return Failure("cannot read the service record " + Path + ": " +
                     tFiles::SystemErrorText(Code));
    if (!Options.Json) std::printf("No updates recorded yet (%s)\n", Path.c_str());
    return ExitOk;
  }
  std::vector<tHistoryEntry> Entries;
  std::string Line;
  std::size_t Number = 0;
  auto Take = [&] {
    ++Number;
    tHistoryEntry Entry;
    switch (ReadHistoryLine(Line, Filter, Entry)) {
      case hl_Kept:
        if (Options.Json)
          std::printf("%s\n", Entry.Line.c_str());
        else
          Entries.push_back(std::move(Entry));
        break;
      case hl_Damaged:
        std::fprintf(stderr, "caddis: line %zu of %s is damaged and was skipped\n", Number,
                     Path.c_str());
        break;
      case hl_Filtered:
      case hl_Blank:
        break;
    }
    Line.clear();
  };
  char Buffer[64 * 1024];
  for (std::size_t Got; (Got = std::fread(Buffer, 1, sizeof Buffer, In.get())) > 0;) {
    for (std::size_t At = 0; At < Got;) {
      const char* End = static_cast<const char*>(std::memchr(Buffer + At, '\n', Got - At));
      const std::size_t Stop = End ? static_cast<std::size_t>(End - Buffer) : Got;
      Line.append(Buffer + At, Stop - At);
      At = Stop;
      if (End) {
        Take();
        ++At;
      }
    }
  }
  // A last line without its line end (a write cut short) is read like any other.
  if (!Line.empty()) Take();
  if (std::ferror(In.get()))
    return Failure("cannot read the service record " + Path + ": read error");
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

#include "session/ServiceRecordReader.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include <nlohmann/json.hpp>

#include "platform/Files.h"
#include "session/ServiceRecord.h"

namespace {

using nlohmann::ordered_json;

// A text field of Value, or none when it is absent, null or not a text.
std::optional<std::string> TextOf(const ordered_json& Value, const char* Name) {
  const auto Found = Value.find(Name);
  if (Found == Value.end() || !Found->is_string()) return std::nullopt;
  return Found->get<std::string>();
}

// A whole-number field of Value, or -1.
int64_t NumberOf(const ordered_json& Value, const char* Name) {
  const auto Found = Value.find(Name);
  return Found != Value.end() && Found->is_number_integer() ? Found->get<int64_t>() : -1;
}

tHistoryEntry::tCard CardOf(const ordered_json& Value, const char* Name) {
  tHistoryEntry::tCard Card;
  const auto Found = Value.find(Name);
  if (Found == Value.end() || !Found->is_object()) return Card;
  Card.Known = true;
  Card.FirmwareVersion = NumberOf(*Found, tRecordField::FirmwareVersion);
  Card.FPGAVersion = TextOf(*Found, tRecordField::FPGAVersion);
  return Card;
}

}  // namespace

tHistoryLine ReadHistoryLine(const std::string& Line, const tHistoryFilter& Filter,
                             tHistoryEntry& Entry) {
  if (Line.find_first_not_of(" \t\r") == std::string::npos) return hl_Blank;
  const ordered_json Value = ordered_json::parse(Line, nullptr, false);
  if (Value.is_discarded() || !Value.is_object()) return hl_Damaged;
  for (const char* Name : {tRecordField::Start, tRecordField::Action, tRecordField::Result})
    if (TextOf(Value, Name).value_or("").empty()) return hl_Damaged;
  const int64_t Port = NumberOf(Value, tRecordField::Port);
  const int64_t DeviceID = NumberOf(Value, tRecordField::DeviceID);
  if (Filter.Port > 0 && Port != Filter.Port) return hl_Filtered;
  if (Filter.Card >= 0 && DeviceID != Filter.Card) return hl_Filtered;
  Entry = tHistoryEntry();
  Entry.Line = Line;
  Entry.Start = *TextOf(Value, tRecordField::Start);
  Entry.Action = *TextOf(Value, tRecordField::Action);
  Entry.Result = *TextOf(Value, tRecordField::Result);
  Entry.Failure = TextOf(Value, tRecordField::Failure).value_or("");
  Entry.Port = Port;
  Entry.DeviceID = DeviceID;
  Entry.Before = CardOf(Value, tRecordField::Before);
  Entry.After = CardOf(Value, tRecordField::After);
  if (const auto Image = Value.find(tRecordField::Image);
      Image != Value.end() && Image->is_object()) {
    Entry.ImageFile = TextOf(*Image, tRecordField::File);
    Entry.ImageSHA256 = TextOf(*Image, tRecordField::SHA256);
  }
  if (const auto Adapter = Value.find(tRecordField::Adapter);
      Adapter != Value.end() && Adapter->is_object()) {
    Entry.Adapter.Vendor = TextOf(*Adapter, "Vendor").value_or("");
    Entry.Adapter.Product = TextOf(*Adapter, "Product").value_or("");
    Entry.Adapter.Serial = TextOf(*Adapter, "Serial").value_or("");
    Entry.Adapter.Name = TextOf(*Adapter, "Name").value_or("");
  }
  return hl_Kept;
}

tHistoryRead ReadHistory(const std::string& Path, const tHistoryFilter& Filter,
                         const std::function<void(tHistoryEntry&)>& Kept,
                         const std::function<void(std::size_t Number)>& Damaged,
                         std::string& Error) {
  int Code = 0;
  std::string Why;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> In(
      tFiles::OpenRegular(Path, tFiles::of_Read, Code, Why), std::fclose);
  if (!In) {
    if (tFiles::IsNotFound(Code)) return hr_NotFound;
    Error = "cannot read the service record " + Path + ": " + Why;
    return hr_Failed;
  }
  std::string Line;
  std::size_t Number = 0;
  // A line longer than any record line is damaged: what is left of it is passed over, never
  // held.
  bool Overlong = false;
  auto Take = [&] {
    ++Number;
    tHistoryEntry Entry;
    switch (Overlong ? hl_Damaged : ReadHistoryLine(Line, Filter, Entry)) {
      case hl_Kept:
        if (Kept) Kept(Entry);
        break;
      case hl_Damaged:
        if (Damaged) Damaged(Number);
        break;
      case hl_Filtered:
      case hl_Blank:
        break;
    }
    Line.clear();
    Overlong = false;
  };
  char Buffer[64 * 1024];
  for (std::size_t Got; (Got = std::fread(Buffer, 1, sizeof Buffer, In.get())) > 0;) {
    for (std::size_t At = 0; At < Got;) {
      const char* End = static_cast<const char*>(std::memchr(Buffer + At, '\n', Got - At));
      const std::size_t Stop = End ? static_cast<std::size_t>(End - Buffer) : Got;
      if (!Overlong && Line.size() + (Stop - At) > MaxHistoryLine) {
        Overlong = true;
        std::string().swap(Line);
      }
      if (!Overlong) Line.append(Buffer + At, Stop - At);
      At = Stop;
      if (End) {
        Take();
        ++At;
      }
    }
  }
  if (!Line.empty() || Overlong) Take();
  if (std::ferror(In.get())) {
    Error = "cannot read the service record " + Path + ": read error";
    return hr_Failed;
  }
  return hr_Read;
}

#include "site/SiteShipper.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/Environment.h"
#include "platform/Files.h"
#include "site/SiteLink.h"
#include "support/Sha256.h"

namespace {

using tJson = nlohmann::json;

// A record line longer than this is shipped as unreadable text cut to it.
constexpr std::size_t MaxLineBytes = std::size_t{1} << 20;

const tJson* Field(const tJson& Object, const char* Name) {
  const auto It = Object.find(Name);
  return It == Object.end() ? nullptr : &*It;
}

tJson TextOf(const tJson& Object, const char* Name) {
  const tJson* Value = Field(Object, Name);
  return Value && Value->is_string() ? *Value : tJson();
}

tJson IntOf(const tJson& Object, const char* Name) {
  const tJson* Value = Field(Object, Name);
  if (!Value || !Value->is_number_integer()) return tJson();
  const int64_t Number = Value->get<int64_t>();
  return Number >= INT32_MIN && Number <= INT32_MAX ? tJson(Number) : tJson();
}

// "2026-12-08T10:39:07.123Z" as the writer makes it, a real day and time of day; anything else
// is no time at all, so a strange line cannot make the database refuse the whole batch.
tJson StampOf(const tJson& Object) {
  const tJson Text = TextOf(Object, "Start");
  if (!Text.is_string()) return tJson();
  const std::string S = Text.get<std::string>();
  static const char Shape[] = "dddd-dd-ddTdd:dd:dd";
  if (S.size() < 20 || S.back() != 'Z') return tJson();
  for (std::size_t i = 0; i + 1 < sizeof Shape; ++i) {
    const bool Digit = S[i] >= '0' && S[i] <= '9';
    if (Shape[i] == 'd' ? !Digit : S[i] != Shape[i]) return tJson();
  }
  for (std::size_t i = 19; i + 1 < S.size(); ++i)
    if (!(i == 19 ? S[i] == '.' : (S[i] >= '0' && S[i] <= '9'))) return tJson();
  const auto Number = [&](std::size_t At, std::size_t Length) {
    return std::stoi(S.substr(At, Length));
  };
  const std::chrono::year_month_day Day{std::chrono::year(Number(0, 4)),
                                        std::chrono::month(static_cast<unsigned>(Number(5, 2))),
                                        std::chrono::day(static_cast<unsigned>(Number(8, 2)))};
  if (!Day.ok() || Number(0, 4) < 1 || Number(11, 2) > 23 || Number(14, 2) > 59 ||
      Number(17, 2) > 59)
    return tJson();
  return Text;
}

// PostgreSQL keeps no NUL in a text or a jsonb string: each becomes U+FFFD, so such a line is
// shipped (nearly) as it is instead of holding up every line after it.
void WithoutNul(tJson& Value) {
  const auto Clean = [](std::string Text) {
    for (std::size_t At = Text.find('\0'); At != std::string::npos; At = Text.find('\0', At))
      Text.replace(At, 1, "\xEF\xBF\xBD");
    return Text;
  };
  if (Value.is_string()) {
    Value = Clean(Value.get<std::string>());
  } else if (Value.is_array()) {
    for (tJson& Item : Value)
      WithoutNul(Item);
  } else if (Value.is_object()) {
    tJson Cleaned = tJson::object();
    for (auto& [Key, Item] : Value.items()) {
      WithoutNul(Item);
      Cleaned[Clean(Key)] = std::move(Item);
    }
    Value = std::move(Cleaned);
  }
}

// The card's identity as the record gives it: device ID and, where the port names one, the
// adapter ("21 0403:6001 A10KJ3XQ").
tJson CardOf(const tJson& Line, const tJson& Device) {
  if (!Device.is_number_integer()) return tJson();
  std::string Card = std::to_string(Device.get<int64_t>());
  const tJson* Adapter = Field(Line, "Adapter");
  if (Adapter && Adapter->is_object()) {
    const tJson Vendor = TextOf(*Adapter, "Vendor"), Product = TextOf(*Adapter, "Product");
    const tJson Serial = TextOf(*Adapter, "Serial");
    if (Vendor.is_string() && Product.is_string())
      Card += " " + Vendor.get<std::string>() + ":" + Product.get<std::string>() + " " +
              (Serial.is_string() ? Serial.get<std::string>() : std::string("-"));
  }
  return Card;
}

void Versions(const tJson& Line, const char* Name, tJson& Row, const char* Firmware,
              const char* Fpga) {
  const tJson* Card = Field(Line, Name);
  if (!Card || !Card->is_object()) return;
  Row[Firmware] = IntOf(*Card, "FirmwareVersion");
  Row[Fpga] = TextOf(*Card, "FPGAVersion");
}

// A finite number, or null: PostgreSQL's double precision and bigint take no more.
tJson FiniteOf(const tJson* Value, double Max) {
  if (!Value || !Value->is_number()) return tJson();
  const double Number = Value->get<double>();
  return std::isfinite(Number) && Number >= 0 && Number <= Max ? tJson(Number) : tJson();
}

// The link's health as columns: mean and longest round trip, damaged frames, unanswered
// keep-alives.
void LinkHealth(const tJson& Line, tJson& Row) {
  const tJson* Health = Field(Line, "LinkHealth");
  if (!Health || !Health->is_object()) return;
  constexpr double MaxCount = 9.0e15;  // within bigint, exactly
  if (const tJson* Trip = Field(*Health, "RoundTripMs"); Trip && Trip->is_object()) {
    Row["link_round_trip_ms"] = FiniteOf(Field(*Trip, "Mean"), 1e300);
    Row["link_round_trip_max_ms"] = FiniteOf(Field(*Trip, "Max"), 1e300);
  }
  if (const tJson* Damaged = Field(*Health, "FramesDamaged"); Damaged && Damaged->is_object()) {
    const tJson Length = FiniteOf(Field(*Damaged, "Length"), MaxCount);
    const tJson Checksum = FiniteOf(Field(*Damaged, "Checksum"), MaxCount);
    if (!Length.is_null() && !Checksum.is_null())
      Row["link_damaged"] = static_cast<int64_t>(Length.get<double>() + Checksum.get<double>());
  }
  const tJson Unanswered = FiniteOf(Field(*Health, "KeepAlivesUnanswered"), MaxCount);
  if (!Unanswered.is_null())
    Row["link_unanswered"] = static_cast<int64_t>(Unanswered.get<double>());
}

std::string Dump(const tJson& Value) {
  return Value.dump(-1, ' ', false, tJson::error_handler_t::replace);
}

}  // namespace

std::string ShipPlacePath(const std::string& RecordPath) {
  return RecordPath + ".shipped";
}

bool ReadShipPlace(const std::string& Path, tShipPlace& Place, std::string& Error) {
  Place = {};
  std::string Text, Why;
  switch (tFiles::ReadSmallFile(Path, 4096, Text, Why)) {
    case tFiles::rr_Missing:
      return true;
    case tFiles::rr_Refused:
      Error = "cannot read the shipper's place " + Path + ": " + Why;
      return false;
    case tFiles::rr_Read:
      break;
  }
  // "<offset> <last id>\n"
  const auto Space = Text.find(' ');
  const auto End = Text.find('\n');
  const std::string Number = Text.substr(0, Space);
  if (Space == std::string::npos || End == std::string::npos || End < Space || Number.empty() ||
      Number.size() > 19 || Number.find_first_not_of("0123456789") != std::string::npos) {
    Error = "the shipper's place " + Path + " is damaged";
    return false;
  }
  Place.Offset = std::stoull(Number);
  Place.LastId = Text.substr(Space + 1, End - Space - 1);
  return true;
}

bool WriteShipPlace(const std::string& Path, const tShipPlace& Place, std::string& Error) {
  const std::string Temp = Path + ".new";
  const std::string Text = std::to_string(Place.Offset) + " " + Place.LastId + "\n";
  int Code = 0;
  std::FILE* File = tFiles::Open(Temp, "wb", Code);
  bool Ok = File && std::fwrite(Text.data(), 1, Text.size(), File) == Text.size();
  if (File) {
    Ok = tFiles::SyncToDisk(File, Code) && Ok;
    Ok = std::fclose(File) == 0 && Ok;
  }
  std::error_code Ec;
  if (Ok) std::filesystem::rename(Temp, Path, Ec);
  if (!Ok || Ec) {
    Error = "cannot write the shipper's place " + Path + ": " +
            (Ec ? Ec.message() : tFiles::SystemErrorText(Code ? Code : EIO));
    return false;
  }
  return true;
}

bool ReadRecordLines(const std::string& RecordPath, uint64_t Offset, std::size_t MaxLines,
                     std::vector<tRecordLine>& Lines, std::string& Error) {
  Lines.clear();
  std::ifstream In(RecordPath, std::ios::binary);
  if (!In) {
    std::error_code Ec;
    if (!std::filesystem::exists(RecordPath, Ec)) return true;  // nothing recorded yet
    Error = "cannot read the service record " + RecordPath;
    return false;
  }
  In.seekg(static_cast<std::streamoff>(Offset));
  if (!In) return true;  // shorter than the place: nothing after it
  uint64_t At = Offset;
  std::string Line;
  while (Lines.size() < MaxLines && std::getline(In, Line)) {
    if (In.eof()) break;  // no line end yet: still being written
    const uint64_t Length = Line.size() + 1;
    if (Line.size() > MaxLineBytes) Line.resize(MaxLineBytes);
    Lines.push_back({At, At + Length, std::move(Line)});
    At += Length;
    Line.clear();
  }
  if (In.bad()) {
    Error = "cannot read the service record " + RecordPath;
    return false;
  }
  return true;
}

std::string ShipLineId(const tRecordLine& Line) {
  const tJson Parsed = tJson::parse(Line.Bytes, nullptr, false);
  if (Parsed.is_object()) {
    // An id the writer could not have made (empty, long, with control characters) is not
    // trusted as a key: the place file keeps the key on one line.
    const tJson Id = TextOf(Parsed, "Id");
    if (Id.is_string()) {
      const std::string Text = Id.get<std::string>();
      const bool Plain = std::none_of(Text.begin(), Text.end(), [](char C) {
        return static_cast<unsigned char>(C) < 0x20 || C == 0x7F;
      });
      if (!Text.empty() && Text.size() <= 200 && Plain) return Text;
    }
  }
  const std::string Keyed = std::to_string(Line.Offset) + ":" + Line.Bytes;
  return "sha256:" + tSha256::HexOf(std::span<const uint8_t>(
                         reinterpret_cast<const uint8_t*>(Keyed.data()), Keyed.size()));
}

std::string ShipRowJson(const tRecordLine& Line, const std::string& Station) {
  tJson Row = tJson::object();
  Row["id"] = ShipLineId(Line);
  Row["station"] = Station;
  Row["record_offset"] = Line.Offset;
  tJson Parsed = tJson::parse(Line.Bytes, nullptr, false);
  if (!Parsed.is_object()) {
    // Kept as text: the database holds what the record holds, readable or not.
    Row["line"] = tJson{{"Unreadable", Line.Bytes}};
    WithoutNul(Row);
    return Dump(Row);
  }
  WithoutNul(Parsed);
  Row["started"] = StampOf(Parsed);
  Row["port"] = IntOf(Parsed, "Port");
  Row["device_id"] = IntOf(Parsed, "DeviceID");
  Row["card"] = CardOf(Parsed, Row["device_id"]);
  if (const tJson* Adapter = Field(Parsed, "Adapter"); Adapter && Adapter->is_object())
    Row["adapter"] = Dump(*Adapter);
  Row["action"] = TextOf(Parsed, "Action");
  Row["result"] = TextOf(Parsed, "Result");
  Row["failure"] = TextOf(Parsed, "Failure");
  if (const tJson* Image = Field(Parsed, "Image"); Image && Image->is_object()) {
    Row["image_file"] = TextOf(*Image, "File");
    Row["image_sha256"] = TextOf(*Image, "SHA256");
  }
  LinkHealth(Parsed, Row);
  Versions(Parsed, "Before", Row, "firmware_before", "fpga_before");
  Versions(Parsed, "After", Row, "firmware_after", "fpga_after");
  Row["line"] = std::move(Parsed);
  return Dump(Row);
}

tSiteShipper::tSiteShipper(std::string RecordPath, std::string Station)
    : fRecordPath(std::move(RecordPath)),
      fStation(Station.empty() ? tEnvironment::HostName() : std::move(Station)) {}

namespace {

// The rows of one batch, in the record's order: the ordinality keeps seq in that order.
constexpr const char* InsertBatch = R"SQL(
INSERT INTO service_lines (id, station, record_offset, started, port, device_id, card, adapter,
  action, result, failure, image_file, image_sha256, firmware_before, fpga_before,
  firmware_after, fpga_after, link_round_trip_ms, link_round_trip_max_ms, link_damaged,
  link_unanswered, line)
SELECT r.id, r.station, r.record_offset, r.started, r.port, r.device_id, r.card, r.adapter,
  r.action, r.result, r.failure, r.image_file, r.image_sha256, r.firmware_before, r.fpga_before,
  r.firmware_after, r.fpga_after, r.link_round_trip_ms, r.link_round_trip_max_ms, r.link_damaged,
  r.link_unanswered, r.line
FROM jsonb_array_elements($1::jsonb) WITH ORDINALITY AS e(v, n),
  jsonb_to_record(e.v) AS r(id text, station text, record_offset bigint, started timestamptz,
    port integer, device_id integer, card text, adapter text, action text, result text,
    failure text, image_file text, image_sha256 text, firmware_before integer,
    fpga_before text, firmware_after integer, fpga_after text,
    link_round_trip_ms double precision, link_round_trip_max_ms double precision,
    link_damaged bigint, link_unanswered bigint, line jsonb)
ORDER BY e.n
ON CONFLICT (id) DO NOTHING
)SQL";

// Whether the place still fits the record: the line that ends at it has the id remembered.
// A record replaced by another (restored, rotated) is shipped again from its start; the ids
// keep what was there already from being doubled.
bool PlaceFits(const std::string& RecordPath, const tShipPlace& Place) {
  if (Place.Offset == 0) return true;
  std::error_code Ec;
  const auto Size = std::filesystem::file_size(RecordPath, Ec);
  if (Ec || Size < Place.Offset) return false;
  if (Place.LastId.empty()) return true;
  // The line ending at the place: read back up to the longest line there can be.
  std::ifstream In(RecordPath, std::ios::binary);
  const uint64_t From = Place.Offset > MaxLineBytes + 1 ? Place.Offset - MaxLineBytes - 1 : 0;
  std::string Tail(Place.Offset - From, '\0');
  In.seekg(static_cast<std::streamoff>(From));
  if (!In.read(Tail.data(), static_cast<std::streamsize>(Tail.size())) || Tail.back() != '\n')
    return false;
  Tail.pop_back();
  const auto Start = Tail.rfind('\n');
  tRecordLine Last;
  Last.Offset = From + (Start == std::string::npos ? 0 : Start + 1);
  Last.Bytes = Tail.substr(Start == std::string::npos ? 0 : Start + 1);
  if (Start == std::string::npos && From != 0) return false;
  return ShipLineId(Last) == Place.LastId;
}

}  // namespace

tShipResult tSiteShipper::Waiting(tShipPlace* PlaceOut) {
  tShipResult Result;
  tShipPlace Place;
  if (!ReadShipPlace(ShipPlacePath(fRecordPath), Place, Result.Error)) {
    Result.Ok = false;
    return Result;
  }
  if (!PlaceFits(fRecordPath, Place)) Place = {};
  if (PlaceOut) *PlaceOut = Place;
  std::vector<tRecordLine> Lines;
  uint64_t Offset = Place.Offset;
  do {
    if (!ReadRecordLines(fRecordPath, Offset, 10000, Lines, Result.Error)) {
      Result.Ok = false;
      return Result;
    }
    Result.Waiting += Lines.size();
    if (!Lines.empty()) Offset = Lines.back().End;
  } while (!Lines.empty());
  return Result;
}

tShipResult tSiteShipper::Ship(tSiteDb& Db, std::size_t BatchLines) {
  std::lock_guard Lock(fShipping);
  tShipResult Result;
  const std::string PlacePath = ShipPlacePath(fRecordPath);
  tShipPlace Place;
  if (!ReadShipPlace(PlacePath, Place, Result.Error)) {
    Result.Ok = false;
    return Result;
  }
  if (!PlaceFits(fRecordPath, Place)) Place = {};
  std::vector<tRecordLine> Lines;
  for (;;) {
    if (!ReadRecordLines(fRecordPath, Place.Offset, BatchLines, Lines, Result.Error)) {
      Result.Ok = false;
      break;
    }
    if (Lines.empty()) break;
    std::string Batch = "[";
    for (const tRecordLine& Line : Lines) {
      if (Batch.size() > 1) Batch += ',';
      Batch += ShipRowJson(Line, fStation);
    }
    Batch += ']';
    if (!Db.Run("BEGIN") || !Db.Run(InsertBatch, {Batch}) || !Db.Run("COMMIT")) {
      Result.Ok = false;
      Result.Error = "cannot ship the service record to the site database: " + Db.Error();
      Db.Run("ROLLBACK");
      break;
    }
    // Committed: only now does the place move on. A crash between the commit and this write
    // sends the batch again, which the ids turn into nothing.
    tShipPlace Next;
    Next.Offset = Lines.back().End;
    Next.LastId = ShipLineId(Lines.back());
    if (!WriteShipPlace(PlacePath, Next, Result.Error)) {
      Result.Ok = false;
      break;
    }
    Place = Next;
    Result.Sent += Lines.size();
  }
  if (Result.Ok) return Result;
  const tShipResult Left = Waiting();
  Result.Waiting = Left.Waiting;
  return Result;
}

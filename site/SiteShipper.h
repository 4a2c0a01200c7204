// The shipper: sends the service record's new lines to the site database, each exactly once
// and in the record's order. The record stays the only file an update writes; the shipper
// reads it afterwards, from the place it remembers in a small file beside it
// ("<record>.shipped": the byte offset shipped up to and the id of the last line shipped),
// sends the lines after it in one transaction (INSERT ... ON CONFLICT (id) DO NOTHING, so a
// line sent twice is kept once) and moves its place on only after the commit. A database that
// is down or refuses loses nothing: the place stays, and the lines go the next time.
//
// Each line is keyed by its Id field; a line written before the record had ids gets one
// derived from its bytes and its offset ("sha256:<hex>"), the same every time it is read.
//
// Threads: one tSiteShipper may be called from several threads; it ships one batch at a time.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class tSiteDb;

// Where the shipper is in the record.
struct tShipPlace {
  uint64_t Offset = 0;  // bytes of the record shipped (always a line's end)
  std::string LastId;   // the id of the line that ends there, empty at the start
};

// The place file of the record at RecordPath.
std::string ShipPlacePath(const std::string& RecordPath);
// Reads the place; a missing file is the start. False with Error when it is unreadable or
// damaged (then nothing is shipped until someone looks: shipping from the start again would be
// safe, but a damaged file says something is wrong).
bool ReadShipPlace(const std::string& Path, tShipPlace& Place, std::string& Error);
// Writes the place atomically: a new file written, put on the disk and renamed over the old.
bool WriteShipPlace(const std::string& Path, const tShipPlace& Place, std::string& Error);

// One complete line of the record and where it starts.
struct tRecordLine {
  uint64_t Offset = 0;
  uint64_t End = 0;   // the offset after its line end
  std::string Bytes;  // without the line end (cut to 1 MiB: a longer line is no record line)
};
// The complete lines (ending in a line end) from Offset on, at most MaxLines of them; a last
// line still being written is left for later. False with Error when the record cannot be read.
bool ReadRecordLines(const std::string& RecordPath, uint64_t Offset, std::size_t MaxLines,
                     std::vector<tRecordLine>& Lines, std::string& Error);

// The line's key: its Id field when it has one, else "sha256:" and the SHA-256 of the offset
// (decimal), a colon and the line's bytes.
std::string ShipLineId(const tRecordLine& Line);

// The columns the site database keeps beside the whole line, as JSON for the insert (one
// element of the batch's array). A line that is not a JSON object is kept as
// {"Unreadable": "<its text>"} with its columns empty, so it is shipped and not lost.
std::string ShipRowJson(const tRecordLine& Line, const std::string& Station);

struct tShipResult {
  bool Ok = true;
  std::size_t Sent = 0;     // lines inserted or found already there
  std::size_t Waiting = 0;  // complete lines still after the place
  std::string Error;
};

class tSiteShipper {
 public:
  // Station names the lines' sender in the database (default: the host's name).
  tSiteShipper(std::string RecordPath, std::string Station);
  // Ships everything waiting, a batch of BatchLines per transaction, on Db (whose tables must
  // be there: EnsureSiteSchema). Stops at the first failure, having kept what was committed.
  tShipResult Ship(tSiteDb& Db, std::size_t BatchLines = 500);
  // How many complete lines wait to be shipped, and the place.
  tShipResult Waiting(tShipPlace* Place = nullptr);

  const std::string& RecordPath() const { return fRecordPath; }
  const std::string& Station() const { return fStation; }

 private:
  std::string fRecordPath, fStation;
  std::mutex fShipping;
};

// The service record read back: each line taken apart into the update it records, the updates
// of one port or one card picked out, and lines that are no record line told apart. Its
// writer is session/ServiceRecord.h; how the updates are laid out is the front end's.
//
// Threads: any; nothing here is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "session/ServiceRecord.h"

// Which updates are kept: those on one port, or of one card (by its device ID).
struct tHistoryFilter {
  int32_t Port = 0;   // 0: any
  int32_t Card = -1;  // -1: any
};

// One update as its line holds it. A number the line does not hold as a whole number is -1; a
// text it does not hold is empty, or none where an empty text would say something else.
struct tHistoryEntry {
  struct tCard {
    bool Known = false;  // the line holds the card (not null)
    int64_t FirmwareVersion = -1;
    std::optional<std::string> FPGAVersion;
  };
  std::string Line;  // as the record holds it
  std::string Start, Action, Result, Failure;
  int64_t Port = -1;
  int64_t DeviceID = -1;
  tCard Before, After;
  std::optional<std::string> ImageFile;  // the image's file name, without its folder
  std::optional<std::string> ImageSHA256;
  tAdapterIdentity Adapter;  // the port's adapter at the start (none known: empty)
};

enum tHistoryLine { hl_Kept, hl_Filtered, hl_Blank, hl_Damaged };

// Takes one line of the record apart: hl_Kept with Entry filled when it is an update Filter
// keeps, hl_Filtered when it is one it does not, hl_Blank for an empty line, hl_Damaged when
// it is not a record line (not JSON, not an object, or without a start, an action and a
// result as texts).
tHistoryLine ReadHistoryLine(const std::string& Line, const tHistoryFilter& Filter,
                             tHistoryEntry& Entry);

enum tHistoryRead { hr_Read, hr_NotFound, hr_Failed };

// The longest line the record's reader takes; a longer one is damaged.
constexpr std::size_t MaxHistoryLine = std::size_t{1} << 20;

// Reads the record at Path line by line, a last line without its line end (a write cut short)
// like any other, holding one line at a time: Kept gets each update Filter keeps, in the record's
// order, and Damaged the number (from 1) of each line that is no record line (or longer than
// MaxHistoryLine). A name that leads to a FIFO, a device or a folder is refused unread. hr_NotFound
// when there is no record yet; hr_Failed with Error ("cannot read the service record <Path>:
// <reason>"), possibly after some updates were passed on.
tHistoryRead ReadHistory(const std::string& Path, const tHistoryFilter& Filter,
                         const std::function<void(tHistoryEntry&)>& Kept,
                         const std::function<void(std::size_t Number)>& Damaged,
                         std::string& Error);

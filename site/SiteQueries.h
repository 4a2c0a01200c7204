// What the command line and the dashboard ask the site database, each value passed as a query
// parameter, never written into the query's text. Each query returns plain rows for the front
// end to lay out.
//
// Threads: as tSiteDb.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class tSiteDb;

// caddis history --site's filters; each one not given matches everything.
struct tSiteFilter {
  std::optional<int32_t> Card;              // device ID
  std::optional<std::string> CardIdentity;  // the whole identity ("21 0403:6001 A10KJ3XQ")
  std::optional<int32_t> Port;
  std::optional<std::string> Station;
  std::optional<std::string> Result;     // "success", "failed", "interrupted"
  std::optional<std::string> ImageHash;  // the image's SHA-256, or its first characters
  // The release the card runs afterwards: a firmware version number, an FPGA version text or
  // an image file name.
  std::optional<std::string> Release;
  std::optional<std::string> Since, Until;  // times PostgreSQL reads ("2026-12-08 10:00Z")
  bool LatestPerCard = false;  // only each card's newest update (what the card runs now)
  int64_t Limit = 1000;
};

struct tSiteLine {
  std::string Id, Station, Started, Action, Result, Failure, Card, ImageFile, ImageHash;
  std::optional<int32_t> Port, DeviceID, FirmwareBefore, FirmwareAfter;
  std::optional<std::string> FPGABefore, FPGAAfter;
  std::string Line;  // the record's line as the database keeps it
};

// The lines the filter keeps, oldest first. False with Error.
bool QuerySiteLines(tSiteDb& Db, const tSiteFilter& Filter, std::vector<tSiteLine>& Lines,
                    std::string& Error);

// A station's port as its newest heartbeat says.
struct tPortBeat {
  int32_t Port = 0;
  std::string State;  // "working", "passed", "failed", "empty"
  std::string Card;   // the card on it, or empty
  std::string Step;   // the step under way or the last result
};
struct tStationBeat {
  std::string Station, Seen;
  int64_t AgeSeconds = 0;  // since the newest heartbeat
  std::vector<tPortBeat> Ports;
};

// Replaces Station's ports with Ports (ports no longer there are dropped). False with Error.
bool SendHeartbeat(tSiteDb& Db, const std::string& Station, const std::vector<tPortBeat>& Ports,
                   std::string& Error);
bool QueryLineNow(tSiteDb& Db, std::vector<tStationBeat>& Stations, std::string& Error);

// Updates per hour or per day: how many passed and failed.
struct tYieldBucket {
  std::string Start;  // "2026-12-08 10:00"
  int64_t Passed = 0, Failed = 0, Interrupted = 0;
};
// Per hour for the last Buckets hours, or per day for the last Buckets days, counted back from
// the newest update (so an old database still shows its last stretch).
bool QueryYield(tSiteDb& Db, bool PerDay, int Buckets, std::vector<tYieldBucket>& Yield,
                std::string& Error);

struct tCount {
  std::string Name;
  int64_t Count = 0;
};
// The failures of the last Days days by their text, most frequent first.
bool QueryFailureKinds(tSiteDb& Db, int Days, std::vector<tCount>& Kinds, std::string& Error);

// Releases in the field: each card's newest successful update, counted by what it left on the
// card (firmware version and FPGA version) and the image.
struct tRelease {
  std::string Action, Firmware, FPGA, ImageFile, ImageHash;
  int64_t Cards = 0;
  std::string Newest;
};
bool QueryReleases(tSiteDb& Db, std::vector<tRelease>& Releases, std::string& Error);

// Link health per day: mean round trip (ms), damaged frames and unanswered keep-alives.
struct tLinkDay {
  std::string Day;
  double MeanRoundTripMs = 0, MaxRoundTripMs = 0;
  int64_t Damaged = 0, Unanswered = 0, Updates = 0;
};
bool QueryLinkHealth(tSiteDb& Db, int Days, std::vector<tLinkDay>& Trend, std::string& Error);

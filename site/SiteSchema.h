// The site database's tables, made and brought up to date by the tool itself: caddis_schema
// holds the version the tables are at, and each step from one version to the next runs once,
// in a transaction, under an advisory lock so stations starting together do not race.
//
// service_lines keeps each record line whole (jsonb) beside the columns the history and the
// dashboard ask about; station_ports holds each station's newest heartbeat per port. The role
// caddis_reader may only SELECT: the dashboard connects as it.
//
// Threads: as tSiteDb.
#pragma once

#include <string>

class tSiteDb;

// The version this build's tables are at.
constexpr int SiteSchemaVersion = 2;

// Makes or upgrades the tables. False with Error when it could not; a database at a newer
// version than this build knows is refused (Error says so) rather than written into.
bool EnsureSiteSchema(tSiteDb& Db, std::string& Error);

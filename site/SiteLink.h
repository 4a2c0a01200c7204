// The site record's database: one PostgreSQL server that every station of a line ships its
// service record to, reached through libpq. This unit finds the connection (--site DSN, else
// $CADDIS_SITE, else libpq's own environment and ~/.pgpass), refuses one that carries a
// password, and wraps a connection so the rest of site/ passes every value as a parameter.
//
// Threads: a tSiteDb belongs to the thread that opened it; each thread opens its own.
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

// The connection to use: Given when not empty, else $CADDIS_SITE when set and not empty, else
// the empty text, which makes libpq take PGHOST, PGDATABASE, ... and ~/.pgpass as it does.
// nullopt with Error when the text carries a password (password=... or postgresql://u:pw@...):
// a password would end in the process list, the shell's history or the log, so it belongs in
// ~/.pgpass or PGPASSFILE.
std::optional<std::string> SiteConnectionText(const std::string& Given, std::string& Error);

// Whether a connection text names a password; such a text is never used nor shown.
bool SiteTextHasPassword(const std::string& Text);

// A query's result, owned.
struct tPgResultFree {
  void operator()(PGresult* Result) const { PQclear(Result); }
};
using tPgResult = std::unique_ptr<PGresult, tPgResultFree>;

// One connection to the site's database.
class tSiteDb {
 public:
  // Opens the connection within ConnectSeconds (libpq's connect_timeout, at least 2). Ok()
  // says whether it worked; Error() why not (libpq's text, never the connection text itself).
  explicit tSiteDb(const std::string& Connection, int ConnectSeconds = 5);
  ~tSiteDb();
  tSiteDb(const tSiteDb&) = delete;
  tSiteDb& operator=(const tSiteDb&) = delete;

  bool Ok() const;
  const std::string& Error() const { return fError; }
  PGconn* Handle() const { return fConn; }

  // Runs Sql with Params as $1, $2, ... (text values; nullopt is NULL). nullptr with Error()
  // set when it failed.
  tPgResult Exec(const std::string& Sql,
                 const std::vector<std::optional<std::string>>& Params = {});
  // The same for a statement that returns no rows; false with Error() set when it failed.
  bool Run(const std::string& Sql, const std::vector<std::optional<std::string>>& Params = {});

 private:
  PGconn* fConn = nullptr;
  std::string fError;
};

// The text of a result's cell, empty for NULL.
std::string PgText(const PGresult* Result, int Row, int Column);
bool PgIsNull(const PGresult* Result, int Row, int Column);

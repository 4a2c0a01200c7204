#include "site/SiteSchema.h"

#include "site/SiteLink.h"

namespace {

// Any number, the same in every station: the advisory lock that serialises schema changes.
constexpr const char* SchemaLock = "7160335501";

// Version 1: the record's lines, the heartbeats and the read-only role.
const char* const SchemaV1 = R"SQL(
CREATE TABLE service_lines (
  id text PRIMARY KEY,
  seq bigserial NOT NULL,
  station text NOT NULL,
  record_offset bigint NOT NULL,
  started timestamptz,
  port integer,
  device_id integer,
  card text,
  adapter text,
  action text,
  result text,
  failure text,
  image_file text,
  image_sha256 text,
  firmware_before integer,
  fpga_before text,
  firmware_after integer,
  fpga_after text,
  line jsonb NOT NULL,
  shipped timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX service_lines_started ON service_lines (started);
CREATE INDEX service_lines_station ON service_lines (station, seq);
CREATE INDEX service_lines_card ON service_lines (card, started);
CREATE INDEX service_lines_device ON service_lines (device_id, started);
CREATE INDEX service_lines_image ON service_lines (image_sha256);
CREATE INDEX service_lines_firmware_after ON service_lines (firmware_after);
CREATE INDEX service_lines_fpga_after ON service_lines (fpga_after);
CREATE INDEX service_lines_result ON service_lines (result, started);
CREATE TABLE station_ports (
  station text NOT NULL,
  port integer NOT NULL,
  state text NOT NULL,
  card text,
  step text,
  seen timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (station, port)
);
)SQL";

// The read-only role needs the right to make roles; without it the tables still work and the
// README says how an administrator makes the role.
const char* const ReaderRole = R"SQL(
DO $$
BEGIN
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'caddis_reader') THEN
    CREATE ROLE caddis_reader LOGIN;
  END IF;
EXCEPTION WHEN insufficient_privilege THEN
  RAISE NOTICE 'caddis_reader not made';
END
$$;
DO $$
BEGIN
  IF EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'caddis_reader') THEN
    GRANT SELECT ON service_lines, station_ports, caddis_schema TO caddis_reader;
  END IF;
EXCEPTION WHEN insufficient_privilege THEN
  RAISE NOTICE 'caddis_reader not granted';
END
$$;
)SQL";

// Version 2: the link's health in columns of their own, filled from the lines already there,
// so its trend is summed over plain numbers; each card's newest update per action found by an
// index (what the releases page and history --latest ask); and the hours' and days' counts and
// the link's trend read from an index alone.
const char* const SchemaV2 = R"SQL(
ALTER TABLE service_lines
  ADD COLUMN link_round_trip_ms double precision,
  ADD COLUMN link_round_trip_max_ms double precision,
  ADD COLUMN link_damaged bigint,
  ADD COLUMN link_unanswered bigint;
UPDATE service_lines SET
  link_round_trip_ms = CASE WHEN jsonb_typeof(line->'LinkHealth'->'RoundTripMs'->'Mean') = 'number'
    THEN (line->'LinkHealth'->'RoundTripMs'->>'Mean')::double precision END,
  link_round_trip_max_ms = CASE WHEN jsonb_typeof(line->'LinkHealth'->'RoundTripMs'->'Max') = 'number'
    THEN (line->'LinkHealth'->'RoundTripMs'->>'Max')::double precision END,
  link_damaged = CASE WHEN jsonb_typeof(line->'LinkHealth'->'FramesDamaged'->'Length') = 'number'
    AND jsonb_typeof(line->'LinkHealth'->'FramesDamaged'->'Checksum') = 'number'
    THEN trunc((line->'LinkHealth'->'FramesDamaged'->>'Length')::numeric +
               (line->'LinkHealth'->'FramesDamaged'->>'Checksum')::numeric)::bigint END,
  link_unanswered = CASE WHEN jsonb_typeof(line->'LinkHealth'->'KeepAlivesUnanswered') = 'number'
    THEN trunc((line->'LinkHealth'->>'KeepAlivesUnanswered')::numeric)::bigint END
WHERE line ? 'LinkHealth';
CREATE INDEX service_lines_newest ON service_lines (card, action, started DESC, seq DESC)
  INCLUDE (firmware_after, fpga_after, image_file, image_sha256) WHERE result = 'success';
CREATE INDEX service_lines_trend ON service_lines (started) INCLUDE (result, link_round_trip_ms,
  link_round_trip_max_ms, link_damaged, link_unanswered);
)SQL";

const char* const Steps[] = {SchemaV1, SchemaV2};

int CurrentVersion(tSiteDb& Db, std::string& Error) {
  auto Result = Db.Exec("SELECT coalesce(max(version), 0) FROM caddis_schema");
  if (!Result) {
    Error = Db.Error();
    return -1;
  }
  return std::stoi(PgText(Result.get(), 0, 0));
}

}  // namespace

bool EnsureSiteSchema(tSiteDb& Db, std::string& Error) {
  static_assert(sizeof Steps / sizeof Steps[0] == SiteSchemaVersion);
  const auto Fail = [&](const std::string& What) {
    Error = "cannot prepare the site database: " + What;
    Db.Run("ROLLBACK");
    return false;
  };
  // An upgrade may rewrite many lines: it is not cut short by the connection's statement
  // timeout.
  if (!Db.Run("BEGIN") || !Db.Run("SET LOCAL statement_timeout = 0") ||
      !Db.Run(std::string("SELECT pg_advisory_xact_lock(") + SchemaLock + ")") ||
      !Db.Run("CREATE TABLE IF NOT EXISTS caddis_schema (version integer PRIMARY KEY, "
              "applied timestamptz NOT NULL DEFAULT now())"))
    return Fail(Db.Error());
  std::string Why;
  const int Version = CurrentVersion(Db, Why);
  if (Version < 0) return Fail(Why);
  if (Version > SiteSchemaVersion)
    return Fail("its tables are at version " + std::to_string(Version) +
                ", newer than this tool knows (" + std::to_string(SiteSchemaVersion) +
                "): use a newer caddis");
  for (int Step = Version; Step < SiteSchemaVersion; ++Step) {
    // A multi-statement text runs without parameters through the simple protocol.
    tPgResult Result(PQexec(Db.Handle(), Steps[Step]));
    if (!Result || PQresultStatus(Result.get()) != PGRES_COMMAND_OK)
      return Fail(Result ? PQresultErrorMessage(Result.get()) : PQerrorMessage(Db.Handle()));
    if (!Db.Run("INSERT INTO caddis_schema (version) VALUES ($1::integer)",
                {std::to_string(Step + 1)}))
      return Fail(Db.Error());
  }
  tPgResult Grant(PQexec(Db.Handle(), ReaderRole));
  if (!Grant || PQresultStatus(Grant.get()) != PGRES_COMMAND_OK)
    return Fail(Grant ? PQresultErrorMessage(Grant.get()) : PQerrorMessage(Db.Handle()));
  if (!Db.Run("COMMIT")) return Fail(Db.Error());
  return true;
}

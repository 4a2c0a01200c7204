#include "site/SiteLink.h"

#include <algorithm>
#include <cctype>

#include "platform/Environment.h"

namespace {

std::string Lower(std::string Text) {
  std::transform(Text.begin(), Text.end(), Text.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return Text;
}

bool IsUri(const std::string& Text) {
  const std::string L = Lower(Text);
  return L.rfind("postgresql://", 0) == 0 || L.rfind("postgres://", 0) == 0;
}

// A URI's user-info ("user:password@") before its host part, or its query's password=.
bool UriHasPassword(const std::string& Text) {
  const auto Scheme = Text.find("://");
  const auto AuthorityEnd = Text.find_first_of("/?", Scheme + 3);
  const std::string Authority =
      Text.substr(Scheme + 3, AuthorityEnd == std::string::npos ? std::string::npos
                                                                : AuthorityEnd - Scheme - 3);
  const auto At = Authority.rfind('@');
  if (At != std::string::npos && Authority.substr(0, At).find(':') != std::string::npos)
    return true;
  const auto Query = Text.find('?');
  if (Query == std::string::npos) return false;
  const std::string Params = "&" + Lower(Text.substr(Query + 1));
  return Params.find("&password=") != std::string::npos;
}

}  // namespace

bool SiteTextHasPassword(const std::string& Text) {
  if (IsUri(Text)) return UriHasPassword(Text);
  // key = value pairs; libpq parses them itself, so ask it rather than guessing at quoting.
  char* Why = nullptr;
  PQconninfoOption* Options = PQconninfoParse(Text.c_str(), &Why);
  if (!Options) {
    PQfreemem(Why);
    // Unparsable: refuse it if it so much as mentions a password.
    return Lower(Text).find("password") != std::string::npos;
  }
  bool Has = false;
  for (PQconninfoOption* Option = Options; Option->keyword; ++Option)
    if (std::string(Option->keyword) == "password" && Option->val && *Option->val) Has = true;
  PQconninfoFree(Options);
  return Has;
}

std::optional<std::string> SiteConnectionText(const std::string& Given, std::string& Error) {
  std::string Text = Given;
  std::string From = "--site";
  if (Text.empty()) {
    if (const auto Named = tEnvironment::Get("CADDIS_SITE"); Named && !Named->empty()) {
      Text = *Named;
      From = "CADDIS_SITE";
    }
  }
  if (SiteTextHasPassword(Text)) {
    Error = "the site connection (" + From +
            ") carries a password; it is refused so the password never shows in the process "
            "list, the record or the log: put it in ~/.pgpass (or PGPASSFILE) instead";
    return std::nullopt;
  }
  return Text;
}

tSiteDb::tSiteDb(const std::string& Connection, int ConnectSeconds) {
  const std::string Timeout = std::to_string(std::max(2, ConnectSeconds));
  // The connection text as dbname lets libpq expand it (key=value or a URI) and take the rest
  // from its environment; the timeouts and the application name are added beside it. A server
  // that takes the connection and then stops answering must not hold a station's thread (and
  // its end) for ever: a statement gives up after 30 s, and a silent network is noticed by TCP
  // keep-alives and the user timeout.
  const char* Keys[] = {"dbname",           "connect_timeout",  "application_name",
                        "keepalives",       "keepalives_idle",  "keepalives_interval",
                        "keepalives_count", "tcp_user_timeout", nullptr};
  const char* Values[] = {
      Connection.c_str(), Timeout.c_str(), "caddis", "1", "10", "5", "3", "30000", nullptr};
  fConn = PQconnectdbParams(Keys, Values, 1);
  if (!fConn) {
    fError = "out of memory";
  } else if (PQstatus(fConn) != CONNECTION_OK) {
    fError = PQerrorMessage(fConn);
    while (!fError.empty() && (fError.back() == '\n' || fError.back() == ' '))
      fError.pop_back();
    if (fError.empty()) fError = "cannot connect to the site database";
  } else {
    // Quiet: the schema's "already exists" notices are not the operator's business.
    PQsetNoticeProcessor(
        fConn, [](void*, const char*) {}, nullptr);
    // Set here rather than as the connection's options, which would replace the caller's own.
    tPgResult Set(PQexec(fConn, "SET statement_timeout = 30000"));
    if (!Set || PQresultStatus(Set.get()) != PGRES_COMMAND_OK) {
      fError = Set ? PQresultErrorMessage(Set.get()) : PQerrorMessage(fConn);
      PQfinish(fConn);
      fConn = nullptr;
    }
  }
}

tSiteDb::~tSiteDb() {
  if (fConn) PQfinish(fConn);
}

bool tSiteDb::Ok() const {
  return fConn && PQstatus(fConn) == CONNECTION_OK;
}

tPgResult tSiteDb::Exec(const std::string& Sql,
                        const std::vector<std::optional<std::string>>& Params) {
  if (!Ok()) {
    if (fError.empty()) fError = "not connected to the site database";
    return nullptr;
  }
  std::vector<const char*> Values;
  Values.reserve(Params.size());
  for (const auto& Param : Params)
    Values.push_back(Param ? Param->c_str() : nullptr);
  tPgResult Result(PQexecParams(fConn, Sql.c_str(), static_cast<int>(Values.size()), nullptr,
                                Values.data(), nullptr, nullptr, 0));
  const ExecStatusType Status = Result ? PQresultStatus(Result.get()) : PGRES_FATAL_ERROR;
  if (Status != PGRES_COMMAND_OK && Status != PGRES_TUPLES_OK) {
    fError = Result ? PQresultErrorMessage(Result.get()) : PQerrorMessage(fConn);
    while (!fError.empty() && (fError.back() == '\n' || fError.back() == ' '))
      fError.pop_back();
    return nullptr;
  }
  return Result;
}

bool tSiteDb::Run(const std::string& Sql, const std::vector<std::optional<std::string>>& Params) {
  return Exec(Sql, Params) != nullptr;
}

std::string PgText(const PGresult* Result, int Row, int Column) {
  if (PQgetisnull(Result, Row, Column)) return {};
  return std::string(PQgetvalue(Result, Row, Column),
                     static_cast<std::size_t>(PQgetlength(Result, Row, Column)));
}

bool PgIsNull(const PGresult* Result, int Row, int Column) {
  return PQgetisnull(Result, Row, Column) != 0;
}

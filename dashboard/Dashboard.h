// caddis-dashboard's server side without the network: which page a request gets from the site
// database, the read-only connection it is asked through, and the address it listens on.
//
// Threads: tDashboardSource may be called from the server's worker threads at once; it asks
// the database through one connection, one request at a time.
#pragma once

#include <memory>
#include <mutex>
#include <string>

class tSiteDb;
namespace httplib {
class Server;
}

struct tDashboardReply {
  int Status = 200;
  std::string Html;
};

// Makes a connection a dashboard may use: the session is made read-only, and a role that may
// write into the site's tables is refused (connect as caddis_reader). False with Error.
bool MakeReadOnly(tSiteDb& Db, std::string& Error);

class tDashboardSource {
 public:
  explicit tDashboardSource(std::string Connection);
  ~tDashboardSource();
  // Connects now, so a wrong connection or a role that can write is said at the start.
  bool Open(std::string& Error);
  // The page at Path ("/", "/yield", "/releases", "/card", "/link"); Card: the card page's id.
  tDashboardReply Page(const std::string& Path, const std::string& Card);

 private:
  std::string fConnection;
  std::unique_ptr<tSiteDb> fDb;
  std::mutex fMutex;
};

// The page routes on Server: GET only, each page's HTML from Source, no scripts allowed by the
// pages' security policy.
void MountDashboard(httplib::Server& Server, tDashboardSource& Source);

// "127.0.0.1:8080", "[::1]:8080", "0.0.0.0:80": false with Error for anything else.
bool ParseListen(const std::string& Text, std::string& Host, int& Port, std::string& Error);

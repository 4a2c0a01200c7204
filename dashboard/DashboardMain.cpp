// caddis-dashboard: the line's pages from the site database, read-only, for a browser.
//   caddis-dashboard --site DSN [--listen 127.0.0.1:8080]
#include <httplib.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>

#include "dashboard/Dashboard.h"
#include "site/SiteLink.h"

namespace {
httplib::Server* Running = nullptr;
void StopOnSignal(int) {
  if (Running) Running->stop();
}
}  // namespace

int main(int argc, char** argv) {
  CLI::App App(
      "caddis-dashboard: the production line's pages from the site database "
      "(read-only; no scripts).");
  std::string Site, Listen = "127.0.0.1:8080";
  App.add_option("--site", Site,
                 "the site database, as a role that may only read (caddis_reader); default "
                 "$CADDIS_SITE, else libpq's environment; a password in it is refused");
  App.add_option("--listen", Listen,
                 "HOST:PORT to serve on (default 127.0.0.1:8080, this machine only)");
  CLI11_PARSE(App, argc, argv);

  std::string Error, Host;
  int Port = 0;
  if (!ParseListen(Listen, Host, Port, Error)) {
    std::fprintf(stderr, "caddis-dashboard: %s\n", Error.c_str());
    return 2;
  }
  const auto Connection = SiteConnectionText(Site, Error);
  if (!Connection) {
    std::fprintf(stderr, "caddis-dashboard: %s\n", Error.c_str());
    return 2;
  }
  tDashboardSource Source(*Connection);
  if (!Source.Open(Error)) {
    std::fprintf(stderr, "caddis-dashboard: %s\n", Error.c_str());
    return 1;
  }
  httplib::Server Server;
  MountDashboard(Server, Source);
  Running = &Server;
  std::signal(SIGINT, StopOnSignal);
  std::signal(SIGTERM, StopOnSignal);
  if (!Server.bind_to_port(Host, Port)) {
    std::fprintf(stderr, "caddis-dashboard: cannot listen on %s\n", Listen.c_str());
    return 1;
  }
  std::printf("caddis-dashboard: serving http://%s/ (Ctrl-C ends it)\n", Listen.c_str());
  std::fflush(stdout);
  Server.listen_after_bind();
  return 0;
}

// A real PostgreSQL server for the site record's tests and benchmarks: a cluster made with
// initdb in the caller's temporary folder, run by pg_ctl on a Unix socket in that folder (no TCP
// port), stopped and removed at the end. As root the server runs as the unprivileged user
// nobody (PostgreSQL refuses root), with the folder handed to it; otherwise as the caller.
// Only local socket connections exist and they are trusted: the cluster lives as long as the
// test.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "RunProgram.h"

class tPgServer {
 public:
  // Folder: an empty folder of the caller's (the cluster goes into Folder/data, the socket into
  // Folder/sock). Its path must be short: a socket's path has at most 107 bytes.
  explicit tPgServer(std::string Folder) : fFolder(std::move(Folder)) {}
  ~tPgServer() {
    std::string Ignored;
    if (fRunning) Stop(Ignored, true);
  }
  tPgServer(const tPgServer&) = delete;
  tPgServer& operator=(const tPgServer&) = delete;

  // The newest installed server's bin folder, or empty.
  static std::string BinFolder() {
    std::vector<std::string> Found;
    std::error_code Ec;
    for (const auto& Entry : std::filesystem::directory_iterator("/usr/lib/postgresql", Ec))
      if (std::filesystem::exists(Entry.path() / "bin" / "pg_ctl")) Found.push_back(Entry.path());
    std::sort(Found.begin(), Found.end(), [](const std::string& A, const std::string& B) {
      return std::stoi(std::filesystem::path(A).filename()) <
             std::stoi(std::filesystem::path(B).filename());
    });
    return Found.empty() ? "" : Found.back() + "/bin";
  }

  // Makes the cluster the first time, then starts the server and waits until it takes
  // connections (pg_ctl -w). False with Error (pg_ctl's output and the server's log).
  bool Start(std::string& Error) {
    const std::string Bin = BinFolder();
    if (Bin.empty()) {
      Error = "no PostgreSQL server under /usr/lib/postgresql (Debian's postgresql package)";
      return false;
    }
    if (!fMade) {
      std::filesystem::create_directories(Socket());
      // The server's user must reach its folder; as root the folder is handed to nobody.
      ::chmod(fFolder.c_str(), 0755);
      if (geteuid() == 0) {
        for (const std::string& Path : {fFolder, Socket()})
          if (::chown(Path.c_str(), 65534, 65534) != 0) {
            Error = "cannot hand " + Path + " to nobody";
            return false;
          }
      }
      const auto Made = Run({Bin + "/initdb", "-D", Data(), "-U", "caddis", "--auth=trust",
                             "--no-sync", "-E", "UTF8", "--locale=C"});
      if (Made.Exit != 0) {
        Error = "initdb failed: " + Made.Output;
        return false;
      }
      fMade = true;
    }
    const auto Started =
        Run({Bin + "/pg_ctl", "-D", Data(), "-l", fFolder + "/server.log", "-w", "-t", "120", "-o",
             "-k " + Socket() + " -c listen_addresses= -c fsync=off", "start"});
    if (Started.Exit != 0) {
      Error = "pg_ctl start failed: " + Started.Output + Log();
      return false;
    }
    fRunning = true;
    return true;
  }

  // Stops the server: Immediate as a crash would (connections cut, no checkpoint), else fast.
  bool Stop(std::string& Error, bool Immediate = false) {
    const auto Stopped = Run({BinFolder() + "/pg_ctl", "-D", Data(), "-w", "-t", "120", "-m",
                              Immediate ? "immediate" : "fast", "stop"});
    if (Stopped.Exit != 0) {
      Error = "pg_ctl stop failed: " + Stopped.Output;
      return false;
    }
    fRunning = false;
    return true;
  }

  // The connection text of database Database as the superuser caddis.
  std::string Dsn(const std::string& Database = "postgres",
                  const std::string& User = "caddis") const {
    return "host=" + Socket() + " dbname=" + Database + " user=" + User;
  }
  std::string Socket() const { return fFolder + "/sock"; }
  std::string Log() const {
    std::ifstream In(fFolder + "/server.log");
    std::stringstream Text;
    Text << In.rdbuf();
    return Text.str();
  }

 private:
  std::string Data() const { return fFolder + "/data"; }

  tProgramRun Run(std::vector<std::string> Argv) const {
    if (geteuid() == 0)
      Argv.insert(Argv.begin(),
                  {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    return RunProgram(Argv, fFolder + "/pg_ctl.out", std::chrono::seconds(180));
  }

  std::string fFolder;
  bool fMade = false, fRunning = false;
};

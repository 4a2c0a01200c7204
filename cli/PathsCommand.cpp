// caddis paths: the files and folders the tool uses on this machine, for this user.
#include <cstdio>
#include <utility>
#include <vector>

#include "cli/CliText.h"
#include "cli/Commands.h"
#include "platform/Paths.h"
#include "platform/PortCatalogue.h"
#include "session/ServiceRecord.h"
#include "support/LogFile.h"

namespace {

struct tPathLine {
  const char* Label;  // "Log file"
  const char* Key;    // "LogFile", in JSON
  std::string Path;   // empty: the system has none
};

std::vector<tPathLine> PathLines() {
  return {
      {"Log file", "LogFile", LogFilePath()},
      {"Service record", "ServiceRecord", ServiceRecordPath()},
      {"Settings file", "SettingsFile", tPaths::ExecutableFolder() + "/Serial.ini"},
      {"Config folder", "ConfigFolder", tPaths::ConfigFolder()},
      {"Port numbers", "PortNumbersFile", tPortCatalogue::NumbersFilePath()},
      {"Runtime folder", "RuntimeFolder", tPaths::RuntimeFolder()},
      {"Port folder", "PortFolder", tPaths::PortFolder()},
      {"Virtual USB bus", "VirtualUSBFolder", tPaths::VirtualUSBFolder()},
      {"Image folder", "ImageFolder", DefaultImageFolder()},
  };
}

}  // namespace

tCliResult PathsCommand(const tCliContext&, const tJsonOptions& Options) {
  const std::vector<tPathLine> Lines = PathLines();
  if (Options.Json) {
    nlohmann::ordered_json Object = nlohmann::ordered_json::object();
    for (const tPathLine& Line : Lines)
      Object[Line.Key] =
          Line.Path.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(Line.Path);
    std::printf("%s\n", JsonText(Object).c_str());
    return ExitOk;
  }
  for (const tPathLine& Line : Lines) {
    const std::string Label = std::string(Line.Label) + ":";
    std::printf("%-17s %s\n", Label.c_str(),
                Line.Path.empty() ? "(none: the system numbers its ports)" : Line.Path.c_str());
  }
  return ExitOk;
}

// caddis paths: the files and folders the tool uses on this machine, for this user.
#include <cstdio>
#include <utility>
#include <vector>

#include "cli/CliText.h"
#include "cli/Commands.h"
#include "package/ReleasePackage.h"
#include "platform/Paths.h"
#include "platform/PortCatalogue.h"
#include "session/FirmwareBackup.h"
#include "session/ServiceRecord.h"
#include "support/FilePlaces.h"
#include "support/LogFile.h"

namespace {

struct tPathLine {
  const char* Label;  // "Log file"
  const char* Key;    // "LogFile", in JSON
  std::string Path;   // empty: the system has none
  std::string From;   // where the path came from, when the tool chose among several
};

std::vector<tPathLine> PathLines() {
  const tFileFolders Folders = CurrentFileFolders();
  const tFilePlace Settings = SettingsFilePlace(Folders, PathExists);
  std::vector<tPathLine> Lines = {
      {"Log file", "LogFile", LogFilePath(), ""},
      {"Service record", "ServiceRecord", ServiceRecordPath(), ""},
      {"Kept firmware", "KeptFirmwareFolder", KeptFirmwareFolder(""), ""},
      {"Settings file", "SettingsFile", Settings.Path, Settings.From},
      {"Config folder", "ConfigFolder", tPaths::ConfigFolder(), ""},
      {"Port numbers", "PortNumbersFile", tPortCatalogue::NumbersFilePath(), ""},
      {"Runtime folder", "RuntimeFolder", tPaths::RuntimeFolder(), ""},
      {"Port folder", "PortFolder", tPaths::PortFolder(), ""},
      {"Virtual USB bus", "VirtualUSBFolder", tPaths::VirtualUSBFolder(), ""},
  };
  // The folders trusted release keys are read from, in order.
  for (const std::string& Folder : TrustedKeyFolders())
    Lines.push_back({"Trusted keys", "TrustedKeyFolder", Folder, ""});
  // The folders an image is looked for in, in order.
  for (const tFilePlace& Place : ImageFolderPlaces(Folders))
    Lines.push_back({"Image folder", "ImageFolder", Place.Path, Place.From});
  return Lines;
}

}  // namespace

tCliResult PathsCommand(const tCliContext&, const tJsonOptions& Options) {
  const std::vector<tPathLine> Lines = PathLines();
  if (Options.Json) {
    nlohmann::ordered_json Object = nlohmann::ordered_json::object();
    nlohmann::ordered_json ImageFolders = nlohmann::ordered_json::array();
    nlohmann::ordered_json KeyFolders = nlohmann::ordered_json::array();
    for (const tPathLine& Line : Lines) {
      if (std::string(Line.Key) == "ImageFolder") {
        ImageFolders.push_back({{"Path", Line.Path}, {"From", Line.From}});
        continue;
      }
      if (std::string(Line.Key) == "TrustedKeyFolder") {
        KeyFolders.push_back(Line.Path);
        continue;
      }
      Object[Line.Key] =
          Line.Path.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(Line.Path);
      if (!Line.From.empty()) Object[std::string(Line.Key) + "From"] = Line.From;
    }
    // The first folder, as before, then every folder with where it came from.
    Object["ImageFolder"] = ImageFolders.front()["Path"];
    Object["ImageFolders"] = ImageFolders;
    Object["TrustedKeyFolders"] = KeyFolders;
    std::printf("%s\n", JsonText(Object).c_str());
    return ExitOk;
  }
  for (const tPathLine& Line : Lines) {
    const std::string Label = std::string(Line.Label) + ":";
    std::printf("%-17s %s%s\n", Label.c_str(),
                Line.Path.empty() ? "(none: the system numbers its ports)" : Line.Path.c_str(),
                Line.From.empty() ? "" : ("  (" + Line.From + ")").c_str());
  }
  return ExitOk;
}

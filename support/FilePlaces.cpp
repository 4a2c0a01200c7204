#include "support/FilePlaces.h"

#include <filesystem>

#include "platform/Environment.h"
#include "platform/Paths.h"

namespace {

std::string Parent(const std::string& Folder) {
  const auto Slash = Folder.find_last_of('/');
  if (Slash == std::string::npos) return ".";
  return Slash == 0 ? "/" : Folder.substr(0, Slash);
}

std::string Joined(const std::string& Folder, const std::string& Name) {
  return Folder.empty() || Folder.back() == '/' ? Folder + Name : Folder + "/" + Name;
}

}  // namespace

bool LooksInstalled(const std::string& ExecutableFolder, const tExists& Exists) {
  std::string Folder = ExecutableFolder;
  while (Folder.size() > 1 && Folder.back() == '/')
    Folder.pop_back();
  const auto Slash = Folder.find_last_of('/');
  if (Slash == std::string::npos || Folder.substr(Slash + 1) != "bin") return false;
  return !Exists(Joined(Parent(Folder), "CMakeCache.txt"));
}

tFilePlace SettingsFilePlace(const tFileFolders& Folders, const tExists& Exists) {
  if (!Folders.Installed)
    return {Joined(Folders.ExecutableFolder, "Serial.ini"), "beside the program"};
  const std::string User = Joined(Folders.ConfigFolder, "Serial.ini");
  if (Exists(User)) return {User, "the user's config folder"};
  const std::string System = Joined(Folders.SystemConfigFolder, "Serial.ini");
  if (Exists(System)) return {System, "system-wide (the user has none)"};
  return {User, "the user's config folder (none yet: the defaults apply)"};
}

std::vector<tFilePlace> ImageFolderPlaces(const tFileFolders& Folders) {
  if (Folders.ImageDir && !Folders.ImageDir->empty())
    return {{*Folders.ImageDir, "$CADDIS_IMAGE_DIR"}};
  if (!Folders.Installed) return {{Folders.ExecutableFolder, "beside the program"}};
  return {{Folders.WorkingFolder, "the working folder"},
          {Folders.DataFolder, "the user's data folder"}};
}

std::string ImageFilePath(const tFileFolders& Folders, const std::string& Name,
                          const tExists& Exists) {
  const std::vector<tFilePlace> Places = ImageFolderPlaces(Folders);
  for (const tFilePlace& Place : Places)
    if (Exists(Joined(Place.Path, Name))) return Joined(Place.Path, Name);
  return Joined(Places.back().Path, Name);
}

std::string MissingImageHint(const tFileFolders& Folders, const std::string& Name) {
  std::string Where;
  const std::vector<tFilePlace> Places = ImageFolderPlaces(Folders);
  for (std::size_t i = 0; i < Places.size(); ++i)
    Where += (i == 0 ? "" : " or ") + Places[i].Path;
  return "put " + Name + " in " + Where + ", or give --file";
}

tFileFolders CurrentFileFolders() {
  tFileFolders Folders;
  Folders.ExecutableFolder = tPaths::ExecutableFolder();
  Folders.Installed =
      tPaths::MayBeInstalled() && LooksInstalled(Folders.ExecutableFolder, PathExists);
  Folders.ConfigFolder = tPaths::ConfigFolder();
  Folders.DataFolder = tPaths::DataFolder();
  std::error_code Failed;
  const std::filesystem::path Working = std::filesystem::current_path(Failed);
  Folders.WorkingFolder = Failed ? "." : Working.generic_string();
  if (const auto Dir = tEnvironment::Get("CADDIS_IMAGE_DIR")) Folders.ImageDir = *Dir;
  return Folders;
}

bool PathExists(const std::string& Path) {
  std::error_code Failed;
  return std::filesystem::exists(std::filesystem::path(std::u8string(Path.begin(), Path.end())),
                                 Failed);
}

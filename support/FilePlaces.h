// Where the tool looks for the operator's files: the settings file (Serial.ini) and the
// default images. Two layouts:
//  - beside the program: the Windows zip, and a program run from a build tree or any folder
//    that is not a prefix's bin: the settings and images lie in the program's own folder;
//  - installed (Linux, a program in a prefix's bin such as /usr/bin, not in a build tree):
//    the settings in the user's config folder ($XDG_CONFIG_HOME/caddis/Serial.ini), read from
//    the system-wide /etc/caddis/Serial.ini while the user has none; the images in the working
//    folder, then the user's data folder ($XDG_DATA_HOME/caddis).
// $CADDIS_IMAGE_DIR, when set, is the one image folder in either layout. Each place carries
// where it came from, for caddis paths. The rules are plain functions of the folders given,
// so each layout is tested without installing anything.
//
// Threads: any.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

// A file or folder and where it came from ("the user's config folder").
struct tFilePlace {
  std::string Path;
  std::string From;
};

// The folders the rules choose from.
struct tFileFolders {
  bool Installed = false;
  std::string ExecutableFolder;
  std::string ConfigFolder;  // the user's (tPaths::ConfigFolder)
  std::string SystemConfigFolder = "/etc/caddis";
  std::string DataFolder;  // the user's (tPaths::DataFolder)
  std::string WorkingFolder;
  std::optional<std::string> ImageDir;  // $CADDIS_IMAGE_DIR
};

using tExists = std::function<bool(const std::string& Path)>;

// Whether a program in ExecutableFolder is installed: the folder is a prefix's "bin" and its
// parent is no build tree (holds no CMakeCache.txt).
bool LooksInstalled(const std::string& ExecutableFolder, const tExists& Exists);

// The settings file read: see above. Installed, the user's file even when missing (where it is
// to be written), unless the system-wide one exists and the user's does not.
tFilePlace SettingsFilePlace(const tFileFolders& Folders, const tExists& Exists);
// The folders an image is looked for in, in order.
std::vector<tFilePlace> ImageFolderPlaces(const tFileFolders& Folders);
// The image Name: in the first folder that holds it, else in the last folder (where an
// operator is told to put it).
std::string ImageFilePath(const tFileFolders& Folders, const std::string& Name,
                          const tExists& Exists);
// What to do about a missing default image: "put SkerryFPGA.bit in /w or /d, or give --file".
std::string MissingImageHint(const tFileFolders& Folders, const std::string& Name);

// The folders of this program, this user and this machine now.
tFileFolders CurrentFileFolders();
// Whether Path names an existing file or folder.
bool PathExists(const std::string& Path);

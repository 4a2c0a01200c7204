// Where the operator's files are looked for: beside the program (the Windows zip, a build tree)
// or installed (settings in the user's or the system's config folder, images in the working
// and the user's data folder), on made-up folders with made-up files.
#include "support/FilePlaces.h"

#include <gtest/gtest.h>

#include <set>

namespace {

tExists FilesAre(std::set<std::string> Files) {
  return [Files = std::move(Files)](const std::string& Path) { return Files.count(Path) > 0; };
}

TEST(FilePlacesTest, AProgramInAPrefixsBinOutsideABuildTreeIsInstalled) {
  const struct {
    const char* Folder;
    std::set<std::string> Files;
    bool Installed;
  } Cases[] = {
      {"/usr/bin", {}, true},
      {"/usr/local/bin/", {}, true},
      {"/tmp/root/usr/bin", {}, true},
      {"/work/caddis/build/default/bin", {"/work/caddis/build/default/CMakeCache.txt"}, false},
      {"/opt/caddis", {}, false},
      {"/opt/caddis/binaries", {}, false},
      {"bin", {}, false},
      {"/bin", {}, true},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(LooksInstalled(Case.Folder, FilesAre(Case.Files)), Case.Installed) << Case.Folder;
}

tFileFolders Folders(bool Installed) {
  tFileFolders F;
  F.Installed = Installed;
  F.ExecutableFolder = "/usr/bin";
  F.ConfigFolder = "/home/op/.config/caddis";
  F.DataFolder = "/home/op/.local/share/caddis";
  F.WorkingFolder = "/home/op/lot-7";
  return F;
}

TEST(FilePlacesTest, TheSettingsAreTheUsersThenTheSystemsOrBesideTheProgram) {
  const std::string User = "/home/op/.config/caddis/Serial.ini";
  const std::string System = "/etc/caddis/Serial.ini";
  const struct {
    bool Installed;
    std::set<std::string> Files;
    std::string Path;
    const char* From;
  } Cases[] = {
      {true, {User, System}, User, "the user's config folder"},
      {true, {System}, System, "system-wide (the user has none)"},
      {true, {}, User, "the user's config folder (none yet: the defaults apply)"},
      {false, {User, System}, "/usr/bin/Serial.ini", "beside the program"},
  };
  for (const auto& Case : Cases) {
    const tFilePlace Place = SettingsFilePlace(Folders(Case.Installed), FilesAre(Case.Files));
    EXPECT_EQ(Place.Path, Case.Path);
    EXPECT_EQ(Place.From, Case.From);
    // Never a folder of programs, installed.
    if (Case.Installed) {
      EXPECT_EQ(Place.Path.rfind("/usr/bin", 0), std::string::npos);
    }
  }
}

TEST(FilePlacesTest, AnImageIsLookedForInTheWorkingThenTheDataFolderInstalled) {
  const std::string Here = "/home/op/lot-7/SkerryFPGA.bit";
  const std::string Data = "/home/op/.local/share/caddis/SkerryFPGA.bit";
  const struct {
    bool Installed;
    std::optional<std::string> ImageDir;
    std::set<std::string> Files;
    std::string Path;
    std::vector<std::string> Folders;
  } Cases[] = {
      {true, {}, {Here, Data}, Here, {"/home/op/lot-7", "/home/op/.local/share/caddis"}},
      {true, {}, {Data}, Data, {"/home/op/lot-7", "/home/op/.local/share/caddis"}},
      {true, {}, {}, Data, {"/home/op/lot-7", "/home/op/.local/share/caddis"}},
      {true, "/images", {Here}, "/images/SkerryFPGA.bit", {"/images"}},
      {false, {}, {Here}, "/usr/bin/SkerryFPGA.bit", {"/usr/bin"}},
      {false, "/images/", {}, "/images/SkerryFPGA.bit", {"/images/"}},
  };
  for (const auto& Case : Cases) {
    tFileFolders F = Folders(Case.Installed);
    F.ImageDir = Case.ImageDir;
    EXPECT_EQ(ImageFilePath(F, "SkerryFPGA.bit", FilesAre(Case.Files)), Case.Path);
    std::vector<std::string> Shown;
    for (const tFilePlace& Place : ImageFolderPlaces(F)) {
      Shown.push_back(Place.Path);
      EXPECT_FALSE(Place.From.empty()) << Place.Path;
    }
    EXPECT_EQ(Shown, Case.Folders);
  }
  EXPECT_EQ(MissingImageHint(Folders(true), "SkerryTiva.dfu"),
            "put SkerryTiva.dfu in /home/op/lot-7 or /home/op/.local/share/caddis, or give --file");
  EXPECT_EQ(MissingImageHint(Folders(false), "xmos.bin"),
            "put xmos.bin in /usr/bin, or give --file");
}

}  // namespace

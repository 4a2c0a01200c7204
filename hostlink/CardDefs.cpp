#include "hostlink/CardDefs.h"

#include <cmath>

#include "support/FilePlaces.h"
#include "support/ShortString.h"

std::string FPGAImageName(const std::string& HostName) {
  return HostName == "Orvane" ? "orvane_interface_fpga.bit" : "SkerryFPGA.bit";
}

std::string ImagePathIn(const std::string& Folder, const std::string& Name) {
  std::string Path = ShortString(Folder);
  if (Path.empty() || Path.back() != '/') Path = ShortString(Path + "/");
  return ShortString(Path + Name);
}

std::string DefaultImageFolder() {
  return ImageFolderPlaces(CurrentFileFolders()).back().Path;
}

std::string DefaultImagePath(const std::string& Name) {
  return ShortString(ImageFilePath(CurrentFileFolders(), Name, PathExists));
}

int ProgressPercent(float Fraction) {
  const double Percent = std::nearbyint(static_cast<double>(Fraction) * 100.0);
  if (!(Percent > 0)) return 0;
  return Percent >= 100 ? 100 : static_cast<int>(Percent);
}

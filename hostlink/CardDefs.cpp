#include "hostlink/CardDefs.h"

#include <cmath>

#include "platform/Environment.h"
#include "platform/Paths.h"
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
  if (const auto Folder = tEnvironment::Get("CADDIS_IMAGE_DIR"); Folder && !Folder->empty())
    return *Folder;
  return tPaths::ExecutableFolder();
}

std::string DefaultImagePath(const std::string& Name) {
  return ImagePathIn(DefaultImageFolder(), Name);
}

int ProgressPercent(float Fraction) {
  const double Percent = std::nearbyint(static_cast<double>(Fraction) * 100.0);
  if (!(Percent > 0)) return 0;
  return Percent >= 100 ? 100 : static_cast<int>(Percent);
}

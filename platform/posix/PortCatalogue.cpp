#include "platform/PortCatalogue.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform/Files.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace tPortCatalogue {
namespace {

const char* const NumbersFile = "ports.txt";

tRoots& Overrides() {
  static tRoots R;
  return R;
}

std::string Root(const std::string& Override, const char* EnvName, const std::string& Default) {
  if (!Override.empty()) return Override;
  if (const char* Value = std::getenv(EnvName); Value && *Value) return Value;
  return Default;
}

std::string SysFs() {
  return Root(Overrides().SysFs, "CADDIS_SYSFS_ROOT", "/sys");
}
std::string Dev() {
  return Root(Overrides().Dev, "CADDIS_DEV_ROOT", "/dev");
}
std::string CmdLine() {
  return Root(Overrides().KernelCmdLine, "CADDIS_KERNEL_CMDLINE", "/proc/cmdline");
}
std::string PortFolder() {
  return Overrides().PortFolder.empty() ? tPaths::PortFolder() : Overrides().PortFolder;
}
std::string ConfigFolder() {
  return Overrides().ConfigFolder.empty() ? tPaths::ConfigFolder() : Overrides().ConfigFolder;
}

std::string ReadFirstWord(const fs::path& File) {
  std::ifstream In(File);
  std::string Word;
  In >> Word;
  return Word;
}

// "123" -> 123; anything else (empty, signs, leading zeros, other characters, 0,
// overflow) -> 0.
int32_t ParseNumber(std::string_view Text) {
  int32_t N = 0;
  const auto [End, Err] = std::from_chars(Text.data(), Text.data() + Text.size(), N);
  if (Err != std::errc() || End != Text.data() + Text.size() || N <= 0) return 0;
  // "COM07" is not port 7: one number, one spelling.
  return std::to_string(N) == Text ? N : 0;
}

// The kernel names of the consoles named on the kernel command line: the operator must not
// be offered the line the system itself talks on.
std::set<std::string> Consoles() {
  std::set<std::string> Names;
  std::ifstream In(CmdLine());
  std::string Word;
  while (In >> Word) {
    if (Word.rfind("console=", 0) != 0) continue;
    std::string Name = Word.substr(
        8, Word.find(',') == std::string::npos ? std::string::npos : Word.find(',') - 8);
    if (Name.rfind("/dev/", 0) == 0) Name = Name.substr(5);
    if (!Name.empty()) Names.insert(Name);
  }
  return Names;
}

// A kernel device's lasting identity: its by-id name, else its by-path name (relative to the
// /dev root), else its kernel name.
std::string IdentityOf(const std::string& Kernel) {
  for (const char* Folder : {"serial/by-id", "serial/by-path"}) {
    std::error_code Ec;
    std::vector<std::string> Links;
    for (const auto& Entry : fs::directory_iterator(fs::path(Dev()) / Folder, Ec)) {
      std::error_code LinkEc;
      const fs::path Target = fs::read_symlink(Entry.path(), LinkEc);
      if (!LinkEc && Target.filename() == Kernel) Links.push_back(Entry.path().filename().string());
    }
    if (!Links.empty())
      return std::string(Folder) + "/" + *std::min_element(Links.begin(), Links.end());
  }
  return Kernel;
}

struct tKernelDevice {
  std::string Kernel;
  std::string Identity;
};

std::vector<tKernelDevice> KernelDevices() {
  const std::set<std::string> ConsoleNames = Consoles();
  std::vector<tKernelDevice> Devices;
  std::error_code Ec;
  for (const auto& Entry : fs::directory_iterator(fs::path(SysFs()) / "class/tty", Ec)) {
    const std::string Name = Entry.path().filename().string();
    std::error_code E;
    if (!fs::exists(Entry.path() / "device", E)) continue;      // virtual terminal
    if (ReadFirstWord(Entry.path() / "type") == "0") continue;  // legacy port, no hardware
    if (ConsoleNames.count(Name)) continue;
    if (!fs::exists(fs::path(Dev()) / Name, E)) continue;
    Devices.push_back({Name, IdentityOf(Name)});
  }
  std::sort(Devices.begin(), Devices.end(),
            [](const tKernelDevice& A, const tKernelDevice& B) { return A.Kernel < B.Kernel; });
  return Devices;
}

struct tLink {
  int32_t Number;
  fs::path Path;
  fs::path Target;
};

// The name a link's device goes by: its path below /dev ("pts/3", "ttyUSB0"), else its file
// name, so a pseudo-terminal reads as one rather than as a bare number.
std::string LinkDeviceName(const fs::path& Target) {
  const std::string Path = Target.lexically_normal().string();
  if (Path.rfind("/dev/", 0) == 0 && Path.size() > 5) return Path.substr(5);
  return Target.filename().string();
}

// Whether a simulated card that registered port Name holds its lock: "COM<n>.lock" beside
// the link, locked for as long as the card runs. A link without a lock file is the
// operator's own and is taken as it is; one whose lock is free was left by a card that
// ended without removing it (killed), and its pseudo-terminal may belong to another program
// by now.
bool StaleRegistration(const fs::path& Link) {
  const std::string Lock = Link.string() + ".lock";
  const int Fd = open(Lock.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (Fd < 0) return false;
  const bool Free = flock(Fd, LOCK_SH | LOCK_NB) == 0;
  close(Fd);  // releases the lock just taken
  return Free;
}

// The COM<n> links of the port folder whose device is present, by number. A port folder
// that someone else could have written to is not read at all.
std::vector<tLink> Links() {
  std::vector<tLink> Result;
  std::string Why;
  if (!tPaths::IsPrivateFolder(PortFolder(), Why)) return Result;
  std::error_code Ec;
  for (const auto& Entry : fs::directory_iterator(PortFolder(), Ec)) {
    const std::string Name = Entry.path().filename().string();
    if (Name.rfind("COM", 0) != 0) continue;
    const int32_t Number = ParseNumber(std::string_view(Name).substr(3));
    std::error_code E;
    if (Number == 0 || !fs::is_symlink(Entry.symlink_status(E))) continue;
    if (!fs::exists(Entry.path(), E)) continue;  // its device has gone
    if (StaleRegistration(Entry.path())) continue;
    Result.push_back({Number, Entry.path(), fs::read_symlink(Entry.path(), E)});
  }
  std::sort(Result.begin(), Result.end(),
            [](const tLink& A, const tLink& B) { return A.Number < B.Number; });
  return Result;
}

// The remembered numbers, one "<n> <identity> [<kernel name last seen>]" line each. The
// kernel name lets the number of a device that has just gone (its by-id link with it) still
// be found.
struct tRemembered {
  int32_t Number = 0;
  std::string Kernel;
};
using tNumbers = std::map<std::string, tRemembered>;

// A file of remembered numbers has a short line per serial device ever seen; anything larger
// is not one of ours.
constexpr uint64_t MaxNumbersFileSize = 1 << 20;

std::string NumbersPath() {
  return ConfigFolder() + "/" + NumbersFile;
}

// False with Problem naming the file when it is there but refused (not an ordinary file, or
// too large); the numbers are then neither taken from it nor written over it.
bool LoadNumbers(tNumbers& Numbers, std::string& Problem) {
  std::string Why;
  if (!tPaths::IsPrivateFolder(ConfigFolder(), Why)) return true;
  std::string Text;
  if (tFiles::ReadSmallFile(NumbersPath(), MaxNumbersFileSize, Text, Why) == tFiles::rr_Refused) {
    Problem = NumbersPath() + " was not read: " + Why + "; port numbers are not remembered";
    return false;
  }
  std::istringstream In(Text);
  std::string Line;
  std::set<int32_t> Used;
  while (std::getline(In, Line)) {
    std::istringstream Fields(Line);
    std::string NumberText, Identity, Kernel;
    if (!(Fields >> NumberText >> Identity)) continue;
    Fields >> Kernel;
    const int32_t Number = ParseNumber(NumberText);
    // A damaged file must not give two devices one number.
    if (Number == 0 || Used.count(Number) || Numbers.count(Identity)) continue;
    Used.insert(Number);
    Numbers[Identity] = {Number, Kernel};
  }
  return true;
}

void SaveNumbers(const tNumbers& Numbers) {
  const std::string Folder = ConfigFolder();
  if (!tPaths::MakeFolders(Folder)) return;
  std::string Text;
  for (const auto& [Identity, R] : Numbers) {
    Text += std::to_string(R.Number) + ' ' + Identity;
    if (!R.Kernel.empty()) Text += ' ' + R.Kernel;
    Text += '\n';
  }
  // A new file of our own, never one that is already there (and never through a link), then
  // renamed into place: readers see the old file or the new one, never half of it.
  const std::string File = NumbersPath();
  const std::string Temp = File + "." + std::to_string(getpid()) + ".new";
  unlink(Temp.c_str());
  const int Fd = open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (Fd < 0) return;
  bool Written = true;
  for (size_t Done = 0; Written && Done < Text.size();) {
    const ssize_t N = write(Fd, Text.data() + Done, Text.size() - Done);
    if (N > 0)
      Done += static_cast<size_t>(N);
    else if (!(N < 0 && errno == EINTR))
      Written = false;
  }
  if (close(Fd) != 0) Written = false;
  if (!Written || rename(Temp.c_str(), File.c_str()) != 0) unlink(Temp.c_str());
}

// The path with every symbolic link along it followed, worked out from the links' text as
// realpath() would: a port link or a by-id link leads to the device it names. It keeps to
// the roots' own trees (a sysfs link is followed inside a root override too), and a path that
// does not exist stays as it is.
fs::path Resolved(const fs::path& P, int Depth = 0) {
  fs::path Result;
  for (const auto& Part : P.lexically_normal()) {
    Result /= Part;
    std::error_code Ec;
    const fs::path Target = fs::read_symlink(Result, Ec);
    if (Ec || Depth > 16) continue;  // not a link, or a loop of links
    Result = Resolved(Target.is_absolute() ? Target : Result.parent_path() / Target, Depth + 1);
  }
  return Result;
}

struct tNumberedDevice {
  int32_t Number;
  std::string Kernel;
  bool Present;
};

// The kernel devices present, each with its number; new ones get the lowest number that
// neither a remembered device nor a link of the port folder holds. Remembered devices that
// are absent are returned too (Present false), for the number of a device that just left.
std::vector<tNumberedDevice> NumberedKernelDevices(const std::vector<tLink>& PortLinks) {
  tNumbers Numbers;
  std::string Problem;
  const bool Loaded = LoadNumbers(Numbers, Problem);
  std::set<int32_t> Taken;
  for (const auto& [Identity, R] : Numbers)
    Taken.insert(R.Number);
  std::map<int32_t, fs::path> LinkTargets;
  for (const tLink& L : PortLinks) {
    Taken.insert(L.Number);
    LinkTargets[L.Number] = Resolved(L.Path);
  }
  bool Changed = false;
  std::vector<tNumberedDevice> Result;
  std::set<std::string> PresentIdentities;
  for (const tKernelDevice& D : KernelDevices()) {
    auto Found = Numbers.find(D.Identity);
    // A remembered number that a link of the port folder now gives another device would
    // list two ports under one number, one of them out of reach: the device moves on.
    const bool NumberLinkedElsewhere =
        Found != Numbers.end() && LinkTargets.count(Found->second.Number) &&
        LinkTargets[Found->second.Number] != Resolved(fs::path(Dev()) / D.Kernel);
    if (Found == Numbers.end() || NumberLinkedElsewhere) {
      int32_t Free = 1;
      while (Taken.count(Free))
        ++Free;
      Taken.insert(Free);
      if (Found == Numbers.end())
        Found = Numbers.emplace(D.Identity, tRemembered{Free, {}}).first;
      else
        Found->second.Number = Free;
      Changed = true;
    }
    if (Found->second.Kernel != D.Kernel) {
      // The kernel name now belongs to this device alone.
      for (auto& [Identity, R] : Numbers)
        if (R.Kernel == D.Kernel) R.Kernel.clear();
      Found->second.Kernel = D.Kernel;
      Changed = true;
    }
    PresentIdentities.insert(D.Identity);
    Result.push_back({Found->second.Number, D.Kernel, true});
  }
  for (const auto& [Identity, R] : Numbers)
    if (!PresentIdentities.count(Identity) && !R.Kernel.empty())
      Result.push_back({R.Number, R.Kernel, false});
  if (Changed && Loaded) SaveNumbers(Numbers);
  return Result;
}

std::string ReadLine(const fs::path& File) {
  std::ifstream In(File);
  std::string Line;
  std::getline(In, Line);
  return Line;
}

// The USB identity of a kernel tty: the nearest device above its sysfs device that has
// USB vendor and product numbers.
std::string UsbIdentityOf(const std::string& Kernel) {
  fs::path Device = Resolved(fs::path(SysFs()) / "class/tty" / Kernel / "device");
  for (int Up = 0; Up < 4 && Device.has_relative_path(); ++Up, Device = Device.parent_path()) {
    const std::string Vendor = ReadFirstWord(Device / "idVendor");
    const std::string Product = ReadFirstWord(Device / "idProduct");
    if (Vendor.empty() || Product.empty()) continue;
    std::string Text = Vendor + ":" + Product;
    for (const char* Name : {"manufacturer", "product"})
      if (const std::string Value = ReadLine(Device / Name); !Value.empty()) Text += " " + Value;
    if (const std::string Serial = ReadLine(Device / "serial"); !Serial.empty())
      Text += ", serial " + Serial;
    return Text;
  }
  return {};
}

// A tty of a Bluetooth link: rfcomm's own, or one whose sysfs device sits under a Bluetooth
// adapter.
bool BluetoothTty(const std::string& Kernel) {
  if (Kernel.rfind("rfcomm", 0) == 0) return true;
  const std::string Device = Resolved(fs::path(SysFs()) / "class/tty" / Kernel).string();
  return Device.find("/bluetooth/") != std::string::npos;
}

}  // namespace

void SetRoots(const tRoots& Roots) {
  Overrides() = Roots;
}

std::vector<int32_t> PortNumbers() {
  std::vector<int32_t> Numbers;
  for (const tPort& Port : ListPorts())
    Numbers.push_back(Port.Number);
  return Numbers;
}

std::vector<tPort> ListPorts() {
  const std::vector<tLink> PortLinks = Links();
  std::vector<tPort> Ports;
  std::set<fs::path> Linked;
  for (const tLink& L : PortLinks) {
    const fs::path Device = Resolved(L.Path);
    Ports.push_back({L.Number, LinkDeviceName(L.Target), L.Path.string(),
                     UsbIdentityOf(Device.filename().string()),
                     BluetoothTty(Device.filename().string())});
    Linked.insert(Device);
  }
  for (const tNumberedDevice& D : NumberedKernelDevices(PortLinks)) {
    if (!D.Present) continue;
    const fs::path Path = fs::path(Dev()) / D.Kernel;
    if (Linked.count(Resolved(Path))) continue;
    Ports.push_back(
        {D.Number, D.Kernel, Path.string(), UsbIdentityOf(D.Kernel), BluetoothTty(D.Kernel)});
  }
  return Ports;
}

std::string PortFolderProblem() {
  std::string Why;
  std::error_code Ec;
  if (!fs::exists(PortFolder(), Ec)) return {};  // nothing registered yet: nothing wrong
  return tPaths::IsPrivateFolder(PortFolder(), Why) ? std::string() : Why;
}

std::string NumbersFileProblem() {
  tNumbers Ignored;
  std::string Problem;
  LoadNumbers(Ignored, Problem);
  return Problem;
}

std::string NumbersFilePath() {
  return NumbersPath();
}

std::string DevicePathFor(int32_t aCom) {
  const std::vector<tLink> PortLinks = Links();
  for (const tLink& L : PortLinks)
    if (L.Number == aCom) return L.Path.string();
  for (const tNumberedDevice& D : NumberedKernelDevices(PortLinks))
    if (D.Present && D.Number == aCom) return (fs::path(Dev()) / D.Kernel).string();
  return {};
}

std::string RealDevicePathFor(int32_t aCom) {
  const std::string Path = DevicePathFor(aCom);
  if (Path.empty()) return {};
  std::error_code Failed;
  const fs::path Real = fs::canonical(Path, Failed);
  return Failed ? Path : Real.string();
}

int32_t PortNumberOf(const std::string& DeviceOrName) {
  if (DeviceOrName.empty()) return 0;
  const bool IsPath = DeviceOrName.find('/') != std::string::npos;
  const fs::path Path = IsPath ? fs::path(DeviceOrName) : fs::path(Dev()) / DeviceOrName;
  const std::vector<tLink> PortLinks = Links();
  const fs::path Wanted = Resolved(Path);
  for (const tLink& L : PortLinks)
    if (L.Path == Path || Resolved(L.Path) == Wanted) return L.Number;
  const std::string Kernel = IsPath ? Wanted.filename().string() : DeviceOrName;
  for (const tNumberedDevice& D : NumberedKernelDevices(PortLinks))
    if (D.Kernel == Kernel) return D.Number;
  return 0;
}

}  // namespace tPortCatalogue

// The port catalogue's remembered numbers ("ports.txt") on arbitrary file contents.
//
// A fake machine with three serial devices (one known by a by-id name) and one COM link in
// the port folder; the input is the remembered-numbers file. Whatever the file holds, every
// port listed has a number above 0 that no other port has, every device is listed once,
// and the numbers the catalogue saves read back to the same list.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/PortCatalogue.h"

namespace fs = std::filesystem;

namespace {

struct tFakeMachine {
  tFakeMachine() {
    const char* Folder = std::getenv("TMPDIR");
    Root = fs::path(Folder && *Folder ? Folder : "/tmp") /
           ("caddis-ports-fuzz-" + std::to_string(::getpid()));
    fs::remove_all(Root);
    fs::create_directories(Root / "dev/serial/by-id");
    for (const char* Name : {"ttyUSB0", "ttyUSB1", "ttyACM0"}) {
      fs::create_directories(Root / "sys/class/tty" / Name / "device");
      std::ofstream(Root / "dev" / Name) << "";
    }
    fs::create_symlink("../../ttyUSB1", Root / "dev/serial/by-id/usb-Caddis_Card-if00");
    fs::create_directories(Root / "ports");
    std::ofstream(Root / "dev/pts-7") << "";
    fs::create_symlink(Root / "dev/pts-7", Root / "ports/COM3");
    fs::create_directories(Root / "config");
    std::ofstream(Root / "cmdline") << "quiet console=ttyS0,115200";
    tPortCatalogue::SetRoots({(Root / "sys").string(), (Root / "dev").string(),
                              (Root / "cmdline").string(), (Root / "ports").string(),
                              (Root / "config").string()});
  }
  ~tFakeMachine() {
    std::error_code Ec;
    fs::remove_all(Root, Ec);
  }
  fs::path Root;
};

struct tListed {
  int32_t Number;
  std::string Name;
  bool operator==(const tListed&) const = default;
};

std::vector<tListed> List() {
  std::vector<tListed> Result;
  for (const auto& P : tPortCatalogue::ListPorts())
    Result.push_back({P.Number, P.Name});
  return Result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static tFakeMachine Machine;
  {
    std::ofstream Out(Machine.Root / "config/ports.txt", std::ios::binary | std::ios::trunc);
    Out.write(reinterpret_cast<const char*>(Data), static_cast<std::streamsize>(Size));
  }
  const std::vector<tListed> First = List();
  std::set<int32_t> Numbers;
  std::set<std::string> Names;
  for (const tListed& P : First) {
    if (P.Number <= 0 || !Numbers.insert(P.Number).second) __builtin_trap();
    if (!Names.insert(P.Name).second) __builtin_trap();
  }
  if (First.size() != 4) __builtin_trap();  // three devices and the link
  // What the catalogue remembered gives the same numbers next time.
  if (List() != First) __builtin_trap();
  return 0;
}

// The port list and port numbers against a fake sysfs tree, /dev and port folder.
#include "platform/PortCatalogue.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "serial/ComPorts.h"

namespace fs = std::filesystem;

namespace {

class PortCatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char Template[] = "/tmp/caddis-catalogue-XXXXXX";
    ASSERT_NE(mkdtemp(Template), nullptr);
    Root = Template;
    for (const char* Folder : {"sys/class/tty", "dev/serial/by-id", "dev/serial/by-path", "ports"})
      fs::create_directories(Root + "/" + Folder);
    std::ofstream(Root + "/cmdline") << "quiet console=tty0 console=ttyS2,115200n8 ro\n";
    tPortCatalogue::SetRoots(
        {Root + "/sys", Root + "/dev", Root + "/cmdline", Root + "/ports", Root + "/config"});
    // The machine's own tty devices and a real config file stay out of it.
    AddKernelDevice("ttyS0", "4");
    AddKernelDevice("ttyS1", "0");  // legacy placeholder without hardware
    AddKernelDevice("ttyS2", "4");  // the console
    AddKernelDevice("ttyUSB0", "", "usb-Acme_Serial_A1-if00-port0");
    fs::create_directories(Root + "/sys/class/tty/tty0");            // virtual terminal: no device
    fs::create_directories(Root + "/sys/class/tty/ttyACM0/device");  // no /dev node
  }
  void TearDown() override {
    tPortCatalogue::SetRoots({});
    fs::remove_all(Root);
  }

  void AddKernelDevice(const std::string& Name, const std::string& Type,
                       const std::string& ById = "") {
    const std::string Sys = Root + "/sys/class/tty/" + Name;
    fs::create_directories(Sys + "/device");
    if (!Type.empty()) std::ofstream(Sys + "/type") << Type << "\n";
    std::ofstream(Root + "/dev/" + Name);
    if (!ById.empty()) fs::create_symlink("../../" + Name, Root + "/dev/serial/by-id/" + ById);
  }
  void RemoveKernelDevice(const std::string& Name, const std::string& ById = "") {
    fs::remove_all(Root + "/sys/class/tty/" + Name);
    fs::remove(Root + "/dev/" + Name);
    if (!ById.empty()) fs::remove(Root + "/dev/serial/by-id/" + ById);
  }
  void AddLink(int Number, const std::string& Target) {
    fs::create_symlink(Target, Root + "/ports/COM" + std::to_string(Number));
  }

  static std::vector<std::string> Lines() {
    std::vector<std::string> L;
    ListComPorts(L);
    return L;
  }

  std::string Root;
};

using Strings = std::vector<std::string>;

TEST_F(PortCatalogueTest, ListsDevicesThatReallyExistAndTheLinksOfThePortFolder) {
  std::ofstream(Root + "/dev/pts-7");
  AddLink(7, Root + "/dev/pts-7");
  AddLink(9, Root + "/dev/gone");   // its device has gone
  AddLink(0, Root + "/dev/pts-7");  // no such port number
  AddLink(12, Root + "/dev/pts-7");
  fs::create_symlink(Root + "/dev/pts-7", Root + "/ports/COM012");  // not a number's spelling
  fs::create_symlink(Root + "/dev/pts-7", Root + "/ports/LPT1");
  std::ofstream(Root + "/ports/COM3");  // a plain file, not a link

  std::vector<std::string> List = {"<none>"};
  ListComPorts(List);
  // Links by number, then kernel devices by name, numbered lowest free (7 and 12 are taken).
  EXPECT_EQ(List, (Strings{"<none>", "7 pts-7", "12 pts-7", "1 ttyS0", "2 ttyUSB0"}));
  EXPECT_EQ(Lines(), (Strings{"7 pts-7", "12 pts-7", "1 ttyS0", "2 ttyUSB0"})) << "stable";
}

TEST_F(PortCatalogueTest, AnAdapterKeepsItsNumberWhenPluggedAgain) {
  ASSERT_EQ(Lines(), (Strings{"1 ttyS0", "2 ttyUSB0"}));
  RemoveKernelDevice("ttyUSB0", "usb-Acme_Serial_A1-if00-port0");
  EXPECT_EQ(tPortCatalogue::PortNumberOf("ttyUSB0"), 2) << "a device that just left";
  AddKernelDevice("ttyUSB0", "", "usb-Other_B2-if00-port0");  // another adapter
  EXPECT_EQ(Lines(), (Strings{"1 ttyS0", "3 ttyUSB0"}));
  AddKernelDevice("ttyUSB1", "", "usb-Acme_Serial_A1-if00-port0");  // the first one again
  EXPECT_EQ(Lines(), (Strings{"1 ttyS0", "3 ttyUSB0", "2 ttyUSB1"}));

  // A port without a by-id name is known by its kernel name.
  AddKernelDevice("ttyS5", "4");
  const Strings WithS5 = {"1 ttyS0", "4 ttyS5", "3 ttyUSB0", "2 ttyUSB1"};
  EXPECT_EQ(Lines(), WithS5);
  RemoveKernelDevice("ttyS5");
  EXPECT_EQ(Lines(), (Strings{"1 ttyS0", "3 ttyUSB0", "2 ttyUSB1"}));
  AddKernelDevice("ttyS5", "4");
  EXPECT_EQ(Lines(), WithS5);
}

TEST_F(PortCatalogueTest, PathsAndNumbersOfPorts) {
  std::ofstream(Root + "/dev/pts-7");
  AddLink(7, Root + "/dev/pts-7");
  AddLink(5, Root + "/dev/ttyS0");  // the operator pins ttyS0 to number 5
  EXPECT_EQ(Lines(), (Strings{"5 ttyS0", "7 pts-7", "2 ttyUSB0"})) << "ttyS0 once, by its link";

  EXPECT_EQ(tPortCatalogue::DevicePathFor(7), Root + "/ports/COM7");
  EXPECT_EQ(tPortCatalogue::DevicePathFor(2), Root + "/dev/ttyUSB0");
  EXPECT_EQ(tPortCatalogue::DevicePathFor(1), Root + "/dev/ttyS0") << "remembered number";
  EXPECT_EQ(tPortCatalogue::DevicePathFor(3), "");
  EXPECT_EQ(tPortCatalogue::DevicePathFor(0), "");
  EXPECT_EQ(tPortCatalogue::DevicePathFor(-1), "");

  EXPECT_EQ(tPortCatalogue::PortNumberOf(Root + "/ports/COM7"), 7);
  EXPECT_EQ(tPortCatalogue::PortNumberOf(Root + "/dev/pts-7"), 7);
  EXPECT_EQ(tPortCatalogue::PortNumberOf(Root + "/dev/ttyS0"), 5);
  EXPECT_EQ(tPortCatalogue::PortNumberOf("ttyUSB0"), 2);
  EXPECT_EQ(tPortCatalogue::PortNumberOf(Root + "/dev/serial/by-id/usb-Acme_Serial_A1-if00-port0"),
            2);
  EXPECT_EQ(tPortCatalogue::PortNumberOf("ttyS1"), 0) << "placeholder";
  EXPECT_EQ(tPortCatalogue::PortNumberOf("ttyS2"), 0) << "console";
  EXPECT_EQ(tPortCatalogue::PortNumberOf(""), 0);

  // The device behind a number, every link on the way followed: one device behind two
  // numbers reads the same.
  AddLink(6, Root + "/dev/serial/by-id/usb-Acme_Serial_A1-if00-port0");
  const std::string Real = fs::canonical(Root).string();
  EXPECT_EQ(tPortCatalogue::RealDevicePathFor(6), Real + "/dev/ttyUSB0");
  EXPECT_EQ(tPortCatalogue::RealDevicePathFor(7), Real + "/dev/pts-7");
  EXPECT_EQ(tPortCatalogue::RealDevicePathFor(5), Real + "/dev/ttyS0");
  EXPECT_EQ(tPortCatalogue::RealDevicePathFor(1), Real + "/dev/ttyS0");
  EXPECT_EQ(tPortCatalogue::RealDevicePathFor(3), "");
}

// Laid out as the kernel does: the class entry and the device link are relative links into
// the device tree, and the USB device's attributes sit two levels above the tty.
TEST_F(PortCatalogueTest, APortOnUsbCarriesItsAdaptersIdentityThroughLinks) {
  const std::string Usb = Root + "/sys/devices/pci0/usb1/1-2";
  fs::create_directories(Usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0");
  for (const auto& [Name, Value] : {std::pair{"idVendor", "0403"},
                                    {"idProduct", "6001"},
                                    {"manufacturer", "FTDI"},
                                    {"product", "FT232R USB UART"},
                                    {"serial", "A10KJ3XQ"}})
    std::ofstream(Usb + "/" + Name) << Value << "\n";
  fs::remove_all(Root + "/sys/class/tty/ttyUSB0");
  fs::create_symlink("../../devices/pci0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0",
                     Root + "/sys/class/tty/ttyUSB0");
  fs::create_symlink("../../../ttyUSB0", Usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0/device");
  // The operator pins the adapter by its by-id name: a link to a link to the device.
  AddLink(5, Root + "/dev/serial/by-id/usb-Acme_Serial_A1-if00-port0");

  const auto Ports = tPortCatalogue::ListPorts();
  ASSERT_EQ(Ports.size(), 2u);  // ttyS0, and ttyUSB0 once, by its link
  EXPECT_EQ(Ports[0].Number, 5);
  EXPECT_EQ(Ports[0].Usb, "0403:6001 FTDI FT232R USB UART, serial A10KJ3XQ");
  EXPECT_EQ(Ports[1].Name, "ttyS0");
  EXPECT_EQ(Ports[1].Usb, "");
}

// rfcomm's own ttys and a tty whose device sits under a Bluetooth adapter are marked, so
// --all leaves them alone; the others are not.
TEST_F(PortCatalogueTest, BluetoothPortsAreMarked) {
  AddKernelDevice("rfcomm0", "");
  const std::string Hci = Root + "/sys/devices/pci0/usb1/1-3/1-3:1.0/bluetooth/hci0";
  fs::create_directories(Hci + "/ttyHS0/device");
  fs::create_symlink("../../devices/pci0/usb1/1-3/1-3:1.0/bluetooth/hci0/ttyHS0",
                     Root + "/sys/class/tty/ttyHS0");
  std::ofstream(Root + "/dev/ttyHS0");
  AddLink(7, Root + "/dev/ttyHS0");
  const std::map<std::string, bool> Expected = {
      {"ttyS0", false}, {"ttyUSB0", false}, {"rfcomm0", true}, {"ttyHS0", true}};
  std::map<std::string, bool> Seen;
  for (const auto& Port : tPortCatalogue::ListPorts())
    Seen[Port.Name] = Port.Bluetooth;
  EXPECT_EQ(Seen, Expected);
}

TEST_F(PortCatalogueTest, ADamagedNumbersFileGivesNoNumberTwice) {
  fs::create_directories(Root + "/config");
  std::ofstream(Root + "/config/ports.txt")
      << "garbage\n0 ttyS0\n-3 ttyS0\n"
      << "4 serial/by-id/usb-Acme_Serial_A1-if00-port0 ttyUSB9\n"
      << "4 ttyS0\n"  // number already given
      << "x7 ttyS0\n\n"
      << "99999999999999 ttyS0\n";
  EXPECT_EQ(Lines(), (Strings{"1 ttyS0", "4 ttyUSB0"}));
  EXPECT_EQ(tPortCatalogue::PortNumberOf("ttyUSB9"), 0) << "the stale kernel name was replaced";
}

TEST_F(PortCatalogueTest, ANumberALinkGivesAnotherDeviceIsNotListedTwice) {
  fs::create_directories(Root + "/config");
  std::ofstream(Root + "/config/ports.txt") << "3 ttyS0\n";
  std::ofstream(Root + "/dev/pts-7");
  AddLink(3, Root + "/dev/pts-7");
  EXPECT_EQ(Lines(), (Strings{"3 pts-7", "1 ttyS0", "2 ttyUSB0"}));
  EXPECT_EQ(tPortCatalogue::DevicePathFor(1), Root + "/dev/ttyS0");
}

TEST_F(PortCatalogueTest, NothingToListLeavesTheListAlone) {
  tPortCatalogue::SetRoots(
      {Root + "/none", Root + "/none", Root + "/none", Root + "/none", Root + "/none"});
  std::vector<std::string> List = {"<none>"};
  ListComPorts(List);
  EXPECT_EQ(List, (Strings{"<none>"}));
  EXPECT_FALSE(fs::exists(Root + "/none")) << "nothing to remember, nothing written";
}

}  // namespace

namespace {

TEST_F(PortCatalogueTest, FoldersOthersCouldWriteToAreNotTrusted) {
  std::ofstream(Root + "/dev/pts-7");
  AddLink(7, Root + "/dev/pts-7");
  ASSERT_EQ(tPortCatalogue::DevicePathFor(7), Root + "/ports/COM7");
  EXPECT_EQ(tPortCatalogue::PortFolderProblem(), "");

  // A port folder anyone may write to: its links could be anyone's.
  fs::permissions(Root + "/ports", fs::perms::others_write, fs::perm_options::add);
  EXPECT_EQ(tPortCatalogue::DevicePathFor(7), "");
  EXPECT_EQ(tPortCatalogue::PortFolderProblem(),
            "the folder " + Root + "/ports is not safe to use: others may write to it");
  fs::permissions(Root + "/ports", fs::perms::others_write, fs::perm_options::remove);

  // The runtime folder (where the port folder lies by default) reached through a link, or
  // owned by another user.
  fs::create_directory(Root + "/elsewhere");
  fs::create_directory_symlink(Root + "/elsewhere", Root + "/runtime");
  fs::create_directory(Root + "/elsewhere/ports");
  fs::create_symlink(Root + "/dev/pts-7", Root + "/elsewhere/ports/COM8");
  setenv("CADDIS_RUNTIME_DIR", (Root + "/runtime").c_str(), 1);
  tPortCatalogue::SetRoots({Root + "/sys", Root + "/dev", Root + "/cmdline", "", Root + "/config"});
  EXPECT_EQ(tPortCatalogue::DevicePathFor(8), "");
  EXPECT_EQ(tPortCatalogue::PortFolderProblem(),
            "the folder " + Root + "/runtime is not safe to use: it is a symbolic link");
  setenv("CADDIS_RUNTIME_DIR", (Root + "/elsewhere").c_str(), 1);
  EXPECT_EQ(tPortCatalogue::DevicePathFor(8), Root + "/elsewhere/ports/COM8");
  if (geteuid() == 0) {
    ASSERT_EQ(chown((Root + "/elsewhere").c_str(), 65534, 65534), 0);
    EXPECT_EQ(tPortCatalogue::DevicePathFor(8), "");
    EXPECT_EQ(tPortCatalogue::PortFolderProblem(),
              "the folder " + Root + "/elsewhere is not safe to use: it belongs to user 65534");
  }
  unsetenv("CADDIS_RUNTIME_DIR");
}

TEST_F(PortCatalogueTest, TheNumbersFileIsNeverWrittenThroughAPlantedLink) {
  // A config folder others may write to, with links planted under every name the file could
  // be written through first.
  const std::string Shared = Root + "/shared";
  fs::create_directory(Shared);
  fs::permissions(Shared, fs::perms::all);
  std::ofstream(Root + "/victim") << "precious\n";
  for (const std::string& Name :
       {std::string("ports.txt.new"), "ports.txt." + std::to_string(getpid()) + ".new"})
    fs::create_symlink(Root + "/victim", Shared + "/" + Name);
  tPortCatalogue::SetRoots(
      {Root + "/sys", Root + "/dev", Root + "/cmdline", Root + "/ports", Shared});
  EXPECT_EQ(Lines().size(), 2u) << "the devices are still listed";
  std::ifstream Victim(Root + "/victim");
  std::string Content;
  std::getline(Victim, Content);
  EXPECT_EQ(Content, "precious");
  EXPECT_FALSE(fs::exists(Shared + "/ports.txt"));
}

TEST_F(PortCatalogueTest, ANumbersFileThatIsNoOrdinaryFileIsNamedAndLeftAlone) {
  // None of these may hang the port list or fill memory, nor be written over: the devices are
  // still listed, and the operator is told which file was refused.
  const std::string File = Root + "/config/ports.txt";
  struct tCase {
    const char* What;
    std::function<void()> Make;
  };
  const std::vector<tCase> Cases = {
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(File.c_str(), 0600), 0); }},
      {"a link to an endless device", [&] { fs::create_symlink("/dev/zero", File); }},
      {"a file far too large", [&] { std::ofstream(File) << std::string(2 << 20, '\n'); }},
  };
  fs::create_directories(Root + "/config");
  fs::permissions(Root + "/config", fs::perms::owner_all);
  for (const tCase& Case : Cases) {
    fs::remove(File);
    Case.Make();
    const auto Before = fs::symlink_status(File).type();
    EXPECT_EQ(Lines(), (Strings{"1 ttyS0", "2 ttyUSB0"})) << Case.What;
    EXPECT_EQ(tPortCatalogue::NumbersFileProblem().rfind(File + " was not read: ", 0), 0u)
        << Case.What << ": " << tPortCatalogue::NumbersFileProblem();
    EXPECT_EQ(fs::symlink_status(File).type(), Before) << Case.What;
  }
  fs::remove(File);
  EXPECT_EQ(tPortCatalogue::NumbersFileProblem(), "");
  EXPECT_EQ(tPortCatalogue::NumbersFilePath(), File);
}

}  // namespace

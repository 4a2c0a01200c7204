#include "platform/DeviceNotifier.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class DeviceNotifierTest : public testing::Test {
 protected:
  void SetUp() override {
    char Template[] = "/tmp/notifier-XXXXXX";
    ASSERT_NE(mkdtemp(Template), nullptr);
    Root = Template;
    Ports = Root + "/ports";
  }
  void TearDown() override { fs::remove_all(Root); }

  // Waits (up to a few seconds) until the notifier has something, then reads it all.
  static std::vector<tDeviceChange> Next(tDeviceNotifier& N, size_t Wanted) {
    std::vector<tDeviceChange> All;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (All.size() < Wanted && std::chrono::steady_clock::now() < Deadline) {
      std::vector<pollfd> Fds;
      for (int fd : N.FileDescriptors())
        Fds.push_back({fd, POLLIN, 0});
      poll(Fds.data(), Fds.size(), 100);
      for (auto& c : N.ReadChanges())
        All.push_back(c);
    }
    return All;
  }

  std::string Root, Ports;
};

TEST_F(DeviceNotifierTest, PortFolderLinksArriveAndLeave) {
  tDeviceNotifier N(Ports, nullptr);
  ASSERT_TRUE(fs::is_directory(Ports));  // created when missing
  fs::create_symlink("/dev/null", Ports + "/COM7");
  fs::create_symlink("/dev/null", Ports + "/notaport");
  auto Changes = Next(N, 1);
  ASSERT_EQ(Changes.size(), 1u);
  EXPECT_EQ(Changes[0].Kind, tDeviceChange::dc_Arrival);
  EXPECT_EQ(Changes[0].PortName, "COM7");

  fs::remove(Ports + "/COM7");
  Changes = Next(N, 1);
  ASSERT_EQ(Changes.size(), 1u);
  EXPECT_EQ(Changes[0].Kind, tDeviceChange::dc_RemoveComplete);
  EXPECT_EQ(Changes[0].PortName, "COM7");

  // A link renamed into the folder (how a registration is made atomic) is an arrival too.
  fs::create_symlink("/dev/null", Root + "/tmp-link");
  fs::rename(Root + "/tmp-link", Ports + "/COM123");
  Changes = Next(N, 1);
  ASSERT_EQ(Changes.size(), 1u);
  EXPECT_EQ(Changes[0].Kind, tDeviceChange::dc_Arrival);
  EXPECT_EQ(Changes[0].PortName, "COM123");
}

TEST_F(DeviceNotifierTest, FolderRemovedAndMadeAgainIsStillWatched) {
  tDeviceNotifier N(Ports, nullptr);
  fs::remove_all(Ports);
  Next(N, 0);  // take the notice of the folder's removal
  N.ReadChanges();
  // The notifier re-creates and watches the folder again.
  ASSERT_TRUE(fs::is_directory(Ports));
  fs::create_symlink("/dev/null", Ports + "/COM2");
  auto Changes = Next(N, 1);
  ASSERT_EQ(Changes.size(), 1u);
  EXPECT_EQ(Changes[0].PortName, "COM2");
}

TEST(PortNumberFromName, ReadsTheWholeNumber) {
  EXPECT_EQ(PortNumberFromName("COM7"), 7);
  EXPECT_EQ(PortNumberFromName("COM123"), 123);  // not 12: the whole number counts
  EXPECT_EQ(PortNumberFromName("COM"), -1);
  EXPECT_EQ(PortNumberFromName("com7"), -1);
  EXPECT_EQ(PortNumberFromName("COM7a"), -1);
  EXPECT_EQ(PortNumberFromName("LPT1"), -1);
  EXPECT_EQ(PortNumberFromName("COM99999999999"), -1);
}

}  // namespace

// Seeing a restarting card leave, where its port stays listed but leads nowhere for a while.
#include "hostlink/CardLeaving.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TempFolder.h"
#include "platform/PortCatalogue.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class CardLeavingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Root.empty());
    for (const char* Folder : {"sys/class/tty", "dev", "ports"})
      fs::create_directories(Root + "/" + Folder);
    tPortCatalogue::SetRoots(
        {Root + "/sys", Root + "/dev", Root + "/cmdline", Root + "/ports", Root + "/config"});
  }
  void TearDown() override { tPortCatalogue::SetRoots({}); }
  tTempFolder Folder{"caddis-leaving-"};
  const std::string Root = Folder.Path;
};

// A port entry whose device cannot be opened (as a Windows COM name stays listed while the
// adapter behind it is gone) counts as a card that fell silent, not as one still answering;
// the entry going away counts at once.
TEST_F(CardLeavingTest, AListedPortThatCannotBeOpenedFallsSilent) {
  // Listed, but no device can be opened there.
  fs::create_directories(Root + "/dev/ttyX");
  fs::create_symlink(Root + "/dev/ttyX", Root + "/ports/COM77");
  tCardLeaveWatch Silent(77);
  const auto Start = tCardLeaveWatch::tClock::now();
  Silent.Step(Start);
  Silent.Step(Start + tCardLeaveWatch::SilenceLimit - 10ms);
  EXPECT_FALSE(Silent.Left());
  Silent.Step(Start + tCardLeaveWatch::SilenceLimit);
  ASSERT_TRUE(Silent.Left());
  EXPECT_EQ(Silent.How(), "it fell silent");

  tCardLeaveWatch Removed(77);
  fs::remove(Root + "/ports/COM77");
  Removed.Step(Start);
  ASSERT_TRUE(Removed.Left());
  EXPECT_EQ(Removed.How(), "its port went away");
}

}  // namespace

// One card at a time from Boot to its boot loader: the turn waits for its holder, ends when
// the wait is stopped, and says so when it cannot be used at all.
#include "session/BootTurn.h"

#include <gtest/gtest.h>

#include "TempFolder.h"

namespace {

class BootTurnTest : public ::testing::Test {
 protected:
  tTempFolder Folder;
  tScopedEnv Runtime{"CADDIS_RUNTIME_DIR", Folder.File("run")};
};

TEST_F(BootTurnTest, ASecondCardWaitsUntilTheFirstHasFoundItsBootLoader) {
  tBootTurn First, Second;
  std::string Error;
  ASSERT_TRUE(First.Take([] { return false; }, Error)) << Error;
  EXPECT_EQ(tBootTurn::LockPath(), Folder.File("run") + "/boot.lock");
  int Pauses = 0;
  // The first card's boot loader is found during the second's third pause.
  ASSERT_TRUE(Second.Take(
      [&] {
        if (++Pauses == 3) First.Release();
        return true;
      },
      Error))
      << Error;
  EXPECT_EQ(Pauses, 3);
  EXPECT_TRUE(Second.Held());
  EXPECT_FALSE(First.Held());
}

TEST_F(BootTurnTest, AStoppedWaitEndsWithoutTheTurn) {
  tBootTurn First, Second;
  std::string Error;
  ASSERT_TRUE(First.Take([] { return true; }, Error));
  EXPECT_FALSE(Second.Take([] { return false; }, Error));
  EXPECT_EQ(Error, "");
  EXPECT_FALSE(Second.Held());
}

TEST_F(BootTurnTest, ARuntimeFolderThatCannotBeMadeIsSaid) {
  // A file where the runtime folder should be.
  std::ofstream(Folder.File("run")) << "not a folder";
  tBootTurn Turn;
  std::string Error;
  EXPECT_FALSE(Turn.Take([] { return true; }, Error));
  EXPECT_EQ(Error.rfind("cards cannot take turns for Boot: ", 0), 0u) << Error;
}

}  // namespace

// The user's folders the tool keeps its files in, as the environment names them.
#include "platform/Paths.h"

#include <gtest/gtest.h>

#include "TempFolder.h"

namespace {

TEST(PathsTest, StateFolderFollowsXdgThenHome) {
  tScopedEnv Home("HOME", "/home/op");
  {
    tScopedEnv State("XDG_STATE_HOME", "/var/op-state");
    EXPECT_EQ(tPaths::StateFolder(), "/var/op-state/caddis");
  }
  tScopedEnv NoState("XDG_STATE_HOME", "");
  EXPECT_EQ(tPaths::StateFolder(), "/home/op/.local/state/caddis");
}

}  // namespace

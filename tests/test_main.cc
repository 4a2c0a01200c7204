// Shared main of every test executable.
//
// What the tool writes for its user (the log of link errors, port numbers, runtime links)
// goes to a folder of this test program's own, removed when it ends, and so do the programs
// it starts: no test writes to the machine's or the user's folders. Tests that look at these
// folders set their own.
#include <gtest/gtest.h>

#include "TempFolder.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const tTempFolder Own("caddis-tests-");
  const tScopedEnv Log("CADDIS_LOG_DIR", Own.Path);
  const tScopedEnv State("XDG_STATE_HOME", Own.Path + "/state");
  const tScopedEnv Config("CADDIS_CONFIG_DIR", Own.Path + "/config");
  const tScopedEnv Runtime("CADDIS_RUNTIME_DIR", Own.Path + "/run");
  return RUN_ALL_TESTS();
}

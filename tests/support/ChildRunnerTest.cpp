// Children and their output as one stream: each child's lines named by its port, in its own
// order, both streams, and its end with its exit status once both streams have ended.
#include "support/ChildRunner.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/Console.h"

namespace {

struct tSeen {
  std::vector<std::string> Output, Errors;
  int Exit = -1;
  int Ends = 0;
};

TEST(ChildRunnerTest, EachChildsLinesAndEndComeNamedByItsPort) {
  tChildRunner Runner;
  std::string Error;
  ASSERT_TRUE(Runner.Start(5, {CHILD_HELPER_PATH, "five", "exit", "3"}, Error)) << Error;
  ASSERT_TRUE(Runner.Start(6, {CHILD_HELPER_PATH, "six"}, Error)) << Error;
  EXPECT_EQ(Runner.Running(), 2u);
  std::map<int32_t, tSeen> Seen;
  tChildRunner::tHappening Happening;
  // Bounded: a child that never ends fails the test instead of hanging it.
  for (int Round = 0; Runner.Running() > 0 && Round < 100; ++Round) {
    if (!Runner.Next(Happening, std::chrono::milliseconds(100))) continue;
    tSeen& Child = Seen[Happening.Port];
    switch (Happening.Kind) {
      case tChildRunner::tHappening::ch_Output:
        Child.Output.push_back(Happening.Text);
        break;
      case tChildRunner::tHappening::ch_ErrorLine:
        Child.Errors.push_back(Happening.Text);
        break;
      case tChildRunner::tHappening::ch_Ended:
        Child.Exit = Happening.Exit;
        ++Child.Ends;
        break;
    }
  }
  ASSERT_EQ(Runner.Running(), 0u);
  using tLines = std::vector<std::string>;
  EXPECT_EQ(Seen[5].Output, (tLines{"args:", "five", "exit", "3"}));
  EXPECT_EQ(Seen[5].Errors, tLines{"err:five"});
  EXPECT_EQ(Seen[5].Exit, 3);
  EXPECT_EQ(Seen[6].Output, (tLines{"args:", "six"}));
  EXPECT_EQ(Seen[6].Errors, tLines{"err:six"});
  EXPECT_EQ(Seen[6].Exit, 0);
  // One end per child, not one per stream.
  EXPECT_EQ(Seen[5].Ends, 1);
  EXPECT_EQ(Seen[6].Ends, 1);
  EXPECT_FALSE(Runner.Next(Happening, std::chrono::milliseconds(0)));
}

TEST(ChildRunnerTest, AChildThatCannotStartIsNotRun) {
  tChildRunner Runner;
  std::string Error;
  EXPECT_FALSE(Runner.Start(5, {}, Error));
  EXPECT_FALSE(Error.empty());
  EXPECT_EQ(Runner.Running(), 0u);
}

TEST(ChildRunnerTest, ATerminationRequestIsPassedOnAsOneAndAnythingElseAsCtrlC) {
  EXPECT_EQ(ChildStopFor(tConsole::cs_Terminate), tChildProcess::ps_Terminate);
  EXPECT_EQ(ChildStopFor(tConsole::cs_Interrupt), tChildProcess::ps_Interrupt);
  EXPECT_EQ(ChildStopFor(0), tChildProcess::ps_Interrupt);
}

}  // namespace

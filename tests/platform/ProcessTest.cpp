// Child programs with their output on pipes, and the lock several programs share.
#include "platform/Process.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "TempFolder.h"
#include "platform/Paths.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define UNDER_THREAD_SANITIZER 1
#endif
#endif

namespace {

struct tOutput {
  std::string Out, Err;
  int Exit = -1;
};

// Reads both streams to their end (each on its own thread, as their owners do) and waits.
tOutput RunToEnd(tChildProcess& Child) {
  tOutput Output;
  auto Drain = [&Child](tChildProcess::tStream Stream, std::string& Text) {
    char Buffer[256];
    for (long Got; (Got = Child.ReadOutput(Stream, Buffer, sizeof Buffer)) > 0;)
      Text.append(Buffer, static_cast<std::size_t>(Got));
  };
  std::thread Err([&] { Drain(tChildProcess::ps_Error, Output.Err); });
  Drain(tChildProcess::ps_Output, Output.Out);
  Err.join();
  Output.Exit = Child.Wait();
  return Output;
}

std::string Normalised(std::string Text) {
  std::string Out;
  for (char C : Text)
    if (C != '\r') Out += C;
  return Out;
}

TEST(ProcessTest, AChildGetsItsArgumentsAsGivenAndItsOutputAndStatusComeBack) {
  const std::vector<std::string> Args = {"plain",
                                         "two words",
                                         "a \"quoted\" word",
                                         "trailing\\",
                                         "back\\\\slashes\\\"",
                                         "",
                                         "J\xc3\xb6rg",
                                         "exit",
                                         "3"};
  std::vector<std::string> Argv = {CHILD_HELPER_PATH};
  Argv.insert(Argv.end(), Args.begin(), Args.end());
  std::string Error;
  auto Child = tChildProcess::Start(Argv, Error);
  ASSERT_TRUE(Child) << Error;
  EXPECT_GT(Child->Id(), 0u);
  const tOutput Output = RunToEnd(*Child);
  std::string Expected = "args:\n";
  for (const std::string& Arg : Args)
    Expected += Arg + "\n";
  EXPECT_EQ(Normalised(Output.Out), Expected);
  EXPECT_EQ(Normalised(Output.Err), "err:plain\n");
  EXPECT_EQ(Output.Exit, 3);
  // Waiting again gives the same status.
  EXPECT_EQ(Child->Wait(), 3);
}

// The link-error log is opened for appending only: two programs writing at once lose no line
// and break none (a writer that seeks to the end and then writes overwrites the other's).
TEST(ProcessTest, TwoProgramsAppendingToOneLogLoseNoLine) {
  const tTempFolder Folder;
  constexpr int Count = 2000;
  std::string Error;
  std::vector<std::unique_ptr<tChildProcess>> Children;
  for (const char* Tag : {"first", "second"}) {
    Children.push_back(tChildProcess::Start(
        {CHILD_HELPER_PATH, "log", Folder.Path, std::to_string(Count), Tag}, Error));
    ASSERT_TRUE(Children.back()) << Error;
  }
  for (auto& Child : Children)
    ASSERT_EQ(RunToEnd(*Child).Exit, 0);
  const std::string Log = FileText(Folder.File("Log.txt"));
  std::map<std::string, std::set<int>> Seen;
  int Titles = 0, Others = 0;
  std::istringstream Lines(Log);
  for (std::string Line; std::getline(Lines, Line);) {
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    if (Line.size() >= 4 && Line.compare(Line.size() - 4, 4, " Log") == 0) {
      ++Titles;
      continue;
    }
    // "<stamp> <counter> <tag> <i>"
    std::istringstream Words(Line);
    std::vector<std::string> Parts;
    for (std::string Word; Words >> Word;)
      Parts.push_back(Word);
    if (Parts.size() < 2 ||
        !Seen[Parts[Parts.size() - 2]].insert(std::atoi(Parts.back().c_str())).second) {
      ++Others;
      ADD_FAILURE() << "a broken or repeated line: \"" << Line << "\"";
    }
  }
  EXPECT_EQ(Seen.size(), 2u) << "lines run together";
  EXPECT_EQ(Titles, 1);
  EXPECT_EQ(Others, 0) << "broken or repeated lines";
  EXPECT_EQ(Seen["first"].size(), std::size_t{Count});
  EXPECT_EQ(Seen["second"].size(), std::size_t{Count});
}

#ifdef _WIN32
// A child inherits its pipe ends and nothing else this program holds, even what was made
// inheritable (by a library, or for another child started at the same time).
TEST(ProcessTest, AChildInheritsOnlyItsOwnPipes) {
  SECURITY_ATTRIBUTES Inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE Event = ::CreateEventW(&Inherit, TRUE, FALSE, nullptr);
  ASSERT_NE(Event, nullptr);
  std::string Error;
  auto Child = tChildProcess::Start(
      {CHILD_HELPER_PATH, "handle", std::to_string(reinterpret_cast<std::uintptr_t>(Event))},
      Error);
  ASSERT_TRUE(Child) << Error;
  const tOutput Output = RunToEnd(*Child);
  ::CloseHandle(Event);
  EXPECT_EQ(Output.Exit, 0);
  EXPECT_NE(Normalised(Output.Out).find("handle closed\n"), std::string::npos) << Output.Out;
}
#endif

TEST(ProcessTest, AProgramThatCannotStartIsRefusedWithItsName) {
  const tTempFolder Folder;
  std::string Error;
  const auto Child = tChildProcess::Start({Folder.File("no-such-program")}, Error);
  EXPECT_FALSE(Child);
  EXPECT_NE(Error.find("cannot start " + Folder.File("no-such-program") + ": "), std::string::npos)
      << Error;
  EXPECT_FALSE(tChildProcess::Start({}, Error));
}

TEST(ProcessTest, AStoppedChildEndsThroughItsOwnStopHandler) {
#if defined(__SANITIZE_THREAD__) || defined(UNDER_THREAD_SANITIZER)
  // The ThreadSanitizer runtime takes a process's signals and runs the program's handlers
  // later; now and then (2 in 100 here) it never runs them: the child had SIGINT caught, not
  // blocked, not ignored and not pending, on its one thread, and its handler was never called.
  // The other passes (and Windows) run this test.
  GTEST_SKIP() << "stop requests are not reliably delivered under ThreadSanitizer";
#endif
  std::string Error;
  auto Child = tChildProcess::Start({CHILD_HELPER_PATH, "wait"}, Error);
  ASSERT_TRUE(Child) << Error;
  // The stop request is sent once the child says it handles them.
  std::string Seen;
  char Buffer[64];
  while (Seen.find("waiting") == std::string::npos) {
    const long Got = Child->ReadOutput(tChildProcess::ps_Output, Buffer, sizeof Buffer);
    ASSERT_GT(Got, 0) << Seen;
    Seen.append(Buffer, static_cast<std::size_t>(Got));
  }
  Child->Stop(tChildProcess::ps_Interrupt);
  EXPECT_EQ(RunToEnd(*Child).Exit, 130);
}

TEST(ProcessTest, OneHolderOfAFileLockAtATime) {
  const tTempFolder Folder;
  tFileLock First(Folder.File("turn.lock")), Second(Folder.File("turn.lock"));
  std::string Error;
  ASSERT_TRUE(First.TryTake(Error)) << Error;
  EXPECT_FALSE(Second.TryTake(Error));
  EXPECT_EQ(Error, "") << "a lock held by another is no error";
  First.Release();
  EXPECT_TRUE(Second.TryTake(Error)) << Error;
  EXPECT_TRUE(Second.Held());
  EXPECT_FALSE(First.TryTake(Error));

  tFileLock Nowhere(Folder.File("missing/turn.lock"));
  EXPECT_FALSE(Nowhere.TryTake(Error));
  EXPECT_NE(Error.find("cannot open " + Folder.File("missing/turn.lock")), std::string::npos)
      << Error;
}

TEST(ProcessTest, TheProgramKnowsItsOwnPath) {
  const std::string Own = tPaths::ExecutablePath();
  EXPECT_NE(Own.find("ProcessTest"), std::string::npos) << Own;
}

}  // namespace

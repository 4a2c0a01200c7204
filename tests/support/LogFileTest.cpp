#include "support/LogFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "hostlink/HostTestSupport.h"
#include "hostlink/OrvaneHost.h"

namespace {

std::tm MakeTime(int Year, int Month, int Day, int Hour, int Min, int Sec) {
  std::tm T{};
  T.tm_year = Year - 1900;
  T.tm_mon = Month - 1;
  T.tm_mday = Day;
  T.tm_hour = Hour;
  T.tm_min = Min;
  T.tm_sec = Sec;
  return T;
}

std::string ReadAll(const std::string& Path) {
  std::ifstream File(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(File), {});
}

// Logs Text as a user without special rights (root ignores file modes): in a child process
// that gives up root first.
void LogAsUnprivilegedUser(const std::string& Text) {
  if (geteuid() != 0) {
    LogToFile(Text);
    return;
  }
  chmod(LogFolder.c_str(), 0755);
  const pid_t Child = fork();
  if (Child == 0) {
    if (setgid(65534) == 0 && setuid(65534) == 0) LogToFile(Text);
    _exit(0);
  }
  int Status = 0;
  waitpid(Child, &Status, 0);
  chmod(LogFolder.c_str(), 0700);
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLogFormats("%d/%m/%Y", "%H:%M:%S"); }
  void TearDown() override { LogTitle.clear(); }
  tCapturedOutput Output;
};

TEST_F(LogFileTest, StampAndLineFormat) {
  const std::tm T = MakeTime(2026, 12, 6, 18, 26, 38);
  EXPECT_EQ(LogStamp(T), "06/12/2026 18:26:38");
  EXPECT_EQ(LogLine(T, "Caddis Host Cannot open ComPort 3"),
            "06/12/2026 18:26:38 0000000000 Caddis Host Cannot open ComPort 3");
  // The first second after midnight carries the date alone.
  EXPECT_EQ(LogStamp(MakeTime(2026, 12, 7, 0, 0, 0)), "07/12/2026");
  EXPECT_EQ(LogStamp(MakeTime(2026, 12, 7, 0, 0, 1)), "07/12/2026 00:00:01");
  SetLogFormats("%m/%d/%y", "%I:%M:%S %p");
  EXPECT_EQ(LogStamp(T), "12/06/26 06:26:38 PM");
}

TEST_F(LogFileTest, CounterIsTenDigitsWithSign) {
  const std::tm T = MakeTime(2026, 1, 2, 3, 4, 5);
  LogCounter = 42;
  EXPECT_EQ(LogLine(T, "x"), "02/01/2026 03:04:05 0000000042 x");
  LogCounter = -7;
  EXPECT_EQ(LogLine(T, "x"), "02/01/2026 03:04:05 -0000000007 x");
  LogCounter = 0;
}

TEST_F(LogFileTest, UserLocaleFormatsAreCaptured) {
  CaptureLogFormats();
  const std::string Stamp = LogStamp(MakeTime(2026, 12, 6, 18, 26, 38));
  // Whatever the user's locale, the stamp holds the day and the time of day.
  EXPECT_NE(Stamp.find("6"), std::string::npos) << Stamp;
  EXPECT_NE(Stamp.find("26"), std::string::npos) << Stamp;
  EXPECT_NE(Stamp.find(' '), std::string::npos) << Stamp;
}

TEST_F(LogFileTest, NewFileStartsWithTitleLineAndLinesEndInCrLf) {
  LogToFile("first");
  LogToFile("second");
  const std::string Text = ReadAll(LogFilePath());
  EXPECT_EQ(Text.rfind(" Log\r\n", 0), 0u) << Text;
  const std::regex Line(R"( Log\r\n[^ ]+( [^ ]+)* 0000000000 first\r\n.* 0000000000 second\r\n)");
  EXPECT_TRUE(std::regex_match(Text, Line)) << Text;

  std::filesystem::remove(LogFilePath());
  LogTitle = std::string(40, 'T');
  LogToFile("third");
  EXPECT_EQ(Output.LogLines().front(), std::string(35, 'T'));
  EXPECT_EQ(Output.LogLines().size(), 2u);
}

TEST_F(LogFileTest, LongTextIsWrittenInFull) {
  const std::string Text(255, 'e');
  LogToFile(Text + "cut");
  const auto Lines = Output.LogLines();
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_TRUE(EndsWith(Lines[1], " 0000000000 " + Text));
  EXPECT_GT(Lines[1].size(), 255u);
}

TEST_F(LogFileTest, ExistingLogIsNeverEmptied) {
  { std::ofstream(LogFilePath(), std::ios::binary) << " Log\r\nold entry\r\n"; }
  LogToFile("appended");
  EXPECT_EQ(Output.LogLines().size(), 3u);
  EXPECT_EQ(Output.LogLines()[1], "old entry");

  // A log that cannot be opened for appending keeps what it has; the new line is lost.
  chmod(LogFilePath().c_str(), 0444);
  LogAsUnprivilegedUser("lost");
  chmod(LogFilePath().c_str(), 0644);
  const auto Lines = Output.LogLines();
  ASSERT_EQ(Lines.size(), 3u);
  EXPECT_EQ(Lines[1], "old entry");
  EXPECT_TRUE(EndsWith(Lines[2], "appended"));
}

TEST_F(LogFileTest, AnUnwritableLogIsToldOnceNotPerLine) {
  LogFolder = Output.Folder.Path + "/missing/folder";
  for (const char* Text : {"one", "two", "three"})
    LogToFile(Text);
  EXPECT_FALSE(std::filesystem::exists(LogFilePath()));
  ASSERT_EQ(Output.Lines.size(), 1u);
  EXPECT_EQ(Output.Lines[0].rfind("Cannot write the log file " + LogFilePath() + ": ", 0), 0u)
      << Output.Lines[0];
}

TEST_F(LogFileTest, WithoutAFolderTheLogGoesToTheUsersStateFolder) {
  // The log folder as the operator's environment chooses it: $CADDIS_LOG_DIR, else the state
  // folder, which is made on first use (an operator's own folder must exist already).
  const std::string Root = Output.Folder.Path;
  std::filesystem::create_directory(Root + "/chosen");
  struct tCase {
    const char* LogDir;  // CADDIS_LOG_DIR, or none
    std::string Expected;
  };
  const tCase Cases[] = {{nullptr, Root + "/state/caddis/Log.txt"},
                         {"", Root + "/state/caddis/Log.txt"},
                         {"chosen", Root + "/chosen/Log.txt"}};
  LogFolder.clear();
  tScopedEnv State("XDG_STATE_HOME", Root + "/state");
  for (const tCase& Case : Cases) {
    tScopedEnv LogDir("CADDIS_LOG_DIR",
                      Case.LogDir && *Case.LogDir ? Root + "/" + Case.LogDir : "");
    if (!Case.LogDir) tEnvironment::Unset("CADDIS_LOG_DIR");
    std::filesystem::remove_all(Root + "/state");
    EXPECT_EQ(LogFilePath(), Case.Expected);
    LogToFile("to the chosen folder");
    EXPECT_TRUE(EndsWith(Output.LogLines().back(), " to the chosen folder")) << Case.Expected;
  }
  EXPECT_TRUE(Output.Lines.empty()) << Output.Lines.front();
}

TEST_F(LogFileTest, HostErrorsAreWrittenWithDisplayLoggingOff) {
  tOrvaneHost Host(0, /*ErrorLogging=*/false, "Caddis");
  Host.LogError("Rx error: Invalid Length received: 0");
  EXPECT_TRUE(Output.Lines.empty());
  const auto Lines = Output.LogLines();
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_EQ(Lines[0], " Log");
  EXPECT_TRUE(EndsWith(Lines[1], " 0000000000 Caddis Host Rx error: Invalid Length received: 0"));
  // Either display switch also shows the same line.
  Host.LogErrors = true;
  Host.LogError("b");
  Host.LogErrors = false;
  Host.Logging = true;
  Host.LogError("c");
  EXPECT_EQ(Output.Lines, (std::vector<std::string>{"Caddis Host b", "Caddis Host c"}));
  EXPECT_EQ(Output.LogLines().size(), 4u);
}

}  // namespace

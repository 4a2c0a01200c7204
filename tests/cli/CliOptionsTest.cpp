// The typed options of every command, read as caddis reads them: each command takes exactly
// the options its help lists, and every seconds option is read by the same rules, with the
// same usage error and the default its help gives.
#include <gtest/gtest.h>

#include <set>

#include "cli/CliText.h"
#include "cli/CommandLine.h"
#include "cli/Commands.h"

namespace {

// caddis <command> with the words a command needs before its options are read: a port when it
// takes one (required or not), a file for dfu download.
std::vector<std::string> CommandLineOf(const tCommand& Command) {
  std::vector<std::string> Arguments = {"caddis"};
  const std::string Name = Command.Name;
  for (std::size_t Start = 0, Space; Start != std::string::npos; Start = Space) {
    Space = Name.find(' ', Start);
    Arguments.push_back(Name.substr(Start, Space - Start));
    if (Space != std::string::npos) ++Space;
  }
  for (const tOptionHelp& Option : Command.Options)
    if (std::string(Option.Name) == "--port") Arguments.insert(Arguments.end(), {"--port", "1"});
  if (Command.MinWords > 0) Arguments.push_back("image.dfu");
  return Arguments;
}

struct tRead {
  bool Ready = false;
  tCliResult Result;  // a usage error's status and text
};

tRead ReadCommandLine(const std::vector<std::string>& Arguments) {
  tRead Read;
  tCliCommandLine CommandLine(Arguments);
  Read.Ready = CommandLine.Read(Read.Result);
  return Read;
}

std::string UsageText(const tCommand& Command, const std::string& Error) {
  return "caddis " + std::string(Command.Name) + ": " + Error + " (see caddis " + Command.Name +
         " --help)";
}

TEST(CliOptionsTest, EveryCommandReadsItsOwnWordsAndOptionsAsGiven) {
  for (const tCommand& Command : CliCommands()) {
    const tRead Read = ReadCommandLine(CommandLineOf(Command));
    EXPECT_TRUE(Read.Ready) << Command.Name << ": " << Read.Result.Text;
  }
}

TEST(CliOptionsTest, EachCommandTakesTheOptionsItsHelpListsAndNoOther) {
  std::set<std::string> Names;
  for (const tCommand& Command : CliCommands())
    for (const tOptionHelp& Option : Command.Options)
      Names.insert(Option.Name);
  for (const tCommand& Command : CliCommands()) {
    std::set<std::string> Own;
    for (const tOptionHelp& Option : Command.Options)
      Own.insert(Option.Name);
    for (const std::string& Name : Names) {
      std::vector<std::string> Arguments = CommandLineOf(Command);
      Arguments.push_back(Name);
      const tRead Read = ReadCommandLine(Arguments);
      const std::string Unknown = UsageText(Command, "unknown option '" + Name + "'");
      if (Own.count(Name))
        EXPECT_NE(Read.Result.Text, Unknown) << Command.Name << " " << Name;
      else
        EXPECT_EQ(Read.Result.Text, Unknown) << Command.Name << " " << Name;
    }
  }
}

TEST(CliOptionsTest, EveryCommandThatTalksToACardOrReadsTheRecordWritesEvents) {
  const std::set<std::string> Events = {
      "status",      "monitor",          "send-hex",        "echo",    "reset",   "boot",
      "update-fpga", "update-usb-audio", "update-firmware", "restore", "history", "dfu download",
      "station"};
  std::set<std::string> Seen;
  for (const tCommand& Command : CliCommands()) {
    if (!Events.count(Command.Name)) continue;
    Seen.insert(Command.Name);
    bool Json = false;
    for (const tOptionHelp& Option : Command.Options)
      Json = Json || std::string(Option.Name) == "--json";
    EXPECT_TRUE(Json) << Command.Name;
    EXPECT_NE(std::string(Command.Synopsis).find("[--json]"), std::string::npos)
        << Command.Synopsis;
  }
  EXPECT_EQ(Seen, Events);
}

TEST(CliOptionsTest, AnUnknownCommandIsNamedWithOrWithoutHelp) {
  const struct {
    std::vector<std::string> Arguments;
    int Exit;
  } Cases[] = {
      {{"caddis", "nosuch"}, ExitUsage},
      {{"caddis", "nosuch", "--help"}, ExitUsage},
      {{"caddis", "--help", "nosuch"}, ExitUsage},
      {{"caddis", "nosuch", "--version"}, ExitUsage},
      {{"caddis", "--help"}, ExitOk},
      {{"caddis", "--version"}, ExitOk},
  };
  for (const auto& Case : Cases) {
    const tRead Read = ReadCommandLine(Case.Arguments);
    EXPECT_FALSE(Read.Ready);
    EXPECT_EQ(Read.Result.Exit, Case.Exit) << testing::PrintToString(Case.Arguments);
  }
}

TEST(CliOptionsTest, EverySecondsOptionRefusesWhatIsNotSecondsAndDefaultsAsItsHelpSays) {
  std::size_t Checked = 0;
  for (const tCommand& Command : CliCommands())
    for (const tOptionHelp& Option : Command.Options) {
      if (std::string(Option.Value) != "S") continue;
      ++Checked;
      const std::string Name = Option.Name;
      ASSERT_TRUE(Option.Default.has_value()) << Command.Name << " " << Name;
      // Seconds are a plain decimal number from 0 to 86400.
      for (const char* Value : {"1x", "-1", "1e3", "86400.5", ""}) {
        std::vector<std::string> Arguments = CommandLineOf(Command);
        Arguments.insert(Arguments.end(), {Name, Value});
        const tRead Read = ReadCommandLine(Arguments);
        EXPECT_FALSE(Read.Ready) << Command.Name << " " << Name << " " << Value;
        EXPECT_EQ(Read.Result.Exit, ExitUsage);
        EXPECT_EQ(Read.Result.Text,
                  UsageText(Command, Name + " wants seconds, not '" + std::string(Value) + "'"));
      }
      for (const char* Value : {"0", "2.5", ".5", "86400"}) {
        std::vector<std::string> Arguments = CommandLineOf(Command);
        Arguments.insert(Arguments.end(), {Name, Value});
        EXPECT_TRUE(ReadCommandLine(Arguments).Ready)
            << Command.Name << " " << Name << " " << Value;
      }
      // The default the help promises is the one the command gets.
      const std::string Help = Option.Help;
      if (const auto At = Help.find("(default "); At != std::string::npos)
        EXPECT_EQ(Help.substr(At), "(default " + SecondsText(*Option.Default) + ")")
            << Command.Name << " " << Name;
      else
        EXPECT_EQ(*Option.Default, 0) << Command.Name << " " << Name << ": 0 is 'no limit'";
    }
  // Each one is read as seconds: none has become a plain text on the way.
  EXPECT_EQ(Checked, 22u);
}

}  // namespace

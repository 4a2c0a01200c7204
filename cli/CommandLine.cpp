#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <stdexcept>

#include "cli/CliEvents.h"
#include "cli/CliLoop.h"
#include "cli/Commands.h"

namespace {

int MainHelp() {
  std::printf("Usage: caddis [--version] [-v|--verbose] <command> [options]\n\nCommands:\n");
  for (const tCommand& C : CliCommands())
    std::printf("  %-18s %s\n", C.Name, C.Summary);
  std::printf(
      "\nOptions:\n"
      "  --version          show the program's version\n"
      "  -v, --verbose      trace every frame on the serial link (hex and name, both\n"
      "                     directions) and every DFU request on stderr, time-stamped\n"
      "\ncaddis <command> --help shows a command's options.\n"
      "Exit status (with --json also the error event's \"exit\" and \"kind\"):\n%s"
      "With several cards: 0 when every card succeeded, else the status the failed ones\n"
      "share, or 1 when they differ.\n"
      "Environment: CADDIS_RUNTIME_DIR (port folder, virtual USB bus), CADDIS_CONFIG_DIR,\n"
      "CADDIS_LOG_DIR (folder of Log.txt, the log of link errors), CADDIS_IMAGE_DIR (folder\n"
      "of the default images, instead of the program's own), CADDIS_RECORD (the service\n"
      "record); caddis paths shows them.\n",
      ExitStatusHelp().c_str());
  return ExitOk;
}

int CommandHelp(const tCommand& C) {
  std::printf("Usage: %s\n%s\n", C.Synopsis, C.Summary);
  for (const tOptionHelp& Option : C.Options) {
    const std::string Left = std::string(Option.Name) + (*Option.Value ? " " : "") + Option.Value;
    std::printf("  %-17s %s\n", Left.c_str(), Option.Help);
  }
  std::printf("%s", C.Notes);
  return ExitOk;
}

}  // namespace

struct tCliCommandLine::tParser {
  CLI::App App{"Caddis Updater command line", "caddis"};
  bool Help = false, Version = false, Verbose = false;
  struct tSubcommand {
    CLI::App* App;
    const tCommand* Command;
    std::unique_ptr<tBoundCommand> Bound;
  };
  std::vector<tSubcommand> Subcommands;
  // The command groups ("caddis dfu list"): each group's parser, by the group's word.
  struct tGroup {
    const char* Word;
    const char* Summary;
    CLI::App* App = nullptr;
  };
  std::vector<tGroup> Groups = {{"dfu", "the card's firmware over USB DFU"},
                                {"package", "release packages: make, sign, check, show"},
                                {"site", "the service record in the site database"}};

  tParser() {
    App.set_help_flag();
    App.allow_extras();
    App.add_flag("-h,--help", Help);
    App.add_flag("--version", Version);
    App.add_flag("-v,--verbose", Verbose);
    for (const tCommand& C : CliCommands()) {
      const std::string Name = C.Name;
      CLI::App* Parent = &App;
      std::string Word = Name;
      if (const size_t Space = Name.find(' '); Space != std::string::npos) {
        Parent = GroupApp(Name.substr(0, Space));
        Word = Name.substr(Space + 1);
      }
      CLI::App* Sub = Parent->add_subcommand(Word, C.Summary);
      Sub->set_help_flag();
      // Words it does not know stay with the command, which explains them in its own terms.
      Sub->allow_extras();
      Sub->add_flag("-h,--help", Help);
      Sub->add_flag("-v,--verbose", Verbose);
      Subcommands.push_back({Sub, &C, C.Bind(*Sub)});
    }
  }

  // The parser of the group Word, made when its first command is added.
  CLI::App* GroupApp(const std::string& Word) {
    for (tGroup& Group : Groups) {
      if (Word != Group.Word) continue;
      if (!Group.App) {
        Group.App = App.add_subcommand(Group.Word, Group.Summary);
        Group.App->set_help_flag();
        Group.App->allow_extras();
        Group.App->add_flag("-h,--help", Help);
      }
      return Group.App;
    }
    throw std::logic_error("a command of no known group: " + Word);
  }

  // The group that was parsed without one of its commands, or null.
  const tGroup* GroupAlone() const {
    for (const tGroup& Group : Groups)
      if (Group.App && Group.App->parsed()) return &Group;
    return nullptr;
  }

  // The subcommand that was parsed, or null.
  tSubcommand* Chosen() {
    for (tSubcommand& Sub : Subcommands)
      if (Sub.App->parsed()) return &Sub;
    return nullptr;
  }
};

tCliCommandLine::tCliCommandLine(std::vector<std::string> Arguments)
    : fParser(std::make_unique<tParser>()) {
  fContext.Arguments = std::move(Arguments);
}

tCliCommandLine::~tCliCommandLine() = default;

bool tCliCommandLine::Read(tCliResult& Exit) {
  const std::vector<std::string>& Arguments = fContext.Arguments;
  std::vector<const char*> Words;
  for (const std::string& Argument : Arguments)
    Words.push_back(Argument.c_str());
  tParser& Parser = *fParser;
  std::string ParseError;
  try {
    Parser.App.parse(static_cast<int>(Words.size()), Words.data());
  } catch (const CLI::ParseError& Error) {
    ParseError = Error.what();
    // "--port: 1 required TEXT missing": an option at the end without its value.
    if (const auto Colon = ParseError.find(':');
        dynamic_cast<const CLI::ArgumentMismatch*>(&Error) && Colon != std::string::npos)
      ParseError = "option '" + ParseError.substr(0, Colon) + "' needs a value";
  }
  tParser::tSubcommand* Sub = Parser.Chosen();
  if (!Sub) {
    Exit = ExitUsage;
    // A word no command has ("caddis nosuch --help") is an unknown command, --help or not.
    const auto Extra = Parser.App.remaining();
    const bool UnknownWord = !Extra.empty() && Extra.front().rfind("-", 0) != 0;
    if (Parser.Version && ParseError.empty() && !UnknownWord) {
      std::printf("caddis %s\n", ToolVersion());
      Exit = ExitOk;
    } else if (Parser.Help && ParseError.empty() && !UnknownWord) {
      Exit = MainHelp();
    } else if (const tParser::tGroup* Group = Parser.GroupAlone()) {
      std::string Commands;
      for (const tCommand& C : CliCommands()) {
        const std::string Name = C.Name;
        if (Name.rfind(std::string(Group->Word) + " ", 0) != 0) continue;
        Commands += (Commands.empty() ? "" : ", ") + Name.substr(Name.find(' ') + 1);
      }
      std::fprintf(stderr, "caddis %s: give one of %s (see caddis --help)\n", Group->Word,
                   Commands.c_str());
    } else if (Words.size() < 2) {
      MainHelp();
    } else {
      const auto Extra = Parser.App.remaining();
      const std::string Word = Extra.empty() ? Arguments[1] : Extra.front();
      if (!ParseError.empty())
        std::fprintf(stderr, "caddis: %s (see caddis --help)\n", ParseError.c_str());
      else if (Word.rfind("-", 0) == 0)
        std::fprintf(stderr, "caddis: unknown option '%s' (see caddis --help)\n", Word.c_str());
      else
        std::fprintf(stderr, "caddis: unknown command '%s' (see caddis --help)\n", Word.c_str());
    }
    return false;
  }
  const tCommand& Command = *Sub->Command;
  fContext.Command = Command.Name;
  fContext.Verbose = Parser.Verbose;
  if (Parser.Help) {
    Exit = CommandHelp(Command);
    return false;
  }
  if (Sub->Bound->WritesEvents()) tCliEvents::SetCommand(fContext.Command);
  if (!ParseError.empty()) {
    Exit = UsageError(fContext.Command, ParseError);
    return false;
  }
  // Words the parser did not take: unknown options, or the command's own arguments.
  for (const std::string& Word : Sub->App->remaining()) {
    if (Word.size() > 1 && Word[0] == '-') {
      Exit =
          UsageError(fContext.Command, "unknown option '" + Word.substr(0, Word.find('=')) + "'");
      return false;
    }
    fContext.Words.push_back(Word);
  }
  if (Command.MaxWords != AnyWords &&
      !CheckPositional(fContext, static_cast<std::size_t>(Command.MinWords),
                       static_cast<std::size_t>(Command.MaxWords), Exit))
    return false;
  if (!Sub->Bound->Read(fContext, Exit)) return false;
  fBound = Sub->Bound.get();
  return true;
}

tCliResult tCliCommandLine::Run() {
  InstallStopHandlers();
  WatchReadPaths();
  if (fContext.Verbose) StartTracing(nullptr);
  return fBound->Run(fContext);
}

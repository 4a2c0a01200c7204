// The command line of caddis: the table of its commands, each with its options typed (see
// CommandOptions.h), and the reading of a command line into one command ready to run.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/CommandOptions.h"
#include "cli/Outcome.h"

namespace CLI {
class App;
}

// An option as caddis <command> --help shows it.
struct tOptionHelp {
  const char* Name;                    // "--port"
  const char* Value;                   // "N", "S" for seconds, or "" for a flag
  const char* Help;                    // "the card's port: its number as caddis ports lists it"
  std::optional<double> Default = {};  // a seconds option's value when not given
};

// One command's options for one reading of the command line: the struct the parser fills,
// what is read once it has, and the command's run with them.
class tBoundCommand {
 public:
  virtual ~tBoundCommand() = default;
  // Reads what the parser left, in the order help lists the options: each port (a number, or
  // a device the port list numbers) and any seconds value the parser refused. False with the
  // usage error shown and Exit set.
  virtual bool Read(const tCliContext& Context, tCliResult& Exit) = 0;
  // --json was given to a command that writes the events of CliEvents.h.
  virtual bool WritesEvents() const = 0;
  // Runs the command on its card, or a child per card with several ports or --all.
  virtual tCliResult Run(const tCliContext& Context) = 0;
};

// Words the command reads itself, whatever their number.
constexpr int AnyWords = -1;

struct tCommand {
  const char* Name;                  // "status", "dfu download"
  const char* Synopsis;              // "caddis status --port N [--json] [--timeout S]"
  const char* Summary;               // one line for caddis --help
  std::vector<tOptionHelp> Options;  // in the order help lists them
  const char* Notes;                 // after the options in caddis <command> --help
  int MinWords = 0;  // positional arguments, at least and at most (AnyWords: not checked)
  int MaxWords = 0;
  // Adds the command's options to its subcommand, bound to a struct of its own.
  std::function<std::unique_ptr<tBoundCommand>(CLI::App& Sub)> Bind;
};

// Every command, in the order caddis --help lists them.
const std::vector<tCommand>& CliCommands();

// One command line, read and then run.
class tCliCommandLine {
 public:
  // Arguments: the whole command line, the program first.
  explicit tCliCommandLine(std::vector<std::string> Arguments);
  ~tCliCommandLine();
  tCliCommandLine(const tCliCommandLine&) = delete;
  tCliCommandLine& operator=(const tCliCommandLine&) = delete;

  // Reads the command and its options. False when the program ends here (help, the version,
  // bad arguments) with its result in Exit.
  bool Read(tCliResult& Exit);
  // Runs the command read.
  tCliResult Run();

 private:
  struct tParser;
  std::unique_ptr<tParser> fParser;
  tCliContext fContext;
  tBoundCommand* fBound = nullptr;
};

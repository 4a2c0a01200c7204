// caddis: the command line of the Caddis Updater, for scripted and headless work.
//
// The commands and their options are in CommandLine.h; main() reads the command line, runs the
// command and ends the JSON events with its result: its exit status and its failure text. Every
// command drives the card through the same card session and 10 ms loop as the window.
#include <string>
#include <vector>

#include "cli/CliEvents.h"
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "platform/Console.h"

int main(int argc, char** argv) {
  // Every name the tool keeps is UTF-8: the arguments too (a path such as C:\Jörg\image.dfu
  // on Windows), and the output shows them as such.
  const std::vector<std::string> Arguments = tConsole::Arguments(argc, argv);
  tConsole::UseUtf8Output();
  // With --json anywhere, even bad arguments end in an error event.
  for (std::size_t i = 1; i < Arguments.size(); ++i)
    if (Arguments[i] == "--json") tCliEvents::Enable();
  tCliCommandLine CommandLine(Arguments);
  tCliResult Result;
  if (CommandLine.Read(Result)) Result = CommandLine.Run();
  tCliEvents::Finish(Result);
  return Result.Exit;
}

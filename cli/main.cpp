// caddis: the command line of the Caddis Updater, for scripted and headless work.
//
// The commands and their options are in CommandLine.h; main() reads the command line, runs the
// command and ends the JSON events with its result: its exit status and its failure text. Every
// command drives the card through the same card session and 10 ms loop as the window.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cli/CliEvents.h"
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "platform/Console.h"
#include "platform/SessionEnd.h"
#include "session/Shutdown.h"

int main(int argc, char** argv) {
  // Every name the tool keeps is UTF-8: the arguments too (a path such as C:\Jörg\image.dfu
  // on Windows), and the output shows them as such.
  const std::vector<std::string> Arguments = tConsole::Arguments(argc, argv);
  tConsole::UseUtf8Output();
  // With --json anywhere, even bad arguments end in an error event.
  for (std::size_t i = 1; i < Arguments.size(); ++i)
    if (Arguments[i] == "--json") tCliEvents::Enable();
  // The end of the session stops the command as a termination request does, and waits (a
  // while at most) for it to close its port and write its record: the program is ended as
  // soon as the watch returns. An update holds the end off meanwhile, with its reason.
  std::atomic<bool> Finished{false};
  tSessionEndWatch SessionEnd([&Finished] {
    tShutdown::SessionEnding();
    for (int i = 0; i < 500 && !Finished; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  tShutdown::SetHold([&SessionEnd](const std::string& Reason) { SessionEnd.Hold(Reason); });
  tCliCommandLine CommandLine(Arguments);
  tCliResult Result;
  if (CommandLine.Read(Result)) Result = CommandLine.Run();
  tCliEvents::Finish(Result);
  tShutdown::SetHold({});
  Finished = true;
  return Result.Exit;
}

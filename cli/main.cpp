// caddis: the command line of the Caddis Updater.
//
// One entry per subcommand in Commands; main() only picks the entry and runs it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "serial/ComPorts.h"

namespace {

struct tCommand {
  const char* Name;
  const char* Usage;
  const char* Help;
  int (*Run)(const std::vector<std::string>& Args);
};

int PortsCommand(const std::vector<std::string>& Args);
int HelpCommand(const std::vector<std::string>& Args);

const tCommand Commands[] = {
    {"ports", "caddis ports", "List the serial ports present: number, one space, device name.",
     PortsCommand},
    {"help", "caddis help", "Show this help.", HelpCommand},
};

int PortsCommand(const std::vector<std::string>& Args) {
  if (!Args.empty()) {
    std::fprintf(stderr, "caddis ports: unexpected argument '%s'\n", Args[0].c_str());
    return 2;
  }
  std::vector<std::string> Lines;
  ListComPorts(Lines);
  for (const std::string& Line : Lines)
    std::printf("%s\n", Line.c_str());
  return 0;
}

int HelpCommand(const std::vector<std::string>&) {
  std::printf("Usage: caddis <command> [arguments]\n\nCommands:\n");
  for (const tCommand& C : Commands)
    std::printf("  %-24s %s\n", C.Usage, C.Help);
  std::printf("\nOptions:\n  %-24s %s\n", "-h, --help", "Show this help.");
  return 0;
}

const tCommand* FindCommand(const char* Name) {
  for (const tCommand& C : Commands)
    if (std::strcmp(C.Name, Name) == 0) return &C;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    HelpCommand({});
    return 2;
  }
  const char* Name = argv[1];
  if (std::strcmp(Name, "-h") == 0 || std::strcmp(Name, "--help") == 0) return HelpCommand({});
  const tCommand* Command = FindCommand(Name);
  if (!Command) {
    std::fprintf(stderr, "caddis: unknown command '%s' (see caddis --help)\n", Name);
    return 2;
  }
  return Command->Run(std::vector<std::string>(argv + 2, argv + argc));
}

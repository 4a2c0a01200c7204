// caddis-man-page: writes the caddis manual page to standard output (the build installs it).
#include <cstdio>

#include "cli/ManPage.h"

int main(int argc, char** argv) {
  const std::string Page = CaddisManPage(argc > 1 ? argv[1] : "");
  std::fwrite(Page.data(), 1, Page.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

// The caddis manual page (roff), made at build time from the tables the program itself uses:
// the command table (each command's synopsis, summary, options and notes), the exit-status
// table, and the service record's fields as the record's writer writes them. So the page
// cannot say other than caddis --help and the record do.
#pragma once

#include <string>
#include <vector>

// The whole page for man(1), section 1; Version names the tool's version.
std::string CaddisManPage(const std::string& Version);
// The service record's fields as the writer writes a line, each with what it holds.
struct tRecordFieldHelp {
  std::string Name;
  std::string Help;  // "" for a field not described yet
};
std::vector<tRecordFieldHelp> RecordFieldsHelp();

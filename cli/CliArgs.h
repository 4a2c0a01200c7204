// The command line's argument reading: options with and without values, and positional
// arguments, checked against each command's own table of options.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

struct tCliOption {
  const char* Name;  // "--port"
  bool TakesValue;
};

struct tCliArgs {
  std::map<std::string, std::string> Values;  // options given with a value
  std::set<std::string> Flags;                // options given without one
  std::vector<std::string> Positional;
  bool Help = false;  // --help or -h anywhere

  bool Has(const std::string& Name) const { return Flags.count(Name) || Values.count(Name); }
};

// Reads Args against Options. "--name value" and "--name=value" both work; "--" ends the
// options. False with Error set on an unknown option, a missing value or a value given to a
// flag. Positional arguments are collected, not counted: the command checks them.
bool ParseCliArgs(const std::vector<std::string>& Args, const std::vector<tCliOption>& Options,
                  tCliArgs& Out, std::string& Error);

// A port number as the port list shows it ("5"), or with the COM prefix ("COM5"): 1..65535.
bool ParsePortNumber(const std::string& Text, int32_t& Port);
// Seconds as a plain decimal number ("5", "0.5"), 0 to 86400.
bool ParseSeconds(const std::string& Text, double& Seconds);
// A whole number in 0..Max.
bool ParseIndex(const std::string& Text, int32_t Max, int32_t& Value);

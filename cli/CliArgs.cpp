#include "cli/CliArgs.h"

#include <charconv>
#include <cmath>

namespace {

const tCliOption* FindOption(const std::vector<tCliOption>& Options, const std::string& Name) {
  for (const tCliOption& Option : Options)
    if (Name == Option.Name) return &Option;
  return nullptr;
}

bool AllDigits(const std::string& Text) {
  if (Text.empty()) return false;
  for (char C : Text)
    if (C < '0' || C > '9') return false;
  return true;
}

}  // namespace

bool ParseCliArgs(const std::vector<std::string>& Args, const std::vector<tCliOption>& Options,
                  tCliArgs& Out, std::string& Error) {
  bool OptionsEnded = false;
  for (std::size_t i = 0; i < Args.size(); ++i) {
    const std::string& Arg = Args[i];
    if (OptionsEnded || Arg.size() < 2 || Arg[0] != '-') {
      Out.Positional.push_back(Arg);
      continue;
    }
    if (Arg == "--") {
      OptionsEnded = true;
      continue;
    }
    if (Arg == "--help" || Arg == "-h") {
      Out.Help = true;
      continue;
    }
    const std::size_t Equals = Arg.find('=');
    const std::string Name = Arg.substr(0, Equals);
    const tCliOption* Option = FindOption(Options, Name);
    if (!Option) {
      Error = "unknown option '" + Name + "'";
      return false;
    }
    if (!Option->TakesValue) {
      if (Equals != std::string::npos) {
        Error = "option '" + Name + "' takes no value";
        return false;
      }
      Out.Flags.insert(Name);
      continue;
    }
    if (Equals != std::string::npos) {
      Out.Values[Name] = Arg.substr(Equals + 1);
    } else if (i + 1 < Args.size()) {
      Out.Values[Name] = Args[++i];
    } else {
      Error = "option '" + Name + "' needs a value";
      return false;
    }
  }
  return true;
}

bool ParsePortNumber(const std::string& Text, int32_t& Port) {
  std::string Digits = Text;
  if (Digits.size() > 3 && (Digits.compare(0, 3, "COM") == 0 || Digits.compare(0, 3, "com") == 0))
    Digits = Digits.substr(3);
  return ParseIndex(Digits, 65535, Port) && Port >= 1;
}

bool ParseSeconds(const std::string& Text, double& Seconds) {
  if (Text.empty() || Text.size() > 16) return false;
  const std::size_t Dot = Text.find('.');
  const std::string Whole = Text.substr(0, Dot);
  const std::string Fraction = Dot == std::string::npos ? "" : Text.substr(Dot + 1);
  if (Whole.empty() && Fraction.empty()) return false;
  if (!Whole.empty() && !AllDigits(Whole)) return false;
  if (Dot != std::string::npos && !Fraction.empty() && !AllDigits(Fraction)) return false;
  double Value = 0;
  for (char C : Whole)
    Value = Value * 10 + (C - '0');
  double Scale = 0.1;
  for (char C : Fraction) {
    Value += (C - '0') * Scale;
    Scale /= 10;
  }
  if (!std::isfinite(Value) || Value > 86400) return false;
  Seconds = Value;
  return true;
}

bool ParseIndex(const std::string& Text, int32_t Max, int32_t& Value) {
  if (!AllDigits(Text) || Text.size() > 9) return false;
  int32_t Parsed = 0;
  const auto [End, Status] = std::from_chars(Text.data(), Text.data() + Text.size(), Parsed);
  if (Status != std::errc() || End != Text.data() + Text.size() || Parsed > Max) return false;
  Value = Parsed;
  return true;
}

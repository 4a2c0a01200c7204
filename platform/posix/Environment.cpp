#include "platform/Environment.h"

#include <unistd.h>

#include <cstdlib>

namespace tEnvironment {

std::optional<std::string> Get(const std::string& Name) {
  const char* Value = std::getenv(Name.c_str());
  if (!Value) return std::nullopt;
  return std::string(Value);
}

bool Set(const std::string& Name, const std::string& Value) {
  return ::setenv(Name.c_str(), Value.c_str(), 1) == 0;
}

void Unset(const std::string& Name) {
  ::unsetenv(Name.c_str());
}

unsigned long ProcessId() {
  return static_cast<unsigned long>(::getpid());
}

std::string HostName() {
  char Name[256] = {};
  // A name cut to the buffer need not end in a zero.
  if (::gethostname(Name, sizeof Name - 1) != 0) return {};
  return Name;
}

}  // namespace tEnvironment

// What the process knows of itself: its environment variables (by UTF-8 name and value) and
// its id.
#pragma once

#include <optional>
#include <string>

namespace tEnvironment {

// The variable's value; none when it is not set.
std::optional<std::string> Get(const std::string& Name);
// Sets the variable for this process and the programs it starts; false when refused.
bool Set(const std::string& Name, const std::string& Value);
// Removes the variable.
void Unset(const std::string& Name);

// The system's number for this process, unique among the running ones.
unsigned long ProcessId();

// This machine's name on the network ("bench-3"); empty when the system gives none.
std::string HostName();

}  // namespace tEnvironment

// The process's environment variables, by UTF-8 name and value.
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

}  // namespace tEnvironment

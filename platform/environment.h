// Environment variables and the debugger output channel.
#pragma once

#include <optional>
#include <string>

namespace korvel::platform {

// getenv: the value, or nothing when the variable is not set.
std::optional<std::string> environmentValue(const std::string& name);

// OutputDebugString. On POSIX the text goes to standard error when KORVEL_DEBUG_OUTPUT is set,
// and nowhere otherwise (there is no debugger channel to write to).
void debugOutput(const std::string& text);

}  // namespace korvel::platform

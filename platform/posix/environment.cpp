// POSIX environment values and the stand-in for the debugger output channel.
#include "platform/environment.h"

#include <cstdio>
#include <cstdlib>

namespace korvel::platform {

std::optional<std::string> environmentValue(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

void debugOutput(const std::string& text) {
  if (!std::getenv("KORVEL_DEBUG_OUTPUT")) return;
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace korvel::platform

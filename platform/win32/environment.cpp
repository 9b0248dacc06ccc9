// Win32 environment: the C runtime's getenv and the debugger channel (OutputDebugStringA).
#include "platform/environment.h"

#include <cstdlib>

#include "platform/win32/windows_prelude.h"

namespace korvel::platform {

std::optional<std::string> environmentValue(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

void debugOutput(const std::string& text) { ::OutputDebugStringA(text.c_str()); }

}  // namespace korvel::platform

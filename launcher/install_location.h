// Where the sibling game launcher is installed, from the registry's application paths.
#pragma once

#include <cstddef>
#include <string>

namespace korvel {

// Looks up HKEY_LOCAL_MACHINE\Software\microsoft\windows\currentversion\app paths\<applicationName>
// and reads its value `valueName` into `out` (a buffer of `outSize` bytes: at most outSize - 1
// characters). Returns 1 when the registry gave the value, else 0 with `out` holding `fallback` (cut to
// the same bound). A key without a default value counts as missing. A value that does not fit is
// refused, leaving the fallback. Nothing is written to the registry and nothing is shown.
int findInstallLocation(const std::string& applicationName, std::string& out, const std::string& fallback,
                        std::size_t outSize, const std::string& valueName);

}  // namespace korvel

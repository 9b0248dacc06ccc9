// The key the updater checks manifest signatures with: the file KORVEL_MANIFEST_KEY names at run
// time, else the key compiled in through the CMake option KORVEL_MANIFEST_PUBLIC_KEY, else none.
#pragma once

#include <optional>
#include <string>

#include "trust/minisign_public_key.h"

namespace korvel::trust {

struct ManifestKey {
  // A key is configured: every document must carry a valid signature. A configured key that cannot
  // be read leaves `key` empty and fails every document, never lets one through unchecked.
  bool required = false;
  std::optional<MinisignPublicKey> key;
  // Why a configured key could not be read (a complete log line), else empty.
  std::string problem;
};

// The run-time variable naming a public key file.
inline constexpr const char* kManifestKeyVariable = "KORVEL_MANIFEST_KEY";

// Reads the configuration now (the variable and the file each time it is called). Any thread.
ManifestKey configuredManifestKey();

// The key compiled into the program; empty when none was.
const char* compiledManifestKey();

}  // namespace korvel::trust

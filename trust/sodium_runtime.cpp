// libsodium's start-up.
#include "trust/sodium_runtime.h"

#include <sodium.h>

namespace korvel::trust {

bool sodiumReady() {
  // sodium_init is safe to call from several threads and returns 1 once the library runs.
  static const bool ready = sodium_init() >= 0;
  return ready;
}

}  // namespace korvel::trust

// libsodium's one-time start-up, shared by every digest and signature routine of the trust floor.
#pragma once

namespace korvel::trust {

// Initialises libsodium on first use (any thread; later calls return at once). False only when the
// library cannot start, which leaves every check of this floor failing closed.
bool sodiumReady();

}  // namespace korvel::trust

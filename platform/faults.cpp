// Fault injection seams for tests.
#include "platform/faults.h"

namespace korvel::platform::faults {

void reset() {
  failOpens.store(0);
  writeBudget.store(0);
  shortReads.store(0);
  failNextRead.store(false);
  failReplaces.store(0);
  failJobState.store(false);
  failJobProgress.store(false);
  allUsersJobs.store(0);
  failManagerCreation.store(false);
}

}  // namespace korvel::platform::faults

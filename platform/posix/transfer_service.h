// The helper process of the POSIX background transfer service: serves the jobs of one state folder
// until none has work left.
#pragma once

#include <string>

namespace korvel::platform::posix {

// Takes the folder's helper lock (returning 0 at once when another helper holds it), then transfers the
// files of every job with work, one file at a time in job order, and returns 0 when no job has work.
int runTransferService(const std::string& folder);

}  // namespace korvel::platform::posix

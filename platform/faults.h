// Fault injection seams for tests, gathered in one place: every File goes through them.
// Production code never sets them; all counters are 0 (off) by default.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvel::platform::faults {

// The next N opens of a File fail (each failed open counts down by one).
inline std::atomic<int> failOpens{0};
// When positive: the total number of bytes File::write may still write; the write that crosses the
// budget comes up short (as on a full disk) and later writes write nothing. Restore with 0.
inline std::atomic<std::int64_t> writeBudget{0};
// When positive: File::read reads at most this many bytes per call (short reads).
inline std::atomic<std::int64_t> shortReads{0};
// When set: the next File::read reports an error instead of data.
inline std::atomic<bool> failNextRead{false};
// The next N calls of replaceFile fail, as they do on Windows while another program holds the target.
inline std::atomic<int> failReplaces{0};

// Background transfer service (both backends): when set, IBackgroundCopyJob::GetState or GetProgress
// fails with E_FAIL. allUsersJobs: 0 leaves EnumJobs(BG_JOB_ENUM_ALL_USERS) to the service, -1 makes it
// fail with E_ACCESSDENIED, 1 grants it (POSIX only; the system's service decides for itself).
inline std::atomic<bool> failJobState{false};
inline std::atomic<bool> failJobProgress{false};
inline std::atomic<int> allUsersJobs{0};
// When set: CoCreateInstance of the service's manager fails (the service is not there).
inline std::atomic<bool> failManagerCreation{false};

// Clears every seam (tests call this in their teardown).
void reset();

}  // namespace korvel::platform::faults

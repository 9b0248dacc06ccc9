// Runs a numbered set of independent jobs on a few threads. Each job writes only its own result slot,
// so the results come out in job order whatever the scheduling was.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace korvel::publish {

class WorkPool {
 public:
  // threads: how many jobs run at once (at least 1).
  explicit WorkPool(unsigned threads);

  // Runs job(i) for every i in `order` (each index once), starting them in that order, and returns
  // when all have finished. Blocks the caller; the caller's thread takes part. Jobs must not throw.
  void run(const std::vector<std::size_t>& order, const std::function<void(std::size_t)>& job) const;

  unsigned threads() const { return threads_; }

  // The thread count to use when none is given: the machine's cores.
  static unsigned defaultThreads();

 private:
  unsigned threads_;
};

}  // namespace korvel::publish

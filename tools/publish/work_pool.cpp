// Runs a numbered set of independent jobs on a few threads.
#include "tools/publish/work_pool.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace korvel::publish {

WorkPool::WorkPool(unsigned threads) : threads_(std::max(1u, threads)) {}

unsigned WorkPool::defaultThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

void WorkPool::run(const std::vector<std::size_t>& order, const std::function<void(std::size_t)>& job) const {
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (;;) {
      std::size_t slot = next.fetch_add(1);
      if (slot >= order.size()) return;
      job(order[slot]);
    }
  };
  std::size_t helpers = std::min<std::size_t>(threads_, order.size());
  std::vector<std::thread> pool;
  for (std::size_t i = 1; i < helpers; ++i) pool.emplace_back(worker);
  worker();
  for (auto& thread : pool) thread.join();
}

}  // namespace korvel::publish

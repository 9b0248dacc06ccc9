// One worker thread at a time, with a stored priority, on threads that are kept for the next start.
#include "common/worker_thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/process.h"

namespace korvel {

namespace {

// A system thread that runs one piece of work after another. A run starts a transfer thread for every
// file it fetches, and a new thread costs more than a small file: its stack, the heap's per-thread
// set-up and tear-down. A finished thread therefore waits a while for the next piece of work.
class PooledThread {
 public:
  using Work = std::function<void(PooledThread&)>;

  // Starts `work` on a waiting thread, or on a new one when none waits.
  static void run(Work work);

  std::thread& thread() { return thread_; }

 private:
  static constexpr auto kIdleWait = std::chrono::seconds(30);
  static constexpr std::size_t kMostWaiting = 8;

  PooledThread() = default;
  void loop();

  std::thread thread_;
  Work work_;
  bool hasWork_ = false;
  std::condition_variable wake_;
};

// The waiting threads. Never destroyed: a thread may still wait on it while the process ends.
struct Pool {
  std::mutex mutex;
  std::vector<PooledThread*> waiting;
};
Pool& pool() {
  static Pool* const instance = new Pool;
  return *instance;
}

void PooledThread::run(Work work) {
  Pool& shared = pool();
  {
    std::lock_guard<std::mutex> lock(shared.mutex);
    if (!shared.waiting.empty()) {
      PooledThread* taken = shared.waiting.back();
      shared.waiting.pop_back();
      taken->work_ = std::move(work);
      taken->hasWork_ = true;
      taken->wake_.notify_one();
      return;
    }
  }
  // Owned by its own system thread, which deletes it when it ends. The thread object stays joinable
  // while the thread lives (its handle sets priorities) and is never joined: the end of the process
  // does not wait for threads that only wait for work. The loop starts under the lock held here, so
  // it sees the thread object assigned.
  auto* created = new PooledThread;
  std::lock_guard<std::mutex> lock(shared.mutex);
  created->work_ = std::move(work);
  created->hasWork_ = true;
  created->thread_ = std::thread([created] { created->loop(); });
}

void PooledThread::loop() {
  Pool& shared = pool();
  std::unique_lock<std::mutex> lock(shared.mutex);
  for (;;) {
    if (hasWork_) {
      Work work = std::move(work_);
      hasWork_ = false;
      lock.unlock();
      work(*this);
      work = nullptr;  // what the work captured goes before the thread waits
      lock.lock();
      if (shared.waiting.size() >= kMostWaiting) break;
      shared.waiting.push_back(this);
    }
    if (!wake_.wait_for(lock, kIdleWait, [this] { return hasWork_; })) {
      // Nobody took it in time: it leaves the waiting list and ends.
      std::erase(shared.waiting, this);
      break;
    }
  }
  lock.unlock();
  thread_.detach();
  delete this;
}

}  // namespace

struct WorkerThread::Run {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  int exitCode = -1;
  std::thread::id id;
  // The system thread while the work runs on it; null before it started and once it finished.
  PooledThread* thread = nullptr;
};

WorkerThread::~WorkerThread() { wait(); }

bool WorkerThread::start(Entry entry) {
  if (thread_) return false;
  auto run = std::make_shared<Run>();
  const int priority = priority_;
  // The work keeps its own reference so that closeHandle() may forget it while it still runs.
  PooledThread::run([run, priority, entry = std::move(entry)](PooledThread& thread) {
    {
      std::lock_guard<std::mutex> lock(run->mutex);
      run->id = std::this_thread::get_id();
      run->thread = &thread;
      if (priority != platform::kThreadPriorityNormal) platform::setThreadPriority(thread.thread(), priority);
    }
    const int code = entry();
    std::lock_guard<std::mutex> lock(run->mutex);
    // The next work on this thread starts at the normal priority.
    platform::setThreadPriority(thread.thread(), platform::kThreadPriorityNormal);
    run->thread = nullptr;
    run->exitCode = code;
    run->done = true;
    run->finished.notify_all();
  });
  thread_ = std::move(run);
  return true;
}

void WorkerThread::closeHandle() { thread_.reset(); }

int WorkerThread::wait() {
  if (!thread_) return -1;
  std::unique_lock<std::mutex> lock(thread_->mutex);
  if (!thread_->done && thread_->id == std::this_thread::get_id()) return -1;  // a thread cannot wait for itself
  thread_->finished.wait(lock, [this] { return thread_->done; });
  return thread_->exitCode;
}

void WorkerThread::setPriority(int priority) {
  priority_ = priority;
  if (!thread_) return;
  std::lock_guard<std::mutex> lock(thread_->mutex);
  if (thread_->thread) platform::setThreadPriority(thread_->thread->thread(), priority);
}

}  // namespace korvel

// One worker thread at a time, with a stored priority.
#include "common/worker_thread.h"

#include "platform/process.h"

namespace korvel {

WorkerThread::~WorkerThread() { wait(); }

bool WorkerThread::start(Entry entry) {
  if (thread_) return false;
  auto run = std::make_shared<Run>();
  // The thread keeps its own reference so that closeHandle() may forget it while it still runs.
  run->thread = std::thread([run, entry = std::move(entry)] { run->exitCode.store(entry()); });
  platform::setThreadPriority(run->thread, priority_);
  thread_ = std::move(run);
  return true;
}

void WorkerThread::closeHandle() {
  if (!thread_) return;
  if (thread_->thread.joinable()) thread_->thread.detach();
  thread_.reset();
}

int WorkerThread::wait() {
  if (!thread_) return -1;
  if (thread_->thread.joinable()) {
    if (thread_->thread.get_id() == std::this_thread::get_id()) return -1;  // a thread cannot wait for itself
    thread_->thread.join();
  }
  return thread_->exitCode.load();
}

void WorkerThread::setPriority(int priority) {
  priority_ = priority;
  if (thread_ && thread_->thread.joinable()) platform::setThreadPriority(thread_->thread, priority);
}

}  // namespace korvel

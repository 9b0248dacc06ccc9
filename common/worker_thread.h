// One worker thread at a time, with a stored priority: start, wait, forget. The system threads
// behind it are kept for a while after their work ends and taken again by the next start().
#pragma once

#include <functional>
#include <memory>

namespace korvel {

class WorkerThread {
 public:
  using Entry = std::function<int()>;

  WorkerThread() = default;
  // Waits for a thread that is still running.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Refuses (false) while a thread is held; otherwise starts one that runs `entry`, applies the stored
  // priority, and returns true.
  bool start(Entry entry);
  // Forgets the thread without waiting for it to end. A thread that is still running is detached
  // from this object but kept alive; its result is lost.
  void closeHandle();
  // Waits without time-out and returns the thread's exit code; -1 when no thread is held, and when
  // called from the held thread itself.
  int wait();
  // Stores the priority and applies it to a running thread.
  void setPriority(int priority);
  int priority() const { return priority_; }
  bool hasThread() const { return thread_ != nullptr; }

 private:
  struct Run;
  std::shared_ptr<Run> thread_;
  int priority_ = 0;
};

}  // namespace korvel

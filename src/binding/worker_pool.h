// Threads of the module's own that parse and evaluate for one stream or
// batch (their `threads` option), never touching a Python object.
//
// The caller queues jobs, each writing what it makes into a place the
// caller gave it, and waits for them in the order it needs them. Jobs start
// in the order queued, an urgent one before the rest; several run at once.
// The caller waits with the interpreter lock released, looking for Ctrl-C
// as a running call does.
// When the pool goes, the runs still going are stopped (the poll of their
// bounds sees it) and the threads joined.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "binding/parser_lease.h"
#include "runtime/call_runtime.h"
#include "runtime/failure.h"
#include "value/indexed_stretch.h"
#include "value/json.h"

namespace tamsel::binding {

class WorkerPool {
 public:
  // What a worker lends the jobs it runs, kept from job to job: its parser
  // (borrowed as any call's is, so that a warm one serves), the stretches a
  // stream's pieces are indexed in, and the arena their runs take memory
  // from (made on the worker's own thread).
  struct Worker {
    ParserLease lease;
    JsonParser& parser = lease.parser();
    IndexedStretch stretch;
    runtime::CallRuntime call;
  };
  // Runs on a worker. What escapes it (no memory) fails the job.
  using Job = std::function<void(Worker&)>;

  // Starts `threads` workers; throws std::system_error when it cannot.
  explicit WorkerPool(size_t threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  class Slot;
  // Queues `job`; the slot is the caller's to wait for and let go.
  Slot* submit(Job job, bool urgent = false);
  // Waits until the job of `slot` has run: true when it ran; false with a
  // Python exception set when a signal handler raised meanwhile (the job
  // still runs) or the job failed.
  bool wait(Slot* slot);
  // Whether it has run, without waiting.
  bool done(Slot* slot);
  // Lets go of a slot whose job has run.
  void release(Slot* slot);

  // The poll of the runs on the workers: true once their pool is going.
  static bool stopping();

  // Whether this process is the one that made the pool: a process made by
  // fork() has no copy of its threads, and must leave the pool be.
  bool usable() const { return getpid() == owner_; }

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable queued_;  // a job was queued, or the pool is going
  std::condition_variable done_;    // a job is done
  // Under mutex_: every slot not let go, and those whose jobs wait to start.
  std::list<Slot> slots_;
  std::deque<Slot*> waiting_;
  Slot* awaited_ = nullptr;  // the slot the caller waits for, if any
  std::atomic<bool> going_{false};
  const pid_t owner_;
  std::vector<std::thread> threads_;
};

class WorkerPool::Slot {
  friend class WorkerPool;
  Job job;
  std::list<Slot>::iterator place;
  bool done = false;
  bool failed = false;
  runtime::Failure failure = runtime::Failure::kNoMemory;
  std::string message;
};

}  // namespace tamsel::binding

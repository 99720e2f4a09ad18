// Threads of the module's own that parse and evaluate for one stream or
// batch (their `threads` option). They never touch a Python object.
//
// The caller queues jobs, each writing what it makes into a place the
// caller gave it, and waits for them in the order it needs them. Jobs start
// in the order queued, an urgent one before the rest; several run at once.
// The caller waits as its Waiting says (the binding: without the
// interpreter lock, looking for Ctrl-C). When the pool goes, the runs still
// going are stopped (the poll of their bounds sees it) and the threads
// joined.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "runtime/call_runtime.h"
#include "texts/parser_lease.h"
#include "texts/stop.h"
#include "texts/waiting.h"
#include "texts/indexed_stretch.h"
#include "value/json.h"

namespace tamsel::texts {

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
  // Waits until the job of `slot` has run: false when `waiting` asked to
  // stop first (the job still runs; wait again or let the pool go).
  bool wait(Slot* slot, Waiting& waiting);
  // Whether it has run, without waiting.
  bool done(Slot* slot);
  // Once it has run: what stopped it, when something escaped the job.
  const std::optional<Stop>& failure(Slot* slot);
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
  std::optional<Stop> failure;
};

}  // namespace tamsel::texts

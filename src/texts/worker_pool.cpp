#include "texts/worker_pool.h"

#include <unistd.h>

#include <chrono>

#include "runtime/exception_state.h"
#include "runtime/static_tls.h"
#include "runtime/quiet_thread.h"

namespace tamsel::texts {
namespace {

// The flag of the pool whose worker this thread is, for the poll.
TAMSEL_STATIC_TLS constinit thread_local const std::atomic<bool>* pool_going = nullptr;

}  // namespace

WorkerPool::WorkerPool(size_t threads) : owner_(getpid()) {
  threads_.reserve(threads);
  try {
    for (size_t i = 0; i < threads; ++i) {
      threads_.push_back(runtime::start_quiet_thread("tv-worker", [this] { run(); }));
    }
  } catch (...) {
    going_ = true;
    queued_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    throw;
  }
}

// Not for a forked process, which has no copies of the threads: there the
// pool's owner leaves it be.
WorkerPool::~WorkerPool() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    going_ = true;
  }
  queued_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool WorkerPool::stopping() {
  const std::atomic<bool>* going = pool_going;
  return going && going->load(std::memory_order_relaxed);
}

WorkerPool::Slot* WorkerPool::submit(Job job, bool urgent) {
  Slot* slot;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    slots_.emplace_back();
    slot = &slots_.back();
    slot->place = std::prev(slots_.end());
    slot->job = std::move(job);
    try {
      if (urgent) {
        waiting_.push_front(slot);
      } else {
        waiting_.push_back(slot);
      }
    } catch (...) {
      slots_.pop_back();
      throw;
    }
  }
  queued_.notify_one();
  return slot;
}

bool WorkerPool::done(Slot* slot) {
  const std::lock_guard<std::mutex> guard(mutex_);
  return slot->done;
}

bool WorkerPool::wait(Slot* slot, Waiting& waiting) {
  if (done(slot)) return true;
  const LetGo let_go(waiting);
  std::unique_lock<std::mutex> guard(mutex_);
  awaited_ = slot;
  bool stopped = false;
  while (!slot->done) {
    done_.wait_for(guard, Waiting::kLookInterval);
    if (slot->done) break;
    guard.unlock();
    stopped = waiting.stop_requested();
    guard.lock();
    if (stopped) break;
  }
  awaited_ = nullptr;
  return !stopped;
}

const std::optional<Stop>& WorkerPool::failure(Slot* slot) { return slot->failure; }

void WorkerPool::release(Slot* slot) {
  const std::lock_guard<std::mutex> guard(mutex_);
  slots_.erase(slot->place);
}

void WorkerPool::run() {
  pool_going = &going_;
  std::optional<Worker> worker;  // made by the first job, whose failure it may be
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    runtime::wait_for_work(queued_, lock, [this] { return going_ || !waiting_.empty(); });
    if (going_) return;
    Slot& slot = *waiting_.front();
    waiting_.pop_front();
    lock.unlock();
    runtime::reserve_exception_state();
    std::optional<Stop> failure;
    try {
      if (!worker) worker.emplace();
      slot.job(*worker);
    } catch (...) {
      failure = current_stop();
    }
    lock.lock();
    slot.failure = std::move(failure);
    slot.done = true;
    // Only the job waited for wakes the caller.
    if (&slot == awaited_) done_.notify_all();
  }
}

}  // namespace tamsel::texts

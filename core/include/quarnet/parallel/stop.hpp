// Stopping a long computation from outside it (a user's interrupt):
//
//   - The caller opens a StopScope on its thread with a poll, a function that
//     says whether to stop (the binding layer asks the interpreter for a
//     pending signal). Only the thread that opened the scope runs the poll,
//     at most once per interval.
//   - The computation calls check_stop() often, every item of a loop or
//     every few thousand cheap ones: a relaxed load, and on the polling
//     thread a count, with a clock read every so many calls. Once a poll has
//     asked to stop, every check on every thread of the computation throws
//     Interrupted.
//   - Threads that work for the computation take the caller's scope with
//     AdoptStop; run_tasks does so for its workers, and its calling thread
//     keeps polling while it waits for them.
// Without a scope, checks never throw.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <thread>

namespace quarnet::parallel {

class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("interrupted") {}
};

class StopScope {
 public:
  explicit StopScope(std::function<bool()> poll,
                     std::chrono::milliseconds interval = std::chrono::milliseconds(50));
  ~StopScope();  // the thread's enclosing scope, if any, applies again
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;

  bool stopped() const noexcept { return stop_.load(std::memory_order_relaxed); }
  std::chrono::milliseconds interval() const noexcept { return interval_; }
  // Runs the poll now where this is the polling thread; true once stopping.
  bool poll_now();

 private:
  friend bool stop_requested();
  friend class AdoptStop;
  bool due() noexcept;

  std::function<bool()> poll_;
  std::chrono::milliseconds interval_;
  std::thread::id poller_;
  std::chrono::steady_clock::time_point next_;
  std::uint32_t calls_ = 0;
  std::atomic<bool> stop_{false};
  StopScope* enclosing_;
};

// The scope this thread works under, or null.
StopScope* current_stop() noexcept;

// Whether the computation should stop (polls when due on the polling thread).
bool stop_requested();

// Throws Interrupted where stop_requested().
inline void check_stop() {
  if (stop_requested()) throw Interrupted();
}

// This thread works under `scope` (null: none) until the end of its life.
class AdoptStop {
 public:
  explicit AdoptStop(StopScope* scope) noexcept;
  ~AdoptStop();
  AdoptStop(const AdoptStop&) = delete;
  AdoptStop& operator=(const AdoptStop&) = delete;

 private:
  StopScope* previous_;
};

}  // namespace quarnet::parallel

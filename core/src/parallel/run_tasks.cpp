#include "quarnet/parallel/run_tasks.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "quarnet/parallel/stop.hpp"

namespace quarnet::parallel {

unsigned hardware_threads() noexcept { return std::max(1u, std::thread::hardware_concurrency()); }

void run_tasks(std::size_t tasks, unsigned threads, const std::function<void(std::size_t, unsigned)>& work) {
  StopScope* const scope = current_stop();
  if (threads <= 1) {
    for (std::size_t t = 0; t < tasks; ++t) {
      check_stop();
      work(t, 0);
    }
    return;
  }
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex mutex;
  std::condition_variable finished;
  unsigned running = 0;  // pool threads still at work
  auto worker = [&](unsigned index) {
    try {
      for (std::size_t t; !failed.load(std::memory_order_relaxed) && !stop_requested() && (t = next.fetch_add(1)) < tasks;)
        work(t, index);
    } catch (...) {
      std::lock_guard lock(mutex);
      if (!error) error = std::current_exception();
      failed = true;
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (unsigned t = 1; t < threads; ++t) {
    {
      std::lock_guard lock(mutex);
      ++running;
    }
    try {
      pool.emplace_back([&, t] {
        AdoptStop adopt(scope);
        worker(t);
        std::lock_guard lock(mutex);
        --running;
        finished.notify_all();
      });
    } catch (const std::system_error&) {
      std::lock_guard lock(mutex);
      --running;
      break;
    }
  }
  worker(0);
  // The pool's last tasks: this thread keeps polling for a stop meanwhile.
  for (std::unique_lock lock(mutex); running > 0;) {
    finished.wait_for(lock, scope ? scope->interval() : std::chrono::milliseconds(1000));
    if (running == 0 || !scope) continue;
    lock.unlock();
    scope->poll_now();
    lock.lock();
  }
  for (auto& th : pool) th.join();
  if (error) std::rethrow_exception(error);
  check_stop();
}

}  // namespace quarnet::parallel

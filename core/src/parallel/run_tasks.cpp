#include "quarnet/parallel/run_tasks.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace quarnet::parallel {

unsigned hardware_threads() noexcept { return std::max(1u, std::thread::hardware_concurrency()); }

void run_tasks(std::size_t tasks, unsigned threads, const std::function<void(std::size_t, unsigned)>& work) {
  if (threads <= 1) {
    for (std::size_t t = 0; t < tasks; ++t) work(t, 0);
    return;
  }
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_mutex;
  auto worker = [&](unsigned index) {
    try {
      for (std::size_t t; !failed.load(std::memory_order_relaxed) && (t = next.fetch_add(1)) < tasks;) work(t, index);
    } catch (...) {
      std::lock_guard lock(error_mutex);
      if (!error) error = std::current_exception();
      failed = true;
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (unsigned t = 1; t < threads; ++t) {
    try {
      pool.emplace_back(worker, t);
    } catch (const std::system_error&) {
      break;
    }
  }
  worker(0);
  for (auto& th : pool) th.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace quarnet::parallel

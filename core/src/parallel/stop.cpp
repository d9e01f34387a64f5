#include "quarnet/parallel/stop.hpp"

#include <utility>

namespace quarnet::parallel {
namespace {

thread_local StopScope* current = nullptr;

// Calls on the polling thread between two reads of the clock.
constexpr std::uint32_t kCallsPerClockRead = 32;

}  // namespace

StopScope::StopScope(std::function<bool()> poll, std::chrono::milliseconds interval)
    : poll_(std::move(poll)),
      interval_(interval),
      poller_(std::this_thread::get_id()),
      next_(std::chrono::steady_clock::now() + interval),
      enclosing_(current) {
  current = this;
}

StopScope::~StopScope() { current = enclosing_; }

bool StopScope::poll_now() {
  if (stopped()) return true;
  if (std::this_thread::get_id() != poller_) return false;
  next_ = std::chrono::steady_clock::now() + interval_;
  if (poll_()) stop_.store(true, std::memory_order_relaxed);
  return stopped();
}

bool StopScope::due() noexcept {
  if (++calls_ % kCallsPerClockRead != 0) return false;
  return std::chrono::steady_clock::now() >= next_;
}

StopScope* current_stop() noexcept { return current; }

bool stop_requested() {
  StopScope* scope = current;
  if (scope == nullptr) return false;
  if (scope->stopped()) return true;
  return std::this_thread::get_id() == scope->poller_ && scope->due() && scope->poll_now();
}

AdoptStop::AdoptStop(StopScope* scope) noexcept : previous_(current) { current = scope; }
AdoptStop::~AdoptStop() { current = previous_; }

}  // namespace quarnet::parallel

// Native work that Ctrl-C ends within a fraction of a second.
//
//   auto result = qh::interruptible([&] { return core_call(...); });
//
// Runs the work without the GIL under the core's StopScope
// (quarnet/parallel/stop.hpp), whose poll takes the GIL every 50 ms and lets
// the interpreter run its pending signal handlers (PyErr_CheckSignals). When
// a handler raises (KeyboardInterrupt for Ctrl-C), the work stops at its
// next check, on every thread, and that exception leaves the call as it was
// raised. A signal handled during work that finished anyway still raises.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <type_traits>
#include <utility>

#include "quarnet/parallel/stop.hpp"

namespace quarnet::host {

namespace py = pybind11;

// The interpreter's pending signals, asked from a thread that does not hold
// the GIL; the first exception a handler raised is kept for raise_kept().
class SignalPoll {
 public:
  bool operator()() {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return false;
    if (!kept_) kept_.emplace();  // fetches the error the handler set
    return true;
  }
  bool raised() const noexcept { return kept_.has_value(); }
  [[noreturn]] void raise_kept() {
    if (kept_) throw std::move(*kept_);
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
  }

 private:
  std::optional<py::error_already_set> kept_;
};

template <class F>
decltype(auto) interruptible(F&& work) {
  SignalPoll poll;
  try {
    parallel::StopScope scope([&] { return poll(); });
    py::gil_scoped_release release;
    if constexpr (std::is_void_v<decltype(std::forward<F>(work)())>) {
      std::forward<F>(work)();
      if (poll.raised()) throw parallel::Interrupted();
    } else {
      auto result = std::forward<F>(work)();
      if (poll.raised()) throw parallel::Interrupted();
      return result;
    }
  } catch (const parallel::Interrupted&) {
    poll.raise_kept();
  } catch (...) {
    if (poll.raised()) poll.raise_kept();  // the interrupt, whatever else went wrong meanwhile
    throw;
  }
}

}  // namespace quarnet::host

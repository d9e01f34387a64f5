// Runs independent tasks on a few worker threads that take them in turn.
#pragma once

#include <cstddef>
#include <functional>

namespace quarnet::parallel {

// One worker per hardware thread (at least one).
unsigned hardware_threads() noexcept;

// Runs work(task, worker) for every task in 0 ... tasks - 1 over `threads`
// workers (worker indices < threads; the calling thread is worker 0). Tasks
// are handed out in order as workers free up. The first exception of any
// worker stops the hand-out and is rethrown once every worker has stopped.
// Where the system gives no more threads, the workers started share the tasks.
// The workers work under the caller's StopScope (stop.hpp): once it stops, no
// task is handed out any more and Interrupted is thrown (unless another
// error came first); the calling thread polls it while it waits for the rest.
void run_tasks(std::size_t tasks, unsigned threads, const std::function<void(std::size_t, unsigned)>& work);

}  // namespace quarnet::parallel

// Parallel work over an (N, C, H, W) batch: bands of rows of one plane,
// shared out to a few worker threads.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <vector>

#include "quarnet/parallel/run_tasks.hpp"
#include "quarnet/ssim/fused_ssim.hpp"

namespace quarnet::ssim::detail {

// Throws ArgumentError unless `shape` has no negative size and equals `first`.
void check_shape(const std::array<std::ptrdiff_t, 4>& first, const std::array<std::ptrdiff_t, 4>& shape,
                 const char* what);

// Rows [r0, r1) of plane (n, c): the unit of parallel work.
struct Band {
  std::ptrdiff_t n, c, r0, r1;
};

struct WorkPlan {
  std::vector<Band> bands;  // every row of every plane, each in one band
  unsigned threads = 1;     // workers, at most one per band
};

// Workers for `requested` (0: one per hardware thread, fewer for inputs too
// small to gain from threads), and enough bands to keep them busy.
WorkPlan plan_work(const std::array<std::ptrdiff_t, 4>& shape, unsigned requested);

// Plans the bands of `shape` and runs work(band, scratch) on each, every
// worker with its own Scratch(width, height), made before any work starts.
template <class Scratch, class Work>
void for_each_band(const std::array<std::ptrdiff_t, 4>& shape, unsigned threads, Work&& work) {
  const WorkPlan plan = plan_work(shape, threads);
  if (plan.bands.empty()) return;
  std::vector<std::unique_ptr<Scratch>> scratch;
  for (unsigned t = 0; t < plan.threads; ++t) scratch.push_back(std::make_unique<Scratch>(shape[3], shape[2]));
  parallel::run_tasks(plan.bands.size(), plan.threads,
            [&](std::size_t i, unsigned worker) { work(plan.bands[i], *scratch[worker]); });
}

}  // namespace quarnet::ssim::detail

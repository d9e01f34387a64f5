// Parallel work over an (N, C, H, W) batch: bands of rows of one plane,
// shared out to a few worker threads.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <vector>

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

// Runs work(band index, worker index) for every band over `threads` workers
// (worker indices < threads); the first exception of any worker is rethrown.
void run_bands(std::size_t bands, unsigned threads, const std::function<void(std::size_t, unsigned)>& work);

}  // namespace quarnet::ssim::detail

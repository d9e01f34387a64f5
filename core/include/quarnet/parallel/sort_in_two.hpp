// std::sort(first, last, less), its very permutation (ties included), on two
// threads. libstdc++'s introsort partitions the whole range once and then
// sorts the two parts with the same depth limit, each part's elements never
// leaving it (neither in the loop nor in the closing insertion sort, whose
// moves stop at the part's own smallest element); so the parts are sorted by
// the library's own steps, one on each thread. Without libstdc++, std::sort.
#pragma once

#include <algorithm>
#include <cstddef>

#include "quarnet/parallel/run_tasks.hpp"

namespace quarnet::parallel {

template <class It, class Less>
void sort_in_two(It first, It last, Less less) {
#if defined(__GLIBCXX__)
  constexpr std::ptrdiff_t kThreshold = 16;  // libstdc++'s _S_threshold
  if (last - first <= kThreshold) {
    std::sort(first, last, less);
    return;
  }
  const auto comp = __gnu_cxx::__ops::__iter_comp_iter(less);
  auto depth = std::__lg(last - first) * 2;
  --depth;  // the loop's first step, as std::__introsort_loop takes it
  const It cut = std::__unguarded_partition_pivot(first, last, comp);
  run_tasks(2, 2, [&](std::size_t part, unsigned) {
    const It from = part == 0 ? first : cut, to = part == 0 ? cut : last;
    std::__introsort_loop(from, to, depth, comp);
    std::__final_insertion_sort(from, to, comp);
  });
#else
  std::sort(first, last, less);
#endif
}

}  // namespace quarnet::parallel

// Large buffers kept for reuse while a run of similar steps goes on (the cut
// of one object after another from a shrinking mesh): fresh memory costs its
// page faults every time it is touched (a second or more per gigabyte on a
// loaded or virtual machine), and a run that allocates and frees the same
// sizes over and over pays that again and again.
//
//   - Blocks of kLargeBlock bytes and more come from take() and go back
//     through give(); smaller ones are the usual heap's (Allocator decides).
//   - While a ReuseScope is open, blocks given back are kept, and take()
//     hands out the kept block nearest in size, cut down to the size asked
//     for (its tail returned to the system) or grown to it (only the part
//     added is fresh memory). When the last scope closes, every kept block
//     is released. Without a scope, nothing is kept.
//   - Blocks are whole mappings, advised to use huge pages.
// Thread-safe; blocks may be given back on any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace quarnet::memory {

inline constexpr std::size_t kLargeBlock = std::size_t{4} << 20;

// A block of at least `bytes` bytes; std::bad_alloc where the system gives none.
void* take(std::size_t bytes);
// Gives back a block take() returned.
void give(void* block) noexcept;

// Bytes held in kept blocks (for tests and reports).
std::size_t kept_bytes() noexcept;

class ReuseScope {
 public:
  ReuseScope();
  ~ReuseScope();
  ReuseScope(const ReuseScope&) = delete;
  ReuseScope& operator=(const ReuseScope&) = delete;
};

// An allocator for containers whose buffers may be large: those of
// kLargeBlock bytes and more through take() and give().
template <class T>
struct Allocator {
  using value_type = T;
  Allocator() = default;
  template <class U>
  Allocator(const Allocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes >= kLargeBlock) return static_cast<T*>(take(bytes));
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes >= kLargeBlock) {
      give(p);
    } else {
      std::allocator<T>().deallocate(p, n);
    }
  }
  template <class U>
  bool operator==(const Allocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using Vector = std::vector<T, Allocator<T>>;

}  // namespace quarnet::memory

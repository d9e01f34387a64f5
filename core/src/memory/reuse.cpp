#include "quarnet/memory/reuse.hpp"

#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // mremap
#endif
#include <sys/mman.h>

#include <map>
#include <mutex>
#include <unordered_map>

namespace quarnet::memory {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

struct Blocks {
  std::mutex mutex;
  int scopes = 0;
  std::unordered_map<void*, std::size_t> size_of;  // every mapped block, by address
  std::multimap<std::size_t, void*> kept;          // kept blocks by size
  std::size_t kept_bytes = 0;

  void unmap(void* block) {
    const auto at = size_of.find(block);
    ::munmap(block, at->second);
    size_of.erase(at);
  }
  void release_kept() {
    for (const auto& [size, block] : kept) unmap(block);
    kept.clear();
    kept_bytes = 0;
  }
};

// Never destroyed: blocks may come back during the process's exit.
Blocks& blocks() {
  static Blocks* all = new Blocks;
  return *all;
}

}  // namespace

void* take(std::size_t bytes) {
  const std::size_t size = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  Blocks& b = blocks();
  std::lock_guard lock(b.mutex);
  if (!b.kept.empty()) {
    // The kept block nearest in size, cut down or grown to this one: its
    // pages are reused, only a grown part is fresh.
    auto fit = b.kept.lower_bound(size);
    if (fit == b.kept.end()) --fit;
    const auto [kept_size, kept_block] = *fit;
    b.kept.erase(fit);
    b.kept_bytes -= kept_size;
    b.size_of.erase(kept_block);
    void* block = kept_size == size ? kept_block : ::mremap(kept_block, kept_size, size, MREMAP_MAYMOVE);
    if (block == MAP_FAILED) {
      ::munmap(kept_block, kept_size);
    } else {
      b.size_of.emplace(block, size);
      return block;
    }
  }
  void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  ::madvise(block, size, MADV_HUGEPAGE);  // a hint: ignored where huge pages are off
  b.size_of.emplace(block, size);
  return block;
}

void give(void* block) noexcept {
  Blocks& b = blocks();
  std::lock_guard lock(b.mutex);
  if (b.scopes == 0) {
    b.unmap(block);
    return;
  }
  const std::size_t size = b.size_of.at(block);
  b.kept.emplace(size, block);
  b.kept_bytes += size;
}

std::size_t kept_bytes() noexcept {
  Blocks& b = blocks();
  std::lock_guard lock(b.mutex);
  return b.kept_bytes;
}

ReuseScope::ReuseScope() {
  Blocks& b = blocks();
  std::lock_guard lock(b.mutex);
  ++b.scopes;
}

ReuseScope::~ReuseScope() {
  Blocks& b = blocks();
  std::lock_guard lock(b.mutex);
  if (--b.scopes == 0) b.release_kept();
}

}  // namespace quarnet::memory

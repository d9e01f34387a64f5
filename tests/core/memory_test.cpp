#include <gtest/gtest.h>

#include "quarnet/memory/reuse.hpp"

namespace {

using namespace quarnet::memory;

constexpr std::size_t kMiB = std::size_t{1} << 20;

TEST(Reuse, BlocksComeBackWhileAScopeIsOpenAndLeaveWithIt) {
  void* first = take(64 * kMiB);
  give(first);
  EXPECT_EQ(kept_bytes(), 0u);  // no scope: returned to the system at once
  {
    ReuseScope scope;
    void* a = take(64 * kMiB);
    give(a);
    EXPECT_EQ(kept_bytes(), 64 * kMiB);
    EXPECT_EQ(take(60 * kMiB), a);  // fits, wasting under a quarter
    give(a);
    void* small = take(16 * kMiB);  // would waste too much: everything kept is released first
    EXPECT_NE(small, a);
    EXPECT_EQ(kept_bytes(), 0u);
    give(small);
    {
      ReuseScope inner;  // scopes nest: the outer one still keeps
    }
    EXPECT_EQ(kept_bytes(), 16 * kMiB);
    Vector<double> v(2 * kMiB);  // 16 MiB: a large vector's buffer is such a block
    EXPECT_EQ(static_cast<void*>(v.data()), small);
  }
  EXPECT_EQ(kept_bytes(), 0u);
}

}  // namespace

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
    auto* a = static_cast<char*>(take(64 * kMiB));
    a[0] = 7;
    give(a);
    EXPECT_EQ(kept_bytes(), 64 * kMiB);
    auto* b = static_cast<char*>(take(10 * kMiB));  // the kept block, cut down: its pages reused
    EXPECT_EQ(b, a);
    EXPECT_EQ(b[0], 7);
    EXPECT_EQ(kept_bytes(), 0u);
    give(b);
    EXPECT_EQ(kept_bytes(), 10 * kMiB);
    auto* c = static_cast<char*>(take(100 * kMiB));  // grown
    EXPECT_EQ(c[0], 7);
    c[100 * kMiB - 1] = 1;
    give(c);
    {
      ReuseScope inner;  // scopes nest: the outer one still keeps
    }
    EXPECT_EQ(kept_bytes(), 100 * kMiB);
    Vector<double> v(3 * kMiB);  // a large vector's buffer is such a block
    EXPECT_EQ(kept_bytes(), 0u);
  }
  EXPECT_EQ(kept_bytes(), 0u);
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "quarnet/mesh/nearest_object.hpp"
#include "quarnet/parallel/run_tasks.hpp"
#include "quarnet/parallel/stop.hpp"

namespace {

using namespace std::chrono_literals;
using quarnet::parallel::Interrupted;
using quarnet::parallel::StopScope;

// Tasks that each check for a stop as they go, as the core's long loops do.
std::size_t tasks_run(unsigned threads, std::size_t tasks = 100) {
  std::atomic<std::size_t> run{0};
  quarnet::parallel::run_tasks(tasks, threads, [&](std::size_t, unsigned) {
    for (int k = 0; k < 40; ++k) {
      quarnet::parallel::check_stop();
      std::this_thread::sleep_for(50us);
    }
    ++run;
  });
  return run;
}

TEST(Stop, APollThatAsksToStopEndsTheWorkOnEveryThread) {
  for (const unsigned threads : {1u, 3u}) {
    EXPECT_EQ(tasks_run(threads), 100u);  // no scope: everything runs
    {
      StopScope never([] { return false; }, 1ms);
      EXPECT_EQ(tasks_run(threads), 100u);
    }
    int polls = 0;
    StopScope scope([&] { return ++polls == 3; }, 1ms);  // the third poll asks to stop
    EXPECT_THROW(tasks_run(threads), Interrupted);
    EXPECT_EQ(polls, 3);  // polled on this thread only, never again once stopping
    EXPECT_TRUE(scope.stopped());
    EXPECT_THROW(quarnet::parallel::check_stop(), Interrupted);
  }
  EXPECT_NO_THROW(quarnet::parallel::check_stop());  // the scope is closed
}

TEST(Stop, TheDenseAssignmentStopsFaceByFace) {
  // Every face near every point: minutes of work without a stop.
  std::vector<double> vertices, points;
  std::vector<std::int64_t> faces;
  for (int k = 0; k < 20000; ++k) {
    const double x = k * 1e-4;
    vertices.insert(vertices.end(), {x, 0, 0, x, 1e-4, 0, x, 0, 1e-4});
    faces.insert(faces.end(), {3 * k, 3 * k + 1, 3 * k + 2});
  }
  for (int k = 0; k < 100000; ++k) points.insert(points.end(), {k * 2e-5, 0.5, 0.5});
  const std::vector<std::int32_t> objects(points.size() / 3, 0);
  const quarnet::mesh::IndexedMesh mesh{vertices, faces};
  const auto start = std::chrono::steady_clock::now();
  StopScope scope([&] { return std::chrono::steady_clock::now() - start > 50ms; }, 5ms);
  EXPECT_THROW(quarnet::mesh::nearest_objects(mesh, points, objects, 10.0, 2), Interrupted);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

}  // namespace

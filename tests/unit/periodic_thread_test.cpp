// The low-rate writers' thread: a run at once, one per period or when woken,
// and a stop that can be followed by a new start.
#include "periodic_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

#include "test_env.h"

namespace {

using Ms = std::chrono::milliseconds;

bool threadNamed(const std::string& name) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string n;
    if (std::getline(comm, n) && n == name) return true;
  }
  return false;
}

TEST(PeriodicThread, RunsAtOnceWhenWokenAndAgainAfterAStop) {
  PeriodicThread t;
  std::atomic<int> runs{0};
  const Ms hour(3600 * 1000);
  ASSERT_TRUE(t.start("umx_test_tick", hour, [&] { ++runs; }));
  EXPECT_TRUE(vt::waitUntil([&] { return runs == 1; }, Ms(5000))) << "the first run is at once";
  EXPECT_TRUE(threadNamed("umx_test_tick"));
  EXPECT_FALSE(t.start("umx_other", hour, [&] { runs += 100; })) << "runs already";
  t.wake();
  EXPECT_TRUE(vt::waitUntil([&] { return runs == 2; }, Ms(5000))) << "woken before its hour";
  t.stop();
  EXPECT_FALSE(t.running());
  EXPECT_FALSE(threadNamed("umx_test_tick"));
  t.stop();  // twice is harmless

  // Started again after a stop, with a short period this time.
  ASSERT_TRUE(t.start("umx_test_again", Ms(10), [&] { ++runs; }));
  EXPECT_TRUE(vt::waitUntil([&] { return runs >= 6; }, Ms(5000)));
  t.stop();
  EXPECT_FALSE(threadNamed("umx_test_again"));
}

}  // namespace

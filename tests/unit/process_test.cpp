// The tests' own process handling: a child that leaves children of its own
// behind (nsenter's command in a container, a shell's background job) must
// not keep a test waiting when it is given up on.
#include "process.h"

#include <gtest/gtest.h>

#include <chrono>

TEST(TestProcess, GivenUpOnItEndsWithEverythingItStarted) {
  const auto t0 = std::chrono::steady_clock::now();
  {
    // The grandchild holds the output pipes; the child waits for it.
    vt::Process p({"sh", "-c", "sleep 300 & echo started; wait"});
    ASSERT_TRUE(p.waitFor("started", vt::Ms(5000)));
    EXPECT_FALSE(p.waitExit(vt::Ms(200)));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

// The line lock on real files: exclusive between opens (in one process as
// between processes), named holder, released with its descriptor, and taken
// anew on a device node that was replaced under the same name.
#include "serial_lock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "test_env.h"

TEST(SerialLock, OneHolderNamedToTheOthersAndTakenAnewOnAReplacedDevice) {
  vt::TempDir tmp("vemo-lock");
  const std::string dev = tmp / "ttyUSB0";
  vt::writeFile(dev, "");

  SerialLock first, second;
  std::string holder;
  ASSERT_EQ(first.acquire(dev, &holder), 0);
  EXPECT_TRUE(first.held());
  EXPECT_EQ(second.acquire(dev, &holder), EWOULDBLOCK);
  EXPECT_FALSE(second.held());
  std::string comm;
  std::getline(std::ifstream("/proc/self/comm"), comm);
  EXPECT_EQ(holder, "process " + std::to_string(getpid()) + " (" + comm + ")");

  first.release();
  ASSERT_EQ(second.acquire(dev, &holder), 0);

  // The adapter re-plugged: a new node under the old name is free, the lock
  // on the vanished one no longer counts.
  ASSERT_EQ(std::rename(dev.c_str(), (tmp / "gone").c_str()), 0);
  vt::writeFile(dev, "");
  EXPECT_EQ(first.acquire(dev, &holder), 0);
  second.release();

  EXPECT_EQ(second.acquire(tmp / "missing", &holder), ENOENT);
  EXPECT_FALSE(second.held());
}

// The bridge keeps its line across every reopen: acquiring the node it holds
// keeps the lock (no moment in which another open could take it), and a
// node that replaced it is locked before the old lock goes, or not at all.
TEST(SerialLock, KeptAcrossReopensAndLostToTheBridgeThatLockedTheNewNode) {
  vt::TempDir tmp("vemo-lock");
  const std::string dev = tmp / "ttyUSB0";
  vt::writeFile(dev, "");
  SerialLock bridge, other;
  std::string holder;
  ASSERT_EQ(bridge.acquire(dev, &holder), 0);
  for (int reopen = 0; reopen < 3; ++reopen) {
    ASSERT_EQ(bridge.acquire(dev, &holder), 0);
    EXPECT_EQ(other.acquire(dev, &holder), EWOULDBLOCK) << reopen;
  }

  // Replaced, and the new node already someone else's: the line is the
  // other's now, and the lock on the node that went is let go.
  ASSERT_EQ(std::rename(dev.c_str(), (tmp / "old").c_str()), 0);
  vt::writeFile(dev, "");
  ASSERT_EQ(other.acquire(dev, &holder), 0);
  EXPECT_EQ(bridge.acquire(dev, &holder), EWOULDBLOCK);
  EXPECT_FALSE(bridge.held()) << "a lock on a node that went masters nothing";
  SerialLock third;
  EXPECT_EQ(third.acquire(tmp / "old", &holder), 0);

  // Free again: the bridge takes the new node.
  other.release();
  EXPECT_EQ(bridge.acquire(dev, &holder), 0);
  EXPECT_EQ(third.acquire(tmp / "old", &holder), 0);
  EXPECT_EQ(other.acquire(dev, &holder), EWOULDBLOCK);
}

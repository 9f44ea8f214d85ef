// The scheduler built, run and destroyed inside the test process, against the
// simulated controller and gateway: the orderly stop that tests and embedders
// rely on must end both threads, even while init still waits for the robot.
#include "schedule.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <thread>

#include "cell.h"

using vt::Cell;
using vt::Ms;

namespace {

long statsCount(Cell& cell, const std::string& key) { return cell.gwRequests(key); }

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

Cell::Options inProcess() {
  Cell::Options o;
  o.start_umx = false;
  return o;
}

}  // namespace

TEST(ScheduleInProcess, RunsAndStopsRepeatedlyWithoutStrayRequests) {
  Cell cell(inProcess());
  cell.start();
  setenv("UMX_WS", cell.workspace().c_str(), 1);
  cell.robotCmd("set joint_positions 1 1 1 1 1 1");

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    Schedule schedule;
    schedule.init(cell.workspace(), "./config/vemo_umx.conf");
    ASSERT_TRUE(schedule.initCompleted());
    schedule.start();
    // Joint 0 = 1.0f in the default byte order.
    EXPECT_TRUE(cell.waitGateway("hr", 44, {0x803F, 0}, Ms(10000)));
    EXPECT_TRUE(vt::waitUntil([&] { return schedule.heartbeatWord() >= 1; }, Ms(5000)));

    schedule.start();  // a second start creates no thread
    const long writes = statsCount(cell, "fc16");
    ASSERT_TRUE(vt::waitUntil([&] { return statsCount(cell, "fc16") >= writes + 2; }, Ms(10000)));
    schedule.stop();
    // Both threads are joined: nothing may reach the gateway any more.
    const long total = statsCount(cell, "total");
    EXPECT_EQ(statsCount(cell, "total"), total);
    schedule.stop();  // idempotent
    cell.gwSet("hr", 44, {0, 0});
  }

  // The logger writes asynchronously: wait for the last round's lines.
  std::string log;
  EXPECT_TRUE(vt::waitUntil(
      [&] {
        log = vt::readFile(cell.logFile());
        return occurrences(log, "heartbeatThreadLoop create failed ") >= 3;
      },
      Ms(5000)));
  EXPECT_EQ(occurrences(log, "heartbeatThreadLoop create failed "), 3u);
  EXPECT_EQ(occurrences(log, "scheduledThreadLoop create failed "), 3u);
  EXPECT_EQ(occurrences(log, "VEMO-UMX is Running"), 3u);
}

TEST(ScheduleInProcess, StopEndsAnInitWaitingForTheController) {
  Cell::Options o = inProcess();
  o.start_robot = false;
  Cell cell(o);
  cell.start();
  setenv("UMX_WS", cell.workspace().c_str(), 1);

  Schedule schedule;
  std::thread init([&] { schedule.init(cell.workspace(), "./config/vemo_umx.conf"); });
  EXPECT_TRUE(vt::waitUntil(
      [&] {
        return vt::readFile(cell.logFile()).find("RPC Client Connect Failed!") != std::string::npos;
      },
      Ms(10000)));
  schedule.stop();
  init.join();  // the retry pause ends at once
  EXPECT_FALSE(schedule.initCompleted());
  EXPECT_EQ(statsCount(cell, "total"), 0);
}

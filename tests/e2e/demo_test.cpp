// The README's first command: scripts/demo brings the simulated cell up, its
// live PLC view shows the bridge at work and drives the robot, and Ctrl-C
// leaves nothing running.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <regex>

#include "test_env.h"

using vt::Ms;

namespace {

// The latest value of `pattern`'s first group in the view's frames, from `from` on.
long latest(vt::Process& demo, const std::regex& pattern, size_t from = 0) {
  long value = -1;
  for (auto& line : demo.linesFrom(from)) {
    std::smatch m;
    if (std::regex_search(line, m, pattern)) value = std::stol(m[1].str());
  }
  return value;
}

bool waitValue(vt::Process& demo, const std::regex& pattern, long wanted, Ms timeout) {
  return vt::waitUntil([&] { return latest(demo, pattern) == wanted; }, timeout, Ms(100));
}

std::string latestLine(vt::Process& demo, const std::string& prefix) {
  std::string found;
  for (auto& line : demo.lines())
    if (line.rfind(prefix, 0) == 0) found = line;
  return found;
}

}  // namespace

TEST(Demo, CellComesUpIsDrivenFromTheViewAndStopsOnCtrlC) {
  vt::TempDir tmp("vemo-demo");
  const std::string dir = tmp / "cell";
  const std::string build =
      std::string(VEMO_BIN_DIR).substr(0, std::string(VEMO_BIN_DIR).rfind('/'));
  vt::ProcessOptions opt;
  opt.env = {{"VEMO_BUILD_DIR", build}};
  vt::Process demo({vt::sourceDir() + "/scripts/demo", "--no-build", "--dir", dir}, opt);
  ASSERT_TRUE(demo.waitFor("demo: cell up in " + dir, Ms(30000))) << demo.allText(vt::Stream::Err);

  // The heartbeat advances in the view: the service writes the gateway.
  const std::regex heartbeat(R"(^heartbeat (\d+) )");
  ASSERT_TRUE(vt::waitUntil([&] { return latest(demo, heartbeat) >= 1; }, Ms(15000)))
      << demo.allText();
  const long first = latest(demo, heartbeat);
  EXPECT_TRUE(vt::waitUntil([&] { return latest(demo, heartbeat) > first; }, Ms(10000)));

  // Power on, brake release and run, typed at the view as a PLC would.
  const std::regex mode(R"(^robot mode (\d+) )");
  const std::regex running(R"( running (\d) stopped)");
  EXPECT_TRUE(waitValue(demo, mode, 3, Ms(10000))) << "powered off at start";
  demo.send("poweron");
  EXPECT_TRUE(demo.waitFor("done cmd 2", Ms(10000))) << demo.allText();
  EXPECT_TRUE(waitValue(demo, mode, 5, Ms(15000))) << latestLine(demo, "robot mode");
  demo.send("release");
  EXPECT_TRUE(waitValue(demo, mode, 8, Ms(15000))) << latestLine(demo, "robot mode");
  demo.send("run");
  EXPECT_TRUE(waitValue(demo, running, 1, Ms(15000))) << latestLine(demo, "heartbeat");

  // Once the program runs the joints move from frame to frame.
  const std::string joints = latestLine(demo, "joints");
  EXPECT_TRUE(vt::waitUntil([&] { return latestLine(demo, "joints") != joints; }, Ms(10000)));

  // Ctrl-C ends the whole cell.
  std::vector<pid_t> pids;
  {
    std::ifstream in(dir + "/pids");
    for (pid_t p; in >> p;) pids.push_back(p);
  }
  ASSERT_EQ(pids.size(), 4u) << "socat, the two simulators and the service";
  demo.signal(SIGINT);
  int status = 0;
  ASSERT_TRUE(demo.waitExit(Ms(15000), &status));
  for (pid_t p : pids) EXPECT_NE(::kill(p, 0), 0) << p << " still running";
  EXPECT_TRUE(vt::fileExists(dir + "/ws/log/umx/vemo_umx.log")) << "a given --dir is kept";
}

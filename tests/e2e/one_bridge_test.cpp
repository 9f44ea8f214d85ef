// One bridge per serial line: a second service started on the same line
// (by hand beside the systemd unit, two units left enabled) must neither
// master the gateway nor run the PLC's commands a second time; it takes the
// line over when the first one is gone.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>

#include "cell.h"

using vt::Cell;
using vt::Ms;
using vt::swap16;

namespace {

constexpr int kBlock = 40;

std::map<std::string, std::string> commanding() {
  return {{"controlRobot", "1"}, {"pnRegisterNumber", std::to_string(kBlock)}};
}

}  // namespace

TEST(OneBridge, SecondServiceOnTheSameLineWaitsAndTakesOverWhenTheFirstIsGone) {
  Cell::Options o;
  o.config = commanding();
  Cell cell(o);
  cell.start();
  ASSERT_TRUE(cell.waitCycles(2));

  // The second service: its own workspace, the same serial line and controller.
  vt::TempDir tmp("vemo-second");
  const std::string ws = tmp.path() + "/ws/";
  auto config = commanding();
  config["portName"] = "\"" + cell.line().a() + "\"";
  std::filesystem::create_directories(ws + "config");
  vt::writeFile(ws + "config/vemo_umx.conf", vt::configText(config));
  vt::ProcessOptions opt;
  opt.cwd = tmp.path();
  vt::Process second({vt::bin("vemo_umx"), "--workspace", ws}, opt);
  ASSERT_TRUE(second.waitFor("VEMO-UMX is Running", Ms(20000))) << second.allText();
  const std::string in_use = "serial device " + cell.line().a() + " is in use by process " +
                             std::to_string(cell.umx().pid()) + " (vemo_umx)";
  EXPECT_TRUE(second.waitFor(in_use, Ms(5000))) << second.allText();
  EXPECT_EQ(second.countContaining("Modbus ConnectRtu Succeed"), 0u);

  // The PLC powers the robot on: once, from the first service only.
  cell.gwSet("ir", kBlock, {0});
  ASSERT_TRUE(cell.waitCycles(2));
  cell.gwSet("ir", kBlock, {swap16(2)});
  ASSERT_TRUE(cell.waitCall("call poweron", Ms(10000)));
  ASSERT_TRUE(cell.waitCycles(4));
  EXPECT_EQ(cell.robot().countContaining("call poweron"), 1u);
  EXPECT_EQ(second.countContaining("Modbus ConnectRtu Succeed"), 0u);
  EXPECT_EQ(second.countContaining("机械臂正在上电"), 0u);

  // The first one dies: the second takes the line within a few seconds, and
  // the PLC sees the heartbeat move again.
  cell.umx().signal(SIGKILL);
  ASSERT_TRUE(cell.umx().waitExit(Ms(5000)));
  ASSERT_TRUE(second.waitFor("Modbus ConnectRtu Succeed", Ms(5000))) << second.allText();
  EXPECT_TRUE(second.waitFor("modbus requests succeed again after ", Ms(5000)));
  const long before = cell.gwGet("hr", 57, 1).at(0);
  EXPECT_TRUE(cell.waitGatewayWhere(
      "hr", 57, 1, [&](const std::vector<long>& v) { return v[0] != before; }, Ms(10000)));
  // The code still held is not run again by the new master: its latch
  // starts closed.
  ASSERT_TRUE(cell.waitCycles(3));
  EXPECT_EQ(cell.robot().countContaining("call poweron"), 1u);
}

// One bridge per serial line: a second service started on the same line
// (by hand beside the systemd unit, two units left enabled) must neither
// master the gateway nor run the PLC's commands a second time; it takes the
// line over when the first one is gone.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

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
  auto second_service = cell.startAnotherService(tmp.path(), commanding());
  vt::Process& second = *second_service;
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

namespace {

// The controller calls that change something, as the simulator counts them
// ("stats"): RPC writes and commands, and the real-time output topic (a
// subscription only reads).
long changingCalls(Cell& cell) {
  const std::string stats = cell.robot().query("stats", "stats");
  long total = 0;
  for (const char* m :
       {"setBoolInput=", "setBoolOutput=", "setInt32Input=", "setInt32Output=", "setInt16Register=",
        "setStandardDigitalOutput=", "setToolDigitalOutput=", "setSpeedFraction=", "textmsg=",
        "poweron=", "startup=", "runProgram=", "rtde:publish="}) {
    const size_t at = stats.find(std::string(" ") + m);
    if (at != std::string::npos) total += std::stol(stats.substr(at + 1 + std::strlen(m)));
  }
  return total;
}

}  // namespace

// A second bridge started beside a running cell writes nothing to the
// controller: the robot keeps the values the PLC holds.
TEST(OneBridge, ASecondServiceLeavesTheControllerAlone) {
  Cell::Options o;
  o.config = {{"controlRobot", "0"}};  // no speed written every cycle
  Cell cell(o);
  cell.start();
  ASSERT_TRUE(cell.waitCycles(2));
  // The PLC holds inputs and registers; the robot gets them.
  cell.gwSet("di", 0, {1, 0, 1, 1});
  cell.gwSet("ir", 0, {swap16(258), swap16(7)});
  ASSERT_TRUE(cell.waitCall("call setBoolInput 3 1", Ms(10000)));
  ASSERT_TRUE(cell.waitCall("call setInt16Register 1 7", Ms(10000)));
  ASSERT_TRUE(cell.waitCycles(2));
  const long before = changingCalls(cell);
  const size_t from = cell.robot().lineCount();

  vt::TempDir tmp("vemo-second");
  auto second = cell.startAnotherService(tmp.path(), {{"controlRobot", "0"}});
  ASSERT_TRUE(second->waitFor("VEMO-UMX is Running", Ms(20000))) << second->allText();
  EXPECT_TRUE(
      second->waitFor("is not mastered by this bridge: nothing is written to the robot "
                      "controller until it is",
                      Ms(1000)));
  // Several seconds beside the first: not one changing call from it.
  EXPECT_TRUE(second->waitFor("only one bridge may master a line", Ms(5000)));
  ASSERT_TRUE(cell.waitCycles(10));
  EXPECT_EQ(changingCalls(cell), before) << cell.robot().query("stats", "stats");
  // Its log-in (to read) is all the controller hears of it.
  for (size_t i = from; i < cell.robot().lineCount(); ++i) {
    const std::string& l = cell.robot().line(i);
    if (l.rfind("call login ", 0) != 0) {
      EXPECT_NE(l.rfind("call ", 0), 0u) << l;
    }
  }
  EXPECT_TRUE(second->running());
}

// Two bridges on one line while the gateway goes silent now and then: the
// first keeps the line through every reopen, so exactly one bridge ever
// masters it, and each 0-then-code runs exactly once in all.
TEST(OneBridge, AFailingGatewayNeverHandsTheLineToTheOtherBridge) {
  Cell::Options o;
  o.config = commanding();
  Cell cell(o);
  cell.start();
  ASSERT_TRUE(cell.waitCycles(2));
  vt::TempDir tmp("vemo-second");
  auto second = cell.startAnotherService(tmp.path(), commanding());
  ASSERT_TRUE(second->waitFor("only one bridge may master a line", Ms(20000))) << second->allText();

  const struct {
    long word;
    const char* call;
  } codes[] = {{2, "call poweron"}, {3, "call startup"}, {5, "call runProgram"}};
  for (const auto& c : codes) {
    SCOPED_TRACE(c.call);
    cell.gwSet("ir", kBlock, {0});
    ASSERT_TRUE(cell.waitCycles(2));
    cell.gwSet("ir", kBlock, {swap16(c.word)});
    ASSERT_TRUE(cell.waitCall(c.call, Ms(10000)));
    // Silent for a few seconds: every request fails its four tries and the
    // first bridge closes and reopens the line, again and again.
    const size_t closed_from = cell.umx().lineCount();
    cell.gateway().query("mute on");
    ASSERT_TRUE(cell.umx().waitFor("Modbus  Closed", Ms(15000), closed_from));
    ASSERT_TRUE(cell.umx().waitFor("modbus is blocking ", Ms(15000), closed_from));
    cell.gateway().query("mute off");
    ASSERT_TRUE(cell.umx().waitFor("modbus requests succeed again after ", Ms(15000), closed_from));
    ASSERT_TRUE(cell.waitCycles(3));
    EXPECT_EQ(cell.robot().countContaining(c.call), 1u);
  }
  EXPECT_EQ(second->countContaining("Modbus ConnectRtu Succeed"), 0u) << second->allText();
  EXPECT_EQ(second->countContaining("机械臂正在上电"), 0u);
  EXPECT_EQ(second->countContaining("Run program"), 0u);
}

// The adapter is re-plugged while a second bridge waits, and the second
// locks the new device node first: the first lets the line go and writes
// nothing more to the controller, and the second, taking over, owes the
// controller everything the PLC holds (values the PLC set to 0 meanwhile too).
TEST(OneBridge, ARePluggedLineTakenByTheWaitingBridgeLeavesOneWriter) {
  Cell::Options o;
  o.config = commanding();
  Cell cell(o);
  cell.start();
  cell.gwSet("ir", 0, {swap16(258)});
  cell.gwSet("ir", kBlock, {0, 0, swap16(0x0001), 0});  // tool output 0 on
  ASSERT_TRUE(cell.waitCall("call setInt16Register 0 258", Ms(10000)));
  ASSERT_TRUE(cell.waitCall("call setToolDigitalOutput 0 1", Ms(10000)));
  vt::TempDir tmp("vemo-second");
  auto second = cell.startAnotherService(tmp.path(), commanding());
  ASSERT_TRUE(second->waitFor("only one bridge may master a line", Ms(20000))) << second->allText();

  // The first bridge is held while the adapter is re-plugged and the PLC
  // drops both values to 0; the second one locks the new node.
  const size_t from = cell.robot().lineCount();
  cell.umx().signal(SIGSTOP);
  cell.line().down();
  cell.gwSet("ir", 0, {0});
  cell.gwSet("ir", kBlock + 2, {0});
  cell.line().upAgain();
  ASSERT_TRUE(
      second->waitFor("is mastered now: the robot controller is set up as at start", Ms(15000)))
      << second->allText();
  cell.umx().signal(SIGCONT);
  EXPECT_TRUE(cell.waitCall("call setInt16Register 0 0", Ms(10000), from));
  EXPECT_TRUE(cell.waitCall("call setToolDigitalOutput 0 0", Ms(10000), from));
  EXPECT_TRUE(
      cell.umx().waitFor("is mastered by another bridge now: nothing is written to the "
                         "robot controller until this bridge masters it again",
                         Ms(15000)))
      << cell.umx().allText();

  // A new controller: only the master sends it what the PLC holds; the
  // first bridge's old values never reach it.
  cell.restartRobot();
  EXPECT_TRUE(cell.waitCall("call setInt16Register 0 0", Ms(10000)));
  ASSERT_TRUE(cell.waitCycles(4));
  EXPECT_EQ(cell.robot().countContaining("call setInt16Register 0 258"), 0u);
  EXPECT_EQ(cell.robot().countContaining("call setToolDigitalOutput 0 1"), 0u);
  EXPECT_EQ(cell.umx().countContaining("is mastered by another bridge now"), 1u);
}

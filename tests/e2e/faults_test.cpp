// Faults on purpose, in the whole cell: the service must not crash or hang,
// must say what happened, must resume the full cycle by itself within a
// bound, must let the heartbeat register tell the PLC the truth, and must
// never run a PLC command twice.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "cell.h"

using vt::Cell;
using vt::Ms;
using vt::swap16;
using Clock = std::chrono::steady_clock;

namespace {

// A cycle takes about 0.2 s; reconnecting the line or the controller adds at
// most one failed request (4 x 1 s) and one reconnect backoff.
const Ms kResume(8000);
const Ms kWait(10000);

std::vector<long> joint0(float x) {
  uint32_t u;
  std::memcpy(&u, &x, 4);
  return {swap16(u >> 16), swap16(u & 0xFFFF)};
}

long heartbeat(Cell& cell) {
  auto v = cell.gwGet("hr", 57, 1);
  return v.empty() ? -1 : v[0];
}

// The heartbeat register moves on at least twice within the deadline.
bool heartbeatAdvances(Cell& cell, Ms timeout) {
  const long a = heartbeat(cell);
  long b = -1;
  return vt::waitUntil(
      [&] {
        const long now = heartbeat(cell);
        if (b < 0 && now != a) b = now;
        return b >= 0 && now != b;
      },
      timeout, Ms(50));
}

// Moves joint 0 in the simulator and waits for the gateway to carry it.
bool jointArrives(Cell& cell, float x, Ms timeout) {
  cell.robotCmd("set joint_positions " + std::to_string(x) + " 0 0 0 0 0");
  return cell.waitGateway("hr", 44, joint0(x), timeout);
}

long msSince(Clock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

}  // namespace

TEST(Faults, GatewayUnpluggedForTenSecondsThenPluggedBack) {
  Cell cell;
  cell.start();
  ASSERT_TRUE(jointArrives(cell, 1.0f, kWait));

  cell.line().down();
  const auto unplugged = Clock::now();
  // The link failing is reported, and so is the stall, for as long as it lasts.
  EXPECT_TRUE(cell.waitLog("modbus is blocking ", kWait));
  EXPECT_TRUE(vt::waitUntil([&] { return cell.logCount("modbus is blocking ") >= 2; }, kWait));
  EXPECT_GE(cell.umx().countContaining("libmodbus context uninitialized! "), 1u);
  EXPECT_TRUE(cell.umx().running());
  // While the line is away the gateway's heartbeat register stands still.
  const long frozen = heartbeat(cell);
  cell.robotCmd("set joint_positions 2 0 0 0 0 0");
  EXPECT_EQ(heartbeat(cell), frozen);
  EXPECT_GE(msSince(unplugged), 7000);

  cell.line().upAgain();
  const auto plugged = Clock::now();
  EXPECT_TRUE(cell.waitGateway("hr", 44, joint0(2.0f), kResume)) << "resumed by itself";
  const long resumed_ms = msSince(plugged);
  EXPECT_TRUE(heartbeatAdvances(cell, kWait));
  EXPECT_TRUE(cell.umx().running());
  std::printf("unplugged %ld ms; full cycle back %ld ms after replugging\n",
              msSince(unplugged) - msSince(plugged), resumed_ms);
}

TEST(Faults, GatewayAnsweringExceptionsThenHealthyAgain) {
  Cell cell;
  cell.start();
  ASSERT_TRUE(jointArrives(cell, 1.0f, kWait));

  cell.gateway().query("exception 4 on");
  EXPECT_TRUE(cell.waitLog("modbus_write_registers error", kWait));
  // Refused writes change nothing in the gateway: the heartbeat stands still.
  const long frozen = heartbeat(cell);
  const long writes = cell.gwRequests("fc16");
  ASSERT_TRUE(vt::waitUntil([&] { return cell.gwRequests("fc16") >= writes + 16; }, kWait));
  EXPECT_EQ(heartbeat(cell), frozen);
  EXPECT_TRUE(cell.umx().running());

  cell.gateway().query("exception 4 off");
  const auto healed = Clock::now();
  EXPECT_TRUE(jointArrives(cell, 2.0f, kResume));
  std::printf("full cycle back %ld ms after the exceptions stopped\n", msSince(healed));
  EXPECT_TRUE(heartbeatAdvances(cell, kWait));
}

TEST(Faults, DamagedAnswersAreRefusedAndNoCommandRunsTwice) {
  Cell::Options o;
  o.config = {{"controlRobot", "1"}, {"pnRegisterNumber", "40"}};
  Cell cell(o);
  cell.start();
  ASSERT_TRUE(jointArrives(cell, 1.0f, kWait));
  auto stops = [&] { return cell.robot().countContaining("call stop"); };
  cell.gwSet("ir", 40, {0});  // the latch armed before each outage
  ASSERT_TRUE(cell.waitCycles(2));

  float x = 2.0f;
  size_t runs = 0;
  for (const char* mode : {"crc", "unit", "garbage"}) {
    SCOPED_TRACE(mode);
    const size_t from = cell.umx().lineCount();
    EXPECT_EQ(cell.gwQuery(std::string("corrupt ") + mode), "ok");
    // Every answer comes back damaged: none is taken, each failure is
    // logged, and a stop written meanwhile waits for a sound answer.
    EXPECT_TRUE(cell.umx().waitFor("modbus_read_input_registers error", kWait, from));
    cell.gwSet("ir", 40, {swap16(8)});
    EXPECT_TRUE(
        cell.umx().waitFor("modbus_read_input_registers error", kWait, cell.umx().lineCount()));
    EXPECT_EQ(stops(), runs);
    EXPECT_TRUE(cell.umx().running());

    EXPECT_EQ(cell.gwQuery("corrupt off"), "ok");
    const auto healed = Clock::now();
    EXPECT_TRUE(jointArrives(cell, x, kResume)) << "resumed by itself";
    x += 1.0f;
    std::printf("%s: full cycle back %ld ms after the answers were sound again\n", mode,
                msSince(healed));
    // The stop runs once, from the first sound read, however long it is held.
    ASSERT_TRUE(cell.waitCycles(3));
    EXPECT_EQ(stops(), ++runs);
    cell.gwSet("ir", 40, {0});
    ASSERT_TRUE(cell.waitCycles(2));
  }
  EXPECT_EQ(stops(), 3u);
}

TEST(Faults, ControllerDroppedThenRestarted) {
  Cell cell;
  cell.start();
  ASSERT_TRUE(jointArrives(cell, 1.0f, kWait));

  // Both connections cut: the robot link reconnects by itself.
  cell.robotCmd("drop");
  auto t0 = Clock::now();
  EXPECT_TRUE(jointArrives(cell, 2.0f, kResume));
  std::printf("status flowing again %ld ms after the drop\n", msSince(t0));

  // A controller restart: a new process on the same ports, fresh state.
  cell.restartRobot();
  t0 = Clock::now();
  EXPECT_TRUE(jointArrives(cell, 3.0f, kResume));
  std::printf("status flowing again %ld ms after the restart\n", msSince(t0));
  EXPECT_TRUE(heartbeatAdvances(cell, kWait));
  EXPECT_TRUE(cell.umx().running());
}

TEST(Faults, StreamPausedForTenSecondsLeavesTheLastValues) {
  Cell cell;
  cell.start();
  ASSERT_TRUE(jointArrives(cell, 1.0f, kWait));

  cell.robotCmd("rtde pause");
  cell.robotCmd("set joint_positions 4 0 0 0 0 0");
  // About ten seconds of cycles without a status packet: the cycle goes on
  // with the values it has, and the heartbeat keeps telling the PLC it runs.
  ASSERT_TRUE(cell.waitCycles(45, Ms(20000)));
  EXPECT_EQ(cell.gwGet("hr", 44, 2), joint0(1.0f));
  EXPECT_EQ(cell.umx().countContaining("robot status stream stalled: no packet for "), 1u)
      << "said once, when it happened";
  EXPECT_TRUE(heartbeatAdvances(cell, kWait));

  cell.robotCmd("rtde resume");
  const auto t0 = Clock::now();
  EXPECT_TRUE(cell.waitGateway("hr", 44, joint0(4.0f), kResume));
  std::printf("status flowing again %ld ms after the stream resumed\n", msSince(t0));
  EXPECT_TRUE(cell.umx().waitFor("robot status stream is back after ", kWait));
}

TEST(Faults, CommandRefusedByTheControllerRunsOnce) {
  Cell::Options o;
  o.config = {{"controlRobot", "1"}, {"pnRegisterNumber", "40"}};
  Cell cell(o);
  cell.start();
  auto command = [&](long code) {
    cell.gwSet("ir", 40, {swap16(code)});
    ASSERT_TRUE(cell.waitCycles(2));
  };
  cell.robotCmd("fail runProgram 3");
  command(0);
  command(5);
  ASSERT_TRUE(cell.waitCycles(5));
  EXPECT_EQ(cell.robot().countContaining("call runProgram"), 1u);
  EXPECT_EQ(cell.logCount("Run program"), 1u);
  EXPECT_EQ(cell.robot().countContaining("action: runProgram"), 0u)
      << "no trace message for a refused command";

  cell.robotCmd("fail runProgram 0");
  command(5);  // still held: nothing
  EXPECT_EQ(cell.robot().countContaining("call runProgram"), 1u);
  command(0);
  command(5);
  EXPECT_EQ(cell.robot().countContaining("call runProgram"), 2u);
  EXPECT_TRUE(cell.waitCall(
      "call textmsg umx signal: HoldingRegister addr: 0 value: 5 action: runProgram", kWait));
  EXPECT_EQ(cell.logCount("Run program"), 2u);
}

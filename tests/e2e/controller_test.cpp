// The robot controller going away and coming back, as the PLC sees it: while
// it is gone the gateway says so (robot mode 0, no program state); once it is
// back it gets again everything the PLC holds, and no command runs by that.
#include <gtest/gtest.h>
#include <signal.h>

#include "cell.h"

using vt::Cell;
using vt::Ms;
using vt::swap16;

namespace {

constexpr int kBlock = 40;
constexpr int kModeRegister = 60;    // robot mode, default layout
constexpr int kSafetyRegister = 61;  // safety mode
constexpr int kProgramCoils = 82;    // running, stopped, paused

// Each sent only when it changes (the speed, sent every cycle, would prove
// nothing about a re-send).
const char* const kHeld[] = {"call setBoolInput 5 1", "call setInt16Register 0 258",
                             "call setToolDigitalOutput 0 1", "call setStandardDigitalOutput 0 1"};
const char* const kCommands[] = {"call poweron", "call startup", "call runProgram",
                                 "call pause",   "call resume",  "call stop"};

Cell::Options commanding() {
  Cell::Options o;
  o.config = {{"controlRobot", "1"}, {"pnRegisterNumber", std::to_string(kBlock)}};
  return o;
}

// The PLC holds discrete input 5, input register 0 at 258, tool output 0,
// standard output 0 and speed 50 %, with the command word at 0; the
// controller has received them.
void plcHoldsValues(Cell& cell) {
  cell.gwSet("di", 5, {1});
  cell.gwSet("ir", 0, {swap16(258)});
  cell.gwSet("ir", kBlock, {0, swap16(50), swap16(0x0101), 0});
  for (const char* call : kHeld) ASSERT_TRUE(cell.waitCall(call, Ms(10000))) << call;
}

// Every held value reaches the controller again from line `from` on, and no command.
void valuesSentAgain(Cell& cell, size_t from) {
  for (const char* call : kHeld) EXPECT_TRUE(cell.waitCall(call, Ms(10000), from)) << call;
  ASSERT_TRUE(cell.waitCycles(3));
  for (const char* command : kCommands)
    for (auto& l : cell.robot().linesFrom(from)) EXPECT_NE(l.rfind(command, 0), 0u) << l;
}

long modeOnGateway(Cell& cell) {
  auto v = cell.gwGet("hr", kModeRegister, 1);
  return v.empty() ? -1 : swap16(v[0]);
}

bool heartbeatAdvances(Cell& cell) {
  const auto first = cell.gwGet("hr", 57, 1);
  return !first.empty() &&
         cell.waitGatewayWhere(
             "hr", 57, 1, [&](const std::vector<long>& v) { return v != first; }, Ms(8000));
}

// A running robot: mode 8, program running.
void robotRuns(Cell& cell) {
  cell.robotCmd("set robot_mode 8");
  cell.robotCmd("set runtime_state 0");
  ASSERT_TRUE(cell.waitGateway("co", kProgramCoils, {1, 0, 0}, Ms(10000)));
  ASSERT_TRUE(cell.waitGateway("hr", kModeRegister, {swap16(8)}, Ms(5000)));
  ASSERT_TRUE(cell.waitGateway("hr", kSafetyRegister, {swap16(1)}, Ms(5000)));  // normal
}

// Within two seconds of the controller going silent: mode 0, no program state.
void gatewaySaysControllerGone(Cell& cell) {
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(cell.waitGateway("hr", kModeRegister, {0}, Ms(2000)))
      << "robot mode " << modeOnGateway(cell);
  EXPECT_TRUE(cell.waitGateway("co", kProgramCoils, {0, 0, 0}, Ms(500)));
  // Nothing is known of the safety state either: 0, never the last "normal".
  EXPECT_TRUE(cell.waitGateway("hr", kSafetyRegister, {0}, Ms(500)));
  std::printf("robot mode 0 on the gateway %lld ms after the controller went silent\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
  EXPECT_TRUE(cell.waitLog("机械臂当前状态，没有连接到机械臂本体", Ms(2000)));
  EXPECT_TRUE(heartbeatAdvances(cell)) << "the bridge itself is alive";
}

}  // namespace

TEST(ControllerRestart, NewControllerGetsEverythingThePlcHoldsAndNoCommandRuns) {
  Cell cell(commanding());
  cell.start();
  plcHoldsValues(cell);

  cell.restartRobot();  // a new controller process on the same ports, knowing nothing
  valuesSentAgain(cell, 0);
  EXPECT_TRUE(cell.waitLog(
      "robot controller link re-established: every value the PLC holds is sent again", Ms(1000)));
}

TEST(ControllerRestart, DroppedConnectionGetsThePlcValuesAgain) {
  Cell cell(commanding());
  cell.start();
  plcHoldsValues(cell);

  const size_t from = cell.robot().lineCount();
  ASSERT_EQ(cell.robotCmd("drop"), "ok drop");
  valuesSentAgain(cell, from);
}

TEST(ControllerGone, StalledStreamReadsModeZeroUntilItFlowsAgain) {
  Cell cell;
  cell.start();
  robotRuns(cell);

  const size_t before = cell.umx().lineCount();
  cell.robotCmd("rtde pause");
  gatewaySaysControllerGone(cell);
  ASSERT_TRUE(cell.waitCycles(5));
  size_t said = 0;
  for (auto& l : cell.umx().linesFrom(before))
    said += l.find("机械臂当前状态，没有连接到机械臂本体") != std::string::npos;
  EXPECT_EQ(said, 1u) << "mode 0 said once";

  const size_t back = cell.umx().lineCount();
  cell.robotCmd("rtde resume");
  EXPECT_TRUE(cell.waitGateway("hr", kModeRegister, {swap16(8)}, Ms(3000)));
  EXPECT_TRUE(cell.waitGateway("co", kProgramCoils, {1, 0, 0}, Ms(1000)));
  EXPECT_TRUE(cell.waitLog("机械臂当前状态，松刹车成功，运行模式", Ms(2000), back));
}

TEST(ControllerGone, KilledControllerReadsModeZeroUntilANewOneRuns) {
  Cell cell;
  cell.start();
  robotRuns(cell);

  cell.robot().signal(SIGKILL);
  ASSERT_TRUE(cell.robot().waitExit(Ms(5000)));
  gatewaySaysControllerGone(cell);

  const size_t back = cell.umx().lineCount();
  cell.startRobot();
  robotRuns(cell);
  EXPECT_TRUE(cell.waitLog("机械臂当前状态，松刹车成功，运行模式", Ms(2000), back));
}

// Writes the controller does not take (refused, or not answered in time)
// stay pending and reach it within a few cycles once it takes them; a
// controller that keeps refusing is logged in a few lines, not one a cycle.
TEST(ControllerRefuses, EveryValueThePlcHoldsReachesTheRobotInTheEnd) {
  Cell cell(commanding());
  cell.start();
  ASSERT_TRUE(cell.waitCycles(2));
  auto refuseOnce = [&](const char* method, auto plc_change, const std::string& call) {
    SCOPED_TRACE(method);
    ASSERT_EQ(cell.robotCmd(std::string("fail ") + method + " -5").rfind("ok", 0), 0u);
    const size_t from = cell.robot().lineCount();
    plc_change();
    ASSERT_TRUE(cell.waitCall(call, Ms(10000), from));  // refused
    ASSERT_EQ(cell.robotCmd(std::string("fail ") + method + " 0").rfind("ok", 0), 0u);
    const size_t taken_from = cell.robot().lineCount();
    EXPECT_TRUE(cell.waitCall(call, Ms(5000), taken_from)) << "sent again and taken";
    ASSERT_TRUE(cell.waitCycles(3));
    size_t again = 0;
    for (auto& l : cell.robot().linesFrom(taken_from)) again += l == call;
    EXPECT_EQ(again, 1u) << "then no more";
  };
  refuseOnce(
      "setBoolInput", [&] { cell.gwSet("di", 5, {1}); }, "call setBoolInput 5 1");
  refuseOnce(
      "setInt16Register", [&] { cell.gwSet("ir", 0, {swap16(258)}); },
      "call setInt16Register 0 258");
  refuseOnce(
      "setToolDigitalOutput", [&] { cell.gwSet("ir", kBlock + 2, {swap16(0x0001)}); },
      "call setToolDigitalOutput 0 1");

  // Not answered within the service's 5 s: sent again after it.
  ASSERT_EQ(cell.robotCmd("hold setInt16Register 6000").rfind("ok", 0), 0u);
  size_t from = cell.robot().lineCount();
  cell.gwSet("ir", 1, {swap16(77)});
  EXPECT_TRUE(cell.waitCall("call setInt16Register 1 77", Ms(5000), from));
  const size_t held_from = cell.robot().lineCount();
  EXPECT_TRUE(cell.waitCall("call setInt16Register 1 77", Ms(15000), held_from));

  // Refused for good: the log keeps the first lines and sums up the rest.
  ASSERT_EQ(cell.robotCmd("fail setBoolInput -5").rfind("ok", 0), 0u);
  cell.gwSet("di", 6, {1});
  const std::string refused = "robot controller did not take setBoolInput 6 1 (code -5)";
  EXPECT_GE(cell.umx().waitLine(
                [&](const std::string& l) {
                  return l.find(refused) != std::string::npos &&
                         l.find("[repeated ") != std::string::npos;
                },
                Ms(45000)),
            0)
      << cell.umx().allText();
  // One a cycle, unfolded: over a hundred. The first refusals are written.
  EXPECT_LE(cell.umx().countContaining("robot controller did not take "), 6u);
  EXPECT_GE(cell.umx().countContaining("robot controller did not take setBoolInput 5 1"), 1u);
}

// A controller that leaves every call of one kind unanswered for 40 s, with
// values of that kind owed: each cycle spends one call deadline on it at
// most, so the PLC's view stays fresh, other values still get through, and
// once it answers again everything owed reaches it within two cycles.
TEST(ControllerHangs, TheCycleGoesOnAndEveryValueArrivesAfter) {
  using Clock = std::chrono::steady_clock;
  Cell cell(commanding());
  cell.start();
  ASSERT_TRUE(cell.waitCycles(2));
  const size_t from = cell.robot().lineCount();
  ASSERT_EQ(cell.robotCmd("hang setBoolInput 40000").rfind("ok", 0), 0u);
  const auto hang_end = Clock::now() + std::chrono::seconds(40);
  cell.gwSet("di", 1, {1, 1, 1, 1});
  ASSERT_TRUE(cell.robot().waitLine(
                  [](const std::string& l) { return l.rfind("hung call setBoolInput", 0) == 0; },
                  Ms(5000), from) >= 0);
  cell.gwSet("ir", 2, {swap16(99)});

  // The status block's writes through the hang, and a moment after it.
  const size_t traced = cell.gateway().lineCount();
  cell.gateway().query("trace on");
  ASSERT_TRUE(vt::waitUntil([&] { return Clock::now() > hang_end; }, Ms(45000), Ms(500)));
  const auto times = cell.statusBlockTimes(traced);
  ASSERT_GE(times.size(), 2u);
  double longest = 0;
  for (size_t i = 1; i < times.size(); ++i) longest = std::max(longest, times[i] - times[i - 1]);
  std::printf("%zu status-block writes in the hang, longest gap %.2f s\n", times.size(), longest);
  EXPECT_LE(longest, 7.0);
  EXPECT_TRUE(cell.waitCall("call setInt16Register 2 99", Ms(1), from)) << "no value starves";

  // Answered again: every owed value within two cycles of the first that
  // starts after the hang.
  const long at_end = cell.gwRequests("fc16");
  for (int i = 1; i <= 4; ++i)
    EXPECT_TRUE(cell.waitCall("call setBoolInput " + std::to_string(i) + " 1", Ms(12000), from))
        << i;
  const long cycles = (cell.gwRequests("fc16") - at_end) / 2;
  std::printf("owed values at the controller %ld cycles after the hang\n", cycles);
  EXPECT_LE(cycles, 2);
  const std::string state = cell.robot().query("state", "state ");
  EXPECT_NE(state.find("input_bits=30 "), std::string::npos) << state;
}

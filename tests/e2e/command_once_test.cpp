// A PLC command moves a real robot: it runs exactly once per 0-then-code,
// whatever the gateway link does while the PLC holds the code. Each fault is
// aimed at the command block's read alone, or at the whole line.
#include <gtest/gtest.h>

#include "cell.h"

using vt::Cell;
using vt::Ms;
using vt::swap16;

namespace {

constexpr int kBlock = 40;  // pnRegisterNumber: clear of input registers 0..31

struct Code {
  long word;
  const char* call;  // the simulator's line for the controller call it makes
};
// In an order the simulated arm accepts, each after the one before.
const Code kCodes[] = {{2, "call poweron"}, {3, "call startup"}, {5, "call runProgram"},
                       {6, "call pause"},   {7, "call resume"},  {8, "call stop"}};

Cell::Options commanding() {
  Cell::Options o;
  o.config = {{"controlRobot", "1"}, {"pnRegisterNumber", std::to_string(kBlock)}};
  return o;
}

class CommandOnce : public ::testing::Test {
 protected:
  CommandOnce() : cell_(commanding()) { cell_.start(); }

  size_t calls(const Code& c) { return cell_.robot().countContaining(c.call); }
  void plcWrites(long word) { cell_.gwSet("ir", kBlock, {swap16(word)}); }
  // The PLC's way: 0, seen by the service, then the code; the call arrives once.
  void trigger(const Code& c) {
    plcWrites(0);
    ASSERT_TRUE(cell_.waitCycles(2));
    const size_t before = calls(c);
    plcWrites(c.word);
    ASSERT_TRUE(vt::waitUntil([&] { return calls(c) == before + 1; }, Ms(10000))) << c.call;
  }
  long faulted() { return cell_.gwRequests("faulted"); }
  // Lets `n` requests meet the rule just set, then some sound cycles pass.
  void faultUsedThenCycles(long from, long n) {
    ASSERT_TRUE(vt::waitUntil([&] { return faulted() >= from + n; }, Ms(30000)))
        << cell_.gwQuery("fault");
    ASSERT_TRUE(cell_.waitCycles(3));
  }

  Cell cell_;
};

}  // namespace

// One read of the block fails (all four tries go unanswered) while every
// other request of the cycle is answered; the held code must not run again.
TEST_F(CommandOnce, HeldCodeSurvivesAFailedReadOfTheCommandBlock) {
  for (const Code& c : kCodes) {
    SCOPED_TRACE(c.call);
    trigger(c);
    // Held for a while first: the latch has taken the code and cleared its kept word.
    ASSERT_TRUE(cell_.waitCycles(2));
    const size_t ran = calls(c);
    const long from = faulted();
    const size_t logged_from = cell_.umx().lineCount();
    ASSERT_EQ(cell_.gwQuery("fault 4 " + std::to_string(kBlock) + " mute 4"), "ok");
    faultUsedThenCycles(from, 4);
    // This round's failed read, not an earlier round's.
    EXPECT_TRUE(cell_.umx().waitFor("modbus_read_input_registers error", Ms(1000), logged_from));
    EXPECT_EQ(calls(c), ran) << "the held code ran again after the failed read";
  }
}

// Damaged answers to the block's read: refused, and the held code still runs once.
TEST_F(CommandOnce, HeldCodeSurvivesDamagedAnswersToTheCommandBlock) {
  const Code& run = kCodes[2];
  trigger(kCodes[0]);
  trigger(kCodes[1]);
  trigger(run);
  for (const char* damage : {"crc", "unit", "garbage"}) {
    SCOPED_TRACE(damage);
    const long from = faulted();
    ASSERT_EQ(cell_.gwQuery("fault 4 " + std::to_string(kBlock) + " " + damage + " 4"), "ok");
    faultUsedThenCycles(from, 4);
    EXPECT_EQ(calls(run), 1u);
  }
  // The same read answered with an exception, four times.
  const long from = faulted();
  ASSERT_EQ(cell_.gwQuery("fault 4 " + std::to_string(kBlock) + " exception 4 4"), "ok");
  faultUsedThenCycles(from, 4);
  EXPECT_EQ(calls(run), 1u);
}

// The whole gateway gone for many cycles (the line unplugged), the PLC
// holding its code; then the converse: 0 seen before an outage, the code
// written during it, runs exactly once after it.
TEST_F(CommandOnce, GatewayOutageNeitherRepeatsNorLosesACommand) {
  // Two "blocking" reports are four seconds of cycles whose every request failed.
  auto outage = [&] {
    const size_t from = cell_.umx().lineCount();
    cell_.line().down();
    ASSERT_TRUE(cell_.umx().waitFor("modbus is blocking ", Ms(10000), from));
    ASSERT_TRUE(cell_.umx().waitFor("modbus is blocking ", Ms(10000), cell_.umx().lineCount()));
  };
  const Code& power = kCodes[0];
  trigger(power);
  outage();
  cell_.line().upAgain();
  ASSERT_TRUE(cell_.waitCycles(4, Ms(30000)));
  EXPECT_EQ(calls(power), 1u) << "held through the outage";

  const Code& release = kCodes[1];
  plcWrites(0);
  ASSERT_TRUE(cell_.waitCycles(2));
  const size_t from = cell_.umx().lineCount();
  cell_.line().down();
  ASSERT_TRUE(cell_.umx().waitFor("modbus is blocking ", Ms(10000), from));
  plcWrites(release.word);
  ASSERT_TRUE(cell_.umx().waitFor("modbus is blocking ", Ms(10000), cell_.umx().lineCount()));
  EXPECT_EQ(calls(release), 0u);
  cell_.line().upAgain();
  EXPECT_TRUE(vt::waitUntil([&] { return calls(release) == 1; }, Ms(20000)));
  ASSERT_TRUE(cell_.waitCycles(4));
  EXPECT_EQ(calls(release), 1u);
}

// A change of operating mode never starts a command. With commands off in
// manual mode, a code the PLC writes while the robot is in manual mode does
// not run when the operator switches back to automatic; 0 and the code
// again run it once. With commands on in manual mode, the code runs when it
// is written, once, as in automatic.
TEST(CommandAcrossModes, ACodeWrittenWhileCommandsWereOffWaitsForANewZero) {
  for (const char* in_manual : {"0", "1"}) {
    SCOPED_TRACE(std::string("controlRobotInManualMode ") + in_manual);
    Cell::Options o = commanding();
    o.config["controlRobotInManualMode"] = in_manual;
    Cell cell(o);
    cell.start();
    const Code& run = kCodes[2];
    auto calls = [&] { return cell.robot().countContaining(run.call); };
    cell.gwSet("ir", kBlock, {swap16(0)});
    ASSERT_TRUE(cell.waitCycles(2));  // armed
    cell.robotCmd("set operational_mode 2");
    ASSERT_TRUE(cell.waitCycles(2));
    cell.gwSet("ir", kBlock, {swap16(run.word)});
    ASSERT_TRUE(cell.waitCycles(3));
    cell.robotCmd("set operational_mode 1");
    if (std::string(in_manual) == "0") {
      // Back in automatic for 3 s: nothing runs.
      EXPECT_FALSE(vt::waitUntil([&] { return calls() > 0; }, Ms(3000)));
      cell.gwSet("ir", kBlock, {swap16(0)});
      ASSERT_TRUE(cell.waitCycles(2));
      cell.gwSet("ir", kBlock, {swap16(run.word)});
    }
    EXPECT_TRUE(vt::waitUntil([&] { return calls() == 1; }, Ms(10000)));
    ASSERT_TRUE(cell.waitCycles(4));
    EXPECT_EQ(calls(), 1u);
  }
}

// A command never runs late: the PLC writes a code (with a tool output),
// the controller takes 3 s over the output call that comes first, and the
// PLC withdraws the code meanwhile. The code is not run when the call
// returns; 0 and the code again run it once.
TEST_F(CommandOnce, ACodeWithdrawnWhileTheControllerWasSlowDoesNotRunLate) {
  const Code& run = kCodes[2];
  plcWrites(0);
  ASSERT_TRUE(cell_.waitCycles(2));
  ASSERT_EQ(cell_.robotCmd("hold setToolDigitalOutput 3000").rfind("ok", 0), 0u);
  const size_t from = cell_.robot().lineCount();
  cell_.gwSet("ir", kBlock, {swap16(run.word), 0, swap16(0x0001)});
  ASSERT_TRUE(cell_.robot().waitFor("held setToolDigitalOutput", Ms(5000), from));
  plcWrites(0);  // withdrawn while the call is held
  ASSERT_TRUE(cell_.robot().waitFor("released setToolDigitalOutput", Ms(5000), from));
  EXPECT_FALSE(vt::waitUntil([&] { return calls(run) > 0; }, Ms(3000))) << "ran late";
  trigger(run);
  ASSERT_TRUE(cell_.waitCycles(3));
  EXPECT_EQ(calls(run), 1u);
}

// The command latch walked through the sequences a PLC and a plant produce:
// a code runs once per 0-then-code, whatever else happens to the word.
#include "command_latch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Command = CommandLatch::Command;

// Feeds words to a latch, cycle by cycle; "fail" is a cycle whose read
// failed (the latch is not fed), "skip" one that did not handle the block.
struct Plc {
  CommandLatch latch;
  std::vector<Command> ran;

  void read(uint16_t word) {
    const Command c = latch.take(word);
    if (c != CommandLatch::kNone) ran.push_back(c);
  }
  void hold(uint16_t word, int cycles) {
    for (int i = 0; i < cycles; ++i) read(word);
  }
  void skip(int cycles = 1) {
    for (int i = 0; i < cycles; ++i) latch.skip();
  }
};

// What the dispatch calls on the robot.
struct FakeRobot {
  std::vector<std::string> calls;
  int code = 0;
  int poweron() { return note("poweron"); }
  int startup() { return note("startup"); }
  int runProgram() { return note("runProgram"); }
  int pauseProgram() { return note("pauseProgram"); }
  int resumeProgram() { return note("resumeProgram"); }
  int stopProgram() { return note("stopProgram"); }
  int note(const char* name) {
    calls.push_back(name);
    return code;
  }
};

}  // namespace

TEST(CommandLatch, ACodeRunsOncePerZeroThenCode) {
  Plc plc;
  // At start the latch is closed: a code already held does not run.
  plc.hold(5, 3);
  EXPECT_TRUE(plc.ran.empty());
  // 0, then the code held: once.
  plc.hold(0, 2);
  EXPECT_TRUE(plc.latch.armed());
  plc.hold(5, 5);
  EXPECT_EQ(plc.ran, (std::vector<Command>{CommandLatch::kRunProgram}));
  // One code straight into another: nothing.
  plc.hold(8, 3);
  EXPECT_EQ(plc.ran.size(), 1u);
  // 0 again, then 2, 3 directly, 0, 3.
  plc.read(0);
  plc.hold(2, 2);
  plc.hold(3, 2);
  plc.read(0);
  plc.read(3);
  EXPECT_EQ(plc.ran, (std::vector<Command>{CommandLatch::kRunProgram, CommandLatch::kPowerOn,
                                           CommandLatch::kBrakeRelease}));
  // A restart: a fresh latch is closed again.
  CommandLatch restarted;
  EXPECT_FALSE(restarted.armed());
  EXPECT_EQ(restarted.take(3), CommandLatch::kNone);
}

TEST(CommandLatch, UnknownWordsLeaveItArmedAndTheLowByteArmsIt) {
  Plc plc;
  plc.read(0);
  // 4, 9, 0x0205: no command; still armed, the next code runs.
  for (uint16_t w : {4, 9, 0x0205, 1}) {
    plc.read(w);
    EXPECT_TRUE(plc.latch.armed()) << w;
  }
  plc.read(6);
  EXPECT_EQ(plc.ran, (std::vector<Command>{CommandLatch::kPauseProgram}));
  EXPECT_EQ(plc.latch.value(), 6);
  // 0x0200 has a low byte of 0: it arms (and is no command itself).
  plc.read(0x0200);
  EXPECT_TRUE(plc.latch.armed());
  plc.read(7);
  EXPECT_EQ(plc.ran.back(), CommandLatch::kResumeProgram);
  // A closed latch takes any word in without running it, and says so.
  bool followed = false;
  EXPECT_EQ(plc.latch.take(0x0305, &followed), CommandLatch::kNone);
  EXPECT_TRUE(followed);
  EXPECT_EQ(plc.latch.value(), 5);
}

TEST(CommandLatch, ASkippedCycleClosesItAndAFailedReadChangesNothing) {
  // Armed, then commands off (manual mode): the code written meanwhile does
  // not run when they come back.
  Plc plc;
  plc.read(0);
  ASSERT_TRUE(plc.latch.armed());
  plc.skip(3);
  EXPECT_FALSE(plc.latch.armed());
  plc.hold(5, 3);
  EXPECT_TRUE(plc.ran.empty());
  plc.read(0);
  plc.read(5);
  EXPECT_EQ(plc.ran, (std::vector<Command>{CommandLatch::kRunProgram}));

  // Failed reads are not fed: an armed latch stays armed through them and
  // the code after them runs once; a held code is not run again after them.
  Plc outage;
  outage.read(0);
  outage.read(2);
  // ... reads fail while the code is held ...
  outage.hold(2, 3);
  EXPECT_EQ(outage.ran.size(), 1u);
  outage.read(0);
  // ... reads fail: the latch keeps its state (armed) ...
  EXPECT_TRUE(outage.latch.armed());
  outage.read(3);
  EXPECT_EQ(outage.ran,
            (std::vector<Command>{CommandLatch::kPowerOn, CommandLatch::kBrakeRelease}));
}

// A word read, then read again because the decision came more than a
// second later: the latch takes both in order and decides on the second.
// A cycle that cannot ask the controller reads the word and decides nothing.
TEST(CommandLatch, EveryWordReadCountsAndTheSecondReadDecides) {
  using namespace std::chrono_literals;
  const auto t0 = CommandLatch::Clock::now();
  auto twice = [&](CommandLatch& latch, uint16_t first, uint16_t second) {
    latch.read(first, t0);
    EXPECT_FALSE(latch.stale(t0 + 1000ms));
    EXPECT_TRUE(latch.stale(t0 + 1001ms));
    return latch.decide(second);
  };
  // Closed latch: the 0 of the first read arms it, the 5 of the second runs.
  CommandLatch lost_zero;
  EXPECT_EQ(twice(lost_zero, 0, 5), CommandLatch::kRunProgram);
  EXPECT_EQ(lost_zero.take(5), CommandLatch::kNone) << "once";
  // A code withdrawn before the decision does not run, closed or armed.
  CommandLatch closed;
  EXPECT_EQ(twice(closed, 5, 0), CommandLatch::kNone);
  EXPECT_TRUE(closed.armed());
  EXPECT_EQ(twice(closed, 5, 0), CommandLatch::kNone);
  EXPECT_EQ(closed.take(6), CommandLatch::kPauseProgram);

  // Deferred: an armed latch keeps a code it could not decide on; the next
  // read decides, on what the PLC holds then.
  CommandLatch deferred;
  deferred.take(0);
  deferred.read(2);  // the controller left a call of this cycle unanswered
  EXPECT_TRUE(deferred.armed());
  EXPECT_EQ(deferred.take(2), CommandLatch::kPowerOn);
  deferred.take(0);
  deferred.read(3);
  EXPECT_EQ(deferred.take(0), CommandLatch::kNone) << "withdrawn meanwhile";
  EXPECT_EQ(deferred.decide(), CommandLatch::kNone) << "one decision per read";
}

TEST(CommandLatch, DispatchCallsTheRobotAndPassesItsCodeThrough) {
  FakeRobot robot;
  const std::vector<std::pair<uint16_t, std::string>> table = {
      {2, "poweron"},      {3, "startup"},       {5, "runProgram"},
      {6, "pauseProgram"}, {7, "resumeProgram"}, {8, "stopProgram"}};
  for (const auto& [word, call] : table) {
    const Command c = CommandLatch::commandOf(word);
    ASSERT_NE(c, CommandLatch::kNone) << word;
    EXPECT_EQ(CommandLatch::dispatch(c, robot), 0);
    EXPECT_EQ(robot.calls.back(), call);
  }
  // The metrics count the commands in this order.
  EXPECT_EQ(CommandLatch::commandOf(2), 0);
  EXPECT_EQ(CommandLatch::commandOf(8), 5);
  robot.code = -102;
  EXPECT_EQ(CommandLatch::dispatch(CommandLatch::kStopProgram, robot), -102);
  EXPECT_EQ(CommandLatch::dispatch(CommandLatch::kNone, robot), 0);
  EXPECT_EQ(robot.calls.size(), 7u);
}

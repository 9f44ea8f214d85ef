#pragma once
// The PLC's command word turned into one-shot robot commands. A command runs
// once per 0-then-code: the latch is armed by a word whose low byte is 0,
// read in a cycle that handles commands; the next known code then runs and
// closes the latch, which afterwards follows the word until it is 0 again.
// So holding a code runs it once, changing one code straight into another
// runs nothing, and a code already there at start runs only after a 0.
// A cycle that could not read the block changes nothing (it knows nothing of
// what the PLC holds now); a cycle that does not handle the block (manual
// mode without commands, commands off) closes the latch, so that a code
// written meanwhile never runs because the mode changed back. Pure logic:
// the exchange cycle feeds it and dispatches what it returns.
//
// Every word the service reads goes in, in order: a cycle reads the word,
// and when the output and speed calls before the decision took long, reads
// it again, so that a command never runs on a word the PLC has withdrawn.
// The first read counts all the same (a 0 it saw arms the latch, whatever
// the second read says); the decision is taken on the second. A cycle that
// cannot ask the controller takes the word in and decides nothing: a code
// under an armed latch waits for the next read of the word.
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "gateway_map.h"

class CommandLatch {
 public:
  // The one-shot commands, in the order the metrics count them.
  enum Command : int {
    kNone = -1,
    kPowerOn = 0,
    kBrakeRelease,
    kRunProgram,
    kPauseProgram,
    kResumeProgram,
    kStopProgram,
  };
  static constexpr size_t kCommands = 6;

  using Clock = std::chrono::steady_clock;
  // A word read longer ago than this is read again before it decides.
  static constexpr std::chrono::milliseconds kMaxAge{1000};

  // A cycle read the command word at `at`: a closed latch follows it (a 0
  // arms it); under an armed latch the word waits for decide().
  void read(uint16_t word, Clock::time_point at = Clock::now());
  // Whether the word read is too old at `now` to decide on: read it again
  // and give that to decide().
  bool stale(Clock::time_point now) const { return now - read_at_ > kMaxAge; }
  // The command to run now, kNone for none, decided on the word read last;
  // `again` is its second read, which the latch takes in after the first.
  // `followed` says whether the closed latch only took the word in (that
  // cycle ends without the pause that follows a command step).
  Command decide(bool* followed = nullptr);
  Command decide(uint16_t again, bool* followed = nullptr);
  // read() and decide() at once: a cycle that read the word once.
  Command take(uint16_t word, bool* followed = nullptr) {
    read(word);
    return decide(followed);
  }
  // A cycle that did not handle the block.
  void skip() {
    latch_ = kClosed;
    followed_ = true;
  }

  bool armed() const { return latch_ == 0; }
  // 0 when armed, else the low byte of the last word taken in.
  uint8_t value() const { return latch_; }

  // The known code of a command word, kNone for any other word.
  static Command commandOf(uint16_t word);

  // Runs `command` on `robot` (RobotStatus, or a test's stand-in): the
  // controller's code, 0 when accepted.
  template <typename Robot>
  static int dispatch(Command command, Robot& robot) {
    switch (command) {
      case kPowerOn:
        return robot.poweron();
      case kBrakeRelease:
        return robot.startup();
      case kRunProgram:
        return robot.runProgram();
      case kPauseProgram:
        return robot.pauseProgram();
      case kResumeProgram:
        return robot.resumeProgram();
      case kStopProgram:
        return robot.stopProgram();
      case kNone:
        break;
    }
    return 0;
  }

 private:
  // As at start: nothing runs before a 0 has been read.
  static constexpr uint8_t kClosed = 1;
  uint8_t latch_ = kClosed;
  uint16_t word_ = 0;     // the word read last
  bool followed_ = true;  // the closed latch took word_ in: nothing to decide
  Clock::time_point read_at_{};
};

#include "command_latch.h"

CommandLatch::Command CommandLatch::commandOf(uint16_t word) {
  namespace gm = gateway_map;
  switch (word) {
    case gm::kCommandPowerOn:
      return kPowerOn;
    case gm::kCommandBrakeRelease:
      return kBrakeRelease;
    case gm::kCommandRunProgram:
      return kRunProgram;
    case gm::kCommandPauseProgram:
      return kPauseProgram;
    case gm::kCommandResumeProgram:
      return kResumeProgram;
    case gm::kCommandStopProgram:
      return kStopProgram;
    default:
      return kNone;
  }
}

void CommandLatch::read(uint16_t word, Clock::time_point at) {
  word_ = word;
  read_at_ = at;
  followed_ = latch_ != 0;
  // The latch follows the word; a low byte of 0 arms it for the next code.
  if (followed_) latch_ = static_cast<uint8_t>(word & 0xFF);
}

CommandLatch::Command CommandLatch::decide(bool* followed) {
  if (followed) *followed = followed_;
  if (followed_) return kNone;
  followed_ = true;  // one decision per read
  // Unknown words leave it armed.
  const Command command = commandOf(word_);
  if (command != kNone) latch_ = static_cast<uint8_t>(word_);
  return command;
}

CommandLatch::Command CommandLatch::decide(uint16_t again, bool* followed) {
  // The first read was taken in already: a 0 it saw has armed the latch.
  read(again, read_at_);
  return decide(followed);
}

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

CommandLatch::Command CommandLatch::take(uint16_t word, bool* followed) {
  if (followed) *followed = latch_ != 0;
  if (latch_ != 0) {
    // The latch follows the word; a low byte of 0 arms it for the next code.
    latch_ = static_cast<uint8_t>(word & 0xFF);
    return kNone;
  }
  // Unknown words leave it armed.
  const Command command = commandOf(word);
  if (command != kNone) latch_ = static_cast<uint8_t>(word);
  return command;
}

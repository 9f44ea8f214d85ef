#pragma once
// Every write the service owes the robot controller, in the order it came
// to be owed: the start-up reset of the controller's registers, its output
// topic, and each value the PLC holds that the controller does not hold yet
// (a change, or everything again after a controller restart, a takeover of
// the line or a refusal). The exchange cycle drains it oldest first under a
// time bound, so that a slow or hung controller delays the writes and never
// the cycle; a write not taken goes to the back, so that no value starves.
// Pure bookkeeping: fixed storage once sized, no allocation after.
#include <cstddef>
#include <cstdint>
#include <vector>

class PendingWrites {
 public:
  enum Kind : uint8_t {
    // The start-up reset, each register once, results not looked at.
    kResetBoolOutput,
    kResetBoolInput,
    kResetInt32Input,
    kResetInt32Output,
    kOutputTopic,  // the output topic's set-up, once
    // What the PLC holds.
    kBoolInput,
    kInt16Register,
    kToolOutput,
    kStandardOutput,
    kSpeed,  // sent whenever it is set, whatever the controller holds
    kKinds
  };
  struct Write {
    Kind kind;
    uint32_t index;
    int32_t value;
  };
  enum Outcome { kTaken, kRefused, kUnanswered };

  static constexpr uint32_t kBoolRegisters = 64;
  static constexpr uint32_t kInt32Registers = 32;
  static constexpr uint32_t kInt16Registers = 32;

  PendingWrites() { size(0, 0); }
  // The arm's output counts; everything is forgotten, the controller
  // assumed to hold 0 for every value (as at start).
  void size(uint32_t tool_outputs, uint32_t standard_outputs);

  // The value the PLC holds for one register or output: owed while the
  // controller is not known to hold it. Out-of-range indices are ignored.
  void set(Kind kind, uint32_t index, int32_t value);
  // The start-up reset (every bool and int32 register to 0) and the output
  // topic, owed after whatever is owed now; a PLC value for a bool input
  // goes only after that input's reset.
  void resetController(bool output_topic);
  // The controller may hold nothing it was sent: every value the PLC has
  // given is owed again.
  void forget();

  size_t size() const { return queued_; }
  bool empty() const { return queued_ == 0; }
  // A new exchange cycle: every write owed may be tried once in it.
  void beginCycle() { ++cycle_; }
  // The oldest write that may go now and was not tried in this cycle; false
  // when none.
  bool front(Write* w) const;
  // What became of the write front() gave: taken, it is done (the reset and
  // the topic also when refused); otherwise it goes to the back.
  void done(const Write& w, Outcome outcome);

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  struct Slot {
    int32_t wanted = 0;
    int32_t held = 0;  // what the controller holds, when `held_known`
    bool wanted_known = false;
    bool held_known = true;  // as at start: the controller holds 0
    bool queued = false;
    uint64_t tried = 0;  // the cycle it was last tried in and not taken
    uint32_t prev = kNone, next = kNone;
  };
  uint32_t slot(Kind kind, uint32_t index) const;  // kNone when out of range
  Kind kindOf(uint32_t slot, uint32_t* index) const;
  void pushBack(uint32_t s);
  void unlink(uint32_t s);
  bool oneShot(Kind kind) const { return kind <= kOutputTopic; }

  uint32_t first_[kKinds + 1] = {};
  std::vector<Slot> slots_;
  uint32_t head_ = kNone, tail_ = kNone;
  size_t queued_ = 0;
  uint64_t cycle_ = 1;
};

// What the service owes the robot controller: sent oldest first, each once
// it is taken, again when refused or unanswered (after the others), never a
// PLC value for a bool input before that input's reset.
#include "pending_writes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using P = PendingWrites;

std::string name(const P::Write& w) {
  static const char* const kNames[] = {
      "resetBoolOutput", "resetBoolInput", "resetInt32Input", "resetInt32Output",
      "topic",           "bool",           "int16",           "tool",
      "standard",        "speed"};
  return std::string(kNames[w.kind]) + " " + std::to_string(w.index) + "=" +
         std::to_string(w.value);
}

// One cycle's drain against a controller that answers `outcome` for the
// writes `decide` picks (taken otherwise); `limit` writes at most.
std::vector<std::string> drain(P& p, P::Outcome (*decide)(const P::Write&) = nullptr,
                               size_t limit = 1000) {
  std::vector<std::string> sent;
  p.beginCycle();
  P::Write w;
  while (sent.size() < limit && p.front(&w)) {
    sent.push_back(name(w));
    const P::Outcome o = decide ? decide(w) : P::kTaken;
    p.done(w, o);
    if (o == P::kUnanswered) break;
  }
  return sent;
}

}  // namespace

TEST(PendingWrites, OwedUntilTakenOldestFirstAndNoValueStarves) {
  P p;
  p.size(4, 16);
  // As at start the controller holds 0: a 0 is owed nothing.
  p.set(P::kBoolInput, 3, 0);
  p.set(P::kInt16Register, 0, 0);
  EXPECT_TRUE(p.empty());
  p.set(P::kBoolInput, 3, 1);
  p.set(P::kInt16Register, 0, 258);
  p.set(P::kToolOutput, 4, 1);  // out of range: ignored
  p.set(P::kStandardOutput, 2, 7);
  p.set(P::kBoolInput, 3, 0);  // taken back before it went: owed nothing
  p.set(P::kBoolInput, 3, 1);  // owed again, after the others
  p.set(P::kSpeed, 0, 500000);
  EXPECT_EQ(drain(p), (std::vector<std::string>{"int16 0=258", "standard 2=7", "bool 3=1",
                                                "speed 0=500000"}));
  p.set(P::kInt16Register, 0, 258);
  p.set(P::kSpeed, 0, 500000);  // the speed is owed whenever it is set
  EXPECT_EQ(drain(p), std::vector<std::string>{"speed 0=500000"});

  // A refusal: tried once a cycle, after everything else owed.
  p.set(P::kBoolInput, 1, 1);
  p.set(P::kBoolInput, 2, 1);
  auto refuse_bool1 = [](const P::Write& w) {
    return w.kind == P::kBoolInput && w.index == 1 ? P::kRefused : P::kTaken;
  };
  EXPECT_EQ(drain(p, refuse_bool1), (std::vector<std::string>{"bool 1=1", "bool 2=1"}));
  EXPECT_EQ(drain(p, refuse_bool1), std::vector<std::string>{"bool 1=1"});
  EXPECT_EQ(p.size(), 1u);

  // Unanswered: the drain ends there, and the next cycle starts with the
  // write after it, so one hung value does not hold the others back.
  p.set(P::kInt16Register, 5, 9);
  p.set(P::kInt16Register, 6, 9);
  auto hang_bool1 = [](const P::Write& w) {
    return w.kind == P::kBoolInput ? P::kUnanswered : P::kTaken;
  };
  EXPECT_EQ(drain(p, hang_bool1), std::vector<std::string>{"bool 1=1"});
  EXPECT_EQ(drain(p, hang_bool1), (std::vector<std::string>{"int16 5=9", "int16 6=9", "bool 1=1"}));
  EXPECT_EQ(drain(p), std::vector<std::string>{"bool 1=1"});
  EXPECT_TRUE(p.empty());
}

TEST(PendingWrites, ResetFirstAndEverythingAgainAfterAForget) {
  P p;
  p.size(4, 16);
  p.set(P::kBoolInput, 0, 1);
  p.set(P::kInt16Register, 1, 3);
  p.resetController(true);
  // The reset of every register and the topic, after what was owed before;
  // the PLC's bool input only after its own reset.
  auto sent = drain(p);
  ASSERT_EQ(sent.size(), 2u + 192u + 1u);
  EXPECT_EQ(sent[0], "int16 1=3");
  EXPECT_EQ(sent[1], "resetBoolOutput 0=0");
  EXPECT_EQ(sent[65], "resetBoolInput 0=0");
  EXPECT_EQ(sent[66], "bool 0=1");
  EXPECT_EQ(sent[194], "topic 0=0");

  // A reset cut short by a hung controller: the bool input still waits for
  // its own reset, which went to the back.
  p.set(P::kBoolInput, 0, 1);  // held already, but the reset clears it
  p.resetController(false);
  p.set(P::kBoolInput, 64 - 1, 1);
  auto hang_reset_input63 = [](const P::Write& w) {
    return w.kind == P::kResetBoolInput && w.index == 63 ? P::kUnanswered : P::kTaken;
  };
  sent = drain(p, hang_reset_input63);
  EXPECT_EQ(sent.back(), "resetBoolInput 63=0");
  sent = drain(p);
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(sent.end() - 3, sent.end()),
            (std::vector<std::string>{"bool 0=1", "resetBoolInput 63=0", "bool 63=1"}));

  // A controller that holds nothing it was sent: every value given is owed
  // again (the speed is not: it goes with the next cycle that sets it).
  p.set(P::kToolOutput, 2, 1);
  p.set(P::kSpeed, 0, 10000);
  drain(p);
  p.forget();
  EXPECT_EQ(drain(p), (std::vector<std::string>{"bool 0=1", "bool 63=1", "int16 1=3", "tool 2=1"}));
}

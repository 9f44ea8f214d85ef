#pragma once
// Whether the robot controller is there: decided once per cycle from the
// SDK's signals. A status stream without a packet for over a second has
// stalled; a stalled stream or a real-time channel that is down means the
// controller is gone, and the cell then reports robot mode 0 rather than
// the cached status, which is no longer the robot's. A controller that comes
// back (the stream resumes, or the channel counts a new session) may hold
// nothing of what it was sent, as after a restart: every value the PLC holds
// is sent again. Logs its own changes; the exchange cycle acts on its verdict.
#include <chrono>
#include <cstdint>

class ControllerWatch {
 public:
  using Clock = std::chrono::steady_clock;
  // No status packet for longer than this: the stream stalled.
  static constexpr std::chrono::milliseconds kStall{1000};

  // What the SDK says at one look.
  struct Signals {
    uint64_t packets = 0;   // status packets taken in so far
    uint64_t sessions = 0;  // sessions of the real-time channel so far (0: not counted)
    bool channel_up = true;
  };

  // As the cycle starts: the sessions there already are not new ones.
  void begin(uint64_t sessions) { seen_sessions_ = sessions; }
  // One look per cycle at `now`. true when the controller is new: every
  // value the PLC holds must be sent again.
  bool look(const Signals& s, Clock::time_point now);

  bool stalled() const { return stalled_; }
  bool gone() const { return gone_; }
  // The robot mode to report for the mode the status holds.
  int robotMode(int reported) const { return gone_ ? 0 : reported; }

 private:
  uint64_t seen_packets_ = 0;
  uint64_t seen_sessions_ = 0;
  Clock::time_point last_packet_at_{};
  bool stalled_ = false;
  bool gone_ = false;
};

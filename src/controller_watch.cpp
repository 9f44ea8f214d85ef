#include "controller_watch.h"

#include "log.h"

bool ControllerWatch::look(const Signals& s, Clock::time_point now) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  if (last_packet_at_ == Clock::time_point{}) last_packet_at_ = now;
  const auto silent_ms = duration_cast<milliseconds>(now - last_packet_at_).count();
  // A controller that went away and came back may hold nothing of what it
  // was sent (a restart): the stand-in SDK counts its connections, and any
  // SDK's stream stalls and resumes across a restart.
  bool resend = false;
  if (s.packets != seen_packets_) {
    if (stalled_) {
      LOG_INFO(UmxLog::getLogger(), "robot status stream is back after {} ms", silent_ms);
      resend = true;
    }
    stalled_ = false;
    seen_packets_ = s.packets;
    last_packet_at_ = now;
  } else if (!stalled_ && silent_ms > kStall.count()) {
    stalled_ = true;
    LOG_ERROR(UmxLog::getLogger(),
              "robot status stream stalled: no packet for {} ms; the gateway reports robot mode 0 "
              "until it is back",
              silent_ms);
  }
  if (s.sessions != seen_sessions_) {
    resend = resend || seen_sessions_ != 0;
    seen_sessions_ = s.sessions;
  }
  // No data from the controller: the cached status is not the robot's.
  gone_ = stalled_ || !s.channel_up;
  if (resend)
    LOG_INFO(UmxLog::getLogger(),
             "robot controller link re-established: every value the PLC holds is sent again");
  return resend;
}

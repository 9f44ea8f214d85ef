// The controller watch, fed the SDK's signals over time: when the controller
// counts as gone (robot mode 0), and when it is new (every value sent again).
#include "controller_watch.h"

#include <gtest/gtest.h>

#include "log_env.h"

namespace {

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new vt::LogEnvironment("vemo-watch"));

using Clock = ControllerWatch::Clock;
using std::chrono::milliseconds;

// A controller as the watch sees it: packets, sessions and the channel, and
// a clock the test moves.
struct Feed {
  ControllerWatch watch;
  ControllerWatch::Signals s{0, 1, true};
  Clock::time_point t = Clock::now();
  // One cycle `ms` after the last; `packet`: a status packet came meanwhile.
  bool cycle(long ms, bool packet) {
    t += milliseconds(ms);
    if (packet) ++s.packets;
    return watch.look(s, t);
  }
};

const char* kStalled = "robot status stream stalled: no packet for ";
const char* kBack = "robot status stream is back after ";
const char* kResend =
    "robot controller link re-established: every value the PLC holds is sent again";

TEST(ControllerWatch, AStreamSilentForOverASecondIsGoneUntilAPacketBringsItBackWithAResend) {
  vt::LogTail log;
  Feed f;
  f.watch.begin(1);
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(f.cycle(200, true));
  EXPECT_FALSE(f.watch.gone());
  EXPECT_EQ(f.watch.robotMode(7), 7);

  // Exactly a second without a packet is still a live stream.
  EXPECT_FALSE(f.cycle(500, false));
  EXPECT_FALSE(f.cycle(500, false));
  EXPECT_FALSE(f.watch.stalled());
  EXPECT_FALSE(f.cycle(1, false));
  EXPECT_TRUE(f.watch.stalled());
  EXPECT_TRUE(f.watch.gone());
  EXPECT_EQ(f.watch.robotMode(7), 0) << "the cached mode is not the robot's any more";
  // A long stall is one line, not one per cycle.
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(f.cycle(200, false));
  EXPECT_TRUE(f.watch.gone());

  EXPECT_TRUE(f.cycle(200, true)) << "a controller back from silence may have restarted";
  EXPECT_FALSE(f.watch.gone());
  EXPECT_EQ(f.watch.robotMode(7), 7);
  EXPECT_FALSE(f.cycle(200, true)) << "once";
  EXPECT_EQ(log.count(kStalled), 1u);
  EXPECT_TRUE(
      log.has("robot status stream stalled: no packet for 1001 ms; the gateway reports "
              "robot mode 0 until it is back"));
  EXPECT_TRUE(log.has(std::string(kBack) + "5201 ms")) << log.text();
  EXPECT_EQ(log.count(kResend), 1u);
}

TEST(ControllerWatch, ANewSessionIsANewControllerButTheFirstOneIsNot) {
  vt::LogTail log;
  Feed f;
  // Sessions there as the cycle starts are not new.
  f.s.sessions = 3;
  f.watch.begin(3);
  EXPECT_FALSE(f.cycle(200, true));
  // A restart too quick for the stream to stall: only the session count tells.
  f.s.sessions = 4;
  EXPECT_TRUE(f.cycle(200, true));
  EXPECT_FALSE(f.cycle(200, true));
  EXPECT_FALSE(f.watch.gone());
  EXPECT_EQ(log.count(kResend), 1u);
  EXPECT_EQ(log.count(kStalled), 0u);

  // A cycle that starts before the channel ever connected: its first
  // session is the first controller, nothing to send again.
  Feed g;
  g.s.sessions = 0;
  g.watch.begin(0);
  EXPECT_FALSE(g.cycle(200, true));
  g.s.sessions = 1;
  EXPECT_FALSE(g.cycle(200, true));
  g.s.sessions = 2;
  EXPECT_TRUE(g.cycle(200, true));
}

TEST(ControllerWatch, AChannelDownIsGoneAtOnceAndItsReturnAloneSendsNothingAgain) {
  vt::LogTail log;
  Feed f;
  f.watch.begin(1);
  EXPECT_FALSE(f.cycle(200, true));
  f.s.channel_up = false;
  // Packets still counted (a last one in flight): the channel decides.
  EXPECT_FALSE(f.cycle(200, true));
  EXPECT_TRUE(f.watch.gone());
  EXPECT_FALSE(f.watch.stalled());
  EXPECT_EQ(f.watch.robotMode(5), 0);
  f.s.channel_up = true;
  EXPECT_FALSE(f.cycle(200, true)) << "same session, stream never stalled: nothing was lost";
  EXPECT_FALSE(f.watch.gone());
  EXPECT_EQ(log.count(kResend), 0u);

  // Down long enough for the stream to stall, then a new session: one re-send.
  f.s.channel_up = false;
  for (int i = 0; i < 8; ++i) f.cycle(200, false);
  EXPECT_TRUE(f.watch.stalled());
  f.s.channel_up = true;
  f.s.sessions = 2;
  EXPECT_TRUE(f.cycle(200, true));
  EXPECT_FALSE(f.cycle(200, true));
  EXPECT_EQ(log.count(kResend), 1u);
}

}  // namespace

// The service under systemd's notify protocol, spoken for real over a Unix
// datagram socket: READY once the cycle runs, a STATUS line that tells an
// integrator what the bridge is doing, and WATCHDOG pings that stop when the
// bridge is stuck, so that systemd restarts it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>

#include "cell.h"
#include "notify_socket.h"

using vt::Cell;
using vt::Ms;
using vt::NotifySocket;

namespace {

bool has(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

// The service started as systemd starts it: NOTIFY_SOCKET, WATCHDOG_USEC, and
// WATCHDOG_PID naming the service's own pid (the shell execs into it).
std::unique_ptr<vt::Process> startUnderNotify(Cell& cell, const NotifySocket& ns,
                                              long watchdog_usec) {
  vt::ProcessOptions opt;
  opt.env = {{"NOTIFY_SOCKET", ns.path()}, {"WATCHDOG_USEC", std::to_string(watchdog_usec)}};
  return std::make_unique<vt::Process>(
      std::vector<std::string>{"/bin/sh", "-c", "WATCHDOG_PID=$$ exec \"$0\" --workspace \"$1\"",
                               vt::bin("vemo_umx"), cell.workspace()},
      opt);
}

std::set<std::string> threadNames(pid_t pid) {
  std::set<std::string> names;
  std::error_code ec;
  const std::string task = "/proc/" + std::to_string(pid) + "/task";
  for (std::filesystem::directory_iterator it(task, ec), end; !ec && it != end; it.increment(ec)) {
    std::string comm = vt::readFile(it->path().string() + "/comm");
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    names.insert(comm);
  }
  return names;
}

}  // namespace

TEST(Systemd, ReadyStatusAndWatchdogFollowTheBridge) {
  Cell::Options o;
  o.start_robot = false;  // the controller is not up yet
  o.start_umx = false;
  Cell cell(o);
  cell.start();
  vt::TempDir tmp("vemo-notify");
  NotifySocket ns(tmp.path());
  // 1 s: a ping at least every half second while the bridge makes progress.
  auto umx = startUnderNotify(cell, ns, 1000000);
  // A STATUS line holding every one of `needles`.
  auto status = [&](std::vector<std::string> needles) {
    return [needles](const std::string& t) {
      for (auto& v : vt::notifyValues(t, "STATUS")) {
        bool all = true;
        for (auto& n : needles) all = all && has(v, n);
        if (all) return true;
      }
      return false;
    };
  };

  // Ready before the controller is there (the boot must not wait for it),
  // saying what it waits for, and the watchdog fed by the attempts.
  const long ready = ns.waitFor([](const std::string& t) { return has(t, "READY=1"); }, Ms(10000));
  ASSERT_GE(ready, 0) << umx->allText();
  ASSERT_GE(
      ns.waitFor(status({"waiting for the robot controller: RPC 127.0.0.1:30004"}), Ms(10000)), 0)
      << umx->allText();
  EXPECT_TRUE(umx->waitFor("RPC Client Connect Failed!", Ms(10000)));
  const auto waiting_at = NotifySocket::Clock::now();
  EXPECT_TRUE(umx->waitFor("RPC Client Connect Failed!", Ms(10000), umx->lineCount()));
  // The attempt's ping follows within a tick (half a second here).
  EXPECT_TRUE(vt::waitUntil(
      [&] { return ns.countBetween("WATCHDOG", waiting_at, NotifySocket::Clock::now()) >= 1; },
      Ms(3000)))
      << "pings while the controller is awaited";

  cell.startRobot();
  EXPECT_TRUE(umx->waitFor("VEMO-UMX is Running", Ms(15000)));
  ASSERT_GE(ns.waitFor(status({"running: cycle ",
                               "gateway answering, robot mode 3 (PowerOff), status stream live"}),
                       Ms(5000)),
            0)
      << ns.last("STATUS");
  // Exactly one READY.
  size_t readies = 0;
  for (auto& m : ns.messages()) readies += has(m.text, "READY=1");
  EXPECT_EQ(readies, 1u);

  // A silent gateway: every request still ends (after its four tries), so the
  // watchdog keeps being fed while the status says what is wrong.
  cell.gateway().query("mute on");
  const size_t muted_from = ns.count();
  ASSERT_GE(
      ns.waitFor(status({"running: cycle ", "gateway blocking since "}), Ms(20000), muted_from), 0)
      << ns.last("STATUS");
  const auto blocking_at = NotifySocket::Clock::now();
  EXPECT_TRUE(umx->waitFor("modbus is blocking ", Ms(1000)));
  EXPECT_TRUE(vt::waitUntil(
      [&] { return ns.countBetween("WATCHDOG", blocking_at, NotifySocket::Clock::now()) >= 2; },
      Ms(15000)))
      << "pings while the gateway is silent";

  cell.gateway().query("mute off");
  ASSERT_GE(ns.waitFor(status({"running: cycle ", "gateway answering"}), Ms(15000), ns.count()), 0)
      << ns.last("STATUS");
  EXPECT_TRUE(has(ns.last("STATUS"), "running: cycle ")) << ns.last("STATUS");

  // A controller call that hangs holds the exchange loop: the pings stop
  // until it returns, and come back afterwards.
  const size_t robot_from = cell.robot().lineCount();
  EXPECT_EQ(cell.robotCmd("hold getOperationalMode 4000").rfind("ok", 0), 0u);
  ASSERT_TRUE(cell.robot().waitFor("held getOperationalMode", Ms(5000), robot_from));
  const auto held_at = NotifySocket::Clock::now();
  ASSERT_TRUE(cell.robot().waitFor("released getOperationalMode", Ms(8000), robot_from));
  const auto released_at = NotifySocket::Clock::now();
  // Progress stopped when the call went out; one tick (0.5 s) may still
  // report what came before it.
  EXPECT_EQ(ns.countBetween("WATCHDOG", held_at + Ms(1200), released_at - Ms(100)), 0u);
  EXPECT_TRUE(vt::waitUntil(
      [&] { return ns.countBetween("WATCHDOG", released_at, NotifySocket::Clock::now()) >= 2; },
      Ms(5000)))
      << "pings again once the loop moves";
  EXPECT_TRUE(umx->running());
}

// Outside systemd (no NOTIFY_SOCKET, or an empty one), even with a watchdog
// interval left in the environment by a parent, nothing goes to a notify
// socket and no notifier thread runs.
TEST(Systemd, OutsideSystemdNothingIsSent) {
  Cell::Options o;
  o.start_umx = false;
  Cell cell(o);
  cell.start();
  vt::TempDir tmp("vemo-notify");
  NotifySocket ns(tmp.path());
  for (const bool empty : {false, true}) {
    SCOPED_TRACE(empty ? "NOTIFY_SOCKET empty" : "no NOTIFY_SOCKET");
    vt::ProcessOptions opt;
    opt.env = {{"WATCHDOG_USEC", "1000000"}};
    if (empty)
      opt.env.push_back({"NOTIFY_SOCKET", ""});
    else
      opt.unset_env = {"NOTIFY_SOCKET"};
    vt::Process umx({"/bin/sh", "-c", "WATCHDOG_PID=$$ exec \"$0\" --workspace \"$1\"",
                     vt::bin("vemo_umx"), cell.workspace()},
                    opt);
    ASSERT_TRUE(umx.waitFor("VEMO-UMX is Running", Ms(15000))) << umx.allText();
    ASSERT_TRUE(cell.waitCycles(5));
    const auto names = threadNames(umx.pid());
    EXPECT_TRUE(names.count("umx_exchange"));
    EXPECT_FALSE(names.count("umx_notify")) << "no notifier thread without NOTIFY_SOCKET";
    EXPECT_EQ(ns.count(), 0u) << "nothing sent";
    umx.stop();
  }
}

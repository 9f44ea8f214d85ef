// The cell's health as its two readers see it: the status line systemd
// shows and the metrics file must tell the same truth, written once.
#include "cell_health.h"

#include <gtest/gtest.h>

#include <regex>

#include "metrics_writer.h"
#include "modbusdev.h"
#include "systemd_notifier.h"

namespace {

MetricsWriter::Snapshot sampled(const CellHealth& h) {
  MetricsWriter::Snapshot s;
  MetricsWriter::sample(h, s);
  return s;
}

bool has(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

TEST(CellHealth, StartUpPhasesSayWhatIsAwaitedAndTheMetricsSayNotUpYet) {
  CellHealth h;
  EXPECT_EQ(SystemdNotifier::statusLine(h), "starting");
  EXPECT_FALSE(sampled(h).up);
  EXPECT_EQ(sampled(h).runtime_state, CellHealth::kUnknownRuntimeState);

  EXPECT_TRUE(h.setPhase(CellHealth::Phase::kConnectingRpc));
  EXPECT_FALSE(h.setPhase(CellHealth::Phase::kConnectingRpc)) << "not a new phase";
  EXPECT_EQ(SystemdNotifier::statusLine(h),
            "waiting for the robot controller: RPC 127.0.0.1:30004");
  h.setPhase(CellHealth::Phase::kWaitingRobotName);
  EXPECT_EQ(SystemdNotifier::statusLine(h),
            "waiting for the robot controller: no robot listed yet");
  h.setPhase(CellHealth::Phase::kConnectingRtde);
  EXPECT_EQ(SystemdNotifier::statusLine(h),
            "waiting for the robot controller: RTDE 127.0.0.1:30010");
  h.setPhase(CellHealth::Phase::kRunningUnconfigured);
  EXPECT_EQ(SystemdNotifier::statusLine(h),
            "running without a complete configuration (see the log): first cycle, gateway "
            "answering, robot mode 0 (NoController), status stream live");
  EXPECT_FALSE(sampled(h).up);
  h.setInitCompleted();
  h.setPhase(CellHealth::Phase::kRunning);
  EXPECT_TRUE(sampled(h).up);
}

TEST(CellHealth, CyclesGatewayAndControllerReadTheSameInTheStatusLineAndTheMetrics) {
  CellHealth h;
  ModbusDev gateway;
  h.watch(&gateway, nullptr);
  h.setPhase(CellHealth::Phase::kRunning);

  h.cycleDone(180000);
  h.cycleDone(12345678);
  EXPECT_TRUE(has(SystemdNotifier::statusLine(h), "running: cycle 12.3 s,"));
  h.cycleDone(180400);
  EXPECT_TRUE(has(SystemdNotifier::statusLine(h), "running: cycle 180 ms,"));
  auto s = sampled(h);
  EXPECT_EQ(s.cycle_buckets[1], 2u) << "180 ms falls in the bucket up to 200 ms";
  EXPECT_EQ(s.cycle_buckets[9], 1u) << "12.3 s in the one up to 30 s";
  EXPECT_EQ(s.cycle_us_sum, 180000u + 12345678u + 180400u);

  const std::regex hms(R"(\d\d:\d\d:\d\d)");
  EXPECT_EQ(h.transacted(-1), -1);
  std::string line = SystemdNotifier::statusLine(h);
  EXPECT_TRUE(
      std::regex_search(line, std::regex(R"(, gateway not answering since \d\d:\d\d:\d\d,)")))
      << line;
  EXPECT_TRUE(sampled(h).gateway_failing);
  EXPECT_FALSE(sampled(h).gateway_blocking);
  const int64_t since = h.gatewayFailingSince();
  h.transacted(-1);
  EXPECT_EQ(h.gatewayFailingSince(), since) << "the first failure of an outage counts";
  h.gatewayBlocking();
  line = SystemdNotifier::statusLine(h);
  EXPECT_TRUE(std::regex_search(line, std::regex(R"(, gateway blocking since \d\d:\d\d:\d\d,)")))
      << line;
  EXPECT_TRUE(sampled(h).gateway_blocking);
  h.transacted(0);
  EXPECT_TRUE(has(SystemdNotifier::statusLine(h), ", gateway answering,"));
  s = sampled(h);
  EXPECT_FALSE(s.gateway_failing);
  EXPECT_FALSE(s.gateway_blocking);

  h.setRobotMode(8);
  h.setStreamStalled(false);
  EXPECT_TRUE(has(SystemdNotifier::statusLine(h), ", robot mode 8 (Running), status stream live"));
  h.setRobotMode(0);
  h.setStreamStalled(true);
  h.setChannels(false, true);
  h.setSafetyMode(0);
  EXPECT_TRUE(
      has(SystemdNotifier::statusLine(h), ", robot mode 0 (NoController), status stream stalled"));
  s = sampled(h);
  EXPECT_EQ(s.robot_mode, 0);
  EXPECT_TRUE(s.status_stream_stalled);
  EXPECT_FALSE(s.rpc_connected);
  EXPECT_TRUE(s.rtde_connected);
  EXPECT_EQ(s.safety_mode, 0);
  EXPECT_FALSE(s.modbus_line_open) << "read through from the gateway link";
}

TEST(CellHealth, ProgressHeartbeatAndCommandsCountAsTheWatchdogAndThePlcExpect) {
  CellHealth h;
  const uint64_t p0 = h.progress();
  h.markProgress();
  h.transacted(-1);
  h.transacted(0);
  EXPECT_EQ(h.progress(), p0 + 3) << "failed transactions are progress too";
  EXPECT_EQ(h.statusPackets(), 0u) << "nothing watched yet";

  // The heartbeat never reads 0 again once started: the PLC takes 0 for
  // "never written".
  for (int i = 0; i < 65535; ++i) h.nextHeartbeat();
  EXPECT_EQ(h.heartbeatWord(), 65535);
  EXPECT_EQ(h.nextHeartbeat(), 1);
  EXPECT_EQ(sampled(h).heartbeat_word, 1);
  h.resetHeartbeat();
  EXPECT_EQ(h.nextHeartbeat(), 1);

  h.countCommand(CommandLatch::kRunProgram, 0);
  h.countCommand(CommandLatch::kRunProgram, -3);
  h.countCommand(CommandLatch::kStopProgram, 0);
  h.countCommand(99, 0);  // no such command: nothing counted, nothing overrun
  auto s = sampled(h);
  EXPECT_EQ(s.commands[CommandLatch::kRunProgram], 2u);
  EXPECT_EQ(s.command_failures[CommandLatch::kRunProgram], 1u);
  EXPECT_EQ(s.commands[CommandLatch::kStopProgram], 1u);
  EXPECT_EQ(s.command_failures[CommandLatch::kStopProgram], 0u);
  const std::string text = MetricsWriter::render(s, 0);
  EXPECT_TRUE(has(text, "vemo_umx_commands_total{command=\"runProgram\"} 2\n")) << text;
  EXPECT_TRUE(has(text, "vemo_umx_command_failures_total{command=\"runProgram\"} 1\n")) << text;
}

}  // namespace

#include "systemd_notifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "controller_endpoint.h"
#include "gateway_map.h"

namespace {

std::string clockTime(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
  return buf;
}

}  // namespace

SystemdNotifier::SystemdNotifier() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  enabled_ = socket != nullptr && *socket != '\0';
  uint64_t usec = 0;
  // Checks WATCHDOG_PID against this process too.
  if (enabled_ && sd_watchdog_enabled(0, &usec) > 0) {
    watchdog_ = std::chrono::microseconds(usec);
    // systemd's advice: ping at half the timeout at the latest.
    const auto half = std::chrono::duration_cast<std::chrono::milliseconds>(watchdog_ / 2);
    period_ = std::clamp(half, std::chrono::milliseconds(50), std::chrono::milliseconds(1000));
  }
}

void SystemdNotifier::start(const CellHealth& health) {
  if (!enabled_ || thread_.running()) return;
  health_ = &health;
  thread_.start("umx_notify", period_, [this] { tick(); });
}

void SystemdNotifier::tick() {
  const uint64_t progress = health_->progress();
  const std::string status = statusLine(*health_);
  // One datagram per tick: READY, STATUS and WATCHDOG as they are due.
  std::string message;
  if (!ready_sent_) message += "READY=1\n";
  if (status != sent_status_) message += "STATUS=" + status + "\n";
  // Progress since the last ping is what feeds the watchdog; a loop that
  // stands still anywhere lets it run out.
  const bool ping = watchdog_.count() > 0 && (!pinged_ || progress != pinged_progress_);
  if (ping) message += "WATCHDOG=1\n";
  if (message.empty()) return;
  if (sd_notify(0, message.c_str()) <= 0) return;  // tried again next tick
  ready_sent_ = true;
  sent_status_ = status;
  if (ping) {
    pinged_ = true;
    pinged_progress_ = progress;
  }
}

std::string SystemdNotifier::statusLine(const CellHealth& health) {
  using Phase = CellHealth::Phase;
  const std::string controller = std::string(controller_endpoint::kHost) + ":";
  const Phase phase = health.phase();
  switch (phase) {
    case Phase::kStarting:
      return "starting";
    case Phase::kConnectingRpc:
      return "waiting for the robot controller: RPC " + controller +
             std::to_string(controller_endpoint::kRpcPort);
    case Phase::kWaitingRobotName:
      return "waiting for the robot controller: no robot listed yet";
    case Phase::kConnectingRtde:
      return "waiting for the robot controller: RTDE " + controller +
             std::to_string(controller_endpoint::kRtdePort);
    case Phase::kConfiguring:
      return "reading the configuration";
    case Phase::kOpeningGateway:
      return "opening the gateway";
    case Phase::kRunning:
    case Phase::kRunningUnconfigured:
      break;
  }
  std::string line = phase == Phase::kRunning
                         ? "running"
                         : "running without a complete configuration (see the log)";
  const uint32_t ms = health.lastCycleMs();
  if (ms == 0) {
    line += ": first cycle";
  } else if (ms < 10000) {
    line += ": cycle " + std::to_string(ms) + " ms";
  } else {
    line += ": cycle " + std::to_string(ms / 1000) + "." + std::to_string(ms / 100 % 10) + " s";
  }
  const int64_t failing = health.gatewayFailingSince();
  const int64_t blocking = health.gatewayBlockingSince();
  // Blocking (nothing completed for 3 s) also covers a cycle held up in a
  // controller call while the gateway itself is fine.
  if (blocking != 0)
    line += ", gateway blocking since " + clockTime(blocking);
  else if (failing != 0)
    line += ", gateway not answering since " + clockTime(failing);
  else
    line += ", gateway answering";
  const int mode = health.robotMode();
  line += ", robot mode " + std::to_string(mode) + " (" + gateway_map::robotModeName(mode) + ")";
  line += health.streamStalled() ? ", status stream stalled" : ", status stream live";
  return line;
}

#pragma once
// Tells systemd how the bridge is doing over its notify socket: READY=1 as
// soon as it starts (the boot and `systemctl start` never wait for the
// controller), one STATUS= line kept current at most once a second, and
// WATCHDOG=1 only while the cell makes progress, so that a hung bridge is
// restarted instead of leaving the PLC a frozen heartbeat. The only code that
// knows the notify protocol and the status line. Outside systemd (no
// NOTIFY_SOCKET) it starts no thread and sends nothing.
#include <chrono>
#include <cstdint>
#include <string>

#include "cell_health.h"
#include "periodic_thread.h"

class SystemdNotifier {
 public:
  SystemdNotifier();
  ~SystemdNotifier() { stop(); }
  SystemdNotifier(const SystemdNotifier&) = delete;
  SystemdNotifier& operator=(const SystemdNotifier&) = delete;

  bool enabled() const { return enabled_; }
  // The watchdog timeout systemd expects, 0 when it expects none.
  std::chrono::microseconds watchdogTimeout() const { return watchdog_; }

  // Starts the notifier thread, which reports `health` once per tick. Nothing
  // happens when not under systemd or when already started.
  void start(const CellHealth& health);
  // A tick now rather than at the next period (a new phase without delay).
  void wake() { thread_.wake(); }
  void stop() { thread_.stop(); }

  // One line saying what the bridge is doing: waiting for the controller
  // (which channel), or the last cycle time, the gateway state, the robot
  // mode and the status stream.
  static std::string statusLine(const CellHealth& health);

 private:
  void tick();

  bool enabled_ = false;
  std::chrono::microseconds watchdog_{0};
  std::chrono::milliseconds period_{1000};
  const CellHealth* health_ = nullptr;
  // Notifier thread only.
  bool ready_sent_ = false;
  bool pinged_ = false;
  uint64_t pinged_progress_ = 0;
  std::string sent_status_;
  PeriodicThread thread_;  // last: stopped before the members it uses go
};

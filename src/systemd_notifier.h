#pragma once
// Tells systemd how the bridge is doing over its notify socket: READY=1 once
// the exchange cycle runs, one STATUS= line kept current at most once a
// second, and WATCHDOG=1 only while the bridge makes progress, so that a hung
// bridge is restarted instead of leaving the PLC a frozen heartbeat. The only
// code that knows the notify protocol. Outside systemd (no NOTIFY_SOCKET) it
// starts no thread and sends nothing.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class SystemdNotifier {
 public:
  // What the bridge reports at each tick: `progress` grows with every
  // transaction or controller call completed (successful or not), so a loop
  // stuck anywhere stops it; `ready` once the exchange cycle runs.
  struct Report {
    uint64_t progress = 0;
    bool ready = false;
    std::string status;
  };
  using Sampler = std::function<void(Report&)>;

  SystemdNotifier();
  ~SystemdNotifier();
  SystemdNotifier(const SystemdNotifier&) = delete;
  SystemdNotifier& operator=(const SystemdNotifier&) = delete;

  bool enabled() const { return enabled_; }
  // The watchdog timeout systemd expects, 0 when it expects none.
  std::chrono::microseconds watchdogTimeout() const { return watchdog_; }

  // Starts the notifier thread, which calls `sampler` once per tick. Nothing
  // happens when not under systemd or when already started.
  void start(Sampler sampler);
  // A tick now rather than at the next period (READY=1 without delay).
  void wake();
  void stop();

 private:
  void run();
  void tick(Report& report);

  bool enabled_ = false;
  std::chrono::microseconds watchdog_{0};
  std::chrono::milliseconds period_{1000};
  Sampler sampler_;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool woken_ = false;
  // Notifier thread only.
  bool ready_sent_ = false;
  bool pinged_ = false;
  uint64_t pinged_progress_ = 0;
  std::string sent_status_;
};

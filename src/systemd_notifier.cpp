#include "systemd_notifier.h"

#include <pthread.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>

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

SystemdNotifier::~SystemdNotifier() {
  stop();
}

void SystemdNotifier::start(Sampler sampler) {
  if (!enabled_ || thread_.joinable()) return;
  sampler_ = std::move(sampler);
  thread_ = std::thread(&SystemdNotifier::run, this);
}

void SystemdNotifier::wake() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    woken_ = true;
  }
  cv_.notify_one();
}

void SystemdNotifier::stop() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
  }
  cv_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void SystemdNotifier::run() {
  pthread_setname_np(pthread_self(), "umx_notify");
  Report report;
  std::unique_lock<std::mutex> lk(mu_);
  while (!stop_) {
    woken_ = false;
    lk.unlock();
    report.progress = 0;
    report.ready = false;
    report.status.clear();
    sampler_(report);
    tick(report);
    lk.lock();
    cv_.wait_for(lk, period_, [this] { return stop_ || woken_; });
  }
}

void SystemdNotifier::tick(Report& report) {
  // One datagram per tick: READY, STATUS and WATCHDOG as they are due.
  std::string message;
  if (report.ready && !ready_sent_) message += "READY=1\n";
  if (report.status != sent_status_) message += "STATUS=" + report.status + "\n";
  // Progress since the last ping is what feeds the watchdog; a loop that
  // stands still anywhere lets it run out.
  const bool ping = watchdog_.count() > 0 && (!pinged_ || report.progress != pinged_progress_);
  if (ping) message += "WATCHDOG=1\n";
  if (message.empty()) return;
  if (sd_notify(0, message.c_str()) <= 0) return;  // tried again next tick
  if (report.ready) ready_sent_ = true;
  sent_status_ = report.status;
  if (ping) {
    pinged_ = true;
    pinged_progress_ = report.progress;
  }
}

#pragma once
// A named thread that runs one task at once and then once per period, or
// sooner when woken, until stopped; it can be started again after a stop.
// The low-rate writers (the notifier, the metrics file) run on it, so that
// their threads start, wake and stop the same way.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class PeriodicThread {
 public:
  using Task = std::function<void()>;

  PeriodicThread() = default;
  ~PeriodicThread() { stop(); }
  PeriodicThread(const PeriodicThread&) = delete;
  PeriodicThread& operator=(const PeriodicThread&) = delete;

  // Starts the thread (named `name` for top -H and crash reports): `task` now,
  // then every `period`. false, and nothing changes, when it runs already.
  bool start(std::string name, std::chrono::milliseconds period, Task task);
  // The next run now rather than at the end of the period.
  void wake();
  // Ends and joins the thread; a run under way is finished first.
  void stop();
  bool running() const { return thread_.joinable(); }

 private:
  void run();

  std::string name_;
  std::chrono::milliseconds period_{1000};
  Task task_;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool woken_ = false;
};

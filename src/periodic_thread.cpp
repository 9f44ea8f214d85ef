#include "periodic_thread.h"

#include <pthread.h>

bool PeriodicThread::start(std::string name, std::chrono::milliseconds period, Task task) {
  if (thread_.joinable()) return false;
  name_ = std::move(name);
  period_ = period;
  task_ = std::move(task);
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = false;
    woken_ = false;
  }
  thread_ = std::thread(&PeriodicThread::run, this);
  return true;
}

void PeriodicThread::wake() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    woken_ = true;
  }
  cv_.notify_one();
}

void PeriodicThread::stop() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
  }
  cv_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void PeriodicThread::run() {
  // Linux keeps 15 characters of a thread's name.
  pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
  std::unique_lock<std::mutex> lk(mu_);
  while (!stop_) {
    woken_ = false;
    lk.unlock();
    task_();
    lk.lock();
    cv_.wait_for(lk, period_, [this] { return stop_ || woken_; });
  }
}

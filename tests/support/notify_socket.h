#pragma once
// The service manager's end of the notify protocol, for tests: a Unix
// datagram socket that collects what the service sends (READY=1, STATUS=...,
// WATCHDOG=1), each datagram stamped with its arrival time.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process.h"

namespace vt {

class NotifySocket {
 public:
  using Clock = std::chrono::steady_clock;
  struct Message {
    Clock::time_point at;
    std::string text;  // one or more "KEY=value" lines
  };

  // Binds `dir`/notify.
  explicit NotifySocket(const std::string& dir);
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  const std::string& path() const { return path_; }
  std::vector<Message> messages() const;
  size_t count() const;
  // Waits for a datagram at index >= from whose text satisfies pred; its index or -1.
  long waitFor(const std::function<bool(const std::string&)>& pred, Ms timeout, size_t from = 0);
  // The value of the last "KEY=" line received so far ("" when none).
  std::string last(const std::string& key) const;
  // Datagrams carrying "KEY=..." that arrived within [from, to).
  size_t countBetween(const std::string& key, Clock::time_point from, Clock::time_point to) const;

 private:
  void reader();

  std::string path_;
  int fd_ = -1;
  bool stop_ = false;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Message> messages_;
  std::thread thread_;
};

// The values of `key` in a datagram's lines.
std::vector<std::string> notifyValues(const std::string& text, const std::string& key);

}  // namespace vt

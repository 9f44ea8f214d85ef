#include "notify_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <stdexcept>

namespace vt {

NotifySocket::NotifySocket(const std::string& dir) : path_(dir + "/notify") {
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (fd_ < 0 || path_.size() >= sizeof addr.sun_path)
    throw std::runtime_error("notify socket: cannot create " + path_);
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  ::unlink(path_.c_str());
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("notify socket: cannot bind " + path_ + ": " + std::strerror(errno));
  thread_ = std::thread(&NotifySocket::reader, this);
}

NotifySocket::~NotifySocket() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
  }
  if (thread_.joinable()) thread_.join();
  ::close(fd_);
  ::unlink(path_.c_str());
}

void NotifySocket::reader() {
  char buf[4096];
  for (;;) {
    {
      std::lock_guard<std::mutex> lk(mu_);
      if (stop_) return;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) continue;
    std::lock_guard<std::mutex> lk(mu_);
    messages_.push_back({Clock::now(), std::string(buf, static_cast<size_t>(n))});
    cv_.notify_all();
  }
}

std::vector<NotifySocket::Message> NotifySocket::messages() const {
  std::lock_guard<std::mutex> lk(mu_);
  return messages_;
}

size_t NotifySocket::count() const {
  std::lock_guard<std::mutex> lk(mu_);
  return messages_.size();
}

long NotifySocket::waitFor(const std::function<bool(const std::string&)>& pred, Ms timeout,
                           size_t from) {
  const auto deadline = Clock::now() + timeout;
  std::unique_lock<std::mutex> lk(mu_);
  for (size_t i = from;;) {
    for (; i < messages_.size(); ++i)
      if (pred(messages_[i].text)) return static_cast<long>(i);
    if (cv_.wait_until(lk, deadline) == std::cv_status::timeout && i == messages_.size()) return -1;
  }
}

std::string NotifySocket::last(const std::string& key) const {
  std::lock_guard<std::mutex> lk(mu_);
  for (auto it = messages_.rbegin(); it != messages_.rend(); ++it) {
    auto values = notifyValues(it->text, key);
    if (!values.empty()) return values.back();
  }
  return "";
}

size_t NotifySocket::countBetween(const std::string& key, Clock::time_point from,
                                  Clock::time_point to) const {
  std::lock_guard<std::mutex> lk(mu_);
  size_t n = 0;
  for (auto& m : messages_)
    if (m.at >= from && m.at < to && !notifyValues(m.text, key).empty()) ++n;
  return n;
}

std::vector<std::string> notifyValues(const std::string& text, const std::string& key) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + "=", 0) == 0) out.push_back(line.substr(key.size() + 1));
  return out;
}

}  // namespace vt

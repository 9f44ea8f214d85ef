#pragma once
// Small POSIX socket helpers shared by the two clients.
#include <chrono>
#include <string>

namespace ryne {
namespace vemo_sdk {
namespace detail {

using Clock = std::chrono::steady_clock;

// A connected TCP socket (TCP_NODELAY, close-on-exec) or -1.
int connectTcp(const std::string& host, int port, int timeout_ms);
// Writes all of data before the deadline; false on error or timeout.
bool sendAll(int fd, const std::string& data, Clock::time_point deadline);
// Waits until fd is readable or the deadline passes: 1 readable, 0 timeout, -1 error.
int waitReadable(int fd, Clock::time_point deadline);
int remainingMs(Clock::time_point deadline);

}  // namespace detail
}  // namespace vemo_sdk
}  // namespace ryne

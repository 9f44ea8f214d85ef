#include "rpc_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "socket_util.h"
#include "vemo_sdk/types.h"

namespace ryne {
namespace vemo_sdk {
namespace detail {

using nlohmann::json;

RpcChannel::~RpcChannel() {
  std::lock_guard<std::mutex> lk(mu_);
  closeLocked();
}

int RpcChannel::connect(const std::string& host, int port) {
  std::lock_guard<std::mutex> lk(mu_);
  closeLocked();
  host_ = host;
  port_ = port;
  fd_ = connectTcp(host_, port_, timeout_ms_);
  reader_.reset();
  return fd_ >= 0 ? 0 : -1;
}

int RpcChannel::disconnect() {
  std::lock_guard<std::mutex> lk(mu_);
  closeLocked();
  host_.clear();  // no reconnecting after an explicit disconnect
  return 0;
}

bool RpcChannel::isConnected() {
  std::lock_guard<std::mutex> lk(mu_);
  if (fd_ >= 0 && !aliveLocked()) closeLocked();
  return fd_ >= 0;
}

int RpcChannel::login(const std::string& user, const std::string& password) {
  std::lock_guard<std::mutex> lk(mu_);
  user_ = user;
  password_ = password;
  have_credentials_ = true;
  if (fd_ >= 0 && !aliveLocked()) closeLocked();
  if (fd_ < 0) {
    if (host_.empty()) return kSdkNotConnected;
    // Opening logs in with the credentials just stored.
    return openLocked();
  }
  return exchangeLocked("login", "", json::array({user, password})).code;
}

void RpcChannel::setTimeout(int ms) {
  std::lock_guard<std::mutex> lk(mu_);
  timeout_ms_ = ms > 0 ? ms : 1;
}

RpcChannel::Reply RpcChannel::call(const std::string& method, const std::string& robot, json args) {
  std::lock_guard<std::mutex> lk(mu_);
  if (fd_ >= 0 && !aliveLocked()) closeLocked();
  if (fd_ < 0) {
    if (host_.empty()) return Reply{kSdkNotConnected, {}};
    int rc = openLocked();
    if (rc != 0 && fd_ < 0) return Reply{rc, {}};
  }
  return exchangeLocked(method, robot, std::move(args));
}

int64_t RpcChannel::integer(const std::string& method, const std::string& robot, int64_t fallback) {
  Reply r = call(method, robot, json::array());
  if (r.code != 0 || !r.result.is_number_integer()) return fallback;
  return r.result.get<int64_t>();
}

int RpcChannel::openLocked() {
  fd_ = connectTcp(host_, port_, timeout_ms_);
  reader_.reset();
  if (fd_ < 0) return kSdkNotConnected;
  if (!have_credentials_) return 0;
  Reply r = exchangeLocked("login", "", json::array({user_, password_}));
  return r.code;
}

void RpcChannel::closeLocked() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  reader_.reset();
}

// Notices a peer that went away while we were idle, so the next request goes
// out on a fresh connection instead of failing. Late answers to requests that
// timed out are read and dropped here.
bool RpcChannel::aliveLocked() {
  char buf[4096];
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    int rc = ::poll(&p, 1, 0);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return rc == 0;
    if (p.revents & (POLLERR | POLLNVAL)) return false;
    ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (n <= 0) return false;
    reader_.append(buf, static_cast<size_t>(n));
    wire::FrameType type;
    std::string body;
    wire::FrameReader::Result res;
    while ((res = reader_.next(type, body)) == wire::FrameReader::Result::kFrame) {
    }
    if (res == wire::FrameReader::Result::kError) return false;
  }
}

RpcChannel::Reply RpcChannel::exchangeLocked(const std::string& method, const std::string& robot,
                                             json args) {
  const uint64_t id = next_id_++;
  json req = {{"id", id}, {"m", method}, {"a", std::move(args)}};
  if (!robot.empty()) req["rb"] = robot;
  const std::string frame = wire::encodeFrame(
      wire::FrameType::kJson, req.dump(-1, ' ', false, json::error_handler_t::replace));
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
  if (!sendAll(fd_, frame, deadline)) {
    closeLocked();
    return Reply{kSdkNotConnected, {}};
  }
  char buf[65536];
  for (;;) {
    wire::FrameType type;
    std::string body;
    auto res = reader_.next(type, body);
    if (res == wire::FrameReader::Result::kError) {
      closeLocked();
      return Reply{kSdkProtocolError, {}};
    }
    if (res == wire::FrameReader::Result::kFrame) {
      if (type != wire::FrameType::kJson) {
        closeLocked();
        return Reply{kSdkProtocolError, {}};
      }
      json msg = json::parse(body, nullptr, false);
      if (msg.is_discarded() || !msg.is_object() || !msg.contains("id") ||
          !msg["id"].is_number_unsigned() || !msg.contains("c") || !msg["c"].is_number_integer()) {
        closeLocked();
        return Reply{kSdkProtocolError, {}};
      }
      if (msg["id"].get<uint64_t>() != id) continue;  // a late answer to an earlier request
      Reply r;
      int64_t c = msg["c"].get<int64_t>();
      r.code = (c < INT32_MIN || c > INT32_MAX) ? kSdkProtocolError : static_cast<int>(c);
      if (msg.contains("r")) r.result = std::move(msg["r"]);
      return r;
    }
    int w = waitReadable(fd_, deadline);
    if (w == 0) {
      // Half a frame in the buffer leaves the stream position unknown.
      if (reader_.pending() > 0) closeLocked();
      return Reply{kSdkTimeout, {}};
    }
    ssize_t n = w < 0 ? -1 : ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n <= 0) {
      const bool truncated = reader_.pending() > 0;
      closeLocked();
      return Reply{truncated ? kSdkProtocolError : kSdkNotConnected, {}};
    }
    reader_.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace detail
}  // namespace vemo_sdk
}  // namespace ryne

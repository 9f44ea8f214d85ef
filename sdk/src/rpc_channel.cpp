#include "rpc_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

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
  if (fd_ >= 0 && !aliveLocked(deadlineLocked())) closeLocked();
  return fd_ >= 0;
}

int RpcChannel::login(const std::string& user, const std::string& password) {
  std::lock_guard<std::mutex> lk(mu_);
  user_ = user;
  password_ = password;
  have_credentials_ = true;
  const auto deadline = deadlineLocked();
  if (fd_ >= 0 && !aliveLocked(deadline)) closeLocked();
  if (fd_ < 0) {
    if (host_.empty()) return kSdkNotConnected;
    // Opening logs in with the credentials just stored.
    return openLocked(deadline);
  }
  return exchangeLocked("login", "", json::array({user, password}), deadline).code;
}

void RpcChannel::setTimeout(int ms) {
  std::lock_guard<std::mutex> lk(mu_);
  timeout_ms_ = ms > 0 ? ms : 1;
}

RpcChannel::Reply RpcChannel::call(const std::string& method, const std::string& robot, json args) {
  std::lock_guard<std::mutex> lk(mu_);
  const auto deadline = deadlineLocked();
  if (fd_ >= 0 && !aliveLocked(deadline)) closeLocked();
  if (fd_ < 0) {
    if (host_.empty()) return Reply{kSdkNotConnected, {}};
    int rc = openLocked(deadline);
    if (rc != 0 && fd_ < 0) return Reply{rc, {}};
  }
  return exchangeLocked(method, robot, std::move(args), deadline);
}

namespace {

void appendJsonString(std::string& out, const std::string& text) {
  out.push_back('"');
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (c < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      out.append("\\u00");
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(ch);
    }
  }
  out.push_back('"');
}

void appendNumber(std::string& out, uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace

int64_t RpcChannel::integer(const char* method, const std::string& robot, int64_t fallback) {
  std::lock_guard<std::mutex> lk(mu_);
  const auto deadline = deadlineLocked();
  if (fd_ >= 0 && !aliveLocked(deadline)) closeLocked();
  if (fd_ < 0) {
    if (host_.empty()) return fallback;
    if (openLocked(deadline) != 0 && fd_ < 0) return fallback;
  }
  const uint64_t id = next_id_++;
  request_.clear();
  request_.append("{\"a\":[],\"id\":");
  appendNumber(request_, id);
  request_.append(",\"m\":\"").append(method).push_back('"');
  if (!robot.empty()) {
    request_.append(",\"rb\":");
    appendJsonString(request_, robot);
  }
  request_.push_back('}');
  if (roundTripLocked(id, deadline) != 0) return fallback;
  if (flat_ok_) return flat_.code == 0 && flat_.result_is_integer ? flat_.result : fallback;
  if (reply_json_["c"].get<int64_t>() != 0 || !reply_json_.contains("r") ||
      !reply_json_["r"].is_number_integer())
    return fallback;
  return reply_json_["r"].get<int64_t>();
}

bool RpcChannel::scanFlatReply(const std::string& body, FlatReply& out) {
  const char* p = body.data();
  const char* end = p + body.size();
  auto ws = [&] {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
  };
  out = FlatReply{};
  bool have_id = false, have_code = false;
  ws();
  if (p == end || *p++ != '{') return false;
  ws();
  if (p < end && *p == '}') return false;  // no id, no code
  for (;;) {
    ws();
    if (p == end || *p++ != '"') return false;
    const char* key = p;
    // Plain printable ASCII only: escapes, control bytes and UTF-8 are the
    // full parser's to judge.
    while (p < end && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20 &&
           static_cast<unsigned char>(*p) < 0x80)
      ++p;
    if (p == end || *p != '"') return false;
    const size_t key_len = static_cast<size_t>(p - key);
    ++p;
    ws();
    if (p == end || *p++ != ':') return false;
    ws();
    bool is_integer = false;
    bool signed_text = false;  // "-0" is a signed zero to a JSON reader
    int64_t value = 0;
    if (p < end && (*p == '-' || (*p >= '0' && *p <= '9'))) {
      // JSON's own number grammar: no leading zeros, a digit after '-'.
      signed_text = *p == '-';
      const char* digits = signed_text ? p + 1 : p;
      if (digits == end || *digits < '0' || *digits > '9') return false;
      if (*digits == '0' && digits + 1 < end && digits[1] >= '0' && digits[1] <= '9') return false;
      auto r = std::from_chars(p, end, value);
      if (r.ec != std::errc()) return false;
      p = r.ptr;
      if (p < end && (*p == '.' || *p == 'e' || *p == 'E')) return false;  // not an integer
      is_integer = true;
    } else if (end - p >= 4 && std::memcmp(p, "null", 4) == 0) {
      p += 4;
    } else {
      return false;  // booleans, strings, arrays, objects
    }
    auto is = [&](const char* k) {
      return key_len == std::strlen(k) && std::memcmp(key, k, key_len) == 0;
    };
    if (is("id")) {
      if (!is_integer || signed_text) return false;  // ids are unsigned
      out.id = static_cast<uint64_t>(value);
      have_id = true;
    } else if (is("c")) {
      if (!is_integer) return false;
      out.code = value;
      have_code = true;
    } else if (is("r")) {
      out.has_result = true;
      out.result_is_integer = is_integer;
      out.result = value;
    }
    ws();
    if (p == end) return false;
    if (*p == ',') {
      ++p;
      continue;
    }
    if (*p++ != '}') return false;
    ws();
    return p == end && have_id && have_code;
  }
}

Clock::time_point RpcChannel::deadlineLocked() const {
  return Clock::now() + std::chrono::milliseconds(timeout_ms_);
}

int RpcChannel::openLocked(Clock::time_point deadline) {
  const int ms = remainingMs(deadline);
  if (ms == 0) return kSdkTimeout;
  fd_ = connectTcp(host_, port_, ms);
  reader_.reset();
  if (fd_ < 0) return kSdkNotConnected;
  if (!have_credentials_) return 0;
  Reply r = exchangeLocked("login", "", json::array({user_, password_}), deadline);
  return r.code;
}

void RpcChannel::closeLocked() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  reader_.reset();
}

// Notices a peer that went away while we were idle, so the next request goes
// out on a fresh connection instead of failing. Late answers to requests that
// timed out are read and dropped here, but only until the call's deadline: a
// peer that never stops sending must not keep the call here.
bool RpcChannel::aliveLocked(Clock::time_point deadline) {
  char buf[4096];
  for (;;) {
    if (Clock::now() >= deadline) return true;  // the round trip reports the time-out
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
                                             json args, Clock::time_point deadline) {
  const uint64_t id = next_id_++;
  json req = {{"id", id}, {"m", method}, {"a", std::move(args)}};
  if (!robot.empty()) req["rb"] = robot;
  request_ = req.dump(-1, ' ', false, json::error_handler_t::replace);
  int rc = roundTripLocked(id, deadline);
  if (rc != 0) return Reply{rc, {}};
  Reply r;
  if (flat_ok_) {
    r.code = (flat_.code < INT32_MIN || flat_.code > INT32_MAX) ? kSdkProtocolError
                                                                : static_cast<int>(flat_.code);
    if (flat_.result_is_integer) r.result = flat_.result;  // else null, as parsed
    return r;
  }
  int64_t c = reply_json_["c"].get<int64_t>();
  r.code = (c < INT32_MIN || c > INT32_MAX) ? kSdkProtocolError : static_cast<int>(c);
  if (reply_json_.contains("r")) r.result = std::move(reply_json_["r"]);
  return r;
}

int RpcChannel::roundTripLocked(uint64_t id, Clock::time_point deadline) {
  // Out of time already (an earlier step used it up): the request is not sent
  // at all, rather than sent and then given up on.
  if (Clock::now() >= deadline) return kSdkTimeout;
  wire::encodeFrameInto(frame_, wire::FrameType::kJson, request_);
  if (!sendAll(fd_, frame_, deadline)) {
    closeLocked();
    return kSdkNotConnected;
  }
  char buf[65536];
  for (;;) {
    wire::FrameType type;
    auto res = reader_.next(type, reply_body_);
    if (res == wire::FrameReader::Result::kError) {
      closeLocked();
      return kSdkProtocolError;
    }
    if (res == wire::FrameReader::Result::kFrame) {
      if (type != wire::FrameType::kJson) {
        closeLocked();
        return kSdkProtocolError;
      }
      uint64_t reply_id;
      flat_ok_ = scanFlatReply(reply_body_, flat_);
      if (flat_ok_) {
        reply_id = flat_.id;
      } else {
        reply_json_ = json::parse(reply_body_, nullptr, false);
        const json& msg = reply_json_;
        if (msg.is_discarded() || !msg.is_object() || !msg.contains("id") ||
            !msg["id"].is_number_unsigned() || !msg.contains("c") ||
            !msg["c"].is_number_integer()) {
          closeLocked();
          return kSdkProtocolError;
        }
        reply_id = msg["id"].get<uint64_t>();
      }
      if (reply_id != id) continue;  // a late answer to an earlier request
      return 0;
    }
    // Checked here and not only by the wait: frames with other ids arriving
    // without pause would otherwise keep the socket readable for ever.
    int w = Clock::now() >= deadline ? 0 : waitReadable(fd_, deadline);
    if (w == 0) {
      // Half a frame in the buffer leaves the stream position unknown.
      if (reader_.pending() > 0) closeLocked();
      return kSdkTimeout;
    }
    ssize_t n = w < 0 ? -1 : ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n <= 0) {
      const bool truncated = reader_.pending() > 0;
      closeLocked();
      return truncated ? kSdkProtocolError : kSdkNotConnected;
    }
    reader_.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace detail
}  // namespace vemo_sdk
}  // namespace ryne

#include "robot_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

namespace robot_sim {

using nlohmann::json;
namespace wire = ryne::vemo_sdk::wire;

namespace {

constexpr size_t kMaxBacklog = 8u << 20;  // unsent bytes before a slow client is dropped

// Calls that change the controller's state: each is announced on stdout.
const std::set<std::string> kChangingCalls = {"login",
                                              "setStandardDigitalOutput",
                                              "setToolDigitalOutput",
                                              "setConfigurableDigitalOutput",
                                              "setSpeedFraction",
                                              "textmsg",
                                              "poweron",
                                              "poweroff",
                                              "startup",
                                              "runProgram",
                                              "pause",
                                              "resume",
                                              "stop",
                                              "setBoolInput",
                                              "setBoolOutput",
                                              "setInt32Input",
                                              "setInt32Output",
                                              "setInt16Register"};

std::string oneLine(std::string s) {
  for (char& ch : s)
    if (ch == '\n' || ch == '\r') ch = ' ';
  return s;
}

std::string fmtNumber(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

std::string fmtArg(const json& v) {
  if (v.is_boolean()) return v.get<bool>() ? "1" : "0";
  if (v.is_number_integer()) return std::to_string(v.get<int64_t>());
  if (v.is_number()) return fmtNumber(v.get<double>());
  if (v.is_string()) return oneLine(v.get<std::string>());
  return oneLine(v.dump(-1, ' ', false, json::error_handler_t::replace));
}

bool argInt(const json& a, size_t i, int64_t lo, int64_t hi, int64_t& out) {
  if (i >= a.size()) return false;
  const json& v = a[i];
  if (v.is_boolean()) {
    out = v.get<bool>();
  } else if (v.is_number_integer()) {
    out = v.get<int64_t>();
  } else {
    return false;
  }
  return out >= lo && out <= hi;
}

bool argBool(const json& a, size_t i, bool& out) {
  int64_t v;
  if (!argInt(a, i, 0, 1, v)) return false;
  out = v != 0;
  return true;
}

bool parseInt(const std::string& t, int64_t lo, int64_t hi, int64_t& out) {
  if (t.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(t.c_str(), &end, 0);
  if (errno || *end) return false;
  out = v;
  return out >= lo && out <= hi;
}

bool parseDouble(const std::string& t, double& out) {
  if (t.empty()) return false;
  char* end = nullptr;
  out = std::strtod(t.c_str(), &end);
  return *end == 0;
}

}  // namespace

void say(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

RobotSim::RobotSim(SimOptions options) : opt_(options), arm_(options.arm) {}

RobotSim::~RobotSim() {
  for (auto& c : conns_)
    if (c->fd >= 0) ::close(c->fd);
  if (rpc_listen_ >= 0) ::close(rpc_listen_);
  if (rtde_listen_ >= 0) ::close(rtde_listen_);
}

int RobotSim::listenOn(int port, int& bound) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || ::listen(fd, 16) < 0) {
    std::fprintf(stderr, "vemo_robot_sim: cannot listen on 127.0.0.1:%d: %s\n", port,
                 std::strerror(errno));
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  bound = ntohs(addr.sin_port);
  return fd;
}

void RobotSim::acceptOn(int listen_fd, bool rtde) {
  for (;;) {
    int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Conn>();
    c->fd = fd;
    c->rtde = rtde;
    conns_.push_back(std::move(c));
  }
}

void RobotSim::close(Conn& c, const std::string& why) {
  if (c.fd < 0) return;
  if (!why.empty())
    std::fprintf(stderr, "vemo_robot_sim: closing %s client: %s\n", c.rtde ? "RTDE" : "RPC",
                 why.c_str());
  ::close(c.fd);
  c.fd = -1;
  c.closing = true;
}

void RobotSim::send(Conn& c, wire::FrameType type, const std::string& body) {
  if (c.fd < 0) return;
  c.out += wire::encodeFrame(type, body);
  writeTo(c);
  if (c.out.size() > kMaxBacklog) close(c, "client does not read");
}

void RobotSim::writeTo(Conn& c) {
  while (c.fd >= 0 && !c.out.empty()) {
    ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (n > 0) {
      c.out.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    close(c, "");
  }
}

void RobotSim::readFrom(Conn& c) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {
      close(c, c.reader.pending() ? "connection ended inside a frame" : "");
      return;
    }
    c.reader.append(buf, static_cast<size_t>(n));
    wire::FrameType type;
    std::string body;
    for (;;) {
      auto res = c.reader.next(type, body);
      if (res == wire::FrameReader::Result::kNeedMore) break;
      if (res == wire::FrameReader::Result::kError) return close(c, c.reader.error());
      if (type == wire::FrameType::kJson)
        handleJson(c, body);
      else if (type == wire::FrameType::kOutput && c.rtde)
        handleOutput(c, body);
      else
        return close(c, "unexpected frame type");
      if (c.fd < 0) return;
    }
  }
}

void RobotSim::handleJson(Conn& c, const std::string& body) {
  json msg = json::parse(body, nullptr, false);
  if (msg.is_discarded() || !msg.is_object() || !msg.contains("id") ||
      !msg["id"].is_number_unsigned() || !msg.contains("m") || !msg["m"].is_string())
    return close(c, "malformed request");
  const std::string m = msg["m"].get<std::string>();
  json args = msg.contains("a") ? msg["a"] : json::array();
  if (!args.is_array()) return close(c, "malformed request arguments");
  std::string robot;
  if (msg.contains("rb") && msg["rb"].is_string()) robot = msg["rb"].get<std::string>();

  ++stats_[c.rtde ? "rtde:" + m : m];  // RTDE requests apart from the RPC calls
  int code = kOk;
  json result;
  if (c.rtde) {
    result = handleRtde(c, m, args, code);
  } else {
    std::string line = "call " + m;
    for (auto& v : args) line += " " + fmtArg(v);
    // A hung controller: the call neither takes effect nor is answered.
    for (const std::string& key : {m, std::string("*")}) {
      auto h = hangs_.find(key);
      if (h == hangs_.end()) continue;
      if (Clock::now() < h->second) {
        ++stats_["hung"];
        return say("hung " + line);
      }
      hangs_.erase(h);
    }
    if (kChangingCalls.count(m)) say(line);
    auto f = fail_codes_.find(m);
    if (f != fail_codes_.end())
      code = f->second;
    else
      result = handleRpc(m, robot, args, code);
  }
  json reply = {{"id", msg["id"]}, {"c", code}};
  if (!result.is_null()) reply["r"] = std::move(result);
  std::string answer = reply.dump(-1, ' ', false, json::error_handler_t::replace);
  auto delay = c.rtde ? delays_.end() : delays_.find(m);
  if (!c.rtde && delay == delays_.end()) delay = delays_.find("*");
  if (delay != delays_.end()) {
    held_.push_back({&c, m, Clock::now() + delay->second, std::move(answer), true});
    return;
  }
  auto hold = c.rtde ? holds_.end() : holds_.find(m);
  if (hold != holds_.end()) {
    // Done now, answered late: the client sees a slow controller, not a lost call.
    held_.push_back({&c, m, Clock::now() + hold->second, std::move(answer)});
    holds_.erase(hold);
    return say("held " + m);
  }
  send(c, wire::FrameType::kJson, answer);
}

json RobotSim::handleRpc(const std::string& m, const std::string& robot, const json& a, int& code) {
  const auto now = Clock::now();
  arm_.advance(now);
  ArmState& s = arm_.state();
  const ArmConfig& cfg = arm_.config();
  auto bad = [&] {
    code = kBadArgument;
    return json();
  };
  static const std::set<std::string> kControllerWide = {
      "login",         "getRobotNames", "runProgram",      "pause",
      "resume",        "stop",          "getRuntimeState", "setBoolInput",
      "setBoolOutput", "setInt32Input", "setInt32Output",  "setInt16Register"};
  if (!kControllerWide.count(m) && robot != "R1") {
    code = kUnknownRobot;
    return json();
  }
  int64_t idx = 0, iv = 0;
  bool bv = false;

  if (m == "login") return json();
  if (m == "getRobotNames") return json::array({"R1"});
  if (m == "getStandardDigitalInputNum") return cfg.standard_di;
  if (m == "getStandardDigitalOutputNum") return cfg.standard_do;
  if (m == "getConfigurableDigitalInputNum") return cfg.configurable_di;
  if (m == "getConfigurableDigitalOutputNum") return cfg.configurable_do;
  if (m == "getToolDigitalOutputNum") return cfg.tool_do;
  if (m == "getRobotModeType") return s.robot_mode;
  if (m == "getSafetyModeType") return s.safety_mode;
  if (m == "getOperationalMode") return s.operational_mode;
  if (m == "getRuntimeState") return s.runtime_state;
  if (m == "setStandardDigitalOutput" || m == "setToolDigitalOutput" ||
      m == "setConfigurableDigitalOutput") {
    if (!argInt(a, 0, 0, 63, idx) || !argBool(a, 1, bv)) return bad();
    if (m == "setStandardDigitalOutput")
      code = arm_.setBit(s.standard_do_bits, cfg.standard_do, idx, bv);
    else if (m == "setToolDigitalOutput")
      code = arm_.setBit(s.tool_do_bits, cfg.tool_do, idx, bv);
    else
      code = arm_.setBit(s.configurable_do_bits, cfg.configurable_do, idx, bv);
    return json();
  }
  if (m == "setSpeedFraction") {
    if (a.size() < 1 || !a[0].is_number()) return bad();
    double f = a[0].get<double>();
    if (!(f >= 0.0 && f <= 1.0)) return bad();
    s.speed_fraction = f;
    return json();
  }
  if (m == "textmsg") {
    if (a.size() < 1 || !a[0].is_string()) return bad();
    return json();
  }
  if (m == "poweron") return code = arm_.poweron(now), json();
  if (m == "poweroff") return code = arm_.poweroff(now), json();
  if (m == "startup") return code = arm_.startup(now), json();
  if (m == "runProgram") return code = arm_.runProgram(now), json();
  if (m == "pause") return code = arm_.pause(now), json();
  if (m == "resume") return code = arm_.resume(now), json();
  if (m == "stop") return code = arm_.stop(now), json();
  if (m == "setBoolInput" || m == "setBoolOutput") {
    if (!argInt(a, 0, 0, 63, idx) || !argBool(a, 1, bv)) return bad();
    code = arm_.setBit(m == "setBoolInput" ? s.input_bit_registers : s.output_bit_registers, 64,
                       idx, bv);
    return json();
  }
  if (m == "setInt32Input" || m == "setInt32Output") {
    if (!argInt(a, 0, 0, 31, idx) || !argInt(a, 1, INT32_MIN, INT32_MAX, iv)) return bad();
    (m == "setInt32Input" ? s.int32_inputs : s.int32_outputs)[size_t(idx)] = int32_t(iv);
    return json();
  }
  if (m == "setInt16Register") {
    if (!argInt(a, 0, 0, 63, idx) || !argInt(a, 1, INT16_MIN, INT16_MAX, iv)) return bad();
    s.int16_registers[size_t(idx)] = int16_t(iv);
    return json();
  }
  code = kUnknownMethod;
  return json();
}

json RobotSim::handleRtde(Conn& c, const std::string& m, const json& a, int& code) {
  auto names = [](const Channel& ch) {
    std::string t;
    for (auto& n : ch.names) t += " " + n;
    return t;
  };
  if (m == "login") {
    std::string line = "rtde login";
    for (auto& v : a) line += " " + fmtArg(v);
    say(line);
    return json();
  }
  if (m == "setTopic") {
    bool to_controller = false;
    if (!argBool(a, 0, to_controller) || a.size() < 3 || !a[1].is_array() || a[1].empty() ||
        !a[2].is_number())
      return -1;
    Channel ch;
    ch.to_controller = to_controller;
    for (auto& n : a[1]) {
      if (!n.is_string()) return -1;
      std::string name = n.get<std::string>();
      if (to_controller ? !ArmModel::isOutputTopic(name) : !ArmModel::isStatusTopic(name))
        return -1;
      ch.names.push_back(name);
    }
    double f = a[2].get<double>();
    if (!(f > 0.0 && f <= 1000.0)) return -1;
    ch.period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / f));
    c.channels.push_back(std::move(ch));
    return static_cast<int>(c.channels.size() - 1);
  }
  if (m == "subscribe" || m == "publish" || m == "unsubscribe") {
    int64_t idx;
    if (!argInt(a, 0, 0, int64_t(c.channels.size()) - 1, idx)) {
      code = kBadArgument;
      return json();
    }
    Channel& ch = c.channels[size_t(idx)];
    if ((m == "publish") != ch.to_controller) {
      code = kBadArgument;
      return json();
    }
    if (m == "unsubscribe") {
      ch.subscribed = false;
      return json();
    }
    (m == "subscribe" ? ch.subscribed : ch.published) = true;
    ch.next_due = Clock::now();
    say("rtde " + m + " " + std::to_string(idx) + names(ch));
    return json();
  }
  code = kUnknownMethod;
  return json();
}

void RobotSim::handleOutput(Conn& c, const std::string& body) {
  uint32_t channel;
  std::vector<std::pair<int, bool>> pairs;
  std::string why;
  if (!wire::decodeOutput(body, channel, pairs, &why)) return close(c, why);
  if (channel >= c.channels.size() || !c.channels[channel].published) return;
  Channel& ch = c.channels[channel];
  const bool changed = !ch.have_last || ch.last_output != pairs;
  for (auto& n : ch.names) {
    for (auto& pr : pairs) {
      arm_.applyOutput(n, pr.first, pr.second);
      if (changed)
        say("rtde output " + n + " " + std::to_string(pr.first) + " " + (pr.second ? "1" : "0"));
    }
  }
  ch.have_last = true;
  ch.last_output = std::move(pairs);
}

Clock::time_point RobotSim::nextDue() const {
  auto next = Clock::now() + std::chrono::seconds(1);
  for (auto& c : conns_)
    for (auto& ch : c->channels)
      if (ch.subscribed && ch.next_due < next) next = ch.next_due;
  for (auto& h : held_)
    if (h.due < next) next = h.due;
  return next;
}

void RobotSim::releaseHeld(Clock::time_point now) {
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->conn->fd < 0) {
      if (!it->quiet) say("released " + it->method + " (connection gone)");
    } else if (it->due <= now) {
      send(*it->conn, wire::FrameType::kJson, it->reply);
      if (!it->quiet) say("released " + it->method);
    } else {
      ++it;
      continue;
    }
    it = held_.erase(it);
  }
}

void RobotSim::stream(Clock::time_point now) {
  bool advanced = false;
  for (auto& c : conns_) {
    for (size_t k = 0; k < c->channels.size() && c->fd >= 0; ++k) {
      Channel& ch = c->channels[k];
      if (!ch.subscribed || ch.next_due > now) continue;
      ch.next_due += ch.period;
      if (ch.next_due <= now) ch.next_due = now + ch.period;  // fell behind: no burst
      if (!streaming_) continue;
      if (!advanced) {
        arm_.advance(now);
        advanced = true;
      }
      wire::DataWriter w(static_cast<uint32_t>(k));
      for (auto& n : ch.names) arm_.putTopic(n, w);
      send(*c, wire::FrameType::kData, w.finish());
    }
  }
}

void RobotSim::dropAll() {
  for (auto& c : conns_) close(*c, "");
}

void RobotSim::handleCommand(const std::string& raw) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  std::istringstream in(line);
  std::vector<std::string> t;
  for (std::string w; in >> w;) t.push_back(w);
  if (t.empty()) return;
  auto error = [&](const std::string& why) { say("error " + why); };
  const std::string& cmd = t[0];
  ArmState& s = arm_.state();

  if (cmd == "quit") {
    quit_ = true;
    return;
  }
  if (cmd == "drop" && t.size() == 1) {
    dropAll();
    return say("ok drop");
  }
  if (cmd == "stats") {
    std::string out = "stats";
    for (auto& kv : stats_) out += " " + kv.first + "=" + std::to_string(kv.second);
    return say(out);
  }
  if (cmd == "state" && t.size() == 1) {
    // What the controller holds of what it was sent, for tests that compare
    // it with what the PLC holds.
    arm_.advance(Clock::now());
    const ArmState& st = arm_.state();
    char speed[32];
    std::snprintf(speed, sizeof speed, "%.4g", st.speed_fraction);
    std::string out =
        "state robot_mode=" + std::to_string(st.robot_mode) +
        " safety_mode=" + std::to_string(st.safety_mode) +
        " input_bits=" + std::to_string(static_cast<uint64_t>(st.input_bit_registers)) +
        " tool_do=" + std::to_string(st.tool_do_bits) +
        " standard_do=" + std::to_string(st.standard_do_bits) + " speed=" + speed + " int16=";
    for (size_t i = 0; i < 32 && i < st.int16_registers.size(); ++i)
      out += (i ? "," : "") + std::to_string(st.int16_registers[i]);
    return say(out);
  }
  if (cmd == "rtde" && t.size() == 2 && (t[1] == "pause" || t[1] == "resume")) {
    streaming_ = t[1] == "resume";
    return say("ok " + line);
  }
  if (cmd == "hold") {
    int64_t ms;
    if (t.size() == 2 && t[1] == "off") {
      holds_.clear();
      return say("ok " + line);
    }
    if (t.size() != 3 || !parseInt(t[2], 1, 600000, ms))
      return error("usage: hold <Method> <1..600000 ms> | hold off");
    holds_[t[1]] = std::chrono::milliseconds(ms);
    return say("ok " + line);
  }
  if (cmd == "delay" || cmd == "hang") {
    // delay <Method|*> <ms>: every call answered <ms> late (0: on time);
    // hang <Method|*> <ms>: for the next <ms>, every call left unanswered.
    int64_t ms;
    if (t.size() != 3 || !parseInt(t[2], 0, 3600000, ms))
      return error("usage: " + cmd + " <Method|*> <0..3600000 ms>");
    if (cmd == "delay") {
      if (ms == 0)
        delays_.erase(t[1]);
      else
        delays_[t[1]] = std::chrono::milliseconds(ms);
    } else {
      hangs_[t[1]] = Clock::now() + std::chrono::milliseconds(ms);
    }
    return say("ok " + line);
  }
  if (cmd == "fail") {
    int64_t code;
    if (t.size() != 3 || !parseInt(t[2], INT32_MIN, INT32_MAX, code))
      return error("usage: fail <Method> <code>");
    if (code == 0)
      fail_codes_.erase(t[1]);
    else
      fail_codes_[t[1]] = static_cast<int>(code);
    return say("ok " + line);
  }
  if (cmd != "set" || t.size() < 2) return error("unknown command: " + line);

  const std::string& f = t[1];
  arm_.advance(Clock::now());
  std::vector<double>* vec = f == "joint_positions"      ? &s.joint_positions
                             : f == "joint_currents"     ? &s.joint_currents
                             : f == "joint_voltages"     ? &s.joint_voltages
                             : f == "joint_temperatures" ? &s.joint_temperatures
                             : f == "tcp_pose"           ? &s.tcp_pose
                             : f == "tcp_speed"          ? &s.tcp_speed
                                                         : nullptr;
  int64_t* bits = f == "standard_di_bits"       ? &s.standard_di_bits
                  : f == "standard_do_bits"     ? &s.standard_do_bits
                  : f == "configurable_di_bits" ? &s.configurable_di_bits
                  : f == "configurable_do_bits" ? &s.configurable_do_bits
                  : f == "tool_do_bits"         ? &s.tool_do_bits
                  : f == "link_do_bits"         ? &s.link_do_bits
                  : f == "output_bit_registers" ? &s.output_bit_registers
                                                : nullptr;
  if (vec) {
    std::vector<double> v;
    for (size_t k = 2; k < t.size(); ++k) {
      double d;
      if (!parseDouble(t[k], d)) return error("set " + f + ": not a number: " + t[k]);
      v.push_back(d);
    }
    *vec = std::move(v);
    return say("ok " + line);
  }
  if (bits) {
    int64_t v;
    if (t.size() != 3) return error("usage: set " + f + " <bits>");
    // Bit 63 set may be written as an unsigned value.
    if (!parseInt(t[2], INT64_MIN, INT64_MAX, v)) {
      char* end = nullptr;
      errno = 0;
      unsigned long long u = std::strtoull(t[2].c_str(), &end, 0);
      if (errno || *end || t[2].empty() || t[2][0] == '-')
        return error("set " + f + ": not a 64-bit value: " + t[2]);
      v = static_cast<int64_t>(u);
    }
    *bits = v;
    return say("ok " + line);
  }
  if (f == "robot_mode" || f == "safety_mode" || f == "runtime_state" || f == "operational_mode") {
    int64_t v;
    if (t.size() != 3 || !parseInt(t[2], INT32_MIN, INT32_MAX, v))
      return error("usage: set " + f + " <integer>");
    arm_.overrideMode(f, static_cast<int32_t>(v));
    return say("ok " + line);
  }
  if (f == "speed_fraction") {
    double d;
    if (t.size() != 3 || !parseDouble(t[2], d)) return error("usage: set speed_fraction <number>");
    s.speed_fraction = d;
    return say("ok " + line);
  }
  if (f == "int16_register") {
    int64_t idx, v;
    if (t.size() != 4 || !parseInt(t[2], 0, 63, idx) || !parseInt(t[3], INT16_MIN, INT16_MAX, v))
      return error("usage: set int16_register <0..63> <-32768..32767>");
    s.int16_registers[size_t(idx)] = static_cast<int16_t>(v);
    return say("ok " + line);
  }
  error("set: unknown field " + f);
}

int RobotSim::run() {
  int rpc_port = 0, rtde_port = 0;
  rpc_listen_ = listenOn(opt_.rpc_port, rpc_port);
  rtde_listen_ = listenOn(opt_.rtde_port, rtde_port);
  if (rpc_listen_ < 0 || rtde_listen_ < 0) return 1;
  say("ready " + std::to_string(rpc_port) + " " + std::to_string(rtde_port));

  bool stdin_open = true;
  std::vector<pollfd> pfds;
  while (!quit_) {
    pfds.clear();
    pfds.push_back({stdin_open ? 0 : -1, POLLIN, 0});
    pfds.push_back({rpc_listen_, POLLIN, 0});
    pfds.push_back({rtde_listen_, POLLIN, 0});
    for (auto& c : conns_)
      pfds.push_back({c->fd, static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
    auto wait = nextDue() - Clock::now();
    if (wait < Clock::duration::zero()) wait = Clock::duration::zero();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    int rc = ::ppoll(pfds.data(), pfds.size(), &ts, nullptr);
    if (rc < 0 && errno != EINTR) {
      std::perror("vemo_robot_sim: poll");
      return 1;
    }
    if (rc > 0) {
      if (pfds[0].revents) {
        char buf[4096];
        ssize_t n = ::read(0, buf, sizeof buf);
        if (n <= 0 && !(n < 0 && errno == EINTR)) {
          stdin_open = false;  // keep serving; a background run has no stdin
        } else if (n > 0) {
          stdin_buf_.append(buf, static_cast<size_t>(n));
          size_t pos;
          while (!quit_ && (pos = stdin_buf_.find('\n')) != std::string::npos) {
            std::string l = stdin_buf_.substr(0, pos);
            stdin_buf_.erase(0, pos + 1);
            handleCommand(l);
          }
        }
      }
      if (pfds[1].revents) acceptOn(rpc_listen_, false);
      if (pfds[2].revents) acceptOn(rtde_listen_, true);
      for (size_t k = 3; k < pfds.size(); ++k) {
        Conn& c = *conns_[k - 3];
        if (c.fd < 0 || !pfds[k].revents) continue;
        if (pfds[k].revents & POLLOUT) writeTo(c);
        if (c.fd >= 0 && (pfds[k].revents & (POLLIN | POLLHUP | POLLERR))) readFrom(c);
      }
    }
    const auto now = Clock::now();
    stream(now);
    releaseHeld(now);  // before closed connections are erased
    conns_.erase(std::remove_if(conns_.begin(), conns_.end(),
                                [](const std::unique_ptr<Conn>& c) { return c->fd < 0; }),
                 conns_.end());
  }
  return 0;
}

}  // namespace robot_sim

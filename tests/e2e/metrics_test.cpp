// Prometheus metrics of a real cell, read the way a fleet reads them: the file
// the service rewrites, checked by promtool, served by a real node_exporter's
// textfile collector, and the shipped alert rules run through promtool's own
// rule tests. The values must move with the cell: cycles, a silent gateway,
// PLC commands, a controller that goes away.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "cell.h"
#include "metrics_writer.h"

namespace fs = std::filesystem;
using vt::Cell;
using vt::Ms;
using vt::swap16;
using json = nlohmann::json;

namespace {

constexpr int kBlock = 40;  // pnRegisterNumber: clear of input registers 0..31

// The program's path when installed, else "".
std::string tool(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return "";
}

#define REQUIRE_TOOL(var, name, package) \
  const std::string var = tool(name);    \
  if (var.empty())                       \
  GTEST_SKIP() << name " is not installed (Debian package " package ", see scripts/bootstrap)"

struct ToolRun {
  int status = -1;
  std::string output;  // standard output and error
};

ToolRun run(std::vector<std::string> argv, Ms timeout = Ms(30000)) {
  vt::Process p(std::move(argv));
  ToolRun r;
  int status = 0;
  if (p.waitExit(timeout, &status)) r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.output = p.allText() + p.allText(vt::Stream::Err);
  return r;
}

// Series ("name{labels}" as written) -> value, from the exposition text.
std::map<std::string, double> parse(const std::string& text) {
  std::map<std::string, double> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.rfind(' ');
    if (space == std::string::npos) continue;
    out[line.substr(0, space)] = std::strtod(line.c_str() + space + 1, nullptr);
  }
  return out;
}

double value(const std::map<std::string, double>& m, const std::string& series) {
  auto it = m.find(series);
  return it == m.end() ? NAN : it->second;
}

// What a whole file is: every family of a rendered file, in order, and the
// last line complete.
bool whole(const std::string& text) {
  static const std::string expected_types = [] {
    std::string types;
    std::istringstream in(MetricsWriter::render(MetricsWriter::Snapshot{}, 0));
    for (std::string line; std::getline(in, line);)
      if (line.rfind("# TYPE ", 0) == 0) types += line + "\n";
    return types;
  }();
  std::string types;
  std::istringstream in(text);
  std::string last;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("# TYPE ", 0) == 0) types += line + "\n";
    last = line;
  }
  return !text.empty() && text.back() == '\n' && types == expected_types &&
         std::regex_match(
             last, std::regex(R"(vemo_umx_command_failures_total\{command="stopProgram"\} \d+)"));
}

ino_t inode(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class MetricsFile {
 public:
  explicit MetricsFile(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }
  std::map<std::string, double> read() const { return parse(vt::readFile(path_)); }
  double operator[](const std::string& series) const { return value(read(), series); }
  // Waits until a rewrite of the file satisfies pred.
  bool waitFor(const std::function<bool(const std::map<std::string, double>&)>& pred,
               Ms timeout = Ms(20000)) const {
    return vt::waitUntil([&] { return pred(read()); }, timeout, Ms(50));
  }
  // Waits until the file was replaced `n` more times.
  bool waitRewrites(int n, Ms timeout = Ms(20000)) const {
    ino_t seen = inode(path_);
    int left = n;
    return vt::waitUntil(
        [&] {
          const ino_t now = inode(path_);
          if (now != 0 && now != seen) {
            seen = now;
            --left;
          }
          return left <= 0;
        },
        timeout, Ms(20));
  }

 private:
  std::string path_;
};

Cell::Options withMetrics(const std::string& file, bool control_robot = false) {
  Cell::Options o;
  o.umx_args = {"--metrics-file", file};
  if (control_robot)
    o.config = {{"controlRobot", "1"}, {"pnRegisterNumber", std::to_string(kBlock)}};
  return o;
}

std::string requests(const char* function, const char* result) {
  return std::string("vemo_umx_modbus_requests_total{function=\"") + function + "\",result=\"" +
         result + "\"}";
}

std::string command(const char* family, const char* name) {
  return std::string(family) + "{command=\"" + name + "\"}";
}

std::set<std::string> threadNames(pid_t pid) {
  std::set<std::string> names;
  std::error_code ec;
  const std::string task = "/proc/" + std::to_string(pid) + "/task";
  for (fs::directory_iterator it(task, ec), end; !ec && it != end; it.increment(ec)) {
    std::string comm = vt::readFile(it->path().string() + "/comm");
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    names.insert(comm);
  }
  return names;
}

// A plain HTTP/1.0 GET on the loopback; the whole answer, "" when refused.
std::string httpGet(int port, const std::string& path) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
      char buf[8192];
      for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) break;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
      }
    }
  }
  ::close(fd);
  return answer;
}

std::string urlEncode(const std::string& s) {
  static const char* const hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// A Prometheus HTTP API answer's "data", or null with `error` set.
json promApi(int port, const std::string& path, std::string* error) {
  const std::string answer = httpGet(port, path);
  const size_t body = answer.find("\r\n\r\n");
  const json j =
      json::parse(body == std::string::npos ? "" : answer.substr(body + 4), nullptr, false);
  if (!j.is_discarded() && j.value("status", "") == "success") return j.at("data");
  if (error) *error = path + " -> " + answer;
  return nullptr;
}

json dashboard() {
  return json::parse(vt::readFile(vt::sourceDir() + "/packaging/grafana/vemo_umx.dashboard.json"));
}

// Every panel, also those a collapsed row holds.
std::vector<json> panelsOf(const json& d) {
  std::vector<json> out;
  for (const json& p : d.at("panels")) {
    out.push_back(p);
    for (const json& inner : p.value("panels", json::array())) out.push_back(inner);
  }
  return out;
}

const json* panelTitled(const std::vector<json>& panels, const std::string& title) {
  for (const json& p : panels)
    if (p.value("title", "") == title) return &p;
  return nullptr;
}

// A value mapping's texts by value, as the panel shows them.
std::map<int, std::string> mappedNames(const json& panel) {
  std::map<int, std::string> names;
  for (const json& m : panel["fieldConfig"]["defaults"].value("mappings", json::array()))
    if (m.value("type", "") == "value")
      for (auto& [v, o] : m.at("options").items()) names[std::stoi(v)] = o.value("text", "");
  return names;
}

// "Robot modes: 0 no controller, 1 ..." in the README, by value.
std::map<int, std::string> readmeModes(const std::string& heading) {
  std::string readme = vt::readFile(vt::sourceDir() + "/README.md");
  std::replace(readme.begin(), readme.end(), '\n', ' ');
  std::map<int, std::string> names;
  std::smatch list;
  if (!std::regex_search(readme, list, std::regex(heading + ": ([^.]*)\\."))) return names;
  const std::string text = list[1];
  const std::regex item(R"((\d+) ([^,]+))");
  for (std::sregex_iterator it(text.begin(), text.end(), item), end; it != end; ++it)
    names[std::stoi((*it)[1])] = (*it)[2];
  return names;
}

// The metric whose instance labels the instance variable offers; "" when
// its query is not label_values(<metric>, instance).
std::string instanceVariableMetric(const json& d) {
  for (const json& v : d.at("templating").at("list")) {
    if (v.value("name", "") != "instance") continue;
    const json& q = v.at("query");
    const std::string text = q.is_object() ? q.value("query", "") : q.get<std::string>();
    std::smatch m;
    if (std::regex_match(text, m, std::regex(R"(label_values\((\w+), *instance\))"))) return m[1];
  }
  return "";
}

// A panel's query as Grafana sends it for one instance.
std::string substitute(std::string expr, const std::string& instance) {
  for (const auto& [var, value] :
       std::vector<std::pair<std::string, std::string>>{{"$__rate_interval", "20s"},
                                                        {"$__interval", "5s"},
                                                        {"$__range", "2m"},
                                                        {"$instance", instance}})
    for (size_t at; (at = expr.find(var)) != std::string::npos;)
      expr.replace(at, var.size(), value);
  return expr;
}

class Prometheus {
 public:
  explicit Prometheus(int port) : port_(port) {}
  // The series of an instant query, or of a range query over the last two
  // minutes; null (and `error`) when the query is refused.
  json query(const std::string& expr, bool range, std::string* error = nullptr) const {
    const long now = static_cast<long>(std::time(nullptr));
    const json data = range ? promApi(port_,
                                      "/api/v1/query_range?query=" + urlEncode(expr) +
                                          "&start=" + std::to_string(now - 120) +
                                          "&end=" + std::to_string(now) + "&step=2",
                                      error)
                            : promApi(port_, "/api/v1/query?query=" + urlEncode(expr), error);
    return data.is_null() ? json() : data.at("result");
  }
  // Waits until the instant query's value for `instance` satisfies pred;
  // `last` gets the last value seen (NAN: none).
  bool waitValue(const std::string& expr, const std::string& instance,
                 const std::function<bool(double)>& pred, double* last,
                 Ms timeout = Ms(20000)) const {
    return vt::waitUntil(
        [&] {
          *last = NAN;
          for (const json& s : query(expr, false))
            if (s["metric"].value("instance", "") == instance)
              *last = std::stod(s["value"][1].get<std::string>());
          return pred(*last);
        },
        timeout, Ms(250));
  }

 private:
  int port_;
};
}  // namespace

TEST(Metrics, FileFollowsTheCell) {
  REQUIRE_TOOL(promtool, "promtool", "prometheus");
  vt::TempDir dir("vemo-metrics");
  const MetricsFile m(dir / "vemo_umx.prom");
  Cell cell(withMetrics(m.path()));
  cell.start();

  ASSERT_TRUE(m.waitFor([](auto& v) { return value(v, "vemo_umx_up") == 1; }))
      << vt::readFile(m.path()) << cell.umx().allText();
  EXPECT_TRUE(cell.waitLog("metrics go to " + m.path() + " every 5 s", Ms(1000)));
  struct stat st;
  ASSERT_EQ(::stat(m.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "node_exporter may run as another user";
  const ToolRun check = run({"/bin/sh", "-c", "\"$0\" check metrics < \"$1\"", promtool, m.path()});
  EXPECT_EQ(check.status, 0) << check.output << vt::readFile(m.path());
  EXPECT_EQ(check.output, "") << "lint findings";

  // A sound cell.
  auto v = m.read();
  EXPECT_EQ(value(v, "vemo_umx_build_info{version=\"1.0.0\"}"), 1);
  EXPECT_NEAR(value(v, "vemo_umx_start_time_seconds"), std::time(nullptr), 60);
  EXPECT_EQ(value(v, "vemo_umx_robot_connected{channel=\"rpc\"}"), 1);
  EXPECT_EQ(value(v, "vemo_umx_robot_connected{channel=\"rtde\"}"), 1);
  EXPECT_EQ(value(v, "vemo_umx_status_stream_stalled"), 0);
  EXPECT_EQ(value(v, "vemo_umx_gateway_blocking"), 0);
  EXPECT_EQ(value(v, "vemo_umx_modbus_line_open"), 1);
  EXPECT_EQ(value(v, "vemo_umx_robot_mode"), 3) << "the simulated arm starts powered off";
  EXPECT_EQ(value(v, "vemo_umx_safety_mode"), 1);

  // The cycle runs: counts, histogram, heartbeat and status stream move.
  ASSERT_TRUE(m.waitFor([&](auto& now) {
    return value(now, "vemo_umx_cycle_seconds_count") >=
               value(v, "vemo_umx_cycle_seconds_count") + 10 &&
           value(now, "vemo_umx_heartbeat_word") != value(v, "vemo_umx_heartbeat_word");
  })) << vt::readFile(m.path());
  const auto later = m.read();
  EXPECT_GT(value(later, "vemo_umx_status_packets_total"),
            value(v, "vemo_umx_status_packets_total"));
  EXPECT_GT(value(later, requests("write_multiple_coils", "ok")),
            value(v, requests("write_multiple_coils", "ok")));
  EXPECT_GT(value(later, "vemo_umx_controller_calls_total"), 0);
  const double cycles = value(later, "vemo_umx_cycle_seconds_count");
  EXPECT_EQ(value(later, "vemo_umx_cycle_seconds_count"), cycles);
  EXPECT_EQ(value(later, "vemo_umx_cycle_seconds_bucket{le=\"+Inf\"}"), cycles);
  // Six 25 ms pauses and a 30 ms sleep: no cycle is shorter than 0.15 s, and
  // a sound cell stays well within half a second.
  EXPECT_EQ(value(later, "vemo_umx_cycle_seconds_bucket{le=\"0.15\"}"), 0);
  EXPECT_GE(value(later, "vemo_umx_cycle_seconds_bucket{le=\"0.5\"}"), 0.9 * cycles);
  const double mean = value(later, "vemo_umx_cycle_seconds_sum") / cycles;
  EXPECT_GT(mean, 0.15);
  EXPECT_LT(mean, 0.5);

  // A silent gateway: blocking, failed requests and reopened lines.
  cell.gateway().query("mute on");
  ASSERT_TRUE(
      m.waitFor([](auto& now) { return value(now, "vemo_umx_gateway_blocking") == 1; }, Ms(25000)))
      << vt::readFile(m.path());
  const auto muted = m.read();
  EXPECT_EQ(value(muted, "vemo_umx_gateway_failing"), 1);
  EXPECT_GT(value(muted, requests("write_multiple_coils", "failed")) +
                value(muted, requests("write_multiple_registers", "failed")),
            0);
  EXPECT_GT(value(muted, "vemo_umx_modbus_reconnects_total"),
            value(later, "vemo_umx_modbus_reconnects_total"));
  // Every request of a muted cycle takes its four 1 s tries: the cycle
  // lands in the outage range of the histogram, about 25 s after the mute.
  ASSERT_TRUE(m.waitFor(
      [](auto& now) {
        return value(now, "vemo_umx_cycle_seconds_count") >
               value(now, "vemo_umx_cycle_seconds_bucket{le=\"10\"}");
      },
      Ms(45000)))
      << vt::readFile(m.path());

  cell.gateway().query("mute off");
  ASSERT_TRUE(m.waitFor([](auto& now) {
    return value(now, "vemo_umx_gateway_blocking") == 0 &&
           value(now, "vemo_umx_gateway_failing") == 0;
  })) << vt::readFile(m.path());
  const ToolRun again = run({"/bin/sh", "-c", "\"$0\" check metrics < \"$1\"", promtool, m.path()});
  EXPECT_EQ(again.status, 0) << again.output;
}

TEST(Metrics, PlcCommandsAreCountedOncePerTrigger) {
  vt::TempDir dir("vemo-metrics");
  const MetricsFile m(dir / "vemo_umx.prom");
  Cell cell(withMetrics(m.path(), true));
  cell.start();
  auto trigger = [&](long code, const std::string& call) {
    cell.gwSet("ir", kBlock, {0});
    ASSERT_TRUE(cell.waitCycles(2));
    const size_t before = cell.robot().countContaining(call);
    cell.gwSet("ir", kBlock, {swap16(code)});
    ASSERT_TRUE(
        vt::waitUntil([&] { return cell.robot().countContaining(call) == before + 1; }, Ms(10000)))
        << call;
  };
  const std::string runs = command("vemo_umx_commands_total", "runProgram");
  const std::string refused = command("vemo_umx_command_failures_total", "runProgram");
  ASSERT_TRUE(m.waitFor([&](auto& v) { return value(v, runs) == 0; }));

  trigger(5, "call runProgram");
  ASSERT_TRUE(m.waitFor([&](auto& v) { return value(v, runs) == 1; })) << vt::readFile(m.path());
  // Held by the PLC through more rewrites: still once.
  ASSERT_TRUE(m.waitRewrites(2));
  auto v = m.read();
  EXPECT_EQ(value(v, runs), 1);
  EXPECT_EQ(value(v, refused), 0);
  for (const char* other : {"poweron", "startup", "pauseProgram", "resumeProgram", "stopProgram"})
    EXPECT_EQ(value(v, command("vemo_umx_commands_total", other)), 0) << other;

  // Refused by the controller: run and failed.
  ASSERT_EQ(cell.robotCmd("fail runProgram 3").rfind("ok", 0), 0u);
  trigger(5, "call runProgram");
  ASSERT_TRUE(m.waitFor([&](auto& now) { return value(now, refused) == 1; }))
      << vt::readFile(m.path());
  EXPECT_EQ(m[runs], 2);
  EXPECT_EQ(m["vemo_umx_robot_connected{channel=\"rpc\"}"], 1) << "a refusal is an answer";

  trigger(8, "call stop");
  ASSERT_TRUE(m.waitFor([&](auto& now) {
    return value(now, command("vemo_umx_commands_total", "stopProgram")) == 1;
  }));
  EXPECT_EQ(m[command("vemo_umx_command_failures_total", "stopProgram")], 0);
  EXPECT_EQ(m[runs], 2);
}

TEST(Metrics, ControllerLossShowsOnBothChannels) {
  vt::TempDir dir("vemo-metrics");
  const MetricsFile m(dir / "vemo_umx.prom");
  Cell cell(withMetrics(m.path(), true));
  cell.start();
  ASSERT_TRUE(m.waitFor([](auto& v) {
    return value(v, "vemo_umx_robot_connected{channel=\"rtde\"}") == 1 &&
           value(v, "vemo_umx_robot_mode") == 3;
  }));
  cell.gwSet("ir", kBlock, {0});
  ASSERT_TRUE(cell.waitCycles(2));

  cell.robot().stop();
  ASSERT_TRUE(m.waitFor([](auto& v) {
    return value(v, "vemo_umx_robot_connected{channel=\"rtde\"}") == 0 &&
           value(v, "vemo_umx_status_stream_stalled") == 1 && value(v, "vemo_umx_robot_mode") == 0;
  })) << vt::readFile(m.path());
  EXPECT_EQ(m["vemo_umx_runtime_state"], 9) << "nobody knows the program's state";

  // A command to the missing controller: not answered, so RPC is down too.
  cell.gwSet("ir", kBlock, {swap16(8)});
  ASSERT_TRUE(m.waitFor([](auto& v) {
    return value(v, command("vemo_umx_command_failures_total", "stopProgram")) == 1 &&
           value(v, "vemo_umx_robot_connected{channel=\"rpc\"}") == 0;
  })) << vt::readFile(m.path());
  EXPECT_EQ(m["vemo_umx_gateway_blocking"], 0) << "the gateway link is sound";
}

TEST(Metrics, ReadersNeverSeeAHalfFile) {
  vt::TempDir dir("vemo-metrics");
  const std::string name = "vemo_umx.prom";
  const MetricsFile m(dir / name);
  Cell cell(withMetrics(m.path()));
  cell.start();
  ASSERT_TRUE(m.waitFor([](auto& v) { return !v.empty(); }));

  // Every change in the directory is seen as it happens, and the file read
  // right then: a writer that truncated or wrote it in place would show here.
  const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_GE(::inotify_add_watch(fd, dir.path().c_str(),
                                IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB),
            0);
  int replaced = 0, reads = 0;
  std::vector<std::string> in_place, bad_names, half;
  const bool done = vt::waitUntil(
      [&] {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) return false;
        alignas(inotify_event) char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        for (ssize_t off = 0; off < n;) {
          const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
          off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
          const std::string file = e->len ? e->name : "";
          if (file == name) {
            if (e->mask & IN_MOVED_TO)
              ++replaced;
            else
              in_place.push_back(file + " mask " + std::to_string(e->mask));
          } else if (file.size() >= 5 && file.compare(file.size() - 5, 5, ".prom") == 0) {
            bad_names.push_back(file);  // the collector would read it half written
          }
          const std::string text = vt::readFile(m.path());
          ++reads;
          if (!whole(text)) half.push_back(text);
        }
        return replaced >= 3;
      },
      Ms(30000), Ms(0));
  ::close(fd);
  EXPECT_TRUE(done) << "replaced " << replaced << " times";
  EXPECT_GT(reads, replaced);
  EXPECT_TRUE(in_place.empty()) << in_place.front();
  EXPECT_TRUE(bad_names.empty()) << bad_names.front();
  EXPECT_TRUE(half.empty()) << half.size() << " of " << reads << " reads:\n" << half.front();
}

TEST(Metrics, NodeExporterServesTheFile) {
  REQUIRE_TOOL(exporter, "prometheus-node-exporter", "prometheus-node-exporter");
  vt::TempDir dir("vemo-metrics");
  const MetricsFile m(dir / "vemo_umx.prom");
  Cell cell(withMetrics(m.path()));
  cell.start();
  ASSERT_TRUE(m.waitFor([](auto& v) { return value(v, "vemo_umx_up") == 1; }));

  // The test's own namespace: the port is free, and only this collector runs.
  const int port = 9100;
  vt::Process node({exporter, "--web.listen-address=127.0.0.1:" + std::to_string(port),
                    "--collector.disable-defaults", "--collector.textfile",
                    "--collector.textfile.directory=" + dir.path()});
  ASSERT_TRUE(node.waitFor("Listening on", Ms(10000), 0, vt::Stream::Err))
      << node.allText(vt::Stream::Err);
  std::string answer;
  ASSERT_TRUE(vt::waitUntil(
      [&] {
        answer = httpGet(port, "/metrics");
        return answer.find("vemo_umx_cycle_seconds_count") != std::string::npos;
      },
      Ms(10000), Ms(100)))
      << answer << node.allText(vt::Stream::Err);
  EXPECT_EQ(answer.rfind("HTTP/1.0 200", 0), 0u) << answer.substr(0, 200);
  const auto served = parse(answer.substr(answer.find("\r\n\r\n") + 4));
  EXPECT_EQ(value(served, "node_textfile_scrape_error"), 0);
  EXPECT_EQ(value(served, "vemo_umx_up"), 1);
  EXPECT_EQ(value(served, "vemo_umx_robot_connected{channel=\"rtde\"}"), 1);
  EXPECT_EQ(value(served, command("vemo_umx_commands_total", "runProgram")), 0);
  // The staleness the cell-down rule watches: the file's mtime, fresh.
  double mtime = NAN;
  for (auto& [series, v] : served)
    if (series.rfind("node_textfile_mtime_seconds{", 0) == 0 &&
        series.find("vemo_umx.prom\"") != std::string::npos)
      mtime = v;
  EXPECT_NEAR(mtime, std::time(nullptr), 15) << answer;
  // The rule's file selector matches what this collector labels.
  std::smatch label;
  ASSERT_TRUE(std::regex_search(
      answer, label, std::regex(R"re(node_textfile_mtime_seconds\{file="([^"]*)"\})re")));
  EXPECT_TRUE(std::regex_match(label[1].str(), std::regex(R"((.*/)?vemo_umx[^/]*\.prom)")))
      << label[1];
}

TEST(Metrics, AlertRulesPassTheirTests) {
  REQUIRE_TOOL(promtool, "promtool", "prometheus");
  const std::string dir = vt::sourceDir() + "/packaging/prometheus";
  const ToolRun check = run({promtool, "check", "rules", dir + "/vemo_umx.rules.yml"});
  EXPECT_EQ(check.status, 0) << check.output;
  EXPECT_NE(check.output.find("SUCCESS"), std::string::npos) << check.output;
  for (const char* alert :
       {"VemoUmxGatewayBlocking", "VemoUmxCycleNotAdvancing", "VemoUmxRestartLoop",
        "VemoUmxStatusStreamStalled", "VemoUmxCellDown", "VemoUmxNotUp", "VemoUmxCommandFailed"})
    EXPECT_NE(
        vt::readFile(dir + "/vemo_umx.rules.test.yml").find("alertname: " + std::string(alert)),
        std::string::npos)
        << alert << " has no rule test";
  const ToolRun test = run({promtool, "test", "rules", dir + "/vemo_umx.rules.test.yml"});
  EXPECT_EQ(test.status, 0) << test.output;
  EXPECT_NE(test.output.find("SUCCESS"), std::string::npos) << test.output;
}

// One dashboard for the whole fleet: every panel asks the chosen Prometheus
// for the chosen instances, about metrics the service writes.
TEST(Metrics, DashboardServesTheFleet) {
  const json d = dashboard();
  EXPECT_GE(d.value("schemaVersion", 0), 36);
  const std::string uid = d.value("uid", "");
  ASSERT_FALSE(uid.empty());
  const json ds = {{"type", "prometheus"}, {"uid", "${datasource}"}};
  const std::string written = MetricsWriter::render(MetricsWriter::Snapshot{}, 0);
  auto writes = [&](const std::string& name) {
    return written.find("\n" + name + " ") != std::string::npos ||
           written.find("\n" + name + "{") != std::string::npos;
  };

  std::map<std::string, json> vars;
  for (const json& v : d.at("templating").at("list")) vars[v.value("name", "")] = v;
  ASSERT_EQ(vars.count("datasource"), 1u);
  ASSERT_EQ(vars.count("instance"), 1u);
  EXPECT_EQ(vars["datasource"].value("type", ""), "datasource");
  EXPECT_EQ(vars["datasource"].value("query", ""), "prometheus");
  const json& instance = vars["instance"];
  EXPECT_EQ(instance.value("type", ""), "query");
  EXPECT_EQ(instance.value("datasource", json()), ds);
  EXPECT_TRUE(instance.value("multi", false));
  EXPECT_TRUE(instance.value("includeAll", false));
  EXPECT_EQ(instance.value("allValue", ""), ".*") << "All takes bridges added later";
  EXPECT_TRUE(writes(instanceVariableMetric(d))) << instance.dump();

  // The rows in the README's order, the order a maintainer asks in.
  const std::string readme = vt::readFile(vt::sourceDir() + "/README.md");
  const std::string header = "| row | what it answers |\n|---|---|\n";
  const size_t table = readme.find(header);
  ASSERT_NE(table, std::string::npos);
  std::istringstream described(readme.substr(table + header.size()));
  std::vector<std::string> rows;
  for (std::string line; std::getline(described, line) && line.rfind("| ", 0) == 0;)
    rows.push_back(line.substr(2, line.find(" |") - 2));
  std::vector<std::string> titles;
  for (const json& p : d.at("panels"))
    if (p.value("type", "") == "row") titles.push_back(p.value("title", ""));
  ASSERT_EQ(titles.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i)
    EXPECT_EQ(titles[i].rfind(rows[i], 0), 0u) << titles[i] << " is not " << rows[i];

  // Every metric a query selects is filtered to the chosen instances.
  const std::regex selector(R"(\b((?:vemo_umx|node)_\w+)(\{[^}]*\})?)");
  std::set<int> ids;
  const std::vector<json> panels = panelsOf(d);
  for (const json& p : panels) {
    const std::string title = p.value("title", "");
    EXPECT_TRUE(ids.insert(p.value("id", -1)).second) << "id of " << title;
    if (p.value("type", "") == "row") continue;
    EXPECT_EQ(p.value("datasource", json()), ds) << title;
    const json targets = p.value("targets", json::array());
    EXPECT_FALSE(targets.empty()) << title;
    for (const json& t : targets) {
      const std::string expr = t.value("expr", "");
      EXPECT_FALSE(expr.empty()) << title;
      EXPECT_EQ(t.value("datasource", ds), ds) << title;
      for (std::sregex_iterator it(expr.begin(), expr.end(), selector), end; it != end; ++it) {
        const std::string name = (*it)[1];
        EXPECT_NE((*it)[2].str().find("instance=~\"$instance\""), std::string::npos)
            << title << ": " << name;
        if (name.rfind("vemo_umx_", 0) == 0) {
          EXPECT_TRUE(writes(name)) << title << ": " << name;
        }
      }
    }
  }

  // The modes by the names the README gives them.
  for (const auto& [title, heading] : std::vector<std::pair<std::string, std::string>>{
           {"Robot mode", "Robot modes"}, {"Safety mode", "Safety modes"}}) {
    const json* p = panelTitled(panels, title);
    ASSERT_NE(p, nullptr) << title;
    const auto names = readmeModes(heading);
    EXPECT_EQ(names.size(), 10u) << heading;
    EXPECT_EQ(mappedNames(*p), names) << title;
  }

  // Every alert links to the dashboard, filtered to the instance that fires.
  const std::string rules =
      vt::readFile(vt::sourceDir() + "/packaging/prometheus/vemo_umx.rules.yml");
  const std::string link = "dashboard: \"/d/" + uid + "/";
  size_t alerts = 0;
  for (size_t at = rules.find("- alert: "); at != std::string::npos; ++alerts) {
    const size_t next = rules.find("- alert: ", at + 1);
    const std::string rule = rules.substr(at, next - at);
    EXPECT_NE(rule.find(link), std::string::npos) << rule;
    EXPECT_NE(rule.find("?var-instance={{ $labels.instance | urlquery }}\""), std::string::npos)
        << rule;
    at = next;
  }
  EXPECT_EQ(alerts, 7u);
}

// The dashboard's every query, run by a real Prometheus that scrapes a real
// node_exporter serving a running cell's file, answers for that cell; the
// phase and the robot mode follow the cell.
TEST(Metrics, DashboardQueriesAnswerFromPrometheus) {
  REQUIRE_TOOL(prometheus, "prometheus", "prometheus");
  REQUIRE_TOOL(exporter, "prometheus-node-exporter", "prometheus-node-exporter");
  const auto t0 = std::chrono::steady_clock::now();
  vt::TempDir dir("vemo-metrics");
  fs::create_directory(dir / "textfile");
  const MetricsFile m(dir / "textfile/vemo_umx.prom");
  Cell cell(withMetrics(m.path()));
  cell.start();
  ASSERT_TRUE(m.waitFor([](auto& v) { return value(v, "vemo_umx_up") == 1; }));

  const std::string instance = "127.0.0.1:19100";
  vt::Process node({exporter, "--web.listen-address=" + instance, "--collector.disable-defaults",
                    "--collector.textfile", "--collector.textfile.directory=" + dir / "textfile"});
  ASSERT_TRUE(node.waitFor("Listening on", Ms(10000), 0, vt::Stream::Err))
      << node.allText(vt::Stream::Err);
  vt::writeFile(dir / "prometheus.yml",
                "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                "scrape_configs:\n  - job_name: node\n    static_configs:\n"
                "      - targets: [\"" +
                    instance + "\"]\n");
  const int port = 19090;
  vt::Process server({prometheus, "--config.file=" + dir / "prometheus.yml",
                      "--storage.tsdb.path=" + dir / "data",
                      "--web.listen-address=127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(
      server.waitFor("Server is ready to receive web requests", Ms(20000), 0, vt::Stream::Err))
      << server.allText(vt::Stream::Err);
  const Prometheus prom(port);
  ASSERT_TRUE(vt::waitUntil(
      [&] { return !prom.query("count_over_time(vemo_umx_up[1m]) >= 2", false).empty(); },
      Ms(20000), Ms(250)))
      << server.allText(vt::Stream::Err);

  // The instance variable offers the scraped cell.
  const json d = dashboard();
  std::string error;
  const json offered = promApi(
      port, "/api/v1/label/instance/values?match%5B%5D=" + urlEncode(instanceVariableMetric(d)),
      &error);
  EXPECT_EQ(offered, json::array({instance})) << error;

  // Each panel's queries as Grafana sends them; rates wait for two rewrites
  // of the file in their window.
  const std::vector<json> panels = panelsOf(d);
  const auto answered_by = std::chrono::steady_clock::now() + Ms(30000);
  size_t queries = 0;
  for (const json& p : panels) {
    for (const json& t : p.value("targets", json::array())) {
      const std::string expr = substitute(t.value("expr", ""), instance);
      EXPECT_EQ(expr.find('$'), std::string::npos) << "a variable Grafana does not fill: " << expr;
      json series;
      error.clear();
      const auto left =
          std::chrono::duration_cast<Ms>(answered_by - std::chrono::steady_clock::now());
      EXPECT_TRUE(vt::waitUntil(
          [&] { return !(series = prom.query(expr, !t.value("instant", false), &error)).empty(); },
          std::max(left, Ms(500)), Ms(250)))
          << p.value("title", "") << ": " << expr << "\n"
          << error;
      for (const json& s : series)
        EXPECT_EQ(s["metric"].value("instance", ""), instance)
            << p.value("title", "") << ": one series per bridge " << s["metric"].dump();
      ++queries;
    }
  }
  EXPECT_GE(queries, 20u);
  auto panelQuery = [&](const std::string& title, size_t target = 0) {
    const json* p = panelTitled(panels, title);
    return p ? substitute((*p)["targets"][target].value("expr", ""), instance) : "";
  };

  // A sound cell: running, its cycles within half a second, every function
  // of the cycle used, the arm powered off and its safety normal.
  auto is = [](double want) { return [want](double x) { return x == want; }; };
  double v = NAN;
  EXPECT_TRUE(prom.waitValue(panelQuery("Phase"), instance, is(2), &v)) << v;
  EXPECT_TRUE(prom.waitValue(
      panelQuery("Cycle time p50 and p99"), instance,
      [](double p50) { return p50 > 0.15 && p50 < 0.5; }, &v))
      << v;
  EXPECT_TRUE(prom.waitValue(
      panelQuery("Cycles per second"), instance, [](double rate) { return rate > 2 && rate < 7; },
      &v))
      << v;
  std::set<std::string> functions;
  for (const json& s : prom.query(panelQuery("Modbus requests by function"), false))
    if (std::stod(s["value"][1].get<std::string>()) > 0) functions.insert(s["metric"]["function"]);
  EXPECT_EQ(functions, (std::set<std::string>{"read_discrete_inputs", "read_input_registers",
                                              "write_multiple_coils", "write_multiple_registers"}));
  EXPECT_TRUE(prom.waitValue(panelQuery("Safety mode"), instance, is(1), &v)) << v;
  const std::string robot_mode = panelQuery("Robot mode");
  EXPECT_TRUE(prom.waitValue(robot_mode, instance, is(3), &v)) << v;
  ASSERT_EQ(cell.robotCmd("set robot_mode 8").rfind("ok", 0), 0u);
  EXPECT_TRUE(prom.waitValue(robot_mode, instance, is(8), &v)) << v;

  // A killed service that comes back: one restart.
  cell.umx().signal(SIGKILL);
  ASSERT_TRUE(cell.umx().waitExit(Ms(5000)));
  cell.startUmx();
  EXPECT_TRUE(prom.waitValue(panelQuery("Restarts in the time range"), instance, is(1), &v)) << v;

  // A silent gateway: blocking outranks failing.
  cell.gateway().query("mute on");
  EXPECT_TRUE(prom.waitValue(panelQuery("Phase"), instance, is(4), &v, Ms(25000))) << v;
  std::printf("dashboard checked against Prometheus in %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
}

TEST(Metrics, OnlyWhenAskedByOptionOrVariable) {
  vt::TempDir dir("vemo-metrics");
  const std::string by_env = dir / "env.prom", by_option = dir / "option.prom";
  {
    // Not asked (an empty variable is not asking): no thread, no file.
    Cell::Options o;
    o.umx_env = {{"VEMO_UMX_METRICS_FILE", ""}};
    Cell cell(o);
    cell.start();
    ASSERT_TRUE(cell.waitCycles(2));
    EXPECT_FALSE(threadNames(cell.umx().pid()).count("umx_metrics"));
    EXPECT_EQ(cell.umx().countContaining("metrics go to"), 0u);
  }
  {
    // The variable, as the systemd unit passes the defaults file's setting.
    Cell::Options o;
    o.umx_env = {{"VEMO_UMX_METRICS_FILE", by_env}};
    Cell cell(o);
    cell.start();
    ASSERT_TRUE(vt::waitUntil([&] { return vt::fileExists(by_env); }, Ms(10000)));
    EXPECT_TRUE(threadNames(cell.umx().pid()).count("umx_metrics"));
  }
  fs::remove(by_env);
  {
    // The option wins over the variable; an empty one switches metrics off.
    Cell::Options o = withMetrics(by_option);
    o.umx_env = {{"VEMO_UMX_METRICS_FILE", by_env}};
    Cell cell(o);
    cell.start();
    ASSERT_TRUE(vt::waitUntil([&] { return vt::fileExists(by_option); }, Ms(10000)));
    EXPECT_FALSE(vt::fileExists(by_env));
  }
  {
    Cell::Options o = withMetrics("");
    o.umx_env = {{"VEMO_UMX_METRICS_FILE", by_env}};
    Cell cell(o);
    cell.start();
    ASSERT_TRUE(cell.waitCycles(2));
    EXPECT_FALSE(threadNames(cell.umx().pid()).count("umx_metrics"));
    EXPECT_FALSE(vt::fileExists(by_env));
  }
  // The option without its value is a malformed command line.
  vt::Process bad({vt::bin("vemo_umx"), "--workspace", dir / "ws", "--metrics-file"});
  int status = 0;
  ASSERT_TRUE(bad.waitExit(Ms(10000), &status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(bad.allText(vt::Stream::Err).find("--metrics-file"), std::string::npos)
      << "the usage names the option";
}

TEST(Metrics, AnUnwritableDirectoryIsLoggedOnceUntilItWorks) {
  vt::TempDir dir("vemo-metrics");
  const std::string target = dir / "later/vemo_umx.prom";
  Cell cell(withMetrics(target));
  cell.start();
  const std::string failed =
      "metrics file " + target + " cannot be written: No such file or directory";
  ASSERT_TRUE(cell.waitLog(failed, Ms(10000))) << cell.umx().allText();
  fs::create_directory(dir / "later");
  ASSERT_TRUE(cell.umx().waitFor("metrics file " + target + " written again after ", Ms(15000)))
      << cell.umx().allText();
  EXPECT_EQ(cell.logCount(failed), 1u) << "one line per outage, not one per write";
  EXPECT_TRUE(vt::fileExists(target));
  // Nothing but the file itself is left in the directory.
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(dir / "later")) names.push_back(e.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"vemo_umx.prom"});
}

// The README's metric table lists exactly the families the service writes.
TEST(Metrics, ReadmeTableIsTheFile) {
  const std::string readme = vt::readFile(vt::sourceDir() + "/README.md");
  std::map<std::string, std::string> documented;
  const std::regex row(
      R"re(\n\| `(vemo_umx_[a-z_]+)(\{[^`]*\})?` \| (counter|gauge|histogram) \|)re");
  for (std::sregex_iterator it(readme.begin(), readme.end(), row), end; it != end; ++it)
    documented[(*it)[1].str()] = (*it)[3].str();
  std::map<std::string, std::string> written;
  std::istringstream in(MetricsWriter::render(MetricsWriter::Snapshot{}, 0));
  for (std::string line; std::getline(in, line);) {
    std::smatch t;
    if (std::regex_match(line, t, std::regex(R"(# TYPE (\S+) (\S+))"))) written[t[1]] = t[2];
  }
  EXPECT_EQ(documented, written);
}

// With commands off and the PLC's values steady the service makes no call
// that returns a status code; the rpc channel still follows the controller,
// from the channel's own state (each cycle asks the controller).
TEST(Metrics, RpcChannelFollowsTheControllerWithoutCommands) {
  vt::TempDir dir("vemo-metrics");
  const MetricsFile m(dir / "vemo_umx.prom");
  // A file a killed process left half written: cleared at start.
  const std::string leftover = dir / ".vemo_umx.prom.Ab12Cd";
  vt::writeFile(leftover, "vemo_umx_up 1\n");
  Cell cell(withMetrics(m.path()));
  cell.start();
  ASSERT_TRUE(m.waitFor([](auto& v) {
    return value(v, "vemo_umx_robot_connected{channel=\"rpc\"}") == 1 &&
           value(v, "vemo_umx_cycle_seconds_count") > 0;
  }));
  EXPECT_FALSE(vt::fileExists(leftover));
  EXPECT_FALSE(vt::readFile(m.path()).find("vemo_umx_cycles_total") != std::string::npos)
      << "the histogram's count is the one cycle counter";

  cell.robot().stop();
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      m.waitFor([](auto& v) { return value(v, "vemo_umx_robot_connected{channel=\"rpc\"}") == 0; },
                Ms(10000)))
      << vt::readFile(m.path());
  std::printf("rpc channel 0 in the metrics %lld ms after the controller died\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
  EXPECT_EQ(m["vemo_umx_robot_connected{channel=\"rtde\"}"], 0);
}

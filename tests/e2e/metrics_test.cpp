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

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "cell.h"
#include "metrics_writer.h"

namespace fs = std::filesystem;
using vt::Cell;
using vt::Ms;
using vt::swap16;

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

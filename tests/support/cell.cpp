#include "cell.h"

#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace vt {

namespace {
const char* kKeys[][2] = {{"protocolType", "2"},
                          {"littleEndian", "0"},
                          {"ipAddr", "\"192.168.0.100\""},
                          {"netmask", "\"255.255.255.0\""},
                          {"gateway", "\"192.168.0.1\""},
                          {"port", "505"},
                          {"protocolMode", "2"},
                          {"pnCoilNumber", "64"},
                          {"pnRegisterNumber", "32"},
                          {"controlRobot", "0"},
                          {"readyPointIO", "0"},
                          {"portName", "\"/dev/ttyUSB0\""},
                          {"slaveId", "1"},
                          {"baudrate", "115200"},
                          {"dataBit", "8"},
                          {"parity", "\"none\""},
                          {"stopBit", "1"},
                          {"controlRobotInManualMode", "1"}};
}  // namespace

std::string configText(const std::map<std::string, std::string>& overrides) {
  std::string text;
  for (auto& kv : kKeys) {
    auto it = overrides.find(kv[0]);
    if (it != overrides.end() && it->second.empty()) continue;  // "" removes the key
    text += std::string(kv[0]) + " = " + (it != overrides.end() ? it->second : kv[1]) + ";\n";
  }
  return text;
}

Cell::Cell(Options options) : options_(std::move(options)), tmp_("vemo-cell") {
  ws_ = tmp_.path() + "/ws/";
  // The tree the service makes, so that an in-process scheduler finds it too.
  for (const char* d : {"config", "log/umx", "log/.crash/vemo_umx"})
    fs::create_directories(ws_ + d);
  pty_ = std::make_unique<SocatPty>(tmp_.path());
  if (options_.write_config) {
    auto cfg = options_.config;
    if (!cfg.count("portName")) cfg["portName"] = "\"" + pty_->a() + "\"";
    writeFile(ws_ + "config/vemo_umx.conf", configText(cfg));
  }
}

Cell::~Cell() {
  // The service first, so that it never sees its peers vanish mid-test.
  if (umx_) umx_->stop(Ms(1000));
  umx_.reset();
  gateway_.reset();
  robot_.reset();
  pty_.reset();
}

void Cell::start(bool wait_running) {
  if (options_.start_robot && !robot_) startRobot();
  if (options_.start_gateway && !gateway_) startGateway();
  if (!options_.start_umx) return;
  startUmx();
  if (wait_running && !umx_->waitFor("VEMO-UMX is Running", Ms(20000)))
    throw std::runtime_error("vemo_umx did not start:\n" + umx_->allText() +
                             umx_->allText(Stream::Err));
}

void Cell::startRobot() {
  std::vector<std::string> args{bin("vemo_robot_sim")};
  args.insert(args.end(), options_.robot_args.begin(), options_.robot_args.end());
  robot_ = std::make_unique<Process>(args);
  if (!robot_->waitFor("ready", Ms(10000)))
    throw std::runtime_error("vemo_robot_sim did not start: " + robot_->allText(Stream::Err));
}

void Cell::restartRobot() {
  robot_.reset();
  startRobot();
}

std::unique_ptr<Process> Cell::startAnotherService(const std::string& dir,
                                                   std::map<std::string, std::string> config) {
  const std::string ws = dir + "/ws/";
  config["portName"] = "\"" + pty_->a() + "\"";
  std::filesystem::create_directories(ws + "config");
  writeFile(ws + "config/vemo_umx.conf", configText(config));
  ProcessOptions opt;
  opt.cwd = dir;
  return std::make_unique<Process>(std::vector<std::string>{bin("vemo_umx"), "--workspace", ws},
                                   opt);
}

void Cell::startGateway() {
  gateway_ = std::make_unique<Process>(
      std::vector<std::string>{bin("vemo_gateway_sim"), "--rtu", pty_->b()});
  if (!gateway_->waitFor("ready", Ms(10000)))
    throw std::runtime_error("vemo_gateway_sim did not start: " + gateway_->allText(Stream::Err));
}

void Cell::startUmx() {
  ProcessOptions opt;
  opt.cwd = tmp_.path();
  opt.env = options_.umx_env;
  opt.output_fd = options_.umx_output_fd;
  std::vector<std::string> args{bin("vemo_umx"), "--workspace", ws_};
  args.insert(args.end(), options_.umx_args.begin(), options_.umx_args.end());
  umx_ = std::make_unique<Process>(args, opt);
}

std::string Cell::gwQuery(const std::string& cmd) {
  // The answer is the next line that is not a request trace line.
  size_t from = gateway_->lineCount();
  gateway_->send(cmd);
  long i = gateway_->waitLine([](const std::string& l) { return l.rfind("req ", 0) != 0; },
                              Ms(3000), from);
  return i < 0 ? "" : gateway_->line(i);
}

std::vector<long> Cell::gwGet(const std::string& table, int addr, int count) {
  std::string line =
      gwQuery("get " + table + " " + std::to_string(addr) + " " + std::to_string(count));
  std::vector<long> values;
  std::istringstream in(line);
  long v;
  while (in >> v) values.push_back(v);
  if (static_cast<int>(values.size()) != count) values.clear();
  return values;
}

void Cell::gwSet(const std::string& table, int addr, const std::vector<long>& values) {
  std::string cmd = "set " + table + " " + std::to_string(addr);
  for (long v : values) cmd += " " + std::to_string(v);
  std::string answer = gwQuery(cmd);
  if (answer != "ok") throw std::runtime_error("gateway sim refused '" + cmd + "': " + answer);
}

bool Cell::waitGateway(const std::string& table, int addr, const std::vector<long>& expected,
                       Ms timeout) {
  return waitGatewayWhere(
      table, addr, static_cast<int>(expected.size()),
      [&](const std::vector<long>& v) { return v == expected; }, timeout);
}

bool Cell::waitGatewayWhere(const std::string& table, int addr, int count,
                            const std::function<bool(const std::vector<long>&)>& pred, Ms timeout,
                            Ms poll) {
  return waitUntil(
      [&] {
        auto v = gwGet(table, addr, count);
        return !v.empty() && pred(v);
      },
      timeout, poll);
}

long Cell::gwRequests(const std::string& key) {
  std::string s = gwQuery("stats");
  auto p = s.find(" " + key + "=");
  return p == std::string::npos ? -1 : std::stol(s.substr(p + key.size() + 2));
}

bool Cell::waitCycles(int n, Ms timeout) {
  const long start = gwRequests("fc16");
  return waitUntil([&] { return gwRequests("fc16") >= start + 2 * n; }, timeout, Ms(20));
}

std::vector<double> Cell::statusBlockTimes(size_t from) const {
  std::vector<double> times;
  const std::string kWrite = "req fc=16 addr=32 count=100 t_us=";
  for (auto& l : gateway_->linesFrom(from))
    if (l.rfind(kWrite, 0) == 0) times.push_back(std::stoll(l.substr(kWrite.size())) / 1e6);
  return times;
}

std::string Cell::robotCmd(const std::string& cmd) {
  size_t from = robot_->lineCount();
  robot_->send(cmd);
  long i = robot_->waitLine(
      [](const std::string& l) { return l.rfind("ok", 0) == 0 || l.rfind("error", 0) == 0; },
      Ms(3000), from);
  if (i < 0) return "";
  return robot_->line(i);
}

size_t Cell::robotLines(const std::string& prefix) const {
  size_t n = 0;
  for (auto& l : robot_->lines())
    if (l.rfind(prefix, 0) == 0) ++n;
  return n;
}

bool Cell::waitCall(const std::string& call, Ms timeout, size_t from) {
  return robot_->waitLine([&](const std::string& l) { return l == call; }, timeout, from) >= 0;
}

bool Cell::waitLog(const std::string& message, Ms timeout, size_t from) {
  if (!umx_) throw std::logic_error("waitLog needs the service process");
  // Console lines end with the message after the logger name column.
  return umx_->waitLine(
             [&](const std::string& l) {
               return l.size() >= message.size() &&
                      l.compare(l.size() - message.size(), message.size(), message) == 0;
             },
             timeout, from) >= 0;
}

size_t Cell::logCount(const std::string& message) const {
  size_t n = 0;
  for (auto& l : umx_->lines())
    if (l.size() >= message.size() &&
        l.compare(l.size() - message.size(), message.size(), message) == 0)
      ++n;
  return n;
}

}  // namespace vt

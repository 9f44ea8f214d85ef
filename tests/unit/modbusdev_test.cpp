// ModbusDev against the gateway simulator, over a socat pty pair (RTU) and
// over TCP: results, retries, the transaction counter, recorded errors and
// their echo on standard error, reconnection, and the log lines integrators
// grep for.
#include "modbusdev.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "console.h"
#include "log.h"
#include "serial_lock.h"
#include "test_env.h"

namespace fs = std::filesystem;
using std::chrono::steady_clock;

namespace {

// One log workspace for the whole test program.
class LogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ws_ = std::make_unique<vt::TempDir>("vemo-mbdev");
    fs::create_directories(ws_->path() + "/log/umx");
    setenv("UMX_WS", ws_->path().c_str(), 1);
    // The log file is opened relative to the working directory.
    auto cwd = fs::current_path();
    fs::current_path(ws_->path());
    // These tests count every line a single call writes.
    UmxLog::foldRepeats(false);
    UmxLog log;
    log.initLog();
    fs::current_path(cwd);
    path_ = ws_->path() + "/log/umx/vemo_umx.log";
  }
  static std::string text() {
    UmxLog::getLogger()->flush_log();
    return vt::readFile(path_);
  }

 private:
  std::unique_ptr<vt::TempDir> ws_;
  static std::string path_;
};
std::string LogEnvironment::path_;
const auto* const kLogEnv = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

// What the log gained since construction.
class LogMark {
 public:
  LogMark() : offset_(LogEnvironment::text().size()) {}
  std::string since() const { return LogEnvironment::text().substr(offset_); }
  size_t count(const std::string& needle) const;

 private:
  size_t offset_;
};

// Standard error redirected into a file while it lives.
class StderrCapture {
 public:
  StderrCapture() : file_(dir_ / "stderr") {
    std::fflush(stderr);
    saved_ = dup(2);
    int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() { restore(); }
  std::string text() {
    restore();
    return vt::readFile(file_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    // The service's console writes from a thread of its own: what was
    // echoed before now is on standard error once drained.
    Console::drain(std::chrono::seconds(5));
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  vt::TempDir dir_{"vemo-stderr"};
  std::string file_;
  int saved_ = -1;
};

size_t countOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

size_t LogMark::count(const std::string& needle) const {
  return countOf(since(), needle);
}

// The simulated gateway, on the far end of a pty pair or on a TCP port.
class Gateway {
 public:
  static std::unique_ptr<Gateway> rtu() {
    auto g = std::unique_ptr<Gateway>(new Gateway);
    g->pty_ = std::make_unique<vt::SocatPty>(g->dir_.path());
    g->sim_ = std::make_unique<vt::Process>(
        std::vector<std::string>{vt::bin("vemo_gateway_sim"), "--rtu", g->pty_->b()});
    EXPECT_TRUE(g->sim_->waitFor("ready rtu", vt::Ms(5000)));
    return g;
  }
  static std::unique_ptr<Gateway> tcp() {
    auto g = std::unique_ptr<Gateway>(new Gateway);
    g->sim_ = std::make_unique<vt::Process>(
        std::vector<std::string>{vt::bin("vemo_gateway_sim"), "--tcp", "0"});
    long i = g->sim_->waitLine([](const std::string& l) { return l.rfind("ready tcp ", 0) == 0; },
                               vt::Ms(5000));
    EXPECT_GE(i, 0);
    if (i >= 0) g->port_ = std::stoi(g->sim_->line(i).substr(10));
    return g;
  }

  ModbusConfig config(int timeoutMs = 1000) const {
    ModbusConfig c;
    c.deviceName = "umxGateway";
    c.protocol = pty_ ? "RTU" : "TCP";
    c.slaveId = 1;
    c.ipAddress = "127.0.0.1";
    c.port = port_;
    c.serialPort = pty_ ? pty_->a() : "";
    c.baudRate = 115200;
    c.parity = 'N';
    c.dataBits = 8;
    c.stopBits = 1;
    c.responseTimeoutMs = timeoutMs;
    return c;
  }

  // The simulator's answer to one command; its own notices are skipped.
  std::string cmd(const std::string& line) {
    size_t from = sim_->lineCount();
    sim_->send(line);
    long i = sim_->waitLine(
        [](const std::string& l) {
          return l.rfind("ready", 0) != 0 && l.rfind("offline", 0) != 0 &&
                 l.rfind("waiting", 0) != 0;
        },
        vt::Ms(3000), from);
    return i < 0 ? "<no answer>" : sim_->line(i);
  }
  long requests(int fc) {
    std::string s = cmd("stats") + " ";
    std::string key = " fc" + std::to_string(fc) + "=";
    size_t p = s.find(key);
    return p == std::string::npos ? -1 : std::stol(s.substr(p + key.size()));
  }

  vt::SocatPty& pty() { return *pty_; }
  vt::Process& sim() { return *sim_; }
  int port() const { return port_; }

 private:
  Gateway() = default;
  vt::TempDir dir_{"vemo-gw"};
  std::unique_ptr<vt::SocatPty> pty_;
  std::unique_ptr<vt::Process> sim_;
  int port_ = 0;
};

// A TCP port that nobody listens on.
int closedPort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

double secondsSince(steady_clock::time_point t0) {
  return std::chrono::duration<double>(steady_clock::now() - t0).count();
}

// The requests of one exchange cycle, each checked on the gateway's side;
// every one returns 0 whatever it moved and counts once.
void exerciseDataRequests(ModbusDev& dev, Gateway& gw) {
  uint32_t hb = dev.getHeartbeat();
  auto done = [&](int rc) {
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(dev.getHeartbeat(), ++hb);
    EXPECT_EQ(dev.getLastErrorCode(), 0);
    EXPECT_EQ(dev.getLastErrorMsg(), "");
  };

  std::vector<uint8_t> coils(64);
  for (size_t i = 0; i < coils.size(); ++i) coils[i] = (i % 3 == 0);
  done(dev.modbusWriteBits(64, 64, coils.data()));
  EXPECT_EQ(gw.cmd("get co 64 4"), "1 0 0 1");
  EXPECT_EQ(gw.cmd("get co 125 3"), "0 0 1");

  std::vector<uint16_t> block(100);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint16_t>(0x3F00 + i);
  done(dev.modbusWriteRegisters(32, 100, block.data()));
  EXPECT_EQ(gw.cmd("get hr 32 2"), "16128 16129");
  EXPECT_EQ(gw.cmd("get hr 131 2"), "16227 0");

  EXPECT_EQ(gw.cmd("set di 0 1 1 0 1"), "ok");
  EXPECT_EQ(gw.cmd("set di 63 1"), "ok");
  std::vector<uint8_t> inputs(64, 7);
  done(dev.modbusReadInputBits(0, 64, inputs.data()));
  EXPECT_EQ(std::vector<uint8_t>(inputs.begin(), inputs.begin() + 5),
            (std::vector<uint8_t>{1, 1, 0, 1, 0}));
  EXPECT_EQ(inputs[63], 1);

  EXPECT_EQ(gw.cmd("set ir 0 258 -1 7"), "ok");
  std::vector<uint16_t> regs(32, 1);
  done(dev.modbusReadInputRegisters(0, 32, regs.data()));
  EXPECT_EQ(regs[0], 258);
  EXPECT_EQ(regs[1], 0xFFFF);
  EXPECT_EQ(regs[2], 7);
  EXPECT_EQ(regs[31], 0);

  std::vector<uint16_t> out(32, 0x0201);
  done(dev.modbusWriteRegisters(0, 32, out.data()));
  EXPECT_EQ(gw.cmd("get hr 31 1"), "513");

  EXPECT_EQ(gw.cmd("set ir 300 1 2 3 4 5 6 7 8"), "ok");
  std::vector<uint16_t> command(8);
  done(dev.modbusReadInputRegisters(300, 8, command.data()));
  EXPECT_EQ(command, (std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

}  // namespace

TEST(ModbusDev, RtuRequestsReturnZeroAndMoveTheData) {
  auto gw = Gateway::rtu();
  LogMark log;
  ModbusDev dev;
  dev.setModbusConfig(gw->config());
  ASSERT_EQ(dev.modbusOpen(), 0) << dev.getLastErrorMsg();
  exerciseDataRequests(dev, *gw);

  std::string text = log.since();
  EXPECT_NE(text.find("modbus connect: " + gw->pty().a() +
                      " baud: 115200 parity: N data_bit: 8 stop_bit: 1 slave: 1\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Modbus Set Response Timeout: 1000 \n"), std::string::npos) << text;
  EXPECT_NE(text.find("Modbus ConnectRtu Succeed\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("error"), std::string::npos) << text;
}

TEST(ModbusDev, TcpRequestsReturnZeroAndMoveTheData) {
  auto gw = Gateway::tcp();
  LogMark log;
  ModbusDev dev;
  dev.setModbusConfig(gw->config());
  ASSERT_EQ(dev.modbusOpen(), 0) << dev.getLastErrorMsg();
  exerciseDataRequests(dev, *gw);

  std::string text = log.since();
  EXPECT_NE(text.find("connect: 127.0.0.1 port: " + std::to_string(gw->port()) + "\n"),
            std::string::npos)
      << text;
  // TCP marks no success and sets no serial line.
  EXPECT_EQ(text.find("ConnectRtu"), std::string::npos);
  EXPECT_EQ(text.find("Response Timeout"), std::string::npos);
}

TEST(ModbusDev, OnlyTheExactTextRtuSelectsTheSerialLine) {
  auto gw = Gateway::tcp();
  for (const char* protocol : {"rtu", "RTU ", "", "TCP", " RTU"}) {
    SCOPED_TRACE(std::string("protocol '") + protocol + "'");
    LogMark log;
    ModbusDev dev;
    ModbusConfig c = gw->config();
    c.protocol = protocol;
    c.serialPort = "/nonexistent/tty";
    dev.setModbusConfig(c);
    EXPECT_EQ(dev.modbusOpen(), 0) << dev.getLastErrorMsg();
    EXPECT_EQ(log.count("connect: 127.0.0.1 port: "), 1u);
    EXPECT_EQ(log.count("modbus connect: "), 0u);
  }
  LogMark log;
  ModbusDev dev;
  ModbusConfig c = gw->config();
  c.protocol = "RTU";
  c.serialPort = "/nonexistent/tty";
  dev.setModbusConfig(c);
  EXPECT_EQ(dev.modbusOpen(), -1);
  EXPECT_EQ(log.count("modbus connect: /nonexistent/tty baud: 115200"), 1u);
}

TEST(ModbusDev, ResponseTimeoutIsSplitIntoSecondsAndMicroseconds) {
  auto gw = Gateway::tcp();
  struct Case {
    int ms;
    long sec, usec;
  };
  // 0 s 0 us is refused by the library, whose default (0.5 s) then stays.
  for (Case k :
       {Case{2500, 2, 500000}, Case{999, 0, 999000}, Case{1000, 1, 0}, Case{0, 0, 500000}}) {
    SCOPED_TRACE(k.ms);
    ModbusDev dev;
    dev.setModbusConfig(gw->config(k.ms));
    ASSERT_EQ(dev.modbusOpen(), 0);
    timeval tv{99, 99};
    dev.modbusGetResponseTimeout(&tv);
    EXPECT_EQ(tv.tv_sec, k.sec);
    EXPECT_EQ(tv.tv_usec, k.usec);
    EXPECT_EQ(dev.getLastErrorCode(), 0);
  }

  ModbusDev dev;
  dev.setModbusConfig(gw->config());
  ASSERT_EQ(dev.modbusOpen(), 0);
  dev.modbusSetResponseTimeout(timeval{3, 250000});
  timeval tv{};
  dev.modbusGetResponseTimeout(&tv);
  EXPECT_EQ(tv.tv_sec, 3);
  EXPECT_EQ(tv.tv_usec, 250000);
}

TEST(ModbusDev, SilentGatewayFailsAfterFourTimeoutsAndReconnects) {
  auto gw = Gateway::rtu();
  ModbusDev dev;
  dev.setModbusConfig(gw->config(1000));
  ASSERT_EQ(dev.modbusOpen(), 0);
  ASSERT_EQ(gw->cmd("mute on"), "ok");
  LogMark log;
  StderrCapture err;
  uint16_t regs[32];
  auto t0 = steady_clock::now();
  EXPECT_EQ(dev.modbusReadInputRegisters(0, 32, regs), -1);
  double took = secondsSince(t0);
  std::string echoed = err.text();

  // Four response timeouts and three short pauses, then a reconnect.
  EXPECT_GE(took, 4.0);
  EXPECT_LT(took, 8.0);
  EXPECT_EQ(gw->requests(4), 4);
  EXPECT_EQ(dev.getHeartbeat(), 1u);
  EXPECT_EQ(countOf(echoed, std::string(modbus_strerror(ETIMEDOUT)) + "\n"), 1u) << echoed;
  EXPECT_EQ(log.count("modbus_read_input_registers error\n"), 1u);
  EXPECT_EQ(log.count("Modbus  Closed"), 1u);
  EXPECT_EQ(log.count("Modbus ConnectRtu Succeed"), 1u);
  // What the successful reconnect recorded replaces the timeout.
  EXPECT_EQ(dev.getLastErrorCode(), 0);

  ASSERT_EQ(gw->cmd("mute off"), "ok");
  EXPECT_EQ(dev.modbusReadInputRegisters(0, 32, regs), 0);
  EXPECT_EQ(dev.getHeartbeat(), 2u);
}

TEST(ModbusDev, LostFramesAreRetriedWithinOneRequest) {
  auto gw = Gateway::rtu();
  ModbusDev dev;
  dev.setModbusConfig(gw->config(200));
  ASSERT_EQ(dev.modbusOpen(), 0);
  ASSERT_EQ(gw->cmd("set ir 10 4242"), "ok");
  ASSERT_EQ(gw->cmd("drop 2"), "ok");
  LogMark log;
  StderrCapture err;
  uint16_t reg = 0;
  EXPECT_EQ(dev.modbusReadInputRegisters(10, 1, &reg), 0);
  EXPECT_EQ(err.text(), "");
  EXPECT_EQ(reg, 4242);
  EXPECT_EQ(gw->requests(4), 3);
  EXPECT_EQ(dev.getHeartbeat(), 1u);
  EXPECT_EQ(dev.getLastErrorCode(), 0);
  EXPECT_EQ(dev.getLastErrorMsg(), "");
  EXPECT_EQ(log.count("error"), 0u);
  EXPECT_EQ(log.count("Modbus  Closed"), 0u);
}

TEST(ModbusDev, ExceptionAnswersAreRetriedAndRecorded) {
  auto gw = Gateway::rtu();
  ModbusDev dev;
  dev.setModbusConfig(gw->config(300));
  ASSERT_EQ(dev.modbusOpen(), 0);
  ASSERT_EQ(gw->cmd("exception 2 on"), "ok");
  const std::string illegal = modbus_strerror(EMBXILADD);

  {
    LogMark log;
    StderrCapture err;
    uint16_t regs[4];
    EXPECT_EQ(dev.modbusReadRegisters(0, 4, regs), -1);
    EXPECT_EQ(err.text(), illegal + "\n");
    EXPECT_EQ(gw->requests(3), 4);
    EXPECT_EQ(dev.getHeartbeat(), 1u);
    EXPECT_EQ(log.count("modbus_read_registers error\n"), 1u);
    EXPECT_EQ(log.count("Modbus ConnectRtu Succeed"), 1u);
  }

  // The combined request keeps its own pattern: attempt numbers on standard
  // error, the error kept, no log line and no reconnect.
  LogMark log;
  StderrCapture err;
  uint16_t w[2] = {1, 2}, r[2];
  EXPECT_EQ(dev.modbusWriteAndReadRegisters(0, 2, w, 0, 2, r), -1);
  EXPECT_EQ(err.text(),
            "modbus_write_and_read_registers error, 1\n"
            "modbus_write_and_read_registers error, 2\n"
            "modbus_write_and_read_registers error, 3\n" +
                illegal + "\n");
  EXPECT_EQ(gw->requests(23), 4);
  EXPECT_EQ(dev.getHeartbeat(), 2u);
  EXPECT_EQ(dev.getLastErrorCode(), EMBXILADD);
  EXPECT_EQ(dev.getLastErrorMsg(), illegal);
  EXPECT_EQ(log.since(), "");
}

TEST(ModbusDev, RequestsOnAClosedDeviceReturnMinusTwoAndReconnect) {
  auto gw = Gateway::tcp();
  ModbusDev dev;
  dev.setModbusConfig(gw->config());
  uint8_t bits[8] = {};
  uint16_t regs[8] = {};

  // Reading holding registers reports the closed device but does not reconnect.
  {
    LogMark log;
    StderrCapture err;
    EXPECT_EQ(dev.modbusReadRegisters(0, 8, regs), -2);
    EXPECT_EQ(dev.getLastErrorCode(), -2);
    EXPECT_EQ(dev.getLastErrorMsg(), "libmodbus context uninitialized!");
    EXPECT_EQ(err.text(), "libmodbus context uninitialized!\n");
    EXPECT_EQ(log.count("libmodbus context uninitialized! modbusReadRegisters falied\n"), 1u);
    EXPECT_EQ(log.count("connect: "), 0u);
    EXPECT_EQ(dev.modbusFlush(), -2);
  }

  struct Case {
    const char* method;
    std::function<int()> call;
  };
  std::vector<Case> cases = {
      {"modbusReadBits", [&] { return dev.modbusReadBits(0, 8, bits); }},
      {"modbusReadInputBits", [&] { return dev.modbusReadInputBits(0, 8, bits); }},
      {"modbusReadInputRegisters", [&] { return dev.modbusReadInputRegisters(0, 8, regs); }},
      {"modbusWriteBit", [&] { return dev.modbusWriteBit(0, 1); }},
      {"modbusWriteRegister", [&] { return dev.modbusWriteRegister(0, 1); }},
      {"modbusWriteBits", [&] { return dev.modbusWriteBits(0, 8, bits); }},
      {"modbusWriteRegisters", [&] { return dev.modbusWriteRegisters(0, 8, regs); }},
      {"modbusWriteAndReadRegisters",
       [&] { return dev.modbusWriteAndReadRegisters(0, 1, regs, 0, 1, regs); }},
  };
  uint32_t hb = 0;
  for (auto& k : cases) {
    SCOPED_TRACE(k.method);
    dev.modbusClose();
    LogMark log;
    EXPECT_EQ(k.call(), -2);
    EXPECT_EQ(log.count(std::string("libmodbus context uninitialized! ") + k.method + " falied\n"),
              1u);
    EXPECT_EQ(log.count("connect: 127.0.0.1"), 1u);
    // The reconnect succeeded, recorded no error, and the device serves again.
    EXPECT_EQ(dev.getLastErrorCode(), 0);
    EXPECT_EQ(dev.getHeartbeat(), hb);
    EXPECT_EQ(k.call(), 0);
    EXPECT_EQ(dev.getHeartbeat(), ++hb);
  }
}

TEST(ModbusDev, ControlCallsOnAClosedDeviceRecordMinusTwo) {
  ModbusDev dev;
  struct Case {
    const char* method;
    std::function<void()> call;
  };
  timeval tv{7, 7};
  std::vector<Case> cases = {
      {"modbusFlush", [&] { EXPECT_EQ(dev.modbusFlush(), -2); }},
      {"modbusSetDebug", [&] { dev.modbusSetDebug(1); }},
      {"modbusGetResponseTimeout", [&] { dev.modbusGetResponseTimeout(&tv); }},
      {"modbusSetResponseTimeout",
       [&] {
         dev.modbusSetResponseTimeout(timeval{1, 0});
       }},
  };
  for (auto& k : cases) {
    SCOPED_TRACE(k.method);
    LogMark log;
    StderrCapture err;
    k.call();
    EXPECT_EQ(err.text(), "libmodbus context uninitialized!\n");
    EXPECT_EQ(dev.getLastErrorCode(), -2);
    EXPECT_EQ(dev.getLastErrorMsg(), "libmodbus context uninitialized!");
    EXPECT_EQ(log.count(std::string("libmodbus context uninitialized! ") + k.method + " falied\n"),
              1u);
  }
  EXPECT_EQ(tv.tv_sec, 7);
}

TEST(ModbusDev, FailedConnectLeavesTheDeviceClosed) {
  // Serial device that does not exist.
  {
    LogMark log;
    StderrCapture err;
    ModbusDev dev;
    ModbusConfig c;
    c.protocol = "RTU";
    c.serialPort = "/nonexistent/tty";
    c.baudRate = 115200;
    c.parity = 'N';
    c.dataBits = 8;
    c.stopBits = 1;
    c.slaveId = 1;
    c.responseTimeoutMs = 1000;
    dev.setModbusConfig(c);
    EXPECT_EQ(dev.modbusOpen(), -1);
    EXPECT_EQ(dev.getLastErrorCode(), ENOENT);
    EXPECT_EQ(dev.getLastErrorMsg(), modbus_strerror(ENOENT));
    EXPECT_EQ(dev.modbusFlush(), -2);
    // Each request on the closed device tries one more connect.
    uint16_t regs[2];
    EXPECT_EQ(dev.modbusWriteRegisters(0, 2, regs), -2);
    EXPECT_EQ(dev.getLastErrorCode(), ENOENT);
    EXPECT_EQ(log.count("modbus connect: /nonexistent/tty"), 2u);
    EXPECT_EQ(log.count("Modbus  Closed"), 0u);
    EXPECT_EQ(countOf(err.text(), modbus_strerror(ENOENT)), 2u);
  }
  // A serial context the library cannot even create.
  {
    LogMark log;
    ModbusDev dev;
    StderrCapture err;
    EXPECT_EQ(dev.modbusConnectRtu("/dev/null", 115200, 'X', 8, 1, 1, 1000), -1);
    EXPECT_EQ(err.text(), "Unable to create the libmodbus context!\n");
    EXPECT_EQ(dev.getLastErrorCode(), -1);
    EXPECT_EQ(log.count("libmodbus context uninitialized! modbusConnectRtu falied\n"), 1u);
    EXPECT_EQ(dev.modbusFlush(), -2);
  }
  // TCP: refused, a unit number out of range, and the default record (empty address).
  {
    ModbusDev dev;
    EXPECT_EQ(dev.modbusConnectTcp("127.0.0.1", closedPort(), 300, 1000), -1);
    EXPECT_EQ(dev.getLastErrorCode(), EINVAL);
    EXPECT_EQ(dev.modbusFlush(), -2);
    EXPECT_EQ(dev.modbusConnectTcp("127.0.0.1", closedPort(), 1, 1000), -1);
    EXPECT_EQ(dev.getLastErrorCode(), ECONNREFUSED);
    EXPECT_EQ(dev.modbusFlush(), -2);
    EXPECT_EQ(dev.modbusOpen(), -1);
    EXPECT_NE(dev.getLastErrorCode(), 0);
    EXPECT_EQ(dev.modbusFlush(), -2);
  }
}

TEST(ModbusDev, RecordedErrorsAreEchoedOnStandardError) {
  ModbusDev dev;
  StderrCapture err;
  EXPECT_EQ(dev.setLastError("quiet", 0), "quiet");
  EXPECT_EQ(dev.getLastErrorMsg(), "quiet");
  EXPECT_EQ(dev.getLastErrorCode(), 0);
  EXPECT_EQ(dev.setLastError("loud", 5), "loud");
  EXPECT_EQ(dev.getLastErrorCode(), 5);
  EXPECT_EQ(dev.setLastError("", -3), "");
  // A new operation starts by clearing the record.
  dev.modbusClose();
  EXPECT_EQ(dev.getLastErrorMsg(), "");
  EXPECT_EQ(dev.getLastErrorCode(), 0);
  EXPECT_EQ(err.text(), "loud\n\n");
}

TEST(ModbusDev, CloseLogsOnceAndOnlyWhenOpen) {
  auto gw = Gateway::tcp();
  LogMark log;
  {
    ModbusDev dev;
    dev.modbusClose();
    EXPECT_EQ(log.count("Modbus  Closed"), 0u);
    dev.setModbusConfig(gw->config());
    ASSERT_EQ(dev.modbusOpen(), 0);
    dev.modbusClose();
    dev.modbusClose();
    EXPECT_EQ(log.count("Modbus  Closed\n"), 1u);
    EXPECT_EQ(dev.getLastErrorCode(), 0);
    // Reopening closes nothing when closed, and replaces an open context.
    ASSERT_EQ(dev.modbusOpen(), 0);
    ASSERT_EQ(dev.modbusOpen(), 0);
    EXPECT_EQ(log.count("Modbus  Closed\n"), 2u);
  }
  // The destructor closes the open device.
  EXPECT_EQ(log.count("Modbus  Closed\n"), 3u);
}

TEST(ModbusDev, UnpluggedLineIsReconnectedOncePerRequestUntilBack) {
  auto gw = Gateway::rtu();
  ModbusDev dev;
  dev.setModbusConfig(gw->config(200));
  ASSERT_EQ(dev.modbusOpen(), 0);
  uint16_t regs[4] = {1, 2, 3, 4};
  ASSERT_EQ(dev.modbusWriteRegisters(0, 4, regs), 0);

  gw->pty().down();
  ASSERT_TRUE(gw->sim().waitFor("offline rtu", vt::Ms(3000)));
  {
    StderrCapture err;
    EXPECT_EQ(dev.modbusWriteRegisters(0, 4, regs), -1);
    // The reconnect found no device; the device is closed now.
    EXPECT_EQ(dev.getLastErrorCode(), ENOENT);
    EXPECT_EQ(dev.modbusWriteRegisters(0, 4, regs), -2);
    EXPECT_EQ(dev.modbusWriteRegisters(0, 4, regs), -2);
    EXPECT_EQ(dev.getHeartbeat(), 2u);
  }

  size_t seen = gw->sim().lineCount();
  gw->pty().upAgain();
  ASSERT_TRUE(gw->sim().waitFor("ready rtu", vt::Ms(5000), seen));
  EXPECT_EQ(dev.modbusWriteRegisters(0, 4, regs), -2);  // reconnects
  EXPECT_EQ(dev.getLastErrorCode(), 0);
  EXPECT_EQ(dev.modbusWriteRegisters(0, 4, regs), 0);
  EXPECT_EQ(gw->cmd("get hr 0 4"), "1 2 3 4");
  EXPECT_EQ(dev.getHeartbeat(), 3u);
}

// The line stays this bridge's through every reopen: a second bridge trying
// the device all the while (as fast as it can) never gets it, neither while
// requests fail and the line is closed and opened again, nor after.
TEST(ModbusDev, AReopenNeverLetsTheLineGo) {
  auto gw = Gateway::rtu();
  ModbusDev dev;
  dev.setModbusConfig(gw->config(100));
  ASSERT_EQ(dev.modbusOpen(), 0);
  EXPECT_TRUE(dev.mastersLine());
  std::atomic<bool> stop{false};
  std::atomic<int> taken{0};
  std::thread other([&] {
    SerialLock lock;
    while (!stop.load()) {
      std::string holder;
      if (lock.acquire(gw->pty().a(), &holder) == 0) {
        ++taken;
        lock.release();
      }
    }
  });
  ASSERT_EQ(gw->cmd("mute on"), "ok");
  uint16_t regs[8];
  for (int i = 0; i < 5; ++i) EXPECT_EQ(dev.modbusReadInputRegisters(0, 8, regs), -1);
  ASSERT_EQ(gw->cmd("mute off"), "ok");
  EXPECT_EQ(dev.modbusReadInputRegisters(0, 8, regs), 0);
  stop = true;
  other.join();
  EXPECT_EQ(taken.load(), 0) << "the other bridge got the line";
  EXPECT_TRUE(dev.mastersLine());
  EXPECT_GE(dev.reopens(), 5u);
  // Closed for good, it is free.
  dev.modbusClose();
  EXPECT_FALSE(dev.mastersLine());
  SerialLock after;
  std::string holder;
  EXPECT_EQ(after.acquire(gw->pty().a(), &holder), 0);
}

// The gateway simulator on its own: its console, its answers to a plain
// libmodbus master, and its serial line surviving noise and an unplugged pty.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "test_env.h"

namespace {

std::unique_ptr<vt::Process> startSim(const std::vector<std::string>& args) {
  std::vector<std::string> argv{vt::bin("vemo_gateway_sim")};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<vt::Process>(argv);
}

int tcpPort(vt::Process& sim) {
  long i = sim.waitLine([](const std::string& l) { return l.rfind("ready tcp ", 0) == 0; },
                        vt::Ms(5000));
  return i < 0 ? -1 : std::stoi(sim.line(i).substr(10));
}

struct ModbusFree {
  void operator()(modbus_t* ctx) const {
    modbus_close(ctx);
    modbus_free(ctx);
  }
};
using Master = std::unique_ptr<modbus_t, ModbusFree>;

Master tcpMaster(int port) {
  Master m(modbus_new_tcp("127.0.0.1", port));
  modbus_set_slave(m.get(), 1);
  EXPECT_EQ(modbus_connect(m.get()), 0);
  return m;
}

Master rtuMaster(const std::string& path) {
  Master m(modbus_new_rtu(path.c_str(), 115200, 'N', 8, 1));
  modbus_set_slave(m.get(), 1);
  EXPECT_EQ(modbus_connect(m.get()), 0);
  modbus_set_response_timeout(m.get(), 0, 300000);
  return m;
}

// The number after " key=" in a stats line; -1 when it has none.
long statValue(vt::Process& sim, const std::string& key) {
  const std::string s = sim.query("stats", "stats ");
  const std::string tag = " " + key + "=";
  const size_t p = s.find(tag);
  return p == std::string::npos ? -1 : std::stol(s.substr(p + tag.size()));
}

bool waitFaulted(vt::Process& sim, long n) {
  return vt::waitUntil([&] { return statValue(sim, "faulted") == n; }, vt::Ms(3000));
}

// Reads one holding register, trying a few times: after noise a slave may
// lose the next frame, as a real one does.
bool readsWithin(modbus_t* m, int attempts, uint16_t* value) {
  for (int i = 0; i < attempts; ++i) {
    if (modbus_read_registers(m, 0, 1, value) == 1) return true;
    modbus_flush(m);
  }
  return false;
}

}  // namespace

TEST(GatewaySim, ConsoleSetsAndGetsEveryTable) {
  auto sim = startSim({"--tcp", "0"});
  ASSERT_GT(tcpPort(*sim), 0);
  EXPECT_EQ(sim->query("set hr 10 1 65535 -1 -32768"), "ok");
  EXPECT_EQ(sim->query("get hr 9 5"), "0 1 65535 65535 32768");
  EXPECT_EQ(sim->query("set ir 1023 77"), "ok");
  EXPECT_EQ(sim->query("get ir 1023 1"), "77");
  EXPECT_EQ(sim->query("set co 0 1 0 1"), "ok");
  EXPECT_EQ(sim->query("get co 0 4"), "1 0 1 0");
  EXPECT_EQ(sim->query("set di 5 1"), "ok");
  EXPECT_EQ(sim->query("get di 4 3"), "0 1 0");
  // Tables are separate.
  EXPECT_EQ(sim->query("get hr 0 2"), "0 0");
  EXPECT_EQ(sim->query("get co 5 1"), "0");
  EXPECT_EQ(
      sim->query("stats"),
      "stats fc1=0 fc2=0 fc3=0 fc4=0 fc5=0 fc6=0 fc15=0 fc16=0 fc23=0 other=0 total=0 faulted=0");
  EXPECT_EQ(sim->query("quit"), "bye");
  int status = -1;
  ASSERT_TRUE(sim->waitExit(vt::Ms(3000), &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(GatewaySim, BadInputIsAnsweredWithAnError) {
  auto sim = startSim({"--tcp", "0"});
  ASSERT_GT(tcpPort(*sim), 0);
  for (const char* bad : {"frobnicate",
                          "set",
                          "set hr",
                          "set hr 0",
                          "set xx 0 1",
                          "set hr -1 5",
                          "set hr 1024 1",
                          "set hr 1023 1 2",
                          "set hr 0 65536",
                          "set hr 0 -32769",
                          "set co 0 2",
                          "set hr 0 12x",
                          "get hr 0 0",
                          "get hr 1000 100",
                          "get hr 0 99999999999999999999",
                          "get hr 0 1 2",
                          "mute",
                          "mute maybe",
                          "exception 0 on",
                          "exception 2",
                          "exception x on",
                          "drop -1",
                          "line",
                          "line 12",
                          "line fast",
                          "trace",
                          "trace maybe",
                          "corrupt",
                          "corrupt everything",
                          "stats now",
                          "fault on",
                          "fault 4",
                          "fault 4 40",
                          "fault 4 40 wobble",
                          "fault 0 40 mute",
                          "fault 8 0 mute",
                          "fault 4 65536 mute",
                          "fault 4 -1 mute",
                          "fault 4 40 mute 0",
                          "fault 4 40 mute x",
                          "fault 4 40 mute 3 4",
                          "fault 4 40 exception",
                          "fault 4 40 exception 0",
                          "fault 4 40 exception 256 1",
                          "fault 4 40 off",
                          "fault off now"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(sim->query(bad).rfind("error", 0), 0u);
  }
  // Nothing of the above changed the image or added a fault rule, and the
  // simulator still serves.
  EXPECT_EQ(sim->query("fault"), "faults none");
  EXPECT_EQ(sim->query("get hr 1023 1"), "0");
  EXPECT_TRUE(sim->running());
  // Blank lines get no answer; the next command still gets its own.
  sim->send("");
  EXPECT_EQ(sim->query("get hr 0 1"), "0");
  EXPECT_EQ(sim->query("help").rfind("help: ", 0), 0u);
}

TEST(GatewaySim, AnswersAMasterAndCountsItsRequests) {
  auto sim = startSim({"--tcp", "0"});
  int port = tcpPort(*sim);
  ASSERT_GT(port, 0);
  Master m = tcpMaster(port);

  ASSERT_EQ(sim->query("set ir 3 9 8"), "ok");
  uint16_t regs[2] = {};
  EXPECT_EQ(modbus_read_input_registers(m.get(), 3, 2, regs), 2);
  EXPECT_EQ(regs[0], 9);
  EXPECT_EQ(regs[1], 8);
  EXPECT_EQ(modbus_write_bit(m.get(), 7, 1), 1);
  EXPECT_EQ(sim->query("get co 7 1"), "1");
  uint16_t w[3] = {4, 5, 6};
  EXPECT_EQ(modbus_write_registers(m.get(), 100, 3, w), 3);
  EXPECT_EQ(sim->query("get hr 100 3"), "4 5 6");
  // Beyond the image the library's own exception answers.
  EXPECT_EQ(modbus_read_registers(m.get(), 1020, 10, regs), -1);
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(
      sim->query("stats"),
      "stats fc1=0 fc2=0 fc3=1 fc4=1 fc5=1 fc6=0 fc15=0 fc16=1 fc23=0 other=0 total=4 faulted=0");

  ASSERT_EQ(sim->query("exception 4 on"), "ok");
  EXPECT_EQ(modbus_read_input_registers(m.get(), 3, 2, regs), -1);
  EXPECT_EQ(errno, EMBXSFAIL);
  ASSERT_EQ(sim->query("exception 4 off"), "ok");

  ASSERT_EQ(sim->query("mute on"), "ok");
  modbus_set_response_timeout(m.get(), 0, 100000);
  EXPECT_EQ(modbus_read_input_registers(m.get(), 3, 2, regs), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  ASSERT_EQ(sim->query("mute off"), "ok");
  // The master's TCP link may need a fresh connection after the timeout.
  m = tcpMaster(port);
  EXPECT_EQ(modbus_read_input_registers(m.get(), 3, 2, regs), 2);

  EXPECT_EQ(
      sim->query("stats"),
      "stats fc1=0 fc2=0 fc3=1 fc4=4 fc5=1 fc6=0 fc15=0 fc16=1 fc23=0 other=0 total=7 faulted=0");
  EXPECT_EQ(sim->query("stats reset"), "ok");
  EXPECT_NE(sim->query("stats").find("total=0"), std::string::npos);

  // The request trace names each request, answered or not.
  ASSERT_EQ(sim->query("trace on"), "ok");
  size_t from = sim->lineCount();
  EXPECT_EQ(modbus_write_registers(m.get(), 100, 3, w), 3);
  EXPECT_GE(sim->waitLine(
                [](const std::string& l) {
                  return l.rfind("req fc=16 addr=100 count=3 t_us=", 0) == 0 &&
                         l.find("unanswered") == std::string::npos;
                },
                vt::Ms(3000), from),
            0);
  ASSERT_EQ(sim->query("mute on"), "ok");
  EXPECT_EQ(modbus_read_input_registers(m.get(), 3, 2, regs), -1);
  EXPECT_TRUE(sim->waitFor("req fc=4 addr=3 count=2 ", vt::Ms(3000), from));
  EXPECT_NE(sim->line(static_cast<size_t>(sim->waitLine(
                          [](const std::string& l) { return l.rfind("req fc=4 ", 0) == 0; },
                          vt::Ms(0), from)))
                .find(" unanswered"),
            std::string::npos);
  ASSERT_EQ(sim->query("mute off"), "ok");
  ASSERT_EQ(sim->query("trace off"), "ok");

  // An emulated 9600 baud line: request and answer of this read are 17 bytes,
  // so the answer cannot come sooner than 17.7 ms.
  m = tcpMaster(port);
  ASSERT_EQ(sim->query("line 9600"), "ok");
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(modbus_read_input_registers(m.get(), 3, 2, regs), 2);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::microseconds(17700));
  ASSERT_EQ(sim->query("line off"), "ok");
}

TEST(GatewaySim, SerialLineSurvivesNoiseAndReplugging) {
  vt::TempDir dir("vemo-gwsim");
  vt::SocatPty pty(dir.path());
  auto sim = startSim({"--rtu", pty.b()});
  ASSERT_TRUE(sim->waitFor("ready rtu " + pty.b(), vt::Ms(5000)));
  ASSERT_EQ(sim->query("set hr 0 321"), "ok");

  {
    // Noise on the line first, then a real master.
    int fd = open(pty.a().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    const unsigned char noise[] = {0x01, 0x03, 0xff, 0x00, 0x42, 0x99, 0x01, 0x07, 0x00};
    ASSERT_EQ(write(fd, noise, sizeof noise), static_cast<ssize_t>(sizeof noise));
    close(fd);
    Master m = rtuMaster(pty.a());
    uint16_t v = 0;
    EXPECT_TRUE(readsWithin(m.get(), 5, &v));
    EXPECT_EQ(v, 321);
  }

  pty.down();
  ASSERT_TRUE(sim->waitFor("offline rtu", vt::Ms(3000)));
  // The console keeps answering while the line is away.
  EXPECT_EQ(sim->query("get hr 0 1", "321"), "321");
  size_t seen = sim->lineCount();
  pty.upAgain();
  ASSERT_TRUE(sim->waitFor("ready rtu " + pty.b(), vt::Ms(5000), seen));
  Master m = rtuMaster(pty.a());
  uint16_t v = 0;
  EXPECT_TRUE(readsWithin(m.get(), 3, &v));
  EXPECT_EQ(v, 321);
  EXPECT_TRUE(sim->running());
}

TEST(GatewaySim, FaultRulesFailOnlyTheRequestsTheyName) {
  auto sim = startSim({"--tcp", "0"});
  int port = tcpPort(*sim);
  ASSERT_GT(port, 0);
  Master m = tcpMaster(port);
  // Short enough to keep the test quick, long enough for a loaded machine.
  modbus_set_response_timeout(m.get(), 0, 250000);
  ASSERT_EQ(sim->query("set ir 40 7 8"), "ok");
  ASSERT_EQ(sim->query("set ir 31 5 6"), "ok");

  ASSERT_EQ(sim->query("fault 4 40 mute 3"), "ok");
  EXPECT_EQ(sim->query("fault"), "faults fc4@40 mute 3 left");
  uint16_t block[32] = {};
  uint16_t w[2] = {11, 12};
  for (int cycle = 0; cycle < 4; ++cycle) {
    SCOPED_TRACE(cycle);
    // The rest of the cycle is answered throughout: other addresses of the
    // same function, including the words either side of the range, and the
    // write to the very address with another function.
    EXPECT_EQ(modbus_read_input_registers(m.get(), 0, 32, block), 32);
    EXPECT_EQ(block[31], 5);
    EXPECT_EQ(modbus_read_input_registers(m.get(), 32, 8, block), 8);
    EXPECT_EQ(modbus_read_input_registers(m.get(), 41, 1, block), 1);
    EXPECT_EQ(block[0], 8);
    EXPECT_EQ(modbus_write_registers(m.get(), 40, 2, w), 2);
    const int got = modbus_read_input_registers(m.get(), 38, 4, block);
    if (cycle < 3) {
      EXPECT_EQ(got, -1);
      EXPECT_EQ(errno, ETIMEDOUT);
      EXPECT_TRUE(waitFaulted(*sim, cycle + 1));
    } else {
      ASSERT_EQ(got, 4);
      EXPECT_EQ(block[2], 7);
      EXPECT_EQ(block[3], 8);
    }
  }
  EXPECT_EQ(sim->query("fault"), "faults none") << "a counted rule removes itself";
  EXPECT_EQ(statValue(*sim, "fc4"), 16);
  EXPECT_EQ(statValue(*sim, "fc16"), 4);
  EXPECT_EQ(statValue(*sim, "faulted"), 3);
  EXPECT_EQ(sim->query("get hr 40 2"), "11 12");

  // Without a count a rule stays; rules are tried in the order given, and a
  // single write matches its one address only.
  ASSERT_EQ(sim->query("fault 4 40 exception 2"), "ok");
  ASSERT_EQ(sim->query("fault 6 9 exception 4 1"), "ok");
  ASSERT_EQ(sim->query("fault 4 39 mute"), "ok");
  EXPECT_EQ(sim->query("fault"),
            "faults fc4@40 exception 2; fc6@9 exception 4 1 left; fc4@39 mute");
  // Both reads cover 40; the second covers 39 as well and still gets the
  // first rule's exception, not the silence of the later one.
  EXPECT_EQ(modbus_read_input_registers(m.get(), 40, 1, block), -1);
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(modbus_read_input_registers(m.get(), 39, 2, block), -1);
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(modbus_write_register(m.get(), 10, 3), 1);
  EXPECT_EQ(modbus_write_register(m.get(), 9, 3), -1);
  EXPECT_EQ(errno, EMBXSFAIL);
  EXPECT_EQ(modbus_write_register(m.get(), 9, 3), 1);
  EXPECT_EQ(statValue(*sim, "faulted"), 6);

  ASSERT_EQ(sim->query("fault off"), "ok");
  EXPECT_EQ(sim->query("fault"), "faults none");
  EXPECT_EQ(modbus_read_input_registers(m.get(), 38, 4, block), 4);
  EXPECT_EQ(statValue(*sim, "faulted"), 6);
  ASSERT_EQ(sim->query("stats reset"), "ok");
  EXPECT_EQ(statValue(*sim, "faulted"), 0);
}

TEST(GatewaySim, FaultRulesDamageAnswersOnTheSerialLine) {
  vt::TempDir dir("vemo-gwsim");
  vt::SocatPty pty(dir.path());
  auto sim = startSim({"--rtu", pty.b()});
  ASSERT_TRUE(sim->waitFor("ready rtu " + pty.b(), vt::Ms(5000)));
  Master m = rtuMaster(pty.a());
  ASSERT_EQ(sim->query("set ir 40 7"), "ok");

  ASSERT_EQ(sim->query("fault 4 40 crc 1"), "ok");
  ASSERT_EQ(sim->query("fault 16 50 crc"), "ok");
  uint16_t v[32] = {};
  EXPECT_EQ(modbus_read_input_registers(m.get(), 0, 32, v), 32);
  EXPECT_EQ(modbus_read_input_registers(m.get(), 40, 1, v), -1);
  EXPECT_EQ(errno, EMBBADCRC);
  EXPECT_EQ(modbus_read_input_registers(m.get(), 40, 1, v), 1);
  EXPECT_EQ(v[0], 7);
  // The damaged answer does not undo the write, as on a real line.
  uint16_t w[2] = {21, 22};
  EXPECT_EQ(modbus_write_registers(m.get(), 49, 2, w), -1);
  EXPECT_EQ(errno, EMBBADCRC);
  EXPECT_EQ(sim->query("get hr 49 2"), "21 22");
  EXPECT_EQ(modbus_write_registers(m.get(), 51, 2, w), 2);
  EXPECT_EQ(statValue(*sim, "faulted"), 2);
}

TEST(GatewaySim, RefusesBadCommandLines) {
  for (std::vector<std::string> args : {std::vector<std::string>{},
                                        {"--tcp"},
                                        {"--tcp", "x"},
                                        {"--tcp", "70000"},
                                        {"--rtu", "/dev/null", "--tcp", "0"},
                                        {"--bogus", "1"}}) {
    auto sim = startSim(args);
    int status = -1;
    ASSERT_TRUE(sim->waitExit(vt::Ms(3000), &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
  }
}

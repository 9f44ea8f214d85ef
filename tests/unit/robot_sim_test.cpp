// vemo_robot_sim's own contract: options, the arm's mode sequences and motion,
// the stdin commands, and its refusal of hostile clients.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>

#include "robot_link_helpers.h"

namespace {

using namespace ryne;
using rl::Link;
using rl::Sim;
using vt::Ms;

// Records every distinct value of a few streamed topics, in arrival order.
struct Recorder {
  std::mutex mu;
  std::vector<int32_t> modes, runtime;
  std::vector<double> q0;
  int packets = 0;

  vemo_sdk::RtdeClient& rtde_;
  int channel_ = -1;

  explicit Recorder(vemo_sdk::RtdeClient& rtde) : rtde_(rtde) {
    int ch = rtde.setTopic(false, {"R1_robot_mode", "runtime_state", "R1_actual_q"}, 200.0, 1);
    EXPECT_GE(ch, 0);
    channel_ = ch;
    rtde.subscribe(ch, [this](vemo_sdk::InputParser& p) {
      auto m = static_cast<int32_t>(p.popRobotModeType());
      auto r = static_cast<int32_t>(p.popRuntimeState());
      auto q = p.popVectorDouble();
      std::lock_guard<std::mutex> lk(mu);
      ++packets;
      if (modes.empty() || modes.back() != m) modes.push_back(m);
      if (runtime.empty() || runtime.back() != r) runtime.push_back(r);
      if (!q.empty() && (q0.empty() || q0.back() != q[0])) q0.push_back(q[0]);
    });
  }
  // The callback uses this object: no delivery may outlive it.
  ~Recorder() { rtde_.unsubscribe(channel_); }
  bool waitMode(int32_t m) {
    return vt::waitUntil(
        [&] {
          std::lock_guard<std::mutex> lk(mu);
          return !modes.empty() && modes.back() == m;
        },
        Ms(3000));
  }
  bool waitRuntime(int32_t r) {
    return vt::waitUntil(
        [&] {
          std::lock_guard<std::mutex> lk(mu);
          return !runtime.empty() && runtime.back() == r;
        },
        Ms(3000));
  }
};

TEST(RobotSim, ArmRunsThroughItsModeSequences) {
  Sim sim;
  Link link(sim);
  Recorder rec(*link.rtde);
  ASSERT_TRUE(rec.waitMode(3));
  {
    std::lock_guard<std::mutex> lk(rec.mu);
    EXPECT_EQ(rec.runtime, std::vector<int32_t>{6});
  }
  auto manage = link.robot->getRobotManage();
  EXPECT_NE(manage->startup(), 0) << "brakes stay on while powered off";
  EXPECT_EQ(manage->poweron(), 0);
  ASSERT_TRUE(rec.waitMode(5));
  EXPECT_EQ(manage->startup(), 0);
  ASSERT_TRUE(rec.waitMode(8));
  {
    std::lock_guard<std::mutex> lk(rec.mu);
    EXPECT_EQ(rec.modes, (std::vector<int32_t>{3, 2, 4, 5, 6, 8}));
  }

  auto rm = link.rpc->getRuntimeMachine();
  EXPECT_EQ(rm->runProgram(), 0);
  ASSERT_TRUE(vt::waitUntil(
      [&] {
        std::lock_guard<std::mutex> lk(rec.mu);
        return rec.q0.size() >= 5;
      },
      Ms(3000)))
      << "the joints move while the program runs";
  EXPECT_EQ(rm->pause(), 0);
  ASSERT_TRUE(rec.waitRuntime(3));
  EXPECT_EQ(rm->resume(), 0);
  ASSERT_TRUE(rec.waitRuntime(0));
  EXPECT_EQ(rm->stop(), 0);
  ASSERT_TRUE(rec.waitRuntime(6));
  {
    std::lock_guard<std::mutex> lk(rec.mu);
    EXPECT_EQ(rec.runtime, (std::vector<int32_t>{6, 0, 2, 3, 0, 5, 6}));
  }
  EXPECT_EQ(link.robot->getMotionControl()->setSpeedFraction(1.5), 1) << "out of range";
  EXPECT_EQ(rm->getRuntimeState(), common_interface::RuntimeState::Stopped);
}

TEST(RobotSim, StdinCommandsAreCheckedAndCounted) {
  Sim sim({"--standard-do", "8", "--tool-do", "1"});
  Link link(sim, false);
  auto io = link.robot->getIoControl();
  EXPECT_EQ(io->getStandardDigitalOutputNum(), 8);
  EXPECT_EQ(io->getToolDigitalOutputNum(), 1);

  for (const char* bad :
       {"set robot_mode x", "set joint_positions 1 two", "set nothing 1", "set int16_register 64 1",
        "set int16_register 1 40000", "fail runProgram", "rtde sideways", "hold",
        "hold getOperationalMode", "hold getOperationalMode 0", "hold getOperationalMode 600001",
        "hold getOperationalMode soon", "hello"})
    EXPECT_FALSE(sim.proc().query(bad, "error ").empty()) << bad;
  EXPECT_EQ(link.robot->getRobotState()->getRobotModeType(),
            common_interface::RobotModeType::PowerOff)
      << "a refused command changes nothing";

  sim.cmd("set safety_mode 3");
  EXPECT_EQ(link.robot->getRobotState()->getSafetyModeType(),
            common_interface::SafetyModeType::ProtectiveStop);
  sim.cmd("fail getSafetyModeType 5");
  EXPECT_EQ(link.robot->getRobotState()->getSafetyModeType(),
            common_interface::SafetyModeType::Undefined)
      << "a failing query gives no value";
  EXPECT_NE(io->setStandardDigitalOutput(8, true), 0) << "only outputs 0..7 exist";
  io->setStandardDigitalOutput(2, true);
  std::string stats = sim.proc().query("stats", "stats");
  EXPECT_NE(stats.find(" setStandardDigitalOutput=2"), std::string::npos) << stats;
  EXPECT_NE(stats.find(" getSafetyModeType=2"), std::string::npos) << stats;
  EXPECT_NE(stats.find(" login=1"), std::string::npos) << stats;
  EXPECT_EQ(sim.linesFrom(0, "call getSafetyModeType").size(), 0u) << "queries are not printed";

  // Paused streaming sends nothing until resumed.
  EXPECT_EQ(link.rtde->connect("127.0.0.1", sim.rtdePort()), 0);
  Recorder rec(*link.rtde);
  ASSERT_TRUE(rec.waitMode(3));
  sim.cmd("rtde pause");
  sim.cmd("set robot_mode 7");
  EXPECT_FALSE(vt::waitUntil(
      [&] {
        std::lock_guard<std::mutex> lk(rec.mu);
        return rec.modes.back() == 7;
      },
      Ms(300)));
  sim.cmd("rtde resume");
  EXPECT_TRUE(rec.waitMode(7));

  sim.proc().send("quit");
  int status = -1;
  EXPECT_TRUE(sim.proc().waitExit(Ms(3000), &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(RobotSim, HeldCallIsAnsweredLateWhileTheRestGoesOn) {
  Sim sim;
  Link link(sim);
  Recorder rec(*link.rtde);
  ASSERT_TRUE(rec.waitMode(3));
  Link other(sim, false);
  sim.cmd("set operational_mode 2");

  const auto hold = Ms(600);
  sim.cmd("hold getOperationalMode 600");
  const size_t from = sim.proc().lineCount();
  int packets_before;
  {
    std::lock_guard<std::mutex> lk(rec.mu);
    packets_before = rec.packets;
  }
  const auto t0 = std::chrono::steady_clock::now();
  auto held = std::async(std::launch::async,
                         [&] { return link.robot->getRobotManage()->getOperationalMode(); });
  ASSERT_TRUE(sim.waitExact("held getOperationalMode", from));
  // Answered from what the controller had when the call came, not when the
  // answer leaves.
  sim.cmd("set operational_mode 1");
  // Another connection is served while the reply is held.
  EXPECT_EQ(other.robot->getRobotManage()->getOperationalMode(),
            common_interface::OperationalModeType::Automatic);
  EXPECT_EQ(held.wait_for(Ms(0)), std::future_status::timeout) << "answered before its time";

  ASSERT_EQ(held.wait_for(Ms(3000)), std::future_status::ready);
  EXPECT_EQ(held.get(), common_interface::OperationalModeType::Manual);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, hold);
  {
    // 200 Hz for 600 ms: 120 packets when nothing stalls.
    std::lock_guard<std::mutex> lk(rec.mu);
    EXPECT_GE(rec.packets - packets_before, 60) << "streaming stalled during the hold";
  }
  EXPECT_TRUE(sim.waitExact("released getOperationalMode", from));
  // A hold is taken by one call only.
  const auto t1 = std::chrono::steady_clock::now();
  EXPECT_EQ(link.robot->getRobotManage()->getOperationalMode(),
            common_interface::OperationalModeType::Automatic);
  EXPECT_LT(std::chrono::steady_clock::now() - t1, hold);

  // A cancelled hold leaves the next call alone.
  sim.cmd("hold getOperationalMode 5000");
  sim.cmd("hold off");
  const auto t2 = std::chrono::steady_clock::now();
  EXPECT_EQ(link.robot->getRobotManage()->getOperationalMode(),
            common_interface::OperationalModeType::Automatic);
  EXPECT_LT(std::chrono::steady_clock::now() - t2, Ms(2000));
  EXPECT_EQ(sim.linesFrom(0, "held ").size(), 1u);
}

TEST(RobotSim, HeldReplyKeepsItsTimeOrGoesWithItsConnection) {
  Sim sim;
  {
    // Nothing streams, so only the reply's own due time can wake the
    // simulator in time; its idle wait is a second.
    Link link(sim, false);
    sim.cmd("hold getOperationalMode 300");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(link.robot->getRobotManage()->getOperationalMode(),
              common_interface::OperationalModeType::Automatic);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, Ms(300));
    EXPECT_LT(took, Ms(800));
  }

  sim.cmd("hold setSpeedFraction 5000");
  const size_t from = sim.proc().lineCount();
  auto rpc = std::make_shared<vemo_sdk::RpcClient>(0);
  ASSERT_EQ(rpc->connect("127.0.0.1", sim.rpcPort()), 0);
  rpc->login("vemo", "739154");
  rpc->setRequestTimeout(200);
  auto robot = rpc->getRobotInterface("R1");
  EXPECT_NE(robot->getMotionControl()->setSpeedFraction(0.5), 0) << "no answer within 200 ms";
  // The call took effect on arrival; only its answer waits.
  ASSERT_TRUE(sim.waitExact("call setSpeedFraction 0.5", from));
  long held = sim.proc().waitLine([](const std::string& l) { return l == "held setSpeedFraction"; },
                                  Ms(3000), from);
  ASSERT_GE(held, 0);
  EXPECT_TRUE(sim.linesFrom(from, "released ").empty());

  rpc->disconnect();
  EXPECT_TRUE(sim.waitExact("released setSpeedFraction (connection gone)", held, Ms(3000)));
  EXPECT_TRUE(sim.proc().running());
}

TEST(RobotSim, HostileClientsAreDroppedAndOthersServed) {
  Sim sim;
  for (std::string bytes :
       {std::string("GET / HTTP/1.1\r\n\r\n"), std::string("\0\0\0\0", 4),
        std::string("\0\0\0\x05\x01{}}}", 9), std::string("\0\0\0\x03\x03zz", 7)}) {
    SCOPED_TRACE(bytes.size());
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(sim.rpcPort()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    pollfd pf{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&pf, 1, 3000), 1);
    char buf[64];
    EXPECT_EQ(::recv(fd, buf, sizeof buf, 0), 0) << "closed by the simulator";
    ::close(fd);
  }
  EXPECT_TRUE(sim.proc().running());
  Link link(sim, false);
  EXPECT_EQ(link.robot->getIoControl()->getToolDigitalOutputNum(), 4);
}

TEST(RobotSim, BadOptionsAreRefused) {
  for (std::vector<std::string> argv :
       {std::vector<std::string>{"--tool-do", "x"}, {"--rpc-port", "70000"}, {"--frobnicate"}}) {
    argv.insert(argv.begin(), vt::bin("vemo_robot_sim"));
    vt::Process p(argv);
    int status = -1;
    ASSERT_TRUE(p.waitExit(Ms(3000), &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
    EXPECT_TRUE(p.waitFor("vemo_robot_sim: ", Ms(1000), 0, vt::Stream::Err));
  }
}

}  // namespace

// libvemo_sdk against the simulator over real sockets, and against a fake
// controller that sends hostile frames.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <new>
#include <nlohmann/json.hpp>
#include <thread>

#include "robot_link_helpers.h"
#include "sanitized.h"
#include "vemo_sdk/wire.h"

// The largest single allocation the calling thread makes while an
// AllocationProbe is open: shows whether a decoder sizes its output by what a
// peer announces or by the bytes it actually sent.
namespace {
thread_local bool t_probing = false;
thread_local size_t t_largest = 0;
}  // namespace

// Kept out of line: inlined, they would pair malloc with delete expressions in
// the compiler's eyes.
[[gnu::noinline]] void* operator new(std::size_t n) {
  if (t_probing && n > t_largest) t_largest = n;
  if (void* p = std::malloc(n > 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

class AllocationProbe {
 public:
  AllocationProbe() {
    t_largest = 0;
    t_probing = true;
  }
  ~AllocationProbe() { t_probing = false; }
  size_t largest() const { return t_largest; }
};

using namespace ryne;
using common_interface::RobotModeType;
using rl::Link;
using rl::Sim;
using vt::Ms;
namespace wire = vemo_sdk::wire;

TEST(SdkRpc, CallsReachTheControllerAndAnswersComeBack) {
  Sim sim({"--tool-do", "2"});
  Link link(sim, false);
  EXPECT_TRUE(sim.waitExact("call login vemo 739154", 0));

  auto io = link.robot->getIoControl();
  EXPECT_EQ(io->getStandardDigitalInputNum(), 16);
  EXPECT_EQ(io->getStandardDigitalOutputNum(), 16);
  EXPECT_EQ(io->getConfigurableDigitalInputNum(), 16);
  EXPECT_EQ(io->getConfigurableDigitalOutputNum(), 16);
  EXPECT_EQ(io->getToolDigitalOutputNum(), 2);
  EXPECT_EQ(link.robot->getRobotState()->getRobotModeType(), RobotModeType::PowerOff);
  EXPECT_EQ(link.robot->getRobotManage()->getOperationalMode(),
            common_interface::OperationalModeType::Automatic);

  size_t from = link.syncMark(sim);
  EXPECT_EQ(io->setStandardDigitalOutput(3, true), 0);
  EXPECT_EQ(link.rpc->getRegisterControl()->setInt16Register(0, -1), 0);
  EXPECT_EQ(link.robot->getMotionControl()->setSpeedFraction(0.37), 0);
  EXPECT_EQ(link.robot->getTrace()->textmsg("umx signal: a  b "), 0);
  EXPECT_NE(io->setToolDigitalOutput(2, true), 0) << "the arm has two tool outputs";
  EXPECT_EQ(
      link.callsUntilMarker(sim, from),
      (std::vector<std::string>{"call setStandardDigitalOutput 3 1", "call setInt16Register 0 -1",
                                "call setSpeedFraction 0.37", "call textmsg umx signal: a  b ",
                                "call setToolDigitalOutput 2 1"}));

  // A failing controller answers its code until told otherwise.
  auto rm = link.rpc->getRuntimeMachine();
  sim.cmd("fail runProgram 7");
  EXPECT_EQ(rm->runProgram(), 7);
  sim.cmd("fail runProgram 0");
  EXPECT_EQ(rm->runProgram(), 0);
  // A robot the controller does not have is refused.
  EXPECT_NE(link.rpc->getRobotInterface("R9")->getIoControl()->setStandardDigitalOutput(1, true),
            0);
  EXPECT_EQ(link.rpc->getRobotInterface("R9")->getIoControl()->getToolDigitalOutputNum(), 0);
}

TEST(SdkRtde, StreamsValuesInTopicOrderAndPublishesOutputs) {
  // Declared before the link: its delivery thread uses them until it ends.
  std::mutex mu;
  std::vector<std::tuple<double, int32_t, std::vector<double>, std::thread::id>> got;
  std::atomic<bool> on{true};
  std::atomic<int> built{0};
  Sim sim;
  Link link(sim);
  sim.cmd("set speed_fraction 0.25");
  sim.cmd("set runtime_state 3");
  sim.cmd("set joint_positions 1 2 3 4 5 6 7");

  EXPECT_EQ(link.rtde->setTopic(false, {"R1_actual_q", "no_such_topic"}, 50.0, 1), -1);
  EXPECT_NE(link.rtde->subscribe(-1, [](vemo_sdk::InputParser&) {}), 0);
  EXPECT_NE(link.rtde->publish(57, [](vemo_sdk::OutputBuilder&) {}), 0);

  int ch = link.rtde->setTopic(false, {"R1_target_speed_fraction", "runtime_state", "R1_actual_q"},
                               50.0, 1);
  ASSERT_GE(ch, 0);
  EXPECT_EQ(link.rtde->subscribe(ch,
                                 [&](vemo_sdk::InputParser& p) {
                                   double f = p.popDouble();
                                   auto rt = static_cast<int32_t>(p.popRuntimeState());
                                   auto q = p.popVectorDouble();
                                   EXPECT_TRUE(p.popVectorDouble().empty()) << "past the end";
                                   std::lock_guard<std::mutex> lk(mu);
                                   got.emplace_back(f, rt, q, std::this_thread::get_id());
                                 }),
            0);
  EXPECT_TRUE(sim.waitExact("rtde subscribe " + std::to_string(ch) +
                                " R1_target_speed_fraction runtime_state R1_actual_q",
                            0));
  ASSERT_TRUE(vt::waitUntil(
      [&] {
        std::lock_guard<std::mutex> lk(mu);
        return got.size() >= 3;
      },
      Ms(3000)));
  {
    std::lock_guard<std::mutex> lk(mu);
    EXPECT_EQ(std::get<0>(got[0]), 0.25);
    EXPECT_EQ(std::get<1>(got[0]), 3);
    EXPECT_EQ(std::get<2>(got[0]), (std::vector<double>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_NE(std::get<3>(got[0]), std::this_thread::get_id()) << "delivered on the SDK's thread";
  }

  // Output packets: the simulator applies them and prints each change once.
  int out = link.rtde->setTopic(true, {"R1_standard_digital_output"}, 20.0, 0);
  ASSERT_GE(out, 0);
  EXPECT_EQ(link.rtde->publish(out,
                               [&](vemo_sdk::OutputBuilder& b) {
                                 b.push(5, on.load());
                                 ++built;
                               }),
            0);
  EXPECT_TRUE(sim.waitExact("rtde output R1_standard_digital_output 5 1", 0));
  ASSERT_TRUE(vt::waitUntil([&] { return built.load() >= 4; }, Ms(3000)));
  on = false;
  EXPECT_TRUE(sim.waitExact("rtde output R1_standard_digital_output 5 0", 0));
  EXPECT_EQ(sim.proc().countContaining("rtde output R1_standard_digital_output 5 1"), 1u)
      << "unchanged packets are not announced again";
  EXPECT_EQ(link.rtde->unpublish(out), 0);
  EXPECT_EQ(link.rtde->unsubscribe(ch), 0);
}

TEST(SdkRtde, AnExplicitConnectReissuesWhatWasSetUp) {
  // Declared before the link: its delivery thread uses them until it ends.
  std::atomic<int> packets{0};
  std::atomic<int32_t> mode{-1};
  Sim sim;
  Link link(sim);
  int ch = link.rtde->setTopic(false, {"R1_robot_mode"}, 100.0, 1);
  ASSERT_GE(ch, 0);
  ASSERT_EQ(link.rtde->subscribe(ch,
                                 [&](vemo_sdk::InputParser& p) {
                                   mode = static_cast<int32_t>(p.popRobotModeType());
                                   ++packets;
                                 }),
            0);
  int out = link.rtde->setTopic(true, {"R1_tool_digital_output"}, 10.0, 0);
  ASSERT_GE(out, 0);
  ASSERT_EQ(link.rtde->publish(out, [](vemo_sdk::OutputBuilder& b) { b.push(1, true); }), 0);
  ASSERT_TRUE(vt::waitUntil([&] { return packets.load() > 0; }, Ms(3000)));
  EXPECT_EQ(link.rtde->connect("127.0.0.1", sim.rtdePort()), 0);
  EXPECT_EQ(link.rtde->sessions(), 1u) << "connected there already: nothing to do";

  EXPECT_EQ(link.rtde->disconnect(), 0);
  EXPECT_FALSE(link.rtde->isConnected());
  size_t mark = link.syncMark(sim);
  sim.cmd("set robot_mode 7");
  ASSERT_EQ(link.rtde->connect("127.0.0.1", sim.rtdePort()), 0);
  EXPECT_EQ(link.rtde->sessions(), 2u);
  EXPECT_TRUE(vt::waitUntil([&] { return mode.load() == 7; }, Ms(3000)))
      << "packets flow to the callback again";
  EXPECT_TRUE(sim.waitExact("rtde login vemo 739154", mark));
  EXPECT_TRUE(sim.waitExact("rtde subscribe 0 R1_robot_mode", mark));
  EXPECT_TRUE(sim.waitExact("rtde publish 1 R1_tool_digital_output", mark));
  EXPECT_TRUE(sim.waitExact("rtde output R1_tool_digital_output 1 1", mark));
}

// Runs `body` from the callback of a subscribed channel, or of a published
// one; 0 once it is in place.
int attachCallback(vemo_sdk::RtdeClient& rtde, bool published, std::function<void()> body) {
  if (published) {
    int ch = rtde.setTopic(true, {"R1_tool_digital_output"}, 200.0, 0);
    return ch < 0 ? -1 : rtde.publish(ch, [body](vemo_sdk::OutputBuilder&) { body(); });
  }
  int ch = rtde.setTopic(false, {"R1_robot_mode"}, 200.0, 1);
  return ch < 0 ? -1 : rtde.subscribe(ch, [body](vemo_sdk::InputParser&) { body(); });
}

TEST(SdkRtde, DisconnectFromACallbackStopsDelivery) {
  for (bool published : {false, true}) {
    SCOPED_TRACE(published ? "publish callback" : "subscribe callback");
    // Declared before the client: its delivery thread uses them until it ends.
    std::atomic<bool> armed{false}, disconnected{false}, reconnecting{false};
    std::atomic<int> rc{1}, stray{0}, after{0};
    Sim sim;
    vemo_sdk::RtdeClient rtde(0);
    ASSERT_EQ(rtde.connect("127.0.0.1", sim.rtdePort()), 0);
    rtde.login("vemo", "739154");
    ASSERT_EQ(attachCallback(rtde, published,
                             [&] {
                               if (!armed) return;
                               if (!disconnected) {
                                 rc = rtde.disconnect();
                                 disconnected = true;
                               } else if (!reconnecting) {
                                 ++stray;
                               } else {
                                 ++after;
                               }
                             }),
              0);
    armed = true;
    ASSERT_TRUE(vt::waitUntil([&] { return disconnected.load(); }, Ms(3000)));
    EXPECT_EQ(rc.load(), 0);
    EXPECT_FALSE(rtde.isConnected());
    // A delivery thread left running would reconnect by itself and call back
    // again: one session more than the connect below makes.
    reconnecting = true;
    ASSERT_EQ(rtde.connect("127.0.0.1", sim.rtdePort()), 0);
    EXPECT_TRUE(vt::waitUntil([&] { return after.load() >= 3; }, Ms(3000)));
    EXPECT_EQ(rtde.sessions(), 2u);
    EXPECT_EQ(stray.load(), 0) << "called back after disconnect";
  }
}

TEST(SdkRtde, ClientDestroyedFromItsOwnCallbackLeavesNothingRunning) {
  for (bool published : {false, true}) {
    SCOPED_TRACE(published ? "publish callback" : "subscribe callback");
    std::atomic<bool> armed{false}, destroyed{false};
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    Sim sim;
    auto rtde = std::make_unique<vemo_sdk::RtdeClient>(0);
    ASSERT_EQ(rtde->connect("127.0.0.1", sim.rtdePort()), 0);
    rtde->login("vemo", "739154");
    ASSERT_EQ(attachCallback(*rtde, published,
                             [&, token] {
                               if (!armed || destroyed) return;
                               rtde.reset();
                               destroyed = true;
                             }),
              0);
    token.reset();
    armed = true;
    ASSERT_TRUE(vt::waitUntil([&] { return destroyed.load(); }, Ms(3000)));
    // The callback (and the token it holds) goes with the client's last
    // state, which the delivery thread lets go of as it ends.
    EXPECT_TRUE(vt::waitUntil([&] { return watch.expired(); }, Ms(3000)));
  }
}

// A controller restart (the simulator killed and started again on the same
// ports) and a dropped connection are both survived without help.
TEST(SdkReconnect, ControllerRestartIsSurvived) {
  // Declared before the link: its delivery thread uses them until it ends.
  std::atomic<int> packets{0};
  std::atomic<int32_t> mode{-1};
  auto sim = std::make_unique<Sim>();
  const int rpc_port = sim->rpcPort(), rtde_port = sim->rtdePort();
  Link link(*sim);
  link.rtde->setRequestTimeout(1000);
  int ch = link.rtde->setTopic(false, {"R1_robot_mode"}, 100.0, 1);
  ASSERT_GE(ch, 0);
  link.rtde->subscribe(ch, [&](vemo_sdk::InputParser& p) {
    mode = static_cast<int32_t>(p.popRobotModeType());
    ++packets;
  });
  int out = link.rtde->setTopic(true, {"R1_tool_digital_output"}, 10.0, 0);
  link.rtde->publish(out, [](vemo_sdk::OutputBuilder& b) { b.push(1, true); });
  ASSERT_TRUE(vt::waitUntil([&] { return mode.load() == 3; }, Ms(3000)));

  sim->proc().signal(SIGKILL);
  ASSERT_TRUE(sim->proc().waitExit(Ms(3000)));
  sim.reset();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_NE(link.robot->getIoControl()->setStandardDigitalOutput(1, true), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000))
      << "a refused connection fails at once, it does not wait out the timeout";

  sim = std::make_unique<Sim>(std::vector<std::string>{}, rpc_port, rtde_port);
  sim->cmd("set robot_mode 7");
  EXPECT_EQ(link.robot->getIoControl()->setStandardDigitalOutput(1, true), 0);
  auto calls = link.callsUntilMarker(*sim, 0);
  EXPECT_EQ(calls, (std::vector<std::string>{"call login vemo 739154",
                                             "call setStandardDigitalOutput 1 1"}));
  EXPECT_TRUE(vt::waitUntil([&] { return mode.load() == 7; }, Ms(5000)))
      << "streaming resumes on the new connection";
  EXPECT_TRUE(sim->waitExact("rtde login vemo 739154", 0));
  EXPECT_TRUE(sim->waitExact("rtde subscribe 0 R1_robot_mode", 0));
  EXPECT_TRUE(sim->waitExact("rtde publish 1 R1_tool_digital_output", 0));
  EXPECT_TRUE(sim->waitExact("rtde output R1_tool_digital_output 1 1", 0));

  // `drop` closes every connection while the controller stays up.
  size_t mark = link.syncMark(*sim);
  sim->cmd("drop");
  int before = packets.load();
  sim->cmd("set robot_mode 5");
  EXPECT_TRUE(vt::waitUntil([&] { return mode.load() == 5 && packets.load() > before; }, Ms(5000)));
  EXPECT_EQ(link.rpc->getRuntimeMachine()->runProgram(), 0);
  EXPECT_TRUE(sim->waitExact("call login vemo 739154", mark));
  EXPECT_TRUE(sim->waitExact("call runProgram", mark));
  EXPECT_TRUE(sim->waitExact("rtde subscribe 0 R1_robot_mode", mark));
}

// --- a fake controller ------------------------------------------------------

// Accepts connections on a free port; each is handed to `script`, which sees
// the client's first frame (if any) and answers as it likes. Records whether
// the client closed its end afterwards.
class FakeController {
 public:
  using Script = std::function<void(int fd)>;
  explicit FakeController(Script script) : script_(std::move(script)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd_, 8), 0);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeController() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  int port() const { return port_; }
  int accepted() const { return accepted_; }
  int closedByClient() const { return closed_by_client_; }

  // Reads one whole frame from the client; false on end of stream.
  static bool readFrame(int fd, std::string& body) {
    unsigned char h[5];
    if (!readN(fd, h, 5)) return false;
    uint32_t len = (uint32_t(h[0]) << 24) | (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | h[3];
    body.resize(len - 1);
    return len <= 1 || readN(fd, &body[0], len - 1);
  }
  static void write(int fd, const std::string& bytes) {
    (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // Sends `frames` over and over, as fast as the client takes them, until
  // `until` is set (false) or the client goes away (true). The stream stays
  // framed however much each write takes.
  static bool chatter(int fd, const std::string& frames, const std::atomic<bool>& until) {
    size_t off = 0;
    while (!until) {
      pollfd pf{fd, POLLOUT, 0};
      if (::poll(&pf, 1, 50) < 0 && errno != EINTR) return true;
      if (pf.revents == 0) continue;
      ssize_t n = ::send(fd, frames.data() + off, frames.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return true;
      off = (off + static_cast<size_t>(n)) % frames.size();
    }
    return false;
  }

 private:
  static bool readN(int fd, void* p, size_t n) {
    auto* c = static_cast<char*>(p);
    while (n > 0) {
      pollfd pf{fd, POLLIN, 0};
      if (::poll(&pf, 1, 3000) <= 0) return false;
      ssize_t r = ::recv(fd, c, n, 0);
      if (r <= 0) return false;
      c += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  void serve() {
    while (!stop_) {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) return;
      ++accepted_;
      int one = 1;  // answers in several writes must not wait for delayed ACKs
      setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      script_(c);
      // The client must close its end by itself: wait for its end of stream.
      char buf[256];
      pollfd pf{c, POLLIN, 0};
      while (::poll(&pf, 1, 3000) > 0) {
        ssize_t r = ::recv(c, buf, sizeof buf, 0);
        if (r == 0) {
          ++closed_by_client_;
          break;
        }
        if (r < 0) break;
      }
      ::close(c);
    }
  }
  Script script_;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0}, closed_by_client_{0};
};

// Runs `call` on a thread of its own and waits at most `limit` for it. One
// that overruns is waited for only after `release` has silenced the peer, so
// a failing case cannot hang the test.
struct Timed {
  bool in_time = false;
  int code = 0;
};
Timed timedCall(const std::function<int()>& call, Ms limit, const std::function<void()>& release) {
  Timed t;
  std::atomic<bool> done{false};
  std::thread caller([&] {
    t.code = call();
    done = true;
  });
  t.in_time = vt::waitUntil([&] { return done.load(); }, limit);
  if (!t.in_time) release();
  caller.join();
  return t;
}

std::string header(uint32_t len) {
  std::string h(4, '\0');
  h[0] = char(len >> 24);
  h[1] = char(len >> 16);
  h[2] = char(len >> 8);
  h[3] = char(len);
  return h;
}

TEST(SdkHostileController, BadFramesCloseTheRpcConnectionWithAnErrorCode) {
  struct Case {
    const char* what;
    std::string reply;
    bool hang_up;  // close after the reply
    int expected;
  };
  const std::vector<Case> cases = {
      {"garbage", "this is not a frame at all", false, vemo_sdk::kSdkProtocolError},
      {"oversized", header(2u << 20) + "\x01{\"id\":1", false, vemo_sdk::kSdkProtocolError},
      {"zero length", header(0), false, vemo_sdk::kSdkProtocolError},
      {"unknown type", header(3) + "\x09{}", false, vemo_sdk::kSdkProtocolError},
      {"bad json", wire::encodeFrame(wire::FrameType::kJson, "{\"id\":1,"), false,
       vemo_sdk::kSdkProtocolError},
      {"json without code", wire::encodeFrame(wire::FrameType::kJson, "{\"id\":1}"), false,
       vemo_sdk::kSdkProtocolError},
      {"data frame on rpc", wire::encodeFrame(wire::FrameType::kData, "xx"), false,
       vemo_sdk::kSdkProtocolError},
      {"truncated then closed", header(100) + "\x01{\"id\":1", true, vemo_sdk::kSdkProtocolError},
      {"truncated and silent", header(100) + "\x01{\"id\":1", false, vemo_sdk::kSdkTimeout},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeController fake([&](int fd) {
      std::string req;
      ASSERT_TRUE(FakeController::readFrame(fd, req));
      FakeController::write(fd, c.reply);
      if (c.hang_up) ::shutdown(fd, SHUT_WR);
    });
    vemo_sdk::RpcClient rpc(0);
    ASSERT_EQ(rpc.connect("127.0.0.1", fake.port()), 0);
    rpc.setRequestTimeout(300);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(rpc.getRuntimeMachine()->runProgram(), c.expected);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_TRUE(vt::waitUntil([&] { return fake.closedByClient() >= 1; }, Ms(3000)))
        << "the client closes the connection";
    EXPECT_TRUE(rpc.getRobotNames().empty());
  }
}

TEST(SdkHostileController, BadFramesCloseTheRtdeConnectionAndItReconnects) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"garbage", "GET / HTTP/1.1\r\n\r\n"},
      {"oversized", header(0x7fffffff)},
      {"bad value tag",
       wire::encodeFrame(wire::FrameType::kData, std::string("\0\0\0\0\1\0\x63", 7))},
      {"vector longer than packet",
       wire::encodeFrame(wire::FrameType::kData, std::string("\0\0\0\0\1\0\x04\xff\xff\0\0", 11))},
      {"count larger than packet",
       wire::encodeFrame(wire::FrameType::kData, std::string("\0\0\0\0\xff\xff\x03\1\0\0\0", 11))},
      {"output frame from controller", wire::encodeFrame(wire::FrameType::kOutput, "")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    // First connection: answer the login, then send the hostile bytes.
    // Later connections (the client reconnecting): answer nothing useful.
    std::atomic<int> conn{0};
    FakeController fake([&](int fd) {
      std::string req;
      if (!FakeController::readFrame(fd, req)) return;
      if (conn++ > 0) return;
      auto id = req.substr(req.find("\"id\":") + 5);
      id = id.substr(0, id.find_first_of(",}"));
      FakeController::write(
          fd, wire::encodeFrame(wire::FrameType::kJson, "{\"id\":" + id + ",\"c\":0}") + c.second);
    });
    std::atomic<int> delivered{0};
    vemo_sdk::RtdeClient rtde(0);
    rtde.setRequestTimeout(300);
    ASSERT_EQ(rtde.connect("127.0.0.1", fake.port()), 0);
    rtde.login("vemo", "739154");
    EXPECT_TRUE(vt::waitUntil([&] { return fake.closedByClient() >= 1; }, Ms(3000)));
    EXPECT_TRUE(vt::waitUntil([&] { return fake.accepted() >= 2; }, Ms(3000)))
        << "the client reconnects by itself";
    EXPECT_EQ(delivered.load(), 0);
  }
}

TEST(SdkHostileController, AnRtdeSendCutShortClosesTheConnection) {
  // The controller reads nothing: a request bigger than the socket buffers
  // goes out only in part, and nothing sent after it could be framed.
  std::atomic<bool> call_over{false};
  std::atomic<int> conn{0};
  FakeController fake([&](int fd) {
    if (conn++ == 0) {
      vt::waitUntil([&] { return call_over.load(); }, Ms(5000));
      return;
    }
    // From the reconnect on, every request is answered.
    std::string req;
    while (FakeController::readFrame(fd, req)) {
      auto msg = nlohmann::json::parse(req, nullptr, false);
      if (msg.is_discarded() || !msg.contains("id")) return;
      const std::string id = std::to_string(msg["id"].get<uint64_t>());
      FakeController::write(
          fd, wire::encodeFrame(wire::FrameType::kJson, "{\"id\":" + id + ",\"c\":0}"));
    }
  });
  vemo_sdk::RtdeClient rtde(0);
  rtde.setRequestTimeout(300);
  ASSERT_EQ(rtde.connect("127.0.0.1", fake.port()), 0);
  const std::vector<std::string> names(12, std::string(1 << 20, 'n'));
  EXPECT_EQ(rtde.setTopic(false, names, 10.0, 0), -1);
  call_over = true;
  // Well within the 3 s the fake waits for the client to hang up before it
  // closes the connection itself.
  EXPECT_TRUE(vt::waitUntil([&] { return fake.closedByClient() >= 1; }, Ms(2000)))
      << "the client dropped the connection with the partial frame";
  EXPECT_TRUE(vt::waitUntil([&] { return fake.accepted() >= 2 && rtde.isConnected(); }, Ms(3000)))
      << "and reconnected";
  EXPECT_EQ(rtde.login("vemo", "739154"), 0) << "requests are framed again";
}

// What a call may take past its time-out while a hostile controller
// chatters: the scheduling of a loaded machine, more under a sanitizer with
// other tests beside it on two cores.
const Ms kChatterMargin(vt::kSanitizedBuild ? 2000 : 700);

TEST(SdkHostileController, ChatterWithOtherIdsCannotStretchAnRpcCall) {
  // Answers to nobody's requests, in the shape the fast reader takes and in
  // one only the full parser does, without pause.
  std::string burst;
  for (int k = 0; k < 32; ++k) {
    burst += wire::encodeFrame(wire::FrameType::kJson, R"({"c":0,"id":999999,"r":1})");
    burst += wire::encodeFrame(wire::FrameType::kJson, R"({"c":0,"id":999998,"r":[1,2,3]})");
  }
  std::atomic<bool> quiet{false};
  FakeController fake([&](int fd) {
    std::string req;
    if (FakeController::readFrame(fd, req)) FakeController::chatter(fd, burst, quiet);
  });
  vemo_sdk::RpcClient rpc(0);
  ASSERT_EQ(rpc.connect("127.0.0.1", fake.port()), 0);
  const Ms timeout(300), margin(kChatterMargin);
  rpc.setRequestTimeout(static_cast<int>(timeout.count()));
  auto rm = rpc.getRuntimeMachine();
  auto state = rpc.getRobotInterface("R1")->getRobotState();
  // The first call meets the chatter while it waits for its answer; the later
  // ones find it queued up already (or a new connection chattering).
  const std::vector<std::tuple<const char*, std::function<int()>, int>> calls = {
      {"status call", [&] { return rm->runProgram(); }, vemo_sdk::kSdkTimeout},
      {"integer query", [&] { return static_cast<int>(state->getRobotModeType()); },
       static_cast<int>(RobotModeType::NoController)},
      {"status call again", [&] { return rm->pause(); }, vemo_sdk::kSdkTimeout},
  };
  for (const auto& c : calls) {
    SCOPED_TRACE(std::get<0>(c));
    Timed t = timedCall(std::get<1>(c), timeout + margin, [&] { quiet = true; });
    EXPECT_TRUE(t.in_time) << "the call outlived its time-out";
    EXPECT_EQ(t.code, std::get<2>(c));
  }
  quiet = true;
}

TEST(SdkHostileController, ChatterWithOtherIdsCannotStretchAnRtdeRequest) {
  std::string burst;
  wire::DataWriter unsubscribed(77);
  unsubscribed.putInt32(1);
  const std::string packet = unsubscribed.finish();
  for (int k = 0; k < 32; ++k) {
    burst += wire::encodeFrame(wire::FrameType::kJson, R"({"c":0,"id":999999,"r":1})");
    burst += wire::encodeFrame(wire::FrameType::kData, packet);
  }
  std::atomic<bool> first_over{false}, quiet{false};
  std::atomic<int> conn{0};
  std::atomic<long> handshake_ms{-1};
  FakeController fake([&](int fd) {
    std::string req;
    if (!FakeController::readFrame(fd, req)) return;
    const int n = conn++;
    if (n == 0) {
      // The user's request; once it is over the controller hangs up.
      FakeController::chatter(fd, burst, first_over);
      ::shutdown(fd, SHUT_WR);
      return;
    }
    // The client's own login on its new connection.
    auto t0 = std::chrono::steady_clock::now();
    if (FakeController::chatter(fd, burst, quiet) && n == 1)
      handshake_ms = std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - t0).count();
  });
  vemo_sdk::RtdeClient rtde(0);
  const Ms timeout(300), margin(kChatterMargin);
  rtde.setRequestTimeout(static_cast<int>(timeout.count()));
  ASSERT_EQ(rtde.connect("127.0.0.1", fake.port()), 0);
  Timed t = timedCall([&] { return rtde.login("vemo", "739154"); }, timeout + margin,
                      [&] { first_over = true; });
  EXPECT_TRUE(t.in_time) << "the request outlived its time-out";
  EXPECT_EQ(t.code, vemo_sdk::kSdkTimeout);
  first_over = true;
  EXPECT_TRUE(vt::waitUntil([&] { return handshake_ms.load() >= 0; }, Ms(3000)))
      << "the login after reconnecting is still waiting";
  EXPECT_LT(handshake_ms.load(), (timeout + margin).count());
  quiet = true;
}

TEST(SdkWire, FrameReaderSplitsAndRefuses) {
  wire::FrameReader r;
  std::string two = wire::encodeFrame(wire::FrameType::kJson, "{\"a\":1}") +
                    wire::encodeFrame(wire::FrameType::kData, std::string("\0\0", 2));
  wire::FrameType t;
  std::string body;
  // Byte by byte: a frame is reported only once complete.
  size_t frames = 0;
  for (char ch : two) {
    r.append(&ch, 1);
    while (r.next(t, body) == wire::FrameReader::Result::kFrame) ++frames;
  }
  EXPECT_EQ(frames, 2u);
  EXPECT_EQ(t, wire::FrameType::kData);
  EXPECT_EQ(body, std::string("\0\0", 2));
  EXPECT_EQ(r.pending(), 0u);

  std::string big = header(wire::kMaxFrameSize + 1);
  r.append(big.data(), big.size());
  EXPECT_EQ(r.next(t, body), wire::FrameReader::Result::kError);
  EXPECT_EQ(r.next(t, body), wire::FrameReader::Result::kError) << "an error sticks";

  wire::DataWriter w(7);
  w.putVectorDouble({1.5, -2.25});
  w.putInt64(INT64_MIN);
  w.putVectorInt16({-1, 32767});
  w.putInt32(-5);
  std::string packet = w.finish();
  uint32_t ch = 0;
  std::vector<wire::Value> values;
  ASSERT_TRUE(wire::decodeData(packet, ch, values, nullptr));
  EXPECT_EQ(ch, 7u);
  vemo_sdk::InputParser p(values);
  EXPECT_EQ(p.popVectorDouble(), (std::vector<double>{1.5, -2.25}));
  EXPECT_EQ(p.popInt64(), INT64_MIN);
  EXPECT_EQ(p.popVectorInt16(), (std::vector<int16_t>{-1, 32767}));
  EXPECT_EQ(p.popInt32(), -5);
  EXPECT_EQ(p.popInt64(), 0) << "past the end";
  // Every truncation of a valid packet is refused.
  for (size_t n = 0; n < packet.size(); ++n)
    EXPECT_FALSE(wire::decodeData(packet.substr(0, n), ch, values, nullptr)) << n;
}

TEST(SdkWire, AnnouncedCountsAreCheckedAgainstTheBytesBeforeAnyAllocation) {
  auto packet = [](uint16_t count, const std::string& values) {
    wire::BodyWriter w;
    w.u32(3);
    w.u16(count);
    return w.str() + values;
  };
  const std::string one_int = std::string("\x03", 1) + std::string("\x07\0\0\0", 4);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"count of a full packet", packet(0xffff, one_int + one_int + one_int + one_int)},
      {"count one too many", packet(5, one_int + one_int + one_int + one_int)},
      {"vector of doubles", packet(1, std::string("\x04\xff\xff\xff\xff", 5) + one_int)},
      {"vector of int16", packet(1, std::string("\x05\xff\xff\xff\x7f", 5) + one_int)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    uint32_t ch = 0;
    std::vector<wire::Value> values;
    std::string why;
    AllocationProbe probe;
    EXPECT_FALSE(wire::decodeData(c.second, ch, values, &why));
    EXPECT_FALSE(why.empty());
    EXPECT_LT(probe.largest(), 64 * c.second.size()) << "sized by the announced count";
  }
  std::vector<std::pair<int, bool>> pairs;
  uint32_t ch = 0;
  {
    AllocationProbe probe;
    EXPECT_FALSE(wire::decodeOutput(packet(0xffff, std::string(10, '\1')), ch, pairs, nullptr));
    EXPECT_LT(probe.largest(), 1024u);
  }
  // As many values as the count says still decode.
  std::vector<wire::Value> values;
  ASSERT_TRUE(
      wire::decodeData(packet(4, one_int + one_int + one_int + one_int), ch, values, nullptr));
  EXPECT_EQ(values.size(), 4u);
  EXPECT_EQ(values[3].i, 7);
}

}  // namespace

TEST(SdkRpc, IntegerAnswersAreReadWhateverTheirShape) {
  // Integer queries take a fast path for flat replies; every other shape must
  // still be understood or refused exactly as a full JSON reading would.
  const std::string robot = "arm \"1\"\\\t";  // needs escaping in the request
  const std::vector<std::pair<std::string, int>> replies = {
      {R"({"c":0,"id":ID,"r":2})", 2},
      {R"( { "r" : 1 , "id" : ID , "c" : 0 } )", 1},
      {R"({"c":0,"id":ID,"note":"text","r":2})", 2},
      {R"({"c":0,"id":ID,"\u0072":1})", 1},
      {R"({"c":0,"id":ID,"r":2.5})", 0},
      {R"({"c":0,"id":ID,"r":99999999999999999999})", 0},
      {R"({"c":7,"id":ID,"r":2})", 0},
      {R"({"c":0,"id":ID,"r":null})", 0},
      {R"({"c":0,"id":ID,"r":true})", 0},
  };
  std::atomic<int> bad_requests{0};
  FakeController fake([&](int fd) {
    std::string req;
    while (FakeController::readFrame(fd, req)) {
      auto msg = nlohmann::json::parse(req, nullptr, false);
      if (msg.is_discarded() || !msg.contains("id")) {
        ++bad_requests;
        return;
      }
      const std::string id = std::to_string(msg["id"].get<uint64_t>());
      std::string text;
      if (msg["m"] == "login" || msg["m"] == "getRobotNames") {
        text = R"({"c":0,"id":ID,"r":[]})";
      } else {
        if (msg["rb"] != robot || msg["a"] != nlohmann::json::array()) ++bad_requests;
        static size_t next = 0;
        // A late answer to an earlier request comes first and must be skipped.
        FakeController::write(fd,
                              wire::encodeFrame(wire::FrameType::kJson, R"({"c":0,"id":0,"r":1})"));
        text = replies[next++ % replies.size()].first;
      }
      text.replace(text.find("ID"), 2, id);
      FakeController::write(fd, wire::encodeFrame(wire::FrameType::kJson, text));
    }
  });
  vemo_sdk::RpcClient rpc(0);
  ASSERT_EQ(rpc.connect("127.0.0.1", fake.port()), 0);
  rpc.setRequestTimeout(1000);
  auto manage = rpc.getRobotInterface(robot)->getRobotManage();
  for (const auto& r : replies) {
    SCOPED_TRACE(r.first);
    EXPECT_EQ(static_cast<int>(manage->getOperationalMode()), r.second);
  }
  EXPECT_EQ(bad_requests, 0);
  EXPECT_EQ(fake.accepted(), 1) << "no reply shape may cost the connection";
}

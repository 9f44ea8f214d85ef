// RobotStatus against the simulator: the status cache and its getters, the
// register reset and output topic, the write-through caches, the commands
// with their log lines and trace messages, and surviving a dropped link.
#include "robotstatus.h"

#include <atomic>
#include <filesystem>
#include <thread>

#include "log.h"
#include "log_env.h"
#include "robot_link_helpers.h"

namespace fs = std::filesystem;

namespace {

using rl::Link;
using rl::Sim;
using vt::Ms;
using Mode = RobotStatus::RobotModeType;

const auto* const g_env =
    ::testing::AddGlobalTestEnvironment(new vt::LogEnvironment("vemo-robotstatus"));

// What the logger wrote from construction on.
class LogTail {
 public:
  LogTail() {
    UmxLog::getLogger()->flush_log();
    start_ = vt::readFile(path()).size();
  }
  std::string text() const {
    UmxLog::getLogger()->flush_log();
    return vt::readFile(path()).substr(start_);
  }
  size_t count(const std::string& needle) const {
    std::string t = text();
    size_t n = 0;
    for (size_t p = t.find(needle); p != std::string::npos; p = t.find(needle, p + 1)) ++n;
    return n;
  }

 private:
  static std::string path() { return vt::LogEnvironment::logFile(); }
  size_t start_ = 0;
};

// A RobotStatus attached to the simulator as the service attaches it.
struct Attached {
  Link link;
  RobotStatus status;
  explicit Attached(Sim& sim, bool subscribe = true) : link(sim) {
    status.setInterfacePtr(link.robot, link.rpc->getRuntimeMachine(),
                           link.rpc->getRegisterControl(), link.rtde);
    status.setInput();
    if (subscribe) status.configSubscribe();
  }
};

std::vector<std::string> range(const std::string& method, int n, const std::string& value) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i)
    out.push_back("call " + method + " " + std::to_string(i) + " " + value);
  return out;
}

TEST(RobotStatusCache, StartValuesBeforeTheFirstPacket) {
  RobotStatus fresh;
  std::vector<double> d{9, 9};
  for (auto get : {&RobotStatus::getJointPositions, &RobotStatus::getJointCurrents,
                   &RobotStatus::getTcpPose, &RobotStatus::getJointVoltages,
                   &RobotStatus::getJointTemperatures, &RobotStatus::getTcpSpeed}) {
    (fresh.*get)(d);
    EXPECT_EQ(d, std::vector<double>{0.0});
  }
  EXPECT_EQ(static_cast<int>(fresh.getRuntimeState()), 6);
  EXPECT_EQ(static_cast<int>(fresh.getRobotModeType()), 0);
  EXPECT_EQ(static_cast<int>(fresh.getSafetyModeType()), 0);
  EXPECT_EQ(fresh.getSpeedFraction(), 0.0);
  EXPECT_EQ(fresh.getInt16Register(0), 0) << "no registers delivered yet";
  EXPECT_EQ(fresh.getInt16Register(63), 0);
  EXPECT_FALSE(fresh.getBoolOutput(64));

  // Attached but not subscribed: the bit getters know the counts now.
  Sim sim({"--standard-di", "4", "--tool-do", "0"});
  Attached a(sim, false);
  std::vector<uint8_t> bits;
  a.status.getUserDI(bits);
  EXPECT_EQ(bits, std::vector<uint8_t>(4, 0));
  bits.clear();
  a.status.getUserDO(bits);
  EXPECT_EQ(bits, std::vector<uint8_t>(16, 0));
  bits = {7};
  a.status.getToolDO(bits);
  EXPECT_EQ(bits, std::vector<uint8_t>{7}) << "no tool outputs: nothing appended";
  bits.clear();
  a.status.getLinkDO(bits);
  EXPECT_EQ(bits, std::vector<uint8_t>(4, 0));
}

TEST(RobotStatusCache, TheEighteenTopicsLandInTheirFields) {
  Sim sim({"--standard-di", "4", "--tool-do", "0"});
  // Distinct values per topic: a topic read out of order lands visibly wrong.
  for (const char* c :
       {"set joint_positions 1 2 3 4 5 6 7", "set joint_currents 0.5 0.25",
        "set tcp_pose 0.1 0.2 0.3 0.4 0.5 0.6", "set joint_voltages 47 48 49",
        "set joint_temperatures 30.5", "set tcp_speed 0.01 0.02 0.03 0.04",
        "set speed_fraction 0.75", "set standard_di_bits 5", "set standard_do_bits 10",
        "set configurable_di_bits 3", "set configurable_do_bits 12", "set link_do_bits 3840",
        "set tool_do_bits 9", "set int16_register 40 -12345", "set int16_register 63 258",
        "set robot_mode 7", "set safety_mode 3", "set runtime_state 2"})
    sim.cmd(c);
  Attached a(sim);
  EXPECT_TRUE(sim.waitExact(
      "rtde subscribe 1 R1_actual_q R1_actual_current R1_actual_TCP_pose "
      "R1_actual_joint_voltage R1_joint_temperatures R1_actual_TCP_speed "
      "R1_target_speed_fraction R1_standard_digital_input_bits "
      "R1_standard_digital_output_bits R1_configurable_digital_input_bits "
      "R1_configurable_digital_output_bits R1_link_digital_output_bits "
      "R1_tool_digital_output_bits output_bit_registers_0_to_63 input_int16_registers_0_to_63 "
      "R1_robot_mode R1_safety_mode runtime_state",
      0));
  // Attaching resets the bool output registers, so these are set afterwards.
  sim.cmd("set output_bit_registers 0x8000000000000008");
  ASSERT_TRUE(vt::waitUntil(
      [&] {
        return a.status.getRuntimeState() == RobotStatus::RuntimeState(2) &&
               a.status.getBoolOutput(3);
      },
      Ms(3000)));
  std::vector<double> d;
  a.status.getJointPositions(d);
  EXPECT_EQ(d, (std::vector<double>{1, 2, 3, 4, 5, 6, 7}));
  a.status.getJointCurrents(d);
  EXPECT_EQ(d, (std::vector<double>{0.5, 0.25}));
  a.status.getTcpPose(d);
  EXPECT_EQ(d, (std::vector<double>{0.1, 0.2, 0.3, 0.4, 0.5, 0.6}));
  a.status.getJointVoltages(d);
  EXPECT_EQ(d, (std::vector<double>{47, 48, 49}));
  a.status.getJointTemperatures(d);
  EXPECT_EQ(d, (std::vector<double>{30.5}));
  a.status.getTcpSpeed(d);
  EXPECT_EQ(d, (std::vector<double>{0.01, 0.02, 0.03, 0.04}));
  EXPECT_EQ(a.status.getSpeedFraction(), 0.75);
  EXPECT_EQ(a.status.getRobotModeType(), Mode::BackDrive);
  EXPECT_EQ(static_cast<int>(a.status.getSafetyModeType()), 3);

  std::vector<uint8_t> bits;
  a.status.getUserDI(bits);
  EXPECT_EQ(bits, (std::vector<uint8_t>{1, 0, 1, 0}));
  bits.clear();
  a.status.getUserDO(bits);
  a.status.getUserDO(bits);
  ASSERT_EQ(bits.size(), 32u) << "the getters append";
  EXPECT_EQ(std::vector<uint8_t>(bits.begin(), bits.begin() + 5),
            (std::vector<uint8_t>{0, 1, 0, 1, 0}));
  bits.clear();
  a.status.getSafeDI(bits);
  EXPECT_EQ(std::vector<uint8_t>(bits.begin(), bits.begin() + 3), (std::vector<uint8_t>{1, 1, 0}));
  bits.clear();
  a.status.getSafeDO(bits);
  EXPECT_EQ(std::vector<uint8_t>(bits.begin(), bits.begin() + 5),
            (std::vector<uint8_t>{0, 0, 1, 1, 0}));
  bits.clear();
  a.status.getToolDO(bits);
  EXPECT_TRUE(bits.empty());
  a.status.getLinkDO(bits);
  EXPECT_EQ(bits, (std::vector<uint8_t>{1, 1, 1, 1}));

  EXPECT_TRUE(a.status.getBoolOutput(3));
  EXPECT_FALSE(a.status.getBoolOutput(4));
  EXPECT_TRUE(a.status.getBoolOutput(63)) << "the sign bit";
  EXPECT_FALSE(a.status.getBoolOutput(64));
  EXPECT_FALSE(a.status.getBoolOutput(1000));
  EXPECT_EQ(a.status.getInt16Register(40), -12345);
  EXPECT_EQ(a.status.getInt16Register(63), 258) << "no byte swapping";
  EXPECT_EQ(a.status.getInt16Register(64), 0);

  // Only link bits 8..11 are reported, never 32..63.
  sim.cmd("set link_do_bits 0xFFFFFFFF000000FF");
  ASSERT_TRUE(vt::waitUntil(
      [&] {
        std::vector<uint8_t> l;
        a.status.getLinkDO(l);
        return l == std::vector<uint8_t>{0, 0, 0, 0};
      },
      Ms(3000)));
}

TEST(RobotStatusWrites, AttachingResetsRegistersAndPublishesTheOutputTopic) {
  Sim sim;
  LogTail log;
  Attached a(sim, false);
  std::vector<std::string> expected = range("setBoolOutput", 64, "0");
  for (auto l : {range("setBoolInput", 64, "0"), range("setInt32Input", 32, "0"),
                 range("setInt32Output", 32, "0")})
    expected.insert(expected.end(), l.begin(), l.end());
  auto calls = a.link.callsUntilMarker(sim, 0);
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front(), "call login vemo 739154");
  EXPECT_EQ(std::vector<std::string>(calls.begin() + 1, calls.end()), expected);

  EXPECT_TRUE(sim.waitExact("rtde publish 0 R1_standard_digital_output", 0));
  EXPECT_TRUE(sim.waitExact("rtde output R1_standard_digital_output 1 1", 0));
  EXPECT_EQ(sim.linesFrom(0, "rtde output").size(), 1u) << "the one pair (1, true)";
  EXPECT_EQ(log.count("RTDE setTopic  Success!"), 1u);

  // Without an RTDE connection setTopic fails: still published, then logged.
  Link rpc_only(sim, false);
  RobotStatus lonely;
  lonely.setInterfacePtr(rpc_only.robot, rpc_only.rpc->getRuntimeMachine(),
                         rpc_only.rpc->getRegisterControl(), rpc_only.rtde);
  lonely.setInput();
  EXPECT_EQ(log.count("RTDE setTopic  Failed!"), 1u);
}

TEST(RobotStatusWrites, CachesSendOnlyChanges) {
  Sim sim;
  Attached a(sim, false);
  RobotStatus& s = a.status;
  size_t from = a.link.syncMark(sim);

  std::vector<int32_t> user(16, 0);
  s.setUserDO(user);  // all zeros at start: nothing
  user[3] = 1;
  s.setUserDO(user);
  s.setUserDO(user);  // unchanged: nothing
  user[3] = 0;
  s.setUserDO(user);
  user[3] = 7;
  s.setUserDO(user);  // sent as on, cached as 7
  user[3] = 1;
  s.setUserDO(user);  // differs from 7: sent again
  std::vector<int32_t> twenty(20, 1);
  for (int i = 0; i < 16; ++i) twenty[i] = user[i];
  s.setUserDO(twenty);     // values 16..19 ignored
  s.setUserDO({0, 0, 1});  // too few: output 2 written, then the walk stops
  EXPECT_EQ(a.link.callsUntilMarker(sim, from),
            (std::vector<std::string>{
                "call setStandardDigitalOutput 3 1", "call setStandardDigitalOutput 3 0",
                "call setStandardDigitalOutput 3 1", "call setStandardDigitalOutput 3 1",
                "call setStandardDigitalOutput 2 1"}));

  from = a.link.syncMark(sim);
  s.setToolDO({1, 0});              // outputs 0 and 1 only
  s.setToolDO({});                  // nothing
  s.setToolDO({1, 0, 0, 1, 1, 1});  // more than the 4 tool outputs: stops after 3
  s.setToolDO({0, 0});
  EXPECT_EQ(
      a.link.callsUntilMarker(sim, from),
      (std::vector<std::string>{"call setToolDigitalOutput 0 1", "call setToolDigitalOutput 3 1",
                                "call setToolDigitalOutput 0 0"}));

  from = a.link.syncMark(sim);
  s.setBoolInput(5, true);
  s.setBoolInput(5, true);
  s.setBoolInput(5, false);
  s.setBoolInput(64, true);  // out of range: ignored
  s.setInt16Register(0, 0);  // equals the assumed 0: nothing
  s.setInt16Register(0, -1);
  s.setInt16Register(0, -1);
  s.setInt16Register(31, 32767);
  s.setInt16Register(32, 5);  // out of range: ignored
  EXPECT_EQ(
      a.link.callsUntilMarker(sim, from),
      (std::vector<std::string>{"call setBoolInput 5 1", "call setBoolInput 5 0",
                                "call setInt16Register 0 -1", "call setInt16Register 31 32767"}));

  from = a.link.syncMark(sim);
  EXPECT_EQ(s.setSpeedFraction(0.5), 0);
  EXPECT_EQ(a.link.callsUntilMarker(sim, from),
            std::vector<std::string>{"call setSpeedFraction 0.5"});
  EXPECT_EQ(s.getOperationalMode(), RobotStatus::OperationalModeType::Automatic);
  sim.cmd("set operational_mode 2");
  EXPECT_EQ(s.getOperationalMode(), RobotStatus::OperationalModeType::Manual)
      << "asked anew, not cached";
}

TEST(RobotStatusCommands, LogTheirTextAndTraceOnlyOnSuccess) {
  Sim sim;
  Attached a(sim, false);
  RobotStatus& s = a.status;
  struct Row {
    int (RobotStatus::*op)();
    const char* method;
    const char* log;
    int value;
    const char* action;
  };
  const Row rows[] = {
      {&RobotStatus::runProgram, "runProgram", "Run program", 5, "runProgram"},
      {&RobotStatus::pauseProgram, "pause", "Pause program", 6, "pauseProgram"},
      {&RobotStatus::resumeProgram, "resume", "Resume program", 7, "resumeProgram"},
      {&RobotStatus::stopProgram, "stop", "Stop program", 8, "stopProgram"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.method);
    LogTail log;
    size_t from = a.link.syncMark(sim);
    EXPECT_EQ((s.*r.op)(), 0);
    EXPECT_EQ(a.link.callsUntilMarker(sim, from),
              (std::vector<std::string>{std::string("call ") + r.method,
                                        "call textmsg umx signal: HoldingRegister addr: 0 value: " +
                                            std::to_string(r.value) + " action: " + r.action}));
    sim.cmd(std::string("fail ") + r.method + " 9");
    from = a.link.syncMark(sim);
    EXPECT_EQ((s.*r.op)(), 9);
    EXPECT_EQ(a.link.callsUntilMarker(sim, from),
              std::vector<std::string>{std::string("call ") + r.method});
    sim.cmd(std::string("fail ") + r.method + " 0");
    EXPECT_EQ(log.count(std::string(r.log) + "\n"), 2u);
  }

  // Power commands: the controller's mode is asked anew each time.
  LogTail log;
  size_t from = a.link.syncMark(sim);
  s.poweron();
  EXPECT_EQ(a.link.callsUntilMarker(sim, from),
            (std::vector<std::string>{
                "call poweron",
                "call textmsg umx signal: HoldingRegister addr: 0 value: 2 action: poweron"}));
  sim.cmd("fail startup 4");
  from = a.link.syncMark(sim);
  s.startup();
  EXPECT_EQ(a.link.callsUntilMarker(sim, from), std::vector<std::string>{"call startup"});
  sim.cmd("fail startup 0");
  ASSERT_TRUE(vt::waitUntil(
      [&] { return a.link.robot->getRobotState()->getRobotModeType() == Mode::Idle; }, Ms(3000)));
  from = a.link.syncMark(sim);
  s.startup();
  EXPECT_EQ(a.link.callsUntilMarker(sim, from),
            (std::vector<std::string>{
                "call startup",
                "call textmsg umx signal: HoldingRegister addr: 0 value: 3 action: startup"}));
  EXPECT_EQ(log.count("机械臂正在上电"), 1u);
  EXPECT_EQ(log.count("机械臂正在松刹车"), 2u);

  ASSERT_TRUE(vt::waitUntil(
      [&] { return a.link.robot->getRobotState()->getRobotModeType() == Mode::Running; },
      Ms(3000)));
  LogTail running;
  from = a.link.syncMark(sim);
  s.poweron();
  s.startup();
  EXPECT_TRUE(a.link.callsUntilMarker(sim, from).empty()) << "mode 8: nothing is requested";
  EXPECT_EQ(running.count("机械臂已松刹车，处于运行模式"), 2u);
  EXPECT_EQ(running.count("机械臂正在上电"), 0u);
}

TEST(RobotStatusLink, DroppedControllerLinkIsSurvived) {
  Sim sim;
  Attached a(sim);
  ASSERT_TRUE(
      vt::waitUntil([&] { return a.status.getRobotModeType() == Mode::PowerOff; }, Ms(3000)));
  size_t from = a.link.syncMark(sim);
  sim.cmd("drop");
  sim.cmd("set robot_mode 9");
  EXPECT_TRUE(
      vt::waitUntil([&] { return a.status.getRobotModeType() == Mode::Maintenance; }, Ms(5000)))
      << "streaming resumes by itself";
  a.status.setBoolInput(7, true);
  EXPECT_TRUE(sim.waitExact("call login vemo 739154", from));
  EXPECT_TRUE(sim.waitExact("call setBoolInput 7 1", from));
  EXPECT_TRUE(sim.waitExact("rtde publish 0 R1_standard_digital_output", from));
  EXPECT_TRUE(sim.waitExact("rtde output R1_standard_digital_output 1 1", from))
      << "the output topic is published again";
}

}  // namespace

// A value counts as sent only once the controller took it: one refused or
// left unanswered is sent again at the next write of the same value (the
// next cycle), until it is taken; then nothing more. The refusals are
// logged, folded.
TEST(RobotStatusWrites, ARefusedOrUnansweredWriteIsSentAgainUntilTaken) {
  Sim sim;
  Attached a(sim, false);
  RobotStatus& s = a.status;
  LogTail log;
  for (const char* m :
       {"setBoolInput", "setInt16Register", "setToolDigitalOutput", "setStandardDigitalOutput"})
    sim.cmd(std::string("fail ") + m + " -5");
  std::vector<int32_t> user(16, 0);
  user[2] = 1;
  size_t from = a.link.syncMark(sim);
  for (int cycle = 0; cycle < 2; ++cycle) {  // refused twice: sent twice
    s.beginCycle();
    s.setBoolInput(5, true);
    s.setInt16Register(3, 258);
    s.setToolDO({0, 1});
    s.setUserDO(user);
  }
  for (const char* m :
       {"setBoolInput", "setInt16Register", "setToolDigitalOutput", "setStandardDigitalOutput"})
    sim.cmd(std::string("fail ") + m + " 0");
  for (int cycle = 0; cycle < 2; ++cycle) {  // taken the first time, then cached
    s.beginCycle();
    s.setBoolInput(5, true);
    s.setInt16Register(3, 258);
    s.setToolDO({0, 1});
    s.setUserDO(user);
  }
  const std::vector<std::string> round = {"call setBoolInput 5 1", "call setInt16Register 3 258",
                                          "call setToolDigitalOutput 1 1",
                                          "call setStandardDigitalOutput 2 1"};
  std::vector<std::string> expected;
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), round.begin(), round.end());
  EXPECT_EQ(a.link.callsUntilMarker(sim, from), expected);
  EXPECT_GE(log.count("robot controller did not take setBoolInput 5 1 (code -5); sent again in "
                      "the next cycle"),
            1u)
      << log.text();
  // Eight refusals, one place: the first three written, the rest counted.
  EXPECT_EQ(log.count("robot controller did not take "), 3u) << log.text();

  // Not answered in time (the call's deadline passes): the same.
  a.link.rpc->setRequestTimeout(300);
  sim.cmd("hold setBoolInput 1000");
  // One unanswered call ends the cycle's calls: nothing more is asked in it.
  from = a.link.syncMark(sim);
  s.beginCycle();
  s.setBoolInput(6, true);
  EXPECT_FALSE(s.mayAsk());
  s.setInt16Register(4, 9);
  EXPECT_EQ(s.pendingWrites(), 2u);
  s.beginCycle();
  s.setBoolInput(6, true);
  s.beginCycle();
  s.setBoolInput(6, true);
  EXPECT_EQ(a.link.callsUntilMarker(sim, from),
            (std::vector<std::string>{"call setBoolInput 6 1", "call setBoolInput 6 1",
                                      "call setInt16Register 4 9"}));
  EXPECT_EQ(s.pendingWrites(), 0u);
}

// A slow controller call is the exchange thread's wait alone: the SDK's
// thread keeps taking status packets in while it is held.
TEST(RobotStatusStream, ASlowCallDoesNotHoldUpTheStatusStream) {
  Sim sim;
  Attached a(sim);
  RobotStatus& s = a.status;
  ASSERT_TRUE(vt::waitUntil([&] { return s.statusPackets() > 2; }, Ms(5000)));
  for (const char* m : {"setSpeedFraction", "setStandardDigitalOutput"}) {
    SCOPED_TRACE(m);
    const size_t from = sim.proc().lineCount();
    s.beginCycle();
    sim.cmd(std::string("hold ") + m + " 2000");
    std::atomic<bool> returned{false};
    std::thread call([&] {
      if (std::string(m) == "setSpeedFraction") {
        s.setSpeedFraction(0.25);
      } else {
        std::vector<int32_t> user(16, 0);
        user[0] = 1 - static_cast<int32_t>(sim.proc().lineCount() % 2);
        user[1] = 1;
        s.setUserDO(user);
      }
      returned = true;
    });
    ASSERT_TRUE(sim.waitExact(std::string("held ") + m, from));
    const uint64_t during = s.statusPackets();
    // Packets come at 50 Hz: a good many within half a second, call or no call.
    EXPECT_TRUE(vt::waitUntil([&] { return s.statusPackets() >= during + 5; }, Ms(1000)));
    EXPECT_FALSE(returned.load()) << "the call was still held";
    call.join();
  }
}

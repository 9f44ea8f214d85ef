// The bridge at work: the real vemo_umx between vemo_robot_sim and
// vemo_gateway_sim on a socat serial line, checked on the gateway's image and
// on the simulator's call lines.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstring>
#include <map>
#include <sstream>

#include "cell.h"

using vt::Cell;
using vt::Ms;
using vt::swap16;

namespace {

const Ms kWait(10000);

uint32_t floatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

// The two registers of a float as the service writes them.
std::vector<long> pair(float f, bool little_endian) {
  uint32_t u = floatBits(f);
  long low = u & 0xFFFF, high = u >> 16;
  if (little_endian) return {low, high};
  return {swap16(high), swap16(low)};
}

long word(long v, bool little_endian) {
  return little_endian ? v : swap16(v);
}

bool waitCycles(Cell& cell, int n) {
  return cell.waitCycles(n);
}

Cell::Options withConfig(std::map<std::string, std::string> config) {
  Cell::Options o;
  o.config = std::move(config);
  return o;
}

}  // namespace

TEST(Init, WaitsForTheControllerThenWritesTheSettingsBlock) {
  Cell::Options o;
  o.start_robot = false;
  Cell cell(o);
  cell.startGateway();
  // Registers past the block start non-zero, so the zeros after it are seen.
  cell.gwSet("hr", 272, std::vector<long>(48, 0xFFFF));
  cell.startUmx();
  ASSERT_TRUE(cell.waitLog("RPC Client Connect Failed!", kWait));
  size_t first = cell.umx().lineCount();
  // Retried every 5 s.
  ASSERT_TRUE(cell.waitLog("RPC Client Connect Failed!", Ms(8000), first));
  EXPECT_EQ(cell.logCount("RPC Client Connect Successed!"), 0u);

  cell.startRobot();
  ASSERT_TRUE(cell.waitLog("RPC Client Connect Successed!", kWait));
  ASSERT_TRUE(cell.waitLog("RTDE Client Connect Successed!", kWait));
  ASSERT_TRUE(cell.waitLog("VEMO-UMX Init Successed", kWait));
  EXPECT_TRUE(cell.waitCall("call login vemo 739154", Ms(1000)));

  EXPECT_EQ(cell.gwGet("hr", 256, 16),
            (std::vector<long>{2, 192, 168, 0, 100, 255, 255, 255, 0, 192, 168, 0, 1, 2, 64, 32}));
  EXPECT_EQ(cell.gwGet("hr", 272, 48), std::vector<long>(48, 0));
  ASSERT_TRUE(cell.waitLog("VEMO-UMX is Running", kWait));
}

TEST(Init, MissingSerialDeviceStillCompletes) {
  Cell cell(withConfig({{"portName", "\"/dev/vemo-no-such-tty\""}}));
  cell.start();
  EXPECT_TRUE(cell.waitLog("modbusOpen failed ret is  -1", Ms(1000)));
  EXPECT_TRUE(cell.waitLog("VEMO-UMX Init Successed", Ms(1000)));
}

TEST(Init, ConfigurationWithoutGatewayKeyNeverOpensTheGateway) {
  Cell cell(withConfig({{"gateway", ""}}));
  cell.start();
  EXPECT_TRUE(cell.waitLog("====>>>> gateway error : ", Ms(1000)));
  EXPECT_EQ(cell.logCount("VEMO-UMX Init Successed"), 0u);
  EXPECT_EQ(cell.gwGet("hr", 256, 16), std::vector<long>(16, 0));
}

class StatusBlock : public ::testing::TestWithParam<std::pair<int, bool>> {};

TEST_P(StatusBlock, CarriesTheRobotStateInTheConfiguredLayoutAndByteOrder) {
  const int protocol = GetParam().first;
  const bool le = GetParam().second;
  Cell cell(
      withConfig({{"protocolType", std::to_string(protocol)}, {"littleEndian", le ? "1" : "0"}}));
  cell.start();
  ASSERT_EQ(cell.robotCmd("set joint_positions 1 -2 0.5 3 4 5.5"),
            "ok set joint_positions 1 -2 0.5 3 4 5.5");
  cell.robotCmd("set tcp_pose 0.1 0.2 0.3 1 2 3");
  cell.robotCmd("set tcp_speed 7.9 1 1");
  cell.robotCmd("set speed_fraction 0.29");
  cell.robotCmd("set safety_mode 3");
  cell.robotCmd("set joint_currents 1.9 -2.5 3 4 5 6");
  cell.robotCmd("set joint_voltages 48 48.5 49 50 51 52");
  cell.robotCmd("set joint_temperatures 30 31 32 33 34 35.9");

  const bool second = protocol == 3;
  const int joints = second ? 47 : 44;
  std::vector<long> expected_joints;
  for (float j : {1.0f, -2.0f, 0.5f, 3.0f, 4.0f, 5.5f})
    for (long r : pair(j, le)) expected_joints.push_back(r);
  ASSERT_TRUE(cell.waitGateway("hr", joints, expected_joints, kWait))
      << "joint 1.0 must read " << (le ? "0x0000 0x3F80" : "0x803F 0x0000");

  std::vector<long> pose;
  for (float v : {0.1f, 0.2f, 0.3f, 1.0f, 2.0f, 3.0f})
    for (long r : pair(v, le)) pose.push_back(r);
  EXPECT_TRUE(cell.waitGateway("hr", 32, pose, kWait));

  const int speed = second ? 59 : 58, tcp = second ? 60 : 59, mode = second ? 61 : 60,
            safety = second ? 62 : 61;
  EXPECT_TRUE(cell.waitGateway("hr", speed, {word(29, le)}, kWait)) << "0.29 reads back as 29";
  EXPECT_TRUE(cell.waitGateway("hr", tcp, {word(7, le)}, kWait));
  EXPECT_TRUE(cell.waitGateway("hr", mode, {word(3, le)}, kWait)) << "powered off";
  EXPECT_TRUE(cell.waitGateway("hr", safety, {word(3, le)}, kWait));
  EXPECT_TRUE(cell.waitGateway(
      "hr", 64, {word(1, le), word(65534, le), word(3, le), word(4, le), word(5, le), word(6, le)},
      kWait));
  // Each value was set by a command of its own: a status packet may come
  // between two of them, so each is awaited.
  EXPECT_TRUE(cell.waitGateway(
      "hr", 70,
      {word(48, le), word(48, le), word(49, le), word(50, le), word(51, le), word(52, le)}, kWait));
  EXPECT_TRUE(cell.waitGateway(
      "hr", 76,
      {word(30, le), word(31, le), word(32, le), word(33, le), word(34, le), word(35, le)}, kWait));

  // The heartbeat advances in its register; the layout's unused words stay 0.
  const int hb = second ? 45 : 57;
  ASSERT_TRUE(cell.waitGatewayWhere(
      "hr", hb, 1, [&](auto v) { return word(v[0], le) >= 2; }, kWait));
  for (int r : second ? std::vector<int>{44, 46, 63} : std::vector<int>{56, 62, 63})
    EXPECT_EQ(cell.gwGet("hr", r, 1), std::vector<long>{0}) << r;
  EXPECT_EQ(cell.gwGet("hr", 82, 50), std::vector<long>(50, 0));

  // A shorter pose leaves the registers it does not reach as they were.
  cell.robotCmd("set tcp_pose 9 9 9");
  std::vector<long> short_pose;
  for (float v : {9.0f, 9.0f, 9.0f})
    for (long r : pair(v, le)) short_pose.push_back(r);
  ASSERT_TRUE(cell.waitGateway("hr", 32, short_pose, kWait));
  EXPECT_EQ(cell.gwGet("hr", 38, 6), std::vector<long>(pose.begin() + 6, pose.end()));
}

namespace {

// The PLC programmer's import as a PLC reads it: the exported CSV, parsed
// and decoded here with nothing of the service's code.
struct Tag {
  std::string direction, table, type, encoding, unit;
  int address = 0;
  double scale = 1;
};

std::vector<std::string> csvCells(const std::string& line) {
  std::vector<std::string> cells(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      cells.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      cells.emplace_back();
    } else {
      cells.back() += c;
    }
  }
  return cells;
}

// Registers as the PLC reads them -> the value, by the tag's encoding
// (letters: bytes of the value, A the most significant, in register order).
double decode(const Tag& t, const std::vector<long>& regs) {
  uint8_t bytes[4] = {};
  for (size_t r = 0; r < regs.size(); ++r) {
    bytes[2 * r] = static_cast<uint8_t>(regs[r] >> 8);
    bytes[2 * r + 1] = static_cast<uint8_t>(regs[r]);
  }
  uint32_t u = 0;
  for (size_t k = 0; k < t.encoding.size(); ++k)
    u |= uint32_t(bytes[k]) << (8 * (t.encoding.size() - 1 - size_t(t.encoding[k] - 'A')));
  if (t.type == "REAL") {
    float f;
    std::memcpy(&f, &u, 4);
    return f * t.scale;
  }
  if (t.type == "INT") return static_cast<int16_t>(u) * t.scale;
  return u * t.scale;
}

// A 16-bit value as the PLC writes it into a register, by the encoding.
long encode(const Tag& t, uint16_t v) {
  return t.encoding == "AB" ? v : swap16(v);
}

}  // namespace

// Every value the PLC sees, found by the exported tag list alone at its
// address with its encoding and scale, in each layout and byte order; and
// a command and PLC values sent through it reach the controller.
TEST_P(StatusBlock, TheExportedTagListDecodesTheLiveCell) {
  const int protocol = GetParam().first;
  const bool le = GetParam().second;
  const int block = protocol == 3 ? 40 : 100;
  Cell cell(withConfig({{"protocolType", std::to_string(protocol)},
                        {"littleEndian", le ? "1" : "0"},
                        {"pnRegisterNumber", std::to_string(block)},
                        {"controlRobot", "1"}}));
  vt::Process exporter(
      {vt::bin("vemo_umx"), "--workspace", cell.workspace(), "--export-tags", "csv"});
  int status = 0;
  ASSERT_TRUE(exporter.waitExit(kWait, &status));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << exporter.allText(vt::Stream::Err);
  auto lines = exporter.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "name,direction,table,address,type,encoding,scale,unit,description");
  std::map<std::string, Tag> tags;
  for (size_t i = 1; i < lines.size(); ++i) {
    auto c = csvCells(lines[i]);
    ASSERT_EQ(c.size(), 9u) << lines[i];
    ASSERT_TRUE(
        tags.emplace(c[0], Tag{c[1], c[2], c[4], c[5], c[7], std::stoi(c[3]), std::stod(c[6])})
            .second)
        << "unique names: " << c[0];
  }

  cell.start();
  for (const char* cmd :
       {"set joint_positions 1 -2 0.5 3 4 5.5", "set tcp_pose 0.1 0.2 0.3 1 2 3",
        "set tcp_speed 7.9", "set speed_fraction 0.29", "set safety_mode 3", "set robot_mode 5",
        "set runtime_state 2", "set joint_currents 1.9 -2.5 3 4 5 6",
        "set joint_voltages 48 48.5 49 50 51 52", "set joint_temperatures 30 31 32 33 34 35.9",
        "set standard_di_bits 5", "set standard_do_bits 32776", "set tool_do_bits 6",
        "set output_bit_registers 9223372036854775809", "set int16_register 33 -1234",
        "set int16_register 63 4321"})
    ASSERT_EQ(cell.robotCmd(cmd).rfind("ok", 0), 0u) << cmd;
  std::map<std::string, double> expected = {{"JOINT_POSITION_0", 1},
                                            {"JOINT_POSITION_1", -2},
                                            {"JOINT_POSITION_2", 0.5},
                                            {"JOINT_POSITION_5", 5.5},
                                            {"TCP_POSE_X", 0.1f},
                                            {"TCP_POSE_RZ", 3},
                                            {"TCP_SPEED", 7},
                                            {"SPEED_PERCENT", 29},
                                            {"SAFETY_MODE", 3},
                                            {"ROBOT_MODE", 5},
                                            {"JOINT_CURRENT_1", -2},
                                            {"JOINT_VOLTAGE_5", 52},
                                            {"JOINT_TEMPERATURE_5", 35},
                                            {"PROGRAM_PAUSED", 1},
                                            {"PROGRAM_RUNNING", 0},
                                            {"STD_IN_00", 1},
                                            {"STD_IN_01", 0},
                                            {"STD_IN_02", 1},
                                            {"STD_OUT_03", 1},
                                            {"STD_OUT_15", 1},
                                            {"TOOL_OUT_1", 1},
                                            {"TOOL_OUT_0", 0},
                                            {"ROBOT_BOOL_OUT_00", 1},
                                            {"ROBOT_BOOL_OUT_63", 1},
                                            {"ROBOT_BOOL_OUT_01", 0},
                                            {"ROBOT_INT16_33", -1234},
                                            {"ROBOT_INT16_63", 4321}};
  auto read = [&](const std::string& name) {
    const Tag& t = tags.at(name);
    const int n = t.type == "REAL" ? 2 : 1;
    const char* table = t.table == "coil" ? "co" : t.table == "holding_register" ? "hr" : "?";
    auto regs = cell.gwGet(table, t.address, n);
    if (regs.empty()) return -1e9;
    return t.type == "BOOL" ? double(regs[0]) : decode(t, regs);
  };
  for (const auto& kv : expected) {
    const std::string& name = kv.first;  // a lambda cannot capture a structured binding in C++17
    const double value = kv.second;
    ASSERT_TRUE(tags.count(name)) << name;
    EXPECT_EQ(tags.at(name).direction, "robot_to_plc") << name;
    EXPECT_TRUE(vt::waitUntil([&] { return std::abs(read(name) - value) < 1e-6; }, kWait))
        << name << " reads " << read(name) << ", not " << value;
  }

  // PLC to robot: a bit, a word, then 0 and a command through the command word.
  const Tag& bit = tags.at("PLC_BOOL_IN_05");
  const Tag& word16 = tags.at("PLC_INT16_03");
  const Tag& command = tags.at("CMD_WORD");
  EXPECT_EQ(bit.table, "discrete_input");
  cell.gwSet("di", bit.address, {1});
  cell.gwSet("ir", word16.address, {encode(word16, static_cast<uint16_t>(-300))});
  EXPECT_TRUE(cell.waitCall("call setBoolInput 5 1", kWait));
  EXPECT_TRUE(cell.waitCall("call setInt16Register 3 -300", kWait));
  EXPECT_EQ(command.address, block);
  cell.gwSet("ir", command.address, {encode(command, 0)});
  ASSERT_TRUE(cell.waitCycles(3));
  cell.gwSet("ir", command.address, {encode(command, 5)});
  EXPECT_TRUE(cell.waitCall("call runProgram", kWait));
}

INSTANTIATE_TEST_SUITE_P(Layouts, StatusBlock,
                         ::testing::Values(std::make_pair(2, false), std::make_pair(2, true),
                                           std::make_pair(3, false), std::make_pair(3, true)),
                         [](const auto& info) {
                           return "protocol" + std::to_string(info.param.first) +
                                  (info.param.second ? "_little" : "_swapped");
                         });

TEST(StatusBits, MirrorRuntimeStateAndDigitalIo) {
  Cell cell;
  cell.start();
  // Runtime state 6 (stopped) at start: coil 83 only.
  ASSERT_TRUE(cell.waitGateway("co", 82, {0, 1, 0}, kWait));
  cell.robotCmd("set runtime_state 4");
  ASSERT_TRUE(cell.waitGateway("co", 82, {0, 0, 0}, kWait));
  cell.robotCmd("set runtime_state 2");
  ASSERT_TRUE(cell.waitGateway("co", 82, {0, 0, 1}, kWait));
  cell.robotCmd("set runtime_state 0");
  ASSERT_TRUE(cell.waitGateway("co", 82, {1, 0, 0}, kWait));

  // Configurable input 9 pairs with input 1: coil 65.
  cell.robotCmd("set configurable_di_bits 512");
  ASSERT_TRUE(cell.waitGateway("co", 64, {0, 1, 0, 0, 0, 0, 0, 0}, kWait));
  cell.robotCmd("set configurable_do_bits 1");
  ASSERT_TRUE(cell.waitGateway("co", 72, {1, 0, 0, 0, 0, 0}, kWait));
  cell.robotCmd("set standard_di_bits 32769");  // inputs 0 and 15
  std::vector<long> di(16, 0);
  di[0] = di[15] = 1;
  ASSERT_TRUE(cell.waitGateway("co", 88, di, kWait));
  cell.robotCmd("set standard_do_bits 2");
  std::vector<long> dout(16, 0);
  dout[1] = 1;
  ASSERT_TRUE(cell.waitGateway("co", 104, dout, kWait));
  cell.robotCmd("set tool_do_bits 8");
  ASSERT_TRUE(cell.waitGateway("co", 120, {0, 0, 0, 1}, kWait));
  EXPECT_EQ(cell.gwGet("co", 78, 4), std::vector<long>(4, 0));
  EXPECT_EQ(cell.gwGet("co", 124, 4), std::vector<long>(4, 0));
}

TEST(StatusBits, FewConfigurableInputsLeaveThePairedCoilsAlone) {
  Cell::Options o;
  o.robot_args = {"--configurable-di", "8"};
  Cell cell(o);
  cell.start();
  cell.robotCmd("set configurable_di_bits 255");
  ASSERT_TRUE(waitCycles(cell, 3));
  EXPECT_EQ(cell.gwGet("co", 64, 8), std::vector<long>(8, 0));
}

TEST(PlcRegisters, ReachTheRobotOncePerChangeAndComeBack) {
  Cell cell;  // littleEndian clear: every word travels byte-exchanged
  cell.start();
  size_t from = cell.robot().lineCount();
  cell.gwSet("di", 5, {1});
  ASSERT_TRUE(cell.waitCall("call setBoolInput 5 1", kWait, from));
  cell.gwSet("ir", 0, {0x0201});
  ASSERT_TRUE(cell.waitCall("call setInt16Register 0 258", kWait, from));
  ASSERT_TRUE(waitCycles(cell, 3));
  EXPECT_EQ(cell.robot().countContaining("call setBoolInput 5 1"), 1u);
  EXPECT_EQ(cell.robot().countContaining("call setInt16Register 0 258"), 1u);
  cell.gwSet("di", 5, {0});
  ASSERT_TRUE(cell.waitCall("call setBoolInput 5 0", kWait, from));

  // The robot's registers 32..63 and bool outputs reach the gateway.
  cell.robotCmd("set int16_register 32 258");
  cell.robotCmd("set int16_register 63 -2");
  ASSERT_TRUE(cell.waitGateway("hr", 0, {0x0201}, kWait));
  ASSERT_TRUE(cell.waitGateway("hr", 31, {swap16(0xFFFE)}, kWait));
  cell.robotCmd("set output_bit_registers 9223372036854775809");  // outputs 0 and 63
  std::vector<long> bits(64, 0);
  bits[0] = bits[63] = 1;
  ASSERT_TRUE(cell.waitGateway("co", 0, bits, kWait));
}

class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    cell_ = std::make_unique<Cell>(withConfig({{"controlRobot", "1"}, {"pnRegisterNumber", "40"}}));
  }
  // Writes the command word as the PLC does, in the swapped byte order, and
  // waits for the service to have read it.
  void command(long code) {
    cell_->gwSet("ir", 40, {swap16(code)});
    ASSERT_TRUE(waitCycles(*cell_, 2));
  }
  size_t calls(const std::string& c) { return cell_->robot().countContaining(c); }
  std::unique_ptr<Cell> cell_;
};

TEST_F(Commands, LatchRunsEachCodeOnceAfterTheWordWasSeenAtZero) {
  cell_->startRobot();
  cell_->startGateway();
  cell_->gwSet("ir", 40, {swap16(5)});  // held from start
  cell_->start();
  ASSERT_TRUE(waitCycles(*cell_, 3));
  EXPECT_EQ(calls("call runProgram"), 0u);

  command(0);
  command(2);
  command(2);
  command(2);
  EXPECT_EQ(calls("call poweron"), 1u);
  command(3);  // straight from 2: nothing
  EXPECT_EQ(calls("call startup"), 0u);
  command(0);
  command(3);
  EXPECT_EQ(calls("call startup"), 1u);
  command(0);
  command(4);  // not a command: the latch stays armed
  command(5);
  EXPECT_EQ(calls("call runProgram"), 1u);
  EXPECT_TRUE(cell_->waitCall(
      "call textmsg umx signal: HoldingRegister addr: 0 value: 5 action: runProgram", kWait));
  command(5);
  EXPECT_EQ(calls("call runProgram"), 1u);
}

TEST_F(Commands, OutputsAndSpeedFollowTheBlock) {
  cell_->start();
  size_t from = cell_->robot().lineCount();
  // Word 2 = 0x0105, word 3 = 0x0080: tool 0 and 2, standard 0 and 15.
  cell_->gwSet("ir", 41, {swap16(50), swap16(0x0105), swap16(0x0080)});
  for (const char* c : {"call setToolDigitalOutput 0 1", "call setToolDigitalOutput 2 1",
                        "call setStandardDigitalOutput 0 1", "call setStandardDigitalOutput 15 1",
                        "call setSpeedFraction 0.5"})
    EXPECT_TRUE(cell_->waitCall(c, kWait, from)) << c;
  ASSERT_TRUE(waitCycles(*cell_, 2));
  EXPECT_EQ(calls("call setToolDigitalOutput 1"), 0u);
  EXPECT_EQ(calls("call setStandardDigitalOutput 1 "), 0u);

  cell_->gwSet("ir", 41, {swap16(101)});
  ASSERT_TRUE(waitCycles(*cell_, 2));
  cell_->gwSet("ir", 41, {swap16(1)});
  EXPECT_TRUE(cell_->waitCall("call setSpeedFraction 0.01", kWait, from));
  EXPECT_EQ(calls("call setSpeedFraction 1.01"), 0u);
}

TEST(ManualMode, BlockIsNotReadWhenManualControlIsOff) {
  Cell cell(withConfig({{"controlRobot", "1"}, {"controlRobotInManualMode", "0"}}));
  cell.start();
  cell.robotCmd("set operational_mode 2");
  ASSERT_TRUE(waitCycles(cell, 2));
  size_t from = cell.robot().lineCount();
  cell.gwSet("ir", 32, {0, swap16(40)});
  ASSERT_TRUE(waitCycles(cell, 4));
  EXPECT_EQ(cell.robot().waitLine([](auto& l) { return l.rfind("call setSpeedFraction", 0) == 0; },
                                  Ms(0), from),
            -1);
  cell.robotCmd("set operational_mode 1");
  EXPECT_TRUE(cell.waitCall("call setSpeedFraction 0.4", kWait, from));
}

TEST(Heartbeat, ReportsRobotModeChangesAndABlockingLink) {
  Cell cell;
  cell.start();
  ASSERT_TRUE(cell.waitLog("机械臂当前状态，本体处于断电状态", kWait)) << cell.umx().allText();
  cell.robotCmd("set robot_mode 3");
  cell.robotCmd("set robot_mode 4");
  ASSERT_TRUE(
      cell.waitLog("机械臂当前状态，本体上电成功, 刹车暂未松开, 关节初始状态未获取", kWait));
  cell.robotCmd("set robot_mode 8");
  ASSERT_TRUE(cell.waitLog("机械臂当前状态，松刹车成功，运行模式", kWait));
  cell.robotCmd("set robot_mode 8");
  cell.robotCmd("set robot_mode 10");
  ASSERT_TRUE(waitCycles(cell, 3));
  EXPECT_EQ(cell.logCount("机械臂当前状态，本体处于断电状态"), 1u);
  EXPECT_EQ(cell.logCount("机械臂当前状态，松刹车成功，运行模式"), 1u);
  EXPECT_EQ(cell.gwGet("hr", 60, 1), std::vector<long>{swap16(8)});

  // A silent gateway: each request takes about 4 s to fail, so some 3 s
  // window soon sees none complete.
  cell.gateway().query("mute on");
  EXPECT_TRUE(cell.waitLog("modbus is blocking ", Ms(25000)));
  cell.gateway().query("mute off");
  long hb = -1;
  ASSERT_TRUE(cell.waitGatewayWhere(
      "hr", 57, 1,
      [&](auto v) {
        hb = v[0];
        return v[0] != 0;
      },
      Ms(30000)));
  EXPECT_TRUE(cell.waitGatewayWhere(
      "hr", 57, 1, [&](auto v) { return v[0] != hb; }, Ms(15000)))
      << "the heartbeat register advances again once the gateway answers";
}

TEST(Recovery, SerialLineUnpluggedAndPluggedBack) {
  Cell cell;
  cell.start();
  cell.robotCmd("set joint_positions 1 1 1 1 1 1");
  ASSERT_TRUE(cell.waitGateway("hr", 44, pair(1.0f, false), kWait));
  cell.line().down();
  cell.line().upAgain();
  cell.robotCmd("set joint_positions 2 2 2 2 2 2");
  // The gateway simulator reopens its end; the service reconnects by itself.
  EXPECT_TRUE(cell.waitGateway("hr", 44, pair(2.0f, false), Ms(60000)));
}

#include "schedule.h"

#include <libconfig.h>
#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "config_file.h"
#include "controller_endpoint.h"
#include "gateway_map.h"
#include "log.h"
#include "robot_sdk.h"
#include "sdk_adapter.h"

namespace {

long toLong(const std::string& text) {
  return std::strtol(text.c_str(), nullptr, 10);
}

}  // namespace

Schedule::Schedule() {
  health_.watch(&modbus_dev_, &robot_status_);
}

Schedule::~Schedule() {
  stop();
}

void Schedule::init(std::string workspace, std::string config_path) {
  umx_log_.initLog();
  // Up as soon as the process is set up: the boot and `systemctl start`
  // never wait for the controller. The status line says what is awaited,
  // and from here on the watchdog holds every phase to its progress.
  notifier_.start(health_);
  metrics_.start(metrics_file_, health_);

  const std::string path = workspace + config_path;
  LOG_INFO(UmxLog::getLogger(), "vemo_umx config path is {}", path);

  connectRobot();
  if (!robot_link_up_) return;  // stopped while waiting for the controller

  std::string serial_port;
  setPhase(Phase::kConfiguring);
  markProgress();
  if (loadConfig(path, serial_port) != 0) return;

  setPhase(Phase::kOpeningGateway);
  markProgress();
  openGateway(serial_port);
  // A bridge that does not master the line (another holds it, or it is not
  // there yet) leaves the controller alone: the first bridge's values stay.
  if (!takeControllerIfMaster())
    LOG_INFO(UmxLog::getLogger(),
             "serial line {} is not mastered by this bridge: nothing is written to the robot "
             "controller until it is",
             serial_port);
  health_.setInitCompleted();
  LOG_INFO(UmxLog::getLogger(), "VEMO-UMX Init Successed");
}

void Schedule::connectRobot() {
  auto* log = UmxLog::getLogger();
  using namespace std::chrono_literals;

  // Every attempt, every wait between two and every call of the set-up
  // counts as progress: a controller that is down or slow for long is
  // waited for, a call that never returns is not.
  auto waitRetry = [this] {
    if (!pause(5s)) return false;
    markProgress();
    return true;
  };
  setPhase(Phase::kConnectingRpc);
  rpc_client_ = std::make_shared<ryne::vemo_sdk::RpcClient>(0);
  while (rpc_client_->connect(controller_endpoint::kHost, controller_endpoint::kRpcPort) != 0) {
    markProgress();
    // A controller down for a long time would write this every 5 s.
    LOG_INFO_TAGS(log, "#repeats", "RPC Client Connect Failed!");
    if (!waitRetry()) return;
  }
  markProgress();
  health_.setChannels(true, false);
  LOG_INFO(log, "RPC Client Connect Successed!");
  rpc_client_->login("vemo", "739154");
  markProgress();
  rpc_client_->setRequestTimeout(static_cast<int>(RobotStatus::kCallDeadline.count()));
  markProgress();

  // A controller still booting may not list its robot yet; the first name is
  // needed for every robot interface, so wait for one rather than guess.
  std::vector<std::string> names = rpc_client_->getRobotNames();
  markProgress();
  while (names.empty()) {
    setPhase(Phase::kWaitingRobotName);
    LOG_INFO_TAGS(log, "#repeats", "robot name list is empty, retrying");
    if (!waitRetry()) return;
    names = rpc_client_->getRobotNames();
    markProgress();
  }
  const std::string robot_name = names.front();

  setPhase(Phase::kConnectingRtde);
  rtde_client_ = std::make_shared<ryne::vemo_sdk::RtdeClient>(0);
  while (rtde_client_->connect(controller_endpoint::kHost, controller_endpoint::kRtdePort) != 0) {
    markProgress();
    LOG_INFO_TAGS(log, "#repeats", "RTDE Client Connect Failed!");
    if (!waitRetry()) return;
  }
  markProgress();
  health_.setChannels(true, true);
  LOG_INFO(log, "RTDE Client Connect Successed!");
  rtde_client_->login("vemo", "739154");
  markProgress();

  auto register_control = rpc_client_->getRegisterControl();
  auto runtime_machine = rpc_client_->getRuntimeMachine();
  auto robot_interface = rpc_client_->getRobotInterface(robot_name);
  markProgress();
  // Each controller call of these counts itself. Only reads here: what
  // writes to the controller waits until this bridge masters the gateway
  // line (takeControllerIfMaster).
  robot_status_.setInterfacePtr(robot_interface, runtime_machine, register_control, rtde_client_,
                                false);
  robot_status_.configSubscribe();
  robot_link_up_ = true;
}

bool Schedule::takeControllerIfMaster() {
  const bool master = robot_link_up_ && modbus_dev_.mastersLine();
  if (master == controller_taken_) return master;
  controller_taken_ = master;
  if (!master) {
    // Another bridge locked the line (a re-plugged adapter it opened
    // first): its values are the controller's now. What this one owes
    // stays owed until it masters the line again.
    LOG_INFO(UmxLog::getLogger(),
             "serial line {} is mastered by another bridge now: nothing is written to the robot "
             "controller until this bridge masters it again",
             modbus_config_.serialPort);
    return false;
  }
  // As a bridge starts: the controller's registers to 0, the output topic
  // (once in the life of the service), sent as the cycle's bound allows.
  robot_status_.initRegister(!output_topic_set_);
  output_topic_set_ = true;
  if (took_line_before_ || health_.initCompleted()) {
    // The line was another bridge's: the controller holds its values, not
    // what this bridge's caches say. Everything the PLC holds is owed.
    robot_status_.invalidateWrites();
    LOG_INFO(UmxLog::getLogger(),
             "serial line {} is mastered now: the robot controller is set up as at start",
             modbus_config_.serialPort);
  }
  took_line_before_ = true;
  return true;
}

void Schedule::openGateway(const std::string& serial_port) {
  modbus_config_.deviceName = "umxGateway";
  modbus_config_.protocol = "RTU";
  modbus_config_.slaveId = 1;
  modbus_config_.serialPort = serial_port;
  modbus_config_.baudRate = 115200;
  modbus_config_.parity = 'N';
  modbus_config_.dataBits = 8;
  modbus_config_.stopBits = 1;
  modbus_config_.responseTimeoutMs = 1000;

  modbus_dev_.setModbusConfig(modbus_config_);
  int ret = modbus_dev_.modbusOpen();
  if (ret != 0) LOG_INFO(UmxLog::getLogger(), "modbusOpen failed ret is  {}", ret);

  settings_pending_ = writeSettings() != 0;
}

int Schedule::writeSettings() {
  // The request covers registers 256..319 while the block has 32 words: the
  // rest of the request is zeros, never memory beyond the block.
  uint16_t settings[gateway_map::kSettingsWriteCount] = {};
  std::copy(gateway_settings_, gateway_settings_ + kSettingsWords, settings);
  return transacted(modbus_dev_.modbusWriteRegisters(gateway_map::kSettingsStart,
                                                     gateway_map::kSettingsWriteCount, settings));
}

int Schedule::loadConfig(const std::string& path, std::string& serial_port) {
  auto* log = UmxLog::getLogger();
  little_endian_ = 0;
  control_robot_ = 0;
  register_number_ = 0;
  serial_port.clear();

  config_t cfg;
  config_init(&cfg);
  ConfigFile::readOrCreate(path, &cfg);

  auto fail = [&](const char* message) {
    config_destroy(&cfg);
    LOG_INFO(log, "{}", message);
    return -1;
  };
  auto encodeAddress = [&](const char* text, size_t first) {
    std::vector<uint16_t> parts;
    ipToValue(text, parts);
    for (size_t i = 0; i < 4; ++i) gateway_settings_[first + i] = parts[i];
  };

  const char* text = nullptr;
  int value = 0;

  if (!config_lookup_string(&cfg, "portName", &text)) return fail("====>>>> portname failed ");
  serial_port = text;
  LOG_INFO(log, "====>>>> rtu portname is {}", serial_port);

  if (!config_lookup_int(&cfg, "protocolType", &value))
    return fail("====>>>> protocolType error : ");
  gateway_settings_[0] = static_cast<uint16_t>(value);
  LOG_INFO(log, "====>>>> protocolType : {}", gateway_settings_[0]);

  if (!config_lookup_int(&cfg, "protocolMode", &value)) return fail("protocol mode failed   ");
  gateway_settings_[13] = static_cast<uint16_t>(value);
  LOG_INFO(log, "====>>>> protocol mode is  {}", gateway_settings_[13]);

  if (!config_lookup_int(&cfg, "pnCoilNumber", &value)) return fail("====>>>> coil number failed ");
  gateway_settings_[14] = static_cast<uint16_t>(value);
  LOG_INFO(log, "====>>>> coil number is {}", gateway_settings_[14]);

  if (!config_lookup_int(&cfg, "pnRegisterNumber", &value))
    return fail("====>>>> register number failed  ");
  gateway_settings_[15] = static_cast<uint16_t>(value);
  register_number_ = value;
  LOG_INFO(log, "====>>>> register number is  {}", gateway_settings_[15]);

  if (!config_lookup_int(&cfg, "controlRobot", &value))
    return fail("====>>>> gateway control robot failed  ");
  control_robot_ = static_cast<uint8_t>(value);
  LOG_INFO(log, "====>>>> gateway control robot is  {}", static_cast<unsigned>(control_robot_));

  if (!config_lookup_int(&cfg, "controlRobotInManualMode", &value))
    return fail("====>>>> manual control robot failed  ");
  control_robot_in_manual_ = static_cast<uint8_t>(value);
  LOG_INFO(log, "====>>>> plc control robot mode in manual is  {}",
           static_cast<unsigned>(control_robot_in_manual_));

  if (!config_lookup_int(&cfg, "littleEndian", &value))
    return fail("====>>>> gateway  endian error : ");
  little_endian_ = static_cast<uint8_t>(value);
  LOG_INFO(log, "gateway  endian is {}", value);

  if (!config_lookup_string(&cfg, "ipAddr", &text)) return fail("====>>>> ipAdress error : ");
  encodeAddress(text, 1);
  LOG_INFO(log, "gateway ipAdress is  {}", text);

  if (!config_lookup_string(&cfg, "netmask", &text)) return fail("====>>>> netmask error : ");
  encodeAddress(text, 5);
  LOG_INFO(log, "gateway netmask is  {}", text);

  if (!config_lookup_string(&cfg, "gateway", &text)) return fail("====>>>> gateway error : ");
  encodeAddress(text, 9);
  LOG_INFO(log, "gateway gateway is  {}", text);

  config_destroy(&cfg);
  return 0;
}

uint32_t Schedule::ipToValue(const std::string& text, std::vector<uint16_t>& parts_out) {
  std::string rest = text;
  int part[4] = {0, 0, 0, 0};
  int k = 3;
  size_t dot;
  // Only four parts exist: anything after a fourth "." is ignored, since
  // part 0 takes the digits up to the next "." and no further.
  while (k > 0 && (dot = rest.find('.')) != std::string::npos) {
    part[k] = static_cast<int>(toLong(rest.substr(0, dot)));
    rest.erase(0, dot + 1);
    --k;
  }
  part[k] = static_cast<int>(toLong(rest));
  for (int i = 3; i >= 0; --i) parts_out.push_back(static_cast<uint16_t>(part[i]));
  return static_cast<uint32_t>(part[3]) * (1u << 24) + static_cast<uint32_t>(part[2]) * (1u << 16) +
         static_cast<uint32_t>(part[1]) * (1u << 8) + static_cast<uint32_t>(part[0]);
}

int32_t Schedule::conversion(double value) {
  // Out-of-range and NaN values have no integer meaning; clamp rather than
  // invoke undefined behaviour.
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}

int Schedule::readBitBuf(const uint8_t* bytes, uint32_t bit) {
  return (bytes[bit / 8] >> (bit % 8)) & 1;
}

void Schedule::start() {
  auto* log = UmxLog::getLogger();
  LOG_INFO(log, "VEMO-UMX is Starting ");
  if (scheduled_thread_)
    LOG_INFO(log, "scheduledThreadLoop create failed ");
  else
    scheduled_thread_ = std::make_unique<std::thread>(&Schedule::scheduledThreadLoop, this);
  if (heartbeat_thread_)
    LOG_INFO(log, "heartbeatThreadLoop create failed ");
  else
    heartbeat_thread_ = std::make_unique<std::thread>(&Schedule::heartbeatThreadLoop, this);
}

void Schedule::stop() {
  notifier_.stop();
  metrics_.stop();
  {
    std::lock_guard<std::mutex> lk(stop_mutex_);
    stop_requested_.store(true, std::memory_order_relaxed);
  }
  stop_cv_.notify_all();
  if (scheduled_thread_ && scheduled_thread_->joinable()) scheduled_thread_->join();
  if (heartbeat_thread_ && heartbeat_thread_->joinable()) heartbeat_thread_->join();
}

bool Schedule::pause(std::chrono::milliseconds d) {
  std::unique_lock<std::mutex> lk(stop_mutex_);
  return !stop_cv_.wait_for(lk, d, [this] { return stopping(); });
}

uint16_t Schedule::word(uint16_t v) const {
  return little_endian_ ? v : static_cast<uint16_t>((v << 8) | (v >> 8));
}

void Schedule::floatPair(double x, uint16_t* regs) const {
  const float f = static_cast<float>(x);
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  const uint16_t low = static_cast<uint16_t>(u & 0xFFFF);
  const uint16_t high = static_cast<uint16_t>(u >> 16);
  if (little_endian_) {
    regs[0] = low;
    regs[1] = high;
  } else {
    // All four bytes reversed: the high word first, each word byte-exchanged.
    regs[0] = word(high);
    regs[1] = word(low);
  }
}

void Schedule::scheduledThreadLoop() {
  // Named for top -H, gdb and crash reports.
  pthread_setname_np(pthread_self(), "umx_exchange");
  LOG_INFO(UmxLog::getLogger(), "VEMO-UMX is Running");
  setPhase(health_.initCompleted() ? Phase::kRunning : Phase::kRunningUnconfigured);
  notifier_.wake();  // READY=1 now, not at the next tick
  auto buffers = std::make_unique<ExchangeBuffers>();
  buffers->io.reserve(64);
  for (auto* v : {&buffers->values, &buffers->currents, &buffers->voltages, &buffers->temperatures})
    v->reserve(16);
  buffers->tool_do.reserve(4);
  buffers->user_do.reserve(16);
  if (rtde_client_) controller_watch_.begin(SdkAdapter::rtdeSessions(*rtde_client_));
  auto cycle_start = std::chrono::steady_clock::now();
  while (!stopping()) {
    if (!exchangeCycle(*buffers)) break;
    const auto now = std::chrono::steady_clock::now();
    const auto us = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now - cycle_start).count());
    health_.cycleDone(us);
    cycle_start = now;
  }
}

void Schedule::buildStatusBits(ExchangeBuffers& b) {
  namespace gm = gateway_map;
  auto coil = [&b](int address) -> uint8_t& {
    return b.status_bits[address - gm::kStatusBitsStart];
  };
  b.io.clear();
  robot_status_.getSafeDI(b.io);
  for (size_t k = 0; k < gm::kSafeInputPairs; ++k)
    if (b.io.size() > k + 8) coil(gm::kSafeInputPairsCoil + k) = (b.io[k] || b.io[k + 8]) ? 1 : 0;
  b.io.clear();
  robot_status_.getSafeDO(b.io);
  for (size_t k = 0; k < gm::kSafeOutputPairs; ++k)
    if (b.io.size() > k + 8) coil(gm::kSafeOutputPairsCoil + k) = (b.io[k] || b.io[k + 8]) ? 1 : 0;

  // Without the controller nobody knows the program's state: running,
  // stopped and paused all read 0 rather than the last state seen.
  const int state = static_cast<int>(robot_status_.getRuntimeState());
  const bool gone = controller_watch_.gone();
  health_.setRuntimeState(gone ? CellHealth::kUnknownRuntimeState : state);
  coil(gm::kProgramRunningCoil) = !gone && state == 0;
  coil(gm::kProgramStoppedCoil) = !gone && (state == 5 || state == 6);
  coil(gm::kProgramPausedCoil) = !gone && (state == 2 || state == 3);

  b.io.clear();
  robot_status_.getUserDI(b.io);
  for (size_t k = 0; k < gm::kStandardChannels && k < b.io.size(); ++k)
    coil(gm::kStandardInputsCoil + k) = b.io[k] ? 1 : 0;
  b.io.clear();
  robot_status_.getUserDO(b.io);
  for (size_t k = 0; k < gm::kStandardChannels && k < b.io.size(); ++k)
    coil(gm::kStandardOutputsCoil + k) = b.io[k] ? 1 : 0;
  b.io.clear();
  robot_status_.getToolDO(b.io);
  for (size_t k = 0; k < gm::kToolChannels && k < b.io.size(); ++k)
    coil(gm::kToolOutputsCoil + k) = b.io[k] ? 1 : 0;
}

void Schedule::buildStatusBlock(ExchangeBuffers& b) {
  namespace gm = gateway_map;
  const gm::StatusLayout& at = gm::statusLayout(gateway_settings_[0]);
  auto reg = [&b](int address) { return b.status_block + (address - gm::kStatusBlockStart); };
  auto put = [&](int address, int32_t v) { *reg(address) = word(static_cast<uint16_t>(v)); };

  robot_status_.getTcpPose(b.values);
  for (size_t k = 0; k < gm::kPoseElements && k < b.values.size(); ++k)
    floatPair(b.values[k], reg(at.tcp_pose + 2 * k));
  robot_status_.getJointPositions(b.values);
  for (size_t k = 0; k < gm::kJoints && k < b.values.size(); ++k)
    floatPair(b.values[k], reg(at.joints + 2 * k));

  robot_status_.getTcpSpeed(b.values);
  if (!b.values.empty()) put(at.tcp_speed, conversion(b.values[0]));
  // Whole percent: a tiny epsilon keeps fractions such as 0.29 (28.999... in
  // binary) at the percentage the PLC set.
  put(at.speed_percent, conversion(robot_status_.getSpeedFraction() * 100.0 + 1e-9));
  put(at.heartbeat, health_.heartbeatWord());
  put(at.robot_mode, robot_mode_type_);
  // Without the controller nothing is known of the safety state either: 0
  // (no value), never the last "normal", which a PLC may interlock on.
  const auto safety =
      controller_watch_.gone() ? 0 : static_cast<int32_t>(robot_status_.getSafetyModeType());
  health_.setSafetyMode(safety);
  put(at.safety_mode, safety);

  robot_status_.getJointCurrents(b.currents);
  robot_status_.getJointVoltages(b.voltages);
  robot_status_.getJointTemperatures(b.temperatures);
  for (size_t k = 0; k < gm::kJoints; ++k) {
    if (b.currents.size() <= k || b.voltages.size() <= k || b.temperatures.size() <= k) break;
    put(at.currents + k, conversion(b.currents[k]));
    put(at.voltages + k, conversion(b.voltages[k]));
    put(at.temperatures + k, conversion(b.temperatures[k]));
  }
}

bool Schedule::exchangeCycle(ExchangeBuffers& b) {
  using namespace std::chrono_literals;
  namespace gm = gateway_map;
  const auto gap = 25ms;

  robot_status_.beginCycle();
  watchController();
  updateRobotModeType();

  // A gateway still booting at start missed its settings: they go first in
  // every cycle until one write succeeds, and never again after that.
  if (settings_pending_) {
    ++settings_retries_;
    if (writeSettings() == 0) {
      settings_pending_ = false;
      LOG_INFO(UmxLog::getLogger(),
               "gateway settings written to holding registers {}..{} after {} failed writes",
               gm::kSettingsStart, gm::kSettingsStart + gm::kSettingsWriteCount - 1,
               settings_retries_);
    }
    if (!pause(gap)) return false;
  }

  buildStatusBits(b);
  transacted(
      modbus_dev_.modbusWriteBits(gm::kStatusBitsStart, gm::kStatusBitsCount, b.status_bits));
  if (!pause(gap)) return false;

  buildStatusBlock(b);
  transacted(modbus_dev_.modbusWriteRegisters(gm::kStatusBlockStart, gm::kStatusBlockCount,
                                              b.status_block));
  if (!pause(gap)) return false;

  if (transacted(
          modbus_dev_.modbusReadInputBits(gm::kPlcBitsStart, gm::kPlcBitsCount, b.read_bits)) == 0)
    std::copy(std::begin(b.read_bits), std::end(b.read_bits), b.input_bits);
  if (!pause(gap)) return false;
  if (takeControllerIfMaster())
    for (uint32_t i = 0; i < 64; ++i) robot_status_.setBoolInput(i, b.input_bits[i] != 0);

  for (uint32_t i = 0; i < 64; ++i) b.output_bits[i] = robot_status_.getBoolOutput(i) ? 1 : 0;
  transacted(modbus_dev_.modbusWriteBits(gm::kRobotBitsStart, gm::kRobotBitsCount, b.output_bits));
  if (!pause(gap)) return false;

  if (transacted(modbus_dev_.modbusReadInputRegisters(
          gm::kPlcRegistersStart, gm::kPlcRegistersCount, b.read_registers)) == 0)
    std::copy(std::begin(b.read_registers), std::end(b.read_registers), b.input_registers);
  if (!pause(gap)) return false;
  if (takeControllerIfMaster())
    for (uint32_t i = 0; i < 32; ++i)
      robot_status_.setInt16Register(i, static_cast<int16_t>(word(b.input_registers[i])));

  for (uint32_t i = 0; i < 32; ++i)
    b.output_registers[i] = word(
        static_cast<uint16_t>(robot_status_.getInt16Register(gm::kRobotRegistersFirstSource + i)));
  transacted(modbus_dev_.modbusWriteRegisters(gm::kRobotRegistersStart, gm::kRobotRegistersCount,
                                              b.output_registers));
  if (!pause(gap)) return false;

  // A cycle that does not handle the command block closes the latch: a code
  // the PLC wrote meanwhile must not run because the mode changed back. A
  // controller that left a call of this cycle unanswered is not asked for
  // its mode (a second deadline in one cycle): the block is read all the
  // same, and nothing is decided on it (handleCommandBlock).
  const bool ask = robot_status_.mayAsk();
  const int mode = ask ? static_cast<int>(robot_status_.getOperationalMode()) : -1;
  if (mode == static_cast<int>(RobotStatus::OperationalModeType::Manual) &&
      !control_robot_in_manual_) {
    command_latch_.skip();
    return true;
  }
  if (control_robot_) return handleCommandBlock(b);
  command_latch_.skip();
  return pause(30ms);
}

bool Schedule::handleCommandBlock(ExchangeBuffers& b) {
  using namespace std::chrono_literals;
  uint16_t raw[gateway_map::kCommandBlockCount];
  const bool fresh = transacted(modbus_dev_.modbusReadInputRegisters(
                         register_number_, gateway_map::kCommandBlockCount, raw)) == 0;
  const auto read_at = std::chrono::steady_clock::now();
  if (fresh)
    for (size_t i = 0; i < 4; ++i) b.command_words[i] = word(raw[i]);
  if (!pause(25ms)) return false;
  // A block that could not be read says nothing about what the PLC holds
  // now. Taking the kept words instead would let the latch take a word it
  // had itself cleared to 0, arm, and run the still-held code a second time
  // at the next good read. So nothing of the block is applied in this cycle:
  // no command, no outputs, no speed, and the latch stays as it is.
  if (!fresh || !takeControllerIfMaster()) return pause(30ms);
  uint16_t* w = b.command_words;
  // Every word read goes into the latch: a 0 arms it whatever comes next.
  command_latch_.read(w[0], read_at);
  // A controller that left a call of this cycle unanswered is asked nothing
  // more in it: outputs and speed wait, and a code under an armed latch is
  // decided on the next read of the word, while the PLC still holds it.
  if (!robot_status_.mayAsk()) return pause(30ms);

  const uint8_t bytes[4] = {static_cast<uint8_t>(w[2] & 0xFF), static_cast<uint8_t>(w[2] >> 8),
                            static_cast<uint8_t>(w[3] & 0xFF), static_cast<uint8_t>(w[3] >> 8)};
  b.tool_do.clear();
  for (uint32_t bit = 0; bit < 4; ++bit) b.tool_do.push_back(readBitBuf(bytes, bit));
  robot_status_.setToolDO(b.tool_do);
  b.user_do.clear();
  for (uint32_t bit = 8; bit < 24; ++bit) b.user_do.push_back(readBitBuf(bytes, bit));
  robot_status_.setUserDO(b.user_do);
  if (w[1] >= 1 && w[1] <= 100) robot_status_.setSpeedFraction(w[1] / 100.0);
  if (!robot_status_.mayAsk()) return pause(30ms);

  // The command is decided on what the PLC holds now. Output and speed calls
  // to a slow controller can take seconds, and the PLC may have withdrawn the
  // code meanwhile: a command must never run late, so an old word is read
  // again first. A read that fails decides nothing.
  bool followed = false;
  CommandLatch::Command command;
  if (command_latch_.stale(std::chrono::steady_clock::now())) {
    uint16_t again = 0;
    if (transacted(modbus_dev_.modbusReadInputRegisters(register_number_, 1, &again)) != 0)
      return pause(30ms);
    w[0] = word(again);
    command = command_latch_.decide(w[0], &followed);
  } else {
    command = command_latch_.decide(&followed);
  }
  if (followed) return true;
  if (command != CommandLatch::kNone)
    health_.countCommand(static_cast<size_t>(command),
                         CommandLatch::dispatch(command, robot_status_));
  return pause(30ms);
}

void Schedule::heartbeatThreadLoop() {
  using namespace std::chrono_literals;
  auto* log = UmxLog::getLogger();
  pthread_setname_np(pthread_self(), "umx_heartbeat");
  health_.resetHeartbeat();
  uint32_t snapshot = modbus_dev_.getHeartbeat();
  while (!stopping()) {
    health_.nextHeartbeat();
    if (!pause(3s)) break;
    const uint32_t now = modbus_dev_.getHeartbeat();
    if (now != snapshot) {
      snapshot = now;
      continue;
    }
    health_.gatewayBlocking();
    // Every 4 s for as long as the link is blocked: folded like the link's
    // own lines, the heartbeat's value whatever it is.
    LOG_ERROR_TAGS(log, "#repeats", "modbus is blocking ");
    LOG_INFO_TAGS(log, "#repeats #anytext", "Current heartbeat_word_ is  {}",
                  health_.heartbeatWord());
    if (!pause(1s)) break;
    snapshot = modbus_dev_.getHeartbeat();
  }
}

void Schedule::watchController() {
  ControllerWatch::Signals now;
  now.packets = robot_status_.statusPackets();
  if (rtde_client_) {
    now.sessions = SdkAdapter::rtdeSessions(*rtde_client_);
    now.channel_up = SdkAdapter::rtdeConnected(*rtde_client_);
  }
  const bool was_gone = controller_watch_.gone();
  const bool resend = controller_watch_.look(now, std::chrono::steady_clock::now());
  // The RPC channel's own state where the SDK tells it. Where it does not,
  // the calls tell: one that returned a code or took its whole deadline
  // (each cycle asks the operational mode); and a controller whose status
  // stream stopped counts as gone on both channels until a call is answered
  // (a dead controller refuses the connection at once, and a value call
  // then returns a value of the SDK's own).
  if (controller_watch_.gone() && !was_gone) answered_when_gone_ = robot_status_.answeredCalls();
  if (!controller_watch_.gone() && was_gone) robot_status_.trustRpcAgain();
  const bool fallback =
      robot_status_.rpcAnswered() &&
      (!controller_watch_.gone() || robot_status_.answeredCalls() > answered_when_gone_);
  const bool rpc = rpc_client_ && SdkAdapter::rpcConnected(*rpc_client_, fallback);
  health_.setChannels(rpc, now.channel_up);
  health_.setStreamStalled(controller_watch_.stalled());
  if (resend) robot_status_.invalidateWrites();
}

void Schedule::updateRobotModeType() {
  static const char* const kModeMessages[10] = {
      "机械臂当前状态，没有连接到机械臂本体",
      "机械臂当前状态，正在进行安全配置",
      "机械臂当前状态，本体正在上电初始化",
      "机械臂当前状态，本体处于断电状态",
      "机械臂当前状态，本体上电成功, 刹车暂未松开, 关节初始状态未获取",
      "机械臂当前状态，上电成功，刹车暂未松开,关节初始状态获取完成",
      "机械臂上电成功, 刹车正在松开",
      "机械臂当前状态，反向驱动，刹车松开, 电机不通电",
      "机械臂当前状态，松刹车成功，运行模式",
      "机械臂当前状态，维护模式"};
  // Mode 0, "no connection to the arm", is the truth while the controller is gone.
  const int mode = controller_watch_.robotMode(static_cast<int>(robot_status_.getRobotModeType()));
  if (mode < 0 || mode > 9) return;
  robot_mode_type_ = static_cast<uint16_t>(mode);
  health_.setRobotMode(robot_mode_type_);
  if (last_robot_mode_type_ != mode) {
    LOG_INFO(UmxLog::getLogger(), "{}", kModeMessages[mode]);
    last_robot_mode_type_ = static_cast<uint16_t>(mode);
  }
}

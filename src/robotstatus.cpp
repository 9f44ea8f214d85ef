#include "robotstatus.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "log.h"
#include "sdk_adapter.h"

namespace {

// Trace messages name the gateway signal that triggered a command.
const char kSignal[] = "HoldingRegister";
constexpr int32_t kAddress = 0;

}  // namespace

RobotStatus::~RobotStatus() {
  stopDeliveries();
}

// ---------------------------------------------------------------------------
// Read side

void RobotStatus::configSubscribe() {
  const std::vector<std::string> topics = {
      "R1_actual_q",
      "R1_actual_current",
      "R1_actual_TCP_pose",
      "R1_actual_joint_voltage",
      "R1_joint_temperatures",
      "R1_actual_TCP_speed",
      "R1_target_speed_fraction",
      "R1_standard_digital_input_bits",
      "R1_standard_digital_output_bits",
      "R1_configurable_digital_input_bits",
      "R1_configurable_digital_output_bits",
      "R1_link_digital_output_bits",
      "R1_tool_digital_output_bits",
      "output_bit_registers_0_to_63",
      "input_int16_registers_0_to_63",
      "R1_robot_mode",
      "R1_safety_mode",
      "runtime_state",
  };
  subscribe_channel_ = counted(rtde_client_->setTopic(false, topics, 50.0, 1));
  counted(rtde_client_->subscribe(
      subscribe_channel_, [this](ryne::vemo_sdk::InputParser& parser) { updateStatus(parser); }));
}

void RobotStatus::stopDeliveries() {
  if (rtde_client_) SdkAdapter::unsubscribe(*rtde_client_, subscribe_channel_);
}

// Runs on the SDK's thread, once per packet; the lock spans the whole packet
// so that no reader sees it half stored.
void RobotStatus::updateStatus(ryne::vemo_sdk::InputParser& parser) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  joint_positions_ = parser.popVectorDouble();
  joint_currents_ = parser.popVectorDouble();
  tcp_pose_ = parser.popVectorDouble();
  joint_voltages_ = parser.popVectorDouble();
  joint_temperatures_ = parser.popVectorDouble();
  tcp_speed_ = parser.popVectorDouble();
  speed_fraction_ = parser.popDouble();
  standard_di_bits_ = parser.popInt64();
  standard_do_bits_ = parser.popInt64();
  configurable_di_bits_ = parser.popInt64();
  configurable_do_bits_ = parser.popInt64();
  link_do_bits_ = parser.popInt64();
  tool_do_bits_ = parser.popInt64();
  output_bit_registers_ = parser.popInt64();
  int16_registers_ = parser.popVectorInt16();
  robot_mode_ = parser.popRobotModeType();
  safety_mode_ = parser.popSafetyModeType();
  runtime_state_ = parser.popRuntimeState();
  status_packets_.fetch_add(1, std::memory_order_relaxed);
}

RobotStatus::RobotModeType RobotStatus::getRobotModeType() {
  std::lock_guard<std::mutex> lock(status_mutex_);
  return robot_mode_;
}

RobotStatus::SafetyModeType RobotStatus::getSafetyModeType() {
  std::lock_guard<std::mutex> lock(status_mutex_);
  return safety_mode_;
}

RobotStatus::RuntimeState RobotStatus::getRuntimeState() {
  std::lock_guard<std::mutex> lock(status_mutex_);
  return runtime_state_;
}

double RobotStatus::getSpeedFraction() {
  std::lock_guard<std::mutex> lock(status_mutex_);
  return speed_fraction_;
}

void RobotStatus::getJointPositions(std::vector<double>& out) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  out = joint_positions_;
}

void RobotStatus::getJointCurrents(std::vector<double>& out) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  out = joint_currents_;
}

void RobotStatus::getTcpPose(std::vector<double>& out) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  out = tcp_pose_;
}

void RobotStatus::getJointVoltages(std::vector<double>& out) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  out = joint_voltages_;
}

void RobotStatus::getJointTemperatures(std::vector<double>& out) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  out = joint_temperatures_;
}

void RobotStatus::getTcpSpeed(std::vector<double>& out) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  out = tcp_speed_;
}

// Caller holds status_mutex_. Entry i is channel i, least significant bit first.
void RobotStatus::unpackBits(int64_t bits, uint8_t count, std::vector<uint8_t>& out) {
  const uint64_t b = static_cast<uint64_t>(bits);
  for (uint8_t i = 0; i < count; ++i) out.push_back(i < 64 ? ((b >> i) & 1u) : 0);
}

void RobotStatus::getUserDI(std::vector<uint8_t>& out) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  unpackBits(standard_di_bits_, standard_di_num_, out);
}

void RobotStatus::getUserDO(std::vector<uint8_t>& out) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  unpackBits(standard_do_bits_, standard_do_num_, out);
}

void RobotStatus::getSafeDI(std::vector<uint8_t>& out) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  unpackBits(configurable_di_bits_, configurable_di_num_, out);
}

void RobotStatus::getSafeDO(std::vector<uint8_t>& out) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  unpackBits(configurable_do_bits_, configurable_do_num_, out);
}

void RobotStatus::getToolDO(std::vector<uint8_t>& out) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  unpackBits(tool_do_bits_, tool_do_num_, out);
}

void RobotStatus::getLinkDO(std::vector<uint8_t>& out) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  const uint32_t low = static_cast<uint32_t>(static_cast<uint64_t>(link_do_bits_));
  const uint8_t bytes[4] = {static_cast<uint8_t>(low), static_cast<uint8_t>(low >> 8),
                            static_cast<uint8_t>(low >> 16), static_cast<uint8_t>(low >> 24)};
  uint8_t bit_values[32];
  for (uint32_t k = 0; k < 32; ++k) bit_values[k] = readBitBuf(bytes, k);
  for (uint32_t k = 8; k <= 11; ++k) out.push_back(bit_values[k]);
}

bool RobotStatus::getBoolOutput(uint32_t index) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  if (index >= 64) return false;  // a shift past the 64-bit set is undefined
  return (static_cast<uint64_t>(output_bit_registers_) >> index) & 1u;
}

int16_t RobotStatus::getInt16Register(uint32_t index) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  if (index >= int16_registers_.size()) return 0;  // none delivered (yet) at that index
  return int16_registers_[index];
}

uint8_t RobotStatus::readBitBuf(const uint8_t* buffer, uint32_t bit) {
  return (buffer[bit / 8] >> (bit % 8)) & 1u;
}

// ---------------------------------------------------------------------------
// Write side

void RobotStatus::setInterfacePtr(
    std::shared_ptr<ryne::common_interface::RobotInterface> robot_interface,
    std::shared_ptr<ryne::common_interface::RuntimeMachine> runtime_machine,
    std::shared_ptr<ryne::common_interface::RegisterControl> register_control,
    std::shared_ptr<ryne::vemo_sdk::RtdeClient> rtde_client, bool reset_registers) {
  robot_interface_ = robot_interface;
  runtime_machine_ = runtime_machine;
  register_control_ = register_control;
  rtde_client_ = rtde_client;

  auto io = robot_interface_->getIoControl();
  standard_di_num_ = static_cast<uint8_t>(counted(io->getStandardDigitalInputNum()));
  standard_do_num_ = static_cast<uint8_t>(counted(io->getStandardDigitalOutputNum()));
  configurable_di_num_ = static_cast<uint8_t>(counted(io->getConfigurableDigitalInputNum()));
  configurable_do_num_ = static_cast<uint8_t>(counted(io->getConfigurableDigitalOutputNum()));
  tool_do_num_ = static_cast<uint8_t>(counted(io->getToolDigitalOutputNum()));

  // The controller is assumed to hold 0 for every output and register.
  pending_.size(tool_do_num_, standard_do_num_);
  if (reset_registers) initRegister();
}

void RobotStatus::initRegister(bool output_topic) {
  pending_.resetController(output_topic);
  drain();
}

void RobotStatus::setInput() {
  const int channel = counted(rtde_client_->setTopic(true, {"R1_standard_digital_output"}, 1.0, 0));
  counted(rtde_client_->publish(
      channel, [](ryne::vemo_sdk::OutputBuilder& builder) { builder.push(1, true); }));
  if (channel == -1) {
    LOG_INFO(UmxLog::getLogger(), "RTDE setTopic  Failed!");
  } else {
    LOG_INFO(UmxLog::getLogger(), "RTDE setTopic  Success!");
  }
}

void RobotStatus::beginCycle() {
  spent_ = {};
  unanswered_ = false;
  pending_.beginCycle();
}

void RobotStatus::drain() {
  PendingWrites::Write w;
  while (mayAsk() && spent_ < kWriteBudget && pending_.front(&w)) pending_.done(w, send(w));
}

PendingWrites::Outcome RobotStatus::send(const PendingWrites::Write& w) {
  using P = PendingWrites;
  auto outcome = [this](int code) {
    return code == 0 ? P::kTaken : (unanswered_ ? P::kUnanswered : P::kRefused);
  };
  const uint32_t i = w.index;
  switch (w.kind) {
    // The reset's results are not looked at: a register refused is not
    // asked again; one not answered is.
    case P::kResetBoolOutput:
      return outcome(asked([&] { return register_control_->setBoolOutput(i, false); }));
    case P::kResetBoolInput:
      return outcome(asked([&] { return register_control_->setBoolInput(i, false); }));
    case P::kResetInt32Input:
      return outcome(asked([&] { return register_control_->setInt32Input(i, 0); }));
    case P::kResetInt32Output:
      return outcome(asked([&] { return register_control_->setInt32Output(i, 0); }));
    case P::kOutputTopic: {
      // Set up once, as it goes: an RTDE call, which tells nothing of the RPC channel.
      const auto t0 = std::chrono::steady_clock::now();
      setInput();
      spent_ += std::chrono::steady_clock::now() - t0;
      return P::kTaken;
    }
    case P::kBoolInput: {
      const int code = asked([&] { return register_control_->setBoolInput(i, w.value != 0); });
      return taken("setBoolInput", i, w.value, code) ? P::kTaken : outcome(code);
    }
    case P::kInt16Register: {
      const auto v = static_cast<int16_t>(w.value);
      const int code = asked([&] { return register_control_->setInt16Register(i, v); });
      return taken("setInt16Register", i, w.value, code) ? P::kTaken : outcome(code);
    }
    case P::kToolOutput: {
      const int code =
          asked([&] { return robot_interface_->getIoControl()->setToolDigitalOutput(i, w.value); });
      return taken("setToolDigitalOutput", i, w.value, code) ? P::kTaken : outcome(code);
    }
    case P::kStandardOutput: {
      const int code = asked(
          [&] { return robot_interface_->getIoControl()->setStandardDigitalOutput(i, w.value); });
      return taken("setStandardDigitalOutput", i, w.value, code) ? P::kTaken : outcome(code);
    }
    case P::kSpeed: {
      const double fraction = w.value / kSpeedScale;
      last_speed_code_ =
          asked([&] { return robot_interface_->getMotionControl()->setSpeedFraction(fraction); });
      return outcome(last_speed_code_);
    }
    case P::kKinds:
      break;
  }
  return P::kTaken;
}

int RobotStatus::poweron() {
  auto mode = asked([&] { return robot_interface_->getRobotState()->getRobotModeType(); });
  if (mode == RobotModeType::Running) {
    LOG_INFO(UmxLog::getLogger(), "机械臂已松刹车，处于运行模式");
    return 0;
  }
  const int code = asked([&] { return robot_interface_->getRobotManage()->poweron(); });
  LOG_INFO(UmxLog::getLogger(), "机械臂正在上电");
  if (code == 0) textmsg(kSignal, kAddress, 2, "poweron");
  return code;
}

int RobotStatus::startup() {
  auto mode = asked([&] { return robot_interface_->getRobotState()->getRobotModeType(); });
  if (mode == RobotModeType::Running) {
    LOG_INFO(UmxLog::getLogger(), "机械臂已松刹车，处于运行模式");
    return 0;
  }
  const int code = asked([&] { return robot_interface_->getRobotManage()->startup(); });
  LOG_INFO(UmxLog::getLogger(), "机械臂正在松刹车");
  if (code == 0) textmsg(kSignal, kAddress, 3, "startup");
  return code;
}

// The log line comes first; the trace message only when the controller accepted.
int RobotStatus::programCommand(int code, const char* action, int32_t value) {
  if (code == 0) textmsg(kSignal, kAddress, value, action);
  return code;
}

int RobotStatus::runProgram() {
  LOG_INFO(UmxLog::getLogger(), "Run program");
  return programCommand(asked([&] { return runtime_machine_->runProgram(); }), "runProgram", 5);
}

int RobotStatus::pauseProgram() {
  LOG_INFO(UmxLog::getLogger(), "Pause program");
  return programCommand(asked([&] { return runtime_machine_->pause(); }), "pauseProgram", 6);
}

int RobotStatus::resumeProgram() {
  LOG_INFO(UmxLog::getLogger(), "Resume program");
  return programCommand(asked([&] { return runtime_machine_->resume(); }), "resumeProgram", 7);
}

int RobotStatus::stopProgram() {
  LOG_INFO(UmxLog::getLogger(), "Stop program");
  return programCommand(asked([&] { return runtime_machine_->stop(); }), "stopProgram", 8);
}

void RobotStatus::textmsg(const std::string& signal, int32_t addr, int32_t value,
                          const std::string& action) {
  const std::string text = "umx signal: " + signal + " addr: " + std::to_string(addr) +
                           " value: " + std::to_string(value) + " action: " + action;
  asked([&] { return robot_interface_->getTrace()->textmsg(text); });
}

// The write side runs on the exchange thread only and takes no lock: the
// status mutex is the SDK's delivery thread's, and a call held by a slow
// controller (up to its 5 s deadline) must not hold up the status stream.
int RobotStatus::setSpeedFraction(double fraction) {
  last_speed_code_ = 0;
  pending_.set(PendingWrites::kSpeed, 0, static_cast<int32_t>(std::lround(fraction * kSpeedScale)));
  drain();
  return last_speed_code_;
}

bool RobotStatus::taken(const char* call, uint32_t index, int32_t value, int code) {
  if (code == 0) return true;
  // One place, whatever the value: a controller that keeps refusing writes
  // a line now and then, not one per value and cycle.
  LOG_ERROR_TAGS(UmxLog::getLogger(), "#repeats #anytext",
                 "robot controller did not take {} {} {} (code {}); sent again in the next cycle",
                 call, index, value, code);
  return false;
}

RobotStatus::OperationalModeType RobotStatus::getOperationalMode() {
  return asked([&] { return robot_interface_->getRobotManage()->getOperationalMode(); });
}

// setUserDO walks the arm's output count and needs that many values;
// setToolDO walks the values given, at most the arm's count.
void RobotStatus::setUserDO(const std::vector<int32_t>& values) {
  for (uint8_t n = 0; n < standard_do_num_ && n < values.size(); ++n)
    pending_.set(PendingWrites::kStandardOutput, n, values[n]);
  drain();
}

void RobotStatus::setToolDO(const std::vector<uint8_t>& values) {
  for (uint8_t n = 0; n < tool_do_num_ && n < values.size(); ++n)
    pending_.set(PendingWrites::kToolOutput, n, values[n]);
  drain();
}

void RobotStatus::setBoolInput(uint32_t index, bool value) {
  pending_.set(PendingWrites::kBoolInput, index, value ? 1 : 0);
  drain();
}

void RobotStatus::setInt16Register(uint32_t index, int16_t value) {
  pending_.set(PendingWrites::kInt16Register, index, value);
  drain();
}

void RobotStatus::invalidateWrites() {
  pending_.forget();
}

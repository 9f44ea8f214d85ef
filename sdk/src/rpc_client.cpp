// RpcClient and the handles it hands out: each call is one request on the
// shared RPC channel.
#include "vemo_sdk/rpc_client.h"

#include "rpc_channel.h"
#include "vemo_sdk/io_control.h"
#include "vemo_sdk/motion_control.h"
#include "vemo_sdk/register_control.h"
#include "vemo_sdk/robot_interface.h"
#include "vemo_sdk/robot_manage.h"
#include "vemo_sdk/robot_state.h"
#include "vemo_sdk/runtime_machine.h"
#include "vemo_sdk/trace.h"

namespace ryne {
namespace vemo_sdk {

using nlohmann::json;

RpcClient::RpcClient(int /*mode*/) : channel_(std::make_shared<detail::RpcChannel>()) {}
RpcClient::~RpcClient() = default;

int RpcClient::connect(const std::string& ip, int port) {
  return channel_->connect(ip, port);
}
int RpcClient::disconnect() {
  return channel_->disconnect();
}
bool RpcClient::isConnected() const {
  return channel_->isConnected();
}
int RpcClient::login(const std::string& user, const std::string& password) {
  return channel_->login(user, password);
}
int RpcClient::setRequestTimeout(int milliseconds) {
  channel_->setTimeout(milliseconds);
  return 0;
}

std::vector<std::string> RpcClient::getRobotNames() {
  auto r = channel_->call("getRobotNames", "", json::array());
  std::vector<std::string> names;
  if (r.code != 0 || !r.result.is_array()) return names;
  for (auto& n : r.result)
    if (n.is_string()) names.push_back(n.get<std::string>());
  return names;
}

common_interface::RobotInterfacePtr RpcClient::getRobotInterface(const std::string& name) {
  return std::make_shared<common_interface::RobotInterface>(channel_, name);
}
common_interface::RuntimeMachinePtr RpcClient::getRuntimeMachine() {
  return std::make_shared<common_interface::RuntimeMachine>(channel_);
}
common_interface::RegisterControlPtr RpcClient::getRegisterControl() {
  return std::make_shared<common_interface::RegisterControl>(channel_);
}

}  // namespace vemo_sdk

namespace common_interface {

using nlohmann::json;
using vemo_sdk::RpcChannelPtr;

RobotInterface::RobotInterface(RpcChannelPtr channel, std::string robot)
    : channel_(std::move(channel)),
      robot_(std::move(robot)),
      io_control_(std::make_shared<IoControl>(channel_, robot_)),
      robot_state_(std::make_shared<RobotState>(channel_, robot_)),
      robot_manage_(std::make_shared<RobotManage>(channel_, robot_)),
      motion_control_(std::make_shared<MotionControl>(channel_, robot_)),
      trace_(std::make_shared<Trace>(channel_, robot_)) {}
IoControlPtr RobotInterface::getIoControl() { return io_control_; }
RobotStatePtr RobotInterface::getRobotState() { return robot_state_; }
RobotManagePtr RobotInterface::getRobotManage() { return robot_manage_; }
MotionControlPtr RobotInterface::getMotionControl() { return motion_control_; }
TracePtr RobotInterface::getTrace() { return trace_; }

namespace {
// Counts are small and non-negative; anything else means no answer.
int count(vemo_sdk::detail::RpcChannel& ch, const char* method, const std::string& robot) {
  int64_t v = ch.integer(method, robot, 0);
  return (v < 0 || v > 4096) ? 0 : static_cast<int>(v);
}
template <typename E>
E mode(vemo_sdk::detail::RpcChannel& ch, const char* method, const std::string& robot, E fallback) {
  int64_t v = ch.integer(method, robot, static_cast<int64_t>(fallback));
  if (v < INT32_MIN || v > INT32_MAX) return fallback;
  return static_cast<E>(static_cast<int32_t>(v));
}
}  // namespace

IoControl::IoControl(RpcChannelPtr channel, std::string robot)
    : channel_(std::move(channel)), robot_(std::move(robot)) {}
int IoControl::getStandardDigitalInputNum() {
  return count(*channel_, "getStandardDigitalInputNum", robot_);
}
int IoControl::getStandardDigitalOutputNum() {
  return count(*channel_, "getStandardDigitalOutputNum", robot_);
}
int IoControl::getConfigurableDigitalInputNum() {
  return count(*channel_, "getConfigurableDigitalInputNum", robot_);
}
int IoControl::getConfigurableDigitalOutputNum() {
  return count(*channel_, "getConfigurableDigitalOutputNum", robot_);
}
int IoControl::getToolDigitalOutputNum() {
  return count(*channel_, "getToolDigitalOutputNum", robot_);
}
int IoControl::setStandardDigitalOutput(int index, bool value) {
  return channel_->code("setStandardDigitalOutput", robot_, json::array({index, value}));
}
int IoControl::setToolDigitalOutput(int index, bool value) {
  return channel_->code("setToolDigitalOutput", robot_, json::array({index, value}));
}
int IoControl::setConfigurableDigitalOutput(int index, bool value) {
  return channel_->code("setConfigurableDigitalOutput", robot_, json::array({index, value}));
}

RobotState::RobotState(RpcChannelPtr channel, std::string robot)
    : channel_(std::move(channel)), robot_(std::move(robot)) {}
RobotModeType RobotState::getRobotModeType() {
  return mode(*channel_, "getRobotModeType", robot_, RobotModeType::NoController);
}
SafetyModeType RobotState::getSafetyModeType() {
  return mode(*channel_, "getSafetyModeType", robot_, SafetyModeType::Undefined);
}

RobotManage::RobotManage(RpcChannelPtr channel, std::string robot)
    : channel_(std::move(channel)), robot_(std::move(robot)) {}
int RobotManage::poweron() {
  return channel_->code("poweron", robot_, json::array());
}
int RobotManage::poweroff() {
  return channel_->code("poweroff", robot_, json::array());
}
int RobotManage::startup() {
  return channel_->code("startup", robot_, json::array());
}
OperationalModeType RobotManage::getOperationalMode() {
  return mode(*channel_, "getOperationalMode", robot_, OperationalModeType::Disabled);
}

MotionControl::MotionControl(RpcChannelPtr channel, std::string robot)
    : channel_(std::move(channel)), robot_(std::move(robot)) {}
int MotionControl::setSpeedFraction(double fraction) {
  return channel_->code("setSpeedFraction", robot_, json::array({fraction}));
}

Trace::Trace(RpcChannelPtr channel, std::string robot)
    : channel_(std::move(channel)), robot_(std::move(robot)) {}
int Trace::textmsg(const std::string& text) {
  return channel_->code("textmsg", robot_, json::array({text}));
}

RuntimeMachine::RuntimeMachine(RpcChannelPtr channel) : channel_(std::move(channel)) {}
int RuntimeMachine::runProgram() {
  return channel_->code("runProgram", "", json::array());
}
int RuntimeMachine::pause() {
  return channel_->code("pause", "", json::array());
}
int RuntimeMachine::resume() {
  return channel_->code("resume", "", json::array());
}
int RuntimeMachine::stop() {
  return channel_->code("stop", "", json::array());
}
RuntimeState RuntimeMachine::getRuntimeState() {
  return mode(*channel_, "getRuntimeState", "", RuntimeState::Unknown);
}

RegisterControl::RegisterControl(RpcChannelPtr channel) : channel_(std::move(channel)) {}
int RegisterControl::setBoolInput(uint32_t index, bool value) {
  return channel_->code("setBoolInput", "", json::array({index, value}));
}
int RegisterControl::setBoolOutput(uint32_t index, bool value) {
  return channel_->code("setBoolOutput", "", json::array({index, value}));
}
int RegisterControl::setInt32Input(uint32_t index, int value) {
  return channel_->code("setInt32Input", "", json::array({index, value}));
}
int RegisterControl::setInt32Output(uint32_t index, int value) {
  return channel_->code("setInt32Output", "", json::array({index, value}));
}
int RegisterControl::setInt16Register(uint32_t index, int16_t value) {
  return channel_->code("setInt16Register", "", json::array({index, value}));
}

}  // namespace common_interface
}  // namespace ryne

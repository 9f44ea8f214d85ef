#include "arm_model.h"

#include <algorithm>
#include <cmath>

#include "status_topics.h"

namespace robot_sim {

namespace {
enum : int32_t {
  kBooting = 2,
  kPowerOff = 3,
  kPowerOn = 4,
  kIdle = 5,
  kReleasing = 6,
  kRunning = 8
};
enum : int32_t { kRtRunning = 0, kRtPausing = 2, kRtPaused = 3, kRtStopping = 5, kRtStopped = 6 };
}  // namespace

ArmModel::ArmModel(ArmConfig config) : config_(config) {
  move(0.0);
}

void ArmModel::schedule(Clock::time_point at, bool robot, int32_t value) {
  steps_.push_back(Step{at, robot, value});
}

void ArmModel::cancel(bool robot) {
  steps_.erase(
      std::remove_if(steps_.begin(), steps_.end(), [&](const Step& s) { return s.robot == robot; }),
      steps_.end());
  if (robot) release_after_poweron_ = false;
}

bool ArmModel::pending(bool robot) const {
  return std::any_of(steps_.begin(), steps_.end(), [&](const Step& s) { return s.robot == robot; });
}

void ArmModel::advance(Clock::time_point now) {
  if (last_ == Clock::time_point{}) last_ = now;
  // Steps are kept in time order per field; apply those due, oldest first.
  std::stable_sort(steps_.begin(), steps_.end(),
                   [](const Step& a, const Step& b) { return a.at < b.at; });
  while (!steps_.empty() && steps_.front().at <= now) {
    Step st = steps_.front();
    steps_.erase(steps_.begin());
    if (st.at > last_ && s_.runtime_state == kRtRunning)
      move(std::chrono::duration<double>(st.at - last_).count());
    if (st.at > last_) last_ = st.at;
    if (st.robot) {
      s_.robot_mode = st.value;
      if (st.value == kIdle && release_after_poweron_) {
        release_after_poweron_ = false;
        s_.robot_mode = kReleasing;
        schedule(st.at + std::chrono::milliseconds(config_.step_ms), true, kRunning);
        std::stable_sort(steps_.begin(), steps_.end(),
                         [](const Step& a, const Step& b) { return a.at < b.at; });
      }
    } else {
      s_.runtime_state = st.value;
    }
  }
  if (now > last_) {
    if (s_.runtime_state == kRtRunning) move(std::chrono::duration<double>(now - last_).count());
    last_ = now;
  }
}

// Smooth joint motion, scaled by the speed fraction; the TCP pose follows a
// simple planar chain so that it moves with the joints.
void ArmModel::move(double dt) {
  auto& q = s_.joint_positions;
  phase_ += dt * std::max(0.0, s_.speed_fraction);
  for (size_t i = 0; i < q.size(); ++i)
    q[i] += dt * s_.speed_fraction * 0.3 * std::cos(phase_ + 0.7 * i);
  std::vector<double> pose = s_.tcp_pose;
  pose.resize(6, 0.0);
  auto at = [&](size_t i) { return i < q.size() ? q[i] : 0.0; };
  const double reach = 0.425 * std::cos(at(1)) + 0.392 * std::cos(at(1) + at(2));
  pose[0] = reach * std::cos(at(0));
  pose[1] = reach * std::sin(at(0));
  pose[2] = 0.163 + 0.425 * std::sin(at(1)) + 0.392 * std::sin(at(1) + at(2));
  pose[3] = at(3);
  pose[4] = at(4);
  pose[5] = at(5);
  if (dt > 0.0) {
    s_.tcp_speed.assign(6, 0.0);
    for (size_t i = 0; i < 6 && i < s_.tcp_pose.size(); ++i)
      s_.tcp_speed[i] = (pose[i] - s_.tcp_pose[i]) / dt;
  }
  s_.tcp_pose = pose;
}

int ArmModel::poweron(Clock::time_point now) {
  if (s_.robot_mode != kPowerOff && s_.robot_mode != kPowerOn) return kOk;  // already on
  if (pending(true)) return kOk;
  const auto step = std::chrono::milliseconds(config_.step_ms);
  s_.robot_mode = kBooting;
  schedule(now + step, true, kPowerOn);
  schedule(now + 2 * step, true, kIdle);
  return kOk;
}

int ArmModel::poweroff(Clock::time_point) {
  cancel(true);
  s_.robot_mode = kPowerOff;
  return kOk;
}

int ArmModel::startup(Clock::time_point now) {
  if (s_.robot_mode == kRunning || s_.robot_mode == kReleasing) return kOk;
  if (s_.robot_mode == kIdle && !pending(true)) {
    s_.robot_mode = kReleasing;
    schedule(now + std::chrono::milliseconds(config_.step_ms), true, kRunning);
    return kOk;
  }
  if (pending(true)) {  // powering on: release once idle
    release_after_poweron_ = true;
    return kOk;
  }
  return kNotPowered;
}

int ArmModel::runProgram(Clock::time_point) {
  cancel(false);
  s_.runtime_state = kRtRunning;
  return kOk;
}

int ArmModel::pause(Clock::time_point now) {
  cancel(false);
  s_.runtime_state = kRtPausing;
  schedule(now + std::chrono::milliseconds(config_.step_ms), false, kRtPaused);
  return kOk;
}

int ArmModel::resume(Clock::time_point) {
  cancel(false);
  s_.runtime_state = kRtRunning;
  return kOk;
}

int ArmModel::stop(Clock::time_point now) {
  cancel(false);
  s_.runtime_state = kRtStopping;
  schedule(now + std::chrono::milliseconds(config_.step_ms), false, kRtStopped);
  s_.tcp_speed.assign(s_.tcp_speed.size(), 0.0);
  return kOk;
}

int ArmModel::setBit(int64_t& bits, int count, int64_t index, bool value) {
  if (index < 0 || index >= count || index >= 64) return kBadArgument;
  const uint64_t mask = uint64_t(1) << index;
  uint64_t b = static_cast<uint64_t>(bits);
  b = value ? (b | mask) : (b & ~mask);
  bits = static_cast<int64_t>(b);
  return kOk;
}

void ArmModel::overrideMode(const std::string& field, int32_t value) {
  if (field == "robot_mode") {
    cancel(true);
    s_.robot_mode = value;
  } else if (field == "runtime_state") {
    cancel(false);
    s_.runtime_state = value;
  } else if (field == "safety_mode") {
    s_.safety_mode = value;
  } else if (field == "operational_mode") {
    s_.operational_mode = value;
  }
}

bool ArmModel::isStatusTopic(const std::string& name) {
  for (const char* t : kStatusTopics)
    if (name == t) return true;
  return false;
}

bool ArmModel::isOutputTopic(const std::string& name) {
  return name == "R1_standard_digital_output" || name == "R1_tool_digital_output" ||
         name == "R1_configurable_digital_output" || name == "input_bit_registers_0_to_63";
}

void ArmModel::putTopic(const std::string& n, ryne::vemo_sdk::wire::DataWriter& w) const {
  if (n == "R1_actual_q") return w.putVectorDouble(s_.joint_positions);
  if (n == "R1_actual_current") return w.putVectorDouble(s_.joint_currents);
  if (n == "R1_actual_TCP_pose") return w.putVectorDouble(s_.tcp_pose);
  if (n == "R1_actual_joint_voltage") return w.putVectorDouble(s_.joint_voltages);
  if (n == "R1_joint_temperatures") return w.putVectorDouble(s_.joint_temperatures);
  if (n == "R1_actual_TCP_speed") return w.putVectorDouble(s_.tcp_speed);
  if (n == "R1_target_speed_fraction") return w.putDouble(s_.speed_fraction);
  if (n == "R1_standard_digital_input_bits") return w.putInt64(s_.standard_di_bits);
  if (n == "R1_standard_digital_output_bits") return w.putInt64(s_.standard_do_bits);
  if (n == "R1_configurable_digital_input_bits") return w.putInt64(s_.configurable_di_bits);
  if (n == "R1_configurable_digital_output_bits") return w.putInt64(s_.configurable_do_bits);
  if (n == "R1_link_digital_output_bits") return w.putInt64(s_.link_do_bits);
  if (n == "R1_tool_digital_output_bits") return w.putInt64(s_.tool_do_bits);
  if (n == "output_bit_registers_0_to_63") return w.putInt64(s_.output_bit_registers);
  if (n == "input_int16_registers_0_to_63") return w.putVectorInt16(s_.int16_registers);
  if (n == "R1_robot_mode") return w.putInt32(s_.robot_mode);
  if (n == "R1_safety_mode") return w.putInt32(s_.safety_mode);
  if (n == "runtime_state") return w.putInt32(s_.runtime_state);
}

void ArmModel::applyOutput(const std::string& topic, int index, bool value) {
  if (topic == "R1_standard_digital_output")
    setBit(s_.standard_do_bits, config_.standard_do, index, value);
  else if (topic == "R1_tool_digital_output")
    setBit(s_.tool_do_bits, config_.tool_do, index, value);
  else if (topic == "R1_configurable_digital_output")
    setBit(s_.configurable_do_bits, config_.configurable_do, index, value);
  else if (topic == "input_bit_registers_0_to_63")
    setBit(s_.input_bit_registers, 64, index, value);
}

}  // namespace robot_sim

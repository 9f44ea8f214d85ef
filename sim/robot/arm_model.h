#pragma once
// The simulated arm: modes with their timed sequences, joint motion while a
// program runs, I/O bits and registers. Time is passed in, so the model is
// driven entirely by the simulator's event loop.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "vemo_sdk/wire.h"

namespace robot_sim {

using Clock = std::chrono::steady_clock;

struct ArmConfig {
  int standard_di = 16;
  int standard_do = 16;
  int configurable_di = 16;
  int configurable_do = 16;
  int tool_do = 4;
  int step_ms = 300;  // duration of one step of a mode sequence
};

struct ArmState {
  int32_t robot_mode = 3;
  int32_t safety_mode = 1;
  int32_t runtime_state = 6;
  int32_t operational_mode = 1;
  double speed_fraction = 1.0;
  std::vector<double> joint_positions{0.0, -1.57, 1.57, -1.57, -1.57, 0.0};
  std::vector<double> joint_currents{0.1, 0.8, 0.6, 0.2, 0.1, 0.05};
  std::vector<double> joint_voltages{48.0, 48.0, 48.0, 48.0, 48.0, 48.0};
  std::vector<double> joint_temperatures{31.0, 32.5, 32.0, 30.5, 30.0, 29.5};
  std::vector<double> tcp_pose{0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  std::vector<double> tcp_speed{0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  int64_t standard_di_bits = 0;
  int64_t standard_do_bits = 0;
  int64_t configurable_di_bits = 0;
  int64_t configurable_do_bits = 0;
  int64_t tool_do_bits = 0;
  int64_t link_do_bits = 0;
  int64_t output_bit_registers = 0;
  int64_t input_bit_registers = 0;
  std::vector<int16_t> int16_registers = std::vector<int16_t>(64, 0);
  std::vector<int32_t> int32_inputs = std::vector<int32_t>(32, 0);
  std::vector<int32_t> int32_outputs = std::vector<int32_t>(32, 0);
};

// Codes the simulated controller answers with.
enum : int { kOk = 0, kBadArgument = 1, kNotPowered = 2, kUnknownMethod = 3, kUnknownRobot = 4 };

class ArmModel {
 public:
  explicit ArmModel(ArmConfig config);

  // Applies the mode steps that fell due and moves the joints up to `now`.
  void advance(Clock::time_point now);

  int poweron(Clock::time_point now);
  int poweroff(Clock::time_point now);
  int startup(Clock::time_point now);
  int runProgram(Clock::time_point now);
  int pause(Clock::time_point now);
  int resume(Clock::time_point now);
  int stop(Clock::time_point now);

  int setBit(int64_t& bits, int count, int64_t index, bool value);
  // Overrides of a mode field cancel its pending steps.
  void overrideMode(const std::string& field, int32_t value);

  static bool isStatusTopic(const std::string& name);
  static bool isOutputTopic(const std::string& name);
  void putTopic(const std::string& name, ryne::vemo_sdk::wire::DataWriter& w) const;
  // An output packet's pair for one of the output topics.
  void applyOutput(const std::string& topic, int index, bool value);

  const ArmConfig& config() const { return config_; }
  ArmState& state() { return s_; }

 private:
  struct Step {
    Clock::time_point at;
    bool robot;  // robot mode, else runtime state
    int32_t value;
  };
  void schedule(Clock::time_point at, bool robot, int32_t value);
  void cancel(bool robot);
  bool pending(bool robot) const;
  void move(double dt);

  ArmConfig config_;
  ArmState s_;
  std::vector<Step> steps_;
  bool release_after_poweron_ = false;
  Clock::time_point last_{};
  double phase_ = 0.0;
};

}  // namespace robot_sim

#pragma once
// The status topics the simulated controller streams, in the order the
// service subscribes to them: a client subscribing to the whole list gets
// six joint or TCP vectors, the speed fraction, seven bit words, the int16
// registers and the three modes, in that order.
#include <array>

namespace robot_sim {

inline constexpr std::array<const char*, 18> kStatusTopics = {
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

}  // namespace robot_sim

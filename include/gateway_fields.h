#pragma once
// Every value the PLC sees on the gateway, described once: its name, which
// way it travels, its Modbus table and address in each layout, its type,
// encoding, scale and unit. The tag export for the PLC programmer, the live
// PLC view and the README's tables are made from it (the exchange cycle
// writes by the same addresses, gateway_map.h), so the PLC's import cannot
// drift from what the cycle writes. Header only: the gateway simulator uses
// it too.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "gateway_map.h"

namespace gateway_map {

enum class Table { kCoil, kDiscreteInput, kInputRegister, kHoldingRegister };
enum class Direction { kRobotToPlc, kPlcToRobot };
enum class Type { kBool, kInt, kUint, kWord, kReal };

struct Field {
  std::string name;  // an IEC 61131-3 identifier, the same in every layout
  Direction direction;
  Table table;
  int address;            // 0-based; with protocolType other than 3
  int address3;           // with protocolType 3
  bool in_command_block;  // address is relative to pnRegisterNumber
  Type type;
  double scale;  // stored number times scale is the value in `unit`
  const char* unit;
  std::string description;
};

inline const char* tableName(Table t) {
  switch (t) {
    case Table::kCoil:
      return "coil";
    case Table::kDiscreteInput:
      return "discrete_input";
    case Table::kInputRegister:
      return "input_register";
    case Table::kHoldingRegister:
      return "holding_register";
  }
  return "";
}

inline const char* typeName(Type t) {
  switch (t) {
    case Type::kBool:
      return "BOOL";
    case Type::kInt:
      return "INT";
    case Type::kUint:
      return "UINT";
    case Type::kWord:
      return "WORD";
    case Type::kReal:
      return "REAL";
  }
  return "";
}

// How the cycle lays a value's bytes into its registers, A the most
// significant byte, the first register's high byte first: a word is
// byte-exchanged unless littleEndian; a float is its low word first
// (littleEndian) or all four bytes reversed.
inline const char* encodingOf(Type t, bool little_endian) {
  if (t == Type::kBool) return "";
  if (t == Type::kReal) return little_endian ? "CDAB" : "BADC";
  return little_endian ? "AB" : "BA";
}

inline int addressOf(const Field& f, int protocol_type, int command_register) {
  if (f.in_command_block) return command_register + f.address;
  return protocol_type == 3 ? f.address3 : f.address;
}

// Registers a value takes.
inline int registersOf(Type t) {
  return t == Type::kBool ? 0 : t == Type::kReal ? 2 : 1;
}

// Every field, by table, then by address in the default layout.
inline const std::vector<Field>& fields() {
  static const std::vector<Field> all = [] {
    std::vector<Field> v;
    const auto out = Direction::kRobotToPlc;
    const auto in = Direction::kPlcToRobot;
    auto two = [](int k) { return (k < 10 ? "0" : "") + std::to_string(k); };
    auto add = [&v](std::string name, Direction d, Table t, int a, int a3, Type type,
                    std::string description, const char* unit = "", double scale = 1.0,
                    bool command = false) {
      v.push_back(
          Field{std::move(name), d, t, a, a3, command, type, scale, unit, std::move(description)});
    };
    // Coils: the robot's bool outputs, then the status bits.
    for (int k = 0; k < kRobotBitsCount; ++k)
      add("ROBOT_BOOL_OUT_" + two(k), out, Table::kCoil, kRobotBitsStart + k, kRobotBitsStart + k,
          Type::kBool, "robot bool output register " + std::to_string(k));
    for (int k = 0; k < kSafeInputPairs; ++k)
      add("CONF_IN_PAIR_" + std::to_string(k), out, Table::kCoil, kSafeInputPairsCoil + k,
          kSafeInputPairsCoil + k, Type::kBool,
          "configurable input " + std::to_string(k) + " OR configurable input " +
              std::to_string(k + 8) + " (only with more than 8 configurable inputs)");
    for (int k = 0; k < kSafeOutputPairs; ++k)
      add("CONF_OUT_PAIR_" + std::to_string(k), out, Table::kCoil, kSafeOutputPairsCoil + k,
          kSafeOutputPairsCoil + k, Type::kBool,
          "configurable output " + std::to_string(k) + " OR configurable output " +
              std::to_string(k + 8));
    add("PROGRAM_RUNNING", out, Table::kCoil, kProgramRunningCoil, kProgramRunningCoil, Type::kBool,
        "program running: runtime state 0");
    add("PROGRAM_STOPPED", out, Table::kCoil, kProgramStoppedCoil, kProgramStoppedCoil, Type::kBool,
        "program stopped: runtime state 5 or 6");
    add("PROGRAM_PAUSED", out, Table::kCoil, kProgramPausedCoil, kProgramPausedCoil, Type::kBool,
        "program paused: runtime state 2 or 3");
    for (int k = 0; k < kStandardChannels; ++k)
      add("STD_IN_" + two(k), out, Table::kCoil, kStandardInputsCoil + k, kStandardInputsCoil + k,
          Type::kBool, "standard digital input " + std::to_string(k));
    for (int k = 0; k < kStandardChannels; ++k)
      add("STD_OUT_" + two(k), out, Table::kCoil, kStandardOutputsCoil + k,
          kStandardOutputsCoil + k, Type::kBool, "standard digital output " + std::to_string(k));
    for (int k = 0; k < kToolChannels; ++k)
      add("TOOL_OUT_" + std::to_string(k), out, Table::kCoil, kToolOutputsCoil + k,
          kToolOutputsCoil + k, Type::kBool, "tool digital output " + std::to_string(k));
    // Discrete inputs: the PLC's bits to the robot.
    for (int k = 0; k < kPlcBitsCount; ++k)
      add("PLC_BOOL_IN_" + two(k), in, Table::kDiscreteInput, kPlcBitsStart + k, kPlcBitsStart + k,
          Type::kBool, "robot bool input register " + std::to_string(k));
    // Input registers: the PLC's words, then the command block.
    for (int k = 0; k < kPlcRegistersCount; ++k)
      add("PLC_INT16_" + two(k), in, Table::kInputRegister, kPlcRegistersStart + k,
          kPlcRegistersStart + k, Type::kInt, "robot int16 register " + std::to_string(k));
    add("CMD_WORD", in, Table::kInputRegister, kCommandWord, kCommandWord, Type::kUint,
        "command word: 2 power on, 3 release brakes, 5 run, 6 pause, 7 resume, 8 stop the "
        "program; write 0 first, then the code",
        "", 1.0, true);
    add("CMD_SPEED", in, Table::kInputRegister, kSpeedWord, kSpeedWord, Type::kUint,
        "speed in percent: 1..100 sets the speed fraction; 0 and above 100 change nothing", "%",
        1.0, true);
    add("CMD_OUTPUTS_LOW", in, Table::kInputRegister, kOutputsLowWord, kOutputsLowWord, Type::kWord,
        "bits 0..3 tool outputs 0..3; bits 8..15 standard outputs 0..7", "", 1.0, true);
    add("CMD_OUTPUTS_HIGH", in, Table::kInputRegister, kOutputsHighWord, kOutputsHighWord,
        Type::kWord, "bits 0..7 standard outputs 8..15", "", 1.0, true);
    // Holding registers: the robot's int16 registers, then the status block.
    for (int k = 0; k < kRobotRegistersCount; ++k)
      add("ROBOT_INT16_" + std::to_string(kRobotRegistersFirstSource + k), out,
          Table::kHoldingRegister, kRobotRegistersStart + k, kRobotRegistersStart + k, Type::kInt,
          "robot int16 register " + std::to_string(kRobotRegistersFirstSource + k));
    const StatusLayout& a = kDefaultLayout;
    const StatusLayout& b = kProtocol3Layout;
    const char* const kPose[] = {"X", "Y", "Z", "RX", "RY", "RZ"};
    for (int k = 0; k < kPoseElements; ++k)
      add(std::string("TCP_POSE_") + kPose[k], out, Table::kHoldingRegister, a.tcp_pose + 2 * k,
          b.tcp_pose + 2 * k, Type::kReal,
          std::string("TCP pose, element ") + std::to_string(k) + " (" + kPose[k] + ")",
          k < 3 ? "m" : "rad");
    for (int k = 0; k < kJoints; ++k)
      add("JOINT_POSITION_" + std::to_string(k), out, Table::kHoldingRegister, a.joints + 2 * k,
          b.joints + 2 * k, Type::kReal, "joint position, joint " + std::to_string(k), "rad");
    add("HEARTBEAT", out, Table::kHoldingRegister, a.heartbeat, b.heartbeat, Type::kUint,
        "heartbeat word: counts up every 3 s from 1 (4 s while the Modbus link is blocking), "
        "after 65535 continues at 1");
    add("SPEED_PERCENT", out, Table::kHoldingRegister, a.speed_percent, b.speed_percent,
        Type::kUint, "speed fraction as a whole percentage", "%");
    add("TCP_SPEED", out, Table::kHoldingRegister, a.tcp_speed, b.tcp_speed, Type::kInt,
        "TCP speed element 0, truncated", "m/s");
    add("ROBOT_MODE", out, Table::kHoldingRegister, a.robot_mode, b.robot_mode, Type::kUint,
        "robot mode: 0 no controller, 1 confirming safety, 2 booting, 3 power off, 4 power on, "
        "5 idle, 6 releasing brakes, 7 back-drive, 8 running, 9 maintenance");
    add("SAFETY_MODE", out, Table::kHoldingRegister, a.safety_mode, b.safety_mode, Type::kUint,
        "safety mode: 0 undefined, 1 normal, 2 reduced, 3 protective stop, 4 recovery, 5 "
        "safeguard stop, 6 system emergency stop, 7 robot emergency stop, 8 violation, 9 fault");
    for (int k = 0; k < kJoints; ++k)
      add("JOINT_CURRENT_" + std::to_string(k), out, Table::kHoldingRegister, a.currents + k,
          b.currents + k, Type::kInt, "joint current, joint " + std::to_string(k) + ", truncated",
          "A");
    for (int k = 0; k < kJoints; ++k)
      add("JOINT_VOLTAGE_" + std::to_string(k), out, Table::kHoldingRegister, a.voltages + k,
          b.voltages + k, Type::kInt, "joint voltage, joint " + std::to_string(k) + ", truncated",
          "V");
    for (int k = 0; k < kJoints; ++k)
      add("JOINT_TEMPERATURE_" + std::to_string(k), out, Table::kHoldingRegister,
          a.temperatures + k, b.temperatures + k, Type::kInt,
          "joint temperature, joint " + std::to_string(k) + ", truncated", "degC");
    return v;
  }();
  return all;
}

// The field named `name`; null when there is none.
inline const Field* fieldNamed(std::string_view name) {
  for (const auto& f : fields())
    if (f.name == name) return &f;
  return nullptr;
}

// A value as the PLC reads it from the field's registers (`regs`, as many as
// the type takes), by the type and the encoding of `little_endian`; the
// stored number times the scale. Not for BOOL.
inline double decodeRegisters(const Field& f, const uint16_t* regs, bool little_endian) {
  const char* enc = encodingOf(f.type, little_endian);
  const size_t n = std::strlen(enc);
  uint32_t u = 0;
  for (size_t k = 0; k < n; ++k) {
    const uint16_t reg = regs[k / 2];
    const uint8_t byte = static_cast<uint8_t>(k % 2 == 0 ? reg >> 8 : reg);
    u |= static_cast<uint32_t>(byte) << (8 * (n - 1 - static_cast<size_t>(enc[k] - 'A')));
  }
  double value = u;
  if (f.type == Type::kReal) {
    float x;
    std::memcpy(&x, &u, sizeof x);
    value = x;
  } else if (f.type == Type::kInt) {
    value = static_cast<int16_t>(u);
  }
  return value * f.scale;
}

}  // namespace gateway_map

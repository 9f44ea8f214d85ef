#pragma once
// The gateway data map: every coil, discrete input and register the service
// reads or writes. The exchange cycle writes by it, the live PLC view decodes
// by it, and a test holds the README's tables to it, so the three agree.
namespace gateway_map {

// The transactions of one cycle, in order.
constexpr int kStatusBitsStart = 64;  // coils 64..127: status bits
constexpr int kStatusBitsCount = 64;
constexpr int kStatusBlockStart = 32;  // holding registers 32..131: status block
constexpr int kStatusBlockCount = 100;
constexpr int kPlcBitsStart = 0;  // discrete inputs 0..63 -> robot bool inputs 0..63
constexpr int kPlcBitsCount = 64;
constexpr int kRobotBitsStart = 0;  // coils 0..63 <- robot bool outputs 0..63
constexpr int kRobotBitsCount = 64;
constexpr int kPlcRegistersStart = 0;  // input registers 0..31 -> robot int16 registers 0..31
constexpr int kPlcRegistersCount = 32;
constexpr int kRobotRegistersStart = 0;  // holding registers 0..31 <- robot int16 registers 32..63
constexpr int kRobotRegistersCount = 32;
constexpr int kRobotRegistersFirstSource = 32;
constexpr int kCommandBlockCount = 8;  // input registers from pnRegisterNumber

// Written once at start: the settings block, in a request that covers 64 registers.
constexpr int kSettingsStart = 256;
constexpr int kSettingsWords = 32;
constexpr int kSettingsWriteCount = 64;

// Status coils.
constexpr int kSafeInputPairsCoil = 64;   // 64..71: configurable input k OR k+8
constexpr int kSafeOutputPairsCoil = 72;  // 72..77: configurable output k OR k+8
constexpr int kSafeInputPairs = 8;
constexpr int kSafeOutputPairs = 6;
constexpr int kProgramRunningCoil = 82;    // runtime state 0
constexpr int kProgramStoppedCoil = 83;    // runtime state 5 or 6
constexpr int kProgramPausedCoil = 84;     // runtime state 2 or 3
constexpr int kStandardInputsCoil = 88;    // 88..103
constexpr int kStandardOutputsCoil = 104;  // 104..119
constexpr int kToolOutputsCoil = 120;      // 120..123
constexpr int kStandardChannels = 16;
constexpr int kToolChannels = 4;

// Status block: the first holding register of each value.
struct StatusLayout {
  int tcp_pose;       // 6 float pairs
  int joints;         // 6 float pairs
  int heartbeat;      // 16-bit word
  int speed_percent;  // 16-bit word
  int tcp_speed;      // 16-bit word, element 0 truncated
  int robot_mode;     // 16-bit word
  int safety_mode;    // 16-bit word
  int currents;       // 6 truncated words
  int voltages;       // 6 truncated words
  int temperatures;   // 6 truncated words
};
constexpr int kPoseElements = 6;
constexpr int kJoints = 6;
constexpr StatusLayout kDefaultLayout{32, 44, 57, 58, 59, 60, 61, 64, 70, 76};
constexpr StatusLayout kProtocol3Layout{32, 47, 45, 59, 60, 61, 62, 64, 70, 76};
// protocolType 3 selects the second layout, any other value the first.
constexpr const StatusLayout& statusLayout(int protocol_type) {
  return protocol_type == 3 ? kProtocol3Layout : kDefaultLayout;
}

// Robot modes as the status block carries them (0..9).
constexpr const char* robotModeName(int mode) {
  constexpr const char* kNames[] = {"NoController", "ConfirmSafety", "Booting",        "PowerOff",
                                    "PowerOn",      "Idle",          "BrakeReleasing", "BackDrive",
                                    "Running",      "Maintenance"};
  return mode >= 0 && mode < 10 ? kNames[mode] : "?";
}

// Command block words (from pnRegisterNumber).
constexpr int kCommandWord = 0;
constexpr int kSpeedWord = 1;
constexpr int kOutputsLowWord = 2;   // bits 0..3 tool outputs, bits 8..15 standard outputs 0..7
constexpr int kOutputsHighWord = 3;  // bits 0..7 standard outputs 8..15

// Command word codes; every other value executes nothing.
constexpr int kCommandPowerOn = 2;
constexpr int kCommandBrakeRelease = 3;
constexpr int kCommandRunProgram = 5;
constexpr int kCommandPauseProgram = 6;
constexpr int kCommandResumeProgram = 7;
constexpr int kCommandStopProgram = 8;

}  // namespace gateway_map

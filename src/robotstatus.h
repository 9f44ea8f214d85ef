#pragma once
// The service's one link to the robot arm: a cache of the arm's live state,
// fed by the controller's real-time stream on the SDK's thread and read by the
// scheduler through the getters; and the write side, forwarding commands and
// output and register writes to the controller, each write sent only when it
// differs from the last value sent.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "robot_sdk.h"

class RobotStatus {
 public:
  using RobotModeType = ryne::common_interface::RobotModeType;
  using SafetyModeType = ryne::common_interface::SafetyModeType;
  using RuntimeState = ryne::common_interface::RuntimeState;
  using OperationalModeType = ryne::common_interface::OperationalModeType;

  RobotStatus() = default;
  ~RobotStatus();
  RobotStatus(const RobotStatus&) = delete;
  RobotStatus& operator=(const RobotStatus&) = delete;
  RobotStatus(RobotStatus&&) = delete;
  RobotStatus& operator=(RobotStatus&&) = delete;

  // --- read side: the status cache ---
  void configSubscribe();
  // Ends the deliveries to this object's update callback; once it returns no
  // callback runs. The destructor calls it.
  void stopDeliveries();

  // Status packets taken in so far: lets the exchange cycle see a stalled stream.
  uint64_t statusPackets() const { return status_packets_.load(std::memory_order_relaxed); }
  // Calls to the controller that returned, whatever their result: progress
  // of a cycle that writes many values one by one to a slow controller.
  uint64_t controllerCalls() const { return controller_calls_.load(std::memory_order_relaxed); }
  // Whether the last controller call that returns a status code was
  // answered by the controller (whatever it said), rather than failed in the
  // SDK for want of an answer. Calls that return a value tell nothing, so
  // this changes only with commands, writes and trace messages. Any thread.
  bool rpcAnswered() const { return rpc_answered_.load(std::memory_order_relaxed); }
  // The SDK's codes for a call that got no answer: not connected (-101),
  // timed out (-102), broken frame (-103).
  static bool unanswered(int code) { return code <= -101 && code >= -103; }

  RobotModeType getRobotModeType();
  SafetyModeType getSafetyModeType();
  RuntimeState getRuntimeState();
  double getSpeedFraction();
  void getJointPositions(std::vector<double>& out);
  void getJointCurrents(std::vector<double>& out);
  void getTcpPose(std::vector<double>& out);
  void getJointVoltages(std::vector<double>& out);
  void getJointTemperatures(std::vector<double>& out);
  void getTcpSpeed(std::vector<double>& out);
  // The digital I/O getters append one 0/1 entry per channel to `out`.
  void getUserDI(std::vector<uint8_t>& out);
  void getUserDO(std::vector<uint8_t>& out);
  void getSafeDI(std::vector<uint8_t>& out);
  void getSafeDO(std::vector<uint8_t>& out);
  void getToolDO(std::vector<uint8_t>& out);
  void getLinkDO(std::vector<uint8_t>& out);
  bool getBoolOutput(uint32_t index);        // false for index >= 64
  int16_t getInt16Register(uint32_t index);  // 0 past the delivered registers
  static uint8_t readBitBuf(const uint8_t* buffer, uint32_t bit);

  // --- write side: commands and writes (exchange thread only) ---
  void setInterfacePtr(std::shared_ptr<ryne::common_interface::RobotInterface> robot_interface,
                       std::shared_ptr<ryne::common_interface::RuntimeMachine> runtime_machine,
                       std::shared_ptr<ryne::common_interface::RegisterControl> register_control,
                       std::shared_ptr<ryne::vemo_sdk::RtdeClient> rtde_client,
                       bool reset_registers = true);
  // Every bool and int32 input and output register of the controller to 0
  // (the write caches with them). Part of setInterfacePtr unless deferred
  // there: the service writes nothing before it masters the gateway line.
  void initRegister();
  void setInput();
  // Each command returns the controller's code, 0 when accepted (and when
  // poweron or startup had nothing to do: the arm is running already).
  int poweron();
  int startup();
  int runProgram();
  int pauseProgram();
  int resumeProgram();
  int stopProgram();
  void textmsg(const std::string& signal, int32_t addr, int32_t value, const std::string& action);
  int setSpeedFraction(double fraction);
  OperationalModeType getOperationalMode();
  void setUserDO(const std::vector<int32_t>& values);
  void setToolDO(const std::vector<uint8_t>& values);
  void setBoolInput(uint32_t index, bool value);
  void setInt16Register(uint32_t index, int16_t value);
  // Forgets what the write-through caches sent: the next write of every
  // output and register goes to the controller, as after a controller that
  // restarted and holds none of it. Commands are not affected.
  void invalidateWrites();

 private:
  void updateStatus(ryne::vemo_sdk::InputParser& parser);
  void unpackBits(int64_t bits, uint8_t count, std::vector<uint8_t>& out);
  int programCommand(int code, const char* action, int32_t value);
  // Whether a write's `code` says the controller took it; a refusal is
  // logged (folded) and the value stays pending.
  static bool taken(const char* call, uint32_t index, int32_t value, int code);
  // Passes a start-up call's result through, counting the call: progress
  // that the watchdog sees while a slow controller is set up.
  template <typename T>
  T counted(T result) {
    controller_calls_.fetch_add(1, std::memory_order_relaxed);
    return result;
  }
  // Passes a call's result through, counting the call.
  template <typename T>
  T returned(T result) {
    controller_calls_.fetch_add(1, std::memory_order_relaxed);
    if constexpr (std::is_same_v<T, int>)
      rpc_answered_.store(!unanswered(result), std::memory_order_relaxed);
    return result;
  }

  int32_t subscribe_channel_ = 0;
  std::mutex status_mutex_;
  std::atomic<uint64_t> status_packets_{0};
  std::atomic<uint64_t> controller_calls_{0};
  std::atomic<bool> rpc_answered_{true};
  uint8_t standard_di_num_ = 0;
  uint8_t standard_do_num_ = 0;
  uint8_t configurable_di_num_ = 0;
  uint8_t configurable_do_num_ = 0;
  uint8_t tool_do_num_ = 0;
  double speed_fraction_ = 0.0;
  int64_t standard_di_bits_ = 0;
  int64_t standard_do_bits_ = 0;
  int64_t configurable_di_bits_ = 0;
  int64_t configurable_do_bits_ = 0;
  int64_t link_do_bits_ = 0;
  int64_t tool_do_bits_ = 0;
  int64_t output_bit_registers_ = 0;
  std::vector<int16_t> int16_registers_;
  SafetyModeType safety_mode_ = static_cast<SafetyModeType>(0);
  RobotModeType robot_mode_ = static_cast<RobotModeType>(0);
  RuntimeState runtime_state_ = static_cast<RuntimeState>(6);
  std::vector<double> tcp_pose_{0.0};
  std::vector<double> tcp_speed_{0.0};
  std::vector<double> joint_positions_{0.0};
  std::vector<double> joint_currents_{0.0};
  std::vector<double> joint_voltages_{0.0};
  std::vector<double> joint_temperatures_{0.0};
  static constexpr uint8_t kUnknownBit = 0xFF;  // a tool output value never written
  std::vector<uint8_t> tool_do_cache_{0};
  std::vector<int32_t> user_do_cache_{0};
  std::vector<int8_t> bool_input_cache_;  // 0, 1, or -1 once invalidated
  std::vector<int32_t> int16_register_cache_;
  std::shared_ptr<ryne::vemo_sdk::RtdeClient> rtde_client_;
  std::shared_ptr<ryne::common_interface::RobotInterface> robot_interface_;
  std::shared_ptr<ryne::common_interface::RuntimeMachine> runtime_machine_;
  std::shared_ptr<ryne::common_interface::RegisterControl> register_control_;
};

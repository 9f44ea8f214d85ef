#pragma once
// The service's one link to the robot arm: a cache of the arm's live state,
// fed by the controller's real-time stream on the SDK's thread and read by the
// scheduler through the getters; and the write side, forwarding commands and
// output and register writes to the controller. Every write goes one way:
// it is owed (PendingWrites) until the controller took it, and the owed
// writes are sent oldest first within the exchange cycle's bound on
// controller time, so that a slow or hung controller holds up the writes,
// never the cycle.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "pending_writes.h"
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
  // Whether the last controller call that tells was answered by the
  // controller (whatever it said), rather than failed in the SDK for want of
  // an answer: a call that returns a status code tells by it, and any call
  // that took its whole deadline was not answered. Any thread.
  bool rpcAnswered() const { return rpc_answered_.load(std::memory_order_relaxed); }
  // Calls the controller answered with a status code so far. Any thread.
  uint64_t answeredCalls() const { return answered_calls_.load(std::memory_order_relaxed); }
  // The controller streams again after it was gone: its calls are believed
  // answered until one says otherwise.
  void trustRpcAgain() { rpc_answered_.store(true, std::memory_order_relaxed); }
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

  // --- the controller's time in one exchange cycle (exchange thread) ---
  // The SDK's deadline for one call (set at start-up); a call that took it
  // was not answered.
  static constexpr std::chrono::milliseconds kCallDeadline{5000};
  // Owed writes are sent until the cycle's controller calls have taken this
  // long; a healthy controller answers in well under a millisecond.
  static constexpr std::chrono::milliseconds kWriteBudget{1000};
  // A new cycle: a new budget, and every owed write may be tried once.
  void beginCycle();
  // Whether the controller may be asked anything more in this cycle: no call
  // of this cycle went unanswered, so at most one deadline is spent on it.
  bool mayAsk() const { return !unanswered_; }
  // Sends what is owed, oldest first, while the cycle's bound allows: until
  // a call goes unanswered or the budget is spent. Every write does it.
  void drain();
  // Writes owed to the controller now.
  size_t pendingWrites() const { return pending_.size(); }

  // --- write side: commands and writes (exchange thread only) ---
  void setInterfacePtr(std::shared_ptr<ryne::common_interface::RobotInterface> robot_interface,
                       std::shared_ptr<ryne::common_interface::RuntimeMachine> runtime_machine,
                       std::shared_ptr<ryne::common_interface::RegisterControl> register_control,
                       std::shared_ptr<ryne::vemo_sdk::RtdeClient> rtde_client,
                       bool reset_registers = true);
  // Every bool and int32 input and output register of the controller to 0,
  // owed before any PLC value for it and sent as the bound allows (the
  // output topic after them with `output_topic`). Part of setInterfacePtr
  // unless deferred there: the service writes nothing before it masters the
  // gateway line.
  void initRegister(bool output_topic = false);
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
  // The speed is sent whenever it is set; the controller's code when it was
  // sent and refused at once, else 0.
  int setSpeedFraction(double fraction);
  OperationalModeType getOperationalMode();
  void setUserDO(const std::vector<int32_t>& values);
  void setToolDO(const std::vector<uint8_t>& values);
  void setBoolInput(uint32_t index, bool value);
  void setInt16Register(uint32_t index, int16_t value);
  // Forgets what the controller was sent: every output and register value
  // the PLC gave is owed again, as to a controller that restarted and holds
  // none of it. Commands are not affected.
  void invalidateWrites();

 private:
  void updateStatus(ryne::vemo_sdk::InputParser& parser);
  void unpackBits(int64_t bits, uint8_t count, std::vector<uint8_t>& out);
  int programCommand(int code, const char* action, int32_t value);
  // One owed write to the controller, and what became of it.
  PendingWrites::Outcome send(const PendingWrites::Write& w);
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
  // Makes one controller call of the exchange thread: counted, timed
  // against the cycle's bound, and told by its answer.
  template <typename Call>
  auto asked(Call&& call) {
    const auto t0 = std::chrono::steady_clock::now();
    auto result = call();
    const auto took = std::chrono::steady_clock::now() - t0;
    controller_calls_.fetch_add(1, std::memory_order_relaxed);
    bool answered = took < kCallDeadline - std::chrono::milliseconds(100);
    if constexpr (std::is_same_v<decltype(result), int>) {
      answered = answered && !unanswered(result);
      if (answered) answered_calls_.fetch_add(1, std::memory_order_relaxed);
    }
    // A value call that came back in time tells nothing: the SDK gives a
    // value of its own choosing when there was no answer.
    if (!answered || std::is_same_v<decltype(result), int>)
      rpc_answered_.store(answered, std::memory_order_relaxed);
    spent_ += took;
    if (!answered) unanswered_ = true;
    return result;
  }

  int32_t subscribe_channel_ = 0;
  std::mutex status_mutex_;
  std::atomic<uint64_t> status_packets_{0};
  std::atomic<uint64_t> controller_calls_{0};
  std::atomic<bool> rpc_answered_{true};
  std::atomic<uint64_t> answered_calls_{0};
  std::chrono::steady_clock::duration spent_{};  // controller time in this cycle
  bool unanswered_ = false;                      // a call of this cycle went unanswered
  PendingWrites pending_;
  static constexpr double kSpeedScale = 1e6;  // the speed fraction, owed in millionths
  int last_speed_code_ = 0;
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
  std::shared_ptr<ryne::vemo_sdk::RtdeClient> rtde_client_;
  std::shared_ptr<ryne::common_interface::RobotInterface> robot_interface_;
  std::shared_ptr<ryne::common_interface::RuntimeMachine> runtime_machine_;
  std::shared_ptr<ryne::common_interface::RegisterControl> register_control_;
};

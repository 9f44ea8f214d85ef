#pragma once
// The gateway scheduler: owns the robot link, the gateway link, the
// configuration and the exchange and heartbeat threads.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "command_latch.h"
#include "gateway_map.h"
#include "logger.h"
#include "metrics_writer.h"
#include "modbusdev.h"
#include "robotstatus.h"
#include "systemd_notifier.h"

namespace ryne {
namespace vemo_sdk {
class RpcClient;
class RtdeClient;
}  // namespace vemo_sdk
}  // namespace ryne

class Schedule {
 public:
  static constexpr size_t kSettingsWords = gateway_map::kSettingsWords;
  // The robot controller runs on this machine.
  static constexpr const char* kControllerHost = "127.0.0.1";
  static constexpr int kRpcPort = 30004;
  static constexpr int kRtdePort = 30010;

  // Where the bridge stands, for the status line systemd shows.
  enum class Phase : int {
    kStarting,
    kConnectingRpc,
    kWaitingRobotName,
    kConnectingRtde,
    kConfiguring,
    kOpeningGateway,
    kRunning,
    kRunningUnconfigured,  // a configuration lookup failed: the gateway was never opened
  };

  Schedule();
  ~Schedule();
  Schedule(const Schedule&) = delete;
  Schedule& operator=(const Schedule&) = delete;

  // Before init: the file the metrics go to (see MetricsWriter); empty, the
  // default, writes none and starts no thread for it.
  void setMetricsFile(std::string path) { metrics_file_ = std::move(path); }
  void init(std::string workspace, std::string config_path);
  void start();
  // Ends and joins both threads. The service itself never stops; this is for
  // tests and embedding, so that a scheduler can be destroyed cleanly.
  void stop();

  void scheduledThreadLoop();
  void heartbeatThreadLoop();
  void updateRobotModeType();
  // Logs once when the controller's status stream stops for more than a
  // second, and once when it comes back: the gateway keeps the last values
  // meanwhile, which the PLC cannot tell from a robot standing still.
  void watchStatusStream();

  // The configuration step of init: reads (or creates) the file at `path` and
  // applies it. 0 when every lookup succeeded; -1 when one failed, which ends init.
  int loadConfig(const std::string& path, std::string& serial_port);

  static uint32_t ipToValue(const std::string& text, std::vector<uint16_t>& parts);
  static int32_t conversion(double value);
  static int readBitBuf(const uint8_t* bytes, uint32_t bit);

  // Read-only views for diagnostics and tests.
  uint8_t littleEndian() const { return little_endian_; }
  uint8_t controlRobot() const { return control_robot_; }
  uint8_t controlRobotInManualMode() const { return control_robot_in_manual_; }
  int32_t registerNumber() const { return register_number_; }
  const uint16_t* gatewaySettings() const { return gateway_settings_; }
  uint16_t heartbeatWord() const { return heartbeat_word_.load(std::memory_order_relaxed); }
  bool initCompleted() const { return init_completed_; }

  // One line saying what the bridge is doing: waiting for the controller
  // (which channel), or the last cycle time, the gateway state, the robot
  // mode and the status stream. Any thread.
  std::string statusLine() const;
  // Grows with every Modbus transaction and controller call completed,
  // successful or not: it stands still only while the bridge is stuck.
  uint64_t progress() const {
    return progress_.load(std::memory_order_relaxed) + robot_status_.controllerCalls();
  }

 private:
  // What the exchange cycle keeps between cycles: one buffer per block, so a
  // value that a cycle does not produce keeps the value it last had.
  struct ExchangeBuffers {
    uint8_t status_bits[64] = {};
    uint16_t status_block[100] = {};
    uint8_t input_bits[64] = {};
    uint8_t output_bits[64] = {};
    uint16_t input_registers[32] = {};
    uint16_t output_registers[32] = {};
    uint16_t command_words[4] = {};  // decoded, as last read
    // Scratch for reads, copied into the buffers only when a read succeeded.
    uint8_t read_bits[64] = {};
    uint16_t read_registers[32] = {};
    // Reused sequences for the status getters, so steady cycles do not allocate.
    std::vector<uint8_t> io;
    std::vector<double> values, currents, voltages, temperatures;
    std::vector<uint8_t> tool_do;
    std::vector<int32_t> user_do;
  };

  void connectRobot();
  // Whether this bridge may write to the controller: only while it masters
  // the gateway line. The first time it does, the controller is set up as
  // at start (registers to 0, the output topic). Main and exchange thread.
  bool takeControllerIfMaster();
  void openGateway(const std::string& serial_port);
  int writeSettings();
  bool exchangeCycle(ExchangeBuffers& b);
  void buildStatusBits(ExchangeBuffers& b);
  void buildStatusBlock(ExchangeBuffers& b);
  bool handleCommandBlock(ExchangeBuffers& b);
  uint16_t word(uint16_t v) const;  // 16-bit encoding, its own inverse
  void floatPair(double x, uint16_t* regs) const;
  // Sleeps for `d` unless a stop is requested first; false once stopping.
  bool pause(std::chrono::milliseconds d);
  // Books one completed gateway transaction (its result code) for the
  // watchdog and the gateway state; returns the code.
  int transacted(int rc);
  void markProgress() { progress_.fetch_add(1, std::memory_order_relaxed); }
  // The metrics writer's view: atomics only, so that it never holds up the cycle.
  void sampleMetrics(MetricsWriter::Snapshot& s) const;
  // Books a PLC command the latch took and the controller's code for it.
  void countCommand(size_t command, int code) {
    commands_[command].fetch_add(1, std::memory_order_relaxed);
    if (code != 0) command_failures_[command].fetch_add(1, std::memory_order_relaxed);
  }
  // A new phase is told to systemd at once, not at the next tick.
  void setPhase(Phase p) {
    if (phase_.exchange(p, std::memory_order_relaxed) != p) notifier_.wake();
  }
  bool stopping() const { return stop_requested_.load(std::memory_order_relaxed); }

  std::shared_ptr<ryne::vemo_sdk::RpcClient> rpc_client_;
  std::shared_ptr<ryne::vemo_sdk::RtdeClient> rtde_client_;
  RobotStatus robot_status_;
  ModbusConfig modbus_config_;
  ModbusDev modbus_dev_;
  std::unique_ptr<std::thread> scheduled_thread_;
  std::unique_ptr<std::thread> heartbeat_thread_;
  uint8_t little_endian_ = 0;
  uint8_t control_robot_ = 0;
  int32_t register_number_ = 0;
  std::atomic<uint16_t> heartbeat_word_{0};
  uint16_t gateway_settings_[kSettingsWords] = {};
  UmxLog umx_log_;
  CommandLatch command_latch_;
  std::atomic<uint16_t> robot_mode_type_{0};  // read by the status line too
  uint16_t last_robot_mode_type_ = 99;
  uint8_t control_robot_in_manual_ = 0;

  // A command word read longer ago than this is read again before it counts.
  static constexpr std::chrono::milliseconds kCommandWordMaxAge{1000};

  uint64_t seen_packets_ = 0;
  std::chrono::steady_clock::time_point last_packet_at_{};
  std::atomic<bool> stream_stalled_{false};
  static constexpr long kStallMs = 1000;  // no status packet for longer: the stream stalled
  uint64_t seen_sessions_ = 0;
  bool controller_gone_ = false;  // stalled stream or real-time channel down

  std::atomic<bool> init_completed_{false};
  bool settings_pending_ = false;  // the settings write at start failed: retried each cycle
  uint32_t settings_retries_ = 0;
  bool robot_link_up_ = false;
  bool controller_taken_ = false;  // set up for writing (takeControllerIfMaster)
  std::atomic<uint64_t> progress_{0};
  std::atomic<Phase> phase_{Phase::kStarting};
  std::atomic<uint32_t> cycle_ms_{0};  // the last full cycle
  // Wall-clock seconds of the first failed transaction since the last good
  // one, and of the heartbeat thread's first "blocking" since; 0: none.
  std::atomic<int64_t> gateway_failing_since_{0};
  std::atomic<int64_t> gateway_blocking_since_{0};
  SystemdNotifier notifier_;

  // Counted by the exchange thread, read by the metrics writer.
  std::string metrics_file_;
  std::atomic<uint64_t> cycle_buckets_[MetricsWriter::kCycleBuckets + 1] = {};
  std::atomic<uint64_t> cycle_us_sum_{0};
  std::atomic<uint64_t> commands_[MetricsWriter::kCommands] = {};
  std::atomic<uint64_t> command_failures_[MetricsWriter::kCommands] = {};
  std::atomic<bool> rpc_connected_{false};
  std::atomic<bool> rtde_connected_{false};
  static constexpr int32_t kUnknownRuntimeState = 9;  // also before the first status
  std::atomic<int32_t> safety_mode_{0};               // Undefined until the first status
  std::atomic<int32_t> runtime_state_{kUnknownRuntimeState};
  MetricsWriter metrics_;

  std::atomic<bool> stop_requested_{false};
  std::mutex stop_mutex_;
  std::condition_variable stop_cv_;
};

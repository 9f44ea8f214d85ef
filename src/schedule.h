#pragma once
// The gateway scheduler: owns the robot link, the gateway link, the
// configuration and the exchange and heartbeat threads. The exchange cycle is
// the short road (read the PLC, write the robot, write the gateway); every
// other concern has a room of its own that the cycle calls into: the command
// latch, the controller watch, the cell's health and the two writers that
// report it (systemd, the metrics file).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cell_health.h"
#include "command_latch.h"
#include "controller_watch.h"
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
  using Phase = CellHealth::Phase;

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
  // The controller watch's look at the SDK's signals, once per cycle: the
  // channels' state for the health, and every value the PLC holds sent
  // again to a controller that is new.
  void watchController();

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
  uint16_t heartbeatWord() const { return health_.heartbeatWord(); }
  bool initCompleted() const { return health_.initCompleted(); }
  const CellHealth& health() const { return health_; }

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
  // the gateway line. Each time it comes to master it, the controller is set
  // up as at start (registers to 0, the output topic once), and after
  // another bridge had the line everything the PLC holds is owed again; a
  // line lost to another bridge is said once. Main and exchange thread.
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
  int transacted(int rc) { return health_.transacted(rc); }
  void markProgress() { health_.markProgress(); }
  // A new phase is told to systemd at once, not at the next tick.
  void setPhase(Phase p) {
    if (health_.setPhase(p)) notifier_.wake();
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
  uint16_t gateway_settings_[kSettingsWords] = {};
  UmxLog umx_log_;
  CommandLatch command_latch_;
  ControllerWatch controller_watch_;
  uint16_t robot_mode_type_ = 0;
  uint16_t last_robot_mode_type_ = 99;
  uint8_t control_robot_in_manual_ = 0;

  bool settings_pending_ = false;  // the settings write at start failed: retried each cycle
  uint32_t settings_retries_ = 0;
  bool robot_link_up_ = false;
  bool controller_taken_ = false;  // masters the line and writes to the controller
  bool took_line_before_ = false;  // it did at some time (a later take is a takeover)
  bool output_topic_set_ = false;
  uint64_t answered_when_gone_ = 0;  // the controller's answered calls as it went

  CellHealth health_;
  std::string metrics_file_;
  SystemdNotifier notifier_;
  MetricsWriter metrics_;

  std::atomic<bool> stop_requested_{false};
  std::mutex stop_mutex_;
  std::condition_variable stop_cv_;
};

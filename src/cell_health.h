#pragma once
// How the cell is doing, in one place: what the exchange, main and heartbeat
// threads book (phase, progress, cycle times, the gateway's failures, the
// controller's channels and modes, commands run) and what the status line for
// systemd and the metrics file read. Relaxed atomics only: a writer never
// waits for a reader, and a reader may see one value a cycle newer than
// another. Knows neither the notify protocol nor the metrics format.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "command_latch.h"

class ModbusDev;
class RobotStatus;

class CellHealth {
 public:
  // Where the bridge stands.
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

  // Upper bounds of the cycle-length histogram, in microseconds: around the
  // design period (about 0.2 s), then the multi-second range of an outage.
  static constexpr size_t kCycleBuckets = 10;
  static constexpr uint32_t kCycleBucketsUs[kCycleBuckets] = {
      150000, 200000, 250000, 300000, 500000, 1000000, 2000000, 5000000, 10000000, 30000000};
  // The bucket (0..kCycleBuckets, the last for longer cycles) of a cycle of `us`.
  static size_t cycleBucket(uint64_t us) {
    size_t i = 0;
    while (i < kCycleBuckets && us > kCycleBucketsUs[i]) ++i;
    return i;
  }
  static constexpr size_t kCommands = CommandLatch::kCommands;
  // The runtime state reported before the first status and while the
  // controller is gone: no program state is known.
  static constexpr int32_t kUnknownRuntimeState = 9;

  // The gateway link's and the controller's own counters, read through.
  void watch(const ModbusDev* gateway, const RobotStatus* robot) {
    gateway_ = gateway;
    robot_ = robot;
  }
  const ModbusDev* gateway() const { return gateway_; }

  // --- written by the service's threads ---
  // true when `p` is a new phase.
  bool setPhase(Phase p) { return phase_.exchange(p, relaxed) != p; }
  void setInitCompleted() { init_completed_.store(true, relaxed); }
  void markProgress() { progress_.fetch_add(1, relaxed); }
  // Books one completed gateway transaction (its result code): progress,
  // and when the gateway started failing; returns the code.
  int transacted(int rc);
  // The heartbeat thread saw no transaction complete for a while.
  void gatewayBlocking();
  // The heartbeat word's next value (0 is skipped: it reads as "never set").
  uint16_t nextHeartbeat();
  void resetHeartbeat() { heartbeat_word_.store(0, relaxed); }
  void cycleDone(uint64_t us);
  void setChannels(bool rpc, bool rtde) {
    rpc_connected_.store(rpc, relaxed);
    rtde_connected_.store(rtde, relaxed);
  }
  void setStreamStalled(bool stalled) { stream_stalled_.store(stalled, relaxed); }
  void setRobotMode(uint16_t mode) { robot_mode_.store(mode, relaxed); }
  void setSafetyMode(int32_t mode) { safety_mode_.store(mode, relaxed); }
  void setRuntimeState(int32_t state) { runtime_state_.store(state, relaxed); }
  // A PLC command the latch took, and the controller's code for it.
  void countCommand(size_t command, int code);

  // --- read by any thread ---
  Phase phase() const { return phase_.load(relaxed); }
  bool initCompleted() const { return init_completed_.load(relaxed); }
  // Grows with every gateway transaction and controller call completed,
  // successful or not, and every step of the start-up: it stands still only
  // while the bridge is stuck.
  uint64_t progress() const;
  uint32_t lastCycleMs() const { return cycle_ms_.load(relaxed); }
  uint64_t cycleBucketCount(size_t bucket) const { return cycle_buckets_[bucket].load(relaxed); }
  uint64_t cycleMicrosecondsSum() const { return cycle_us_sum_.load(relaxed); }
  // Wall-clock seconds of the first failed transaction since the last good
  // one, and of the heartbeat thread's first "blocking" since; 0: none.
  int64_t gatewayFailingSince() const { return gateway_failing_since_.load(relaxed); }
  int64_t gatewayBlockingSince() const { return gateway_blocking_since_.load(relaxed); }
  uint16_t heartbeatWord() const { return heartbeat_word_.load(relaxed); }
  bool rpcConnected() const { return rpc_connected_.load(relaxed); }
  bool rtdeConnected() const { return rtde_connected_.load(relaxed); }
  bool streamStalled() const { return stream_stalled_.load(relaxed); }
  uint16_t robotMode() const { return robot_mode_.load(relaxed); }
  int32_t safetyMode() const { return safety_mode_.load(relaxed); }
  int32_t runtimeState() const { return runtime_state_.load(relaxed); }
  uint64_t commands(size_t command) const { return commands_[command].load(relaxed); }
  uint64_t commandFailures(size_t command) const {
    return command_failures_[command].load(relaxed);
  }
  // Status packets taken in and controller calls returned so far (0 before
  // watch()).
  uint64_t statusPackets() const;
  uint64_t controllerCalls() const;

 private:
  static constexpr auto relaxed = std::memory_order_relaxed;

  const ModbusDev* gateway_ = nullptr;
  const RobotStatus* robot_ = nullptr;
  std::atomic<Phase> phase_{Phase::kStarting};
  std::atomic<bool> init_completed_{false};
  std::atomic<uint64_t> progress_{0};
  std::atomic<uint32_t> cycle_ms_{0};  // the last full cycle
  std::atomic<uint64_t> cycle_buckets_[kCycleBuckets + 1] = {};
  std::atomic<uint64_t> cycle_us_sum_{0};
  std::atomic<int64_t> gateway_failing_since_{0};
  std::atomic<int64_t> gateway_blocking_since_{0};
  std::atomic<uint16_t> heartbeat_word_{0};
  std::atomic<bool> rpc_connected_{false};
  std::atomic<bool> rtde_connected_{false};
  std::atomic<bool> stream_stalled_{false};
  std::atomic<uint16_t> robot_mode_{0};
  std::atomic<int32_t> safety_mode_{0};  // Undefined until the first status
  std::atomic<int32_t> runtime_state_{kUnknownRuntimeState};
  std::atomic<uint64_t> commands_[kCommands] = {};
  std::atomic<uint64_t> command_failures_[kCommands] = {};
};

#pragma once
// Prometheus metrics without a listening socket: a low-rate thread writes the
// text exposition format to a file that node_exporter's textfile collector
// serves. Each write goes to a temporary file in the same directory, renamed
// over the target, so a reader always sees a whole file. The values come from
// the cell's health, which the exchange thread only stores into: the
// exchange thread never waits for, allocates for or does I/O for this. The
// only code that knows the exposition format.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "cell_health.h"
#include "modbusdev.h"
#include "periodic_thread.h"

class MetricsWriter {
 public:
  static constexpr std::chrono::seconds kPeriod{5};

  static constexpr size_t kCycleBuckets = CellHealth::kCycleBuckets;
  // The PLC commands, in the order of their codes 2, 3, 5, 6, 7, 8.
  static constexpr size_t kCommands = CellHealth::kCommands;
  static const char* commandName(size_t command);  // "poweron", ..., "stopProgram"

  // What one write reports (sample()).
  struct Snapshot {
    bool up = false;                                 // initialisation completed
    uint64_t cycle_buckets[kCycleBuckets + 1] = {};  // not cumulative
    uint64_t cycle_us_sum = 0;
    uint64_t modbus_requests[ModbusDev::kFunctionCount][2] = {};  // [function][ok]
    uint64_t modbus_reopens = 0;
    bool modbus_line_open = false;
    bool gateway_failing = false;
    bool gateway_blocking = false;
    uint16_t heartbeat_word = 0;
    bool rpc_connected = false;
    bool rtde_connected = false;
    uint64_t status_packets = 0;
    bool status_stream_stalled = false;
    uint64_t controller_calls = 0;
    int robot_mode = 0;
    int safety_mode = 0;
    int runtime_state = 0;
    uint64_t commands[kCommands] = {};
    uint64_t command_failures[kCommands] = {};
  };

  MetricsWriter() = default;
  ~MetricsWriter() { stop(); }
  MetricsWriter(const MetricsWriter&) = delete;
  MetricsWriter& operator=(const MetricsWriter&) = delete;

  // Starts the writer thread: what `health` says written now, then every
  // `period`. Nothing happens when `path` is empty or the thread runs already.
  void start(std::string path, const CellHealth& health,
             std::chrono::milliseconds period = kPeriod);
  void stop() { thread_.stop(); }
  bool running() const { return thread_.running(); }

  // What one write reports of `health`.
  static void sample(const CellHealth& health, Snapshot& s);

  // The exposition text for `s`; `start_time` in seconds since the epoch.
  static std::string render(const Snapshot& s, double start_time);
  // Replaces `path` with `text` (mode 0644) through a temporary file beside
  // it. 0, or the errno of the step that failed (nothing is left behind).
  static int writeAtomically(const std::string& path, const std::string& text);
  // Removes the temporary files of `path` that an earlier process left.
  static void removeLeftovers(const std::string& path);

 private:
  void writeOnce();

  std::string path_;
  const CellHealth* health_ = nullptr;
  double start_time_ = 0;
  // Writer thread only.
  Snapshot snapshot_;
  uint64_t failed_writes_ = 0;
  PeriodicThread thread_;  // last: stopped before the members it uses go
};

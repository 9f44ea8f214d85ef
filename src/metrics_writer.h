#pragma once
// Prometheus metrics without a listening socket: a low-rate thread writes the
// text exposition format to a file that node_exporter's textfile collector
// serves. Each write goes to a temporary file in the same directory, renamed
// over the target, so a reader always sees a whole file. The values come from
// a sampler that reads counters the exchange thread only increments: the
// exchange thread never waits for, allocates for or does I/O for this.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "modbusdev.h"

class MetricsWriter {
 public:
  static constexpr std::chrono::seconds kPeriod{5};

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

  // The PLC commands, in the order of their codes 2, 3, 5, 6, 7, 8.
  static constexpr size_t kCommands = 6;
  static const char* commandName(size_t command);  // "poweron", ..., "stopProgram"

  // What one write reports; filled by the sampler.
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
  using Sampler = std::function<void(Snapshot&)>;

  MetricsWriter() = default;
  ~MetricsWriter();
  MetricsWriter(const MetricsWriter&) = delete;
  MetricsWriter& operator=(const MetricsWriter&) = delete;

  // Starts the writer thread: a write now, then one every `period`. Nothing
  // happens when `path` is empty or the thread runs already.
  void start(std::string path, Sampler sampler, std::chrono::milliseconds period = kPeriod);
  void stop();
  bool running() const { return thread_.joinable(); }

  // The exposition text for `s`; `start_time` in seconds since the epoch.
  static std::string render(const Snapshot& s, double start_time);
  // Replaces `path` with `text` (mode 0644) through a temporary file beside
  // it. 0, or the errno of the step that failed (nothing is left behind).
  static int writeAtomically(const std::string& path, const std::string& text);
  // Removes the temporary files of `path` that an earlier process left.
  static void removeLeftovers(const std::string& path);

 private:
  void run();
  void writeOnce();

  std::string path_;
  Sampler sampler_;
  std::chrono::milliseconds period_{kPeriod};
  double start_time_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  // Writer thread only.
  Snapshot snapshot_;
  uint64_t failed_writes_ = 0;
};

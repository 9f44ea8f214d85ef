#include "metrics_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "log.h"

#ifndef VEMO_UMX_VERSION
#define VEMO_UMX_VERSION "unknown"
#endif

namespace {

// The functions every cycle uses are always listed, so that a rate over them
// exists from the first write; any other only once it was used.
bool alwaysListed(int function) {
  return function == ModbusDev::kReadDiscreteInputs || function == ModbusDev::kReadInputRegisters ||
         function == ModbusDev::kWriteMultipleCoils ||
         function == ModbusDev::kWriteMultipleRegisters;
}

class Text {
 public:
  explicit Text(std::string& out) : out_(out) {}

  void family(const char* name, const char* type, const char* help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }
  // `labels` is the text between the braces, empty for none.
  void sample(const char* name, const std::string& labels, uint64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%" PRIu64, value);
    line(name, labels, buf);
  }
  void sample(const char* name, const std::string& labels, double value) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.6f", value);
    line(name, labels, buf);
  }
  void flag(const char* name, const std::string& labels, bool value) {
    line(name, labels, value ? "1" : "0");
  }
  void gauge(const char* name, const std::string& labels, int64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%" PRId64, value);
    line(name, labels, buf);
  }

 private:
  void line(const char* name, const std::string& labels, const char* value) {
    out_ += name;
    if (!labels.empty()) {
      out_ += '{';
      out_ += labels;
      out_ += '}';
    }
    out_ += ' ';
    out_ += value;
    out_ += '\n';
  }
  std::string& out_;
};

std::string label(const char* name, const std::string& value) {
  // Label values escape backslash, double quote and newline.
  std::string out = std::string(name) + "=\"";
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

std::string seconds(uint32_t us) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%g", us / 1e6);
  return buf;
}

}  // namespace

const char* MetricsWriter::commandName(size_t command) {
  static const char* const kNames[kCommands] = {"poweron",      "startup",       "runProgram",
                                                "pauseProgram", "resumeProgram", "stopProgram"};
  return command < kCommands ? kNames[command] : "unknown";
}

void MetricsWriter::start(std::string path, const CellHealth& health,
                          std::chrono::milliseconds period) {
  if (path.empty() || thread_.running()) return;
  path_ = std::move(path);
  health_ = &health;
  start_time_ =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  removeLeftovers(path_);
  if (quill::Logger* log = UmxLog::getLogger())
    LOG_INFO(log, "metrics go to {} every {} s", path_,
             std::chrono::duration_cast<std::chrono::seconds>(period).count());
  // The thread's only wake-up: one per period (and the stop).
  thread_.start("umx_metrics", period, [this] { writeOnce(); });
}

void MetricsWriter::sample(const CellHealth& h, Snapshot& s) {
  s.up = h.initCompleted();
  for (size_t i = 0; i <= kCycleBuckets; ++i) s.cycle_buckets[i] = h.cycleBucketCount(i);
  s.cycle_us_sum = h.cycleMicrosecondsSum();
  if (const ModbusDev* gw = h.gateway()) {
    for (int f = 0; f < ModbusDev::kFunctionCount; ++f)
      for (int ok = 0; ok < 2; ++ok) s.modbus_requests[f][ok] = gw->requests(f, ok != 0);
    s.modbus_reopens = gw->reopens();
    s.modbus_line_open = gw->lineOpen();
  }
  s.gateway_failing = h.gatewayFailingSince() != 0;
  s.gateway_blocking = h.gatewayBlockingSince() != 0;
  s.heartbeat_word = h.heartbeatWord();
  s.rpc_connected = h.rpcConnected();
  s.rtde_connected = h.rtdeConnected();
  s.status_packets = h.statusPackets();
  s.status_stream_stalled = h.streamStalled();
  s.controller_calls = h.controllerCalls();
  s.robot_mode = h.robotMode();
  s.safety_mode = h.safetyMode();
  s.runtime_state = h.runtimeState();
  for (size_t c = 0; c < kCommands; ++c) {
    s.commands[c] = h.commands(c);
    s.command_failures[c] = h.commandFailures(c);
  }
}

void MetricsWriter::writeOnce() {
  snapshot_ = Snapshot{};
  sample(*health_, snapshot_);
  const int err = writeAtomically(path_, render(snapshot_, start_time_));
  quill::Logger* log = UmxLog::getLogger();
  if (err != 0) {
    // Once per outage: a directory that is missing stays missing for a while.
    if (failed_writes_++ == 0 && log)
      LOG_ERROR(log, "metrics file {} cannot be written: {}", path_, std::strerror(err));
    return;
  }
  if (failed_writes_ != 0 && log)
    LOG_INFO(log, "metrics file {} written again after {} failed writes", path_, failed_writes_);
  failed_writes_ = 0;
}

namespace {

// The temporary files of `path`: "<dir>/.<base>.XXXXXX". Hidden and not
// ending in ".prom": the textfile collector reads only *.prom files, so it
// never picks up a file still being written.
struct TempName {
  std::string dir, prefix;  // dir with its "/", or ""; prefix ".<base>."
  explicit TempName(const std::string& path) {
    const size_t slash = path.rfind('/');
    dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    prefix = "." + (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
  }
  static constexpr size_t kUnique = 6;  // mkostemp's XXXXXX
};

}  // namespace

void MetricsWriter::removeLeftovers(const std::string& path) {
  // A process killed between its write and its rename leaves one behind.
  const TempName t(path);
  DIR* d = ::opendir(t.dir.empty() ? "." : t.dir.c_str());
  if (!d) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() == t.prefix.size() + TempName::kUnique && name.rfind(t.prefix, 0) == 0)
      ::unlink((t.dir + name).c_str());
  }
  ::closedir(d);
}

int MetricsWriter::writeAtomically(const std::string& path, const std::string& text) {
  const TempName t(path);
  std::string tmp = t.dir + t.prefix + "XXXXXX";
  const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  int err = 0;
  // The collector may run as another user; mkostemp makes the file 0600.
  if (::fchmod(fd, 0644) != 0) err = errno;
  for (size_t done = 0; err == 0 && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) err = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0 && err == 0) err = errno;
  // No fsync: readers need only the rename to see a whole file, and a power
  // loss costs at most one sample of a file rewritten every few seconds.
  if (err == 0 && std::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) ::unlink(tmp.c_str());
  return err;
}

std::string MetricsWriter::render(const Snapshot& s, double start_time) {
  std::string out;
  out.reserve(8192);
  Text t(out);

  t.family("vemo_umx_build_info", "gauge", "The build of vemo_umx that runs; always 1.");
  t.gauge("vemo_umx_build_info", label("version", VEMO_UMX_VERSION), 1);
  t.family("vemo_umx_start_time_seconds", "gauge",
           "When the service started, in seconds since the epoch.");
  t.sample("vemo_umx_start_time_seconds", "", start_time);
  t.family("vemo_umx_up", "gauge",
           "1 once initialisation completed: controller connected, configuration read, gateway "
           "opened.");
  t.flag("vemo_umx_up", "", s.up);

  // The histogram's count is the number of cycles completed.
  uint64_t cycles = 0;
  for (uint64_t n : s.cycle_buckets) cycles += n;
  t.family("vemo_umx_cycle_seconds", "histogram", "Length of each exchange cycle.");
  uint64_t cumulative = 0;
  for (size_t i = 0; i < kCycleBuckets; ++i) {
    cumulative += s.cycle_buckets[i];
    t.sample("vemo_umx_cycle_seconds_bucket", label("le", seconds(CellHealth::kCycleBucketsUs[i])),
             cumulative);
  }
  t.sample("vemo_umx_cycle_seconds_bucket", label("le", "+Inf"), cycles);
  t.sample("vemo_umx_cycle_seconds_sum", "", s.cycle_us_sum / 1e6);
  t.sample("vemo_umx_cycle_seconds_count", "", cycles);

  t.family("vemo_umx_modbus_requests_total", "counter",
           "Modbus requests to the gateway by function and final outcome (a request fails after "
           "its four tries, or at once on a closed line).");
  for (int f = 0; f < ModbusDev::kFunctionCount; ++f) {
    const uint64_t ok = s.modbus_requests[f][1], failed = s.modbus_requests[f][0];
    if (!alwaysListed(f) && ok == 0 && failed == 0) continue;
    const std::string fn = label("function", ModbusDev::functionName(f));
    t.sample("vemo_umx_modbus_requests_total", fn + "," + label("result", "ok"), ok);
    t.sample("vemo_umx_modbus_requests_total", fn + "," + label("result", "failed"), failed);
  }
  t.family("vemo_umx_modbus_reconnects_total", "counter",
           "Times the gateway line was opened again after a failed request or on finding it "
           "closed, whether it opened or not.");
  t.sample("vemo_umx_modbus_reconnects_total", "", s.modbus_reopens);
  t.family("vemo_umx_modbus_line_open", "gauge", "1 while the gateway's serial line is open.");
  t.flag("vemo_umx_modbus_line_open", "", s.modbus_line_open);
  t.family("vemo_umx_gateway_failing", "gauge",
           "1 while the gateway's requests fail, from the first failure to the next success.");
  t.flag("vemo_umx_gateway_failing", "", s.gateway_failing);
  t.family("vemo_umx_gateway_blocking", "gauge",
           "1 while no gateway request completed for 3 s: the heartbeat register stands still "
           "for the PLC.");
  t.flag("vemo_umx_gateway_blocking", "", s.gateway_blocking);
  t.family("vemo_umx_heartbeat_word", "gauge",
           "The heartbeat word the service writes into the gateway; advances every 3 to 4 s.");
  t.gauge("vemo_umx_heartbeat_word", "", s.heartbeat_word);

  t.family("vemo_umx_robot_connected", "gauge",
           "1 while the controller channel is connected, as the SDK's clients report it (each "
           "cycle asks the controller over rpc).");
  t.flag("vemo_umx_robot_connected", label("channel", "rpc"), s.rpc_connected);
  t.flag("vemo_umx_robot_connected", label("channel", "rtde"), s.rtde_connected);
  t.family("vemo_umx_status_packets_total", "counter",
           "Status packets received from the controller's real-time stream.");
  t.sample("vemo_umx_status_packets_total", "", s.status_packets);
  t.family("vemo_umx_status_stream_stalled", "gauge",
           "1 while the controller sent no status packet for more than a second.");
  t.flag("vemo_umx_status_stream_stalled", "", s.status_stream_stalled);
  t.family("vemo_umx_controller_calls_total", "counter",
           "Controller RPC calls that returned, whatever their result.");
  t.sample("vemo_umx_controller_calls_total", "", s.controller_calls);
  t.family("vemo_umx_robot_mode", "gauge",
           "Robot mode as the gateway reports it (0 while the controller sends nothing).");
  t.gauge("vemo_umx_robot_mode", "", s.robot_mode);
  t.family("vemo_umx_safety_mode", "gauge", "Safety mode, as last reported by the controller.");
  t.gauge("vemo_umx_safety_mode", "", s.safety_mode);
  t.family("vemo_umx_runtime_state", "gauge",
           "Program runtime state, as last reported by the controller.");
  t.gauge("vemo_umx_runtime_state", "", s.runtime_state);

  t.family("vemo_umx_commands_total", "counter",
           "PLC commands run (once per 0-then-code in the command word).");
  for (size_t c = 0; c < kCommands; ++c)
    t.sample("vemo_umx_commands_total", label("command", commandName(c)), s.commands[c]);
  t.family("vemo_umx_command_failures_total", "counter",
           "PLC commands the controller refused or did not answer.");
  for (size_t c = 0; c < kCommands; ++c)
    t.sample("vemo_umx_command_failures_total", label("command", commandName(c)),
             s.command_failures[c]);
  return out;
}

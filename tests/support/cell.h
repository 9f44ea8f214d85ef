#pragma once
// The whole cell for end-to-end tests: robot controller simulator, a socat
// serial line, the gateway simulator on its far end, and the real vemo_umx
// with a temporary workspace. Meant to run inside a private network
// namespace (the controller ports are fixed).
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "process.h"
#include "test_env.h"

namespace vt {

class Cell {
 public:
  struct Options {
    std::map<std::string, std::string> config;  // key -> libconfig value text, e.g. "1" or "\"x\""
    std::vector<std::string> robot_args;        // extra vemo_robot_sim arguments
    bool start_robot = true;
    bool start_gateway = true;
    bool write_config = true;
    bool start_umx = true;  // false: the test runs the scheduler in-process
    std::vector<std::pair<std::string, std::string>> umx_env;  // set for the service only
    std::vector<std::string> umx_args;                         // after --workspace DIR
    int umx_output_fd = -1;  // set: the service's console goes there, uncaptured
  };

  explicit Cell(Options options);
  Cell() : Cell(Options{}) {}
  ~Cell();

  // Starts what Options asks for and the service; waits for "VEMO-UMX is Running"
  // when `wait_running`.
  void start(bool wait_running = true);
  void startRobot();
  // Kills the controller simulator and starts a fresh one on the same ports.
  void restartRobot();
  void startGateway();
  void startUmx();

  // Another vemo_umx on this cell's serial line and controller, with a
  // workspace of its own below `dir` and `config` (portName set here).
  std::unique_ptr<Process> startAnotherService(const std::string& dir,
                                               std::map<std::string, std::string> config);

  Process& robot() { return *robot_; }
  Process& gateway() { return *gateway_; }
  Process& umx() { return *umx_; }
  SocatPty& line() { return *pty_; }
  const std::string& workspace() const { return ws_; }
  std::string logFile() const { return ws_ + "log/umx/vemo_umx.log"; }

  // Gateway image access through the simulator's command interface.
  std::string gwQuery(const std::string& cmd);
  std::vector<long> gwGet(const std::string& table, int addr, int count);
  void gwSet(const std::string& table, int addr, const std::vector<long>& values);
  // Waits until the gateway holds `expected` from addr on.
  bool waitGateway(const std::string& table, int addr, const std::vector<long>& expected,
                   Ms timeout);
  bool waitGatewayWhere(const std::string& table, int addr, int count,
                        const std::function<bool(const std::vector<long>&)>& pred, Ms timeout,
                        Ms poll = Ms(20));

  // A request count from the gateway simulator's stats ("fc16", "total"...); -1 when unknown.
  long gwRequests(const std::string& key);
  // Waits until n more exchange cycles have written the gateway (two
  // write-multiple-register requests each).
  bool waitCycles(int n, Ms timeout = Ms(15000));

  // With the gateway's trace on: the receive times (s, monotonic clock) of
  // the status-block writes traced from gateway line `from` on.
  std::vector<double> statusBlockTimes(size_t from = 0) const;

  // Sends a command to the robot simulator and waits for its "ok"/"error" answer.
  std::string robotCmd(const std::string& cmd);
  // The count of robot simulator lines that start with prefix.
  size_t robotLines(const std::string& prefix) const;
  // Waits for a "call ..." line (exact) at or after index `from`.
  bool waitCall(const std::string& call, Ms timeout, size_t from = 0);

  // The service's messages (from its console output, which carries each one).
  bool waitLog(const std::string& message, Ms timeout, size_t from = 0);
  size_t logCount(const std::string& message) const;

 private:
  Options options_;
  TempDir tmp_;
  std::string ws_;
  std::unique_ptr<SocatPty> pty_;
  std::unique_ptr<Process> robot_, gateway_, umx_;
};

// A 16-bit word with its bytes exchanged: the service's encoding with littleEndian clear.
inline long swap16(long v) {
  return ((v & 0xFF) << 8) | ((v >> 8) & 0xFF);
}

// The default configuration file text with `overrides` applied.
std::string configText(const std::map<std::string, std::string>& overrides);

}  // namespace vt

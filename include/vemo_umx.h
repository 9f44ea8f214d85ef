#pragma once
// The application: command line, workspace, and the gateway scheduler it owns.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Held by pointer, so that this header needs none of the library's private ones.
class Schedule;

class VemoUmx {
 public:
  VemoUmx();
  ~VemoUmx();
  VemoUmx(const VemoUmx&) = delete;
  VemoUmx& operator=(const VemoUmx&) = delete;

  // The whole start-up. 0 once the scheduler runs; otherwise the exit status
  // for a start-up that cannot go on (2: bad command line, 1: workspace unusable).
  int start(int argc, char** argv);
  // Called once the workspace exists and UMX_WS names it, before the
  // scheduler is set up and waits for the controller.
  void onWorkspaceReady(std::function<void()> f) { workspace_ready_ = std::move(f); }
  // Command line and workspace; 0 to go on, else the exit status.
  int parseOptions(int argc, char** argv);
  // The PLC tag list in `format` for the configuration file at `config_path`
  // on standard output: 0; a bad format or file: 2, with a message.
  static int exportTags(const std::string& format, const std::string& config_path);
  // Whether the command line asked for something that is done already (the
  // tag export): the process ends with status 0 and the service never starts.
  bool done() const { return done_; }

  const std::string& configPath() const { return config_path_; }
  const std::string& workspacePath() const { return workspace_path_; }
  // The metrics file (--metrics-file, else VEMO_UMX_METRICS_FILE); empty: none.
  const std::string& metricsFile() const { return metrics_file_; }
  Schedule& schedule() { return *schedule_; }

  // The process ends on `signo` (a stop, or a crash whose report is
  // written): the log writes out what it holds back, within a second or two.
  static void writeOutLog(int signo, bool crash);

 private:
  int32_t argc_ = 0;
  char** argv_ = nullptr;
  std::string config_path_ = "./config/vemo_umx.conf";
  std::string workspace_path_ = "/root/ryne_ws/";
  std::string metrics_file_;
  std::function<void()> workspace_ready_;
  bool done_ = false;
  std::unique_ptr<Schedule> schedule_;
};

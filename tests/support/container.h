#pragma once
// A booted Debian 12 container with systemd as PID 1, for the tests that only
// a real service manager can prove (notify and watchdog, the boot, the
// package's maintainer scripts, the unit's sandboxing). scripts/bootstrap
// prepares the tree once; every Container boots it under an overlay of its
// own (nothing of a run stays in the tree, and what a run installs survives
// a reboot), shares the test's network namespace, and is shut down and
// reaped when it goes, also when the test fails.
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace vt {

class Container {
 public:
  // Why no container can be booted here, "" when one can: no systemd-nspawn,
  // no prepared tree, a sandbox that refuses it.
  static std::string unavailable();

  Container();  // boots and waits for the boot to settle; throws when it cannot
  ~Container();

  // Powers the container off and boots it again on the same overlay, as a
  // controller computer is rebooted; returns once systemd answers, without
  // waiting for the boot to settle.
  void reboot();
  // Waits for `systemctl is-system-running` to say running or degraded;
  // false after `timeout`.
  bool waitSettled(Ms timeout, std::string* last = nullptr);
  Container(const Container&) = delete;
  Container& operator=(const Container&) = delete;

  struct Result {
    int status = -1;  // -1: did not end in time
    std::string out;  // standard output and error together
  };
  // A shell command inside the container, as root, with a clean environment.
  Result exec(const std::string& command, Ms timeout = Ms(60000));
  // A long-running process inside the container, driven like any other
  // (standard input and output piped to the test).
  std::unique_ptr<Process> spawn(const std::vector<std::string>& argv);
  // The host's view of a path inside the container.
  std::string hostPath(const std::string& path) const;
  void copyIn(const std::string& host_file, const std::string& path);

  pid_t init() const { return init_; }
  // What systemd printed on the console so far (boot and shutdown).
  std::string console() const { return nspawn_ ? nspawn_->allText() : ""; }

 private:
  static std::string tree();
  std::vector<std::string> enter() const;
  void boot();
  void powerOff();

  std::string overlay_;  // tmpfs holding the overlay's upper, work and merged directories
  std::unique_ptr<Process> nspawn_;
  pid_t init_ = -1;
};

}  // namespace vt

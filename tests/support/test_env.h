#pragma once
// Temporary directories, program paths, socat pty pairs and condition waits.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "process.h"

namespace vt {

// Path of a program built by this project (bin/ of the build tree).
std::string bin(const std::string& name);
std::string sourceDir();
std::string breakpadTool(const std::string& name);  // minidump_dump, minidump_stackwalk

// A fresh directory below /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  explicit TempDir(const std::string& tag = "vemo");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Polls pred until it holds or the deadline passes; the poll is only the
// granularity of the wait, never the synchronisation itself.
bool waitUntil(const std::function<bool()>& pred, Ms timeout, Ms poll = Ms(10));

// A pair of connected pseudo-terminals made by socat: `a` for the service,
// `b` for the gateway simulator. Tearing it down unplugs the line.
class SocatPty {
 public:
  explicit SocatPty(const std::string& dir);
  ~SocatPty();
  const std::string& a() const { return a_; }
  const std::string& b() const { return b_; }
  bool up() const;
  void down();  // kill socat: both ends disappear
  void upAgain();

 private:
  void start();
  std::string a_, b_;
  std::unique_ptr<Process> socat_;
};

// The main thread of `pid` sleeping in the service's idle loop: the entry
// routine has armed crash reporting (start-up never sleeps on the main
// thread once the scheduler runs).
bool mainThreadIdle(pid_t pid);
// Whether `pid` has a handler installed for `sig` (SigCgt in /proc).
bool catchesSignal(pid_t pid, int sig);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);

}  // namespace vt

#pragma once
// Crash signal handling: a readable stack trace on standard error and in a
// trace file of the crash directory for every signal of a list, and the
// hooks given to Breakpad so that a minidump is written beside it.
//
// SIGUSR1 asks a running service for the stack of the thread it lands on;
// the service goes on. Its handler takes the raw frames alone
// (async-signal-safe: no allocation, no lock) and a report thread resolves
// and writes them, so a report never runs inside the allocator or a lock of
// the thread it interrupted, and a request that comes while one is made is
// never fatal: it is answered by that report or the next.
//
// A fatal signal is reported on the thread that met it; the report is not
// async-signal-safe (backward-cpp, libdw, streams, files, Breakpad), so
// SIGALRM bounds it: the process ends at most kReportDeadlineSeconds after
// the fatal signal, with the report written if it finished by then. The
// crash directory holds at most kMaxCrashFiles files after a report, and a
// restart loop leaves its first kLoopReports fatal reports a day.
// The policy lives in src/signal_handling.cpp.
#include <signal.h>

#include <cstddef>
#include <string>
#include <vector>

namespace google_breakpad {
class MinidumpDescriptor;
}

namespace backward {

class SignalHandling1 {
 public:
  static constexpr size_t kAltStackSize = 8388608;
  // Trace files and minidumps together that the crash directory keeps.
  static constexpr int kMaxCrashFiles = 10;
  // How long a fatal report may take before SIGALRM ends the process anyway.
  static constexpr unsigned kReportDeadlineSeconds = 10;
  // Fatal reports a restart loop may leave, and over how long; counted apart
  // for signals another process sent (a watchdog's SIGABRT) and for faults
  // the process met itself, so that a real fault's report always gets through.
  static constexpr int kLoopReports = 3;
  static constexpr long kLoopWindowSeconds = 24 * 3600;

  static std::vector<int> make_default_signals();

  explicit SignalHandling1(const std::vector<int>& posix_signals);
  ~SignalHandling1();
  SignalHandling1(const SignalHandling1&) = delete;
  SignalHandling1& operator=(const SignalHandling1&) = delete;

  // The workspace text, with its trailing "/"; empty until crash reporting
  // is armed at process entry (setWorkspace).
  static std::string workspace_;
  // Sets workspace_ and forms, outside any handler, the paths the fatal path
  // writes to; then starts the report thread of SIGUSR1.
  static void setWorkspace(const std::string& workspace);

  // Called once, after the trace of the first fatal signal is written: the
  // program's log writes out what it holds back (bounded in time; the
  // report deadline bounds it too). Unset: nothing.
  static inline void (*on_fatal_report_)(int signo) = nullptr;

  // Where minidumps and trace files go. Plain concatenation: a workspace
  // without its trailing "/" names a sibling directory that nothing creates.
  static std::string crashDirectory() { return workspace_ + "./log/.crash/vemo_umx/"; }
  // Deletes the oldest regular "*.dmp" files of `dir`, by modification time,
  // until at most `keep` remain; a file-system error skips the pruning.
  static void pruneMinidumps(const std::string& dir, size_t keep);

  // Breakpad's first-chance handler, and the report itself when called
  // directly: the readable trace, then false so that Breakpad goes on to
  // write the minidump and end the process.
  static bool handleSignal(int signo, siginfo_t* info, void* ctx);
  // The handler installed for the whole list.
  static void sig_handler(int signo, siginfo_t* info, void* ctx);
  static bool dumpCallback(const google_breakpad::MinidumpDescriptor& descriptor, void* context,
                           bool succeeded);

 private:
  char* stack_ = nullptr;
  bool has_stack_ = false;
};

// The process's one instance, built at load time (src/main.cpp).
extern SignalHandling1 sh;

}  // namespace backward

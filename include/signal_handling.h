#pragma once
// Crash signal handling: a readable stack trace on standard error and in a
// trace file of the crash directory for every signal of a list, and the
// hooks given to Breakpad so that a minidump is written beside it. SIGUSR1
// only writes the trace; the service goes on.
//
// The report is not async-signal-safe (backward-cpp, libdw, streams, files,
// Breakpad all may allocate or lock), so it can block for ever: glibc aborts
// from inside malloc with its arena lock held when it finds the heap
// corrupt, and the report's first allocation then waits on that lock while
// the other threads go on (and would keep a watchdog fed). So every signal
// but SIGUSR1 first arms SIGALRM with its default action: the process ends
// at most kReportDeadlineSeconds after the fatal signal, with the report
// written if it finished by then (it takes well under a second). SIGUSR1
// never arms it, as its trace must not end a running service.
//
// The crash directory holds at most kMaxCrashFiles files after a report:
// the trace files and minidumps count together.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <backward.hpp>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "client/linux/handler/exception_handler.h"
#include "client/linux/handler/minidump_descriptor.h"
#include "file_rolling.h"

namespace backward {

class SignalHandling1 {
 public:
  static constexpr size_t kAltStackSize = 8388608;
  // Trace files and minidumps together that the crash directory keeps.
  static constexpr int kMaxCrashFiles = 10;
  // How long a fatal report may take before SIGALRM ends the process anyway.
  static constexpr unsigned kReportDeadlineSeconds = 10;
  // Fatal reports a restart loop may leave, and over how long.
  static constexpr int kLoopReports = 3;
  static constexpr long kLoopWindowSeconds = 24 * 3600;

  static std::vector<int> make_default_signals() {
    return {SIGABRT, SIGBUS,  SIGFPE,  SIGILL,  SIGIOT,  SIGQUIT, SIGSEGV,
            SIGSYS,  SIGTRAP, SIGXCPU, SIGXFSZ, SIGUSR1, SIGUSR2};
  }

  explicit SignalHandling1(const std::vector<int>& posix_signals) {
    // Faults from a stack overflow need a stack of their own to be reported.
    stack_ = static_cast<char*>(std::malloc(kAltStackSize));
    has_stack_ = stack_ != nullptr;
    if (has_stack_) {
      stack_t ss{};
      ss.ss_sp = stack_;
      ss.ss_size = kAltStackSize;
      ss.ss_flags = 0;
      sigaltstack(&ss, nullptr);
    }
    for (int sig : posix_signals) installHandler(sig);
  }

  ~SignalHandling1() {
    if (!has_stack_) return;
    // A signal arriving after the buffer is gone must not run on freed memory.
    stack_t cur{};
    if (sigaltstack(nullptr, &cur) == 0 && cur.ss_sp == stack_) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
    }
    std::free(stack_);
  }

  SignalHandling1(const SignalHandling1&) = delete;
  SignalHandling1& operator=(const SignalHandling1&) = delete;

  // The workspace text, with its trailing "/"; empty until crash reporting
  // is armed at process entry.
  static std::string workspace_;

  // Called once, after the trace of the first fatal signal is written: the
  // program's log writes out what it holds back (bounded in time; the
  // report deadline bounds it too). Unset: nothing.
  static inline void (*on_fatal_report_)(int signo) = nullptr;

  // Where minidumps and trace files go. Plain concatenation: a workspace
  // without its trailing "/" names a sibling directory that nothing creates.
  static std::string crashDirectory() { return workspace_ + "./log/.crash/vemo_umx/"; }

  // Deletes the oldest regular "*.dmp" files of `dir`, by modification time,
  // until at most `keep` remain. Any file-system error while listing skips
  // the pruning: the report itself matters more.
  static void pruneMinidumps(const std::string& dir, size_t keep) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(dir, ec) || ec) return;
    std::vector<std::pair<fs::file_time_type, fs::path>> dumps;
    fs::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      const size_t dot = name.rfind('.');
      if (dot == std::string::npos || name.compare(dot, std::string::npos, ".dmp") != 0) continue;
      const bool regular = it->is_regular_file(ec);
      if (ec) return;
      if (!regular) continue;
      const fs::file_time_type t = fs::last_write_time(it->path(), ec);
      if (ec) return;
      dumps.emplace_back(t, it->path());
    }
    if (ec || dumps.size() <= keep) return;
    std::sort(dumps.begin(), dumps.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i + keep < dumps.size(); ++i) fs::remove(dumps[i].second, ec);
  }

  // Where the times of the last fatal reports are kept: beside the crash
  // directory, so that its rolling never takes them.
  static std::string reportTimesFile() { return workspace_ + "./log/.crash/fatal_report_times"; }

  // A restart loop (a crash or a watchdog kill every few seconds) writes the
  // same report again and again and would push every earlier report out of
  // the directory: once kLoopReports fatal reports were written within
  // kLoopWindowSeconds, a fatal signal writes none (one line on standard
  // error says so) and the process ends as it would have. True when this
  // report is to be written; it is then counted. Plain system calls on a
  // file of a few lines.
  static bool admitFatalReport() {
    const std::string path = reportTimesFile();
    const long now = static_cast<long>(time(nullptr));
    long times[kLoopReports] = {};
    int n = 0;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      char buf[256];
      const ssize_t got = read(fd, buf, sizeof buf - 1);
      close(fd);
      buf[got > 0 ? got : 0] = '\0';
      for (char* p = buf; *p != '\0' && n < kLoopReports;) {
        char* end = nullptr;
        const long t = std::strtol(p, &end, 10);
        if (end == p) break;
        times[n++] = t;
        p = end;
      }
    }
    int recent = 0;
    for (int i = 0; i < n; ++i) recent += times[i] > now - kLoopWindowSeconds && times[i] <= now;
    if (recent >= kLoopReports) return false;
    // The newest kLoopReports times, oldest first.
    if (n == kLoopReports) {
      for (int i = 1; i < n; ++i) times[i - 1] = times[i];
      --n;
    }
    times[n++] = now;
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      for (int i = 0; i < n; ++i) {
        char line[32];
        const int len = snprintf(line, sizeof line, "%ld\n", times[i]);
        if (len > 0 && write(fd, line, static_cast<size_t>(len)) < 0) break;
      }
      close(fd);
    }
    return true;
  }

  // Decided once per process: Breakpad's handler and ours may both see the
  // same fatal signal.
  static bool fatalReportAdmitted() {
    int state = fatal_admission_.load();
    if (state == 0) {
      const int decided = admitFatalReport() ? 1 : 2;
      if (fatal_admission_.compare_exchange_strong(state, decided)) state = decided;
    }
    return state == 1;
  }

  // Breakpad's first-chance handler: the readable trace, then false so that
  // Breakpad goes on to write the minidump and end the process.
  static bool handleSignal(int signo, siginfo_t* info, void* ctx) {
    if (signo != SIGUSR1) {
      armReportDeadline();
      if (!fatalReportAdmitted()) {
        skipReport(signo);
        // No minidump either: the signal's default action ends the process now.
        takeDefaultAction(signo);
        raise(signo);
        return true;
      }
    }
    // One file short of the limit: the minidump that follows makes it full.
    writeReport(info, ctx, kMaxCrashFiles - 1);
    if (signo != SIGUSR1) afterFatalReport(signo);
    return false;
  }

  // The handler installed for the whole list. It sees the signals Breakpad
  // does not watch, and all of them before Breakpad is installed: no
  // minidump follows its trace.
  static void sig_handler(int signo, siginfo_t* info, void* ctx) {
    const int sig = info ? info->si_signo : signo;
    if (sig != SIGUSR1) armReportDeadline();
    // Flushed at once: the process may end before stdio would flush.
    printf("Received signal %d!\n", signo);
    fflush(stdout);
    if (sig != SIGUSR1 && !fatalReportAdmitted())
      skipReport(sig);
    else
      writeReport(info, ctx, kMaxCrashFiles);

    if (sig != SIGUSR1) {
      afterFatalReport(sig);
      // The disposition is the default again (SA_RESETHAND) and the signal is
      // not blocked (SA_NODEFER): this ends the process.
      raise(sig);
      puts("watf? exit");
      fflush(stdout);
      _exit(1);
    }
    puts("Received SIGUSR1!");
    fflush(stdout);
    // What symbolising the trace took (debug information, on whichever
    // thread's malloc arena the signal landed) is freed but would stay with
    // the process: give it back, so that diagnostics on a live cell never
    // make the service grow.
    malloc_trim(0);
    installHandler(SIGUSR1);
  }

  static bool dumpCallback(const google_breakpad::MinidumpDescriptor& descriptor, void* context,
                           bool succeeded) {
    // A descriptor whose path was never formed has none at all.
    const char* path = descriptor.path() ? descriptor.path() : "";
    printf("Dump path: %s\n", path);
    fflush(stdout);
    if (context) std::strcpy(static_cast<char*>(context), path);
    return succeeded;
  }

 private:
  // Makes SIGALRM end the process kReportDeadlineSeconds after the first
  // fatal signal, whatever the report then does. Async-signal-safe calls
  // only, before anything that may allocate. The handler's mask blocks
  // SIGALRM and the process may have it blocked in every thread, so this
  // thread takes it. Armed once: Breakpad handing a signal back to
  // sig_handler, or a second crashing thread, does not push the end further.
  static void armReportDeadline() {
    takeDefaultAction(SIGALRM);
    if (!deadline_armed_.exchange(true)) alarm(kReportDeadlineSeconds);
  }

  // `sig` at its default action and not blocked in this thread.
  static void takeDefaultAction(int sig) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  }

  static void skipReport(int sig) {
    fprintf(stderr,
            "Crash report skipped: %d crash reports in the last %ld hours already (restart "
            "loop)\n",
            kLoopReports, kLoopWindowSeconds / 3600);
    fflush(stderr);
    afterFatalReport(sig);
  }

  static void afterFatalReport(int sig) {
    if (on_fatal_report_ && !log_written_out_.exchange(true)) on_fatal_report_(sig);
  }

  // The stack trace on standard error and in a new trace file, after which
  // the crash directory holds at most `max_files` files.
  static void writeReport(siginfo_t* info, void* ctx, int max_files) {
    ucontext_t* uctx = static_cast<ucontext_t*>(ctx);
    void* fault_addr = info ? info->si_addr : nullptr;
    void* pc = uctx ? interruptedAddress(uctx) : nullptr;

    StackTrace st;
    if (pc) {
      // Starts the trace at the interrupted frame, hiding the handler's own.
      st.load_from(pc, 32, uctx, fault_addr);
    } else {
      st.load_here(32, uctx, fault_addr);
    }

    Printer printer;
    printer.address = true;
    printer.print(st, stderr);

    const std::string dir = crashDirectory();
    // Room for a minidump written next.
    pruneMinidumps(dir, kMaxCrashFiles - 1);
    {
      auto rolling = std::make_shared<FileRolling>(dir, "vemo_umx", "", max_files);
      rolling->write(st);
      if (info) psiginfo(info, nullptr);
    }
  }

  static void installHandler(int sig) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_flags = static_cast<int>(SA_SIGINFO | SA_ONSTACK | SA_NODEFER | SA_RESETHAND);
    sigfillset(&action.sa_mask);
    sigdelset(&action.sa_mask, sig);
    action.sa_sigaction = &sig_handler;
    sigaction(sig, &action, nullptr);
  }

  static void* interruptedAddress(const ucontext_t* uctx) {
#if defined(__x86_64__)
    return reinterpret_cast<void*>(uctx->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return reinterpret_cast<void*>(uctx->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    return reinterpret_cast<void*>(uctx->uc_mcontext.pc);
#elif defined(__arm__)
    return reinterpret_cast<void*>(uctx->uc_mcontext.arm_pc);
#elif defined(__riscv)
    return reinterpret_cast<void*>(uctx->uc_mcontext.__gregs[REG_PC]);
#else
    (void)uctx;
    return nullptr;
#endif
  }

  // Signal handlers only test and set it.
  static_assert(std::atomic<bool>::is_always_lock_free);
  static inline std::atomic<bool> deadline_armed_{false};
  static inline std::atomic<bool> log_written_out_{false};
  // 0: not decided yet; 1: this process writes its fatal report; 2: it does not.
  static inline std::atomic<int> fatal_admission_{0};

  char* stack_ = nullptr;
  bool has_stack_ = false;
};

}  // namespace backward

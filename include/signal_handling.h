#pragma once
// Crash signal handling: a readable stack trace on standard error and in a
// trace file of the crash directory for every signal of a list, and the
// hooks given to Breakpad so that a minidump is written beside it. SIGUSR1
// only writes the trace; the service goes on.
#include <signal.h>
#include <stdio.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
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

  // The report. Breakpad's first-chance handler: returning false lets it go
  // on to write the minidump.
  static bool handleSignal(int, siginfo_t* info, void* ctx) {
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
    // Room for the minidump Breakpad writes next.
    pruneMinidumps(dir, kMaxCrashFiles - 1);
    {
      auto rolling = std::make_shared<FileRolling>(dir, "vemo_umx", "", kMaxCrashFiles);
      rolling->write(st);
      if (info) psiginfo(info, nullptr);
    }
    return false;
  }

  // The handler installed for the whole list.
  static void sig_handler(int signo, siginfo_t* info, void* ctx) {
    // Flushed at once: the process may end before stdio would flush.
    printf("Received signal %d!\n", signo);
    fflush(stdout);
    handleSignal(signo, info, ctx);

    const int sig = info ? info->si_signo : signo;
    if (sig != SIGUSR1) {
      // The disposition is the default again (SA_RESETHAND) and the signal is
      // not blocked (SA_NODEFER): this ends the process.
      raise(sig);
      puts("watf? exit");
      fflush(stdout);
      _exit(1);
    }
    puts("Received SIGUSR1!");
    fflush(stdout);
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

  char* stack_ = nullptr;
  bool has_stack_ = false;
};

}  // namespace backward

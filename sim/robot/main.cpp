// vemo_robot_sim: a simulated robot controller for tests, the demo and
// integrators without an arm. See robot_sim.h for what it serves.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "robot_sim.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: vemo_robot_sim [--rpc-port N] [--rtde-port N] [--standard-di N]\n"
               "         [--standard-do N] [--configurable-di N] [--configurable-do N]\n"
               "         [--tool-do N] [--step-ms N]\n"
               "Port 0 picks a free port; the ready line shows the ports bound.\n");
}

bool number(const char* text, int lo, int hi, int& out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (!text[0] || *end || v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  robot_sim::SimOptions o;
  struct Opt {
    const char* name;
    int* value;
    int lo, hi;
  } opts[] = {
      {"--rpc-port", &o.rpc_port, 0, 65535},
      {"--rtde-port", &o.rtde_port, 0, 65535},
      {"--standard-di", &o.arm.standard_di, 0, 64},
      {"--standard-do", &o.arm.standard_do, 0, 64},
      {"--configurable-di", &o.arm.configurable_di, 0, 64},
      {"--configurable-do", &o.arm.configurable_do, 0, 64},
      {"--tool-do", &o.arm.tool_do, 0, 64},
      {"--step-ms", &o.arm.step_ms, 1, 60000},
  };
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      usage();
      return 0;
    }
    std::string val;
    auto eq = a.find('=');
    if (eq != std::string::npos) {
      val = a.substr(eq + 1);
      a = a.substr(0, eq);
    } else if (i + 1 < argc) {
      val = argv[++i];
    }
    bool known = false;
    for (auto& op : opts) {
      if (a != op.name) continue;
      known = true;
      if (!number(val.c_str(), op.lo, op.hi, *op.value)) {
        std::fprintf(stderr, "vemo_robot_sim: %s needs a number from %d to %d, got '%s'\n", op.name,
                     op.lo, op.hi, val.c_str());
        return 2;
      }
    }
    if (!known) {
      std::fprintf(stderr, "vemo_robot_sim: unknown option %s\n", a.c_str());
      usage();
      return 2;
    }
  }
  robot_sim::RobotSim sim(o);
  return sim.run();
}

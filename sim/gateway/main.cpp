// vemo_gateway_sim: a Modbus slave (unit 1) standing in for the fieldbus
// gateway, on a serial line (--rtu <path>) or on 127.0.0.1 (--tcp <port>),
// driven by commands on standard input.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "gateway_commands.h"
#include "gateway_image.h"
#include "gateway_server.h"

namespace {

std::mutex g_out_mu;

// Answers and server notices come from two threads; each line goes out whole
// and at once, since the reader is usually a test waiting for it.
void say(const std::string& line) {
  std::lock_guard<std::mutex> lk(g_out_mu);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int usage() {
  std::fprintf(stderr,
               "usage: vemo_gateway_sim (--rtu <device> | --tcp <port>) [--size <entries>]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string rtu;
  long tcp = -1;
  long size = 1024;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    if (a == "--rtu") {
      rtu = argv[++i];
    } else if (a == "--tcp") {
      char* end;
      tcp = std::strtol(argv[++i], &end, 10);
      if (*end || tcp < 0 || tcp > 65535) return usage();
    } else if (a == "--size") {
      char* end;
      size = std::strtol(argv[++i], &end, 10);
      if (*end || size < 1 || size > 65536) return usage();
    } else {
      return usage();
    }
  }
  if (rtu.empty() == (tcp < 0)) return usage();

  // A master that hangs up mid-answer must not end the simulator.
  signal(SIGPIPE, SIG_IGN);

  GatewayImage image(static_cast<int>(size));
  GatewayCommands commands(image);
  std::atomic<bool> stop{false};
  GatewayServer server(image, say, stop);
  if (rtu.empty() && server.listenTcp(static_cast<int>(tcp)) != 0) return 1;
  std::thread serving([&] {
    if (!rtu.empty())
      server.runRtu(rtu);
    else
      server.runTcp();
  });

  // End of input ends the simulator as "quit" does: its driver is gone.
  bool quit = false;
  for (std::string line; !quit && std::getline(std::cin, line);) {
    std::string answer = commands.execute(line, &quit);
    if (!answer.empty()) say(answer);
  }
  stop = true;
  serving.join();
  return 0;
}

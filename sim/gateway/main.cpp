// vemo_gateway_sim: a Modbus slave (unit 1) standing in for the fieldbus
// gateway, on a serial line (--rtu <path>) or on 127.0.0.1 (--tcp <port>),
// driven by commands on standard input. With --watch it also shows the image
// decoded as the PLC sees it and takes PLC actions (see watch_loop.h).
#include <modbus/modbus.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "gateway_commands.h"
#include "gateway_image.h"
#include "gateway_map.h"
#include "gateway_server.h"
#include "plc_view.h"
#include "watch_loop.h"

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
               "usage: vemo_gateway_sim (--rtu <device> | --tcp <port>) [--size <entries>]\n"
               "         [--watch [--little-endian 0|1] [--protocol-type <n>]"
               " [--command-register <n>]]\n");
  return 2;
}

bool parseLong(const char* text, long lo, long hi, long* value) {
  char* end;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (*text == '\0' || *end || errno != 0 || v < lo || v > hi) return false;
  *value = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string rtu;
  long tcp = -1;
  long size = 1024;
  bool watch = false;
  bool view_options = false;
  plc_view::ViewOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--watch") {
      watch = true;
      continue;
    }
    if (i + 1 >= argc) return usage();
    long v;
    if (a == "--little-endian" || a == "--protocol-type" || a == "--command-register") {
      view_options = true;
      const long hi = a == "--little-endian"   ? 1
                      : a == "--protocol-type" ? 65535
                                               : 65536 - gateway_map::kCommandBlockCount;
      if (!parseLong(argv[++i], 0, hi, &v)) return usage();
      if (a == "--little-endian")
        options.little_endian = v != 0;
      else if (a == "--protocol-type")
        options.protocol_type = static_cast<int>(v);
      else
        options.command_register = static_cast<int>(v);
    } else if (a == "--rtu") {
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
  // The view's settings describe the service's image: alone they would do nothing.
  if (view_options && !watch) return usage();
  if (watch) {
    const long needed =
        std::max<long>({gateway_map::kStatusBlockStart + gateway_map::kStatusBlockCount,
                        gateway_map::kStatusBitsStart + gateway_map::kStatusBitsCount,
                        options.command_register + gateway_map::kCommandBlockCount});
    if (size < needed) {
      std::fprintf(stderr, "vemo_gateway_sim: --watch needs --size %ld or more\n", needed);
      return 2;
    }
  }

  // A master that hangs up mid-answer must not end the simulator.
  signal(SIGPIPE, SIG_IGN);

  GatewayImage image(static_cast<int>(size));
  GatewayCommands commands(image);
  std::atomic<bool> stop{false};
  std::unique_ptr<WatchLoop> watcher;
  if (watch) {
    watcher = std::make_unique<WatchLoop>(image, commands, options);
    image.watchReads(MODBUS_FC_READ_INPUT_REGISTERS, options.command_register);
  }
  GatewayServer server(
      image, watcher ? GatewayServer::Say([&](const std::string& l) { watcher->say(l); }) : say,
      stop);
  if (rtu.empty() && server.listenTcp(static_cast<int>(tcp)) != 0) return 1;
  // The watch loop's signals must reach the thread that waits for input, not
  // interrupt the serving thread mid-frame.
  sigset_t loop_signals, before;
  sigemptyset(&loop_signals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGTSTP}) sigaddset(&loop_signals, sig);
  if (watcher) pthread_sigmask(SIG_BLOCK, &loop_signals, &before);
  std::thread serving([&] {
    if (!rtu.empty())
      server.runRtu(rtu);
    else
      server.runTcp();
  });
  if (watcher) {
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    watcher->setLink(rtu.empty() ? "tcp " + std::to_string(server.port()) : "rtu " + rtu);
    const int rc = watcher->run();
    stop = true;
    serving.join();
    return rc;
  }

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

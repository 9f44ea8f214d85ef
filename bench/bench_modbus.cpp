// Round-trip times of the exchange cycle's Modbus requests, through ModbusDev
// against vemo_gateway_sim over a socat pty pair, next to the time the same
// frames would take on the real 115200 baud 8N1 line.
//
//   bench_modbus [--iterations N] [--sim PATH]
//
// A pty has no baud rate, so the measured times are the software path alone
// (library, kernel, socat, simulator); the line time is what a real serial
// link adds on top of it.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "modbusdev.h"

namespace {

using Clock = std::chrono::steady_clock;

pid_t spawn(const std::vector<std::string>& argv, int* stdinFd, int* stdoutFd) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 2);
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    std::vector<char*> av;
    for (auto& a : argv) av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    execvp(av[0], av.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  *stdinFd = in[1];
  *stdoutFd = out[0];
  return pid;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Reads the simulator's output until a line starts with prefix.
bool waitLine(int fd, const std::string& prefix) {
  std::string line;
  char c;
  while (read(fd, &c, 1) == 1) {
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.rfind(prefix, 0) == 0) return true;
    line.clear();
  }
  return false;
}

struct Request {
  const char* name;
  int requestBytes;  // RTU frame: address, function, PDU, CRC
  int responseBytes;
  std::function<int(ModbusDev&)> call;
  int per_cycle = 1;  // the cycle writes 64 coils twice (status bits, bool outputs)
};

double lineMs(int bytes) {
  return bytes * 10.0 * 1000.0 / 115200.0;
}

}  // namespace

int main(int argc, char** argv) {
  int iterations = 1000;
  std::string sim = std::string(VEMO_BIN_DIR) + "/vemo_gateway_sim";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--iterations")) iterations = std::max(1, std::atoi(argv[i + 1]));
    if (!std::strcmp(argv[i], "--sim")) sim = argv[i + 1];
  }

  char tmpl[] = "/tmp/bench-modbus-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string dir = tmpl, a = dir + "/ttyA", b = dir + "/ttyB";

  int socatIn, socatOut;
  pid_t socat =
      spawn({"socat", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b}, &socatIn, &socatOut);
  int simIn = -1, simOut = -1;
  pid_t simPid = -1;
  auto cleanup = [&] {
    if (simPid > 0) kill(simPid, SIGKILL), waitpid(simPid, nullptr, 0);
    if (socat > 0) kill(socat, SIGTERM), waitpid(socat, nullptr, 0);
    unlink(a.c_str());
    unlink(b.c_str());
    rmdir(dir.c_str());
  };
  if (socat < 0 || !waitUntil([&] { return exists(a) && exists(b); }, std::chrono::seconds(5))) {
    std::fprintf(stderr, "socat pty pair did not come up\n");
    cleanup();
    return 1;
  }
  simPid = spawn({sim, "--rtu", b}, &simIn, &simOut);
  if (simPid < 0 || !waitLine(simOut, "ready")) {
    std::fprintf(stderr, "%s did not become ready\n", sim.c_str());
    cleanup();
    return 1;
  }

  ModbusDev dev;
  ModbusConfig c;
  c.deviceName = "umxGateway";
  c.protocol = "RTU";
  c.slaveId = 1;
  c.serialPort = a;
  c.baudRate = 115200;
  c.parity = 'N';
  c.dataBits = 8;
  c.stopBits = 1;
  c.responseTimeoutMs = 1000;
  dev.setModbusConfig(c);
  if (dev.modbusOpen() != 0) {
    std::fprintf(stderr, "open failed: %s\n", dev.getLastErrorMsg().c_str());
    cleanup();
    return 1;
  }

  std::vector<uint8_t> bits(64);
  std::vector<uint16_t> regs(100);
  // Frame sizes: 8 bytes for a read request and a write answer; a write
  // request carries a byte count and its data; a read answer a byte count
  // and its data.
  std::vector<Request> requests = {
      {"write 64 coils (fc15)", 9 + 8, 8,
       [&](ModbusDev& d) { return d.modbusWriteBits(64, 64, bits.data()); }, 2},
      {"write 100 holding registers (fc16)", 9 + 200, 8,
       [&](ModbusDev& d) { return d.modbusWriteRegisters(32, 100, regs.data()); }},
      {"read 64 discrete inputs (fc2)", 8, 5 + 8,
       [&](ModbusDev& d) { return d.modbusReadInputBits(0, 64, bits.data()); }},
      {"read 32 input registers (fc4)", 8, 5 + 64,
       [&](ModbusDev& d) { return d.modbusReadInputRegisters(0, 32, regs.data()); }},
      {"write 32 holding registers (fc16)", 9 + 64, 8,
       [&](ModbusDev& d) { return d.modbusWriteRegisters(0, 32, regs.data()); }},
      {"read 8 input registers (fc4)", 8, 5 + 16,
       [&](ModbusDev& d) { return d.modbusReadInputRegisters(0, 8, regs.data()); }},
  };

  std::printf("bench_modbus: %d round trips each, ModbusDev -> socat pty -> vemo_gateway_sim\n",
              iterations);
  std::printf("%-36s %9s %9s %9s | %7s %8s %8s %9s\n", "request", "mean ms", "p99 ms", "max ms",
              "req B", "resp B", "line ms", "failures");
  double cycleMean = 0, cycleLine = 0;
  for (auto& r : requests) {
    std::vector<double> ms;
    ms.reserve(iterations);
    int failures = 0;
    for (int i = 0; i < 10; ++i) r.call(dev);  // warm-up
    for (int i = 0; i < iterations; ++i) {
      auto t0 = Clock::now();
      if (r.call(dev) != 0) ++failures;
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    double mean = 0;
    for (double v : ms) mean += v;
    mean /= ms.size();
    double p99 = ms[std::min(ms.size() - 1, static_cast<size_t>(ms.size() * 0.99))];
    double line = lineMs(r.requestBytes) + lineMs(r.responseBytes);
    cycleMean += mean * r.per_cycle;
    cycleLine += line * r.per_cycle;
    std::printf("%-36s %9.3f %9.3f %9.3f | %7d %8d %8.2f %9d\n", r.name, mean, p99, ms.back(),
                r.requestBytes, r.responseBytes, line, failures);
  }
  std::printf("%-36s %9.3f %9s %9s | %7s %8s %8.2f\n", "cycle with command block (sum)", cycleMean, "",
              "", "", "", cycleLine);
  std::printf(
      "line ms: bytes x 10 bits / 115200 baud, both frames, without the 3.5-character "
      "gaps (0.30 ms each) a real RTU line adds\n");

  dev.modbusClose();
  cleanup();
  return 0;
}

// The whole cell under load: vemo_umx between vemo_robot_sim and
// vemo_gateway_sim on a socat serial line whose byte time the simulator
// emulates at 115200 baud 8N1. Prints the cycle period next to its design
// budget, the service's CPU time and peak RSS, heap allocations on the
// scheduler's threads in steady cycles (with the metrics file on), the
// metrics writer's CPU time and wake-ups, and the latencies robot -> gateway
// and PLC command -> controller call.
//
//   bench_cell [--seconds N]      (needs root: it runs in a network namespace of its own)
#include <dirent.h>
#include <execinfo.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "cell.h"
#include "metrics_writer.h"
#include "schedule.h"

// Counting allocator: every malloc/calloc/realloc in the process is counted
// per thread, so the scheduler's threads can be singled out.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

namespace {
struct AllocSlot {
  std::atomic<int> tid{0};
  std::atomic<uint64_t> count{0};
};
AllocSlot g_slots[256];
thread_local AllocSlot* t_slot = nullptr;
// VEMO_BENCH_ALLOC_TRACE=1: a stack for each allocation on the traced threads.
std::atomic<int> g_traced[4];
thread_local bool t_in_trace = false;

void traceAlloc(int tid) {
  bool traced = false;
  for (auto& t : g_traced) traced = traced || t.load(std::memory_order_relaxed) == tid;
  if (!traced || t_in_trace) return;
  t_in_trace = true;
  void* frames[16];
  int n = backtrace(frames, 16);
  std::fprintf(stderr, "alloc on %d:\n", tid);
  backtrace_symbols_fd(frames, n, 2);
  t_in_trace = false;
}

void countAlloc() {
  if (t_slot == nullptr) {
    const int tid = static_cast<int>(::syscall(SYS_gettid));
    for (auto& s : g_slots) {
      int expected = 0;
      if (s.tid.load() == tid || s.tid.compare_exchange_strong(expected, tid)) {
        t_slot = &s;
        break;
      }
    }
    if (t_slot == nullptr) return;  // more threads than slots: not counted
  }
  t_slot->count.fetch_add(1, std::memory_order_relaxed);
  if (g_traced[0].load(std::memory_order_relaxed) != 0) traceAlloc(t_slot->tid.load());
}

uint64_t allocsOf(int tid) {
  for (auto& s : g_slots)
    if (s.tid.load() == tid) return s.count.load();
  return 0;
}
}  // namespace

extern "C" void* malloc(size_t n) {
  countAlloc();
  return __libc_malloc(n);
}
extern "C" void* calloc(size_t a, size_t b) {
  countAlloc();
  return __libc_calloc(a, b);
}
extern "C" void* realloc(void* p, size_t n) {
  countAlloc();
  return __libc_realloc(p, n);
}

namespace {

using vt::Cell;
using vt::Ms;
using Clock = std::chrono::steady_clock;

constexpr double kBaud = 115200.0;

// Request plus answer bytes of each transaction on the RTU line.
constexpr int kCycleBytes[] = {
    (9 + 8) + 8,    // write 64 coils from 64
    (9 + 200) + 8,  // write 100 registers from 32
    8 + (5 + 8),    // read 64 discrete inputs
    (9 + 8) + 8,    // write 64 coils from 0
    8 + (5 + 64),   // read 32 input registers
    (9 + 64) + 8,   // write 32 registers from 0
};
constexpr int kCommandBytes = 8 + (5 + 16);  // read the 8-word command block

double lineMs(int bytes) {
  return bytes * 10.0 / kBaud * 1000.0;
}

double cycleLineMs(bool command_block) {
  int bytes = 0;
  for (int b : kCycleBytes) bytes += b;
  if (command_block) bytes += kCommandBytes;
  return lineMs(bytes);
}

struct Stats {
  double mean = 0, p50 = 0, p99 = 0, max = 0;
  size_t n = 0;
};

Stats stats(std::vector<double> v) {
  Stats s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.n = v.size();
  for (double x : v) s.mean += x;
  s.mean /= v.size();
  s.p50 = v[v.size() / 2];
  s.p99 = v[std::min(v.size() - 1, static_cast<size_t>(v.size() * 0.99))];
  s.max = v.back();
  return s;
}

void print(const char* what, const Stats& s, const char* unit = "ms") {
  std::printf("  %-34s n=%-5zu mean %8.2f  p50 %8.2f  p99 %8.2f  max %8.2f %s\n", what, s.n, s.mean,
              s.p50, s.p99, s.max, unit);
}

// Monotonic receive times (ms) of the requests with this function and address.
std::vector<double> requestTimes(Cell& cell, int fc, int addr, size_t from) {
  const std::string key = "req fc=" + std::to_string(fc) + " addr=" + std::to_string(addr) + " ";
  std::vector<double> t;
  for (auto& line : cell.gateway().linesFrom(from)) {
    if (line.rfind(key, 0) != 0) continue;
    auto p = line.find("t_us=");
    if (p != std::string::npos) t.push_back(std::stoll(line.substr(p + 5)) / 1000.0);
  }
  return t;
}

std::vector<double> periods(const std::vector<double>& t) {
  std::vector<double> d;
  for (size_t i = 1; i < t.size(); ++i) d.push_back(t[i] - t[i - 1]);
  return d;
}

std::set<int> threadIds(const std::string& pid = "self");

// CPU time of a thread (/proc/<pid>/task/<tid>/schedstat, nanoseconds), in seconds.
double threadCpuSeconds(const std::string& task) {
  std::ifstream in("/proc/" + task + "/schedstat");
  double ns = 0;
  in >> ns;
  return ns / 1e9;
}

std::string threadName(pid_t pid, int tid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

// CPU seconds of each thread of pid, by thread id.
std::map<int, double> threadCpu(pid_t pid) {
  std::map<int, double> cpu;
  for (int tid : threadIds(std::to_string(pid)))
    cpu[tid] = threadCpuSeconds(std::to_string(pid) + "/task/" + std::to_string(tid));
  return cpu;
}

double sum(const std::map<int, double>& m) {
  double s = 0;
  for (auto& kv : m) s += kv.second;
  return s;
}

// A random point in the cycle, so that latencies are sampled at every phase
// instead of always just after the request that reported the last sample.
void randomPhase(std::mt19937& rng, double cycle_ms) {
  std::uniform_real_distribution<double> d(0, cycle_ms);
  std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(d(rng)));
}

long statusKiB(pid_t pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
  return -1;
}

std::set<int> threadIds(const std::string& pid) {
  std::set<int> ids;
  if (DIR* d = opendir(("/proc/" + pid + "/task").c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ids.insert(std::atoi(e->d_name));
    closedir(d);
  }
  return ids;
}

long swap16(long v) {
  return ((v & 0xFF) << 8) | ((v >> 8) & 0xFF);
}

// Registers of joint 0 for value x in the default (big-endian) byte order.
std::vector<long> jointRegisters(float x) {
  uint32_t u;
  std::memcpy(&u, &x, 4);
  return {swap16(u >> 16), swap16(u & 0xFFFF)};
}

Cell::Options cellOptions(bool control_robot, bool start_umx = true) {
  Cell::Options o;
  o.config["controlRobot"] = control_robot ? "1" : "0";
  o.start_umx = start_umx;
  return o;
}

void emulateLine(Cell& cell) {
  cell.gwQuery("line 115200");
  cell.gwQuery("trace on");
}

bool waitRequests(Cell& cell, int fc, int addr, size_t n, Ms timeout) {
  size_t from = cell.gateway().lineCount();
  return vt::waitUntil([&] { return requestTimes(cell, fc, addr, from).size() >= n; }, timeout,
                       Ms(5));
}

// CPU time the platform charges for one timer wake-up of an idle thread: the
// floor under every sleep, select and condition wait of the cycle.
double wakeFloorUs() {
  double us = 0;
  std::thread t([&] {
    const std::string self = "self/task/" + std::to_string(::syscall(SYS_gettid));
    const double before = threadCpuSeconds(self);
    for (int i = 0; i < 200; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    us = (threadCpuSeconds(self) - before) / 200 * 1e6;
  });
  t.join();
  return us;
}

// Gaps between consecutive requests, by the request that opens the gap: shows
// which step of the cycle a slow cycle lost its time in.
void printStepGaps(Cell& cell, size_t from) {
  struct Req {
    std::string key;
    double t;
  };
  std::vector<Req> reqs;
  for (auto& line : cell.gateway().linesFrom(from)) {
    if (line.rfind("req ", 0) != 0) continue;
    auto c = line.find(" count=");
    auto p = line.find("t_us=");
    if (c == std::string::npos || p == std::string::npos) continue;
    reqs.push_back({line.substr(4, c - 4), std::stoll(line.substr(p + 5)) / 1000.0});
  }
  std::map<std::string, std::vector<double>> gaps;
  for (size_t i = 1; i < reqs.size(); ++i)
    gaps[reqs[i - 1].key].push_back(reqs[i].t - reqs[i - 1].t);
  for (auto& [key, v] : gaps) print(("  after " + key).c_str(), stats(v));
}

void cyclePhase(double seconds) {
  std::printf("\nexchange cycle, controlRobot 0: %.0f s steady, then %.0f s of robot changes\n",
              seconds, seconds);
  Cell cell(cellOptions(false));
  cell.start();
  emulateLine(cell);
  waitRequests(cell, 15, 64, 3, Ms(10000));

  // Steady window: nothing changes, nothing polls; only the cycle runs.
  const pid_t pid = cell.umx().pid();
  const size_t from = cell.gateway().lineCount();
  const auto threads0 = threadCpu(pid);
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const auto threads1 = threadCpu(pid);
  const double cpu = sum(threads1) - sum(threads0);
  const auto starts = requestTimes(cell, 15, 64, from);
  const size_t cycles = starts.empty() ? 0 : starts.size() - 1;

  const Stats period = stats(periods(starts));
  const double budget = 6 * 25 + 30 + cycleLineMs(false);
  std::printf("  budget: 6 pauses x 25 ms + 30 ms sleep + %.2f ms line time = %.2f ms\n",
              cycleLineMs(false), budget);
  print("cycle period", period);
  printStepGaps(cell, from);
  std::printf("  period vs budget: p50 %+.2f %%  p99 %+.2f %%  (%.2f ms over budget at p50)\n",
              (period.p50 / budget - 1) * 100, (period.p99 / budget - 1) * 100,
              period.p50 - budget);
  std::printf("  service CPU: %.3f s in %.1f s = %.3f %% of one core, %.1f us per cycle\n", cpu,
              wall, cpu / wall * 100, cycles ? cpu / cycles * 1e6 : 0.0);
  for (auto& [tid, c] : threads1) {
    auto it = threads0.find(tid);
    const double d = c - (it == threads0.end() ? 0 : it->second);
    std::printf("    thread %-16s %8.1f us per cycle  %6.3f %% of one core\n",
                threadName(pid, tid).c_str(), cycles ? d / cycles * 1e6 : 0.0, d / wall * 100);
  }
  std::printf("  service memory: peak RSS %ld KiB, RSS now %ld KiB\n", statusKiB(pid, "VmHWM:"),
              statusKiB(pid, "VmRSS:"));

  // Sampling window: joint 0 takes a new value at a random point of the
  // cycle and the gateway is polled until it carries it.
  const size_t from2 = cell.gateway().lineCount();
  std::vector<double> robot_to_gateway;
  std::mt19937 rng(1);
  const auto t1 = Clock::now();
  for (int k = 1; Clock::now() - t1 < std::chrono::duration<double>(seconds); ++k) {
    randomPhase(rng, budget);
    const float x = 0.5f + k;
    const auto sent = Clock::now();
    cell.robotCmd("set joint_positions " + std::to_string(x) + " 0 0 0 0 0");
    if (cell.waitGatewayWhere(
            "hr", 44, 2, [&](auto& v) { return v == jointRegisters(x); }, Ms(5000), Ms(2)))
      robot_to_gateway.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
  }
  print("robot change -> gateway register", stats(robot_to_gateway));
  std::printf("  target p99: one cycle + one stream period = %.2f ms\n", budget + 20);
  print("cycle period while sampling", stats(periods(requestTimes(cell, 15, 64, from2))));
  std::printf("  service error lines: %zu\n", cell.umx().countContaining("LOG_ERROR"));
}

void commandPhase(int samples) {
  std::printf("\nPLC commands, controlRobot 1, %d command words\n", samples);
  Cell cell(cellOptions(true));
  cell.start();
  emulateLine(cell);
  waitRequests(cell, 4, 32, 3, Ms(10000));
  const size_t from = cell.gateway().lineCount();

  std::vector<double> latency;
  std::mt19937 rng(2);
  const int codes[] = {2, 3, 5, 6, 7, 8};
  for (int i = 0; i < samples; ++i) {
    // Hold the word at 0 until the service has read it twice (the latch arms).
    cell.gwSet("ir", 32, {0});
    waitRequests(cell, 4, 32, 2, Ms(5000));
    randomPhase(rng, 250);
    const int code = codes[i % 6];
    const size_t robot_from = cell.robot().lineCount();
    const auto sent = Clock::now();
    cell.gwSet("ir", 32, {swap16(code)});
    if (cell.robot().waitLine([](const std::string& l) { return l.rfind("call ", 0) == 0; },
                              Ms(5000), robot_from) >= 0)
      latency.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
  }
  const auto starts = requestTimes(cell, 15, 64, from);
  const double budget = 7 * 25 + 30 + cycleLineMs(true);
  const Stats period = stats(periods(starts));
  std::printf("  budget with the command block: 7 x 25 ms + 30 ms + %.2f ms = %.2f ms\n",
              cycleLineMs(true), budget);
  print("cycle period (mixed latch states)", period);
  printStepGaps(cell, from);
  print("PLC command word -> controller call", stats(latency));
  std::printf("  target p99: one cycle + 25 ms = %.2f ms\n", budget + 25);
}

// Times the thread went to sleep and was woken again: its voluntary context switches.
uint64_t threadWakeups(int tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
  const std::string key = "voluntary_ctxt_switches:";
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key, 0) == 0) return std::stoull(line.substr(key.size()));
  return 0;
}

int threadNamed(const std::string& name) {
  for (int id : threadIds())
    if (threadName(::getpid(), id) == name) return id;
  return 0;
}

void allocationPhase(int cycles) {
  std::printf(
      "\nheap allocations on the scheduler's threads, in-process, %d steady cycles, metrics file "
      "on (rewritten every %lld s)\n",
      cycles, static_cast<long long>(MetricsWriter::kPeriod.count()));
  Cell cell(cellOptions(true, false));
  cell.start();
  setenv("UMX_WS", cell.workspace().c_str(), 1);
  vt::TempDir metrics_dir("vemo-bench-metrics");
  Schedule schedule;
  schedule.setMetricsFile(metrics_dir / "vemo_umx.prom");
  schedule.init(cell.workspace(), "./config/vemo_umx.conf");
  emulateLine(cell);
  const std::set<int> before = threadIds();
  schedule.start();
  waitRequests(cell, 15, 64, 5, Ms(10000));  // warm-up: caches filled, first mode logged
  std::vector<int> mine;
  for (int id : threadIds())
    if (!before.count(id)) mine.push_back(id);
  std::vector<uint64_t> start;
  for (int id : mine) start.push_back(allocsOf(id));
  const int exchange = threadNamed("umx_exchange");
  const int writer = threadNamed("umx_metrics");
  const uint64_t exchange_allocs0 = allocsOf(exchange), writer_allocs0 = allocsOf(writer);
  const std::string writer_task = "self/task/" + std::to_string(writer);
  const double writer_cpu0 = threadCpuSeconds(writer_task);
  const uint64_t writer_wakes0 = threadWakeups(writer);
  const auto t0 = Clock::now();
  if (std::getenv("VEMO_BENCH_ALLOC_TRACE"))
    for (size_t i = 0; i < mine.size() && i < 4; ++i) g_traced[i] = mine[i];
  waitRequests(cell, 15, 64, static_cast<size_t>(cycles), Ms(cycles * 1000));
  uint64_t total = 0;
  for (size_t i = 0; i < mine.size(); ++i) total += allocsOf(mine[i]) - start[i];
  for (auto& t : g_traced) t = 0;
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const uint64_t exchange_allocs = allocsOf(exchange) - exchange_allocs0;
  const uint64_t writer_allocs = allocsOf(writer) - writer_allocs0;
  const double writer_cpu = threadCpuSeconds(writer_task) - writer_cpu0;
  const uint64_t writer_wakes = threadWakeups(writer) - writer_wakes0;
  schedule.stop();
  std::printf(
      "  threads started by start(): %zu; allocations in %d cycles: %llu (%.2f per cycle)\n",
      mine.size(), cycles, static_cast<unsigned long long>(total),
      static_cast<double>(total) / cycles);
  std::printf("  exchange thread (umx_exchange): %llu allocations in %d cycles (target 0)\n",
              static_cast<unsigned long long>(exchange_allocs), cycles);
  if (writer == 0) {
    std::printf("  metrics writer thread not found\n");
    return;
  }
  std::printf(
      "  metrics writer (umx_metrics) over %.1f s: CPU %.3f ms (%.4f %% of one core, %.0f us per "
      "wake-up), %llu wake-ups = %.2f per s (limit 1), %llu allocations\n",
      wall, writer_cpu * 1e3, writer_cpu / wall * 100,
      writer_wakes ? writer_cpu / writer_wakes * 1e6 : 0.0,
      static_cast<unsigned long long>(writer_wakes), writer_wakes / wall,
      static_cast<unsigned long long>(writer_allocs));
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  double seconds = 20;
  for (int i = 1; i + 1 < argc; i += 2)
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);

  // The controller ports are fixed: a private network namespace keeps them free.
  if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
    std::fprintf(stderr, "bench_cell: needs root to run in a network namespace of its own\n");
    return 1;
  }
  std::printf("platform: %.1f us CPU per timer wake-up of an idle thread\n", wakeFloorUs());
  cyclePhase(seconds);
  commandPhase(std::max(6, static_cast<int>(seconds)));
  allocationPhase(std::max(10, static_cast<int>(seconds * 2)));
  return 0;
}

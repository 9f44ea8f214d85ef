// Figures of the robot link on loopback, against vemo_robot_sim:
//   RPC round trip (mean, p50, p99) over a query call,
//   RTDE delivery period and jitter of the 18 status topics at 50 Hz,
//   parsing and storing one status packet (decode, pop, store under a lock).
// Usage: bench_robot_link [rpc_calls=5000] [rtde_seconds=5]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "status_topics.h"
#include "vemo_sdk/vemo_sdk.h"
#include "vemo_sdk/wire.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace ryne;

// Everything the simulator streams, as the service subscribes to it.
const std::vector<std::string> kTopics(robot_sim::kStatusTopics.begin(),
                                       robot_sim::kStatusTopics.end());

struct SimChild {
  pid_t pid = -1;
  int rpc = 0, rtde = 0;
  bool start() {
    int out[2];
    if (pipe(out) != 0) return false;
    pid = fork();
    if (pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      std::string bin = std::string(VEMO_BIN_DIR) + "/vemo_robot_sim";
      execl(bin.c_str(), bin.c_str(), "--rpc-port", "0", "--rtde-port", "0", (char*)nullptr);
      _exit(127);
    }
    close(out[1]);
    FILE* f = fdopen(out[0], "r");
    char line[256];
    while (fgets(line, sizeof line, f))
      if (std::sscanf(line, "ready %d %d", &rpc, &rtde) == 2) return true;
    return false;
  }
  ~SimChild() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

double pct(std::vector<double> v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(std::ceil(p / 100.0 * v.size())) - 1;
  return v[std::min(i, v.size() - 1)];
}
double mean(const std::vector<double>& v) {
  return v.empty() ? 0.0 : std::accumulate(v.begin(), v.end(), 0.0) / v.size();
}

// The same stores the status cache makes for one packet.
struct Cache {
  std::mutex mu;
  std::vector<double> q, cur, pose, volt, temp, speed;
  double fraction = 0;
  int64_t bits[7] = {};
  std::vector<int16_t> regs;
  common_interface::RobotModeType mode{};
  common_interface::SafetyModeType safety{};
  common_interface::RuntimeState runtime{};
  void store(vemo_sdk::InputParser& p) {
    std::lock_guard<std::mutex> lk(mu);
    q = p.popVectorDouble();
    cur = p.popVectorDouble();
    pose = p.popVectorDouble();
    volt = p.popVectorDouble();
    temp = p.popVectorDouble();
    speed = p.popVectorDouble();
    fraction = p.popDouble();
    for (auto& b : bits) b = p.popInt64();
    regs = p.popVectorInt16();
    mode = p.popRobotModeType();
    safety = p.popSafetyModeType();
    runtime = p.popRuntimeState();
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 5;
  SimChild sim;
  if (!sim.start()) {
    std::fprintf(stderr, "bench_robot_link: simulator did not start\n");
    return 1;
  }

  // RPC round trip.
  auto rpc = std::make_shared<vemo_sdk::RpcClient>(0);
  if (rpc->connect("127.0.0.1", sim.rpc) != 0) return 1;
  rpc->login("vemo", "739154");
  rpc->setRequestTimeout(5000);
  auto state = rpc->getRobotInterface("R1")->getRobotState();
  for (int i = 0; i < 200; ++i) state->getRobotModeType();  // warm-up
  std::vector<double> rtt;
  rtt.reserve(calls);
  for (int i = 0; i < calls; ++i) {
    auto t0 = Clock::now();
    state->getRobotModeType();
    rtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  std::printf(
      "rpc_round_trip_us      calls=%d mean=%.1f p50=%.1f p99=%.1f max=%.1f (target p99 < 300)\n",
      calls, mean(rtt), pct(rtt, 50), pct(rtt, 99), pct(rtt, 100));

  // RTDE delivery at 50 Hz.
  auto rtde = std::make_shared<vemo_sdk::RtdeClient>(0);
  if (rtde->connect("127.0.0.1", sim.rtde) != 0) return 1;
  rtde->login("vemo", "739154");
  std::mutex mu;
  std::vector<Clock::time_point> arrivals;
  arrivals.reserve(seconds * 60 + 16);
  Cache sink;
  int ch = rtde->setTopic(false, kTopics, 50.0, 1);
  rtde->subscribe(ch, [&](vemo_sdk::InputParser& p) {
    auto now = Clock::now();
    sink.store(p);
    std::lock_guard<std::mutex> lk(mu);
    arrivals.push_back(now);
  });
  std::this_thread::sleep_for(std::chrono::seconds(seconds) + std::chrono::milliseconds(100));
  rtde->unsubscribe(ch);
  std::vector<double> period, jitter;
  {
    std::lock_guard<std::mutex> lk(mu);
    for (size_t i = 2; i < arrivals.size(); ++i) {  // the first gap includes set-up
      double ms = std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[i - 1]).count();
      period.push_back(ms);
      jitter.push_back(std::fabs(ms - 20.0));
    }
  }
  const double avg = mean(period);
  std::printf(
      "rtde_period_ms         packets=%zu mean=%.3f (%.2f%% off 20 ms; target < 1%%) "
      "jitter_p50=%.3f jitter_p99=%.3f jitter_max=%.3f over_2ms=%ld (target p99 < 2)\n",
      period.size() + 2, avg, std::fabs(avg - 20.0) / 20.0 * 100.0, pct(jitter, 50),
      pct(jitter, 99), pct(jitter, 100),
      static_cast<long>(
          std::count_if(jitter.begin(), jitter.end(), [](double j) { return j > 2.0; })));

  // Parsing and storing one packet, as the delivery thread does it.
  vemo_sdk::wire::DataWriter w(1);
  std::vector<double> six(6, 0.123456789);
  for (int i = 0; i < 6; ++i) w.putVectorDouble(six);
  w.putDouble(0.5);
  for (int i = 0; i < 7; ++i) w.putInt64(0x5a5a5a5a);
  w.putVectorInt16(std::vector<int16_t>(64, -7));
  for (int i = 0; i < 3; ++i) w.putInt32(3);
  const std::string body = w.finish();
  const int n = 200000;
  std::vector<vemo_sdk::wire::Value> values;
  uint32_t channel = 0;
  auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    vemo_sdk::wire::decodeData(body, channel, values, nullptr);
    vemo_sdk::InputParser parser(std::move(values));
    sink.store(parser);
  }
  double per = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / n;
  std::printf("status_packet_parse_us bytes=%zu per_packet=%.3f (target < 20)\n", body.size(), per);
  return 0;
}

// The whole cell under every fault a plant meets, up to two at once, drawn at
// random from a seed, while a PLC model issues commands (0, a code held a
// while, 0 again) and changes its inputs, registers, speed and outputs. The
// promises are checked from what the simulators saw, never from the
// service's own log:
//   1. no issuance runs its command twice, no command runs without one;
//   2. an issuance held 3 s in a fully healthy cell runs exactly once;
//   3. within 5 s of a fault's end the heartbeat advances, the robot mode on
//      the gateway is the controller's, and the controller holds all the
//      PLC holds;
//   4. while the controller is gone (or its stream paused) for over 2 s the
//      gateway says robot mode 0, safety mode 0 and no program state;
//   5. the service never dies, and after its first minute keeps its memory,
//      descriptors and log within bounds;
//   6. away from the gateway's faults (and a second bridge, and a report) the
//      status block is written at least every 7 s, a hung controller
//      notwithstanding: its calls cost one deadline per cycle at most.
// VEMO_STORM_SEED and VEMO_STORM_SECONDS replay or lengthen a run
// (scripts/test --long: an hour); the seed is printed first.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cell.h"
#include "sanitized.h"

using vt::Cell;
using vt::Ms;
using vt::swap16;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBlock = 40;
constexpr int kHeartbeat = 57, kModeRegister = 60, kSafetyRegister = 61, kProgramCoils = 82;

enum Kind {
  kGatewaySilent,
  kGatewayExceptions,
  kDamagedAnswers,
  kOneRequestFailing,
  kControllerRestarted,
  kConnectionsDropped,
  kStreamPaused,
  kCallHeld,
  kCallRefused,
  kControllerHung,
  kLineReplaced,
  kSecondBridge,
  kDiagnosticReport,
  kKinds
};
const char* const kKindNames[kKinds] = {
    "gateway silent",       "gateway exceptions",  "damaged answers",      "one request failing",
    "controller restarted", "connections dropped", "stream paused",        "call held",
    "call refused",         "controller hung",     "serial line replaced", "second bridge",
    "diagnostic report"};

enum Side { kGatewaySide, kControllerSide, kProcessSide };
Side sideOf(Kind k) {
  switch (k) {
    case kGatewaySilent:
    case kGatewayExceptions:
    case kDamagedAnswers:
    case kOneRequestFailing:
    case kLineReplaced:
      return kGatewaySide;
    case kControllerRestarted:
    case kConnectionsDropped:
    case kStreamPaused:
    case kCallHeld:
    case kCallRefused:
    case kControllerHung:
      return kControllerSide;
    default:
      return kProcessSide;
  }
}
bool controllerSilent(Kind k) {
  return k == kControllerRestarted || k == kStreamPaused;
}

struct Fault {
  Kind kind;
  double start, end;  // seconds since the storm began; end is planned, then actual
  std::string detail;
  bool over = false;
};

// One 0-then-code of the PLC: the code written at `start`, 0 again at `end`.
struct Issuance {
  int code;
  double zero_since, start, end = 1e18;
};

const std::map<int, std::string> kCommandCalls = {
    {5, "call runProgram"}, {6, "call pause"}, {7, "call resume"}, {8, "call stop"}};

double envDouble(const char* name, double fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtod(v, nullptr) : fallback;
}

long statusKiB(pid_t pid, const std::string& key) {
  std::istringstream in(vt::readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  return -1;
}

size_t openDescriptors(pid_t pid) {
  size_t n = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
       !ec && it != end; it.increment(ec))
    ++n;
  return n;
}

// "key=value" of the robot simulator's state line.
std::string field(const std::string& state, const std::string& key) {
  const size_t at = state.find(" " + key + "=");
  if (at == std::string::npos) return "";
  const size_t from = at + key.size() + 2;
  return state.substr(from, state.find(' ', from) - from);
}

class Storm {
 public:
  Storm(uint32_t seed, double seconds) : rng_(seed), seconds_(seconds) {
    Cell::Options o;
    o.config = config();
    cell_ = std::make_unique<Cell>(o);
  }

  void run() {
    cell_->start();
    ASSERT_TRUE(cell_->waitCycles(2));
    umx_pid_ = cell_->umx().pid();
    ASSERT_EQ(cell_->gwQuery("trace on"), "ok");  // the status block's writes, timed
    t0_ = Clock::now();
    writeBlock();
    double next_fault = 5, next_value = 1;
    while (now() < seconds_) {
      const double t = now();
      recordCalls();
      recordStatusWrites();
      plcStep(t);
      if (t >= next_value) {
        changeValue();
        next_value = t + uniform(0.5, 3.0);
      }
      endFaults(t);
      if (t >= next_fault && t < seconds_ - 15) {
        startFault(t);
        next_fault = t + uniform(2.0, 8.0);
      }
      checkControllerGone(t);
      checkRecoveries(t);
      if (!resources_taken_ && t >= 60) takeResources(first_);
      std::this_thread::sleep_for(Ms(100));  // the storm's own pace, not a wait for an event
    }
    for (auto& f : faults_)
      if (!f.over) stopFault(f, now());
    // A last healthy stretch: every open recovery is seen through.
    const double end_at = now() + 8;
    while (now() < end_at) {
      recordCalls();
      recordStatusWrites();
      plcStep(now());
      checkRecoveries(now());
      std::this_thread::sleep_for(Ms(100));
    }
    recordCalls();
    recordStatusWrites();
    run_end_ = now();
    if (!resources_taken_) takeResources(first_);
    takeResources(last_);
  }

  void verify() {
    // 1 and 2: the commands the controller saw against what the PLC issued.
    size_t doubles = 0, orphans = 0, lost = 0, qualified = 0, calls = 0;
    std::vector<int> runs(issuances_.size(), 0);
    for (const auto& [at, line] : calls_) {
      int code = 0;
      for (const auto& [c, call] : kCommandCalls)
        if (line == call) code = c;
      if (code == 0) continue;
      ++calls;
      const double slack = heldNear(at) ? 6.5 : 1.0;
      long match = -1;
      for (size_t i = 0; i < issuances_.size(); ++i)
        if (issuances_[i].code == code && at >= issuances_[i].start - 0.05 &&
            at <= issuances_[i].end + slack)
          match = static_cast<long>(i);
      if (match < 0) {
        ++orphans;
        ADD_FAILURE() << "'" << line << "' at " << at << " s without an issuance";
        continue;
      }
      if (++runs[static_cast<size_t>(match)] == 2) {
        ++doubles;
        ADD_FAILURE() << "issuance of " << issuances_[match].code << " at "
                      << issuances_[match].start << " s ran twice";
      }
    }
    for (size_t i = 0; i < issuances_.size(); ++i) {
      const Issuance& is = issuances_[i];
      if (is.end - is.start < 3.0 || !healthy(is.start - 1.0, is.start + 3.0)) continue;
      ++qualified;
      if (runs[i] != 1) {
        ++lost;
        ADD_FAILURE() << "issuance of " << is.code << " held " << is.start << ".." << is.end
                      << " s in a healthy cell ran " << runs[i] << " times";
      }
    }

    // 6: the status block's age, counted from its last write or from the
    // end of the last stretch that excuses it, whichever is later.
    // The gateway's faults and a second bridge excuse it, each with 3 s to
    // settle; a report does not (it never holds the cycle).
    std::vector<std::pair<double, double>> excused;  // in order of their start
    for (auto& f : faults_)
      if (sideOf(f.kind) == kGatewaySide || f.kind == kSecondBridge)
        excused.emplace_back(f.start, f.end + 3.0);
    // Every report asked for was answered: by a report of its own or folded
    // into one, never fatal.
    size_t asked = 0;
    for (auto& f : faults_) asked += f.kind == kDiagnosticReport ? 2 : 0;
    auto answered = [&] {
      size_t n = cell_->umx().countContaining("Received SIGUSR1!");
      for (const auto& l : cell_->umx().lines())
        if (l.rfind("SIGUSR1 came ", 0) == 0) n += std::stoul(l.substr(13));
      return n;
    };
    EXPECT_TRUE(vt::waitUntil([&] { return answered() == asked; }, vt::Ms(10000)))
        << answered() << " of " << asked << " report requests answered";
    double longest = 0, longest_hung = 0, oldest = 0, oldest_hung = 0;
    EXPECT_FALSE(status_writes_.empty()) << "no status-block write traced";
    for (size_t i = 1; i <= status_writes_.size(); ++i) {
      const double p = status_writes_[i - 1];
      const double c = i < status_writes_.size() ? status_writes_[i] : run_end_;
      longest = std::max(longest, c - p);
      double fresh = p, age = 0;
      for (auto& [from, to] : excused) {
        if (to <= p || from >= c) continue;
        age = std::max(age, from - fresh);
        fresh = std::max(fresh, to);
      }
      age = std::max(age, c - fresh);
      oldest = std::max(oldest, age);
      for (auto& f : faults_)
        if (f.kind == kControllerHung && f.start < c && f.end > p) {
          longest_hung = std::max(longest_hung, c - p);
          oldest_hung = std::max(oldest_hung, age);
        }
      if (age > 7.0)
        ADD_FAILURE() << "status block unwritten from " << p << " to " << c << " s, stale for "
                      << age << " s away from the gateway's faults:" << faultsDuring(p - 10, c);
    }

    // 5: the service lives on, within its bounds.
    EXPECT_TRUE(cell_->umx().running()) << "the service died";
    EXPECT_EQ(cell_->umx().pid(), umx_pid_);
    if (first_.anon > 0 && last_.anon > 0) {
      EXPECT_LE(last_.anon - first_.anon, 2048) << "KiB of anonymous memory after minute one";
      EXPECT_LE(static_cast<long>(last_.fds) - static_cast<long>(first_.fds), 2);
    }
    size_t log_files = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(cell_->workspace() + "log/umx", ec), end;
         !ec && it != end; it.increment(ec)) {
      ++log_files;
      EXPECT_LE(std::filesystem::file_size(it->path()), 2097152u + 65536u) << it->path();
    }
    EXPECT_LE(log_files, 6u);

    std::map<std::string, int> by_kind;
    for (auto& f : faults_) ++by_kind[kKindNames[f.kind]];
    std::printf("storm: %zu faults:", faults_.size());
    for (auto& [k, n] : by_kind) std::printf(" %s %d,", k.c_str(), n);
    std::printf(
        "\nstorm: %zu issuances (%zu held 3 s in a healthy cell), %zu command calls, %zu "
        "doubles, %zu without an issuance, %zu lost\n",
        issuances_.size(), qualified, calls, doubles, orphans, lost);
    std::printf(
        "storm: longest recovery after a fault: heartbeat %.1f s, robot mode %.1f s, PLC "
        "values %.1f s (%d recoveries seen through)\n",
        worst_[0], worst_[1], worst_[2], recoveries_);
    std::printf(
        "storm: %zu status-block writes, longest gap %.1f s (%.1f s while the controller hung); "
        "away from the gateway's faults the block was at most %.1f s old (%.1f s while the "
        "controller hung)\n",
        status_writes_.size(), longest, longest_hung, oldest, oldest_hung);
    std::printf(
        "storm: anonymous memory %ld -> %ld KiB, descriptors %zu -> %zu (at 1 min and at "
        "the end), log files %zu\n",
        first_.anon, last_.anon, first_.fds, last_.fds, log_files);
  }

 private:
  struct Resources {
    long anon = -1;
    size_t fds = 0;
  };
  // A recovery being watched: a fault's end until all three items hold.
  struct Recovery {
    double from;
    long heartbeat;
    double done[3] = {-1, -1, -1};
    std::string missing;  // of the PLC's values, at the last look
  };

  static std::map<std::string, std::string> config() {
    return {{"controlRobot", "1"}, {"pnRegisterNumber", std::to_string(kBlock)}};
  }
  double now() const { return std::chrono::duration<double>(Clock::now() - t0_).count(); }
  double uniform(double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng_); }
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  // --- the PLC ---
  void writeBlock() {
    cell_->gwSet("ir", kBlock,
                 {swap16(word0_), swap16(speed_), swap16(outputs_ & 0xFFFF),
                  swap16((outputs_ >> 16) & 0xFF)});
  }
  void plcStep(double t) {
    if (t < phase_until_) return;
    if (word0_ == 0) {
      static const int kCodes[] = {5, 6, 7, 8};
      word0_ = kCodes[pick(4)];
      issuances_.push_back({static_cast<int>(word0_), zero_since_, t});
      phase_until_ = t + uniform(0.3, 6.0);
    } else {
      issuances_.back().end = t;
      word0_ = 0;
      zero_since_ = t;
      phase_until_ = t + uniform(0.6, 3.0);
    }
    writeBlock();
  }
  void changeValue() {
    const double t = now();
    switch (pick(4)) {
      case 0: {
        const int i = pick(64);
        inputs_[i] = !inputs_[i];
        cell_->gwSet("di", i, {inputs_[i] ? 1 : 0});
        input_changed_[i] = t;
        break;
      }
      case 1: {
        const int i = pick(32);
        registers_[i] = std::uniform_int_distribution<int>(-30000, 30000)(rng_);
        cell_->gwSet("ir", i, {swap16(static_cast<uint16_t>(registers_[i]))});
        register_changed_[i] = t;
        break;
      }
      case 2:
        speed_ = 1 + pick(100);
        speed_changed_ = t;
        writeBlock();
        break;
      default: {
        // Standard output 1 (bit 9) is the bridge's own sign of life, set
        // on once a second by its output topic: the PLC leaves it alone.
        int bit = 9;
        while (bit == 9) bit = pick(2) ? pick(4) : 8 + pick(16);
        outputs_ ^= 1u << bit;
        outputs_changed_ = t;
        writeBlock();
        break;
      }
    }
  }

  // --- what the controller saw ---
  void recordCalls() {
    if (!robot_up_) return;
    vt::Process& r = cell_->robot();
    const size_t n = r.lineCount();
    for (; robot_seen_ < n; ++robot_seen_) {
      std::string l = r.line(robot_seen_);
      if (l.rfind("held ", 0) == 0) held_at_ = now();
      if (l.rfind("hung ", 0) == 0) hung_at_ = now();
      if (l.rfind("call ", 0) == 0) calls_.emplace_back(now(), std::move(l));
    }
  }
  bool heldNear(double at) const {
    for (auto& f : faults_)
      if (f.kind == kCallHeld && at >= f.start && at <= f.end + 6.5) return true;
    return false;
  }
  // No fault from `a` to `b`, none ended within 2 s before `a`.
  bool healthy(double a, double b) const {
    for (auto& f : faults_)
      if (f.start < b && f.end + 2.0 > a) return false;
    return true;
  }

  // --- faults ---
  void startFault(double t) {
    size_t active = 0;
    bool side_busy[3] = {false, false, false};
    for (auto& f : faults_)
      if (!f.over) {
        ++active;
        side_busy[sideOf(f.kind)] = true;
      }
    if (active >= 2) return;
    std::vector<Kind> free;
    for (int k = 0; k < kKinds; ++k) {
      const Kind kind = static_cast<Kind>(k);
      bool running = false;
      for (auto& f : faults_) running = running || (!f.over && f.kind == kind);
      if (!running && !(sideOf(kind) != kProcessSide && side_busy[sideOf(kind)]))
        free.push_back(kind);
    }
    if (free.empty()) return;
    Fault f{free[static_cast<size_t>(pick(static_cast<int>(free.size())))], t,
            t + uniform(1.5, 9.0), "", false};
    recordCalls();
    vt::Process& robot = cell_->robot();
    static const char* const kRefusable[] = {"setBoolInput",         "setInt16Register",
                                             "setToolDigitalOutput", "setStandardDigitalOutput",
                                             "setSpeedFraction",     "runProgram"};
    static const char* const kHoldable[] = {"getOperationalMode", "setSpeedFraction",
                                            "setBoolInput", "setInt16Register"};
    switch (f.kind) {
      case kGatewaySilent:
        cell_->gwQuery("mute on");
        break;
      case kGatewayExceptions:
        cell_->gwQuery("exception 4 on");
        break;
      case kDamagedAnswers: {
        static const char* const kDamage[] = {"crc", "unit", "garbage"};
        f.detail = kDamage[pick(3)];
        cell_->gwQuery(std::string("corrupt ") + f.detail);
        break;
      }
      case kOneRequestFailing: {
        static const char* const kRules[] = {"4 40 mute", "15 0 mute", "16 32 exception 4",
                                             "2 0 crc", "4 0 garbage"};
        f.detail = kRules[pick(5)];
        cell_->gwQuery("fault " + f.detail);
        break;
      }
      case kControllerRestarted:
        robot.signal(SIGKILL);
        robot.waitExit(Ms(5000));
        recordCalls();
        robot_up_ = false;
        break;
      case kConnectionsDropped:
        robot.query("drop", "ok");
        f.end = t + 1.0;
        break;
      case kStreamPaused:
        robot.query("rtde pause", "ok");
        break;
      case kCallHeld:
        f.detail = kHoldable[pick(4)];
        robot.query("hold " + f.detail + " 6000", "ok");
        f.end = t + 7.0;
        break;
      case kCallRefused:
        f.detail = kRefusable[pick(6)];
        robot.query("fail " + f.detail + " -5", "ok");
        break;
      case kControllerHung:
        robot.query("hang * " + std::to_string(std::lround((f.end - t) * 1000)), "ok");
        break;
      case kLineReplaced:
        cell_->line().down();
        break;
      case kSecondBridge:
        startSecondBridge();
        break;
      case kDiagnosticReport:
        // A pair, as a service engineer asks again before the first is out.
        cell_->umx().signal(SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10 + pick(41)));
        cell_->umx().signal(SIGUSR1);
        f.detail = "pair";
        f.end = t + 2.0;
        break;
      case kKinds:
        break;
    }
    faults_.push_back(f);
  }

  void endFaults(double t) {
    for (auto& f : faults_) {
      if (f.over || t < f.end) continue;
      // A call held or left hanging near the end keeps the cycle waiting
      // for its 5 s deadline: the fault lasts until then.
      if (f.kind == kCallHeld && held_at_ >= f.start && t < held_at_ + 5.3) continue;
      if (f.kind == kControllerHung && hung_at_ >= f.start && t < hung_at_ + 5.3) continue;
      stopFault(f, t);
    }
  }

  void stopFault(Fault& f, double t) {
    switch (f.kind) {
      case kGatewaySilent:
        cell_->gwQuery("mute off");
        break;
      case kGatewayExceptions:
        cell_->gwQuery("exception 4 off");
        break;
      case kDamagedAnswers:
        cell_->gwQuery("corrupt off");
        break;
      case kOneRequestFailing:
        cell_->gwQuery("fault off");
        break;
      case kControllerRestarted:
        // A new controller, knowing nothing of what the old one was sent.
        cell_->restartRobot();
        robot_seen_ = 0;
        robot_up_ = true;
        break;
      case kStreamPaused:
        cell_->robot().query("rtde resume", "ok");
        break;
      case kCallHeld:
        cell_->robot().query("hold off", "ok");
        break;
      case kCallRefused:
        cell_->robot().query("fail " + f.detail + " 0", "ok");
        break;
      case kControllerHung:
        cell_->robot().query("hang * 0", "ok");  // over already, unless cut short
        break;
      case kLineReplaced:
        cell_->line().upAgain();
        break;
      case kSecondBridge:
        second_->stop();
        second_.reset();
        break;
      default:
        break;
    }
    f.over = true;
    f.end = t;
    bool others = false;
    for (auto& g : faults_) others = others || !g.over;
    if (!others) {
      recovery_ = std::make_unique<Recovery>();
      recovery_->from = t;
      recovery_->heartbeat = heartbeat();
    }
  }

  // The status block's writes the gateway traced since the last look, in
  // seconds of the storm (both clocks are the monotonic one).
  void recordStatusWrites() {
    const size_t seen = cell_->gateway().lineCount();
    const double t0 = std::chrono::duration<double>(t0_.time_since_epoch()).count();
    for (double at : cell_->statusBlockTimes(traced_))
      if (status_writes_.empty() || at - t0 > status_writes_.back())
        status_writes_.push_back(at - t0);
    traced_ = seen;
  }

  void startSecondBridge() { second_ = cell_->startAnotherService(second_dir_.path(), config()); }

  // --- checks while the storm runs ---
  long heartbeat() {
    auto v = cell_->gwGet("hr", kHeartbeat, 1);
    return v.empty() ? -1 : v[0];
  }

  // 4: a silent controller is reported as gone, when the gateway can be written.
  void checkControllerGone(double t) {
    bool gone = false, gateway_disturbed = false;
    double since = 1e18;
    for (auto& f : faults_) {
      if (!f.over && controllerSilent(f.kind)) {
        gone = true;
        since = std::min(since, f.start);
      }
      // The gateway cannot be told while the link fails, nor while the
      // cycle waits for a held call (the heartbeat stands still then, so
      // the PLC knows the block is stale). A report never holds it.
      if ((sideOf(f.kind) == kGatewaySide || f.kind == kCallHeld) && f.end + 3.0 > t)
        gateway_disturbed = true;
    }
    if (!gone || gateway_disturbed || t - since < 2.5) return;
    const auto mode = cell_->gwGet("hr", kModeRegister, 2);
    const auto coils = cell_->gwGet("co", kProgramCoils, 3);
    EXPECT_EQ(mode, (std::vector<long>{0, 0}))
        << "robot and safety mode at " << t << " s:" << faultsBefore(1e18);
    EXPECT_EQ(coils, (std::vector<long>{0, 0, 0}))
        << "program coils at " << t << " s:" << faultsBefore(1e18);
  }

  // 3: after the last fault ended, within 5 s: heartbeat, mode, PLC values.
  void checkRecoveries(double t) {
    if (!recovery_) return;
    for (auto& f : faults_)
      if (!f.over) {
        recovery_.reset();  // a new fault came first
        return;
      }
    Recovery& r = *recovery_;
    const double age = t - r.from;
    if (r.done[0] < 0 && heartbeat() != r.heartbeat) r.done[0] = age;
    if (r.done[1] < 0 || r.done[2] < 0) {
      const std::string state = cell_->robot().query("state", "state ");
      if (r.done[1] < 0 && !state.empty() &&
          cell_->gwGet("hr", kModeRegister, 1) ==
              std::vector<long>{swap16(std::stol(field(state, "robot_mode")))})
        r.done[1] = age;
      if (r.done[2] < 0 && !state.empty()) {
        r.missing = plcValuesMissing(state, t);
        if (r.missing.empty()) r.done[2] = age;
      }
    }
    const bool all = r.done[0] >= 0 && r.done[1] >= 0 && r.done[2] >= 0;
    if (all || age > 5.0) {
      static const char* const kItems[] = {"heartbeat", "robot mode", "PLC values"};
      for (int i = 0; i < 3; ++i) {
        EXPECT_GE(r.done[i], 0) << kItems[i] << " not back 5 s after the faults ended at " << r.from
                                << " s:" << faultsBefore(r.from)
                                << (i == 2 ? "; missing:" + r.missing : "");
        worst_[i] = std::max(worst_[i], r.done[i] < 0 ? age : r.done[i]);
      }
      ++recoveries_;
      recovery_.reset();
    }
  }

  // The faults that ended within 10 s before `t`, for a failure's message.
  std::string faultsBefore(double t) const {
    std::ostringstream out;
    for (auto& f : faults_)
      if ((f.end <= t + 0.01 && f.end > t - 10) || (t > 1e17 && !f.over))
        out << " [" << kKindNames[f.kind] << (f.detail.empty() ? "" : " " + f.detail) << " "
            << f.start << ".." << f.end << " s]";
    return out.str();
  }

  // The faults that overlap `a`..`b`, for a failure's message.
  std::string faultsDuring(double a, double b) const {
    std::ostringstream out;
    for (auto& f : faults_)
      if (f.start < b && f.end > a)
        out << " [" << kKindNames[f.kind] << (f.detail.empty() ? "" : " " + f.detail) << " "
            << f.start << ".." << f.end << " s]";
    return out.str();
  }

  // What of what the PLC has held for more than 1.5 s the controller does
  // not hold; "" when it holds it all.
  std::string plcValuesMissing(const std::string& state, double t) const {
    const double settled = t - 1.5;
    std::ostringstream out;
    const uint64_t bits = std::stoull(field(state, "input_bits"));
    for (int i = 0; i < 64; ++i)
      if (input_changed_[i] < settled && ((bits >> i) & 1) != (inputs_[i] ? 1u : 0u))
        out << " bool input " << i;
    std::istringstream regs(field(state, "int16"));
    std::string v;
    for (int i = 0; i < 32 && std::getline(regs, v, ','); ++i)
      if (register_changed_[i] < settled && std::stol(v) != registers_[i])
        out << " int16 register " << i << " " << v << " for " << registers_[i];
    if (outputs_changed_ < settled) {
      if ((std::stoull(field(state, "tool_do")) & 0xF) != (outputs_ & 0xF)) out << " tool outputs";
      if ((std::stoull(field(state, "standard_do")) & 0xFFFD) != ((outputs_ >> 8) & 0xFFFD))
        out << " standard outputs";
    }
    if (speed_changed_ < settled &&
        std::abs(std::stod(field(state, "speed")) - speed_ / 100.0) > 1e-6)
      out << " speed " << field(state, "speed") << " for " << speed_;
    return out.str();
  }

  void takeResources(Resources& r) {
    r.anon = statusKiB(umx_pid_, "RssAnon");
    r.fds = openDescriptors(umx_pid_);
    resources_taken_ = true;
  }

  std::mt19937 rng_;
  double seconds_;
  std::unique_ptr<Cell> cell_;
  Clock::time_point t0_;
  pid_t umx_pid_ = -1;
  // The PLC's side: what it holds and when each value last changed.
  long word0_ = 0, speed_ = 50;
  uint32_t outputs_ = 0;  // word 2 and the low byte of word 3
  bool inputs_[64] = {};
  long registers_[32] = {};
  double input_changed_[64] = {}, register_changed_[32] = {};
  double speed_changed_ = 0, outputs_changed_ = 0, phase_until_ = 1, zero_since_ = 0;
  std::vector<Issuance> issuances_;
  // The controller's side.
  bool robot_up_ = true;
  size_t robot_seen_ = 0;
  double held_at_ = -1;  // when the controller last held a call
  double hung_at_ = -1;  // when it last left one hanging
  std::vector<std::pair<double, std::string>> calls_;
  // The gateway's side: status-block writes, from its trace line traced_ on.
  size_t traced_ = 0;
  std::vector<double> status_writes_;
  double run_end_ = 0;
  // Faults and their aftermath.
  std::vector<Fault> faults_;
  std::unique_ptr<Recovery> recovery_;
  double worst_[3] = {0, 0, 0};
  int recoveries_ = 0;
  vt::TempDir second_dir_{"vemo-storm-second"};
  std::unique_ptr<vt::Process> second_;
  bool resources_taken_ = false;
  Resources first_, last_;
};

}  // namespace

TEST(Storm, EveryFaultAtOnceKeepsThePromises) {
  if (vt::kSanitizedBuild) GTEST_SKIP() << "timed to the normal build";
  const uint32_t seed = static_cast<uint32_t>(envDouble("VEMO_STORM_SEED", 20261209));
  const double seconds = envDouble("VEMO_STORM_SECONDS", 120);
  std::printf("storm: seed %u, %.0f s (VEMO_STORM_SEED=%u VEMO_STORM_SECONDS=%.0f runs it again)\n",
              seed, seconds, seed, seconds);
  std::fflush(stdout);
  Storm storm(seed, seconds);
  storm.run();
  if (HasFatalFailure()) return;
  storm.verify();
}

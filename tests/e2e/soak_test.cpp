// A soak of the whole cell: randomized robot states, PLC inputs and command
// sequences for a bounded time (VEMO_SOAK_SECONDS, 60 by default; set it to
// hours for a long run). Every command sequence must execute exactly once,
// the service must never crash, and its memory must not grow.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "cell.h"
#include "sanitized.h"

using vt::Cell;
using vt::Ms;
using vt::swap16;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

long rssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

double soakSeconds() {
  const char* s = std::getenv("VEMO_SOAK_SECONDS");
  return s ? std::atof(s) : 60.0;
}

}  // namespace

TEST(Soak, RandomizedCellRunsCleanly) {
  Cell::Options o;
  o.config = {{"controlRobot", "1"}, {"pnRegisterNumber", "40"}};
  Cell cell(o);
  cell.start();
  ASSERT_TRUE(cell.waitCycles(3));
  const pid_t pid = cell.umx().pid();
  const long rss_start = rssKiB(pid);
  const long cycles_start = cell.gwRequests("fc16") / 2;

  std::mt19937 rng(20261209);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  // The program commands always reach the controller, whatever the arm's state.
  const std::vector<std::pair<int, std::string>> commands = {
      {5, "call runProgram"}, {6, "call pause"}, {7, "call resume"}, {8, "call stop"}};
  std::map<std::string, size_t> expected;
  size_t sequences = 0;

  const auto end = Clock::now() + std::chrono::duration<double>(soakSeconds());
  while (Clock::now() < end) {
    switch (pick(0, 3)) {
      case 0:  // robot state
        cell.robotCmd("set joint_positions " + std::to_string(pick(-300, 300) / 100.0) +
                      " 0.1 0.2 0.3 0.4 0.5");
        cell.robotCmd("set robot_mode " + std::to_string(pick(0, 11)));
        cell.robotCmd("set runtime_state " + std::to_string(pick(0, 9)));
        break;
      case 1:  // PLC inputs
        cell.gwSet("di", pick(0, 63), {pick(0, 1)});
        cell.gwSet("ir", pick(0, 31), {pick(0, 65535)});
        break;
      case 2: {  // PLC outputs and speed through the command block
        cell.gwSet("ir", 41,
                   {swap16(pick(0, 120)), swap16(pick(0, 65535)), swap16(pick(0, 65535))});
        break;
      }
      default: {  // one command sequence: 0, then the code, held for a while
        const auto& [code, call] = commands[pick(0, 3)];
        cell.gwSet("ir", 40, {0});
        ASSERT_TRUE(cell.waitCycles(2));
        cell.gwSet("ir", 40, {swap16(code)});
        ASSERT_TRUE(cell.waitCycles(pick(2, 4)));
        ++expected[call];
        ++sequences;
        break;
      }
    }
    ASSERT_TRUE(cell.umx().running()) << "the service ended";
  }
  cell.gwSet("ir", 40, {0});
  ASSERT_TRUE(cell.waitCycles(3));

  const long cycles = cell.gwRequests("fc16") / 2 - cycles_start;
  const long rss_end = rssKiB(pid);
  size_t executed = 0, wanted = 0;
  for (auto& [call, n] : expected) {
    size_t got = 0;
    for (auto& line : cell.robot().lines()) got += line == call;
    EXPECT_EQ(got, n) << call;
    executed += got;
    wanted += n;
  }
  EXPECT_TRUE(cell.umx().running());
  EXPECT_EQ(cell.umx().countContaining("Stack trace"), 0u);
  // A sanitizer's allocator keeps freed memory in quarantine: RSS says nothing there.
  if (!vt::kSanitizedBuild) {
    EXPECT_LT(rss_end - rss_start, 2048) << "memory grows";
  }

  std::uintmax_t log_bytes = 0;
  size_t log_files = 0;
  for (auto& e : fs::directory_iterator(cell.workspace() + "log/umx")) {
    ++log_files;
    log_bytes += fs::file_size(e.path());
  }
  EXPECT_LE(log_files, 6u);
  std::printf(
      "soak: %.0f s, %ld cycles, %zu command sequences, %zu executed of %zu expected, RSS %ld -> "
      "%ld KiB, %zu log files with %ju bytes, crashes 0\n",
      soakSeconds(), cycles, sequences, executed, wanted, rss_start, rss_end, log_files, log_bytes);
}

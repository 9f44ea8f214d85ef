// A fault that lasts must not flood the log file, the console (the journal)
// or standard error: repeats are folded into summary lines, while the
// start-up lines, each distinct message and the recovery stay in the log.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "cell.h"
#include "sanitized.h"

using vt::Cell;
using vt::Ms;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> fileLines(const std::string& path) {
  std::vector<std::string> out;
  std::istringstream in(vt::readFile(path));
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

size_t countContaining(const std::vector<std::string>& lines, const std::string& needle) {
  size_t n = 0;
  for (auto& l : lines) n += l.find(needle) != std::string::npos;
  return n;
}

// "... [repeated 123 more times in 30.0 s]": the counts of the summary lines.
long foldedTotal(const std::vector<std::string>& lines) {
  static const std::regex summary(R"( \[repeated (\d+) more times? in [0-9.]+ s\]$)");
  long total = 0;
  std::smatch m;
  for (auto& l : lines)
    if (std::regex_search(l, m, summary)) total += std::stol(m[1].str());
  return total;
}

double perMinute(size_t lines, Clock::duration d) {
  return lines * 60.0 / std::chrono::duration<double>(d).count();
}

}  // namespace

TEST(LogFlood, MissingSerialDeviceIsFoldedAndItsReturnIsSaid) {
  Cell::Options o;
  o.start_umx = false;
  Cell cell(o);
  cell.start();
  cell.line().down();  // the USB adapter is not plugged in
  cell.startUmx();
  ASSERT_TRUE(cell.waitLog("VEMO-UMX is Running", Ms(20000)));
  const auto t0 = Clock::now();
  ASSERT_TRUE(cell.waitLog("modbusOpen failed ret is  -1", Ms(5000)));
  // Cycles against the missing device until the heartbeat thread's report
  // of the blocked link (every 4 s) is summed up at the end of its first window.
  ASSERT_TRUE(vt::waitUntil(
      [&] { return countContaining(cell.umx().lines(), "modbus is blocking  [repeated ") >= 1; },
      Ms(75000)));
  const auto elapsed = Clock::now() - t0;

  const auto log = fileLines(cell.logFile());
  const auto err = cell.umx().lines(vt::Stream::Err);
  std::printf(
      "missing device: %zu log lines (%.0f a minute), %zu console lines, %zu on stderr "
      "(%.0f a minute), %ld repeats folded in the log\n",
      log.size(), perMinute(log.size(), elapsed), cell.umx().lineCount(), err.size(),
      perMinute(err.size(), elapsed), foldedTotal(log));
  EXPECT_LT(log.size(), 300u);
  EXPECT_LT(err.size(), 60u);
  EXPECT_LT(cell.umx().lineCount(), 320u);
  // The history is still there, and so is every distinct message.
  for (const char* kept :
       {"VEMO-UMX Init Successed", "====>>>> rtu portname is ", "====>>>> register number is  32",
        "modbus connect: ", "libmodbus context uninitialized! modbusWriteBits falied",
        "libmodbus context uninitialized! modbusWriteRegisters falied",
        "libmodbus context uninitialized! modbusReadInputBits falied",
        "libmodbus context uninitialized! modbusReadInputRegisters falied"})
    EXPECT_GE(countContaining(log, kept), 1u) << kept;
  EXPECT_GT(foldedTotal(log), 300) << "the repeats are counted, not lost";
  EXPECT_GE(countContaining(err, "libmodbus context uninitialized!"), 1u);
  EXPECT_GE(countContaining(err, "[repeated "), 1u) << "summaries on stderr too";
  // The blocking line is folded too, its first occurrences kept.
  EXPECT_GE(countContaining(log, "modbus is blocking "), 3u);

  // The adapter plugged in: the cycle resumes and the log says so.
  cell.line().upAgain();
  EXPECT_TRUE(cell.waitLog("Modbus ConnectRtu Succeed", Ms(10000)));
  EXPECT_TRUE(cell.umx().waitFor("modbus requests succeed again after ", Ms(10000)));
  EXPECT_TRUE(cell.waitCycles(3));
}

TEST(LogFlood, SilentGatewayIsFoldedAndTheNextFailureIsWrittenInFull) {
  Cell cell;
  cell.start();
  ASSERT_TRUE(cell.waitCycles(2));
  const size_t before = vt::readFile(cell.logFile()).size();
  cell.gateway().query("mute on");
  const auto t0 = Clock::now();
  // Past one fold window (30 s): its summary lines are written.
  ASSERT_TRUE(cell.umx().waitFor("[repeated ", Ms(60000))) << cell.umx().allText();
  const auto elapsed = Clock::now() - t0;
  const auto log = fileLines(cell.logFile());
  const std::string during = vt::readFile(cell.logFile()).substr(before);
  const size_t lines = static_cast<size_t>(std::count(during.begin(), during.end(), '\n'));
  std::printf("silent gateway: %zu log lines in %.0f s (%.0f a minute), %zu on stderr\n", lines,
              std::chrono::duration<double>(elapsed).count(), perMinute(lines, elapsed),
              cell.umx().lineCount(vt::Stream::Err));
  // Without folding: five lines per failed request, one request every 4 s.
  EXPECT_LT(lines, 45u);

  // Answered again: the recovery is said, and a new failure after that is a
  // first failure again, written in full at once.
  cell.gateway().query("mute off");
  ASSERT_TRUE(cell.umx().waitFor("modbus requests succeed again after ", Ms(15000)));
  ASSERT_TRUE(cell.waitCycles(2));
  const size_t from = cell.umx().lineCount();
  const long fc15 = cell.gwRequests("fc15");
  ASSERT_EQ(cell.gwQuery("fault 15 64 mute 4"), "ok");  // one status-bits write fails for good
  EXPECT_TRUE(cell.umx().waitFor("modbus_write_bits error", Ms(15000), from));
  EXPECT_GE(cell.gwRequests("fc15"), fc15 + 4);
}

// A silent gateway that goes on: the messages that repeat, the heartbeat
// thread's blocking line and its value included, are written in full their
// first times and then only summed up, in windows that grow; a stop (SIGTERM
// from systemd) writes what is pending before the process ends.
TEST(LogFlood, ALongOutageKeepsItsHistoryAndAStopWritesThePendingSummaries) {
  // A timed span of 100 s: once, in the normal build, is enough.
  if (vt::kSanitizedBuild) GTEST_SKIP() << "measured in the normal build";
  Cell cell;
  cell.start();
  ASSERT_TRUE(cell.waitCycles(2));
  cell.gateway().query("mute on");
  const auto t0 = Clock::now();
  ASSERT_TRUE(cell.waitLog("modbus is blocking ", Ms(15000)));
  // A measured span, not a wait for an event: past the first fold window
  // (30 s) well into the second (2 min).
  std::this_thread::sleep_for(std::chrono::seconds(100));
  const auto elapsed = Clock::now() - t0;
  const auto during = fileLines(cell.logFile());
  const size_t blocking = countContaining(during, "modbus is blocking ");
  const size_t heartbeat = countContaining(during, "Current heartbeat_word_ is  ");
  std::printf(
      "silent gateway for %.0f s: %zu log lines in all, %zu blocking lines, %zu heartbeat "
      "lines (unfolded: %.0f each)\n",
      std::chrono::duration<double>(elapsed).count(), during.size(), blocking, heartbeat,
      std::chrono::duration<double>(elapsed).count() / 4.0);
  // Every 4 s unfolded (25 each); folded, their first three and a summary.
  EXPECT_LE(blocking, 5u);
  EXPECT_LE(heartbeat, 5u);
  EXPECT_GE(blocking, 3u);
  // The start-up lines and every message's first occurrences are there.
  for (const char* kept :
       {"vemo_umx config path is ", "RPC Client Connect Successed!", "VEMO-UMX Init Successed",
        "VEMO-UMX is Running", "modbus_write_bits error", "modbus_read_input_bits error"})
    EXPECT_GE(countContaining(during, kept), 1u) << kept;

  // Stopped in the middle of a window: its count is written, not lost.
  const size_t before = during.size();
  cell.umx().signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(cell.umx().waitExit(Ms(10000), &status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  const auto after = fileLines(cell.logFile());
  ASSERT_GT(after.size(), before);
  const std::vector<std::string> tail(after.begin() + static_cast<long>(before), after.end());
  EXPECT_GE(countContaining(tail, "[repeated "), 1u) << vt::readFile(cell.logFile());
  EXPECT_NE(tail.back().find("VEMO-UMX is Stopping: signal 15"), std::string::npos) << tail.back();
}

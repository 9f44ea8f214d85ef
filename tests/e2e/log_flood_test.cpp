// A fault that lasts must not flood the log file, the console (the journal)
// or standard error: repeats are folded into summary lines, while the
// start-up lines, each distinct message and the recovery stay in the log.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "cell.h"

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
  // A minute of cycles against the missing device (the heartbeat thread
  // reports the blocked link every 4 s meanwhile).
  ASSERT_TRUE(vt::waitUntil([&] { return cell.logCount("modbus is blocking ") >= 15; }, Ms(75000)));
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
  // Events are never folded.
  EXPECT_GE(countContaining(log, "modbus is blocking "), 15u);

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

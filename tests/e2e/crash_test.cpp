// The real service's crash reports: fatal signals leave a minidump that the
// Breakpad tools read and a readable stack trace; SIGUSR1 writes a trace and
// the service goes on; the other listed signals end it by their default action.
// A report that hangs still ends the process in time, and the crash directory
// never holds more than ten files after one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "cell.h"
#include "sanitized.h"
#include "test_env.h"

namespace fs = std::filesystem;
using vt::Ms;

namespace {

const Ms kStart(30000);
const Ms kEnd(15000);
// A fatal signal ends the process within this, however its report fares.
const Ms kReportBound(10000);
// Past the bound: the signal's delivery and our polling on a busy machine.
const Ms kBoundMargin(4000);
// Trace files and minidumps together after a report.
const size_t kMaxCrashFiles = 10;

std::vector<std::string> crashFiles(const std::string& dir, const std::regex& pattern) {
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (it->is_regular_file() && std::regex_match(name, pattern)) out.push_back(name);
  }
  return out;
}

const std::regex kTraceName(R"(vemo_umx_\d{14})");
const std::regex kDumpName(R"(.*\.dmp)");
const std::regex kAnyName(".*");

// A crash directory already over its limit with reports of earlier runs,
// named as the handler and Breakpad name theirs.
struct OldReports {
  std::vector<std::string> traces;  // oldest first
  std::vector<std::string> dumps;
};

OldReports fillCrashDirectory(const std::string& crash) {
  fs::create_directories(crash);
  OldReports old;
  char name[64];
  for (int i = 1; i <= 12; ++i) {
    std::snprintf(name, sizeof name, "vemo_umx_202001010000%02d", i);
    vt::writeFile(crash + name, "Stack trace (most recent call last):\n");
    old.traces.push_back(name);
  }
  for (int i = 1; i <= 3; ++i) {
    std::snprintf(name, sizeof name, "%08x-1111-2222-3333-444444444444.dmp", i);
    vt::writeFile(crash + name, "MDMP");
    old.dumps.push_back(name);
  }
  return old;
}

// The file name that the service's first line starting with `tag` reports; "" if none.
std::string reportedFile(const vt::Process& p, const std::string& tag) {
  for (const auto& l : p.lines())
    if (l.rfind(tag, 0) == 0) return fs::path(l.substr(tag.size())).filename().string();
  return "";
}

std::string listing(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += "  " + n + "\n";
  return out;
}

// The old traces still there must be the newest ones: rolling drops the oldest first.
void expectNewestOldTracesKept(const OldReports& old, const std::vector<std::string>& files) {
  const std::set<std::string> present(files.begin(), files.end());
  std::vector<std::string> kept;
  for (const auto& t : old.traces)
    if (present.count(t)) kept.push_back(t);
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), old.traces.end() - kept.size()))
      << listing(files);
}

// Runs a Breakpad tool on a minidump to its end; returns its exit status.
int runTool(const std::string& tool, const std::string& dump, std::string* out, std::string* err) {
  vt::Process p({vt::breakpadTool(tool), dump});
  int status = 0;
  if (!p.waitExit(Ms(60000), &status)) return -1;
  *out = p.allText();
  *err = p.allText(vt::Stream::Err);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Crash : public testing::Test {
 protected:
  void SetUp() override {
    // SIGQUIT's and the faults' default action would leave core files.
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    if (vt::fileExists(vt::bin("vemo_robot_sim"))) {
      robot_ = std::make_unique<vt::Process>(std::vector<std::string>{vt::bin("vemo_robot_sim")});
      ASSERT_TRUE(robot_->waitFor("ready", Ms(10000))) << robot_->allText(vt::Stream::Err);
    }
  }

  // A service on a fresh workspace, idling with crash reporting armed.
  std::unique_ptr<vt::Process> startUmx(const std::string& ws) {
    vt::ProcessOptions opt;
    opt.cwd = "/tmp";
    auto umx = std::make_unique<vt::Process>(
        std::vector<std::string>{vt::bin("vemo_umx"), "--workspace", ws}, opt);
    EXPECT_TRUE(umx->waitFor("VEMO-UMX is Running", kStart))
        << umx->allText() << umx->allText(vt::Stream::Err);
    EXPECT_TRUE(vt::waitUntil([&] { return vt::mainThreadIdle(umx->pid()); }, Ms(10000)));
    return umx;
  }

  vt::TempDir tmp_{"vemo-crash"};
  std::unique_ptr<vt::Process> robot_;
};

}  // namespace

TEST_F(Crash, FaultsLeaveAMinidumpAndAReadableTrace) {
  for (int sig : {SIGSEGV, SIGABRT}) {
    SCOPED_TRACE(strsignal(sig));
    const std::string ws = tmp_ / ("ws" + std::to_string(sig) + "/");
    const std::string crash = ws + "./log/.crash/vemo_umx/";
    auto umx = startUmx(ws);
    ASSERT_FALSE(HasFailure());

    umx->signal(sig);
    int status = 0;
    ASSERT_TRUE(umx->waitExit(kEnd, &status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;

    const auto traces = crashFiles(crash, kTraceName);
    const auto dumps = crashFiles(crash, kDumpName);
    ASSERT_EQ(traces.size(), 1u);
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(umx->countContaining("Crash file is written to " + crash + traces[0]), 1u)
        << umx->allText();
    EXPECT_EQ(umx->countContaining("Dump path: " + crash), 1u) << umx->allText();

    const std::string trace = vt::readFile(crash + traces[0]);
    EXPECT_EQ(trace.rfind("Stack trace (most recent call last)", 0), 0u) << trace;
    EXPECT_TRUE(
        std::regex_search(trace, std::regex(R"(Source ".+", line \d+, in \w+ \[0x[0-9a-f]+\])")))
        << "function names resolved:\n"
        << trace;
    const std::string err = umx->allText(vt::Stream::Err);
    EXPECT_NE(err.find("Stack trace (most recent call last)"), std::string::npos) << err;
    EXPECT_NE(err.find(strsignal(sig)), std::string::npos) << "psiginfo line:\n" << err;

    std::string out, tool_err;
    runTool("minidump_dump", crash + dumps[0], &out, &tool_err);
    EXPECT_NE(out.find("MDRawHeader"), std::string::npos);
    EXPECT_NE(out.find("MinidumpThreadList"), std::string::npos);
    // Breakpad's Linux client never writes the misc-info and memory-info
    // streams, which the tool counts as errors; anything else is a bad dump.
    std::istringstream lines(tool_err);
    for (std::string l; std::getline(lines, l);) {
      if (l.find("ERROR") == std::string::npos) continue;
      EXPECT_TRUE(l.find("GetMiscInfo()") != std::string::npos ||
                  l.find("GetMemoryInfoList()") != std::string::npos)
          << l;
    }

    EXPECT_EQ(runTool("minidump_stackwalk", crash + dumps[0], &out, &tool_err), 0) << tool_err;
    EXPECT_NE(out.find(std::string("Crash reason:  ") + (sig == SIGSEGV ? "SIGSEGV" : "SIGABRT")),
              std::string::npos)
        << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(Thread \d+ \(crashed\)\n 0  \S+)"))) << out;
  }
}

TEST(CrashInCell, Usr1WritesATraceAndTheServiceGoesOnExchanging) {
  vt::Cell cell;
  cell.start();
  vt::Process* umx = &cell.umx();
  ASSERT_TRUE(vt::waitUntil([&] { return vt::mainThreadIdle(umx->pid()); }, Ms(10000)));
  const std::string crash = cell.workspace() + "./log/.crash/vemo_umx/";

  std::set<std::string> written;
  size_t from = 0;
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    umx->signal(SIGUSR1);
    const long at = umx->waitLine([](const std::string& l) { return l == "Received SIGUSR1!"; },
                                  Ms(10000), from);
    ASSERT_GE(at, 0) << umx->allText();
    // The handler re-arms itself after that line; a SIGUSR1 before that
    // would take the default action.
    ASSERT_TRUE(vt::waitUntil([&] { return vt::catchesSignal(umx->pid(), SIGUSR1); }, Ms(5000)));
    const auto out = umx->lines();
    std::vector<std::string> mine(out.begin() + from, out.begin() + at + 1);
    from = at + 1;
    EXPECT_NE(std::find(mine.begin(), mine.end(), "Received signal 10!"), mine.end());
    for (const auto& l : mine) {
      const std::string tag = "Crash file is written to " + crash;
      if (l.rfind(tag, 0) == 0) written.insert(l.substr(tag.size()));
    }
    EXPECT_TRUE(umx->running());
  }

  // Two traces, or one when both fell within the same second.
  const auto traces = crashFiles(crash, kTraceName);
  EXPECT_EQ(std::set<std::string>(traces.begin(), traces.end()), written);
  EXPECT_GE(traces.size(), 1u);
  EXPECT_TRUE(crashFiles(crash, kDumpName).empty());
  EXPECT_EQ(vt::readFile(crash + traces[0]).rfind("Stack trace (most recent call last)", 0), 0u);
  EXPECT_EQ(umx->countContaining("Stack trace (most recent call last)", vt::Stream::Err), 2u);
  EXPECT_TRUE(umx->running());

  // The exchange cycle never stopped: the gateway keeps receiving status blocks.
  EXPECT_TRUE(cell.waitCycles(2, Ms(10000)));

  // No deadline of a fatal report ends it later either.
  EXPECT_FALSE(umx->waitExit(kReportBound + kBoundMargin)) << umx->allText();
  EXPECT_TRUE(cell.waitCycles(2, Ms(10000)));
}

// The worst case: glibc aborting from inside malloc with its lock held. The
// report's first allocation then blocks for ever while the service's other
// threads go on; only the deadline armed at the handler's entry ends it.
TEST(CrashInCell, AReportStuckInTheAllocatorStillEndsTheProcessInTime) {
  if (vt::kSanitizedBuild)
    GTEST_SKIP() << "the sanitizer runtime interposes malloc itself, so the stuck allocator "
                    "cannot be preloaded";
  vt::Cell::Options options;
  options.umx_env = {{"LD_PRELOAD", VEMO_STUCK_MALLOC}};
  vt::Cell cell(options);
  cell.start();
  vt::Process* umx = &cell.umx();
  ASSERT_TRUE(vt::waitUntil([&] { return vt::mainThreadIdle(umx->pid()); }, Ms(10000)));
  ASSERT_NE(vt::readFile("/proc/" + std::to_string(umx->pid()) + "/maps").find(VEMO_STUCK_MALLOC),
            std::string::npos)
      << "the allocator was not preloaded";
  ASSERT_TRUE(cell.waitCycles(1, Ms(10000)));

  const auto sent = std::chrono::steady_clock::now();
  umx->signal(SIGWINCH);
  int status = 0;
  const bool ended = umx->waitExit(kReportBound + kBoundMargin, &status);
  const auto took = std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - sent).count();
  std::cout << "[ measured ] SIGWINCH to process end: " << took << " ms" << std::endl;
  RecordProperty("end_ms", static_cast<int>(took));

  ASSERT_TRUE(ended) << "still running " << took << " ms after the fault\n" << umx->allText();
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  // The report really hung: the deadline ended the process, not the abort.
  EXPECT_EQ(WTERMSIG(status), SIGALRM) << strsignal(WTERMSIG(status));
}

TEST_F(Crash, QuitAndUsr2TraceThenTakeTheDefaultAction) {
  for (int sig : {SIGQUIT, SIGUSR2}) {
    SCOPED_TRACE(strsignal(sig));
    const std::string ws = tmp_ / ("ws" + std::to_string(sig) + "/");
    const std::string crash = ws + "./log/.crash/vemo_umx/";
    auto umx = startUmx(ws);
    ASSERT_FALSE(HasFailure());

    umx->signal(sig);
    int status = 0;
    ASSERT_TRUE(umx->waitExit(kEnd, &status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;

    EXPECT_EQ(umx->countContaining("Received signal " + std::to_string(sig) + "!"), 1u);
    EXPECT_EQ(umx->countContaining("watf? exit"), 0u);
    const auto traces = crashFiles(crash, kTraceName);
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(vt::readFile(crash + traces[0]).rfind("Stack trace (most recent call last)", 0), 0u);
    EXPECT_TRUE(crashFiles(crash, kDumpName).empty());
    EXPECT_NE(umx->allText(vt::Stream::Err).find("Stack trace (most recent call last)"),
              std::string::npos);
  }
}

// Breakpad's minidump comes after the trace file and counts too: the report
// leaves room for it.
TEST_F(Crash, AFaultInAFullCrashDirectoryLeavesTenFilesWithTheNewReport) {
  const std::string ws = tmp_ / "ws/";
  const std::string crash = ws + "./log/.crash/vemo_umx/";
  const OldReports old = fillCrashDirectory(crash);
  auto umx = startUmx(ws);
  ASSERT_FALSE(HasFailure());

  umx->signal(SIGSEGV);
  int status = 0;
  ASSERT_TRUE(umx->waitExit(kEnd, &status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;

  const std::string trace = reportedFile(*umx, "Crash file is written to " + crash);
  const std::string dump = reportedFile(*umx, "Dump path: " + crash);
  ASSERT_FALSE(trace.empty()) << umx->allText();
  ASSERT_FALSE(dump.empty()) << umx->allText();
  const auto files = crashFiles(crash, kAnyName);
  EXPECT_EQ(files.size(), kMaxCrashFiles) << listing(files);
  EXPECT_NE(std::find(files.begin(), files.end(), trace), files.end()) << listing(files);
  EXPECT_NE(std::find(files.begin(), files.end(), dump), files.end()) << listing(files);
  expectNewestOldTracesKept(old, files);
}

// With no minidump to follow, the trace alone fills the directory to ten, as
// it always did.
TEST_F(Crash, AReportWithoutAMinidumpInAFullCrashDirectoryLeavesTenFiles) {
  for (int sig : {SIGUSR1, SIGQUIT}) {
    SCOPED_TRACE(strsignal(sig));
    const std::string ws = tmp_ / ("ws" + std::to_string(sig) + "/");
    const std::string crash = ws + "./log/.crash/vemo_umx/";
    const OldReports old = fillCrashDirectory(crash);
    auto umx = startUmx(ws);
    ASSERT_FALSE(HasFailure());

    umx->signal(sig);
    if (sig == SIGUSR1) {
      ASSERT_TRUE(umx->waitFor("Received SIGUSR1!", Ms(10000))) << umx->allText();
      EXPECT_TRUE(umx->running());
    } else {
      int status = 0;
      ASSERT_TRUE(umx->waitExit(kEnd, &status));
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    }

    const std::string trace = reportedFile(*umx, "Crash file is written to " + crash);
    ASSERT_FALSE(trace.empty()) << umx->allText();
    const auto files = crashFiles(crash, kAnyName);
    EXPECT_EQ(files.size(), kMaxCrashFiles) << listing(files);
    EXPECT_NE(std::find(files.begin(), files.end(), trace), files.end()) << listing(files);
    for (const auto& dump : crashFiles(crash, kDumpName))
      EXPECT_NE(std::find(old.dumps.begin(), old.dumps.end(), dump), old.dumps.end()) << dump;
    expectNewestOldTracesKept(old, files);
  }
}

// A restart loop (a crash or a watchdog kill every few seconds) keeps its
// first three reports and then writes no more, so that the reports from
// before it stay in the directory; the log is still written out and the
// signal still ends the process. Signals another process sends (systemd's
// watchdog) are counted apart from the faults the service meets itself:
// after three watchdog kills, a real fault still leaves its report.
TEST_F(Crash, ARestartLoopKeepsItsFirstReportsOnly) {
  const std::string ws = tmp_ / "ws/";
  const std::string crash = ws + "./log/.crash/vemo_umx/";
  fillCrashDirectory(crash);
  for (int sig : {SIGSEGV, SIGABRT, SIGSEGV}) {
    SCOPED_TRACE(strsignal(sig));
    auto umx = startUmx(ws);
    ASSERT_FALSE(HasFailure());
    umx->signal(sig);
    ASSERT_TRUE(umx->waitExit(kEnd));
    EXPECT_FALSE(reportedFile(*umx, "Dump path: " + crash).empty()) << umx->allText();
  }
  const auto before = crashFiles(crash, kAnyName);

  auto looping = startUmx(ws);
  ASSERT_FALSE(HasFailure());
  looping->signal(SIGABRT);
  int status = 0;
  ASSERT_TRUE(looping->waitExit(kEnd, &status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
  EXPECT_TRUE(looping->waitFor("Crash report skipped: 3 crash reports in the last 24 hours",
                               Ms(1000), 0, vt::Stream::Err))
      << looping->allText(vt::Stream::Err);
  EXPECT_EQ(crashFiles(crash, kAnyName), before) << "nothing written, nothing removed";
  EXPECT_NE(vt::readFile(ws + "log/umx/vemo_umx.log").find("VEMO-UMX crash: signal 6"),
            std::string::npos);

  // A fault of its own: its trace and its minidump.
  if (vt::kSanitizedBuild)
    GTEST_SKIP() << "a sanitizer's runtime takes a real fault itself: checked in the normal build";
  const std::string fifo = tmp_ / "fault";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  vt::ProcessOptions opt;
  opt.cwd = "/tmp";
  opt.env = {{"LD_PRELOAD", VEMO_FAULT_TRIGGER}, {"VEMO_FAULT_FIFO", fifo}};
  vt::Process faulty({vt::bin("vemo_umx"), "--workspace", ws}, opt);
  ASSERT_TRUE(faulty.waitFor("VEMO-UMX is Running", kStart)) << faulty.allText(vt::Stream::Err);
  ASSERT_TRUE(vt::waitUntil([&] { return vt::mainThreadIdle(faulty.pid()); }, Ms(10000)));
  vt::writeFile(fifo, "x");
  ASSERT_TRUE(faulty.waitExit(kEnd, &status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
  const std::string trace = reportedFile(faulty, "Crash file is written to " + crash);
  const std::string dump = reportedFile(faulty, "Dump path: " + crash);
  ASSERT_FALSE(trace.empty()) << faulty.allText() << faulty.allText(vt::Stream::Err);
  ASSERT_FALSE(dump.empty()) << faulty.allText();
  EXPECT_NE(vt::readFile(crash + trace).find("waitAndFault"), std::string::npos)
      << vt::readFile(crash + trace);
  EXPECT_TRUE(vt::fileExists(crash + dump));
}

namespace {

// A line "Key:  1234 kB" of /proc/<pid>/status, in KiB.
long statusKiB(pid_t pid, const std::string& key) {
  std::istringstream in(vt::readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  return -1;
}

}  // namespace

// Diagnostics asked for on a live cell, again and again and close together
// (a service engineer's repeated SIGUSR1s): never fatal, each request
// answered by a report of its own or folded into one, every report in a
// trace file of its own, and what symbolising took given back.
TEST(CrashInCell, Usr1ReportsKeepNoMemory) {
  vt::Cell cell;
  cell.start();
  vt::Process& umx = cell.umx();
  ASSERT_TRUE(cell.waitCycles(3));
  // Memory the process holds: its anonymous pages (heap, stacks). The
  // file-backed pages of the libraries the first report runs (libdw's code)
  // are the kernel's to drop. A sanitizer's allocator keeps what it frees.
  const bool measure = !vt::kSanitizedBuild;
  const long before = statusKiB(umx.pid(), "RssAnon");
  const long file_before = statusKiB(umx.pid(), "RssFile");
  ASSERT_GT(before, 0);
  size_t from = 0;
  std::string figures;
  for (int report = 1; report <= 5; ++report) {
    SCOPED_TRACE(report);
    umx.signal(SIGUSR1);
    const long at = umx.waitLine([](const std::string& l) { return l == "Received SIGUSR1!"; },
                                 Ms(10000), from);
    ASSERT_GE(at, 0) << umx.allText();
    from = static_cast<size_t>(at) + 1;
    ASSERT_TRUE(cell.waitCycles(2, Ms(10000))) << "the cycle runs on";
    const long after = statusKiB(umx.pid(), "RssAnon");
    figures += " " + std::to_string(after) + " (" +
               std::to_string(statusKiB(umx.pid(), "RssFile") - file_before) + " file)";
    if (measure) {
      EXPECT_LE(after, before + 1024) << "KiB before the first report: " << before;
    }
  }
  std::printf("anonymous resident KiB before the reports %ld, after each:%s\n", before,
              figures.c_str());

  // Pairs 10..50 ms apart, then five during a controller restart.
  std::mt19937 rng(20261210);
  int sent = 5;
  for (int pair = 0; pair < 20; ++pair, sent += 2) {
    umx.signal(SIGUSR1);
    std::this_thread::sleep_for(Ms(10 + static_cast<int>(rng() % 41)));  // the pair's spacing
    umx.signal(SIGUSR1);
    std::this_thread::sleep_for(Ms(100 + static_cast<int>(rng() % 200)));
  }
  std::thread during([&] {
    for (int i = 0; i < 5; ++i, ++sent) {
      umx.signal(SIGUSR1);
      std::this_thread::sleep_for(Ms(40));
    }
  });
  cell.restartRobot();
  during.join();
  auto answered = [&] {
    size_t n = umx.countContaining("Received SIGUSR1!");
    const std::string folded = "SIGUSR1 came ";
    for (const auto& l : umx.lines())
      if (l.rfind(folded, 0) == 0) n += std::stoul(l.substr(folded.size()));
    return n;
  };
  EXPECT_TRUE(vt::waitUntil([&] { return answered() == static_cast<size_t>(sent); }, Ms(60000)))
      << answered() << " of " << sent << " answered\n"
      << umx.allText();
  ASSERT_TRUE(umx.running());
  ASSERT_TRUE(cell.waitCycles(2, Ms(10000))) << "the cycle runs on";
  const std::string crash = cell.workspace() + "./log/.crash/vemo_umx/";
  std::set<std::string> traces;
  const std::string tag = "Crash file is written to " + crash;
  for (const auto& l : umx.lines())
    if (l.rfind(tag, 0) == 0) traces.insert(l.substr(tag.size()));
  const size_t reports = umx.countContaining("Received SIGUSR1!");
  EXPECT_EQ(traces.size(), reports) << "one trace file per report, none written over";
  EXPECT_EQ(umx.countContaining("Received signal 10!"), reports);
  for (const auto& l : umx.lines())
    if (l.rfind("SIGUSR1 report: ", 0) == 0) std::printf("%s\n", l.c_str());
  const long after = statusKiB(umx.pid(), "RssAnon");
  std::printf("%d requests, %zu reports; anonymous resident KiB %ld before, %ld after\n", sent,
              reports, before, after);
  if (measure) {
    EXPECT_LE(after, before + 2048);
  }
}

// The console is a courtesy, the log file the record: a console nobody
// reads (a stalled journal, a pipe that is full) holds up neither the cycle,
// through a gateway outage and its error lines, nor the stop.
TEST(CrashInCell, AConsoleNobodyReadsHoldsUpNeitherTheCycleNorTheStop) {
  int full[2];
  ASSERT_EQ(pipe2(full, O_CLOEXEC | O_NONBLOCK), 0);
  const std::string chunk(4096, 'x');
  while (write(full[1], chunk.data(), chunk.size()) > 0) {
  }
  // Blocking again for the service, as a console is.
  ASSERT_EQ(fcntl(full[1], F_SETFL, 0), 0);
  vt::Cell::Options o;
  o.umx_output_fd = full[1];
  vt::Cell cell(o);
  cell.start(false);
  close(full[1]);
  const std::string log = cell.logFile();
  ASSERT_TRUE(vt::waitUntil(
      [&] { return vt::readFile(log).find("VEMO-UMX is Running") != std::string::npos; },
      Ms(20000)));
  ASSERT_TRUE(cell.waitCycles(2));

  // A 12 s gateway outage: failures echoed on standard error, logged.
  cell.gateway().query("mute on");
  const auto outage_end = std::chrono::steady_clock::now() + std::chrono::seconds(12);
  ASSERT_TRUE(vt::waitUntil(
      [&] { return vt::readFile(log).find("ERROR vemo_umx - modbusdev") != std::string::npos; },
      Ms(10000)));
  ASSERT_TRUE(vt::waitUntil([&] { return std::chrono::steady_clock::now() > outage_end; },
                            Ms(15000), Ms(200)));
  cell.gateway().query("mute off");
  EXPECT_TRUE(cell.waitCycles(2, Ms(8000))) << "status blocks again within 8 s";

  const auto stop = std::chrono::steady_clock::now();
  cell.umx().signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(cell.umx().waitExit(Ms(5000), &status));
  const auto took = std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - stop);
  std::printf("SIGTERM to the end with a full console: %lld ms\n",
              static_cast<long long>(took.count()));
  EXPECT_LE(took.count(), 2000);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_NE(vt::readFile(log).find("VEMO-UMX is Stopping: signal 15"), std::string::npos);
  close(full[0]);
}

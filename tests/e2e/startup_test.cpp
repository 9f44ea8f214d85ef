// The real program's start-up: options, workspace, UMX_WS, the configuration
// and log files, and the start-up failures that must end with a clear message.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <regex>

#include "cell.h"
#include "test_env.h"

namespace fs = std::filesystem;
using vt::Ms;

namespace {

const Ms kStart(15000);

std::unique_ptr<vt::Process> startUmx(std::vector<std::string> args, vt::ProcessOptions opt = {}) {
  args.insert(args.begin(), vt::bin("vemo_umx"));
  if (opt.cwd.empty()) opt.cwd = "/tmp";
  return std::make_unique<vt::Process>(args, opt);
}

// Initialisation waits for the robot controller, so these tests run one.
std::unique_ptr<vt::Process> startRobotSim() {
  auto robot = std::make_unique<vt::Process>(std::vector<std::string>{vt::bin("vemo_robot_sim")});
  EXPECT_TRUE(robot->waitFor("ready", Ms(10000))) << robot->allText(vt::Stream::Err);
  return robot;
}

bool isDir(const std::string& p) {
  return fs::is_directory(p);
}

// Runs the program to its end (it must end by itself) and returns the exit status.
int runToExit(vt::Process& p) {
  int status = 0;
  if (!p.waitExit(Ms(10000), &status)) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST(Startup, CreatesTheWorkspaceTreeLogsAndKeepsRunning) {
  vt::TempDir tmp("vemo-e2e");
  auto robot = startRobotSim();
  const std::string ws = tmp / "a/b/ws";  // no trailing "/" and missing parents
  auto umx = startUmx({"--workspace", ws}, {{{"UMX_WS", "/somewhere/else"}}, {}, ""});
  ASSERT_TRUE(umx->waitFor("VEMO-UMX is Running", kStart))
      << umx->allText() << umx->allText(vt::Stream::Err);

  const std::string wss = ws + "/";
  auto out = umx->lines();
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out[0], "Set workspace for vemo_umx: " + wss);
  // The inherited UMX_WS is replaced by the workspace, which the logger reads back.
  EXPECT_EQ(out[1], "log workspace_ = " + wss);
  EXPECT_EQ(umx->countContaining("UNMATCHED argument: "), 0u);

  EXPECT_TRUE(isDir(wss + "log/umx"));
  EXPECT_TRUE(isDir(wss + "log/.crash/vemo_umx"));
  EXPECT_TRUE(isDir(wss + "config"));
  EXPECT_TRUE(vt::fileExists(wss + "config/vemo_umx.conf"));
  EXPECT_FALSE(vt::fileExists(tmp / "a/b/ws./config")) << "paths must stay inside the workspace";

  // The console keeps the library's own line format; the file has the service's.
  EXPECT_TRUE(
      umx->waitLine(
          [](const std::string& l) {
            return std::regex_search(
                l,
                std::regex(
                    R"(^\d\d:\d\d:\d\d\.\d{9} \[\d+\] schedule\.cpp:\d+ +LOG_INFO +vemo_umx +VEMO-UMX Init Successed$)"));
          },
          Ms(1000)) >= 0)
      << umx->allText();
  const std::string log = wss + "log/umx/vemo_umx.log";
  ASSERT_TRUE(vt::waitUntil(
      [&] { return vt::readFile(log).find("VEMO-UMX is Running") != std::string::npos; },
      Ms(5000)));
  const std::string text = vt::readFile(log);
  const std::regex line(
      R"((^|\n)\d\d/\d\d/\d\d \d\d:\d\d:\d\d\.\d{6} \[\d+\] INFO vemo_umx - schedule\.cpp:\d+ vemo_umx config path is )" +
      wss + R"(\./config/vemo_umx\.conf\n)");
  EXPECT_TRUE(std::regex_search(text, line)) << text;
  for (const char* m : {"config_read_file failed, need to create default conf ",
                        "====>>>> rtu portname is /dev/ttyUSB0", "gateway gateway is  192.168.0.1",
                        "VEMO-UMX is Starting ", "VEMO-UMX is Running"})
    EXPECT_NE(text.find(m), std::string::npos) << m;

  EXPECT_TRUE(umx->running());
}

TEST(Startup, OptionsTable) {
  vt::TempDir tmp("vemo-e2e");
  auto robot = startRobotSim();
  const std::string ws = tmp.path() + "/";
  {
    // Unrecognised arguments are listed in order; -h and -d change nothing.
    auto umx = startUmx({"--foo", "-h", "--workspace", ws, "bar", "-d"});
    ASSERT_TRUE(umx->waitFor("VEMO-UMX is Running", kStart)) << umx->allText(vt::Stream::Err);
    auto out = umx->lines();
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out[0], "UNMATCHED argument: --foo");
    EXPECT_EQ(out[1], "UNMATCHED argument: bar");
    EXPECT_EQ(out[2], "Set workspace for vemo_umx: " + ws);
    EXPECT_EQ(umx->countContaining("Usage"), 0u);
  }
  {
    // -c names a file in the workspace's config directory; a second start
    // on the same workspace prints the same workspace line.
    auto umx = startUmx({"-w", ws, "-c", "other.conf"});
    ASSERT_TRUE(umx->waitFor("VEMO-UMX is Running", kStart));
    EXPECT_EQ(umx->lines()[0], "Set workspace for vemo_umx: " + ws);
    EXPECT_TRUE(umx->waitFor("vemo_umx config path is " + ws + "./config/other.conf", Ms(1000)));
    EXPECT_TRUE(vt::fileExists(ws + "config/other.conf"));
  }
}

TEST(Startup, BadCommandLinesEndWithUsageAndStatusTwo) {
  vt::TempDir tmp("vemo-e2e");
  for (auto args : std::vector<std::vector<std::string>>{
           {"--workspace"}, {"--debug=maybe"}, {"-c"}, {"--workspace="}}) {
    auto umx = startUmx(args);
    EXPECT_EQ(runToExit(*umx), 2) << args[0];
    const auto err = umx->lines(vt::Stream::Err);
    ASSERT_FALSE(err.empty()) << args[0];
    EXPECT_EQ(err[0].rfind("vemo_umx: ", 0), 0u) << err[0];
    EXPECT_NE(umx->allText(vt::Stream::Err).find("Usage:"), std::string::npos);
    EXPECT_EQ(umx->countContaining("Set workspace"), 0u);
  }
}

// The tag export reads the workspace's configuration and changes nothing:
// no directory, no default file, no log; a bad file or format ends with 2.
TEST(Startup, TagExportChangesNothingAndSaysWhatItCannotRead) {
  vt::TempDir tmp("vemo-e2e");
  const std::string ws = tmp / "ws";
  auto run = [&](std::vector<std::string> args, int* code) {
    auto p = startUmx(std::move(args));
    *code = runToExit(*p);
    return p;
  };
  int code = 0;
  auto none = run({"--workspace", ws, "--export-tags", "st"}, &code);
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(vt::fileExists(ws)) << "nothing made on disk";
  EXPECT_EQ(none->lines(vt::Stream::Err).size(), 1u) << none->allText(vt::Stream::Err);
  EXPECT_NE(none->allText(vt::Stream::Err).find("default configuration"), std::string::npos);
  EXPECT_NE(none->allText().find("VEMO_STATUS_BLOCK : STRUCT"), std::string::npos);
  EXPECT_EQ(none->countContaining("Set workspace"), 0u);

  fs::create_directories(ws + "/config");
  vt::writeFile(ws + "/config/vemo_umx.conf", "protocolType = 3;\nlittleEndian = 1;\n");
  auto missing_key = run({"--workspace", ws, "--export-tags", "csv"}, &code);
  EXPECT_EQ(code, 2);
  EXPECT_NE(missing_key->allText(vt::Stream::Err).find("pnRegisterNumber is missing"),
            std::string::npos)
      << missing_key->allText(vt::Stream::Err);
  vt::writeFile(ws + "/config/vemo_umx.conf", "protocolType = ;\n");
  auto broken = run({"--workspace", ws, "--export-tags", "csv"}, &code);
  EXPECT_EQ(code, 2);
  EXPECT_NE(broken->allText(vt::Stream::Err).find("line 1"), std::string::npos);
  EXPECT_EQ(vt::readFile(ws + "/config/vemo_umx.conf"), "protocolType = ;\n") << "kept as it was";
  fs::remove(ws + "/config/vemo_umx.conf");
  auto format = run({"--workspace", ws, "--export-tags", "xlsx"}, &code);
  EXPECT_EQ(code, 2);
  EXPECT_NE(format->allText(vt::Stream::Err).find("unknown tag format 'xlsx'"), std::string::npos);
  EXPECT_FALSE(vt::fileExists(ws + "/log")) << "no log";
}

TEST(Startup, UnusableWorkspaceEndsWithAMessage) {
  vt::TempDir tmp("vemo-e2e");
  vt::writeFile(tmp / "file", "x");
  auto umx = startUmx({"--workspace", tmp / "file/ws"});
  EXPECT_EQ(runToExit(*umx), 1);
  EXPECT_NE(
      umx->allText(vt::Stream::Err).find("vemo_umx: cannot create directory " + tmp / "file/ws/"),
      std::string::npos)
      << umx->allText(vt::Stream::Err);
}

// A controller that answers every register write 3 s late: the start-up
// reset (192 writes, ten minutes at that pace) goes on within the cycles'
// bound on controller time, and the PLC sees the cell within seconds.
TEST(Startup, ASlowControllerDoesNotHoldUpTheFirstCycle) {
  vt::Cell::Options o;
  o.start_umx = false;
  vt::Cell cell(o);
  cell.start();
  for (const char* m :
       {"setBoolOutput", "setBoolInput", "setInt32Input", "setInt32Output", "setInt16Register"})
    ASSERT_EQ(cell.robotCmd(std::string("delay ") + m + " 3000").rfind("ok", 0), 0u) << m;
  const size_t traced = cell.gateway().lineCount();
  cell.gateway().query("trace on");
  const auto t0 = std::chrono::steady_clock::now();
  cell.startUmx();
  ASSERT_TRUE(cell.waitLog("VEMO-UMX is Running", Ms(30000))) << cell.umx().allText();
  ASSERT_TRUE(vt::waitUntil([&] { return !cell.statusBlockTimes(traced).empty(); }, Ms(30000)));
  const double first = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("first status block %.1f s after the start\n", first);
  EXPECT_LE(first, 30.0);
  // The reset goes on, one write per cycle, the status block every few seconds.
  ASSERT_TRUE(vt::waitUntil([&] { return cell.statusBlockTimes(traced).size() >= 4; }, Ms(30000)));
  EXPECT_TRUE(cell.waitCall("call setBoolOutput 2 0", Ms(1)));
  const auto times = cell.statusBlockTimes(traced);
  for (size_t i = 1; i < times.size(); ++i) EXPECT_LE(times[i] - times[i - 1], 7.0) << i;
  EXPECT_EQ(cell.umx().countContaining("VEMO-UMX Init Successed"), 1u);
}

// The log file: its line format, levels, and rotation at 2 MiB with at most
// five rolled files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "log.h"
#include "test_env.h"

namespace fs = std::filesystem;

namespace {

class LoggerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ws_ = new vt::TempDir("vemo-log");
    fs::create_directories(ws_->path() + "/log/umx");
    setenv("UMX_WS", ws_->path().c_str(), 1);
    // The file sink is opened relative to the working directory.
    old_cwd_ = fs::current_path();
    fs::current_path(ws_->path());
    UmxLog log;
    log.initLog();
    fs::current_path(old_cwd_);
  }
  static std::string dir() { return ws_->path() + "/log/umx"; }
  static vt::TempDir* ws_;
  static fs::path old_cwd_;
};
vt::TempDir* LoggerTest::ws_ = nullptr;
fs::path LoggerTest::old_cwd_;

}  // namespace

TEST_F(LoggerTest, FileLinesCarryTimeThreadLevelLoggerAndSource) {
  auto* log = UmxLog::getLogger();
  ASSERT_NE(log, nullptr);
  LOG_INFO(log, "line format probe {} {}", 42, "ok");
  LOG_ERROR(log, "error probe");
  LOG_DEBUG(log, "debug probe");
  LOG_TRACE_L3(log, "trace probe");
  LOG_INFO(log, "{}", "机械臂当前状态，松刹车成功，运行模式");
  log->flush_log();

  const std::string text = vt::readFile(dir() + "/vemo_umx.log");
  const std::string tid = std::to_string(gettid());
  const std::regex info(R"((^|\n)\d\d/\d\d/\d\d \d\d:\d\d:\d\d\.\d{6} \[)" + tid +
                        R"(\] INFO vemo_umx - logger_test\.cpp:\d+ line format probe 42 ok\n)");
  EXPECT_TRUE(std::regex_search(text, info)) << text;
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\] ERROR vemo_umx - logger_test\.cpp:\d+ error probe\n)")));
  // No level is filtered out, Debug and the finest trace level included.
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\] DEBUG vemo_umx - .* debug probe\n)")));
  EXPECT_NE(text.find("trace probe"), std::string::npos);
  // UTF-8 texts are written as they are, not as byte escapes.
  EXPECT_TRUE(std::regex_search(text, std::regex("logger_test\\.cpp:\\d+ 机械臂当前状态，松刹车成功，运行模式\n")))
      << text;

  // A second set-up in the same process reuses the logger and its sinks.
  UmxLog again;
  again.initLog();
  EXPECT_EQ(UmxLog::getLogger(), log);
}

TEST_F(LoggerTest, RotatesAtTwoMebibytesKeepingFiveRolledFiles) {
  auto* log = UmxLog::getLogger();
  const std::string filler(1000, 'x');
  // About 14 MiB: enough to roll more than five times.
  for (int i = 0; i < 14000; ++i) LOG_INFO(log, "rotation {} {}", i, filler);
  log->flush_log();

  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(dir())) {
    names.push_back(e.path().filename().string());
    EXPECT_LE(fs::file_size(e.path()), 2097152u + 2048u) << e.path();
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"vemo_umx.1.log", "vemo_umx.2.log", "vemo_umx.3.log",
                                             "vemo_umx.4.log", "vemo_umx.5.log", "vemo_umx.log"}));
  // The newest lines are in the live file, and nothing is lost before the
  // rolled files are overwritten: the last 10 MiB are all present.
  const std::string live = vt::readFile(dir() + "/vemo_umx.log");
  EXPECT_NE(live.find("rotation 13999 "), std::string::npos);
}

#pragma once
// For test programs that log through the service's logger: one workspace with
// log/umx for the whole program, UMX_WS pointing at it, the logger set up.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "log.h"
#include "test_env.h"

namespace vt {

class LogEnvironment : public ::testing::Environment {
 public:
  explicit LogEnvironment(std::string tag) : tag_(std::move(tag)) {}
  void SetUp() override {
    ws_ = new TempDir(tag_);  // lives as long as the program: the logger writes there
    std::filesystem::create_directories(ws_->path() + "/log/umx");
    setenv("UMX_WS", ws_->path().c_str(), 1);
    UmxLog log;
    log.initLog();
  }
  static std::string logFile() { return ws_->path() + "/log/umx/vemo_umx.log"; }

 private:
  std::string tag_;
  static inline TempDir* ws_ = nullptr;
};

// Collects what the logger wrote from the moment of construction on.
class LogTail {
 public:
  LogTail() {
    UmxLog::getLogger()->flush_log();
    start_ = readFile(LogEnvironment::logFile()).size();
  }
  std::string text() const {
    UmxLog::getLogger()->flush_log();
    return readFile(LogEnvironment::logFile()).substr(start_);
  }
  // Messages only, without the time/thread/source prefix, one per line.
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    std::istringstream in(text());
    std::string line;
    static const std::regex prefix(R"(^.* vemo_umx - [^ ]+:\d+ )");
    while (std::getline(in, line)) out.push_back(std::regex_replace(line, prefix, ""));
    return out;
  }
  bool has(const std::string& message) const {
    for (auto& m : messages())
      if (m == message) return true;
    return false;
  }
  // Messages that start with `prefix`.
  size_t count(const std::string& prefix) const {
    size_t n = 0;
    for (auto& m : messages())
      if (m.rfind(prefix, 0) == 0) ++n;
    return n;
  }

 private:
  size_t start_ = 0;
};

}  // namespace vt

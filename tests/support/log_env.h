#pragma once
// For test programs that log through the service's logger: one workspace with
// log/umx for the whole program, UMX_WS pointing at it, the logger set up.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "logger.h"
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

}  // namespace vt

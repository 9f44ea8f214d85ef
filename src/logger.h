#pragma once
// The program's logging set-up. This header stays light (no quill headers):
// sources that log include "log.h" instead, which the precompiled header holds.
#include <filesystem>
#include <memory>
#include <string>

#include <quill/core/Attributes.h>

QUILL_BEGIN_NAMESPACE
class Sink;
struct FrontendOptions;
template <typename TFrontendOptions>
class LoggerImpl;
using Logger = LoggerImpl<FrontendOptions>;
QUILL_END_NAMESPACE

class UmxLog {
 public:
  UmxLog() = default;
  ~UmxLog() = default;

  // Starts the backend, creates the rotating file and console sinks and the
  // logger "vemo_umx". Once per process; later calls reuse what exists.
  void initLog();

  // The one logger every message of the program goes through; null before initLog.
  static quill::Logger* getLogger() { return logger_; }

 private:
  std::shared_ptr<quill::Sink> file_handler_;
  std::shared_ptr<quill::Sink> console_handler_;
  std::string workspace_;
  static quill::Logger* logger_;
};

// The path leading from the directory `base` to `target`.
std::filesystem::path relativePath(const std::filesystem::path& target,
                                   const std::filesystem::path& base);

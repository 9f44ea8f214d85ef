#pragma once
// The program's logging set-up. This header stays light (no quill headers):
// sources that log include "log.h" instead, which the precompiled header holds.
#include <quill/core/Attributes.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

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
  // Any thread: the stop and crash paths read it from threads of their own.
  static quill::Logger* getLogger() { return logger_.load(std::memory_order_acquire); }

  // Messages logged with the tag "#repeats" (LOG_..._TAGS(logger, "#repeats", ...))
  // are folded when they repeat (LogFolder); one tagged "#clears" marks a
  // recovery and ends every fold window first.
  // A message tagged "#anytext" too is one message by its place in the code,
  // whatever its values ("Current heartbeat_word_ is  {}"). One tagged
  // "#flush" is on disk once the file sink has taken it.
  // Folding is on by default; tests that count every line a call writes turn it off.
  static void foldRepeats(bool on);

  // The end of the process (a stop signal; a crash, before its report): the
  // summaries the folding holds back, then one line saying why, written to
  // the file and flushed. Waits at most `timeout` for the logging thread;
  // false when it did not get there in time. Nothing before initLog.
  static bool writeOutOnStop(int signo, std::chrono::milliseconds timeout);
  static bool writeOutOnCrash(int signo, std::chrono::milliseconds timeout);

  // A line on standard error (the Modbus layer's error echo), folded like
  // the log's repeats. Usable before initLog; any thread.
  static void echoError(const std::string& text);
  // The recovery of what the echoed errors were about: pending summaries now.
  static void echoRecovered();

 private:
  std::shared_ptr<quill::Sink> file_handler_;
  std::shared_ptr<quill::Sink> console_handler_;
  std::string workspace_;
  static std::atomic<quill::Logger*> logger_;
};

// The path leading from the directory `base` to `target`.
std::filesystem::path relativePath(const std::filesystem::path& target,
                                   const std::filesystem::path& base);

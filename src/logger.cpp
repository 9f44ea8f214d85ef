#include "logger.h"

#include <quill/Backend.h>
#include <quill/Frontend.h>
#include <quill/LogMacros.h>
#include <quill/Logger.h>
#include <quill/backend/PatternFormatter.h>
#include <quill/sinks/ConsoleSink.h>
#include <quill/sinks/RotatingFileSink.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <vector>

#include "console.h"
#include "log_folder.h"

namespace fs = std::filesystem;

std::atomic<quill::Logger*> UmxLog::logger_{nullptr};

namespace {
// File lines: "12/09/26 05:28:25.123456 [4711] INFO vemo_umx - schedule.cpp:42 message".
quill::PatternFormatterOptions filePattern() {
  return quill::PatternFormatterOptions{
      "%(time) [%(thread_id)] %(log_level) %(logger) - %(file_name):%(line_number) %(message)",
      "%D %H:%M:%S.%Qus", quill::Timezone::LocalTime};
}

std::atomic<bool> fold_repeats{true};
// Messages tagged "#flush" that the file sink has written and flushed.
std::atomic<uint64_t> flushes_written{0};

bool hasTag(quill::MacroMetadata const* md, const char* tag) {
  const char* tags = md ? md->tags() : nullptr;
  return tags != nullptr && std::strstr(tags, tag) != nullptr;
}

// A sink whose repeats are folded (LogFolder). It runs in the backend
// thread, so the threads that log pay nothing for it.
template <typename Base>
class Folding : public Base {
 public:
  template <typename... Args>
  explicit Folding(Args&&... args) : Base(std::forward<Args>(args)...) {}

  // The line format the backend uses for this sink, for the summary lines.
  // Set once, before the sink is handed to a logger (a later initLog finds it set).
  void setPattern(const quill::PatternFormatterOptions& options) {
    if (!formatter_) formatter_.emplace(options);
  }
  // A console sink writes to `stream` instead (colours still follow what
  // standard output is). Set once, before the sink serves a logger: a later
  // initLog finds the sink serving the logging thread already.
  void writeTo(std::FILE* stream) {
    if (!redirected_.exchange(true)) this->_file = stream;
  }
  // This sink reports each "#flush" message once it is on disk.
  // Atomic: a later initLog finds the sink serving the logging thread already.
  void acknowledgeFlushes() { acknowledges_.store(true, std::memory_order_relaxed); }

 protected:
  void write_log(quill::MacroMetadata const* md, uint64_t timestamp, std::string_view thread_id,
                 std::string_view thread_name, std::string const& process_id,
                 std::string_view logger_name, quill::LogLevel level,
                 std::string_view level_description, std::string_view level_code,
                 std::vector<std::pair<std::string, std::string>> const* named_args,
                 std::string_view message, std::string_view statement) override {
    const auto now = LogFolder::Clock::now();
    auto emit = [this](const LogFolder::Summary& summary) { writeSummary(summary); };
    if (hasTag(md, "#clears"))
      folder_.clear(emit);
    else if (!folder_.idle())
      folder_.expire(now, emit);
    if (hasTag(md, "#repeats") && fold_repeats.load(std::memory_order_relaxed)) {
      Context& c = contextOf(md);
      c.thread_id = thread_id;
      c.thread_name = thread_name;
      c.process_id = process_id;
      c.logger_name = logger_name;
      c.level_description = level_description;
      c.level_code = level_code;
      c.level = level;
      if (!folder_.offer(md, message, now, hasTag(md, "#anytext"))) return;
    }
    Base::write_log(md, timestamp, thread_id, thread_name, process_id, logger_name, level,
                    level_description, level_code, named_args, message, statement);
    if (acknowledges_.load(std::memory_order_relaxed) && hasTag(md, "#flush")) {
      Base::flush_sink();
      flushes_written.fetch_add(1, std::memory_order_release);
    }
  }

  void run_periodic_tasks() override {
    if (!folder_.idle())
      folder_.expire(LogFolder::Clock::now(),
                     [this](const LogFolder::Summary& summary) { writeSummary(summary); });
    Base::run_periodic_tasks();
  }

 private:
  // What the backend knew of the folded message's last occurrence.
  struct Context {
    std::string thread_id, thread_name, process_id, logger_name, level_description, level_code;
    quill::LogLevel level = quill::LogLevel::Info;
  };

  Context& contextOf(const void* site) {
    for (auto& kv : contexts_)
      if (kv.first == site) return kv.second;
    contexts_.emplace_back(site, Context{});
    return contexts_.back().second;
  }

  // Written from the same place as the message, so file:line and level match it.
  void writeSummary(const LogFolder::Summary& summary) {
    if (!formatter_) return;
    const auto* md = static_cast<quill::MacroMetadata const*>(summary.site);
    const Context& c = contextOf(md);
    const std::string text = std::string(summary.text) + LogFolder::summaryText(summary);
    const uint64_t ns =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count());
    const std::string_view statement =
        formatter_->format(ns, c.thread_id, c.thread_name, c.process_id, c.logger_name,
                           c.level_description, c.level_code, *md, nullptr, text, {});
    Base::write_log(md, ns, c.thread_id, c.thread_name, c.process_id, c.logger_name, c.level,
                    c.level_description, c.level_code, nullptr, text, statement);
  }

  std::optional<quill::PatternFormatter> formatter_;
  std::atomic<bool> acknowledges_{false};
  std::atomic<bool> redirected_{false};
  LogFolder folder_;
  std::vector<std::pair<const void*, Context>> contexts_;
};

// The echo on standard error has a folder of its own: it is written at once,
// not through the backend.
std::mutex echo_mutex;
LogFolder echo_folder;

// Through the console's queue: the exchange thread echoes its errors, and
// must never wait on a console nobody reads.
void echoLine(const std::string& line) {
  Console::write(2, line + "\n");
}

}  // namespace

void UmxLog::echoError(const std::string& text) {
  std::lock_guard<std::mutex> lk(echo_mutex);
  const auto now = LogFolder::Clock::now();
  auto emit = [](const LogFolder::Summary& s) {
    echoLine(std::string(s.text) + LogFolder::summaryText(s));
  };
  if (!fold_repeats.load(std::memory_order_relaxed)) return echoLine(text);
  if (!echo_folder.idle()) echo_folder.expire(now, emit);
  if (echo_folder.offer(nullptr, text, now)) echoLine(text);
}

void UmxLog::foldRepeats(bool on) {
  fold_repeats.store(on, std::memory_order_relaxed);
}

void UmxLog::echoRecovered() {
  std::lock_guard<std::mutex> lk(echo_mutex);
  echo_folder.clear([](const LogFolder::Summary& s) {
    echoLine(std::string(s.text) + LogFolder::summaryText(s));
  });
}

namespace {

// Until the file sink has written the "#flush" message logged after `before`
// was read, or the time is up.
bool awaitFlush(uint64_t before, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (flushes_written.load(std::memory_order_acquire) == before) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    timespec ts{0, 5 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  return true;
}

}  // namespace

bool UmxLog::writeOutOnStop(int signo, std::chrono::milliseconds timeout) {
  quill::Logger* log = getLogger();
  if (!log) return true;
  const uint64_t before = flushes_written.load(std::memory_order_acquire);
  LOG_INFO_TAGS(log, "#clears #flush", "VEMO-UMX is Stopping: signal {}", signo);
  echoRecovered();
  const bool written = awaitFlush(before, timeout);
  // The console gets a moment too, but the file is the record: a console
  // that does not read is not waited for.
  Console::drain(std::chrono::milliseconds(300));
  return written;
}

bool UmxLog::writeOutOnCrash(int signo, std::chrono::milliseconds timeout) {
  quill::Logger* log = getLogger();
  if (!log) return true;
  const uint64_t before = flushes_written.load(std::memory_order_acquire);
  LOG_ERROR_TAGS(log, "#clears #flush",
                 "VEMO-UMX crash: signal {}, a report goes to the crash directory", signo);
  return awaitFlush(before, timeout);
}

void UmxLog::initLog() {
  quill::BackendOptions backend_options;
  backend_options.thread_name = "Quill_Backend";
  // Many messages are Chinese UTF-8; the library would otherwise print their
  // bytes as \xNN escapes. Control characters still come from our own texts only.
  backend_options.check_printable_char = {};
  // The default 100 us idle poll costs several percent of a core on a
  // service that logs a few lines a minute; 50 ms still reads as immediate.
  backend_options.sleep_duration = std::chrono::milliseconds(50);
  // Fatal signals belong to the crash handler, so no quill signal handler.
  quill::Backend::start(backend_options);

  const char* ws = std::getenv("UMX_WS");
  workspace_ = ws ? ws : "/root/ryne_ws";
  Console::write(1, "log workspace_ = " + workspace_ + "\n");

  fs::path log_path(workspace_ + "/" + "/log/umx/vemo_umx.log");
  fs::path rel = relativePath(log_path, fs::current_path());

  quill::RotatingFileSinkConfig file_config;
  file_config.set_open_mode('a');
  file_config.set_rotation_max_file_size(2097152);
  file_config.set_max_backup_files(5);
  file_config.set_overwrite_rolled_files(true);
  file_config.set_override_pattern_formatter_options(filePattern());
  auto file_sink = quill::Frontend::create_or_get_sink<Folding<quill::RotatingFileSink>>(
      rel.string(), file_config, quill::FileEventNotifier{});
  static_cast<Folding<quill::RotatingFileSink>*>(file_sink.get())->setPattern(filePattern());
  static_cast<Folding<quill::RotatingFileSink>*>(file_sink.get())->acknowledgeFlushes();
  file_handler_ = file_sink;

  quill::ConsoleSinkConfig console_config;
  quill::ConsoleSinkConfig::Colours colours;
  colours.apply_default_colours();
  console_config.set_colours(colours);
  console_config.set_colour_mode(quill::ConsoleSinkConfig::ColourMode::Automatic);
  console_handler_ =
      quill::Frontend::create_or_get_sink<Folding<quill::ConsoleSink>>("stdout_1", console_config);
  auto* console = static_cast<Folding<quill::ConsoleSink>*>(console_handler_.get());
  console->setPattern(quill::PatternFormatterOptions{});
  // The logging thread writes the file too: it never waits on the console.
  console->writeTo(Console::stream(1));

  // The library's plain "stdout" console sink carries the file pattern, though
  // nothing of the program writes through it.
  quill::ConsoleSinkConfig plain_config;
  plain_config.set_override_pattern_formatter_options(filePattern());
  auto plain = quill::Frontend::create_or_get_sink<quill::ConsoleSink>("stdout", plain_config);

  file_handler_->set_log_level_filter(quill::LogLevel::TraceL3);
  plain->set_log_level_filter(quill::LogLevel::TraceL3);
  console_handler_->set_log_level_filter(quill::LogLevel::TraceL3);

  // The console keeps the library's default line format.
  quill::Logger* log =
      quill::Frontend::create_or_get_logger("vemo_umx", {file_handler_, console_handler_});
  log->init_backtrace(100, quill::LogLevel::Error);
  log->set_log_level(quill::LogLevel::TraceL3);
  logger_.store(log, std::memory_order_release);
}

fs::path relativePath(const fs::path& target, const fs::path& base) {
  fs::path t = fs::absolute(target);
  fs::path b = fs::absolute(base);
  if (t.root_path() != b.root_path()) return t;
  // A trailing separator yields an empty last component; it names no directory.
  auto parts = [](const fs::path& p) {
    std::vector<fs::path> v;
    for (const auto& c : p)
      if (!c.empty()) v.push_back(c);
    return v;
  };
  const auto tp = parts(t), bp = parts(b);
  size_t i = 0;
  while (i < tp.size() && i < bp.size() && tp[i] == bp[i]) ++i;
  fs::path result;
  for (size_t j = i; j < bp.size(); ++j) result /= "..";
  for (size_t j = i; j < tp.size(); ++j) result /= tp[j];
  return result;
}

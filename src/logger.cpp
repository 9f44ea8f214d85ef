#include "logger.h"

#include <quill/Backend.h>
#include <quill/Frontend.h>
#include <quill/LogMacros.h>
#include <quill/Logger.h>
#include <quill/sinks/ConsoleSink.h>
#include <quill/sinks/RotatingFileSink.h>

#include <cstdlib>
#include <iostream>
#include <vector>

namespace fs = std::filesystem;

quill::Logger* UmxLog::logger_ = nullptr;

namespace {
// File lines: "12/09/26 05:28:25.123456 [4711] INFO vemo_umx - schedule.cpp:42 message".
quill::PatternFormatterOptions filePattern() {
  return quill::PatternFormatterOptions{
      "%(time) [%(thread_id)] %(log_level) %(logger) - %(file_name):%(line_number) %(message)",
      "%D %H:%M:%S.%Qus", quill::Timezone::LocalTime};
}
}  // namespace

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
  std::cout << "log workspace_ = " << workspace_ << std::endl;

  fs::path log_path(workspace_ + "/" + "/log/umx/vemo_umx.log");
  fs::path rel = relativePath(log_path, fs::current_path());

  quill::RotatingFileSinkConfig file_config;
  file_config.set_open_mode('a');
  file_config.set_rotation_max_file_size(2097152);
  file_config.set_max_backup_files(5);
  file_config.set_overwrite_rolled_files(true);
  file_config.set_override_pattern_formatter_options(filePattern());
  file_handler_ = quill::Frontend::create_or_get_sink<quill::RotatingFileSink>(
      rel.string(), file_config, quill::FileEventNotifier{});

  quill::ConsoleSinkConfig console_config;
  quill::ConsoleSinkConfig::Colours colours;
  colours.apply_default_colours();
  console_config.set_colours(colours);
  console_config.set_colour_mode(quill::ConsoleSinkConfig::ColourMode::Automatic);
  console_handler_ =
      quill::Frontend::create_or_get_sink<quill::ConsoleSink>("stdout_1", console_config);

  // The library's plain "stdout" console sink carries the file pattern, though
  // nothing of the program writes through it.
  quill::ConsoleSinkConfig plain_config;
  plain_config.set_override_pattern_formatter_options(filePattern());
  auto plain = quill::Frontend::create_or_get_sink<quill::ConsoleSink>("stdout", plain_config);

  file_handler_->set_log_level_filter(quill::LogLevel::TraceL3);
  plain->set_log_level_filter(quill::LogLevel::TraceL3);
  console_handler_->set_log_level_filter(quill::LogLevel::TraceL3);

  // The console keeps the library's default line format.
  logger_ = quill::Frontend::create_or_get_logger("vemo_umx", {file_handler_, console_handler_});
  logger_->init_backtrace(100, quill::LogLevel::Error);
  logger_->set_log_level(quill::LogLevel::TraceL3);
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

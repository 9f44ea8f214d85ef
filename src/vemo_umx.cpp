#include "vemo_umx.h"

#include <libconfig.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cxxopts.hpp>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <system_error>

#include "config_file.h"
#include "console.h"
#include "schedule.h"
#include "tag_export.h"

namespace fs = std::filesystem;

VemoUmx::VemoUmx() : schedule_(std::make_unique<Schedule>()) {}

VemoUmx::~VemoUmx() {
  if (argv_) {
    for (int32_t i = 0; i < argc_; ++i) delete[] argv_[i];
    delete[] argv_;
  }
}

int VemoUmx::start(int argc, char** argv) {
  // Logs, crash reports and the configuration must never be writable by
  // everyone, whatever umask the service was started with.
  ::umask(::umask(0) | S_IWGRP | S_IWOTH);
  argc_ = argc;
  argv_ = new char*[argc + 1];
  for (int i = 0; i < argc; ++i) {
    size_t n = std::strlen(argv[i]);
    argv_[i] = new char[n + 1];
    std::memcpy(argv_[i], argv[i], n + 1);
  }
  argv_[argc] = nullptr;

  if (int rc = parseOptions(argc, argv)) return rc;
  if (done_) return 0;
  if (workspace_ready_) workspace_ready_();
  schedule_->setMetricsFile(metrics_file_);
  schedule_->init(workspace_path_, config_path_);
  schedule_->start();
  return 0;
}

void VemoUmx::writeOutLog(int signo, bool crash) {
  using std::chrono::milliseconds;
  if (crash)
    UmxLog::writeOutOnCrash(signo, milliseconds(1000));
  else
    UmxLog::writeOutOnStop(signo, milliseconds(2000));
}

namespace {

// One setting of the tag export: the file's, the default without a file;
// false with a message when the file has it missing or mistyped.
bool exportSetting(const config_t* cfg, const char* key, int* value, const std::string& path) {
  if (config_lookup_int(cfg, key, value) == CONFIG_TRUE) return true;
  std::cerr << "vemo_umx: " << path << ": " << key
            << " is missing or not an integer; the bridge would not run with this file"
            << std::endl;
  return false;
}

// Creates `dir` with its parents when missing. False, with a message on
// standard error, when that is impossible.
bool ensureDirectory(const std::string& dir) {
  std::error_code ec;
  if (fs::is_directory(dir, ec)) return true;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) {
    std::cerr << "vemo_umx: cannot create directory " << dir << ": "
              << (ec ? ec.message() : "not a directory") << std::endl;
    return false;
  }
  return true;
}

}  // namespace

int VemoUmx::exportTags(const std::string& format, const std::string& config_path) {
  config_t cfg;
  config_init(&cfg);
  std::string error;
  const int read = ConfigFile::readOnly(config_path, &cfg, &error);
  if (read < 0) {
    std::cerr << "vemo_umx: configuration file " << config_path << " " << error << std::endl;
    config_destroy(&cfg);
    return 2;
  }
  if (read == 1)
    std::cerr << "vemo_umx: no configuration file " << config_path
              << ": the tags are those of the default configuration" << std::endl;
  TagExport::Layout layout;
  int protocol_type = 0, little_endian = 0, command_register = 0;
  const bool ok = exportSetting(&cfg, "protocolType", &protocol_type, config_path) &&
                  exportSetting(&cfg, "littleEndian", &little_endian, config_path) &&
                  exportSetting(&cfg, "pnRegisterNumber", &command_register, config_path);
  config_destroy(&cfg);
  if (!ok) return 2;
  // Truncated as the service truncates them.
  layout.protocol_type = static_cast<uint16_t>(protocol_type);
  layout.little_endian = static_cast<uint8_t>(little_endian) != 0;
  layout.command_register = command_register;
  std::ostringstream out;
  if (TagExport::write(format, layout, out, &error) != 0) {
    std::cerr << "vemo_umx: " << error << std::endl;
    return 2;
  }
  std::cout << out.str() << std::flush;
  return std::cout ? 0 : 1;
}

int VemoUmx::parseOptions(int argc, char** argv) {
  cxxopts::Options options("vemo_umx", "Vemo Umx main process");
  options.allow_unrecognised_options();
  options.add_options()("d,debug", "Enable debugging", cxxopts::value<bool>(), "")(
      "h,help", "Print usage", cxxopts::value<bool>(), "")(
      "c,config", "Specify config file for vemo_umx",
      cxxopts::value<std::string>()->default_value("./config/vemo_umx"),
      "")("w,workspace", "Specify workspace for vemo_umx", cxxopts::value<std::string>(), "")(
      "metrics-file", "Write Prometheus metrics to PATH every 5 s", cxxopts::value<std::string>(),
      "PATH")("export-tags",
              "Write the PLC tag list (csv, st or plcopen) for the workspace's configuration to "
              "standard output and exit",
              cxxopts::value<std::string>(), "FORMAT");

  cxxopts::ParseResult result;
  try {
    result = options.parse(argc, argv);
  } catch (const cxxopts::exceptions::exception& e) {
    std::cerr << "vemo_umx: " << e.what() << "\n" << options.help() << std::flush;
    return 2;
  }

  for (const auto& arg : result.unmatched()) Console::write(1, "UNMATCHED argument: " + arg + "\n");

  // The tag export reads the configuration and writes nothing: no
  // directory, no default file, no log.
  if (result.count("export-tags")) {
    std::string ws =
        result.count("workspace") ? result["workspace"].as<std::string>() : workspace_path_;
    if (!ws.empty() && ws.back() != '/') ws += '/';
    const std::string config =
        result.count("config") ? "./config/" + result["config"].as<std::string>() : config_path_;
    const int rc = exportTags(result["export-tags"].as<std::string>(), ws + config);
    done_ = rc == 0;
    return rc;
  }

  if (result.count("workspace")) {
    std::string ws = result["workspace"].as<std::string>();
    if (ws.empty()) {
      std::cerr << "vemo_umx: --workspace needs a directory\n" << options.help() << std::flush;
      return 2;
    }
    // Every path below the workspace is formed by concatenation, so the
    // workspace must end in "/" for those paths to stay inside it.
    if (ws.back() != '/') ws += '/';
    workspace_path_ = ws;
    if (!ensureDirectory(workspace_path_)) return 1;
    if (::chdir(workspace_path_.c_str()) != 0) {
      std::cerr << "vemo_umx: cannot change to workspace " << workspace_path_ << ": "
                << std::strerror(errno) << std::endl;
      return 1;
    }
  }
  if (result.count("config")) config_path_ = "./config/" + result["config"].as<std::string>();
  // A systemd unit cannot pass an option only when a variable is set, so the
  // defaults file's setting reaches the program through the environment; the
  // option, even empty, overrides it.
  if (result.count("metrics-file"))
    metrics_file_ = result["metrics-file"].as<std::string>();
  else if (const char* env = std::getenv("VEMO_UMX_METRICS_FILE"))
    metrics_file_ = env;
  if (!metrics_file_.empty()) {
    // Relative to where the service now runs (the workspace, once changed into).
    std::error_code ec;
    const fs::path absolute = fs::absolute(metrics_file_, ec);
    if (!ec) metrics_file_ = absolute.lexically_normal().string();
  }

  if (!ensureDirectory(workspace_path_)) return 1;
  ::setenv("UMX_WS", workspace_path_.c_str(), 1);

  for (const char* sub : {"/log/umx/", "/log/.crash/vemo_umx", "/config/"})
    if (!ensureDirectory(workspace_path_ + sub)) return 1;

  Console::write(1, "Set workspace for vemo_umx: " + workspace_path_ + "\n");
  return 0;
}

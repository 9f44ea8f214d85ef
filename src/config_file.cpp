#include "config_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "log.h"

namespace {

// The default configuration file, in the order it is written.
struct DefaultSetting {
  const char* name;
  int type;
  int int_value;
  const char* text;
};
const DefaultSetting kDefaultSettings[] = {
    {"protocolType", CONFIG_TYPE_INT, 2, nullptr},
    {"littleEndian", CONFIG_TYPE_INT, 0, nullptr},
    {"ipAddr", CONFIG_TYPE_STRING, 0, "192.168.0.100"},
    {"netmask", CONFIG_TYPE_STRING, 0, "255.255.255.0"},
    {"gateway", CONFIG_TYPE_STRING, 0, "192.168.0.1"},
    {"port", CONFIG_TYPE_INT, 505, nullptr},
    {"protocolMode", CONFIG_TYPE_INT, 2, nullptr},
    {"pnCoilNumber", CONFIG_TYPE_INT, 64, nullptr},
    {"pnRegisterNumber", CONFIG_TYPE_INT, 32, nullptr},
    {"controlRobot", CONFIG_TYPE_INT, 0, nullptr},
    {"readyPointIO", CONFIG_TYPE_INT, 0, nullptr},
    {"portName", CONFIG_TYPE_STRING, 0, "/dev/ttyUSB0"},
    {"slaveId", CONFIG_TYPE_INT, 1, nullptr},
    {"baudrate", CONFIG_TYPE_INT, 115200, nullptr},
    {"dataBit", CONFIG_TYPE_INT, 8, nullptr},
    {"parity", CONFIG_TYPE_STRING, 0, "none"},
    {"stopBit", CONFIG_TYPE_INT, 1, nullptr},
    {"controlRobotInManualMode", CONFIG_TYPE_INT, 1, nullptr},
};

void fillDefaults(config_t* cfg) {
  config_setting_t* root = config_root_setting(cfg);
  for (const auto& d : kDefaultSettings) {
    config_setting_t* s = config_setting_add(root, d.name, d.type);
    if (!s) continue;
    if (d.type == CONFIG_TYPE_INT)
      config_setting_set_int(s, d.int_value);
    else
      config_setting_set_string(s, d.text);
  }
}

std::string localStamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

// Moves an existing file that could not be parsed out of the way so that
// writing the default file never destroys what the integrator wrote. Returns
// false when the file is still in place (it must then not be overwritten).
bool preserveUnreadable(const std::string& path, const config_t& cfg) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return true;  // nothing there to keep
  std::string kept = path + ".bad-" + localStamp();
  for (int n = 1; ::access(kept.c_str(), F_OK) == 0; ++n)
    kept = path + ".bad-" + localStamp() + "-" + std::to_string(n);
  const char* why = config_error_text(&cfg);
  int line = config_error_line(&cfg);
  if (std::rename(path.c_str(), kept.c_str()) != 0) {
    LOG_INFO(UmxLog::getLogger(),
             "config file {} is unreadable ({} at line {}) and cannot be moved aside ({}); it is "
             "left untouched and the defaults are used",
             path, why ? why : "read error", line, std::strerror(errno));
    return false;
  }
  LOG_INFO(UmxLog::getLogger(), "config file {} is unreadable ({} at line {}); kept as {}", path,
           why ? why : "read error", line, kept);
  return true;
}

}  // namespace

void ConfigFile::readOrCreate(const std::string& path, config_t* cfg) {
  auto* log = UmxLog::getLogger();
  if (config_read_file(cfg, path.c_str()) != CONFIG_TRUE) {
    LOG_INFO(log, "config_read_file failed, need to create default conf ");
    const bool may_write = preserveUnreadable(path, *cfg);
    // Nothing of the failed read may remain in the object.
    config_destroy(cfg);
    config_init(cfg);
    fillDefaults(cfg);
    if (may_write) config_write_file(cfg, path.c_str());
  } else {
    LOG_INFO(log, "{}  exist ", path);
  }
}

int ConfigFile::readOnly(const std::string& path, config_t* cfg, std::string* error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
    fillDefaults(cfg);
    return 1;
  }
  errno = 0;
  if (config_read_file(cfg, path.c_str()) == CONFIG_TRUE) return 0;
  if (config_error_type(cfg) == CONFIG_ERR_FILE_IO)
    *error = std::string("cannot be read: ") + std::strerror(errno ? errno : EIO);
  else
    *error = "line " + std::to_string(config_error_line(cfg)) + ": " +
             (config_error_text(cfg) ? config_error_text(cfg) : "parse error");
  return -1;
}

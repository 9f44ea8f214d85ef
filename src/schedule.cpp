#include "schedule.h"

#include <libconfig.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

long toLong(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

}  // namespace

Schedule::Schedule() = default;

Schedule::~Schedule() { stop(); }

void Schedule::init(std::string workspace, std::string config_path) {
  umx_log_.initLog();

  const std::string path = workspace + config_path;
  LOG_INFO(UmxLog::getLogger(), "vemo_umx config path is {}", path);

  connectRobot();

  std::string serial_port;
  if (loadConfig(path, serial_port) != 0) return;

  openGateway(serial_port);
  init_completed_ = true;
  LOG_INFO(UmxLog::getLogger(), "VEMO-UMX Init Successed");
}

void Schedule::connectRobot() {
  // The robot controller link (RPC and RTDE with their endless retry) is set up here.
}

void Schedule::openGateway(const std::string& serial_port) {
  modbus_config_.deviceName = "umxGateway";
  modbus_config_.protocol = "RTU";
  modbus_config_.slaveId = 1;
  modbus_config_.serialPort = serial_port;
  modbus_config_.baudRate = 115200;
  modbus_config_.parity = 'N';
  modbus_config_.dataBits = 8;
  modbus_config_.stopBits = 1;
  modbus_config_.responseTimeoutMs = 1000;
}

int Schedule::loadConfig(const std::string& path, std::string& serial_port) {
  auto* log = UmxLog::getLogger();
  little_endian_ = 0;
  control_robot_ = 0;
  register_number_ = 0;
  serial_port.clear();

  config_t cfg;
  config_init(&cfg);
  if (config_read_file(&cfg, path.c_str()) != CONFIG_TRUE) {
    LOG_INFO(log, "config_read_file failed, need to create default conf ");
    const bool may_write = preserveUnreadable(path, cfg);
    // Nothing of the failed read may remain in the object.
    config_destroy(&cfg);
    config_init(&cfg);
    fillDefaults(&cfg);
    if (may_write) config_write_file(&cfg, path.c_str());
  } else {
    LOG_INFO(log, "{}  exist ", path);
  }

  auto fail = [&](const char* message) {
    config_destroy(&cfg);
    LOG_INFO(log, "{}", message);
    return -1;
  };
  auto encodeAddress = [&](const char* text, size_t first) {
    std::vector<uint16_t> parts;
    ipToValue(text, parts);
    for (size_t i = 0; i < 4; ++i) gateway_settings_[first + i] = parts[i];
  };

  const char* text = nullptr;
  int value = 0;

  if (!config_lookup_string(&cfg, "portName", &text)) return fail("====>>>> portname failed ");
  serial_port = text;
  LOG_INFO(log, "====>>>> rtu portname is {}", serial_port);

  if (!config_lookup_int(&cfg, "protocolType", &value))
    return fail("====>>>> protocolType error : ");
  gateway_settings_[0] = static_cast<uint16_t>(value);
  LOG_INFO(log, "====>>>> protocolType : {}", gateway_settings_[0]);

  if (!config_lookup_int(&cfg, "protocolMode", &value)) return fail("protocol mode failed   ");
  gateway_settings_[13] = static_cast<uint16_t>(value);
  LOG_INFO(log, "====>>>> protocol mode is  {}", gateway_settings_[13]);

  if (!config_lookup_int(&cfg, "pnCoilNumber", &value))
    return fail("====>>>> coil number failed ");
  gateway_settings_[14] = static_cast<uint16_t>(value);
  LOG_INFO(log, "====>>>> coil number is {}", gateway_settings_[14]);

  if (!config_lookup_int(&cfg, "pnRegisterNumber", &value))
    return fail("====>>>> register number failed  ");
  gateway_settings_[15] = static_cast<uint16_t>(value);
  register_number_ = value;
  LOG_INFO(log, "====>>>> register number is  {}", gateway_settings_[15]);

  if (!config_lookup_int(&cfg, "controlRobot", &value))
    return fail("====>>>> gateway control robot failed  ");
  control_robot_ = static_cast<uint8_t>(value);
  LOG_INFO(log, "====>>>> gateway control robot is  {}", static_cast<unsigned>(control_robot_));

  if (!config_lookup_int(&cfg, "controlRobotInManualMode", &value))
    return fail("====>>>> manual control robot failed  ");
  control_robot_in_manual_ = static_cast<uint8_t>(value);
  LOG_INFO(log, "====>>>> plc control robot mode in manual is  {}",
           static_cast<unsigned>(control_robot_in_manual_));

  if (!config_lookup_int(&cfg, "littleEndian", &value))
    return fail("====>>>> gateway  endian error : ");
  little_endian_ = static_cast<uint8_t>(value);
  LOG_INFO(log, "gateway  endian is {}", value);

  if (!config_lookup_string(&cfg, "ipAddr", &text)) return fail("====>>>> ipAdress error : ");
  encodeAddress(text, 1);
  LOG_INFO(log, "gateway ipAdress is  {}", text);

  if (!config_lookup_string(&cfg, "netmask", &text)) return fail("====>>>> netmask error : ");
  encodeAddress(text, 5);
  LOG_INFO(log, "gateway netmask is  {}", text);

  if (!config_lookup_string(&cfg, "gateway", &text)) return fail("====>>>> gateway error : ");
  encodeAddress(text, 9);
  LOG_INFO(log, "gateway gateway is  {}", text);

  config_destroy(&cfg);
  return 0;
}

uint32_t Schedule::ipToValue(const std::string& text, std::vector<uint16_t>& parts_out) {
  std::string rest = text;
  int part[4] = {0, 0, 0, 0};
  int k = 3;
  size_t dot;
  // Only four parts exist: anything after a fourth "." is ignored, since
  // part 0 takes the digits up to the next "." and no further.
  while (k > 0 && (dot = rest.find('.')) != std::string::npos) {
    part[k] = static_cast<int>(toLong(rest.substr(0, dot)));
    rest.erase(0, dot + 1);
    --k;
  }
  part[k] = static_cast<int>(toLong(rest));
  for (int i = 3; i >= 0; --i) parts_out.push_back(static_cast<uint16_t>(part[i]));
  return static_cast<uint32_t>(part[3]) * (1u << 24) + static_cast<uint32_t>(part[2]) * (1u << 16) +
         static_cast<uint32_t>(part[1]) * (1u << 8) + static_cast<uint32_t>(part[0]);
}

int32_t Schedule::conversion(double value) {
  // Out-of-range and NaN values have no integer meaning; clamp rather than
  // invoke undefined behaviour.
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}

int Schedule::readBitBuf(const uint8_t* bytes, uint32_t bit) {
  return (bytes[bit / 8] >> (bit % 8)) & 1;
}

void Schedule::start() {
  auto* log = UmxLog::getLogger();
  LOG_INFO(log, "VEMO-UMX is Starting ");
  if (scheduled_thread_)
    LOG_INFO(log, "scheduledThreadLoop create failed ");
  else
    scheduled_thread_ = std::make_unique<std::thread>(&Schedule::scheduledThreadLoop, this);
  if (heartbeat_thread_)
    LOG_INFO(log, "heartbeatThreadLoop create failed ");
  else
    heartbeat_thread_ = std::make_unique<std::thread>(&Schedule::heartbeatThreadLoop, this);
}

void Schedule::stop() {
  {
    std::lock_guard<std::mutex> lk(stop_mutex_);
    stop_requested_.store(true, std::memory_order_relaxed);
  }
  stop_cv_.notify_all();
  if (scheduled_thread_ && scheduled_thread_->joinable()) scheduled_thread_->join();
  if (heartbeat_thread_ && heartbeat_thread_->joinable()) heartbeat_thread_->join();
}

bool Schedule::pause(std::chrono::milliseconds d) {
  std::unique_lock<std::mutex> lk(stop_mutex_);
  return !stop_cv_.wait_for(lk, d, [this] { return stopping(); });
}

void Schedule::scheduledThreadLoop() {
  LOG_INFO(UmxLog::getLogger(), "VEMO-UMX is Running");
  while (!stopping()) {
    updateRobotModeType();
    if (!pause(std::chrono::milliseconds(30))) break;
  }
}

void Schedule::heartbeatThreadLoop() {
  heartbeat_word_.store(0, std::memory_order_relaxed);
  while (!stopping()) {
    uint16_t next = static_cast<uint16_t>(heartbeat_word_.load(std::memory_order_relaxed) + 1);
    heartbeat_word_.store(next == 0 ? 1 : next, std::memory_order_relaxed);
    if (!pause(std::chrono::seconds(3))) break;
  }
}

void Schedule::updateRobotModeType() {}

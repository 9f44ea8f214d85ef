#include "modbusdev.h"

#include <modbus/modbus.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "console.h"
#include "log.h"

// The device may be driven before the logger exists (tests, early start-up);
// a message then has nowhere to go and is dropped rather than crashing.
// Everything the link logs repeats for as long as a fault lasts (every
// request, every reconnect): tagged so that the logging folds the repeats.
#define MBDEV_TAG_REPEATS "#repeats"
#define MBDEV_TAG_CLEARS "#clears"
#define MBDEV_LOG(level, tag, ...)                         \
  do {                                                     \
    if (quill::Logger* mbdev_logger = UmxLog::getLogger()) \
      LOG_##level##_TAGS(mbdev_logger, tag, __VA_ARGS__);  \
  } while (0)
#define MBDEV_LOG_INFO(...) MBDEV_LOG(INFO, MBDEV_TAG_REPEATS, __VA_ARGS__)
// The end of a fault: ends every fold, so the next failure is written in full.
#define MBDEV_RECOVERY_LOG_INFO(...) MBDEV_LOG(INFO, MBDEV_TAG_CLEARS, __VA_ARGS__)
#define MBDEV_LOG_ERROR(...) MBDEV_LOG(ERROR, MBDEV_TAG_REPEATS, __VA_ARGS__)

namespace {

constexpr int kAttempts = 4;
constexpr long kRetryPauseNs = 10 * 1000 * 1000;
const char kNoContext[] = "libmodbus context uninitialized!";

void retryPause() {
  timespec ts{0, kRetryPauseNs};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

// errno of the call that just failed. Should the library ever fail without
// setting it, the failure must still not be recorded as "no error".
int failureErrno(int saved) {
  return saved != 0 ? saved : EINVAL;
}

void attemptOnStderr(const char* libCall, int attempt) {
  Console::write(2, std::string(libCall) + " error, " + std::to_string(attempt) + "\n");
}

}  // namespace

ModbusDev::~ModbusDev() {
  modbusClose();
}

const char* ModbusDev::functionName(int function) {
  // The names the Modbus application protocol gives the functions.
  static const char* const kNames[kFunctionCount] = {
      "read_coils",           "read_discrete_inputs",     "read_holding_registers",
      "read_input_registers", "write_single_coil",        "write_single_register",
      "write_multiple_coils", "write_multiple_registers", "read_write_multiple_registers"};
  return function >= 0 && function < kFunctionCount ? kNames[function] : "unknown";
}

std::string ModbusDev::setLastError(const std::string& msg, int code) {
  lastErrorMsg_ = msg;
  lastErrorCode_ = code;
  if (code != 0) UmxLog::echoError(msg);
  return lastErrorMsg_;
}

int ModbusDev::modbusOpen() {
  setLastError("", 0);
  if (config_.protocol == "RTU")
    return modbusConnectRtu(config_.serialPort.c_str(), config_.baudRate, config_.parity,
                            config_.dataBits, config_.stopBits, config_.slaveId,
                            config_.responseTimeoutMs);
  return modbusConnectTcp(config_.ipAddress.c_str(), config_.port, config_.slaveId,
                          config_.responseTimeoutMs);
}

int ModbusDev::modbusConnectRtu(const char* device, int baud, char parity, int dataBits,
                                int stopBits, int slave, int timeoutMs) {
  closeLine();  // the line's lock stays: the bridge still wants the line
  if (device == nullptr) device = "";
  MBDEV_LOG_INFO("modbus connect: {} baud: {} parity: {} data_bit: {} stop_bit: {} slave: {}",
                 device, baud, parity, dataBits, stopBits, slave);

  ctx_ = modbus_new_rtu(device, baud, parity, dataBits, stopBits);
  if (ctx_ == nullptr) {
    MBDEV_LOG_ERROR("libmodbus context uninitialized! modbusConnectRtu falied");
    setLastError("Unable to create the libmodbus context!", -1);
    return -1;
  }

  // One master per line, taken before the library touches the line: a
  // device another bridge holds is left alone and tried again like any
  // failed open. A device that cannot be opened at all fails below, as ever.
  std::string holder;
  if (line_lock_.acquire(device, &holder) == EWOULDBLOCK) {
    MBDEV_LOG_ERROR("serial device {} is in use by {}; only one bridge may master a line", device,
                    holder);
    setLastError(std::string("serial device ") + device + " is in use by " + holder, EBUSY);
    modbus_free(ctx_);
    ctx_ = nullptr;
    return -1;
  }

  if (modbus_connect(ctx_) == -1) {
    int err = failureErrno(errno);
    setLastError(modbus_strerror(err), err);
    modbus_free(ctx_);
    ctx_ = nullptr;
    return -1;
  }

  // A serial line has no link to rebuild; failed requests are retried and
  // reconnected here instead.
  modbus_set_error_recovery(ctx_, MODBUS_ERROR_RECOVERY_NONE);

  if (modbus_set_slave(ctx_, slave) == -1) {
    int err = failureErrno(errno);
    setLastError(modbus_strerror(err), err);
    modbus_close(ctx_);
    modbus_free(ctx_);
    ctx_ = nullptr;
    return -1;
  }

  setResponseTimeoutMs(timeoutMs);
  modbusFlush();
  setLastError("", 0);
  line_open_.store(true, std::memory_order_relaxed);
  MBDEV_LOG_INFO("Modbus Set Response Timeout: {} ", timeoutMs);
  MBDEV_LOG_INFO("Modbus ConnectRtu Succeed");
  return 0;
}

int ModbusDev::modbusConnectTcp(const char* ip, int port, int slave, int timeoutMs) {
  closeLine();
  if (ip == nullptr) ip = "";
  MBDEV_LOG_INFO("connect: {} port: {}", ip, port);

  ctx_ = modbus_new_tcp(ip, port);
  if (ctx_ == nullptr) {
    int err = failureErrno(errno);
    MBDEV_LOG_ERROR("libmodbus context uninitialized! modbusConnectTcp falied");
    setLastError(modbus_strerror(err), err);
    return -1;
  }

  if (modbus_set_slave(ctx_, slave) == -1 || modbus_connect(ctx_) == -1) {
    int err = failureErrno(errno);
    setLastError(modbus_strerror(err), err);
    modbus_close(ctx_);
    modbus_free(ctx_);
    ctx_ = nullptr;
    return -1;
  }

  // Over TCP the library itself reconnects a broken link and resynchronises
  // after a bad frame.
  modbus_set_error_recovery(ctx_, static_cast<modbus_error_recovery_mode>(
                                      MODBUS_ERROR_RECOVERY_LINK | MODBUS_ERROR_RECOVERY_PROTOCOL));
  setResponseTimeoutMs(timeoutMs);
  modbusFlush();
  setLastError("", 0);
  line_open_.store(true, std::memory_order_relaxed);
  return 0;
}

void ModbusDev::setResponseTimeoutMs(int timeoutMs) {
  timeval tv{};
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = (timeoutMs % 1000) * 1000;
  modbusSetResponseTimeout(tv);
}

void ModbusDev::modbusClose() {
  closeLine();
  line_lock_.release();
}

void ModbusDev::closeLine() {
  setLastError("", 0);
  if (ctx_ == nullptr) return;
  line_open_.store(false, std::memory_order_relaxed);
  modbus_close(ctx_);
  modbus_free(ctx_);
  ctx_ = nullptr;
  MBDEV_LOG_INFO("Modbus  Closed");
}

int ModbusDev::modbusFlush() {
  setLastError("", 0);
  if (ctx_ == nullptr) {
    MBDEV_LOG_ERROR("libmodbus context uninitialized! modbusFlush falied");
    setLastError(kNoContext, -2);
    return -2;
  }
  int rc = modbus_flush(ctx_);
  if (rc == -1) {
    int err = failureErrno(errno);
    setLastError(modbus_strerror(err), err);
  }
  return rc;
}

void ModbusDev::modbusSetDebug(int flag) {
  setLastError("", 0);
  if (ctx_ == nullptr) {
    MBDEV_LOG_ERROR("libmodbus context uninitialized! modbusSetDebug falied");
    setLastError(kNoContext, -2);
    return;
  }
  modbus_set_debug(ctx_, flag);
}

void ModbusDev::modbusGetResponseTimeout(timeval* tv) {
  setLastError("", 0);
  if (ctx_ == nullptr) {
    MBDEV_LOG_ERROR("libmodbus context uninitialized! modbusGetResponseTimeout falied");
    setLastError(kNoContext, -2);
    return;
  }
  if (tv == nullptr) return;
  uint32_t sec = 0, usec = 0;
  modbus_get_response_timeout(ctx_, &sec, &usec);
  tv->tv_sec = static_cast<time_t>(sec);
  tv->tv_usec = static_cast<suseconds_t>(usec);
}

void ModbusDev::modbusSetResponseTimeout(timeval tv) {
  setLastError("", 0);
  if (ctx_ == nullptr) {
    MBDEV_LOG_ERROR("libmodbus context uninitialized! modbusSetResponseTimeout falied");
    setLastError(kNoContext, -2);
    return;
  }
  // The library refuses 0 s 0 us (and out-of-range values); its previous
  // timeout then stays in force.
  modbus_set_response_timeout(ctx_, static_cast<uint32_t>(tv.tv_sec),
                              static_cast<uint32_t>(tv.tv_usec));
}

bool ModbusDev::requireContext(const char* method) {
  if (ctx_ != nullptr) return true;
  MBDEV_LOG_ERROR("libmodbus context uninitialized! {} falied", method);
  setLastError(kNoContext, -2);
  return false;
}

const ModbusDev::RetryPolicy ModbusDev::kReopeningRetry = {true, true, true, nullptr};
// Reading holding registers reports a closed line without opening it.
const ModbusDev::RetryPolicy ModbusDev::kClosedStaysClosed = {false, true, true, nullptr};
// The combined request numbers its failed attempts on standard error; its
// final failure is kept as the last error only, and the line is left as it is.
const ModbusDev::RetryPolicy ModbusDev::kAttemptsOnStderr = {true, false, false, attemptOnStderr};

template <typename Call>
int ModbusDev::request(Function function, const char* method, const char* libCall,
                       const RetryPolicy& policy, Call call) {
  setLastError("", 0);
  if (!requireContext(method)) {
    counted(function, false);
    noteFailure();
    if (policy.reopenWhenClosed) reopen();
    return -2;
  }
  int err = 0;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    if (call(ctx_) != -1) {
      heartbeat_.fetch_add(1, std::memory_order_relaxed);
      counted(function, true);
      noteSuccess();
      return 0;
    }
    err = failureErrno(errno);
    if (attempt < kAttempts) {
      retryPause();
      // A serial line has no transaction ids: an answer to the failed attempt
      // that arrives late would be taken for the answer to the next one.
      modbus_flush(ctx_);
      if (policy.afterFailedAttempt != nullptr) policy.afterFailedAttempt(libCall, attempt);
    }
  }
  heartbeat_.fetch_add(1, std::memory_order_relaxed);
  counted(function, false);
  noteFailure();
  if (policy.logFinalFailure) MBDEV_LOG_ERROR("{} error", libCall);
  setLastError(modbus_strerror(err), err);
  if (policy.reopenAfterFailure) reopen();
  return -1;
}

int ModbusDev::modbusReadBits(int addr, int count, uint8_t* dest) {
  return request(kReadCoils, "modbusReadBits", "modbus_read_bits", kReopeningRetry,
                 [&](modbus_t* ctx) { return modbus_read_bits(ctx, addr, count, dest); });
}

int ModbusDev::modbusReadInputBits(int addr, int count, uint8_t* dest) {
  return request(kReadDiscreteInputs, "modbusReadInputBits", "modbus_read_input_bits",
                 kReopeningRetry,
                 [&](modbus_t* ctx) { return modbus_read_input_bits(ctx, addr, count, dest); });
}

int ModbusDev::modbusReadRegisters(int addr, int count, uint16_t* dest) {
  return request(kReadHoldingRegisters, "modbusReadRegisters", "modbus_read_registers",
                 kClosedStaysClosed,
                 [&](modbus_t* ctx) { return modbus_read_registers(ctx, addr, count, dest); });
}

int ModbusDev::modbusReadInputRegisters(int addr, int count, uint16_t* dest) {
  return request(kReadInputRegisters, "modbusReadInputRegisters", "modbus_read_input_registers",
                 kReopeningRetry, [&](modbus_t* ctx) {
                   return modbus_read_input_registers(ctx, addr, count, dest);
                 });
}

int ModbusDev::modbusWriteBit(int addr, int status) {
  return request(kWriteSingleCoil, "modbusWriteBit", "modbus_write_bit", kReopeningRetry,
                 [&](modbus_t* ctx) { return modbus_write_bit(ctx, addr, status); });
}

int ModbusDev::modbusWriteRegister(int addr, int value) {
  return request(kWriteSingleRegister, "modbusWriteRegister", "modbus_write_register",
                 kReopeningRetry, [&](modbus_t* ctx) {
                   return modbus_write_register(ctx, addr, static_cast<uint16_t>(value));
                 });
}

int ModbusDev::modbusWriteBits(int addr, int count, const uint8_t* src) {
  return request(kWriteMultipleCoils, "modbusWriteBits", "modbus_write_bits", kReopeningRetry,
                 [&](modbus_t* ctx) { return modbus_write_bits(ctx, addr, count, src); });
}

int ModbusDev::modbusWriteRegisters(int addr, int count, const uint16_t* src) {
  return request(kWriteMultipleRegisters, "modbusWriteRegisters", "modbus_write_registers",
                 kReopeningRetry,
                 [&](modbus_t* ctx) { return modbus_write_registers(ctx, addr, count, src); });
}

int ModbusDev::modbusWriteAndReadRegisters(int writeAddr, int writeCount, const uint16_t* src,
                                           int readAddr, int readCount, uint16_t* dest) {
  return request(kWriteReadRegisters, "modbusWriteAndReadRegisters",
                 "modbus_write_and_read_registers", kAttemptsOnStderr, [&](modbus_t* ctx) {
                   return modbus_write_and_read_registers(ctx, writeAddr, writeCount, src, readAddr,
                                                          readCount, dest);
                 });
}

void ModbusDev::noteFailure() {
  if (failed_requests_++ == 0) failing_since_ = std::chrono::steady_clock::now();
}

void ModbusDev::noteSuccess() {
  if (failed_requests_ == 0) return;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - failing_since_).count();
  MBDEV_RECOVERY_LOG_INFO("modbus requests succeed again after {} failed in {:.1f} s",
                          failed_requests_, seconds);
  UmxLog::echoRecovered();
  failed_requests_ = 0;
}

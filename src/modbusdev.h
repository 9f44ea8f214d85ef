#pragma once
// The service's one link to the fieldbus gateway: a libmodbus master over a
// serial line (RTU) or TCP, with bounded retries and a transaction counter.
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "serial_lock.h"

typedef struct _modbus modbus_t;

struct ModbusConfig {
  std::string deviceName;
  std::string protocol;  // exactly "RTU" selects the serial line, anything else TCP
  int32_t slaveId = 0;
  std::string ipAddress;
  int32_t port = 0;
  std::string serialPort;
  int32_t baudRate = 0;
  char parity = 0;
  int32_t dataBits = 0;
  int32_t stopBits = 0;
  int32_t responseTimeoutMs = 0;
};

// Every operation returns 0 on success, -1 after a failure that outlasted its
// retries (or a refused connect) and -2 when there was no open connection.
// Not thread safe: one thread at a time drives it; only getHeartbeat may be
// called from elsewhere, and the counters below it.
class ModbusDev {
 public:
  ModbusDev() = default;
  ~ModbusDev();
  ModbusDev(const ModbusDev&) = delete;
  ModbusDev& operator=(const ModbusDev&) = delete;

  void setModbusConfig(const ModbusConfig& config) { config_ = config; }
  ModbusConfig& getModbusConfig() { return config_; }
  std::string getLastErrorMsg() const { return lastErrorMsg_; }
  int32_t getLastErrorCode() const { return lastErrorCode_; }
  // Completed data requests, successes and final failures alike.
  uint32_t getHeartbeat() const { return heartbeat_.load(std::memory_order_relaxed); }

  // The Modbus functions a request can use, in the order of their codes (1,
  // 2, 3, 4, 5, 6, 15, 16, 23); the outcome counters below are indexed by them.
  enum Function : int {
    kReadCoils,
    kReadDiscreteInputs,
    kReadHoldingRegisters,
    kReadInputRegisters,
    kWriteSingleCoil,
    kWriteSingleRegister,
    kWriteMultipleCoils,
    kWriteMultipleRegisters,
    kWriteReadRegisters,
    kFunctionCount
  };
  static const char* functionName(int function);  // "read_coils", ...
  // Final outcomes of the requests of one function (a request on a closed
  // line fails too). Any thread.
  uint64_t requests(int function, bool ok) const {
    return outcomes_[function][ok ? 1 : 0].load(std::memory_order_relaxed);
  }
  // Times a request opened the line again (after a final failure or on
  // finding it closed), whether the line opened or not. Any thread.
  uint64_t reopens() const { return reopens_.load(std::memory_order_relaxed); }
  // Whether the line is open now. Any thread.
  bool lineOpen() const { return line_open_.load(std::memory_order_relaxed); }

  std::string setLastError(const std::string& msg, int code);

  // Whether this bridge masters the gateway line: a serial line's lock is
  // held (from the first open that got it until modbusClose, across every
  // reopen), or a TCP link is open. Exchange thread only.
  bool mastersLine() const { return line_lock_.held() || (ctx_ != nullptr && !isRtu()); }

  int modbusOpen();
  int modbusConnectRtu(const char* device, int baud, char parity, int dataBits, int stopBits,
                       int slave, int timeoutMs);
  int modbusConnectTcp(const char* ip, int port, int slave, int timeoutMs);
  void modbusClose();
  int modbusFlush();
  void modbusSetDebug(int flag);
  void modbusGetResponseTimeout(timeval* tv);
  void modbusSetResponseTimeout(timeval tv);

  int modbusReadBits(int addr, int count, uint8_t* dest);
  int modbusReadInputBits(int addr, int count, uint8_t* dest);
  int modbusReadRegisters(int addr, int count, uint16_t* dest);
  int modbusReadInputRegisters(int addr, int count, uint16_t* dest);
  int modbusWriteBit(int addr, int status);
  int modbusWriteRegister(int addr, int value);
  int modbusWriteBits(int addr, int count, const uint8_t* src);
  int modbusWriteRegisters(int addr, int count, const uint16_t* src);
  int modbusWriteAndReadRegisters(int writeAddr, int writeCount, const uint16_t* src, int readAddr,
                                  int readCount, uint16_t* dest);

 private:
  // What a request does around its attempts, where requests differ.
  struct RetryPolicy {
    bool reopenWhenClosed;    // a request finding the line closed opens it again
    bool logFinalFailure;     // the last failed attempt logs "<libCall> error"
    bool reopenAfterFailure;  // the last failed attempt opens the line again
    // Called after each failed attempt but the last (attempt counts from 1); may be null.
    void (*afterFailedAttempt)(const char* libCall, int attempt);
  };
  static const RetryPolicy kReopeningRetry;     // most requests
  static const RetryPolicy kClosedStaysClosed;  // reading holding registers
  static const RetryPolicy kAttemptsOnStderr;   // the combined write-and-read
  // The one retry loop; `call` performs one attempt on ctx_.
  template <typename Call>
  int request(Function function, const char* method, const char* libCall, const RetryPolicy& policy,
              Call call);
  void counted(Function function, bool ok) {
    outcomes_[function][ok ? 1 : 0].fetch_add(1, std::memory_order_relaxed);
  }
  void reopen() {
    reopens_.fetch_add(1, std::memory_order_relaxed);
    modbusOpen();
  }
  bool requireContext(const char* method);
  // A request's final outcome: the first success after failures is logged
  // as the link's recovery.
  void noteFailure();
  void noteSuccess();
  void setResponseTimeoutMs(int timeoutMs);
  // Closes the libmodbus context; the serial line's lock stays.
  void closeLine();
  bool isRtu() const { return config_.protocol == "RTU"; }

  modbus_t* ctx_ = nullptr;
  SerialLock line_lock_;  // held while the bridge wants its serial line
  ModbusConfig config_;
  std::string lastErrorMsg_;
  int32_t lastErrorCode_ = 0;
  std::atomic<uint32_t> heartbeat_{0};
  std::atomic<uint64_t> outcomes_[kFunctionCount][2] = {};
  std::atomic<uint64_t> reopens_{0};
  std::atomic<bool> line_open_{false};
  uint32_t failed_requests_ = 0;
  std::chrono::steady_clock::time_point failing_since_{};
};

#pragma once
// The gateway's data image: coils, discrete inputs, holding and input
// registers, plus how the simulated device answers (normally, not at all, or
// with an exception). Shared by the serving loop and the command console, so
// every access goes through one mutex.
#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

enum class Table { Coils, DiscreteInputs, HoldingRegisters, InputRegisters };

// "co", "di", "hr", "ir"; false for anything else.
bool parseTable(const std::string& name, Table* table);

class GatewayImage {
 public:
  explicit GatewayImage(int size);
  ~GatewayImage();
  GatewayImage(const GatewayImage&) = delete;
  GatewayImage& operator=(const GatewayImage&) = delete;

  int size() const { return size_; }

  // Consecutive entries from addr; false (nothing changed) when out of range.
  bool set(Table table, int addr, const std::vector<uint16_t>& values);
  bool get(Table table, int addr, int count, std::vector<uint16_t>* values) const;

  void setMuted(bool muted);
  // Leaves the next n requests unanswered, then answers again: a line that
  // drops a few frames.
  void dropNext(int n);
  // 0 answers normally; any other code answers every request with it.
  void setException(int code);
  // Answers that arrive damaged: a wrong CRC, the answer of another unit
  // (CRC right), or noise of the answer's length. The request itself is
  // still carried out, as a real device does before its answer is hit.
  enum class Corruption { None, Crc, OtherUnit, Garbage };
  void setCorruption(Corruption c);

  // Fails requests of one function code whose range covers one address, so a
  // test can break a single step of the master's cycle. Rules are tried in
  // the order added; the first that matches takes the request.
  struct FaultRule {
    enum class Action { Mute, Exception, Corrupt };
    int function = 0;
    int address = 0;
    Action action = Action::Mute;
    int exception = 0;                         // with Action::Exception
    Corruption corruption = Corruption::None;  // with Action::Corrupt
    int left = -1;                             // requests still to fail; -1: until removed
  };
  void addFault(const FaultRule& rule);
  void clearFaults();
  std::vector<FaultRule> faults() const;
  // Requests that a rule failed since the last resetStats().
  uint64_t faulted() const;

  // Makes each answer take as long as request and answer would take on a
  // serial line at `baud` 8N1 (a pty moves bytes instantly); 0 turns it off.
  void setLineBaud(int baud);
  void setTrace(bool on);
  bool tracing() const;

  // What serve() saw, for the request trace.
  struct Served {
    int function = -1;
    int address = 0;
    int count = 0;
    bool answered = false;
  };
  // Counts one request received on ctx and answers it as configured.
  Served serve(modbus_t* ctx, const uint8_t* request, int length);

  // Requests received per function code, answered or not.
  std::array<uint64_t, 256> stats() const;
  void resetStats();

  // Counts the normal answers to requests of `function` whose range covers
  // `address`: the watch view's command latch waits until the master has read
  // a word it wrote. Counted under the same lock as the answer, so a count
  // taken after a write only grows by answers that carried the new value.
  void watchReads(int function, int address);
  uint64_t watchedReads() const;

 private:
  int replyCorrupted(modbus_t* ctx, const uint8_t* request, int length, Corruption how);
  // Copies the rule that takes this request to *taken and uses it up by one;
  // false when no rule matches. Called with mu_ held.
  bool takeFault(const uint8_t* pdu, int pdu_length, FaultRule* taken);

  int size_;
  mutable std::mutex mu_;
  modbus_mapping_t* map_;
  bool muted_ = false;
  int drop_ = 0;
  int exception_ = 0;
  Corruption corruption_ = Corruption::None;
  uint32_t noise_ = 0x9E3779B9u;
  std::vector<FaultRule> faults_;
  uint64_t faulted_ = 0;
  int line_baud_ = 0;
  bool trace_ = false;
  std::array<uint64_t, 256> stats_{};
  int watch_function_ = -1;
  int watch_address_ = 0;
  uint64_t watched_reads_ = 0;
};

#include "cell_health.h"

#include <ctime>

#include "modbusdev.h"
#include "robotstatus.h"

int CellHealth::transacted(int rc) {
  progress_.fetch_add(1, relaxed);
  if (rc == 0) {
    gateway_failing_since_.store(0, relaxed);
    gateway_blocking_since_.store(0, relaxed);
  } else if (gateway_failing_since_.load(relaxed) == 0) {
    gateway_failing_since_.store(static_cast<int64_t>(std::time(nullptr)), relaxed);
  }
  return rc;
}

void CellHealth::gatewayBlocking() {
  int64_t none = 0;
  gateway_blocking_since_.compare_exchange_strong(none, static_cast<int64_t>(std::time(nullptr)),
                                                  relaxed);
}

uint16_t CellHealth::nextHeartbeat() {
  const uint16_t next = static_cast<uint16_t>(heartbeat_word_.load(relaxed) + 1);
  heartbeat_word_.store(next == 0 ? 1 : next, relaxed);
  return heartbeat_word_.load(relaxed);
}

void CellHealth::cycleDone(uint64_t us) {
  cycle_ms_.store(static_cast<uint32_t>(us / 1000), relaxed);
  cycle_buckets_[cycleBucket(us)].fetch_add(1, relaxed);
  cycle_us_sum_.fetch_add(us, relaxed);
}

void CellHealth::countCommand(size_t command, int code) {
  if (command >= kCommands) return;
  commands_[command].fetch_add(1, relaxed);
  if (code != 0) command_failures_[command].fetch_add(1, relaxed);
}

uint64_t CellHealth::progress() const {
  return progress_.load(relaxed) + controllerCalls();
}

uint64_t CellHealth::statusPackets() const {
  return robot_ != nullptr ? robot_->statusPackets() : 0;
}

uint64_t CellHealth::controllerCalls() const {
  return robot_ != nullptr ? robot_->controllerCalls() : 0;
}

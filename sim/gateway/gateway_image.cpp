#include "gateway_image.h"

#include <modbus/modbus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <new>
#include <thread>

namespace {

// Bytes of the request and of its normal answer as they travel on a serial
// line (RTU framing with CRC), whatever transport carried the request.
int rtuBytes(const uint8_t* pdu, int pdu_length, bool exception) {
  const int request = 1 + pdu_length + 2;
  if (exception) return request + 5;
  const int fc = pdu[0];
  const int count = pdu_length >= 5 ? (pdu[3] << 8) | pdu[4] : 0;
  int answer = 8;  // single and multiple writes echo address and count
  if (fc == 1 || fc == 2) answer = 5 + (count + 7) / 8;
  if (fc == 3 || fc == 4) answer = 5 + 2 * count;
  return request + answer;
}

// Whether the request in pdu reads or writes `address` with function `fc`.
bool covers(const uint8_t* pdu, int pdu_length, int fc, int address) {
  if (pdu_length < 1 || pdu[0] != fc) return false;
  auto word = [&](int at) { return (pdu[at] << 8) | pdu[at + 1]; };
  auto within = [&](int start, int count) { return start <= address && address < start + count; };
  switch (fc) {
    case 5:
    case 6:
      return pdu_length >= 5 && word(1) == address;
    case 22:
      return pdu_length >= 7 && word(1) == address;
    case 23:
      // Reads one range and writes another: either one counts.
      return pdu_length >= 9 && (within(word(1), word(3)) || within(word(5), word(7)));
    default:
      return pdu_length >= 5 && within(word(1), word(3));
  }
}

uint16_t crc16(const uint8_t* p, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

}  // namespace

bool parseTable(const std::string& name, Table* table) {
  if (name == "co")
    *table = Table::Coils;
  else if (name == "di")
    *table = Table::DiscreteInputs;
  else if (name == "hr")
    *table = Table::HoldingRegisters;
  else if (name == "ir")
    *table = Table::InputRegisters;
  else
    return false;
  return true;
}

GatewayImage::GatewayImage(int size)
    : size_(size), map_(modbus_mapping_new(size, size, size, size)) {
  if (map_ == nullptr) throw std::bad_alloc();
}

GatewayImage::~GatewayImage() {
  modbus_mapping_free(map_);
}

bool GatewayImage::set(Table table, int addr, const std::vector<uint16_t>& values) {
  if (addr < 0 || values.size() > static_cast<size_t>(size_) ||
      addr > size_ - static_cast<int>(values.size()))
    return false;
  std::lock_guard<std::mutex> lk(mu_);
  for (size_t i = 0; i < values.size(); ++i) {
    int a = addr + static_cast<int>(i);
    switch (table) {
      case Table::Coils:
        map_->tab_bits[a] = values[i] ? 1 : 0;
        break;
      case Table::DiscreteInputs:
        map_->tab_input_bits[a] = values[i] ? 1 : 0;
        break;
      case Table::HoldingRegisters:
        map_->tab_registers[a] = values[i];
        break;
      case Table::InputRegisters:
        map_->tab_input_registers[a] = values[i];
        break;
    }
  }
  return true;
}

bool GatewayImage::get(Table table, int addr, int count, std::vector<uint16_t>* values) const {
  if (addr < 0 || count < 0 || count > size_ || addr > size_ - count) return false;
  values->resize(count);
  std::lock_guard<std::mutex> lk(mu_);
  for (int i = 0; i < count; ++i) {
    int a = addr + i;
    switch (table) {
      case Table::Coils:
        (*values)[i] = map_->tab_bits[a];
        break;
      case Table::DiscreteInputs:
        (*values)[i] = map_->tab_input_bits[a];
        break;
      case Table::HoldingRegisters:
        (*values)[i] = map_->tab_registers[a];
        break;
      case Table::InputRegisters:
        (*values)[i] = map_->tab_input_registers[a];
        break;
    }
  }
  return true;
}

void GatewayImage::setMuted(bool muted) {
  std::lock_guard<std::mutex> lk(mu_);
  muted_ = muted;
}

void GatewayImage::dropNext(int n) {
  std::lock_guard<std::mutex> lk(mu_);
  drop_ = n;
}

void GatewayImage::setException(int code) {
  std::lock_guard<std::mutex> lk(mu_);
  exception_ = code;
}

void GatewayImage::setLineBaud(int baud) {
  std::lock_guard<std::mutex> lk(mu_);
  line_baud_ = baud;
}

void GatewayImage::setTrace(bool on) {
  std::lock_guard<std::mutex> lk(mu_);
  trace_ = on;
}

bool GatewayImage::tracing() const {
  std::lock_guard<std::mutex> lk(mu_);
  return trace_;
}

void GatewayImage::setCorruption(Corruption c) {
  std::lock_guard<std::mutex> lk(mu_);
  corruption_ = c;
}

void GatewayImage::addFault(const FaultRule& rule) {
  std::lock_guard<std::mutex> lk(mu_);
  faults_.push_back(rule);
}

void GatewayImage::clearFaults() {
  std::lock_guard<std::mutex> lk(mu_);
  faults_.clear();
}

std::vector<GatewayImage::FaultRule> GatewayImage::faults() const {
  std::lock_guard<std::mutex> lk(mu_);
  return faults_;
}

uint64_t GatewayImage::faulted() const {
  std::lock_guard<std::mutex> lk(mu_);
  return faulted_;
}

bool GatewayImage::takeFault(const uint8_t* pdu, int pdu_length, FaultRule* taken) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (!covers(pdu, pdu_length, it->function, it->address)) continue;
    *taken = *it;
    if (it->left > 0 && --it->left == 0) faults_.erase(it);
    ++faulted_;
    return true;
  }
  return false;
}

int GatewayImage::replyCorrupted(modbus_t* ctx, const uint8_t* request, int length,
                                 Corruption how) {
  // The library writes its answer straight to the line: let it write into a
  // socket pair instead, damage what it wrote, and send that.
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return -1;
  const int line = modbus_get_socket(ctx);
  modbus_set_socket(ctx, pair[0]);
  const int sent = modbus_reply(ctx, request, length, map_);
  modbus_set_socket(ctx, line);
  uint8_t answer[MODBUS_RTU_MAX_ADU_LENGTH + 16];
  ssize_t n = sent > 0 ? ::recv(pair[1], answer, sizeof answer, MSG_DONTWAIT) : -1;
  ::close(pair[0]);
  ::close(pair[1]);
  if (n <= 0) return -1;
  const bool rtu = modbus_get_header_length(ctx) == 1;
  switch (how) {
    case Corruption::Crc:
      answer[n - 1] ^= 0x5A;
      break;
    case Corruption::OtherUnit:
      answer[rtu ? 0 : 6] = static_cast<uint8_t>(answer[rtu ? 0 : 6] + 1);
      if (rtu && n >= 3) {
        const uint16_t crc = crc16(answer, static_cast<size_t>(n - 2));
        answer[n - 2] = static_cast<uint8_t>(crc & 0xFF);
        answer[n - 1] = static_cast<uint8_t>(crc >> 8);
      }
      break;
    default:
      for (ssize_t i = 0; i < n; ++i) {
        noise_ = noise_ * 1664525u + 1013904223u;
        answer[i] = static_cast<uint8_t>(noise_ >> 24);
      }
      break;
  }
  return static_cast<int>(::write(line, answer, static_cast<size_t>(n)));
}

GatewayImage::Served GatewayImage::serve(modbus_t* ctx, const uint8_t* request, int length) {
  Served served;
  const int header = modbus_get_header_length(ctx);
  if (length <= header) return served;
  const uint8_t* pdu = request + header;
  // RTU frames end in two CRC bytes, TCP frames do not.
  const int pdu_length = length - header - (header == 1 ? 2 : 0);
  served.function = pdu[0];
  if (pdu_length >= 5) {
    served.address = (pdu[1] << 8) | pdu[2];
    served.count = (pdu[3] << 8) | pdu[4];
  }
  int baud;
  int exception;
  Corruption corruption;
  {
    std::lock_guard<std::mutex> lk(mu_);
    ++stats_[pdu[0]];
    if (muted_) return served;
    if (drop_ > 0) {
      --drop_;
      return served;
    }
    baud = line_baud_;
    exception = exception_;
    corruption = corruption_;
    // A rule names this very request, so it goes before the settings for all.
    FaultRule rule;
    if (takeFault(pdu, pdu_length, &rule)) {
      if (rule.action == FaultRule::Action::Mute) return served;
      exception = rule.action == FaultRule::Action::Exception ? rule.exception : 0;
      corruption = rule.action == FaultRule::Action::Corrupt ? rule.corruption : Corruption::None;
    }
  }
  if (baud > 0 && pdu_length > 0) {
    // 8N1: ten bit times per byte. Slept outside the lock, so the console stays live.
    const double seconds = rtuBytes(pdu, pdu_length, exception != 0) * 10.0 / baud;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  }
  // The serial fd is non-blocking, so answering under the lock never stalls
  // the console behind a full line.
  std::lock_guard<std::mutex> lk(mu_);
  if (exception != 0) {
    modbus_reply_exception(ctx, request, static_cast<unsigned>(exception));
  } else if (corruption != Corruption::None) {
    replyCorrupted(ctx, request, length, corruption);
  } else {
    const int sent = modbus_reply(ctx, request, length, map_);
    // A range beyond the image gets the library's exception, not the words.
    if (sent > 0 && served.function == watch_function_ && served.address <= watch_address_ &&
        watch_address_ < served.address + served.count && served.address + served.count <= size_)
      ++watched_reads_;
  }
  served.answered = true;
  return served;
}

std::array<uint64_t, 256> GatewayImage::stats() const {
  std::lock_guard<std::mutex> lk(mu_);
  return stats_;
}

void GatewayImage::resetStats() {
  std::lock_guard<std::mutex> lk(mu_);
  stats_.fill(0);
  faulted_ = 0;
}

void GatewayImage::watchReads(int function, int address) {
  std::lock_guard<std::mutex> lk(mu_);
  watch_function_ = function;
  watch_address_ = address;
  watched_reads_ = 0;
}

uint64_t GatewayImage::watchedReads() const {
  std::lock_guard<std::mutex> lk(mu_);
  return watched_reads_;
}

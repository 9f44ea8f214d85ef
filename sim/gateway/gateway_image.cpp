#include "gateway_image.h"

#include <modbus/modbus.h>

#include <new>

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

void GatewayImage::serve(modbus_t* ctx, const uint8_t* request, int length) {
  int header = modbus_get_header_length(ctx);
  if (length <= header) return;
  std::lock_guard<std::mutex> lk(mu_);
  ++stats_[request[header]];
  if (muted_) return;
  if (drop_ > 0) {
    --drop_;
    return;
  }
  // The serial fd is non-blocking, so answering under the lock never stalls
  // the console behind a full line.
  if (exception_ != 0)
    modbus_reply_exception(ctx, request, static_cast<unsigned>(exception_));
  else
    modbus_reply(ctx, request, length, map_);
}

std::array<uint64_t, 256> GatewayImage::stats() const {
  std::lock_guard<std::mutex> lk(mu_);
  return stats_;
}

void GatewayImage::resetStats() {
  std::lock_guard<std::mutex> lk(mu_);
  stats_.fill(0);
}

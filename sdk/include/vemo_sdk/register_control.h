#pragma once
// The controller's general-purpose registers.
#include <cstdint>
#include <memory>

#include "vemo_sdk/types.h"

namespace ryne {
namespace common_interface {

class RegisterControl {
 public:
  explicit RegisterControl(vemo_sdk::RpcChannelPtr channel);

  int setBoolInput(uint32_t index, bool value);
  int setBoolOutput(uint32_t index, bool value);
  int setInt32Input(uint32_t index, int value);
  int setInt32Output(uint32_t index, int value);
  int setInt16Register(uint32_t index, int16_t value);

 private:
  vemo_sdk::RpcChannelPtr channel_;
};
using RegisterControlPtr = std::shared_ptr<RegisterControl>;

}  // namespace common_interface
}  // namespace ryne

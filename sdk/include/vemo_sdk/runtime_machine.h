#pragma once
// The controller's program runtime.
#include <memory>

#include "vemo_sdk/types.h"

namespace ryne {
namespace common_interface {

class RuntimeMachine {
 public:
  explicit RuntimeMachine(vemo_sdk::RpcChannelPtr channel);

  int runProgram();
  int pause();
  int resume();
  int stop();
  RuntimeState getRuntimeState();  // Unknown when the controller cannot be asked

 private:
  vemo_sdk::RpcChannelPtr channel_;
};
using RuntimeMachinePtr = std::shared_ptr<RuntimeMachine>;

}  // namespace common_interface
}  // namespace ryne

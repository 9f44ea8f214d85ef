#pragma once
// The controller as a whole: its robots and its controller-wide interfaces.
// RpcClient is the implementation.
#include <memory>
#include <string>
#include <vector>

#include "vemo_sdk/register_control.h"
#include "vemo_sdk/robot_interface.h"
#include "vemo_sdk/runtime_machine.h"

namespace ryne {
namespace common_interface {

class VemoApi {
 public:
  virtual ~VemoApi() = default;
  // Empty when the controller cannot be asked.
  virtual std::vector<std::string> getRobotNames() = 0;
  virtual RobotInterfacePtr getRobotInterface(const std::string& name) = 0;
  virtual RuntimeMachinePtr getRuntimeMachine() = 0;
  virtual RegisterControlPtr getRegisterControl() = 0;
};

}  // namespace common_interface
}  // namespace ryne

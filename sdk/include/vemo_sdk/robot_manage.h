#pragma once
// Power and brake management of the arm.
#include <memory>
#include <string>

#include "vemo_sdk/types.h"

namespace ryne {
namespace common_interface {

class RobotManage {
 public:
  RobotManage(vemo_sdk::RpcChannelPtr channel, std::string robot);

  int poweron();
  int poweroff();
  int startup();  // release the brakes
  // Disabled when the controller cannot be asked.
  OperationalModeType getOperationalMode();

 private:
  vemo_sdk::RpcChannelPtr channel_;
  std::string robot_;
};
using RobotManagePtr = std::shared_ptr<RobotManage>;

}  // namespace common_interface
}  // namespace ryne

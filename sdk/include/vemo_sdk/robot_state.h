#pragma once
// Queries of the arm's current state, answered by the controller on each call.
#include <memory>
#include <string>

#include "vemo_sdk/types.h"

namespace ryne {
namespace common_interface {

class RobotState {
 public:
  RobotState(vemo_sdk::RpcChannelPtr channel, std::string robot);

  // NoController when the controller cannot be asked.
  RobotModeType getRobotModeType();
  SafetyModeType getSafetyModeType();

 private:
  vemo_sdk::RpcChannelPtr channel_;
  std::string robot_;
};
using RobotStatePtr = std::shared_ptr<RobotState>;

}  // namespace common_interface
}  // namespace ryne

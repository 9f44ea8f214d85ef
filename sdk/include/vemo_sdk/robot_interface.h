#pragma once
// One robot of the controller. Each getter hands out that robot's shared handle.
#include <memory>
#include <string>

#include "vemo_sdk/io_control.h"
#include "vemo_sdk/motion_control.h"
#include "vemo_sdk/robot_manage.h"
#include "vemo_sdk/robot_state.h"
#include "vemo_sdk/trace.h"
#include "vemo_sdk/types.h"

namespace ryne {
namespace common_interface {

class RobotInterface {
 public:
  RobotInterface(vemo_sdk::RpcChannelPtr channel, std::string robot);

  const std::string& name() const { return robot_; }
  IoControlPtr getIoControl();
  RobotStatePtr getRobotState();
  RobotManagePtr getRobotManage();
  MotionControlPtr getMotionControl();
  TracePtr getTrace();

 private:
  vemo_sdk::RpcChannelPtr channel_;
  std::string robot_;
  // Made once: handing out a handle must not cost an allocation per call,
  // since the exchange cycle asks for one every cycle.
  IoControlPtr io_control_;
  RobotStatePtr robot_state_;
  RobotManagePtr robot_manage_;
  MotionControlPtr motion_control_;
  TracePtr trace_;
};
using RobotInterfacePtr = std::shared_ptr<RobotInterface>;

}  // namespace common_interface
}  // namespace ryne

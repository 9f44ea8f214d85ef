#pragma once
// Motion settings of the arm.
#include <memory>
#include <string>

#include "vemo_sdk/types.h"

namespace ryne {
namespace common_interface {

class MotionControl {
 public:
  MotionControl(vemo_sdk::RpcChannelPtr channel, std::string robot);

  int setSpeedFraction(double fraction);

 private:
  vemo_sdk::RpcChannelPtr channel_;
  std::string robot_;
};
using MotionControlPtr = std::shared_ptr<MotionControl>;

}  // namespace common_interface
}  // namespace ryne

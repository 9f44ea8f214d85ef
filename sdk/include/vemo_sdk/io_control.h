#pragma once
// The arm's digital I/O. Counts are 0 when the controller cannot be asked.
#include <memory>
#include <string>

#include "vemo_sdk/types.h"

namespace ryne {
namespace common_interface {

class IoControl {
 public:
  IoControl(vemo_sdk::RpcChannelPtr channel, std::string robot);

  int getStandardDigitalInputNum();
  int getStandardDigitalOutputNum();
  int getConfigurableDigitalInputNum();
  int getConfigurableDigitalOutputNum();
  int getToolDigitalOutputNum();
  int setStandardDigitalOutput(int index, bool value);
  int setToolDigitalOutput(int index, bool value);
  int setConfigurableDigitalOutput(int index, bool value);

 private:
  vemo_sdk::RpcChannelPtr channel_;
  std::string robot_;
};
using IoControlPtr = std::shared_ptr<IoControl>;

}  // namespace common_interface
}  // namespace ryne

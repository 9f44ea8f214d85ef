#pragma once
// The controller's own message log.
#include <memory>
#include <string>

#include "vemo_sdk/types.h"

namespace ryne {
namespace common_interface {

class Trace {
 public:
  Trace(vemo_sdk::RpcChannelPtr channel, std::string robot);

  int textmsg(const std::string& text);

 private:
  vemo_sdk::RpcChannelPtr channel_;
  std::string robot_;
};
using TracePtr = std::shared_ptr<Trace>;

}  // namespace common_interface
}  // namespace ryne

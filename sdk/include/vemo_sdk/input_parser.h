#pragma once
// One received status packet, read value by value in the order of the topic
// names given to RtdeClient::setTopic. A pop past the end or of the wrong kind
// yields a zero value (empty sequence) and never throws.
#include <cstdint>
#include <vector>

#include "vemo_sdk/types.h"
#include "vemo_sdk/wire.h"

namespace ryne {
namespace vemo_sdk {

class InputParser {
 public:
  explicit InputParser(std::vector<wire::Value> values) : values_(std::move(values)) {}

  std::vector<double> popVectorDouble();
  double popDouble();
  int64_t popInt64();
  int32_t popInt32();
  bool popBool();
  std::vector<int16_t> popVectorInt16();
  common_interface::RobotModeType popRobotModeType();
  common_interface::SafetyModeType popSafetyModeType();
  common_interface::RuntimeState popRuntimeState();

  size_t remaining() const { return values_.size() - next_; }

 private:
  wire::Value* take();
  std::vector<wire::Value> values_;
  size_t next_ = 0;
};

}  // namespace vemo_sdk
}  // namespace ryne

#include "vemo_sdk/input_parser.h"

namespace ryne {
namespace vemo_sdk {

using wire::ValueTag;

wire::Value* InputParser::take() {
  if (next_ >= values_.size()) return nullptr;
  return &values_[next_++];
}

std::vector<double> InputParser::popVectorDouble() {
  wire::Value* v = take();
  if (!v || v->tag != ValueTag::kVectorDouble) return {};
  return std::move(v->vd);
}

double InputParser::popDouble() {
  wire::Value* v = take();
  if (!v) return 0.0;
  if (v->tag == ValueTag::kDouble) return v->d;
  if (v->tag == ValueTag::kInt64 || v->tag == ValueTag::kInt32) return static_cast<double>(v->i);
  return 0.0;
}

int64_t InputParser::popInt64() {
  wire::Value* v = take();
  if (!v || (v->tag != ValueTag::kInt64 && v->tag != ValueTag::kInt32)) return 0;
  return v->i;
}

int32_t InputParser::popInt32() {
  return static_cast<int32_t>(popInt64());
}
bool InputParser::popBool() {
  return popInt64() != 0;
}

std::vector<int16_t> InputParser::popVectorInt16() {
  wire::Value* v = take();
  if (!v || v->tag != ValueTag::kVectorInt16) return {};
  return std::move(v->vi);
}

common_interface::RobotModeType InputParser::popRobotModeType() {
  return static_cast<common_interface::RobotModeType>(popInt32());
}
common_interface::SafetyModeType InputParser::popSafetyModeType() {
  return static_cast<common_interface::SafetyModeType>(popInt32());
}
common_interface::RuntimeState InputParser::popRuntimeState() {
  return static_cast<common_interface::RuntimeState>(popInt32());
}

}  // namespace vemo_sdk
}  // namespace ryne

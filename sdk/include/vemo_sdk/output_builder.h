#pragma once
// Collects the content of one output packet of a published channel.
#include <utility>
#include <vector>

namespace ryne {
namespace vemo_sdk {

class OutputBuilder {
 public:
  // Output `index` of the channel's topic switched to `value`.
  void push(int index, bool value) { pairs_.emplace_back(index, value); }
  const std::vector<std::pair<int, bool>>& pairs() const { return pairs_; }
  void clear() { pairs_.clear(); }

 private:
  std::vector<std::pair<int, bool>> pairs_;
};

}  // namespace vemo_sdk
}  // namespace ryne

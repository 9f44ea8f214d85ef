// The SDK's framing and body decoders on both channels, fed arbitrary bytes
// in arbitrary chunks. JSON replies are read twice, by the fast scanner and by
// the full parser, and the two must agree whenever the scanner accepts. A data
// packet never makes the decoder hold more values than its bytes could carry,
// whatever count it announces.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "rpc_channel.h"
#include "vemo_sdk/wire.h"

namespace wire = ryne::vemo_sdk::wire;
using ryne::vemo_sdk::detail::RpcChannel;

namespace {

void checkJson(const std::string& body) {
  RpcChannel::FlatReply flat;
  if (!RpcChannel::scanFlatReply(body, flat)) return;
  auto msg = nlohmann::json::parse(body, nullptr, false);
  if (msg.is_discarded() || !msg.is_object()) std::abort();
  if (!msg.contains("id") || !msg["id"].is_number_unsigned() ||
      msg["id"].get<uint64_t>() != flat.id)
    std::abort();
  if (!msg.contains("c") || !msg["c"].is_number_integer() || msg["c"].get<int64_t>() != flat.code)
    std::abort();
  if (msg.contains("r") != flat.has_result) std::abort();
  if (flat.has_result) {
    const auto& r = msg["r"];
    if (flat.result_is_integer != r.is_number_integer()) std::abort();
    if (flat.result_is_integer && r.get<int64_t>() != flat.result) std::abort();
    if (!flat.result_is_integer && !r.is_null()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The whole input as one JSON body too: the scanner is the hot path.
  checkJson(std::string(reinterpret_cast<const char*>(data), size));

  wire::FrameReader reader;
  size_t i = 0;
  while (i < size) {
    // The first byte of each chunk says how long it is: exercises every split.
    const size_t n = std::min<size_t>(size - i, 1 + data[i] % 64);
    reader.append(reinterpret_cast<const char*>(data + i), n);
    i += n;
    wire::FrameType type;
    std::string body;
    for (;;) {
      auto res = reader.next(type, body);
      if (res != wire::FrameReader::Result::kFrame) break;
      uint32_t channel;
      std::string why;
      if (type == wire::FrameType::kData) {
        std::vector<wire::Value> values;
        wire::decodeData(body, channel, values, &why);
        if (values.capacity() * wire::kMinValueSize > body.size()) std::abort();
      } else if (type == wire::FrameType::kOutput) {
        std::vector<std::pair<int, bool>> pairs;
        wire::decodeOutput(body, channel, pairs, &why);
      } else {
        checkJson(body);
      }
    }
  }
  return 0;
}

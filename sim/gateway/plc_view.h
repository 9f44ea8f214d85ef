#pragma once
// The watch mode's picture of the gateway image as the PLC sees it: the
// service's status decoded by the gateway map, the PLC's own inputs and the
// command block. Pure text (no escape codes), so tests can read every frame
// and the terminal code only has to place it.
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

class GatewayImage;

namespace plc_view {

constexpr int kRows = 24;
constexpr int kColumns = 80;
// Rows 0..kDataRows-1 decode the image; then the messages, then the prompt.
constexpr int kDataRows = 20;
constexpr int kMessageRows = 3;
constexpr char kPrompt[] = "plc> ";

// The service's configuration keys littleEndian, protocolType and
// pnRegisterNumber: how it lays out and encodes what it writes.
struct ViewOptions {
  bool little_endian = false;
  int protocol_type = 2;
  int command_register = 32;
};

// A 16-bit value as it travels in a register, and back (the same exchange).
uint16_t encodeWord(uint16_t value, bool little_endian);
inline uint16_t decodeWord(uint16_t reg, bool little_endian) {
  return encodeWord(reg, little_endian);
}
float decodeFloat(uint16_t first, uint16_t second, bool little_endian);

// Names of the status block's modes and of the command word's codes; "?" for
// values without one.
const char* robotModeName(int mode);
const char* safetyModeName(int mode);
const char* commandName(int code);

// The parts of the image the view decodes, copied at one moment, plus the
// link's request rates. Tables the image is too small for read as zeros.
struct ImageSnapshot {
  std::vector<uint16_t> coils;            // 0 .. end of the status bits
  std::vector<uint16_t> discrete_inputs;  // the PLC bits
  std::vector<uint16_t> holding;          // 0 .. end of the status block
  std::vector<uint16_t> command;          // the command block, raw
  std::array<double, 256> rates{};        // requests per second by function code
  uint64_t total = 0;                     // requests since start or the last reset
};

ImageSnapshot takeSnapshot(const GatewayImage& image, const ViewOptions& options);

// Requests per second over about the last second, from the image's running
// counts: a single interval between two 200 ms frames would flicker.
class RateMeter {
 public:
  using Clock = std::chrono::steady_clock;
  void add(Clock::time_point t, const std::array<uint64_t, 256>& counts);
  std::array<double, 256> rates() const;

 private:
  std::deque<std::pair<Clock::time_point, std::array<uint64_t, 256>>> samples_;
};

// What the screen shows besides the image.
struct ViewText {
  std::string link;                   // e.g. "rtu /dev/pts/3"
  std::vector<std::string> messages;  // answers and notices, oldest first
  std::string input;                  // the line being typed
};

// Exactly kRows lines of at most kColumns characters each.
std::vector<std::string> renderView(const ImageSnapshot& snap, const ViewOptions& options,
                                    const ViewText& text);

}  // namespace plc_view

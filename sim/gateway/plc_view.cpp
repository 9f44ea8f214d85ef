#include "plc_view.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "gateway_fields.h"
#include "gateway_image.h"
#include "gateway_map.h"

namespace gm = gateway_map;

namespace plc_view {

namespace {

constexpr int kValueWidth = 10;  // one column of the per-joint rows
constexpr int kLabelWidth = 12;
constexpr int kRobotRegistersPerRow = 8;
constexpr int kBitsPerRow = 32;

// Control bytes would move the terminal's cursor: the screen is text only.
std::string printable(std::string s) {
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
  return s;
}

std::string fit(std::string s) {
  if (s.size() > static_cast<size_t>(kColumns)) s.resize(kColumns);
  return s;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

std::string padRight(std::string s, size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

std::string padLeft(const std::string& s, size_t width) {
  return s.size() < width ? std::string(width - s.size(), ' ') + s : s;
}

// Fixed point while it fits the column, else exponent form, so a column never
// pushes the next one right.
std::string floatText(float x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  std::string s = format("%.3f", static_cast<double>(x));
  if (s.size() > static_cast<size_t>(kValueWidth)) s = format("%.3e", static_cast<double>(x));
  return s;
}

std::string range(int first, int count) {
  return std::to_string(first) + ".." + std::to_string(first + count - 1);
}

class Reader {
 public:
  Reader(const ImageSnapshot& snap, const ViewOptions& options) : snap_(snap), options_(options) {}

  static uint16_t at(const std::vector<uint16_t>& table, int addr) {
    return addr >= 0 && static_cast<size_t>(addr) < table.size() ? table[addr] : 0;
  }
  uint16_t word(int addr) const {
    return decodeWord(at(snap_.holding, addr), options_.little_endian);
  }
  int16_t signedWord(int addr) const { return static_cast<int16_t>(word(addr)); }
  uint16_t command(int index) const {
    return decodeWord(at(snap_.command, index), options_.little_endian);
  }
  // A status value by its field: the map's one description says where it
  // is and how it is encoded.
  double value(const std::string& name) const {
    const gm::Field* f = gm::fieldNamed(name);
    if (!f) return 0;
    const int addr = gm::addressOf(*f, options_.protocol_type, options_.command_register);
    if (f->type == gm::Type::kBool) return at(snap_.coils, addr);
    const uint16_t regs[2] = {at(snap_.holding, addr), at(snap_.holding, addr + 1)};
    return gm::decodeRegisters(*f, regs, options_.little_endian);
  }
  int integer(const std::string& name) const { return static_cast<int>(value(name)); }

  // Bits as 0/1, a space after every 8 so a channel can be counted out.
  static std::string bits(const std::vector<uint16_t>& table, int first, int count) {
    std::string s;
    for (int i = 0; i < count; ++i) {
      if (i > 0 && i % 8 == 0) s += ' ';
      s += at(table, first + i) ? '1' : '0';
    }
    return s;
  }
  static std::string wordBits(uint16_t w, int first, int count) {
    std::string s;
    for (int i = 0; i < count; ++i) s += (w >> (first + i)) & 1 ? '1' : '0';
    return s;
  }

 private:
  const ImageSnapshot& snap_;
  const ViewOptions& options_;
};

// Six values of the fields `prefix` followed by each of `suffixes`.
std::string valueRow(const char* label, const Reader& r, const std::string& prefix,
                     const std::vector<std::string>& suffixes, bool real) {
  std::string s = padRight(label, kLabelWidth);
  for (const auto& suffix : suffixes) {
    const double v = r.value(prefix + suffix);
    s += padLeft(real ? floatText(static_cast<float>(v)) : std::to_string(static_cast<int>(v)),
                 kValueWidth);
  }
  return s;
}

const std::vector<std::string>& joints() {
  static const std::vector<std::string> k = {"0", "1", "2", "3", "4", "5"};
  return k;
}

std::string linkRow(const ImageSnapshot& snap) {
  static const int kShown[] = {1, 2, 3, 4, 15, 16};
  double all = 0, other = 0;
  for (int fc = 0; fc < 256; ++fc) {
    all += snap.rates[fc];
    if (std::find(std::begin(kShown), std::end(kShown), fc) == std::end(kShown))
      other += snap.rates[fc];
  }
  std::string s = format("link %.0f req/s:", all);
  for (int fc : kShown) s += format(" fc%d %.0f", fc, snap.rates[fc]);
  s += format(" other %.0f  total %" PRIu64, other, snap.total);
  return s;
}

}  // namespace

uint16_t encodeWord(uint16_t value, bool little_endian) {
  return little_endian ? value : static_cast<uint16_t>((value << 8) | (value >> 8));
}

float decodeFloat(uint16_t first, uint16_t second, bool little_endian) {
  const uint32_t bits = little_endian ? (static_cast<uint32_t>(second) << 16) | first
                                      : (static_cast<uint32_t>(encodeWord(first, false)) << 16) |
                                            encodeWord(second, false);
  float x;
  std::memcpy(&x, &bits, sizeof x);
  return x;
}

const char* robotModeName(int mode) {
  return gm::robotModeName(mode);
}

const char* safetyModeName(int mode) {
  static const char* const kNames[] = {"Undefined",
                                       "Normal",
                                       "Reduced",
                                       "ProtectiveStop",
                                       "Recovery",
                                       "SafeguardStop",
                                       "SystemEmergencyStop",
                                       "RobotEmergencyStop",
                                       "Violation",
                                       "Fault"};
  return mode >= 0 && mode < 10 ? kNames[mode] : "?";
}

const char* commandName(int code) {
  switch (code) {
    case 0:
      return "none";
    case gm::kCommandPowerOn:
      return "PowerOn";
    case gm::kCommandBrakeRelease:
      return "BrakeRelease";
    case gm::kCommandRunProgram:
      return "Run";
    case gm::kCommandPauseProgram:
      return "Pause";
    case gm::kCommandResumeProgram:
      return "Resume";
    case gm::kCommandStopProgram:
      return "Stop";
    default:
      return "?";
  }
}

ImageSnapshot takeSnapshot(const GatewayImage& image, const ViewOptions& options) {
  ImageSnapshot snap;
  // Whatever does not fit the image stays empty and reads as zeros.
  image.get(Table::Coils, 0, gm::kStatusBitsStart + gm::kStatusBitsCount, &snap.coils);
  image.get(Table::DiscreteInputs, gm::kPlcBitsStart, gm::kPlcBitsCount, &snap.discrete_inputs);
  image.get(Table::HoldingRegisters, 0, gm::kStatusBlockStart + gm::kStatusBlockCount,
            &snap.holding);
  image.get(Table::InputRegisters, options.command_register, gm::kCommandBlockCount, &snap.command);
  const auto counts = image.stats();
  for (uint64_t c : counts) snap.total += c;
  return snap;
}

void RateMeter::add(Clock::time_point t, const std::array<uint64_t, 256>& counts) {
  // Counts going down mean a "stats reset": older samples no longer compare.
  if (!samples_.empty()) {
    const auto& last = samples_.back().second;
    for (size_t fc = 0; fc < counts.size(); ++fc)
      if (counts[fc] < last[fc]) {
        samples_.clear();
        break;
      }
  }
  samples_.emplace_back(t, counts);
  // Keep the newest sample that is at least a second old as the base.
  while (samples_.size() > 2 && samples_[1].first <= t - std::chrono::seconds(1))
    samples_.pop_front();
}

std::array<double, 256> RateMeter::rates() const {
  std::array<double, 256> r{};
  if (samples_.size() < 2) return r;
  const double dt =
      std::chrono::duration<double>(samples_.back().first - samples_.front().first).count();
  if (dt <= 0) return r;
  for (size_t fc = 0; fc < r.size(); ++fc)
    r[fc] = static_cast<double>(samples_.back().second[fc] - samples_.front().second[fc]) / dt;
  return r;
}

std::vector<std::string> renderView(const ImageSnapshot& snap, const ViewOptions& options,
                                    const ViewText& text) {
  const Reader r(snap, options);
  std::vector<std::string> rows;
  rows.reserve(kRows);

  std::string title =
      format("== gateway watch  little-endian %d  protocol %d  command ir %d  ",
             options.little_endian ? 1 : 0, options.protocol_type, options.command_register);
  // A long device path differs from others at its end: keep that part.
  const std::string link = printable(text.link);
  const size_t link_room = title.size() < kColumns ? kColumns - title.size() : 0;
  if (link.size() <= link_room)
    title += link;
  else if (link_room > 3)
    title += "..." + link.substr(link.size() - (link_room - 3));
  rows.push_back(title);
  rows.push_back(linkRow(snap));
  rows.push_back(valueRow("joints", r, "JOINT_POSITION_", joints(), true));
  rows.push_back(valueRow("tcp pose", r, "TCP_POSE_", {"X", "Y", "Z", "RX", "RY", "RZ"}, true));
  rows.push_back(format("heartbeat %u  speed %d%%  tcp speed %d  running %d stopped %d paused %d",
                        static_cast<unsigned>(r.integer("HEARTBEAT")),
                        static_cast<int16_t>(r.integer("SPEED_PERCENT")), r.integer("TCP_SPEED"),
                        r.integer("PROGRAM_RUNNING"), r.integer("PROGRAM_STOPPED"),
                        r.integer("PROGRAM_PAUSED")));
  const int robot_mode = static_cast<int16_t>(r.integer("ROBOT_MODE"));
  const int safety_mode = static_cast<int16_t>(r.integer("SAFETY_MODE"));
  rows.push_back(padRight(format("robot mode %d %s", robot_mode, robotModeName(robot_mode)), 36) +
                 format("safety mode %d %s", safety_mode, safetyModeName(safety_mode)));
  rows.push_back(valueRow("current", r, "JOINT_CURRENT_", joints(), false));
  rows.push_back(valueRow("voltage", r, "JOINT_VOLTAGE_", joints(), false));
  rows.push_back(valueRow("temperature", r, "JOINT_TEMPERATURE_", joints(), false));
  rows.push_back("cfg in " + range(gm::kSafeInputPairsCoil, gm::kSafeInputPairs) + " " +
                 Reader::bits(snap.coils, gm::kSafeInputPairsCoil, gm::kSafeInputPairs) +
                 "  cfg out " + range(gm::kSafeOutputPairsCoil, gm::kSafeOutputPairs) + " " +
                 Reader::bits(snap.coils, gm::kSafeOutputPairsCoil, gm::kSafeOutputPairs) +
                 "  tool out " + range(gm::kToolOutputsCoil, gm::kToolChannels) + " " +
                 Reader::bits(snap.coils, gm::kToolOutputsCoil, gm::kToolChannels));
  rows.push_back("std in " + range(gm::kStandardInputsCoil, gm::kStandardChannels) + " " +
                 Reader::bits(snap.coils, gm::kStandardInputsCoil, gm::kStandardChannels) +
                 "  std out " + range(gm::kStandardOutputsCoil, gm::kStandardChannels) + " " +
                 Reader::bits(snap.coils, gm::kStandardOutputsCoil, gm::kStandardChannels));
  for (int first = 0; first < gm::kRobotBitsCount; first += kBitsPerRow)
    rows.push_back(padRight("robot out co " + range(gm::kRobotBitsStart + first, kBitsPerRow), 21) +
                   Reader::bits(snap.coils, gm::kRobotBitsStart + first, kBitsPerRow));
  for (int first = 0; first < gm::kPlcBitsCount; first += kBitsPerRow)
    rows.push_back(padRight("plc in di " + range(gm::kPlcBitsStart + first, kBitsPerRow), 21) +
                   Reader::bits(snap.discrete_inputs, first, kBitsPerRow));
  for (int first = 0; first < gm::kRobotRegistersCount; first += kRobotRegistersPerRow) {
    std::string s = padRight(
        "robot int hr " + range(gm::kRobotRegistersStart + first, kRobotRegistersPerRow), 21);
    for (int k = 0; k < kRobotRegistersPerRow; ++k)
      s += padLeft(std::to_string(r.signedWord(gm::kRobotRegistersStart + first + k)), 7);
    rows.push_back(s);
  }
  const uint16_t cmd = r.command(gm::kCommandWord);
  const uint16_t low = r.command(gm::kOutputsLowWord);
  const uint16_t high = r.command(gm::kOutputsHighWord);
  rows.push_back(format("command ir %d: cmd %u %s  speed %d  tool ", options.command_register, cmd,
                        commandName(cmd), static_cast<int16_t>(r.command(gm::kSpeedWord))) +
                 Reader::wordBits(low, 0, gm::kToolChannels) + "  do " +
                 Reader::wordBits(low, 8, 8) + " " + Reader::wordBits(high, 0, 8));

  // The newest messages at the bottom, long ones folded.
  std::vector<std::string> folded;
  for (const std::string& m : text.messages) {
    const std::string p = printable(m);
    for (size_t i = 0; i < p.size(); i += kColumns) folded.push_back(p.substr(i, kColumns));
  }
  std::vector<std::string> shown(kMessageRows);
  for (int i = 0; i < kMessageRows && i < static_cast<int>(folded.size()); ++i)
    shown[kMessageRows - 1 - i] = folded[folded.size() - 1 - i];
  rows.resize(kDataRows);
  rows.insert(rows.end(), shown.begin(), shown.end());

  // Only the end of an over-long input fits; that is where the cursor is.
  std::string input = printable(text.input);
  const size_t room = kColumns - (sizeof kPrompt - 1);
  if (input.size() > room) input = input.substr(input.size() - room);
  rows.push_back(kPrompt + input);

  for (std::string& row : rows) row = fit(printable(row));
  return rows;
}

}  // namespace plc_view

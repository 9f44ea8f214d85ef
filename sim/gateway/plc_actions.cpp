#include "plc_actions.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "console_words.h"
#include "gateway_map.h"

namespace gm = gateway_map;

namespace {

// The service acts on a code only after it has seen the word at 0; two reads
// make sure one of its cycles saw the 0 whatever phase it was in.
constexpr uint64_t kReadsBeforeCode = 2;

struct NamedCommand {
  const char* name;
  int code;
};
const NamedCommand kNamedCommands[] = {
    {"poweron", gm::kCommandPowerOn},      {"release", gm::kCommandBrakeRelease},
    {"run", gm::kCommandRunProgram},       {"pause", gm::kCommandPauseProgram},
    {"resume", gm::kCommandResumeProgram}, {"stop", gm::kCommandStopProgram},
};

const char* const kHelp[] = {
    "plc: cmd <code> | poweron | release | run | pause | resume | stop | help | quit",
    "speed <1..100>  tool <0..3> 0|1  do <0..15> 0|1  di <0..63> 0|1  ir <0..31> <v>",
    "console: set|get .. mute drop exception corrupt fault line trace stats",
};

using console::parseInt;

bool parseBit(const std::string& word, bool* on) {
  if (word != "0" && word != "1") return false;
  *on = word == "1";
  return true;
}

std::string hex(uint16_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", v);
  return buf;
}

}  // namespace

bool PlcActions::execute(const std::string& line, std::vector<std::string>* answers) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string word; in >> word;) w.push_back(word);
  if (w.empty()) return false;
  const std::string& verb = w[0];
  auto answer = [&](const std::string& a) {
    answers->push_back(a);
    return true;
  };

  if (verb == "help") {
    for (const char* h : kHelp) answers->push_back(h);
    return true;
  }
  for (const NamedCommand& c : kNamedCommands) {
    if (verb != c.name) continue;
    if (w.size() != 1) return answer("error usage: " + verb);
    return answer(command(c.code, verb));
  }
  if (verb == "cmd") {
    long code;
    if (w.size() != 2 || !parseInt(w[1], 0, 65535, &code))
      return answer("error usage: cmd <code 0..65535>");
    return answer(command(code, "cmd"));
  }
  if (verb == "speed") {
    long percent;
    if (w.size() != 2 || !parseInt(w[1], 1, 100, &percent))
      return answer("error usage: speed <1..100>");
    return answer(writeCommandWord(gm::kSpeedWord, static_cast<uint16_t>(percent)));
  }
  if (verb == "tool") {
    long i;
    bool on;
    if (w.size() != 3 || !parseInt(w[1], 0, gm::kToolChannels - 1, &i) || !parseBit(w[2], &on))
      return answer("error usage: tool <0.." + std::to_string(gm::kToolChannels - 1) + "> 0|1");
    return answer(setOutput(gm::kOutputsLowWord, static_cast<int>(i), on, "tool output " + w[1]));
  }
  if (verb == "do") {
    long k;
    bool on;
    if (w.size() != 3 || !parseInt(w[1], 0, gm::kStandardChannels - 1, &k) || !parseBit(w[2], &on))
      return answer("error usage: do <0.." + std::to_string(gm::kStandardChannels - 1) + "> 0|1");
    // Outputs 0..7 are the high byte of the low word, 8..15 the low byte of the next.
    if (k < 8)
      return answer(setOutput(gm::kOutputsLowWord, 8 + static_cast<int>(k), on, "output " + w[1]));
    return answer(setOutput(gm::kOutputsHighWord, static_cast<int>(k) - 8, on, "output " + w[1]));
  }
  if (verb == "di") {
    long i;
    bool on;
    if (w.size() != 3 || !parseInt(w[1], 0, gm::kPlcBitsCount - 1, &i) || !parseBit(w[2], &on))
      return answer("error usage: di <0.." + std::to_string(gm::kPlcBitsCount - 1) + "> 0|1");
    if (!image_.set(Table::DiscreteInputs, gm::kPlcBitsStart + static_cast<int>(i), {on}))
      return answer("error di " + w[1] + " beyond the image");
    return answer("ok di " + w[1] + " = " + w[2]);
  }
  if (verb == "ir") {
    long i, v;
    if (w.size() != 3 || !parseInt(w[1], 0, gm::kPlcRegistersCount - 1, &i) ||
        !parseInt(w[2], -32768, 65535, &v))
      return answer("error usage: ir <0.." + std::to_string(gm::kPlcRegistersCount - 1) +
                    "> <-32768..65535>");
    const uint16_t reg = plc_view::encodeWord(static_cast<uint16_t>(v), options_.little_endian);
    if (!image_.set(Table::InputRegisters, gm::kPlcRegistersStart + static_cast<int>(i), {reg}))
      return answer("error ir " + w[1] + " beyond the image");
    return answer("ok ir " + w[1] + " = " + w[2] + " as " + hex(reg));
  }
  return false;
}

std::string PlcActions::command(long code, const std::string& name) {
  const std::string what =
      "cmd " + std::to_string(code) + (name == "cmd" ? std::string() : " (" + name + ")");
  pending_code_ = -1;
  const std::string cleared = writeCommandWord(gm::kCommandWord, 0);
  if (cleared.rfind("error", 0) == 0) return cleared;
  if (code == 0) return "ok cmd 0 written";
  // Counted after the 0 is in place, so every later read carried it.
  reads_at_clear_ = command_reads_();
  pending_code_ = code;
  pending_name_ = what;
  return "ok " + what + ": word 0 cleared, the code follows after " +
         std::to_string(kReadsBeforeCode) + " command-block reads";
}

std::string PlcActions::tick() {
  if (pending_code_ < 0 || command_reads_() < reads_at_clear_ + kReadsBeforeCode) return "";
  const uint16_t reg =
      plc_view::encodeWord(static_cast<uint16_t>(pending_code_), options_.little_endian);
  pending_code_ = -1;
  if (!image_.set(Table::InputRegisters, options_.command_register + gm::kCommandWord, {reg}))
    return "error " + pending_name_ + ": command word beyond the image";
  return "done " + pending_name_ + " written as " + hex(reg);
}

std::string PlcActions::writeCommandWord(int index, uint16_t value) {
  const uint16_t reg = plc_view::encodeWord(value, options_.little_endian);
  if (!image_.set(Table::InputRegisters, options_.command_register + index, {reg}))
    return "error command word " + std::to_string(index) + " beyond the image";
  return "ok word " + std::to_string(index) + " = " + std::to_string(value) + " as " + hex(reg);
}

std::string PlcActions::setOutput(int word, int bit, bool on, const std::string& what) {
  std::vector<uint16_t> regs;
  if (!image_.get(Table::InputRegisters, options_.command_register + word, 1, &regs))
    return "error command word " + std::to_string(word) + " beyond the image";
  uint16_t v = plc_view::decodeWord(regs[0], options_.little_endian);
  v = on ? static_cast<uint16_t>(v | (1u << bit)) : static_cast<uint16_t>(v & ~(1u << bit));
  const std::string written = writeCommandWord(word, v);
  if (written.rfind("error", 0) == 0) return written;
  return written + " (" + what + " " + (on ? "on" : "off") + ")";
}

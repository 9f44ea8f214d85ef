#include "gateway_commands.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "console_words.h"

namespace {

const char kHelp[] =
    "help: set di|co|ir|hr <addr> <value>... | get di|co|ir|hr <addr> <count> | mute on|off | "
    "drop <n> | exception <code> on|off | corrupt crc|unit|garbage|off | fault <fc> <addr> "
    "mute|exception <code>|crc|unit|garbage [<n>] | fault off | fault | line <baud>|off | trace "
    "on|off | stats [reset] | quit";

const char kFaultUsage[] =
    "error usage: fault [off | <fc 1..6|15|16|22|23> <addr 0..65535> "
    "mute|exception <code 1..255>|crc|unit|garbage [<n 1..1000000>]]";

const std::pair<const char*, GatewayImage::Corruption> kCorruptions[] = {
    {"crc", GatewayImage::Corruption::Crc},
    {"unit", GatewayImage::Corruption::OtherUnit},
    {"garbage", GatewayImage::Corruption::Garbage}};

using console::parseInt;
using console::parseOnOff;

bool isBitTable(Table t) {
  return t == Table::Coils || t == Table::DiscreteInputs;
}

// The function codes whose requests name an address a rule can match.
bool addressedFunction(long fc) {
  for (long f : {1, 2, 3, 4, 5, 6, 15, 16, 22, 23})
    if (f == fc) return true;
  return false;
}

// "fc4@40 mute 3 left", "fc3@0 exception 2", "fc16@10 crc".
std::string describe(const GatewayImage::FaultRule& r) {
  using Action = GatewayImage::FaultRule::Action;
  std::string out = "fc" + std::to_string(r.function) + "@" + std::to_string(r.address) + " ";
  if (r.action == Action::Mute) {
    out += "mute";
  } else if (r.action == Action::Exception) {
    out += "exception " + std::to_string(r.exception);
  } else {
    for (auto& [name, mode] : kCorruptions)
      if (mode == r.corruption) out += name;
  }
  if (r.left > 0) out += " " + std::to_string(r.left) + " left";
  return out;
}

// Words after "fault" that add a rule; false when they do not make one.
bool parseFault(const std::vector<std::string>& w, GatewayImage::FaultRule* rule) {
  using Action = GatewayImage::FaultRule::Action;
  long fc, addr, code = 0, n = -1;
  if (w.size() < 4 || !parseInt(w[1], 1, 127, &fc) || !addressedFunction(fc) ||
      !parseInt(w[2], 0, 65535, &addr))
    return false;
  size_t next = 4;
  const std::string& action = w[3];
  if (action == "mute") {
    rule->action = Action::Mute;
  } else if (action == "exception") {
    if (w.size() < 5 || !parseInt(w[4], 1, 255, &code)) return false;
    rule->action = Action::Exception;
    next = 5;
  } else {
    rule->action = Action::Corrupt;
    for (auto& [name, mode] : kCorruptions)
      if (action == name) rule->corruption = mode;
    if (rule->corruption == GatewayImage::Corruption::None) return false;
  }
  if (w.size() > next + 1 || (w.size() == next + 1 && !parseInt(w[next], 1, 1000000, &n)))
    return false;
  rule->function = static_cast<int>(fc);
  rule->address = static_cast<int>(addr);
  rule->exception = static_cast<int>(code);
  rule->left = static_cast<int>(n);
  return true;
}

}  // namespace

std::string GatewayCommands::execute(const std::string& line, bool* quit) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string word; in >> word;) w.push_back(word);
  if (w.empty()) return "";
  const std::string& cmd = w[0];

  if (cmd == "quit") {
    *quit = true;
    return "bye";
  }
  if (cmd == "help") return kHelp;

  if (cmd == "set" || cmd == "get") {
    Table table;
    if (w.size() < 4) return "error usage: " + cmd + " di|co|ir|hr <addr> ...";
    if (!parseTable(w[1], &table)) return "error unknown table " + w[1];
    long addr;
    if (!parseInt(w[2], 0, image_.size() - 1, &addr)) return "error bad address " + w[2];
    if (cmd == "get") {
      long count;
      if (w.size() != 4 || !parseInt(w[3], 1, image_.size(), &count)) return "error bad count";
      std::vector<uint16_t> values;
      if (!image_.get(table, static_cast<int>(addr), static_cast<int>(count), &values))
        return "error range beyond " + std::to_string(image_.size());
      std::string out;
      for (size_t i = 0; i < values.size(); ++i) {
        if (i) out += ' ';
        out += std::to_string(values[i]);
      }
      return out;
    }
    std::vector<uint16_t> values;
    // Registers take unsigned 16-bit values or their signed reading.
    long lo = isBitTable(table) ? 0 : -32768;
    long hi = isBitTable(table) ? 1 : 65535;
    for (size_t i = 3; i < w.size(); ++i) {
      long v;
      if (!parseInt(w[i], lo, hi, &v)) return "error bad value " + w[i];
      values.push_back(static_cast<uint16_t>(v));
    }
    if (!image_.set(table, static_cast<int>(addr), values))
      return "error range beyond " + std::to_string(image_.size());
    return "ok";
  }

  if (cmd == "mute") {
    bool on;
    if (w.size() != 2 || !parseOnOff(w[1], &on)) return "error usage: mute on|off";
    image_.setMuted(on);
    return "ok";
  }

  if (cmd == "drop") {
    long n;
    if (w.size() != 2 || !parseInt(w[1], 0, 1000000, &n)) return "error usage: drop <n>";
    image_.dropNext(static_cast<int>(n));
    return "ok";
  }

  if (cmd == "exception") {
    long code;
    bool on;
    if (w.size() != 3 || !parseInt(w[1], 1, 255, &code) || !parseOnOff(w[2], &on))
      return "error usage: exception <code 1..255> on|off";
    image_.setException(on ? static_cast<int>(code) : 0);
    return "ok";
  }

  if (cmd == "corrupt") {
    static const std::pair<const char*, GatewayImage::Corruption> kModes[] = {
        {"off", GatewayImage::Corruption::None},
        {"crc", GatewayImage::Corruption::Crc},
        {"unit", GatewayImage::Corruption::OtherUnit},
        {"garbage", GatewayImage::Corruption::Garbage}};
    for (auto& [name, mode] : kModes)
      if (w.size() == 2 && w[1] == name) {
        image_.setCorruption(mode);
        return "ok";
      }
    return "error usage: corrupt crc|unit|garbage|off";
  }

  if (cmd == "fault") {
    if (w.size() == 1) {
      const auto rules = image_.faults();
      if (rules.empty()) return "faults none";
      std::string out = "faults";
      for (size_t i = 0; i < rules.size(); ++i) out += (i ? "; " : " ") + describe(rules[i]);
      return out;
    }
    if (w.size() == 2 && w[1] == "off") {
      image_.clearFaults();
      return "ok";
    }
    GatewayImage::FaultRule rule;
    if (!parseFault(w, &rule)) return kFaultUsage;
    image_.addFault(rule);
    return "ok";
  }

  if (cmd == "line") {
    long baud = 0;
    if (w.size() != 2 || (w[1] != "off" && !parseInt(w[1], 300, 10000000, &baud)))
      return "error usage: line <baud 300..10000000>|off";
    image_.setLineBaud(static_cast<int>(baud));
    return "ok";
  }

  if (cmd == "trace") {
    bool on;
    if (w.size() != 2 || !parseOnOff(w[1], &on)) return "error usage: trace on|off";
    image_.setTrace(on);
    return "ok";
  }

  if (cmd == "stats") {
    if (w.size() == 2 && w[1] == "reset") {
      image_.resetStats();
      return "ok";
    }
    if (w.size() != 1) return "error usage: stats [reset]";
    auto s = image_.stats();
    std::string out = "stats";
    uint64_t other = 0, total = 0;
    static const int kShown[] = {1, 2, 3, 4, 5, 6, 15, 16, 23};
    for (int fc = 0; fc < 256; ++fc) {
      total += s[fc];
      bool shown = false;
      for (int k : kShown) shown = shown || k == fc;
      if (!shown) other += s[fc];
    }
    for (int fc : kShown) out += " fc" + std::to_string(fc) + "=" + std::to_string(s[fc]);
    out += " other=" + std::to_string(other) + " total=" + std::to_string(total);
    out += " faulted=" + std::to_string(image_.faulted());
    return out;
  }

  return "error unknown command " + cmd + " (try help)";
}

#pragma once
// Words of the simulator's console language, shared by its commands and the
// live view's PLC actions.
#include <cerrno>
#include <cstdlib>
#include <string>

namespace console {

// The whole word as a decimal number within [lo, hi].
inline bool parseInt(const std::string& word, long lo, long hi, long* value) {
  if (word.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(word.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *value = v;
  return true;
}

inline bool parseOnOff(const std::string& word, bool* on) {
  if (word != "on" && word != "off") return false;
  *on = word == "on";
  return true;
}

}  // namespace console

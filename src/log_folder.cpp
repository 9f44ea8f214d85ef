#include "log_folder.h"

bool LogFolder::offer(const void* site, std::string_view text, Clock::time_point now,
                      bool any_text) {
  for (Entry& e : entries_) {
    if (e.site != site || e.any_text != any_text || (!any_text && e.text != text)) continue;
    e.last = now;
    ++e.seen;
    if (any_text) e.text.assign(text);
    if (e.written < kBurst && e.folded == 0) {
      ++e.written;
      return true;
    }
    ++e.folded;
    return false;
  }
  if (entries_.size() >= kMaxEntries) return true;
  entries_.push_back(Entry{site, std::string(text), any_text, now, now, kWindow, 1, 1, 0});
  return true;
}

std::string LogFolder::summaryText(const Summary& s) {
  const long long tenths = (s.span.count() + 50) / 100;
  std::string span = std::to_string(tenths / 10);
  if (tenths < 100) span += "." + std::to_string(tenths % 10);
  return " [repeated " + std::to_string(s.repeats) + " more time" + (s.repeats == 1 ? "" : "s") +
         " in " + span + " s]";
}

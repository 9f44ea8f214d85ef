#pragma once
// Folds repeats of one message from one place, so that a fault that lasts
// (a serial device missing, a gateway that does not answer, a controller
// that is not there) does not flood the log, the journal and the
// controller's flash: the first kBurst occurrences are written as they are,
// further ones within the window are only counted, and when the window ends
// one summary line says how many there were; a message is forgotten (and
// written in full again) only after a whole window without it. While the
// fault lasts a summary
// follows every window, each window four times as long as the one before
// (30 s, 2 min, 8 min, then 15 min for good), so that a long outage costs a
// few lines an hour and the rotated files keep weeks of it. A recovery ends
// every window at once, so the next failure is written in full again. Not
// thread safe: one writer drives it.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class LogFolder {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kWindow{30};
  static constexpr std::chrono::seconds kMaxWindow{15 * 60};
  static constexpr int kWindowGrowth = 4;
  static constexpr int kBurst = 3;
  // Distinct messages followed at once; beyond, a new one is written unfolded.
  static constexpr size_t kMaxEntries = 64;

  struct Summary {
    const void* site;
    std::string_view text;
    uint64_t repeats;  // occurrences counted, not written
    std::chrono::milliseconds span;
  };

  // True when this occurrence of `text` from `site` is to be written. With
  // `any_text` a message is one by its site alone (its values change with
  // every occurrence, as a counter's do); the summary then shows the last.
  bool offer(const void* site, std::string_view text, Clock::time_point now, bool any_text = false);

  // Calls emit(const Summary&) for each window that has ended by `now` with
  // repeats counted; forgets messages whose whole window passed quietly.
  template <typename Emit>
  void expire(Clock::time_point now, Emit&& emit) {
    for (size_t i = 0; i < entries_.size();) {
      Entry& e = entries_[i];
      if (now - e.window_start < e.window) {
        ++i;
        continue;
      }
      if (e.seen == 0) {  // a whole window without it: the fault is over
        entries_.erase(entries_.begin() + static_cast<long>(i));
        continue;
      }
      e.seen = 0;
      if (e.folded == 0) {
        // Seen, but not yet more often than it is written in full: a
        // message that comes back every 20 s is still folded after its first
        // kBurst occurrences.
        e.window_start = now;
        ++i;
        continue;
      }
      emit(summary(e));
      // The fault goes on: the next, longer window only counts.
      e.window_start = now;
      e.window = std::min<Clock::duration>(e.window * kWindowGrowth, kMaxWindow);
      e.folded = 0;
      ++i;
    }
  }

  // A recovery (or the end of the process): the summary of every window
  // with repeats now, then a fresh start.
  template <typename Emit>
  void clear(Emit&& emit) {
    for (Entry& e : entries_)
      if (e.folded > 0) emit(summary(e));
    entries_.clear();
  }

  bool idle() const { return entries_.empty(); }

  // " [repeated 12 more times in 30 s]": what a summary line adds to the message.
  static std::string summaryText(const Summary& s);

 private:
  struct Entry {
    const void* site;
    std::string text;
    bool any_text;
    Clock::time_point window_start;
    Clock::time_point last;
    Clock::duration window;
    int written;
    uint64_t seen;  // occurrences in the current window
    uint64_t folded;
  };
  static Summary summary(const Entry& e) {
    return {e.site, e.text, e.folded,
            std::chrono::duration_cast<std::chrono::milliseconds>(e.last - e.window_start)};
  }

  std::vector<Entry> entries_;
};

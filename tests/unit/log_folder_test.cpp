// Folding of repeated log lines, driven by a clock of its own: an outage of
// an hour runs in milliseconds, at the rates a real one writes at.
#include "log_folder.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using Clock = LogFolder::Clock;
using std::chrono::seconds;

// One recurring message of an outage: its place in the code, its period.
struct Source {
  int site;
  seconds period;
  bool any_text = false;
};

struct Outage {
  std::vector<double> line_times;  // seconds since the start, each line written
  std::map<int, uint64_t> offered, written, folded;
};

// Offers every source's message at its period for `length`, as the logging
// thread does (expiring windows at every message and once a second), and
// records each line that reaches the file.
Outage simulate(const std::vector<Source>& sources, seconds length) {
  LogFolder folder;
  Outage run;
  const Clock::time_point t0{};
  std::vector<Clock::time_point> next(sources.size(), t0);
  auto emit = [&](Clock::time_point now) {
    return [&run, now, t0](const LogFolder::Summary& s) {
      run.line_times.push_back(std::chrono::duration<double>(now - t0).count());
      run.folded[*static_cast<const int*>(s.site)] += s.repeats;
    };
  };
  for (Clock::time_point now = t0; now < t0 + length; now += std::chrono::milliseconds(250)) {
    folder.expire(now, emit(now));
    for (size_t i = 0; i < sources.size(); ++i) {
      if (now < next[i]) continue;
      next[i] += sources[i].period;
      const Source& s = sources[i];
      ++run.offered[s.site];
      const std::string text = s.any_text ? "value " + std::to_string(run.offered[s.site])
                                          : "message " + std::to_string(s.site);
      if (folder.offer(&s.site, text, now, s.any_text)) {
        ++run.written[s.site];
        run.line_times.push_back(std::chrono::duration<double>(now - t0).count());
      }
    }
  }
  // The end of the process writes out what is pending.
  folder.clear(emit(t0 + length));
  return run;
}

size_t linesBetween(const Outage& r, double from_s, double to_s) {
  size_t n = 0;
  for (double t : r.line_times) n += t >= from_s && t < to_s;
  return n;
}

// A silent gateway as the service meets it: a failed request every 4 s
// (each function's error line, the reopen's four lines), the heartbeat
// thread's blocking line and its value every 4 s, the stderr-echo-free rest.
std::vector<Source> silentGateway(const std::vector<int>& sites) {
  std::vector<Source> out;
  const seconds periods[] = {seconds(8), seconds(8), seconds(28), seconds(14), seconds(4),
                             seconds(4), seconds(4), seconds(4),  seconds(4)};
  for (size_t i = 0; i < sites.size() && i < 9; ++i) out.push_back({sites[i], periods[i]});
  out.push_back({sites.back(), seconds(4), true});  // "Current heartbeat_word_ is  {}"
  return out;
}

}  // namespace

TEST(LogFolder, ALongOutageCostsAtMostTwoLinesAMinuteAfterItsFirstFiveMinutes) {
  static const std::vector<int> sites{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const auto sources = silentGateway(sites);
  const Outage r = simulate(sources, seconds(3600));

  const size_t first5 = linesBetween(r, 0, 300);
  const size_t min5to10 = linesBetween(r, 300, 600);
  const size_t min5to60 = linesBetween(r, 300, 3600);
  std::printf(
      "outage of %zu messages: %zu lines in minutes 0-5, %zu in 5-10 (%.2f a minute), "
      "%zu in 5-60 (%.2f a minute)\n",
      sources.size(), first5, min5to10, min5to10 / 5.0, min5to60, min5to60 / 55.0);
  EXPECT_LE(min5to10, 10u);
  EXPECT_LE(min5to60, 110u);

  for (const auto& s : sources) {
    // Every message's first occurrences are written as they are...
    EXPECT_GE(r.written.at(s.site), static_cast<uint64_t>(LogFolder::kBurst)) << s.site;
    // ...and nothing is lost: what is not written is counted in a summary.
    EXPECT_EQ(r.written.at(s.site) + r.folded.at(s.site), r.offered.at(s.site)) << s.site;
  }
}

TEST(LogFolder, WindowsGrowToFifteenMinutesAndARecoveryStartsAfresh) {
  LogFolder folder;
  static const int site = 0;
  Clock::time_point now{};
  std::vector<long> summaries_at;  // seconds
  std::vector<uint64_t> repeats;
  auto emit = [&](const LogFolder::Summary& s) {
    summaries_at.push_back(std::chrono::duration_cast<seconds>(now.time_since_epoch()).count());
    repeats.push_back(s.repeats);
  };
  for (int i = 0; i < 3600; ++i, now += seconds(1)) {
    folder.expire(now, emit);
    folder.offer(&site, "same", now);
  }
  // 30 s, then 2, 8 and 15 minutes: 30, 150, 630, 1530, 2430, 3330.
  EXPECT_EQ(summaries_at, (std::vector<long>{30, 150, 630, 1530, 2430, 3330}));
  EXPECT_EQ(repeats.front(), 27u);  // 30 offers, the first three written
  EXPECT_EQ(repeats.back(), 900u);

  // The recovery writes the pending window out; the next failure is a first one again.
  repeats.clear();
  folder.clear(emit);
  ASSERT_EQ(repeats.size(), 1u);
  EXPECT_GT(repeats[0], 0u);
  EXPECT_TRUE(folder.idle());
  EXPECT_TRUE(folder.offer(&site, "same", now));
}

TEST(LogFolder, AMessageWhoseValuesChangeIsOneMessageByItsPlace) {
  LogFolder folder;
  static const int counter_site = 0, other_site = 0;
  Clock::time_point now{};
  int written = 0;
  for (int i = 0; i < 10; ++i, now += seconds(1))
    written += folder.offer(&counter_site, "heartbeat " + std::to_string(i), now, true);
  EXPECT_EQ(written, LogFolder::kBurst);
  // Without any_text each value is a message of its own.
  int plain = 0;
  for (int i = 0; i < 10; ++i)
    plain += folder.offer(&other_site, "value " + std::to_string(i), now);
  EXPECT_EQ(plain, 10);

  std::string last;
  uint64_t folded = 0;
  folder.expire(now + seconds(31), [&](const LogFolder::Summary& s) {
    if (s.site == &counter_site) {
      last = std::string(s.text);
      folded = s.repeats;
    }
  });
  EXPECT_EQ(last, "heartbeat 9");  // the summary shows the latest value
  EXPECT_EQ(folded, 7u);
}

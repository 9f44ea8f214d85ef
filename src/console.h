#pragma once
// The service's console (standard output and error) as a courtesy that
// never holds the service up. The log file is the record; the console goes
// to a journal or a terminal that may stall (a journal that cannot keep up,
// a suspended terminal, a pipe nobody reads). So every line is queued, a
// thread of its own writes the queue out, and a full queue drops lines
// (counted, and said on the console once it moves again): no cycle, no
// stop, no report ever waits on the console.
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string_view>

class Console {
 public:
  // Bytes held for a console that does not read before lines are dropped.
  static constexpr size_t kMaxQueued = 256 * 1024;

  // Queues `text` for standard output (fd 1) or standard error (fd 2); never
  // blocks. Any thread, not in a signal handler.
  static void write(int fd, std::string_view text);
  // A stdio stream whose writes go through write(fd, ...), for code that
  // prints to a FILE* (the logging library's console sink, the trace printer).
  static std::FILE* stream(int fd);
  // Waits until what was queued before the call is written, at most
  // `timeout`; false when the console did not take it in time.
  static bool drain(std::chrono::milliseconds timeout);
  // Lines dropped so far for want of room.
  static size_t dropped();
};

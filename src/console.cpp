#include "console.h"

#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct Chunk {
  int fd;
  std::string text;
};

class Queue {
 public:
  void put(int fd, std::string_view text) {
    std::unique_lock<std::mutex> lk(mu_);
    startLocked();
    if (queued_ + text.size() > Console::kMaxQueued) {
      // Counted by line: a chunk carries one line or the end of one.
      ++dropped_;
      ++dropped_total_;
      return;
    }
    if (dropped_ > 0) {
      const std::string note = "[vemo_umx: " + std::to_string(dropped_) +
                               " console lines dropped: the console did not read them]\n";
      dropped_ = 0;
      chunks_.push_back({2, note});
      queued_ += note.size();
    }
    chunks_.push_back({fd, std::string(text)});
    queued_ += text.size();
    ++put_;
    cv_.notify_all();
  }

  bool drain(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(mu_);
    const uint64_t target = put_;
    return cv_.wait_for(lk, timeout, [&] { return written_ >= target; });
  }

  size_t dropped() {
    std::lock_guard<std::mutex> lk(mu_);
    return dropped_total_;
  }

 private:
  void startLocked() {
    if (started_) return;
    started_ = true;
    // Detached: it may sit in a write to a console that never reads for the
    // rest of the process, which must still end when it wants to.
    std::thread([this] { run(); }).detach();
  }

  void run() {
    pthread_setname_np(pthread_self(), "umx_console");
    std::unique_lock<std::mutex> lk(mu_);
    for (;;) {
      cv_.wait(lk, [&] { return !chunks_.empty(); });
      Chunk c = std::move(chunks_.front());
      chunks_.pop_front();
      lk.unlock();
      writeAll(c.fd, c.text);
      lk.lock();
      queued_ -= c.text.size();
      ++written_;
      cv_.notify_all();
    }
  }

  static void writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // a closed console: nothing to be done
      done += static_cast<size_t>(n);
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Chunk> chunks_;
  size_t queued_ = 0;
  size_t dropped_ = 0;  // since the last note
  size_t dropped_total_ = 0;
  uint64_t put_ = 0, written_ = 0;
  bool started_ = false;
};

// Never destroyed: threads may print while the process ends.
Queue& queue() {
  static Queue* q = new Queue;
  return *q;
}

ssize_t cookieWrite(void* cookie, const char* buf, size_t size) {
  queue().put(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), std::string_view(buf, size));
  return static_cast<ssize_t>(size);
}

std::FILE* open(int fd) {
  cookie_io_functions_t io{};
  io.write = cookieWrite;
  std::FILE* f = fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), "w", io);
  // Line by line: a line reaches the queue whole, and at once.
  if (f) setvbuf(f, nullptr, _IOLBF, 4096);
  return f ? f : (fd == 2 ? stderr : stdout);
}

}  // namespace

void Console::write(int fd, std::string_view text) {
  queue().put(fd, text);
}

std::FILE* Console::stream(int fd) {
  static std::FILE* out = open(1);
  static std::FILE* err = open(2);
  return fd == 2 ? err : out;
}

bool Console::drain(std::chrono::milliseconds timeout) {
  return queue().drain(timeout);
}

size_t Console::dropped() {
  return queue().dropped();
}

#pragma once
// A child process with its standard streams captured line by line, for tests
// that drive the real programs. Every wait takes a deadline.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vt {

using Ms = std::chrono::milliseconds;

struct ProcessOptions {
  std::vector<std::pair<std::string, std::string>> env;  // set in the child
  std::vector<std::string> unset_env;                    // removed in the child
  std::string cwd;                                       // empty: inherit
  int output_fd = -1;  // set: the child's standard output and error go there, uncaptured
};

enum class Stream { Out, Err };

class Process {
 public:
  explicit Process(std::vector<std::string> argv, ProcessOptions options = {});
  ~Process();  // SIGKILL to it and everything it started, if still running; reaped
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  void send(const std::string& line);  // line plus '\n' to standard input
  void closeStdin();
  void signal(int sig);
  // Waits for the process to end; false on timeout. `status` gets waitpid's status.
  bool waitExit(Ms timeout, int* status = nullptr);
  // SIGTERM, then SIGKILL after `grace`.
  void stop(Ms grace = Ms(2000));

  // Line-oriented views of what the child printed so far.
  size_t lineCount(Stream s = Stream::Out) const;
  std::vector<std::string> lines(Stream s = Stream::Out) const;
  std::string line(size_t i, Stream s = Stream::Out) const;  // "" past the end
  std::vector<std::string> linesFrom(size_t from, Stream s = Stream::Out) const;
  std::string allText(Stream s = Stream::Out) const;
  size_t countContaining(const std::string& needle, Stream s = Stream::Out) const;

  // Waits for a line at index >= from that satisfies pred; returns its index or -1.
  long waitLine(const std::function<bool(const std::string&)>& pred, Ms timeout, size_t from = 0,
                Stream s = Stream::Out);
  // Convenience: a line containing needle.
  bool waitFor(const std::string& needle, Ms timeout, size_t from = 0, Stream s = Stream::Out);
  // Sends cmd and returns the first new line on stdout that starts with prefix
  // (empty prefix: any new line); "" on timeout.
  std::string query(const std::string& cmd, const std::string& prefix = "", Ms timeout = Ms(3000));

 private:
  void reader(int fd, Stream s);
  void killTree();
  bool reap(int options, int* status);

  pid_t pid_ = -1;
  int in_fd_ = -1;
  bool exited_ = false;
  int exit_status_ = 0;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> out_, err_;
  std::string out_partial_, err_partial_;
  int streams_closed_ = 0;  // standard output and error at their end
  std::thread out_thread_, err_thread_;
};

}  // namespace vt

#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace vt {

Process::Process(std::vector<std::string> argv, ProcessOptions options) {
  // A child that died must fail the test through what it printed, not end the
  // test program with SIGPIPE on the next send().
  static const bool sigpipe_ignored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)sigpipe_ignored;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(options.output_fd >= 0 ? options.output_fd : out[1], 1);
    dup2(options.output_fd >= 0 ? options.output_fd : err[1], 2);
    // Children die with the test program, whatever ends it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (auto& kv : options.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    for (auto& k : options.unset_env) unsetenv(k.c_str());
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    ::signal(SIGPIPE, SIG_DFL);
    std::vector<char*> av;
    for (auto& a : argv) av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    execvp(av[0], av.data());
    dprintf(2, "exec %s failed: %s\n", av[0], strerror(errno));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_fd_ = in[1];
  out_thread_ = std::thread(&Process::reader, this, out[0], Stream::Out);
  err_thread_ = std::thread(&Process::reader, this, err[0], Stream::Err);
}

namespace {

// `pid` and every process below it, parents before their children.
void collectTree(pid_t pid, std::vector<pid_t>& out) {
  out.push_back(pid);
  std::error_code ec;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (std::filesystem::directory_iterator it(tasks, ec), end; !ec && it != end; it.increment(ec)) {
    std::ifstream children(it->path().string() + "/children");
    for (pid_t c; children >> c;) collectTree(c, out);
  }
}

}  // namespace

void Process::killTree() {
  // A child's own children (nsenter's command in a container, a shell's)
  // hold the output pipes too: all of them go, or the readers never end.
  std::vector<pid_t> tree;
  collectTree(pid_, tree);
  for (pid_t p : tree) ::kill(p, SIGSTOP);  // none forks away meanwhile
  for (pid_t p : tree) ::kill(p, SIGKILL);
}

Process::~Process() {
  if (!exited_) {
    killTree();
    reap(0, nullptr);
  }
  if (in_fd_ >= 0) close(in_fd_);
  if (out_thread_.joinable()) out_thread_.join();
  if (err_thread_.joinable()) err_thread_.join();
}

void Process::reader(int fd, Stream s) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> lk(mu_);
    auto& partial = s == Stream::Out ? out_partial_ : err_partial_;
    auto& lines = s == Stream::Out ? out_ : err_;
    if (n <= 0) {
      if (!partial.empty()) lines.push_back(std::move(partial));
      partial.clear();
      ++streams_closed_;
      cv_.notify_all();
      break;
    }
    partial.append(buf, n);
    size_t pos;
    while ((pos = partial.find('\n')) != std::string::npos) {
      lines.push_back(partial.substr(0, pos));
      partial.erase(0, pos + 1);
    }
    cv_.notify_all();
  }
  close(fd);
}

bool Process::reap(int options, int* status) {
  if (exited_) {
    if (status) *status = exit_status_;
    return true;
  }
  int st = 0;
  pid_t r;
  do r = waitpid(pid_, &st, options);
  while (r < 0 && errno == EINTR);
  if (r == pid_) {
    exited_ = true;
    exit_status_ = st;
    if (status) *status = st;
    return true;
  }
  return false;
}

bool Process::running() {
  return !reap(WNOHANG, nullptr);
}

void Process::send(const std::string& line) {
  std::string l = line + "\n";
  const char* p = l.data();
  size_t left = l.size();
  while (left > 0) {
    ssize_t n = write(in_fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= n;
  }
}

void Process::closeStdin() {
  if (in_fd_ >= 0) close(in_fd_);
  in_fd_ = -1;
}

void Process::signal(int sig) {
  if (!exited_) ::kill(pid_, sig);
}

bool Process::waitExit(Ms timeout, int* status) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (reap(WNOHANG, status)) break;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(Ms(5));
  }
  // What the child wrote just before it ended may still be in the pipes:
  // its last lines belong to the test too. Bounded, since a process the
  // child left behind may hold them open.
  std::unique_lock<std::mutex> lk(mu_);
  cv_.wait_for(lk, Ms(2000), [this] { return streams_closed_ == 2; });
  return true;
}

void Process::stop(Ms grace) {
  if (exited_) return;
  signal(SIGTERM);
  if (!waitExit(grace)) {
    signal(SIGKILL);
    reap(0, nullptr);
  }
}

size_t Process::lineCount(Stream s) const {
  std::lock_guard<std::mutex> lk(mu_);
  return s == Stream::Out ? out_.size() : err_.size();
}

std::vector<std::string> Process::lines(Stream s) const {
  std::lock_guard<std::mutex> lk(mu_);
  return s == Stream::Out ? out_ : err_;
}

std::string Process::line(size_t i, Stream s) const {
  std::lock_guard<std::mutex> lk(mu_);
  const auto& v = s == Stream::Out ? out_ : err_;
  return i < v.size() ? v[i] : std::string();
}

std::vector<std::string> Process::linesFrom(size_t from, Stream s) const {
  std::lock_guard<std::mutex> lk(mu_);
  const auto& v = s == Stream::Out ? out_ : err_;
  return from < v.size() ? std::vector<std::string>(v.begin() + static_cast<long>(from), v.end())
                         : std::vector<std::string>();
}

std::string Process::allText(Stream s) const {
  std::string t;
  for (auto& l : lines(s)) t += l + "\n";
  return t;
}

size_t Process::countContaining(const std::string& needle, Stream s) const {
  size_t n = 0;
  for (auto& l : lines(s))
    if (l.find(needle) != std::string::npos) ++n;
  return n;
}

long Process::waitLine(const std::function<bool(const std::string&)>& pred, Ms timeout, size_t from,
                       Stream s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lk(mu_);
  size_t i = from;
  for (;;) {
    auto& lines = s == Stream::Out ? out_ : err_;
    for (; i < lines.size(); ++i)
      if (pred(lines[i])) return static_cast<long>(i);
    if (cv_.wait_until(lk, deadline) == std::cv_status::timeout) {
      auto& again = s == Stream::Out ? out_ : err_;
      for (; i < again.size(); ++i)
        if (pred(again[i])) return static_cast<long>(i);
      return -1;
    }
  }
}

bool Process::waitFor(const std::string& needle, Ms timeout, size_t from, Stream s) {
  return waitLine([&](const std::string& l) { return l.find(needle) != std::string::npos; },
                  timeout, from, s) >= 0;
}

std::string Process::query(const std::string& cmd, const std::string& prefix, Ms timeout) {
  size_t from = lineCount(Stream::Out);
  send(cmd);
  long i = waitLine([&](const std::string& l) { return l.compare(0, prefix.size(), prefix) == 0; },
                    timeout, from);
  if (i < 0) return "";
  std::lock_guard<std::mutex> lk(mu_);
  return out_[i];
}

}  // namespace vt

#include "test_env.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace vt {

std::string bin(const std::string& name) {
  return std::string(VEMO_BIN_DIR) + "/" + name;
}
std::string sourceDir() {
  return VEMO_SOURCE_DIR;
}
std::string breakpadTool(const std::string& name) {
  return std::string(VEMO_BREAKPAD_TOOLS_DIR) + "/" + name;
}

TempDir::TempDir(const std::string& tag) {
  std::string tmpl = "/tmp/" + tag + "-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

bool waitUntil(const std::function<bool()>& pred, Ms timeout, Ms poll) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(poll);
  }
}

SocatPty::SocatPty(const std::string& dir) : a_(dir + "/ttyA"), b_(dir + "/ttyB") {
  start();
}

SocatPty::~SocatPty() {
  down();
}

void SocatPty::start() {
  socat_ = std::make_unique<Process>(std::vector<std::string>{
      "socat", "-d", "-d", "pty,raw,echo=0,link=" + a_, "pty,raw,echo=0,link=" + b_});
  // socat reports "starting data transfer loop" once both ends exist.
  if (!socat_->waitFor("starting data transfer loop", Ms(5000), 0, Stream::Err) || !up())
    throw std::runtime_error("socat pty pair did not come up");
}

bool SocatPty::up() const {
  return fileExists(a_) && fileExists(b_);
}

void SocatPty::down() {
  if (!socat_) return;
  socat_->stop(Ms(2000));
  socat_.reset();
  waitUntil([&] { return !fileExists(a_) && !fileExists(b_); }, Ms(2000));
}

void SocatPty::upAgain() {
  down();
  start();
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool mainThreadIdle(pid_t pid) {
  const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
  std::istringstream syscall_line(readFile(task + "/syscall"));
  long nr = -1;
  if (syscall_line >> nr) return nr == SYS_clock_nanosleep || nr == SYS_nanosleep;
  return readFile(task + "/wchan").find("nanosleep") != std::string::npos;
}

bool catchesSignal(pid_t pid, int sig) {
  std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind("SigCgt:", 0) == 0)
      return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1ULL;
  return false;
}

}  // namespace vt

#include "container.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "test_env.h"

namespace fs = std::filesystem;

namespace vt {

namespace {

const char kPath[] = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  for (std::string d; std::getline(dirs, d, ':');)
    if (!d.empty() && ::access((d + "/" + program).c_str(), X_OK) == 0) return true;
  return false;
}

std::vector<pid_t> children(pid_t pid) {
  std::vector<pid_t> out;
  std::istringstream in(
      readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
  for (pid_t c; in >> c;) out.push_back(c);
  return out;
}

std::string comm(pid_t pid) {
  std::string c = readFile("/proc/" + std::to_string(pid) + "/comm");
  while (!c.empty() && c.back() == '\n') c.pop_back();
  return c;
}

}  // namespace

std::string Container::tree() {
  const char* cache = std::getenv("VEMO_CACHE");
  const std::string dir = std::string(cache ? cache : "/var/cache/vemo_umx-deps") + "/container";
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("bookworm-", 0) == 0 && name.find(".tmp") == std::string::npos &&
        fileExists(it->path().string() + "/.complete"))
      return it->path().string();
  }
  return "";
}

std::string Container::unavailable() {
  if (::geteuid() != 0) return "booting a container needs root";
  for (const char* tool : {"systemd-nspawn", "nsenter"})
    if (!onPath(tool)) return std::string(tool) + " is not installed";
  if (tree().empty()) return "no container tree (scripts/bootstrap prepares it)";
  return "";
}

Container::Container() {
  const std::string why = unavailable();
  if (!why.empty()) throw std::runtime_error(why);
  // Under an overlay on a read-only tree: a run leaves nothing behind.
  nspawn_ = std::make_unique<Process>(std::vector<std::string>{
      "systemd-nspawn", "--register=no", "--keep-unit", "--quiet", "--volatile=overlay",
      "--machine=vemo-cell-" + std::to_string(::getpid()), "-D", tree(), "--boot"});
  // The container's PID 1: nspawn's child, or its child's, depending on what
  // nspawn had to set up. Not a child systemd forked on its way to an exec.
  auto isInit = [](pid_t pid) {
    if (comm(pid) != "systemd") return false;
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
      if (line.rfind("NSpid:", 0) == 0)
        return line.size() >= 2 && line.substr(line.size() - 2) == "\t1";
    return false;
  };
  const bool found = waitUntil(
      [&] {
        for (pid_t c : children(nspawn_->pid())) {
          std::vector<pid_t> candidates{c};
          for (pid_t g : children(c)) candidates.push_back(g);
          for (pid_t p : candidates)
            if (isInit(p)) {
              init_ = p;
              return true;
            }
        }
        return !nspawn_->running();
      },
      Ms(30000), Ms(50));
  if (!found || init_ < 0)
    throw std::runtime_error("the container did not boot:\n" + nspawn_->allText());
  // Until systemd has its bus up, systemctl cannot even ask.
  Result boot;
  const bool settled = waitUntil(
      [&] {
        boot = exec("systemctl is-system-running", Ms(10000));
        return boot.out.rfind("running", 0) == 0 || boot.out.rfind("degraded", 0) == 0;
      },
      Ms(60000), Ms(200));
  if (!settled)
    throw std::runtime_error("the container's boot did not settle: " + boot.out +
                             exec("systemctl --failed --no-legend").out);
}

Container::~Container() {
  if (!nspawn_) return;
  // SIGTERM asks systemd to power off; a container that hangs is killed.
  nspawn_->signal(SIGTERM);
  if (!nspawn_->waitExit(Ms(20000))) {
    nspawn_->signal(SIGKILL);
    nspawn_->waitExit(Ms(5000));
  }
}

std::vector<std::string> Container::enter() const {
  return {"nsenter", "-t", std::to_string(init_), "-a", "--", "env", "-i", kPath, "LANG=C.UTF-8"};
}

Container::Result Container::exec(const std::string& command, Ms timeout) {
  auto argv = enter();
  for (const char* a : {"sh", "-c"}) argv.push_back(a);
  argv.push_back(command + " 2>&1");
  Process p(argv);
  Result r;
  int st = 0;
  if (p.waitExit(timeout, &st)) r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = p.allText();
  return r;
}

std::unique_ptr<Process> Container::spawn(const std::vector<std::string>& argv) {
  auto all = enter();
  all.insert(all.end(), argv.begin(), argv.end());
  return std::make_unique<Process>(all);
}

std::string Container::hostPath(const std::string& path) const {
  return "/proc/" + std::to_string(init_) + "/root" + path;
}

void Container::copyIn(const std::string& host_file, const std::string& path) {
  const fs::path to = hostPath(path);
  fs::create_directories(to.parent_path());
  fs::copy_file(host_file, to, fs::copy_options::overwrite_existing);
}

}  // namespace vt

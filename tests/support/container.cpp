#include "container.h"

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

std::string errnoText() {
  return std::strerror(errno);
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
  // The overlay is mounted in a mount namespace of this test process's own,
  // so it goes with the process whatever happens.
  static const bool private_mounts =
      ::unshare(CLONE_NEWNS) == 0 &&
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  if (!private_mounts) throw std::runtime_error("no private mount namespace: " + errnoText());
  char dir[] = "/tmp/vemo-ct-XXXXXX";
  if (!::mkdtemp(dir)) throw std::runtime_error("mkdtemp: " + errnoText());
  overlay_ = dir;
  if (::mount("tmpfs", dir, "tmpfs", 0, "mode=0755") != 0)
    throw std::runtime_error("tmpfs: " + errnoText());
  for (const char* d : {"/upper", "/work", "/root"}) fs::create_directory(overlay_ + d);
  const std::string options =
      "lowerdir=" + tree() + ",upperdir=" + overlay_ + "/upper,workdir=" + overlay_ + "/work";
  if (::mount("overlay", (overlay_ + "/root").c_str(), "overlay", 0, options.c_str()) != 0)
    throw std::runtime_error("overlay: " + errnoText());
  boot();
  std::string last;
  if (!waitSettled(Ms(60000), &last))
    throw std::runtime_error("the container's boot did not settle: " + last +
                             exec("systemctl --failed --no-legend").out);
}

void Container::boot() {
  nspawn_ = std::make_unique<Process>(std::vector<std::string>{
      "systemd-nspawn", "--register=no", "--keep-unit", "--quiet",
      "--machine=vemo-cell-" + std::to_string(::getpid()), "-D", overlay_ + "/root", "--boot"});
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
  init_ = -1;
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
}

bool Container::waitSettled(Ms timeout, std::string* last) {
  // Until systemd has its bus up, systemctl cannot even ask.
  Result r;
  const bool settled = waitUntil(
      [&] {
        r = exec("systemctl is-system-running", Ms(10000));
        return r.out.rfind("running", 0) == 0 || r.out.rfind("degraded", 0) == 0;
      },
      timeout, Ms(200));
  if (last) *last = r.out;
  return settled;
}

void Container::powerOff() {
  if (!nspawn_) return;
  // SIGTERM asks systemd to power off; a container that hangs is killed.
  nspawn_->signal(SIGTERM);
  if (!nspawn_->waitExit(Ms(20000))) {
    nspawn_->signal(SIGKILL);
    nspawn_->waitExit(Ms(5000));
  }
  nspawn_.reset();
}

void Container::reboot() {
  powerOff();
  boot();
}

Container::~Container() {
  powerOff();
  if (overlay_.empty()) return;
  ::umount2((overlay_ + "/root").c_str(), MNT_DETACH);
  ::umount2(overlay_.c_str(), MNT_DETACH);
  ::rmdir(overlay_.c_str());
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

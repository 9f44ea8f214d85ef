// The service under a real systemd, in a booted Debian 12 container: the
// package installed as on a controller, the whole cell running inside
// (controller simulator, serial line, gateway simulator), and systemd doing
// what only it can prove: READY and STATUS, the watchdog killing a hung
// bridge and starting it again, a crash restarted.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <regex>

#include "cell.h"
#include "container.h"
#include "sanitized.h"
#include "test_env.h"

namespace fs = std::filesystem;
using vt::Ms;

namespace {

const std::string kWorkspace = "/var/lib/vemo-cell/ws/";
const std::string kCrashDir = kWorkspace + "log/.crash/vemo_umx/";

// Host commands with their output in a file (cpack, dpkg-deb).
int runOnHost(const vt::TempDir& dir, const std::vector<std::string>& argv, std::string* out) {
  static int runs = 0;
  const std::string log = dir / ("host" + std::to_string(++runs) + ".out");
  std::vector<std::string> sh{"sh", "-c", "out=$1; shift; exec \"$@\" >\"$out\" 2>&1", "sh", log};
  sh.insert(sh.end(), argv.begin(), argv.end());
  vt::Process p(sh);
  int st = 0;
  const bool ended = p.waitExit(Ms(180000), &st);
  *out = vt::readFile(log);
  return ended && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::vector<std::string> filesMatching(const std::string& dir, const std::regex& name) {
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (std::regex_match(it->path().filename().string(), name)) out.push_back(it->path().string());
  std::sort(out.begin(), out.end());
  return out;
}

class SystemdCell : public ::testing::Test {
 protected:
  void SetUp() override {
    if (vt::kSanitizedBuild) GTEST_SKIP() << "the packages of a sanitizer build do not run there";
    const std::string why = vt::Container::unavailable();
    if (!why.empty()) GTEST_SKIP() << "no container: " << why;
    std::string out;
    ASSERT_EQ(runOnHost(tmp_,
                        {VEMO_CPACK, "--config", std::string(VEMO_BUILD_DIR) + "/CPackConfig.cmake",
                         "-B", tmp_.path()},
                        &out),
              0)
        << out;
    debs_ = filesMatching(tmp_.path(), std::regex(R"(vemo-umx_.*\.deb)"));
    ASSERT_EQ(debs_.size(), 1u) << out;
    ct_ = std::make_unique<vt::Container>();
  }

  vt::Container::Result exec(const std::string& command, Ms timeout = Ms(60000)) {
    auto r = ct_->exec(command, timeout);
    return r;
  }
  std::string show(const std::string& property) {
    auto r = exec("systemctl show -p " + property + " --value vemo_umx");
    while (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();
    return r.out;
  }

  // The maker's SDK (played by the stand-in) where a controller has it, then
  // the service package, installed the way an integrator does.
  void installService() {
    const std::string lib = std::string(VEMO_BUILD_DIR) + "/lib/libvemo_sdk.so.1.0.0";
    ct_->copyIn(lib, "/usr/lib/x86_64-linux-gnu/libvemo_sdk.so.1.0.0");
    ASSERT_EQ(exec("ln -sf libvemo_sdk.so.1.0.0 /usr/lib/x86_64-linux-gnu/libvemo_sdk.so.1 && "
                   "ldconfig")
                  .status,
              0);
    for (auto& d : debs_) ct_->copyIn(d, "/root/debs/" + fs::path(d).filename().string());
    // dpkg: the tree holds every dependency and has no package lists.
    auto r = exec("dpkg -i /root/debs/vemo-umx_*.deb", Ms(120000));
    ASSERT_EQ(r.status, 0) << r.out;
  }

  // The cell inside the container: a socat pty pair and the gateway
  // simulator on its far end, then the controller simulator.
  void startCell() {
    startLine();
    startRobot();
  }
  void startLine() {
    for (const char* sim : {"vemo_robot_sim", "vemo_gateway_sim"})
      ct_->copyIn(vt::bin(sim), std::string("/usr/local/bin/") + sim);
    ASSERT_EQ(exec("chmod 755 /usr/local/bin/vemo_* && mkdir -p /run/vemo-cell").status, 0);
    line_ = ct_->spawn(
        {"socat", "pty,raw,echo=0,link=/run/vemo-cell/a", "pty,raw,echo=0,link=/run/vemo-cell/b"});
    ASSERT_TRUE(vt::waitUntil([&] { return vt::fileExists(ct_->hostPath("/run/vemo-cell/b")); },
                              Ms(10000)));
    gateway_ = ct_->spawn({"vemo_gateway_sim", "--rtu", "/run/vemo-cell/b"});
    ASSERT_TRUE(gateway_->waitFor("ready", Ms(10000))) << gateway_->allText(vt::Stream::Err);
  }
  // The controller, answering the first call of each of `late` that late.
  void startRobot(const std::vector<std::string>& late = {}, int late_ms = 0) {
    robot_ = ct_->spawn({"vemo_robot_sim"});
    ASSERT_TRUE(robot_->waitFor("ready", Ms(10000))) << robot_->allText(vt::Stream::Err);
    for (const auto& method : late) {
      const std::string cmd = "hold " + method + " " + std::to_string(late_ms);
      ASSERT_EQ(robot_->query(cmd, "ok"), "ok " + cmd);
    }
  }

  // The integrator's part: workspace, configuration, a drop-in.
  void configure(const std::string& drop_in) {
    fs::create_directories(ct_->hostPath(kWorkspace + "config"));
    vt::writeFile(ct_->hostPath(kWorkspace + "config/vemo_umx.conf"),
                  "portName = \"/run/vemo-cell/a\";\n" + vt::configText({{"portName", ""}}));
    vt::writeFile(ct_->hostPath("/etc/default/vemo_umx"),
                  "VEMO_UMX_WORKSPACE=" + kWorkspace + "\n");
    // The cell's serial line is a pseudo terminal, which no controller's
    // unit allows: the tests' own drop-in does.
    fs::create_directories(ct_->hostPath("/etc/systemd/system/vemo_umx.service.d"));
    vt::writeFile(ct_->hostPath("/etc/systemd/system/vemo_umx.service.d/test.conf"),
                  "[Service]\nDeviceAllow=char-pts rw\n" + drop_in);
    ASSERT_EQ(exec("systemctl daemon-reload").status, 0);
  }
  // ... then enable and start, as the README says.
  void configureAndStart(const std::string& drop_in) {
    configure(drop_in);
    ASSERT_FALSE(HasFailure());
    auto r = exec("systemctl enable --now vemo_umx", Ms(60000));
    ASSERT_EQ(r.status, 0) << r.out << exec("journalctl -u vemo_umx --no-pager | tail -30").out;
  }

  long heartbeat() {
    const std::string v = gateway_->query("get hr 57 1");
    return v.empty() || v.find_first_not_of("0123456789") != std::string::npos ? -1 : std::stol(v);
  }
  bool heartbeatAdvances(Ms timeout) {
    const long first = heartbeat();
    return vt::waitUntil([&] { return heartbeat() != first && heartbeat() > 0; }, timeout, Ms(200));
  }
  bool journalHas(const std::string& needle, Ms timeout) {
    return vt::waitUntil(
        [&] {
          return exec("journalctl -u vemo_umx --no-pager").out.find(needle) != std::string::npos;
        },
        timeout, Ms(300));
  }
  size_t crashFiles(const std::regex& name) {
    return filesMatching(ct_->hostPath(kCrashDir), name).size();
  }

  vt::TempDir tmp_{"vemo-systemd"};
  std::vector<std::string> debs_;
  // Processes inside the container end with it: it goes first.
  std::unique_ptr<vt::Process> line_, gateway_, robot_;
  std::unique_ptr<vt::Container> ct_;
};

const std::regex kDump(R"(.*\.dmp)");
const std::regex kTrace(R"(vemo_umx_\d{14})");

}  // namespace

TEST_F(SystemdCell, WatchdogRestartsAHungBridgeAndACrashIsRestarted) {
  installService();
  startCell();
  ASSERT_FALSE(HasFailure());
  // The serial device as udev rules often leave it: another user's and
  // group's, mode 0660. Root opens it with the one capability the unit keeps.
  auto own = exec(
      "chown 4711:4712 \"$(readlink -f /run/vemo-cell/a)\" && "
      "chmod 0660 \"$(readlink -f /run/vemo-cell/a)\" && "
      "stat -L -c '%u:%g %a' /run/vemo-cell/a");
  ASSERT_EQ(own.out, "4711:4712 660\n") << own.out;
  configureAndStart("WatchdogSec=3\nRestartSec=1\n");
  ASSERT_FALSE(HasFailure());

  // The unit's sandboxing, as systemd itself rates it.
  const std::string security = exec("systemd-analyze security vemo_umx.service --no-pager").out;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      security, m, std::regex(R"(Overall exposure level for vemo_umx\.service: ([0-9.]+))")))
      << security;
  std::printf("systemd-analyze security: exposure %s\n", m[1].str().c_str());
  EXPECT_LE(std::stod(m[1].str()), 2.5) << security;

  // Started means ready: the exchange cycle runs, and the status says how.
  EXPECT_EQ(show("ActiveState"), "active");
  EXPECT_EQ(show("SubState"), "running");
  EXPECT_EQ(show("WatchdogUSec"), "3s");
  ASSERT_TRUE(
      vt::waitUntil([&] { return show("StatusText").rfind("running: cycle ", 0) == 0; }, Ms(10000)))
      << show("StatusText");
  EXPECT_NE(
      show("StatusText").find(", gateway answering, robot mode 3 (PowerOff), status stream live"),
      std::string::npos)
      << show("StatusText");
  EXPECT_NE(exec("systemctl status vemo_umx --no-pager").out.find("Status: \"running: cycle "),
            std::string::npos);
  ASSERT_TRUE(heartbeatAdvances(Ms(10000)));

  // A controller call that does not come back holds the exchange loop longer
  // than the watchdog allows: systemd kills the bridge (SIGABRT, so a crash
  // report is left) and starts it again; the cell comes back by itself.
  const std::string first_pid = show("MainPID");
  EXPECT_EQ(robot_->query("hold getOperationalMode 15000", "ok"),
            "ok hold getOperationalMode 15000");
  ASSERT_TRUE(journalHas("Watchdog timeout", Ms(20000)))
      << exec("journalctl -u vemo_umx --no-pager").out;
  EXPECT_TRUE(journalHas("Failed with result 'watchdog'", Ms(15000)));
  EXPECT_TRUE(vt::waitUntil([&] { return show("NRestarts") == "1"; }, Ms(20000)))
      << show("NRestarts");
  EXPECT_TRUE(vt::waitUntil([&] { return show("ActiveState") == "active"; }, Ms(30000)));
  EXPECT_NE(show("MainPID"), first_pid);
  EXPECT_EQ(crashFiles(kDump), 1u);
  EXPECT_EQ(crashFiles(kTrace), 1u);
  EXPECT_TRUE(heartbeatAdvances(Ms(20000)));

  // A fatal signal: the report is written, and systemd restarts the service.
  ASSERT_EQ(exec("systemctl kill --kill-who=main -s SIGSEGV vemo_umx").status, 0);
  EXPECT_TRUE(vt::waitUntil([&] { return show("NRestarts") == "2"; }, Ms(20000)))
      << show("NRestarts");
  EXPECT_TRUE(vt::waitUntil([&] { return show("ActiveState") == "active"; }, Ms(30000)));
  EXPECT_EQ(crashFiles(kDump), 2u);
  EXPECT_EQ(crashFiles(kTrace), 2u);
  EXPECT_TRUE(heartbeatAdvances(Ms(20000)));
}

// The package's life on a controller, checked with systemd and the file
// system: installed (neither enabled nor started), started by the integrator,
// upgraded (left running and enabled until restarted; the integrator's files
// kept), removed (stopped, its files gone) and purged (its conffile gone);
// the workspace with configuration and logs survives all of it.
TEST_F(SystemdCell, PackageLifeCycleKeepsWhatTheIntegratorMade) {
  installService();
  startCell();
  EXPECT_EQ(exec("systemctl is-enabled vemo_umx").out, "disabled\n");
  EXPECT_EQ(exec("systemctl is-active vemo_umx").out, "inactive\n");
  configureAndStart("");
  ASSERT_FALSE(HasFailure());
  EXPECT_EQ(show("ActiveState"), "active");
  const std::string defaults = vt::readFile(ct_->hostPath("/etc/default/vemo_umx"));
  const std::string config = vt::readFile(ct_->hostPath(kWorkspace + "config/vemo_umx.conf"));
  ASSERT_TRUE(heartbeatAdvances(Ms(10000)));

  // A higher version of the same package.
  std::string out;
  const std::string tree = tmp_ / "upgrade";
  ASSERT_EQ(runOnHost(tmp_, {"dpkg-deb", "-R", debs_[0], tree}, &out), 0) << out;
  ASSERT_EQ(
      runOnHost(tmp_, {"sed", "-i", "s/^Version: .*/Version: 99.0.0/", tree + "/DEBIAN/control"},
                &out),
      0);
  const std::string newer = tmp_ / "vemo-umx_99.0.0_amd64.deb";
  ASSERT_EQ(runOnHost(tmp_, {"dpkg-deb", "--root-owner-group", "-b", tree, newer}, &out), 0) << out;
  ct_->copyIn(newer, "/root/newer.deb");
  const std::string pid = show("MainPID");
  auto r = exec("dpkg -i /root/newer.deb", Ms(120000));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(exec("dpkg-query -W -f='${Version}' vemo-umx").out, "99.0.0\n");
  EXPECT_EQ(show("MainPID"), pid) << "an upgrade leaves the running service as it is";
  EXPECT_EQ(exec("systemctl is-enabled vemo_umx").out, "enabled\n");
  EXPECT_EQ(vt::readFile(ct_->hostPath("/etc/default/vemo_umx")), defaults);
  EXPECT_EQ(vt::readFile(ct_->hostPath(kWorkspace + "config/vemo_umx.conf")), config);
  ASSERT_EQ(exec("systemctl restart vemo_umx", Ms(60000)).status, 0);
  EXPECT_NE(show("MainPID"), pid);
  EXPECT_TRUE(heartbeatAdvances(Ms(15000)));

  // Removed: stopped, its files gone, the integrator's settings still there.
  r = exec("dpkg -r vemo-umx", Ms(120000));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(exec("systemctl is-active vemo_umx").out, "inactive\n");
  EXPECT_FALSE(vt::fileExists(ct_->hostPath("/usr/bin/vemo_umx")));
  EXPECT_FALSE(vt::fileExists(ct_->hostPath("/lib/systemd/system/vemo_umx.service")));
  EXPECT_EQ(vt::readFile(ct_->hostPath("/etc/default/vemo_umx")), defaults);

  // Purged: what the package made goes, the workspace never.
  r = exec("dpkg -P vemo-umx", Ms(120000));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(vt::fileExists(ct_->hostPath("/etc/default/vemo_umx")));
  EXPECT_NE(exec("systemctl is-enabled vemo_umx").status, 0);
  EXPECT_EQ(vt::readFile(ct_->hostPath(kWorkspace + "config/vemo_umx.conf")), config);
  EXPECT_TRUE(vt::fileExists(ct_->hostPath(kWorkspace + "log/umx/vemo_umx.log")));
}

// A controller computer boots with the bridge enabled and the controller
// software not (yet) running: the boot completes, `systemctl restart`
// returns at once, the status says what the bridge waits for, and the
// controller coming up later is taken as it comes, without a restart.
TEST_F(SystemdCell, BootAndRestartNeverWaitForTheController) {
  installService();
  ASSERT_FALSE(HasFailure());
  configure("");
  ASSERT_FALSE(HasFailure());
  ASSERT_EQ(exec("systemctl enable vemo_umx").status, 0);

  const auto booted_at = std::chrono::steady_clock::now();
  ct_->reboot();
  std::string state;
  ASSERT_TRUE(ct_->waitSettled(Ms(60000), &state))
      << state << exec("systemctl list-jobs --no-pager").out;
  const auto boot_ms = std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - booted_at);
  while (!state.empty() && state.back() == '\n') state.pop_back();
  std::printf("boot with the bridge enabled and no controller: %s after %lld ms\n", state.c_str(),
              static_cast<long long>(boot_ms.count()));
  EXPECT_EQ(show("ActiveState"), "active");
  EXPECT_TRUE(vt::waitUntil(
      [&] { return show("StatusText") == "waiting for the robot controller: RPC 127.0.0.1:30004"; },
      Ms(10000)))
      << show("StatusText");

  const auto restart_at = std::chrono::steady_clock::now();
  auto r = exec("systemctl restart vemo_umx", Ms(30000));
  const auto restart_ms =
      std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - restart_at);
  std::printf("systemctl restart without a controller: %lld ms\n",
              static_cast<long long>(restart_ms.count()));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_LT(restart_ms.count(), 5000);
  std::string status;
  EXPECT_TRUE(vt::waitUntil(
      [&] {
        status = exec("systemctl status vemo_umx --no-pager").out;
        return status.find("Status: \"waiting for the robot controller: RPC 127.0.0.1:30004\"") !=
               std::string::npos;
      },
      Ms(3000)))
      << status;

  // The controller software comes up after the bridge: the cycle starts.
  const std::string pid = show("MainPID");
  startLine();
  startRobot();
  ASSERT_FALSE(HasFailure());
  EXPECT_TRUE(
      vt::waitUntil([&] { return show("StatusText").rfind("running: cycle ", 0) == 0; }, Ms(30000)))
      << show("StatusText");
  EXPECT_TRUE(heartbeatAdvances(Ms(15000)));
  EXPECT_EQ(show("MainPID"), pid);
  EXPECT_EQ(show("NRestarts"), "0");
  // The unit's device list loads cleanly where devices it names are absent.
  const std::string journal = exec("journalctl -b --no-pager | grep -i vemo_umx").out;
  EXPECT_EQ(journal.find("Couldn't"), std::string::npos) << journal;
}

// A controller that answers every call of the bridge's start-up 3 s late is
// slow, not stuck: each call that returns feeds the watchdog (the unit's
// own interval). A call that takes longer than the watchdog allows is stuck:
// systemd kills the bridge and starts it again.
TEST_F(SystemdCell, ASlowStartUpFeedsTheWatchdogAStuckOneDoesNot) {
  installService();
  startLine();
  startRobot({"login", "getRobotNames", "getStandardDigitalInputNum", "getStandardDigitalOutputNum",
              "getConfigurableDigitalInputNum", "getConfigurableDigitalOutputNum",
              "getToolDigitalOutputNum", "setBoolOutput", "setBoolInput", "setInt32Input",
              "setInt32Output"},
             3000);
  ASSERT_FALSE(HasFailure());
  const auto started_at = std::chrono::steady_clock::now();
  configureAndStart("");
  ASSERT_FALSE(HasFailure());
  EXPECT_EQ(show("WatchdogUSec"), "15s");
  ASSERT_TRUE(
      vt::waitUntil([&] { return show("StatusText").rfind("running: cycle ", 0) == 0; }, Ms(90000)))
      << show("StatusText") << exec("journalctl -u vemo_umx --no-pager | tail -30").out;
  std::printf(
      "start-up with every call 3 s late: running after %lld ms\n",
      static_cast<long long>(
          std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - started_at).count()));
  EXPECT_EQ(show("NRestarts"), "0");
  EXPECT_EQ(exec("journalctl -u vemo_umx --no-pager").out.find("Watchdog timeout"),
            std::string::npos);

  // Stuck: a start-up call held past a 3 s watchdog (the SDK gives up on it
  // after its own 5 s).
  configure("WatchdogSec=3\nRestartSec=1\n");
  ASSERT_FALSE(HasFailure());
  ASSERT_EQ(robot_->query("hold setBoolOutput 15000", "ok"), "ok hold setBoolOutput 15000");
  ASSERT_EQ(exec("systemctl restart vemo_umx", Ms(30000)).status, 0);
  EXPECT_TRUE(journalHas("Watchdog timeout", Ms(20000)))
      << exec("journalctl -u vemo_umx --no-pager | tail -30").out;
  EXPECT_TRUE(vt::waitUntil([&] { return show("NRestarts") == "1"; }, Ms(20000)))
      << show("NRestarts");
  // Started again, the bridge finds the controller answering and runs.
  EXPECT_TRUE(
      vt::waitUntil([&] { return show("StatusText").rfind("running: cycle ", 0) == 0; }, Ms(30000)))
      << show("StatusText");
}

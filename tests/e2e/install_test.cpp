// The installed service and its Debian packages: what `cmake --install` lays
// out for the service and sim components and that the program runs from any
// prefix on its run path, with the maker's SDK left to the loader; the
// packages cpack makes (contents, dependencies, maintainer scripts, lintian's
// verdict); the packaged service running from an unpacked tree against the
// packaged simulator, and its crash traces with and without the debug package.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "cell.h"
#include "sanitized.h"
#include "test_env.h"

namespace fs = std::filesystem;
using vt::Ms;

namespace {

const std::string kBuildDir = VEMO_BUILD_DIR;
const std::string kVersion = VEMO_PROJECT_VERSION;
const std::string kSdkDepends = VEMO_SDK_DEBIAN_DEPENDS;  // the maker's SDK, as configured
const Ms kTool(
    120000);  // cmake --install, cpack, dpkg-deb, lintian: seconds, even on a loaded machine
const Ms kStart(15000);
const std::string kUnit = "vemo_umx.service";

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

// clang emits no .debug_aranges for our code, while the gcc-built Breakpad
// objects linked into the program do; libdw (0.188) then trusts that partial
// table, and the program's own frames get no lines, packaged or not. The
// library has no Breakpad in it and resolves in every build.
#if defined(__clang__)
constexpr bool kProgramLinesResolve = false;
#else
constexpr bool kProgramLinesResolve = true;
#endif

struct Result {
  int status = -1;  // exit status; -1 when the command did not end in time
  std::string out, err;
};

// Runs a command to its end. Its output goes through files, so that all of it
// is there once the process has been reaped.
Result run(const vt::TempDir& dir, const std::vector<std::string>& argv, Ms timeout = kTool,
           std::vector<std::pair<std::string, std::string>> env = {}) {
  static int runs = 0;
  const std::string base = dir / ("run" + std::to_string(++runs));
  std::vector<std::string> sh{
      "sh", "-c",          "out=$1 err=$2; shift 2; exec \"$@\" >\"$out\" 2>\"$err\"",
      "sh", base + ".out", base + ".err"};
  sh.insert(sh.end(), argv.begin(), argv.end());
  // Only what the command is given: none of the caller's loader settings.
  std::vector<std::string> unset;
  for (const char* var : {"LD_LIBRARY_PATH", "LD_PRELOAD"})
    if (std::none_of(env.begin(), env.end(), [&](auto& kv) { return kv.first == var; }))
      unset.push_back(var);
  env.emplace_back("LC_ALL", "C");
  vt::Process p(sh, {env, unset, dir.path()});
  Result r;
  int st = 0;
  if (p.waitExit(timeout, &st)) r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = vt::readFile(base + ".out");
  r.err = vt::readFile(base + ".err");
  return r;
}

Result installComponent(const vt::TempDir& dir, const std::string& prefix,
                        const std::string& component) {
  return run(dir,
             {VEMO_CMAKE, "--install", kBuildDir, "--prefix", prefix, "--component", component});
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> w;
  std::istringstream in(line);
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

bool startsWith(const std::string& s, const std::string& p) {
  return s.rfind(p, 0) == 0;
}

// Everything but directories below root, as paths relative to it.
std::set<std::string> filesBelow(const std::string& root) {
  std::set<std::string> files;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (!e.is_directory() || e.is_symlink())
      files.insert(e.path().lexically_relative(root).string());
  return files;
}

// A path with links and dot-dots resolved, as far as it exists.
std::string real(const std::string& path) {
  return fs::weakly_canonical(path).string();
}

std::set<std::string> minus(const std::set<std::string>& a, const std::set<std::string>& b) {
  std::set<std::string> out;
  for (auto& x : a)
    if (!b.count(x)) out.insert(x);
  return out;
}

struct Dynamic {
  std::vector<std::string> needed, runpath, rpath;
  std::string text;
};

// The dynamic section of an ELF file as readelf shows it.
Dynamic dynamicSection(const vt::TempDir& dir, const std::string& elf) {
  Result r = run(dir, {"readelf", "-d", "-W", elf});
  EXPECT_EQ(r.status, 0) << elf << "\n" << r.err;
  Dynamic d;
  d.text = r.out;
  for (auto& l : splitLines(r.out)) {
    auto open = l.find('['), close = l.rfind(']');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    const std::string value = l.substr(open + 1, close - open - 1);
    if (l.find("(NEEDED)") != std::string::npos) d.needed.push_back(value);
    if (l.find("(RUNPATH)") != std::string::npos) d.runpath.push_back(value);
    if (l.find("(RPATH)") != std::string::npos) d.rpath.push_back(value);
  }
  return d;
}

// soname -> the file the dynamic loader picks for it ("not" when it finds
// none), for all that elf loads.
std::map<std::string, std::string> resolvedLibraries(
    const vt::TempDir& dir, const std::string& elf,
    std::vector<std::pair<std::string, std::string>> env = {}) {
  Result r = run(dir, {"ldd", elf}, kTool, env);
  EXPECT_EQ(r.status, 0) << elf << "\n" << r.out << r.err;
  std::map<std::string, std::string> libs;
  for (auto& l : splitLines(r.out)) {
    auto w = words(l);
    // "libc.so.6 => /lib/x86_64-linux-gnu/libc.so.6 (0x..)", and the loader
    // itself as "/lib64/ld-linux-x86-64.so.2 (0x..)".
    if (w.size() >= 3 && w[1] == "=>")
      libs[w[0]] = w[2];
    else if (!w.empty() && w[0][0] == '/')
      libs[fs::path(w[0]).filename().string()] = w[0];
  }
  return libs;
}

// The Debian package that provides each library file (absent: none does),
// in one query. dpkg records /lib or /usr/lib, whichever the package ships,
// so the search is by name within a library directory of the same name.
std::map<std::string, std::string> owningPackages(const vt::TempDir& dir,
                                                  const std::set<std::string>& paths) {
  std::vector<std::string> argv{"dpkg", "-S"};
  for (auto& p : paths) argv.push_back("*/" + fs::path(p).filename().string());
  Result r = run(dir, argv);
  std::map<std::string, std::string> owners;
  for (auto& l : splitLines(r.out)) {
    auto sep = l.find(": /");
    if (sep == std::string::npos) continue;
    const fs::path owned(l.substr(sep + 2));
    const std::string pkg = l.substr(0, l.find_first_of(":,"));
    for (auto& p : paths) {
      const fs::path want(p);
      if (owned.filename() == want.filename() &&
          owned.parent_path().filename() == want.parent_path().filename())
        owners.emplace(p, pkg);
    }
  }
  return owners;
}

// Package names in a Depends field, alternatives included.
std::set<std::string> dependedPackages(const std::string& depends) {
  std::set<std::string> names;
  std::string d = depends;
  for (char& c : d)
    if (c == ',' || c == '|') c = ' ';
  std::regex version(R"(\([^)]*\))");
  for (auto& w : words(std::regex_replace(d, version, " "))) names.insert(w);
  return names;
}

bool onPath(const vt::TempDir& dir, const std::string& program) {
  return run(dir, {"sh", "-c", "command -v \"$1\"", "sh", program}).status == 0;
}

// The libvemo_* files mapped into a running process.
std::set<std::string> loadedProjectLibraries(pid_t pid) {
  std::set<std::string> loaded;
  for (auto& l : splitLines(vt::readFile("/proc/" + std::to_string(pid) + "/maps"))) {
    auto w = words(l);
    if (w.size() >= 6 && w[5].find("libvemo_") != std::string::npos) loaded.insert(w[5]);
  }
  return loaded;
}

// --- the packages -------------------------------------------------------------

struct Packages {
  std::map<std::string, std::string> file;  // package name -> .deb / .ddeb
  std::string listing;                      // what cpack made, for messages
};

std::map<std::string, std::string> controlFields(const vt::TempDir& dir, const std::string& deb) {
  Result r = run(dir, {"dpkg-deb", "-f", deb});
  EXPECT_EQ(r.status, 0) << deb << "\n" << r.err;
  std::map<std::string, std::string> field;
  std::string last;
  for (auto& l : splitLines(r.out)) {
    if (!l.empty() && l[0] == ' ') {
      field[last] += "\n" + l;
      continue;
    }
    auto sep = l.find(": ");
    if (sep == std::string::npos) continue;
    last = l.substr(0, sep);
    field[last] = l.substr(sep + 2);
  }
  return field;
}

// cpack on this build tree, into dir: every package by its name.
Packages makePackages(const vt::TempDir& dir) {
  Packages p;
  Result pack =
      run(dir, {VEMO_CPACK, "--config", kBuildDir + "/CPackConfig.cmake", "-B", dir.path()});
  EXPECT_EQ(pack.status, 0) << pack.out << pack.err;
  for (auto& e : fs::directory_iterator(dir.path())) {
    const std::string ext = e.path().extension().string();
    if (ext != ".deb" && ext != ".ddeb") continue;
    p.file[controlFields(dir, e.path().string())["Package"]] = e.path().string();
    p.listing += "  " + e.path().filename().string() + "\n";
  }
  return p;
}

// The files and links of a package (directories left out), each checked to
// belong to root.
std::set<std::string> packageContents(const vt::TempDir& dir, const std::string& deb) {
  Result list = run(dir, {"dpkg-deb", "-c", deb});
  EXPECT_EQ(list.status, 0) << list.err;
  std::set<std::string> files;
  for (auto& l : splitLines(list.out)) {
    auto w = words(l);
    if (w.size() < 6) {
      ADD_FAILURE() << l;
      continue;
    }
    EXPECT_EQ(w[1], "root/root") << deb << ": " << l;
    if (w[0][0] != 'd') files.insert(w[5].substr(startsWith(w[5], "./") ? 2 : 0));
  }
  return files;
}

std::string unpack(const vt::TempDir& dir, const std::string& deb, const std::string& root) {
  Result r = run(dir, {"dpkg-deb", "-x", deb, root});
  EXPECT_EQ(r.status, 0) << deb << "\n" << r.err;
  return root;
}

// The GNU build-id of an ELF file ("" without one).
std::string buildId(const vt::TempDir& dir, const std::string& elf) {
  Result r = run(dir, {"readelf", "-n", "-W", elf});
  std::smatch m;
  static const std::regex id(R"(Build ID: ([0-9a-f]+))");
  return std::regex_search(r.out, m, id) ? m[1].str() : "";
}

// Section names of an ELF file that hold data (NOBITS ones are left out: a
// separate debug file keeps the headers of what it does not carry).
std::set<std::string> sectionsWithData(const vt::TempDir& dir, const std::string& elf) {
  Result r = run(dir, {"readelf", "-S", "-W", elf});
  EXPECT_EQ(r.status, 0) << elf << "\n" << r.err;
  std::set<std::string> names;
  static const std::regex row(R"(\]\s+(\S+)\s+(\S+))");
  for (auto& l : splitLines(r.out)) {
    std::smatch m;
    if (std::regex_search(l, m, row) && m[2] != "NOBITS") names.insert(m[1]);
  }
  return names;
}

// --- running what the packages hold -------------------------------------------

// The id of the process's thread named `name`; 0 if there is none.
pid_t threadNamed(pid_t pid, const std::string& name) {
  std::error_code ec;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/task", ec), end;
       !ec && it != end; it.increment(ec)) {
    std::string comm = vt::readFile(it->path().string() + "/comm");
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    if (comm == name) return std::stoi(it->path().filename().string());
  }
  return 0;
}

// SIGUSR1 to one thread of the service; the stack trace it wrote (that
// thread's stack), read from the file the service names.
std::string usr1Trace(vt::Process& umx, pid_t tid, size_t* from) {
  if (!vt::waitUntil([&] { return vt::catchesSignal(umx.pid(), SIGUSR1); }, Ms(10000))) {
    ADD_FAILURE() << "no SIGUSR1 handler";
    return "";
  }
  syscall(SYS_tgkill, umx.pid(), tid, SIGUSR1);
  // Reading the debug package's DWARF takes seconds, many more in a
  // sanitizer build sharing two cores with other cells.
  const long done =
      umx.waitLine([](const std::string& l) { return l == "Received SIGUSR1!"; }, Ms(60000), *from);
  if (done < 0) {
    int status = 0;
    const bool ended = umx.waitExit(Ms(0), &status);
    ADD_FAILURE() << "no trace written; the service "
                  << (ended ? "ended with status " + std::to_string(status) : "runs") << "\n"
                  << umx.allText() << umx.allText(vt::Stream::Err);
    return "";
  }
  std::string path;
  for (auto& l : umx.linesFrom(*from)) {
    const std::string tag = "Crash file is written to ";
    if (startsWith(l, tag)) path = l.substr(tag.size());
  }
  *from = static_cast<size_t>(done) + 1;
  EXPECT_FALSE(path.empty()) << umx.allText();
  return path.empty() ? "" : vt::readFile(path);
}

// libdw finds separate debug information only below the real /usr/lib/debug.
// Each run gets a private mount namespace (unshare makes its mounts private,
// so nothing reaches the machine) in which that directory shows the unpacked
// debug package, or is empty.
std::vector<std::string> withDebugDirectory(const std::string& dbgsym_root,
                                            const std::vector<std::string>& argv) {
  std::vector<std::string> cmd{
      "unshare",
      "-m",
      "sh",
      "-c",
      "set -e; root=$1; shift; "
      "if [ -z \"$root\" ]; then [ ! -d /usr/lib/debug ] || mount -t tmpfs tmpfs /usr/lib/debug; "
      "elif [ -d /usr/lib/debug ]; then mount --bind \"$root/usr/lib/debug\" /usr/lib/debug; "
      "else mount -t overlay overlay -o \"lowerdir=$root/usr/lib:/usr/lib\" /usr/lib; fi; "
      "exec \"$@\"",
      "sh",
      dbgsym_root};
  cmd.insert(cmd.end(), argv.begin(), argv.end());
  return cmd;
}

}  // namespace

TEST(Install, ComponentsRunFromAnyPrefixAndLeaveTheSdkToTheLoader) {
  vt::TempDir tmp("vemo-install");
  const std::string prefix = tmp / "prefix";
  Result inst = installComponent(tmp, prefix, "service");
  ASSERT_EQ(inst.status, 0) << inst.out << inst.err;

  // The service alone, its library in a private directory, and no SDK: that
  // is the maker's, on the controller.
  const std::set<std::string> service{"bin/vemo_umx",
                                      "etc/default/vemo_umx",
                                      "lib/vemo_umx/libvemo_umx.so.1",
                                      "lib/vemo_umx/libvemo_umx.so.1.0.0",
                                      "lib/systemd/system/vemo_umx.service",
                                      "share/doc/vemo-umx/README.md",
                                      "share/doc/vemo-umx/changelog.gz",
                                      "share/doc/vemo-umx/copyright",
                                      "share/man/man8/vemo_umx.8.gz",
                                      "share/vemo-umx/grafana/vemo_umx.dashboard.json",
                                      "share/vemo-umx/prometheus/vemo_umx.rules.yml",
                                      "share/vemo-umx/tags/vemo_umx_tags.csv",
                                      "share/vemo-umx/tags/vemo_umx_tags.st",
                                      "share/vemo-umx/tags/vemo_umx_tags.xml"};
  EXPECT_EQ(filesBelow(prefix), service) << inst.out;
  EXPECT_EQ(fs::read_symlink(prefix + "/lib/vemo_umx/libvemo_umx.so.1").string(),
            "libvemo_umx.so.1.0.0");

  // Installed as built: run paths relative to the objects, none naming the
  // build tree, and the library's pointing beside its directory, never into it.
  Dynamic program = dynamicSection(tmp, prefix + "/bin/vemo_umx");
  EXPECT_EQ(program.runpath, std::vector<std::string>{"$ORIGIN/../lib/vemo_umx"}) << program.text;
  Dynamic library = dynamicSection(tmp, prefix + "/lib/vemo_umx/libvemo_umx.so.1.0.0");
  EXPECT_EQ(library.runpath, std::vector<std::string>{"$ORIGIN/.."}) << library.text;
  for (const Dynamic* d : {&program, &library}) {
    EXPECT_TRUE(d->rpath.empty()) << d->text;
    EXPECT_EQ(d->text.find(kBuildDir), std::string::npos) << d->text;
  }
  const std::string canon = fs::canonical(prefix).string();
  auto resolved = resolvedLibraries(tmp, prefix + "/bin/vemo_umx");
  EXPECT_EQ(real(resolved["libvemo_umx.so.1"]), canon + "/lib/vemo_umx/libvemo_umx.so.1.0.0");
  EXPECT_FALSE(startsWith(real(resolved["libvemo_sdk.so.1"]), canon + "/"))
      << "the service component supplies a robot SDK: " << resolved["libvemo_sdk.so.1"];

  // The simulated cell beside it: the simulators, the stand-in in a directory
  // of its own and the wrapper. The service's loading stays as it was.
  Result sim = installComponent(tmp, prefix, "sim");
  ASSERT_EQ(sim.status, 0) << sim.out << sim.err;
  EXPECT_EQ(minus(filesBelow(prefix), service),
            (std::set<std::string>{
                "bin/vemo_gateway_sim", "bin/vemo_robot_sim", "bin/vemo_umx-simulated",
                "lib/vemo_umx-sim/libvemo_sdk.so.1", "lib/vemo_umx-sim/libvemo_sdk.so.1.0.0",
                "share/doc/vemo-umx-sim/changelog.gz", "share/doc/vemo-umx-sim/copyright",
                "share/man/man1/vemo_gateway_sim.1.gz", "share/man/man1/vemo_robot_sim.1.gz",
                "share/man/man8/vemo_umx-simulated.8.gz"}))
      << sim.out;
  for (const char* f :
       {"bin/vemo_robot_sim", "bin/vemo_gateway_sim", "lib/vemo_umx-sim/libvemo_sdk.so.1.0.0"}) {
    Dynamic d = dynamicSection(tmp, prefix + "/" + f);
    EXPECT_TRUE(d.runpath.empty() && d.rpath.empty()) << f << "\n" << d.text;
  }
  resolved = resolvedLibraries(tmp, prefix + "/bin/vemo_umx");
  EXPECT_FALSE(startsWith(real(resolved["libvemo_sdk.so.1"]), canon + "/"))
      << "the stand-in is on the service's own path: " << resolved["libvemo_sdk.so.1"];

  // The wrapper runs the installed service against the installed controller
  // simulator, with nothing but the prefix to find its libraries in.
  vt::ProcessOptions opt;
  opt.unset_env = {"LD_LIBRARY_PATH", "LD_PRELOAD"};
  opt.cwd = tmp.path();
  vt::Process robot({prefix + "/bin/vemo_robot_sim"}, opt);
  ASSERT_TRUE(robot.waitFor("ready", Ms(10000))) << robot.allText(vt::Stream::Err);
  vt::Process umx({prefix + "/bin/vemo_umx-simulated", "--workspace", tmp / "ws"}, opt);
  ASSERT_TRUE(umx.waitFor("VEMO-UMX is Running", kStart))
      << umx.allText() << umx.allText(vt::Stream::Err);
  EXPECT_EQ(loadedProjectLibraries(umx.pid()),
            (std::set<std::string>{canon + "/lib/vemo_umx/libvemo_umx.so.1.0.0",
                                   canon + "/lib/vemo_umx-sim/libvemo_sdk.so.1.0.0"}));
  EXPECT_TRUE(vt::fileExists(tmp / "ws/config/vemo_umx.conf"));
}

TEST(Install, UnitStartsTheInstalledProgramAndKeepsTheDefaultsFile) {
  vt::TempDir tmp("vemo-unit");
  const std::string prefix = tmp / "prefix";
  Result inst = installComponent(tmp, prefix, "service");
  ASSERT_EQ(inst.status, 0) << inst.out << inst.err;

  // Configured for the prefix it was installed to, not the build's.
  const std::string unit_path = prefix + "/lib/systemd/system/" + kUnit;
  const std::string unit = vt::readFile(unit_path);
  EXPECT_NE(
      unit.find("\nExecStart=" + prefix + "/bin/vemo_umx --workspace ${VEMO_UMX_WORKSPACE}\n"),
      std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\nEnvironmentFile=-" + prefix + "/etc/default/vemo_umx\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\nEnvironment=VEMO_UMX_WORKSPACE=/root/ryne_ws/\n"), std::string::npos)
      << unit;
  // systemd restarts a bridge that hangs, not only one that dies, never
  // gives up on it, and never waits for the controller before it is ready.
  for (const char* line : {"Type=notify", "NotifyAccess=main", "WatchdogSec=15",
                           "TimeoutStartSec=30", "Restart=on-failure", "StartLimitIntervalSec=0"})
    EXPECT_NE(unit.find(std::string("\n") + line + "\n"), std::string::npos) << line;

  // Installing again renews the unit and keeps the integrator's settings.
  const std::string defaults = prefix + "/etc/default/vemo_umx";
  vt::writeFile(defaults, "VEMO_UMX_WORKSPACE=/data/cell/ws/\n");
  fs::remove(unit_path);
  Result again = installComponent(tmp, prefix, "service");
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(vt::readFile(defaults), "VEMO_UMX_WORKSPACE=/data/cell/ws/\n");
  EXPECT_EQ(vt::readFile(unit_path), unit);

  // systemd's own reading of the unit, which also finds the program it starts.
  if (!onPath(tmp, "systemd-analyze"))
    GTEST_SKIP() << "systemd-analyze is not installed: unit not verified";
  Result verify = run(tmp, {"systemd-analyze", "verify", unit_path});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  // Parse problems are warnings only: none may concern this unit.
  for (auto& l : splitLines(verify.out + verify.err))
    EXPECT_EQ(l.find(kUnit), std::string::npos) << l;
}

TEST(Install, PackagesHoldTheirPartsAndTheirDependencies) {
  vt::TempDir tmp("vemo-deb");
  const Packages pkgs = makePackages(tmp);
  ASSERT_FALSE(::testing::Test::HasFailure());
  ASSERT_EQ(pkgs.file.size(), 4u) << pkgs.listing;
  const std::string arch = words(run(tmp, {"dpkg", "--print-architecture"}).out).at(0);
  for (auto& [pkg, file] : pkgs.file) {
    const std::string ext = pkg.find("-dbgsym") != std::string::npos ? ".ddeb" : ".deb";
    EXPECT_EQ(fs::path(file).filename().string(), pkg + "_" + kVersion + "_" + arch + ext);
  }
  ASSERT_EQ(pkgs.file.count("vemo-umx"), 1u) << pkgs.listing;
  ASSERT_EQ(pkgs.file.count("vemo-umx-sim"), 1u) << pkgs.listing;

  const std::map<std::string, std::set<std::string>> contents{
      {"vemo-umx",
       {"usr/bin/vemo_umx", "usr/lib/vemo_umx/libvemo_umx.so.1",
        "usr/lib/vemo_umx/libvemo_umx.so.1.0.0", "usr/lib/systemd/system/vemo_umx.service",
        "etc/default/vemo_umx", "usr/share/doc/vemo-umx/README.md",
        "usr/share/doc/vemo-umx/changelog.gz", "usr/share/doc/vemo-umx/copyright",
        "usr/share/man/man8/vemo_umx.8.gz", "usr/share/vemo-umx/grafana/vemo_umx.dashboard.json",
        "usr/share/vemo-umx/prometheus/vemo_umx.rules.yml",
        "usr/share/vemo-umx/tags/vemo_umx_tags.csv", "usr/share/vemo-umx/tags/vemo_umx_tags.st",
        "usr/share/vemo-umx/tags/vemo_umx_tags.xml"}},
      {"vemo-umx-sim",
       {"usr/bin/vemo_robot_sim", "usr/bin/vemo_gateway_sim", "usr/bin/vemo_umx-simulated",
        "usr/lib/vemo_umx-sim/libvemo_sdk.so.1", "usr/lib/vemo_umx-sim/libvemo_sdk.so.1.0.0",
        "usr/share/doc/vemo-umx-sim/changelog.gz", "usr/share/doc/vemo-umx-sim/copyright",
        "usr/share/man/man1/vemo_robot_sim.1.gz", "usr/share/man/man1/vemo_gateway_sim.1.gz",
        "usr/share/man/man8/vemo_umx-simulated.8.gz"}}};
  const std::map<std::string, std::vector<std::string>> elves{
      {"vemo-umx", {"usr/bin/vemo_umx", "usr/lib/vemo_umx/libvemo_umx.so.1.0.0"}},
      {"vemo-umx-sim",
       {"usr/bin/vemo_robot_sim", "usr/bin/vemo_gateway_sim",
        "usr/lib/vemo_umx-sim/libvemo_sdk.so.1.0.0"}}};

  const std::string root = tmp / "root";
  for (auto& [pkg, want] : contents) {
    SCOPED_TRACE(pkg);
    EXPECT_EQ(packageContents(tmp, pkgs.file.at(pkg)), want);
    unpack(tmp, pkgs.file.at(pkg), root);

    // Stripped, with what was stripped in the -dbgsym package under the
    // objects' build-ids, debug information and symbol table included.
    const std::string dbg_pkg = pkg + "-dbgsym";
    ASSERT_EQ(pkgs.file.count(dbg_pkg), 1u) << pkgs.listing;
    const std::string dbg_root = tmp / ("dbg-" + pkg);
    unpack(tmp, pkgs.file.at(dbg_pkg), dbg_root);
    std::set<std::string> want_dbg{"usr/share/doc/" + dbg_pkg};
    for (auto& elf : elves.at(pkg)) {
      const auto sections = sectionsWithData(tmp, root + "/" + elf);
      EXPECT_EQ(sections.count(".debug_info"), 0u) << elf;
      EXPECT_EQ(sections.count(".symtab"), 0u) << elf;
      const std::string id = buildId(tmp, root + "/" + elf);
      ASSERT_GT(id.size(), 2u) << elf;
      const std::string debug =
          "usr/lib/debug/.build-id/" + id.substr(0, 2) + "/" + id.substr(2) + ".debug";
      want_dbg.insert(debug);
      const auto kept = sectionsWithData(tmp, dbg_root + "/" + debug);
      EXPECT_EQ(kept.count(".debug_info"), 1u) << elf;
      EXPECT_EQ(kept.count(".symtab"), 1u) << elf;
    }
    EXPECT_EQ(packageContents(tmp, pkgs.file.at(dbg_pkg)), want_dbg);
    EXPECT_EQ(fs::read_symlink(dbg_root + "/usr/share/doc/" + dbg_pkg).string(), pkg);
    auto dbg_fields = controlFields(tmp, pkgs.file.at(dbg_pkg));
    EXPECT_EQ(dbg_fields["Depends"], pkg + " (= " + kVersion + ")");

    auto field = controlFields(tmp, pkgs.file.at(pkg));
    EXPECT_EQ(field["Version"], kVersion);
    EXPECT_FALSE(field["Maintainer"].empty());
    // The changelog speaks of the version it ships in.
    Result log = run(tmp, {"gzip", "-dc", root + "/usr/share/doc/" + pkg + "/changelog.gz"});
    EXPECT_TRUE(startsWith(log.out, "vemo-umx (" + kVersion + ") ")) << log.out;
  }

  // Depends names the package of every library the packaged objects load and
  // the packages do not carry themselves, and nothing else but the maker's
  // SDK package as configured (the service) or the service the wrapper runs,
  // of this very build (the simulators).
  const std::string stand_in = root + "/usr/lib/vemo_umx-sim";
  std::map<std::string, std::string> resolved;
  for (const char* elf : {"usr/bin/vemo_umx", "usr/bin/vemo_robot_sim", "usr/bin/vemo_gateway_sim"})
    for (auto& [soname, file] :
         resolvedLibraries(tmp, root + "/" + elf, {{"LD_LIBRARY_PATH", stand_in}}))
      resolved.emplace(soname, file);
  const std::map<std::string, std::string> extra{{"vemo-umx", kSdkDepends},
                                                 {"vemo-umx-sim", "vemo-umx (= " + kVersion + ")"}};
  for (auto& [pkg, list] : elves) {
    SCOPED_TRACE(pkg);
    auto field = controlFields(tmp, pkgs.file.at(pkg));
    std::set<std::string> required = dependedPackages(extra.at(pkg));
    std::map<std::string, std::string> needed;  // library file -> "soname of object"
    for (auto& f : list) {
      Dynamic d = dynamicSection(tmp, root + "/" + f);
      EXPECT_EQ(d.text.find(kBuildDir), std::string::npos) << f << "\n" << d.text;
      for (auto& soname : d.needed) {
        auto it = resolved.find(soname);
        ASSERT_NE(it, resolved.end()) << soname << " of " << f << " is not resolved";
        if (startsWith(real(it->second), real(root) + "/")) continue;  // ours
        needed.emplace(it->second, soname + " of " + f);
      }
    }
    std::set<std::string> lib_files;
    for (auto& n : needed) lib_files.insert(n.first);
    const auto owners = owningPackages(tmp, lib_files);
    const auto depends = dependedPackages(field["Depends"]);
    for (auto& [file, who] : needed) {
      auto it = owners.find(file);
      if (it == owners.end()) {
        ADD_FAILURE() << file << " (" << who << ") comes from no Debian package";
        continue;
      }
      // A sanitizer build links its runtime; only a normal build is shipped.
      if (vt::kSanitizedBuild && it->second.find("san") != std::string::npos) continue;
      required.insert(it->second);
      EXPECT_EQ(depends.count(it->second), 1u)
          << who << " needs " << it->second << "; Depends: " << field["Depends"];
    }
    if (!vt::kSanitizedBuild) {
      EXPECT_EQ(depends, required) << field["Depends"];
    }
    if (!extra.at(pkg).empty()) {
      EXPECT_NE(field["Depends"].find(extra.at(pkg)), std::string::npos) << field["Depends"];
    }
  }

  // The unit starts the packaged program; the defaults file only documents
  // the setting, so the unit's own default holds until the integrator sets it.
  const std::string unit = vt::readFile(root + "/usr/lib/systemd/system/" + kUnit);
  EXPECT_NE(unit.find("\nExecStart=/usr/bin/vemo_umx --workspace ${VEMO_UMX_WORKSPACE}\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\nEnvironmentFile=-/etc/default/vemo_umx\n"), std::string::npos) << unit;
  const std::string defaults = vt::readFile(root + "/etc/default/vemo_umx");
  EXPECT_TRUE(std::regex_search(defaults, std::regex(R"((^|\n)# ?VEMO_UMX_WORKSPACE=/)")))
      << defaults;
  for (auto& l : splitLines(defaults)) EXPECT_TRUE(l.empty() || l[0] == '#') << l;
}

// The service package's maintainer scripts, run as dpkg runs them, with
// systemd's helpers replaced by recorders and nothing else on PATH: a script
// that called anything more (rm on a workspace, say) fails here. /run is a
// private tmpfs that says systemd is running.
TEST(Install, MaintainerScriptsNeverStartTheUnitStopItOnRemovalAndPurgeOnlyTheirOwn) {
  vt::TempDir tmp("vemo-maint");
  const Packages pkgs = makePackages(tmp);
  ASSERT_EQ(pkgs.file.count("vemo-umx"), 1u) << pkgs.listing;
  const std::string control = tmp / "control";
  Result ctl = run(tmp, {"dpkg-deb", "-e", pkgs.file.at("vemo-umx"), control});
  ASSERT_EQ(ctl.status, 0) << ctl.err;
  EXPECT_EQ(vt::readFile(control + "/conffiles"), "/etc/default/vemo_umx\n");
  EXPECT_FALSE(vt::fileExists(control + "/preinst"));
  EXPECT_FALSE(vt::fileExists(control + "/triggers"));  // no public library: no ldconfig

  const std::string stubs = tmp / "stubs";
  const std::string calls = tmp / "calls";
  fs::create_directories(stubs);
  // Each helper records its arguments; the answers to debian-installed and
  // was-enabled come from UNIT_ENABLED (0: the integrator had enabled it).
  for (const char* tool : {"deb-systemd-helper", "deb-systemd-invoke", "systemctl"}) {
    const std::string path = stubs + "/" + tool;
    vt::writeFile(path, std::string("#!/bin/sh\necho \"") + tool + " $*\" >>\"$CALLS\"\n" +
                            "case \"$*\" in *debian-installed*|*was-enabled*) exit "
                            "\"${UNIT_ENABLED:-1}\";; esac\nexit 0\n");
    fs::permissions(path, fs::perms::owner_all);
  }
  const std::string sh = fs::canonical("/bin/sh").string();
  struct Case {
    std::string script;
    std::vector<std::string> args;
    std::string enabled;
    std::set<std::string> want;  // the calls, in any order
  };
  const std::string unit = kUnit;
  const std::vector<Case> cases{
      // A first installation registers the unit and enables nothing.
      {"postinst",
       {"configure"},
       "1",
       {"deb-systemd-helper debian-installed " + unit, "deb-systemd-helper update-state " + unit,
        "systemctl --system daemon-reload"}},
      // An upgrade keeps the integrator's enabling and leaves the service as it runs.
      {"postinst",
       {"configure", "0.9.0"},
       "0",
       {"deb-systemd-helper debian-installed " + unit,
        "deb-systemd-helper --quiet was-enabled " + unit, "deb-systemd-helper enable " + unit,
        "deb-systemd-helper update-state " + unit, "systemctl --system daemon-reload"}},
      {"prerm", {"upgrade", kVersion}, "0", {}},
      // Removal stops it.
      {"prerm", {"remove"}, "0", {"deb-systemd-invoke stop " + unit}},
      {"postrm", {"remove"}, "0", {"systemctl --system daemon-reload"}},
      {"postrm", {"upgrade", kVersion}, "0", {}},
      // Purge removes the enable links the helper recorded, nothing more.
      {"postrm", {"purge"}, "0", {"deb-systemd-helper purge " + unit}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.script + " " + c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    fs::remove(calls);
    std::vector<std::string> argv{
        "unshare",
        "-m",
        sh,
        "-c",
        "mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system && PATH=$STUBS exec " + sh +
            " \"$@\"",
        "sh",
        control + "/" + c.script};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Result r = run(tmp, argv, kTool,
                   {{"STUBS", stubs},
                    {"CALLS", calls},
                    {"UNIT_ENABLED", c.enabled},
                    {"DPKG_MAINTSCRIPT_PACKAGE", "vemo-umx"}});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const auto lines = splitLines(vt::readFile(calls));
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), c.want);
  }
}

TEST(Install, LintianFindsNoErrorOrWarningInAnyPackage) {
  vt::TempDir tmp("vemo-lintian");
  if (vt::kSanitizedBuild) GTEST_SKIP() << "only a normal build is shipped: lintian not run";
  if (!onPath(tmp, "lintian"))
    GTEST_SKIP()
        << "lintian is not installed (scripts/bootstrap installs it): packages not checked";
  const Packages pkgs = makePackages(tmp);
  ASSERT_EQ(pkgs.file.size(), 4u) << pkgs.listing;
  std::vector<std::string> argv{"lintian", "--fail-on", "error,warning", "--tag-display-limit",
                                "0"};
  for (auto& [pkg, file] : pkgs.file) argv.push_back(file);
  Result r = run(tmp, argv, Ms(300000));
  std::string findings;
  for (auto& l : splitLines(r.out + r.err))
    if (startsWith(l, "E: ") || startsWith(l, "W: ")) findings += l + "\n";
  EXPECT_EQ(findings, "");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST(Install, UnpackedPackagesRunTheCellAndTracesNameSourceLinesWithTheDebugPackage) {
  vt::TempDir tmp("vemo-unpacked");
  const Packages pkgs = makePackages(tmp);
  for (const char* p : {"vemo-umx", "vemo-umx-sim", "vemo-umx-dbgsym"})
    ASSERT_EQ(pkgs.file.count(p), 1u) << p << "\n" << pkgs.listing;
  const std::string root = tmp / "root";
  unpack(tmp, pkgs.file.at("vemo-umx"), root);
  unpack(tmp, pkgs.file.at("vemo-umx-sim"), root);
  const std::string dbg = unpack(tmp, pkgs.file.at("vemo-umx-dbgsym"), tmp / "dbgsym");
  ASSERT_FALSE(::testing::Test::HasFailure());

  vt::ProcessOptions opt;
  opt.unset_env = {"LD_LIBRARY_PATH", "LD_PRELOAD"};
  opt.cwd = tmp.path();
  vt::Process robot({root + "/usr/bin/vemo_robot_sim"}, opt);
  ASSERT_TRUE(robot.waitFor("ready", Ms(10000))) << robot.allText(vt::Stream::Err);

  // A healthy line to a gateway: the cycle the traces interrupt is the
  // steady one, not a reopen every few milliseconds.
  vt::SocatPty line(tmp.path());
  vt::Process gateway({root + "/usr/bin/vemo_gateway_sim", "--rtu", line.b()}, opt);
  ASSERT_TRUE(gateway.waitFor("ready rtu", Ms(10000))) << gateway.allText(vt::Stream::Err);

  const std::string src = vt::sourceDir() + "/src/";
  const std::regex any_own_line("Source \"" + src + R"([^"]+", line \d+)");
  for (const bool with_debug : {false, true}) {
    SCOPED_TRACE(with_debug ? "with vemo-umx-dbgsym" : "without vemo-umx-dbgsym");
    const std::string ws = tmp / (with_debug ? "ws-dbg" : "ws");
    fs::create_directories(ws + "/config");
    vt::writeFile(ws + "/config/vemo_umx.conf",
                  vt::configText({{"portName", "\"" + line.a() + "\""}}));
    vt::Process umx(withDebugDirectory(with_debug ? dbg : "",
                                       {root + "/usr/bin/vemo_umx-simulated", "--workspace", ws}),
                    opt);
    ASSERT_TRUE(umx.waitFor("VEMO-UMX is Running", kStart))
        << umx.allText() << umx.allText(vt::Stream::Err);
    // The stand-in from the simulators' directory, the service's library
    // from its own.
    const std::string canon = fs::canonical(root).string();
    EXPECT_EQ(loadedProjectLibraries(umx.pid()),
              (std::set<std::string>{canon + "/usr/lib/vemo_umx/libvemo_umx.so.1.0.0",
                                     canon + "/usr/lib/vemo_umx-sim/libvemo_sdk.so.1.0.0"}));
    if (kThreadSanitizer)
      GTEST_SKIP() << "ThreadSanitizer holds asynchronous signals back: traces are checked in "
                      "the other builds";

    // The exchange thread's stack runs through the private library; the main
    // thread's idles in the program.
    size_t from = 0;
    pid_t exchange = 0;
    ASSERT_TRUE(vt::waitUntil(
        [&] { return (exchange = threadNamed(umx.pid(), "umx_exchange")) != 0; }, Ms(10000)));
    const std::string lib_trace = usr1Trace(umx, exchange, &from);
    ASSERT_TRUE(vt::waitUntil([&] { return vt::mainThreadIdle(umx.pid()); }, Ms(10000)));
    const std::string main_trace = usr1Trace(umx, umx.pid(), &from);
    EXPECT_TRUE(umx.running());
    for (const std::string* t : {&lib_trace, &main_trace})
      EXPECT_TRUE(startsWith(*t, "Stack trace (most recent call last)")) << *t;

    if (with_debug) {
      EXPECT_TRUE(std::regex_search(
          lib_trace, std::regex("Source \"" + src + R"(schedule\.cpp", line \d+, in \w+)")))
          << lib_trace;
      EXPECT_TRUE(std::regex_search(
          main_trace,
          std::regex(kProgramLinesResolve
                         ? "Source \"" + src + R"(main\.cpp", line \d+, in main)"
                         : R"(Object ".*/usr/bin/vemo_umx", at 0x[0-9a-f]+, in main\n)")))
          << main_trace;
    } else {
      // Still a trace: the objects, and the library's exported functions by name.
      EXPECT_TRUE(std::regex_search(
          lib_trace,
          std::regex(
              R"(Object ".*/usr/lib/vemo_umx/libvemo_umx\.so\.1\.0\.0", at 0x[0-9a-f]+, in Schedule::)")))
          << lib_trace;
      EXPECT_NE(main_trace.find("/usr/bin/vemo_umx\""), std::string::npos) << main_trace;
      for (const std::string* t : {&lib_trace, &main_trace})
        EXPECT_FALSE(std::regex_search(*t, any_own_line)) << *t;
    }
  }
}

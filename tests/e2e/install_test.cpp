// The installed service: what `cmake --install` lays out for the service
// component, the program running from that prefix on its run path alone, the
// Debian package made by cpack, and the systemd unit in both.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "sanitized.h"
#include "test_env.h"

namespace fs = std::filesystem;
using vt::Ms;

namespace {

const std::string kBuildDir = VEMO_BUILD_DIR;
const std::string kVersion = VEMO_PROJECT_VERSION;
const Ms kTool(120000);  // cmake --install, cpack, dpkg-deb: seconds, even on a loaded machine
const Ms kStart(15000);

struct Result {
  int status = -1;  // exit status; -1 when the command did not end in time
  std::string out, err;
};

// Runs a command to its end. Its output goes through files, so that all of it
// is there once the process has been reaped.
Result run(const vt::TempDir& dir, const std::vector<std::string>& argv, Ms timeout = kTool) {
  static int runs = 0;
  const std::string base = dir / ("run" + std::to_string(++runs));
  std::vector<std::string> sh{
      "sh", "-c",          "out=$1 err=$2; shift 2; exec \"$@\" >\"$out\" 2>\"$err\"",
      "sh", base + ".out", base + ".err"};
  sh.insert(sh.end(), argv.begin(), argv.end());
  vt::Process p(sh, {{{"LC_ALL", "C"}}, {}, dir.path()});
  Result r;
  int st = 0;
  if (p.waitExit(timeout, &st)) r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = vt::readFile(base + ".out");
  r.err = vt::readFile(base + ".err");
  return r;
}

Result installService(const vt::TempDir& dir, const std::string& prefix) {
  return run(dir,
             {VEMO_CMAKE, "--install", kBuildDir, "--prefix", prefix, "--component", "service"});
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

// Everything but directories below root, as paths relative to it.
std::set<std::string> filesBelow(const std::string& root) {
  std::set<std::string> files;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (!e.is_directory() || e.is_symlink())
      files.insert(e.path().lexically_relative(root).string());
  return files;
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

// soname -> the file the dynamic loader picks for it, for all that elf loads.
std::map<std::string, std::string> resolvedLibraries(const vt::TempDir& dir,
                                                     const std::string& elf) {
  Result r = run(dir, {"ldd", elf});
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

}  // namespace

TEST(Install, ServiceComponentRunsFromItsPrefix) {
  vt::TempDir tmp("vemo-install");
  const std::string prefix = tmp / "prefix";
  Result inst = installService(tmp, prefix);
  ASSERT_EQ(inst.status, 0) << inst.out << inst.err;

  // The service alone: the simulators, the SDK headers and the development
  // links libvemo_*.so belong to other components.
  EXPECT_EQ(
      filesBelow(prefix),
      (std::set<std::string>{"bin/vemo_umx", "etc/default/vemo_umx", "lib/libvemo_sdk.so.1",
                             "lib/libvemo_sdk.so.1.0.0", "lib/libvemo_umx.so.1",
                             "lib/libvemo_umx.so.1.0.0", "lib/systemd/system/vemo_umx.service"}))
      << inst.out;
  EXPECT_EQ(fs::read_symlink(prefix + "/lib/libvemo_umx.so.1").string(), "libvemo_umx.so.1.0.0");
  EXPECT_EQ(fs::read_symlink(prefix + "/lib/libvemo_sdk.so.1").string(), "libvemo_sdk.so.1.0.0");

  // Installed as built: the run path is relative to the program and no
  // object names a directory of the build tree.
  Dynamic program = dynamicSection(tmp, prefix + "/bin/vemo_umx");
  EXPECT_EQ(program.runpath, std::vector<std::string>{"$ORIGIN/../lib"}) << program.text;
  for (const char* f : {"bin/vemo_umx", "lib/libvemo_umx.so.1.0.0", "lib/libvemo_sdk.so.1.0.0"}) {
    Dynamic d = dynamicSection(tmp, prefix + "/" + f);
    EXPECT_TRUE(d.rpath.empty()) << f << "\n" << d.text;
    EXPECT_EQ(d.text.find(kBuildDir), std::string::npos) << f << "\n" << d.text;
  }

  // It runs against the controller with nothing but its run path to find
  // its libraries, and loads them from the prefix, not from the build tree.
  auto robot = std::make_unique<vt::Process>(std::vector<std::string>{vt::bin("vemo_robot_sim")});
  ASSERT_TRUE(robot->waitFor("ready", Ms(10000))) << robot->allText(vt::Stream::Err);
  vt::ProcessOptions opt;
  opt.unset_env = {"LD_LIBRARY_PATH", "LD_PRELOAD"};
  opt.cwd = tmp.path();
  vt::Process umx({prefix + "/bin/vemo_umx", "--workspace", tmp / "ws"}, opt);
  ASSERT_TRUE(umx.waitFor("VEMO-UMX is Running", kStart))
      << umx.allText() << umx.allText(vt::Stream::Err);

  const std::string libdir = fs::canonical(prefix + "/lib").string() + "/";
  const std::string maps = vt::readFile("/proc/" + std::to_string(umx.pid()) + "/maps");
  std::set<std::string> loaded;
  for (auto& l : splitLines(maps)) {
    auto w = words(l);
    if (w.size() >= 6 && w[5].find("libvemo_") != std::string::npos) loaded.insert(w[5]);
  }
  EXPECT_EQ(loaded, (std::set<std::string>{libdir + "libvemo_sdk.so.1.0.0",
                                           libdir + "libvemo_umx.so.1.0.0"}))
      << maps;
  EXPECT_TRUE(vt::fileExists(tmp / "ws/config/vemo_umx.conf"));
}

TEST(Install, DebianPackageHoldsTheServiceAlone) {
  vt::TempDir tmp("vemo-deb");
  Result pack =
      run(tmp, {VEMO_CPACK, "--config", kBuildDir + "/CPackConfig.cmake", "-B", tmp.path()});
  ASSERT_EQ(pack.status, 0) << pack.out << pack.err;
  std::vector<std::string> debs;
  for (auto& e : fs::directory_iterator(tmp.path()))
    if (e.path().extension() == ".deb") debs.push_back(e.path().string());
  ASSERT_EQ(debs.size(), 1u) << pack.out;
  const std::string deb = debs[0];
  EXPECT_EQ(fs::path(deb).filename().string().rfind("vemo-umx_" + kVersion + "_", 0), 0u) << deb;

  // Contents: the program, its two libraries, the unit and the defaults file;
  // nothing of the simulators or the headers. All of it owned by root.
  Result list = run(tmp, {"dpkg-deb", "-c", deb});
  ASSERT_EQ(list.status, 0) << list.err;
  std::set<std::string> files;
  for (auto& l : splitLines(list.out)) {
    auto w = words(l);
    ASSERT_GE(w.size(), 6u) << l;
    EXPECT_EQ(w[1], "root/root") << l;
    if (w[0][0] != 'd') files.insert(w[5].substr(w[5].rfind("./", 0) == 0 ? 2 : 0));
  }
  EXPECT_EQ(files,
            (std::set<std::string>{
                "usr/bin/vemo_umx", "usr/lib/libvemo_sdk.so.1", "usr/lib/libvemo_sdk.so.1.0.0",
                "usr/lib/libvemo_umx.so.1", "usr/lib/libvemo_umx.so.1.0.0",
                "usr/lib/systemd/system/vemo_umx.service", "etc/default/vemo_umx"}))
      << list.out;

  Result info = run(tmp, {"dpkg-deb", "-f", deb, "Package", "Version", "Depends", "Maintainer"});
  ASSERT_EQ(info.status, 0) << info.err;
  std::map<std::string, std::string> field;
  for (auto& l : splitLines(info.out)) {
    auto sep = l.find(": ");
    if (sep != std::string::npos) field[l.substr(0, sep)] = l.substr(sep + 2);
  }
  EXPECT_EQ(field["Package"], "vemo-umx");
  EXPECT_EQ(field["Version"], kVersion);
  EXPECT_FALSE(field["Maintainer"].empty()) << info.out;

  // Depends names the package of every library that the packaged objects load
  // and do not carry themselves.
  const std::string root = tmp / "root";
  Result unpack = run(tmp, {"dpkg-deb", "-x", deb, root});
  ASSERT_EQ(unpack.status, 0) << unpack.err;
  const auto resolved = resolvedLibraries(tmp, root + "/usr/bin/vemo_umx");
  std::map<std::string, std::string> needed;  // library file -> "soname of object"
  for (const char* f :
       {"usr/bin/vemo_umx", "usr/lib/libvemo_umx.so.1.0.0", "usr/lib/libvemo_sdk.so.1.0.0"}) {
    Dynamic d = dynamicSection(tmp, root + "/" + f);
    EXPECT_EQ(d.text.find(kBuildDir), std::string::npos) << f << "\n" << d.text;
    for (auto& soname : d.needed) {
      if (vt::fileExists(root + "/usr/lib/" + soname)) continue;
      auto it = resolved.find(soname);
      ASSERT_NE(it, resolved.end()) << soname << " of " << f << " is not resolved";
      needed.emplace(it->second, soname + " of " + f);
    }
  }
  std::set<std::string> lib_files;
  for (auto& n : needed) lib_files.insert(n.first);
  const auto owners = owningPackages(tmp, lib_files);
  const auto depends = dependedPackages(field["Depends"]);
  std::set<std::string> required;
  for (auto& [file, who] : needed) {
    auto it = owners.find(file);
    if (it == owners.end()) {
      ADD_FAILURE() << file << " (" << who << ") comes from no Debian package";
      continue;
    }
    required.insert(it->second);
    // A sanitizer build links its runtime; only a normal build is shipped.
    if (vt::kSanitizedBuild && it->second.find("san") != std::string::npos) continue;
    EXPECT_EQ(depends.count(it->second), 1u)
        << who << " needs " << it->second << "; Depends: " << field["Depends"];
  }
  for (const char* pkg : {"libc6", "libstdc++6", "libmodbus5", "libconfig9", "libdw1"})
    EXPECT_EQ(required.count(pkg), 1u) << pkg << " was not found among the libraries loaded";

  // The unit starts the packaged program; the defaults file only documents
  // the setting, so the unit's own default holds until the integrator sets it.
  const std::string unit = vt::readFile(root + "/usr/lib/systemd/system/vemo_umx.service");
  EXPECT_NE(unit.find("\nExecStart=/usr/bin/vemo_umx --workspace ${VEMO_UMX_WORKSPACE}\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\nEnvironmentFile=-/etc/default/vemo_umx\n"), std::string::npos) << unit;
  const std::string defaults = vt::readFile(root + "/etc/default/vemo_umx");
  EXPECT_TRUE(std::regex_search(defaults, std::regex(R"((^|\n)# ?VEMO_UMX_WORKSPACE=/)")))
      << defaults;
  for (auto& l : splitLines(defaults)) EXPECT_TRUE(l.empty() || l[0] == '#') << l;

  // The defaults file is a conffile, and no maintainer script enables,
  // starts or restarts the service.
  const std::string control = tmp / "control";
  Result ctl = run(tmp, {"dpkg-deb", "-e", deb, control});
  ASSERT_EQ(ctl.status, 0) << ctl.err;
  EXPECT_EQ(vt::readFile(control + "/conffiles"), "/etc/default/vemo_umx\n");
  const std::regex manager(R"(systemctl|deb-systemd-|invoke-rc\.d)");
  const std::regex starts(R"(\b(start|enable|restart)\b)");
  for (const char* script : {"preinst", "postinst", "prerm", "postrm"}) {
    const std::string path = control + "/" + script;
    if (!vt::fileExists(path)) continue;
    EXPECT_NE(fs::status(path).permissions() & fs::perms::owner_exec, fs::perms::none) << script;
    for (auto& l : splitLines(vt::readFile(path))) {
      const auto first = l.find_first_not_of(" \t");
      if (first == std::string::npos || l[first] == '#') continue;
      if (!std::regex_search(l, manager)) continue;
      EXPECT_FALSE(std::regex_search(l, starts)) << script << ": " << l;
    }
  }
}

TEST(Install, UnitStartsTheInstalledProgramAndKeepsTheDefaultsFile) {
  vt::TempDir tmp("vemo-unit");
  const std::string prefix = tmp / "prefix";
  Result inst = installService(tmp, prefix);
  ASSERT_EQ(inst.status, 0) << inst.out << inst.err;

  // Configured for the prefix it was installed to, not the build's.
  const std::string unit_path = prefix + "/lib/systemd/system/vemo_umx.service";
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
  // systemd restarts a bridge that hangs, not only one that dies, and waits
  // as long as it takes for the controller before the bridge is ready.
  for (const char* line : {"Type=notify", "NotifyAccess=main", "WatchdogSec=30",
                           "TimeoutStartSec=infinity", "Restart=on-failure"})
    EXPECT_NE(unit.find(std::string("\n") + line + "\n"), std::string::npos) << line;

  // Installing again renews the unit and keeps the integrator's settings.
  const std::string defaults = prefix + "/etc/default/vemo_umx";
  vt::writeFile(defaults, "VEMO_UMX_WORKSPACE=/data/cell/ws/\n");
  fs::remove(unit_path);
  Result again = installService(tmp, prefix);
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
    EXPECT_EQ(l.find("vemo_umx.service"), std::string::npos) << l;
}

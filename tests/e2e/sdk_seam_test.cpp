// The seam to the robot maker's SDK: the stand-in installed into a prefix of
// its own as if it were the maker's, the service configured with
// VEMO_SDK_ROOT and built from this source tree against it alone, then run
// in the whole cell. Built without the stand-in's isConnected(), as the
// maker's SDK has none, it must load that SDK, bridge as ever, and still
// show the controller's coming and going on the rpc channel.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "cell.h"
#include "sanitized.h"

namespace fs = std::filesystem;
using vt::Cell;
using vt::Ms;

namespace {

const Ms kBuild(280000);  // a fresh build of the service on two busy cores

// Runs a command to its end with its output in files; the exit status, -1 on time-out.
int run(const vt::TempDir& dir, const std::vector<std::string>& argv, std::string* out,
        Ms timeout = Ms(120000)) {
  static int runs = 0;
  const std::string base = dir / ("run" + std::to_string(++runs));
  std::vector<std::string> sh{"sh", "-c", "out=$1; shift; exec \"$@\" >\"$out\" 2>&1", "sh",
                              base + ".out"};
  sh.insert(sh.end(), argv.begin(), argv.end());
  vt::Process p(sh, {{{"LC_ALL", "C"}}, {}, dir.path()});
  int st = 0;
  const bool ended = p.waitExit(timeout, &st);
  *out = vt::readFile(base + ".out");
  if (!ended) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace

TEST(SdkSeam, ServiceBuiltAgainstAnInstalledSdkRunsTheCell) {
  if (vt::kSanitizedBuild) GTEST_SKIP() << "the plain build proves the seam; not rebuilt here";
  vt::TempDir tmp("vemo-seam");
  const std::string sdk = tmp / "maker-sdk";
  std::string out;
  ASSERT_EQ(
      run(tmp, {VEMO_CMAKE, "--install", VEMO_BUILD_DIR, "--prefix", sdk, "--component", "sdk"},
          &out),
      0)
      << out;
  ASSERT_TRUE(vt::fileExists(sdk + "/include/vemo_sdk/vemo_sdk.h")) << out;

  // A prefix without the SDK stops the configure step with one clear message.
  ASSERT_EQ(run(tmp,
                {VEMO_CMAKE, "-S", vt::sourceDir(), "-B", tmp / "nosdk",
                 "-DVEMO_SDK_ROOT=" + (tmp / "empty"), "-DVEMO_BUILD_TESTS=OFF"},
                &out),
            1)
      << out;
  // CMake folds the message's lines: look for its parts.
  for (const char* part : {"no robot SDK there", "vemo_sdk/vemo_sdk.h", "libvemo_sdk"})
    EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;

  const std::string build = tmp / "build";
  ASSERT_EQ(
      run(tmp,
          {VEMO_CMAKE, "-S", vt::sourceDir(), "-B", build, "-G", "Ninja",
           "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_CXX_COMPILER=" + std::string(VEMO_CXX),
           "-DCMAKE_C_COMPILER=" + std::string(VEMO_C), "-DVEMO_SDK_ROOT=" + sdk,
           "-DCMAKE_CXX_FLAGS=-DVEMO_SDK_WITHOUT_IS_CONNECTED", "-DVEMO_BUILD_TESTS=OFF",
           "-DVEMO_BUILD_BENCH=OFF"},
          &out),
      0)
      << out;
  EXPECT_NE(out.find("Robot SDK: " + fs::canonical(sdk).string() + "/lib/libvemo_sdk.so"),
            std::string::npos)
      << out;
  // Only the service: no stand-in, no controller simulator in this build.
  ASSERT_EQ(run(tmp, {VEMO_CMAKE, "--build", build, "--target", "vemo_umx"}, &out, kBuild), 0)
      << out;
  EXPECT_FALSE(vt::fileExists(build + "/lib/libvemo_sdk.so.1"));
  EXPECT_NE(vt::readFile(build + "/compile_commands.json").find("-DVEMO_SDK_WITHOUT_IS_CONNECTED"),
            std::string::npos);
  EXPECT_NE(run(tmp, {VEMO_CMAKE, "--build", build, "--target", "vemo_robot_sim"}, &out), 0);

  // The dynamic loader takes the SDK from its prefix.
  const std::string program = build + "/bin/vemo_umx";
  ASSERT_EQ(run(tmp, {"env", "-u", "LD_LIBRARY_PATH", "LD_TRACE_LOADED_OBJECTS=1", program}, &out),
            0)
      << out;
  EXPECT_NE(
      out.find("libvemo_sdk.so.1 => " + fs::canonical(sdk).string() + "/lib/libvemo_sdk.so.1"),
      std::string::npos)
      << out;

  // And it bridges: the first status blocks reach the gateway.
  Cell::Options o;
  o.start_umx = false;
  o.config = {{"controlRobot", "0"}};  // no commands: the cycle's own calls alone tell
  Cell cell(o);
  cell.start();
  vt::ProcessOptions opt;
  opt.unset_env = {"LD_LIBRARY_PATH", "LD_PRELOAD"};
  opt.cwd = tmp.path();
  const std::string metrics = tmp / "vemo_umx.prom";
  vt::Process umx({program, "--workspace", cell.workspace(), "--metrics-file", metrics}, opt);
  ASSERT_TRUE(umx.waitFor("VEMO-UMX is Running", Ms(20000))) << umx.allText();
  EXPECT_TRUE(cell.waitCycles(2)) << umx.allText();
  cell.robotCmd("set joint_positions 1 0 0 0 0 0");
  EXPECT_TRUE(cell.waitGateway("hr", 44, {vt::swap16(0x3F80), 0}, Ms(5000)));

  // The rpc channel follows a controller that dies and comes back.
  const auto rpc = [&] {
    const std::string series = "\nvemo_umx_robot_connected{channel=\"rpc\"} ";
    const std::string text = vt::readFile(metrics);
    const size_t at = text.find(series);
    return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + series.size());
  };
  ASSERT_TRUE(vt::waitUntil([&] { return rpc() == 1; }, Ms(15000), Ms(50)))
      << vt::readFile(metrics);
  cell.robot().signal(SIGKILL);
  ASSERT_TRUE(vt::waitUntil([&] { return rpc() == 0; }, Ms(10000), Ms(50)))
      << vt::readFile(metrics);
  cell.restartRobot();
  EXPECT_TRUE(vt::waitUntil([&] { return rpc() == 1; }, Ms(15000), Ms(50)))
      << vt::readFile(metrics);
}

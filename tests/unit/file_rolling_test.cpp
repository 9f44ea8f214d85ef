// Rolling diagnostic files and the crash report's housekeeping, on real
// directories.
#include "file_rolling.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <ucontext.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <set>

#include "client/linux/handler/minidump_descriptor.h"
#include "signal_handling.h"
#include "test_env.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> names(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
  return out;
}

std::set<std::string> traceFiles(const std::string& dir) {
  std::set<std::string> out;
  const std::regex trace(R"(vemo_umx_\d{14})");
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string n = e.path().filename().string();
    if (e.is_regular_file() && std::regex_match(n, trace)) out.insert(n);
  }
  return out;
}

// Trace files of an earlier year, so that every one sorts before a new one.
void makeTraces(const std::string& dir, int count) {
  for (int i = 0; i < count; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "vemo_umx_200001010000%02d", i);
    vt::writeFile(dir + name, "old trace");
  }
}

// Not inlined: the trace must show it by name whatever the compiler.
__attribute__((noinline)) backward::StackTrace here() {
  backward::StackTrace st;
  st.load_here(16);
  return st;
}

}  // namespace

TEST(FileRolling, KeepsTheNewestTraceFilesByName) {
  vt::TempDir tmp;
  const std::string dir = tmp.path() + "/traces/";
  fs::create_directories(dir);
  makeTraces(dir, 12);
  vt::writeFile(dir + "notes.txt", "no prefix in its path");
  fs::create_directories(dir + "vemo_umx_20000101000099");  // directories never count

  {
    FileRolling rolling(dir, "vemo_umx", "", 10);
    auto traces = traceFiles(dir);
    EXPECT_EQ(traces.size(), 10u);
    EXPECT_EQ(traces.count("vemo_umx_20000101000000"), 0u);
    EXPECT_EQ(traces.count("vemo_umx_20000101000001"), 0u);
    EXPECT_EQ(traces.count("vemo_umx_20000101000002"), 1u);

    testing::internal::CaptureStdout();
    rolling.write(here());
    const std::string out = testing::internal::GetCapturedStdout();

    traces = traceFiles(dir);
    EXPECT_EQ(traces.size(), 10u);
    EXPECT_EQ(traces.count("vemo_umx_20000101000002"), 0u);
    const std::string newest = *traces.rbegin();
    EXPECT_EQ(newest.compare(0, 11, "vemo_umx_20"), 0) << newest;
    EXPECT_EQ(out, "Crash file is written to " + dir + newest + "\n");
    const std::string text = vt::readFile(dir + newest);
    EXPECT_EQ(text.rfind("Stack trace (most recent call last)", 0), 0u) << text;
    EXPECT_NE(text.find("here"), std::string::npos) << "function names resolved:\n" << text;
    EXPECT_EQ(text.find("\x1b["), std::string::npos) << "no colour codes in the file";
  }
  EXPECT_TRUE(vt::fileExists(dir + "notes.txt"));
  EXPECT_TRUE(fs::is_directory(dir + "vemo_umx_20000101000099"));

  // Below the maximum nothing is deleted and the write adds one.
  const std::string few = tmp.path() + "/few/";
  fs::create_directories(few);
  makeTraces(few, 9);
  FileRolling rolling(few, "vemo_umx", "", 10);
  rolling.rotate();
  EXPECT_EQ(traceFiles(few).size(), 9u);
  testing::internal::CaptureStdout();
  rolling.write(here());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(traceFiles(few).size(), 10u);
  EXPECT_EQ(traceFiles(few).count("vemo_umx_20000101000000"), 1u);
}

TEST(FileRolling, EveryFileCountsWhenTheDirectoryIsNamedAfterThePrefix) {
  vt::TempDir tmp;
  const std::string dir = tmp.path() + "/ws/./log/.crash/vemo_umx/";
  fs::create_directories(dir);
  makeTraces(dir, 6);
  for (const char* d : {"1a.dmp", "2b.dmp", "3c.dmp", "4d.dmp", "5e.dmp", "6f.dmp"})
    vt::writeFile(dir + d, "MDMP");

  FileRolling rolling(dir, "vemo_umx", "", 10);
  auto left = names(dir);
  EXPECT_EQ(left.size(), 10u);
  EXPECT_EQ(left.count("1a.dmp") + left.count("2b.dmp"), 0u) << "smallest names go first";

  testing::internal::CaptureStdout();
  rolling.write(here());
  testing::internal::GetCapturedStdout();
  left = names(dir);
  EXPECT_EQ(left.size(), 10u);
  EXPECT_EQ(left.count("3c.dmp"), 0u);
  EXPECT_EQ(left.count("4d.dmp"), 1u);
  EXPECT_EQ(traceFiles(dir).size(), 7u);
}

TEST(FileRolling, MissingDirectoryReportsTheOpenFailureAndDeletesNothing) {
  vt::TempDir tmp;
  makeTraces(tmp.path() + "/", 12);
  const std::string dir = tmp.path() + "/missing/";

  FileRolling rolling(dir, "vemo_umx", "", 1);
  testing::internal::CaptureStdout();
  rolling.write(here());
  rolling.write("text", "name");
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_TRUE(std::regex_match(out, std::regex("Crash file open fail! " + dir +
                                               R"(vemo_umx_\d{14}\n)"
                                               "Diagnose file open fail! " +
                                               dir + "vemo_umx_name\n")))
      << out;
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_EQ(traceFiles(tmp.path()).size(), 12u);
}

TEST(FileRolling, DiagnoseFilesRollByTheKeyBetweenPrefixAndSuffix) {
  vt::TempDir tmp;
  const std::string dir = tmp.path() + "/diag/";
  fs::create_directories(dir);
  for (char c = 'a'; c <= 'e'; ++c) vt::writeFile(dir + "net_" + c + ".txt", "old");
  vt::writeFile(dir + "other_a.txt", "not ours");

  FileRolling rolling(dir, "net", ".txt", 5);
  testing::internal::CaptureStdout();
  rolling.write("link down\n", "f");
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(out, "Diagnose file is written to " + dir + "net_f.txt\n");
  EXPECT_EQ(vt::readFile(dir + "net_f.txt"), "link down\n");
  EXPECT_EQ(names(dir), (std::set<std::string>{"net_b.txt", "net_c.txt", "net_d.txt", "net_e.txt",
                                               "net_f.txt", "other_a.txt"}));
}

TEST(CrashHandler, PrunesTheOldestMinidumpsByModificationTime) {
  vt::TempDir tmp;
  const std::string dir = tmp.path() + "/";
  const auto now = fs::file_time_type::clock::now();
  // Names in the reverse order of age, so that name order would pick wrongly.
  for (int i = 0; i < 12; ++i) {
    const std::string p = dir + std::string(1, static_cast<char>('a' + i)) + ".dmp";
    vt::writeFile(p, "MDMP");
    fs::last_write_time(p, now - std::chrono::hours(1 + i));
  }
  vt::writeFile(dir + "x.dmp.old", "old");
  fs::last_write_time(dir + "x.dmp.old", now - std::chrono::hours(100));
  fs::create_directories(dir + "y.dmp");
  fs::last_write_time(dir + "y.dmp", now - std::chrono::hours(100));

  backward::SignalHandling1::pruneMinidumps(dir, 9);
  EXPECT_EQ(names(dir), (std::set<std::string>{"a.dmp", "b.dmp", "c.dmp", "d.dmp", "e.dmp", "f.dmp",
                                               "g.dmp", "h.dmp", "i.dmp", "x.dmp.old", "y.dmp"}));

  backward::SignalHandling1::pruneMinidumps(tmp.path() + "/missing/", 9);  // no throw
}

TEST(CrashHandler, ReportWritesTheTraceFileAndNeverStopsTheCrashPath) {
  vt::TempDir tmp;
  const std::string ws = tmp.path() + "/ws/";
  const std::string crash = ws + "./log/.crash/vemo_umx/";
  fs::create_directories(crash);
  for (int i = 0; i < 12; ++i) vt::writeFile(crash + std::to_string(i) + ".dmp", "MDMP");

  siginfo_t info{};
  info.si_signo = SIGUSR1;
  info.si_code = SI_USER;
  ucontext_t uc;
  getcontext(&uc);

  backward::SignalHandling1::workspace_ = ws;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(backward::SignalHandling1::handleSignal(SIGUSR1, &info, &uc));
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();

  const auto traces = traceFiles(crash);
  ASSERT_EQ(traces.size(), 1u);
  EXPECT_EQ(out, "Crash file is written to " + crash + *traces.begin() + "\n");
  EXPECT_NE(err.find("Stack trace (most recent call last)"), std::string::npos) << err;
  // As Breakpad's first-chance handler the report leaves room for the
  // minidump Breakpad writes next: 9 files, 10 with it.
  EXPECT_EQ(names(crash).size(), 9u);

  // A workspace without its "/" names a sibling that does not exist: the
  // report still goes to standard error and the handler still lets Breakpad go on.
  backward::SignalHandling1::workspace_ = tmp.path() + "/ws";
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(backward::SignalHandling1::handleSignal(SIGUSR1, &info, nullptr));
  out = testing::internal::GetCapturedStdout();
  err = testing::internal::GetCapturedStderr();
  backward::SignalHandling1::workspace_.clear();
  EXPECT_EQ(
      out.rfind("Crash file open fail! " + tmp.path() + "/ws./log/.crash/vemo_umx/vemo_umx_", 0),
      0u)
      << out;
  EXPECT_NE(err.find("Stack trace (most recent call last)"), std::string::npos);
  EXPECT_EQ(names(crash).size(), 9u);

  google_breakpad::MinidumpDescriptor unformed(crash);
  google_breakpad::MinidumpDescriptor descriptor(crash);
  descriptor.UpdatePath();
  char path[256] = "unchanged";
  testing::internal::CaptureStdout();
  EXPECT_TRUE(backward::SignalHandling1::dumpCallback(descriptor, nullptr, true));
  EXPECT_FALSE(backward::SignalHandling1::dumpCallback(descriptor, path, false));
  EXPECT_TRUE(backward::SignalHandling1::dumpCallback(unformed, nullptr, true));
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, std::string("Dump path: ") + descriptor.path() +
                     "\nDump path: " + descriptor.path() + "\nDump path: \n");
  EXPECT_STREQ(path, descriptor.path());
  EXPECT_EQ(std::string(path).rfind(crash, 0), 0u) << path;
}

// What the running service exposes: no listening socket of its own, no file
// or directory anyone may write, and only the connections it is meant to have.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "cell.h"

namespace fs = std::filesystem;
using vt::Ms;

namespace {

// Socket inodes the process holds open.
std::set<std::string> socketInodes(pid_t pid) {
  std::set<std::string> out;
  for (auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code ec;
    const std::string target = fs::read_symlink(e.path(), ec).string();
    if (!ec && target.rfind("socket:[", 0) == 0) out.insert(target.substr(8, target.size() - 9));
  }
  return out;
}

// TCP sockets by inode, with their state (0A is LISTEN), of the namespace.
std::map<std::string, std::string> tcpStates(pid_t pid) {
  std::map<std::string, std::string> out;
  for (const char* table : {"tcp", "tcp6", "udp", "udp6"}) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/net/" + table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream f(line);
      std::string sl, local, remote, state, queues, timer, retr, uid, timeout, inode;
      f >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
      out[inode] = std::string(table) + " " + state;
    }
  }
  return out;
}

}  // namespace

TEST(Boundaries, NoListeningSocketAndNothingWorldWritable) {
  vt::Cell cell;
  // Started with a umask that would let everyone write: the service must not.
  const mode_t old = ::umask(0);
  cell.start();
  ::umask(old);
  ASSERT_TRUE(cell.waitCycles(2));
  const pid_t pid = cell.umx().pid();

  const auto mine = socketInodes(pid);
  const auto states = tcpStates(pid);
  size_t tcp = 0;
  for (auto& inode : mine) {
    auto it = states.find(inode);
    if (it == states.end()) continue;  // a unix socket, the serial line is a pty
    ++tcp;
    EXPECT_EQ(it->second.rfind("tcp", 0), 0u) << "no UDP socket: " << it->second;
    EXPECT_NE(it->second.substr(it->second.size() - 2), "0A") << "a listening socket";
  }
  EXPECT_EQ(tcp, 2u) << "the RPC and the RTDE connection, nothing else";

  // What the service made: the log tree and every file below the workspace.
  for (auto& e : fs::recursive_directory_iterator(cell.workspace())) {
    struct stat st;
    ASSERT_EQ(::lstat(e.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IWOTH, 0u) << e.path() << " is world-writable";
  }
}

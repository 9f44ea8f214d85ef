#include "serial_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

bool sameNode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
}

}  // namespace

int SerialLock::acquire(const std::string& device, std::string* holder) {
  // The node held already: kept. Letting it go for a moment, on every reopen
  // of the line, is all a second bridge needs to take the line in between.
  struct stat now, held_node;
  if (fd_ >= 0 && ::stat(device.c_str(), &now) == 0 && ::fstat(fd_, &held_node) == 0 &&
      sameNode(now, held_node))
    return 0;
  // Read-only and non-blocking: this descriptor only carries the lock and
  // neither waits for a modem line nor makes the tty ours.
  const int fd = ::open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno == EWOULDBLOCK ? EWOULDBLOCK : errno;
    if (holder) *holder = holderOf(fd);
    ::close(fd);
    // The device is another node now, and another bridge holds it: a lock
    // on the node that went (a re-plugged adapter) masters nothing.
    if (err == EWOULDBLOCK) release();
    return err;
  }
  // A node that replaced the held one (a re-plugged adapter) is locked
  // before the old lock goes.
  release();
  fd_ = fd;
  return 0;
}

void SerialLock::release() {
  if (fd_ < 0) return;
  ::close(fd_);  // drops the lock
  fd_ = -1;
}

std::string SerialLock::holderOf(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return "another process";
  // "1: FLOCK  ADVISORY  WRITE 4711 00:19:7 0 EOF": device as hex major:minor, inode.
  char want[64];
  std::snprintf(want, sizeof want, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long>(st.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream in(line);
    std::string id, type, mode, access, pid, where;
    if (!(in >> id >> type >> mode >> access >> pid >> where)) continue;
    if (type != "FLOCK" || where != want) continue;
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return "process " + pid + (name.empty() ? "" : " (" + name + ")");
  }
  return "another process";
}

#pragma once
// An exclusive advisory lock (flock) on a serial device, held for as long as
// the bridge wants the line (across every reopen), so that one line has one
// master: a second bridge on the same line would run every PLC command a
// second time, and two masters on RS-485 corrupt each other's frames.
// TIOCEXCL is no guard here: it does not stop root. The lock lives on its
// own descriptor, taken before the Modbus library opens (and configures)
// the line; it goes with that descriptor, so it is released by release() or
// when the process ends. A device that reappears under the same name (a
// re-plugged USB adapter, a new inode) is locked anew by the next acquire,
// before the old lock goes; when another bridge locked the new node first,
// the old lock goes at once, and this bridge masters the line no more.
#include <string>

class SerialLock {
 public:
  SerialLock() = default;
  ~SerialLock() { release(); }
  SerialLock(const SerialLock&) = delete;
  SerialLock& operator=(const SerialLock&) = delete;

  // 0 once held (at once when this lock holds that node already);
  // EWOULDBLOCK when another open of the device holds it, with
  // `holder` saying by whom ("process 4711 (vemo_umx)" or "another
  // process"); another errno when the device cannot be opened at all.
  int acquire(const std::string& device, std::string* holder);
  void release();
  bool held() const { return fd_ >= 0; }

  // Who holds the flock on the file open as `fd`, from /proc/locks.
  static std::string holderOf(int fd);

 private:
  int fd_ = -1;
};

#include "file_rolling.h"

#include <ctime>
#include <iostream>
#include <system_error>

namespace fs = std::filesystem;

FileRolling::FileRolling(const std::string& dir, const std::string& prefix,
                         const std::string& suffix, int maxFiles)
    : dir_(dir), prefix_(prefix), suffix_(suffix), maxFiles_(static_cast<uint64_t>(maxFiles)) {
  updateBackupFiles();
  while (backupFiles_.size() > maxFiles_) removeEntry(backupFiles_.begin());
}

void FileRolling::updateBackupFiles() {
  backupFiles_.clear();
  std::error_code ec;
  for (fs::directory_iterator it(dir_, ec), last; !ec && it != last; it.increment(ec)) {
    std::error_code status_ec;
    if (it->is_directory(status_ec)) continue;
    const std::string path = it->path().string();
    const size_t at = path.find(prefix_);
    if (at == std::string::npos) continue;
    const size_t begin = at + prefix_.size();
    size_t end = suffix_.empty() ? path.size() : path.find(suffix_);
    if (end == std::string::npos || end < begin) end = path.size();
    backupFiles_.emplace(path.substr(begin, end - begin), path);
  }
}

void FileRolling::removeEntry(std::map<std::string, std::string>::iterator it) {
  // A file that someone else removed, or that cannot be removed, is passed
  // over: a crash report must not fail on housekeeping.
  std::error_code ec;
  if (fs::exists(it->second, ec)) fs::remove(it->second, ec);
  backupFiles_.erase(it);
}

void FileRolling::rotate() {
  updateBackupFiles();
  if (!backupFiles_.empty() && backupFiles_.size() >= maxFiles_) removeEntry(backupFiles_.begin());
}

bool FileRolling::openTrace(std::string* name) {
  char stamp[32] = "";
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
  stamp_ = stamp;

  rotate();

  *name = dir_.string() + prefix_ + "_" + stamp + suffix_;
  // Each trace gets its own file even when one object writes twice.
  if (file_.is_open()) file_.close();
  file_.clear();
  file_.open(*name, std::ios::out | std::ios::trunc);
  return file_.is_open();
}

void FileRolling::traceWritten(const std::string& name) {
  std::ostream& out = messages_ ? *messages_ : std::cout;
  if (file_.is_open()) {
    backupFiles_.emplace(stamp_, name);
    out << "Crash file is written to " << name << std::endl;
  } else {
    out << "Crash file open fail! " << name << std::endl;
  }
  file_.flush();
}

void FileRolling::write(const std::string& text, const std::string& name) {
  rotate();

  const std::string path = dir_.string() + prefix_ + "_" + name + suffix_;
  std::ofstream out(path, std::ios::out | std::ios::trunc);
  if (out.is_open()) {
    backupFiles_.emplace(name, path);
    std::cout << "Diagnose file is written to " << path << std::endl;
  } else {
    std::cout << "Diagnose file open fail! " << path << std::endl;
  }
  out << text;
  out.flush();
  out.close();
}

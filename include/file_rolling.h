#pragma once
// Bounded set of diagnostic files in one directory: before each new file the
// oldest ones, by name order, are deleted so that at most maxFiles remain.
// Used by the crash handler for its stack-trace files, so nothing here throws.
#include <backward.hpp>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

class FileRolling {
 public:
  // `dir` is used as text for the file names, so it carries its trailing "/".
  FileRolling(const std::string& dir, const std::string& prefix, const std::string& suffix,
              int maxFiles);
  FileRolling(const FileRolling&) = delete;
  FileRolling& operator=(const FileRolling&) = delete;

  // Rebuilds the index of the directory's files, keyed by what follows the
  // first occurrence of the prefix in their whole path.
  void updateBackupFiles();
  // Deletes the first indexed file when the directory is full.
  void rotate();
  // A stack-trace file named <dir><prefix>_<YYYYmmddHHMMSS><suffix>; it stays
  // open until the object is destroyed.
  void write(const backward::StackTrace& st);
  // A diagnose file named <dir><prefix>_<name><suffix>.
  void write(const std::string& text, const std::string& name);

 private:
  // Removes the indexed file at `it` if it is still there and drops it from the index.
  void removeEntry(std::map<std::string, std::string>::iterator it);

  std::map<std::string, std::string> backupFiles_;
  std::filesystem::path dir_;
  std::string prefix_;
  std::string suffix_;
  uint64_t maxFiles_;
  std::ofstream file_;
};

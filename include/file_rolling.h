#pragma once
// Bounded set of diagnostic files in one directory: before each new file the
// oldest ones, by name order, are deleted so that at most maxFiles remain.
// Used by the crash handler for its stack-trace files, so nothing here throws.
#include <backward.hpp>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iosfwd>
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
  void write(const backward::StackTrace& st) { writeTrace(st); }
  // The same for anything backward-cpp's printer reads as a stack trace.
  template <typename Trace>
  void writeTrace(const Trace& st) {
    std::string name;
    if (openTrace(&name)) {
      backward::Printer printer;
      printer.address = true;
      printer.print(st, file_);
    }
    traceWritten(name);
  }
  // Where "Crash file is written to ..." and its like go; standard output
  // unless set.
  void setMessages(std::ostream* out) { messages_ = out; }
  // A diagnose file named <dir><prefix>_<name><suffix>.
  void write(const std::string& text, const std::string& name);

 private:
  // Removes the indexed file at `it` if it is still there and drops it from the index.
  void removeEntry(std::map<std::string, std::string>::iterator it);
  // Rolls and opens the next trace file; false when it could not be opened.
  bool openTrace(std::string* name);
  void traceWritten(const std::string& name);

  std::map<std::string, std::string> backupFiles_;
  std::filesystem::path dir_;
  std::string prefix_;
  std::string suffix_;
  uint64_t maxFiles_;
  std::ofstream file_;
  std::ostream* messages_ = nullptr;
  std::string stamp_;
};

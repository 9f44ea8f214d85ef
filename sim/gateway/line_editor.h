#pragma once
// The watch mode's input line. On a terminal in non-canonical mode it does the
// editing the terminal no longer does (backspace, Ctrl-U, Ctrl-W, Ctrl-D) and
// swallows the escape sequences of cursor and function keys, so the line stays
// plain text whose length is its width on the screen. From a pipe it only
// splits lines.
#include <cstddef>
#include <string>
#include <vector>

class LineEditor {
 public:
  LineEditor(bool interactive, size_t max_length)
      : interactive_(interactive), max_length_(max_length) {}

  // The lines that bytes complete, in order.
  std::vector<std::string> feed(const char* bytes, size_t n);
  const std::string& line() const { return line_; }
  // Ctrl-D on an empty line: the user is done, as at the end of a pipe.
  bool endRequested() const { return end_requested_; }

 private:
  enum class State { Text, Escape, Csi, Ss3 };
  void key(char c, std::vector<std::string>* done);

  bool interactive_;
  size_t max_length_;
  std::string line_;
  State state_ = State::Text;
  bool end_requested_ = false;
};

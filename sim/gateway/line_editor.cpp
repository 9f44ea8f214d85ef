#include "line_editor.h"

std::vector<std::string> LineEditor::feed(const char* bytes, size_t n) {
  std::vector<std::string> done;
  for (size_t i = 0; i < n; ++i) {
    const char c = bytes[i];
    if (!interactive_) {
      if (c == '\n') {
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        done.push_back(line_);
        line_.clear();
      } else if (line_.size() < max_length_) {
        line_ += c;
      }
      continue;
    }
    key(c, &done);
  }
  return done;
}

void LineEditor::key(char c, std::vector<std::string>* done) {
  const unsigned char u = static_cast<unsigned char>(c);
  switch (state_) {
    case State::Escape:
      state_ = c == '[' ? State::Csi : c == 'O' ? State::Ss3 : State::Text;
      return;
    case State::Csi:
      // Parameters and intermediates until the final byte.
      if (u < 0x20 || u > 0x3f) state_ = State::Text;
      return;
    case State::Ss3:
      state_ = State::Text;
      return;
    case State::Text:
      break;
  }
  if (c == '\r' || c == '\n') {
    done->push_back(line_);
    line_.clear();
  } else if (c == 0x7f || c == 0x08) {
    if (!line_.empty()) line_.pop_back();
  } else if (c == 0x15) {  // Ctrl-U
    line_.clear();
  } else if (c == 0x17) {  // Ctrl-W
    while (!line_.empty() && line_.back() == ' ') line_.pop_back();
    while (!line_.empty() && line_.back() != ' ') line_.pop_back();
  } else if (c == 0x04) {  // Ctrl-D
    if (line_.empty()) end_requested_ = true;
  } else if (c == 0x1b) {
    state_ = State::Escape;
  } else if (u >= 0x20 && u < 0x7f && line_.size() < max_length_) {
    // Other control bytes and non-ASCII would not take one column each.
    line_ += c;
  }
}

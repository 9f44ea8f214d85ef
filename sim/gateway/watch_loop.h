#pragma once
// Watch mode's driver: reads the user's lines, runs them as PLC actions or
// console commands, and shows the PLC view. On a terminal it owns the screen
// (alternate screen, redrawn 5 times a second, input edited in place) and
// gives it back on every way out; on a plain output it prints the view once a
// second between the answer lines, for logs and tests.
#include <mutex>
#include <string>
#include <vector>

#include "gateway_commands.h"
#include "gateway_image.h"
#include "line_editor.h"
#include "plc_actions.h"
#include "plc_view.h"

class WatchLoop {
 public:
  WatchLoop(GatewayImage& image, GatewayCommands& commands, const plc_view::ViewOptions& options);
  ~WatchLoop();
  WatchLoop(const WatchLoop&) = delete;
  WatchLoop& operator=(const WatchLoop&) = delete;

  // For the serving thread too: a line out, or a message on the screen.
  void say(const std::string& line);
  void setLink(const std::string& link) { link_ = link; }
  // Until quit, end of input, SIGINT, SIGTERM or SIGHUP; the exit status.
  int run();

 private:
  void handle(const std::string& line, bool* quit);
  void printFrame();
  void draw(bool clear);
  void enterScreen();
  void leaveScreen();
  void suspend();

  GatewayImage& image_;
  GatewayCommands& commands_;
  plc_view::ViewOptions options_;
  PlcActions actions_;
  LineEditor editor_;
  plc_view::RateMeter meter_;
  plc_view::ImageSnapshot snapshot_;
  std::string link_;
  const bool screen_;
  const bool interactive_;
  bool screen_on_ = false;
  int drawn_rows_ = 0, drawn_columns_ = 0;
  std::mutex mu_;  // the messages and standard output
  std::vector<std::string> messages_;
  bool dirty_ = true;
};

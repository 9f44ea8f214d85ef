#include "watch_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kScreenPeriod(200);
constexpr milliseconds kPlainPeriod(1000);
// Input and the command latch are looked at this often between frames.
constexpr int kInputPollMs = 20;
constexpr size_t kKeptMessages = 32;

constexpr char kEnter[] = "\x1b[?1049h\x1b[2J\x1b[H";
constexpr char kLeave[] = "\x1b[?25h\x1b[?1049l";

// Signal handlers only set flags, except the fatal ones, which can only put
// the terminal back: the state they need lives here.
volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_suspend = 0;
volatile sig_atomic_t g_raw = 0;  // 1 while the screen is ours
struct termios g_saved_termios;
volatile sig_atomic_t g_termios_saved = 0;

bool typedOnTerminal() {
  return ::isatty(STDOUT_FILENO) && ::isatty(STDIN_FILENO);
}

void writeAll(const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(STDOUT_FILENO, data, n);
    if (w < 0 && errno == EINTR) continue;
    // The terminal is gone: nobody is left to watch.
    if (w <= 0) {
      g_stop = 1;
      return;
    }
    data += w;
    n -= static_cast<size_t>(w);
  }
}

void onStop(int) {
  g_stop = 1;
}

void onSuspend(int) {
  g_suspend = 1;
}

void onFatal(int sig) {
  if (g_raw) {
    // write and tcsetattr are async-signal-safe.
    ssize_t ignored = ::write(STDOUT_FILENO, kLeave, sizeof kLeave - 1);
    (void)ignored;
    if (g_termios_saved) ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
  }
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void install(int sig, void (*fn)(int)) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = fn;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: a signal must cut the input poll short.
  sa.sa_flags = 0;
  ::sigaction(sig, &sa, nullptr);
}

}  // namespace

WatchLoop::WatchLoop(GatewayImage& image, GatewayCommands& commands,
                     const plc_view::ViewOptions& options)
    : image_(image),
      commands_(commands),
      options_(options),
      actions_(image, options, [&image] { return image.watchedReads(); }),
      // On the screen the input line must fit the prompt row with the cursor.
      editor_(typedOnTerminal(),
              typedOnTerminal() ? plc_view::kColumns - (sizeof plc_view::kPrompt - 1) - 1 : 4096),
      screen_(::isatty(STDOUT_FILENO)),
      interactive_(typedOnTerminal()) {}

WatchLoop::~WatchLoop() {
  leaveScreen();
}

void WatchLoop::say(const std::string& line) {
  std::lock_guard<std::mutex> lk(mu_);
  if (screen_) {
    messages_.push_back(line);
    if (messages_.size() > kKeptMessages) messages_.erase(messages_.begin());
    dirty_ = true;
    return;
  }
  std::string out = line + '\n';
  writeAll(out.data(), out.size());
}

void WatchLoop::handle(const std::string& line, bool* quit) {
  std::vector<std::string> answers;
  if (!actions_.execute(line, &answers)) {
    std::string answer = commands_.execute(line, quit);
    if (!answer.empty()) answers.push_back(answer);
  }
  for (const std::string& a : answers) say(a);
}

void WatchLoop::printFrame() {
  plc_view::ViewText text;
  text.link = link_;
  const auto rows = plc_view::renderView(snapshot_, options_, text);
  std::string out;
  for (int i = 0; i < plc_view::kDataRows; ++i) out += rows[i] + '\n';
  std::lock_guard<std::mutex> lk(mu_);
  writeAll(out.data(), out.size());
}

void WatchLoop::draw(bool clear) {
  plc_view::ViewText text;
  text.link = link_;
  text.input = editor_.line();
  {
    std::lock_guard<std::mutex> lk(mu_);
    text.messages = messages_;
    dirty_ = false;
  }
  const auto rows = plc_view::renderView(snapshot_, options_, text);

  int height = plc_view::kRows, width = plc_view::kColumns;
  struct winsize ws;
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
    height = std::min<int>(height, ws.ws_row);
    width = std::min<int>(width, ws.ws_col);
  }
  // A smaller terminal would scroll on a wrapped row: rows are cut to fit,
  // and the prompt keeps the last row whatever the height.
  std::string out = "\x1b[?25l";
  if (clear || height != drawn_rows_ || width != drawn_columns_) out += "\x1b[2J";
  drawn_rows_ = height;
  drawn_columns_ = width;
  auto put = [&](int screen_row, const std::string& row) {
    out += "\x1b[" + std::to_string(screen_row + 1) + ";1H";
    out += row.substr(0, static_cast<size_t>(width));
    out += "\x1b[K";
  };
  for (int i = 0; i < height - 1; ++i) put(i, rows[i]);
  put(height - 1, rows[plc_view::kRows - 1]);
  const size_t column =
      std::min<size_t>(rows[plc_view::kRows - 1].size() + 1, static_cast<size_t>(width));
  out += "\x1b[" + std::to_string(height) + ";" + std::to_string(column) + "H\x1b[?25h";
  writeAll(out.data(), out.size());
}

void WatchLoop::enterScreen() {
  if (!screen_ || screen_on_) return;
  if (interactive_) {
    if (!g_termios_saved && ::tcgetattr(STDIN_FILENO, &g_saved_termios) == 0) g_termios_saved = 1;
    if (g_termios_saved) {
      // Keys one by one and unechoed; ISIG stays, so Ctrl-C is still SIGINT.
      struct termios raw = g_saved_termios;
      raw.c_lflag &= ~(ICANON | ECHO);
      raw.c_cc[VMIN] = 1;
      raw.c_cc[VTIME] = 0;
      ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
  }
  writeAll(kEnter, sizeof kEnter - 1);
  screen_on_ = true;
  g_raw = 1;
}

void WatchLoop::leaveScreen() {
  if (!screen_on_) return;
  g_raw = 0;
  writeAll(kLeave, sizeof kLeave - 1);
  if (g_termios_saved) ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
  screen_on_ = false;
}

void WatchLoop::suspend() {
  g_suspend = 0;
  // Stopped with the shell's terminal given back, as a shell expects.
  leaveScreen();
  ::signal(SIGTSTP, SIG_DFL);
  ::raise(SIGTSTP);
  // Continued (fg): take the screen again.
  install(SIGTSTP, onSuspend);
  enterScreen();
  draw(true);
}

int WatchLoop::run() {
  g_stop = 0;
  install(SIGINT, onStop);
  install(SIGTERM, onStop);
  install(SIGHUP, onStop);
  if (screen_) {
    if (interactive_) install(SIGTSTP, onSuspend);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) install(sig, onFatal);
    enterScreen();
  }
  const milliseconds period = screen_ ? kScreenPeriod : kPlainPeriod;
  Clock::time_point next = Clock::now();
  bool quit = false;
  while (!quit && !g_stop) {
    if (g_suspend) suspend();
    const auto until_frame = std::chrono::duration_cast<milliseconds>(next - Clock::now()).count();
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int timeout = static_cast<int>(std::clamp<long long>(until_frame, 0, kInputPollMs));
    if (::poll(&p, 1, timeout) > 0) {
      char buf[512];
      const ssize_t n = (p.revents & POLLNVAL) ? 0 : ::read(STDIN_FILENO, buf, sizeof buf);
      if (n > 0) {
        for (const std::string& line : editor_.feed(buf, static_cast<size_t>(n))) {
          handle(line, &quit);
          if (quit) break;
        }
        if (editor_.endRequested()) quit = true;
        std::lock_guard<std::mutex> lk(mu_);
        dirty_ = true;
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        // End of input ends the simulator as "quit" does: its driver is gone.
        quit = true;
      }
    }
    const std::string notice = actions_.tick();
    if (!notice.empty()) say(notice);

    const Clock::time_point now = Clock::now();
    bool redraw;
    {
      std::lock_guard<std::mutex> lk(mu_);
      redraw = dirty_;
    }
    if (now >= next) {
      meter_.add(now, image_.stats());
      snapshot_ = plc_view::takeSnapshot(image_, options_);
      snapshot_.rates = meter_.rates();
      next += period;
      // After a stop (Ctrl-Z) the clock ran on: no burst of catch-up frames.
      if (next < now) next = now + period;
      if (screen_)
        draw(false);
      else
        printFrame();
    } else if (screen_ && redraw) {
      draw(false);
    }
  }
  leaveScreen();
  return 0;
}

#include "gateway_server.h"

#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace {

constexpr int kSlave = 1;
constexpr int kPollMs = 100;

// True once path no longer names the terminal that fd has open: socat was
// restarted and made a new pty under the same name.
bool lineReplaced(const std::string& path, int fd) {
  struct stat now, open;
  if (::stat(path.c_str(), &now) != 0) return true;
  if (::fstat(fd, &open) != 0) return true;
  return now.st_rdev != open.st_rdev;
}

}  // namespace

void GatewayServer::serve(modbus_t* ctx, const uint8_t* request, int length) {
  struct timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  // Decided at receipt: a request answered before "trace on" is not traced
  // after it, however late this thread gets to print.
  const bool tracing = image_.tracing();
  GatewayImage::Served s = image_.serve(ctx, request, length);
  if (s.function < 0 || !tracing) return;
  // Receive time on the monotonic clock, so a driver can time cycles.
  char line[128];
  std::snprintf(line, sizeof line, "req fc=%d addr=%d count=%d t_us=%lld%s", s.function, s.address,
                s.count, static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000,
                s.answered ? "" : " unanswered");
  say_(line);
}

void GatewayServer::runRtu(const std::string& path) {
  bool announcedWait = false;
  while (!stop_) {
    modbus_t* ctx = modbus_new_rtu(path.c_str(), 115200, 'N', 8, 1);
    if (ctx == nullptr) {
      say_("error cannot use " + path + ": " + modbus_strerror(errno));
      return;
    }
    modbus_set_slave(ctx, kSlave);
    if (modbus_connect(ctx) == -1) {
      if (!announcedWait) say_("waiting for " + path + ": " + modbus_strerror(errno));
      announcedWait = true;
      modbus_free(ctx);
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
      continue;
    }
    announcedWait = false;
    modbus_flush(ctx);
    say_("ready rtu " + path);
    serveLine(ctx, path);
    modbus_close(ctx);
    modbus_free(ctx);
    if (!stop_) say_("offline rtu " + path);
  }
}

void GatewayServer::serveLine(modbus_t* ctx, const std::string& path) {
  int fd = modbus_get_socket(ctx);
  uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
  while (!stop_) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, kPollMs);
    if (r < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (r == 0) {
      if (lineReplaced(path, fd)) return;
      continue;
    }
    // The far end of the pty went away.
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return;
    int rc = modbus_receive(ctx, request);
    if (rc > 0) {
      serve(ctx, request, rc);
    } else if (rc == -1) {
      if (errno == EIO || errno == EBADF) return;
      // Garbage or a torn frame: drop what is left and wait for the next request.
      modbus_flush(ctx);
    }
  }
}

GatewayServer::~GatewayServer() {
  if (listener_ >= 0) ::close(listener_);
  if (tcp_ctx_ != nullptr) {
    modbus_set_socket(tcp_ctx_, -1);
    modbus_free(tcp_ctx_);
  }
}

int GatewayServer::listenTcp(int port) {
  tcp_ctx_ = modbus_new_tcp("127.0.0.1", port);
  if (tcp_ctx_ == nullptr) {
    say_(std::string("error cannot create TCP context: ") + modbus_strerror(errno));
    return 1;
  }
  listener_ = modbus_tcp_listen(tcp_ctx_, 4);
  if (listener_ == -1) {
    say_("error cannot listen on port " + std::to_string(port) + ": " + modbus_strerror(errno));
    return 1;
  }
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  return 0;
}

void GatewayServer::runTcp() {
  say_("ready tcp " + std::to_string(port_));
  std::vector<int> clients;
  uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
  while (!stop_) {
    std::vector<pollfd> fds;
    fds.push_back({listener_, POLLIN, 0});
    for (int c : clients) fds.push_back({c, POLLIN, 0});
    int r = ::poll(fds.data(), fds.size(), kPollMs);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    if (fds[0].revents & POLLIN) {
      int c = ::accept(listener_, nullptr, nullptr);
      if (c >= 0) clients.push_back(c);
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      modbus_set_socket(tcp_ctx_, fds[i].fd);
      int rc = modbus_receive(tcp_ctx_, request);
      if (rc > 0) {
        serve(tcp_ctx_, request, rc);
      } else if (rc == -1) {
        // A closed or confused connection: the master reconnects.
        ::close(fds[i].fd);
        clients.erase(std::find(clients.begin(), clients.end(), fds[i].fd));
      }
    }
  }
  for (int c : clients) ::close(c);
}

#pragma once
// Serves the gateway image as Modbus unit 1 on a serial line or a TCP port
// until asked to stop. Idle waits are short polls, so a stop request or a
// vanished line is noticed within a fraction of a second.
#include <atomic>
#include <functional>
#include <string>
#include <utility>

#include "gateway_image.h"

class GatewayServer {
 public:
  using Say = std::function<void(const std::string&)>;
  GatewayServer(GatewayImage& image, Say say, const std::atomic<bool>& stop)
      : image_(image), say_(std::move(say)), stop_(stop) {}
  ~GatewayServer();
  GatewayServer(const GatewayServer&) = delete;
  GatewayServer& operator=(const GatewayServer&) = delete;

  // Opens path (115200 8N1) and serves it; when the line disappears, keeps
  // reopening the path until it is back. Prints "ready rtu <path>" each time
  // the line is open and "offline rtu <path>" when it is lost.
  void runRtu(const std::string& path);
  // Binds 127.0.0.1:port (0: any free port); non-zero when it cannot.
  int listenTcp(int port);
  // Prints "ready tcp <port>" and serves any number of masters.
  void runTcp();
  int port() const { return port_; }

 private:
  void serveLine(modbus_t* ctx, const std::string& path);
  // Answers one request; with the trace on, prints "req fc=.. addr=.. count=.. t_us=..".
  void serve(modbus_t* ctx, const uint8_t* request, int length);

  GatewayImage& image_;
  Say say_;
  const std::atomic<bool>& stop_;
  modbus_t* tcp_ctx_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
};

#pragma once
// The one RPC connection behind an RpcClient and every handle it hands out.
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "vemo_sdk/wire.h"

namespace ryne {
namespace vemo_sdk {
namespace detail {

class RpcChannel {
 public:
  struct Reply {
    int code = 0;
    nlohmann::json result;
  };

  ~RpcChannel();
  int connect(const std::string& host, int port);
  int disconnect();
  bool isConnected();
  int login(const std::string& user, const std::string& password);
  void setTimeout(int ms);

  Reply call(const std::string& method, const std::string& robot, nlohmann::json args);
  // A status-code call: the controller's code or one of the kSdk codes.
  int code(const std::string& method, const std::string& robot, nlohmann::json args) {
    return call(method, robot, std::move(args)).code;
  }
  // A query answering an integer; `fallback` when it got none.
  int64_t integer(const std::string& method, const std::string& robot, int64_t fallback);

 private:
  int openLocked();
  bool aliveLocked();
  void closeLocked();
  Reply exchangeLocked(const std::string& method, const std::string& robot, nlohmann::json args);

  std::mutex mu_;
  int fd_ = -1;
  std::string host_;
  int port_ = 0;
  bool have_credentials_ = false;
  std::string user_, password_;
  int timeout_ms_ = 5000;
  uint64_t next_id_ = 1;
  wire::FrameReader reader_;
};

}  // namespace detail
}  // namespace vemo_sdk
}  // namespace ryne

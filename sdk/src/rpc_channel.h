#pragma once
// The one RPC connection behind an RpcClient and every handle it hands out.
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "socket_util.h"
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
  // A query answering an integer; `fallback` when it got none. Polled every
  // exchange cycle, so a steady connection makes it without heap allocation.
  int64_t integer(const char* method, const std::string& robot, int64_t fallback);

  // A reply whose members are all integers (or null), read without
  // building a document; the usual shape of status and integer answers.
  struct FlatReply {
    uint64_t id = 0;
    int64_t code = 0;
    bool has_result = false;
    bool result_is_integer = false;
    int64_t result = 0;
  };
  static bool scanFlatReply(const std::string& body, FlatReply& out);

 private:
  // Each call has one deadline, set as it starts, that bounds all of it:
  // noticing a dead link, reconnecting, sending and waiting for the answer,
  // however many unrelated frames the controller sends meanwhile.
  Clock::time_point deadlineLocked() const;
  int openLocked(Clock::time_point deadline);
  bool aliveLocked(Clock::time_point deadline);
  void closeLocked();
  Reply exchangeLocked(const std::string& method, const std::string& robot, nlohmann::json args,
                       Clock::time_point deadline);
  // Sends request_ (one JSON object) and waits for the reply to `id`: 0 with
  // the reply in flat_ (when flat_ok_) or reply_json_, or a kSdk code.
  int roundTripLocked(uint64_t id, Clock::time_point deadline);

  std::mutex mu_;
  int fd_ = -1;
  std::string host_;
  int port_ = 0;
  bool have_credentials_ = false;
  std::string user_, password_;
  int timeout_ms_ = 5000;
  uint64_t next_id_ = 1;
  wire::FrameReader reader_;
  // Reused between calls so that their capacity carries over.
  std::string request_, frame_, reply_body_;
  FlatReply flat_;
  bool flat_ok_ = false;
  nlohmann::json reply_json_;
};

}  // namespace detail
}  // namespace vemo_sdk
}  // namespace ryne

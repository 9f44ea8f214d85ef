#pragma once
// Request/response link to the controller's RPC port. Calls are synchronous
// and serialised; each waits at most the request timeout for its answer.
// After connect() the client reconnects by itself: a call that finds the
// connection gone opens it again and logs in with the stored credentials.
#include <memory>
#include <string>
#include <vector>

#include "vemo_sdk/types.h"
#include "vemo_sdk/vemo_api.h"

namespace ryne {
namespace vemo_sdk {

class RpcClient : public common_interface::VemoApi {
 public:
  // `mode` is reserved; 0 is the only mode.
  explicit RpcClient(int mode = 0);
  ~RpcClient() override;
  RpcClient(const RpcClient&) = delete;
  RpcClient& operator=(const RpcClient&) = delete;

  int connect(const std::string& ip, int port);  // 0 when connected
  int disconnect();
#ifndef VEMO_SDK_WITHOUT_IS_CONNECTED
  // An extra of this SDK (the maker's lacks it): the define hides it, to build
  // a user as it builds against the maker's.
  bool isConnected() const;
#endif
  int login(const std::string& user, const std::string& password);
  int setRequestTimeout(int milliseconds);

  std::vector<std::string> getRobotNames() override;
  common_interface::RobotInterfacePtr getRobotInterface(const std::string& name) override;
  common_interface::RuntimeMachinePtr getRuntimeMachine() override;
  common_interface::RegisterControlPtr getRegisterControl() override;

 private:
  RpcChannelPtr channel_;
};
using RpcClientPtr = std::shared_ptr<RpcClient>;

}  // namespace vemo_sdk
}  // namespace ryne

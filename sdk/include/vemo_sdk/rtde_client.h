#pragma once
// Real-time data exchange with the controller's RTDE port.
//
// A topic set is registered with setTopic and then either subscribed (the
// controller streams packets, handed to the callback on the SDK's delivery
// thread) or published (the SDK asks the callback for an output packet at the
// topic's frequency and sends it). After connect() the client keeps the link
// up by itself: when the controller goes away it reconnects, logs in again and
// re-issues its topics, subscriptions and publications, keeping the channel
// numbers it handed out.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vemo_sdk/input_parser.h"
#include "vemo_sdk/output_builder.h"
#include "vemo_sdk/types.h"

namespace ryne {
namespace vemo_sdk {

class RtdeClient {
 public:
  using SubscribeCallback = std::function<void(InputParser&)>;
  using PublishCallback = std::function<void(OutputBuilder&)>;

  // `mode` is reserved; 0 is the only mode.
  explicit RtdeClient(int mode = 0);
  // Stops the delivery thread; no callback runs afterwards. Allowed from one
  // of the client's own callbacks too.
  ~RtdeClient();
  RtdeClient(const RtdeClient&) = delete;
  RtdeClient& operator=(const RtdeClient&) = delete;

  // 0 when connected. Connecting again (after disconnect, or to another
  // controller) re-issues the login, topics, subscriptions and publications
  // made so far, as a reconnect does. Refused (kSdkBusy) from a callback.
  int connect(const std::string& ip, int port);
  // Also ends reconnecting. From a callback, delivery stops once it returns.
  int disconnect();
#ifndef VEMO_SDK_WITHOUT_IS_CONNECTED
  // An extra of this SDK (the maker's lacks it): the define hides it, to build
  // a user as it builds against the maker's.
  bool isConnected() const;
#endif
  // Connections made so far, by connect() and by every reconnect: a change
  // tells the user that the controller may have lost what it was sent. (An
  // extra of this SDK.)
  uint64_t sessions() const;
  int login(const std::string& user, const std::string& password);
  int setRequestTimeout(int milliseconds);

  // to_controller false: a status topic set streamed to us; true: an output
  // topic set we send. `frequency` in Hz; `flags` is passed to the controller.
  // Returns the channel, or -1.
  int setTopic(bool to_controller, const std::vector<std::string>& names, double frequency,
               int flags);
  int subscribe(int channel, SubscribeCallback callback);
  int publish(int channel, PublishCallback callback);
  // Both return once no callback of the channel runs any longer (unless called
  // from that very callback), and none will run again.
  int unsubscribe(int channel);
  int unpublish(int channel);

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};
using RtdeClientPtr = std::shared_ptr<RtdeClient>;

}  // namespace vemo_sdk
}  // namespace ryne

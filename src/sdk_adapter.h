#pragma once
// The one place where the service uses what only some robot SDKs offer. The
// service builds against the maker's SDK as it is installed on a controller
// and against the project's stand-in; each extra here is looked for at
// compile time, and where the SDK lacks it the service does without.
#include <cstdint>
#include <type_traits>
#include <utility>

class SdkAdapter {
 public:
  // Connections the real-time client has made (first and reconnects); 0 when
  // the SDK does not say, and a reconnect is then seen only as a stalled
  // stream that resumes.
  template <typename RtdeClient>
  static uint64_t rtdeSessions(const RtdeClient& client) {
    if constexpr (HasSessions<RtdeClient>::value)
      return client.sessions();
    else
      return 0;
  }

  // Whether the real-time channel is connected; true when the SDK does not
  // say (a stalled stream still tells).
  template <typename RtdeClient>
  static bool rtdeConnected(const RtdeClient& client) {
    if constexpr (HasIsConnected<RtdeClient>::value)
      return client.isConnected();
    else
      return true;
  }

  // Whether the RPC channel is connected; where the SDK does not say,
  // `fallback` (whether the last call that returns a status code was answered).
  template <typename RpcClient>
  static bool rpcConnected(const RpcClient& client, bool fallback) {
    if constexpr (HasIsConnected<RpcClient>::value)
      return client.isConnected();
    else
      return fallback;
  }

  // Ends the deliveries of a subscription before its receiver goes; an SDK
  // without it keeps delivering until the client itself is destroyed.
  template <typename RtdeClient>
  static void unsubscribe(RtdeClient& client, int channel) {
    if constexpr (HasUnsubscribe<RtdeClient>::value) client.unsubscribe(channel);
  }

 private:
  template <typename T, typename = void>
  struct HasSessions : std::false_type {};
  template <typename T>
  struct HasSessions<T, std::void_t<decltype(std::declval<const T&>().sessions())>>
      : std::true_type {};
  template <typename T, typename = void>
  struct HasIsConnected : std::false_type {};
  template <typename T>
  struct HasIsConnected<T, std::void_t<decltype(std::declval<const T&>().isConnected())>>
      : std::true_type {};
  template <typename T, typename = void>
  struct HasUnsubscribe : std::false_type {};
  template <typename T>
  struct HasUnsubscribe<T, std::void_t<decltype(std::declval<T&>().unsubscribe(0))>>
      : std::true_type {};
};

#pragma once
// The robot controller runs on this machine, at the maker's fixed ports.
namespace controller_endpoint {
constexpr const char* kHost = "127.0.0.1";
constexpr int kRpcPort = 30004;
constexpr int kRtdePort = 30010;
}  // namespace controller_endpoint

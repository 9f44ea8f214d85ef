#pragma once
// Value types shared by every interface of the SDK.
#include <cstdint>
#include <memory>

namespace ryne {
namespace vemo_sdk {

// Status codes the SDK itself produces when a call never got an answer. The
// controller's own codes are >= 0 (0 success), so these cannot be mistaken
// for one of them.
enum : int {
  kSdkOk = 0,
  kSdkNotConnected = -101,   // no connection and reconnecting failed
  kSdkTimeout = -102,        // no answer within the request timeout
  kSdkProtocolError = -103,  // the peer sent a malformed frame; connection closed
  kSdkBadChannel = -104,     // unknown RTDE channel
  kSdkBusy = -105,           // request from the SDK's own delivery thread
  kSdkRefused = -106         // the answer carried no usable result
};

namespace detail {
class RpcChannel;
}
using RpcChannelPtr = std::shared_ptr<detail::RpcChannel>;

}  // namespace vemo_sdk

namespace common_interface {

enum class RobotModeType : int32_t {
  NoController = 0,
  ConfirmSafety = 1,
  Booting = 2,
  PowerOff = 3,
  PowerOn = 4,
  Idle = 5,
  BrakeReleasing = 6,
  BackDrive = 7,
  Running = 8,
  Maintenance = 9
};

enum class SafetyModeType : int32_t {
  Undefined = 0,
  Normal = 1,
  Reduced = 2,
  ProtectiveStop = 3,
  Recovery = 4,
  SafeguardStop = 5,
  SystemEmergencyStop = 6,
  RobotEmergencyStop = 7,
  Violation = 8,
  Fault = 9
};

enum class RuntimeState : int32_t {
  Running = 0,
  Retracting = 1,
  Pausing = 2,
  Paused = 3,
  Starting = 4,
  Stopping = 5,
  Stopped = 6,
  Aborting = 7,
  Stepping = 8,
  Unknown = 9
};

// In Manual (2) the service lets the PLC drive the robot only when configured to.
enum class OperationalModeType : int32_t { Disabled = 0, Automatic = 1, Manual = 2 };

}  // namespace common_interface
}  // namespace ryne

#pragma once
// Placeholder: replaced by the robot link.
class RobotStatus {
 public:
  RobotStatus() = default;
};

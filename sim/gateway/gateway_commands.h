#pragma once
// The simulator's console language: one command per line in, one answer line
// out. Bad input is answered with "error ...", never fatal.
#include <string>

#include "gateway_image.h"

class GatewayCommands {
 public:
  explicit GatewayCommands(GatewayImage& image) : image_(image) {}
  // The answer to one command line; sets *quit for "quit".
  std::string execute(const std::string& line, bool* quit);

 private:
  GatewayImage& image_;
};

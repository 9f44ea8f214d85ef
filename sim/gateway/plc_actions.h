#pragma once
// What a user can do as the PLC in watch mode: issue robot commands through
// the command block, set the speed and outputs it carries, and set the PLC's
// own discrete inputs and input registers. Every word goes in the byte order
// the service is configured for.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "gateway_image.h"
#include "plc_view.h"

class PlcActions {
 public:
  // command_reads: how many command-block reads the simulator has answered.
  PlcActions(GatewayImage& image, const plc_view::ViewOptions& options,
             std::function<uint64_t()> command_reads)
      : image_(image), options_(options), command_reads_(std::move(command_reads)) {}

  // False when line is not a PLC action (it is then a console command);
  // otherwise the answer lines, "ok ..." or one "error ...".
  bool execute(const std::string& line, std::vector<std::string>* answers);

  // Writes a pending command code once the master has read the cleared word
  // twice; returns the notice then, "" otherwise. Cheap: call it often.
  std::string tick();

  bool pending() const { return pending_code_ >= 0; }

 private:
  std::string command(long code, const std::string& name);
  std::string writeCommandWord(int index, uint16_t value);
  std::string setOutput(int word, int bit, bool on, const std::string& what);

  GatewayImage& image_;
  plc_view::ViewOptions options_;
  std::function<uint64_t()> command_reads_;
  long pending_code_ = -1;
  std::string pending_name_;
  uint64_t reads_at_clear_ = 0;
};

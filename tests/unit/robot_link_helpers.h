#pragma once
// Shared by the robot link tests: a simulator on free ports, SDK clients
// logged in to it, and reading the simulator's event lines.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "test_env.h"
#include "vemo_sdk/vemo_sdk.h"

namespace rl {

using vt::Ms;

// vemo_robot_sim on free ports with short mode steps.
class Sim {
 public:
  explicit Sim(std::vector<std::string> extra = {}, int rpc_port = 0, int rtde_port = 0) {
    std::vector<std::string> argv = {vt::bin("vemo_robot_sim"),
                                     "--rpc-port",
                                     std::to_string(rpc_port),
                                     "--rtde-port",
                                     std::to_string(rtde_port),
                                     "--step-ms",
                                     "60"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    proc_ = std::make_unique<vt::Process>(argv);
    long i =
        proc_->waitLine([](const std::string& l) { return l.rfind("ready ", 0) == 0; }, Ms(5000));
    if (i < 0) throw std::runtime_error("simulator not ready: " + proc_->allText(vt::Stream::Err));
    std::string ready = proc_->line(static_cast<size_t>(i));
    if (std::sscanf(ready.c_str(), "ready %d %d", &rpc_port_, &rtde_port_) != 2)
      throw std::runtime_error("bad ready line: " + ready);
  }

  vt::Process& proc() { return *proc_; }
  int rpcPort() const { return rpc_port_; }
  int rtdePort() const { return rtde_port_; }

  // A stdin command acknowledged by the simulator.
  void cmd(const std::string& line) {
    std::string r = proc_->query(line, "ok ", Ms(3000));
    ASSERT_FALSE(r.empty()) << "no acknowledgement of: " << line;
  }
  bool waitExact(const std::string& line, size_t from, Ms timeout = Ms(3000)) {
    return proc_->waitLine([&](const std::string& l) { return l == line; }, timeout, from) >= 0;
  }
  // Lines from `from` on that start with `prefix`.
  std::vector<std::string> linesFrom(size_t from, const std::string& prefix) const {
    std::vector<std::string> out;
    auto all = proc_->lines();
    for (size_t k = from; k < all.size(); ++k)
      if (all[k].rfind(prefix, 0) == 0) out.push_back(all[k]);
    return out;
  }

 private:
  std::unique_ptr<vt::Process> proc_;
  int rpc_port_ = 0, rtde_port_ = 0;
};

// Both clients as the service sets them up: connected and logged in.
struct Link {
  std::shared_ptr<ryne::vemo_sdk::RpcClient> rpc = std::make_shared<ryne::vemo_sdk::RpcClient>(0);
  std::shared_ptr<ryne::vemo_sdk::RtdeClient> rtde =
      std::make_shared<ryne::vemo_sdk::RtdeClient>(0);
  std::shared_ptr<ryne::common_interface::RobotInterface> robot;

  explicit Link(Sim& sim, bool with_rtde = true) {
    EXPECT_EQ(rpc->connect("127.0.0.1", sim.rpcPort()), 0);
    rpc->login("vemo", "739154");
    rpc->setRequestTimeout(3000);
    auto names = rpc->getRobotNames();
    EXPECT_EQ(names, std::vector<std::string>{"R1"});
    robot = rpc->getRobotInterface(names.empty() ? "R1" : names[0]);
    if (with_rtde) {
      EXPECT_EQ(rtde->connect("127.0.0.1", sim.rtdePort()), 0);
      rtde->login("vemo", "739154");
    }
  }

  // Sends a marker call and waits for its line. Every call before it has
  // been printed by then (the RPC connection is ordered and each call waits
  // for its answer), so the index after it is a sound starting point for
  // looking at later lines; the count of lines read so far is not.
  size_t syncMark(Sim& sim) {
    long i = sendMarker(sim, 0);
    return i < 0 ? sim.proc().lineCount() : static_cast<size_t>(i) + 1;
  }

  // The `call` lines from `from` up to a marker sent now.
  std::vector<std::string> callsUntilMarker(Sim& sim, size_t from) {
    long i = sendMarker(sim, from);
    EXPECT_GE(i, 0) << "marker not seen";
    auto calls = sim.linesFrom(from, "call ");
    if (!calls.empty() && calls.back().rfind("call textmsg marker ", 0) == 0) calls.pop_back();
    return calls;
  }

 private:
  long sendMarker(Sim& sim, size_t from) {
    static int n = 0;
    const std::string line = "call textmsg marker " + std::to_string(++n);
    robot->getTrace()->textmsg(line.substr(13));
    return sim.proc().waitLine([&](const std::string& l) { return l == line; }, Ms(3000), from);
  }
};

}  // namespace rl

#pragma once
// The simulated controller: RPC and RTDE servers on 127.0.0.1, the arm model,
// and the line protocol on standard input and output that tests drive it by.
// Single-threaded: one poll loop serves every socket, standard input and the
// streaming timers.
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "arm_model.h"
#include "vemo_sdk/wire.h"

namespace robot_sim {

struct SimOptions {
  int rpc_port = 30004;
  int rtde_port = 30010;
  ArmConfig arm;
};

class RobotSim {
 public:
  explicit RobotSim(SimOptions options);
  ~RobotSim();
  // Serves until `quit` or the end of standard input; the process exit code.
  int run();

 private:
  struct Channel {
    bool to_controller = false;
    std::vector<std::string> names;
    Clock::duration period{};
    bool subscribed = false;
    bool published = false;
    Clock::time_point next_due{};
    bool have_last = false;
    std::vector<std::pair<int, bool>> last_output;
  };
  struct Conn {
    int fd = -1;
    bool rtde = false;
    ryne::vemo_sdk::wire::FrameReader reader;
    std::string out;  // bytes the peer has not taken yet
    std::vector<Channel> channels;
    bool closing = false;
  };
  // A reply kept back by `hold` until `due`. `conn` stays valid: a closed
  // connection's held replies are dropped before the connection is erased.
  struct HeldReply {
    Conn* conn;
    std::string method;
    Clock::time_point due;
    std::string reply;
    bool quiet = false;  // a standing delay: no held/released lines
  };

  int listenOn(int port, int& bound);
  void acceptOn(int listen_fd, bool rtde);
  void readFrom(Conn& c);
  void writeTo(Conn& c);
  void send(Conn& c, ryne::vemo_sdk::wire::FrameType type, const std::string& body);
  void close(Conn& c, const std::string& why);
  void handleJson(Conn& c, const std::string& body);
  void handleOutput(Conn& c, const std::string& body);
  nlohmann::json handleRpc(const std::string& m, const std::string& robot, const nlohmann::json& a,
                           int& code);
  nlohmann::json handleRtde(Conn& c, const std::string& m, const nlohmann::json& a, int& code);
  void stream(Clock::time_point now);
  // Sends the held replies that are due and drops those whose connection is
  // gone, printing "released <Method>" for each.
  void releaseHeld(Clock::time_point now);
  Clock::time_point nextDue() const;
  void handleCommand(const std::string& line);
  void dropAll();

  SimOptions opt_;
  ArmModel arm_;
  int rpc_listen_ = -1, rtde_listen_ = -1;
  std::vector<std::unique_ptr<Conn>> conns_;
  std::map<std::string, int> fail_codes_;
  std::map<std::string, Clock::duration> holds_;  // taken by the next call of the method
  // Every call of the method ("*": every RPC call) answered late, or until
  // the time given not at all (a controller that hangs its calls).
  std::map<std::string, Clock::duration> delays_;
  std::map<std::string, Clock::time_point> hangs_;
  std::vector<HeldReply> held_;
  std::map<std::string, long> stats_;
  std::string stdin_buf_;
  bool streaming_ = true;
  bool quit_ = false;
};

// One line on standard output, flushed: the simulator's event stream.
void say(const std::string& line);

}  // namespace robot_sim

// The gateway's own settings (holding registers 256..) reach it exactly
// once: at start when it answers, or, when it was still booting, at the
// start of the first cycle it answers, before that cycle's status bits.
#include <gtest/gtest.h>

#include <regex>

#include "cell.h"

using vt::Cell;
using vt::Ms;

namespace {

// Not the defaults, so the block cannot be mistaken for anything else.
Cell::Options plantAddresses() {
  Cell::Options o;
  o.config = {{"ipAddr", "\"10.1.2.3\""},
              {"netmask", "\"255.255.0.0\""},
              {"gateway", "\"10.1.0.254\""},
              {"protocolType", "3"}};
  return o;
}
const std::vector<long> kBlock = {3, 10, 1, 2, 3, 255, 255, 0, 0, 10, 1, 0, 254, 2, 64, 32};

struct Request {
  int fc, addr;
  bool answered;
};

// The gateway simulator's request trace, in order.
std::vector<Request> trace(Cell& cell) {
  static const std::regex req(R"(^req fc=(\d+) addr=(\d+) count=\d+ t_us=\d+( unanswered)?$)");
  std::vector<Request> out;
  std::smatch m;
  for (auto& l : cell.gateway().lines())
    if (std::regex_match(l, m, req))
      out.push_back({std::stoi(m[1]), std::stoi(m[2]), !m[3].matched});
  return out;
}

size_t settingsWrites(const std::vector<Request>& t) {
  size_t n = 0;
  for (auto& r : t) n += r.fc == 16 && r.addr == 256 && r.answered;
  return n;
}

}  // namespace

TEST(GatewaySettings, GatewayBootingAtStartGetsThemOnceWhenItAnswers) {
  Cell::Options o = plantAddresses();
  o.start_umx = false;
  Cell cell(o);
  cell.start();
  cell.gateway().query("trace on");
  cell.gateway().query("mute on");  // still booting
  cell.startUmx();
  ASSERT_TRUE(cell.waitLog("VEMO-UMX is Running", Ms(20000)));
  // The first write's four tries went unanswered.
  ASSERT_TRUE(cell.waitLog("modbus_write_registers error", Ms(10000)));
  EXPECT_EQ(cell.gwGet("hr", 256, 16), std::vector<long>(16, 0));

  cell.gateway().query("mute off");
  ASSERT_TRUE(cell.waitGateway("hr", 256, kBlock, Ms(40000)));
  EXPECT_TRUE(cell.umx().waitFor("gateway settings written to holding registers 256..319 after ",
                                 Ms(2000)));
  ASSERT_TRUE(cell.waitCycles(3));
  const auto t = trace(cell);
  EXPECT_EQ(settingsWrites(t), 1u);
  // It opened its cycle: the status bits and the status block came next.
  for (size_t i = 0; i < t.size(); ++i) {
    if (!(t[i].fc == 16 && t[i].addr == 256 && t[i].answered)) continue;
    ASSERT_LT(i + 2, t.size());
    EXPECT_EQ(t[i + 1].fc, 15);
    EXPECT_EQ(t[i + 1].addr, 64);
    EXPECT_EQ(t[i + 2].fc, 16);
    EXPECT_EQ(t[i + 2].addr, 32);
  }
}

TEST(GatewaySettings, AnsweringGatewayGetsThemExactlyOnceBeforeTheFirstStatusBlock) {
  Cell::Options o = plantAddresses();
  o.start_umx = false;
  Cell cell(o);
  cell.start();
  cell.gateway().query("trace on");
  cell.startUmx();
  ASSERT_TRUE(cell.waitLog("VEMO-UMX is Running", Ms(20000)));
  ASSERT_TRUE(cell.waitCycles(4));
  EXPECT_EQ(cell.gwGet("hr", 256, 16), kBlock);
  const auto t = trace(cell);
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t.front().fc, 16);
  EXPECT_EQ(t.front().addr, 256);
  EXPECT_EQ(settingsWrites(t), 1u);
  EXPECT_EQ(cell.umx().countContaining("gateway settings written to holding registers"), 0u);
}

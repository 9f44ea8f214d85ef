// The gateway simulator's watch mode: the PLC view decoding what the service
// writes, the PLC actions and their encoded writes, the input line, and the
// real program both with a plain output and on a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gateway_image.h"
#include "gateway_map.h"
#include "line_editor.h"
#include "plc_actions.h"
#include "plc_view.h"
#include "test_env.h"

namespace {

using plc_view::ImageSnapshot;
using plc_view::ViewOptions;

ViewOptions options(bool little_endian, int protocol_type = 2, int command_register = 32) {
  ViewOptions o;
  o.little_endian = little_endian;
  o.protocol_type = protocol_type;
  o.command_register = command_register;
  return o;
}

// An image as the service leaves it: every table the view reads, all zero.
ImageSnapshot blankSnapshot() {
  ImageSnapshot s;
  s.coils.assign(128, 0);
  s.discrete_inputs.assign(64, 0);
  s.holding.assign(132, 0);
  s.command.assign(8, 0);
  return s;
}

std::vector<std::string> render(const ImageSnapshot& s, const ViewOptions& o,
                                const plc_view::ViewText& text = {}) {
  return plc_view::renderView(s, o, text);
}

// The whitespace-separated fields of a row after its label.
std::vector<std::string> fields(const std::string& row) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < row.size()) {
    while (i < row.size() && row[i] == ' ') ++i;
    size_t j = i;
    while (j < row.size() && row[j] != ' ') ++j;
    if (j > i) out.push_back(row.substr(i, j - i));
    i = j;
  }
  return out;
}

bool contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

void expectWellFormed(const std::vector<std::string>& rows) {
  ASSERT_EQ(rows.size(), static_cast<size_t>(plc_view::kRows));
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i) + ": " + rows[i]);
    EXPECT_LE(rows[i].size(), static_cast<size_t>(plc_view::kColumns));
    for (char c : rows[i]) {
      EXPECT_GE(static_cast<unsigned char>(c), 0x20);
      EXPECT_LT(static_cast<unsigned char>(c), 0x7f);
    }
  }
}

// Rows of the view, by what they show.
constexpr int kJointsRow = 2;
constexpr int kTcpRow = 3;
constexpr int kHeartbeatRow = 4;
constexpr int kModesRow = 5;
constexpr int kCurrentRow = 6;
constexpr int kCommandRow = 19;

}  // namespace

TEST(GatewayView, DecodesWordsAndFloatsInBothByteOrders) {
  using plc_view::decodeFloat;
  EXPECT_EQ(plc_view::encodeWord(0x1234, false), 0x3412);
  EXPECT_EQ(plc_view::encodeWord(0x1234, true), 0x1234);
  EXPECT_EQ(plc_view::decodeWord(0x3412, false), 0x1234);
  EXPECT_EQ(decodeFloat(0x0000, 0x3F80, true), 1.0f);
  EXPECT_EQ(decodeFloat(0x803F, 0x0000, false), 1.0f);
  // Four distinct bytes, so every swap shows: 1.2345678f is 0x3F9E0651.
  EXPECT_EQ(decodeFloat(0x0651, 0x3F9E, true), 1.2345678f);
  EXPECT_EQ(decodeFloat(0x9E3F, 0x5106, false), 1.2345678f);

  // Through the view: joint 0 and pose element 5, heartbeat, a negative current.
  ImageSnapshot le = blankSnapshot();
  le.holding[44] = 0x0000, le.holding[45] = 0x3F80;
  le.holding[32 + 10] = 0x0651, le.holding[32 + 11] = 0x3F9E;
  le.holding[57] = 0x1234;
  le.holding[64] = 0xFFF6;
  ImageSnapshot be = blankSnapshot();
  be.holding[44] = 0x803F, be.holding[45] = 0x0000;
  be.holding[32 + 10] = 0x9E3F, be.holding[32 + 11] = 0x5106;
  be.holding[57] = 0x3412;
  be.holding[64] = 0xF6FF;
  for (auto [snap, little] : {std::pair{le, true}, std::pair{be, false}}) {
    SCOPED_TRACE(little ? "little-endian" : "byte-swapped");
    auto rows = render(snap, options(little));
    auto joints = fields(rows[kJointsRow]);
    ASSERT_EQ(joints.size(), 7u);
    EXPECT_EQ(joints[0], "joints");
    EXPECT_EQ(joints[1], "1.000");
    EXPECT_EQ(joints[2], "0.000");
    auto tcp = fields(rows[kTcpRow]);
    ASSERT_EQ(tcp.size(), 8u);  // "tcp" "pose" and six values
    EXPECT_EQ(tcp[7], "1.235");
    EXPECT_TRUE(contains(rows[kHeartbeatRow], "heartbeat 4660 ")) << rows[kHeartbeatRow];
    EXPECT_EQ(fields(rows[kCurrentRow])[1], "-10");
    // The same registers in the other byte order read as something else.
    auto wrong = render(snap, options(!little));
    EXPECT_NE(fields(wrong[kJointsRow])[1], "1.000");
    EXPECT_FALSE(contains(wrong[kHeartbeatRow], "heartbeat 4660 "));
  }
}

TEST(GatewayView, FollowsTheLayoutOfTheProtocolType) {
  ImageSnapshot s = blankSnapshot();
  // protocolType 3: heartbeat at 45, joints from 47.
  s.holding[45] = 777;
  s.holding[47] = 0x0000, s.holding[48] = 0x4000;            // 2.0
  s.holding[47 + 10] = 0x0000, s.holding[47 + 11] = 0xC040;  // joint 5: -3.0
  s.holding[61] = 8;                                         // robot mode
  s.holding[62] = 3;                                         // safety mode
  auto rows = render(s, options(true, 3));
  auto joints = fields(rows[kJointsRow]);
  ASSERT_EQ(joints.size(), 7u);
  EXPECT_EQ(joints[1], "2.000");
  EXPECT_EQ(joints[6], "-3.000");
  EXPECT_TRUE(contains(rows[kHeartbeatRow], "heartbeat 777 ")) << rows[kHeartbeatRow];
  EXPECT_TRUE(contains(rows[kModesRow], "robot mode 8 Running")) << rows[kModesRow];
  EXPECT_TRUE(contains(rows[kModesRow], "safety mode 3 ProtectiveStop")) << rows[kModesRow];
  EXPECT_TRUE(contains(rows[0], "protocol 3"));

  // Any other type uses the default layout: the same words are elsewhere there.
  for (int type : {0, 2, 4}) {
    SCOPED_TRACE(type);
    auto other = render(s, options(true, type));
    EXPECT_TRUE(contains(other[kHeartbeatRow], "heartbeat 0 ")) << other[kHeartbeatRow];
    EXPECT_NE(fields(other[kJointsRow])[1], "2.000");
  }
  s.holding[57] = 4242;
  EXPECT_TRUE(contains(render(s, options(true, 2))[kHeartbeatRow], "heartbeat 4242 "));
}

TEST(GatewayView, NamesRobotSafetyAndCommandCodes) {
  // The ends of both tables and the mode the PLC waits for: an off-by-one shows.
  EXPECT_STREQ(plc_view::robotModeName(0), "NoController");
  EXPECT_STREQ(plc_view::robotModeName(8), "Running");
  EXPECT_STREQ(plc_view::robotModeName(9), "Maintenance");
  EXPECT_STREQ(plc_view::safetyModeName(0), "Undefined");
  EXPECT_STREQ(plc_view::safetyModeName(9), "Fault");
  for (int bad : {-1, 10, 1280}) {
    EXPECT_STREQ(plc_view::robotModeName(bad), "?");
    EXPECT_STREQ(plc_view::safetyModeName(bad), "?");
  }
  EXPECT_STREQ(plc_view::commandName(2), "PowerOn");
  EXPECT_STREQ(plc_view::commandName(3), "BrakeRelease");
  EXPECT_STREQ(plc_view::commandName(5), "Run");
  EXPECT_STREQ(plc_view::commandName(8), "Stop");
  EXPECT_STREQ(plc_view::commandName(4), "?");

  // The modes row decodes the words in the configured byte order.
  ImageSnapshot s = blankSnapshot();
  s.holding[60] = 0x0700;
  s.holding[61] = 0x0600;
  auto row = render(s, options(false))[kModesRow];
  EXPECT_TRUE(contains(row, "robot mode 7 BackDrive")) << row;
  EXPECT_TRUE(contains(row, "safety mode 6 SystemEmergencyStop")) << row;
  row = render(s, options(true))[kModesRow];
  EXPECT_TRUE(contains(row, "robot mode 1792 ?")) << row;
}

TEST(GatewayView, ShowsBitsWhereTheMapPutsThem) {
  ImageSnapshot s = blankSnapshot();
  s.coils[64] = 1;   // configurable input pair 0
  s.coils[77] = 1;   // configurable output pair 5
  s.coils[82] = 1;   // running
  s.coils[84] = 1;   // paused
  s.coils[89] = 1;   // standard input 1
  s.coils[119] = 1;  // standard output 15
  s.coils[123] = 1;  // tool output 3
  s.coils[0] = 1;
  s.coils[63] = 1;
  s.discrete_inputs[33] = 1;
  s.holding[0] = 0xFFFF;  // robot int16 register 0: -1 in either order
  s.holding[31] = 0x0100;
  auto rows = render(s, options(false));
  EXPECT_TRUE(contains(rows[kHeartbeatRow], "running 1 stopped 0 paused 1")) << rows[kHeartbeatRow];
  EXPECT_EQ(rows[9], "cfg in 64..71 10000000  cfg out 72..77 000001  tool out 120..123 0001");
  EXPECT_EQ(rows[10], "std in 88..103 01000000 00000000  std out 104..119 00000000 00000001");
  EXPECT_EQ(fields(rows[11]).back(), "00000000");
  EXPECT_EQ(fields(rows[11])[4], "10000000");
  EXPECT_EQ(fields(rows[12]).back(), "00000001");
  EXPECT_EQ(fields(rows[14])[4], "01000000");
  auto first_regs = fields(rows[15]);
  ASSERT_EQ(first_regs.size(), 12u);  // "robot" "int" "hr" "0..7" and 8 values
  EXPECT_EQ(first_regs[4], "-1");
  EXPECT_EQ(fields(rows[18]).back(), "1");
}

TEST(GatewayView, EveryFrameIsTwentyFourRowsOfAtMostEightyColumns) {
  plc_view::ViewText text;
  text.link = "rtu /tmp/a-rather-long-directory-name-for-a-pty/and-deeper-still/gateway-b";
  text.messages = {"first", std::string(200, 'x') + "\x1b[2J\ttail", "last answer"};
  text.input = std::string(120, 'i') + "end";

  std::vector<ImageSnapshot> images;
  images.push_back(ImageSnapshot{});  // an image too small for any table
  images.push_back(blankSnapshot());
  for (uint16_t fill : {0xFFFF, 0x8000, 0x7F7F, 0xFF7F}) {
    ImageSnapshot s = blankSnapshot();
    for (auto* t : {&s.coils, &s.discrete_inputs, &s.holding, &s.command})
      for (auto& v : *t) v = fill;
    s.rates.fill(1e9);
    s.total = ~0ull;
    images.push_back(s);
  }
  for (const ImageSnapshot& s : images)
    for (bool little : {false, true})
      for (int type : {2, 3})
        for (int reg : {32, 65528}) {
          SCOPED_TRACE(std::to_string(little) + " " + std::to_string(type) + " " +
                       std::to_string(reg));
          auto rows = render(s, options(little, type, reg), text);
          expectWellFormed(rows);
          EXPECT_EQ(rows[plc_view::kRows - 2], "last answer");
          EXPECT_EQ(rows[0].substr(rows[0].size() - 10), "/gateway-b");
          // The prompt keeps the end of the input, where the cursor is.
          EXPECT_EQ(rows.back().rfind("plc> ", 0), 0u);
          EXPECT_EQ(rows.back().substr(rows.back().size() - 4), "iend");
        }

  // Ordinary values fit without being cut.
  ImageSnapshot s = blankSnapshot();
  s.holding[60] = 0x0700, s.holding[61] = 0x0600;
  s.command[0] = 0x0300, s.command[1] = 0x6400;
  auto rows = render(s, options(false, 2, 65528));
  for (const std::string& row : rows) EXPECT_LE(row.size(), 80u) << row;
  EXPECT_EQ(rows[kCommandRow],
            "command ir 65528: cmd 3 BrakeRelease  speed 100  tool 0000  do 00000000 00000000");
}

TEST(GatewayView, RatesCoverAboutTheLastSecond) {
  using Clock = plc_view::RateMeter::Clock;
  plc_view::RateMeter meter;
  std::array<uint64_t, 256> counts{};
  const Clock::time_point t0{};
  EXPECT_EQ(meter.rates()[4], 0.0);
  for (int i = 0; i <= 10; ++i) {
    counts[4] = 10 * i;  // 50 reads a second at 200 ms frames
    counts[16] = i < 5 ? 0 : 100;
    meter.add(t0 + std::chrono::milliseconds(200 * i), counts);
  }
  auto r = meter.rates();
  EXPECT_NEAR(r[4], 50.0, 1e-9);
  // The burst at 1 s is older than the window now.
  EXPECT_NEAR(r[16], 0.0, 1e-9);
  // A stats reset starts over instead of showing negative rates.
  counts.fill(0);
  meter.add(t0 + std::chrono::milliseconds(2200), counts);
  EXPECT_EQ(meter.rates()[4], 0.0);
  counts[4] = 5;
  meter.add(t0 + std::chrono::milliseconds(2400), counts);
  EXPECT_NEAR(meter.rates()[4], 25.0, 1e-9);
}

TEST(PlcActions, CommandWritesZeroThenTheCodeAfterTwoReads) {
  GatewayImage image(1024);
  uint64_t reads = 7;
  auto word = [&](int addr) {
    std::vector<uint16_t> v;
    EXPECT_TRUE(image.get(Table::InputRegisters, addr, 1, &v));
    return v.empty() ? -1 : v[0];
  };
  std::vector<std::string> answers;

  {
    PlcActions actions(image, options(false), [&] { return reads; });
    ASSERT_TRUE(image.set(Table::InputRegisters, 32, {0x0800}));  // a code from before
    ASSERT_TRUE(actions.execute("run", &answers));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].rfind("ok cmd 5 (run)", 0), 0u) << answers[0];
    EXPECT_EQ(word(32), 0);
    EXPECT_TRUE(actions.pending());
    EXPECT_EQ(actions.tick(), "");
    ++reads;
    EXPECT_EQ(actions.tick(), "");
    EXPECT_EQ(word(32), 0);
    ++reads;
    EXPECT_EQ(actions.tick(), "done cmd 5 (run) written as 0x0500");
    EXPECT_EQ(word(32), 0x0500);
    EXPECT_FALSE(actions.pending());
    reads += 5;
    EXPECT_EQ(actions.tick(), "");
    EXPECT_EQ(word(32), 0x0500);

    // Every named command, and a new one replaces a pending one from scratch.
    for (auto [name, code] : std::vector<std::pair<std::string, int>>{
             {"poweron", 2}, {"release", 3}, {"pause", 6}, {"resume", 7}, {"stop", 8}}) {
      SCOPED_TRACE(name);
      ASSERT_TRUE(actions.execute(name, &answers));
      EXPECT_EQ(word(32), 0);
      ++reads;
      ASSERT_TRUE(actions.execute("cmd 9", &answers));
      ++reads;
      EXPECT_EQ(actions.tick(), "");
      ASSERT_TRUE(actions.execute(name, &answers));
      reads += 2;
      EXPECT_NE(actions.tick(), "");
      EXPECT_EQ(word(32), plc_view::encodeWord(static_cast<uint16_t>(code), false));
    }
    // 0 needs no latch.
    ASSERT_TRUE(actions.execute("cmd 0", &answers));
    EXPECT_EQ(answers.back(), "ok cmd 0 written");
    EXPECT_FALSE(actions.pending());
    EXPECT_EQ(word(32), 0);
  }
  {
    // Little-endian, another command register: the code goes in as is.
    PlcActions actions(image, options(true, 2, 100), [&] { return reads; });
    ASSERT_TRUE(image.set(Table::InputRegisters, 100, {3}));
    ASSERT_TRUE(actions.execute("cmd 5", &answers));
    EXPECT_EQ(word(100), 0);
    reads += 2;
    EXPECT_EQ(actions.tick(), "done cmd 5 written as 0x0005");
    EXPECT_EQ(word(100), 0x0005);
  }
}

TEST(PlcActions, OutputsSpeedAndPlcInputsLandOnTheirBits) {
  GatewayImage image(1024);
  auto words = [&](int addr, int n) {
    std::vector<uint16_t> v;
    EXPECT_TRUE(image.get(Table::InputRegisters, addr, n, &v));
    return v;
  };
  std::vector<std::string> answers;
  PlcActions be(image, options(false), [] { return uint64_t{0}; });
  for (const char* a : {"do 0 1", "do 15 1", "tool 3 1", "do 9 1", "do 9 0", "speed 50"}) {
    ASSERT_TRUE(be.execute(a, &answers)) << a;
    EXPECT_EQ(answers.back().rfind("ok ", 0), 0u) << answers.back();
  }
  // Word 2: output 0 is bit 8, tool 3 bit 3 -> 0x0108, sent swapped; word 3:
  // output 15 is bit 7 -> 0x0080, swapped.
  EXPECT_EQ(words(34, 2), (std::vector<uint16_t>{0x0801, 0x8000}));
  EXPECT_EQ(words(33, 1)[0], 0x3200);
  // The view reads the same words back as the outputs they are.
  ImageSnapshot s = blankSnapshot();
  s.command = words(32, 8);
  EXPECT_EQ(render(s, options(false))[kCommandRow],
            "command ir 32: cmd 0 none  speed 50  tool 0001  do 10000000 00000001");

  ASSERT_TRUE(be.execute("di 5 1", &answers));
  ASSERT_TRUE(be.execute("di 63 1", &answers));
  ASSERT_TRUE(be.execute("ir 3 -2", &answers));
  ASSERT_TRUE(be.execute("ir 31 4660", &answers));
  std::vector<uint16_t> di;
  ASSERT_TRUE(image.get(Table::DiscreteInputs, 4, 3, &di));
  EXPECT_EQ(di, (std::vector<uint16_t>{0, 1, 0}));
  ASSERT_TRUE(image.get(Table::DiscreteInputs, 63, 1, &di));
  EXPECT_EQ(di[0], 1);
  EXPECT_EQ(words(3, 1)[0], 0xFEFF);
  EXPECT_EQ(words(31, 1)[0], 0x3412);
  ASSERT_TRUE(be.execute("di 5 0", &answers));
  ASSERT_TRUE(image.get(Table::DiscreteInputs, 5, 1, &di));
  EXPECT_EQ(di[0], 0);

  GatewayImage other(1024);
  PlcActions le(other, options(true, 2, 200), [] { return uint64_t{0}; });
  ASSERT_TRUE(le.execute("tool 0 1", &answers));
  ASSERT_TRUE(le.execute("do 8 1", &answers));
  ASSERT_TRUE(le.execute("speed 100", &answers));
  ASSERT_TRUE(le.execute("ir 0 4660", &answers));
  std::vector<uint16_t> v;
  ASSERT_TRUE(other.get(Table::InputRegisters, 201, 3, &v));
  EXPECT_EQ(v, (std::vector<uint16_t>{100, 0x0001, 0x0001}));
  ASSERT_TRUE(other.get(Table::InputRegisters, 0, 1, &v));
  EXPECT_EQ(v[0], 0x1234);
}

TEST(PlcActions, BadInputGetsOneErrorAndOtherLinesAreLeftToTheConsole) {
  GatewayImage image(1024);
  PlcActions actions(image, options(false), [] { return uint64_t{0}; });
  for (const char* bad :
       {"cmd",     "cmd x",      "cmd -1",      "cmd 65536", "cmd 5 6",  "run now",
        "speed",   "speed 0",    "speed 101",   "speed 5x",  "tool 4 1", "tool 0 2",
        "tool 0",  "do 16 1",    "do -1 1",     "do 0 on",   "di 64 1",  "di 0",
        "ir 32 1", "ir 0 65536", "ir 0 -32769", "ir 0",      "stop 1"}) {
    SCOPED_TRACE(bad);
    std::vector<std::string> answers;
    ASSERT_TRUE(actions.execute(bad, &answers));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].rfind("error usage: ", 0), 0u) << answers[0];
  }
  EXPECT_FALSE(actions.pending());
  std::vector<uint16_t> ir;
  ASSERT_TRUE(image.get(Table::InputRegisters, 0, 64, &ir));
  EXPECT_EQ(ir, std::vector<uint16_t>(64, 0));

  for (const char* console : {"", "  ", "get hr 0 1", "set di 0 1", "stats", "quit", "frob"}) {
    std::vector<std::string> answers;
    EXPECT_FALSE(actions.execute(console, &answers)) << console;
    EXPECT_TRUE(answers.empty());
  }
  std::vector<std::string> help;
  ASSERT_TRUE(actions.execute("help", &help));
  EXPECT_EQ(help.size(), 3u);
  for (const std::string& h : help) EXPECT_LE(h.size(), 80u) << h;

  // A command block that does not fit the image is an error, not a crash.
  GatewayImage small(40);
  PlcActions cut(small, options(false, 2, 39), [] { return uint64_t{0}; });
  std::vector<std::string> answers;
  ASSERT_TRUE(cut.execute("do 15 1", &answers));
  EXPECT_EQ(answers.back().rfind("error", 0), 0u);
  ASSERT_TRUE(cut.execute("run", &answers));
  EXPECT_EQ(answers.back().rfind("ok", 0), 0u);
}

TEST(LineEditor, EditsInPlaceAndSwallowsKeySequences) {
  LineEditor ed(true, 10);
  // Backspace, arrows (CSI and SS3 forms), F5 (CSI with a parameter), a tab.
  const std::string keys = "rx\x7fu\x1b[Dn\x1bOA\x1b[15~\t\r";
  auto lines = ed.feed(keys.data(), keys.size());
  EXPECT_EQ(lines, (std::vector<std::string>{"run"}));
  EXPECT_EQ(ed.line(), "");

  const std::string more =
      "speed 5\x17tool 1 1\x15"
      "do 1 1\rdo 2";
  lines = ed.feed(more.data(), more.size());
  EXPECT_EQ(lines, (std::vector<std::string>{"do 1 1"}));
  EXPECT_EQ(ed.line(), "do 2");
  // Past its room the line takes no more keys, so it always fits the prompt.
  const std::string longer = " 1 and more";
  ed.feed(longer.data(), longer.size());
  EXPECT_EQ(ed.line(), "do 2 1 and");
  EXPECT_FALSE(ed.endRequested());
  ed.feed("\x04", 1);  // not on an empty line
  EXPECT_FALSE(ed.endRequested());
  ed.feed("\x15\x04", 2);
  EXPECT_TRUE(ed.endRequested());

  LineEditor pipe(false, 4096);
  const std::string piped = "run\r\nget hr 0 1\n\npart";
  EXPECT_EQ(pipe.feed(piped.data(), piped.size()),
            (std::vector<std::string>{"run", "get hr 0 1", ""}));
  EXPECT_EQ(pipe.line(), "part");
}

namespace {

struct ModbusFree {
  void operator()(modbus_t* ctx) const {
    modbus_close(ctx);
    modbus_free(ctx);
  }
};
using Master = std::unique_ptr<modbus_t, ModbusFree>;

bool isTitle(const std::string& l) {
  return l.rfind("== gateway watch ", 0) == 0;
}

}  // namespace

TEST(GatewayWatch, PlainFramesWhileServingAndTheRunLatch) {
  vt::Process sim({vt::bin("vemo_gateway_sim"), "--tcp", "0", "--watch"});
  long ready = sim.waitLine([](const std::string& l) { return l.rfind("ready tcp ", 0) == 0; },
                            vt::Ms(5000));
  ASSERT_GE(ready, 0);
  const int port = std::stoi(sim.line(static_cast<size_t>(ready)).substr(10));
  long first = sim.waitLine(isTitle, vt::Ms(3000));
  ASSERT_GE(first, 0);
  EXPECT_TRUE(contains(sim.line(first), "little-endian 0  protocol 2  command ir 32"));
  EXPECT_TRUE(contains(sim.line(first), "tcp " + std::to_string(port)));

  Master m(modbus_new_tcp("127.0.0.1", port));
  modbus_set_slave(m.get(), 1);
  ASSERT_EQ(modbus_connect(m.get()), 0);

  // The service's writes, byte-swapped: joint 0 = 1.0, heartbeat 12345, Running.
  const uint16_t joint[2] = {0x803F, 0x0000};
  ASSERT_EQ(modbus_write_registers(m.get(), 44, 2, joint), 2);
  const uint16_t status[4] = {0x3930, 0x6400, 0x0000, 0x0800};
  ASSERT_EQ(modbus_write_registers(m.get(), 57, 4, status), 4);
  size_t from = sim.lineCount();
  EXPECT_GE(
      sim.waitLine(
          [](const std::string& l) { return l.rfind("joints ", 0) == 0 && contains(l, " 1.000 "); },
          vt::Ms(3000), from),
      0);
  EXPECT_GE(sim.waitLine(
                [](const std::string& l) { return l.rfind("heartbeat 12345  speed 100%", 0) == 0; },
                vt::Ms(3000), from),
            0);
  EXPECT_TRUE(sim.waitFor("robot mode 8 Running", vt::Ms(3000), from));
  // The frame counts the link's requests.
  EXPECT_GE(sim.waitLine(
                [](const std::string& l) {
                  return l.rfind("link ", 0) == 0 && contains(l, "fc16 ") &&
                         !contains(l, "total 0");
                },
                vt::Ms(3000), from),
            0);

  // The console still answers in watch mode, and a bad action gets an error.
  EXPECT_EQ(sim.query("get hr 57 1", "1"), "14640");
  EXPECT_EQ(sim.query("speed 0", "error"), "error usage: speed <1..100>");
  EXPECT_EQ(sim.query("set ir 32 2048", "ok"), "ok");

  EXPECT_EQ(sim.query("run", "ok cmd").rfind("ok cmd 5 (run)", 0), 0u);
  // Reads elsewhere do not count; the two console round trips after them let
  // the loop look at the count at least once.
  uint16_t block[8];
  for (int i = 0; i < 3; ++i) ASSERT_EQ(modbus_read_input_registers(m.get(), 0, 8, block), 8);
  ASSERT_EQ(sim.query("get ir 33 1", "0"), "0");
  EXPECT_EQ(sim.query("get ir 32 1", "0"), "0");
  ASSERT_EQ(modbus_read_input_registers(m.get(), 32, 8, block), 8);
  EXPECT_EQ(block[0], 0);
  ASSERT_EQ(sim.query("get ir 33 1", "0"), "0");
  EXPECT_EQ(sim.query("get ir 32 1", "0"), "0");
  from = sim.lineCount();
  ASSERT_EQ(modbus_read_input_registers(m.get(), 30, 8, block), 8);  // covers 32 as well
  EXPECT_EQ(block[2], 0);
  EXPECT_TRUE(sim.waitFor("done cmd 5 (run) written as 0x0500", vt::Ms(3000), from));
  ASSERT_EQ(modbus_read_input_registers(m.get(), 32, 1, block), 1);
  EXPECT_EQ(block[0], 0x0500);

  // Frames keep coming as time passes.
  from = sim.lineCount();
  EXPECT_GE(sim.waitLine(isTitle, vt::Ms(3000), from), 0);
  EXPECT_EQ(sim.query("quit", "bye"), "bye");
  int st = -1;
  ASSERT_TRUE(sim.waitExit(vt::Ms(3000), &st));
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

TEST(GatewayWatch, RefusesViewSettingsItCannotUse) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--tcp", "0", "--little-endian", "1"},
        {"--tcp", "0", "--watch", "--little-endian", "2"},
        {"--tcp", "0", "--watch", "--protocol-type", "x"},
        {"--tcp", "0", "--watch", "--command-register", "65529"},
        {"--tcp", "0", "--watch", "--command-register"},
        {"--tcp", "0", "--watch", "--size", "100"},
        {"--tcp", "0", "--watch", "--command-register", "1020"}}) {
    std::vector<std::string> argv{vt::bin("vemo_gateway_sim")};
    argv.insert(argv.end(), args.begin(), args.end());
    vt::Process sim(argv);
    int st = -1;
    ASSERT_TRUE(sim.waitExit(vt::Ms(3000), &st));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 2);
  }
  // SIGTERM ends a plain watch cleanly.
  vt::Process sim({vt::bin("vemo_gateway_sim"), "--tcp", "0", "--watch", "--little-endian", "1",
                   "--protocol-type", "3", "--command-register", "100"});
  ASSERT_TRUE(sim.waitFor("little-endian 1  protocol 3  command ir 100", vt::Ms(3000)));
  sim.signal(SIGTERM);
  int st = -1;
  ASSERT_TRUE(sim.waitExit(vt::Ms(3000), &st));
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

namespace {

// The simulator on a terminal of its own: what it draws and how it leaves
// the terminal, read from the pty's master side.
class OnTerminal {
 public:
  OnTerminal() {
    std::vector<std::string> args{vt::bin("vemo_gateway_sim"), "--tcp", "0", "--watch"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    struct winsize ws {};
    ws.ws_row = 24;
    ws.ws_col = 80;
    pid_ = forkpty(&master_, nullptr, nullptr, &ws);
    if (pid_ == 0) {
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~OnTerminal() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  bool started() const { return pid_ > 0 && master_ >= 0; }
  pid_t pid() const { return pid_; }

  // Reads until the output from `from` on contains needle.
  bool waitFor(const std::string& needle, vt::Ms timeout, size_t from = 0) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_.find(needle, from) == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<vt::Ms>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[4096];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) return false;  // the child closed the terminal
      out_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  void type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  size_t seen() const { return out_.size(); }
  const std::string& output() const { return out_; }
  tcflag_t localFlags() const {
    struct termios t {};
    tcgetattr(master_, &t);
    return t.c_lflag;
  }
  bool waitExit(vt::Ms timeout, int* status) {
    bool done = vt::waitUntil([&] { return waitpid(pid_, status, WNOHANG) == pid_; }, timeout);
    exited_ = done;
    return done;
  }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  bool exited_ = false;
  std::string out_;
};

}  // namespace

TEST(GatewayWatch, OwnsTheTerminalAndGivesItBackOnEveryWayOut) {
  for (const char* way : {"ctrl-c", "sigterm", "quit"}) {
    SCOPED_TRACE(way);
    OnTerminal t;
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.waitFor("\x1b[?1049h", vt::Ms(5000)));
    ASSERT_TRUE(t.waitFor("== gateway watch ", vt::Ms(3000)));
    // Keys one by one, not echoed by the terminal: the simulator edits the line.
    EXPECT_TRUE(
        vt::waitUntil([&] { return (t.localFlags() & (ICANON | ECHO)) == 0; }, vt::Ms(3000)));
    EXPECT_TRUE(t.localFlags() & ISIG);
    size_t from = t.seen();
    t.type("sp\x1b[Aeex\x7f\x7f");
    ASSERT_TRUE(t.waitFor("plc> spe", vt::Ms(3000), from));
    from = t.seen();
    t.type("ed 0\r");
    EXPECT_TRUE(t.waitFor("error usage: speed <1..100>", vt::Ms(3000), from));
    from = t.seen();
    t.type("run\r");
    EXPECT_TRUE(t.waitFor("ok cmd 5 (run)", vt::Ms(3000), from));

    from = t.seen();
    if (std::string(way) == "ctrl-c")
      t.type("\x03");  // the terminal turns it into SIGINT
    else if (std::string(way) == "sigterm")
      kill(t.pid(), SIGTERM);
    else
      t.type("quit\r");
    EXPECT_TRUE(t.waitFor("\x1b[?1049l", vt::Ms(3000), from));
    int st = -1;
    ASSERT_TRUE(t.waitExit(vt::Ms(3000), &st));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_EQ(t.localFlags() & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
  }
}

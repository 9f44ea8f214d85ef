// The configuration file: defaults, reading, truncation, early stop, the
// address encoding, and that nothing the integrator wrote is ever lost.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "log.h"
#include "log_env.h"
#include "schedule.h"
#include "test_env.h"

namespace fs = std::filesystem;

namespace {

const auto* const g_env =
    ::testing::AddGlobalTestEnvironment(new vt::LogEnvironment("vemo-config"));

using vt::LogTail;

struct ConfigCase {
  vt::TempDir dir{"vemo-cfg"};
  std::string path() const { return dir.path() + "/vemo_umx.conf"; }
  void write(const std::string& text) const { vt::writeFile(path(), text); }
};

const char* kDefaultFile =
    "protocolType = 2;\nlittleEndian = 0;\nipAddr = \"192.168.0.100\";\n"
    "netmask = \"255.255.255.0\";\ngateway = \"192.168.0.1\";\nport = 505;\n"
    "protocolMode = 2;\npnCoilNumber = 64;\npnRegisterNumber = 32;\ncontrolRobot = 0;\n"
    "readyPointIO = 0;\nportName = \"/dev/ttyUSB0\";\nslaveId = 1;\nbaudrate = 115200;\n"
    "dataBit = 8;\nparity = \"none\";\nstopBit = 1;\ncontrolRobotInManualMode = 1;\n";

const std::vector<uint16_t> kDefaultBlock = {2, 192, 168, 0, 100, 255, 255, 255,
                                             0, 192, 168, 0, 1,   2,   64,  32};

std::vector<uint16_t> block(const Schedule& s, size_t n = Schedule::kSettingsWords) {
  return std::vector<uint16_t>(s.gatewaySettings(), s.gatewaySettings() + n);
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(IpToValue, EncodesDottedTextPartByPart) {
  std::vector<uint16_t> parts;
  EXPECT_EQ(Schedule::ipToValue("192.168.0.100", parts), 3232235620u);
  EXPECT_EQ(parts, (std::vector<uint16_t>{192, 168, 0, 100}));

  // The list is appended to, never cleared.
  Schedule::ipToValue("255.255.255.0", parts);
  EXPECT_EQ(parts, (std::vector<uint16_t>{192, 168, 0, 100, 255, 255, 255, 0}));

  auto enc = [](const std::string& t) {
    std::vector<uint16_t> p;
    Schedule::ipToValue(t, p);
    return p;
  };
  EXPECT_EQ(enc("10.1"), (std::vector<uint16_t>{10, 1, 0, 0}));
  EXPECT_EQ(enc(""), (std::vector<uint16_t>{0, 0, 0, 0}));
  EXPECT_EQ(enc("192.168.x.1"), (std::vector<uint16_t>{192, 168, 0, 1}));
  EXPECT_EQ(enc("1.2.3.300"), (std::vector<uint16_t>{1, 2, 3, 300}));
  EXPECT_EQ(enc(" 7.-1.+3.4"), (std::vector<uint16_t>{7, 65535, 3, 4}));
}

TEST(IpToValue, IgnoresPartsBeyondTheFourth) {
  std::vector<uint16_t> parts;
  EXPECT_EQ(Schedule::ipToValue("1.2.3.4.5.6", parts), 0x01020304u);
  EXPECT_EQ(parts, (std::vector<uint16_t>{1, 2, 3, 4}));
  parts.clear();
  Schedule::ipToValue("....", parts);
  EXPECT_EQ(parts, (std::vector<uint16_t>{0, 0, 0, 0}));
}

TEST(Conversions, TruncateTowardZeroAndReadBits) {
  EXPECT_EQ(Schedule::conversion(2.9), 2);
  EXPECT_EQ(Schedule::conversion(-2.9), -2);
  EXPECT_EQ(Schedule::conversion(1e12), INT32_MAX);
  EXPECT_EQ(Schedule::conversion(std::nan("")), 0);
  const uint8_t bytes[] = {0x05, 0x80};
  EXPECT_EQ(Schedule::readBitBuf(bytes, 0), 1);
  EXPECT_EQ(Schedule::readBitBuf(bytes, 1), 0);
  EXPECT_EQ(Schedule::readBitBuf(bytes, 2), 1);
  EXPECT_EQ(Schedule::readBitBuf(bytes, 15), 1);
  EXPECT_EQ(Schedule::readBitBuf(bytes, 14), 0);
}

TEST(RelativePath, LeadsFromBaseToTarget) {
  EXPECT_EQ(relativePath("/root/ryne_ws/log/umx/vemo_umx.log", "/usr/bin"),
            fs::path("../../root/ryne_ws/log/umx/vemo_umx.log"));
  EXPECT_EQ(relativePath("/root/ryne_ws/log/umx/vemo_umx.log", "/root/ryne_ws"),
            fs::path("log/umx/vemo_umx.log"));
  EXPECT_EQ(relativePath("/root/ryne_ws///log/umx/vemo_umx.log", "/root/ryne_ws/"),
            fs::path("log/umx/vemo_umx.log"));
  EXPECT_EQ(relativePath("/a/b", "/a/b"), fs::path());
}

TEST(ConfigFile, FirstStartWritesTheDefaultFileAndUsesIt) {
  ConfigCase c;
  LogTail tail;
  Schedule s;
  std::string port;
  ASSERT_EQ(s.loadConfig(c.path(), port), 0);
  EXPECT_EQ(vt::readFile(c.path()), kDefaultFile);
  EXPECT_EQ(port, "/dev/ttyUSB0");
  EXPECT_EQ(block(s, 16), kDefaultBlock);
  EXPECT_EQ(block(s), ([] {
              auto b = kDefaultBlock;
              b.resize(32, 0);
              return b;
            }()));
  EXPECT_EQ(s.littleEndian(), 0);
  EXPECT_EQ(s.controlRobot(), 0);
  EXPECT_EQ(s.controlRobotInManualMode(), 1);
  EXPECT_EQ(s.registerNumber(), 32);

  const std::vector<std::string> expected = {
      "config_read_file failed, need to create default conf ",
      "====>>>> rtu portname is /dev/ttyUSB0",
      "====>>>> protocolType : 2",
      "====>>>> protocol mode is  2",
      "====>>>> coil number is 64",
      "====>>>> register number is  32",
      "====>>>> gateway control robot is  0",
      "====>>>> plc control robot mode in manual is  1",
      "gateway  endian is 0",
      "gateway ipAdress is  192.168.0.100",
      "gateway netmask is  255.255.255.0",
      "gateway gateway is  192.168.0.1"};
  EXPECT_EQ(tail.messages(), expected);
  EXPECT_EQ(filesIn(c.dir.path()), std::vector<std::string>{"vemo_umx.conf"});

  // Second start: the file is read as it is.
  LogTail again;
  Schedule s2;
  ASSERT_EQ(s2.loadConfig(c.path(), port), 0);
  auto m = again.messages();
  ASSERT_FALSE(m.empty());
  EXPECT_EQ(m[0], c.path() + "  exist ");
  EXPECT_EQ(block(s2, 16), kDefaultBlock);
  EXPECT_EQ(vt::readFile(c.path()), kDefaultFile);
}

TEST(ConfigFile, IntegersAreTruncatedToTheirDestinations) {
  ConfigCase c;
  std::string text = kDefaultFile;
  auto replace = [&](const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
  };
  replace("protocolType = 2;", "protocolType = 70000;");
  replace("controlRobot = 0;", "controlRobot = 256;");
  replace("littleEndian = 0;", "littleEndian = 300;");
  replace("pnRegisterNumber = 32;", "pnRegisterNumber = 65600;");
  replace("baudrate = 115200;", "baudrate = 9600;");
  replace("portName = \"/dev/ttyUSB0\";", "portName = \"\";");
  c.write(text);

  LogTail tail;
  Schedule s;
  std::string port = "stale";
  ASSERT_EQ(s.loadConfig(c.path(), port), 0);
  EXPECT_EQ(s.gatewaySettings()[0], 4464);
  EXPECT_EQ(s.controlRobot(), 0);
  EXPECT_EQ(s.littleEndian(), 44);
  EXPECT_EQ(s.gatewaySettings()[15], 64);
  EXPECT_EQ(s.registerNumber(), 65600);
  EXPECT_EQ(port, "");
  EXPECT_TRUE(tail.has("====>>>> protocolType : 4464"));
  EXPECT_TRUE(tail.has("gateway  endian is 300"));
  EXPECT_TRUE(tail.has("====>>>> register number is  64"));
  EXPECT_TRUE(tail.has("====>>>> rtu portname is "));
  // The file is left as the integrator wrote it.
  EXPECT_EQ(vt::readFile(c.path()), text);
}

TEST(ConfigFile, FirstFailedLookupEndsTheStep) {
  ConfigCase c;
  std::string text = kDefaultFile;
  text.erase(text.find("netmask"), std::string("netmask = \"255.255.255.0\";\n").size());
  c.write(text);

  LogTail tail;
  Schedule s;
  std::string port;
  EXPECT_EQ(s.loadConfig(c.path(), port), -1);
  auto m = tail.messages();
  ASSERT_GE(m.size(), 2u);
  EXPECT_EQ(m[m.size() - 2], "gateway ipAdress is  192.168.0.100");
  EXPECT_EQ(m.back(), "====>>>> netmask error : ");
  // What came before stays applied; the rest of the block is still zero.
  auto b = block(s);
  EXPECT_EQ(std::vector<uint16_t>(b.begin(), b.begin() + 5),
            (std::vector<uint16_t>{2, 192, 168, 0, 100}));
  for (size_t i = 5; i <= 12; ++i) EXPECT_EQ(b[i], 0) << i;
  EXPECT_EQ(b[13], 2);
  EXPECT_EQ(vt::readFile(c.path()), text);
}

TEST(ConfigFile, EachMissingOrMistypedKeyStopsWithItsMessage) {
  const std::vector<std::pair<std::string, std::string>> keys = {
      {"portName", "====>>>> portname failed "},
      {"protocolType", "====>>>> protocolType error : "},
      {"protocolMode", "protocol mode failed   "},
      {"pnCoilNumber", "====>>>> coil number failed "},
      {"pnRegisterNumber", "====>>>> register number failed  "},
      {"controlRobot", "====>>>> gateway control robot failed  "},
      {"controlRobotInManualMode", "====>>>> manual control robot failed  "},
      {"littleEndian", "====>>>> gateway  endian error : "},
      {"ipAddr", "====>>>> ipAdress error : "},
      {"netmask", "====>>>> netmask error : "},
      {"gateway", "====>>>> gateway error : "}};
  for (const auto& [key, message] : keys) {
    for (bool mistype : {false, true}) {
      ConfigCase c;
      std::string text;
      std::istringstream in(kDefaultFile);
      std::string line;
      while (std::getline(in, line)) {
        if (line.rfind(key + " = ", 0) == 0) {
          if (!mistype) continue;
          // A string where a number belongs, and a number where a string belongs.
          line = line.find('"') != std::string::npos ? key + " = 17;" : key + " = 2.0;";
        }
        text += line + "\n";
      }
      c.write(text);
      LogTail tail;
      Schedule s;
      std::string port;
      EXPECT_EQ(s.loadConfig(c.path(), port), -1) << key;
      auto m = tail.messages();
      ASSERT_FALSE(m.empty());
      EXPECT_EQ(m.back(), message) << key << (mistype ? " mistyped" : " missing");
      EXPECT_EQ(vt::readFile(c.path()), text) << "the file must be left alone";
    }
  }
}

TEST(ConfigFile, SettingsInsideAGroupAreNotFound) {
  ConfigCase c;
  c.write(std::string("vemo = {\n") + kDefaultFile + "};\n");
  LogTail tail;
  Schedule s;
  std::string port;
  EXPECT_EQ(s.loadConfig(c.path(), port), -1);
  auto m = tail.messages();
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[1], "====>>>> portname failed ");
}

TEST(ConfigFile, UnreadableFileIsKeptAsideBeforeTheDefaultsAreWritten) {
  ConfigCase c;
  const std::string broken = "protocolType = 3;\nlittleEndian = = 1;\nportName = \"/dev/ttyS1\";\n";
  c.write(broken);
  LogTail tail;
  Schedule s;
  std::string port;
  ASSERT_EQ(s.loadConfig(c.path(), port), 0);
  EXPECT_EQ(port, "/dev/ttyUSB0");
  EXPECT_EQ(vt::readFile(c.path()), kDefaultFile);

  auto names = filesIn(c.dir.path());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], "vemo_umx.conf");
  EXPECT_EQ(names[1].rfind("vemo_umx.conf.bad-", 0), 0u);
  EXPECT_EQ(vt::readFile(c.dir / names[1]), broken);
  EXPECT_TRUE(tail.has("config_read_file failed, need to create default conf "));
  bool told = false;
  for (auto& m : tail.messages())
    told |= m.find("kept as " + c.dir / names[1]) != std::string::npos;
  EXPECT_TRUE(told) << tail.text();

  // A second broken file the same second gets a name of its own.
  c.write("garbage \x01\x02;");
  Schedule s2;
  ASSERT_EQ(s2.loadConfig(c.path(), port), 0);
  EXPECT_EQ(filesIn(c.dir.path()).size(), 3u);
}

TEST(ConfigFile, DefaultsStayInMemoryWhenTheFileCannotBeWritten) {
  ConfigCase c;
  // The workspace without its trailing "/" names a sibling directory that does not exist.
  const std::string path = c.dir.path() + "./config/vemo_umx.conf";
  LogTail tail;
  Schedule s;
  std::string port;
  ASSERT_EQ(s.loadConfig(path, port), 0);
  EXPECT_FALSE(vt::fileExists(path));
  EXPECT_EQ(block(s, 16), kDefaultBlock);
  EXPECT_TRUE(tail.has("config_read_file failed, need to create default conf "));
}

TEST(ConfigFile, HostileFilesNeverCrashAndAreNeverLost) {
  std::string huge(8 << 20, '\0');
  for (size_t i = 0; i < huge.size(); ++i) huge[i] = static_cast<char>((i * 2654435761u) >> 13);
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "a = (";
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"binary", std::string("\x7f"
                             "ELF\x02\x01\x01\0\0\0",
                             10)},
      {"huge", huge},
      {"deep nesting", deep},
      {"unterminated string", "portName = \"/dev/tty"},
      {"long line", std::string(1 << 20, 'x') + " = ;"},
  };
  for (const auto& [what, content] : cases) {
    SCOPED_TRACE(what);
    ConfigCase c;
    c.write(content);
    Schedule s;
    std::string port;
    EXPECT_EQ(s.loadConfig(c.path(), port), 0);
    EXPECT_EQ(vt::readFile(c.path()), kDefaultFile);
    auto names = filesIn(c.dir.path());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_TRUE(vt::readFile(c.dir / names[1]) == content) << "kept byte for byte";
  }

  // An empty file is a valid, empty configuration: the first lookup fails
  // and the file is left as it is.
  ConfigCase c;
  c.write("");
  Schedule s;
  std::string port;
  LogTail tail;
  EXPECT_EQ(s.loadConfig(c.path(), port), -1);
  EXPECT_TRUE(tail.has("====>>>> portname failed "));
  EXPECT_EQ(vt::readFile(c.path()), "");
  EXPECT_EQ(filesIn(c.dir.path()).size(), 1u);
}

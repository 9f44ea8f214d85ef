// The README is what PLC programmers and integrators work from: its register
// tables, configuration defaults and log messages are held to the code here,
// so that they cannot drift apart.
#include <gtest/gtest.h>
#include <libconfig.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "gateway_fields.h"
#include "gateway_map.h"
#include "log_env.h"
#include "logger.h"
#include "schedule.h"
#include "test_env.h"

namespace fs = std::filesystem;
namespace gm = gateway_map;

namespace {

using Row = std::vector<std::string>;

std::string readme() {
  return vt::readFile(vt::sourceDir() + "/README.md");
}

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

Row cells(const std::string& line) {
  Row out;
  std::string cell;
  bool code = false;
  for (size_t i = 1; i < line.size(); ++i) {
    if (line[i] == '`') code = !code;
    if (line[i] == '|' && !code) {
      out.push_back(trim(cell));
      cell.clear();
    } else {
      cell += line[i];
    }
  }
  return out;
}

// The rows of the table whose header row is exactly `header`.
std::vector<Row> table(const std::string& header) {
  std::istringstream in(readme());
  std::vector<Row> rows;
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (!inside) {
      inside = line == header;
      continue;
    }
    if (line.rfind("|---", 0) == 0) continue;
    if (line.rfind("|", 0) != 0) break;
    rows.push_back(cells(line));
  }
  return rows;
}

// "44..55", "57", "56, 62..63, 82..131" -> the addresses.
std::set<int> addresses(const std::string& text) {
  std::set<int> out;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, ',');) {
    part = trim(part);
    if (part.empty()) continue;
    auto dots = part.find("..");
    int a = std::stoi(part.substr(0, dots));
    int b = dots == std::string::npos ? a : std::stoi(part.substr(dots + 2));
    for (int i = a; i <= b; ++i) out.insert(i);
  }
  return out;
}

std::set<int> span(int first, int count) {
  std::set<int> out;
  for (int i = 0; i < count; ++i) out.insert(first + i);
  return out;
}

bool startsWith(const std::string& s, const std::string& p) {
  return s.rfind(p, 0) == 0;
}

const auto* const g_env =
    ::testing::AddGlobalTestEnvironment(new vt::LogEnvironment("vemo-readme"));

}  // namespace

namespace {

// Where the map's one description puts the fields whose names start with
// `prefix`, in `table`, for `protocol_type`: every coil or register they take.
std::set<int> fieldSpan(gm::Table table, const std::string& prefix, int protocol_type,
                        bool* real = nullptr) {
  std::set<int> at;
  for (const auto& f : gm::fields()) {
    if (f.table != table || f.in_command_block || f.name.rfind(prefix, 0) != 0) continue;
    const int a = gm::addressOf(f, protocol_type, 0);
    for (int i = 0; i < std::max(1, gm::registersOf(f.type)); ++i) at.insert(a + i);
    if (real) *real = f.type == gm::Type::kReal;
  }
  return at;
}

}  // namespace

TEST(Readme, HoldingRegisterTableIsTheStatusLayout) {
  const auto rows = table("| content | encoding | protocolType not 3 | protocolType 3 |");
  ASSERT_EQ(rows.size(), 11u);
  for (int column : {2, 3}) {
    SCOPED_TRACE(column);
    const int protocol = column == 3 ? 3 : 2;
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"TCP pose", "TCP_POSE_"},
        {"joint positions", "JOINT_POSITION_"},
        {"heartbeat", "HEARTBEAT"},
        {"speed fraction", "SPEED_PERCENT"},
        {"TCP speed", "TCP_SPEED"},
        {"robot mode", "ROBOT_MODE"},
        {"safety mode", "SAFETY_MODE"},
        {"joint currents", "JOINT_CURRENT_"},
        {"joint voltages", "JOINT_VOLTAGE_"},
        {"joint temperatures", "JOINT_TEMPERATURE_"},
    };
    std::set<int> zeros = span(gm::kStatusBlockStart, gm::kStatusBlockCount);
    for (auto& [name, prefix] : expected) {
      bool real = false;
      const std::set<int> regs = fieldSpan(gm::Table::kHoldingRegister, prefix, protocol, &real);
      ASSERT_FALSE(regs.empty()) << prefix;
      bool found = false;
      for (auto& r : rows)
        if (startsWith(r[0], name)) {
          found = true;
          EXPECT_EQ(addresses(r[column]), regs) << name;
          EXPECT_EQ(r[1], real ? "float pair" : "word") << name;
        }
      EXPECT_TRUE(found) << name;
      for (int a : regs) zeros.erase(a);
    }
    EXPECT_EQ(rows.back()[0], "always 0");
    EXPECT_EQ(addresses(rows.back()[column]), zeros);
  }
}

TEST(Readme, CoilCycleAndCommandTablesAreTheMap) {
  const auto coils = table("| coils | content |");
  const auto coil = [](const char* prefix) { return fieldSpan(gm::Table::kCoil, prefix, 2); };
  const std::vector<std::pair<std::string, std::set<int>>> expected = {
      {"robot bool output", coil("ROBOT_BOOL_OUT_")},
      {"configurable input", coil("CONF_IN_PAIR_")},
      {"configurable output", coil("CONF_OUT_PAIR_")},
      {"program running", coil("PROGRAM_RUNNING")},
      {"program stopped", coil("PROGRAM_STOPPED")},
      {"program paused", coil("PROGRAM_PAUSED")},
      {"standard digital inputs", coil("STD_IN_")},
      {"standard digital outputs", coil("STD_OUT_")},
      {"tool digital outputs", coil("TOOL_OUT_")},
  };
  std::set<int> zeros = span(0, gm::kStatusBitsStart + gm::kStatusBitsCount);
  std::set<int> documented_zeros;
  for (auto& r : coils) {
    if (r[1] == "always 0") {
      for (int a : addresses(r[0])) documented_zeros.insert(a);
      continue;
    }
    bool known = false;
    for (auto& [name, set] : expected)
      if (startsWith(r[1], name)) {
        known = true;
        EXPECT_EQ(addresses(r[0]), set) << name;
        for (int a : set) zeros.erase(a);
      }
    EXPECT_TRUE(known) << r[1];
  }
  EXPECT_EQ(documented_zeros, zeros);

  const auto steps = table("| step | function | start | count | direction | content |");
  const std::vector<std::tuple<std::string, int, int>> cycle = {
      {"write multiple coils (15)", gm::kStatusBitsStart, gm::kStatusBitsCount},
      {"write multiple registers (16)", gm::kStatusBlockStart, gm::kStatusBlockCount},
      {"read discrete inputs (2)", gm::kPlcBitsStart, gm::kPlcBitsCount},
      {"write multiple coils (15)", gm::kRobotBitsStart, gm::kRobotBitsCount},
      {"read input registers (4)", gm::kPlcRegistersStart, gm::kPlcRegistersCount},
      {"write multiple registers (16)", gm::kRobotRegistersStart, gm::kRobotRegistersCount},
      {"read input registers (4)", -1, gm::kCommandBlockCount},
  };
  ASSERT_EQ(steps.size(), cycle.size());
  for (size_t i = 0; i < cycle.size(); ++i) {
    EXPECT_EQ(steps[i][1], std::get<0>(cycle[i]));
    if (std::get<1>(cycle[i]) >= 0) {
      EXPECT_EQ(std::stoi(steps[i][2]), std::get<1>(cycle[i]));
    }
    EXPECT_EQ(std::stoi(steps[i][3]), std::get<2>(cycle[i]));
  }
  EXPECT_EQ(steps[6][2], "`pnRegisterNumber`");
  EXPECT_NE(steps[5][5].find("int16 registers " + std::to_string(gm::kRobotRegistersFirstSource) +
                             ".." + std::to_string(gm::kRobotRegistersFirstSource + 31)),
            std::string::npos);

  const auto words = table("| word | input register | content |");
  ASSERT_EQ(words.size(), 5u);
  EXPECT_EQ(std::stoi(words[gm::kCommandWord][0]), gm::kCommandWord);
  EXPECT_TRUE(startsWith(words[gm::kCommandWord][2], "command word"));
  EXPECT_TRUE(startsWith(words[gm::kSpeedWord][2], "speed in percent"));
  EXPECT_TRUE(startsWith(words[gm::kOutputsLowWord][2], "bits 0..3 tool outputs"));
  EXPECT_TRUE(startsWith(words[gm::kOutputsHighWord][2], "bits 0..7 standard outputs 8..15"));

  const auto codes = table("| command word | action |");
  const std::map<int, std::string> actions = {{gm::kCommandPowerOn, "power on"},
                                              {gm::kCommandBrakeRelease, "release the brakes"},
                                              {gm::kCommandRunProgram, "run the program"},
                                              {gm::kCommandPauseProgram, "pause the program"},
                                              {gm::kCommandResumeProgram, "resume the program"},
                                              {gm::kCommandStopProgram, "stop the program"}};
  ASSERT_EQ(codes.size(), actions.size());
  for (auto& r : codes) EXPECT_EQ(actions.at(std::stoi(r[0])), r[1]);
}

TEST(Readme, SettingsBlockAndConfigurationKeysAreTheDefaults) {
  vt::TempDir dir("vemo-readme-cfg");
  const std::string path = dir / "vemo_umx.conf";
  Schedule schedule;
  std::string port;
  ASSERT_EQ(schedule.loadConfig(path, port), 0);

  // The settings block the defaults produce, register by register.
  const auto settings = table("| holding register | content | default |");
  std::map<int, int> documented;
  for (auto& r : settings) {
    const auto regs = addresses(r[0]);
    std::vector<int> values;
    std::istringstream in(r[2]);
    for (std::string v; std::getline(in, v, ',');) values.push_back(std::stoi(trim(v)));
    size_t i = 0;
    for (int a : regs) documented[a] = values.size() == 1 ? values[0] : values.at(i++);
  }
  ASSERT_EQ(documented.size(), static_cast<size_t>(gm::kSettingsWriteCount));
  EXPECT_EQ(documented.begin()->first, gm::kSettingsStart);
  for (int i = 0; i < gm::kSettingsWords; ++i)
    EXPECT_EQ(documented[gm::kSettingsStart + i], schedule.gatewaySettings()[i]) << i;

  // The configuration table lists the default file's keys, in its order, with its values.
  config_t cfg;
  config_init(&cfg);
  ASSERT_EQ(config_read_file(&cfg, path.c_str()), CONFIG_TRUE);
  config_setting_t* root = config_root_setting(&cfg);
  const auto keys = table("| key | default | used for |");
  ASSERT_EQ(static_cast<int>(keys.size()), config_setting_length(root));
  for (int i = 0; i < config_setting_length(root); ++i) {
    config_setting_t* s = config_setting_get_elem(root, i);
    EXPECT_EQ(keys[i][0], "`" + std::string(config_setting_name(s)) + "`");
    const std::string value = config_setting_type(s) == CONFIG_TYPE_STRING
                                  ? "\"" + std::string(config_setting_get_string(s)) + "\""
                                  : std::to_string(config_setting_get_int(s));
    EXPECT_EQ(keys[i][1], value) << keys[i][0];
  }
  config_destroy(&cfg);
}

// Every message the service can log: the format strings of the log macros
// and the lookup-failure texts, read from the sources.
std::vector<std::string> sourceMessages() {
  std::vector<std::string> out;
  const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
  for (auto& entry : fs::directory_iterator(vt::sourceDir() + "/src")) {
    const std::string text = vt::readFile(entry.path().string());
    for (const char* marker :
         {"LOG_INFO(", "LOG_ERROR(", "LOG_INFO_TAGS(", "LOG_ERROR_TAGS(", "fail(\""}) {
      for (size_t p = text.find(marker); p != std::string::npos; p = text.find(marker, p + 1)) {
        // A macro definition forwards its arguments and carries no text.
        size_t q = text.find('"', p);
        if (q == std::string::npos || q > text.find(';', p)) continue;
        // Tagged macros: the tags ("#repeats") come before the message.
        while (text.compare(q, 2, "\"#") == 0) q = text.find('"', text.find('"', q + 1) + 1);
        std::string message;
        // Adjacent literals form one message.
        std::smatch m;
        std::string rest = text.substr(q);
        while (std::regex_search(rest, m, literal) && m.position(0) == 0) {
          message += m[1].str();
          rest = m.suffix().str();
          size_t next = rest.find_first_not_of(" \n");
          if (next == std::string::npos || rest[next] != '"') break;
          rest = rest.substr(next);
        }
        if (message != "{}") out.push_back(message);
      }
    }
    // The robot-mode texts are a table of their own.
    auto modes = text.find("kModeMessages[10] = {");
    if (modes != std::string::npos) {
      std::string block = text.substr(modes, text.find("};", modes) - modes);
      for (std::sregex_iterator it(block.begin(), block.end(), literal), end; it != end; ++it)
        out.push_back((*it)[1].str());
    }
  }
  return out;
}

TEST(Readme, EveryLogMessageIsExplained) {
  const std::string doc = readme();
  const auto messages = sourceMessages();
  EXPECT_GT(messages.size(), 60u);
  std::set<std::string> seen;
  for (const auto& m : messages) {
    if (!seen.insert(m).second) continue;
    EXPECT_NE(doc.find("| `\"" + m + "\"` |"), std::string::npos)
        << "not in the README: \"" << m << "\"";
  }
  // And the README explains no message the service does not write.
  const std::regex row(R"re(\n\| `"(.*)"` \| (INFO|ERROR) \|)re");
  for (std::sregex_iterator it(doc.begin(), doc.end(), row), end; it != end; ++it)
    EXPECT_TRUE(seen.count((*it)[1].str())) << "not in the sources: " << (*it)[1].str();
}

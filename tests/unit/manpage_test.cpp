// The manual page vemo_umx(8) is what an integrator on the controller reads:
// its options are held to those the program accepts and to the README's, and
// the workspace files it names to the README's layout.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "test_env.h"

namespace {

struct Option {
  std::string short_name, long_name, argument;  // "" when it has none
  bool operator<(const Option& o) const {
    return std::tie(short_name, long_name, argument) <
           std::tie(o.short_name, o.long_name, o.argument);
  }
  bool operator==(const Option& o) const {
    return short_name == o.short_name && long_name == o.long_name && argument == o.argument;
  }
};

std::ostream& operator<<(std::ostream& os, const Option& o) {
  return os << (o.short_name.empty() ? "" : "-" + o.short_name + ", ") << "--" << o.long_name
            << (o.argument.empty() ? "" : " " + o.argument);
}

// Whether the option takes a value, without its name: the program's usage
// calls most values "arg".
std::set<Option> withoutArgumentNames(std::set<Option> options) {
  std::set<Option> out;
  for (auto o : options) {
    if (!o.argument.empty()) o.argument = "<value>";
    out.insert(o);
  }
  return out;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// One roff source line as text: font escapes and the macros' own spacing
// rules applied (.IB a b gives "ab", .B a b gives "a b").
std::string roffText(std::string line) {
  static const std::regex font(R"(\\f[BIRP])");
  line = std::regex_replace(line, font, "");
  line = std::regex_replace(line, std::regex(R"(\\-)"), "-");
  line = std::regex_replace(line, std::regex(R"(\\&)"), "");
  if (line.empty() || line[0] != '.') return line;
  std::istringstream in(line);
  std::string macro, word, out;
  in >> macro;
  const bool alternating = macro.size() == 3;  // .BR, .IB, .RI, ...
  while (in >> word) out += (out.empty() || alternating ? "" : " ") + word;
  return out;
}

// The text of one section (.SH name) of the page, a line per source line.
std::vector<std::string> section(const std::string& page, const std::string& name) {
  std::vector<std::string> out;
  bool inside = false;
  for (auto& l : lines(page)) {
    if (l.rfind(".SH", 0) == 0) {
      inside = l == ".SH " + name;
      continue;
    }
    if (inside) out.push_back(l);
  }
  return out;
}

const std::regex kOption(R"(^(?:-(\w), )?--([\w-]+)(?: (\S+))?$)");

std::set<Option> manPageOptions(const std::string& page) {
  std::set<Option> out;
  const auto body = section(page, "OPTIONS");
  for (size_t i = 0; i + 1 < body.size(); ++i) {
    if (body[i] != ".TP") continue;
    const std::string tag = roffText(body[i + 1]);
    std::smatch m;
    EXPECT_TRUE(std::regex_match(tag, m, kOption)) << tag;
    if (!m.empty()) out.insert({m[1], m[2], m[3]});
  }
  return out;
}

std::string readme() {
  return vt::readFile(vt::sourceDir() + "/README.md");
}

// The first column of the README table whose header row is `header`, without
// its backquotes.
std::vector<std::string> readmeColumn(const std::string& header) {
  std::vector<std::string> out;
  bool inside = false;
  for (auto& l : lines(readme())) {
    if (!inside) {
      inside = l == header;
      continue;
    }
    if (l.rfind("|---", 0) == 0) continue;
    if (l.rfind("|", 0) != 0) break;
    std::string cell = l.substr(1, l.find('|', 1) - 1);
    cell.erase(std::remove(cell.begin(), cell.end(), '`'), cell.end());
    out.push_back(cell.substr(cell.find_first_not_of(' '), cell.find_last_not_of(' ') -
                                                               cell.find_first_not_of(' ') + 1));
  }
  return out;
}

std::string manPage() {
  return vt::readFile(vt::sourceDir() + "/packaging/man/vemo_umx.8");
}

}  // namespace

TEST(ManPage, OptionsAreThoseTheProgramAcceptsAndTheReadmeLists) {
  const std::string page = manPage();
  const auto documented = manPageOptions(page);
  ASSERT_FALSE(documented.empty()) << "no OPTIONS in the manual page";

  // The program's own list: the usage it prints for a malformed command line.
  vt::TempDir tmp("vemo-manpage");
  vt::ProcessOptions opt;
  opt.cwd = tmp.path();
  vt::Process umx({vt::bin("vemo_umx"), "--workspace"}, opt);
  int status = 0;
  ASSERT_TRUE(umx.waitExit(vt::Ms(10000), &status));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << umx.allText(vt::Stream::Err);
  std::set<Option> accepted;
  // "  -c, --config arg     Specify ...", "      --metrics-file PATH  Write ..."
  static const std::regex usage_row(R"(^\s+(?:-(\w), )?--([\w-]+)(?: (\S+))?\s\s)");
  for (auto& l : umx.lines(vt::Stream::Err)) {
    const std::string row = l + "  ";
    std::smatch m;
    if (std::regex_search(row, m, usage_row)) accepted.insert({m[1], m[2], m[3]});
  }
  ASSERT_FALSE(accepted.empty()) << umx.allText(vt::Stream::Err);
  EXPECT_EQ(withoutArgumentNames(documented), withoutArgumentNames(accepted));

  // The README's table, argument names included.
  std::set<Option> listed;
  for (auto& cell : readmeColumn("| option | effect |")) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(cell, m, kOption)) << cell;
    if (!m.empty()) listed.insert({m[1], m[2], m[3]});
  }
  EXPECT_EQ(documented, listed);

  // And the synopsis shows each of them.
  std::string synopsis;
  for (auto& l : section(page, "SYNOPSIS")) synopsis += roffText(l) + " ";
  for (auto& o : documented)
    EXPECT_NE(synopsis.find("--" + o.long_name + (o.argument.empty() ? "" : " " + o.argument)),
              std::string::npos)
        << o << "\n"
        << synopsis;
}

TEST(ManPage, FilesNameTheWorkspaceLayout) {
  std::string files;
  for (auto& l : section(manPage(), "FILES")) files += roffText(l) + "\n";
  const auto layout = readmeColumn("| path below the workspace | content |");
  ASSERT_FALSE(layout.empty());
  for (auto& path : layout) EXPECT_NE(files.find("workspace/" + path), std::string::npos) << path;
}

// The PLC programmer's tag lists: one row per value, the same names in
// every layout and byte order, identifiers a PLC accepts, and documents its
// tools read (the XML checked by xmllint and read back).
#include "tag_export.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_env.h"

namespace {

const TagExport::Layout kLayouts[] = {
    {2, false, 32}, {2, true, 32}, {3, false, 40}, {3, true, 200}};

std::string exported(const char* format, const TagExport::Layout& l) {
  std::ostringstream out;
  std::string error;
  EXPECT_EQ(TagExport::write(format, l, out, &error), 0) << error;
  return out.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

}  // namespace

TEST(TagExport, CsvNamesAreIecIdentifiersTheSameInEveryLayout) {
  const std::regex iec("[A-Z][A-Z0-9]*(_[A-Z0-9]+)*");
  std::vector<std::string> first_names;
  for (const auto& l : kLayouts) {
    const auto rows = lines(exported("csv", l));
    ASSERT_GT(rows.size(), 280u);
    EXPECT_EQ(rows[0], "name,direction,table,address,type,encoding,scale,unit,description");
    std::vector<std::string> names;
    std::set<std::pair<std::string, int>> places;
    for (size_t i = 1; i < rows.size(); ++i) {
      const std::string name = rows[i].substr(0, rows[i].find(','));
      EXPECT_TRUE(std::regex_match(name, iec)) << name;
      names.push_back(name);
      std::istringstream cells(rows[i]);
      std::string cell[5];
      for (auto& c : cell) std::getline(cells, c, ',');
      EXPECT_TRUE(places.emplace(cell[2], std::stoi(cell[3])).second)
          << "two values at " << cell[2] << " " << cell[3];
    }
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
    if (first_names.empty())
      first_names = names;
    else
      EXPECT_EQ(names, first_names) << "only addresses and encodings change";
  }
}

TEST(TagExport, StructuredTextAndPlcopenCarryTheBlocksInRegisterOrder) {
  const auto st = exported("st", kLayouts[2]);
  const auto st_lines = lines(st);
  ASSERT_GE(st_lines.size(), 3u);
  EXPECT_EQ(st_lines[2], "TYPE") << st;
  EXPECT_EQ(st_lines.back(), "END_TYPE");
  // Layout 3: reserved 44, heartbeat 45, reserved 46, joints from 47.
  const auto at = [&](const char* s) { return st.find(s); };
  EXPECT_LT(at("TCP_POSE_RZ : REAL;"), at("RESERVED_44 : WORD;"));
  EXPECT_LT(at("RESERVED_44 : WORD;"), at("HEARTBEAT : UINT;"));
  EXPECT_LT(at("HEARTBEAT : UINT;"), at("RESERVED_46 : WORD;"));
  EXPECT_LT(at("RESERVED_46 : WORD;"),
            at("JOINT_POSITION_0 : REAL; (* holding register 47..48, BADC"));
  EXPECT_NE(
      at("VEMO_COMMAND_BLOCK : STRUCT (* command block, PLC to robot: input registers 40..47"),
      std::string::npos);
  EXPECT_NE(at("RESERVED_WORD_7 : WORD; (* input register 47, not used *)"), std::string::npos)
      << "the command block's gaps are named by their word";
  size_t structs = 0, ends = 0;
  for (const auto& l : lines(st)) {
    structs += l.find(" : STRUCT ") != std::string::npos;
    ends += l == "  END_STRUCT;";
    if (l.find(" : ") != std::string::npos && l.find("STRUCT") == std::string::npos) {
      EXPECT_TRUE(
          std::regex_match(l, std::regex(R"(    \w+ : (BOOL|INT|UINT|WORD|REAL); \(\* .* \*\))")))
          << l;
    }
  }
  EXPECT_EQ(structs, 7u);
  EXPECT_EQ(ends, 7u);

  vt::TempDir tmp("vemo-tags");
  const std::string xml = tmp / "tags.xml";
  vt::writeFile(xml, exported("plcopen", kLayouts[1]));
  vt::Process lint({"xmllint", "--noout", xml});
  int status = 0;
  ASSERT_TRUE(lint.waitExit(vt::Ms(10000), &status));
  EXPECT_EQ(status, 0) << lint.allText(vt::Stream::Err);
  auto xpath = [&](const std::string& expr) {
    vt::Process p({"xmllint", "--xpath", expr, xml});
    p.waitExit(vt::Ms(10000));
    return p.lines().empty() ? std::string() : p.lines().back();
  };
  const std::string ns = "/*[local-name()='project']/*[local-name()='";
  EXPECT_EQ(xpath("count(" + ns +
                  "fileHeader'][@companyName and @productName and "
                  "@productVersion and @creationDateTime])"),
            "1");
  EXPECT_EQ(xpath("count(" + ns + "contentHeader'][@name]/*[local-name()='coordinateInfo']/*)"),
            "3");
  EXPECT_EQ(
      xpath("count(" + ns + "types']/*[local-name()='dataTypes']/*[local-name()='dataType'])"),
      "7");
  EXPECT_EQ(xpath("count(" + ns + "types']/*[local-name()='pous']/*)"), "0");
  EXPECT_EQ(xpath("count(" + ns + "instances']/*[local-name()='configurations'])"), "1");
  EXPECT_EQ(xpath("string(//*[local-name()='dataType'][@name='VEMO_STATUS_BLOCK']//*[local-name()="
                  "'variable'][1]/@name)"),
            "TCP_POSE_X");
  EXPECT_EQ(xpath("count(//*[local-name()='dataType'][@name='VEMO_STATUS_BLOCK']//*[local-name()="
                  "'variable']/*[local-name()='type']/*[local-name()='REAL'])"),
            "12");
}

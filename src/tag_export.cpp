#include "tag_export.h"

#include <cstdlib>
#include <ctime>
#include <ostream>
#include <sstream>
#include <vector>

#include "gateway_fields.h"

namespace gm = gateway_map;

namespace {

// A block of consecutive coils or registers that the PLC's I/O image holds
// in order: one data type each in the structured text and the XML.
struct Block {
  const char* type_name;
  gm::Table table;
  int start;  // with the command block, relative to pnRegisterNumber
  int count;
  bool command_block;
  const char* what;
};

const Block kBlocks[] = {
    {"VEMO_STATUS_BLOCK", gm::Table::kHoldingRegister, gm::kStatusBlockStart, gm::kStatusBlockCount,
     false, "status block, robot to PLC"},
    {"VEMO_COMMAND_BLOCK", gm::Table::kInputRegister, 0, gm::kCommandBlockCount, true,
     "command block, PLC to robot"},
    {"VEMO_STATUS_BITS", gm::Table::kCoil, gm::kStatusBitsStart, gm::kStatusBitsCount, false,
     "status bits, robot to PLC"},
    {"VEMO_ROBOT_BOOL_OUT", gm::Table::kCoil, gm::kRobotBitsStart, gm::kRobotBitsCount, false,
     "robot bool output registers 0..63, robot to PLC"},
    {"VEMO_PLC_BOOL_IN", gm::Table::kDiscreteInput, gm::kPlcBitsStart, gm::kPlcBitsCount, false,
     "robot bool input registers 0..63, PLC to robot"},
    {"VEMO_PLC_INT16", gm::Table::kInputRegister, gm::kPlcRegistersStart, gm::kPlcRegistersCount,
     false, "robot int16 registers 0..31, PLC to robot"},
    {"VEMO_ROBOT_INT16", gm::Table::kHoldingRegister, gm::kRobotRegistersStart,
     gm::kRobotRegistersCount, false, "robot int16 registers 32..63, robot to PLC"},
};

int blockStart(const Block& b, const TagExport::Layout& l) {
  return b.command_block ? l.command_register + b.start : b.start;
}

// The field that begins at `address` of the block's table, or null.
const gm::Field* fieldAt(const Block& b, const TagExport::Layout& l, int address) {
  for (const auto& f : gm::fields())
    if (f.table == b.table && f.in_command_block == b.command_block &&
        gm::addressOf(f, l.protocol_type, l.command_register) == address)
      return &f;
  return nullptr;
}

// A member of a block's data type: a field, or a reserved coil or register.
struct Member {
  std::string name;
  std::string type;  // IEC elementary type
  std::string comment;
};

const char* tableShort(gm::Table t) {
  switch (t) {
    case gm::Table::kCoil:
      return "coil";
    case gm::Table::kDiscreteInput:
      return "discrete input";
    case gm::Table::kInputRegister:
      return "input register";
    case gm::Table::kHoldingRegister:
      return "holding register";
  }
  return "";
}

std::vector<Member> membersOf(const Block& b, const TagExport::Layout& l) {
  std::vector<Member> members;
  const int start = blockStart(b, l);
  const bool bits = b.table == gm::Table::kCoil || b.table == gm::Table::kDiscreteInput;
  for (int a = start; a < start + b.count;) {
    const gm::Field* f = fieldAt(b, l, a);
    std::ostringstream where;
    where << tableShort(b.table) << " " << a;
    if (!f) {
      // The command block moves with pnRegisterNumber: its gaps are named
      // by their word, so the type is the same in every configuration.
      members.push_back({b.command_block ? "RESERVED_WORD_" + std::to_string(a - start)
                                         : "RESERVED_" + std::to_string(a),
                         bits ? "BOOL" : "WORD", where.str() + ", not used"});
      ++a;
      continue;
    }
    const int regs = gm::registersOf(f->type);
    if (regs == 2) where << ".." << a + 1;
    const char* enc = gm::encodingOf(f->type, l.little_endian);
    if (*enc) where << ", " << enc;
    if (*f->unit) where << ", " << f->unit;
    where << ": " << f->description;
    members.push_back({f->name, gm::typeName(f->type), where.str()});
    a += regs == 0 ? 1 : regs;
  }
  return members;
}

// Comments must not end early: "*)" inside one would.
std::string commentText(std::string s) {
  for (size_t p; (p = s.find("*)")) != std::string::npos;) s.replace(p, 2, "* )");
  return s;
}

std::string csvField(const std::string& s) {
  if (s.find_first_of(",\"\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

std::string xmlText(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string configurationLine(const TagExport::Layout& l) {
  return "vemo_umx gateway map for protocolType " + std::to_string(l.protocol_type) +
         ", littleEndian " + std::to_string(l.little_endian ? 1 : 0) + ", pnRegisterNumber " +
         std::to_string(l.command_register);
}

// A reproducible build sets SOURCE_DATE_EPOCH; otherwise now, in UTC.
std::string isoTime() {
  std::time_t t = std::time(nullptr);
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) t = std::strtoll(epoch, nullptr, 10);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
  return buf;
}

}  // namespace

int TagExport::write(const std::string& format, const Layout& layout, std::ostream& out,
                     std::string* error) {
  if (format == "csv")
    csv(layout, out);
  else if (format == "st")
    structuredText(layout, out);
  else if (format == "plcopen")
    plcopen(layout, out);
  else {
    if (error) *error = "unknown tag format '" + format + "' (csv, st or plcopen)";
    return 2;
  }
  return 0;
}

void TagExport::csv(const Layout& l, std::ostream& out) {
  out << "name,direction,table,address,type,encoding,scale,unit,description\n";
  for (const auto& f : gm::fields()) {
    out << f.name << ','
        << (f.direction == gm::Direction::kRobotToPlc ? "robot_to_plc" : "plc_to_robot") << ','
        << gm::tableName(f.table) << ',' << gm::addressOf(f, l.protocol_type, l.command_register)
        << ',' << gm::typeName(f.type) << ',' << gm::encodingOf(f.type, l.little_endian) << ','
        << f.scale << ',' << f.unit << ',' << csvField(f.description) << '\n';
  }
}

void TagExport::structuredText(const Layout& l, std::ostream& out) {
  out << "(* " << configurationLine(l) << " *)\n";
  out << "(* Each block's registers or bits in order, as the PLC's I/O image holds them. *)\n";
  out << "TYPE\n";
  for (const Block& b : kBlocks) {
    const int start = blockStart(b, l);
    out << "  " << b.type_name << " : STRUCT (* " << b.what << ": " << tableShort(b.table) << "s "
        << start << ".." << start + b.count - 1 << " *)\n";
    for (const Member& m : membersOf(b, l))
      out << "    " << m.name << " : " << m.type << "; (* " << commentText(m.comment) << " *)\n";
    out << "  END_STRUCT;\n";
  }
  out << "END_TYPE\n";
}

void TagExport::plcopen(const Layout& l, std::ostream& out) {
  const std::string now = isoTime();
  out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      << "<project xmlns=\"http://www.plcopen.org/xml/tc6_0201\" "
         "xmlns:xhtml=\"http://www.w3.org/1999/xhtml\">\n"
      << "  <fileHeader companyName=\"vemo_umx\" productName=\"vemo_umx\" productVersion=\""
      << VEMO_UMX_VERSION << "\" creationDateTime=\"" << now << "\"/>\n"
      << "  <contentHeader name=\"" << xmlText(configurationLine(l)) << "\" modificationDateTime=\""
      << now << "\">\n"
      << "    <coordinateInfo>\n"
      << "      <fbd><scaling x=\"1\" y=\"1\"/></fbd>\n"
      << "      <ld><scaling x=\"1\" y=\"1\"/></ld>\n"
      << "      <sfc><scaling x=\"1\" y=\"1\"/></sfc>\n"
      << "    </coordinateInfo>\n"
      << "  </contentHeader>\n"
      << "  <types>\n"
      << "    <dataTypes>\n";
  for (const Block& b : kBlocks) {
    const int start = blockStart(b, l);
    out << "      <dataType name=\"" << b.type_name << "\">\n"
        << "        <baseType>\n"
        << "          <struct>\n";
    for (const Member& m : membersOf(b, l))
      out << "            <variable name=\"" << m.name << "\"><type><" << m.type
          << "/></type><documentation><xhtml:p>" << xmlText(m.comment)
          << "</xhtml:p></documentation></variable>\n";
    out << "          </struct>\n"
        << "        </baseType>\n"
        << "        <documentation><xhtml:p>" << xmlText(b.what) << ": " << tableShort(b.table)
        << "s " << start << ".." << start + b.count - 1 << "</xhtml:p></documentation>\n"
        << "      </dataType>\n";
  }
  out << "    </dataTypes>\n"
      << "    <pous/>\n"
      << "  </types>\n"
      << "  <instances>\n"
      << "    <configurations/>\n"
      << "  </instances>\n"
      << "</project>\n";
}

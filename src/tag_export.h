#pragma once
// The tag lists a PLC programmer imports, made from the gateway's fields
// (gateway_fields.h) for the configuration a bridge runs with: the status
// block's layout (protocolType), the byte order (littleEndian) and the
// command block's place (pnRegisterNumber).
#include <iosfwd>
#include <string>

class TagExport {
 public:
  struct Layout {
    int protocol_type = 2;
    bool little_endian = false;
    int command_register = 32;
  };
  // "csv", "st" or "plcopen" to `out`: 0; an unknown format: 2, with `error`.
  static int write(const std::string& format, const Layout& layout, std::ostream& out,
                   std::string* error);

  // One row per value, with the header
  // name,direction,table,address,type,encoding,scale,unit,description.
  static void csv(const Layout& layout, std::ostream& out);
  // IEC 61131-3 structured text: a data type per block, members in register
  // order, reserved members for the gaps.
  static void structuredText(const Layout& layout, std::ostream& out);
  // The same data types as a PLCopen TC6 XML 2.01 document.
  static void plcopen(const Layout& layout, std::ostream& out);
};

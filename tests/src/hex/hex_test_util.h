// Small helpers shared by the converter's tests.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "hex.h"

namespace hex_test {

using Lines = std::vector<std::string>;

// A run of bytes at a byte address, as the image holds it.
struct ByteRun {
  uint32_t start;
  std::vector<uint8_t> bytes;
};

inline bool operator==(const ByteRun& a, const ByteRun& b) {
  return a.start == b.start && a.bytes == b.bytes;
}

inline void PrintTo(const ByteRun& r, std::ostream* os) {
  *os << "{0x" << std::hex << r.start << std::dec << ":";
  for (uint8_t b : r.bytes) *os << " " << static_cast<int>(b);
  *os << "}";
}

inline Data toData(const std::vector<uint8_t>& bytes) {
  return Data(static_cast<uint32_t>(bytes.size()), bytes.data());
}

inline Hex makeHex(const std::string& baseName, const std::vector<ByteRun>& runs) {
  Hex hex;
  hex.cFileBaseName = baseName;
  for (const ByteRun& r : runs) hex.cRanges.emplace_back(r.start, toData(r.bytes));
  return hex;
}

// The file text of these records: each ends in CR LF.
inline std::string joinRecords(const Lines& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\r\n";
  return text;
}

// The records of a file text; a line not ended by CR LF is kept with what
// it has so that comparisons show it.
inline Lines splitRecords(const std::string& text) {
  Lines lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

inline std::vector<uint8_t> bytesOf(const HexRange& r) {
  return std::vector<uint8_t>(r.cData.data(), r.cData.data() + r.cData.size());
}

}  // namespace hex_test

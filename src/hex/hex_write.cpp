#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "hex.h"
#include "platform.h"
#include "textutil.h"

namespace {

// Records end in CR LF on every host, so the files are written in binary.
const char* const kRecordEnd = "\r\n";
const char* const kEndRecord = ":00000001FF";

uint8_t checksum(uint32_t sum) { return static_cast<uint8_t>((0x100u - (sum & 0xFFu)) & 0xFFu); }

// The two upper-case hex digits of every byte value.
struct HexPairs {
  char text[512];
  constexpr HexPairs() : text() {
    const char* const digits = "0123456789ABCDEF";
    for (int v = 0; v < 256; ++v) {
      text[2 * v] = digits[v >> 4];
      text[2 * v + 1] = digits[v & 0xF];
    }
  }
};
constexpr HexPairs kHexPairs;

char* putHexByte(char* out, uint32_t value) {
  std::memcpy(out, kHexPairs.text + 2 * (value & 0xFFu), 2);
  return out + 2;
}

// Formats one data record of count bytes straight into file's buffer. A
// formatted print per byte, and a new string per record, made large images
// take seconds.
void dataRecord(uint32_t address, const uint8_t* bytes, size_t count, HexFile& file) {
  TOOL_ASSERT(count <= 16);
  // ':', 8 header digits, 2 per byte, 2 checksum digits, CR LF
  char* const text = file.room(45);
  if (!text) return;  // a write failed already; close reports it
  char* out = text;
  const uint32_t addr16 = address & 0xFFFFu;
  *out++ = ':';
  out = putHexByte(out, static_cast<uint32_t>(count));
  out = putHexByte(out, addr16 >> 8);
  out = putHexByte(out, addr16);
  out = putHexByte(out, 0);
  uint32_t sum = static_cast<uint32_t>(count) + (addr16 >> 8) + (addr16 & 0xFFu);
  for (size_t i = 0; i < count; ++i) {
    out = putHexByte(out, bytes[i]);
    sum += bytes[i];
  }
  out = putHexByte(out, checksum(sum));
  *out++ = kRecordEnd[0];
  *out++ = kRecordEnd[1];
  file.used(static_cast<size_t>(out - text));
}

}  // namespace

void AddrRange::print(std::ostream& os) const {
  os << "AddrRange:  cStart=" << hexString(cStart, 4) << " cEnd=" << hexString(cEnd, 4) << "\n";
}

bool inAnyRange(uint32_t location, const AddrRangeList& ranges) {
  for (const AddrRange& r : ranges)
    if (r.contains(location)) return true;
  return false;
}

void HexRange::print(std::ostream& os) const {
  os << "HexRange: cStart=" << hexString(cStart, 4) << ", cData=\n";
  cData.print(os);
}

bool HexFile::open() {
  if (!cFile.open()) return false;
  cOut.reset(cFile.file());
  return true;
}

bool HexFile::close() {
  if (!cFile.file()) return false;
  const bool written = cOut.flush();
  return cFile.close() && written;
}

const HexFile* HexFile::commitAll(const std::vector<std::unique_ptr<HexFile>>& files) {
  replacement::OutputFile* failed =
      replacement::commitAll({&files[0]->cFile, files.size() > 1 ? &files[1]->cFile : nullptr});
  for (const auto& f : files)
    if (failed == &f->cFile) return f.get();
  return nullptr;
}

void Hex::sortRanges() {
  std::stable_sort(cRanges.begin(), cRanges.end(),
                   [](const HexRange& a, const HexRange& b) { return a.cStart < b.cStart; });
}

int Hex::checkReach(int format) const {
  if (format != fmtINHX8M && format != fmtINHX8S) return 1;
  // Record addresses are byte addresses in INHX8M, word addresses in the
  // two files of INHX8S; records never cross a 64 KB boundary, so the last
  // byte of each run tells.
  const unsigned shift = format == fmtINHX8S ? 1 : 0;
  for (const HexRange& r : cRanges) {
    if (r.cData.size() == 0) continue;
    const uint64_t last = r.cStart + static_cast<uint64_t>(r.cData.size()) - 1;
    if ((last >> shift) > 0xFFFFu) {
      reportMessage(SevError, "Hex::doLinearAddressRecord()",
                    "Selected hex format does not support byte addresses above 64kb; use INHX32 format!",
                    1);
      return 0;
    }
  }
  return 1;
}

void Hex::doLinearAddressRecord(HexFile& file, uint32_t address, int format, bool first) {
  if (first) cLinearAddress = address;
  if (format == fmtINHX8M || format == fmtINHX8S) {
    TOOL_ASSERT((address >> 16) == 0);  // checkReach passed
    return;
  }
  if (first || (address >> 16) != (cLinearAddress >> 16)) {
    cLinearAddress = address;
    const uint32_t upper = address >> 16;
    char line[32];
    std::snprintf(line, sizeof line, ":02000004%04X%02X", static_cast<unsigned>(upper),
                  static_cast<unsigned>(checksum(2 + 4 + (upper >> 8) + (upper & 0xFFu))));
    file.put(line, std::strlen(line));
    file.put(kRecordEnd, 2);
  }
}

void Hex::writeByteRecords(HexFile& file, int format) {
  bool first = true;
  for (const HexRange& r : cRanges) {
    const uint8_t* data = r.cData.data();
    const uint64_t size = r.cData.size();
    // The image builder keeps every run inside the 32-bit byte space.
    TOOL_ASSERT(r.cStart + size <= 0x100000000ull);
    uint64_t address = r.cStart;
    for (uint64_t offset = 0; offset < size;) {
      doLinearAddressRecord(file, static_cast<uint32_t>(address), format, first);
      first = false;
      const uint64_t n = std::min<uint64_t>(16 - (address & 0xF), size - offset);
      dataRecord(static_cast<uint32_t>(address), data + offset, static_cast<size_t>(n), file);
      address += n;
      offset += n;
    }
  }
}

// INHX8S: the byte at an even address goes to the low file, the one at an
// odd address to the high file, both at word address (byte address / 2).
// Splitting by address parity rather than by offset in the run keeps the
// halves right for runs that start on an odd byte (byte-addressed memory).
void Hex::writeSplitRecords(HexFile& low, HexFile& high) {
  bool first = true;
  std::vector<uint8_t> half[2];
  for (const HexRange& r : cRanges) {
    const uint8_t* data = r.cData.data();
    const uint64_t begin = r.cStart;
    const uint64_t end = begin + r.cData.size();
    TOOL_ASSERT(end <= 0x100000000ull);
    const uint64_t wordEnd = (end + 1) >> 1;
    for (uint64_t word = begin >> 1; word < wordEnd;) {
      const uint64_t n = std::min<uint64_t>(16 - (word & 0xF), wordEnd - word);
      uint64_t firstWord[2] = {0, 0};
      for (int p = 0; p < 2; ++p) {
        half[p].clear();
        for (uint64_t w = word; w < word + n; ++w) {
          const uint64_t byteAddress = 2 * w + static_cast<uint64_t>(p);
          if (byteAddress < begin || byteAddress >= end) continue;
          if (half[p].empty()) firstWord[p] = w;
          half[p].push_back(data[byteAddress - begin]);
        }
      }
      HexFile* files[2] = {&low, &high};
      for (int p = 0; p < 2; ++p) {
        if (half[p].empty()) continue;
        doLinearAddressRecord(*files[p], static_cast<uint32_t>(firstWord[p]), fmtINHX8S, first);
        first = false;
      }
      for (int p = 0; p < 2; ++p) {
        if (half[p].empty()) continue;
        dataRecord(static_cast<uint32_t>(firstWord[p]), half[p].data(), half[p].size(), *files[p]);
      }
      word += n;
    }
  }
}

std::vector<String> Hex::fileNames(int format) const {
  if (format == fmtINHX8S) return {cFileBaseName + ".hxl", cFileBaseName + ".hxh"};
  return {cFileBaseName + ".hex"};
}

int Hex::write(int format) {
  if (format != fmtINHX8M && format != fmtINHX8S && format != fmtINHX32) return 0;
  sortRanges();
  // Out of the format's reach, nothing is written at all.
  if (!checkReach(format)) return 0;

  const std::vector<String> names = fileNames(format);
  const platform::Activity writing("writing hex file", names.front());
  std::vector<std::unique_ptr<HexFile>> files;
  for (const String& name : names) {
    files.push_back(std::make_unique<HexFile>(name));
    if (!files.back()->open()) {
      std::ostringstream s;
      s << "Could not open hex file '" << name << "' for writing.";
      reportStream(SevError, "Hex::write()", s, 0);
      return 0;
    }
  }

  if (format == fmtINHX8S)
    writeSplitRecords(*files[0], *files[1]);
  else
    writeByteRecords(*files[0], format);

  // Every file is written before any replaces its old one, and they are
  // put in place together, so a failure leaves all of them as they were.
  for (auto& f : files) {
    f->put(kEndRecord, std::strlen(kEndRecord));
    f->put(kRecordEnd, 2);
    if (!f->close()) {
      std::ostringstream s;
      s << "Could not write hex file '" << f->name() << "'.";
      reportStream(SevError, "Hex::write()", s, 0);
      return 0;
    }
  }
  const HexFile* failed = HexFile::commitAll(files);
  if (failed) {
    std::ostringstream s;
    s << (failed->inPlace() ? "Could not write hex file '" : "Could not replace hex file '")
      << failed->name() << "'.";
    reportStream(SevError, "Hex::write()", s, 0);
    return 0;
  }
  return 1;
}

void Hex::print(std::ostream& os) const {
  os << "Hex: cFileBaseName=" << cFileBaseName << ", cRanges:\n";
  for (const HexRange& r : cRanges) r.print(os);
}

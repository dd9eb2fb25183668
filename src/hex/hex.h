// The program-memory image of a linked executable and its Intel HEX writer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <ostream>
#include <vector>

#include "coff.h"
#include "diagnostics.h"
#include "platform.h"
#include "replacement.h"

// One "/r" range, both ends inclusive, in program-memory locations.
struct AddrRange {
  uint32_t cStart = 0;
  uint32_t cEnd = 0;

  AddrRange() = default;
  AddrRange(uint32_t start, uint32_t end) : cStart(start), cEnd(end) {}

  bool contains(uint32_t location) const { return cStart <= location && location <= cEnd; }
  void print(std::ostream& os) const;
};

using AddrRangeList = std::list<AddrRange>;

bool inAnyRange(uint32_t location, const AddrRangeList& ranges);

// The same locations as ranges, as ranges in ascending order of which no
// two overlap or touch (a location lies in the result exactly when
// inAnyRange holds for it).
std::vector<AddrRange> mergeRanges(const AddrRangeList& ranges);

// One contiguous run of program bytes at a byte address. On the word
// families a run always holds an even number of bytes; on byte-addressed
// program memory it holds exactly the bytes the executable gives.
struct HexRange {
  uint32_t cStart = 0;
  Data cData;

  HexRange() = default;
  HexRange(uint32_t start, const Data& data) : cStart(start), cData(data) {}

  void print(std::ostream& os) const;
};

// Format codes as "/a" selects them.
enum HexFormat { fmtINHX8M = 0, fmtINHX8S = 1, fmtINHX32 = 2 };

// An output file being written whole (see replacement::OutputFile):
// remembers the first failed write so that a full disk is reported rather
// than taken for success, and replaces the old file only once all of it was
// written.
class HexFile {
 public:
  explicit HexFile(const String& name) : cName(name), cFile(platform::hostPath(name)) {}
  HexFile(const HexFile&) = delete;
  HexFile& operator=(const HexFile&) = delete;

  bool open();
  // Records are gathered in the output buffer and written a buffer at a
  // time.
  void put(const char* text, size_t size) { cOut.put(std::string_view(text, size)); }
  char* room(size_t size) { return cOut.room(size); }
  void used(size_t size) { cOut.used(size); }
  // Flushes and closes; false when anything written was lost.
  bool close();
  // Puts the files (one, or the two of INHX8S) in place of the old ones
  // together; the one that failed, or null.
  static const HexFile* commitAll(const std::vector<std::unique_ptr<HexFile>>& files);
  const String& name() const { return cName; }
  bool inPlace() const { return cFile.inPlace(); }

 private:
  String cName;
  replacement::OutputFile cFile;  // its stream is null unless open
  replacement::OutputBuffer cOut{64 * 1024};
};

class Hex {
 public:
  String cFileBaseName;
  std::vector<HexRange> cRanges;

  void sortRanges();
  // Checks every run against the format's reach: INHX8M and INHX8S hold
  // 16-bit record addresses. Beyond it the error is fatal; 0 should the
  // exit return (only a replaced exit function does).
  int checkReach(int format) const;
  // Writes the extended linear address record INHX32 needs.
  void doLinearAddressRecord(HexFile& file, uint32_t address, int format, bool first);
  // The files write makes in that format, in the order it makes them.
  std::vector<String> fileNames(int format) const;
  // 1 on success; 0 when a file cannot be opened or written, or for an
  // unknown format.
  int write(int format);
  void print(std::ostream& os) const;

 private:
  void writeByteRecords(HexFile& file, int format);
  void writeSplitRecords(HexFile& low, HexFile& high);

  // Upper address bits of the last extended linear address record; one
  // value for the whole run.
  uint32_t cLinearAddress = 0;
};

class Coff2Hex : public Hex {
 public:
  // Collects the code and ROM-data bytes of coff, whole or only the
  // locations inside ranges. Returns this, or nullptr (after reporting why)
  // when ranges were given and selected nothing, or when the executable
  // cannot be converted.
  Coff2Hex* init(const Coff& coff, const AddrRangeList& ranges);
};

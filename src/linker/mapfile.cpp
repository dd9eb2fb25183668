#include "mapfile.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <vector>

#include "banner.h"
#include "debug.h"
#include "devtab.h"
#include "platform.h"
#include "replacement.h"
#include "textutil.h"

namespace {

// The map's text on its way out: composed into a buffer of about one
// block, which is handed to the sink whenever it fills, so a map of any
// size takes the same memory. A row longer than the buffer grows it.
class MapText {
 public:
  class Sink {
   public:
    virtual ~Sink() = default;
    virtual void take(const char* data, size_t size) = 0;
  };

  static constexpr size_t kBlockSize = 256 * 1024;

  explicit MapText(Sink& sink) : cSink(sink), cBuffer(new char[kBlockSize]) {}

  // Room for at least n bytes at the end of the text; commit says how much
  // of it was used.
  char* room(size_t n) {
    if (cSize - cUsed < n) {
      spill();
      if (cSize < n) {
        cBuffer.reset(new char[n]);
        cSize = n;
      }
    }
    return cBuffer.get() + cUsed;
  }
  void commit(const char* end) { cUsed = static_cast<size_t>(end - cBuffer.get()); }

  void append(const char* data, size_t size) {
    std::memcpy(room(size), data, size);
    cUsed += size;
  }
  MapText& operator+=(const char* text) {
    append(text, std::strlen(text));
    return *this;
  }

  // Hands over what is left; the text is complete.
  void finish() { spill(); }

 private:
  void spill() {
    if (cUsed > 0) cSink.take(cBuffer.get(), cUsed);
    cUsed = 0;
  }

  Sink& cSink;
  std::unique_ptr<char[]> cBuffer;  // left uninitialised: every byte handed on is written first
  size_t cSize = kBlockSize;
  size_t cUsed = 0;
};

class StringSink : public MapText::Sink {
 public:
  void take(const char* data, size_t size) override { cText.append(data, size); }
  String cText;
};

// The map file, written whole (see replacement::OutputFile): a failed
// write leaves the old map as it was. It is opened when the first block
// arrives unless it already is. After a failed open or write the rest is
// discarded; finish reports the failure once.
class FileSink : public MapText::Sink {
 public:
  FileSink(replacement::OutputFile& file, const String& name, const char* context)
      : cName(name), cContext(context), cFile(file) {}

  void take(const char* data, size_t size) override {
    if (cFailure != kNone) return;
    if (!cFile.file() && !cFile.open()) {
      cFailure = kOpen;
      return;
    }
    if (std::fwrite(data, 1, size, cFile.file()) != size) cFailure = kWrite;
  }

  // 1 when the whole text was written (and, with commit, put in place); 0
  // after reporting a failed open, write, flush, close or replacement.
  int finish(bool commit) {
    if (cFailure == kNone && !cFile.file()) take("", 0);  // an empty text still makes the file
    if (cFailure == kNone) {
      if (!cFile.close())
        cFailure = kWrite;
      else if (commit && !cFile.commit())
        cFailure = cFile.inPlace() ? kWrite : kReplace;
    }
    if (cFailure == kOpen) {
      reportMessage(SevError, cContext, "Could not open map file '" + cName + "' for writing.", 0);
      return 0;
    }
    if (cFailure == kWrite) {
      reportMessage(SevError, cContext, "Could not write map file '" + cName + "'.", 0);
      return 0;
    }
    if (cFailure == kReplace) {
      reportMessage(SevError, cContext, "Could not replace map file '" + cName + "'.", 0);
      return 0;
    }
    return 1;
  }

 private:
  enum Failure { kNone, kOpen, kWrite, kReplace };

  String cName;
  const char* cContext;
  replacement::OutputFile& cFile;
  Failure cFailure = kNone;
};

// printf into the end of out; a field wider than its width is written whole.
void appendf(MapText& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(MapText& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length > 0) {
    const size_t size = static_cast<size_t>(length);
    char* p = out.room(size + 1);
    std::vsnprintf(p, size + 1, format, again);
    out.commit(p + size);
  }
  va_end(again);
}

String hex3(uint64_t value) { return hexString(static_cast<uint32_t>(value), 3); }

// Types 2 and 3 live in data memory; code, ROM data and sections of no
// known type in program memory.
char locationOfType(int type) { return (type == scnIData || type == scnUData) ? 1 : 0; }

// Bytes per program location. The output's processor is always one of the
// table's; should it not be, the width the optional header carries serves.
uint32_t bytesPerProgramWord(const Coff& output) {
  uint32_t bits = output.cOptHdr.rom_width_bits;
  const uint32_t code = output.cOptHdr.proc_type;
  if (code <= 0xFFFFu && procIsKnownCoffType(static_cast<uint16_t>(code)))
    bits = procRomWidthBits(procIdFromCoffType(static_cast<uint16_t>(code)));
  const uint32_t bpw = (bits + 7) / 8;
  return bpw == 0 ? 1 : bpw;
}

const scnhdr* headerOfNumber(const Coff& output, int number) {
  auto name = output.cScnNum.find(number);
  if (name == output.cScnNum.end()) return nullptr;
  auto header = output.cScnHdr.find(name->second);
  return header == output.cScnHdr.end() ? nullptr : &header->second;
}

const char* kDash = "---------";

void sectionRow(MapText& out, const String& a, const String& b, const String& c, const String& d,
                const String& e) {
  appendf(out, "%25s %10s %10s %10s %10s\n", a.c_str(), b.c_str(), c.c_str(), d.c_str(),
          e.c_str());
}

void usageRow(MapText& out, const String& start, const String& end) {
  appendf(out, "                          %10s  %10s      \n", start.c_str(), end.c_str());
}

void symbolRow(MapText& out, const String& a, const String& b, const String& c, const String& d,
               const String& e) {
  appendf(out, "%25s %10s %10s %10s %-25s\n", a.c_str(), b.c_str(), c.c_str(), d.c_str(),
          e.c_str());
}

// A symbol row by reference: its name by id (see compose) and its source
// file by position in the list of files named, kNoFile for none.
constexpr uint32_t kNoFile = UINT32_MAX;

struct SymbolRow {
  uint32_t name;
  uint32_t file;
  uint32_t address;
  uint32_t nameLength;  // up to the first NUL, as %s would print it
  char location;        // 0 or 1
  char storageClass;    // 0 or 1
  char kind;
};

// The names of the listed symbols by id, and the source files by position.
struct RowTexts {
  std::vector<const String*> names;
  std::vector<uint32_t> nameLengths;  // up to the first NUL, by id
  std::deque<String> spelt;           // names spelt out of their records
  std::vector<String> files;
  std::vector<size_t> fileLengths;  // up to the first NUL
};

size_t fieldLength(const String& text) { return std::strlen(text.c_str()); }

// The names that open and close a source file's symbols.
enum FileMark : char { kNotAMark, kFileMark, kEofMark };

FileMark fileMarkOf(const String& name) {
  if (name.size() == 5 && std::memcmp(name.data(), ".file", 5) == 0) return kFileMark;
  if (name.size() == 4 && std::memcmp(name.data(), ".eof", 4) == 0) return kEofMark;
  return kNotAMark;
}

// A map lists every symbol twice, so its rows are formatted by hand rather
// than through printf: the same text as "%25s %10s %10s %10s %-25s\n" with
// the address as hex3 gives it (a text is cut at a NUL, as %s would cut it).
size_t rowLength(const SymbolRow& r, const RowTexts& texts) {
  const size_t fileLength = r.file == kNoFile ? 0 : texts.fileLengths[r.file];
  return std::max<size_t>(r.nameLength, 25) + 35 + std::max<size_t>(fileLength, 25);
}

// The location and storage fields with the blanks around them, by code.
struct RowMiddles {
  char text[2][2][24];
  RowMiddles() {
    for (int location = 0; location < 2; ++location)
      for (int storage = 0; storage < 2; ++storage)
        std::snprintf(text[location][storage], sizeof text[location][storage], " %10s %10s ",
                      MapFile::locationText(location).c_str(),
                      MapFile::storageText(storage).c_str());
  }
};

char* putSymbolRow(char* p, const SymbolRow& r, const RowTexts& texts, const RowMiddles& middles) {
  static const char digits[] =
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
      "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f"
      "404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f"
      "606162636465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f"
      "808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"
      "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf"
      "c0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedf"
      "e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";
  const char* name = texts.names[r.name]->data();
  if (r.nameLength < 25) {
    std::memset(p, ' ', 25);
    std::memcpy(p + 25 - r.nameLength, name, r.nameLength);
    p += 25;
  } else {
    std::memcpy(p, name, r.nameLength);
    p += r.nameLength;
  }
  std::memcpy(p, "   0x", 5);  // the separator, then %10s of the 8-character hex3
  std::memcpy(p + 5, digits + 2 * ((r.address >> 16) & 0xFFu), 2);
  std::memcpy(p + 7, digits + 2 * ((r.address >> 8) & 0xFFu), 2);
  std::memcpy(p + 9, digits + 2 * (r.address & 0xFFu), 2);
  std::memcpy(p + 11, middles.text[int(r.location)][int(r.storageClass)], 23);
  p += 34;
  std::memset(p, ' ', 25);
  if (r.file != kNoFile) {
    const size_t fileLength = texts.fileLengths[r.file];
    std::memcpy(p, texts.files[r.file].data(), fileLength);
    p += std::max<size_t>(fileLength, 25);
  } else {
    p += 25;
  }
  *p++ = '\n';
  return p;
}

void symbolTableHead(MapText& out, const char* title) {
  appendf(out, "\n%30s%s\n", "", title);
  symbolRow(out, "Name", "Address", "Location", "Storage", "File");
  symbolRow(out, kDash, kDash, kDash, kDash, kDash);
}

// A table of the rows of both lists in order. Each row is formatted
// straight into the text, with room for the longest row.
void symbolTable(MapText& out, const char* title, const std::vector<SymbolRow>& rows,
                 const RowTexts& texts, const std::vector<uint32_t>& prog,
                 const std::vector<uint32_t>& data, size_t longestRow) {
  static const RowMiddles middles;
  symbolTableHead(out, title);
  for (const std::vector<uint32_t>* list : {&prog, &data})
    for (uint32_t i : *list)
      out.commit(putSymbolRow(out.room(longestRow), rows[i], texts, middles));
  out += "\n\n";
}

// String-table offsets to positions in the table: the offsets in
// ascending order, and a directory of where each run of offsets sharing
// their high bits begins, sized to hold a few offsets a run. A search reads
// the directory and one short run, both small enough to stay in the cache.
class OffsetIndex {
 public:
  static constexpr uint32_t kMissing = UINT32_MAX;

  // Offsets are added in ascending order; then the directory is built.
  void reserve(size_t n) { cOffsets.reserve(n); }
  void add(uint32_t offset) { cOffsets.push_back(offset); }
  void build() {
    const size_t n = cOffsets.size();
    const uint64_t last = n == 0 ? 0 : cOffsets.back();
    while ((last >> cShift) >= std::max<uint64_t>(n / 4, 1)) ++cShift;
    cRunStart.resize(static_cast<size_t>(last >> cShift) + 2);
    size_t k = 0;
    for (size_t run = 0; run < cRunStart.size(); ++run) {
      while (k < n && (uint64_t(cOffsets[k]) >> cShift) < run) ++k;
      cRunStart[run] = static_cast<uint32_t>(k);
    }
  }

  uint32_t find(uint32_t offset) const {
    const uint64_t run = uint64_t(offset) >> cShift;  // cShift may reach 32
    if (run + 1 >= cRunStart.size()) return kMissing;
    const uint32_t* const begin = cOffsets.data() + cRunStart[size_t(run)];
    const uint32_t* const end = cOffsets.data() + cRunStart[size_t(run) + 1];
    const uint32_t* const at = std::lower_bound(begin, end, offset);
    return at != end && *at == offset ? static_cast<uint32_t>(at - cOffsets.data()) : kMissing;
  }

 private:
  std::vector<uint32_t> cOffsets;
  std::vector<uint32_t> cRunStart;  // by offset >> cShift, and one past the last run
  unsigned cShift = 0;
};

// Ranks of the names by id in the order ids lists them, equal names sharing
// a rank; false when ids are not in name order.
bool rankInOrder(const std::vector<uint32_t>& ids, const RowTexts& texts,
                 std::vector<uint32_t>& rank, uint32_t& ranks) {
  uint32_t r = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) {
      const int order = texts.names[ids[i - 1]]->compare(*texts.names[ids[i]]);
      if (order > 0) return false;
      if (order < 0) ++r;
    }
    rank[ids[i]] = r;
  }
  ranks = ids.empty() ? 0 : r + 1;
  return true;
}

// Stable sorts of row positions, the rows themselves never moving: by name
// through the names' ranks, by address in passes of eleven bits.
void sortByRank(std::vector<uint32_t>& order, const std::vector<SymbolRow>& rows,
                const std::vector<uint32_t>& rank, uint32_t ranks) {
  std::vector<uint32_t> start(size_t(ranks) + 1, 0);
  for (uint32_t i : order) ++start[rank[rows[i].name] + 1];
  for (size_t r = 1; r < start.size(); ++r) start[r] += start[r - 1];
  std::vector<uint32_t> sorted(order.size());
  for (uint32_t i : order) sorted[start[rank[rows[i].name]]++] = i;
  order.swap(sorted);
}

void sortByAddress(std::vector<uint32_t>& order, const std::vector<SymbolRow>& rows) {
  if (order.size() < 2) return;
  // Only the bits in which some addresses differ need passes.
  const uint32_t first = rows[order[0]].address;
  uint32_t differ = 0;
  for (uint32_t i : order) differ |= rows[i].address ^ first;
  constexpr unsigned kDigitBits = 11;
  constexpr uint32_t kBuckets = 1u << kDigitBits;
  std::vector<uint32_t> count(kBuckets);
  std::vector<uint32_t> sorted(order.size());
  for (unsigned shift = 0; shift < 32 && (differ >> shift) != 0; shift += kDigitBits) {
    if (((differ >> shift) & (kBuckets - 1)) == 0) continue;
    std::fill(count.begin(), count.end(), 0);
    for (uint32_t i : order) ++count[(rows[i].address >> shift) & (kBuckets - 1)];
    uint32_t next = 0;
    for (uint32_t& c : count) {
      const uint32_t n = c;
      c = next;
      next += n;
    }
    for (uint32_t i : order) sorted[count[(rows[i].address >> shift) & (kBuckets - 1)]++] = i;
    order.swap(sorted);
  }
}

void traceSymbols(const std::vector<SymbolRow>& rows, const RowTexts& texts,
                  const std::vector<uint32_t>& prog, const std::vector<uint32_t>& data) {
  static const DebugSwitch trace("MapFile::write");
  if (!trace.isOn()) return;
  static const String noFile;
  for (const std::vector<uint32_t>* list : {&prog, &data})
    for (uint32_t i : *list) {
      const SymbolRow& r = rows[i];
      SymbolInfo(*texts.names[r.name], r.address, r.location, r.storageClass, r.kind,
                 r.file == kNoFile ? noFile : texts.files[r.file])
          .print(std::cout);
    }
}

template <class Row>
void traceRows(const std::vector<Row>& prog, const std::vector<Row>& data) {
  static const DebugSwitch trace("MapFile::write");
  if (!trace.isOn()) return;
  for (const Row& r : prog) r.print(std::cout);
  for (const Row& r : data) r.print(std::cout);
}

}  // namespace

void SectionInfo::print(std::ostream& os) const {
  os << "SectionInfo: cName=" << cName << ", cAddress=" << hexString(cAddress, 4)
     << ", cSize=" << hexString(cSize, 4) << ", cLocation="
     << (cLocation == 0 ? "progMem" : cLocation == 1 ? "dataMem" : "error!")
     << ", cType=" << static_cast<int>(cType) << ", cAbs=" << (cAbs ? "absolute" : "relocated")
     << ", cShared=" << (cShared ? "shared" : "not shared")
     << ", cAccess=" << (cAccess ? "access" : "not access") << '\n';
}

void SymbolInfo::print(std::ostream& os) const {
  os << "SymbolInfo: cName=" << cName << ", cAddress=" << hexString(cAddress, 4)
     << ", cLocation=" << (cLocation == 0 ? "progMem" : cLocation == 1 ? "dataMem" : "error!")
     << ", cStorageClass="
     << (cStorageClass == 0 ? "ext" : cStorageClass == 1 ? "stat" : "error!")
     << ", cKind=" << (cKind == 0 ? "function" : cKind == 1 ? "variable" : "error!")
     << ", cFile=" << cFile << '\n';
}

String MapFile::typeText(int type) {
  switch (type) {
    case scnNone: return "unknown";
    case scnCode: return "code";
    case scnIData: return "idata";
    case scnUData: return "udata";
    case scnRomData: return "romdata";
    default: return String();
  }
}

String MapFile::locationText(int location) {
  return location == 0 ? "program" : location == 1 ? "data" : String();
}

String MapFile::storageText(int storageClass) {
  return storageClass == 0 ? "extern" : storageClass == 1 ? "static" : String();
}

String MapFile::kindText(int kind) {
  return kind == 0 ? "function" : kind == 1 ? "variable" : String();
}

namespace {

// The map of output into out. All that may be reported while the symbols
// are listed is reported before the first line of text is made, so that
// nothing reaches the file before the report.
void composeMap(MapText& out, const Coff& output, uint64_t programSize, const String& created) {
  const uint32_t bpw = bytesPerProgramWord(output);

  // Sections.
  std::vector<SectionInfo> progScns, dataScns;
  for (const auto& entry : output.cScnNum) {
    auto header = output.cScnHdr.find(entry.second);
    if (header == output.cScnHdr.end()) continue;
    const scnhdr& h = header->second;
    const int type = getScnType(h);
    SectionInfo row(entry.second, h.s_paddr, h.s_size, locationOfType(type),
                    static_cast<char>(type), isAbsScn(h) ? 1 : 0, isShareScn(h) ? 1 : 0,
                    isAccessScn(h) ? 1 : 0);
    (row.cLocation == 0 ? progScns : dataScns).push_back(row);
  }
  std::stable_sort(progScns.begin(), progScns.end(), SectionInfo::compareAddress);
  std::stable_sort(dataScns.begin(), dataScns.end(), SectionInfo::compareAddress);
  traceRows(progScns, dataScns);

  // Symbols, each with the innermost source file open at its place.
  // Section locations by section number, found once.
  std::vector<char> locationOfNumber;
  for (const auto& entry : output.cScnNum) {
    if (entry.first < 1 || entry.first > INT16_MAX) continue;
    const scnhdr* h = headerOfNumber(output, entry.first);
    if (!h) continue;
    if (locationOfNumber.size() <= size_t(entry.first))
      locationOfNumber.resize(size_t(entry.first) + 1, 0);
    locationOfNumber[size_t(entry.first)] = locationOfType(getScnType(*h));
  }

  // Names by id: the string table's strings first, in offset order, so a
  // long name is its position in the table; a name spelt out of its record
  // gets an id of its own after them. What the walk needs of a table name
  // (whether it opens or closes a file, its printed length) is taken in one
  // pass over the table rather than from the string at every symbol.
  RowTexts texts;
  const uint32_t tableSize = static_cast<uint32_t>(output.cStringTbl.size());
  OffsetIndex index;
  index.reserve(tableSize);
  std::vector<char> tableMarks(tableSize);
  texts.names.resize(tableSize);
  texts.nameLengths.resize(tableSize);
  uint32_t tableId = 0;
  for (const auto& entry : output.cStringTbl) {
    index.add(entry.first);
    tableMarks[tableId] = fileMarkOf(entry.second);
    texts.names[tableId] = &entry.second;
    texts.nameLengths[tableId] = static_cast<uint32_t>(fieldLength(entry.second));
    ++tableId;
  }
  index.build();
  std::vector<char> tableNameListed(tableSize, 0);

  std::vector<SymbolRow> rows;
  std::vector<uint32_t> openFiles;  // positions in texts.files, innermost last
  size_t longestRow = 0;
  String scratch;
  const size_t records = output.cSymbolTbl.size();
  for (size_t i = 0; i < records; ++i) {
    if (output.isAuxEntry(i)) continue;
    const syment sym = syment::decode(output.cSymbolTbl[i]);
    uint32_t id = hasLongName(sym) ? index.find(sym.n_offset()) : OffsetIndex::kMissing;
    const String* name = nullptr;
    char mark;
    if (id != OffsetIndex::kMissing) {
      mark = tableMarks[id];
    } else {
      // A name the table lacks goes the usual way, to its report.
      name = &output.nameRef(sym, scratch);
      mark = fileMarkOf(*name);
    }
    if (mark == kFileMark) {
      String source;
      if (i + 1 < records && i + 1 < output.cAuxKind.size() &&
          output.cAuxKind[i + 1] == auxFile)
        source = output.getName(aux_file::decode(output.cSymbolTbl[i + 1]));
      texts.fileLengths.push_back(fieldLength(source));
      texts.files.push_back(std::move(source));
      openFiles.push_back(static_cast<uint32_t>(texts.files.size() - 1));
    } else if (mark == kEofMark) {
      if (!openFiles.empty()) openFiles.pop_back();
    }
    if (sym.n_scnum >= 1 && (sym.n_sclass == kClassExternal || sym.n_sclass == kClassStatic ||
                             sym.n_sclass == kClassLabel)) {
      if (id == OffsetIndex::kMissing) {
        if (name == &scratch) {
          texts.spelt.push_back(std::move(scratch));
          name = &texts.spelt.back();
        }
        id = static_cast<uint32_t>(texts.names.size());
        texts.names.push_back(name);
        texts.nameLengths.push_back(static_cast<uint32_t>(fieldLength(*name)));
      } else {
        tableNameListed[id] = 1;
      }
      const char location =
          size_t(sym.n_scnum) < locationOfNumber.size() ? locationOfNumber[size_t(sym.n_scnum)] : 0;
      rows.push_back({id, openFiles.empty() ? kNoFile : openFiles.back(), sym.n_value,
                      texts.nameLengths[id], location,
                      static_cast<char>(sym.n_sclass == kClassExternal ? 0 : 1),
                      static_cast<char>(isFunction(sym) ? 0 : 1)});
      longestRow = std::max(longestRow, rowLength(rows.back(), texts));
    }
  }

  // The rows of each memory in table order.
  size_t progCount = 0;
  for (const SymbolRow& r : rows) progCount += r.location == 0;
  std::vector<uint32_t> progSyms(progCount), dataSyms(rows.size() - progCount);
  size_t progAt = 0, dataAt = 0;
  for (uint32_t i = 0; i < rows.size(); ++i)
    (rows[i].location == 0 ? progSyms[progAt++] : dataSyms[dataAt++]) = i;

  // The listed names in name order. The table's own strings are usually in
  // order already (the linker writes its merged table sorted), which one
  // pass confirms; names spelt out of records are sorted and merged in.
  std::vector<uint32_t> ids(tableSize);
  size_t listed = 0;
  for (uint32_t k = 0; k < tableSize; ++k)
    if (tableNameListed[k]) ids[listed++] = k;
  ids.resize(listed);
  auto nameLess = [&texts](uint32_t a, uint32_t b) { return *texts.names[a] < *texts.names[b]; };
  if (texts.names.size() > tableSize) {
    std::vector<uint32_t> spelt;
    for (uint32_t k = tableSize; k < texts.names.size(); ++k) spelt.push_back(k);
    std::sort(spelt.begin(), spelt.end(), nameLess);
    std::vector<uint32_t> merged(ids.size() + spelt.size());
    std::merge(ids.begin(), ids.end(), spelt.begin(), spelt.end(), merged.begin(), nameLess);
    ids.swap(merged);
  }
  std::vector<uint32_t> rank(texts.names.size(), 0);
  uint32_t ranks = 0;
  if (!rankInOrder(ids, texts, rank, ranks)) {
    std::sort(ids.begin(), ids.end(), nameLess);
    rankInOrder(ids, texts, rank, ranks);
  }

  sortByRank(progSyms, rows, rank, ranks);
  sortByRank(dataSyms, rows, rank, ranks);
  traceSymbols(rows, texts, progSyms, dataSyms);

  // The text, from the top.
  appendf(out, "%s", linkerBanner());
  appendf(out, "\nLinker Map File - Created %s", created.c_str());

  appendf(out, "\n%33s%s\n", "", "Section Info");
  sectionRow(out, "Section", "Type", "Address", "Location", "Size(Bytes)");
  sectionRow(out, kDash, kDash, kDash, kDash, kDash);
  for (const std::vector<SectionInfo>* list : {&progScns, &dataScns})
    for (const SectionInfo& s : *list)
      sectionRow(out, s.cName, MapFile::typeText(s.cType), hex3(s.cAddress),
                 MapFile::locationText(s.cLocation), hex3(s.cSize));
  out += "\n\n";

  // Program memory usage: contiguous runs of nonempty program sections.
  appendf(out, "\n%30s%s\n", "", "Program Memory Usage ");
  usageRow(out, "Start", "End");
  usageRow(out, kDash, kDash);
  uint64_t used = 0;
  bool open = false;
  uint64_t start = 0, end = 0;
  for (const SectionInfo& s : progScns) {
    const uint64_t words = s.cSize / bpw + (s.cSize % bpw ? 1 : 0);
    used += words;
    if (words == 0) continue;
    if (!open) {
      open = true;
      start = s.cAddress;
      end = s.cAddress + words - 1;
    } else if (end + 1 == s.cAddress) {
      end += words;
    } else {
      usageRow(out, hex3(start), hex3(end));
      start = s.cAddress;
      end = s.cAddress + words - 1;
    }
  }
  if (open) usageRow(out, hex3(start), hex3(end));
  const uint64_t utilization =
      (programSize == 0 || used >= programSize) ? 100 : used * 100 / programSize;
  appendf(out,
          "            %" PRIu64 " out of %" PRIu64
          " program addresses used, program memory utilization is %" PRIu64 "%%\n",
          used, programSize, utilization);
  out += "\n\n";

  symbolTable(out, "Symbols - Sorted by Name", rows, texts, progSyms, dataSyms, longestRow);

  sortByAddress(progSyms, rows);
  sortByAddress(dataSyms, rows);
  traceSymbols(rows, texts, progSyms, dataSyms);
  symbolTable(out, "Symbols - Sorted by Address", rows, texts, progSyms, dataSyms, longestRow);
  out.finish();
}

}  // namespace

String MapFile::compose(const Coff& output, uint64_t programSize, const String& created) {
  StringSink text;
  MapText out(text);
  composeMap(out, output, programSize, created);
  return std::move(text.cText);
}

int MapFile::open(replacement::OutputFile& file, const String& name, const char* context) {
  if (file.open()) return 1;
  reportMessage(SevError, context, "Could not open map file '" + name + "' for writing.", 0);
  return 0;
}

int MapFile::write(replacement::OutputFile& file, const String& name, const Coff& output,
                   uint64_t programSize) {
  const platform::Activity writing("writing map file", name);
  FileSink sink(file, name, "MapFile::write()");
  MapText out(sink);
  composeMap(out, output, programSize, platform::ctimeText(platform::now()));
  return sink.finish(false);
}

int MapFile::write(const String& name, const Coff& output, uint64_t programSize) {
  const platform::Activity writing("writing map file", name);
  replacement::OutputFile file(platform::hostPath(name));
  FileSink sink(file, name, "MapFile::write()");
  MapText out(sink);
  composeMap(out, output, programSize, platform::ctimeText(platform::now()));
  return sink.finish(true);
}

void MapFile::reportCommitFailure(const replacement::OutputFile& file, const String& name,
                                  const char* context) {
  reportMessage(SevError, context,
                (file.inPlace() ? "Could not write map file '" : "Could not replace map file '") +
                    name + "'.",
                0);
}

int MapFile::writeText(const String& name, const String& text, const char* context) {
  const platform::Activity writing("writing map file", name);
  replacement::OutputFile file(platform::hostPath(name));
  FileSink sink(file, name, context);
  sink.take(text.data(), text.size());
  return sink.finish(true);
}

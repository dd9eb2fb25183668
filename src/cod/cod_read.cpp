// Cod::make: reads a COD file back into a Cod. Every block number taken
// from the file is checked against the file's size before it is read.
#include <algorithm>
#include <cstring>
#include <functional>
#include <sstream>
#include <vector>

#include "cod.h"
#include "platform.h"
#include "textutil.h"

using codbytes::getU16;
using codbytes::getU32;

namespace {

const char* const kContext = "Cod::make()";

// The file as a sequence of 512-byte blocks. Each block may be read for one
// purpose only: tables that share blocks are malformed, and refusing them
// keeps the work and memory of a read bounded by the file's size.
class BlockReader {
 public:
  explicit BlockReader(FILE* file) : cFile(file) {
    if (std::fseek(cFile, 0, SEEK_END) == 0) {
      long size = std::ftell(cFile);
      if (size > 0) cBlocks = static_cast<size_t>(size) / kCodBlockSize;
    }
    // Numbers past 16 bits cannot be addressed, so the rest is never needed.
    cBlocks = std::min(cBlocks, kCodMaxBlocks);
    cClaimed.assign(cBlocks, false);
  }
  ~BlockReader() { std::fclose(cFile); }
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  // False when block n lies (even partly) past the end, was read before or
  // cannot be read.
  bool read(size_t n, uint8_t* out) {
    if (n >= cBlocks || cClaimed[n]) return false;
    cClaimed[n] = true;
    if (std::fseek(cFile, static_cast<long>(n * kCodBlockSize), SEEK_SET) != 0) return false;
    return std::fread(out, 1, kCodBlockSize, cFile) == kCodBlockSize;
  }

  // Reads blocks first..last and hands each to take; none when first is 0.
  bool readRange(uint16_t first, uint16_t last,
                 const std::function<bool(const uint8_t*)>& take) {
    if (first == 0) return true;
    if (last < first || last >= cBlocks) return false;
    uint8_t block[kCodBlockSize];
    for (size_t n = first; n <= last; ++n)
      if (!read(n, block) || !take(block)) return false;
    return true;
  }

 private:
  FILE* cFile;
  size_t cBlocks = 0;
  std::vector<bool> cClaimed;
};

// Fixed-size records are read at every slot; empty ones are skipped.
template <class Table>
std::function<bool(const uint8_t*)> recordTaker(Table& table) {
  using Record = typename Table::value_type;
  return [&table](const uint8_t* block) {
    for (size_t slot = 0; slot < Record::kPerBlock; ++slot) {
      Record r = Record::decode(block + slot * Record::kSize);
      if (!r.isEmpty()) table.push_back(r);
    }
    return true;
  };
}

// Long symbols run to a zero length byte or the end of the block.
bool takeLongSymbols(const uint8_t* block, std::list<LongSymbol>& table) {
  size_t offset = 0;
  while (offset < kCodBlockSize && block[offset] != 0) {
    size_t len = block[offset];
    if (offset + len + 7 > kCodBlockSize) return false;
    const uint8_t* p = block + offset;
    LongSymbol s;
    s.NameLen = static_cast<uint8_t>(len);
    s.Name.assign(reinterpret_cast<const char*>(p + 1), len);
    s.Type = static_cast<int16_t>(getU16(p + 1 + len));
    s.Value = byteSwap32(getU32(p + 3 + len));
    table.push_back(s);
    offset += len + 7;
  }
  return true;
}

// Debug messages run to a zero message length or the end of the block.
bool takeDebugMsgs(const uint8_t* block, std::list<DebugMsg>& table) {
  size_t offset = 0;
  while (offset + 6 <= kCodBlockSize && block[offset + 5] != 0) {
    const uint8_t* p = block + offset;
    size_t len = p[5];
    if (offset + len + 6 > kCodBlockSize) return false;
    DebugMsg m;
    m.Address = byteSwap32(getU32(p));
    m.Type = static_cast<char>(p[4]);
    m.MsgLen = static_cast<uint8_t>(len);
    m.Msg.assign(reinterpret_cast<const char*>(p + 6), len);
    table.push_back(m);
    offset += len + 6;
  }
  return true;
}

// Local-group entries run to an empty name; a marker opens a new group and
// a group may go on in the next block. A symbol before any marker belongs
// to no group, so the table is malformed.
bool takeLocalGroups(const uint8_t* block, std::list<LocalGroup>& table) {
  for (size_t offset = 0; offset + Symbol::kSize <= kCodBlockSize; offset += Symbol::kSize) {
    const uint8_t* e = block + offset;
    if (e[0] == 0) break;
    if (LocalGroup::isMarker(e)) {
      table.emplace_back(getU32(e + 8), getU32(e + 12));
    } else {
      if (table.empty()) return false;
      table.back().SymbolList.push_back(Symbol::decode(e));
    }
  }
  return true;
}

bool fail(const String& name, const char* what) {
  std::ostringstream s;
  s << "Cod file '" << name << "' " << what;
  reportStream(SevError, kContext, s, 0);
  return false;
}

}  // namespace

std::unique_ptr<Cod> Cod::make(const String& fileName) {
  FILE* file = std::fopen(platform::hostPath(fileName).c_str(), "rb");
  if (!file) {
    std::ostringstream s;
    s << "Could not open Cod file '" << fileName << "' for reading.";
    reportStream(SevError, kContext, s, 0);
    return nullptr;
  }
  BlockReader reader(file);
  auto cod = std::make_unique<Cod>();
  uint8_t block[kCodBlockSize];

  if (!reader.read(0, block)) {
    fail(fileName, "does not have a properly formed first directory.");
    return nullptr;
  }
  cod->addDirectory();
  cod->cDirectory[0] = Directory::decode(block);
  // A NextDir chain back to a block already read would never end; the
  // reader refuses any block a second time, which ends it here.
  for (uint16_t next = cod->cDirectory[0].NextDir; next != 0;
       next = cod->cDirectory.back().NextDir) {
    if (!reader.read(next, block)) {
      fail(fileName, "does not have a properly formed linked directory.");
      return nullptr;
    }
    cod->addDirectory();
    cod->cDirectory.back() = Directory::decode(block);
  }

  const Directory& first = cod->cDirectory[0];
  if (!reader.readRange(first.SymTab, first.SymEnd, recordTaker(cod->cSymbolList))) {
    fail(fileName, "does not have a proper symbol table.");
    return nullptr;
  }
  if (!reader.readRange(first.NamTab, first.NamEnd, recordTaker(cod->cSourceNameList))) {
    fail(fileName, "does not have a proper name table.");
    return nullptr;
  }
  for (size_t i = 0; i < cod->cDirectory.size(); ++i) {
    const Directory& d = cod->cDirectory[i];
    if (!reader.readRange(d.LineTab, d.LineEnd, recordTaker(cod->cLineInfoTable[i]))) {
      fail(fileName, "does not have a proper line info table.");
      return nullptr;
    }
    if (!reader.readRange(d.MemMapOfs, d.MemMapEnd, recordTaker(cod->cMemoryMapList[i]))) {
      fail(fileName, "does not have a proper memory map table.");
      return nullptr;
    }
  }
  std::list<LongSymbol>& longs = cod->cLongSymbolList;
  if (!reader.readRange(first.LSymTab, first.LSymEnd,
                        [&longs](const uint8_t* b) { return takeLongSymbols(b, longs); })) {
    fail(fileName, "does not have a proper long symbol table.");
    return nullptr;
  }
  std::list<LocalGroup>& groups = cod->cLocalGroupList;
  if (!reader.readRange(first.LocalVars, first.LocalEnd,
                        [&groups](const uint8_t* b) { return takeLocalGroups(b, groups); })) {
    fail(fileName, "does not have a proper local vars table.");
    return nullptr;
  }
  std::list<DebugMsg>& messages = cod->cDebugMsgList;
  if (!reader.readRange(first.MessTab, first.MessEnd,
                        [&messages](const uint8_t* b) { return takeDebugMsgs(b, messages); })) {
    fail(fileName, "does not have a proper debug message table.");
    return nullptr;
  }
  for (size_t i = 0; i < cod->cDirectory.size(); ++i) {
    for (unsigned j = 0; j < kCodIndexCount; ++j) {
      uint16_t n = cod->cDirectory[i].Index[j];
      if (n == 0) continue;
      Block& code = cod->cRawDataMap[i][j];
      if (!reader.read(n, code.Data)) {
        fail(fileName, "does not have a proper Index.");
        return nullptr;
      }
    }
  }
  return cod;
}

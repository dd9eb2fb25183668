// The COD debug file: its records, the in-memory model `Cod`, the 512-byte
// block writer, the reader `Cod::make` and the dumps.
//
// Filling a Cod (what a converter does, in any order):
//   - addDirectory() once per 64 KB window of program-memory byte addresses
//     (window w is directory w; it keeps cDirectory, cLineInfoTable,
//     cMemoryMapList and cRawDataMap in step);
//   - setOutputName(name) for the file to create: the full name is kept for
//     the file itself, directory 0's 63-character Source field gets its
//     first 63 characters;
//   - directory 0's setVersion / setNotice / setProcessor;
//   - codeBlock(window, index) for the 512-byte code block that holds window
//     bytes index*512 .. index*512+511 (created all zero, then written into);
//   - cMemoryMapList[window].push_back(MemoryMap(start, last));
//   - cLineInfoTable[window].push_back(LineInfo(file, flags, line, address));
//   - appendSourceName(name), which returns the file number of the name;
//   - appendSymbol / appendLongSymbol for every symbol.
// Then preWrite() numbers the blocks and stamps date and time, and write()
// creates the file. Every text and name is cut to what its field can hold.
#pragma once

#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <ostream>
#include <vector>

#include "diagnostics.h"
#include "replacement.h"

// Little-endian field access at any offset (directory fields lie on odd
// offsets, so nothing here assumes alignment).
namespace codbytes {
inline void putU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void putU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t getU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
}  // namespace codbytes

// Size of every block of a COD file; block n lies at byte n * 512.
constexpr size_t kCodBlockSize = 512;
// Block numbers are 16 bits wide, so a file holds at most this many blocks.
constexpr size_t kCodMaxBlocks = 65536;
// Code blocks per directory: 128 x 512 bytes make one 64 KB window.
constexpr size_t kCodIndexCount = 128;

// The only symbol type codes this tool chain writes.
enum CodSymbolType : uint8_t { codTypeAddress = 46, codTypeConstant = 47 };

// Name of a symbol type code (0-151), or nullptr outside the table.
const char* codSymbolTypeName(int code);

// One directory block. The field names are those the dump prints.
struct Directory {
  static constexpr size_t kSourceSize = 63;
  static constexpr size_t kDateSize = 7;
  static constexpr size_t kVersionSize = 19;
  static constexpr size_t kCompilerSize = 11;
  static constexpr size_t kNoticeSize = 63;
  static constexpr size_t kProcessorSize = 8;
  static constexpr size_t kSpareSize = 42;

  uint16_t Index[kCodIndexCount] = {};  // block of each code block; 0 = no code
  uint8_t SourceLen = 0;
  char Source[kSourceSize] = {};
  uint8_t DateLen = 0;
  char Date[kDateSize] = {};
  uint16_t Time = 0;  // hour * 100 + minute
  uint8_t VersionLen = 0;
  char Version[kVersionSize] = {};
  uint8_t CompilerLen = 0;
  char Compiler[kCompilerSize] = {};
  uint8_t NoticeLen = 0;
  char Notice[kNoticeSize] = {};
  uint16_t SymTab = 0;
  uint16_t SymEnd = 0;
  uint16_t NamTab = 0;
  uint16_t NamEnd = 0;
  uint16_t LineTab = 0;
  uint16_t LineEnd = 0;
  uint8_t AddrSize = 0;
  uint16_t HighAddr = 0;  // window number: high 16 bits of the byte addresses
  uint16_t NextDir = 0;
  uint16_t MemMapOfs = 0;
  uint16_t MemMapEnd = 0;
  uint16_t LocalVars = 0;
  uint16_t LocalEnd = 0;
  uint16_t CodType = 1;
  uint8_t ProcessorLen = 0;
  char Processor[kProcessorSize] = {};
  uint16_t LSymTab = 0;
  uint16_t LSymEnd = 0;
  uint16_t MessTab = 0;
  uint16_t MessEnd = 0;
  uint8_t Spare[kSpareSize] = {};

  // All zero except CodType = 1.
  Directory() = default;

  // Text fields: the text is cut to the field, the rest of the field zeroed.
  void setSource(const String& text);
  void setDate(const String& text);
  void setVersion(const String& text);
  void setNotice(const String& text);
  void setProcessor(const String& text);
  // The first Len characters of a field (never more than the field holds).
  String source() const;
  String date() const;
  String version() const;
  String compiler() const;
  String notice() const;
  String processor() const;

  void encode(uint8_t* out) const;  // exactly kCodBlockSize bytes
  static Directory decode(const uint8_t* in);
  void dump(std::ostream& os) const;
};

// 16-byte short symbol; 32 per block.
struct Symbol {
  static constexpr size_t MAX_LENGTH = 12;
  static constexpr size_t kSize = 16;
  static constexpr size_t kPerBlock = 32;

  uint8_t NameLen = 0;
  char Name[MAX_LENGTH] = {};
  uint8_t SymbolType = 0;
  int16_t SymbolValue = 0;

  Symbol() = default;
  // Requires name.size() <= MAX_LENGTH.
  Symbol(const String& name, uint8_t type, int16_t value);

  String name() const;
  bool isEmpty() const;
  void encode(uint8_t* out) const;
  static Symbol decode(const uint8_t* in);
  bool operator<(const Symbol& o) const { return name() < o.name(); }
  bool operator==(const Symbol& o) const { return name() == o.name(); }
  void dump(std::ostream& os) const;
};

// 64-byte source file name; 8 per block.
struct SourceName {
  static constexpr size_t MAX_LENGTH = 63;  // names are shorter than this
  static constexpr size_t kSize = 64;
  static constexpr size_t kPerBlock = 8;

  uint8_t FileNameLen = 0;
  char FileName[MAX_LENGTH] = {};

  SourceName() = default;
  // Requires name.size() < MAX_LENGTH.
  explicit SourceName(const String& name);

  String fileName() const;
  bool isEmpty() const;
  void encode(uint8_t* out) const;
  static SourceName decode(const uint8_t* in);
  void dump(std::ostream& os) const;
};

// 6-byte line record; 85 per block (the block's last two bytes stay zero).
struct LineInfo {
  static constexpr size_t kSize = 6;
  static constexpr size_t kPerBlock = 85;
  // FileNum is one byte: the files a line record can name.
  static constexpr size_t kFileNumbers = 256;

  uint8_t FileNum = 0;  // position of the source file in cSourceNameList
  uint8_t Flags = 0;
  int16_t Line = 0;
  uint16_t CodeAddress = 0;

  LineInfo() = default;
  LineInfo(uint8_t fileNum, uint8_t flags, int16_t line, uint16_t codeAddress)
      : FileNum(fileNum), Flags(flags), Line(line), CodeAddress(codeAddress) {}

  bool isEmpty() const { return FileNum == 0 && Line == 0 && CodeAddress == 0; }
  void encode(uint8_t* out) const;
  static LineInfo decode(const uint8_t* in);
  bool operator<(const LineInfo& o) const {
    return FileNum != o.FileNum ? FileNum < o.FileNum : Line < o.Line;
  }
  bool operator==(const LineInfo& o) const { return FileNum == o.FileNum && Line == o.Line; }
  void dump(std::ostream& os) const;
};

// 4-byte occupied range of one window, inclusive byte addresses; 128 per block.
struct MemoryMap {
  static constexpr size_t kSize = 4;
  static constexpr size_t kPerBlock = 128;

  uint16_t Start = 0;
  uint16_t Last = 0;

  MemoryMap() = default;
  MemoryMap(uint16_t start, uint16_t last) : Start(start), Last(last) {}

  bool isEmpty() const { return Start == 0 && Last == 0; }
  void encode(uint8_t* out) const;
  static MemoryMap decode(const uint8_t* in);
  bool operator<(const MemoryMap& o) const { return Start < o.Start; }
  void dump(std::ostream& os) const;
};

// Long symbol: on disk NameLen, the name, Type little-endian and Value
// big-endian, NameLen + 7 bytes.
struct LongSymbol {
  static constexpr size_t MAX_LENGTH = 255;  // one length byte

  uint8_t NameLen = 0;
  String Name;
  int16_t Type = 0;
  uint32_t Value = 0;  // host order in memory

  LongSymbol() = default;
  // A name over MAX_LENGTH characters is cut, so the length byte stays true.
  LongSymbol(const String& name, int16_t type, uint32_t value);

  size_t packedSize() const { return NameLen + 7u; }
  void encode(uint8_t* out) const;  // packedSize() bytes
  bool operator<(const LongSymbol& o) const { return Name < o.Name; }
  bool operator==(const LongSymbol& o) const { return Name == o.Name; }
  void dump(std::ostream& os) const;
};

// Group of local symbols: on disk a marker entry, then the symbols.
struct LocalGroup {
  uint32_t StartAddr = 0;
  uint32_t EndAddr = 0;
  std::list<Symbol> SymbolList;

  LocalGroup() = default;
  LocalGroup(uint32_t startAddr, uint32_t endAddr) : StartAddr(startAddr), EndAddr(endAddr) {}

  static void encodeMarker(uint8_t* out, uint32_t startAddr, uint32_t endAddr);
  static bool isMarker(const uint8_t* entry);
  bool operator<(const LocalGroup& o) const { return StartAddr < o.StartAddr; }
  void dump(std::ostream& os) const;
};

// Debug message: on disk Address big-endian, Type, MsgLen and the text,
// MsgLen + 6 bytes.
struct DebugMsg {
  static constexpr size_t MAX_LENGTH = 255;

  uint32_t Address = 0;  // host order in memory
  char Type = 0;
  uint8_t MsgLen = 0;
  String Msg;

  DebugMsg() = default;
  DebugMsg(uint32_t address, char type, const String& msg);  // msg cut to MAX_LENGTH

  size_t packedSize() const { return MsgLen + 6u; }
  void encode(uint8_t* out) const;  // packedSize() bytes
  bool operator<(const DebugMsg& o) const { return Address < o.Address; }
  void dump(std::ostream& os) const;
};

// 512 bytes of the program-memory image (also the unit of every block list).
struct Block {
  uint8_t Data[kCodBlockSize] = {};
  void dump(std::ostream& os) const;
};

using BlockList = std::list<Block>;

class Cod {
 public:
  Cod() = default;
  virtual ~Cod() = default;

  // --- Filling ---

  // Appends a directory whose HighAddr is its own index, with an empty line
  // list, memory-map list and code-block map; returns its index.
  size_t addDirectory();
  // Name of the file to write; directory 0 (which must exist) gets it,
  // cut to 63 characters, as its Source.
  void setOutputName(const String& name);
  // The file that write() creates: the name given to setOutputName, else
  // directory 0's Source.
  String outputName() const;
  // The code block at index (0-127) of a window's map, created all zero.
  Block& codeBlock(size_t window, unsigned index);
  // Appends a source name, cut to 62 characters with a warning; returns its
  // file number (0-based position).
  size_t appendSourceName(const String& name);
  // Appends a short symbol: the first 12 characters, the low 16 bits of value.
  void appendSymbol(const String& name, uint8_t type, uint32_t value);
  // Appends a long symbol: the whole name (up to 255 characters); an empty
  // name is not taken.
  void appendLongSymbol(const String& name, int16_t type, uint32_t value);

  // --- Writing ---

  // Numbers every block, fills the block pointers, NextDir and Index of
  // every directory and stamps Date and Time in directory 0. Call once, with
  // the tables complete. False (and an error) when the file would need more
  // blocks than 16-bit numbers reach; write() then writes nothing.
  bool preWrite();
  // The blocks the file would take if directory d held lineRecords[d] line
  // records (one count per directory) instead of those it holds.
  size_t blockCount(const std::vector<size_t>& lineRecords) const;
  // False (and the error preWrite gives) when a file of total blocks has
  // more than 16-bit block numbers reach.
  bool checkBlockCount(size_t total) const;
  // Writes the file named outputName(); true on success.
  bool write();
  // write in two steps, so that the file is put in place together with
  // another (replacement::commitAll): writeInto writes it into output, made
  // for outputName() and opened here unless it is already; each failure is
  // reported, reportCommitFailure reports a failed commit.
  bool writeInto(replacement::OutputFile& output);
  void reportCommitFailure(const replacement::OutputFile& output) const;
  // Writes blocks in order. On failure reports it and returns false.
  static bool writeBlockList(FILE* file, const String& fileName, const BlockList& blocks,
                             const char* kind);

  // The packers: a table as its list of blocks.
  static BlockList packRawDataBlocks(const std::map<unsigned, Block>& blocks);
  template <class Records>
  static BlockList packRecordBlocks(const Records& records);
  static BlockList packLocalGroupBlocks(const std::list<LocalGroup>& groups);
  static BlockList packLongSymbolBlocks(const std::list<LongSymbol>& symbols);
  static BlockList packDebugMsgBlocks(const std::list<DebugMsg>& messages);

  // --- Reading and dumps ---

  // Reads a COD file; null (after an error) when it cannot be read or is malformed.
  static std::unique_ptr<Cod> make(const String& fileName);
  void print(std::ostream& os) const;

  // --- The tables ---
  std::vector<Directory> cDirectory;  // directory i is block i, window i
  std::list<Symbol> cSymbolList;
  std::list<SourceName> cSourceNameList;
  // One per directory; a flat table, as a listing adds a record per line.
  std::vector<std::vector<LineInfo>> cLineInfoTable;
  std::vector<std::list<MemoryMap>> cMemoryMapList;  // one per directory
  std::list<LongSymbol> cLongSymbolList;
  std::list<LocalGroup> cLocalGroupList;
  std::list<DebugMsg> cDebugMsgList;
  std::vector<std::map<unsigned, Block>> cRawDataMap;  // per directory, index 0-127

 private:
  // The blocks of every table, counted exactly as its packer cuts it.
  struct BlockCounts {
    size_t numDirs = 0, numRaw = 0, numSym = 0, numNames = 0, numLine = 0, numGroup = 0,
           numMap = 0, numLong = 0, numDebug = 0;
    std::vector<size_t> lineBlocks, mapBlocks;  // per directory
    size_t total() const {
      return numDirs + numRaw + numSym + numNames + numLine + numGroup + numMap + numLong +
             numDebug;
    }
  };
  BlockCounts countBlocks(const std::vector<size_t>& lineRecords) const;

  enum class Numbering { none, done, failed };
  Numbering cNumbering = Numbering::none;
  String cOutputName;
};

template <class Records>
BlockList Cod::packRecordBlocks(const Records& records) {
  using Record = typename Records::value_type;
  BlockList out;
  Block block;
  size_t slot = 0;
  for (const Record& r : records) {
    if (slot == Record::kPerBlock) {
      out.push_back(block);
      block = Block();
      slot = 0;
    }
    r.encode(block.Data + slot * Record::kSize);
    ++slot;
  }
  if (slot > 0) out.push_back(block);
  return out;
}

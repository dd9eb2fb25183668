// An independent reading of a COD file's bytes, written from the block
// layout alone (it shares no code with the Cod model): it follows every
// pointer, decodes every record and lists each breach of the layout rules.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace codlayout {

struct Dir {
  uint16_t index[128] = {};
  std::string source, date, version, compiler, notice, processor;
  uint16_t time = 0;
  uint16_t symTab = 0, symEnd = 0, namTab = 0, namEnd = 0, lineTab = 0, lineEnd = 0;
  uint8_t addrSize = 0;
  uint16_t highAddr = 0, nextDir = 0, memMapOfs = 0, memMapEnd = 0;
  uint16_t localVars = 0, localEnd = 0, codType = 0;
  uint16_t lSymTab = 0, lSymEnd = 0, messTab = 0, messEnd = 0;
};

struct Sym {
  std::string name;
  int type;
  int value;  // signed 16 bits
};

struct Line {
  int file, flags, line, address;
};

struct Range {
  unsigned start, last;
};

struct LongSym {
  std::string name;
  int type;
  uint32_t value;
};

struct Group {
  uint32_t start, end;
  std::vector<Sym> symbols;
};

struct Msg {
  uint32_t address;
  char type;
  std::string text;
};

struct Layout {
  size_t blocks = 0;
  std::vector<Dir> dirs;  // in NextDir order, from block 0
  std::vector<std::map<unsigned, std::vector<uint8_t>>> code;  // per directory
  std::vector<Sym> symbols;
  std::vector<std::string> sourceNames;
  std::vector<std::vector<Line>> lines;       // per directory
  std::vector<std::vector<Range>> memoryMaps;  // per directory
  std::vector<Group> localGroups;
  std::vector<LongSym> longSymbols;
  std::vector<Msg> messages;
  // One line per breach: a pointer out of the file or out of order, a block
  // not referenced exactly once, a non-zero byte where zero belongs, a
  // record that spans blocks or a block closed before it was full.
  std::vector<std::string> problems;
};

Layout parse(const std::string& bytes);

}  // namespace codlayout

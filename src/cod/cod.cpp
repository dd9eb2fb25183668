#include "cod.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <iostream>
#include <sstream>

#include "debug.h"
#include "platform.h"
#include "replacement.h"
#include "textutil.h"

using codbytes::getU16;
using codbytes::putU16;
using codbytes::putU32;

namespace {

// A text field is a length byte and a fixed character field, zero behind the text.
void setText(uint8_t& len, char* field, size_t size, const String& text) {
  size_t n = std::min(text.size(), size);
  std::memset(field, 0, size);
  std::memcpy(field, text.data(), n);
  len = static_cast<uint8_t>(n);
}

String getText(uint8_t len, const char* field, size_t size) {
  return String(field, std::min<size_t>(len, size));
}

void putText(uint8_t* out, uint8_t len, const char* field, size_t size) {
  size_t n = std::min<size_t>(len, size);
  out[0] = static_cast<uint8_t>(n);
  std::memcpy(out + 1, field, n);
  std::memset(out + 1 + n, 0, size - n);
}

void takeText(const uint8_t* in, uint8_t& len, char* field, size_t size) {
  len = in[0];
  std::memcpy(field, in + 1, size);
}

// A variable-size record goes into the current block only if it ends
// before byte 512, so every such block keeps at least one zero byte.
bool fitsInBlock(size_t offset, size_t size) { return offset + size < kCodBlockSize; }

// Places variable-size records back to back by that rule.
class VariablePacker {
 public:
  uint8_t* place(size_t size) {
    TOOL_ASSERT(size < kCodBlockSize);
    if (!fitsInBlock(cOffset, size)) {
      cOut.push_back(cBlock);
      cBlock = Block();
      cOffset = 0;
    }
    uint8_t* p = cBlock.Data + cOffset;
    cOffset += size;
    cAny = true;
    return p;
  }
  BlockList finish() {
    if (cAny) cOut.push_back(cBlock);
    return std::move(cOut);
  }

 private:
  BlockList cOut;
  Block cBlock;
  size_t cOffset = 0;
  bool cAny = false;
};

// Counts the blocks that VariablePacker makes from records of these sizes.
class VariableCounter {
 public:
  void place(size_t size) {
    if (cBlocks == 0) {
      cBlocks = 1;
    } else if (!fitsInBlock(cOffset, size)) {
      ++cBlocks;
      cOffset = 0;
    }
    cOffset += size;
  }
  size_t blocks() const { return cBlocks; }

 private:
  size_t cBlocks = 0;
  size_t cOffset = 0;
};

size_t fixedBlocks(size_t records, size_t perBlock) { return (records + perBlock - 1) / perBlock; }

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

// ---------------------------------------------------------------- Directory

void Directory::setSource(const String& text) { setText(SourceLen, Source, kSourceSize, text); }
void Directory::setDate(const String& text) { setText(DateLen, Date, kDateSize, text); }
void Directory::setVersion(const String& text) {
  setText(VersionLen, Version, kVersionSize, text);
}
void Directory::setNotice(const String& text) { setText(NoticeLen, Notice, kNoticeSize, text); }
void Directory::setProcessor(const String& text) {
  setText(ProcessorLen, Processor, kProcessorSize, text);
}
String Directory::source() const { return getText(SourceLen, Source, kSourceSize); }
String Directory::date() const { return getText(DateLen, Date, kDateSize); }
String Directory::version() const { return getText(VersionLen, Version, kVersionSize); }
String Directory::compiler() const { return getText(CompilerLen, Compiler, kCompilerSize); }
String Directory::notice() const { return getText(NoticeLen, Notice, kNoticeSize); }
String Directory::processor() const {
  return getText(ProcessorLen, Processor, kProcessorSize);
}

void Directory::encode(uint8_t* out) const {
  std::memset(out, 0, kCodBlockSize);
  for (size_t k = 0; k < kCodIndexCount; ++k) putU16(out + 2 * k, Index[k]);
  putText(out + 256, SourceLen, Source, kSourceSize);
  putText(out + 320, DateLen, Date, kDateSize);
  putU16(out + 328, Time);
  putText(out + 330, VersionLen, Version, kVersionSize);
  putText(out + 350, CompilerLen, Compiler, kCompilerSize);
  putText(out + 362, NoticeLen, Notice, kNoticeSize);
  putU16(out + 426, SymTab);
  putU16(out + 428, SymEnd);
  putU16(out + 430, NamTab);
  putU16(out + 432, NamEnd);
  putU16(out + 434, LineTab);
  putU16(out + 436, LineEnd);
  out[438] = AddrSize;
  putU16(out + 439, HighAddr);
  putU16(out + 441, NextDir);
  putU16(out + 443, MemMapOfs);
  putU16(out + 445, MemMapEnd);
  putU16(out + 447, LocalVars);
  putU16(out + 449, LocalEnd);
  putU16(out + 451, CodType);
  putText(out + 453, ProcessorLen, Processor, kProcessorSize);
  putU16(out + 462, LSymTab);
  putU16(out + 464, LSymEnd);
  putU16(out + 466, MessTab);
  putU16(out + 468, MessEnd);
  std::memcpy(out + 470, Spare, kSpareSize);
}

Directory Directory::decode(const uint8_t* in) {
  Directory d;
  for (size_t k = 0; k < kCodIndexCount; ++k) d.Index[k] = getU16(in + 2 * k);
  takeText(in + 256, d.SourceLen, d.Source, kSourceSize);
  takeText(in + 320, d.DateLen, d.Date, kDateSize);
  d.Time = getU16(in + 328);
  takeText(in + 330, d.VersionLen, d.Version, kVersionSize);
  takeText(in + 350, d.CompilerLen, d.Compiler, kCompilerSize);
  takeText(in + 362, d.NoticeLen, d.Notice, kNoticeSize);
  d.SymTab = getU16(in + 426);
  d.SymEnd = getU16(in + 428);
  d.NamTab = getU16(in + 430);
  d.NamEnd = getU16(in + 432);
  d.LineTab = getU16(in + 434);
  d.LineEnd = getU16(in + 436);
  d.AddrSize = in[438];
  d.HighAddr = getU16(in + 439);
  d.NextDir = getU16(in + 441);
  d.MemMapOfs = getU16(in + 443);
  d.MemMapEnd = getU16(in + 445);
  d.LocalVars = getU16(in + 447);
  d.LocalEnd = getU16(in + 449);
  d.CodType = getU16(in + 451);
  takeText(in + 453, d.ProcessorLen, d.Processor, kProcessorSize);
  d.LSymTab = getU16(in + 462);
  d.LSymEnd = getU16(in + 464);
  d.MessTab = getU16(in + 466);
  d.MessEnd = getU16(in + 468);
  std::memcpy(d.Spare, in + 470, kSpareSize);
  return d;
}

// ---------------------------------------------------------------- records

Symbol::Symbol(const String& name, uint8_t type, int16_t value)
    : SymbolType(type), SymbolValue(value) {
  TOOL_ASSERT(name.size() <= MAX_LENGTH);
  setText(NameLen, Name, MAX_LENGTH, name);
}

String Symbol::name() const { return getText(NameLen, Name, MAX_LENGTH); }

bool Symbol::isEmpty() const {
  uint8_t bytes[kSize];
  encode(bytes);
  return std::all_of(bytes, bytes + kSize, [](uint8_t b) { return b == 0; });
}

void Symbol::encode(uint8_t* out) const {
  putText(out, NameLen, Name, MAX_LENGTH);
  out[13] = SymbolType;
  putU16(out + 14, static_cast<uint16_t>(SymbolValue));
}

Symbol Symbol::decode(const uint8_t* in) {
  Symbol s;
  takeText(in, s.NameLen, s.Name, MAX_LENGTH);
  s.SymbolType = in[13];
  s.SymbolValue = static_cast<int16_t>(getU16(in + 14));
  return s;
}

SourceName::SourceName(const String& name) {
  TOOL_ASSERT(name.size() < MAX_LENGTH);
  setText(FileNameLen, FileName, MAX_LENGTH - 1, name);
}

String SourceName::fileName() const { return getText(FileNameLen, FileName, MAX_LENGTH); }

bool SourceName::isEmpty() const {
  return FileNameLen == 0 &&
         std::all_of(FileName, FileName + MAX_LENGTH, [](char c) { return c == 0; });
}

void SourceName::encode(uint8_t* out) const { putText(out, FileNameLen, FileName, MAX_LENGTH); }

SourceName SourceName::decode(const uint8_t* in) {
  SourceName s;
  takeText(in, s.FileNameLen, s.FileName, MAX_LENGTH);
  return s;
}

void LineInfo::encode(uint8_t* out) const {
  out[0] = FileNum;
  out[1] = Flags;
  putU16(out + 2, static_cast<uint16_t>(Line));
  putU16(out + 4, CodeAddress);
}

LineInfo LineInfo::decode(const uint8_t* in) {
  return LineInfo(in[0], in[1], static_cast<int16_t>(getU16(in + 2)), getU16(in + 4));
}

void MemoryMap::encode(uint8_t* out) const {
  putU16(out, Start);
  putU16(out + 2, Last);
}

MemoryMap MemoryMap::decode(const uint8_t* in) { return MemoryMap(getU16(in), getU16(in + 2)); }

LongSymbol::LongSymbol(const String& name, int16_t type, uint32_t value)
    : NameLen(static_cast<uint8_t>(std::min(name.size(), MAX_LENGTH))),
      Name(name.substr(0, MAX_LENGTH)),
      Type(type),
      Value(value) {}

void LongSymbol::encode(uint8_t* out) const {
  out[0] = NameLen;
  // The length byte rules: a shorter Name is padded with zeros.
  size_t n = std::min<size_t>(NameLen, Name.size());
  std::memcpy(out + 1, Name.data(), n);
  std::memset(out + 1 + n, 0, NameLen - n);
  putU16(out + 1 + NameLen, static_cast<uint16_t>(Type));
  // Value is the one big-endian field of the record.
  putU32(out + 3 + NameLen, byteSwap32(Value));
}

void LocalGroup::encodeMarker(uint8_t* out, uint32_t startAddr, uint32_t endAddr) {
  out[0] = 7;
  std::memcpy(out + 1, "__LOCAL", 7);
  putU32(out + 8, startAddr);
  putU32(out + 12, endAddr);
}

bool LocalGroup::isMarker(const uint8_t* entry) {
  return entry[0] == 7 && std::memcmp(entry + 1, "__LOCAL", 7) == 0;
}

DebugMsg::DebugMsg(uint32_t address, char type, const String& msg)
    : Address(address),
      Type(type),
      MsgLen(static_cast<uint8_t>(std::min(msg.size(), MAX_LENGTH))),
      Msg(msg.substr(0, MAX_LENGTH)) {}

void DebugMsg::encode(uint8_t* out) const {
  putU32(out, byteSwap32(Address));
  out[4] = static_cast<uint8_t>(Type);
  out[5] = MsgLen;
  size_t n = std::min<size_t>(MsgLen, Msg.size());
  std::memcpy(out + 6, Msg.data(), n);
  std::memset(out + 6 + n, 0, MsgLen - n);
}

// ---------------------------------------------------------------- filling

size_t Cod::addDirectory() {
  size_t index = cDirectory.size();
  cDirectory.emplace_back();
  cDirectory.back().HighAddr = static_cast<uint16_t>(index);
  cLineInfoTable.emplace_back();
  cMemoryMapList.emplace_back();
  cRawDataMap.emplace_back();
  return index;
}

void Cod::setOutputName(const String& name) {
  TOOL_ASSERT(!cDirectory.empty());
  cOutputName = name;
  if (!cDirectory.empty()) cDirectory[0].setSource(name);
}

String Cod::outputName() const {
  if (!cOutputName.empty()) return cOutputName;
  return cDirectory.empty() ? String() : cDirectory[0].source();
}

Block& Cod::codeBlock(size_t window, unsigned index) {
  TOOL_ASSERT(window < cRawDataMap.size() && index < kCodIndexCount);
  if (window >= cRawDataMap.size()) cRawDataMap.resize(window + 1);
  return cRawDataMap[window][index % kCodIndexCount];
}

size_t Cod::appendSourceName(const String& name) {
  const size_t limit = SourceName::MAX_LENGTH - 1;
  String kept = name;
  if (kept.size() > limit) {
    std::ostringstream s;
    s << "Source file name '" << name << "' is longer than " << limit
      << " characters; the Cod file keeps its first " << limit << ".";
    reportStream(SevWarning, "Cod::appendSourceName()", s, 0);
    kept.resize(limit);
  }
  cSourceNameList.push_back(SourceName(kept));
  return cSourceNameList.size() - 1;
}

void Cod::appendSymbol(const String& name, uint8_t type, uint32_t value) {
  cSymbolList.push_back(Symbol(name.substr(0, Symbol::MAX_LENGTH), type,
                               static_cast<int16_t>(static_cast<uint16_t>(value))));
}

void Cod::appendLongSymbol(const String& name, int16_t type, uint32_t value) {
  // A zero length byte ends a long-symbol block for every reader, so an
  // unnamed record would hide the symbols behind it.
  if (name.empty()) return;
  cLongSymbolList.push_back(LongSymbol(name, type, value));
}

// ---------------------------------------------------------------- numbering

Cod::BlockCounts Cod::countBlocks(const std::vector<size_t>& lineRecords) const {
  BlockCounts c;
  c.numDirs = cDirectory.size();
  for (const auto& map : cRawDataMap) c.numRaw += map.size();
  c.numSym = fixedBlocks(cSymbolList.size(), Symbol::kPerBlock);
  c.numNames = fixedBlocks(cSourceNameList.size(), SourceName::kPerBlock);
  for (size_t records : lineRecords) {
    c.lineBlocks.push_back(fixedBlocks(records, LineInfo::kPerBlock));
    c.numLine += c.lineBlocks.back();
  }
  for (const auto& maps : cMemoryMapList) {
    c.mapBlocks.push_back(fixedBlocks(maps.size(), MemoryMap::kPerBlock));
    c.numMap += c.mapBlocks.back();
  }
  VariableCounter groups, longs, messages;
  for (const LocalGroup& g : cLocalGroupList) {
    groups.place(Symbol::kSize);
    for (size_t i = 0; i < g.SymbolList.size(); ++i) groups.place(Symbol::kSize);
  }
  for (const LongSymbol& s : cLongSymbolList) longs.place(s.packedSize());
  for (const DebugMsg& m : cDebugMsgList) messages.place(m.packedSize());
  c.numGroup = groups.blocks();
  c.numLong = longs.blocks();
  c.numDebug = messages.blocks();
  return c;
}

size_t Cod::blockCount(const std::vector<size_t>& lineRecords) const {
  return countBlocks(lineRecords).total();
}

bool Cod::checkBlockCount(size_t total) const {
  // Block numbers are 16 bits: a larger file cannot be addressed at all.
  if (total <= kCodMaxBlocks) return true;
  std::ostringstream s;
  s << "Cod file '" << outputName() << "' would need " << total
    << " blocks; a Cod file holds at most " << kCodMaxBlocks << ".";
  reportStream(SevError, "Cod::preWrite()", s, 0);
  return false;
}

bool Cod::preWrite() {
  cNumbering = Numbering::failed;
  const size_t numDirs = cDirectory.size();
  TOOL_ASSERT(numDirs > 0);
  TOOL_ASSERT(cLineInfoTable.size() == numDirs && cMemoryMapList.size() == numDirs &&
              cRawDataMap.size() == numDirs);
  if (numDirs == 0 || cLineInfoTable.size() != numDirs || cMemoryMapList.size() != numDirs ||
      cRawDataMap.size() != numDirs)
    return false;
  for (const auto& map : cRawDataMap) {
    for (const auto& entry : map) {
      TOOL_ASSERT(entry.first < kCodIndexCount);
      if (entry.first >= kCodIndexCount) return false;
    }
  }

  std::vector<size_t> lineRecords;
  for (const auto& lines : cLineInfoTable) lineRecords.push_back(lines.size());
  const BlockCounts counts = countBlocks(lineRecords);
  const size_t numRaw = counts.numRaw, numSym = counts.numSym, numNames = counts.numNames,
               numLine = counts.numLine, numGroup = counts.numGroup, numMap = counts.numMap,
               numLong = counts.numLong, numDebug = counts.numDebug;
  const std::vector<size_t>& lineBlocks = counts.lineBlocks;
  const std::vector<size_t>& mapBlocks = counts.mapBlocks;

  if (DebugSwitch("Cod::preWrite").isOn()) {
    std::cout << "Cod::preWrite()- dump of block mappings:\n"
              << "  numDirectoryBlock=" << numDirs << "\n"
              << "  numRawDataBlock=" << numRaw << "\n"
              << "  numSymbolBlock=" << numSym << "\n"
              << "  numSourceNameBlock=" << numNames << "\n"
              << "  numLineInfoBlock=" << numLine << "\n"
              << "  numLocalGroupBlock=" << numGroup << "\n"
              << "  numMemMapBlock=" << numMap << "\n"
              << "  numLongBlock=" << numLong << "\n"
              << "  numDebugBlock=" << numDebug << "\n";
  }
  if (!checkBlockCount(counts.total())) return false;

  // Every pointer is set afresh; the file-wide tables live in directory 0 only.
  for (size_t i = 0; i < numDirs; ++i) {
    Directory& d = cDirectory[i];
    std::fill(std::begin(d.Index), std::end(d.Index), 0);
    d.SymTab = d.SymEnd = d.NamTab = d.NamEnd = d.LineTab = d.LineEnd = 0;
    d.MemMapOfs = d.MemMapEnd = d.LocalVars = d.LocalEnd = 0;
    d.LSymTab = d.LSymEnd = d.MessTab = d.MessEnd = 0;
    d.NextDir = static_cast<uint16_t>(i + 1 < numDirs ? i + 1 : 0);
  }

  size_t next = numDirs;
  // Takes count numbers; sets first/last, or 0/0 for an empty table.
  auto take = [&next](size_t count, uint16_t& first, uint16_t& last) {
    if (count == 0) return;
    first = static_cast<uint16_t>(next);
    last = static_cast<uint16_t>(next + count - 1);
    next += count;
  };
  for (size_t i = 0; i < numDirs; ++i)
    for (const auto& entry : cRawDataMap[i])
      cDirectory[i].Index[entry.first] = static_cast<uint16_t>(next++);
  Directory& first = cDirectory[0];
  take(numSym, first.SymTab, first.SymEnd);
  take(numNames, first.NamTab, first.NamEnd);
  for (size_t i = 0; i < numDirs; ++i)
    take(lineBlocks[i], cDirectory[i].LineTab, cDirectory[i].LineEnd);
  take(numGroup, first.LocalVars, first.LocalEnd);
  for (size_t i = 0; i < numDirs; ++i)
    take(mapBlocks[i], cDirectory[i].MemMapOfs, cDirectory[i].MemMapEnd);
  take(numLong, first.LSymTab, first.LSymEnd);
  take(numDebug, first.MessTab, first.MessEnd);

  // Date as "%d%b%y" and time as "%H%M" read as a number, local time.
  std::time_t t = platform::now();
  struct tm tmv;
  if (localtime_r(&t, &tmv)) {
    char date[16];
    std::snprintf(date, sizeof date, "%02d%s%02d", tmv.tm_mday % 100, kMonths[tmv.tm_mon % 12],
                  tmv.tm_year % 100);
    first.setDate(date);
    first.Time = static_cast<uint16_t>(tmv.tm_hour * 100 + tmv.tm_min);
  } else {
    first.setDate("");
    first.Time = 0;
  }
  cNumbering = Numbering::done;
  return true;
}

// ---------------------------------------------------------------- packing

BlockList Cod::packRawDataBlocks(const std::map<unsigned, Block>& blocks) {
  BlockList out;
  for (const auto& entry : blocks) out.push_back(entry.second);
  return out;
}

BlockList Cod::packLocalGroupBlocks(const std::list<LocalGroup>& groups) {
  VariablePacker packer;
  for (const LocalGroup& g : groups) {
    LocalGroup::encodeMarker(packer.place(Symbol::kSize), g.StartAddr, g.EndAddr);
    for (const Symbol& s : g.SymbolList) s.encode(packer.place(Symbol::kSize));
  }
  return packer.finish();
}

BlockList Cod::packLongSymbolBlocks(const std::list<LongSymbol>& symbols) {
  VariablePacker packer;
  for (const LongSymbol& s : symbols) s.encode(packer.place(s.packedSize()));
  return packer.finish();
}

BlockList Cod::packDebugMsgBlocks(const std::list<DebugMsg>& messages) {
  VariablePacker packer;
  for (const DebugMsg& m : messages) m.encode(packer.place(m.packedSize()));
  return packer.finish();
}

// ---------------------------------------------------------------- writing

bool Cod::writeBlockList(FILE* file, const String& fileName, const BlockList& blocks,
                         const char* kind) {
  for (const Block& b : blocks) {
    if (std::fwrite(b.Data, 1, kCodBlockSize, file) != kCodBlockSize) {
      std::ostringstream s;
      s << "Could not write " << kind << " block in Cod file '" << fileName << "'.";
      reportStream(SevError, "Cod::writeBlockList()", s, 0);
      return false;
    }
  }
  return true;
}

bool Cod::write() {
  replacement::OutputFile output(platform::hostPath(outputName()));
  if (!writeInto(output)) return false;
  if (output.commit()) return true;
  reportCommitFailure(output);
  return false;
}

void Cod::reportCommitFailure(const replacement::OutputFile& output) const {
  std::ostringstream s;
  s << (output.inPlace() ? "Could not write Cod file '" : "Could not replace Cod file '")
    << outputName() << "'.";
  reportStream(SevError, "Cod::write()", s, 0);
}

bool Cod::writeInto(replacement::OutputFile& output) {
  TOOL_ASSERT(cNumbering != Numbering::none);
  // A failed numbering was reported by preWrite: nothing is created.
  if (cNumbering != Numbering::done) return false;
  const String name = outputName();
  const platform::Activity writing("writing Cod file", name);

  // Written whole: a failed write leaves the old file as it was.
  if (!output.file() && !output.open()) {
    std::ostringstream s;
    s << "Could not open Cod file '" << name << "' for writing.";
    reportStream(SevError, "Cod::write()", s, 0);
    return false;
  }
  FILE* file = output.file();
  for (const Directory& d : cDirectory) {
    uint8_t bytes[kCodBlockSize];
    d.encode(bytes);
    if (std::fwrite(bytes, 1, kCodBlockSize, file) != kCodBlockSize) {
      std::ostringstream s;
      s << "Could not write directory in Cod file '" << name << "'.";
      reportStream(SevError, "Cod::write()", s, 0);
      return false;
    }
  }

  // Exactly the order in which preWrite numbered the blocks.
  const size_t numDirs = cDirectory.size();
  bool ok = true;
  for (size_t i = 0; ok && i < numDirs; ++i)
    ok = writeBlockList(file, name, packRawDataBlocks(cRawDataMap[i]), "code");
  ok = ok && writeBlockList(file, name, packRecordBlocks(cSymbolList), "symbol");
  ok = ok && writeBlockList(file, name, packRecordBlocks(cSourceNameList), "source name");
  for (size_t i = 0; ok && i < numDirs; ++i)
    ok = writeBlockList(file, name, packRecordBlocks(cLineInfoTable[i]), "line info");
  ok = ok && writeBlockList(file, name, packLocalGroupBlocks(cLocalGroupList), "local group");
  for (size_t i = 0; ok && i < numDirs; ++i)
    ok = writeBlockList(file, name, packRecordBlocks(cMemoryMapList[i]), "memory map");
  ok = ok && writeBlockList(file, name, packLongSymbolBlocks(cLongSymbolList), "long symbol");
  ok = ok && writeBlockList(file, name, packDebugMsgBlocks(cDebugMsgList), "debug msg");
  if (!ok) return false;  // writeBlockList reported it

  // Buffered data reaches the disk only here, so the close is checked too.
  if (!output.close()) {
    std::ostringstream s;
    s << "Could not close Cod file '" << name << "'.";
    reportStream(SevError, "Cod::write()", s, 0);
    return false;
  }
  return true;
}

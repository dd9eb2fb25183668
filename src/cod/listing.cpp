// The listing file: every source line beside the addresses, program words
// and disassembly that the line records tie to it, with included files
// expanded in place, ".list"/".nolist" control and page headers. Every row
// and header line also adds a line record to the COD tables.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string_view>
#include <vector>

#include "banner.h"
#include "coff2cod.h"
#include "debug.h"
#include "opcat.h"
#include "platform.h"

namespace {

const char* const kListContext = "Coff2Cod::createListFile()";

// Deepest include nesting that is expanded.
constexpr unsigned kMaxIncludeDepth = 100;

const char* const kColumnTitles =
    "Address  Value    Disassembly              Source                        "
    "                                                   File\n";
const char* const kColumnRules =
    "-------  -------  -----------------------  ------------------------------"
    "-------------------------------------------------  -----\n";

// Flags of the line records.
constexpr uint8_t kLineHeader = 0x02;
constexpr uint8_t kLineFirstCode = 0x80;
constexpr uint8_t kLineMoreCode = 0x00;
constexpr uint8_t kLineNoCode = 0x90;

// A row: the address, value and disassembly columns, each but the last
// followed by kGap spaces, then one space, the source line padded to its
// width, one space and the file name. A wider text pushes the rest right.
constexpr size_t kGap = 3;
constexpr size_t kAddressWidth = 6;
constexpr size_t kValueWidth = 6;
constexpr size_t kDisassemblyWidth = 24;
constexpr size_t kSourceWidth = 80;

const char kSpaces[] =
    "                                                                                ";
static_assert(sizeof kSpaces - 1 >= kSourceWidth, "padding reaches the widest column");

// Writes value at out in lower-case hex digits, at least width (up to 8) of
// them; gives the end.
char* putHex(char* out, uint32_t value, unsigned width) {
  unsigned digits = 1;
  while (digits < 8 && (value >> (4 * digits)) != 0) ++digits;
  if (digits < width) digits = width;
  while (digits-- > 0) *out++ = "0123456789abcdef"[(value >> (4 * digits)) & 0xF];
  return out;
}

// The little-endian word at offset of a section's bytes; bytes outside the
// section read as zero.
uint16_t wordAt(const Data* data, int64_t offset) {
  auto byteAt = [data](int64_t at) -> unsigned {
    if (!data || at < 0 || at >= static_cast<int64_t>(data->size())) return 0;
    return data->data()[at];
  };
  return static_cast<uint16_t>(byteAt(offset) | (byteAt(offset + 1) << 8));
}

}  // namespace

// ------------------------------------------------------------------ output

void Coff2Cod::listWriteFailed() {
  cListFailed = true;
  std::ostringstream s;
  s << "Could not write list file '" << cListName << "'.";
  reportStream(SevError, kListContext, s, 0);
}

void Coff2Cod::putPadded(std::string_view text, size_t width) {
  put(text);
  if (text.size() < width) put(std::string_view(kSpaces, width - text.size()));
}

void Coff2Cod::addLineRecord(size_t dir, uint32_t fileNum, uint8_t flags, uint32_t line,
                             uint16_t address) {
  // Left out of the Cod file with a warning (createSourceNames).
  if (fileNum >= LineInfo::kFileNumbers) return;
  cLineInfoTable[dir].push_back(LineInfo(static_cast<uint8_t>(fileNum), flags,
                                         static_cast<int16_t>(line), address));
}

void Coff2Cod::addHeaderLine() { addLineRecord(0, 0, kLineHeader, 1, 0); }

void Coff2Cod::writeListHeader(bool first) {
  if (!cHaveTime) {
    cHeaderTime = platform::ctimeText(platform::now());
    cHaveTime = true;
  }
  if (!first) put("\f\n");
  addHeaderLine();
  put(String(codConverterBanner()) + "\n");
  addHeaderLine();
  put(String(noticeBanner()) + "\n");
  addHeaderLine();
  // The time text ends in its own new line, so an empty line follows.
  put("Listing File Generated: " + cHeaderTime + "\n");
  addHeaderLine();
  addHeaderLine();
  put("\n");
  addHeaderLine();
  put(kColumnTitles);
  addHeaderLine();
  put(kColumnRules);
  addHeaderLine();
}

void Coff2Cod::nextListLine() {
  ++cRowCount;
  if (cPageLength != 0 && cRowCount % cPageLength == 0) writeListHeader(false);
}

void Coff2Cod::writeCodeRow(uint32_t address, uint16_t word, const char* disassembly,
                            std::string_view source, std::string_view file) {
  char columns[32];
  char* at = putHex(columns, address, kAddressWidth);
  at = std::copy_n(kSpaces, kGap, at);
  at = putHex(at, word, 4);  // a word has four digits
  at = std::copy_n(kSpaces, kValueWidth - 4 + kGap, at);
  putRow(std::string_view(columns, size_t(at - columns)), disassembly, source, file);
}

void Coff2Cod::writeSourceRow(std::string_view source, std::string_view file) {
  putRow(std::string_view(kSpaces, kAddressWidth + kGap + kValueWidth + kGap), {}, source, file);
}

void Coff2Cod::putRow(std::string_view columns, std::string_view disassembly,
                      std::string_view source, std::string_view file) {
  if (cListFailed) return;
  const size_t disassemblyWidth = std::max(disassembly.size(), kDisassemblyWidth);
  const size_t sourceWidth = std::max(source.size(), kSourceWidth);
  const size_t size = columns.size() + disassemblyWidth + 1 + sourceWidth + 1 + file.size() + 1;
  if (size > cListOut.size()) {
    // A huge source line is written from where it is, not copied.
    put(columns);
    putPadded(disassembly, kDisassemblyWidth);
    put(" ");
    putPadded(source, kSourceWidth);
    put(" ");
    put(file);
    put("\n");
    return;
  }
  // One row, formatted straight into the buffer.
  char* const row = cListOut.room(size);
  if (!row) {
    listWriteFailed();
    return;
  }
  char* out = row;
  const auto copy = [&out](std::string_view text) {
    if (!text.empty()) out = std::copy_n(text.data(), text.size(), out);
  };
  copy(columns);
  copy(disassembly);
  out = std::fill_n(out, disassemblyWidth - disassembly.size(), ' ');
  *out++ = ' ';
  copy(source);
  out = std::fill_n(out, sourceWidth - source.size(), ' ');
  *out++ = ' ';
  copy(file);
  *out++ = '\n';
  cListOut.used(size);
}

// ------------------------------------------------------------------ scans

void Coff2Cod::markSymbols(const Coff& coff) {
  const size_t n = coff.cSymbolTbl.size();
  cMarks.assign(n, Mark::other);
  cListControls.clear();
  for (size_t i = 0; i < n; ++i) {
    if (coff.isAuxEntry(i)) {
      cMarks[i] = Mark::aux;
      continue;
    }
    const syment s = syment::decode(coff.cSymbolTbl[i]);
    const String name = coff.getName(s);
    if (name == ".file")
      cMarks[i] = Mark::file;
    else if (name == ".eof")
      cMarks[i] = Mark::eof;
    else if (name == ".list")
      cMarks[i] = Mark::list;
    else if (name == ".nolist")
      cMarks[i] = Mark::nolist;
    if (cMarks[i] == Mark::list || cMarks[i] == Mark::nolist)
      cListControls.push_back(ListControl{0, s.n_value, static_cast<uint32_t>(i),
                                          cMarks[i] == Mark::list});
  }

  // Every line of a file asks the list control and the include test, whose
  // scans end at the next ".file" or ".eof"; looked up here instead of
  // walked, a line costs the same however many symbols the file has.
  cNextStop.assign(n + 1, static_cast<uint32_t>(n));
  for (size_t i = n; i-- > 0;)
    cNextStop[i] = cMarks[i] == Mark::file || cMarks[i] == Mark::eof ? static_cast<uint32_t>(i)
                                                                     : cNextStop[i + 1];
  for (ListControl& c : cListControls) c.stop = cNextStop[c.index];
  std::sort(cListControls.begin(), cListControls.end());
}

bool Coff2Cod::findFile(const Coff&, uint32_t& index) const {
  // A ".file" without a file entry names no source and cannot be listed.
  for (size_t i = index; i < cMarks.size(); ++i) {
    if (cMarks[i] == Mark::file && cFileNumbers.count(static_cast<uint32_t>(i))) {
      index = static_cast<uint32_t>(i);
      return true;
    }
  }
  return false;
}

bool Coff2Cod::findEof(const Coff&, uint32_t& index) const {
  // Files included by this one open and close in between; their ".eof"
  // symbols are not this file's.
  size_t depth = 0;
  for (size_t i = size_t(index) + 1; i < cMarks.size(); ++i) {
    if (cMarks[i] == Mark::file) {
      ++depth;
    } else if (cMarks[i] == Mark::eof) {
      if (depth == 0) {
        index = static_cast<uint32_t>(i);
        return true;
      }
      --depth;
    }
  }
  index = static_cast<uint32_t>(cMarks.size());
  return false;
}

void Coff2Cod::checkListControl(const Coff&, uint32_t start, uint32_t line) {
  // The first ".list" or ".nolist" naming line between start and the next
  // ".file" or ".eof".
  if (start >= cMarks.size()) return;
  const uint32_t stop = cNextStop[start];
  const auto c = std::lower_bound(cListControls.begin(), cListControls.end(),
                                  ListControl{stop, line, start, false});
  if (c != cListControls.end() && c->stop == stop && c->line == line) cListOn = c->on;
}

bool Coff2Cod::hasInclude(const Coff& coff, uint32_t start, uint32_t line, uint32_t& found) const {
  const bool trace = cTraceIncludes;
  if (trace) std::cout << "Coff2Cod::hasInclude() - index=" << start << " line=" << line << "\n";
  // Only the first ".file" or ".eof" at or after start matters: a ".file"
  // included at another line hides the files behind it (its own includes
  // among them).
  if (start >= cMarks.size()) return false;
  const uint32_t at = cNextStop[start];
  if (at >= cMarks.size() || cMarks[at] != Mark::file || !cFileNumbers.count(at)) return false;
  const uint32_t incline = aux_file::decode(coff.cSymbolTbl[at + 1]).x_incline;
  if (incline != line && !(incline == 0 && at == start)) return false;
  if (trace) std::cout << "Coff2Cod::hasInclude() - found index=" << at << " line=" << line << "\n";
  found = at;
  return true;
}

// ------------------------------------------------------------------ listing

bool Coff2Cod::createListFile(const Coff& coff) {
  cListName = listFileName(coff);
  const platform::Activity writing("writing list file", cListName);
  cListFailed = false;
  cListOutput.reset(new replacement::OutputFile(platform::hostPath(cListName)));
  if (!cListOutput->open()) {
    cListOutput.reset();
    std::ostringstream s;
    s << "Could not open list file '" << cListName << "' for writing.";
    reportStream(SevError, kListContext, s, 0);
    return false;
  }
  cListOut.reset(cListOutput->file());
  cTraceIncludes = DebugSwitch("Coff2Cod::hasInclude").isOn();
  markSymbols(coff);
  writeListHeader(true);
  uint32_t index = 0;
  while (!cListFailed && findFile(coff, index)) doNextFile(coff, index);
  if (!cListFailed && !cListOut.flush()) listWriteFailed();
  cListOut.reset(nullptr);

  bool ok = !cListFailed;
  // Only now are the listing's line records known: a COD file they would
  // take past the blocks it can number leaves the old listing as it was.
  if (ok) {
    std::vector<size_t> lineRecords;
    for (const auto& lines : cLineInfoTable) lineRecords.push_back(lines.size());
    ok = checkBlockCount(blockCount(lineRecords));
  }
  // Buffered rows reach the disk only at the close; a listing not written
  // whole leaves the old one as it was.
  if (ok && !cListOutput->close()) {
    std::ostringstream s;
    s << "Could not write list file '" << cListName << "'.";
    reportStream(SevError, kListContext, s, 0);
    ok = false;
  }
  // Put in place by write, with the COD file.
  if (!ok) cListOutput.reset();
  return ok;
}

int Coff2Cod::doNextFile(const Coff& coff, uint32_t& index) {
  if (!findFile(coff, index)) return 1;
  const uint32_t fileIndex = index;
  const uint32_t fileNum = cFileNumbers.at(fileIndex);
  const String name = coff.getName(aux_file::decode(coff.cSymbolTbl[fileIndex + 1]));
  const platform::Activity reading("reading source file", name);

  // The first line is read before a row is written, so a source that
  // cannot be read (a directory, a device, a FIFO, a read that fails at
  // once) is left out with the warning rather than listed empty.
  platform::LineReader source;
  std::string_view text;
  const bool opened = source.open(platform::hostPath(name));
  bool more = opened && source.next(text);
  if (!opened || source.failed()) {
    index = fileIndex + 1;
    std::ostringstream s;
    s << "Could not open source file '" << name
      << "'.\nThis file will not be present in the list file.";
    reportStream(SevWarning, "Coff2Cod::doNextFile()", s, 0);
    return 0;
  }

  const ProcId proc = processorOf(coff);
  const CoreFamily family = procFamily(proc);
  const uint32_t bpw = (procRomWidthBits(proc) + 7) / 8;
  uint8_t skip = 1;

  // This file's line records, walked along with its lines.
  auto record = std::lower_bound(cLine.begin(), cLine.end(), fileIndex,
                                 [](const LstLine& l, uint32_t file) { return l.cFile < file; });
  uint32_t line = 0;
  while (more && !cListFailed) {
    ++line;
    checkListControl(coff, index + 1, line);

    if (cListOn) {
      bool wrote = false;
      while (record != cLine.end() && record->cFile == fileIndex && record->cLineNo < line)
        ++record;
      for (; record != cLine.end() && record->cFile == fileIndex && record->cLineNo == line;
           ++record) {
        const uint32_t address = record->cAddress;
        const LstSection& section = cLineSections[record->cSection];
        const Data* data = section.cData;
        const int64_t dataSize = data ? data->size() : 0;
        const int64_t offset = (int64_t(address) - int64_t(section.cAddress)) * bpw;

        const uint32_t dir = address / (65536 / bpw);
        addLineRecord(dir < cDirectory.size() ? dir : 0, fileNum,
                      wrote ? kLineMoreCode : kLineFirstCode, line,
                      static_cast<uint16_t>(address));
        const uint16_t word = wordAt(data, offset);
        const uint16_t next = offset + 2 < dataSize ? wordAt(data, offset + 2) : 0;

        // The counter runs down over the words an instruction takes; a
        // continuation word shows no text of its own.
        const char* disassembly = "";
        if (skip > 0) --skip;
        if (skip == 0) {
          disassembly = "??? Illegal Opcode";
          if (instIsValid(word, family)) {
            const char* t = instDisassemble(address, word, next, &skip, family);
            if (t) disassembly = t;
          }
        }
        writeCodeRow(address, word, disassembly, wrote ? std::string_view() : text,
                     wrote ? std::string_view() : std::string_view(name));
        wrote = true;
        nextListLine();
      }
      if (!wrote) {
        addLineRecord(0, fileNum, kLineNoCode, line, 0);
        writeSourceRow(text, name);
        nextListLine();
      }
    }

    uint32_t child = 0;
    if (hasInclude(coff, index + 1, line, child)) {
      uint32_t at = child;
      // A file not listed takes its own includes with it: their lines are
      // numbered in that file, not in this one. The nesting is bounded so
      // that a table nested without end cannot exhaust the stack.
      if (cIncludeDepth >= kMaxIncludeDepth) {
        std::ostringstream s;
        s << "Source file '" << coff.getName(aux_file::decode(coff.cSymbolTbl[child + 1]))
          << "' is included more than " << kMaxIncludeDepth
          << " levels deep; it will not be present in the list file.";
        reportStream(SevWarning, "Coff2Cod::doNextFile()", s, 0);
        findEof(coff, at);
      } else {
        ++cIncludeDepth;
        const int listed = doNextFile(coff, at);
        --cIncludeDepth;
        if (!listed) {
          at = child;
          findEof(coff, at);
        }
      }
      index = at;
    }
    if (!cListFailed) more = source.next(text);
  }
  // Rows of the source are written already: a listing cut short at a read
  // that failed is no listing, and the old one stays.
  if (source.failed()) {
    cListFailed = true;
    std::ostringstream s;
    s << "Could not read source file '" << name << "'.";
    reportStream(SevError, "Coff2Cod::doNextFile()", s, 0);
  }

  index = fileIndex;
  findEof(coff, index);
  return 1;
}

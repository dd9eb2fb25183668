// The listing file: every source line beside the addresses, program words
// and disassembly that the line records tie to it, with included files
// expanded in place, ".list"/".nolist" control and page headers. Every row
// and header line also adds a line record to the COD tables.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>
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

String padRight(const String& text, size_t width) {
  return text.size() >= width ? text : text + String(width - text.size(), ' ');
}

String hexDigits(unsigned long value, int width) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*lx", width, value);
  return buf;
}

// One whole line without its end ("\n", or "\r\n" from other hosts);
// false at the end of the file.
bool readSourceLine(FILE* file, String& line) {
  line.clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(file)) != EOF) {
    any = true;
    if (c == '\n') break;
    line.push_back(static_cast<char>(c));
  }
  if (!any) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
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

bool Coff2Cod::put(const String& text) {
  if (cMeasuring) return true;
  if (cListFailed) return false;
  if (std::fwrite(text.data(), 1, text.size(), cListFile) != text.size()) {
    cListFailed = true;
    std::ostringstream s;
    s << "Could not write list file '" << cListName << "'.";
    reportStream(SevError, kListContext, s, 0);
    return false;
  }
  return true;
}

void Coff2Cod::addLineRecord(size_t dir, uint32_t fileNum, uint8_t flags, uint32_t line,
                             uint16_t address) {
  // Left out of the Cod file with a warning (createSourceNames).
  if (fileNum >= LineInfo::kFileNumbers) return;
  if (cMeasuring) {
    ++cLineCounts[dir];
    return;
  }
  cLineInfoTable[dir].push_back(LineInfo(static_cast<uint8_t>(fileNum), flags,
                                         static_cast<int16_t>(line), address));
}

void Coff2Cod::addHeaderLine() { addLineRecord(0, 0, kLineHeader, 1, 0); }

void Coff2Cod::writeListHeader(bool first) {
  if (!cHaveTime && !cMeasuring) {
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

void Coff2Cod::writeRow(const String& address, const String& value, const String& disassembly,
                        const String& source, const String& file) {
  if (cMeasuring) return;
  put(padRight(address, 6) + "   " + padRight(value, 6) + "   " + padRight(disassembly, 24) +
      " " + padRight(source, 80) + " " + file + "\n");
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

Coff2Cod::Mark Coff2Cod::markAt(uint32_t index) const {
  return index < cMarks.size() ? cMarks[index] : Mark::other;
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
  const bool trace = DebugSwitch("Coff2Cod::hasInclude").isOn();
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

bool Coff2Cod::lineRecordBound(const Coff& coff, std::vector<size_t>& bound) const {
  bound.clear();
  for (const auto& lines : cLineInfoTable) bound.push_back(lines.size());
  if (bound.empty()) return false;
  uint64_t lines = 0;
  for (const auto& file : cFileNumbers) {
    const String name = coff.getName(aux_file::decode(coff.cSymbolTbl[file.first + 1]));
    struct stat facts;
    if (::stat(platform::hostPath(name).c_str(), &facts) != 0) continue;  // not listed
    if (!S_ISREG(facts.st_mode)) return false;
    lines += static_cast<uint64_t>(facts.st_size);
  }
  const uint32_t bpw = bytesPerWord(coff);
  uint64_t codeRows = 0;
  for (const auto& file : cLine) {
    for (const auto& line : file.second) {
      for (const LstLine& l : line.second) {
        const uint32_t dir = l.cLine.l_paddr / (65536 / bpw);
        ++bound[dir < bound.size() ? dir : 0];
        ++codeRows;
      }
    }
  }
  const uint64_t rows = lines + codeRows;
  const uint64_t headers = 1 + (cPageLength != 0 ? rows / cPageLength : 0);
  bound[0] += static_cast<size_t>(lines + 8 * headers);
  return true;
}

std::vector<size_t> Coff2Cod::countListingLineRecords(const Coff& coff) {
  markSymbols(coff);
  const bool listOn = cListOn;
  const uint64_t rows = cRowCount;
  cLineCounts.clear();
  for (const auto& lines : cLineInfoTable) cLineCounts.push_back(lines.size());
  cMeasuring = true;
  writeListHeader(true);
  uint32_t index = 0;
  while (findFile(coff, index)) doNextFile(coff, index);
  cMeasuring = false;
  // The listing itself starts from the same state.
  cListOn = listOn;
  cRowCount = rows;
  return cLineCounts;
}

bool Coff2Cod::listingFitsCodFile(const Coff& coff) {
  // Most programs are far from the limit: when even the bound fits, the
  // sources need not be read twice.
  std::vector<size_t> bound;
  if (lineRecordBound(coff, bound) && blockCount(bound) <= kCodMaxBlocks) return true;
  return checkBlockCount(blockCount(countListingLineRecords(coff)));
}

bool Coff2Cod::createListFile(const Coff& coff) {
  cListName = listFileName(coff);
  cListFailed = false;
  cListOutput.reset(new replacement::OutputFile(platform::hostPath(cListName)));
  if (!cListOutput->open()) {
    cListOutput.reset();
    std::ostringstream s;
    s << "Could not open list file '" << cListName << "' for writing.";
    reportStream(SevError, kListContext, s, 0);
    return false;
  }
  cListFile = cListOutput->file();
  markSymbols(coff);
  writeListHeader(true);
  uint32_t index = 0;
  while (!cListFailed && findFile(coff, index)) doNextFile(coff, index);

  bool ok = !cListFailed;
  cListFile = nullptr;
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

  // The source is read whole before a row is written, so one that cannot
  // be read (a directory, a device, a FIFO, a read error part-way) is left
  // out with the warning rather than listed empty or cut short.
  std::vector<unsigned char> sourceBytes;
  FILE* source = nullptr;
  bool readable =
      platform::readWholeFile(platform::hostPath(name), sourceBytes) == platform::readDone;
  if (readable && !sourceBytes.empty()) {
    source = fmemopen(sourceBytes.data(), sourceBytes.size(), "r");
    readable = source != nullptr;
  }
  if (!readable) {
    index = fileIndex + 1;
    if (cMeasuring) return 0;
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

  const auto fileLines = cLine.find(fileIndex);
  String text;
  uint32_t line = 0;
  while (!cListFailed && source && readSourceLine(source, text)) {
    ++line;
    checkListControl(coff, index + 1, line);

    if (cListOn) {
      bool wrote = false;
      if (fileLines != cLine.end()) {
        const auto records = fileLines->second.find(line);
        if (records != fileLines->second.end()) {
          for (const LstLine& l : records->second) {
            const uint32_t address = l.cLine.l_paddr;
            const scnhdr& hdr = coff.cScnHdr.at(l.cScnName);
            const auto raw = coff.cRawData.find(l.cScnName);
            const Data* data = raw == coff.cRawData.end() ? nullptr : &raw->second;
            const int64_t dataSize = data ? data->size() : 0;
            const int64_t offset = (int64_t(address) - int64_t(hdr.s_paddr)) * bpw;

            const uint32_t dir = address / (65536 / bpw);
            addLineRecord(dir < cDirectory.size() ? dir : 0, fileNum,
                          wrote ? kLineMoreCode : kLineFirstCode, line,
                          static_cast<uint16_t>(address));
            if (cMeasuring) {
              wrote = true;
              nextListLine();
              continue;
            }

            const uint16_t word = wordAt(data, offset);
            const uint16_t next = offset + 2 < dataSize ? wordAt(data, offset + 2) : 0;

            // The counter runs down over the words an instruction takes; a
            // continuation word shows no text of its own.
            String disassembly;
            if (skip > 0) --skip;
            if (skip == 0) {
              disassembly = "??? Illegal Opcode";
              if (instIsValid(word, family)) {
                const char* t = instDisassemble(address, word, next, &skip, family);
                if (t) disassembly = t;
              }
            }
            writeRow(hexDigits(address, 6), hexDigits(word, 4), disassembly, wrote ? "" : text,
                     wrote ? "" : name);
            wrote = true;
            nextListLine();
          }
        }
      }
      if (!wrote) {
        addLineRecord(0, fileNum, kLineNoCode, line, 0);
        writeRow("", "", "", text, name);
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
        if (!cMeasuring) {
          std::ostringstream s;
          s << "Source file '" << coff.getName(aux_file::decode(coff.cSymbolTbl[child + 1]))
            << "' is included more than " << kMaxIncludeDepth
            << " levels deep; it will not be present in the list file.";
          reportStream(SevWarning, "Coff2Cod::doNextFile()", s, 0);
        }
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
  }
  if (source) std::fclose(source);

  index = fileIndex;
  findEof(coff, index);
  return 1;
}

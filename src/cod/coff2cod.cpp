#include "coff2cod.h"

#include <algorithm>
#include <iostream>
#include <sstream>

#include "banner.h"
#include "debug.h"
#include "filename.h"
#include "platform.h"
#include "textutil.h"

namespace {

const char* const kInitContext = "Coff2Cod::init()";

replacement::FileIdentity identityOf(const String& name) {
  return replacement::identify(platform::hostPath(name));
}

}  // namespace

// A listing left unfinished is dropped by its owner; the old one stays.
Coff2Cod::~Coff2Cod() = default;

ProcId Coff2Cod::processorOf(const Coff& coff) {
  return procIdFromCoffType(static_cast<uint16_t>(coff.cOptHdr.proc_type & 0xFFFF));
}

uint32_t Coff2Cod::bytesPerWord(const Coff& coff) {
  return (procRomWidthBits(processorOf(coff)) + 7) / 8;
}

String Coff2Cod::codFileName(const Coff& coff) {
  return FileName(coff.cFileName).baseName() + ".cod";
}

String Coff2Cod::listFileName(const Coff& coff) {
  const FileName name(coff.cFileName);
  return name.path() + name.baseName() + ".lst";
}

// Everything that would make the conversion meaningless or destructive is
// refused before any table is built or any file is written.
bool Coff2Cod::checkInput(const Coff& coff, bool noListing) const {
  std::ostringstream s;
  if (coff.cFileHdr.f_opthdr != kOptHdrSize) {
    s << "Coff file '" << coff.cFileName << "' has no optional header; its processor is unknown.";
    reportStream(SevError, kInitContext, s, 0);
    return false;
  }
  const uint16_t code = static_cast<uint16_t>(coff.cOptHdr.proc_type & 0xFFFF);
  if (!procIsKnownCoffType(code)) {
    s << "Coff file '" << coff.cFileName << "' names the unknown processor code "
      << hexString(code, 2) << ".";
    reportStream(SevError, kInitContext, s, 0);
    return false;
  }
  // No output may land on an input or on the other output, through links
  // included.
  const String codName = codFileName(coff);
  const replacement::FileIdentity cod = identityOf(codName);
  const replacement::FileIdentity executable = identityOf(coff.cFileName);
  if (replacement::sameFile(cod, executable)) {
    s << "Cod file '" << codName << "' would overwrite the Coff file '" << coff.cFileName << "'.";
    reportStream(SevError, kInitContext, s, 0);
    return false;
  }
  // Without a listing there is no list file to check, but the COD file
  // still must not land on a source: that would lose the user's text.
  const String listName = noListing ? String() : listFileName(coff);
  const replacement::FileIdentity list = noListing ? replacement::FileIdentity() : identityOf(listName);
  if (!noListing && replacement::sameFile(list, executable)) {
    s << "List file '" << listName << "' would overwrite the Coff file '" << coff.cFileName
      << "'.";
    reportStream(SevError, kInitContext, s, 0);
    return false;
  }
  if (!noListing && replacement::sameFile(cod, list)) {
    s << "Cod file '" << codName << "' would overwrite the List file '" << listName << "'.";
    reportStream(SevError, kInitContext, s, 0);
    return false;
  }
  // The sources are read while the listing is written, and named in the
  // COD file: one of them that is an output would be replaced. Only an
  // existing output can be one.
  if (list.regular || cod.regular) {
    const size_t n = coff.cSymbolTbl.size();
    for (size_t i = 0; i + 1 < n && i + 1 < coff.cAuxKind.size(); ++i) {
      if (coff.isAuxEntry(i) || coff.cAuxKind[i + 1] != auxFile) continue;
      if (syment::decode(coff.cSymbolTbl[i]).n_sclass != kClassFile) continue;
      const String source = coff.getName(aux_file::decode(coff.cSymbolTbl[i + 1]));
      const replacement::FileIdentity read = identityOf(source);
      const bool overList = replacement::sameFile(read, list);
      if (overList || replacement::sameFile(read, cod)) {
        s << (overList ? "List file '" + listName : "Cod file '" + codName)
          << "' would overwrite the source file '" << source << "'.";
        reportStream(SevError, kInitContext, s, 0);
        return false;
      }
    }
  }
  return true;
}

Coff2Cod* Coff2Cod::init(const Coff& coff, uint32_t pageLength, bool noListing) {
  cPageLength = pageLength;
  cRowCount = 0;
  if (!checkInput(coff, noListing)) return nullptr;
  buildLineMap(coff);
  setupDirectory(coff);
  if (!createRawDataAndMemoryMap(coff)) return nullptr;
  createSourceNames(coff);
  createSymbols(coff);
  // The listing adds the line records, and with them blocks: a COD file
  // too large to number leaves no listing. The COD file is opened first, so
  // that a run that cannot write it leaves the old listing too.
  if (!noListing) {
    cCodOutput.reset(new replacement::OutputFile(platform::hostPath(outputName())));
    if (!cCodOutput->open()) {
      std::ostringstream s;
      s << "Could not open Cod file '" << outputName() << "' for writing.";
      reportStream(SevError, "Cod::write()", s, 0);
      return nullptr;
    }
    if (!createListFile(coff)) return nullptr;
  }
  return this;
}

bool Coff2Cod::write() {
  if (!cListOutput) return Cod::write();
  if (!writeInto(*cCodOutput)) return false;
  const replacement::OutputFile* failed =
      replacement::commitAll({cCodOutput.get(), cListOutput.get()});
  if (!failed) {
    // Both in place; a later write is of the COD file alone.
    cListOutput.reset();
    cCodOutput.reset();
    return true;
  }
  if (failed == cCodOutput.get()) {
    reportCommitFailure(*failed);
    return false;
  }
  if (failed) {
    std::ostringstream s;
    s << (failed->inPlace() ? "Could not write list file '" : "Could not replace list file '")
      << cListName << "'.";
    reportStream(SevError, "Coff2Cod::createListFile()", s, 0);
  }
  return false;
}

void Coff2Cod::buildLineMap(const Coff& coff) {
  cLine.clear();
  cLineSections.clear();
  size_t records = 0;
  for (const auto& scn : coff.cScnHdr) {
    if (getScnType(scn.second) != scnCode) continue;
    const auto lines = coff.cLineInfo.find(scn.first);
    if (lines != coff.cLineInfo.end()) records += lines->second.size();
  }
  cLine.reserve(records);
  for (const auto& scn : coff.cScnHdr) {
    if (getScnType(scn.second) != scnCode) continue;
    const auto lines = coff.cLineInfo.find(scn.first);
    if (lines == coff.cLineInfo.end()) continue;
    const auto raw = coff.cRawData.find(scn.first);
    const auto section = static_cast<uint32_t>(cLineSections.size());
    cLineSections.push_back(LstSection{scn.first, scn.second.s_paddr,
                                       raw == coff.cRawData.end() ? nullptr : &raw->second});
    for (const coff_lineno& l : lines->second)
      cLine.push_back(LstLine{l.l_srcndx, l.l_lnno, l.l_paddr, section});
  }
  const auto byFileAndLine = [](const LstLine& a, const LstLine& b) {
    return a.cFile != b.cFile ? a.cFile < b.cFile : a.cLineNo < b.cLineNo;
  };
  // Records mostly come in that order already; sorting them even so would
  // cost more than building the table.
  if (!std::is_sorted(cLine.begin(), cLine.end(), byFileAndLine))
    std::stable_sort(cLine.begin(), cLine.end(), byFileAndLine);
  if (DebugSwitch("Coff2Cod::buildLineMap").isOn()) {
    std::cout << "Coff2Cod::buildLineMap() - Dumping contents of cLine: \n";
    for (const LstLine& l : cLine)
      std::cout << "   srcndx=" << l.cFile << ",  linenum=" << l.cLineNo
                << ",  paddr=" << l.cAddress << ",  secName=" << cLineSections[l.cSection].cName
                << "\n";
  }
}

void Coff2Cod::setupDirectory(const Coff& coff) {
  addDirectory();
  // The full name names the file; only the Source field is cut to 63.
  setOutputName(codFileName(coff));
  Directory& d = cDirectory[0];
  d.setVersion(codConverterVersion());
  d.setNotice(noticeBanner());
  d.setProcessor(procName(processorOf(coff)));
}

bool Coff2Cod::createRawDataAndMemoryMap(const Coff& coff) {
  const uint32_t bpw = bytesPerWord(coff);
  if (cDirectory.empty()) addDirectory();

  std::vector<ScnAddr> sections;
  for (const auto& scn : coff.cScnHdr) {
    const int type = getScnType(scn.second);
    if (type != scnCode && type != scnRomData) continue;
    const auto raw = coff.cRawData.find(scn.first);
    if (raw == coff.cRawData.end() || raw->second.size() == 0) continue;
    sections.emplace_back(scn.first, scn.second.s_paddr);
  }
  // Stable, so sections at one address keep their name order.
  std::stable_sort(sections.begin(), sections.end());

  if (sections.empty()) {
    std::ostringstream s;
    s << "Coff file '" << coff.cFileName
      << "' must contain at least one 'code' or 'romdata' section.";
    reportStream(SevError, "Coff2Cod::createRawDataAndMemoryMap()", s, 0);
    return false;
  }
  // Window numbers are 16 bits: a byte beyond 32 bits has no place.
  for (const ScnAddr& sa : sections) {
    const uint64_t first = uint64_t(sa.cAddress) * bpw;
    if (first + coff.cRawData.at(sa.cName).size() - 1 > 0xFFFFFFFFull) {
      std::ostringstream s;
      s << "Section '" << sa.cName << "' of Coff file '" << coff.cFileName
        << "' lies beyond byte address 0xFFFFFFFF.";
      reportStream(SevError, "Coff2Cod::createRawDataAndMemoryMap()", s, 0);
      return false;
    }
  }

  const bool trace = DebugSwitch("Coff2Cod::createRawDataAndMemoryMap").isOn();
  if (trace) std::cout << "Coff2Cod::createRawDataAndMemoryMap: \n";
  for (const ScnAddr& sa : sections) {
    if (trace) std::cout << "  scnName=" << sa.cName << ", addr=" << sa.cAddress << "\n";
    const Data& data = coff.cRawData.at(sa.cName);
    const uint64_t end = uint64_t(sa.cAddress) * bpw + data.size() - 1;
    uint64_t pos = uint64_t(sa.cAddress) * bpw;
    const unsigned char* src = data.data();
    // A section that crosses a window boundary is cut there; each piece
    // goes into the code blocks and memory map of its own window.
    while (pos <= end) {
      const size_t window = static_cast<size_t>(pos >> 16);
      const uint64_t pieceEnd = std::min<uint64_t>(end, (uint64_t(window) << 16) | 0xFFFF);
      while (cDirectory.size() <= window) addDirectory();

      const uint32_t start = static_cast<uint32_t>(pos & 0xFFFF);
      const uint32_t last = static_cast<uint32_t>(pieceEnd & 0xFFFF);
      // The range ends on the last byte of its program word.
      cMemoryMapList[window].push_back(MemoryMap(static_cast<uint16_t>(start),
                                                 static_cast<uint16_t>(last + (last + 1) % bpw)));

      const unsigned firstBlock = start >> 9;
      const unsigned lastBlock = last >> 9;
      for (unsigned j = firstBlock; j <= lastBlock; ++j) {
        const uint32_t from = j == firstBlock ? start % kCodBlockSize : 0;
        const uint32_t to = j == lastBlock ? last % kCodBlockSize : kCodBlockSize - 1;
        Block& block = codeBlock(window, j);
        std::copy(src, src + (to - from + 1), block.Data + from);
        src += to - from + 1;
      }
      pos = pieceEnd + 1;
    }
  }
  return true;
}

void Coff2Cod::createSourceNames(const Coff& coff) {
  const size_t n = coff.cSymbolTbl.size();
  uint32_t files = 0;
  String firstLeftOut;
  for (size_t i = 0; i < n; ++i) {
    if (coff.isAuxEntry(i)) continue;
    const syment s = syment::decode(coff.cSymbolTbl[i]);
    // Only a file symbol with its file entry names a source.
    if (s.n_sclass != kClassFile || i + 1 >= n || i + 1 >= coff.cAuxKind.size() ||
        coff.cAuxKind[i + 1] != auxFile)
      continue;
    const String name = coff.getName(aux_file::decode(coff.cSymbolTbl[i + 1]));
    // A line record names its file in one byte: a file numbered beyond it
    // is still listed, but gets no source name and no line records.
    const uint32_t number = files++;
    cFileNumbers[static_cast<uint32_t>(i)] = number;
    if (number < LineInfo::kFileNumbers)
      appendSourceName(name);
    else if (number == LineInfo::kFileNumbers)
      firstLeftOut = name;
  }
  if (files > LineInfo::kFileNumbers) {
    const size_t limit = LineInfo::kFileNumbers;
    std::ostringstream s;
    s << "Coff file '" << coff.cFileName << "' names " << files << " source files; a Cod file "
      << "numbers at most " << limit << ", so the " << files - limit << " from '" << firstLeftOut
      << "' on get no source name and no line records.";
    reportStream(SevWarning, "Coff2Cod::createSourceNames()", s, 0);
  }
}

void Coff2Cod::createSymbols(const Coff& coff) {
  const size_t n = coff.cSymbolTbl.size();
  for (size_t i = 0; i < n; ++i) {
    if (coff.isAuxEntry(i)) continue;
    const syment s = syment::decode(coff.cSymbolTbl[i]);
    if (s.n_sclass != kClassExternal && s.n_sclass != kClassStatic && s.n_sclass != kClassLabel)
      continue;
    if (s.n_scnum < 1) continue;
    const String name = coff.getName(s);
    const auto num = coff.cScnNum.find(s.n_scnum);
    const auto hdr = num == coff.cScnNum.end() ? coff.cScnHdr.end() : coff.cScnHdr.find(num->second);
    if (hdr == coff.cScnHdr.end()) {
      std::ostringstream w;
      w << "Symbol '" << name << "' names section number " << s.n_scnum
        << ", which Coff file '" << coff.cFileName << "' does not have; it is left out.";
      reportStream(SevWarning, "Coff2Cod::createSymbols()", w, 0);
      continue;
    }
    const int type = getScnType(hdr->second);
    const uint8_t code =
        (type == scnCode || type == scnRomData) ? codTypeAddress : codTypeConstant;
    appendSymbol(name, code, s.n_value);
    appendLongSymbol(name, code, s.n_value);
  }
}

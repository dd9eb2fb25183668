#include "mapfile.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "banner.h"
#include "debug.h"
#include "devtab.h"
#include "platform.h"
#include "textutil.h"

namespace {

// printf into the end of out; a field wider than its width is written whole.
void appendf(String& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(String& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, again);
    out.append(buffer.data(), static_cast<size_t>(length));
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

bool isAuxRecord(const Coff& output, size_t index) {
  return index < output.cAuxKind.size() && output.cAuxKind[index] != auxNone;
}

const char* kDash = "---------";

void sectionRow(String& out, const String& a, const String& b, const String& c, const String& d,
                const String& e) {
  appendf(out, "%25s %10s %10s %10s %10s\n", a.c_str(), b.c_str(), c.c_str(), d.c_str(),
          e.c_str());
}

void usageRow(String& out, const String& start, const String& end) {
  appendf(out, "                          %10s  %10s      \n", start.c_str(), end.c_str());
}

void symbolRow(String& out, const String& a, const String& b, const String& c, const String& d,
               const String& e) {
  appendf(out, "%25s %10s %10s %10s %-25s\n", a.c_str(), b.c_str(), c.c_str(), d.c_str(),
          e.c_str());
}

// A map lists every symbol twice, so its rows are formatted by hand rather
// than through printf: the same text as "%25s %10s %10s %10s %-25s\n" with
// the address as hex3 gives it (a text is cut at a NUL, as %s would cut it).
char* putLeft(char* p, const char* text, size_t length, size_t width) {
  if (length < width) {
    std::memset(p, ' ', width - length);
    p += width - length;
  }
  std::memcpy(p, text, length);
  return p + length;
}

void appendSymbolRow(String& out, const SymbolInfo& s, const String& location,
                     const String& storage) {
  static const char digits[] = "0123456789abcdef";
  const size_t nameLength = std::strlen(s.cName.c_str());
  const size_t fileLength = std::strlen(s.cFile.c_str());
  const size_t locationLength = std::strlen(location.c_str());
  const size_t storageLength = std::strlen(storage.c_str());
  const size_t size = std::max<size_t>(nameLength, 25) + 1 + 10 + 1 +
                      std::max<size_t>(locationLength, 10) + 1 +
                      std::max<size_t>(storageLength, 10) + 1 + std::max<size_t>(fileLength, 25) +
                      1;
  const size_t at = out.size();
  out.resize(at + size);
  char* p = &out[at];
  p = putLeft(p, s.cName.c_str(), nameLength, 25);
  std::memcpy(p, "   0x", 5);  // the separator, then %10s of the 8-character hex3
  p += 5;
  for (int i = 0; i < 6; ++i) *p++ = digits[(s.cAddress >> (20 - 4 * i)) & 0xFu];
  *p++ = ' ';
  p = putLeft(p, location.c_str(), locationLength, 10);
  *p++ = ' ';
  p = putLeft(p, storage.c_str(), storageLength, 10);
  *p++ = ' ';
  std::memcpy(p, s.cFile.c_str(), fileLength);
  p += fileLength;
  if (fileLength < 25) {
    std::memset(p, ' ', 25 - fileLength);
    p += 25 - fileLength;
  }
  *p = '\n';
}

void symbolTable(String& out, const char* title, const std::vector<SymbolInfo>& prog,
                 const std::vector<SymbolInfo>& data) {
  appendf(out, "\n%30s%s\n", "", title);
  symbolRow(out, "Name", "Address", "Location", "Storage", "File");
  symbolRow(out, kDash, kDash, kDash, kDash, kDash);
  const String locations[] = {MapFile::locationText(0), MapFile::locationText(1)};
  const String storages[] = {MapFile::storageText(0), MapFile::storageText(1)};
  for (const std::vector<SymbolInfo>* list : {&prog, &data})
    for (const SymbolInfo& s : *list) {
      if ((s.cLocation == 0 || s.cLocation == 1) && (s.cStorageClass == 0 || s.cStorageClass == 1))
        appendSymbolRow(out, s, locations[int(s.cLocation)], storages[int(s.cStorageClass)]);
      else
        appendSymbolRow(out, s, MapFile::locationText(s.cLocation),
                        MapFile::storageText(s.cStorageClass));
    }
  out += "\n\n";
}

// stable_sort of rows by less, moving each row once: the sort works on
// positions, so it never copies the rows' strings.
template <class Row, class Less>
void stableSortRows(std::vector<Row>& rows, Less less) {
  std::vector<uint32_t> order(rows.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&rows, less](uint32_t a, uint32_t b) { return less(rows[a], rows[b]); });
  std::vector<Row> sorted;
  sorted.reserve(rows.size());
  for (uint32_t i : order) sorted.push_back(std::move(rows[i]));
  rows.swap(sorted);
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

String MapFile::compose(const Coff& output, uint64_t programSize, const String& created) {
  const uint32_t bpw = bytesPerProgramWord(output);
  String out;
  appendf(out, "%s", linkerBanner());
  appendf(out, "\nLinker Map File - Created %s", created.c_str());

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

  appendf(out, "\n%33s%s\n", "", "Section Info");
  sectionRow(out, "Section", "Type", "Address", "Location", "Size(Bytes)");
  sectionRow(out, kDash, kDash, kDash, kDash, kDash);
  for (const std::vector<SectionInfo>* list : {&progScns, &dataScns})
    for (const SectionInfo& s : *list)
      sectionRow(out, s.cName, typeText(s.cType), hex3(s.cAddress), locationText(s.cLocation),
                 hex3(s.cSize));
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

  // Symbols, each with the innermost source file open at its place.
  std::vector<SymbolInfo> progSyms, dataSyms;
  std::vector<String> files;
  for (size_t i = 0; i < output.cSymbolTbl.size(); ++i) {
    if (isAuxRecord(output, i)) continue;
    const syment sym = syment::decode(output.cSymbolTbl[i]);
    const String name = output.getName(sym);
    if (name == ".file") {
      String source;
      if (i + 1 < output.cSymbolTbl.size() && i + 1 < output.cAuxKind.size() &&
          output.cAuxKind[i + 1] == auxFile)
        source = output.getName(aux_file::decode(output.cSymbolTbl[i + 1]));
      files.push_back(source);
    } else if (name == ".eof") {
      if (!files.empty()) files.pop_back();
    }
    if (sym.n_scnum >= 1 && (sym.n_sclass == kClassExternal || sym.n_sclass == kClassStatic ||
                             sym.n_sclass == kClassLabel)) {
      const scnhdr* h = headerOfNumber(output, sym.n_scnum);
      const char location = h ? locationOfType(getScnType(*h)) : 0;
      SymbolInfo row(name, sym.n_value, location, sym.n_sclass == kClassExternal ? 0 : 1,
                     isFunction(sym) ? 0 : 1, files.empty() ? String() : files.back());
      (location == 0 ? progSyms : dataSyms).push_back(row);
    }
  }
  stableSortRows(progSyms, SymbolInfo::compareName);
  stableSortRows(dataSyms, SymbolInfo::compareName);
  traceRows(progSyms, dataSyms);
  out.reserve(out.size() + 2 * (progSyms.size() + dataSyms.size()) * 96);
  symbolTable(out, "Symbols - Sorted by Name", progSyms, dataSyms);

  stableSortRows(progSyms, SymbolInfo::compareAddress);
  stableSortRows(dataSyms, SymbolInfo::compareAddress);
  traceRows(progSyms, dataSyms);
  symbolTable(out, "Symbols - Sorted by Address", progSyms, dataSyms);
  return out;
}

int MapFile::write(const String& name, const Coff& output, uint64_t programSize) {
  // The text is composed first, so a failure while writing is one failed
  // write, reported once.
  const String text = compose(output, programSize, platform::ctimeText(platform::now()));
  std::FILE* file = std::fopen(platform::hostPath(name).c_str(), "w");
  if (!file) {
    reportMessage(SevError, "MapFile::write()",
                  "Could not open map file '" + name + "' for writing.", 0);
    return 0;
  }
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  written = std::fflush(file) == 0 && written;
  written = std::fclose(file) == 0 && written;
  if (!written) {
    reportMessage(SevError, "MapFile::write()", "Could not write map file '" + name + "'.", 0);
    return 0;
  }
  return 1;
}

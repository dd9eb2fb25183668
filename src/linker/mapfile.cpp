#include "mapfile.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
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

void appendSymbolRow(String& out, const String& name, uint32_t address, const String& file,
                     const String& location, const String& storage) {
  static const char digits[] = "0123456789abcdef";
  const size_t nameLength = std::strlen(name.c_str());
  const size_t fileLength = std::strlen(file.c_str());
  const size_t locationLength = std::strlen(location.c_str());
  const size_t storageLength = std::strlen(storage.c_str());
  const size_t size = std::max<size_t>(nameLength, 25) + 1 + 10 + 1 +
                      std::max<size_t>(locationLength, 10) + 1 +
                      std::max<size_t>(storageLength, 10) + 1 + std::max<size_t>(fileLength, 25) +
                      1;
  const size_t at = out.size();
  out.resize(at + size);
  char* p = &out[at];
  p = putLeft(p, name.c_str(), nameLength, 25);
  std::memcpy(p, "   0x", 5);  // the separator, then %10s of the 8-character hex3
  p += 5;
  for (int i = 0; i < 6; ++i) *p++ = digits[(address >> (20 - 4 * i)) & 0xFu];
  *p++ = ' ';
  p = putLeft(p, location.c_str(), locationLength, 10);
  *p++ = ' ';
  p = putLeft(p, storage.c_str(), storageLength, 10);
  *p++ = ' ';
  std::memcpy(p, file.c_str(), fileLength);
  p += fileLength;
  if (fileLength < 25) {
    std::memset(p, ' ', 25 - fileLength);
    p += 25 - fileLength;
  }
  *p = '\n';
}

// A symbol row by reference: the name and the source file stay where they
// are (the output's string table, or the lists compose keeps), and the
// first sixteen bytes of the name, big-endian and zero-padded, order rows
// as the names do wherever they differ.
struct SymbolRow {
  const String* name;
  const String* file;
  uint64_t key0;
  uint64_t key1;
  uint32_t address;
  char location;
  char storageClass;
  char kind;
};

uint64_t nameKey(const String& text, size_t from) {
  uint64_t key = 0;
  for (size_t i = from; i < from + 8; ++i)
    key = (key << 8) | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
  return key;
}

bool rowNameLess(const SymbolRow& a, const SymbolRow& b) {
  if (a.key0 != b.key0) return a.key0 < b.key0;
  if (a.key1 != b.key1) return a.key1 < b.key1;
  return *a.name < *b.name;
}

void symbolTable(String& out, const char* title, const std::vector<SymbolRow>& rows,
                 const std::vector<uint32_t>& prog, const std::vector<uint32_t>& data) {
  appendf(out, "\n%30s%s\n", "", title);
  symbolRow(out, "Name", "Address", "Location", "Storage", "File");
  symbolRow(out, kDash, kDash, kDash, kDash, kDash);
  const String locations[] = {MapFile::locationText(0), MapFile::locationText(1)};
  const String storages[] = {MapFile::storageText(0), MapFile::storageText(1)};
  for (const std::vector<uint32_t>* list : {&prog, &data})
    for (uint32_t i : *list) {
      const SymbolRow& s = rows[i];
      if ((s.location == 0 || s.location == 1) && (s.storageClass == 0 || s.storageClass == 1))
        appendSymbolRow(out, *s.name, s.address, *s.file, locations[int(s.location)],
                        storages[int(s.storageClass)]);
      else
        appendSymbolRow(out, *s.name, s.address, *s.file, MapFile::locationText(s.location),
                        MapFile::storageText(s.storageClass));
    }
  out += "\n\n";
}

// Stable sorts of row positions, the rows themselves never moving.
template <class Row, class Less>
void stableSortOrder(const std::vector<Row>& rows, std::vector<uint32_t>& order, Less less) {
  std::stable_sort(order.begin(), order.end(),
                   [&rows, less](uint32_t a, uint32_t b) { return less(rows[a], rows[b]); });
}

void traceSymbols(const std::vector<SymbolRow>& rows, const std::vector<uint32_t>& prog,
                  const std::vector<uint32_t>& data) {
  static const DebugSwitch trace("MapFile::write");
  if (!trace.isOn()) return;
  for (const std::vector<uint32_t>* list : {&prog, &data})
    for (uint32_t i : *list) {
      const SymbolRow& r = rows[i];
      SymbolInfo(*r.name, r.address, r.location, r.storageClass, r.kind, *r.file).print(std::cout);
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
  std::vector<SymbolRow> rows;
  std::vector<uint32_t> progSyms, dataSyms;
  std::deque<String> shortNames;  // names spelt out of their records
  std::deque<String> sources;     // every source file named, in order
  std::vector<const String*> files;
  const String noFile;
  String scratch;
  // Long names through a flat copy of the string table's index rather than
  // node by node; a name the table lacks goes the usual way, to its report.
  std::vector<std::pair<uint32_t, const String*>> strings;
  strings.reserve(output.cStringTbl.size());
  for (const auto& entry : output.cStringTbl) strings.emplace_back(entry.first, &entry.second);
  auto nameOf = [&](const syment& sym) -> const String& {
    if (hasLongName(sym)) {
      const uint32_t offset = sym.n_offset();
      auto it = std::lower_bound(
          strings.begin(), strings.end(), offset,
          [](const std::pair<uint32_t, const String*>& e, uint32_t o) { return e.first < o; });
      if (it != strings.end() && it->first == offset) return *it->second;
    }
    return output.nameRef(sym, scratch);
  };
  for (size_t i = 0; i < output.cSymbolTbl.size(); ++i) {
    if (isAuxRecord(output, i)) continue;
    const syment sym = syment::decode(output.cSymbolTbl[i]);
    const String* name = &nameOf(sym);
    if (name == &scratch) {
      shortNames.push_back(std::move(scratch));
      name = &shortNames.back();
    }
    if (*name == ".file") {
      String source;
      if (i + 1 < output.cSymbolTbl.size() && i + 1 < output.cAuxKind.size() &&
          output.cAuxKind[i + 1] == auxFile)
        source = output.getName(aux_file::decode(output.cSymbolTbl[i + 1]));
      sources.push_back(std::move(source));
      files.push_back(&sources.back());
    } else if (*name == ".eof") {
      if (!files.empty()) files.pop_back();
    }
    if (sym.n_scnum >= 1 && (sym.n_sclass == kClassExternal || sym.n_sclass == kClassStatic ||
                             sym.n_sclass == kClassLabel)) {
      const char location =
          size_t(sym.n_scnum) < locationOfNumber.size() ? locationOfNumber[size_t(sym.n_scnum)] : 0;
      (location == 0 ? progSyms : dataSyms).push_back(static_cast<uint32_t>(rows.size()));
      rows.push_back({name, files.empty() ? &noFile : files.back(), nameKey(*name, 0),
                      nameKey(*name, 8), sym.n_value, location,
                      static_cast<char>(sym.n_sclass == kClassExternal ? 0 : 1),
                      static_cast<char>(isFunction(sym) ? 0 : 1)});
    }
  }
  stableSortOrder(rows, progSyms, rowNameLess);
  stableSortOrder(rows, dataSyms, rowNameLess);
  traceSymbols(rows, progSyms, dataSyms);
  out.reserve(out.size() + 2 * rows.size() * 96);
  symbolTable(out, "Symbols - Sorted by Name", rows, progSyms, dataSyms);

  auto addressLess = [](const SymbolRow& a, const SymbolRow& b) { return a.address < b.address; };
  stableSortOrder(rows, progSyms, addressLess);
  stableSortOrder(rows, dataSyms, addressLess);
  traceSymbols(rows, progSyms, dataSyms);
  symbolTable(out, "Symbols - Sorted by Address", rows, progSyms, dataSyms);
  return out;
}

int MapFile::write(const String& name, const Coff& output, uint64_t programSize) {
  // The text is composed first, so a failure while writing is one failed
  // write, reported once.
  return writeText(name, compose(output, programSize, platform::ctimeText(platform::now())),
                   "MapFile::write()");
}

int MapFile::writeText(const String& name, const String& text, const char* context) {
  std::FILE* file = std::fopen(platform::hostPath(name).c_str(), "w");
  if (!file) {
    reportMessage(SevError, context, "Could not open map file '" + name + "' for writing.", 0);
    return 0;
  }
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  written = std::fflush(file) == 0 && written;
  written = std::fclose(file) == 0 && written;
  if (!written) {
    reportMessage(SevError, context, "Could not write map file '" + name + "'.", 0);
    return 0;
  }
  return 1;
}

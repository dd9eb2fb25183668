// Symbol and line relocation, and the merged string table.
//
// Values in the inputs are relative to each section as its file assembled
// it; after placement they become absolute in the input Coff objects
// themselves, so that resolution, patching and output building all read
// final addresses.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "linker.h"
#include "platform.h"

namespace {

// The first eight bytes of text, big-endian, zero-padded: ordering by it
// agrees with the byte order of the strings wherever the keys differ.
uint64_t prefixKey(const String& text) {
  uint64_t key = 0;
  for (std::size_t i = 0; i < 8; ++i)
    key = (key << 8) | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
  return key;
}

// Relocation deltas of one input, by section number: the load start of the
// file's piece minus the address the file assembled the section at. One
// table per file keeps the symbol walk a single pass.
class ScnDeltas {
 public:
  void set(int scnum, uint32_t delta) {
    if (scnum < 1 || scnum > kMaxScnum) return;  // no symbol can name it
    if (static_cast<std::size_t>(scnum) >= cDelta.size()) {
      cDelta.resize(static_cast<std::size_t>(scnum) + 1, 0);
      cKnown.resize(static_cast<std::size_t>(scnum) + 1, false);
    }
    cDelta[static_cast<std::size_t>(scnum)] = delta;
    cKnown[static_cast<std::size_t>(scnum)] = true;
  }
  bool get(int scnum, uint32_t& delta) const {
    if (scnum < 1 || static_cast<std::size_t>(scnum) >= cDelta.size()) return false;
    if (!cKnown[static_cast<std::size_t>(scnum)]) return false;
    delta = cDelta[static_cast<std::size_t>(scnum)];
    return true;
  }

 private:
  static constexpr int kMaxScnum = 0x7FFF;  // n_scnum is 16-bit signed
  std::vector<uint32_t> cDelta;
  std::vector<bool> cKnown;
};

bool isAuxRecord(const Coff& coff, std::size_t i) {
  return i < coff.cAuxKind.size() && coff.cAuxKind[i] != auxNone;
}

}  // namespace

int Linker::relocateSymbols(String&) {
  for (std::size_t f = 0; f < cCoff.size(); ++f) {
    Coff& coff = *cCoff[f];
    ScnDeltas deltas;
    for (const auto& scn : coff.cScnNum) {
      const String& name = scn.second;
      auto hdr = coff.cScnHdr.find(name);
      auto mem = cScnMem.find(name);
      TOOL_ASSERT(hdr != coff.cScnHdr.end());
      TOOL_ASSERT(mem != cScnMem.end() && mem->second);
      if (hdr == coff.cScnHdr.end() || mem == cScnMem.end() || !mem->second) continue;
      deltas.set(scn.first, mem->second->getLoadStart(f, name) - hdr->second.s_paddr);
    }
    // Entries are told from symbols by the file's own pairing, never by
    // n_numaux, which a damaged or unusual file may set to anything.
    for (std::size_t i = 0; i < coff.cSymbolTbl.size(); ++i) {
      if (isAuxRecord(coff, i)) continue;
      syment sym = syment::decode(coff.cSymbolTbl[i]);
      uint32_t delta = 0;
      if (!isRelocatable(sym) || !deltas.get(sym.n_scnum, delta)) continue;
      sym.n_value += delta;
      sym.encode(coff.cSymbolTbl[i]);
    }
  }
  return 1;
}

int Linker::relocateLineInfo(String&) {
  for (std::size_t f = 0; f < cCoff.size(); ++f) {
    Coff& coff = *cCoff[f];
    for (const auto& scn : coff.cScnNum) {
      const String& name = scn.second;
      auto type = cScnType.find(name);
      if (type == cScnType.end() || type->second != scnCode) continue;
      auto lines = coff.cLineInfo.find(name);
      if (lines == coff.cLineInfo.end()) continue;
      auto hdr = coff.cScnHdr.find(name);
      auto mem = cScnMem.find(name);
      TOOL_ASSERT(hdr != coff.cScnHdr.end());
      TOOL_ASSERT(mem != cScnMem.end() && mem->second);
      if (hdr == coff.cScnHdr.end() || mem == cScnMem.end() || !mem->second) continue;
      const uint32_t delta = mem->second->getLoadStart(f, name) - hdr->second.s_paddr;
      for (coff_lineno& line : lines->second) line.l_paddr += delta;
    }
  }
  return 1;
}

int Linker::mergeStringTbls(String&) {
  // Duplicates dropped through a hash set, then sorted once instead of an
  // insert per string into a tree: the same ascending byte order. The sort
  // compares the first eight bytes as one number and the rest only on a tie.
  std::unordered_set<String> unique;
  for (const auto& coff : cCoff)
    for (const auto& entry : coff->cStringTbl) unique.insert(entry.second);
  std::vector<std::pair<uint64_t, const String*>> strings;
  strings.reserve(unique.size());
  for (const String& text : unique) strings.emplace_back(prefixKey(text), &text);
  std::sort(strings.begin(), strings.end(),
            [](const std::pair<uint64_t, const String*>& a,
               const std::pair<uint64_t, const String*>& b) {
              return a.first != b.first ? a.first < b.first : *a.second < *b.second;
            });

  // Ascending byte order, each string followed by its zero, from offset 4.
  std::unordered_map<String, uint32_t> offsets;
  offsets.reserve(strings.size());
  cOutput.cStringTbl.clear();
  uint64_t offset = 4;
  for (const auto& sorted : strings) {
    const String* text = sorted.second;
    TOOL_ASSERT(offset + text->size() + 1 <= UINT32_MAX);
    cOutput.cStringTbl.emplace_hint(cOutput.cStringTbl.end(), static_cast<uint32_t>(offset),
                                    *text);
    offsets.emplace(*text, static_cast<uint32_t>(offset));
    offset += text->size() + 1;
  }
  for (auto& coff : cCoff) replaceStringTbl(*coff, offsets);
  return 1;
}

void Linker::replaceStringTbl(Coff& coff, const std::unordered_map<String, uint32_t>& offsets) {
  // A name the merged table lacks cannot occur: every string of every
  // input went into it. getName has already reported a name the file's own
  // table lacks.
  auto newOffset = [&offsets](const String& name, uint32_t& offset) {
    auto it = offsets.find(name);
    if (it == offsets.end()) return false;
    offset = it->second;
    return true;
  };
  // Each of the file's own offsets with its merged one, looked up once per
  // string rather than once per name that uses it; an offset the file's
  // table lacks takes the slow way, through getName and its report.
  std::vector<std::pair<uint32_t, uint32_t>> moved;
  moved.reserve(coff.cStringTbl.size());
  std::map<uint32_t, String> own;
  uint32_t offset = 0;
  for (const auto& entry : coff.cStringTbl)
    if (newOffset(entry.second, offset)) {
      moved.emplace_back(entry.first, offset);
      own.emplace(offset, entry.second);
    }
  auto movedOffset = [&moved](uint32_t old, uint32_t& offset) {
    auto it = std::lower_bound(moved.begin(), moved.end(), std::make_pair(old, uint32_t{0}));
    if (it == moved.end() || it->first != old) return false;
    offset = it->second;
    return true;
  };
  for (auto& entry : coff.cScnHdr) {
    scnhdr& h = entry.second;
    if (!hasLongName(h)) continue;
    if (movedOffset(h.s_offset(), offset) || newOffset(coff.getName(h), offset))
      h.set_s_offset(offset);
  }
  for (std::size_t i = 0; i < coff.cSymbolTbl.size(); ++i) {
    SymRecord& rec = coff.cSymbolTbl[i];
    if (isAuxRecord(coff, i)) {
      // Source file entries are found by their pairing, so a ".file"
      // without an entry leaves the record after it alone.
      if (coff.cAuxKind[i] != auxFile) continue;
      aux_file aux = aux_file::decode(rec);
      if (newOffset(coff.getName(aux), offset)) {
        aux.x_offset = offset;
        aux.encode(rec);
      }
      continue;
    }
    syment sym = syment::decode(rec);
    if (!hasLongName(sym)) continue;
    if (movedOffset(sym.n_offset(), offset) || newOffset(coff.getName(sym), offset)) {
      sym.set_n_offset(offset);
      sym.encode(rec);
    }
  }
  coff.cStringTbl.swap(own);
}

// Symbol and line relocation, and the merged string table.
//
// Values in the inputs are relative to each section as its file assembled
// it; after placement they become absolute in the input Coff objects
// themselves, so that resolution, patching and output building all read
// final addresses.
#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "linker.h"
#include "platform.h"

namespace {

// Eight bytes of text from from, big-endian, zero-padded: ordering by the
// keys agrees with the byte order of the strings wherever the keys differ.
uint64_t prefixKey(std::string_view text, std::size_t from) {
  uint64_t key = 0;
  for (std::size_t i = from; i < from + 8; ++i)
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
  // Every distinct string once, through a hash of views into the inputs'
  // own tables (no copies), each input remembering which of them its
  // entries are; then one sort into ascending byte order, comparing the
  // first sixteen bytes as two numbers and the rest only on a tie.
  std::size_t entries = 0;
  for (const auto& coff : cCoff) entries += coff->cStringTbl.size();
  MergedOffsets ids;  // text -> id, later -> offset
  ids.reserve(entries);
  std::vector<std::string_view> texts;  // by id
  std::vector<uint32_t> entryIds;        // every input's entries, in table order
  entryIds.reserve(entries);
  for (const auto& coff : cCoff)
    for (const auto& entry : coff->cStringTbl) {
      const auto id = ids.emplace(entry.second, static_cast<uint32_t>(texts.size()));
      if (id.second) texts.push_back(entry.second);
      entryIds.push_back(*id.first);
    }
  struct Sorted {
    uint64_t key0;
    uint64_t key1;
    uint32_t id;
  };
  std::vector<Sorted> strings;
  strings.reserve(texts.size());
  for (uint32_t id = 0; id < texts.size(); ++id)
    strings.push_back({prefixKey(texts[id], 0), prefixKey(texts[id], 8), id});
  std::sort(strings.begin(), strings.end(), [&texts](const Sorted& a, const Sorted& b) {
    if (a.key0 != b.key0) return a.key0 < b.key0;
    if (a.key1 != b.key1) return a.key1 < b.key1;
    return texts[a.id] < texts[b.id];
  });

  // Ascending byte order, each string followed by its zero, from offset 4.
  std::vector<uint32_t> offsetOf(texts.size());
  cOutput.cStringTbl.clear();
  uint64_t offset = 4;
  for (const Sorted& sorted : strings) {
    const std::string_view text = texts[sorted.id];
    TOOL_ASSERT(offset + text.size() + 1 <= UINT32_MAX);
    cOutput.cStringTbl.emplace_hint(cOutput.cStringTbl.end(), static_cast<uint32_t>(offset),
                                    String(text));
    offsetOf[sorted.id] = static_cast<uint32_t>(offset);
    offset += text.size() + 1;
  }
  ids.forEach([&offsetOf](std::string_view, uint32_t& id) { id = offsetOf[id]; });
  for (uint32_t& id : entryIds) id = offsetOf[id];
  std::size_t first = 0;
  for (auto& coff : cCoff) {
    const std::size_t count = coff->cStringTbl.size();
    replaceStringTbl(*coff, entryIds.data() + first, ids);
    first += count;
  }
  return 1;
}

void Linker::replaceStringTbl(Coff& coff, const uint32_t* merged, const MergedOffsets& offsets) {
  // A name the merged table lacks cannot occur: every string of every
  // input went into it. getName has already reported a name the file's own
  // table lacks.
  auto newOffset = [&offsets](const String& name, uint32_t& offset) {
    const uint32_t* found = offsets.find(name);
    if (!found) return false;
    offset = *found;
    return true;
  };
  // Each of the file's own offsets with its merged one, in the table's
  // order; an offset the file's table lacks takes the slow way, through
  // getName and its report.
  std::vector<std::pair<uint32_t, uint32_t>> moved;
  moved.reserve(coff.cStringTbl.size());
  for (const auto& entry : coff.cStringTbl) moved.emplace_back(entry.first, *merged++);
  auto movedOffset = [&moved](uint32_t old, uint32_t& offset) {
    auto it = std::lower_bound(moved.begin(), moved.end(), std::make_pair(old, uint32_t{0}));
    if (it == moved.end() || it->first != old) return false;
    offset = it->second;
    return true;
  };
  uint32_t offset = 0;
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
      if (movedOffset(aux.x_offset, offset) || newOffset(coff.getName(aux), offset)) {
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
  // The file's strings move under their merged offsets without being
  // copied; of two equal strings the first stays.
  std::map<uint32_t, String> own;
  for (const auto& m : moved) {
    auto node = coff.cStringTbl.extract(m.first);
    node.key() = m.second;
    own.insert(std::move(node));
  }
  coff.cStringTbl.swap(own);
}

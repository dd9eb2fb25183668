// Symbol and line relocation, and the merged string table.
//
// Values in the inputs are relative to each section as its file assembled
// it; after placement they become absolute in the input Coff objects
// themselves, so that resolution, patching and output building all read
// final addresses.
#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "linker.h"
#include "platform.h"

namespace {

// Eight bytes as one big-endian number.
uint64_t bigEndian64(const unsigned char* p) {
  return uint64_t{p[0]} << 56 | uint64_t{p[1]} << 48 | uint64_t{p[2]} << 40 | uint64_t{p[3]} << 32 |
         uint64_t{p[4]} << 24 | uint64_t{p[5]} << 16 | uint64_t{p[6]} << 8 | uint64_t{p[7]};
}

// A text's first sixteen bytes as two big-endian numbers, zero-padded, and
// its length: wherever the numbers differ they order texts as their bytes
// do, and texts of at most sixteen bytes are equal exactly when all three
// are.
struct Prefix {
  uint64_t key0 = 0;
  uint64_t key1 = 0;
  std::size_t size = 0;
  bool operator==(const Prefix& o) const {
    return key0 == o.key0 && key1 == o.key1 && size == o.size;
  }
};

Prefix prefixOf(const String& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  Prefix prefix;
  prefix.size = size;
  if (size >= 16) {
    prefix.key0 = bigEndian64(p);
    prefix.key1 = bigEndian64(p + 8);
  } else if (size > 8) {
    // The last eight bytes, moved up over the ones key0 already has.
    prefix.key0 = bigEndian64(p);
    prefix.key1 = bigEndian64(p + size - 8) << (8 * (16 - size));
  } else {
    unsigned char bytes[8] = {};
    std::memcpy(bytes, p, size);
    prefix.key0 = bigEndian64(bytes);
  }
  return prefix;
}

// The distinct strings of all inputs, found through a hash of pointers to
// the inputs' own strings (no copies). Open addressing: each slot keeps the
// low half of its string's hash, which passes over most other strings
// without comparing them and places them again when the table grows, and
// the string's id + 1 (0 for a free slot). Strings are compared by their
// prefixes first, which lie together, and only a longer one's rest is
// looked up in its input.
class DistinctStrings {
 public:
  // Room for about expected strings before the table first grows.
  explicit DistinctStrings(std::size_t expected) {
    std::size_t capacity = 16;
    while (capacity < expected) capacity *= 2;
    cSlots.resize(capacity);
    cTexts.reserve(expected);
    cPrefixes.reserve(expected);
  }

  // Asks for the slot a lookup of hash starts at.
  void prefetchSlot(std::size_t hash) const { __builtin_prefetch(&cSlots[hash & mask()]); }
  // Asks for the prefix a lookup of hash will most likely compare with.
  void prefetchCandidate(std::size_t hash) const {
    const auto tag = static_cast<uint32_t>(hash);
    for (std::size_t i = tag & mask(); cSlots[i].idPlus1 != 0; i = (i + 1) & mask())
      if (cSlots[i].tag == tag) {
        __builtin_prefetch(&cPrefixes[cSlots[i].idPlus1 - 1]);
        return;
      }
  }

  // The id of text (whose hash and prefix are given) and true when it is
  // new: ids count from 0 in order of first appearance.
  std::pair<uint32_t, bool> insert(const String& text, std::size_t hash, const Prefix& prefix) {
    if ((cTexts.size() + 1) * 2 > cSlots.size()) grow();
    const auto tag = static_cast<uint32_t>(hash);
    std::size_t i = tag & mask();
    for (; cSlots[i].idPlus1 != 0; i = (i + 1) & mask()) {
      const uint32_t id = cSlots[i].idPlus1 - 1;
      if (cSlots[i].tag == tag && cPrefixes[id] == prefix &&
          (prefix.size <= 16 || cTexts[id]->compare(16, String::npos, text, 16) == 0))
        return {id, false};
    }
    const auto id = static_cast<uint32_t>(cTexts.size());
    cSlots[i] = Slot{tag, id + 1};
    cTexts.push_back(&text);
    cPrefixes.push_back(prefix);
    return {id, true};
  }

  const String& text(uint32_t id) const { return *cTexts[id]; }
  const String* textPointer(uint32_t id) const { return cTexts[id]; }
  const Prefix& prefix(uint32_t id) const { return cPrefixes[id]; }
  // Gives up the table: no more lookups, but the strings stay.
  void dropTable() { std::vector<Slot>().swap(cSlots); }

 private:
  struct Slot {
    uint32_t tag = 0;
    uint32_t idPlus1 = 0;
  };
  std::size_t mask() const { return cSlots.size() - 1; }
  void grow() {
    std::vector<Slot> old(cSlots.size() * 2);
    old.swap(cSlots);
    for (const Slot& slot : old)
      if (slot.idPlus1 != 0) {
        std::size_t i = slot.tag & mask();
        while (cSlots[i].idPlus1 != 0) i = (i + 1) & mask();
        cSlots[i] = slot;
      }
  }

  std::vector<Slot> cSlots;
  std::vector<const String*> cTexts;  // by id
  std::vector<Prefix> cPrefixes;      // by id
};

// Asks for the memory of a string object, which may span two cache lines.
void prefetchString(const String* text) {
  __builtin_prefetch(text);
  __builtin_prefetch(reinterpret_cast<const char*>(text) + sizeof(String) - 1);
}

// A distinct string on its way to its place in the merged table: one of its
// two prefix keys, its id and its first entry.
struct SortItem {
  uint64_t key;
  uint32_t id;
  uint32_t firstEntry;
};

// Stable sort of n items by key, eleven bits at a time from the lowest,
// passing over the digits in which every key agrees; scratch holds n items.
void radixSort(SortItem* items, SortItem* scratch, std::size_t n) {
  constexpr unsigned kBits = 11;
  constexpr std::size_t kRadix = std::size_t{1} << kBits;
  constexpr unsigned kDigits = (64 + kBits - 1) / kBits;
  if (n < 2) return;
  std::vector<uint32_t> counts(kDigits * kRadix, 0);  // n fits: ids are 32-bit
  for (std::size_t i = 0; i < n; ++i) {
    const uint64_t key = items[i].key;
    for (unsigned d = 0; d < kDigits; ++d)
      ++counts[d * kRadix + ((key >> (kBits * d)) & (kRadix - 1))];
  }
  SortItem* from = items;
  SortItem* to = scratch;
  for (unsigned d = 0; d < kDigits; ++d) {
    uint32_t* next = counts.data() + d * kRadix;
    const unsigned shift = kBits * d;
    if (next[(from[0].key >> shift) & (kRadix - 1)] == n) continue;
    uint32_t position = 0;
    for (std::size_t digit = 0; digit < kRadix; ++digit) {
      const uint32_t count = next[digit];
      next[digit] = position;
      position += count;
    }
    for (std::size_t i = 0; i < n; ++i) to[next[(from[i].key >> shift) & (kRadix - 1)]++] = from[i];
    std::swap(from, to);
  }
  if (from != items) std::copy(from, from + n, items);
}

// Sorts distinct strings into ascending byte order: all of them by their
// first eight bytes (items hold key0), each run that ties on those by the
// next eight, and only a run that ties on all sixteen by the whole texts.
void sortDistinct(std::vector<SortItem>& items, const DistinctStrings& strings) {
  // Below these an insertion sort, then a comparison sort, beat the passes
  // over the digit counts.
  constexpr std::size_t kInsertionRun = 32;
  constexpr std::size_t kRadixRun = 256;
  const std::size_t n = items.size();
  std::vector<SortItem> scratch(n);
  radixSort(items.data(), scratch.data(), n);
  auto byText = [&strings](const SortItem& a, const SortItem& b) {
    return strings.text(a.id) < strings.text(b.id);
  };
  auto byKey = [&strings](const SortItem& a, const SortItem& b) {
    if (a.key != b.key) return a.key < b.key;
    return strings.text(a.id) < strings.text(b.id);
  };
  // The end of the run of equal keys that starts at first.
  auto runEnd = [](const SortItem* run, std::size_t first, std::size_t size) {
    std::size_t last = first + 1;
    while (last < size && run[last].key == run[first].key) ++last;
    return last;
  };
  for (std::size_t first = 0, last = 0; first < n; first = last) {
    last = runEnd(items.data(), first, n);
    const std::size_t size = last - first;
    if (size < 2) continue;
    SortItem* run = items.data() + first;
    for (std::size_t i = 0; i < size; ++i) run[i].key = strings.prefix(run[i].id).key1;
    if (size <= kInsertionRun) {
      for (std::size_t i = 1; i < size; ++i) {
        const SortItem item = run[i];
        std::size_t j = i;
        for (; j > 0 && byKey(item, run[j - 1]); --j) run[j] = run[j - 1];
        run[j] = item;
      }
      continue;
    }
    if (size < kRadixRun) {
      std::sort(run, run + size, byKey);
      continue;
    }
    radixSort(run, scratch.data(), size);
    for (std::size_t tie = 0, tieEnd = 0; tie < size; tie = tieEnd) {
      tieEnd = runEnd(run, tie, size);
      if (tieEnd - tie > 1) std::sort(run + tie, run + tieEnd, byText);
    }
  }
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
      if (coff.isAuxEntry(i)) continue;
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

// Work space of the string merge, kept from one input to the next.
struct Linker::MergeScratch {
  // The file's own offsets, each with its index in table order, in a small
  // hash table: (offset << 32) | (index + 1), 0 for a free slot.
  std::vector<uint64_t> slots;
  StringTable table;  // the file's table being made
  // The merged table by text, made on the first record whose name its own
  // file's table lacks.
  std::vector<std::pair<std::string_view, uint32_t>> byText;
  bool byTextMade = false;
};

int Linker::mergeStringTbls(String&) {
  // Entries are every input's strings in table order, input after input.
  std::size_t entries = 0;
  for (const auto& coff : cCoff) entries += coff->cStringTbl.size();
  // Strings and entries are counted in 32 bits; memory runs out long before.
  TOOL_ASSERT(entries < UINT32_MAX);
  if (entries >= UINT32_MAX) return 0;
  constexpr uint32_t kNoEntry = UINT32_MAX;
  const std::size_t inputs = cCoff.size();
  DistinctStrings strings(entries);
  std::vector<SortItem> items;      // by id until sorted
  std::vector<uint32_t> lastEntry;  // by id: its latest entry so far
  items.reserve(entries);
  lastEntry.reserve(entries);
  std::vector<uint32_t> oldOffsets(entries);           // by entry: the input's own offset
  std::vector<uint32_t> nextEntry(entries, kNoEntry);  // by entry: the next of the same string
  std::vector<uint32_t> inputOf(entries);              // by entry
  std::vector<std::size_t> start(inputs + 1, 0);       // by input: its first entry
  for (std::size_t f = 0; f < inputs; ++f) start[f + 1] = start[f] + cCoff[f]->cStringTbl.size();

  // Each lookup waits on memory twice, for its slot and for the prefix it
  // compares with; so the entries go through three steps a few entries
  // apart: hashed with their slots asked for, then the prefixes in those
  // slots asked for, then looked up.
  constexpr std::size_t kStep = 16;
  constexpr std::size_t kRing = 64;  // a power of two above 2 * kStep
  struct Pending {
    const String* text;
    std::size_t hash;
    Prefix prefix;
  };
  Pending ring[kRing];
  std::size_t walkInput = 0;  // the input of entry e, walked by walk
  StringTable::const_iterator walk;
  for (std::size_t e = 0; e < entries + 2 * kStep; ++e) {
    if (e < entries) {
      while (start[walkInput + 1] == e) ++walkInput;
      if (start[walkInput] == e) walk = cCoff[walkInput]->cStringTbl.cbegin();
      const std::size_t hash = hashText(walk->second);
      strings.prefetchSlot(hash);
      ring[e % kRing] = Pending{&walk->second, hash, prefixOf(walk->second)};
      oldOffsets[e] = walk->first;
      inputOf[e] = static_cast<uint32_t>(walkInput);
      ++walk;
    }
    if (e >= kStep && e - kStep < entries)
      strings.prefetchCandidate(ring[(e - kStep) % kRing].hash);
    if (e < 2 * kStep) continue;
    const auto entry = static_cast<uint32_t>(e - 2 * kStep);
    const Pending& p = ring[entry % kRing];
    const auto found = strings.insert(*p.text, p.hash, p.prefix);
    if (found.second) {
      items.push_back(SortItem{p.prefix.key0, found.first, entry});
      lastEntry.push_back(entry);
    } else {
      nextEntry[lastEntry[found.first]] = entry;
      lastEntry[found.first] = entry;
    }
  }
  // What is freed here the output table can take.
  strings.dropTable();
  std::vector<uint32_t>().swap(lastEntry);
  sortDistinct(items, strings);

  // Ascending byte order, each string followed by its zero, from offset 4.
  // Each entry learns its merged offset, and each input its entries in
  // merged order: the entries of one string are listed in table order, so
  // of two equal strings of one input the first comes first.
  std::vector<uint32_t> merged(entries);  // by entry
  std::vector<uint32_t> order(entries);   // by input, its own entry indices
  std::vector<std::size_t> cursor(start.begin(), start.end() - 1);
  cOutput.cStringTbl.clear();
  cOutput.cStringTbl.reserve(items.size());
  uint64_t offset = 4;
  // The strings are read in an order unrelated to where they live.
  constexpr std::size_t kAhead = 8;
  for (std::size_t k = 0; k < items.size(); ++k) {
    if (k + kAhead < items.size()) prefetchString(strings.textPointer(items[k + kAhead].id));
    const SortItem& item = items[k];
    const String& text = strings.text(item.id);
    TOOL_ASSERT(offset + text.size() + 1 <= UINT32_MAX);
    const auto at = static_cast<uint32_t>(offset);
    cOutput.cStringTbl.emplace_hint(cOutput.cStringTbl.end(), at, text);
    for (uint32_t e = item.firstEntry; e != kNoEntry; e = nextEntry[e]) {
      merged[e] = at;
      const uint32_t f = inputOf[e];
      order[cursor[f]++] = static_cast<uint32_t>(e - start[f]);
    }
    offset += text.size() + 1;
  }

  MergeScratch scratch;
  for (std::size_t f = 0; f < inputs; ++f)
    replaceStringTbl(*cCoff[f], oldOffsets.data() + start[f], merged.data() + start[f],
                     order.data() + start[f], scratch);
  return 1;
}

void Linker::replaceStringTbl(Coff& coff, const uint32_t* old, const uint32_t* merged,
                              const uint32_t* order, MergeScratch& scratch) {
  const std::size_t count = coff.cStringTbl.size();
  std::size_t capacity = 16;
  unsigned bits = 4;
  while (capacity < count * 2) {
    capacity *= 2;
    ++bits;
  }
  const std::size_t mask = capacity - 1;
  auto slotOf = [bits](uint32_t offset) {
    return static_cast<std::size_t>((offset * 0x9E3779B97F4A7C15ull) >> (64 - bits));
  };
  std::vector<uint64_t>& slots = scratch.slots;
  if (slots.size() < capacity) slots.resize(capacity);
  std::memset(slots.data(), 0, capacity * sizeof slots[0]);
  for (std::size_t k = 0; k < count; ++k) {
    std::size_t i = slotOf(old[k]);
    while (slots[i] != 0) i = (i + 1) & mask;
    slots[i] = (uint64_t{old[k]} << 32) | (k + 1);
  }
  // An offset the file's table lacks takes the slow way, through getName
  // and its report.
  auto movedOffset = [&](uint32_t own, uint32_t& offset) {
    for (std::size_t i = slotOf(own); slots[i] != 0; i = (i + 1) & mask)
      if (static_cast<uint32_t>(slots[i] >> 32) == own) {
        offset = merged[static_cast<uint32_t>(slots[i]) - 1];
        return true;
      }
    return false;
  };
  // A name the merged table lacks cannot occur: every string of every
  // input went into it. getName has already reported a name the file's own
  // table lacks.
  auto newOffset = [this, &scratch](const String& name, uint32_t& offset) {
    auto& byText = scratch.byText;
    if (!scratch.byTextMade) {
      for (const auto& entry : cOutput.cStringTbl) byText.emplace_back(entry.second, entry.first);
      scratch.byTextMade = true;
    }
    const std::string_view text(name);
    auto it = std::lower_bound(byText.begin(), byText.end(), text,
                               [](const std::pair<std::string_view, uint32_t>& e,
                                  std::string_view t) { return e.first < t; });
    if (it == byText.end() || it->first != text) return false;
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
    if (coff.isAuxEntry(i)) {
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
  // The file's strings move under their merged offsets, taken in merged
  // order, so that every one goes at the end; of two equal strings the
  // first stays. The old table's array serves the next file.
  StringTable& table = scratch.table;
  table.clear();
  table.reserve(count);
  const auto own = coff.cStringTbl.begin();
  for (std::size_t k = 0; k < count; ++k) {
    const uint32_t key = merged[order[k]];
    if (k > 0 && merged[order[k - 1]] == key) continue;
    table.emplace_hint(table.end(), key, std::move(own[order[k]].second));
  }
  std::swap(coff.cStringTbl, table);
}

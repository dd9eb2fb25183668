// External symbol resolution: one table of every external definition, the
// linker's own symbols first, then every reference bound to its definition.
#include <vector>

#include "linker.h"
#include "platform.h"

namespace {

// A linker-made external: no section, no type, no auxiliary entry.
SymRecord linkerSymbol(const Coff& names, const String& name, uint32_t value) {
  syment sym;
  names.setName(sym, name);
  sym.n_value = value;
  sym.n_scnum = kScnNumUndefined;
  sym.n_type = 0;
  sym.n_sclass = kClassExternal;
  sym.n_numaux = 0;
  return sym.record();
}

}  // namespace

// An external's key with its hash, and where it stands in its file.
struct Linker::KeyedSymbol {
  NameKey key;
  std::size_t hash;
  std::size_t index;
};

void Linker::keySymbols(const Coff& coff, bool (*wanted)(const syment&),
                        std::vector<KeyedSymbol>& keyed) const {
  keyed.clear();
  for (std::size_t i = 0; i < coff.cSymbolTbl.size(); ++i) {
    if (coff.isAuxEntry(i)) continue;
    const syment sym = syment::decode(coff.cSymbolTbl[i]);
    if (!wanted(sym)) continue;
    const NameKey key = nameKey(sym);
    const std::size_t hash = cExtSymDef.hashOf(key);
    cExtSymDef.prefetch(hash);
    keyed.push_back({key, hash, i});
  }
}

Linker::NameKey Linker::inlineKey(const char* text, std::size_t length) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < length && i < 8 && text[i] != 0; ++i)
    value |= uint64_t(static_cast<unsigned char>(text[i])) << (8 * i);
  return {value, 0};
}

Linker::NameKey Linker::nameKey(const syment& sym) const {
  if (!hasLongName(sym)) return inlineKey(sym.n_name, 8);
  const uint32_t offset = sym.n_offset();
  if (!cShortLongNames.empty()) {
    auto it = cShortLongNames.find(offset);
    if (it != cShortLongNames.end()) return {it->second, 0};
  }
  return {offset, 1};
}

Linker::NameKey Linker::nameKey(const String& name) const {
  if (name.size() <= 8) return inlineKey(name.c_str(), name.size());
  for (const auto& entry : cOutput.cStringTbl)
    if (entry.second == name) return {entry.first, 1};
  return {0, 2};  // in no table, so no input can name it
}

int Linker::buildExtSymDef(String& err) {
  cShortLongNames.clear();
  for (const auto& entry : cOutput.cStringTbl)
    if (entry.second.size() <= 8)
      cShortLongNames.emplace(entry.first,
                              inlineKey(entry.second.c_str(), entry.second.size()).value);

  cExtSymDef.emplace(nameKey(cOutput.getName(syment::decode(cCinitSymbol))), &cCinitSymbol);

  if (cStackDescSet) {
    auto mem = cScnMem.find(cStackName);
    TOOL_ASSERT(mem != cScnMem.end() && mem->second);
    uint32_t start = 0;
    uint64_t size = 0;
    if (mem != cScnMem.end() && mem->second) {
      start = mem->second->getSecStart(cStackName);
      size = mem->second->getSecSizeInBytes(cStackName);
    }
    cStackSymbol = linkerSymbol(cOutput, "_stack", start);
    *cExtSymDef.emplace(nameKey(String("_stack")), nullptr).first = &cStackSymbol;
    // The stack lies in data memory, far below 2^32 bytes.
    cStksizeSymbol = linkerSymbol(cOutput, "_stksize", static_cast<uint32_t>(size));
    *cExtSymDef.emplace(nameKey(String("_stksize")), nullptr).first = &cStksizeSymbol;
  }

  std::size_t symbols = cExtSymDef.size();
  for (const auto& coff : cCoff) symbols += coff->cSymbolTbl.size();
  cExtSymDef.reserve(symbols / 2);
  // A file's definitions are keyed first, each one's slot asked for ahead,
  // then entered in order: the table is far larger than the cache.
  std::vector<KeyedSymbol> keyed;
  for (std::size_t f = 0; f < cCoff.size(); ++f) {
    const Coff& coff = *cCoff[f];
    keySymbols(coff, isExtDef, keyed);
    for (const KeyedSymbol& k : keyed) {
      if (!cExtSymDef.emplace(k.key, &coff.cSymbolTbl[k.index], k.hash).second) {
        String scratch;
        err = "symbol '" + coff.nameRef(syment::decode(coff.cSymbolTbl[k.index]), scratch) +
              "' has multiple definitions.";
        return 0;
      }
    }
  }
  return 1;
}

int Linker::resolveExternals(String& err) {
  // As for the definitions: a file's references are keyed and their slots
  // asked for, then looked up in order, and the records they find asked
  // for before their values are read.
  std::vector<KeyedSymbol> keyed;
  std::vector<const SymRecord*> found;
  for (auto& input : cCoff) {
    Coff& coff = *input;
    keySymbols(coff, isExtRef, keyed);
    found.clear();
    for (const KeyedSymbol& k : keyed) {
      const ExtSymRef* def = cExtSymDef.find(k.key, k.hash);
      if (!def) {
        String scratch;
        err = "could not resolve symbol '" +
              coff.nameRef(syment::decode(coff.cSymbolTbl[k.index]), scratch) + "' in file '" +
              coff.cFileName + "'.";
        return 0;
      }
      __builtin_prefetch(*def);
      found.push_back(*def);
    }
    for (std::size_t n = 0; n < keyed.size(); ++n) {
      // Only the value: the reference stays an undefined external.
      syment sym = syment::decode(coff.cSymbolTbl[keyed[n].index]);
      sym.n_value = syment::decode(*found[n]).n_value;
      sym.encode(coff.cSymbolTbl[keyed[n].index]);
    }
  }
  return 1;
}

// External symbol resolution: one table of every external definition, the
// linker's own symbols first, then every reference bound to its definition.
#include "linker.h"
#include "platform.h"

namespace {

bool isAuxRecord(const Coff& coff, std::size_t i) {
  return i < coff.cAuxKind.size() && coff.cAuxKind[i] != auxNone;
}

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

const SymRecord& Linker::extSymRecord(const ExtSymRef& ref) const {
  if (ref.file == kLinkerSymbolFile) {
    TOOL_ASSERT(ref.index <= 2);
    return ref.index == 1 ? cStackSymbol : ref.index == 2 ? cStksizeSymbol : cCinitSymbol;
  }
  TOOL_ASSERT(ref.file < cCoff.size() && ref.index < cCoff[ref.file]->cSymbolTbl.size());
  return cCoff[ref.file]->cSymbolTbl[ref.index];
}

int Linker::buildExtSymDef(String& err) {
  cExtSymDef[cOutput.getName(syment::decode(cCinitSymbol))] = {kLinkerSymbolFile, 0};

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
    cExtSymDef["_stack"] = {kLinkerSymbolFile, 1};
    // The stack lies in data memory, far below 2^32 bytes.
    cStksizeSymbol = linkerSymbol(cOutput, "_stksize", static_cast<uint32_t>(size));
    cExtSymDef["_stksize"] = {kLinkerSymbolFile, 2};
  }

  std::size_t symbols = cExtSymDef.size();
  for (const auto& coff : cCoff) symbols += coff->cSymbolTbl.size();
  cExtSymDef.reserve(symbols);
  String scratch;
  for (std::size_t f = 0; f < cCoff.size(); ++f) {
    const Coff& coff = *cCoff[f];
    for (std::size_t i = 0; i < coff.cSymbolTbl.size(); ++i) {
      if (isAuxRecord(coff, i)) continue;
      const syment sym = syment::decode(coff.cSymbolTbl[i]);
      if (!isExtDef(sym)) continue;
      const String& name = coff.nameRef(sym, scratch);
      if (!cExtSymDef.emplace(name, ExtSymRef{f, i}).second) {
        err = "symbol '" + name + "' has multiple definitions.";
        return 0;
      }
    }
  }
  return 1;
}

int Linker::resolveExternals(String& err) {
  String scratch;
  for (auto& input : cCoff) {
    Coff& coff = *input;
    for (std::size_t i = 0; i < coff.cSymbolTbl.size(); ++i) {
      if (isAuxRecord(coff, i)) continue;
      syment sym = syment::decode(coff.cSymbolTbl[i]);
      if (!isExtRef(sym)) continue;
      const String& name = coff.nameRef(sym, scratch);
      auto def = cExtSymDef.find(name);
      if (def == cExtSymDef.end()) {
        err = "could not resolve symbol '" + name + "' in file '" + coff.cFileName + "'.";
        return 0;
      }
      // Only the value: the reference stays an undefined external.
      sym.n_value = syment::decode(extSymRecord(def->second)).n_value;
      sym.encode(coff.cSymbolTbl[i]);
    }
  }
  return 1;
}

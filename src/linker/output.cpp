// Output building: the executable's section numbers, symbol table, raw data,
// line numbers, string-table entries, section headers and file headers, all
// from the relocated and patched inputs. The executable carries no
// relocations.
#include <cstring>
#include <iterator>

#include "linker.h"
#include "opcat.h"
#include "platform.h"

namespace {

int flagOf(const std::map<String, int>& table, const String& name) {
  auto it = table.find(name);
  return it == table.end() ? 0 : it->second;
}

// Raises the symbol indexes an auxiliary entry holds by base, by its layout.
void rebaseAux(SymRecord& rec, uint32_t kind, uint32_t base) {
  switch (kind) {
    case auxTag: {
      aux_tag a = aux_tag::decode(rec);
      a.x_endndx += base;
      a.encode(rec);
      break;
    }
    case auxEos: {
      aux_eos a = aux_eos::decode(rec);
      a.x_tagndx += base;
      a.encode(rec);
      break;
    }
    case auxFcn: {
      aux_fcn a = aux_fcn::decode(rec);
      a.x_tagndx += base;
      a.x_endndx += base;
      a.encode(rec);
      break;
    }
    case auxArr: {
      aux_arr a = aux_arr::decode(rec);
      a.x_tagndx += base;
      a.encode(rec);
      break;
    }
    case auxBobf: {
      aux_bobf a = aux_bobf::decode(rec);
      a.x_endndx += base;
      a.encode(rec);
      break;
    }
    case auxVar: {
      aux_var a = aux_var::decode(rec);
      a.x_tagndx += base;
      a.encode(rec);
      break;
    }
    default:  // file, section and end-of-block entries hold no index
      break;
  }
}

String hex8(uint64_t value) { return hexString(static_cast<uint32_t>(value), 4); }

}  // namespace

uint32_t Linker::appendOutputString(const String& text) {
  StringTable& table = cOutput.cStringTbl;
  uint64_t offset = 4;
  if (!table.empty()) {
    const auto& last = *table.rbegin();
    offset = uint64_t(last.first) + last.second.size() + 1;
  }
  TOOL_ASSERT(offset + text.size() + 1 <= UINT32_MAX);
  // emplace copies text before the table grows, so text may be one of its
  // own strings.
  table.emplace(static_cast<uint32_t>(offset), text);
  return static_cast<uint32_t>(offset);
}

int Linker::verifyOutputScnCount(String& err) {
  // The names buildOutputScnNum will number: every input section, the image
  // of each initialised-data section, the table and the stack; a linker
  // name an input already uses is numbered once. Then one fill section per
  // free range of a CODEPAGE with FILL.
  auto taken = [this](const String& name) { return cScnType.count(name) != 0; };
  uint64_t count = cScnType.size();
  for (const auto& entry : cScnType)
    if (entry.second == scnIData && !taken(initImageName(entry.first))) ++count;
  if (!taken(cCinitName)) ++count;
  if (cStackDescSet && !taken(cStackName)) ++count;
  auto countHole = [](void* user, const Memory&, uint32_t, uint32_t, const String&) {
    ++*static_cast<uint64_t*>(user);
  };
  for (const Memory& memory : cCodePage) memory.forEachHole(countHole, &count);
  if (count > kMaxOutputSections) {
    err = "the output would have " + std::to_string(count) + " sections, more than the " +
          std::to_string(kMaxOutputSections) + " a section number can hold.";
    return 0;
  }
  return 1;
}

String outputTooLarge(const String& name, uint64_t bytes, bool atLeast) {
  return "the executable '" + name + "' would be " + (atLeast ? "at least " : "") +
         std::to_string(bytes) + " bytes, more than the " +
         std::to_string(platform::kMaxInputSize) + " bytes the tool chain's programs read.";
}

int Linker::verifyOutputSize(String& err) {
  // The headers and section bytes, each data section's image and the fill
  // of every free range: all known before any of it is built. Fill ranges
  // beyond the program address space are refused by the fill itself.
  uint64_t bytes = filehdr::kSize + opthdr::kSize;
  for (const auto& entry : cScnType) {
    bytes += scnhdr::kSize;
    if (entry.second == scnUData) continue;
    const auto size = cScnSize.find(entry.first);
    const uint64_t n = size == cScnSize.end() ? 0 : size->second;
    bytes += n;
    if (entry.second == scnIData) bytes += scnhdr::kSize + scaleRomSize(n);
  }
  struct Fill {
    uint64_t space;
    uint64_t bytesPerLocation;
    uint64_t bytes;
  } fill{uint64_t(procMaxProgramAddress(cProcessor)) + 1, bytesPerWord(rom), 0};
  auto addHole = [](void* user, const Memory&, uint32_t first, uint32_t last, const String&) {
    Fill& f = *static_cast<Fill*>(user);
    const uint64_t locations = uint64_t(last) - first + 1;
    if (locations <= f.space) f.bytes += scnhdr::kSize + locations * f.bytesPerLocation;
  };
  for (const Memory& memory : cCodePage) memory.forEachHole(addHole, &fill);
  bytes += fill.bytes;
  if (bytes > platform::kMaxInputSize) {
    err = outputTooLarge(cOutputFile, bytes, true);
    return 0;
  }
  return 1;
}

int Linker::buildOutputScnNum(String&) {
  std::map<String, int> numbered;
  int next = 1;
  auto number = [&](const String& name) {
    if (!numbered.emplace(name, next).second) return;
    cOutput.cScnNum[next++] = name;
  };
  for (const auto& coff : cCoff) {
    for (const auto& scn : coff->cScnNum) {
      const String& name = scn.second;
      if (numbered.count(name)) continue;
      number(name);
      auto type = cScnType.find(name);
      // The ROM image is written right after its data section.
      if (type != cScnType.end() && type->second == scnIData) number(initImageName(name));
    }
  }
  number(cCinitName);
  if (cStackDescSet) number(cStackName);
  return 1;
}

int Linker::buildOutputSymbolTbl(String&) {
  cSymIndex.assign(cCoff.size(), 0);
  if (cStrip) return 1;

  std::map<String, int> outNumber;
  for (const auto& scn : cOutput.cScnNum) outNumber.emplace(scn.second, scn.first);

  std::size_t records = 0;
  for (const auto& coff : cCoff) records += coff->cSymbolTbl.size();
  cOutput.cSymbolTbl.reserve(cOutput.cSymbolTbl.size() + records);
  cOutput.cAuxKind.reserve(cOutput.cAuxKind.size() + records);

  uint32_t base = 0;
  std::vector<int> numberOf;  // by the file's section number; 0 for none
  for (std::size_t f = 0; f < cCoff.size(); ++f) {
    const Coff& coff = *cCoff[f];
    cSymIndex[f] = base;
    numberOf.clear();
    for (const auto& scn : coff.cScnNum) {
      if (scn.first < 1 || scn.first > INT16_MAX) continue;  // no symbol can name it
      auto out = outNumber.find(scn.second);
      if (out == outNumber.end()) continue;
      if (numberOf.size() <= std::size_t(scn.first)) numberOf.resize(std::size_t(scn.first) + 1, 0);
      numberOf[std::size_t(scn.first)] = out->second;
    }
    for (std::size_t i = 0; i < coff.cSymbolTbl.size(); ++i) {
      SymRecord rec = coff.cSymbolTbl[i];
      // The input's own pairing decides what is an entry and of which
      // layout; the output's cAuxKind is built from it.
      const uint32_t kind = coff.isAuxEntry(i) ? coff.cAuxKind[i] : uint32_t(auxNone);
      if (kind == auxNone) {
        syment sym = syment::decode(rec);
        // A number the file does not define stays, and output
        // verification refuses it.
        if (sym.n_scnum >= 1 && std::size_t(sym.n_scnum) < numberOf.size() &&
            numberOf[std::size_t(sym.n_scnum)] != 0) {
          sym.n_scnum = static_cast<int16_t>(numberOf[std::size_t(sym.n_scnum)]);
          sym.encode(rec);
        }
      } else {
        rebaseAux(rec, kind, base);
      }
      cOutput.cSymbolTbl.push_back(rec);
      cOutput.cAuxKind.push_back(kind);
    }
    base += static_cast<uint32_t>(coff.cSymbolTbl.size());
  }
  return 1;
}

int Linker::buildOutputRawData(String& err) {
  for (const auto& scn : cScnSize) cOutput.cRawData[scn.first] = Data(scn.second);

  for (std::size_t f = 0; f < cCoff.size(); ++f) {
    const Coff& coff = *cCoff[f];
    for (const auto& scn : coff.cScnNum) {
      const String& name = scn.second;
      auto type = cScnType.find(name);
      if (type != cScnType.end() && type->second == scnUData) continue;
      auto mem = cScnMem.find(name);
      TOOL_ASSERT(mem != cScnMem.end() && mem->second);
      if (mem == cScnMem.end() || !mem->second) continue;
      const Memory& m = *mem->second;
      const uint64_t start = m.getSecStart(name);
      const uint64_t load = m.getLoadStart(f, name);
      const uint64_t size = m.getLoadSize(f, name);
      auto in = coff.cRawData.find(name);
      const uint64_t have = in == coff.cRawData.end() ? 0 : in->second.size();
      const String where = "file '" + coff.cFileName + "', section '" + name + "', ";
      if (have != size) {
        err = where + "raw data of " + std::to_string(have) + " bytes where the section holds " +
              std::to_string(size) + " bytes.";
        return 0;
      }
      if (size == 0) continue;
      Data& out = cOutput.cRawData[name];
      const uint64_t bpw = bytesPerWord(m.getType() == 0 ? rom : ram);
      // Every piece must lie inside the section's merged size; a piece
      // outside it would be written past the buffer.
      if (load < start || (load - start) * bpw + size > out.size()) {
        err = where + "raw data of " + std::to_string(size) + " bytes at location " + hex8(load) +
              " does not fit the section at " + hex8(start) + " of " + std::to_string(out.size()) +
              " bytes.";
        return 0;
      }
      // Overlay pieces share an offset: the later file's bytes win.
      std::memcpy(out.data() + (load - start) * bpw, in->second.data(),
                  static_cast<std::size_t>(size));
    }
  }

  // On cores whose word is not a multiple of 8 bits every byte of an image
  // becomes a RETLW word carrying it.
  auto romImage = [this](const Data& bytes) {
    if (scaleRomSize(bytes.size()) == bytes.size()) return bytes;
    Data words(static_cast<uint32_t>(scaleRomSize(bytes.size())));
    for (uint32_t i = 0; i < bytes.size(); ++i) {
      uint16_t word = 0;
      instSetOpcode(&word, Inst::RETLW, cFamily);
      instSetOperand1(&word, bytes.data()[i], cFamily);
      le::putU16(words.data() + 2 * i, word);
    }
    return words;
  };
  for (const auto& scn : cScnType) {
    if (scn.second != scnIData) continue;
    cOutput.cRawData[initImageName(scn.first)] = romImage(cOutput.cRawData[scn.first]);
  }
  cOutput.cRawData[cCinitName] = romImage(cInitTable);
  if (cStackDescSet) cOutput.cRawData[cStackName] = Data(cStackDesc.getSize());
  return 1;
}

int Linker::buildOutputLineInfo(String&) {
  if (cStrip) return 1;
  for (std::size_t f = 0; f < cCoff.size(); ++f) {
    const Coff& coff = *cCoff[f];
    const uint32_t base = f < cSymIndex.size() ? cSymIndex[f] : 0;
    for (const auto& scn : coff.cScnNum) {
      const String& name = scn.second;
      auto type = cScnType.find(name);
      if (type == cScnType.end() || type->second != scnCode) continue;
      auto lines = coff.cLineInfo.find(name);
      if (lines == coff.cLineInfo.end()) continue;
      std::vector<coff_lineno>& out = cOutput.cLineInfo[name];
      for (coff_lineno line : lines->second) {
        line.l_srcndx += base;
        line.l_fcnndx += base;
        out.push_back(line);
      }
    }
  }
  return 1;
}

int Linker::buildOutputStringTbl(String&) {
  for (const auto& scn : cScnType) {
    if (scn.second != scnIData) continue;
    const String image = initImageName(scn.first);
    if (image.size() > 8) appendOutputString(image);
  }
  return 1;
}

int Linker::buildOutputScnHdrs(String&) {
  // First offset of each long section name, as a name lookup would find it:
  // one walk over the table for the few names, instead of a scan per name.
  std::map<String, uint32_t> firstOffset;
  for (const auto& scn : cScnType) {
    if (scn.first.size() > 8) firstOffset.emplace(scn.first, UINT32_MAX);
    if (scn.second == scnIData && initImageName(scn.first).size() > 8)
      firstOffset.emplace(initImageName(scn.first), UINT32_MAX);
  }
  if (cCinitName.size() > 8) firstOffset.emplace(cCinitName, UINT32_MAX);
  if (cStackDescSet && cStackName.size() > 8) firstOffset.emplace(cStackName, UINT32_MAX);
  std::size_t unfound = firstOffset.size();
  for (auto entry = cOutput.cStringTbl.begin(); unfound > 0 && entry != cOutput.cStringTbl.end();
       ++entry) {
    if (entry->second.size() <= 8) continue;
    auto wanted = firstOffset.find(entry->second);
    if (wanted == firstOffset.end() || wanted->second != UINT32_MAX) continue;
    wanted->second = entry->first;
    --unfound;
  }
  for (auto wanted = firstOffset.begin(); wanted != firstOffset.end();)
    wanted = wanted->second == UINT32_MAX ? firstOffset.erase(wanted) : std::next(wanted);

  auto header = [&](const String& name, int type, bool absolute, bool share, bool access) {
    auto mem = cScnMem.find(name);
    TOOL_ASSERT(mem != cScnMem.end() && mem->second);
    scnhdr& h = cOutput.cScnHdr[name];
    auto offset = firstOffset.find(name);
    if (name.size() > 8 && offset != firstOffset.end())
      h.set_s_offset(offset->second);
    else
      cOutput.setName(h, name);  // inline, or the fatal missing-name report
    h.s_paddr = (mem != cScnMem.end() && mem->second) ? mem->second->getSecStart(name) : 0;
    h.s_vaddr = 0;
    setScnFlags(h, type, absolute, share, access);
  };

  for (const auto& scn : cScnType) {
    const String& name = scn.first;
    header(name, scn.second, flagOf(cScnAbs, name) != 0, flagOf(cScnShare, name) != 0,
           flagOf(cScnAccess, name) != 0);
    // An image is plain ROM data wherever its section lives.
    if (scn.second == scnIData) header(initImageName(name), scnRomData, false, false, false);
  }
  header(cCinitName, scnRomData, false, false, false);
  if (cStackDescSet) header(cStackName, scnUData, false, false, false);
  return 1;
}

int Linker::buildOutputFileHdr(String&) {
  filehdr& fh = cOutput.cFileHdr;
  opthdr& oh = cOutput.cOptHdr;
  if (!cCoff.empty()) {
    fh.f_magic = cCoff.front()->cFileHdr.f_magic;
    oh.magic = cCoff.front()->cOptHdr.magic;
    oh.vstamp = cCoff.front()->cOptHdr.vstamp;
  }
  fh.f_opthdr = kOptHdrSize;
  fh.f_flags = kFileExecutable;
  if (cStrip) fh.f_flags |= kFileNoLineNumbers | kFileNoSymbols;
  oh.proc_type = procCoffType(cProcessor);
  oh.rom_width_bits = cRomWidthBits;
  oh.ram_width_bits = cRamWidthBits;
  cOutput.cFileName = cOutputFile;
  return 1;
}

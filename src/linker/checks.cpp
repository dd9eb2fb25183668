// Link phases 4 to 6: the processor of the link, the section tables merged
// over all inputs, and the ROM=/RAM= attributes of the SECTION directives;
// plus the two memory-size helpers the later phases share.
#include <cstddef>

#include "linker.h"
#include "platform.h"

uint32_t Linker::programMemorySize() const {
  uint64_t total = 0;
  for (const Memory& m : cCodePage) total += m.getSize();
  // Four CODEPAGEs can together exceed the 32-bit address space; a total
  // that wrapped would look small, so it stops at the largest value.
  return total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total);
}

uint32_t Linker::bytesPerWord(MemType memType) const {
  TOOL_ASSERT((memType==rom) || (memType==ram));  // no blanks: the text is the message
  if (memType == rom) {
    TOOL_ASSERT(cRomWidthBits);
    return (cRomWidthBits + 7u) / 8u;
  }
  TOOL_ASSERT(cRamWidthBits);
  return (cRamWidthBits + 7u) / 8u;
}

namespace {

uint16_t procCode(const Coff& coff) { return static_cast<uint16_t>(coff.cOptHdr.proc_type); }

bool isFamilyWide(const Coff& coff) { return (coff.cFileHdr.f_flags & kFileFamilyProcessor) != 0; }

// A file of the older layout has no optional header and so names no
// processor at all.
bool namesKnownProcessor(const Coff& coff) {
  return coff.cFileHdr.f_opthdr == kOptHdrSize && procIsKnownCoffType(procCode(coff));
}

}  // namespace

int Linker::verifyProcessor(String& err) {
  for (const auto& coff : cCoff) {
    if (!namesKnownProcessor(*coff)) {
      err = "Unsupported processor type in file '" + coff->cFileName + "'.";
      return 0;
    }
  }

  // The first file built for one processor decides; when every file is
  // family-wide, the first file does.
  auto choose = [this](const Coff& coff) {
    cProcessor = procIdFromCoffType(procCode(coff));
    cFamily = procFamily(cProcessor);
    cRomWidthBits = static_cast<uint16_t>(procRomWidthBits(cProcessor));
    cRamWidthBits = static_cast<uint16_t>(procRamWidthBits(cProcessor));
  };
  for (std::size_t i = 0; i < cCoff.size(); ++i) {
    if (i == 0) choose(*cCoff[i]);
    if (!isFamilyWide(*cCoff[i])) {
      choose(*cCoff[i]);
      break;
    }
  }

  for (const auto& coff : cCoff) {
    const ProcId id = procIdFromCoffType(procCode(*coff));
    const bool agrees = isFamilyWide(*coff) ? procFamily(id) == cFamily : id == cProcessor;
    if (!agrees) {
      err = "processor types do not agree across all input files.";
      return 0;
    }
  }

  for (Memory& m : cCodePage) m.setWidthBits(cRomWidthBits);
  for (std::list<Memory>* banks : {&cDataBanks, &cShareBanks, &cAccessBanks})
    for (Memory& m : *banks) m.setWidthBits(cRamWidthBits);
  return 1;
}

int Linker::buildScnTables(String& err) {
  // Program memory of the 2-byte-location cores is loaded piece by piece in
  // whole locations, so a piece of odd length that another piece follows
  // takes one byte more than it holds; the pieces placed one after another
  // are counted that way so the merged section is big enough for all of
  // them. The last piece, a lone piece, and overlay pieces (each at the
  // section's start) keep their sizes: nothing follows them. Data memory has
  // 1-byte locations: nothing to round.
  const bool wordLocations = (cRomWidthBits + 7u) / 8u == 2;
  auto wholeLocations = [wordLocations](int type, uint64_t bytes) -> uint64_t {
    const bool program = type == scnCode || type == scnRomData;
    return (program && wordLocations) ? (bytes + 1) & ~uint64_t(1) : bytes;
  };

  for (const auto& coff : cCoff) {
    const String& file = coff->cFileName;
    for (const auto& number : coff->cScnNum) {
      const String& name = number.second;
      auto header = coff->cScnHdr.find(name);
      TOOL_ASSERT(header != coff->cScnHdr.end());
      if (header == coff->cScnHdr.end()) return 0;
      const scnhdr& h = header->second;
      const uint32_t piece = h.s_size;
      const int overlay = isOverlayScn(h) ? 1 : 0;
      const int absolute = isAbsScn(h) ? 1 : 0;
      auto tooBig = [&name, &file]() {
        return "section '" + name + "' is larger than 0xffffffff bytes after merging file '" +
               file + "'.";
      };

      auto size = cScnSize.find(name);
      if (size == cScnSize.end()) {
        const int type = getScnType(h);
        if (type == scnNone) {
          err = "unknown section type for '" + name + "' in file '" + file + "'.";
          return 0;
        }
        cScnSize[name] = piece;
        cScnType[name] = static_cast<char>(type);
        cScnAbs[name] = absolute;
        cScnShare[name] = isShareScn(h) ? 1 : 0;
        cScnAccess[name] = isAccessScn(h) ? 1 : 0;
        if (absolute) {
          cScnAbsStart[name] = h.s_paddr;
          cScnAbsSize[name] = piece;
        }
        cScnOverlay[name] = overlay;
        continue;
      }

      if (overlay != cScnOverlay[name]) {
        err = "section overlay types for '" + name + "' do not match across input files.";
        return 0;
      }
      if (overlay) {
        if (piece > size->second) size->second = piece;
        if (absolute != cScnAbs[name]) {
          err = "section absolute types for '" + name + "' do not match across input files.";
          return 0;
        }
        if (absolute) {
          if (h.s_paddr != cScnAbsStart[name]) {
            err = "starting addresses for absolute overlay section '" + name +
                  "' do not match across all input files.";
            return 0;
          }
          cScnAbsSize[name] = size->second;
        }
      } else {
        // The pieces so far are now followed by this one.
        const uint64_t merged = wholeLocations(cScnType[name], size->second) + piece;
        if (merged > UINT32_MAX) {
          err = tooBig();
          return 0;
        }
        size->second = static_cast<uint32_t>(merged);
      }
      if (getScnType(h) != cScnType[name]) {
        err = "section types for '" + name + "' do not match across input files.";
        return 0;
      }
      if ((isShareScn(h) ? 1 : 0) != cScnShare[name]) {
        err = "section share types for '" + name + "' do not match across input files.";
        return 0;
      }
      if ((isAccessScn(h) ? 1 : 0) != cScnAccess[name]) {
        err = "section access types for '" + name + "' do not match across input files.";
        return 0;
      }
      if (!overlay && (absolute || cScnAbs[name])) {
        err = "section '" + name +
              "' type is non-overlay and absolute but occurs in more than one input file.";
        return 0;
      }
    }
  }
  return 1;
}

int Linker::verifyMemoryAttributes(String& err) {
  for (const SectionDesc& desc : cSectionDesc) {
    const String name = desc.getName();
    auto type = cScnType.find(name);
    if (type == cScnType.end()) continue;
    const bool hasRom = !desc.getLoadMemory().empty();
    const bool hasRam = !desc.getRunMemory().empty();
    const char* refusal = nullptr;
    switch (type->second) {
      case scnCode:
        if (hasRam) refusal = "contains code and can not have a 'RAM'";
        break;
      case scnIData:
        if (hasRom) refusal = "contains initialized data and can not have a 'ROM'";
        break;
      case scnUData:
        if (hasRom) refusal = "contains uninitialized data and can not have a 'ROM'";
        break;
      case scnRomData:
        if (hasRam) refusal = "contains initialized rom data and can not have a 'RAM'";
        break;
      default:
        break;
    }
    if (refusal) {
      err = "section '" + name + "' " + refusal +
            " memory attribute specified in the linker command file.";
      return 0;
    }
  }
  return 1;
}

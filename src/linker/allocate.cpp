// Link phases 7 and 8: every section, ROM image, the stack and the
// initialisation table get a place in one of the declared memories, then
// each input file's piece of each section is recorded inside its place.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "linker.h"
#include "platform.h"
#include "textutil.h"

namespace {

// Lengths are written as eight hexadecimal digits; only a ROM image of a
// data section near 4 GB needs more.
String lengthText(uint64_t length) {
  if (length <= UINT32_MAX) return hexString(static_cast<uint32_t>(length), 4);
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(length));
  return buf;
}

// The first input file that has a section of that name.
String fileOfSection(const std::vector<std::unique_ptr<Coff>>& coffs, const String& name) {
  for (const auto& coff : coffs)
    if (coff->cScnHdr.count(name)) return coff->cFileName;
  return String();
}

bool isAllDigitText(const String& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

String notDefined(const String& secName, const String& memName) {
  return "section '" + secName + "' has a memory '" + memName +
         "' which is not defined in the linker command file.";
}

}  // namespace

uint64_t Linker::scaleRomSize(uint64_t bytes) const {
  // On 12- and 14-bit cores each data byte takes a program word of its own.
  return (cRomWidthBits % 8) != 0 ? 2 * bytes : bytes;
}

String Linker::initImageName(const String& name) { return name + "_i"; }

String Linker::stripInitSuffix(const String& name) {
  if (name.size() > 2 && name.compare(name.size() - 2, 2, "_i") == 0)
    return name.substr(0, name.size() - 2);
  return name;
}

const SectionDesc* Linker::findSectionDesc(const String& name) {
  if (cSectionDescIndex.size() != cSectionDesc.size()) {
    cSectionDescIndex.clear();
    for (const SectionDesc& desc : cSectionDesc) cSectionDescIndex.emplace(desc.getName(), &desc);
  }
  auto it = cSectionDescIndex.find(name);
  return it == cSectionDescIndex.end() ? nullptr : it->second;
}

std::list<Memory>& Linker::memoryListOf(const String& secName) {
  auto type = cScnType.find(secName);
  if (type != cScnType.end() && (type->second == scnIData || type->second == scnUData)) {
    if (cScnShare[secName]) return cShareBanks;
    if (cScnAccess[secName]) return cAccessBanks;
    return cDataBanks;
  }
  return cCodePage;
}

uint16_t Linker::alignmentOf(const String& secName) const {
  // Program memory addressed in bytes runs instructions from even addresses.
  if (cRomWidthBits != 8) return 1;
  auto type = cScnType.find(secName);
  return (type != cScnType.end() && type->second == scnCode) ? 2 : 1;
}

// The linker makes ".cinit", ".stack", the ROM images and the fill
// sections itself; an input section of one of those names would be placed
// twice under one name.
int Linker::refuseLinkerSectionNames(String& err) const {
  bool anyFill = false;
  for (const Memory& m : cCodePage)
    if (m.hasFill()) anyFill = true;
  for (const auto& entry : cScnType) {
    const String& name = entry.first;
    // Memories tell a free range by its empty section name, and the image
    // of an unnamed data section would be called "_i", which names no image.
    if (name.empty()) {
      err = "section '' in file '" + fileOfSection(cCoff, name) +
            "' has no name, and the linker places sections by name.";
      return 0;
    }
    bool collides = name == cCinitName || (cStackDescSet && name == cStackName);
    const String base = stripInitSuffix(name);
    if (!collides && base != name) {
      auto type = cScnType.find(base);
      collides = type != cScnType.end() && type->second == scnIData;
    }
    if (!collides && anyFill && name.compare(0, 6, ".fill_") == 0)
      collides = isAllDigitText(name.substr(6));
    if (!collides) continue;
    String file;
    for (const auto& coff : cCoff) {
      if (coff->cScnHdr.count(name)) {
        file = coff->cFileName;
        break;
      }
    }
    err = "section '" + name + "' in file '" + file +
          "' has the name of a section that the linker makes itself.";
    return 0;
  }
  return 1;
}

MemoryListIndex& Linker::indexOf(std::list<Memory>& memories) {
  auto index = cMemoryIndexes.find(&memories);
  if (index == cMemoryIndexes.end())
    index = cMemoryIndexes.emplace(&memories, MemoryListIndex(memories)).first;
  return index->second;
}

void Linker::noteAllocation(std::list<Memory>& memories, Memory& memory) {
  const auto index = cMemoryIndexes.find(&memories);
  if (index != cMemoryIndexes.end()) index->second.update(memory);
}

int Linker::allocateAbsAssigned(std::list<Memory>& memories, const String& memName,
                                const String& secName, uint32_t start, uint32_t length,
                                int overlay, String& err) {
  Memory* m = indexOf(memories).named(memName);
  if (!m) {
    err = notDefined(secName, memName);
    return 0;
  }
  if (!m->canFit(FixedStart(start), length)) {
    err = "section '" + secName + "' has a memory '" + memName +
          "' which can not fit the absolute section. Section '" + secName +
          "' start=" + hexString(start, 4) + ", length=" + lengthText(length) + ".";
    return 0;
  }
  m->allocate(secName, FixedStart(start), length, overlay);
  cScnMem[secName] = m;
  noteAllocation(memories, *m);
  return 1;
}

int Linker::allocateAbsUnassigned(std::list<Memory>& memories, const String& secName,
                                  uint32_t start, uint32_t length, int overlay, String& err) {
  // Declaration order, PROTECTED memories included: the address decides.
  Memory* m = indexOf(memories).firstFitAt(FixedStart(start), length);
  if (m) {
    m->allocate(secName, FixedStart(start), length, overlay);
    cScnMem[secName] = m;
    noteAllocation(memories, *m);
    return 1;
  }
  err = "section '" + secName + "' can not fit the absolute section. Section '" + secName +
        "' start=" + hexString(start, 4) + ", length=" + lengthText(length);
  return 0;
}

int Linker::allocateRelAssigned(std::list<Memory>& memories, const String& memName,
                                const String& secName, uint64_t length, int overlay,
                                String& err) {
  Memory* m = indexOf(memories).named(memName);
  if (!m) {
    err = notDefined(secName, memName);
    return 0;
  }
  const Alignment alignment(alignmentOf(secName));
  if (!m->canFit(length, alignment)) {
    err = "section '" + secName + "' has a memory '" + memName +
          "' which can not fit the section. Section '" + secName +
          "' length=" + lengthText(length) + ".";
    return 0;
  }
  m->allocate(secName, length, overlay, alignment);
  cScnMem[secName] = m;
  noteAllocation(memories, *m);
  return 1;
}

int Linker::allocateRelUnassigned(std::list<Memory>& memories, const String& secName,
                                  uint64_t length, int overlay, String& err) {
  // The tightest memory first, so big holes stay for big sections; equal
  // holes keep declaration order.
  const Alignment alignment(alignmentOf(secName));
  Memory* m = indexOf(memories).ranking().firstFit(length, alignment);
  if (m) {
    m->allocate(secName, length, overlay, alignment);
    cScnMem[secName] = m;
    noteAllocation(memories, *m);
    return 1;
  }
  err = "section '" + secName + "' can not fit the section. Section '" + secName +
        "' length=" + lengthText(length);
  return 0;
}

int Linker::allocateInitImage(const String& name, String& err) {
  const String base = stripInitSuffix(name);
  const String image = initImageName(base);
  auto size = cScnSize.find(base);
  TOOL_ASSERT(size != cScnSize.end());
  if (size == cScnSize.end()) return 0;
  const uint64_t length = scaleRomSize(size->second);
  // Images are relocatable even for absolute sections.
  const SectionDesc* desc = findSectionDesc(image);
  if (desc) {
    if (!desc->getRunMemory().empty()) {
      err = "section '" + image +
            "' can not have a 'RAM' memory attribute specified in the linker command file.";
      return 0;
    }
    return allocateRelAssigned(cCodePage, desc->getLoadMemory(), image, length, 0, err);
  }
  return allocateRelUnassigned(cCodePage, image, length, 0, err);
}

int Linker::allocateAbsolute(const String& secName, String& err) {
  const int type = cScnType[secName];
  const uint32_t start = cScnAbsStart[secName];
  if (cRomWidthBits == 8 && type == scnCode && (start & 1) != 0) {
    err = "Absolute code section '" + secName + "' must start at a word-aligned address.";
    return 0;
  }
  if (type < scnCode || type > scnRomData) {
    err = "unknown section type for section '" + secName + "'.";
    return 0;
  }
  const uint32_t length = cScnAbsSize[secName];
  const int overlay = cScnOverlay[secName];
  std::list<Memory>& memories = memoryListOf(secName);
  const SectionDesc* desc = findSectionDesc(secName);
  if (!desc) return allocateAbsUnassigned(memories, secName, start, length, overlay, err);
  const bool program = type == scnCode || type == scnRomData;
  const String memName = program ? desc->getLoadMemory() : desc->getRunMemory();
  return allocateAbsAssigned(memories, memName, secName, start, length, overlay, err);
}

int Linker::mapSections(String& err) {
  if (!refuseLinkerSectionNames(err)) return 0;
  // The lookups are made afresh from the memories as they are now.
  cMemoryIndexes.clear();

  // 1. Absolute sections, by name.
  for (const auto& entry : cScnAbs)
    if (entry.second && !allocateAbsolute(entry.first, err)) return 0;

  // 2, 3. The stack with a RAM= memory, the table with a directive.
  if (stackHasRunMemory() && !allocateStack(err)) return 0;
  if (hasCinitSectionDesc() && !allocateInitTable(err)) return 0;

  // 4. Relocatable sections and images named by a directive, in directive
  // order; directives for absolute sections or unknown names are passed over.
  for (const SectionDesc& desc : cSectionDesc) {
    const String name = desc.getName();
    auto abs = cScnAbs.find(name);
    if (abs != cScnAbs.end()) {
      if (abs->second) continue;
      const int type = cScnType[name];
      if (type < scnCode || type > scnRomData) {
        err = "unknown section type for section '" + name + "'.";
        return 0;
      }
      const bool program = type == scnCode || type == scnRomData;
      const String memName = program ? desc.getLoadMemory() : desc.getRunMemory();
      if (!allocateRelAssigned(memoryListOf(name), memName, name, cScnSize[name],
                               cScnOverlay[name], err))
        return 0;
      continue;
    }
    const String base = stripInitSuffix(name);
    if (base == name) continue;
    auto type = cScnType.find(base);
    if (type != cScnType.end() && type->second == scnIData && !allocateInitImage(name, err))
      return 0;
  }

  // 5, 6. The stack without a memory, the table without a directive.
  if (!stackHasRunMemory() && !allocateStack(err)) return 0;
  if (!hasCinitSectionDesc() && !allocateInitTable(err)) return 0;

  // 7. Everything else, largest first; equal sizes keep name order, and a
  // section's image follows it.
  struct Pending {
    String name;
    uint64_t size;
    bool image;
  };
  std::vector<Pending> pending;
  for (const auto& entry : cScnType) {
    const String& name = entry.first;
    if (!cScnAbs[name] && !findSectionDesc(name)) pending.push_back({name, cScnSize[name], false});
    if (entry.second == scnIData) {
      const String image = initImageName(name);
      if (!findSectionDesc(image)) pending.push_back({image, scaleRomSize(cScnSize[name]), true});
    }
  }
  std::stable_sort(pending.begin(), pending.end(),
                   [](const Pending& a, const Pending& b) { return a.size > b.size; });
  for (const Pending& p : pending) {
    if (p.image) {
      if (!allocateInitImage(p.name, err)) return 0;
      continue;
    }
    const int type = cScnType[p.name];
    if (type < scnCode || type > scnRomData) {
      err = "unknown section type for section '" + p.name + "'.";
      return 0;
    }
    if (!allocateRelUnassigned(memoryListOf(p.name), p.name, p.size, cScnOverlay[p.name], err))
      return 0;
  }
  return 1;
}

int Linker::loadSections(String&) {
  // Pieces are keyed by input position: two library members may share a
  // file name.
  for (std::size_t file = 0; file < cCoff.size(); ++file) {
    const Coff& coff = *cCoff[file];
    for (const auto& number : coff.cScnNum) {
      const String& name = number.second;
      auto mem = cScnMem.find(name);
      auto header = coff.cScnHdr.find(name);
      TOOL_ASSERT(mem != cScnMem.end() && header != coff.cScnHdr.end());
      if (mem == cScnMem.end() || header == coff.cScnHdr.end()) return 0;
      const scnhdr& h = header->second;
      if (cScnAbs[name])
        mem->second->load(file, coff.cFileName, name, h.s_paddr, h.s_size);
      else
        mem->second->load(file, coff.cFileName, name, h.s_size);
    }
  }
  return 1;
}

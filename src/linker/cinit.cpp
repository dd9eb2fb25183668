// The two sections the linker makes itself: the stack in data memory, and
// the initialisation table in program memory that start-up code reads to
// copy each initialised-data section from its ROM image.
#include <cstring>
#include <vector>

#include "linker.h"
#include "platform.h"
#include "textutil.h"

namespace {

// The table's count field is 16 bits wide.
constexpr uint64_t kMaxInitEntries = 0xFFFF;

uint64_t countInitSections(const std::map<String, char>& types) {
  uint64_t n = 0;
  for (const auto& entry : types)
    if (entry.second == scnIData) ++n;
  return n;
}

void appendField(std::vector<unsigned char>& bytes, uint64_t value, bool wide) {
  const int width = wide ? 4 : 2;
  for (int i = 0; i < width; ++i) bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// Start-up code copies by these fields: a value cut to fit would copy the
// wrong bytes to the wrong place, so it is refused instead. what names the
// value ("start address", "size") and section the section it belongs to.
bool fieldFits(uint64_t value, bool wide, const char* what, const String& section,
               const String& table, String& err) {
  const uint64_t limit = wide ? 0xFFFFFFFFull : 0xFFFFull;
  if (value <= limit) return true;
  err = "The " + String(what) + " of section '" + section + "', " + hexAtLeast(value, 8) +
        ", does not fit the " + (wide ? "32" : "16") + "-bit fields of section '" + table + "'.";
  return false;
}

}  // namespace

int Linker::stackHasRunMemory() const {
  return cStackDescSet && !cStackDesc.getRunMemory().empty() ? 1 : 0;
}

int Linker::allocateStack(String& err) {
  if (!cStackDescSet) return 1;
  const String run = cStackDesc.getRunMemory();
  const uint32_t size = cStackDesc.getSize();
  if (run.empty()) {
    // Only DATABANKs: the stack never goes into a shared or access bank on
    // its own.
    return allocateRelUnassigned(cDataBanks, cStackName, size, 0, err);
  }
  for (std::list<Memory>* banks : {&cDataBanks, &cShareBanks, &cAccessBanks}) {
    for (const Memory& m : *banks)
      if (m.getName() == run) return allocateRelAssigned(*banks, run, cStackName, size, 0, err);
  }
  err = "undefined DATABANK/SHAREBANK '" + run + "' for STACK. ";
  return 0;
}

int Linker::hasCinitSectionDesc() { return findSectionDesc(cCinitName) ? 1 : 0; }

int Linker::initTableIsWide() const {
  return procMaxProgramAddress(cProcessor) >= 0x10000 || procMaxDataAddress(cProcessor) >= 0x10000
             ? 1
             : 0;
}

uint64_t Linker::initTableSize() const {
  const uint64_t entryBytes = initTableIsWide() ? 12 : 6;
  return scaleRomSize(2 + countInitSections(cScnType) * entryBytes);
}

int Linker::allocateInitTable(String& err) {
  syment sym;
  std::memcpy(sym.n_name, "_cinit", 6);
  sym.n_value = 0;
  sym.n_scnum = 0;
  sym.n_type = 0;
  sym.n_sclass = kClassExternal;
  sym.n_numaux = 0;
  sym.encode(cCinitSymbol);

  // A count that wrapped would make start-up code copy the wrong sections.
  if (countInitSections(cScnType) > kMaxInitEntries) {
    err = "too many initialized data sections for section '" + cCinitName +
          "': at most 65535 can be listed.";
    return 0;
  }
  const uint64_t size = initTableSize();

  const SectionDesc* desc = findSectionDesc(cCinitName);
  int placed;
  if (desc) {
    if (!desc->getRunMemory().empty()) {
      err = "section '" + cCinitName +
            "' contains initialized rom data and can not have a 'RAM' memory attribute "
            "specified in the linker command file.";
      return 0;
    }
    placed = allocateRelAssigned(cCodePage, desc->getLoadMemory(), cCinitName, size, 0, err);
  } else {
    placed = allocateRelUnassigned(cCodePage, cCinitName, size, 0, err);
  }
  if (!placed) return 0;

  sym.n_value = cScnMem[cCinitName]->getSecStart(cCinitName);
  sym.encode(cCinitSymbol);
  return 1;
}

int Linker::buildInitTable(String& err) {
  const bool wide = initTableIsWide() != 0;
  std::vector<unsigned char> bytes;
  appendField(bytes, 0, false);  // the count, filled in below
  uint64_t count = 0;
  for (const auto& entry : cScnType) {
    if (entry.second != scnIData) continue;
    const String& name = entry.first;
    const String image = initImageName(name);
    auto imageMem = cScnMem.find(image);
    auto dataMem = cScnMem.find(name);
    TOOL_ASSERT(imageMem != cScnMem.end() && dataMem != cScnMem.end());
    if (imageMem == cScnMem.end() || dataMem == cScnMem.end()) return 0;
    const uint64_t imageStart = imageMem->second->getSecStart(image);
    const uint64_t dataStart = dataMem->second->getSecStart(name);
    const uint64_t size = dataMem->second->getSecSizeInBytes(name);
    if (!fieldFits(imageStart, wide, "start address", image, cCinitName, err) ||
        !fieldFits(dataStart, wide, "start address", name, cCinitName, err) ||
        !fieldFits(size, wide, "size", name, cCinitName, err))
      return 0;
    appendField(bytes, imageStart, wide);
    appendField(bytes, dataStart, wide);
    appendField(bytes, size, wide);
    ++count;
  }
  bytes[0] = static_cast<unsigned char>(count);
  bytes[1] = static_cast<unsigned char>(count >> 8);
  cInitTable = Data(static_cast<uint32_t>(bytes.size()), bytes.data());
  return 1;
}

#include "linker.h"

#include <algorithm>

Linker::Linker()
    : cMinHeapSizeSet(0),
      cStackDescSet(0),
      cMinHeapSize(32),
      cStackName(".stack"),
      cStrip(0),
      cRomWidthBits(0),
      cRamWidthBits(0),
      cProcessor(0),
      cFamily(0),
      cCinitName(".cinit"),
      cCinitSymbol{},
      cStackSymbol{},
      cStksizeSymbol{},
      cFillCount(0) {}

Linker::~Linker() = default;

int Linker::setMinHeapSize(uint32_t size, String& err) {
  if (cMinHeapSizeSet) {
    err = "multiple min heap sizes declared: '" + std::to_string(cMinHeapSize) + "', '" +
          std::to_string(size) + "'";
    return 0;
  }
  cMinHeapSize = size;
  cMinHeapSizeSet = 1;
  return 1;
}

int Linker::setMapFile(const String& name, String& err) {
  if (!cMapFile.empty()) {
    err = "multiple map files declared: '" + cMapFile + "', '" + name + "'";
    return 0;
  }
  cMapFile = name;
  return 1;
}

int Linker::setOutputFile(const String& name, String& err) {
  if (!cOutputFile.empty()) {
    err = "multiple output files declared: '" + cOutputFile + "', '" + name + "'";
    return 0;
  }
  cOutputFile = name;
  return 1;
}

int Linker::addObjectFile(const String& name, String& err) {
  if (!cObjectFileNames.insert(name).second) {
    err = "mutliple inclusion of object file '" + name + "' ";
    return 0;
  }
  cObjectFile.push_back(name);
  return 1;
}

int Linker::addLibraryFile(const String& name, String& err) {
  if (!cLibraryFileNames.insert(name).second) {
    err = "mutliple inclusion of library file '" + name + "' ";
    return 0;
  }
  cLibraryFile.push_back(name);
  return 1;
}

int Linker::checkDuplicateMemory(const Memory& memory, int exceptShareBanks, String& err) const {
  const auto it = cMemoryNameKinds.find(memory.getName());
  const unsigned others = exceptShareBanks ? ~unsigned(kindShare) : ~0u;
  if (it != cMemoryNameKinds.end() && (it->second & others) != 0) {
    err = "duplicate definition of memory '" + memory.getName() + "' ";
    return 0;
  }
  return 1;
}

namespace {

// The runs are disjoint and ordered by start, so the ones that overlap the
// memory lie just before the first that starts past its end; of those the
// message names the first the checks walk, as kind and declaration order
// give it.
template <class Runs>
int refuseOverlap(const Runs& runs, const Memory& memory, String& err) {
  if (memory.getStart() > memory.getEnd()) return 1;  // holds no location, shares none
  auto it = runs.upper_bound(memory.getEnd());
  const typename Runs::mapped_type* first = nullptr;
  while (it != runs.begin()) {
    --it;
    if (it->second.end < memory.getStart()) break;
    const auto& run = it->second;
    if (!first || run.rank < first->rank || (run.rank == first->rank && run.order < first->order))
      first = &run;
  }
  if (!first) return 1;
  err = "memory '" + memory.getName() + "' overlaps memory '" + first->name + "' ";
  return 0;
}

}  // namespace

int Linker::checkCodePageOverlap(const Memory& memory, String& err) const {
  return refuseOverlap(cCodeRuns, memory, err);
}

int Linker::checkDataMemoryOverlap(const Memory& memory, String& err) const {
  return refuseOverlap(cDataRuns, memory, err);
}

void Linker::recordMemory(const Memory& memory, MemoryKind kind, std::list<Memory>& memories) {
  cMemoryNameKinds[memory.getName()] |= kind;
  if (memory.getStart() <= memory.getEnd()) {
    // Data banks, then share banks, then access banks: the order the
    // overlap message looks in.
    const unsigned rank = kind == kindData ? 0 : kind == kindShare ? 1 : 2;
    MemoryRun run{memory.getEnd(), rank, memories.size(), memory.getName()};
    (kind == kindCode ? cCodeRuns : cDataRuns).emplace(memory.getStart(), std::move(run));
  }
  if (kind == kindShare) cShareBankSizes.emplace(memory.getName(), memory.getSize());
  memories.push_back(memory);
}

int Linker::addCodePage(const Memory& memory, String& err) {
  if (!checkDuplicateMemory(memory, 0, err) || !checkCodePageOverlap(memory, err)) return 0;
  recordMemory(memory, kindCode, cCodePage);
  return 1;
}

int Linker::addDataBank(const Memory& memory, String& err) {
  if (!checkDuplicateMemory(memory, 0, err) || !checkDataMemoryOverlap(memory, err)) return 0;
  recordMemory(memory, kindData, cDataBanks);
  return 1;
}

int Linker::addAccessBank(const Memory& memory, String& err) {
  if (!checkDuplicateMemory(memory, 0, err) || !checkDataMemoryOverlap(memory, err)) return 0;
  recordMemory(memory, kindAccess, cAccessBanks);
  return 1;
}

int Linker::addShareBank(const Memory& memory, String& err) {
  if (!checkDuplicateMemory(memory, 1, err) || !checkDataMemoryOverlap(memory, err)) return 0;
  // Every definition of one SHAREBANK name maps the same number of locations.
  const auto size = cShareBankSizes.find(memory.getName());
  if (size != cShareBankSizes.end() && size->second != memory.getSize()) {
    err = "inconsistent length definitions of SHAREBANK '" + memory.getName() + "' ";
    return 0;
  }
  recordMemory(memory, kindShare, cShareBanks);
  return 1;
}

int Linker::isDataMemory(const String& name) const {
  const auto it = cMemoryNameKinds.find(name);
  return it != cMemoryNameKinds.end() && (it->second & (kindData | kindShare | kindAccess)) != 0
             ? 1
             : 0;
}

int Linker::addSectionDesc(const SectionDesc& desc, String& err) {
  if (cSectionDescNames.count(desc.getName())) {
    err = "duplicate definitions of SECTION '" + desc.getName() + "' ";
    return 0;
  }
  const String load = desc.getLoadMemory();
  if (!load.empty()) {
    bool found = false;
    for (const Memory& m : cCodePage)
      if (m.getName() == load) found = true;
    if (!found) {
      err = "undefined CODEPAGE '" + load + "' for SECTION '" + desc.getName() + "' ";
      return 0;
    }
  }
  const String run = desc.getRunMemory();
  if (!run.empty() && !isDataMemory(run)) {
    err = "undefined DATABANK/SHAREBANK '" + run + "' for SECTION '" + desc.getName() + "' ";
    return 0;
  }
  cSectionDesc.push_back(desc);
  cSectionDescNames.insert(desc.getName());
  return 1;
}

int Linker::setStackDesc(const StackDesc& desc, String& err) {
  if (cStackDescSet) {
    err = "multiple STACK definitions ";
    return 0;
  }
  const String run = desc.getRunMemory();
  if (!run.empty() && !isDataMemory(run)) {
    err = "undefined DATABANK/SHAREBANK '" + run + "' for STACK. ";
    return 0;
  }
  cStackDesc = desc;
  cStackDescSet = 1;
  return 1;
}

int Linker::addLibPath(const String& dir, String&) {
  cLibPath.push_back(dir);
  return 1;
}

int Linker::setStrip(int flag, String&) {
  cStrip = flag;
  return 1;
}

void Linker::print(std::ostream& os) const {
  os << "Linker:\n";
  os << "  cMinHeapSizeSet=" << cMinHeapSizeSet << '\n';
  os << "  cStackDescSet=" << cStackDescSet << '\n';
  os << "  cMinHeapSize=" << cMinHeapSize << '\n';
  os << "  cStackDesc=";
  cStackDesc.print(os);
  os << "  cStackName=" << cStackName << '\n';
  os << "  cMapFile=" << cMapFile << '\n';
  os << "  cOutputFile=" << cOutputFile << '\n';
  for (const String& f : cObjectFile) os << "  cObjectFile=" << f << '\n';
  for (const String& f : cLibraryFile) os << "  cLibraryFile=" << f << '\n';
  const std::pair<const char*, const std::list<Memory>*> memories[] = {
      {"cCodePage", &cCodePage},
      {"cDataBanks", &cDataBanks},
      {"cShareBanks", &cShareBanks},
      {"cAccessBanks", &cAccessBanks}};
  for (const auto& kind : memories) {
    for (const Memory& m : *kind.second) {
      os << "  " << kind.first << ":\n";
      m.dump(os);
    }
  }
  for (const SectionDesc& d : cSectionDesc) {
    os << "  cSectionDesc=";
    d.print(os);
  }
  for (const String& p : cLibPath) os << "  cLibPath=" << p << '\n';
  os << "  cStrip=" << cStrip << '\n';
  os << "  cRomWidthBits=" << cRomWidthBits << '\n';
  os << "  cRamWidthBits=" << cRamWidthBits << '\n';
  os << "  cProcessor=" << static_cast<unsigned>(cProcessor) << '\n';
  os << "  cFamily=" << static_cast<unsigned>(cFamily) << '\n';
  os << "  cCinitName=" << cCinitName << '\n';
  os << "  cFillCount=" << cFillCount << '\n';

  os << "------- Linker Internals: \n";
  for (const auto& entry : cScnSize) {
    const String& name = entry.first;
    auto flag = [&name](const std::map<String, int>& table) {
      auto it = table.find(name);
      return it == table.end() ? 0 : it->second;
    };
    auto type = cScnType.find(name);
    os << "  section " << name << ": size=" << entry.second
       << " type=" << (type == cScnType.end() ? 0 : static_cast<int>(type->second))
       << " abs=" << flag(cScnAbs) << " share=" << flag(cScnShare)
       << " overlay=" << flag(cScnOverlay) << " access=" << flag(cScnAccess);
    auto start = cScnAbsStart.find(name);
    if (start != cScnAbsStart.end()) os << " absStart=" << hexString(start->second, 4);
    auto size = cScnAbsSize.find(name);
    if (size != cScnAbsSize.end()) os << " absSize=" << size->second;
    auto mem = cScnMem.find(name);
    if (mem != cScnMem.end() && mem->second) os << " memory=" << mem->second->getName();
    os << '\n';
  }
}

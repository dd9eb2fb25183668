#include "memtarg.h"

#include <algorithm>
#include <cstdio>

#include "platform.h"
#include "textutil.h"

// A broken precondition is an internal error. When the exit has been replaced
// (the tests do) the operation gives up with its fallback and changes nothing,
// so no later step runs on a state the checks were meant to exclude.
#define MEM_REQUIRE(cond, fallback) \
  do {                              \
    if (!(cond)) {                  \
      TOOL_ASSERT(cond);            \
      return fallback;              \
    }                               \
  } while (0)

namespace {

const uint64_t kTopAddress = 0xFFFFFFFFu;

// hexString of four bytes, widened for the one count that needs 33 bits
// (the size of a range covering the whole address space).
String hexWide(uint64_t value) {
  if (value <= kTopAddress) return hexString(static_cast<uint32_t>(value), 4);
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
  return buf;
}

String rightJustified(const String& text, std::size_t width) {
  return text.size() >= width ? text : String(width - text.size(), ' ') + text;
}

// One row of the usage table, laid out as "%10s %10s %10s %20s %10s %10s\n".
void usageRow(std::ostream& os, const String& memory, const String& start, const String& end,
              const String& section, const String& address, const String& size) {
  os << rightJustified(memory, 10) << ' ' << rightJustified(start, 10) << ' '
     << rightJustified(end, 10) << ' ' << rightJustified(section, 20) << ' '
     << rightJustified(address, 10) << ' ' << rightJustified(size, 10) << '\n';
}

uint64_t effectiveAlignment(Alignment alignment) {
  // An alignment of 0 means no constraint; it must never reach a modulo.
  return alignment.value == 0 ? 1 : alignment.value;
}

uint64_t alignUp(uint64_t address, uint64_t alignment) {
  const uint64_t rem = address % alignment;
  return rem == 0 ? address : address + (alignment - rem);
}

}  // namespace

// ---------------------------------------------------------------- Range

Range::Range() : Range(0, 0, 1, 8) {}

Range::Range(uint32_t start, uint64_t size, char rangeType, uint16_t widthBits)
    : cStart(start),
      cSize(size),
      pc(start),
      type(rangeType),
      cWidthBits(widthBits),
      isOverlay(0),
      cLoadComplete(0) {}

uint64_t Range::getEnd() const {
  MEM_REQUIRE(cSize > 0, cStart);
  return static_cast<uint64_t>(cStart) + cSize - 1;
}

uint16_t Range::getWidthBits() const {
  TOOL_ASSERT(cWidthBits);
  return cWidthBits;
}

uint64_t Range::bytesPerLoc() const {
  // Never 0 after a failed check: it is a divisor in locs.
  MEM_REQUIRE(cWidthBits, 1);
  return (static_cast<uint64_t>(cWidthBits) + 7) / 8;
}

uint64_t Range::sizeInBytes() const { return bytesPerLoc() * cSize; }

uint64_t Range::locs(uint64_t bytes) const {
  const uint64_t perLoc = bytesPerLoc();
  return bytes / perLoc + (bytes % perLoc != 0 ? 1 : 0);
}

int Range::canFit(uint64_t length, Alignment alignment) const {
  const uint64_t align = effectiveAlignment(alignment);
  const uint64_t skipped = alignUp(cStart, align) - cStart;
  // Even an empty piece needs an address, and rounding up must not leave the
  // address space.
  if (static_cast<uint64_t>(cStart) + skipped > kTopAddress) return 0;
  if (length == 0) return 1;
  const uint64_t avail = sizeInBytes();
  if (avail == 0) return 0;
  if (skipped >= avail) return 0;  // no room left, and avail - skipped must not wrap
  return avail - skipped >= length ? 1 : 0;
}

int Range::canFit(FixedStart start, uint64_t length) const {
  if (length == 0) return 1;
  if (sizeInBytes() == 0) return 0;
  if (start.address < cStart) return 0;
  const uint64_t end = getEnd();
  if (start.address > end) return 0;
  // Compared as a count of locations left, so that no length can wrap the sum.
  return locs(length) <= end - start.address + 1 ? 1 : 0;
}

int Range::allocate(const String& name, FixedStart start, uint64_t length,
                    std::list<Range>& pieces, int overlay) {
  MEM_REQUIRE(!isAllocated(), 0);
  MEM_REQUIRE(canFit(start,length), 0);
  const uint32_t at = start.address;
  allocName = name;
  isOverlay = overlay;
  if (length == 0) {
    // An empty section gets an address but consumes nothing: the whole range
    // goes back to the free list.
    pieces.push_back(Range(cStart, cSize, type, cWidthBits));
    cSize = 0;
    cStart = at;
    pc = at;
    return 1;
  }
  const uint64_t n = locs(length);
  const uint64_t last = static_cast<uint64_t>(at) + n - 1;
  const uint32_t oldStart = cStart;
  const uint64_t oldEnd = getEnd();
  if (at != oldStart) pieces.push_back(Range(oldStart, at - oldStart, type, cWidthBits));
  if (last != oldEnd)
    pieces.push_back(Range(static_cast<uint32_t>(last + 1), oldEnd - last, type, cWidthBits));
  cStart = at;
  cSize = n;
  pc = at;
  return 1;
}

const Range::LoadRecord* Range::findLoad(std::size_t file) const {
  const auto it = cLoadIndex.find(file);
  return it == cLoadIndex.end() ? nullptr : &cLoads[it->second];
}

int Range::isLoaded(std::size_t file) const { return findLoad(file) ? 1 : 0; }

int Range::load(std::size_t file, const String& fileName, uint64_t length) {
  MEM_REQUIRE(isAllocated(), 0);
  MEM_REQUIRE(!isLoaded(file), 0);
  if (length > 0) MEM_REQUIRE(!loadComplete(), 0);
  // Checked for every range, an empty one included: a piece with bytes in a
  // range without locations would be written past its section.
  const uint64_t needed = locs(length);
  if (needed > static_cast<uint64_t>(cStart) + cSize - pc) {
    platform::assertFailed("newPc <= (getEnd() + 1)", __FILE__, __LINE__);
    return 0;
  }
  const uint64_t newPc = pc + needed;
  cLoadIndex.emplace(file, cLoads.size());
  cLoads.push_back(LoadRecord{file, fileName, pc, length});
  if (cSize == 0) {
    if (!isOverlay) cLoadComplete = 1;
    return 1;
  }
  // Overlay pieces all begin at the range's start.
  if (isOverlay) return 1;
  pc = newPc;
  if (pc > getEnd()) cLoadComplete = 1;
  return 1;
}

int Range::load(std::size_t file, const String& fileName, uint32_t start, uint64_t length) {
  MEM_REQUIRE(isAllocated(), 0);
  MEM_REQUIRE(!isLoaded(file), 0);
  MEM_REQUIRE(!loadComplete(), 0);
  MEM_REQUIRE(start == cStart, 0);
  if (isOverlay)
    MEM_REQUIRE(locs(length) <= cSize, 0);
  else
    MEM_REQUIRE(locs(length) == cSize, 0);
  cLoadIndex.emplace(file, cLoads.size());
  cLoads.push_back(LoadRecord{file, fileName, cStart, length});
  if (isOverlay) return 1;
  cLoadComplete = 1;
  if (cSize > 0) pc = getEnd() + 1;
  return 1;
}

uint32_t Range::getLoadStart(std::size_t file) const {
  MEM_REQUIRE(isLoaded(file), 0);
  // Only an empty piece loaded after the range was full can lie one past the
  // top of the address space; it holds no byte, so its start is kept to 32 bits.
  return static_cast<uint32_t>(findLoad(file)->start);
}

uint64_t Range::getLoadSize(std::size_t file) const {
  MEM_REQUIRE(isLoaded(file), 0);
  return findLoad(file)->size;
}

void Range::dump(std::ostream& os) const {
  os << "Range:   allocName=" << allocName << " start=" << hexString(cStart, 4)
     << " size=" << hexWide(cSize) << " end=" << (cSize > 0 ? hexWide(getEnd()) : String("none"))
     << " type=" << static_cast<int>(type) << " pc=" << hexWide(pc) << " isOverlay=" << isOverlay
     << '\n';
  for (const LoadRecord& rec : cLoads)
    os << "Loaded Section: file=" << rec.fileName << " (input " << rec.file << ")"
       << " start=" << hexWide(rec.start) << " size=" << hexWide(rec.size) << '\n';
}

// ---------------------------------------------------------------- Memory

namespace {

uint64_t ceilDiv(uint64_t value, uint64_t divisor) {
  return value / divisor + (value % divisor != 0 ? 1 : 0);
}

}  // namespace

Memory::Memory()
    : cType(1), cProtected(0), cHasFill(0), cStart(0), cEnd(0), cNextSequence(0),
      cPiecesSequence(0) {}

Memory::Memory(const String& name, uint32_t start, uint32_t end, char type, int isProtected,
               int hasFill, const String& fill)
    : cName(name),
      cType(type),
      cProtected(isProtected),
      cHasFill(hasFill),
      cFill(fill),
      cStart(start),
      cEnd(end),
      cNextSequence(0),
      cPiecesSequence(0) {
  if (start <= end) addFree(Range(start, getSize(), type, 0));
}

uint64_t Memory::getSize() const {
  return cStart <= cEnd ? static_cast<uint64_t>(cEnd) - cStart + 1 : 0;
}

int Memory::overlaps(const Memory& other) const {
  // A memory that holds no location shares none.
  if (cStart > cEnd || other.cStart > other.cEnd) return 0;
  return std::max(cStart, other.cStart) <= std::min(cEnd, other.cEnd) ? 1 : 0;
}

void Memory::setWidthBits(uint16_t widthBits) {
  // The keys count locations, so a new width keeps them.
  for (auto& entry : cFree) entry.second.setWidthBits(widthBits);
  for (auto& entry : cAllocRanges) entry.second.setWidthBits(widthBits);
}

void Memory::addFree(Range range) {
  const FreeKey key{range.getSize(), cNextSequence++};
  if ((range.getStart() & 1) == 0) cEvenFree.insert(key);
  cFreeByStart.emplace(range.getStart(), key);
  cFree.emplace(key, std::move(range));
}

Memory::FreeMap::const_iterator Memory::findFit(uint64_t length, Alignment alignment) const {
  // The first range in best-fit order that takes the piece. Ranges too small
  // for it are passed over by key; the walks past a range that still does
  // not fit stop at once but for a range whose aligned start would leave the
  // address space.
  if (cFree.empty()) return cFree.end();
  const uint64_t perLoc = cFree.begin()->second.bytesPerLoc();
  const uint64_t align = effectiveAlignment(alignment);
  auto firstFitting = [&](FreeMap::const_iterator it) {
    while (it != cFree.end() && !it->second.canFit(length, alignment)) ++it;
    return it;
  };
  // Fewer locations than this can not hold the piece.
  const uint64_t least = ceilDiv(length, perLoc);
  if (align == 1) return firstFitting(cFree.lower_bound(FreeKey{least, 0}));
  // From this many locations a range takes the piece from any start.
  const uint64_t padded = length > UINT64_MAX - (align - 1) ? UINT64_MAX : length + (align - 1);
  const uint64_t anyStart = ceilDiv(padded, perLoc);
  const auto roomy = firstFitting(cFree.lower_bound(FreeKey{anyStart, 0}));
  // Below it a range takes the piece only from an aligned start: at
  // alignment 2 one that starts even, and every one of those does.
  auto tight = cFree.end();
  if (align == 2) {
    const auto even = cEvenFree.lower_bound(FreeKey{least, 0});
    if (even != cEvenFree.end() && even->locations < anyStart) {
      const auto it = cFree.find(*even);
      if (it->second.canFit(length, alignment)) tight = it;
    }
  } else {
    for (auto it = cFree.lower_bound(FreeKey{least, 0});
         it != cFree.end() && it->first.locations < anyStart; ++it) {
      if (it->second.canFit(length, alignment)) {
        tight = it;
        break;
      }
    }
  }
  if (tight == cFree.end()) return roomy;
  if (roomy == cFree.end()) return tight;
  return tight->first < roomy->first ? tight : roomy;
}

Memory::FreeMap::const_iterator Memory::findAt(FixedStart start, uint64_t length) const {
  if (cFree.empty()) return cFree.end();
  // Every range takes an empty piece: the first in best-fit order does.
  if (length == 0) return cFree.begin();
  // Free ranges are disjoint: only the one that holds the start can fit.
  auto holder = cFreeByStart.upper_bound(start.address);
  if (holder == cFreeByStart.begin()) return cFree.end();
  --holder;
  const auto it = cFree.find(holder->second);
  return it->second.canFit(start, length) ? it : cFree.end();
}

int Memory::canFit(uint64_t length, Alignment alignment) const {
  return findFit(length, alignment) != cFree.end() ? 1 : 0;
}

int Memory::canFit(FixedStart start, uint64_t length) const {
  return findAt(start, length) != cFree.end() ? 1 : 0;
}

void Memory::takeRange(FreeMap::const_iterator chosen, const String& secName, FixedStart start,
                       uint64_t length, int overlay) {
  const FreeKey key = chosen->first;
  Range& range = cFree.find(key)->second;
  const uint32_t oldStart = range.getStart();
  std::list<Range> pieces;
  if (!range.allocate(secName, start, length, pieces, overlay)) return;
  cAllocRanges.emplace(secName, std::move(range));
  cFree.erase(key);
  cEvenFree.erase(key);
  cFreeByStart.erase(oldStart);
  // The pieces go to the end of the free list, head before tail.
  for (Range& piece : pieces) addFree(std::move(piece));
}

void Memory::allocate(const String& secName, uint64_t length, int overlay, Alignment alignment) {
  MEM_REQUIRE(!isAllocated(secName), );
  MEM_REQUIRE(canFit(length,alignment), );
  // The free list is sorted before the choice: the last pieces take their
  // places by size, which their keys give them already.
  cPiecesSequence = cNextSequence;
  const auto it = findFit(length, alignment);
  const bool found = it != cFree.end();
  MEM_REQUIRE(found, );
  // canFit has made sure the rounded start is still a 32-bit address.
  const uint64_t start = alignUp(it->second.getStart(), effectiveAlignment(alignment));
  takeRange(it, secName, FixedStart(static_cast<uint32_t>(start)), length, overlay);
}

void Memory::allocate(const String& secName, FixedStart start, uint64_t length, int overlay) {
  MEM_REQUIRE(!isAllocated(secName), );
  MEM_REQUIRE(canFit(start,length), );
  cPiecesSequence = cNextSequence;
  const auto it = findAt(start, length);
  const bool found = it != cFree.end();
  MEM_REQUIRE(found, );
  takeRange(it, secName, start, length, overlay);
}

int Memory::isAllocated(const String& secName) const {
  return cAllocRanges.count(secName) ? 1 : 0;
}

int Memory::isLoaded(std::size_t file, const String& secName) const {
  const auto it = cAllocRanges.find(secName);
  return it != cAllocRanges.end() && it->second.isLoaded(file) ? 1 : 0;
}

int Memory::load(std::size_t file, const String& fileName, const String& secName,
                 uint64_t length) {
  MEM_REQUIRE(isAllocated(secName), 0);
  MEM_REQUIRE(!isLoaded(file,secName), 0);
  return cAllocRanges.find(secName)->second.load(file, fileName, length);
}

int Memory::load(std::size_t file, const String& fileName, const String& secName, uint32_t start,
                 uint64_t length) {
  MEM_REQUIRE(isAllocated(secName), 0);
  MEM_REQUIRE(!isLoaded(file,secName), 0);
  return cAllocRanges.find(secName)->second.load(file, fileName, start, length);
}

uint32_t Memory::getSecStart(const String& secName) const {
  MEM_REQUIRE(isAllocated(secName), 0);
  return cAllocRanges.find(secName)->second.getStart();
}

uint64_t Memory::getSecSizeInBytes(const String& secName) const {
  MEM_REQUIRE(isAllocated(secName), 0);
  return cAllocRanges.find(secName)->second.sizeInBytes();
}

uint32_t Memory::getLoadStart(std::size_t file, const String& secName) const {
  MEM_REQUIRE(isLoaded(file,secName), 0);
  return cAllocRanges.find(secName)->second.getLoadStart(file);
}

uint64_t Memory::getLoadSize(std::size_t file, const String& secName) const {
  MEM_REQUIRE(isLoaded(file,secName), 0);
  return cAllocRanges.find(secName)->second.getLoadSize(file);
}

uint64_t Memory::largestHole() const {
  return cFree.empty() ? 0 : cFree.rbegin()->second.sizeInBytes();
}

int Memory::largestHoleStartsEven() const {
  if (cEvenFree.empty()) return 0;
  return cEvenFree.rbegin()->locations == cFree.rbegin()->first.locations ? 1 : 0;
}

std::vector<const Range*> Memory::freeListOrder() const {
  // Sorted by key but for the last allocation's pieces, which follow in the
  // order they were split off.
  std::vector<const Range*> order;
  std::vector<std::pair<uint64_t, const Range*>> pieces;
  order.reserve(cFree.size());
  for (const auto& entry : cFree) {
    if (entry.first.sequence >= cPiecesSequence)
      pieces.emplace_back(entry.first.sequence, &entry.second);
    else
      order.push_back(&entry.second);
  }
  std::sort(pieces.begin(), pieces.end());
  for (const auto& piece : pieces) order.push_back(piece.second);
  return order;
}

std::vector<Range> Memory::getFreeRanges() const {
  std::vector<Range> ranges;
  for (const Range* r : freeListOrder()) ranges.push_back(*r);
  return ranges;
}

void Memory::forEachHole(HoleCallback callback, void* user) const {
  if (!cHasFill || !callback) return;
  for (const Range* r : freeListOrder())
    callback(user, *this, r->getStart(), static_cast<uint32_t>(r->getEnd()), cFill);
}

int Memory::loadComplete() const {
  for (const auto& entry : cAllocRanges)
    if (!entry.second.loadComplete()) return 0;
  return 1;
}

void Memory::printUsage(std::ostream& os, int header) const {
  std::vector<ScnAddr> sections;
  sections.reserve(cAllocRanges.size());
  for (const auto& entry : cAllocRanges) sections.emplace_back(entry.first, entry.second.getStart());
  // Stable, so that sections at one address keep name order from run to run.
  std::stable_sort(sections.begin(), sections.end());

  if (header) {
    usageRow(os, "Memory", "Start", "End", "Section", "Address", "Size(Bytes)");
    usageRow(os, "---------", "---------", "---------", "---------", "---------", "---------");
  }
  // Four digits as long as they hold the value, more where it needs them.
  const String start = hexAtLeast(cStart, 4);
  const String end = hexAtLeast(cEnd, 4);
  if (sections.empty()) {
    usageRow(os, cName, start, end, "", "", "");
  } else {
    bool first = true;
    for (const ScnAddr& s : sections) {
      const uint64_t bytes = cAllocRanges.find(s.cName)->second.sizeInBytes();
      usageRow(os, first ? cName : String(), first ? start : String(), first ? end : String(),
               s.cName, hexAtLeast(s.cAddress, 4), hexAtLeast(bytes, 4));
      first = false;
    }
  }
  os << '\n';
}

void Memory::dump(std::ostream& os) const {
  os << "Memory: name=" << cName << " type=" << static_cast<int>(cType)
     << " protected=" << cProtected << " hasFill=" << cHasFill << " fill=" << cFill
     << " start=" << hexString(cStart, 4) << " end=" << hexString(cEnd, 4) << '\n';
  os << "---Allocated Ranges--- \n";
  for (const auto& entry : cAllocRanges) entry.second.dump(os);
  os << "---Unallocated Ranges--- \n";
  for (const Range* r : freeListOrder()) r->dump(os);
}

// ---------------------------------------------------------------- HoleRanking

HoleRanking::HoleRanking(std::list<Memory>& memories) {
  std::size_t order = 0;
  for (Memory& m : memories) {
    if (!m.isProtected()) {
      const Entry entry{m.largestHole(), order, &m};
      cEntries.emplace(&m, entry);
      insert(entry);
    }
    ++order;
  }
}

void HoleRanking::insert(const Entry& entry) {
  cRanked.insert(entry);
  if (entry.memory->largestHoleStartsEven()) cEvenRanked.insert(entry);
}

void HoleRanking::update(Memory& memory) {
  const auto found = cEntries.find(&memory);
  if (found == cEntries.end()) return;
  Entry& entry = found->second;
  cRanked.erase(entry);
  cEvenRanked.erase(entry);
  entry.hole = memory.largestHole();
  insert(entry);
}

Memory* HoleRanking::firstFit(uint64_t length, Alignment alignment) const {
  // A memory with a smaller largest hole can not take the piece, and one
  // without a free range takes not even an empty piece. From that hole on the
  // first memory fits but where an aligned start is in the way.
  const uint64_t least = std::max<uint64_t>(length, 1);
  auto firstFitting = [&](std::set<Entry>::const_iterator it) -> Memory* {
    for (; it != cRanked.end(); ++it)
      if (it->memory->canFit(length, alignment)) return it->memory;
    return nullptr;
  };
  if (effectiveAlignment(alignment) != 2 || length == 0 || length == UINT64_MAX)
    return firstFitting(cRanked.lower_bound(Entry{least, 0, nullptr}));
  // At alignment 2 a memory whose largest hole is just as long as the piece
  // takes it only when such a hole starts even; one with a longer hole
  // takes it from any start. The former rank first.
  const auto tight = cEvenRanked.lower_bound(Entry{length, 0, nullptr});
  if (tight != cEvenRanked.end() && tight->hole == length &&
      tight->memory->canFit(length, alignment))
    return tight->memory;
  return firstFitting(cRanked.lower_bound(Entry{length + 1, 0, nullptr}));
}

// ---------------------------------------------------------------- MemoryListIndex

MemoryListIndex::MemoryListIndex(std::list<Memory>& memories)
    : cMemories(&memories), cDisjoint(true), cRanking(memories) {
  std::size_t position = 0;
  for (Memory& m : memories) {
    cByName.emplace(m.getName(), &m);
    cPosition.emplace(&m, position);
    if (m.largestHole() > 0) cWithHoles.emplace(position, &m);
    if (m.getSize() > 0 && !cByStart.emplace(m.getStart(), &m).second) cDisjoint = false;
    ++position;
  }
  // Sorted by start, disjoint memories end before the next one starts.
  const Memory* before = nullptr;
  for (const auto& entry : cByStart) {
    if (before && before->getEnd() >= entry.second->getStart()) cDisjoint = false;
    before = entry.second;
  }
}

Memory* MemoryListIndex::named(const String& name) const {
  const auto it = cByName.find(name);
  return it == cByName.end() ? nullptr : it->second;
}

Memory* MemoryListIndex::firstFitAt(FixedStart start, uint64_t length) const {
  if (!cDisjoint) {
    for (Memory& m : *cMemories)
      if (m.canFit(start, length)) return &m;
    return nullptr;
  }
  // Every memory with a free range takes an empty piece.
  if (length == 0) return cWithHoles.empty() ? nullptr : cWithHoles.begin()->second;
  // Only the memory that holds the start can take a piece there.
  auto holder = cByStart.upper_bound(start.address);
  if (holder == cByStart.begin()) return nullptr;
  --holder;
  return holder->second->canFit(start, length) ? holder->second : nullptr;
}

void MemoryListIndex::update(Memory& memory) {
  const auto position = cPosition.find(&memory);
  if (position == cPosition.end()) return;
  if (memory.largestHole() == 0) cWithHoles.erase(position->second);
  cRanking.update(memory);
}

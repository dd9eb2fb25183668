// The linker's picture of the target memories: one Memory per CODEPAGE,
// DATABANK, SHAREBANK or ACCESSBANK, divided into free Ranges and ranges
// allocated to sections by name, plus where each input file's piece of a
// section lies inside its range.
//
// Addresses, starts, ends and range sizes count locations (a program word in
// a CODEPAGE, a byte in a data memory); lengths handed in by the linker count
// bytes. Sizes, ends and byte counts are computed in 64 bits so that a memory
// reaching the top of the 32-bit address space, or a huge length, can never
// wrap into something that seems to fit.
//
// Bookkeeping only: a broken precondition is an internal assertion, and the
// linker tests canFit before it asks for an allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <ostream>
#include <set>
#include <vector>

#include "diagnostics.h"

// The relocatable and the absolute forms of canFit and allocate both take a
// few small integers; these wrappers make a mix-up a compile error instead of
// a section placed at its own length.
struct Alignment {
  explicit constexpr Alignment(uint16_t v) : value(v) {}
  uint16_t value;
};

struct FixedStart {
  explicit constexpr FixedStart(uint32_t a) : address(a) {}
  uint32_t address;
};

// A run of locations, free or allocated to one section.
class Range {
 public:
  // The default range: start 0, size 0, RAM, 8-bit locations.
  Range();
  // A free range with pc at start and no loads.
  Range(uint32_t start, uint64_t size, char type, uint16_t widthBits);

  uint32_t getStart() const { return cStart; }
  // Last location (cStart + cSize - 1); asserts a nonzero size.
  uint64_t getEnd() const;
  // Number of locations; 0 only for the range of an empty section.
  uint64_t getSize() const { return cSize; }
  uint64_t getPc() const { return pc; }
  const String& getAllocName() const { return allocName; }
  char getType() const { return type; }

  uint16_t getWidthBits() const;
  void setWidthBits(uint16_t widthBits) { cWidthBits = widthBits; }
  uint64_t bytesPerLoc() const;
  uint64_t sizeInBytes() const;
  // Locations that hold a byte count, rounded up.
  uint64_t locs(uint64_t bytes) const;

  int isAllocated() const { return allocName.empty() ? 0 : 1; }

  // A relocatable piece of length bytes, placed at the next multiple of the
  // alignment at or after cStart.
  int canFit(uint64_t length, Alignment alignment) const;
  // A piece of length bytes at exactly start.
  int canFit(FixedStart start, uint64_t length) const;

  // Gives the range to section name at start; the parts of the old range
  // before and after the piece are appended to pieces (head, then tail).
  int allocate(const String& name, FixedStart start, uint64_t length, std::list<Range>& pieces,
               int overlay);

  // Input files are identified by their position among the link's inputs
  // (two library members may share a name); the name is kept for the dumps.
  int isLoaded(std::size_t file) const;
  // A relocatable section's piece, at the running location counter.
  int load(std::size_t file, const String& fileName, uint64_t length);
  // An absolute section's piece, at the range's start.
  int load(std::size_t file, const String& fileName, uint32_t start, uint64_t length);
  int loadComplete() const { return cLoadComplete; }
  uint32_t getLoadStart(std::size_t file) const;
  uint64_t getLoadSize(std::size_t file) const;

  void dump(std::ostream& os) const;

 private:
  struct LoadRecord {
    std::size_t file;
    String fileName;
    uint64_t start;
    uint64_t size;
  };

  const LoadRecord* findLoad(std::size_t file) const;

  String allocName;
  uint32_t cStart;
  uint64_t cSize;
  uint64_t pc;  // one past the last location when the range is full
  char type;
  uint16_t cWidthBits;
  int isOverlay;
  int cLoadComplete;
  std::vector<LoadRecord> cLoads;                // in load order
  std::map<std::size_t, std::size_t> cLoadIndex;  // file position -> cLoads index
};

class Memory;

// A memory ranked by its largest hole, in bytes; compared by the hole alone.
struct MemoryHole {
  Memory* memory = nullptr;
  uint64_t hole = 0;

  MemoryHole() = default;
  MemoryHole(Memory& m, uint64_t h) : memory(&m), hole(h) {}

  bool operator<(const MemoryHole& o) const { return hole < o.hole; }
  bool operator>(const MemoryHole& o) const { return hole > o.hole; }
};

// Called once per free range of a memory with FILL: first and last location.
using HoleCallback = void (*)(void* user, const Memory& memory, uint32_t first, uint32_t last,
                              const String& fill);

class Memory {
 public:
  // Empty name, RAM, unprotected, no fill, start 0, end 0.
  Memory();
  // One free range start..end with width 0 until setWidthBits. A memory whose
  // end lies below its start holds no location and no free range.
  Memory(const String& name, uint32_t start, uint32_t end, char type, int isProtected,
         int hasFill, const String& fill);

  const String& getName() const { return cName; }
  uint32_t getStart() const { return cStart; }
  uint32_t getEnd() const { return cEnd; }
  char getType() const { return cType; }
  int isProtected() const { return cProtected; }
  int hasFill() const { return cHasFill; }
  const String& getFill() const { return cFill; }
  // end - start + 1 locations (2^32 for the whole address space, 0 when end
  // lies below start).
  uint64_t getSize() const;
  int overlaps(const Memory& other) const;

  void setWidthBits(uint16_t widthBits);

  int canFit(uint64_t length, Alignment alignment) const;
  int canFit(FixedStart start, uint64_t length) const;
  // Best fit: the smallest free range that takes the piece, the earlier one
  // in the free list among equal sizes.
  void allocate(const String& secName, uint64_t length, int overlay, Alignment alignment);
  // At a fixed start.
  void allocate(const String& secName, FixedStart start, uint64_t length, int overlay);

  int isAllocated(const String& secName) const;
  int isLoaded(std::size_t file, const String& secName) const;
  int load(std::size_t file, const String& fileName, const String& secName, uint64_t length);
  int load(std::size_t file, const String& fileName, const String& secName, uint32_t start,
           uint64_t length);
  uint32_t getSecStart(const String& secName) const;
  uint64_t getSecSizeInBytes(const String& secName) const;
  uint32_t getLoadStart(std::size_t file, const String& secName) const;
  uint64_t getLoadSize(std::size_t file, const String& secName) const;

  uint64_t largestHole() const;
  // 1 when a free range of the largest size starts at an even address, so
  // that a piece as long as the largest hole fits there at alignment 2.
  int largestHoleStartsEven() const;
  void forEachHole(HoleCallback callback, void* user) const;
  int loadComplete() const;

  // Rows of the memory usage table; with header set, the two header rows first.
  void printUsage(std::ostream& os, int header) const;
  void dump(std::ostream& os) const;

  // Read-only views of the two range collections (traces and tests); the
  // free ranges in free-list order.
  std::vector<Range> getFreeRanges() const;
  const std::map<String, Range>& getAllocatedRanges() const { return cAllocRanges; }

 private:
  // The free list is kept in best-fit order: by size, and among equal sizes
  // by the order in which the ranges became free. Every range gets the next
  // sequence number when it becomes free, so (locations, sequence) orders
  // the list as sorting it by size would; locations order it as bytes do,
  // since all ranges of a memory have one width. The pieces split off by the
  // last allocation are the list's tail until the next allocation sorts them
  // in; they hold the highest sequence numbers.
  struct FreeKey {
    uint64_t locations;
    uint64_t sequence;
    bool operator<(const FreeKey& o) const {
      return locations != o.locations ? locations < o.locations : sequence < o.sequence;
    }
  };
  using FreeMap = std::map<FreeKey, Range>;

  void addFree(Range range);
  FreeMap::const_iterator findFit(uint64_t length, Alignment alignment) const;
  FreeMap::const_iterator findAt(FixedStart start, uint64_t length) const;
  std::vector<const Range*> freeListOrder() const;
  void takeRange(FreeMap::const_iterator chosen, const String& secName, FixedStart start,
                 uint64_t length, int overlay);

  String cName;
  char cType;
  int cProtected;
  int cHasFill;
  String cFill;
  uint32_t cStart;
  uint32_t cEnd;
  // Free ranges by key, with two views: those that start at an even address
  // (an even-aligned piece as long as the range fits only those) and all of
  // them by start (the one an absolute piece can lie in).
  FreeMap cFree;
  std::set<FreeKey> cEvenFree;
  std::map<uint32_t, FreeKey> cFreeByStart;
  uint64_t cNextSequence;
  uint64_t cPiecesSequence;  // first sequence number of the last allocation's pieces
  std::map<String, Range> cAllocRanges;
};

// The memories of one list that take sections without a directive (those
// not PROTECTED), ranked by their largest hole, tightest first; memories with
// equal holes keep declaration order. Whoever allocates in a ranked memory
// re-ranks it with update, so that no placement ranks the whole list anew.
class HoleRanking {
 public:
  HoleRanking() = default;
  explicit HoleRanking(std::list<Memory>& memories);

  // The first memory in rank order that can take a relocatable piece; null
  // when none can.
  Memory* firstFit(uint64_t length, Alignment alignment) const;
  // After an allocation in the memory; a memory that is not ranked is left out.
  void update(Memory& memory);

 private:
  struct Entry {
    uint64_t hole;
    std::size_t order;  // position in the list
    Memory* memory;
    bool operator<(const Entry& o) const { return hole != o.hole ? hole < o.hole : order < o.order; }
  };
  void insert(const Entry& entry);

  std::set<Entry> cRanked;
  // The ranked memories whose largest hole starts at an even address: of
  // the memories whose largest hole is as long as an even-aligned piece,
  // only these take it.
  std::set<Entry> cEvenRanked;
  std::map<const Memory*, Entry> cEntries;
};

// Lookups into one list of memories, made when mapping begins and kept up
// to date through update after every allocation in one of them: the first
// memory of each name, the memory that holds an address, and the ranking by
// largest hole.
class MemoryListIndex {
 public:
  explicit MemoryListIndex(std::list<Memory>& memories);

  // The first memory of the name in declaration order; null when none has it.
  Memory* named(const String& name) const;
  // The first memory in declaration order, PROTECTED ones included, that
  // can hold a piece at a fixed start; null when none can.
  Memory* firstFitAt(FixedStart start, uint64_t length) const;
  const HoleRanking& ranking() const { return cRanking; }
  void update(Memory& memory);

 private:
  std::list<Memory>* cMemories;
  std::map<String, Memory*> cByName;
  // The memories that hold a location, by start. The directives keep the
  // memories of a list apart; were two to overlap, the lookups by address
  // walk the list instead.
  std::map<uint32_t, Memory*> cByStart;
  bool cDisjoint;
  // The memories with a free range left, by position in the list.
  std::map<std::size_t, Memory*> cWithHoles;
  std::map<const Memory*, std::size_t> cPosition;
  HoleRanking cRanking;
};

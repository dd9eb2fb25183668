#include "memtarg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <list>
#include <random>
#include <sstream>
#include <tuple>
#include <vector>

#include "support/harness.h"

namespace {

using testing_support::ExitRecorder;
using testing_support::ExitTrap;
using testing_support::OutputCapture;
using testing_support::ProcessExit;

const uint64_t kAll = uint64_t(1) << 32;  // locations in the whole address space

struct Span {
  uint32_t start;
  uint64_t size;
  bool operator==(const Span& o) const { return start == o.start && size == o.size; }
};

std::ostream& operator<<(std::ostream& os, const Span& s) {
  return os << "(0x" << std::hex << s.start << ", 0x" << s.size << std::dec << ")";
}

std::vector<Span> freeList(const Memory& m) {
  std::vector<Span> out;
  for (const Range& r : m.getFreeRanges()) out.push_back({r.getStart(), r.getSize()});
  return out;
}

Memory makeMemory(uint32_t start, uint32_t end, uint16_t width, char type = 1) {
  Memory m("mem", start, end, type, 0, 0, "");
  m.setWidthBits(width);
  return m;
}

// ------------------------------------------------------------------ construction

TEST(MemoryConstruction, SizesAndHolesIncludingDegenerateBounds) {
  struct Case {
    const char* what;
    uint32_t start, end;
    uint16_t width;
    uint64_t size;
    std::vector<Span> free;
    uint64_t largestHole;
  };
  const Case cases[] = {
      {"14-bit code page", 0x0000, 0x07FF, 14, 2048, {{0, 2048}}, 4096},
      {"single location", 5, 5, 8, 1, {{5, 1}}, 1},
      {"whole address space, bytes", 0, 0xFFFFFFFFu, 8, kAll, {{0, kAll}}, kAll},
      {"whole address space, words", 0, 0xFFFFFFFFu, 16, kAll, {{0, kAll}}, 2 * kAll},
      {"top location", 0xFFFFFFFFu, 0xFFFFFFFFu, 16, 1, {{0xFFFFFFFFu, 1}}, 2},
      {"end just below start", 0x10, 0x0F, 8, 0, {}, 0},
      {"end far below start", 0xFFFFFFFFu, 0, 8, 0, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Memory m = makeMemory(c.start, c.end, c.width);
    EXPECT_EQ(m.getSize(), c.size);
    EXPECT_EQ(freeList(m), c.free);
    EXPECT_EQ(m.largestHole(), c.largestHole);
    EXPECT_TRUE(m.getAllocatedRanges().empty());
    // A memory without locations refuses even an empty section.
    EXPECT_EQ(m.canFit(0, Alignment(1)), c.free.empty() ? 0 : 1);
    EXPECT_EQ(m.canFit(FixedStart(c.start), 0), c.free.empty() ? 0 : 1);
  }
}

TEST(MemoryConstruction, DefaultsAndAttributes) {
  const Range r;
  EXPECT_EQ(r.getStart(), 0u);
  EXPECT_EQ(r.getSize(), 0u);
  EXPECT_EQ(r.getType(), 1);
  EXPECT_EQ(r.getWidthBits(), 8);
  EXPECT_EQ(r.isAllocated(), 0);

  const Memory d;
  EXPECT_EQ(d.getName(), "");
  EXPECT_EQ(d.getType(), 1);
  EXPECT_EQ(d.isProtected(), 0);
  EXPECT_EQ(d.hasFill(), 0);
  EXPECT_EQ(d.getStart(), 0u);
  EXPECT_EQ(d.getEnd(), 0u);

  const Memory m("page", 0x100, 0x1FF, 0, 1, 1, "0x3FFF");
  EXPECT_EQ(m.getName(), "page");
  EXPECT_EQ(m.getType(), 0);
  EXPECT_EQ(m.isProtected(), 1);
  EXPECT_EQ(m.hasFill(), 1);
  EXPECT_EQ(m.getFill(), "0x3FFF");
  ASSERT_EQ(m.getFreeRanges().size(), 1u);
  EXPECT_EQ(m.getFreeRanges().front().getType(), 0);
}

TEST(MemoryConstruction, OverlapIsInclusiveAndSymmetric) {
  struct Case {
    uint32_t s1, e1, s2, e2;
    int expected;
  };
  const Case cases[] = {
      {0x000, 0x7FF, 0x800, 0xFFF, 0},
      {0x000, 0x7FF, 0x7FF, 0xFFF, 1},
      {0x100, 0x1FF, 0x000, 0xFFFF, 1},
      {0x010, 0x020, 0x000, 0x005, 0},
      {0x000, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 1},
      {0x020, 0x010, 0x000, 0xFFFF, 0},  // a memory without locations shares none
  };
  for (const Case& c : cases) {
    const Memory a("a", c.s1, c.e1, 1, 0, 0, "");
    const Memory b("b", c.s2, c.e2, 1, 0, 0, "");
    EXPECT_EQ(a.overlaps(b), c.expected) << std::hex << c.s1 << ".." << c.e1;
    EXPECT_EQ(b.overlaps(a), c.expected) << std::hex << c.s1 << ".." << c.e1;
  }
}

// ------------------------------------------------------------------ canFit

TEST(RangeCanFit, RelocatableAndFixedStartCases) {
  const uint64_t kHuge = ~uint64_t(0);
  struct Case {
    const char* what;
    uint32_t start;
    uint64_t size;
    uint16_t width;
    bool fixed;  // canFit(start, length) rather than canFit(length, alignment)
    uint32_t at;
    uint64_t length;
    uint16_t align;
    int expected;
  };
  const Case cases[] = {
      {"empty piece, empty range", 0, 0, 8, false, 0, 0, 1, 1},
      {"empty range takes nothing", 0, 0, 8, false, 0, 1, 1, 0},
      {"exactly the bytes of a 14-bit page", 0, 2048, 14, false, 0, 4096, 1, 1},
      {"one byte too many", 0, 2048, 14, false, 0, 4097, 1, 0},
      {"16-bit words hold two bytes", 0, 4, 16, false, 0, 8, 1, 1},
      {"16-bit words, one byte over", 0, 4, 16, false, 0, 9, 1, 0},
      {"alignment 2 at an odd start loses a byte", 0x101, 5, 8, false, 0, 4, 2, 1},
      {"alignment 2 at an odd start, full length", 0x101, 5, 8, false, 0, 5, 2, 0},
      {"alignment 2 at an even start", 0x100, 5, 8, false, 0, 5, 2, 1},
      {"alignment gap as large as the range", 0x101, 1, 8, false, 0, 1, 2, 0},
      {"alignment gap larger than the range", 0x101, 1, 8, false, 0, 1, 4, 0},
      {"alignment 0 acts as 1", 0x101, 5, 8, false, 0, 5, 0, 1},
      {"aligned start would leave the address space", 0xFFFFFFFFu, 1, 8, false, 0, 0, 2, 0},
      {"whole address space holds 2^32 bytes", 0, kAll, 8, false, 0, kAll, 1, 1},
      {"whole address space, one byte more", 0, kAll, 8, false, 0, kAll + 1, 1, 0},
      {"huge length never wraps", 0, kAll, 16, false, 0, kHuge, 1, 0},

      {"fixed: empty piece fits anywhere", 0x100, 5, 8, true, 0x10, 0, 1, 1},
      {"fixed: empty range takes nothing", 0x100, 0, 8, true, 0x100, 1, 1, 0},
      {"fixed: start below the range", 0x100, 16, 8, true, 0xFF, 1, 1, 0},
      {"fixed: at the range's start", 0x100, 16, 8, true, 0x100, 16, 1, 1},
      {"fixed: last location", 0x100, 16, 8, true, 0x10F, 1, 1, 1},
      {"fixed: up to the end", 0x100, 16, 8, true, 0x108, 8, 1, 1},
      {"fixed: one past the end", 0x100, 16, 8, true, 0x108, 9, 1, 0},
      {"fixed: start past the end", 0x100, 16, 8, true, 0x110, 1, 1, 0},
      {"fixed: odd bytes round up to a word", 0x10, 2, 16, true, 0x11, 2, 1, 1},
      {"fixed: odd bytes, one word too many", 0x10, 2, 16, true, 0x11, 3, 1, 0},
      {"fixed: last location of the address space", 0xFFFFFFF0u, 16, 8, true, 0xFFFFFFFFu, 1, 1,
       1},
      {"fixed: end would wrap past 2^32", 0xFFFFFFF0u, 16, 8, true, 0xFFFFFFFFu, 2, 1, 0},
      {"fixed: length beyond 32 bits", 0xFFFFFFF0u, 16, 8, true, 0xFFFFFFF0u, kAll + 16, 1, 0},
      {"fixed: huge length never wraps", 0xFFFFFFF0u, 16, 8, true, 0xFFFFFFF0u, kHuge, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Range r(c.start, c.size, 1, c.width);
    const int got = c.fixed ? r.canFit(FixedStart(c.at), c.length)
                            : r.canFit(c.length, Alignment(c.align));
    EXPECT_EQ(got, c.expected);
  }
}

// ------------------------------------------------------------------ allocate and load

enum class Op { Rel, Abs, Load, LoadAt };

struct Step {
  Op op;
  String sec;
  uint64_t length;
  uint32_t start = 0;
  uint16_t align = 1;
  int overlay = 0;
  std::size_t file = 0;
  String fileName;
};

Step rel(const String& sec, uint64_t length, uint16_t align = 1, int overlay = 0) {
  return {Op::Rel, sec, length, 0, align, overlay, 0, ""};
}
Step absAt(const String& sec, uint32_t start, uint64_t length, int overlay = 0) {
  return {Op::Abs, sec, length, start, 1, overlay, 0, ""};
}
Step load(std::size_t file, const String& name, const String& sec, uint64_t length) {
  return {Op::Load, sec, length, 0, 1, 0, file, name};
}
Step loadAt(std::size_t file, const String& name, const String& sec, uint32_t start,
            uint64_t length) {
  return {Op::LoadAt, sec, length, start, 1, 0, file, name};
}

struct Placed {
  String sec;
  uint32_t start;
  uint64_t size;   // locations
  uint64_t bytes;  // getSecSizeInBytes
  int complete;
};

struct Piece {
  std::size_t file;
  String sec;
  uint32_t start;
  uint64_t size;
};

struct Scenario {
  const char* what;
  uint32_t start, end;
  uint16_t width;
  std::vector<Step> steps;
  std::vector<Span> free;      // free list afterwards, in list order
  std::vector<Placed> placed;  // every allocated section
  std::vector<Piece> pieces;   // recorded loads
};

void runScenario(const Scenario& s) {
  SCOPED_TRACE(s.what);
  OutputCapture capture;
  ExitRecorder recorder;
  Memory m = makeMemory(s.start, s.end, s.width);
  for (const Step& st : s.steps) {
    switch (st.op) {
      case Op::Rel:
        ASSERT_EQ(m.canFit(st.length, Alignment(st.align)), 1) << st.sec;
        m.allocate(st.sec, st.length, st.overlay, Alignment(st.align));
        break;
      case Op::Abs:
        ASSERT_EQ(m.canFit(FixedStart(st.start), st.length), 1) << st.sec;
        m.allocate(st.sec, FixedStart(st.start), st.length, st.overlay);
        break;
      case Op::Load:
        EXPECT_EQ(m.load(st.file, st.fileName, st.sec, st.length), 1) << st.sec;
        break;
      case Op::LoadAt:
        EXPECT_EQ(m.load(st.file, st.fileName, st.sec, st.start, st.length), 1) << st.sec;
        break;
    }
  }
  EXPECT_EQ(recorder.count(), 0) << capture.text();
  EXPECT_EQ(freeList(m), s.free);
  EXPECT_EQ(m.getAllocatedRanges().size(), s.placed.size());
  for (const Placed& p : s.placed) {
    SCOPED_TRACE(p.sec);
    ASSERT_EQ(m.isAllocated(p.sec), 1);
    const Range& r = m.getAllocatedRanges().at(p.sec);
    EXPECT_EQ(r.getAllocName(), p.sec);
    EXPECT_EQ(m.getSecStart(p.sec), p.start);
    EXPECT_EQ(r.getSize(), p.size);
    EXPECT_EQ(m.getSecSizeInBytes(p.sec), p.bytes);
    EXPECT_EQ(r.loadComplete(), p.complete);
  }
  for (const Piece& p : s.pieces) {
    SCOPED_TRACE(p.sec + " file " + std::to_string(p.file));
    ASSERT_EQ(m.isLoaded(p.file, p.sec), 1);
    EXPECT_EQ(m.getLoadStart(p.file, p.sec), p.start);
    EXPECT_EQ(m.getLoadSize(p.file, p.sec), p.size);
  }
}

TEST(MemoryAllocate, PlacementAndFreeListOrder) {
  const Scenario scenarios[] = {
      {"relocatable 100 bytes in a 14-bit page",
       0, 0x7FF, 14,
       {rel(".code", 100)},
       {{0x32, 0x7CE}},
       {{".code", 0, 50, 100, 0}},
       {}},
      {"alignment 2 leaves the skipped location as a head piece",
       0x101, 0x105, 8,
       {rel("c", 4, 2)},
       {{0x101, 1}},
       {{"c", 0x102, 4, 4, 0}},
       {}},
      {"absolute in the middle splits head and tail",
       0, 0xFF, 8,
       {absAt("a", 0x10, 0x10)},
       {{0, 0x10}, {0x20, 0xE0}},
       {{"a", 0x10, 0x10, 0x10, 0}},
       {}},
      {"absolute at the range's start leaves a tail",
       0, 0xFF, 8,
       {absAt("a", 0, 0x10)},
       {{0x10, 0xF0}},
       {{"a", 0, 0x10, 0x10, 0}},
       {}},
      {"absolute covering the range leaves nothing",
       0, 0xFF, 8,
       {absAt("a", 0, 0x100)},
       {},
       {{"a", 0, 0x100, 0x100, 0}},
       {}},
      {"best fit takes the smaller hole",
       0, 40, 8,
       {absAt("gap", 20, 11), rel("p", 8)},
       {{0, 20}, {39, 2}},
       {{"gap", 20, 11, 11, 0}, {"p", 31, 8, 8, 0}},
       {}},
      {"equal holes: the earlier in the free list wins, not the lower address",
       0, 29, 8,
       {absAt("m", 10, 10), rel("e", 0), rel("b", 5)},
       {{0, 10}, {25, 5}},
       {{"m", 10, 10, 10, 0}, {"e", 0, 0, 0, 0}, {"b", 20, 5, 5, 0}},
       {}},
      {"absolute allocations re-sort the free list and append their pieces",
       0, 39, 8,
       {absAt("m", 10, 10), absAt("n", 30, 5), rel("p", 1), absAt("q", 22, 2)},
       {{36, 4}, {0, 10}, {20, 2}, {24, 6}},
       {{"m", 10, 10, 10, 0}, {"n", 30, 5, 5, 0}, {"p", 35, 1, 1, 0}, {"q", 22, 2, 2, 0}},
       {}},
      {"empty absolute section moves the smallest range to the end",
       0, 39, 8,
       {absAt("m", 10, 10), absAt("z", 0x1000, 0)},
       {{20, 20}, {0, 10}},
       {{"m", 10, 10, 10, 0}, {"z", 0x1000, 0, 0, 0}},
       {}},
      {"empty relocatable section takes the rounded start and consumes nothing",
       0x101, 0x105, 8,
       {rel("e", 0, 2)},
       {{0x101, 5}},
       {{"e", 0x102, 0, 0, 0}},
       {}},
      {"odd byte length rounds up to whole 16-bit words",
       0, 0xFF, 16,
       {rel("d", 5)},
       {{3, 0xFD}},
       {{"d", 0, 3, 6, 0}},
       {}},
      {"memory at the top of the address space",
       0xFFFFFF00u, 0xFFFFFFFFu, 8,
       {absAt("t", 0xFFFFFFF0u, 16), rel("u", 0xF0)},
       {},
       {{"t", 0xFFFFFFF0u, 16, 16, 0}, {"u", 0xFFFFFF00u, 0xF0, 0xF0, 0}},
       {}},
      {"memory covering the whole address space",
       0, 0xFFFFFFFFu, 8,
       {rel("a", 0x10), absAt("b", 0xFFFFFFFFu, 1)},
       {{0x10, 0xFFFFFFEFu}},
       {{"a", 0, 0x10, 0x10, 0}, {"b", 0xFFFFFFFFu, 1, 1, 0}},
       {}},
  };
  for (const Scenario& s : scenarios) runScenario(s);
}

TEST(MemoryLoad, PiecesOfSections) {
  const Scenario scenarios[] = {
      {"pieces lie back to back; complete after the last",
       0, 0xFF, 14,
       {rel(".code", 10), load(0, "a.o", ".code", 6), load(1, "b.o", ".code", 4)},
       {{5, 0xFB}},
       {{".code", 0, 5, 10, 1}},
       {{0, ".code", 0, 6}, {1, ".code", 3, 4}}},
      {"not complete while locations remain",
       0, 0xFF, 14,
       {rel(".code", 10), load(0, "a.o", ".code", 6)},
       {{5, 0xFB}},
       {{".code", 0, 5, 10, 0}},
       {{0, ".code", 0, 6}}},
      {"overlay pieces share the start and never complete",
       0, 0xFF, 8,
       {rel("ov", 8, 1, 1), load(0, "a.o", "ov", 8), load(1, "b.o", "ov", 3)},
       {{8, 0xF8}},
       {{"ov", 0, 8, 8, 0}},
       {{0, "ov", 0, 8}, {1, "ov", 0, 3}}},
      {"absolute piece of odd byte length keeps its byte length",
       0, 0xFF, 16,
       {absAt("abs", 0x20, 5), loadAt(0, "a.o", "abs", 0x20, 5)},
       {{0, 0x20}, {0x23, 0xDD}},
       {{"abs", 0x20, 3, 6, 1}},
       {{0, "abs", 0x20, 5}}},
      {"absolute overlay pieces share the start",
       0, 0xFF, 8,
       {absAt("ao", 0x10, 4, 1), loadAt(0, "a.o", "ao", 0x10, 4), loadAt(1, "b.o", "ao", 0x10, 2)},
       {{0, 0x10}, {0x14, 0xEC}},
       {{"ao", 0x10, 4, 4, 0}},
       {{0, "ao", 0x10, 4}, {1, "ao", 0x10, 2}}},
      {"empty relocatable section records its address",
       0x40, 0x4F, 8,
       {rel("e", 0), load(0, "a.o", "e", 0)},
       {{0x40, 16}},
       {{"e", 0x40, 0, 0, 1}},
       {{0, "e", 0x40, 0}}},
      {"empty absolute section records its address",
       0, 0xF, 8,
       {absAt("z", 0x80, 0), loadAt(0, "a.o", "z", 0x80, 0)},
       {{0, 16}},
       {{"z", 0x80, 0, 0, 1}},
       {{0, "z", 0x80, 0}}},
      {"empty pieces take the current location and move nothing",
       0, 0xFF, 8,
       {rel("s", 4), load(0, "a.o", "s", 0), load(1, "b.o", "s", 4), load(2, "c.o", "s", 0)},
       {{4, 0xFC}},
       {{"s", 0, 4, 4, 1}},
       {{0, "s", 0, 0}, {1, "s", 0, 4}, {2, "s", 4, 0}}},
      {"inputs with the same name are kept apart by position",
       0, 0xFF, 8,
       {rel("d", 6), load(0, "util.o", "d", 2), load(1, "util.o", "d", 4)},
       {{6, 0xFA}},
       {{"d", 0, 6, 6, 1}},
       {{0, "d", 0, 2}, {1, "d", 2, 4}}},
      {"a range ending at the top of the address space completes",
       0xFFFFFFFCu, 0xFFFFFFFFu, 8,
       {rel("t", 4), load(7, "a.o", "t", 3), load(8, "b.o", "t", 1)},
       {},
       {{"t", 0xFFFFFFFCu, 4, 4, 1}},
       {{7, "t", 0xFFFFFFFCu, 3}, {8, "t", 0xFFFFFFFFu, 1}}},
  };
  for (const Scenario& s : scenarios) runScenario(s);
}

TEST(MemoryLoad, CompletionOfTheMemory) {
  Memory m = makeMemory(0, 0xFF, 8);
  EXPECT_EQ(m.loadComplete(), 1);  // nothing allocated
  m.allocate("a", 2, 0, Alignment(1));
  m.allocate("b", 0, 0, Alignment(1));
  EXPECT_EQ(m.loadComplete(), 0);
  m.load(0, "x.o", "a", 2);
  EXPECT_EQ(m.loadComplete(), 0);
  EXPECT_EQ(m.isLoaded(0, "b"), 0);
  m.load(0, "x.o", "b", 0);
  EXPECT_EQ(m.loadComplete(), 1);
  EXPECT_EQ(m.isLoaded(0, "b"), 1);
  EXPECT_EQ(m.isLoaded(1, "b"), 0);
  EXPECT_EQ(m.isLoaded(0, "none"), 0);
}

// ------------------------------------------------------------------ broken preconditions

TEST(MemoryPreconditions, EachIsAnAssertionAndChangesNothing) {
  struct Case {
    const char* expression;
    std::function<void()> run;
  };
  const Case cases[] = {
      {"cSize > 0", [] { (void)Range().getEnd(); }},
      {"cWidthBits", [] { (void)Memory("m", 0, 3, 1, 0, 0, "").largestHole(); }},
      {"isLoaded(file)", [] { EXPECT_EQ(Range(0, 4, 1, 8).getLoadStart(0), 0u); }},
      {"!isAllocated()",
       [] {
         Range r(0, 4, 1, 8);
         std::list<Range> pieces;
         r.allocate("a", FixedStart(0), 2, pieces, 0);
         pieces.clear();
         EXPECT_EQ(r.allocate("b", FixedStart(0), 1, pieces, 0), 0);
         EXPECT_EQ(r.getAllocName(), "a");
         EXPECT_TRUE(pieces.empty());
       }},
      {"canFit(start,length)",
       [] {
         Range r(0x10, 4, 1, 8);
         std::list<Range> pieces;
         EXPECT_EQ(r.allocate("x", FixedStart(0x12), 3, pieces, 0), 0);
         EXPECT_EQ(r.isAllocated(), 0);
         EXPECT_EQ(r.getSize(), 4u);
         EXPECT_TRUE(pieces.empty());
       }},
      {"isAllocated()", [] { EXPECT_EQ(Range(0, 4, 1, 8).load(0, "a.o", 1), 0); }},
      {"!isLoaded(file)",
       [] {
         Memory m = makeMemory(0, 0xF, 8);
         m.allocate("s", 4, 0, Alignment(1));
         Range r = m.getAllocatedRanges().at("s");
         r.load(0, "a.o", 1);
         EXPECT_EQ(r.load(0, "a.o", 1), 0);
         EXPECT_EQ(r.getLoadSize(0), 1u);
         EXPECT_EQ(r.getPc(), 1u);
       }},
      {"!loadComplete()",
       [] {
         Memory m = makeMemory(0, 0xF, 8);
         m.allocate("s", 2, 0, Alignment(1));
         m.load(0, "a.o", "s", 2);
         EXPECT_EQ(m.load(1, "b.o", "s", 1), 0);
         EXPECT_EQ(m.isLoaded(1, "s"), 0);
       }},
      {"newPc <= (getEnd() + 1)",
       [] {
         Memory m = makeMemory(0, 0xF, 8);
         m.allocate("s", 2, 0, Alignment(1));
         EXPECT_EQ(m.load(0, "a.o", "s", 3), 0);
         EXPECT_EQ(m.isLoaded(0, "s"), 0);
       }},
      {"newPc <= (getEnd() + 1)",  // bytes into an empty section would be written past it
       [] {
         Memory m = makeMemory(0, 0xF, 8);
         m.allocate("e", 0, 0, Alignment(1));
         EXPECT_EQ(m.load(0, "a.o", "e", 1), 0);
         EXPECT_EQ(m.isLoaded(0, "e"), 0);
       }},
      {"newPc <= (getEnd() + 1)",  // a length near 2^64 must not wrap the location counter
       [] {
         Memory m = makeMemory(0xFFFFFFF0u, 0xFFFFFFFFu, 8);
         m.allocate("s", 4, 0, Alignment(1));
         m.load(0, "a.o", "s", 1);
         EXPECT_EQ(m.load(1, "b.o", "s", ~uint64_t(0)), 0);
         EXPECT_EQ(m.getAllocatedRanges().at("s").getPc(), 0xFFFFFFF1u);
       }},
      {"newPc <= (getEnd() + 1)",
       [] {
         Memory m = makeMemory(0, 0xF, 8);
         m.allocate("ov", 2, 1, Alignment(1));
         EXPECT_EQ(m.load(0, "a.o", "ov", 3), 0);
       }},
      {"start == cStart",
       [] {
         Memory m = makeMemory(0, 0xFF, 8);
         m.allocate("a", FixedStart(0x10), 4, 0);
         EXPECT_EQ(m.load(0, "a.o", "a", 0x11, 4), 0);
       }},
      {"locs(length) == cSize",
       [] {
         Memory m = makeMemory(0, 0xFF, 8);
         m.allocate("a", FixedStart(0x10), 4, 0);
         EXPECT_EQ(m.load(0, "a.o", "a", 0x10, 3), 0);
         EXPECT_EQ(m.getAllocatedRanges().at("a").loadComplete(), 0);
       }},
      {"locs(length) <= cSize",  // an overlay piece must fit its range
       [] {
         Memory m = makeMemory(0, 0xFF, 8);
         m.allocate("a", FixedStart(0x10), 4, 1);
         EXPECT_EQ(m.load(0, "a.o", "a", 0x10, 5), 0);
       }},
      {"!isAllocated(secName)",
       [] {
         Memory m = makeMemory(0, 0xFF, 8);
         m.allocate("a", 4, 0, Alignment(1));
         m.allocate("a", 4, 0, Alignment(1));
         m.allocate("a", FixedStart(0x80), 4, 0);
         EXPECT_EQ(freeList(m), (std::vector<Span>{{4, 0xFC}}));
       }},
      {"canFit(length,alignment)",
       [] {
         Memory m = makeMemory(0, 3, 8);
         m.allocate("big", 5, 0, Alignment(1));
         EXPECT_EQ(m.isAllocated("big"), 0);
         EXPECT_EQ(freeList(m), (std::vector<Span>{{0, 4}}));
       }},
      {"canFit(length,alignment)",  // no free range left, not even for an empty section
       [] {
         Memory m = makeMemory(0, 3, 8);
         m.allocate("all", 4, 0, Alignment(1));
         m.allocate("e", 0, 0, Alignment(1));
         EXPECT_EQ(m.isAllocated("e"), 0);
       }},
      {"canFit(start,length)",
       [] {
         Memory m = makeMemory(0, 3, 8);
         m.allocate("x", FixedStart(2), 3, 0);
         EXPECT_EQ(m.isAllocated("x"), 0);
         EXPECT_EQ(freeList(m), (std::vector<Span>{{0, 4}}));
       }},
      {"isAllocated(secName)", [] { EXPECT_EQ(makeMemory(0, 3, 8).getSecStart("none"), 0u); }},
      {"isAllocated(secName)",
       [] { EXPECT_EQ(makeMemory(0, 3, 8).getSecSizeInBytes("none"), 0u); }},
      {"isAllocated(secName)", [] { EXPECT_EQ(makeMemory(0, 3, 8).load(0, "a.o", "x", 1), 0); }},
      {"!isLoaded(file,secName)",
       [] {
         Memory m = makeMemory(0, 0xF, 8);
         m.allocate("s", 4, 0, Alignment(1));
         m.load(3, "a.o", "s", 1);
         EXPECT_EQ(m.load(3, "a.o", "s", 1), 0);
         EXPECT_EQ(m.getLoadSize(3, "s"), 1u);
       }},
      {"isLoaded(file,secName)",
       [] {
         Memory m = makeMemory(0, 0xF, 8);
         m.allocate("s", 4, 0, Alignment(1));
         m.load(3, "a.o", "s", 1);
         EXPECT_EQ(m.getLoadStart(4, "s"), 0u);
         EXPECT_EQ(m.getLoadSize(4, "s"), 0u);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expression);
    OutputCapture capture;
    ExitRecorder recorder;
    c.run();
    const String out = capture.text();
    const String expected = String("Expression: ") + c.expression + "\n";
    EXPECT_GE(recorder.count(), 1);
    EXPECT_EQ(recorder.lastStatus(), 255);
    EXPECT_EQ(out.find("Assertion Failed!"), 0u) << out;
    // The first failed check is the one meant.
    EXPECT_EQ(out.find("Expression: "), out.find(expected)) << out;
    EXPECT_NE(out.find("File: memtarg.cpp\n"), String::npos) << out;
  }
}

TEST(MemoryPreconditions, EndTheProgramWithStatus255) {
  OutputCapture capture;
  ExitTrap trap;
  const Memory m = makeMemory(0, 3, 8);
  try {
    (void)m.getSecStart("none");
    ADD_FAILURE() << "no exit";
  } catch (const ProcessExit& e) {
    EXPECT_EQ(e.status, 255);
  }
  EXPECT_NE(capture.text().find("ABNORMAL TERMINATION"), String::npos);
}

// ------------------------------------------------------------------ holes

struct HoleCall {
  const Memory* memory;
  uint32_t first, last;
  String fill;
  bool operator==(const HoleCall& o) const {
    return memory == o.memory && first == o.first && last == o.last && fill == o.fill;
  }
};

void recordHole(void* user, const Memory& memory, uint32_t first, uint32_t last,
                const String& fill) {
  static_cast<std::vector<HoleCall>*>(user)->push_back({&memory, first, last, fill});
}

TEST(MemoryHoles, ForEachHoleWalksTheFreeListOnlyWithFill) {
  Memory filled("page", 0, 0xFF, 0, 0, 1, "0x3FFF");
  filled.setWidthBits(14);
  filled.allocate("m", FixedStart(0x10), 0x20, 0);  // holes 0..0xF and 0x20..0xFF
  filled.allocate("n", 4, 0, Alignment(1));         // takes 0..1, its tail 2..0xF goes last
  std::vector<HoleCall> calls;
  filled.forEachHole(recordHole, &calls);
  EXPECT_EQ(calls, (std::vector<HoleCall>{{&filled, 0x20, 0xFF, "0x3FFF"},
                                          {&filled, 0x02, 0x0F, "0x3FFF"}}));

  Memory plain("page", 0, 0xFF, 0, 0, 0, "");
  plain.setWidthBits(14);
  calls.clear();
  plain.forEachHole(recordHole, &calls);
  EXPECT_TRUE(calls.empty());

  Memory full("page", 0, 0xF, 0, 0, 1, "0x3FFF");
  full.setWidthBits(14);
  full.allocate("all", 32, 0, Alignment(1));
  full.forEachHole(recordHole, &calls);
  EXPECT_TRUE(calls.empty());
}

TEST(MemoryHoles, LargestHoleAndRanking) {
  Memory a = makeMemory(0, 0xFF, 8);
  a.allocate("m", FixedStart(0x10), 0x10, 0);
  EXPECT_EQ(a.largestHole(), 0xE0u);
  Memory b = makeMemory(0, 0x0F, 16);
  EXPECT_EQ(b.largestHole(), 0x20u);

  std::vector<MemoryHole> ranked{MemoryHole(a, a.largestHole()), MemoryHole(b, b.largestHole()),
                                 MemoryHole(b, 0x20)};
  std::stable_sort(ranked.begin(), ranked.end());
  EXPECT_EQ(ranked[0].memory, &b);
  EXPECT_EQ(ranked[2].memory, &a);
  EXPECT_FALSE(ranked[0] < ranked[1]);
  EXPECT_FALSE(ranked[0] > ranked[1]);
  EXPECT_TRUE(ranked[1] < ranked[2]);
  EXPECT_TRUE(ranked[2] > ranked[1]);
  const MemoryHole none;
  EXPECT_EQ(none.memory, nullptr);
  EXPECT_EQ(none.hole, 0u);
}

// ------------------------------------------------------------------ usage table and dump

String usageRow(const char* a, const char* b, const char* c, const char* d, const char* e,
                const char* f) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "%10s %10s %10s %20s %10s %10s\n", a, b, c, d, e, f);
  return buf;
}

TEST(MemoryUsage, RowsInAddressOrderWithEveryDigitOfTheAddresses) {
  Memory page("page0", 0x10000, 0x1FFFF, 0, 0, 0, "");
  page.setWidthBits(16);
  page.allocate("zeta", FixedStart(0x10000), 4, 0);
  page.allocate("alpha", 6, 0, Alignment(1));
  page.allocate("empty", 0, 0, Alignment(1));
  Memory bank("bank1", 0x20, 0x7F, 1, 0, 0, "");
  bank.setWidthBits(8);

  std::ostringstream os;
  page.printUsage(os, 1);
  bank.printUsage(os, 0);
  const String dashes = "---------";
  const String expected =
      usageRow("Memory", "Start", "End", "Section", "Address", "Size(Bytes)") +
      usageRow(dashes.c_str(), dashes.c_str(), dashes.c_str(), dashes.c_str(), dashes.c_str(),
               dashes.c_str()) +
      usageRow("page0", "0x10000", "0x1ffff", "zeta", "0x10000", "0x0004") +
      usageRow("", "", "", "alpha", "0x10002", "0x0006") +
      usageRow("", "", "", "empty", "0x10005", "0x0000") + "\n" +
      usageRow("bank1", "0x0020", "0x007f", "", "", "") + "\n";
  EXPECT_EQ(os.str(), expected);
}

TEST(MemoryDump, LabelsInOrder) {
  Memory m("bank", 0, 0xF, 1, 0, 0, "");
  m.setWidthBits(8);
  m.allocate("s", 4, 0, Alignment(1));
  m.allocate("e", 0, 0, Alignment(1));
  m.load(3, "util.o", "s", 4);
  std::ostringstream os;
  m.dump(os);
  const String out = os.str();
  std::size_t at = 0;
  for (const char* label :
       {"Memory: name=bank", " type=1", " protected=0", " hasFill=0", " fill=", " start=0x00000000",
        " end=0x0000000f", "\n---Allocated Ranges--- \n", "Range:   allocName=e", " end=none",
        "Range:   allocName=s", " start=0x00000000", " size=0x00000004", " end=0x00000003",
        " type=1", " pc=0x00000004", " isOverlay=0", "\nLoaded Section: file=util.o",
        " start=0x00000000", " size=0x00000004", "\n---Unallocated Ranges--- \n",
        "Range:   allocName= start=0x00000004 size=0x0000000c"}) {
    const std::size_t found = out.find(label, at);
    ASSERT_NE(found, String::npos) << label << "\n" << out;
    at = found + 1;
  }
}

// ------------------------------------------------------------------ randomised invariants

// Free ranges and the allocated ranges of nonzero size tile the memory exactly.
void checkInvariants(const Memory& m) {
  struct Interval {
    uint64_t first, last;
  };
  std::vector<Interval> tiles;
  for (const Range& r : m.getFreeRanges()) {
    ASSERT_GE(r.getSize(), 1u);
    ASSERT_EQ(r.isAllocated(), 0);
    tiles.push_back({r.getStart(), r.getStart() + r.getSize() - 1});
  }
  for (const auto& entry : m.getAllocatedRanges()) {
    ASSERT_EQ(entry.second.getAllocName(), entry.first);
    if (entry.second.getSize() == 0) continue;
    tiles.push_back({entry.second.getStart(), entry.second.getStart() + entry.second.getSize() - 1});
  }
  std::sort(tiles.begin(), tiles.end(),
            [](const Interval& a, const Interval& b) { return a.first < b.first; });
  ASSERT_FALSE(tiles.empty());
  ASSERT_EQ(tiles.front().first, m.getStart());
  ASSERT_EQ(tiles.back().last, m.getEnd());
  for (std::size_t i = 1; i < tiles.size(); ++i)
    ASSERT_EQ(tiles[i].first, tiles[i - 1].last + 1) << "gap or overlap at " << tiles[i].first;
}

// Whole numbers drawn from lo to hi, both included; the same seed draws the
// same numbers.
struct RandomPick {
  explicit RandomPick(std::mt19937::result_type seed) : rng(seed) {}
  uint64_t operator()(uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
  }
  std::mt19937 rng;
};

TEST(MemoryInvariants, RandomAllocationsAndLoads) {
  RandomPick pick(20240611);
  const uint16_t widths[] = {8, 12, 14, 16};
  OutputCapture capture;
  ExitRecorder recorder;
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const uint16_t width = widths[pick(0, 3)];
    const uint64_t locations = pick(1, 300);
    const uint32_t start = pick(0, 2) == 0
                               ? static_cast<uint32_t>(0x100000000ull - locations)  // at the top
                               : static_cast<uint32_t>(pick(0, 0x10000));
    const uint32_t end = static_cast<uint32_t>(start + locations - 1);
    Memory m = makeMemory(start, end, width);
    const uint64_t perLoc = (width + 7) / 8;
    std::vector<String> relocatable;

    for (int step = 0; step < 40; ++step) {
      const String name = "s" + std::to_string(step);
      const uint64_t length = pick(0, 4) == 0 ? 0 : pick(1, locations * perLoc / 2 + 1);
      const std::vector<Range> before = m.getFreeRanges();
      if (pick(0, 1) == 0) {
        const uint16_t align = width == 8 ? static_cast<uint16_t>(pick(1, 2)) : 1;
        if (!m.canFit(length, Alignment(align))) continue;
        m.allocate(name, length, 0, Alignment(align));
        ASSERT_EQ(m.isAllocated(name), 1);
        relocatable.push_back(name);
        const uint64_t placed = m.getSecStart(name);
        // Best fit: no hole that could take the piece is smaller than the one used.
        if (length > 0) {
          uint64_t used = 0, smallest = ~uint64_t(0);
          for (const Range& r : before) {
            if (r.canFit(length, Alignment(align)))
              smallest = std::min(smallest, r.sizeInBytes());
            if (placed >= r.getStart() && placed <= r.getStart() + r.getSize() - 1)
              used = r.sizeInBytes();
          }
          ASSERT_EQ(used, smallest);
          ASSERT_EQ(placed % align, 0u);
        }
      } else {
        const uint64_t at64 = pick(start >= 4 ? start - 4 : 0, std::min<uint64_t>(end + 4ull, 0xFFFFFFFFull));
        const uint32_t at = static_cast<uint32_t>(at64);
        const uint64_t n = length / perLoc + (length % perLoc ? 1 : 0);
        bool expected = length == 0 ? !before.empty() : false;
        for (const Range& r : before)
          if (length > 0 && at >= r.getStart() &&
              uint64_t(at) + n <= uint64_t(r.getStart()) + r.getSize())
            expected = true;
        ASSERT_EQ(m.canFit(FixedStart(at), length), expected ? 1 : 0)
            << "at " << at << " length " << length;
        if (!expected) continue;
        m.allocate(name, FixedStart(at), length, 0);
        ASSERT_EQ(m.getSecStart(name), at);
      }
      checkInvariants(m);
      if (HasFatalFailure()) return;
    }

    // Split each relocatable section into pieces from distinct inputs.
    std::size_t file = 0;
    for (const String& sec : relocatable) {
      const Range& r = m.getAllocatedRanges().at(sec);
      uint64_t remaining = r.sizeInBytes();
      uint64_t expectedStart = r.getStart();
      if (remaining == 0) {  // an empty section still records its address
        ASSERT_EQ(m.load(file, "in.o", sec, 0), 1);
        ASSERT_EQ(m.getLoadStart(file, sec), expectedStart);
        ++file;
      }
      while (remaining > 0) {
        const uint64_t len = pick(1, remaining);
        ASSERT_EQ(m.load(file, "in.o", sec, len), 1);
        ASSERT_EQ(m.getLoadStart(file, sec), expectedStart);
        expectedStart += (len + perLoc - 1) / perLoc;
        remaining = (r.getStart() + r.getSize() - expectedStart) * perLoc;
        ++file;
      }
      ASSERT_EQ(r.loadComplete(), 1);
    }
  }
  EXPECT_EQ(recorder.count(), 0) << capture.text();
}

// The free list kept the plain way: sorted by size (stably) before every
// placement, searched from the front, the pieces appended at the end.
struct ReferenceFreeList {
  std::list<Range> ranges;

  void sort() {
    ranges.sort([](const Range& a, const Range& b) { return a.sizeInBytes() < b.sizeInBytes(); });
  }
  // The start chosen, or -1 when nothing fits.
  int64_t place(const String& name, uint64_t length, uint16_t align) {
    sort();
    for (auto it = ranges.begin(); it != ranges.end(); ++it) {
      if (!it->canFit(length, Alignment(align))) continue;
      const uint64_t start = (it->getStart() + align - 1) / align * align;
      return take(it, name, static_cast<uint32_t>(start), length);
    }
    return -1;
  }
  int64_t placeAt(const String& name, uint32_t start, uint64_t length) {
    sort();
    for (auto it = ranges.begin(); it != ranges.end(); ++it)
      if (it->canFit(FixedStart(start), length)) return take(it, name, start, length);
    return -1;
  }
  int64_t take(std::list<Range>::iterator it, const String& name, uint32_t start,
               uint64_t length) {
    std::list<Range> pieces;
    it->allocate(name, FixedStart(start), length, pieces, 0);
    ranges.erase(it);
    ranges.splice(ranges.end(), pieces);
    return start;
  }
  std::vector<Span> spans() const {
    std::vector<Span> out;
    for (const Range& r : ranges) out.push_back({r.getStart(), r.getSize()});
    return out;
  }
};

// Many equal holes, odd and even starts, empty pieces and pieces at fixed
// starts: the ordered free list must choose, and list, exactly as the plain one.
TEST(MemoryFreeList, ChoosesAndListsAsAListSortedBeforeEveryPlacement) {
  RandomPick pick(77031);
  OutputCapture capture;
  ExitRecorder recorder;
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const uint16_t width = pick(0, 2) == 0 ? 16 : 8;
    const uint64_t locations = pick(8, 400);
    const uint32_t start = pick(0, 3) == 0 ? static_cast<uint32_t>(0x100000000ull - locations)
                                           : static_cast<uint32_t>(pick(0, 0x101));
    const uint32_t end = static_cast<uint32_t>(start + locations - 1);
    Memory m = makeMemory(start, end, width);
    ReferenceFreeList ref;
    ref.ranges.emplace_back(start, locations, 1, width);
    const uint64_t perLoc = width / 8;
    for (int step = 0; step < 120; ++step) {
      const String name = "s" + std::to_string(step);
      // Mostly small pieces, so that many holes of one size pile up.
      const uint64_t length = pick(0, 5) == 0 ? 0 : pick(0, 3) == 0 ? pick(1, 40) : pick(1, 4);
      int64_t expected;
      if (pick(0, 2) != 0) {
        const uint16_t align = width == 8 ? static_cast<uint16_t>(pick(1, 2)) : 1;
        const int fits = m.canFit(length, Alignment(align));
        expected = ref.place(name, length, align);
        ASSERT_EQ(fits, expected >= 0 ? 1 : 0) << name << " length " << length;
        if (!fits) continue;
        m.allocate(name, length, 0, Alignment(align));
      } else {
        const uint32_t at = static_cast<uint32_t>(
            std::min<uint64_t>(start + pick(0, locations + 2), 0xFFFFFFFFull));
        const int fits = m.canFit(FixedStart(at), length);
        expected = ref.placeAt(name, at, length);
        ASSERT_EQ(fits, expected >= 0 ? 1 : 0) << name << " at " << at << " length " << length;
        if (!fits) continue;
        m.allocate(name, FixedStart(at), length, 0);
      }
      ASSERT_EQ(m.getSecStart(name), uint64_t(expected)) << name;
      ASSERT_EQ(freeList(m), ref.spans()) << name;
      uint64_t largest = 0;
      for (const Range& r : ref.ranges) largest = std::max(largest, r.getSize() * perLoc);
      ASSERT_EQ(m.largestHole(), largest);
    }
  }
  EXPECT_EQ(recorder.count(), 0) << capture.text();
}

// The ranking kept up to date must pick what ranking all memories anew picks:
// the first, by largest hole and then declaration order, that fits.
TEST(HoleRankingTest, PicksAsRankingTheMemoriesAnew) {
  RandomPick pick(5150);
  OutputCapture capture;
  ExitRecorder recorder;
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::list<Memory> memories;
    const std::size_t count = pick(1, 12);
    for (std::size_t i = 0; i < count; ++i) {
      const uint32_t start = static_cast<uint32_t>(i * 0x100 + pick(0, 1));
      Memory m("m" + std::to_string(i), start, static_cast<uint32_t>(start + pick(0, 20)), 0,
               pick(0, 4) == 0 ? 1 : 0, 0, "");
      m.setWidthBits(8);
      memories.push_back(m);
    }
    HoleRanking ranking(memories);
    for (int step = 0; step < 80; ++step) {
      const String name = "s" + std::to_string(step);
      if (pick(0, 3) == 0) {  // a fixed piece changes one memory's holes
        auto it = memories.begin();
        std::advance(it, pick(0, count - 1));
        const uint32_t at = static_cast<uint32_t>(it->getStart() + pick(0, 20));
        const uint64_t length = pick(1, 3);
        if (!it->canFit(FixedStart(at), length)) continue;
        it->allocate(name, FixedStart(at), length, 0);
        ranking.update(*it);
        continue;
      }
      // Often just as long as some memory's largest hole: the tie that
      // alignment decides.
      auto some = memories.begin();
      std::advance(some, pick(0, count - 1));
      const uint64_t length =
          pick(0, 6) == 0 ? 0 : pick(0, 1) == 0 ? some->largestHole() : pick(1, 8);
      const Alignment align(static_cast<uint16_t>(pick(1, 2)));
      std::vector<MemoryHole> anew;
      for (Memory& m : memories)
        if (!m.isProtected()) anew.emplace_back(m, m.largestHole());
      std::stable_sort(anew.begin(), anew.end());
      Memory* expected = nullptr;
      for (const MemoryHole& h : anew)
        if (h.memory->canFit(length, align)) {
          expected = h.memory;
          break;
        }
      Memory* chosen = ranking.firstFit(length, align);
      ASSERT_EQ(chosen, expected) << name << " length " << length << " align " << align.value;
      if (!chosen) continue;
      chosen->allocate(name, length, 0, align);
      ranking.update(*chosen);
    }
  }
  EXPECT_EQ(recorder.count(), 0) << capture.text();
}

TEST(MemoryListIndexTest, FindsByNameAndByAddressInDeclarationOrder) {
  OutputCapture capture;
  ExitRecorder recorder;
  auto bank = [](const char* name, uint32_t start, uint32_t end, int isProtected = 0) {
    Memory m(name, start, end, 1, isProtected, 0, "");
    m.setWidthBits(8);
    return m;
  };
  // Declared out of address order; the second "s" repeats a name.
  std::list<Memory> memories{bank("hi", 0x80, 0x8F), bank("s", 0x20, 0x2F),
                             bank("guard", 0x40, 0x4F, 1), bank("s", 0x60, 0x6F),
                             bank("none", 0x10, 0x0F)};
  MemoryListIndex index(memories);
  auto at = [&memories](std::size_t i) { return &*std::next(memories.begin(), i); };
  EXPECT_EQ(index.named("s"), at(1));
  EXPECT_EQ(index.named("guard"), at(2));
  EXPECT_EQ(index.named("nowhere"), nullptr);

  EXPECT_EQ(index.firstFitAt(FixedStart(0x8E), 2), at(0));
  EXPECT_EQ(index.firstFitAt(FixedStart(0x8F), 2), nullptr);  // would pass the end
  EXPECT_EQ(index.firstFitAt(FixedStart(0x44), 4), at(2));    // protected ones take it too
  EXPECT_EQ(index.firstFitAt(FixedStart(0x30), 1), nullptr);  // between memories
  EXPECT_EQ(index.firstFitAt(FixedStart(0x05), 1), nullptr);  // below them all
  EXPECT_EQ(index.firstFitAt(FixedStart(0x05), 0), at(0));    // an empty piece: any with a hole

  // A full memory takes nothing, not even an empty piece, once noted.
  at(0)->allocate("all", FixedStart(0x80), 16, 0);
  index.update(*at(0));
  EXPECT_EQ(index.firstFitAt(FixedStart(0x80), 1), nullptr);
  EXPECT_EQ(index.firstFitAt(FixedStart(0x80), 0), at(1));
  EXPECT_EQ(index.ranking().firstFit(16, Alignment(1)), at(1));  // guard is not ranked

  // Memories that overlap (no directive lets them) are walked in order.
  std::list<Memory> overlapping{bank("wide", 0x00, 0xFF), bank("inner", 0x10, 0x1F)};
  MemoryListIndex walked(overlapping);
  EXPECT_EQ(walked.firstFitAt(FixedStart(0x10), 4), &overlapping.front());
  overlapping.front().allocate("x", FixedStart(0x10), 4, 0);
  walked.update(overlapping.front());
  EXPECT_EQ(walked.firstFitAt(FixedStart(0x10), 4), &overlapping.back());
  EXPECT_EQ(recorder.count(), 0) << capture.text();
}

}  // namespace

// Building the image from an executable: section choice, padding, the
// "/r" walk on both kinds of program memory, and refused executables.
#include <gtest/gtest.h>

#include <vector>

#include "hex.h"
#include "hex_test_util.h"
#include "support/harness.h"

using namespace testing_support;
using hex_test::ByteRun;

namespace {

struct ModelSection {
  const char* name;
  uint32_t flags;
  uint32_t paddr;
  std::vector<uint8_t> bytes;
};

Coff makeCoff(uint32_t romWidthBits, const std::vector<ModelSection>& sections,
              const String& fileName = "prog.cof") {
  Coff coff;
  coff.cFileName = fileName;
  coff.cFileHdr.f_magic = kCoffMagic;
  coff.cFileHdr.f_opthdr = kOptHdrSize;
  coff.cOptHdr.rom_width_bits = romWidthBits;
  int number = 1;
  for (const ModelSection& s : sections) {
    scnhdr h;
    coff.setName(h, s.name);
    h.s_paddr = s.paddr;
    h.s_vaddr = s.paddr;
    h.s_size = static_cast<uint32_t>(s.bytes.size());
    h.s_flags = s.flags;
    coff.cScnHdr[s.name] = h;
    coff.cScnNum[number++] = s.name;
    if (!s.bytes.empty()) coff.cRawData[s.name] = hex_test::toData(s.bytes);
  }
  coff.cFileHdr.f_nscns = static_cast<uint16_t>(sections.size());
  return coff;
}

std::vector<ByteRun> runsOf(const Hex& hex) {
  std::vector<ByteRun> runs;
  for (const HexRange& r : hex.cRanges) runs.push_back({r.cStart, hex_test::bytesOf(r)});
  return runs;
}

struct InitCase {
  const char* name;
  uint32_t romWidthBits;
  std::vector<ModelSection> sections;
  AddrRangeList ranges;
  bool selects;  // false: init gives none
  std::vector<ByteRun> runs;
};

const uint32_t kCode = kScnCode;
const uint32_t kRom = kScnRomData;

std::vector<InitCase> initCases() {
  return {
      {"OddCodeSectionPaddedOnWordFamily", 14, {{".code", kCode, 0x10, {1, 2, 3}}}, {}, true,
       {{0x20, {1, 2, 3, 0}}}},
      {"TwelveBitWordsAreTwoBytes", 12, {{".code", kCode, 0x100, {1, 2}}}, {}, true,
       {{0x200, {1, 2}}}},
      {"OnlyCodeAndRomDataTaken", 16,
       {{".code", kCode, 0, {1, 2}},
        {".idata", kScnIData, 8, {3, 4}},
        {".udata", kScnUData, 9, {0, 0}},
        {".romdata", kRom, 4, {5, 6}},
        {".none", 0, 12, {7, 8}},
        // The code bit wins over the data bits.
        {".mixed", kCode | kScnIData, 6, {9, 10}}},
       {}, true,
       {{0x00, {1, 2}}, {0x0C, {9, 10}}, {0x08, {5, 6}}}},
      {"EmptySectionGivesNothing", 16, {{".code", kCode, 0, {}}}, {}, true, {}},
      {"NoSectionsStillAnImage", 16, {}, {}, true, {}},
      {"RangeSplitsSectionIntoTwoRuns", 14, {{".code", kCode, 0x10, {1, 2, 3, 4, 5, 6, 7, 8}}},
       {AddrRange(0x10, 0x10), AddrRange(0x12, 0x13)}, true,
       {{0x20, {1, 2}}, {0x24, {5, 6, 7, 8}}}},
      {"RangeOverPaddedLastWord", 14, {{".code", kCode, 0x10, {1, 2, 3}}}, {AddrRange(0x11, 0x11)},
       true, {{0x22, {3, 0}}}},
      {"RangesAcrossSections", 16,
       {{".a", kCode, 0, {1, 2, 3, 4}}, {".b", kRom, 2, {5, 6, 7, 8}}},
       {AddrRange(1, 2)}, true,
       {{0x02, {3, 4}}, {0x04, {5, 6}}}},
      {"RangesSelectingNothingGiveNone", 14, {{".code", kCode, 0x10, {1, 2}}},
       {AddrRange(0x20, 0x30)}, false, {}},
      {"RangesOverNonCodeGiveNone", 14, {{".idata", kScnIData, 0, {1, 2}}}, {AddrRange(0, 0x30)},
       false, {}},
      // Byte-addressed program memory: one byte per location, no padding.
      {"ByteAddressedOddSectionsNotPadded", 8,
       {{".a", kCode, 3, {1, 2, 3}}, {".b", kCode, 6, {4, 5}}}, {}, true,
       {{0x03, {1, 2, 3}}, {0x06, {4, 5}}}},
      {"ByteAddressedRangeStepsByOneByte", 8, {{".a", kCode, 3, {1, 2, 3, 4, 5}}},
       {AddrRange(4, 6)}, true, {{0x04, {2, 3, 4}}}},
      {"ByteAddressedRangeOfOneByte", 8, {{".a", kRom, 0x100, {9, 8, 7}}},
       {AddrRange(0x101, 0x101)}, true, {{0x101, {8}}}},
      {"TopOfByteSpaceAccepted", 16, {{".code", kCode, 0x7FFFFFFF, {1, 2}}}, {}, true,
       {{0xFFFFFFFE, {1, 2}}}},
      {"TopOfByteSpaceWithRange", 16, {{".code", kCode, 0x7FFFFFFF, {1, 2}}},
       {AddrRange(0x7FFFFFFF, 0xFFFFFFFF)}, true, {{0xFFFFFFFE, {1, 2}}}},
      {"LastByteLocationAccepted", 8, {{".code", kCode, 0xFFFFFFFF, {7}}}, {}, true,
       {{0xFFFFFFFF, {7}}}},
  };
}

void PrintTo(const InitCase& c, std::ostream* os) { *os << c.name; }

class Coff2HexTable : public ::testing::TestWithParam<InitCase> {};

TEST_P(Coff2HexTable, CollectsRuns) {
  const InitCase& c = GetParam();
  DiagnosticsScope diag;
  OutputCapture out;
  const Coff coff = makeCoff(c.romWidthBits, c.sections);
  Coff2Hex hex;
  Coff2Hex* result = hex.init(coff, c.ranges);
  if (!c.selects) {
    EXPECT_EQ(result, nullptr);
    // The failure is reported, naming the ranges (their texts are checked
    // through the program).
    EXPECT_EQ(getErrorCount(), 1);
    EXPECT_EQ(out.text().rfind("Error - No program memory word of Coff file 'prog.cof' lies in "
                               "the range ",
                               0),
              0u)
        << out.text();
    return;
  }
  EXPECT_EQ(out.text(), "");
  ASSERT_EQ(result, &hex);
  EXPECT_EQ(hex.cFileBaseName, "prog");
  EXPECT_EQ(runsOf(hex), c.runs);
}

INSTANTIATE_TEST_SUITE_P(Sections, Coff2HexTable, ::testing::ValuesIn(initCases()),
                         [](const ::testing::TestParamInfo<InitCase>& i) { return i.param.name; });

// Executables the converter must refuse rather than turn into a wrong image.
struct RefusedCase {
  const char* name;
  uint32_t romWidthBits;
  uint16_t optHdrSize;
  ModelSection section;
  const char* message;
};

std::vector<RefusedCase> refusedCases() {
  return {
      {"OlderLayout", 16, 0, {".code", kCode, 0, {1, 2}},
       "Error - Coff file 'prog.cof' has no optional header; its program-memory width is unknown.\n"},
      {"WidthZero", 0, kOptHdrSize, {".code", kCode, 0, {1, 2}},
       "Error - Coff file 'prog.cof' has a program-memory width of 0 bits; only 8, 12, 14 and 16 "
       "are supported.\n"},
      {"WidthNine", 9, kOptHdrSize, {".code", kCode, 0, {1, 2}},
       "Error - Coff file 'prog.cof' has a program-memory width of 9 bits; only 8, 12, 14 and 16 "
       "are supported.\n"},
      {"WidthTwentyFour", 24, kOptHdrSize, {".code", kCode, 0, {1, 2}},
       "Error - Coff file 'prog.cof' has a program-memory width of 24 bits; only 8, 12, 14 and 16 "
       "are supported.\n"},
      {"WidthHuge", 0xFFFFFFFF, kOptHdrSize, {".code", kCode, 0, {1, 2}},
       "Error - Coff file 'prog.cof' has a program-memory width of 4294967295 bits; only 8, 12, 14 "
       "and 16 are supported.\n"},
      {"WordStartPast32Bits", 14, kOptHdrSize, {".code", kCode, 0x80000000, {1, 2}},
       "Error - Section '.code' of Coff file 'prog.cof' lies beyond byte address 0xFFFFFFFF.\n"},
      {"WordEndPast32Bits", 16, kOptHdrSize, {".code", kCode, 0x7FFFFFFF, {1, 2, 3}},
       "Error - Section '.code' of Coff file 'prog.cof' lies beyond byte address 0xFFFFFFFF.\n"},
      {"ByteEndPast32Bits", 8, kOptHdrSize, {".rom", kRom, 0xFFFFFFFF, {1, 2}},
       "Error - Section '.rom' of Coff file 'prog.cof' lies beyond byte address 0xFFFFFFFF.\n"},
  };
}

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class Coff2HexRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(Coff2HexRefused, ReportsAndGivesNone) {
  const RefusedCase& c = GetParam();
  for (const AddrRangeList& ranges : {AddrRangeList{}, AddrRangeList{AddrRange(0, 0xFFFFFFFF)}}) {
    DiagnosticsScope diag;
    OutputCapture out;
    Coff coff = makeCoff(c.romWidthBits, {c.section});
    coff.cFileHdr.f_opthdr = c.optHdrSize;
    Coff2Hex hex;
    EXPECT_EQ(hex.init(coff, ranges), nullptr);
    EXPECT_EQ(out.text(), c.message);
    EXPECT_EQ(getErrorCount(), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Executables, Coff2HexRefused, ::testing::ValuesIn(refusedCases()),
                         [](const ::testing::TestParamInfo<RefusedCase>& i) { return i.param.name; });

TEST(Coff2Hex, BaseNameDropsDirectoriesOfBothKindsAndExtension) {
  DiagnosticsScope diag;
  for (const char* path : {"dir\\sub/prog.cof", "../x\\prog.o", "prog", "C:prog.cod"}) {
    SCOPED_TRACE(path);
    Coff coff = makeCoff(14, {}, path);
    Coff2Hex hex;
    ASSERT_NE(hex.init(coff, {}), nullptr);
    EXPECT_EQ(hex.cFileBaseName, "prog");
  }
}

// The bytes of one run never carry over into the next.
TEST(Coff2Hex, EachRunHoldsOnlyItsOwnBytes) {
  DiagnosticsScope diag;
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 40; ++i) bytes.push_back(static_cast<uint8_t>(i));
  const Coff coff = makeCoff(16, {{".code", kCode, 0, bytes}});
  Coff2Hex hex;
  ASSERT_NE(hex.init(coff, {AddrRange(0, 4), AddrRange(8, 9), AddrRange(19, 100)}), nullptr);
  EXPECT_EQ(runsOf(hex), (std::vector<ByteRun>{{0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
                                               {16, {16, 17, 18, 19}},
                                               {38, {38, 39}}}));
}

// ------------------------------------------------------------ /r ranges

TEST(MergeRanges, SortsAndJoinsOverlappingAndTouchingRanges) {
  using Ranges = std::vector<AddrRange>;
  struct Case {
    const char* what;
    AddrRangeList given;
    Ranges merged;
  };
  const Case cases[] = {
      {"none", {}, {}},
      {"one", {AddrRange(5, 9)}, {AddrRange(5, 9)}},
      {"unsorted", {AddrRange(10, 12), AddrRange(1, 3)}, {AddrRange(1, 3), AddrRange(10, 12)}},
      {"overlapping", {AddrRange(3, 8), AddrRange(1, 5)}, {AddrRange(1, 8)}},
      {"contained", {AddrRange(1, 10), AddrRange(2, 3)}, {AddrRange(1, 10)}},
      {"same start, the longer first", {AddrRange(4, 9), AddrRange(4, 5)}, {AddrRange(4, 9)}},
      {"touching", {AddrRange(4, 6), AddrRange(1, 3)}, {AddrRange(1, 6)}},
      {"one location apart", {AddrRange(1, 3), AddrRange(5, 6)},
       {AddrRange(1, 3), AddrRange(5, 6)}},
      {"twice the same", {AddrRange(7, 7), AddrRange(7, 7)}, {AddrRange(7, 7)}},
      {"chain joined by the last", {AddrRange(1, 2), AddrRange(6, 7), AddrRange(3, 5)},
       {AddrRange(1, 7)}},
      {"end of the address space",
       {AddrRange(0xFFFFFFFF, 0xFFFFFFFF), AddrRange(0, 0), AddrRange(0xFFFFFFF0, 0xFFFFFFFE)},
       {AddrRange(0, 0), AddrRange(0xFFFFFFF0, 0xFFFFFFFF)}},
      {"everything", {AddrRange(0, 0xFFFFFFFF), AddrRange(0x100, 0x200)},
       {AddrRange(0, 0xFFFFFFFF)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Ranges got = mergeRanges(c.given);
    ASSERT_EQ(got.size(), c.merged.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].cStart, c.merged[i].cStart) << i;
      EXPECT_EQ(got[i].cEnd, c.merged[i].cEnd) << i;
    }
  }
}

// The runs as the plain walk makes them: location by location, a run for
// every stretch of locations that some range holds, sections in name order.
std::vector<ByteRun> walkedRuns(const Coff& coff, uint32_t bytesPerLocation,
                                const AddrRangeList& ranges) {
  std::vector<ByteRun> runs;
  for (const auto& entry : coff.cScnHdr) {
    const int type = getScnType(entry.second);
    if (type != scnCode && type != scnRomData) continue;
    const auto raw = coff.cRawData.find(entry.first);
    if (raw == coff.cRawData.end()) continue;
    std::vector<uint8_t> bytes(raw->second.data(), raw->second.data() + raw->second.size());
    if (bytesPerLocation == 2 && bytes.size() % 2) bytes.push_back(0);
    bool open = false;
    for (size_t offset = 0; offset < bytes.size(); offset += bytesPerLocation) {
      const uint32_t location =
          entry.second.s_paddr + static_cast<uint32_t>(offset / bytesPerLocation);
      if (!inAnyRange(location, ranges)) {
        open = false;
        continue;
      }
      if (!open) runs.push_back({location * bytesPerLocation, {}});
      open = true;
      runs.back().bytes.insert(runs.back().bytes.end(), bytes.begin() + offset,
                               bytes.begin() + offset + bytesPerLocation);
    }
  }
  return runs;
}

// However the ranges overlap, touch or are ordered, the image holds the
// same runs, in the same order, as the location-by-location walk.
TEST(Coff2Hex, RangesInAnyOrderGiveTheRunsOfTheLocationWalk) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 61; ++i) bytes.push_back(static_cast<uint8_t>(i * 5 + 1));
  // Sections side by side, overlapping and apart, not in address order.
  const std::vector<ModelSection> sections = {
      {".a", kCode, 0x40, bytes},
      {".b", kRom, 0x10, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 25)},
      {".c", kCode, 0x1D, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 8)},
      {".d", kCode, 0x90, {0xAA, 0xBB, 0xCC}},
  };
  // A fixed pseudo-random set: short ranges, many overlapping or touching.
  AddrRangeList scattered;
  uint32_t seed = 12345;
  for (int i = 0; i < 200; ++i) {
    seed = seed * 1103515245u + 12345u;
    const uint32_t start = (seed >> 8) % 0xA0;
    scattered.push_back(AddrRange(start, start + (seed >> 20) % 6));
  }
  const AddrRangeList lists[] = {
      {AddrRange(0x12, 0x14), AddrRange(0x15, 0x16)},                     // touching
      {AddrRange(0x44, 0x50), AddrRange(0x11, 0x13), AddrRange(0x48, 0x4A)},  // unsorted, contained
      {AddrRange(0x18, 0x45), AddrRange(0x20, 0x60)},                     // across sections
      {AddrRange(0x10, 0x10), AddrRange(0x91, 0x91), AddrRange(0x5E, 0xFFFFFFFF)},  // section ends
      {AddrRange(0x0, 0x0F), AddrRange(0xA0, 0x100)},                     // outside everything
      scattered,
  };
  for (uint32_t width : {16u, 8u}) {
    for (size_t i = 0; i < sizeof lists / sizeof lists[0]; ++i) {
      SCOPED_TRACE("width " + std::to_string(width) + ", list " + std::to_string(i));
      DiagnosticsScope diag;
      OutputCapture out;
      const Coff coff = makeCoff(width, sections);
      const std::vector<ByteRun> want = walkedRuns(coff, (width + 7) / 8, lists[i]);
      Coff2Hex hex;
      Coff2Hex* result = hex.init(coff, lists[i]);
      if (want.empty()) {
        EXPECT_EQ(result, nullptr);
        continue;
      }
      ASSERT_EQ(result, &hex);
      EXPECT_EQ(runsOf(hex), want);
    }
  }
}

}  // namespace

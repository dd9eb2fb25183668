#include "devtab.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "reference_model.h"

namespace {

struct FamilyExpect {
  CoreFamily family;
  char letter;  // model names are "XQ" + letter + number
  unsigned rows;
  std::uint32_t romWidth, pageSize, bankSize, maxProgram, maxData;
  std::set<std::uint32_t> programSizes, dataSizes, pages, banks, firstGprs;
};

const std::vector<FamilyExpect>& familyExpectations() {
  static const std::vector<FamilyExpect> all = {
      {CoreA, 'A', 34, 12, 512, 32, 0x7FF, 0x7F,
       {384, 512, 1024, 2048}, {32, 64, 80, 128}, {1, 2, 4}, {1, 2, 3, 4}, {7, 8}},
      {CoreB, 'B', 79, 14, 2048, 128, 0x1FFF, 0x1FF,
       {512, 1024, 2048, 4096, 6144, 8192}, {256, 512}, {1, 2, 3, 4}, {2, 4}, {0x0C, 0x20}},
      {CoreC, 'C', 11, 16, 8192, 256, 0xFFFF, 0xFFF,
       {2048, 4096, 8192, 16384}, {1024, 2048}, {1, 2}, {4, 8}, {0x20}},
      {CoreD, 'D', 7, 8, 0x200000, 256, 0x1FFFFF, 0xFFF,
       {16384, 32768}, {512, 1536}, {1}, {2, 6}, {0}},
  };
  return all;
}

const FamilyExpect& expectFor(CoreFamily f) {
  for (const FamilyExpect& e : familyExpectations())
    if (e.family == f) return e;
  throw std::runtime_error("family");
}

// The row's first general-purpose offset, seen through procIsGeneralPurpose.
std::uint32_t firstGpr(ProcId id) {
  for (std::uint32_t offset = 0; offset < procBankSize(id); ++offset)
    if (procIsGeneralPurpose(id, offset)) return offset;
  return procBankSize(id);
}

std::string lower(const char* s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

TEST(ProcessorTable, EveryRowKeepsItsFamilyGeometryAndValueSets) {
  struct Seen {
    unsigned rows = 0;
    std::set<std::uint32_t> programSizes, dataSizes, pages, banks, firstGprs;
    std::map<std::uint32_t, unsigned> gprCount;
  };
  std::map<CoreFamily, Seen> seen;
  std::set<std::string> names;
  std::set<std::uint16_t> codes;

  for (unsigned n = kProcIdFirst; n <= kProcIdLast; ++n) {
    ProcId id = static_cast<ProcId>(n);
    SCOPED_TRACE("id " + std::to_string(n));
    CoreFamily f = procFamily(id);
    if (n >= 125) {
      EXPECT_EQ(f, CoreD);
    } else if (n >= 114) {
      EXPECT_EQ(f, CoreC);
    } else {
      EXPECT_TRUE(f == CoreA || f == CoreB);
    }
    const FamilyExpect& e = expectFor(f);

    const char* name = procName(id);
    ASSERT_NE(name, nullptr);
    std::size_t len = std::strlen(name);
    EXPECT_GE(len, 1u);
    EXPECT_LE(len, 8u);
    for (const char* p = name; *p; ++p)
      EXPECT_TRUE((*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9')) << name;
    EXPECT_EQ(std::string(name).substr(0, 3), std::string("XQ") + e.letter);
    EXPECT_TRUE(names.insert(name).second) << "duplicate name " << name;
    EXPECT_TRUE(codes.insert(procCoffType(id)).second) << "duplicate code";

    // Round trips through the code and the name, in both cases.
    EXPECT_EQ(procIsKnownCoffType(procCoffType(id)), 1);
    EXPECT_EQ(procIdFromCoffType(procCoffType(id)), id);
    ProcId found = 0;
    EXPECT_EQ(procIdFromName(name, &found), 1);
    EXPECT_EQ(found, id);
    found = 0;
    EXPECT_EQ(procIdFromName(lower(name).c_str(), &found), 1);
    EXPECT_EQ(found, id);

    EXPECT_EQ(procRomWidthBits(id), e.romWidth);
    EXPECT_EQ(procRamWidthBits(id), 8u);
    EXPECT_EQ(procPageSize(id), e.pageSize);
    EXPECT_EQ(procBankSize(id), e.bankSize);
    EXPECT_EQ(procMaxProgramAddress(id), e.maxProgram);
    EXPECT_EQ(procMaxDataAddress(id), e.maxData);

    std::uint32_t program = procProgramSize(id), data = procDataSize(id);
    EXPECT_EQ(procNumPages(id), (program + e.pageSize - 1) / e.pageSize);
    EXPECT_EQ(procNumBanks(id), (data + e.bankSize - 1) / e.bankSize);
    EXPECT_LE(program, e.maxProgram + 1);
    EXPECT_LE(data, e.maxData + 1);

    Seen& s = seen[f];
    ++s.rows;
    s.programSizes.insert(program);
    s.dataSizes.insert(data);
    s.pages.insert(procNumPages(id));
    s.banks.insert(procNumBanks(id));
    s.firstGprs.insert(firstGpr(id));
    ++s.gprCount[firstGpr(id)];
    if (f == CoreA && procNumBanks(id) == 3) {
      EXPECT_EQ(data, 80u);
    }
    if (f == CoreB && procNumPages(id) == 3) {
      EXPECT_EQ(program, 6144u);
    }
  }

  for (const FamilyExpect& e : familyExpectations()) {
    SCOPED_TRACE(std::string("family ") + e.letter);
    const Seen& s = seen[e.family];
    EXPECT_EQ(s.rows, e.rows);
    EXPECT_EQ(s.programSizes, e.programSizes);
    EXPECT_EQ(s.dataSizes, e.dataSizes);
    EXPECT_EQ(s.pages, e.pages);
    EXPECT_EQ(s.banks, e.banks);
    EXPECT_EQ(s.firstGprs, e.firstGprs);
  }
  EXPECT_EQ(seen[CoreA].gprCount[7], 11u);
  EXPECT_EQ(seen[CoreA].gprCount[8], 23u);
  EXPECT_EQ(seen[CoreB].gprCount[0x0C], 6u);
  EXPECT_EQ(seen[CoreB].gprCount[0x20], 73u);
}

// First row of a family, for the family-rule tests.
ProcId firstOf(CoreFamily f) {
  for (unsigned n = kProcIdFirst; n <= kProcIdLast; ++n)
    if (procFamily(static_cast<ProcId>(n)) == f) return static_cast<ProcId>(n);
  return 0;
}

TEST(ProcessorTable, BankRulesApplyToTheFullAddress) {
  struct Case {
    CoreFamily family;
    std::uint32_t address, bank, offset;
  } cases[] = {
      {CoreA, 0x1234, 145, 20},       {CoreB, 0x1234, 36, 52},   {CoreC, 0x1234, 18, 52},
      {CoreD, 0x1234, 18, 52},        {CoreA, 0, 0, 0},          {CoreB, 0x7F, 0, 0x7F},
      {CoreB, 0x80, 1, 0},            {CoreD, 0xFFFFFFFF, 0xFFFFFF, 0xFF},
      {CoreA, 0xFFFFFFFF, 0x7FFFFFF, 0x1F},
  };
  for (const Case& c : cases) {
    ProcId id = firstOf(c.family);
    SCOPED_TRACE(std::to_string(c.family) + " " + std::to_string(c.address));
    EXPECT_EQ(procBankOf(id, c.address), c.bank);
    EXPECT_EQ(procBankOffset(id, c.address), c.offset);
  }
}

TEST(ProcessorTable, GeneralPurposeDependsOnTheOffsetInTheBank) {
  ProcId b20 = 0, a7 = 0;
  for (unsigned n = kProcIdFirst; n <= kProcIdLast; ++n) {
    ProcId id = static_cast<ProcId>(n);
    if (!b20 && procFamily(id) == CoreB && firstGpr(id) == 0x20) b20 = id;
    if (!a7 && procFamily(id) == CoreA && firstGpr(id) == 7) a7 = id;
  }
  ASSERT_NE(b20, 0);
  ASSERT_NE(a7, 0);
  EXPECT_EQ(procIsGeneralPurpose(b20, 0x80), 0);
  EXPECT_EQ(procIsGeneralPurpose(b20, 0xA0), 1);
  EXPECT_EQ(procIsGeneralPurpose(b20, 0x9F), 0);
  EXPECT_EQ(procIsGeneralPurpose(a7, 0x26), 0);  // bank 1, offset 6
  EXPECT_EQ(procIsGeneralPurpose(a7, 0x27), 1);
  EXPECT_EQ(procIsGeneralPurpose(a7, 0xFFFFFFE7), 1);
  for (unsigned n = 125; n <= kProcIdLast; ++n)
    for (std::uint32_t address : {0u, 1u, 0xFFu, 0x100u, 0xFFFu, 0xFFFFFFFFu})
      EXPECT_EQ(procIsGeneralPurpose(static_cast<ProcId>(n), address), 1);
}

TEST(ProcessorTable, NameLookupFoldsOnlyLettersAndTrimsNothing) {
  const char* name = procName(kProcIdLast);
  std::string mixed = name;
  mixed[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(mixed[0])));
  ProcId found = 0;
  EXPECT_EQ(procIdFromName(mixed.c_str(), &found), 1);
  EXPECT_EQ(found, kProcIdLast);

  const std::string misses[] = {"", std::string(name) + " ", std::string(" ") + name,
                                std::string(name).substr(0, std::strlen(name) - 1),
                                std::string(name) + "0", "XQE01", "XQA00"};
  for (const std::string& text : misses) {
    ProcId untouched = 77;
    EXPECT_EQ(procIdFromName(text.c_str(), &untouched), 0) << "'" << text << "'";
    EXPECT_EQ(untouched, 77);
  }
  ProcId untouched = 77;
  EXPECT_EQ(procIdFromName(nullptr, &untouched), 0);
  EXPECT_EQ(untouched, 77);
}

TEST(ProcessorTable, UnknownCodesAreReportedOrAsserted) {
  std::set<std::uint16_t> codes;
  for (unsigned n = kProcIdFirst; n <= kProcIdLast; ++n)
    codes.insert(procCoffType(static_cast<ProcId>(n)));
  unsigned known = 0;
  for (unsigned code = 0; code <= 0xFFFF; ++code)
    known += procIsKnownCoffType(static_cast<std::uint16_t>(code));
  EXPECT_EQ(known, 131u);

  AssertProbe probe;
  for (std::uint16_t code : {0x0000, 0xFFFF, 0xA000, 0xB080}) {
    ASSERT_EQ(codes.count(code), 0u);
    EXPECT_EQ(procIdFromCoffType(code), 0);
  }
  EXPECT_EQ(probe.failures(), 4);
  EXPECT_EQ(probe.lastStatus(), 255);
  EXPECT_NE(probe.text().find("devtab.cpp"), std::string::npos);
}

TEST(ProcessorTable, BadIdsAssertAndGiveZero) {
  using U32 = std::uint32_t (*)(ProcId);
  const U32 lookups[] = {procRomWidthBits, procRamWidthBits, procNumPages,
                         procProgramSize,  procPageSize,     procNumBanks,
                         procDataSize,     procBankSize,     procMaxProgramAddress,
                         procMaxDataAddress};
  for (ProcId id : {ProcId(0), ProcId(132), ProcId(255)}) {
    SCOPED_TRACE(std::to_string(id));
    AssertProbe probe;
    EXPECT_EQ(procFamily(id), 0);
    EXPECT_EQ(procName(id), nullptr);
    EXPECT_EQ(procCoffType(id), 0);
    EXPECT_EQ(procBankOf(id, 0x1234), 0u);
    EXPECT_EQ(procBankOffset(id, 0x1234), 0u);
    EXPECT_EQ(procIsGeneralPurpose(id, 0xA0), 0);
    for (U32 f : lookups) EXPECT_EQ(f(id), 0u);
    EXPECT_EQ(probe.failures(), 6 + static_cast<int>(std::size(lookups)));
    EXPECT_EQ(probe.lastStatus(), 255);
    const std::string text = probe.text();
    EXPECT_NE(text.find("Assertion Failed!"), std::string::npos);
    EXPECT_NE(text.find("Expression: 0\n"), std::string::npos);
    EXPECT_NE(text.find("File: devtab.cpp"), std::string::npos);
    EXPECT_NE(text.find("ABNORMAL TERMINATION"), std::string::npos);
  }
}

TEST(ProcessorTable, NameAndKnownCodeLookupsNeverAssert) {
  AssertProbe probe;
  ProcId id = 0;
  procIdFromName("nothing", &id);
  procIdFromName("", &id);
  procIsKnownCoffType(0);
  procIsKnownCoffType(0xFFFF);
  EXPECT_EQ(probe.failures(), 0);
}

}  // namespace

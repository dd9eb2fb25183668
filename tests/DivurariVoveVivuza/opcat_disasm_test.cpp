#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "opcat.h"
#include "reference_model.h"

namespace {

using reference_model::FamilyInfo;

TEST(Disassemble, GoldenTexts) {
  struct Case {
    CoreFamily family;
    std::uint32_t address;
    std::uint16_t word, next;
    const char* text;
    int count;
  } cases[] = {
      {CoreB, 0, 0x0785, 0, "ADDWF     0x5,0x1", 1},
      {CoreB, 0, 0x0100, 0, "CLRW      ", 1},
      {CoreB, 0, 0x0060, 0, "TRIS      0x0", 1},
      {CoreB, 0, 0x3FFF, 0, "ADDLW     0xff", 1},
      {CoreA, 0, 0x000, 0, "NOP       ", 1},
      {CoreA, 0, 0xBFF, 0, "GOTO      0x1ff", 1},
      {CoreA, 0, 0x7FF, 0, "BTFSS     0x1f,0x7", 1},
      {CoreC, 0, 0xA9FF, 0, "TABLRD    0x0,0x1,0xff", 1},
      {CoreC, 0, 0xA700, 0, "TLWT      0x1,0x0", 1},
      {CoreC, 0x100, 0xE123, 0xF000, "CALL      0x123", 1},  // CoreC ignores next and address
      {CoreC, 0, 0x7F12, 0, "MOVFP     0x12,0x1f", 1},
      {CoreD, 0, 0x9C45, 0, "BCF       0x45,0x6,0x0", 1},
      {CoreD, 0, 0x0013, 0, "RETURN    0x1", 1},
      {CoreD, 0, 0xF123, 0, "WORD2     0x123", 1},
      {CoreD, 0, 0x0000, 0, "NOP       ", 1},
      {CoreD, 0, 0x000E, 0, "TBLWTPOSTDEC", 1},
      {CoreD, 0, 0x0009, 0, "TBLRDPOSTINC", 1},
      {CoreD, 0, 0x0200, 0, "MULWF     0x0,0x0", 1},
      // Branches: address + 2 + 2 * signed offset, in 32-bit unsigned arithmetic.
      {CoreD, 0x100, 0xE305, 0, "BNC       0x10c", 1},
      {CoreD, 0x100, 0xE3FE, 0, "BNC       0xfe", 1},
      {CoreD, 0x100, 0xE300, 0, "BNC       0x102", 1},
      {CoreD, 0x100, 0xE3FF, 0, "BNC       0x100", 1},
      {CoreD, 0x100, 0xE07F, 0, "BZ        0x200", 1},
      {CoreD, 0x100, 0xE080, 0, "BZ        0x2", 1},
      {CoreD, 0x100, 0xD7FF, 0, "BRA       0x100", 1},
      {CoreD, 0x100, 0xD400, 0, "BRA       0xfffff902", 1},
      {CoreD, 0x100, 0xDBFF, 0, "RCALL     0x900", 1},
      {CoreD, 0, 0xE3FE, 0, "BNC       0xfffffffe", 1},
      {CoreD, 0xFFFFFFFE, 0xD001, 0, "BRA       0x2", 1},
      // Two-word instructions.
      {CoreD, 0x100, 0xEC12, 0xF345, "CALL      0x68a24,0x0", 2},
      {CoreD, 0x100, 0xED12, 0xF345, "CALL      0x68a24,0x1", 2},
      {CoreD, 0x100, 0xEC12, 0x0000, "CALL      ???,0x0", 1},
      {CoreD, 0x100, 0xEC12, 0xE000, "CALL      ???,0x0", 1},
      {CoreD, 0x100, 0xECFF, 0xFFFF, "CALL      0x1ffffe,0x0", 2},
      {CoreD, 0, 0xEF12, 0xF345, "GOTO      0x68a24", 2},
      {CoreD, 0, 0xEF12, 0x1234, "GOTO      ???", 1},
      {CoreD, 0x100, 0xEE12, 0xF0AB, "LFSR      0x1,0x2ab", 2},
      {CoreD, 0x100, 0xEE12, 0x00AB, "LFSR      0x1,???", 1},
      {CoreD, 0x100, 0xC123, 0xF456, "MOVFF     0x123,0x456", 2},
      {CoreD, 0x100, 0xC123, 0x0012, "MOVFF     0x123,???", 1},
  };
  AssertProbe probe;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::uint8_t count = 9;
    const char* text = instDisassemble(c.address, c.word, c.next, &count, c.family);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, c.text);
    EXPECT_EQ(count, c.count);
  }
  EXPECT_EQ(probe.failures(), 0);
}

class DisassembleEveryWord : public ::testing::TestWithParam<FamilyInfo> {};

std::string familyName(const ::testing::TestParamInfo<FamilyInfo>& info) {
  return info.param.name;
}

TEST_P(DisassembleEveryWord, ValidWordsGiveBoundedText) {
  const FamilyInfo& fam = GetParam();
  AssertProbe probe;
  for (unsigned w = 0; w <= 0xFFFF; ++w) {
    std::uint16_t word = static_cast<std::uint16_t>(w);
    if (!instIsValid(word, fam.family)) continue;
    for (std::uint16_t next : {0x0000, 0xF000, 0xFFFF}) {
      std::uint8_t count = 0;
      const char* text = instDisassemble(0xFFFFFF00u, word, next, &count, fam.family);
      ASSERT_NE(text, nullptr) << std::hex << w;
      std::size_t len = std::strlen(text);
      ASSERT_GE(len, 10u) << std::hex << w;
      ASSERT_LT(len, 80u) << std::hex << w;
      ASSERT_TRUE(count == 1 || count == 2) << std::hex << w;
      ASSERT_TRUE(count == 1 || (fam.family == CoreD && next >= 0xF000)) << std::hex << w;
      ASSERT_EQ(std::strncmp(text, instMnemonic(instDecode(word, fam.family)),
                             std::strlen(instMnemonic(instDecode(word, fam.family)))),
                0);
    }
  }
  EXPECT_EQ(probe.failures(), 0);
}

// The text the listing rules give, built from the reference listings alone.
std::string expectedText(const FamilyInfo& fam, std::uint32_t address, std::uint16_t word,
                         std::uint16_t next, int& count) {
  using reference_model::Field;
  const auto& ref = reference_model::family(fam.family);
  const std::string name = ref.decode(word & fam.widthMask)->name;
  const auto& fields = ref.fields.at(name);
  char buf[80];
  std::snprintf(buf, sizeof buf, "%-10s", name.c_str());
  std::string text = buf;
  count = 1;
  auto hex = [&text](std::uint32_t v, bool first) {
    char b[16];
    std::snprintf(b, sizeof b, first ? "0x%x" : ",0x%x", v);
    text += b;
  };
  const std::uint32_t op1 = fields[0].read(word);
  const bool d = fam.family == CoreD;
  const auto* nextTest = ref.decode(next);
  const bool second = nextTest && nextTest->name == "WORD2";
  static const std::set<std::string> branch8 = {"BC", "BN", "BNC", "BNN", "BNOV", "BNZ", "BOV", "BZ"};
  if (d && branch8.count(name)) {
    std::uint32_t offset = (op1 & 0x80u) ? (op1 | 0xFFFFFF00u) : op1;
    hex(address + 2u + 2u * offset, true);
  } else if (d && (name == "BRA" || name == "RCALL")) {
    std::uint32_t offset = (op1 & 0x400u) ? (op1 | 0xFFFFF800u) : op1;
    hex(address + 2u + 2u * offset, true);
  } else if (d && (name == "CALL" || name == "GOTO")) {
    if (second) {
      hex((((next & 0xFFFu) << 8) | op1) * 2u, true);
      count = 2;
    } else {
      text += "???";
    }
    if (name == "CALL") hex(fields[1].read(word), false);
  } else if (d && name == "LFSR") {
    hex(op1, true);
    if (second) {
      hex((static_cast<std::uint32_t>(fields[1].read(word)) << 8) | (next & 0xFFu), false);
      count = 2;
    } else {
      text += ",???";
    }
  } else if (d && name == "MOVFF") {
    hex(op1, true);
    if (second) {
      hex(next & 0xFFFu, false);
      count = 2;
    } else {
      text += ",???";
    }
  } else {
    bool first = true;
    for (const Field& f : fields) {
      if (f.kind == Field::kNone) continue;
      hex(f.read(word), first);
      first = false;
    }
  }
  return text;
}

TEST_P(DisassembleEveryWord, EveryValidWordGivesTheListingText) {
  const FamilyInfo& fam = GetParam();
  const struct {
    std::uint32_t address;
    std::uint16_t next;
  } contexts[] = {{0, 0x0000}, {0x100, 0xF0AB}, {0xFFFFFFFEu, 0xE000}, {0x1FFFFE, 0xFFFF}};
  AssertProbe probe;
  for (unsigned w = 0; w <= 0xFFFF; ++w) {
    std::uint16_t word = static_cast<std::uint16_t>(w);
    if (!instIsValid(word, fam.family)) continue;
    for (const auto& c : contexts) {
      int expectedCount = 0;
      const std::string expected = expectedText(fam, c.address, word, c.next, expectedCount);
      std::uint8_t count = 0;
      const char* text = instDisassemble(c.address, word, c.next, &count, fam.family);
      ASSERT_NE(text, nullptr) << std::hex << w;
      ASSERT_EQ(std::string(text), expected) << std::hex << w << " next " << c.next;
      ASSERT_EQ(count, expectedCount) << std::hex << w << " next " << c.next;
    }
  }
  EXPECT_EQ(probe.failures(), 0);
}

INSTANTIATE_TEST_SUITE_P(Families, DisassembleEveryWord,
                         ::testing::ValuesIn(reference_model::families()), familyName);

TEST(Disassemble, EachFamilyKeepsItsOwnBuffer) {
  std::uint8_t count = 0;
  const char* b = instDisassemble(0, 0x0785, 0, &count, CoreB);
  const char* d = instDisassemble(0, 0x0013, 0, &count, CoreD);
  const char* a = instDisassemble(0, 0x000, 0, &count, CoreA);
  const char* c = instDisassemble(0, 0x0003, 0, &count, CoreC);
  EXPECT_STREQ(b, "ADDWF     0x5,0x1");
  EXPECT_STREQ(d, "RETURN    0x1");
  EXPECT_STREQ(a, "NOP       ");
  EXPECT_STREQ(c, "SLEEP     ");

  const char* b2 = instDisassemble(0, 0x0100, 0, &count, CoreB);
  EXPECT_EQ(b2, b);
  EXPECT_STREQ(b, "CLRW      ");
  EXPECT_STREQ(d, "RETURN    0x1");
}

TEST(Disassemble, FailuresGiveNullAndKeepTheCount) {
  struct Case {
    const char* what;
    CoreFamily family;
    std::uint16_t word;
    int failures;
  } cases[] = {
      {"CoreB 0x0001 is no instruction", CoreB, 0x0001, 2},
      {"CoreD 0x0002 is no instruction", CoreD, 0x0002, 2},
      {"family 0", 0, 0x0000, 1},
      {"family 5", 5, 0x0000, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AssertProbe probe;
    std::uint8_t count = 7;
    EXPECT_EQ(instDisassemble(0, c.word, 0, &count, c.family), nullptr);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(probe.failures(), c.failures);
  }
}

TEST(Validity, NamedWordsAndBadFamilies) {
  EXPECT_EQ(instIsValid(0x0001, CoreB), 0);
  EXPECT_EQ(instIsValid(0x0008, CoreB), 1);
  EXPECT_EQ(instIsValid(0xC001, CoreB), 0);  // bits above 14 do not help
  EXPECT_EQ(instIsValid(0x0002, CoreD), 0);
  for (unsigned w = 0xF000; w <= 0xFFFF; ++w)
    EXPECT_EQ(instIsValid(static_cast<std::uint16_t>(w), CoreD), 1);

  AssertProbe probe;
  EXPECT_EQ(instIsValid(0x0000, 0), 0);
  EXPECT_EQ(instIsValid(0x0000, 5), 0);
  EXPECT_EQ(probe.failures(), 2);
}

}  // namespace

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "opcat.h"
#include "reference_model.h"

namespace {

using reference_model::FamilyInfo;

class EveryWord : public ::testing::TestWithParam<FamilyInfo> {};

std::string familyName(const ::testing::TestParamInfo<FamilyInfo>& info) {
  return info.param.name;
}

TEST_P(EveryWord, ReferenceListingsAreConsistent) {
  const auto& ref = reference_model::family(GetParam().family);
  static const std::map<CoreFamily, std::size_t> sizes = {
      {CoreA, 33}, {CoreB, 37}, {CoreC, 61}, {CoreD, 82}};
  EXPECT_EQ(ref.tests.size(), sizes.at(GetParam().family));
  std::set<std::string> tested, fielded;
  for (const auto& t : ref.tests) {
    EXPECT_TRUE(tested.insert(t.name).second) << t.name;
    EXPECT_EQ(t.mask & ~GetParam().widthMask, 0) << t.name;
    EXPECT_EQ(t.pattern & ~t.mask, 0) << t.name;
  }
  for (const auto& entry : ref.fields) fielded.insert(entry.first);
  EXPECT_EQ(tested, fielded);
  EXPECT_EQ(tested, reference_model::mnemonicSets().at(GetParam().name));
}

// The decoder returns exactly the written mnemonic set of the family.
TEST_P(EveryWord, DecodesExactlyTheWrittenMnemonicSet) {
  const FamilyInfo& fam = GetParam();
  std::set<std::string> decoded;
  for (unsigned w = 0; w <= fam.widthMask; ++w) {
    std::uint16_t word = static_cast<std::uint16_t>(w);
    if (instIsValid(word, fam.family)) decoded.insert(instMnemonic(instDecode(word, fam.family)));
  }
  EXPECT_EQ(decoded, reference_model::mnemonicSets().at(fam.name));
}

// Decoding, validity and the operand readers against the reference listings,
// for every 16-bit word (so the bits above the family's width are covered).
TEST_P(EveryWord, DecodesLikeTheReferenceListing) {
  const FamilyInfo& fam = GetParam();
  const auto& ref = reference_model::family(fam.family);
  AssertProbe probe;
  unsigned valid = 0;
  for (unsigned w = 0; w <= 0xFFFF; ++w) {
    std::uint16_t word = static_cast<std::uint16_t>(w);
    const auto* test = ref.decode(word & fam.widthMask);
    int isValid = instIsValid(word, fam.family);
    ASSERT_EQ(isValid, test ? 1 : 0) << std::hex << w;
    if (!test) continue;
    if (w <= fam.widthMask) ++valid;
    InstType inst = instDecode(word, fam.family);
    ASSERT_EQ(inst, reference_model::instOf(test->name)) << std::hex << w;
    const auto& fields = ref.fields.at(test->name);
    for (int i = 0; i < 3; ++i) {
      if (fields[i].kind == reference_model::Field::kNone) continue;
      ASSERT_EQ(instGetOperand(word, fam.family, i), fields[i].read(word))
          << std::hex << w << " operand " << i + 1;
    }
    if (fields[0].kind != reference_model::Field::kNone) {
      ASSERT_EQ(instGetOperand1(word, fam.family), fields[0].read(word));
    }
    if (fields[1].kind != reference_model::Field::kNone) {
      ASSERT_EQ(instGetOperand2(word, fam.family), fields[1].read(word));
    }
    if (fields[2].kind != reference_model::Field::kNone) {
      ASSERT_EQ(instGetOperand3(word, fam.family), fields[2].read(word));
    }
  }
  EXPECT_EQ(valid, fam.validWords);
  EXPECT_EQ(probe.failures(), 0);
}

// A word looked up again, valid or not, answers as it did the first time:
// the second pass runs on what the first one left behind.
TEST_P(EveryWord, AnswersAlikeWhenAskedAgain) {
  const FamilyInfo& fam = GetParam();
  const auto& ref = reference_model::family(fam.family);
  AssertProbe probe;
  for (int pass = 0; pass < 2; ++pass) {
    for (unsigned w = 0; w <= 0xFFFF; ++w) {
      std::uint16_t word = static_cast<std::uint16_t>(w);
      const auto* test = ref.decode(word & fam.widthMask);
      ASSERT_EQ(instIsValid(word, fam.family), test ? 1 : 0) << std::hex << w << " pass " << pass;
      if (test) {
        ASSERT_EQ(instDecode(word, fam.family), reference_model::instOf(test->name))
            << std::hex << w << " pass " << pass;
      }
    }
  }
  EXPECT_EQ(probe.failures(), 0);
}

INSTANTIATE_TEST_SUITE_P(Families, EveryWord,
                         ::testing::ValuesIn(reference_model::families()), familyName);

TEST(Decode, OverlappingAndBoundaryWords) {
  struct Case {
    CoreFamily family;
    std::uint16_t word;
    InstType inst;
    int op1;  // -1: none
    int op2;
  } cases[] = {
      // CoreB: the exact patterns win over TRIS, TRIS wins over NOP.
      {CoreB, 0x0062, Inst::OPTION, -1, -1},
      {CoreB, 0x0063, Inst::SLEEP, -1, -1},
      {CoreB, 0x0064, Inst::CLRWDT, -1, -1},
      {CoreB, 0x0060, Inst::TRIS, 0, -1},
      {CoreB, 0x0061, Inst::TRIS, 1, -1},
      {CoreB, 0x0065, Inst::TRIS, 5, -1},
      {CoreB, 0x0066, Inst::TRIS, 6, -1},
      {CoreB, 0x0067, Inst::TRIS, 7, -1},
      {CoreB, 0x0000, Inst::NOP, -1, -1},
      {CoreB, 0x0020, Inst::NOP, -1, -1},
      {CoreB, 0x0040, Inst::NOP, -1, -1},
      {CoreB, 0x3FFF, Inst::ADDLW, 0xFF, -1},
      {CoreB, 0xC500, Inst::ANDWF, 0, 0},
      {CoreB, 0x0785, Inst::ADDWF, 0x05, 1},
      {CoreB, 0x1FFF, Inst::BTFSS, 0x7F, 7},
      // CoreA: TRIS only where no exact pattern is.
      {CoreA, 0x000, Inst::NOP, -1, -1},
      {CoreA, 0x002, Inst::OPTION, -1, -1},
      {CoreA, 0x003, Inst::SLEEP, -1, -1},
      {CoreA, 0x004, Inst::CLRWDT, -1, -1},
      {CoreA, 0x001, Inst::TRIS, 1, -1},
      {CoreA, 0x005, Inst::TRIS, 5, -1},
      {CoreA, 0x006, Inst::TRIS, 6, -1},
      {CoreA, 0x007, Inst::TRIS, 7, -1},
      {CoreA, 0xF002, Inst::OPTION, -1, -1},
      {CoreA, 0xBFF, Inst::GOTO, 0x1FF, -1},
      // CoreC
      {CoreC, 0x0000, Inst::NOP, -1, -1},
      {CoreC, 0x0001, Inst::STOP, -1, -1},
      {CoreC, 0x0003, Inst::SLEEP, -1, -1},
      {CoreC, 0xE123, Inst::CALL, 0x0123, -1},
      {CoreC, 0x5F12, Inst::MOVPF, 0x1F, 0x12},
      {CoreC, 0x7F12, Inst::MOVFP, 0x12, 0x1F},
      {CoreC, 0xBBF5, Inst::MOVLR, 0xF, -1},
      // CoreD
      {CoreD, 0xF123, Inst::WORD2, 0x123, -1},
      {CoreD, 0xFFFF, Inst::WORD2, 0xFFF, -1},
      {CoreD, 0xEE12, Inst::LFSR, 1, 2},
      {CoreD, 0x0013, Inst::RETURN, 1, -1},
      {CoreD, 0x0012, Inst::RETURN, 0, -1},
      {CoreD, 0xC123, Inst::MOVFF, 0x123, 0},
      {CoreD, 0xED34, Inst::CALL, 0x34, 1},
  };
  AssertProbe probe;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.family) + " word " + std::to_string(c.word));
    EXPECT_EQ(instDecode(c.word, c.family), c.inst);
    if (c.op1 >= 0) {
      EXPECT_EQ(instGetOperand1(c.word, c.family), c.op1);
    }
    if (c.op2 >= 0) {
      EXPECT_EQ(instGetOperand2(c.word, c.family), c.op2);
    }
  }
  EXPECT_EQ(probe.failures(), 0);
}

TEST(Decode, FailuresAssertAndGiveZero) {
  struct Case {
    const char* what;
    int (*call)();
    int failures;
  } cases[] = {
      {"family 0", [] { return int(instDecode(0, 0)); }, 1},
      {"family 5", [] { return int(instDecode(0, 5)); }, 1},
      {"reader, family 0", [] { return int(instGetOperand1(0x0785, 0)); }, 1},
      {"undecodable word", [] { return int(instDecode(0x0001, CoreB)); }, 1},
      {"reader of an undecodable word", [] { return int(instGetOperand1(0x0001, CoreB)); }, 2},
      {"CLRW has no operand 1", [] { return int(instGetOperand1(0x0100, CoreB)); }, 1},
      {"ADDWF has no operand 3 on CoreB", [] { return int(instGetOperand3(0x0785, CoreB)); }, 1},
      {"LFSR has no operand 3", [] { return int(instGetOperand3(0xEE12, CoreD)); }, 1},
      {"index 3", [] { return int(instGetOperand(0x0785, CoreB, 3)); }, 1},
      {"index -1", [] { return int(instGetOperand(0x0785, CoreB, -1)); }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AssertProbe probe;
    EXPECT_EQ(c.call(), 0);
    EXPECT_EQ(probe.failures(), c.failures);
    EXPECT_EQ(probe.lastStatus(), 255);
    EXPECT_NE(probe.text().find("File: opcat.cpp"), std::string::npos);
    EXPECT_NE(probe.text().find("Expression: 0\n"), std::string::npos);
  }
}

}  // namespace

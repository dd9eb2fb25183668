#include <gtest/gtest.h>

#include <string>

#include "opcat.h"
#include "reference_model.h"

namespace {

using reference_model::FamilyInfo;
using reference_model::Field;

class EncodeEveryWord : public ::testing::TestWithParam<FamilyInfo> {};

std::string familyName(const ::testing::TestParamInfo<FamilyInfo>& info) {
  return info.param.name;
}

void setOperand(std::uint16_t* word, int index, std::uint16_t value, CoreFamily family) {
  switch (index) {
    case 0: instSetOperand1(word, value, family); break;
    case 1: instSetOperand2(word, value, family); break;
    default: instSetOperand3(word, value, family); break;
  }
}

// Rebuilding each valid word from 0 with its mnemonic and operands gives the
// word restricted to its opcode mask and operand fields.
TEST_P(EncodeEveryWord, RebuildsEveryValidWordFromZero) {
  const FamilyInfo& fam = GetParam();
  const auto& ref = reference_model::family(fam.family);
  AssertProbe probe;
  unsigned rebuilt = 0;
  for (unsigned w = 0; w <= fam.widthMask; ++w) {
    std::uint16_t word = static_cast<std::uint16_t>(w);
    const auto* test = ref.decode(word);
    if (!test) continue;
    // CoreA TRIS shares its opcode bits with NOP, and the setters find the
    // field by decoding the word as it stands, so TRIS cannot be built up
    // from 0 (see SettersDecodeTheWordAsItStands).
    if (fam.family == CoreA && test->name == "TRIS") continue;
    const auto& fields = ref.fields.at(test->name);
    std::uint16_t built = 0;
    instSetOpcode(&built, reference_model::instOf(test->name), fam.family);
    std::uint16_t covered = test->mask;
    for (int i = 0; i < 3; ++i) {
      if (fields[i].kind == Field::kNone) continue;
      setOperand(&built, i, fields[i].read(word), fam.family);
      covered |= fields[i].mask();
    }
    ASSERT_EQ(built, word & covered) << std::hex << "word " << w;
    ++rebuilt;
  }
  EXPECT_GT(rebuilt, 0u);
  EXPECT_EQ(probe.failures(), 0);
}

// A setter writes its field and nothing else, bits above the width included.
TEST_P(EncodeEveryWord, SettersChangeOnlyTheirField) {
  const FamilyInfo& fam = GetParam();
  const auto& ref = reference_model::family(fam.family);
  AssertProbe probe;
  for (unsigned w = 0; w <= 0xFFFF; ++w) {
    std::uint16_t word = static_cast<std::uint16_t>(w);
    const auto* test = ref.decode(word & fam.widthMask);
    if (!test) continue;
    const auto& fields = ref.fields.at(test->name);
    for (int i = 0; i < 3; ++i) {
      if (fields[i].kind == Field::kNone) continue;
      std::uint16_t value = static_cast<std::uint16_t>(~fields[i].read(word));
      std::uint16_t changed = word;
      setOperand(&changed, i, value, fam.family);
      std::uint16_t fieldMask = fields[i].mask();
      ASSERT_EQ(changed & ~fieldMask, word & ~fieldMask) << std::hex << w << " operand " << i + 1;
      ASSERT_EQ(changed & fieldMask, (value << fields[i].low) & fieldMask)
          << std::hex << w << " operand " << i + 1;
    }
  }
  EXPECT_EQ(probe.failures(), 0);
}

TEST_P(EncodeEveryWord, SetOpcodeTouchesOnlyTheMask) {
  const FamilyInfo& fam = GetParam();
  const auto& ref = reference_model::family(fam.family);
  for (const auto& t : ref.tests) {
    SCOPED_TRACE(t.name);
    InstType inst = reference_model::instOf(t.name);
    for (std::uint16_t start : {0x0000, 0xFFFF, 0xA5A5, 0x5A5A}) {
      std::uint16_t word = start;
      instSetOpcode(&word, inst, fam.family);
      EXPECT_EQ(word, (start & ~t.mask) | t.pattern);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Families, EncodeEveryWord,
                         ::testing::ValuesIn(reference_model::families()), familyName);

TEST(Encode, WorkedSequences) {
  struct Step {
    int operand;  // 0: set the opcode to inst; 1 to 3: set that operand to value
    InstType inst;
    std::uint16_t value;
  };
  struct Case {
    const char* what;
    CoreFamily family;
    std::uint16_t start;
    std::vector<Step> steps;
    std::uint16_t result;
  } cases[] = {
      {"CoreB MOVLW keeps the bits above 14", CoreB, 0xFFFF, {{0, Inst::MOVLW, 0}}, 0xF3FF},
      {"CoreB literal is cut to 8 bits", CoreB, 0xF3FF, {{1, 0, 0x1FF}}, 0xF3FF},
      {"CoreB BCF 0x25,3", CoreB, 0x0000, {{0, Inst::BCF, 0}, {1, 0, 0x25}, {2, 0, 3}}, 0x11A5},
      {"CoreB BSF keeps register and bit", CoreB, 0x03FF, {{0, Inst::BSF, 0}}, 0x17FF},
      {"CoreB TRIS keeps bits 2-0", CoreB, 0x3FFF, {{0, Inst::TRIS, 0}}, 0x0067},
      {"CoreA RETLW 0x41", CoreA, 0x000, {{0, Inst::RETLW, 0}, {1, 0, 0x41}}, 0x841},
      {"CoreA RETLW keeps the literal", CoreA, 0x0FFF, {{0, Inst::RETLW, 0}}, 0x08FF},
      {"CoreD MOVFF destination is not in this word", CoreD, 0xC123, {{2, 0, 0x456}}, 0xC123},
      {"CoreD LFSR register field is two bits", CoreD, 0xEE00, {{1, 0, 6}}, 0xEE20},
      {"CoreD CALL fast bit", CoreD, 0x0000, {{0, Inst::CALL, 0}, {1, 0, 0x12}, {2, 0, 1}},
       0xED12},
      {"CoreD bit operation with access bit", CoreD, 0x0000,
       {{0, Inst::BSF, 0}, {1, 0, 0x80}, {2, 0, 7}, {3, 0, 1}}, 0x8F80},
      {"CoreC table read", CoreC, 0x0000,
       {{0, Inst::TABLRD, 0}, {1, 0, 1}, {2, 0, 1}, {3, 0, 0x34}}, 0xAB34},
  };
  AssertProbe probe;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::uint16_t word = c.start;
    for (const Step& s : c.steps) {
      if (s.operand == 0) {
        instSetOpcode(&word, s.inst, c.family);
      } else {
        setOperand(&word, s.operand - 1, s.value, c.family);
      }
    }
    EXPECT_EQ(word, c.result) << std::hex << word;
  }
  EXPECT_EQ(probe.failures(), 0);
}

TEST(Encode, SettersDecodeTheWordAsItStands) {
  // CoreA TRIS from 0 is NOP, which has no operand to set.
  AssertProbe probe;
  std::uint16_t word = 0;
  instSetOpcode(&word, Inst::TRIS, CoreA);
  EXPECT_EQ(word, 0x000);
  EXPECT_EQ(probe.failures(), 0);
  instSetOperand1(&word, 5, CoreA);
  EXPECT_EQ(word, 0x000);
  EXPECT_EQ(probe.failures(), 1);

  // CoreB TRIS with operand 2 becomes OPTION, as the word decodes so.
  word = 0;
  instSetOpcode(&word, Inst::TRIS, CoreB);
  instSetOperand1(&word, 2, CoreB);
  EXPECT_EQ(word, 0x0062);
  EXPECT_EQ(instDecode(word, CoreB), Inst::OPTION);
}

TEST(Encode, FailuresLeaveTheWordUnchanged) {
  struct Case {
    const char* what;
    CoreFamily family;
    std::uint16_t start;
    void (*call)(std::uint16_t*, CoreFamily);
    int failures;
  } cases[] = {
      {"LFSR is foreign to CoreB", CoreB, 0x1234,
       [](std::uint16_t* w, CoreFamily f) { instSetOpcode(w, Inst::LFSR, f); }, 1},
      {"OPTION is foreign to CoreC", CoreC, 0x1234,
       [](std::uint16_t* w, CoreFamily f) { instSetOpcode(w, Inst::OPTION, f); }, 1},
      {"WORD2 is foreign to CoreC", CoreC, 0x1234,
       [](std::uint16_t* w, CoreFamily f) { instSetOpcode(w, Inst::WORD2, f); }, 1},
      {"InstType 0", CoreD, 0x1234,
       [](std::uint16_t* w, CoreFamily f) { instSetOpcode(w, 0, f); }, 1},
      {"BANKSEL", CoreD, 0x1234,
       [](std::uint16_t* w, CoreFamily f) { instSetOpcode(w, Inst::BANKSEL, f); }, 1},
      {"PAGESEL", CoreB, 0x1234,
       [](std::uint16_t* w, CoreFamily f) { instSetOpcode(w, Inst::PAGESEL, f); }, 1},
      {"InstType 99", CoreB, 0x1234,
       [](std::uint16_t* w, CoreFamily f) { instSetOpcode(w, 99, f); }, 1},
      {"opcode, family 0", 0, 0x1234,
       [](std::uint16_t* w, CoreFamily f) { instSetOpcode(w, Inst::NOP, f); }, 1},
      {"operand, family 5", 5, 0x0785,
       [](std::uint16_t* w, CoreFamily f) { instSetOperand1(w, 1, f); }, 1},
      {"CLRW has no operand 1", CoreB, 0x0100,
       [](std::uint16_t* w, CoreFamily f) { instSetOperand1(w, 1, f); }, 1},
      {"CoreB has no operand 3", CoreB, 0x0785,
       [](std::uint16_t* w, CoreFamily f) { instSetOperand3(w, 1, f); }, 1},
      {"undecodable word", CoreB, 0x0001,
       [](std::uint16_t* w, CoreFamily f) { instSetOperand1(w, 1, f); }, 2},
      {"MOVFF operand 2 is silently left alone", CoreD, 0xC123,
       [](std::uint16_t* w, CoreFamily f) { instSetOperand2(w, 0xFFF, f); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AssertProbe probe;
    std::uint16_t word = c.start;
    c.call(&word, c.family);
    EXPECT_EQ(word, c.start);
    EXPECT_EQ(probe.failures(), c.failures);
  }
}

TEST(Encode, NullWordPointerIsRefused) {
  AssertProbe probe;
  instSetOpcode(nullptr, Inst::NOP, CoreB);
  instSetOperand1(nullptr, 1, CoreB);
  instSetOperand2(nullptr, 1, CoreD);
  instSetOperand3(nullptr, 1, CoreD);
  EXPECT_EQ(probe.failures(), 4);
}

}  // namespace

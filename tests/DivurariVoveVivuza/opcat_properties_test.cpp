#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "opcat.h"
#include "reference_model.h"

namespace {

using reference_model::Field;

// "value: NAME NAME ...; value: ..." to a map from name to value.
std::map<std::string, int> valuesByName(const char* text) {
  std::map<std::string, int> out;
  for (const std::string& group : reference_model::split(text, ';')) {
    if (group.empty()) continue;
    std::istringstream in(group);
    int value;
    char colon;
    in >> value >> colon;
    std::string name;
    while (in >> name) out[name] = value;
  }
  return out;
}

// Relocation types of CoreD operand 1; every other mnemonic has -1.
const char* const kCoreDReloc1 =
    "1: CALL; 2: GOTO; 19: BRA RCALL; 20: BC BN BNC BNN BNOV BNZ BOV BZ; 13: MOVLB;"
    "10: ADDLW ADDWF ADDWFC ANDLW ANDWF BCF BSF BTFSC BTFSS BTG CLRF COMF CPFSEQ CPFSGT"
    "    CPFSLT DCFSNZ DECF DECFSZ INCF INCFSZ INFSNZ IORLW IORWF MOVF MOVFF MOVLW MOVWF"
    "    MULLW MULWF NEGF RETLW RLCF RLNCF RRCF RRNCF SETF SUBFWB SUBLW SUBWF SUBWFB SWAPF"
    "    TSTFSZ XORLW XORWF";
const char* const kCoreDReloc2 = "17: LFSR";
const char* const kCoreDWord2Reloc = "14: CALL GOTO; 18: LFSR";
const char* const kCoreDWord2Operand = "1: CALL GOTO; 2: LFSR MOVFF; 0: RCALL TRAP TRET";
const char* const kCoreDTwoWord = "1: CALL GOTO LFSR MOVFF";
// CoreC ADDLW answers a register relocation type for its literal.
const char* const kCoreCReloc1 = "10: ADDLW";

int lookup(const std::map<std::string, int>& values, const std::string& name, int otherwise) {
  auto it = values.find(name);
  return it == values.end() ? otherwise : it->second;
}

TEST(Properties, EveryMnemonicOfEveryFamily) {
  const auto dReloc1 = valuesByName(kCoreDReloc1);
  const auto dReloc2 = valuesByName(kCoreDReloc2);
  const auto dWord2Reloc = valuesByName(kCoreDWord2Reloc);
  const auto dWord2Operand = valuesByName(kCoreDWord2Operand);
  const auto dTwoWord = valuesByName(kCoreDTwoWord);
  const auto cReloc1 = valuesByName(kCoreCReloc1);
  const std::map<std::string, int> none;

  AssertProbe probe;
  for (const auto& fam : reference_model::families()) {
    const auto& ref = reference_model::family(fam.family);
    const bool d = fam.family == CoreD;
    for (const auto& t : ref.tests) {
      SCOPED_TRACE(std::string(fam.name) + " " + t.name);
      InstType inst = reference_model::instOf(t.name);
      const auto& fields = ref.fields.at(t.name);
      for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(instHasOperand(inst, fam.family, i), fields[i].kind != Field::kNone ? 1 : 0)
            << "operand " << i + 1;
        EXPECT_EQ(instRelocType(inst, fam.family, i),
                  i == 0 ? instRelocType1(inst, fam.family)
                         : i == 1 ? instRelocType2(inst, fam.family)
                                  : instRelocType3(inst, fam.family));
      }
      EXPECT_EQ(instHasOperand1(inst, fam.family), instHasOperand(inst, fam.family, 0));
      EXPECT_EQ(instHasOperand2(inst, fam.family), instHasOperand(inst, fam.family, 1));
      EXPECT_EQ(instHasOperand3(inst, fam.family), instHasOperand(inst, fam.family, 2));

      EXPECT_EQ(instIsTwoWord(inst, fam.family), lookup(d ? dTwoWord : none, t.name, 0));
      EXPECT_EQ(instRelocType1(inst, fam.family),
                lookup(d ? dReloc1 : fam.family == CoreC ? cReloc1 : none, t.name, -1));
      EXPECT_EQ(instRelocType2(inst, fam.family), lookup(d ? dReloc2 : none, t.name, -1));
      EXPECT_EQ(instRelocType3(inst, fam.family), -1);
      EXPECT_EQ(instWord2RelocType(inst, fam.family), lookup(d ? dWord2Reloc : none, t.name, -1));
      EXPECT_EQ(instWord2Operand(inst, fam.family), lookup(d ? dWord2Operand : none, t.name, -1));
    }
  }
  EXPECT_EQ(probe.failures(), 0);
}

TEST(Properties, NamedCases) {
  EXPECT_EQ(instIsTwoWord(Inst::MOVFF, CoreD), 1);
  EXPECT_EQ(instWord2RelocType(Inst::MOVFF, CoreD), -1);
  EXPECT_EQ(instHasOperand2(Inst::MOVFF, CoreD), 1);
  EXPECT_EQ(instRelocType1(Inst::LFSR, CoreD), -1);
  EXPECT_EQ(instRelocType2(Inst::LFSR, CoreD), 17);
  EXPECT_EQ(instHasOperand3(Inst::ADDWF, CoreD), 1);
  EXPECT_EQ(instHasOperand3(Inst::ADDWF, CoreB), 0);
  EXPECT_EQ(instHasOperand3(Inst::TABLRD, CoreC), 1);
  EXPECT_EQ(instHasOperand3(Inst::CLRF, CoreD), 0);
  EXPECT_EQ(instRelocType1(Inst::ADDLW, CoreC), 10);
  EXPECT_EQ(instRelocType1(Inst::ADDLW, CoreB), -1);
  EXPECT_EQ(instWord2Operand(Inst::RCALL, CoreD), 0);
  EXPECT_EQ(instWord2Operand(Inst::BRA, CoreD), -1);
}

// Every property of an InstType outside the family's set asserts and gives
// 0, not -1.
TEST(Properties, ForeignMnemonicsAssertAndGiveZero) {
  using Lookup = int (*)(InstType, CoreFamily);
  const Lookup lookups[] = {instHasOperand1, instHasOperand2,    instHasOperand3,
                            instIsTwoWord,   instRelocType1,     instRelocType2,
                            instRelocType3,  instWord2RelocType, instWord2Operand};
  for (const auto& fam : reference_model::families()) {
    const auto& ref = reference_model::family(fam.family);
    for (unsigned t : {0u, 97u, 98u, 99u, 255u, 40u /* LFSR */, 55u /* OPTION */, 94u /* WORD2 */}) {
      bool member = false;
      for (const auto& test : ref.tests) member |= reference_model::instOf(test.name) == t;
      if (member) continue;
      SCOPED_TRACE(std::string(fam.name) + " " + std::to_string(t));
      AssertProbe probe;
      InstType inst = static_cast<InstType>(t);
      for (Lookup f : lookups) EXPECT_EQ(f(inst, fam.family), 0);
      EXPECT_EQ(instHasOperand(inst, fam.family, 1), 0);
      EXPECT_EQ(instRelocType(inst, fam.family, 1), 0);
      EXPECT_EQ(probe.failures(), static_cast<int>(std::size(lookups)) + 2);
    }
  }
}

TEST(Properties, BadFamilyOrIndexAssertsAndGivesZero) {
  struct Case {
    const char* what;
    int (*call)();
  } cases[] = {
      {"has operand, family 0", [] { return instHasOperand1(Inst::NOP, 0); }},
      {"two words, family 5", [] { return instIsTwoWord(Inst::CALL, 5); }},
      {"reloc, family 255", [] { return instRelocType1(Inst::CALL, 255); }},
      {"word2 reloc, family 0", [] { return instWord2RelocType(Inst::CALL, 0); }},
      {"word2 operand, family 0", [] { return instWord2Operand(Inst::CALL, 0); }},
      {"reloc index 3", [] { return instRelocType(Inst::CALL, CoreD, 3); }},
      {"reloc index -1", [] { return instRelocType(Inst::CALL, CoreD, -1); }},
      {"has operand index 3", [] { return instHasOperand(Inst::ADDWF, CoreD, 3); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AssertProbe probe;
    EXPECT_EQ(c.call(), 0);
    EXPECT_EQ(probe.failures(), 1);
    EXPECT_NE(probe.text().find("File: opcat.cpp"), std::string::npos);
  }
}

}  // namespace

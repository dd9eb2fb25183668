#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "opcat.h"
#include "reference_model.h"

namespace {

TEST(Mnemonics, TextsFollowTheNumbering) {
  const auto& numbering = reference_model::numbering();
  ASSERT_EQ(numbering.size(), 98u);
  for (const auto& entry : numbering) {
    ASSERT_NE(instMnemonic(static_cast<InstType>(entry.second)), nullptr) << entry.first;
    EXPECT_STREQ(instMnemonic(static_cast<InstType>(entry.second)), entry.first.c_str());
  }
  // 1 to 96 ascend in byte order.
  for (InstType t = 2; t <= Inst::XORWF; ++t)
    EXPECT_LT(std::strcmp(instMnemonic(t - 1), instMnemonic(t)), 0) << instMnemonic(t);
  EXPECT_STREQ(instMnemonic(Inst::BANKSEL), "BANKSEL");
  EXPECT_STREQ(instMnemonic(Inst::PAGESEL), "PAGESEL");
}

TEST(Mnemonics, OutOfRangeAssertsAndGivesNull) {
  for (unsigned t : {0u, 99u, 255u}) {
    AssertProbe probe;
    EXPECT_EQ(instMnemonic(static_cast<InstType>(t)), nullptr);
    EXPECT_EQ(probe.failures(), 1);
    EXPECT_NE(probe.text().find("Expression: 0\n"), std::string::npos);
    EXPECT_NE(probe.text().find("File: opcat.cpp"), std::string::npos);
  }
}

// Each text is found in exactly the families whose decoder can give it, in
// any letter case.
TEST(Mnemonics, LookupKnowsExactlyTheFamilySet) {
  AssertProbe probe;
  for (const auto& fam : reference_model::families()) {
    const auto& ref = reference_model::family(fam.family);
    for (unsigned t = 1; t <= Inst::LAST; ++t) {
      const std::string text = instMnemonic(static_cast<InstType>(t));
      bool member = ref.fields.count(text) != 0;
      SCOPED_TRACE(std::string(fam.name) + " " + text);
      std::string lower = text, mixed = text;
      for (std::size_t i = 0; i < text.size(); ++i) {
        lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        if (i % 2) mixed[i] = lower[i];
      }
      for (const std::string& spelling : {text, lower, mixed}) {
        InstType found = 200;
        EXPECT_EQ(instFromMnemonic(spelling.c_str(), &found, fam.family), member ? 1 : 0);
        EXPECT_EQ(found, member ? t : 200u);
      }
    }
  }
  EXPECT_EQ(probe.failures(), 0);
}

TEST(Mnemonics, LookupMatchesWholeTextsOnly) {
  struct Case {
    const char* text;
    CoreFamily family;
    int found;
    InstType inst;
  } cases[] = {
      {"NOP", CoreB, 1, 54},      {"nop", CoreB, 1, 54},       {"nOp", CoreB, 1, 54},
      {"NOP ", CoreB, 0, 0},      {" NOP", CoreB, 0, 0},       {"NOP\t", CoreB, 0, 0},
      {"NO", CoreB, 0, 0},        {"NOPS", CoreB, 0, 0},       {"", CoreB, 0, 0},
      {"OPTION", CoreB, 1, 55},   {"OPTION", CoreC, 0, 0},     {"WORD2", CoreD, 1, 94},
      {"LFSR", CoreB, 0, 0},      {"BANKSEL", CoreD, 0, 0},    {"pagesel", CoreA, 0, 0},
      {"TBLWTPOSTDEC", CoreD, 1, 85}, {"N\xCFP", CoreB, 0, 0},
  };
  AssertProbe probe;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "'");
    InstType inst = 0xEE;
    EXPECT_EQ(instFromMnemonic(c.text, &inst, c.family), c.found);
    EXPECT_EQ(inst, c.found ? c.inst : 0xEE);
  }
  InstType inst = 0xEE;
  EXPECT_EQ(instFromMnemonic(nullptr, &inst, CoreB), 0);
  EXPECT_EQ(inst, 0xEE);
  EXPECT_EQ(probe.failures(), 0);
}

TEST(Mnemonics, LookupWithBadFamilyAsserts) {
  AssertProbe probe;
  InstType inst = 0xEE;
  EXPECT_EQ(instFromMnemonic("NOP", &inst, 0), 0);
  EXPECT_EQ(instFromMnemonic("NOP", &inst, 5), 0);
  EXPECT_EQ(inst, 0xEE);
  EXPECT_EQ(probe.failures(), 2);
}

}  // namespace

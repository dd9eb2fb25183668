// Cross-reference checks of a Coff.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "coff.h"
#include "fixtures/coff_builder.h"
#include "support/harness.h"

using namespace testing_support;
using fixtures::CoffBuilder;

namespace {

// Ten records: 0 ".file"+aux, 2 "main"+aux_fcn, 4 tag+aux, 6 ".bf"+aux,
// 8 "data", 9 "ext"; two sections, a relocation and a line.
Coff tenRecords() {
  CoffBuilder b("v.o");
  b.section(".code", scnCode, 0, {1, 2, 3, 4});
  b.section(".a_long_data_name", scnIData, 0, {5});
  const std::uint32_t f = b.file("v.asm");
  const std::uint32_t m = b.function("main", 1, 0, 9);
  aux_tag tag;
  tag.x_endndx = 9;
  b.symbolWithAux(b.makeSymbol("tag", 0, kScnNumDebug, kClassStructTag, kTypeStruct), tag);
  aux_bobf bf;
  bf.x_endndx = 8;
  b.symbolWithAux(b.makeSymbol(".bf", 0, 1, kClassFunction), bf);
  b.symbol("data_symbol_long", 0, 2, kClassStatic);
  b.externRef("ext");
  b.relocation(".code", 0, 9, 1);
  b.lineNumber(".code", f, 3, 0, m);
  Coff c = b.model();
  EXPECT_EQ(c.cSymbolTbl.size(), 10u);
  return c;
}

struct VerifyResult {
  int result;
  String output;
};

VerifyResult verifyCaptured(const Coff& c) {
  DiagnosticsScope scope;
  OutputCapture out;
  const int result = c.verify();
  return {result, out.text()};
}

template <class Aux>
void changeAux(Coff& c, std::size_t i, const std::function<void(Aux&)>& change) {
  Aux a = Aux::decode(c.cSymbolTbl[i]);
  change(a);
  a.encode(c.cSymbolTbl[i]);
}

void changeSym(Coff& c, std::size_t i, const std::function<void(syment&)>& change) {
  syment s = syment::decode(c.cSymbolTbl[i]);
  change(s);
  s.encode(c.cSymbolTbl[i]);
}

TEST(CoffVerify, SoundImagePasses) {
  const VerifyResult r = verifyCaptured(tenRecords());
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.output, "");
}

TEST(CoffVerify, EachBrokenReferenceHasItsMessage) {
  struct Case {
    const char* what;
    std::function<void(Coff&)> damage;
    const char* message;  // after "Coff file 'v.o'"
  };
  const Case cases[] = {
      {"n_scnum of no section", [](Coff& c) { changeSym(c, 8, [](syment& s) { s.n_scnum = 3; }); },
       " symbol[8] has an invalid n_scnum."},
      {"negative n_scnum other than -1 and -2",
       [](Coff& c) { changeSym(c, 9, [](syment& s) { s.n_scnum = -3; }); },
       " symbol[9] has an invalid n_scnum."},
      {"n_offset not in the table",
       [](Coff& c) { changeSym(c, 8, [](syment& s) { s.set_n_offset(5); }); },
       " symbol[8] has an invalid n_offset."},
      {"s_offset not in the table, counted in name order",
       [](Coff& c) { c.cScnHdr[".a_long_data_name"].set_s_offset(77); },
       " section[0] has an invalid s_offset."},
      {"r_symndx 10 of 10 records", [](Coff& c) { c.cRelocInfo[".code"][0].r_symndx = 10; },
       ", section '.code' reloc[0] has an invalid r_symndx."},
      {"relocations without symbols",
       [](Coff& c) {
         c.cSymbolTbl.clear();
         c.cAuxKind.clear();
         c.cLineInfo.clear();
       },
       " has relocation entries but an empty symbol table."},
      {"x_endndx of a function",
       [](Coff& c) { changeAux<aux_fcn>(c, 3, [](aux_fcn& a) { a.x_endndx = 10; }); },
       " symbol[3] has an invalid x_tagndx or x_endndx."},
      {"x_tagndx of a function",
       [](Coff& c) { changeAux<aux_fcn>(c, 3, [](aux_fcn& a) { a.x_tagndx = 0xFFFFFFFF; }); },
       " symbol[3] has an invalid x_tagndx or x_endndx."},
      {"x_endndx of a tag",
       [](Coff& c) { changeAux<aux_tag>(c, 5, [](aux_tag& a) { a.x_endndx = 11; }); },
       " symbol[5] has an invalid x_tagndx or x_endndx."},
      {"x_endndx of a .bf",
       [](Coff& c) { changeAux<aux_bobf>(c, 7, [](aux_bobf& a) { a.x_endndx = 10; }); },
       " symbol[7] has an invalid x_tagndx or x_endndx."},
      {"l_srcndx", [](Coff& c) { c.cLineInfo[".code"][0].l_srcndx = 10; },
       ", section '.code' line[0] has an invalid l_srcndx."},
      {"l_fcnndx whatever l_flags says",
       [](Coff& c) {
         c.cLineInfo[".code"][0].l_fcnndx = 10;
         c.cLineInfo[".code"][0].l_flags = 0;
       },
       ", section '.code' line[0] has an invalid l_fcnndx."},
      {"section maps of different sizes", [](Coff& c) { c.cScnNum[3] = ".extra"; },
       ", cScnHdr.size() != cScnNum.size() . "},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Coff c = tenRecords();
    k.damage(c);
    const VerifyResult r = verifyCaptured(c);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.output, String("Error - Coff file 'v.o'") + k.message + "\n");
  }
}

TEST(CoffVerify, IndexNineOfTenRecordsIsValid) {
  Coff c = tenRecords();
  c.cRelocInfo[".code"][0].r_symndx = 9;
  EXPECT_EQ(verifyCaptured(c).result, 1);
}

TEST(CoffVerify, UncheckedEntriesAndSpecialSectionNumbers) {
  Coff c = tenRecords();
  changeSym(c, 8, [](syment& s) { s.n_scnum = -1; });
  changeAux<aux_file>(c, 1, [](aux_file& a) { a.x_incline = 0xFFFFFFFF; });
  // Only the symbol's entry at 3 is an entry: a record that says it is a
  // symbol with a bad n_scnum is checked, one marked as an entry is not.
  c.cAuxKind[9] = auxEobf;
  changeSym(c, 9, [](syment& s) { s.n_scnum = 55; });
  EXPECT_EQ(verifyCaptured(c).result, 1);
}

TEST(CoffVerify, ReportsEveryFailureInCheckOrder) {
  Coff c = tenRecords();
  c.cScnNum[3] = ".extra";
  c.cLineInfo[".code"][0].l_srcndx = 12;
  c.cLineInfo[".code"][0].l_fcnndx = 13;
  c.cRelocInfo[".code"].push_back(c.cRelocInfo[".code"][0]);
  c.cRelocInfo[".code"][1].r_symndx = 10;
  changeSym(c, 8, [](syment& s) {
    s.n_scnum = 4;
    s.set_n_offset(1);
  });
  const VerifyResult r = verifyCaptured(c);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.output,
            "Error - Coff file 'v.o' symbol[8] has an invalid n_scnum.\n"
            "Error - Coff file 'v.o' symbol[8] has an invalid n_offset.\n"
            "Error - Coff file 'v.o', section '.code' reloc[1] has an invalid r_symndx.\n"
            "Error - Coff file 'v.o', section '.code' line[0] has an invalid l_srcndx.\n"
            "Error - Coff file 'v.o', section '.code' line[0] has an invalid l_fcnndx.\n"
            "Error - Coff file 'v.o', cScnHdr.size() != cScnNum.size() . \n");
}

TEST(CoffVerify, LongNamesLookedUpInAnyOrderInSmallAndLargeTables) {
  // Names in the reverse of table order, in a table of an object file's
  // size and in one of a linked executable's.
  for (const int count : {40, 300}) {
    SCOPED_TRACE(count);
    CoffBuilder b("n.o");
    b.section(".code", scnCode, 0, {1, 2});
    std::vector<std::uint32_t> offsets;
    for (int i = 0; i < count; ++i) {
      const std::uint32_t index = b.symbol("long_symbol_name_" + std::to_string(i), 0, 1, kClassStatic);
      offsets.push_back(syment::decode(b.model().cSymbolTbl[index]).n_offset());
    }
    Coff c = b.model();
    for (int i = 0; i < count; ++i)
      changeSym(c, static_cast<std::size_t>(i),
                [&](syment& s) { s.set_n_offset(offsets[static_cast<std::size_t>(count - 1 - i)]); });
    EXPECT_EQ(verifyCaptured(c).result, 1);

    const std::uint32_t last = c.cStringTbl.rbegin()->first;
    const struct {
      const char* what;
      std::uint32_t offset;
    } bad[] = {{"inside a string", offsets[5] + 1},
               {"past the last string", last + 1000},
               {"the length field", 0u}};
    for (const auto& k : bad) {
      SCOPED_TRACE(k.what);
      Coff broken = c;
      changeSym(broken, 7, [&](syment& s) { s.set_n_offset(k.offset); });
      const VerifyResult r = verifyCaptured(broken);
      EXPECT_EQ(r.result, 0);
      EXPECT_EQ(r.output, "Error - Coff file 'n.o' symbol[7] has an invalid n_offset.\n");
    }
  }
}

TEST(CoffVerify, SectionNumbersWithAGap) {
  // Numbers 1 and 7: 7 names a section, 2 no longer does.
  Coff c = tenRecords();
  c.cScnNum.erase(2);
  c.cScnNum[7] = ".a_long_data_name";
  const VerifyResult r = verifyCaptured(c);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.output, "Error - Coff file 'v.o' symbol[8] has an invalid n_scnum.\n");
  changeSym(c, 8, [](syment& s) { s.n_scnum = 7; });
  EXPECT_EQ(verifyCaptured(c).result, 1);
}

TEST(CoffVerify, LinesNeedSymbolsToo) {
  // Without symbols no index is valid, lines included.
  Coff c = tenRecords();
  c.cSymbolTbl.clear();
  c.cAuxKind.clear();
  c.cRelocInfo.clear();
  const VerifyResult r = verifyCaptured(c);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.output,
            "Error - Coff file 'v.o', section '.code' line[0] has an invalid l_srcndx.\n"
            "Error - Coff file 'v.o', section '.code' line[0] has an invalid l_fcnndx.\n");
}

}  // namespace

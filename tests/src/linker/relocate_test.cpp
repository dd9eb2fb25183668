#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "link_fixture.h"

using fixtures::CoffBuilder;
using linktest::LinkFixture;
using linktest::Phase;

namespace {

// A 14-bit core: two bytes per program location.
CoffBuilder object(const std::string& name) {
  CoffBuilder b(name);
  b.processor(0xB001, 14, 8);
  return b;
}

// The table goes to a page of its own, so .code starts at 0x200.
const char* kMemories =
    "CODEPAGE NAME=page START=0x200 END=0x6FF\n"
    "CODEPAGE NAME=cin START=0x700 END=0x7FF PROTECTED\n"
    "SECTION NAME=.cinit ROM=cin\n"
    "DATABANK NAME=gpr START=0x20 END=0x7F\n";

syment symbolOf(Linker& l, std::size_t file, std::size_t index) {
  return syment::decode(LinkerTestAccess::coffs(l).at(file)->cSymbolTbl.at(index));
}

// a.o: .code (relocatable, 16 words), .abs (absolute code at 0x300), .data
// (uninitialised); b.o: a second piece of .code. Pieces: a's .code at 0x200,
// b's at 0x210, .data at 0x20.
TEST(RelocateSymbols, ValuesByStorageClassAndSection) {
  struct Case {
    const char* what;
    int file;
    std::uint8_t sclass;
    std::int16_t scnum;  // 1 .code, 2 .abs, 3 .data in a.o; 1 .code in b.o
    std::uint32_t value;
    std::uint32_t expect;
  };
  const std::vector<Case> cases = {
      {"external in relocatable code", 0, kClassExternal, 1, 0x10, 0x210},
      {"static", 0, kClassStatic, 1, 0x4, 0x204},
      {"label", 0, kClassLabel, 1, 0x0, 0x200},
      {"block", 0, kClassBlock, 1, 0x2, 0x202},
      {"function", 0, kClassFunction, 1, 0x3, 0x203},
      {"absolute section keeps its address", 0, kClassExternal, 2, 0x301, 0x301},
      {"data section", 0, kClassStatic, 3, 0x5, 0x25},
      {"undefined", 0, kClassExternal, kScnNumUndefined, 0x10, 0x10},
      {"absolute symbol", 0, kClassExternal, kScnNumAbsolute, 0x10, 0x10},
      {"debug symbol", 0, kClassStatic, kScnNumDebug, 0x10, 0x10},
      {"file class", 0, kClassFile, 1, 0x10, 0x10},
      {"struct tag", 0, kClassStructTag, 1, 0x10, 0x10},
      {"end of struct", 0, kClassEndOfStruct, 1, 0x10, 0x10},
      {"second file's piece", 1, kClassExternal, 1, 0x2, 0x212},
  };
  LinkFixture f;
  CoffBuilder a = object("a.o");
  a.section(".code", scnCode, 0, std::vector<unsigned char>(0x20, 0));
  a.section(".abs", scnCode, 0x300, {0, 0, 0, 0}, kScnAbsolute);
  a.udata(".data", 16);
  CoffBuilder b = object("b.o");
  b.section(".code", scnCode, 0, std::vector<unsigned char>(8, 0));
  std::vector<std::uint32_t> index;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    CoffBuilder& target = cases[i].file == 0 ? a : b;
    index.push_back(
        target.symbol("s" + std::to_string(i), cases[i].value, cases[i].scnum, cases[i].sclass));
  }
  f.object("a.o", a);
  f.object("b.o", b);
  ASSERT_TRUE(f.commands(std::string("FILES a.o b.o\n") + kMemories));
  ASSERT_TRUE(f.run(Phase::RelocateSymbols)) << f.error();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    EXPECT_EQ(symbolOf(f.linker(), cases[i].file, index[i]).n_value, cases[i].expect);
  }
}

// Which records are entries follows the file's own pairing, never n_numaux.
TEST(RelocateSymbols, EntriesFollowThePairingNotNumaux) {
  LinkFixture f;
  CoffBuilder a = object("a.o");
  a.section(".code", scnCode, 0, std::vector<unsigned char>(0x20, 0));
  // A label claiming an entry it does not have: the next record is a symbol.
  syment label = a.makeSymbol("lbl", 1, 1, kClassLabel);
  label.n_numaux = 1;
  const std::uint32_t lbl = a.rawRecord(label.record());
  const std::uint32_t afterLabel = a.externDef("after1", 1, 4);
  // A function claiming two entries has one: the record after it is a symbol.
  const std::uint32_t fn = a.function("fn", 1, 6);
  {
    syment s = syment::decode(a.model().cSymbolTbl[fn]);
    s.n_numaux = 2;
    s.encode(a.model().cSymbolTbl[fn]);
  }
  const std::uint32_t afterFn = a.externDef("after2", 1, 8);
  // A section entry whose bytes read like a relocatable external.
  syment mimic;
  mimic.n_value = 0x40;
  mimic.n_scnum = 1;
  mimic.n_sclass = kClassExternal;
  const std::uint32_t scnSym =
      a.symbolWithAux(a.makeSymbol(".code", 0, 1, kClassStatic), mimic.record());
  f.object("a.o", a);
  ASSERT_TRUE(f.commands(std::string("FILES a.o\n") + kMemories));
  ASSERT_TRUE(f.run(Phase::LoadSections)) << f.error();
  const SymRecord entryBefore = LinkerTestAccess::coffs(f.linker())[0]->cSymbolTbl[scnSym + 1];
  ASSERT_TRUE(f.run(Phase::RelocateSymbols)) << f.error();

  EXPECT_EQ(symbolOf(f.linker(), 0, lbl).n_value, 0x201u);
  EXPECT_EQ(symbolOf(f.linker(), 0, afterLabel).n_value, 0x204u);
  EXPECT_EQ(symbolOf(f.linker(), 0, fn).n_value, 0x206u);
  EXPECT_EQ(symbolOf(f.linker(), 0, afterFn).n_value, 0x208u);
  EXPECT_EQ(symbolOf(f.linker(), 0, scnSym).n_value, 0x200u);
  EXPECT_EQ(LinkerTestAccess::coffs(f.linker())[0]->cSymbolTbl[scnSym + 1], entryBefore);
}

TEST(RelocateLineInfo, CodeLinesMoveOtherLinesStay) {
  LinkFixture f;
  CoffBuilder a = object("a.o");
  a.section(".code", scnCode, 0, std::vector<unsigned char>(8, 0));
  a.section(".idat", scnIData, 0, {1, 2, 3, 4});
  const std::uint32_t src = a.file("a.asm");
  a.lineNumber(".code", src, 10, 0);
  a.lineNumber(".code", src, 11, 3);
  a.lineNumber(".idat", src, 20, 3);
  CoffBuilder b = object("b.o");
  b.section(".code", scnCode, 0, std::vector<unsigned char>(6, 0));
  const std::uint32_t srcB = b.file("b.asm");
  b.lineNumber(".code", srcB, 5, 1);
  f.object("a.o", a);
  f.object("b.o", b);
  ASSERT_TRUE(f.commands(std::string("FILES a.o b.o\n") + kMemories));
  ASSERT_TRUE(f.run(Phase::RelocateLineInfo)) << f.error();
  auto& coffs = LinkerTestAccess::coffs(f.linker());
  const long long code = linktest::startOf(f.linker(), ".code");
  ASSERT_EQ(code, 0x200);
  const auto& linesA = coffs[0]->cLineInfo.at(".code");
  ASSERT_EQ(linesA.size(), 2u);
  EXPECT_EQ(linesA[0].l_paddr, 0x200u);
  EXPECT_EQ(linesA[1].l_paddr, 0x203u);
  EXPECT_EQ(coffs[0]->cLineInfo.at(".idat")[0].l_paddr, 3u);
  // b's piece follows a's four words.
  EXPECT_EQ(coffs[1]->cLineInfo.at(".code")[0].l_paddr, 0x205u);
}

// ------------------------------------------------------------------ string merge

TEST(MergeStringTbls, OffsetsOfTheMergedTable) {
  using Table = std::map<std::uint32_t, String>;
  struct Case {
    const char* what;
    std::vector<std::vector<String>> files;  // strings of each file's table
    Table expect;
  };
  const std::vector<Case> cases = {
      {"prefix sorts first, offsets run on",
       {{"b", "abc"}, {"ab", "abc"}},
       {{4, "ab"}, {7, "abc"}, {11, "b"}}},
      {"equal strings count once",
       {{"same_long_name"}, {"same_long_name"}},
       {{4, "same_long_name"}}},
      {"byte order: capitals, then small letters, then high bytes",
       {{"alpha", "\xE9t\xE9", "Zeta"}},
       {{4, "Zeta"}, {9, "alpha"}, {15, "\xE9t\xE9"}}},
      {"no long names at all", {{}, {}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    std::string files = "FILES";
    for (std::size_t i = 0; i < c.files.size(); ++i) {
      const std::string name = "f" + std::to_string(i) + ".o";
      CoffBuilder b = object(name);
      b.section(".code", scnCode, 0, {0, 0});
      for (const String& s : c.files[i]) b.addString(s);
      f.object(name, b);
      files += " " + name;
    }
    ASSERT_TRUE(f.commands(files + "\n" + kMemories));
    ASSERT_TRUE(f.run(Phase::MergeStringTbls)) << f.error();
    EXPECT_EQ(LinkerTestAccess::output(f.linker()).cStringTbl, c.expect);
    // Each input keeps exactly its own strings, at their merged offsets.
    for (std::size_t i = 0; i < c.files.size(); ++i) {
      Table own;
      for (const auto& entry : c.expect)
        for (const String& s : c.files[i])
          if (s == entry.second) own[entry.first] = entry.second;
      EXPECT_EQ(LinkerTestAccess::coffs(f.linker())[i]->cStringTbl, own) << "file " << i;
    }
  }
}

// Every long name of every input points into the merged table afterwards.
TEST(MergeStringTbls, LongNamesOfEveryInputAreRewritten) {
  LinkFixture f;
  CoffBuilder a = object("a.o");
  a.section(".long_section_name", scnCode, 0, {0, 0});
  const std::uint32_t fileA = a.file("first_source.asm");
  const std::uint32_t defA = a.externDef("shared_long_symbol", 1, 0);
  const std::uint32_t staticA = a.symbol("zz_static_long_name", 0, 1, kClassStatic);
  a.addString("unreferenced_string");
  CoffBuilder b = object("b.o");
  b.section(".long_section_name", scnCode, 0, {0, 0});
  // A ".file" without its entry: the record after it is an ordinary symbol
  // and must keep its name.
  b.symbol(".file", 0, kScnNumDebug, kClassFile);
  const std::uint32_t victim = b.externRef("victim");
  const std::uint32_t fileB = b.file("another_source.asm");
  const std::uint32_t refB = b.externRef("shared_long_symbol");
  f.object("a.o", a);
  f.object("b.o", b);
  ASSERT_TRUE(f.commands(std::string("FILES a.o b.o\n") + kMemories));
  ASSERT_TRUE(f.run(Phase::MergeStringTbls)) << f.error();

  const Coff& out = LinkerTestAccess::output(f.linker());
  auto& coffs = LinkerTestAccess::coffs(f.linker());
  EXPECT_EQ(out.cStringTbl.size(), 6u);  // two files share one symbol name
  auto outName = [&out](std::uint32_t offset) {
    auto it = out.cStringTbl.find(offset);
    return it == out.cStringTbl.end() ? String("<missing>") : it->second;
  };
  auto symOffset = [&coffs](std::size_t file, std::uint32_t index) {
    return syment::decode(coffs[file]->cSymbolTbl[index]).n_offset();
  };
  auto fileOffset = [&coffs](std::size_t file, std::uint32_t index) {
    return aux_file::decode(coffs[file]->cSymbolTbl[index + 1]).x_offset;
  };
  EXPECT_EQ(outName(symOffset(0, defA)), "shared_long_symbol");
  EXPECT_EQ(symOffset(0, defA), symOffset(1, refB));
  EXPECT_EQ(outName(symOffset(0, staticA)), "zz_static_long_name");
  EXPECT_EQ(outName(fileOffset(0, fileA)), "first_source.asm");
  EXPECT_EQ(outName(fileOffset(1, fileB)), "another_source.asm");
  for (auto& coff : coffs) {
    const scnhdr& h = coff->cScnHdr.at(".long_section_name");
    ASSERT_TRUE(hasLongName(h));
    EXPECT_EQ(outName(h.s_offset()), ".long_section_name");
    // The inputs still read their own names (messages of later phases).
    EXPECT_EQ(coff->getName(h), ".long_section_name");
  }
  EXPECT_EQ(coffs[1]->getName(syment::decode(coffs[1]->cSymbolTbl[victim])), "victim");
  EXPECT_EQ(coffs[1]->getName(syment::decode(coffs[1]->cSymbolTbl[refB])), "shared_long_symbol");
}

}  // namespace

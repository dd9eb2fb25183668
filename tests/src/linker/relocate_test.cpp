#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "link_fixture.h"

using fixtures::CoffBuilder;
using linktest::LinkFixture;
using linktest::Phase;
using testing_support::ExitRecorder;

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
  using Table = StringTable;
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
      {"alike in the first eight bytes: the next ones decide, high bytes last",
       {{"abcdefghz", "abcdefgh\xE9x"}, {"abcdefghA", "abcdefgh"}},
       {{4, "abcdefgh"}, {13, "abcdefghA"}, {23, "abcdefghz"}, {33, "abcdefgh\xE9x"}}},
      {"alike in the first sixteen bytes: the rest decides, high bytes last",
       {{"sixteen_bytes_16\xE9", "sixteen_bytes_16z"}, {"sixteen_bytes_16", "sixteen_bytes_16Z"}},
       {{4, "sixteen_bytes_16"},
        {21, "sixteen_bytes_16Z"},
        {39, "sixteen_bytes_16z"},
        {57, "sixteen_bytes_16\xE9"}}},
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

// Many strings in long runs that tie on their first eight or sixteen bytes,
// others of any length and any bytes, some in several files: the merged
// table holds each once in the order of std::string, offsets running on.
TEST(MergeStringTbls, AgreesWithStringOrderOverManyStrings) {
  using Table = StringTable;
  std::uint32_t seed = 12345;
  auto next = [&seed](std::uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % bound;
  };
  auto tail = [&next](std::size_t length) {
    String text;
    while (text.size() < length) text += static_cast<char>(1 + next(255));  // never a zero
    return text;
  };
  std::vector<String> strings;
  for (int i = 0; i < 400; ++i) strings.push_back("eightpre" + tail(1 + next(20)));
  for (int i = 0; i < 300; ++i) strings.push_back("sixteen_bytes_16" + tail(next(12)));
  for (int i = 0; i < 100; ++i) strings.push_back("mid_run_" + tail(next(10)));
  for (int i = 0; i < 1600; ++i) strings.push_back(tail(1 + next(40)));
  // Strings that first differ at each position, by low and high bytes, and
  // the prefixes of one.
  const String base = "abcdefghijklmnopqrstuvwx";
  for (std::size_t at = 0; at < base.size(); ++at) {
    strings.push_back(base.substr(0, at));
    for (const char byte : {'\x01', 'a', '\x7F', '\x80', '\xFF'}) {
      String text = base;
      text[at] = byte;
      strings.push_back(text);
    }
  }
  strings.erase(std::remove(strings.begin(), strings.end(), String()), strings.end());
  // Enough strings, nearly all distinct, that the lookup table grows.
  constexpr std::size_t kFiles = 5;
  std::vector<std::vector<String>> files(kFiles);
  for (std::size_t i = 0; i < strings.size(); ++i) {
    files[next(kFiles)].push_back(strings[i]);
    if (next(10) == 0) files[next(kFiles)].push_back(strings[i]);
  }
  std::set<String> sorted(strings.begin(), strings.end());
  Table expect;
  std::uint32_t offset = 4;
  for (const String& text : sorted) {
    expect[offset] = text;
    offset += static_cast<std::uint32_t>(text.size()) + 1;
  }

  LinkFixture f;
  std::string names = "FILES";
  for (std::size_t i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i) + ".o";
    CoffBuilder b = object(name);
    b.section(".code", scnCode, 0, {0, 0});
    for (const String& text : files[i]) b.addString(text);
    f.object(name, b);
    names += " " + name;
  }
  ASSERT_TRUE(f.commands(names + "\n" + kMemories));
  ASSERT_TRUE(f.run(Phase::MergeStringTbls)) << f.error();
  const Table& out = LinkerTestAccess::output(f.linker()).cStringTbl;
  ASSERT_EQ(out.size(), expect.size());
  EXPECT_TRUE(out == expect);
  for (std::size_t i = 0; i < kFiles; ++i) {
    const std::set<String> own(files[i].begin(), files[i].end());
    Table ownTable;
    for (const auto& entry : expect)
      if (own.count(entry.second)) ownTable.emplace(entry.first, entry.second);
    EXPECT_TRUE(LinkerTestAccess::coffs(f.linker())[i]->cStringTbl == ownTable) << "file " << i;
  }
}

// A file may hold one string twice: both its offsets move to the merged one,
// and its table keeps the string once.
TEST(MergeStringTbls, AStringTwiceInOneFile) {
  LinkFixture f;
  CoffBuilder a = object("a.o");
  a.section(".code", scnCode, 0, {0, 0});
  const std::uint32_t first = a.externDef("twice_in_a_file", 1, 0);
  a.addString("only_in_a_file");
  // The second copy at the next free offset, as a writer that does not
  // share strings would leave it.
  auto& table = a.model().cStringTbl;
  const auto& last = *table.rbegin();
  const std::uint32_t again = last.first + static_cast<std::uint32_t>(last.second.size()) + 1;
  table[again] = "twice_in_a_file";
  syment sym = a.makeSymbol("x", 0, 1, kClassExternal);
  sym.set_n_offset(again);
  const std::uint32_t second = a.rawRecord(sym.record());
  CoffBuilder b = object("b.o");
  b.section(".code", scnCode, 0, {0, 0});
  const std::uint32_t ref = b.externRef("twice_in_a_file");
  f.object("a.o", a);
  f.object("b.o", b);
  ASSERT_TRUE(f.commands(std::string("FILES a.o b.o\n") + kMemories));
  ASSERT_TRUE(f.run(Phase::RelocateLineInfo)) << f.error();
  auto& coffs = LinkerTestAccess::coffs(f.linker());
  ASSERT_EQ(coffs[0]->cStringTbl.size(), 3u);  // the reader kept both copies
  ASSERT_TRUE(f.run(Phase::MergeStringTbls)) << f.error();

  const StringTable expect = {{4, "only_in_a_file"}, {19, "twice_in_a_file"}};
  EXPECT_EQ(LinkerTestAccess::output(f.linker()).cStringTbl, expect);
  EXPECT_EQ(coffs[0]->cStringTbl, expect);
  EXPECT_EQ(syment::decode(coffs[0]->cSymbolTbl[first]).n_offset(), 19u);
  EXPECT_EQ(syment::decode(coffs[0]->cSymbolTbl[second]).n_offset(), 19u);
  EXPECT_EQ(syment::decode(coffs[1]->cSymbolTbl[ref]).n_offset(), 19u);
}

// A long name whose offset its own file's table lacks is reported; the
// record then takes the merged offset of the empty name getName gave back
// when some table holds an empty string (only a table made in memory can:
// the reader ends a table at one), and keeps its offset otherwise.
TEST(MergeStringTbls, ANameMissingFromItsTableIsReported) {
  struct Case {
    const char* what;
    bool fileEntry;  // the aux_file of a ".file", else a symbol
    bool emptyString;
    std::uint32_t expect;
  };
  constexpr std::uint32_t kMissing = 0x7000;
  const std::vector<Case> cases = {
      {"symbol", false, false, kMissing},
      {"symbol, empty string merged", false, true, 4},
      {"source file", true, false, kMissing},
      {"source file, empty string merged", true, true, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    CoffBuilder a = object("a.o");
    a.section(".code", scnCode, 0, {0, 0});
    const std::uint32_t source = a.file("some_source_file.asm");
    const std::uint32_t sym = a.externDef("some_long_symbol", 1, 0);
    CoffBuilder b = object("b.o");
    b.section(".code", scnCode, 0, {0, 0});
    b.addString("another_long_name");
    f.object("a.o", a);
    f.object("b.o", b);
    ASSERT_TRUE(f.commands(std::string("FILES a.o b.o\n") + kMemories));
    ASSERT_TRUE(f.run(Phase::RelocateLineInfo)) << f.error();
    if (c.emptyString) LinkerTestAccess::coffs(f.linker())[1]->cStringTbl[0x100] = "";
    auto& records = LinkerTestAccess::coffs(f.linker())[0]->cSymbolTbl;
    SymRecord& rec = records[c.fileEntry ? source + 1 : sym];
    if (c.fileEntry) {
      aux_file aux = aux_file::decode(rec);
      aux.x_offset = kMissing;
      aux.encode(rec);
    } else {
      syment s = syment::decode(rec);
      s.set_n_offset(kMissing);
      s.encode(rec);
    }
    const std::string before = f.output();
    ExitRecorder exits;
    ASSERT_TRUE(f.run(Phase::MergeStringTbls)) << f.error();
    EXPECT_EQ(ExitRecorder::count(), 1);
    const std::string report = std::string("Error - Unable to find ") +
                               (c.fileEntry ? "aux_file" : "symbol") + " name in string table.\n";
    EXPECT_EQ(f.output().substr(before.size()).rfind(report, 0), 0u) << f.output();
    const std::uint32_t offset = c.fileEntry ? aux_file::decode(rec).x_offset
                                             : syment::decode(rec).n_offset();
    EXPECT_EQ(offset, c.expect);
    // The other long names of the file still move.
    const Coff& out = LinkerTestAccess::output(f.linker());
    const SymRecord& other = records[c.fileEntry ? sym : source + 1];
    const std::uint32_t otherOffset = c.fileEntry ? syment::decode(other).n_offset()
                                                  : aux_file::decode(other).x_offset;
    ASSERT_TRUE(out.cStringTbl.count(otherOffset));
    EXPECT_EQ(out.cStringTbl.at(otherOffset),
              c.fileEntry ? "some_long_symbol" : "some_source_file.asm");
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

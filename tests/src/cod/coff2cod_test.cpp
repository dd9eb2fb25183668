// The conversion of an executable into the COD tables: directory 0, the
// windows with their code blocks and memory maps, source names, symbols,
// the line map, and the inputs that are refused. Files written are read
// back with the independent layout parser.
#include "coff2cod.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "banner.h"
#include "cod_layout_parser.h"
#include "coff2cod_fixture.h"
#include "filename.h"

using namespace testing_support;
using namespace dralm_test;

namespace {

class Coff2CodTest : public ConversionTest {
 protected:
  // Converts without a listing, writes the COD file and parses it.
  codlayout::Layout convertAndParse(const fixtures::CoffBuilder& b) {
    std::unique_ptr<Coff> coff = readBack(b);
    EXPECT_TRUE(coff);
    if (!coff) return {};
    Coff2Cod cod;
    EXPECT_EQ(cod.init(*coff, 0, true), &cod);
    EXPECT_TRUE(cod.preWrite());
    EXPECT_TRUE(cod.write());
    codlayout::Layout layout = codlayout::parse(readFile(cod.outputName()));
    EXPECT_TRUE(layout.problems.empty()) << ::testing::PrintToString(layout.problems);
    return layout;
  }
};

fixtures::Bytes counting(size_t n, uint8_t first = 1) {
  fixtures::Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i * 7);
  return v;
}

TEST_F(Coff2CodTest, FirstDirectoryNamesTheFileTheToolAndTheProcessor) {
  fixtures::CoffBuilder b = executable("sub/prog.out", kCoreC);
  b.section(".code", scnCode, 0, {1, 2});
  std::unique_ptr<Coff> coff = readBack(b);
  ASSERT_TRUE(coff);
  Coff2Cod cod;
  ASSERT_EQ(cod.init(*coff, 0, true), &cod);
  ASSERT_EQ(cod.cDirectory.size(), 1u);
  const Directory& d = cod.cDirectory[0];
  EXPECT_EQ(d.source(), "prog.cod");
  EXPECT_EQ(cod.outputName(), "prog.cod");
  EXPECT_EQ(d.version(), "DRALM v2.10.00");
  EXPECT_EQ(d.notice(), String(noticeBanner()).substr(0, 63));
  EXPECT_EQ(d.processor(), "XQC01");
  EXPECT_EQ(d.CodType, 1);
  EXPECT_EQ(d.HighAddr, 0);
  EXPECT_EQ(d.CompilerLen, 0);
  EXPECT_EQ(d.AddrSize, 0);

  // The file lands in the current directory, not beside the executable.
  ASSERT_TRUE(cod.preWrite());
  ASSERT_TRUE(cod.write());
  EXPECT_TRUE(platform::fileExists("prog.cod"));
  EXPECT_FALSE(platform::fileExists("sub/prog.cod"));
}

TEST_F(Coff2CodTest, ALongBaseNameNamesTheFileWholeWhileSourceIsCut) {
  const std::string base(70, 'p');
  fixtures::CoffBuilder b = executable(base + ".out", kCoreB);
  b.section(".code", scnCode, 0, {1, 2});
  std::unique_ptr<Coff> coff = readBack(b);
  ASSERT_TRUE(coff);
  Coff2Cod cod;
  ASSERT_EQ(cod.init(*coff, 0, true), &cod);
  EXPECT_EQ(cod.cDirectory[0].source(), (base + ".cod").substr(0, 63));
  ASSERT_TRUE(cod.preWrite());
  ASSERT_TRUE(cod.write());
  EXPECT_TRUE(platform::fileExists(base + ".cod"));
}

// Where one section's bytes land: its byte range, cut at windows, must show
// up byte for byte at window (address >> 16), block (address >> 9) & 127,
// offset address & 511, and nowhere else.
struct PlacementCase {
  const char* name;
  uint32_t proc;
  uint32_t address;  // COFF address: words, or bytes on the byte-addressed core
  size_t size;       // raw-data bytes
  size_t windows;    // directories expected
  std::vector<std::vector<codlayout::Range>> maps;  // per window
  size_t codeBlocks;
};

void PrintTo(const PlacementCase& c, std::ostream* os) { *os << c.name; }

class PlacementTest : public Coff2CodTest, public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(PlacementTest, BytesLandAtTheirWindowBlockAndOffset) {
  const PlacementCase& c = GetParam();
  fixtures::CoffBuilder b = executable("prog.out", c.proc);
  const fixtures::Bytes bytes = counting(c.size);
  b.section(".code", scnCode, c.address, bytes);
  const codlayout::Layout layout = convertAndParse(b);
  ASSERT_EQ(layout.dirs.size(), c.windows);

  size_t blocks = 0;
  for (size_t w = 0; w < layout.dirs.size(); ++w) {
    EXPECT_EQ(layout.dirs[w].highAddr, w);
    ASSERT_EQ(layout.memoryMaps[w].size(), c.maps[w].size()) << "window " << w;
    for (size_t k = 0; k < c.maps[w].size(); ++k) {
      EXPECT_EQ(layout.memoryMaps[w][k].start, c.maps[w][k].start) << "window " << w;
      EXPECT_EQ(layout.memoryMaps[w][k].last, c.maps[w][k].last) << "window " << w;
    }
    blocks += layout.code[w].size();
  }
  EXPECT_EQ(blocks, c.codeBlocks);

  const uint32_t bpw = c.proc == kCoreD ? 1 : 2;
  const uint64_t first = uint64_t(c.address) * bpw;
  for (size_t w = 0; w < layout.dirs.size(); ++w) {
    for (const auto& block : layout.code[w]) {
      for (unsigned k = 0; k < 512; ++k) {
        const uint64_t at = (uint64_t(w) << 16) + block.first * 512 + k;
        const uint8_t want = at >= first && at < first + c.size ? bytes[at - first] : 0;
        ASSERT_EQ(block.second[k], want) << "byte address " << at;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, PlacementTest,
    ::testing::Values(
        // The range ends on the last byte of its program word.
        PlacementCase{"OddSizeEndsOnItsWord", kCoreB, 0x80, 3, 1, {{{0x100, 0x103}}}, 1},
        PlacementCase{"ByteAddressedOddSize", kCoreD, 0x100, 3, 1, {{{0x100, 0x102}}}, 1},
        PlacementCase{"CrossesA512ByteBlock", kCoreC, 0xFF, 4, 1, {{{0x1FE, 0x201}}}, 2},
        PlacementCase{"SecondWindowKeepsAnEmptyFirst", kCoreB, 0x8000, 0x20, 2,
                      {{}, {{0x0000, 0x001F}}}, 1},
        PlacementCase{"ThirdWindowKeepsEmptyOnesBelow", kCoreA, 0x10000, 2, 3,
                      {{}, {}, {{0x0000, 0x0001}}}, 1},
        PlacementCase{"FillsAWindowExactly", kCoreD, 0, 0x10000, 1, {{{0x0000, 0xFFFF}}}, 128},
        // A section across a window boundary is cut there.
        PlacementCase{"CrossesAWindow", kCoreB, 0x7FFF, 6, 2,
                      {{{0xFFFE, 0xFFFF}}, {{0x0000, 0x0003}}}, 2},
        PlacementCase{"CrossesAWindowWithAnOddEnd", kCoreC, 0x7FFF, 5, 2,
                      {{{0xFFFE, 0xFFFF}}, {{0x0000, 0x0003}}}, 2},
        PlacementCase{"CrossesAWindowByteAddressed", kCoreD, 0xFFFF, 3, 2,
                      {{{0xFFFF, 0xFFFF}}, {{0x0000, 0x0001}}}, 2},
        PlacementCase{"SpansAWholeWindowAndMore", kCoreD, 0xFFFF, 0x10003, 3,
                      {{{0xFFFF, 0xFFFF}}, {{0x0000, 0xFFFF}}, {{0x0000, 0x0001}}}, 130}),
    [](const ::testing::TestParamInfo<PlacementCase>& i) { return std::string(i.param.name); });

TEST_F(Coff2CodTest, SectionsAreTakenInAddressOrderAndShareTheirBlocks) {
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  // Names run against the addresses, so header order is not address order.
  b.section(".a_high", scnRomData, 0x102, {0xA1, 0xA2});
  b.section(".b_mid", scnCode, 0x100, {0xB1, 0xB2, 0xB3, 0xB4});
  b.section(".c_low", scnCode, 0x10, {0xC1, 0xC2});
  b.section(".idata", scnIData, 0x20, {0xD1, 0xD2});
  b.udata(".udata", 4, 0x30);
  b.section(".empty", scnCode, 0x40, {});
  const codlayout::Layout layout = convertAndParse(b);
  ASSERT_EQ(layout.dirs.size(), 1u);
  ASSERT_EQ(layout.memoryMaps[0].size(), 3u);
  EXPECT_EQ(layout.memoryMaps[0][0].start, 0x20u);
  EXPECT_EQ(layout.memoryMaps[0][1].start, 0x200u);
  EXPECT_EQ(layout.memoryMaps[0][1].last, 0x203u);
  EXPECT_EQ(layout.memoryMaps[0][2].start, 0x204u);
  // The two sections at 0x200 and 0x204 merge into block 1; block 0 holds
  // only .c_low, and neither data section left a byte anywhere.
  ASSERT_EQ(layout.code[0].size(), 2u);
  const std::vector<uint8_t>& low = layout.code[0].at(0);
  const std::vector<uint8_t>& high = layout.code[0].at(1);
  EXPECT_EQ(low[0x20], 0xC1);
  EXPECT_EQ(low[0x21], 0xC2);
  EXPECT_EQ(low[0x40], 0);
  EXPECT_EQ(low[0x60], 0);
  const std::vector<uint8_t> want = {0xB1, 0xB2, 0xB3, 0xB4, 0xA1, 0xA2, 0};
  EXPECT_EQ(std::vector<uint8_t>(high.begin(), high.begin() + 7), want);
}

TEST_F(Coff2CodTest, WithoutCodeNothingIsMadeAndTheReasonIsGiven) {
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".idata", scnIData, 0x20, {1, 2});
  b.section(".empty", scnCode, 0x40, {});
  std::unique_ptr<Coff> coff = readBack(b);
  ASSERT_TRUE(coff);
  OutputCapture out;
  Coff2Cod cod;
  EXPECT_EQ(cod.init(*coff, 0, false), nullptr);
  EXPECT_EQ(out.text(),
            "Error - Coff file 'prog.out' must contain at least one 'code' or 'romdata' "
            "section.\n");
  EXPECT_EQ(getErrorCount(), 1);
  EXPECT_FALSE(platform::fileExists("prog.lst"));
}

TEST_F(Coff2CodTest, ASectionPastTheByteAddressSpaceIsRefused) {
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0x7FFFFFFF, {1, 2, 3});
  std::unique_ptr<Coff> coff = readBack(b);
  ASSERT_TRUE(coff);
  OutputCapture out;
  Coff2Cod cod;
  EXPECT_EQ(cod.init(*coff, 0, true), nullptr);
  EXPECT_EQ(out.text(),
            "Error - Section '.code' of Coff file 'prog.out' lies beyond byte address "
            "0xFFFFFFFF.\n");
}

TEST_F(Coff2CodTest, SymbolsTakenAreThoseDefinedInASection) {
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  const int code = b.section(".code", scnCode, 0, {1, 2});
  const int rom = b.section(".rom", scnRomData, 0x10, {1, 2});
  const int idata = b.section(".idata", scnIData, 0x20, {1, 2});
  const int udata = b.udata(".udata", 2, 0x30);
  b.externDef("start", static_cast<int16_t>(code), 0x12345);
  b.label("table", static_cast<int16_t>(rom), 0x10);
  b.symbol("count", 0x20, static_cast<int16_t>(idata), kClassStatic);
  b.externDef("buffer", static_cast<int16_t>(udata), 0x30);
  b.externDef("a_name_of_twenty_chr", static_cast<int16_t>(code), 0xFFFF);
  b.externRef("undefined");
  b.symbol("absolute", 5, kScnNumAbsolute, kClassExternal);
  b.symbol("debug", 5, kScnNumDebug, kClassLabel);
  b.symbol("auto", 5, static_cast<int16_t>(code), 1);  // automatic: no class taken
  // An entry whose bytes look like an external symbol of section 1: the
  // classification says it is an entry, so it is no symbol.
  SymRecord lookalike{};
  syment fake = b.makeSymbol("ghost", 7, static_cast<int16_t>(code), kClassExternal);
  fake.encode(lookalike);
  b.symbolWithAux(b.makeSymbol("fn", 0, static_cast<int16_t>(code), kClassExternal, kTypeFunction),
                  lookalike);
  std::unique_ptr<Coff> coff = readBack(b);
  ASSERT_TRUE(coff);
  Coff2Cod cod;
  ASSERT_EQ(cod.init(*coff, 0, true), &cod);

  struct Want {
    std::string name;
    int type;
    uint32_t value;
  };
  const std::vector<Want> want = {{"start", 46, 0x12345},
                                  {"table", 46, 0x10},
                                  {"count", 47, 0x20},
                                  {"buffer", 47, 0x30},
                                  {"a_name_of_twenty_chr", 46, 0xFFFF},
                                  {"fn", 46, 0}};
  ASSERT_EQ(cod.cSymbolList.size(), want.size());
  ASSERT_EQ(cod.cLongSymbolList.size(), want.size());
  auto s = cod.cSymbolList.begin();
  auto l = cod.cLongSymbolList.begin();
  for (const Want& w : want) {
    SCOPED_TRACE(w.name);
    EXPECT_EQ(s->name(), w.name.substr(0, 12));
    EXPECT_EQ(s->SymbolType, w.type);
    EXPECT_EQ(static_cast<uint16_t>(s->SymbolValue), w.value & 0xFFFF);
    EXPECT_EQ(l->Name, w.name);
    EXPECT_EQ(l->Type, w.type);
    EXPECT_EQ(l->Value, w.value);
    ++s;
    ++l;
  }
}

TEST_F(Coff2CodTest, ASymbolOfASectionTheFileLacksIsLeftOutWithAWarning) {
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  const int code = b.section(".code", scnCode, 0, {1, 2});
  b.externDef("stray", 9, 4);
  b.externDef("main", static_cast<int16_t>(code), 0);
  std::unique_ptr<Coff> coff = readBack(b);
  ASSERT_TRUE(coff);
  OutputCapture out;
  Coff2Cod cod;
  ASSERT_EQ(cod.init(*coff, 0, true), &cod);
  EXPECT_EQ(out.text(),
            "Warning - Symbol 'stray' names section number 9, which Coff file 'prog.out' does "
            "not have; it is left out.\n");
  ASSERT_EQ(cod.cSymbolList.size(), 1u);
  EXPECT_EQ(cod.cSymbolList.front().name(), "main");
}

TEST_F(Coff2CodTest, SourceNamesAreNumberedInSymbolOrder) {
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, {1, 2});
  const uint32_t first = sourceFile(b, "main.asm");
  const uint32_t second = sourceFile(b, "defs.inc", 3);
  endOfFile(b);
  // An entry that looks like a file symbol is no file symbol.
  SymRecord lookalike{};
  b.makeSymbol(".file", 0, kScnNumDebug, kClassFile).encode(lookalike);
  b.symbolWithAux(b.makeSymbol("fn", 0, 1, kClassExternal, kTypeFunction), lookalike);
  endOfFile(b);  // class 103 without an entry names no source either
  const uint32_t third = sourceFile(b, "lib/util.asm");
  std::unique_ptr<Coff> coff = readBack(b);
  ASSERT_TRUE(coff);
  Coff2Cod cod;
  ASSERT_EQ(cod.init(*coff, 0, true), &cod);
  const std::map<uint32_t, uint32_t> numbers = {{first, 0}, {second, 1}, {third, 2}};
  EXPECT_EQ(cod.cFileNumbers, numbers);
  std::vector<std::string> names;
  for (const SourceName& n : cod.cSourceNameList) names.push_back(n.fileName());
  EXPECT_EQ(names, (std::vector<std::string>{"main.asm", "defs.inc", "lib/util.asm"}));
}

TEST_F(Coff2CodTest, TheLineMapTakesCodeSectionsOnlyInRecordOrder) {
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, {1, 2, 3, 4});
  b.section(".rom", scnRomData, 0x10, {1, 2});
  const uint32_t f = sourceFile(b, "main.asm");
  b.lineNumber(".code", f, 7, 1);
  b.lineNumber(".code", f, 7, 0);
  b.lineNumber(".code", f, 3, 0);
  b.lineNumber(".rom", f, 9, 0x10);
  std::unique_ptr<Coff> coff = readBack(b);
  ASSERT_TRUE(coff);
  Coff2Cod cod;
  ASSERT_EQ(cod.init(*coff, 0, true), &cod);
  // Ordered by line; the two records of line 7 keep their order.
  ASSERT_EQ(cod.cLine.size(), 3u);
  ASSERT_EQ(cod.cLineSections.size(), 1u);
  EXPECT_EQ(cod.cLineSections[0].cName, ".code");
  const uint32_t want[][2] = {{3, 0}, {7, 1}, {7, 0}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(cod.cLine[i].cFile, f);
    EXPECT_EQ(cod.cLine[i].cLineNo, want[i][0]);
    EXPECT_EQ(cod.cLine[i].cAddress, want[i][1]);
    EXPECT_EQ(cod.cLine[i].cSection, 0u);
  }
  // Without the listing there are no line records at all.
  for (const auto& list : cod.cLineInfoTable) EXPECT_TRUE(list.empty());
}

// Inputs refused before anything is built or written.
struct RefusalCase {
  const char* name;
  std::string fileName;
  uint32_t proc;
  bool olderLayout;
  bool noListing;
  std::string message;  // empty: accepted
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class RefusalTest : public Coff2CodTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, RefusedWithAnErrorAndNoFile) {
  const RefusalCase& c = GetParam();
  std::filesystem::create_directory("sub");
  fixtures::CoffBuilder b = executable(c.fileName, c.proc);
  b.section(".code", scnCode, 0, {1, 2});
  fixtures::EmitOptions older;
  older.olderLayout = true;
  const fixtures::Bytes image = c.olderLayout ? b.emit(older) : b.bytes();
  fixtures::writeBytes(c.fileName, image);

  OutputCapture out;
  std::unique_ptr<Coff> coff = Coff::make(c.fileName);
  ASSERT_TRUE(coff);
  const std::string before = out.text();
  Coff2Cod cod;
  ExitTrap trap;  // an assertion would throw instead of ending the test
  Coff2Cod* made = cod.init(*coff, 0, c.noListing);
  if (c.message.empty()) {
    EXPECT_EQ(made, &cod);
    EXPECT_EQ(out.text(), before);
    return;
  }
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(out.text().substr(before.size()), "Error - " + c.message + "\n");
  // The executable is untouched and nothing was written beside it.
  EXPECT_EQ(fixtures::readBytes(c.fileName), image);
  const String base = FileName(c.fileName).baseName();
  EXPECT_EQ(platform::fileExists(base + ".cod") != 0, c.fileName == base + ".cod");
  EXPECT_EQ(platform::fileExists(FileName(c.fileName).path() + base + ".lst") != 0,
            c.fileName.size() > 4 && c.fileName.substr(c.fileName.size() - 4) == ".lst");
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, RefusalTest,
    ::testing::Values(
        RefusalCase{"UnknownProcessor", "prog.out", 0x1234, false, false,
                    "Coff file 'prog.out' names the unknown processor code 0x1234."},
        RefusalCase{"NoProcessor", "prog.out", 0, false, false,
                    "Coff file 'prog.out' names the unknown processor code 0x0000."},
        // Only the low 16 bits name the processor.
        RefusalCase{"HighBitsIgnored", "prog.out", 0x7FB001, false, false, ""},
        RefusalCase{"OlderLayout", "prog.out", kCoreB, true, false,
                    "Coff file 'prog.out' has no optional header; its processor is unknown."},
        RefusalCase{"CodFileIsTheExecutable", "prog.cod", kCoreB, false, true,
                    "Cod file 'prog.cod' would overwrite the Coff file 'prog.cod'."},
        RefusalCase{"CodFileIsTheExecutableEvenWithAListing", "prog.cod", kCoreB, false, false,
                    "Cod file 'prog.cod' would overwrite the Coff file 'prog.cod'."},
        RefusalCase{"ListFileIsTheExecutable", "prog.lst", kCoreB, false, false,
                    "List file 'prog.lst' would overwrite the Coff file 'prog.lst'."},
        RefusalCase{"ListFileInADirectory", "sub/prog.lst", kCoreB, false, false,
                    "List file 'sub/prog.lst' would overwrite the Coff file 'sub/prog.lst'."},
        // Without a listing a .lst executable is only read.
        RefusalCase{"ListFileNotWritten", "prog.lst", kCoreB, false, true, ""},
        // The COD file goes to the current directory, another file.
        RefusalCase{"CodFileElsewhere", "sub/prog.cod", kCoreB, false, false, ""}),
    [](const ::testing::TestParamInfo<RefusalCase>& i) { return std::string(i.param.name); });

TEST_F(Coff2CodTest, ACodExecutableReachedThroughADirectoryIsStillRefused) {
  std::filesystem::create_directory("sub");
  fixtures::CoffBuilder b = executable("prog.cod", kCoreB);
  b.section(".code", scnCode, 0, {1, 2});
  b.writeFile("prog.cod");
  // "sub/../prog.cod" is the file the COD file would be written to.
  std::unique_ptr<Coff> coff = Coff::make("sub/../prog.cod");
  ASSERT_TRUE(coff);
  OutputCapture out;
  Coff2Cod cod;
  EXPECT_EQ(cod.init(*coff, 0, true), nullptr);
  EXPECT_EQ(out.text(), "Error - Cod file 'prog.cod' would overwrite the Coff file "
                        "'sub/../prog.cod'.\n");
}

}  // namespace

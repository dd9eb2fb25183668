#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "link_fixture.h"

using fixtures::Bytes;
using fixtures::CoffBuilder;
using linktest::LinkFixture;
using linktest::Phase;

namespace {

const char* kWarning =
    "Fill pattern for memory 'fill' doesn't divide evenly into\n"
    "          unused program locations.  Last value was truncated.";

// A program in page and, unless given otherwise, a protected page "fill"
// that nothing is placed in, so its one hole is the whole memory.
struct FillLink {
  // absolute: code sections placed at fixed locations (two words each).
  FillLink(std::uint32_t proc, const std::string& memories,
           const std::vector<std::uint32_t>& absolute = {}) {
    CoffBuilder a("a.o");
    a.processor(proc);
    a.section(".code", scnCode, 0, {0, 0});
    for (std::size_t i = 0; i < absolute.size(); ++i)
      a.section(".abs" + std::to_string(i), scnCode, absolute[i], {0, 0, 0, 0}, kScnAbsolute);
    f.object("a.o", a);
    ok = f.commands("FILES a.o\nCODEPAGE NAME=page START=0x400 END=0x4FF\n" + memories);
    if (ok) ok = f.run(Phase::PatchSections);
    using Step = int (Linker::*)(String&);
    const Step steps[] = {&Linker::buildOutputScnNum,    &Linker::buildOutputSymbolTbl,
                          &Linker::buildOutputRawData,   &Linker::buildOutputLineInfo,
                          &Linker::buildOutputStringTbl, &Linker::buildOutputScnHdrs,
                          &Linker::buildOutputFileHdr};
    for (Step step : steps)
      if (ok) ok = (f.linker().*step)(err);
    if (!ok && err.empty()) err = f.error();
  }
  const Coff& out() { return LinkerTestAccess::output(f.linker()); }
  Bytes bytes(const String& name) {
    const Data& d = out().cRawData.at(name);
    return Bytes(d.data(), d.data() + d.size());
  }

  LinkFixture f;
  bool ok = false;
  String err;
};

TEST(ProgramMemoryFill, Patterns) {
  struct Case {
    const char* what;
    std::uint32_t proc;
    const char* fill;
    std::uint32_t end;  // of the fill memory, which starts at 0x100
    Bytes expect;
    bool warning;
  };
  const std::vector<Case> cases = {
      {"one group over 14-bit words",
       0xB001,
       "0x3FFF",
       0x102,
       {0xFF, 0x3F, 0xFF, 0x3F, 0xFF, 0x3F},
       false},
      {"short value padded by the parser",
       0xB001,
       "0x12",
       0x102,
       {0x12, 0, 0x12, 0, 0x12, 0},
       false},
      {"two groups, last pass stops after the first",
       0xB001,
       "0x12345678",
       0x102,
       {0x34, 0x12, 0x78, 0x56, 0x34, 0x12},
       true},
      {"two groups, whole passes",
       0xB001,
       "0x12345678",
       0x103,
       {0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0x78, 0x56},
       false},
      {"byte locations, odd count", 0xD001, "0xABCD", 0x102, {0xCD, 0xAB, 0xCD}, true},
      {"byte locations, even count", 0xD001, "0xABCD", 0x103, {0xCD, 0xAB, 0xCD, 0xAB}, false},
      {"lone byte takes the next group's low byte",
       0xD001,
       "0x12345678",
       0x102,
       {0x34, 0x12, 0x78},
       true},
      {"single byte location", 0xD001, "0x12345678", 0x100, {0x34}, true},
      {"decimal", 0xA001, "255", 0x102, {0xFF, 0, 0xFF, 0, 0xFF, 0}, false},
      {"decimal keeps its low 16 bits", 0xA001, "70000", 0x101, {0x70, 0x11, 0x70, 0x11}, false},
      {"decimal, leading digits only", 0xC001, "12abc", 0x100, {12, 0}, false},
      {"decimal without digits", 0xC001, "none", 0x100, {0, 0}, false},
      {"decimal on byte locations, odd count", 0xD001, "258", 0x102, {0x02, 0x01, 0x02}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FillLink link(c.proc, "CODEPAGE NAME=fill START=0x100 END=" + hexString(c.end, 2) +
                              " PROTECTED FILL=" + c.fill + "\n");
    ASSERT_TRUE(link.ok) << link.err;
    const int warningsBefore = getWarningCount();
    String err;
    ASSERT_TRUE(link.f.linker().buildOutputHoles(err)) << err;
    EXPECT_EQ(link.bytes(".fill_1"), c.expect);
    const bool warned = link.f.output().find(kWarning) != std::string::npos;
    EXPECT_EQ(warned, c.warning);
    EXPECT_EQ(getWarningCount() - warningsBefore, c.warning ? 1 : 0);
    const scnhdr& h = link.out().cScnHdr.at(".fill_1");
    EXPECT_EQ(h.s_paddr, 0x100u);
    EXPECT_EQ(h.s_vaddr, 0u);
    EXPECT_EQ(h.s_flags, kScnCode);
  }
}

// One section per free range, memories in declaration order and free-list
// order, numbered after every other section; memories without FILL or
// without room make none.
TEST(ProgramMemoryFill, SectionsAndNumbering) {
  FillLink link(0xB001,
                "CODEPAGE NAME=nofill START=0x0 END=0xFF\n"
                "CODEPAGE NAME=fa START=0x100 END=0x10F PROTECTED FILL=0x1111\n"
                "CODEPAGE NAME=full START=0x200 END=0x200 PROTECTED FILL=0x3333\n"
                "SECTION NAME=.code ROM=full\n"
                "CODEPAGE NAME=fb START=0x300 END=0x30F PROTECTED FILL=0x2222\n",
                {0x104, 0x308});
  ASSERT_TRUE(link.ok) << link.err;
  const int numbered = static_cast<int>(link.out().cScnNum.size());
  String err;
  ASSERT_TRUE(link.f.linker().buildOutputHoles(err)) << err;
  EXPECT_EQ(LinkerTestAccess::fillCount(link.f.linker()), 4);
  ASSERT_EQ(link.out().cScnNum.size(), static_cast<std::size_t>(numbered + 4));
  struct Expect {
    std::uint32_t start;
    std::size_t bytes;
    std::uint8_t low;
  };
  const std::vector<Expect> expect = {
      {0x100, 8, 0x11}, {0x106, 20, 0x11}, {0x300, 16, 0x22}, {0x30A, 12, 0x22}};
  for (std::size_t i = 0; i < expect.size(); ++i) {
    const String name = ".fill_" + std::to_string(i + 1);
    SCOPED_TRACE(name);
    EXPECT_EQ(link.out().cScnNum.at(numbered + 1 + static_cast<int>(i)), name);
    EXPECT_EQ(link.out().cScnHdr.at(name).s_paddr, expect[i].start);
    const Bytes b = link.bytes(name);
    ASSERT_EQ(b.size(), expect[i].bytes);
    EXPECT_EQ(b[0], expect[i].low);
  }
}

// From the hundredth fill section on the name goes into the string table,
// and the output still lays out and verifies.
TEST(ProgramMemoryFill, LongFillNamesEnterTheStringTable) {
  FillLink link(0xB001,
                "CODEPAGE NAME=f1 START=0x100 END=0x100 PROTECTED FILL=0x0001\n"
                "CODEPAGE NAME=f2 START=0x110 END=0x110 PROTECTED FILL=0x0002\n"
                "CODEPAGE NAME=f3 START=0x120 END=0x120 PROTECTED FILL=0x0003\n");
  ASSERT_TRUE(link.ok) << link.err;
  LinkerTestAccess::fillCount(link.f.linker()) = 98;
  String err;
  ASSERT_TRUE(link.f.linker().buildOutputHoles(err)) << err;
  Coff& out = LinkerTestAccess::output(link.f.linker());
  for (const char* name : {".fill_99", ".fill_100", ".fill_101"}) {
    SCOPED_TRACE(name);
    const scnhdr& h = out.cScnHdr.at(name);
    EXPECT_EQ(hasLongName(h), String(name).size() > 8);
    EXPECT_EQ(out.getName(h), name);
  }
  ASSERT_EQ(out.preWrite(), 1);
  EXPECT_EQ(out.verify(), 1) << link.f.output();
  out.cFileName = "fill.out";
  ASSERT_EQ(out.write(), 1);
  std::unique_ptr<Coff> read = Coff::make("fill.out");
  ASSERT_TRUE(read) << link.f.output();
  EXPECT_EQ(read->getName(read->cScnHdr.at(".fill_101")), ".fill_101");
  EXPECT_EQ(read->cRawData.at(".fill_100").data()[0], 0x02);
}

TEST(ProgramMemoryFill, RefusedHoles) {
  struct Case {
    const char* what;
    std::uint32_t proc;
    const char* memory;  // a FILL page added to the declared ones
    bool refused;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"the whole program address space", 0xA001,
       "CODEPAGE NAME=fill START=0x800 END=0xFFF PROTECTED FILL=0x0FFF\n", false, ""},
      {"one location more than the address space", 0xA001,
       "CODEPAGE NAME=fill START=0x800 END=0x1000 PROTECTED FILL=0x0FFF\n", true,
       "fill of memory 'fill' from 0x00000800 to 0x00001000 covers 2049 locations, more than "
       "the 2048 of the processor's program address space."},
      {"a huge memory on a byte-addressed core", 0xD001,
       "CODEPAGE NAME=fill START=0x1000 END=0xFFFFFFFE PROTECTED FILL=0x0000\n", true,
       "fill of memory 'fill' from 0x00001000 to 0xfffffffe covers 4294963199 locations, more "
       "than the 2097152 of the processor's program address space."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FillLink link(c.proc, c.memory);
    ASSERT_TRUE(link.ok) << link.err;
    String err;
    EXPECT_EQ(link.f.linker().buildOutputHoles(err), c.refused ? 0 : 1);
    EXPECT_EQ(err, c.error);
    EXPECT_EQ(link.out().cScnHdr.count(".fill_1"), c.refused ? 0u : 1u);
  }
}

// In a whole link a refused hole ends the link with its message, before
// the executable is laid out or written.
TEST(ProgramMemoryFill, RefusedHoleFailsTheLinkAndWritesNothing) {
  LinkFixture f;
  CoffBuilder a("a.o");
  a.processor(0xA001);
  a.section(".code", scnCode, 0, {0, 0});
  f.object("a.o", a);
  ASSERT_TRUE(f.commands("FILES a.o\nCODEPAGE NAME=page START=0x400 END=0x4FF\n"
                         "CODEPAGE NAME=fill START=0x800 END=0x1000 PROTECTED FILL=0x0FFF\n"))
      << f.error();
  String err;
  EXPECT_EQ(f.linker().link(err), 0);
  EXPECT_EQ(err,
            "fill of memory 'fill' from 0x00000800 to 0x00001000 covers 2049 locations, more "
            "than the 2048 of the processor's program address space.");
  EXPECT_FALSE(std::ifstream(f.path("a.out")).good());
}

// A hexadecimal text that escaped the parser's normalisation is refused,
// never read past its end.
TEST(ProgramMemoryFill, MalformedHexPatternIsRefused) {
  for (const char* fill : {"0x123", "0xABCG", "1xABC", "0x12345"}) {
    SCOPED_TRACE(fill);
    FillLink link(0xB001, "");
    ASSERT_TRUE(link.ok) << link.err;
    Memory odd("odd", 0x600, 0x602, 0, 1, 1, fill);
    odd.setWidthBits(14);
    LinkerTestAccess::codePages(link.f.linker()).push_back(odd);
    String err;
    EXPECT_EQ(link.f.linker().buildOutputHoles(err), 0);
    EXPECT_EQ(err, "fill pattern '" + std::string(fill) +
                       "' of memory 'odd' is not \"0x\" followed by hexadecimal digits in groups "
                       "of four.");
    EXPECT_EQ(LinkerTestAccess::fillCount(link.f.linker()), 0);
  }
}

}  // namespace

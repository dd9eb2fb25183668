#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "link_fixture.h"

using fixtures::CoffBuilder;
using linktest::LinkFixture;
using linktest::memoryOf;
using linktest::Phase;
using linktest::startOf;

namespace {

// One section of an input file.
struct Scn {
  std::string name;
  int type;
  uint32_t size;
  uint32_t attributes = 0;
  uint32_t address = 0;
};

void addSection(CoffBuilder& b, const Scn& s) {
  if (s.type == scnUData)
    b.udata(s.name, s.size, s.address, s.attributes);
  else
    b.section(s.name, s.type, s.address, fixtures::Bytes(s.size, 0x5A), s.attributes);
}

// Writes f0.o, f1.o, ... for the processor, one per list of sections, and
// reads the command file made of FILES for them followed by rest.
void setUp(LinkFixture& f, uint32_t procType, const std::vector<std::vector<Scn>>& files,
           const std::string& rest) {
  std::string names;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string name = "f" + std::to_string(i) + ".o";
    CoffBuilder b(name);
    b.processor(procType);
    for (const Scn& s : files[i]) addSection(b, s);
    f.object(name, b);
    names += " " + name;
  }
  ASSERT_TRUE(f.commands("FILES" + names + "\n" + rest)) << f.error();
}

std::string memoryName(Linker& l, const String& secName) {
  Memory* m = memoryOf(l, secName);
  return m ? m->getName() : "(not placed)";
}

const char* const kMemories =
    "CODEPAGE NAME=page START=0x100 END=0x1FF\n"
    "DATABANK NAME=bank START=0x20 END=0x7F\n";

TEST(MapSections, MinimalLink) {
  struct Case {
    uint32_t procType;
    uint64_t cinitBytes;
    uint32_t codeStart;
  };
  const std::vector<Case> cases = {
      {0xC001, 2, 0x101},  // 16-bit words
      {0xB001, 4, 0x102},  // 14-bit words: each table byte takes a word
      {0xA001, 4, 0x102},  // 12-bit words
      {0xD001, 2, 0x102},  // byte-addressed: two locations
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.procType);
    LinkFixture f;
    setUp(f, c.procType, {{{".code", scnCode, 4}, {".vars", scnUData, 3}}}, kMemories);
    ASSERT_TRUE(f.run(Phase::BuildInitTable)) << f.error();
    Linker& l = f.linker();

    // The table comes before the unassigned sections, so it takes the
    // page's first locations.
    EXPECT_EQ(memoryName(l, ".cinit"), "page");
    EXPECT_EQ(startOf(l, ".cinit"), 0x100);
    EXPECT_EQ(memoryOf(l, ".cinit")->getSecSizeInBytes(".cinit"), c.cinitBytes);
    EXPECT_EQ(memoryName(l, ".code"), "page");
    EXPECT_EQ(startOf(l, ".code"), c.codeStart);
    EXPECT_EQ(memoryName(l, ".vars"), "bank");
    EXPECT_EQ(startOf(l, ".vars"), 0x20);
    EXPECT_EQ(LinkerTestAccess::scnMem(l).size(), 3u);

    const syment cinit = syment::decode(LinkerTestAccess::cinitSymbol(l));
    EXPECT_EQ(std::string(cinit.n_name, 8), std::string("_cinit\0\0", 8));
    EXPECT_EQ(cinit.n_value, 0x100u);
    EXPECT_EQ(cinit.n_scnum, 0);
    EXPECT_EQ(cinit.n_type, 0);
    EXPECT_EQ(cinit.n_sclass, kClassExternal);
    EXPECT_EQ(cinit.n_numaux, 0);

    EXPECT_EQ(memoryOf(l, ".code")->getLoadStart(0, ".code"), c.codeStart);
    EXPECT_EQ(memoryOf(l, ".code")->getLoadSize(0, ".code"), 4u);
    const Data& table = LinkerTestAccess::initTable(l);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table.data()[0], 0);
    EXPECT_EQ(table.data()[1], 0);
  }
}

TEST(MapSections, UnassignedSectionsGoLargestFirst) {
  LinkFixture f;
  setUp(f, 0xC001, {{{".a", scnUData, 8}, {".b", scnUData, 32}, {".c", scnUData, 8}}},
        kMemories);
  ASSERT_TRUE(f.run(Phase::MapSections)) << f.error();
  EXPECT_EQ(startOf(f.linker(), ".b"), 0x20);
  EXPECT_EQ(startOf(f.linker(), ".a"), 0x40);
  EXPECT_EQ(startOf(f.linker(), ".c"), 0x48);
}

// The order goes by byte sizes: a lone odd code piece on 2-byte words is
// smaller than an even one of the same number of words.
TEST(MapSections, LargestFirstGoesByBytes) {
  struct Case {
    uint32_t sizeA;
    uint32_t sizeB;
    long long expectA;
    long long expectB;
  };
  const std::vector<Case> cases = {
      {11, 12, 0x108, 0x102},
      {12, 11, 0x102, 0x108},
      {12, 12, 0x102, 0x108},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.sizeA) + "/" + std::to_string(c.sizeB));
    LinkFixture f;
    // The table takes 0x100..0x101 first.
    setUp(f, 0xB001, {{{".a", scnCode, c.sizeA}, {".b", scnCode, c.sizeB}}},
          "CODEPAGE NAME=page START=0x100 END=0x1FF\n");
    ASSERT_TRUE(f.run(Phase::LoadSections)) << f.error();
    EXPECT_EQ(startOf(f.linker(), ".a"), c.expectA);
    EXPECT_EQ(startOf(f.linker(), ".b"), c.expectB);
    EXPECT_EQ(LinkerTestAccess::scnSize(f.linker()).at(".a"), c.sizeA);
  }
}

// Program and data sections share one order; among equal sizes the name
// decides. With no room anywhere the first one placed is the one named.
TEST(MapSections, EqualSizesGoInNameOrderAcrossMemoryKinds) {
  struct Case {
    std::vector<Scn> sections;
  };
  const std::vector<Case> cases = {
      {{{".a", scnCode, 20}, {".b", scnUData, 20}}},
      {{{".a", scnUData, 20}, {".b", scnCode, 20}}},
  };
  for (const Case& c : cases) {
    LinkFixture f;
    // Room for the table alone, and no data memory.
    setUp(f, 0xC001, {c.sections}, "CODEPAGE NAME=page START=0 END=0\n");
    EXPECT_FALSE(f.run(Phase::MapSections));
    EXPECT_EQ(f.error(), "section '.a' can not fit the section. Section '.a' length=0x00000014");
  }
}

// Many sections of one size keep their order when sorted by size: more than
// sixteen of them, past the few elements a sort may happen to keep in order.
TEST(MapSections, ManyEqualSizesKeepNameOrder) {
  const int kSections = 40;
  std::vector<Scn> sections;
  for (int i = 0; i < kSections; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "s%02d", i);
    sections.push_back({name, scnUData, 4});
  }
  LinkFixture f;
  setUp(f, 0xC001, {sections},
        "CODEPAGE NAME=page START=0 END=0xFF\nDATABANK NAME=gpr START=0x100 END=0x1FF\n");
  ASSERT_TRUE(f.run(Phase::MapSections)) << f.error();
  for (int i = 0; i < kSections; ++i) {
    SCOPED_TRACE(sections[i].name);
    EXPECT_EQ(startOf(f.linker(), sections[i].name), 0x100 + 4 * i);
  }
}

TEST(MapSections, UnassignedSectionTakesTheTightestMemory) {
  struct Case {
    const char* what;
    std::string banks;
    std::string expect;
  };
  const std::vector<Case> cases = {
      {"smaller hole wins", "DATABANK NAME=big START=0x20 END=0x7F\nDATABANK NAME=small START=0xA0 END=0xAF\n",
       "small"},
      {"equal holes keep declaration order",
       "DATABANK NAME=one START=0xA0 END=0xAF\nDATABANK NAME=two START=0x20 END=0x2F\n", "one"},
      {"too small a hole is passed", "DATABANK NAME=tiny START=0x20 END=0x27\nDATABANK NAME=big START=0xA0 END=0xFF\n",
       "big"},
      {"protected banks take nothing unasked",
       "DATABANK NAME=guard START=0x20 END=0x2F PROTECTED\nDATABANK NAME=big START=0xA0 END=0xFF\n",
       "big"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    setUp(f, 0xC001, {{{".v", scnUData, 12}}}, "CODEPAGE NAME=page START=0 END=0xFF\n" + c.banks);
    ASSERT_TRUE(f.run(Phase::MapSections)) << f.error();
    EXPECT_EQ(memoryName(f.linker(), ".v"), c.expect);
  }
}

// Each placement changes the ranking: once .big (20 bytes) has left 4 bytes
// in b, b is the tightest memory for .small (3 bytes), ahead of c, which
// was the tightest when the link began.
TEST(MapSections, EveryPlacementReranksTheMemories) {
  LinkFixture f;
  setUp(f, 0xC001, {{{".big", scnUData, 20}, {".small", scnUData, 3}}},
        "CODEPAGE NAME=page START=0 END=0xFF\n"
        "DATABANK NAME=a START=0x00 END=0x1F\n"    // 32 bytes
        "DATABANK NAME=b START=0x20 END=0x37\n"    // 24 bytes
        "DATABANK NAME=c START=0x40 END=0x4F\n");  // 16 bytes
  ASSERT_TRUE(f.run(Phase::MapSections)) << f.error();
  EXPECT_EQ(memoryName(f.linker(), ".big"), "b");
  EXPECT_EQ(memoryName(f.linker(), ".small"), "b");
}

TEST(MapSections, ProtectedPageTakesOnlyWhatNamesIt) {
  struct Case {
    const char* what;
    Scn section;
    std::string directive;
    std::string expect;
  };
  const std::vector<Case> cases = {
      {"relocatable without directive", {".c", scnCode, 4}, "", "open"},
      {"relocatable with directive", {".c", scnCode, 4}, "SECTION NAME=.c ROM=guard\n", "guard"},
      {"absolute inside it", {".c", scnCode, 4, kScnAbsolute, 0x10}, "", "guard"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    setUp(f, 0xC001, {{c.section}},
          "CODEPAGE NAME=guard START=0 END=0xFF PROTECTED\nCODEPAGE NAME=open START=0x100 "
          "END=0x1FF\n" +
              c.directive);
    ASSERT_TRUE(f.run(Phase::MapSections)) << f.error();
    EXPECT_EQ(memoryName(f.linker(), ".c"), c.expect);
  }
}

TEST(MapSections, AbsoluteSections) {
  struct Case {
    const char* what;
    uint32_t procType;
    std::vector<Scn> sections;
    std::string directives;
    std::string expectError;  // empty: placed at its address
  };
  const uint32_t abs = kScnAbsolute;
  const std::vector<Case> cases = {
      {"odd code start, byte-addressed", 0xD001, {{".c", scnCode, 4, abs, 0x101}}, "",
       "Absolute code section '.c' must start at a word-aligned address."},
      {"odd code start refused before its directive", 0xD001, {{".c", scnCode, 4, abs, 0x101}},
       "SECTION NAME=.c ROM=page\n",
       "Absolute code section '.c' must start at a word-aligned address."},
      {"even code start, byte-addressed", 0xD001, {{".c", scnCode, 4, abs, 0x102}}, "", ""},
      {"odd code start, word-addressed", 0xC001, {{".c", scnCode, 4, abs, 0x101}}, "", ""},
      {"odd data start, byte-addressed", 0xD001, {{".d", scnUData, 4, abs, 0x21}}, "", ""},
      {"overlapping", 0xC001, {{".a", scnUData, 8, abs, 0x20}, {".b", scnUData, 4, abs, 0x24}},
       "",
       "section '.b' can not fit the absolute section. Section '.b' start=0x00000024, "
       "length=0x00000004"},
      {"overlapping, with a directive", 0xC001,
       {{".a", scnUData, 8, abs, 0x20}, {".b", scnUData, 4, abs, 0x24}},
       "SECTION NAME=.b RAM=bank\n",
       "section '.b' has a memory 'bank' which can not fit the absolute section. Section '.b' "
       "start=0x00000024, length=0x00000004."},
      {"outside every memory", 0xC001, {{".a", scnCode, 2, abs, 0x300}}, "",
       "section '.a' can not fit the absolute section. Section '.a' start=0x00000300, "
       "length=0x00000002"},
      {"shared section named into a data bank", 0xC001,
       {{".sh", scnUData, 4, abs | kScnShare, 0x20}}, "SECTION NAME=.sh RAM=bank\n",
       "section '.sh' has a memory 'bank' which is not defined in the linker command file."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    setUp(f, c.procType, {c.sections}, kMemories + c.directives);
    const bool ok = f.run(Phase::MapSections);
    if (c.expectError.empty()) {
      ASSERT_TRUE(ok) << f.error();
      for (const Scn& s : c.sections) EXPECT_EQ(startOf(f.linker(), s.name), s.address);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(f.error(), c.expectError);
    }
  }
}

TEST(MapSections, AbsoluteOverlayMergedAcrossFiles) {
  LinkFixture f;
  const uint32_t attrs = kScnAbsolute | kScnOverlay;
  setUp(f, 0xC001, {{{".ov", scnUData, 4, attrs, 0x30}}, {{".ov", scnUData, 8, attrs, 0x30}}},
        kMemories);
  ASSERT_TRUE(f.run(Phase::LoadSections)) << f.error();
  Memory* m = memoryOf(f.linker(), ".ov");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->getSecStart(".ov"), 0x30u);
  EXPECT_EQ(m->getSecSizeInBytes(".ov"), 8u);
  EXPECT_EQ(m->getLoadStart(0, ".ov"), 0x30u);
  EXPECT_EQ(m->getLoadStart(1, ".ov"), 0x30u);
  EXPECT_EQ(m->getLoadSize(0, ".ov"), 4u);
  EXPECT_EQ(m->getLoadSize(1, ".ov"), 8u);
}

TEST(MapSections, SectionThatFitsNowhere) {
  struct Case {
    std::string directive;
    std::string expect;
  };
  const std::vector<Case> cases = {
      {"", "section '.big' can not fit the section. Section '.big' length=0x00000100"},
      {"SECTION NAME=.big RAM=bank\n",
       "section '.big' has a memory 'bank' which can not fit the section. Section '.big' "
       "length=0x00000100."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directive);
    LinkFixture f;
    setUp(f, 0xC001, {{{".big", scnUData, 256}}}, kMemories + c.directive);
    EXPECT_FALSE(f.run(Phase::MapSections));
    EXPECT_EQ(f.error(), c.expect);
  }
}

TEST(MapSections, DirectivesPlaceInTheirOrderAndSkipWhatTheyCannotPlace) {
  LinkFixture f;
  setUp(f, 0xC001,
        {{{".a", scnUData, 4}, {".b", scnUData, 4}, {".abs", scnUData, 4, kScnAbsolute, 0x20},
          {".z", scnUData, 16}}},
        std::string(kMemories) +
            "SECTION NAME=.nothing RAM=bank\nSECTION NAME=.b RAM=bank\nSECTION NAME=.abs "
            "RAM=bank\nSECTION NAME=.a RAM=bank\n");
  ASSERT_TRUE(f.run(Phase::MapSections)) << f.error();
  Linker& l = f.linker();
  // Named sections before the larger unnamed one; among them, directive
  // order.
  EXPECT_EQ(startOf(l, ".abs"), 0x20);
  EXPECT_EQ(startOf(l, ".b"), 0x24);
  EXPECT_EQ(startOf(l, ".a"), 0x28);
  EXPECT_EQ(startOf(l, ".z"), 0x2C);
  EXPECT_EQ(LinkerTestAccess::scnMem(l).count(".nothing"), 0u);
}

TEST(MapSections, SharedAndAccessSectionsLookOnlyInTheirOwnKind) {
  struct Case {
    const char* what;
    Scn section;
    std::string directive;
    std::string expect;  // memory, or the message
    bool fails;
  };
  const std::string banks =
      "DATABANK NAME=bank START=0x20 END=0x7F\nSHAREBANK NAME=share START=0x80 END=0x8F\n"
      "ACCESSBANK NAME=acc START=0x90 END=0x9F\n";
  const std::vector<Case> cases = {
      {"shared, no directive", {".s", scnIData, 4, kScnShare}, "", "share", false},
      {"access, no directive", {".s", scnUData, 4, kScnAccess}, "", "acc", false},
      {"plain data avoids the others", {".s", scnUData, 4}, "", "bank", false},
      {"shared named into a data bank", {".s", scnIData, 4, kScnShare},
       "SECTION NAME=.s RAM=bank\n",
       "section '.s' has a memory 'bank' which is not defined in the linker command file.", true},
      {"access named into a share bank", {".s", scnUData, 4, kScnAccess},
       "SECTION NAME=.s RAM=share\n",
       "section '.s' has a memory 'share' which is not defined in the linker command file.",
       true},
      {"access named into a data bank", {".s", scnUData, 4, kScnAccess},
       "SECTION NAME=.s RAM=bank\n",
       "section '.s' has a memory 'bank' which is not defined in the linker command file.", true},
      {"plain data named into a share bank", {".s", scnUData, 4}, "SECTION NAME=.s RAM=share\n",
       "section '.s' has a memory 'share' which is not defined in the linker command file.", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    setUp(f, 0xC001, {{c.section}}, "CODEPAGE NAME=page START=0 END=0xFF\n" + banks + c.directive);
    const bool ok = f.run(Phase::MapSections);
    if (!c.fails) {
      ASSERT_TRUE(ok) << f.error();
      EXPECT_EQ(memoryName(f.linker(), ".s"), c.expect);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(f.error(), c.expect);
    }
  }
}

// On the byte-addressed family relocatable code starts at an even address,
// and the byte skipped to get there counts against the free range.
TEST(MapSections, ByteAddressedCodeIsAligned) {
  struct Case {
    uint32_t size;
    long long expectStart;  // -1: does not fit
  };
  const std::vector<Case> cases = {{3, 0x102}, {4, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    LinkFixture f;
    setUp(f, 0xD001, {{{".c", scnCode, c.size}}},
          "CODEPAGE NAME=low START=0 END=0x1F\nCODEPAGE NAME=odd START=0x101 END=0x104\n"
          "SECTION NAME=.cinit ROM=low\nSECTION NAME=.c ROM=odd\n");
    const bool ok = f.run(Phase::MapSections);
    if (c.expectStart >= 0) {
      ASSERT_TRUE(ok) << f.error();
      EXPECT_EQ(startOf(f.linker(), ".c"), c.expectStart);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(f.error(),
                "section '.c' has a memory 'odd' which can not fit the section. Section '.c' "
                "length=0x00000004.");
    }
  }
}

TEST(MapSections, InputSectionsNamedLikeTheLinkersOwnAreRefused) {
  struct Case {
    const char* what;
    std::vector<Scn> sections;
    std::string commands;
    std::string refused;  // empty: accepted
  };
  const std::string fillPage = "CODEPAGE NAME=page START=0 END=0xFF FILL=0x1234\n";
  const std::string plainPage = "CODEPAGE NAME=page START=0 END=0xFF\n";
  const std::string bank = "DATABANK NAME=bank START=0x20 END=0x7F\n";
  const std::vector<Case> cases = {
      {"the table", {{".cinit", scnRomData, 4}}, plainPage, ".cinit"},
      {"the stack with STACK", {{".stack", scnUData, 4}}, plainPage + bank + "STACK SIZE=8\n",
       ".stack"},
      {"the stack without STACK", {{".stack", scnUData, 4}}, plainPage + bank, ""},
      {"an image", {{".d", scnIData, 2}, {".d_i", scnRomData, 4}}, plainPage + bank, ".d_i"},
      {"an image of absolute data",
       {{".d", scnIData, 2, kScnAbsolute, 0x30}, {".d_i", scnCode, 4}}, plainPage + bank, ".d_i"},
      {"_i after code", {{".c", scnCode, 2}, {".c_i", scnCode, 4}}, plainPage, ""},
      {"a fill section with FILL", {{".fill_12", scnCode, 4}}, fillPage, ".fill_12"},
      {"a fill section without FILL", {{".fill_12", scnCode, 4}}, plainPage, ""},
      {"not a fill number", {{".fill_x", scnCode, 4}, {".fill_", scnCode, 2}}, fillPage, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    setUp(f, 0xC001, {{{".code", scnCode, 2}}, c.sections}, c.commands);
    const bool ok = f.run(Phase::MapSections);
    if (c.refused.empty()) {
      EXPECT_TRUE(ok) << f.error();
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(f.error(), "section '" + c.refused +
                               "' in file './f1.o' has the name of a section that the linker "
                               "makes itself.");
      // Refused before anything was placed.
      EXPECT_TRUE(LinkerTestAccess::scnMem(f.linker()).empty());
    }
  }
}

// Pieces of odd length take whole locations on 2-byte program words; the
// merged section holds all of them.
TEST(LoadSections, OddCodePiecesFitTheirSection) {
  LinkFixture f;
  setUp(f, 0xB001, {{{".code", scnCode, 3}}, {{".code", scnCode, 5}}, {{".code", scnCode, 1}}},
        "CODEPAGE NAME=page START=0x100 END=0x1FF\nSECTION NAME=.cinit ROM=page\n");
  ASSERT_TRUE(f.run(Phase::LoadSections)) << f.error();
  Memory* m = memoryOf(f.linker(), ".code");
  ASSERT_NE(m, nullptr);
  const uint32_t start = m->getSecStart(".code");
  EXPECT_EQ(m->getSecSizeInBytes(".code"), 12u);
  EXPECT_EQ(m->getLoadStart(0, ".code"), start);
  EXPECT_EQ(m->getLoadStart(1, ".code"), start + 2);
  EXPECT_EQ(m->getLoadStart(2, ".code"), start + 5);
  EXPECT_EQ(m->getLoadSize(1, ".code"), 5u);
}

TEST(LoadSections, PiecesAreKeptPerInputEvenWhenMembersShareAName) {
  LinkFixture f;
  CoffBuilder mainObj("main.o");
  mainObj.processor(0xC001);
  mainObj.externRef("a");
  mainObj.externRef("b");
  f.object("main.o", mainObj);
  CoffBuilder first("util.o");
  first.processor(0xC001);
  first.section(".code", scnCode, 0, {1, 2, 3, 4});
  first.externDef("a", 1, 0);
  CoffBuilder second("util.o");
  second.processor(0xC001);
  second.section(".code", scnCode, 0, {5, 6});
  second.externDef("b", 1, 0);
  f.library("one.lib", {&first});
  f.library("two.lib", {&second});
  ASSERT_TRUE(f.commands("LIBPATH .\nFILES main.o one.lib two.lib\n"
                         "CODEPAGE NAME=page START=0x100 END=0x1FF\n"));
  ASSERT_TRUE(f.run(Phase::LoadSections)) << f.error() << f.output();
  ASSERT_EQ(LinkerTestAccess::coffs(f.linker()).size(), 3u);
  Memory* m = memoryOf(f.linker(), ".code");
  ASSERT_NE(m, nullptr);
  const uint32_t start = m->getSecStart(".code");
  EXPECT_EQ(m->getLoadStart(1, ".code"), start);
  EXPECT_EQ(m->getLoadSize(1, ".code"), 4u);
  EXPECT_EQ(m->getLoadStart(2, ".code"), start + 2);
  EXPECT_EQ(m->getLoadSize(2, ".code"), 2u);
}

}  // namespace

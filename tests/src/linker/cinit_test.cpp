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

std::string memoryName(Linker& l, const String& secName) {
  Memory* m = memoryOf(l, secName);
  return m ? m->getName() : "(not placed)";
}

uint32_t field(const Data& table, size_t offset, bool wide) {
  uint32_t v = 0;
  for (size_t i = 0; i < (wide ? 4u : 2u); ++i)
    v |= static_cast<uint32_t>(table.data()[offset + i]) << (8 * i);
  return v;
}

// The stack goes into a DATABANK unless RAM= names another memory.
TEST(AllocateStack, MemoryChoice) {
  struct Case {
    const char* what;
    std::string commands;
    std::string expectMemory;  // empty when it fails
    std::string expectError;
  };
  const std::string page = "CODEPAGE NAME=page START=0 END=0xFF\n";
  const std::string bigShare = "SHAREBANK NAME=share START=0x80 END=0xFF\n";
  const std::vector<Case> cases = {
      {"a data bank even when a share bank has more room",
       page + "DATABANK NAME=bank START=0x20 END=0x3F\n" + bigShare + "STACK SIZE=0x20\n",
       "bank", ""},
      {"only share and access banks", page + bigShare +
           "ACCESSBANK NAME=acc START=0x00 END=0x7F\nSTACK SIZE=0x20\n",
       "", "section '.stack' can not fit the section. Section '.stack' length=0x00000020"},
      {"RAM= naming a share bank",
       page + "DATABANK NAME=bank START=0x20 END=0x7F\n" + bigShare + "STACK SIZE=0x20 RAM=share\n",
       "share", ""},
      {"RAM= naming an access bank",
       page + "ACCESSBANK NAME=acc START=0x00 END=0x1F\nSTACK SIZE=0x10 RAM=acc\n", "acc", ""},
      {"RAM= naming a bank too small",
       page + "DATABANK NAME=bank START=0x20 END=0x2F\nSTACK SIZE=0x20 RAM=bank\n", "",
       "section '.stack' has a memory 'bank' which can not fit the section. Section '.stack' "
       "length=0x00000020."},
      {"RAM= may name a protected bank",
       page + "DATABANK NAME=bank START=0x20 END=0x7F PROTECTED\nSTACK SIZE=0x20 RAM=bank\n",
       "bank", ""},
      {"no STACK", page + "DATABANK NAME=bank START=0x20 END=0x7F\n", "(not placed)", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    CoffBuilder b("a.o");
    b.processor(0xC001);
    b.section(".code", scnCode, 0, {1, 2});
    f.object("a.o", b);
    ASSERT_TRUE(f.commands("FILES a.o\n" + c.commands)) << f.error();
    const bool ok = f.run(Phase::MapSections);
    if (c.expectError.empty()) {
      ASSERT_TRUE(ok) << f.error();
      EXPECT_EQ(memoryName(f.linker(), ".stack"), c.expectMemory);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(f.error(), c.expectError);
    }
  }
}

// With RAM= the stack is placed right after the absolute sections, ahead
// of the sections named by SECTION directives; without, right after them.
TEST(AllocateStack, PlaceInTheOrder) {
  struct Case {
    std::string stack;
    long long expectStack;
    long long expectNamed;
  };
  const std::vector<Case> cases = {
      {"STACK SIZE=0x10 RAM=bank\n", 0x24, 0x34},
      {"STACK SIZE=0x10\n", 0x28, 0x24},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stack);
    LinkFixture f;
    CoffBuilder b("a.o");
    b.processor(0xC001);
    b.udata(".abs", 4, 0x20, kScnAbsolute);
    b.udata(".named", 4);
    b.udata(".big", 0x20);  // unnamed and larger: placed after the stack
    f.object("a.o", b);
    ASSERT_TRUE(f.commands("FILES a.o\nCODEPAGE NAME=page START=0 END=0xFF\n"
                           "DATABANK NAME=bank START=0x20 END=0x7F\nSECTION NAME=.named RAM=bank\n" +
                           c.stack))
        << f.error();
    ASSERT_TRUE(f.run(Phase::MapSections)) << f.error();
    EXPECT_EQ(startOf(f.linker(), ".stack"), c.expectStack);
    EXPECT_EQ(startOf(f.linker(), ".named"), c.expectNamed);
    EXPECT_EQ(startOf(f.linker(), ".big"), 0x38);
  }
}

// Initialised data: its ROM images, the table's size and its entries in
// name order.
TEST(InitTable, EntriesAndImages) {
  struct Case {
    const char* what;
    uint32_t procType;
    bool wide;
    uint64_t imageScale;
    uint64_t bImageBytes;  // 3 data bytes, in whole locations
    uint64_t cinitBytes;
  };
  const std::vector<Case> cases = {
      {"14-bit words", 0xB001, false, 2, 6, 28},
      {"12-bit words", 0xA001, false, 2, 6, 28},
      {"16-bit words", 0xC001, false, 1, 4, 14},
      // Program addresses up to 0x1FFFFF need the 32-bit fields.
      {"byte-addressed, wide", 0xD001, true, 1, 3, 26},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    CoffBuilder b("a.o");
    b.processor(c.procType);
    b.section("b", scnIData, 0, {1, 2, 3});
    b.section("a", scnIData, 0, {4, 5});
    b.udata(".u", 8);
    f.object("a.o", b);
    ASSERT_TRUE(f.commands("FILES a.o\nCODEPAGE NAME=page START=0x200 END=0x2FF\n"
                           "DATABANK NAME=bank START=0x20 END=0x7F\n"));
    ASSERT_TRUE(f.run(Phase::BuildInitTable)) << f.error();
    Linker& l = f.linker();

    Memory* page = memoryOf(l, ".cinit");
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->getSecSizeInBytes(".cinit"), c.cinitBytes);
    EXPECT_EQ(LinkerTestAccess::initTableSize(l), c.cinitBytes);
    EXPECT_EQ(memoryName(l, "a_i"), "page");
    EXPECT_EQ(memoryName(l, "b_i"), "page");
    EXPECT_EQ(memoryOf(l, "b_i")->getSecSizeInBytes("b_i"), c.bImageBytes);
    EXPECT_EQ(memoryOf(l, "a_i")->getSecSizeInBytes("a_i"), c.imageScale * 2);
    EXPECT_EQ(LinkerTestAccess::scnMem(l).count(".u_i"), 0u);

    const Data& table = LinkerTestAccess::initTable(l);
    const size_t w = c.wide ? 4 : 2;
    ASSERT_EQ(table.size(), 2 + 2 * 3 * w);
    EXPECT_EQ(field(table, 0, false), 2u);
    const char* const order[] = {"a", "b"};
    for (size_t k = 0; k < 2; ++k) {
      SCOPED_TRACE(order[k]);
      const std::string name = order[k];
      const size_t at = 2 + k * 3 * w;
      EXPECT_EQ(field(table, at, c.wide), uint32_t(startOf(l, name + "_i")));
      EXPECT_EQ(field(table, at + w, c.wide), uint32_t(startOf(l, name)));
      EXPECT_EQ(field(table, at + 2 * w, c.wide), memoryOf(l, name)->getSecSizeInBytes(name));
    }
    const syment cinit = syment::decode(LinkerTestAccess::cinitSymbol(l));
    EXPECT_EQ(cinit.n_value, uint32_t(startOf(l, ".cinit")));
  }
}

TEST(InitTable, ImagesOfAbsoluteDataAreRelocatable) {
  LinkFixture f;
  CoffBuilder b("a.o");
  b.processor(0xB001);
  b.section(".d", scnIData, 0x40, {1, 2, 3, 4}, kScnAbsolute);
  f.object("a.o", b);
  ASSERT_TRUE(f.commands("FILES a.o\nCODEPAGE NAME=page START=0x200 END=0x2FF\n"
                         "CODEPAGE NAME=other START=0x300 END=0x3FF\n"
                         "DATABANK NAME=bank START=0x20 END=0x7F\nSECTION NAME=.d_i ROM=other\n"));
  ASSERT_TRUE(f.run(Phase::BuildInitTable)) << f.error();
  Linker& l = f.linker();
  EXPECT_EQ(startOf(l, ".d"), 0x40);
  EXPECT_EQ(memoryName(l, ".d_i"), "other");
  EXPECT_EQ(startOf(l, ".d_i"), 0x300);
  EXPECT_EQ(memoryOf(l, ".d_i")->getSecSizeInBytes(".d_i"), 8u);
  const Data& table = LinkerTestAccess::initTable(l);
  ASSERT_EQ(table.size(), 8u);
  EXPECT_EQ(field(table, 2, false), 0x300u);
  EXPECT_EQ(field(table, 4, false), 0x40u);
  EXPECT_EQ(field(table, 6, false), 4u);
}

TEST(InitTable, DirectivesForTheTableAndTheImages) {
  struct Case {
    const char* what;
    std::string directives;
    std::string expectError;  // empty: accepted
    std::string expectCinitMemory;
  };
  const std::vector<Case> cases = {
      {"the table in a protected page", "SECTION NAME=.cinit ROM=guard\n", "", "guard"},
      {"the table with RAM=", "SECTION NAME=.cinit ROM=page RAM=bank\n",
       "section '.cinit' contains initialized rom data and can not have a 'RAM' memory attribute "
       "specified in the linker command file.",
       ""},
      {"an image with RAM= only", "SECTION NAME=.d_i RAM=bank\n",
       "section '.d_i' can not have a 'RAM' memory attribute specified in the linker command "
       "file.",
       ""},
      {"an image named into a memory too small", "SECTION NAME=.d_i ROM=guard\n",
       "section '.d_i' has a memory 'guard' which can not fit the section. Section '.d_i' "
       "length=0x00000100.",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    CoffBuilder b("a.o");
    b.processor(0xB001);
    b.section(".d", scnIData, 0, fixtures::Bytes(0x80, 7));
    f.object("a.o", b);
    ASSERT_TRUE(f.commands("FILES a.o\nCODEPAGE NAME=guard START=0 END=0xF PROTECTED\n"
                           "CODEPAGE NAME=page START=0x200 END=0x2FF\n"
                           "DATABANK NAME=bank START=0x20 END=0xFF\n" +
                           c.directives))
        << f.error();
    const bool ok = f.run(Phase::MapSections);
    if (c.expectError.empty()) {
      ASSERT_TRUE(ok) << f.error();
      EXPECT_EQ(memoryName(f.linker(), ".cinit"), c.expectCinitMemory);
      EXPECT_EQ(syment::decode(LinkerTestAccess::cinitSymbol(f.linker())).n_value,
                uint32_t(startOf(f.linker(), ".cinit")));
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(f.error(), c.expectError);
    }
  }
}

// The count field holds 16 bits; a table of more entries would be read
// back as a few.
TEST(InitTable, MoreEntriesThanTheCountHoldsAreRefused) {
  LinkFixture f;
  const int kPerFile = 32768;
  std::string files;
  for (int file = 0; file < 2; ++file) {
    const std::string name = "f" + std::to_string(file) + ".o";
    CoffBuilder b(name);
    b.processor(0xC001);
    for (int i = 0; i < kPerFile; ++i) {
      char scn[16];
      std::snprintf(scn, sizeof scn, "d%d%05d", file, i);
      b.section(scn, scnIData, 0, {});
    }
    f.object(name, b);
    files += " " + name;
  }
  ASSERT_TRUE(f.commands("FILES" + files + "\nCODEPAGE NAME=page START=0 END=0xFFFFF\n"));
  // A whole link stops earlier, at the count of output sections; the
  // table's own limit is checked with that phase passed over.
  ASSERT_TRUE(f.run(Phase::VerifyMemoryAttributes)) << f.error();
  EXPECT_FALSE(f.runPhase(Phase::MapSections));
  EXPECT_EQ(f.failedPhase(), Phase::MapSections);
  EXPECT_EQ(f.error(),
            "too many initialized data sections for section '.cinit': at most 65535 can be "
            "listed.");
}

}  // namespace

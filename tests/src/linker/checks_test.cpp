#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link_fixture.h"

using fixtures::CoffBuilder;
using linktest::LinkFixture;
using linktest::Phase;

namespace {

TEST(ProgramMemorySize, SumsTheCodePages) {
  struct Case {
    std::string commands;
    uint32_t expect;
  };
  const std::vector<Case> cases = {
      {"", 0},
      {"CODEPAGE NAME=a START=0 END=0x7FF\nCODEPAGE NAME=b START=0x800 END=0x17FF\n", 0x1800},
      {"CODEPAGE NAME=a START=0 END=0x7FF\nDATABANK NAME=d START=0 END=0xFF\n", 0x800},
      // The whole 32-bit space does not wrap to 0.
      {"CODEPAGE NAME=a START=0 END=0x7FFFFFFF\nCODEPAGE NAME=b START=0x80000000 "
       "END=0xFFFFFFFF\n",
       0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commands);
    LinkFixture f;
    ASSERT_TRUE(f.commands(c.commands)) << f.error();
    EXPECT_EQ(f.linker().programMemorySize(), c.expect);
  }
}

TEST(BytesPerWord, ByProgramWordWidth) {
  struct Case {
    uint32_t procType;
    uint32_t rom;
  };
  const std::vector<Case> cases = {{0xA001, 2}, {0xB001, 2}, {0xC001, 2}, {0xD001, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.procType);
    LinkFixture f;
    CoffBuilder b("a.o");
    b.processor(c.procType);
    f.object("a.o", b);
    ASSERT_TRUE(f.commands("FILES a.o\n"));
    ASSERT_TRUE(f.run(Phase::VerifyProcessor)) << f.error();
    EXPECT_EQ(f.linker().bytesPerWord(Linker::rom), c.rom);
    EXPECT_EQ(f.linker().bytesPerWord(Linker::ram), 1u);
  }
}

TEST(BytesPerWord, BeforeTheProcessorIsKnownIsAnInternalError) {
  LinkFixture f;
  testing_support::ExitTrap trap;
  try {
    f.linker().bytesPerWord(Linker::rom);
    ADD_FAILURE() << "no assertion";
  } catch (const testing_support::ProcessExit& e) {
    EXPECT_EQ(e.status, 255);
  }
  EXPECT_NE(f.output().find("cRomWidthBits"), std::string::npos) << f.output();
}

// One input file for the processor check.
struct Input {
  uint32_t procType;
  bool familyWide;
};

TEST(VerifyProcessor, ChoiceAndAgreement) {
  struct Case {
    const char* what;
    std::vector<Input> inputs;
    uint32_t expectCode;  // the processor chosen, when it succeeds
    std::string expectError;
  };
  const std::string disagree = "processor types do not agree across all input files.";
  const std::vector<Case> cases = {
      {"family-wide first, then one processor", {{0xB005, true}, {0xB001, false}}, 0xB001, ""},
      {"one processor first, then family-wide", {{0xB001, false}, {0xB005, true}}, 0xB001, ""},
      {"all family-wide: the first", {{0xB002, true}, {0xB001, true}, {0xB003, true}}, 0xB002,
       ""},
      {"family-wide of another family",
       {{0xB002, true}, {0xB001, true}, {0xB003, true}, {0xA001, true}}, 0, disagree},
      {"two processors of one family", {{0xB001, false}, {0xB002, false}}, 0, disagree},
      {"one processor, then another family's family-wide file", {{0xC001, false}, {0xB001, true}},
       0, disagree},
      {"unknown code in a later file", {{0xB001, false}, {0x9999, true}}, 0,
       "Unsupported processor type in file './f1.o'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    std::string files;
    for (size_t i = 0; i < c.inputs.size(); ++i) {
      const std::string name = "f" + std::to_string(i) + ".o";
      CoffBuilder b(name);
      b.processor(c.inputs[i].procType);
      if (c.inputs[i].familyWide) b.flags(kFileFamilyProcessor);
      f.object(name, b);
      files += " " + name;
    }
    ASSERT_TRUE(f.commands("FILES" + files + "\n"));
    const bool ok = f.run(Phase::VerifyProcessor);
    if (c.expectError.empty()) {
      ASSERT_TRUE(ok) << f.error();
      const ProcId id = LinkerTestAccess::processor(f.linker());
      EXPECT_EQ(procCoffType(id), c.expectCode);
      EXPECT_EQ(LinkerTestAccess::family(f.linker()), procFamily(id));
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(f.error(), c.expectError);
    }
  }
}

TEST(VerifyProcessor, OlderLayoutFileNamesNoProcessor) {
  LinkFixture f;
  CoffBuilder a("a.o");
  a.processor(0xB001);
  f.object("a.o", a);
  CoffBuilder old("old.o");
  old.processor(0xB001);  // not written in the older layout
  fixtures::EmitOptions options;
  options.olderLayout = true;
  f.file("old.o", [&] {
    const fixtures::Bytes bytes = old.emit(options);
    return std::string(bytes.begin(), bytes.end());
  }());
  ASSERT_TRUE(f.commands("FILES a.o old.o\n"));
  EXPECT_FALSE(f.run(Phase::VerifyProcessor));
  EXPECT_EQ(f.failedPhase(), Phase::VerifyProcessor) << f.output();
  EXPECT_EQ(f.error(), "Unsupported processor type in file './old.o'.");
}

TEST(VerifyProcessor, MemoriesGetTheirLocationWidths) {
  LinkFixture f;
  CoffBuilder a("a.o");
  a.processor(0xB001);  // 14-bit program words
  f.object("a.o", a);
  ASSERT_TRUE(f.commands(
      "FILES a.o\nCODEPAGE NAME=p START=0 END=0xFF\nDATABANK NAME=d START=0x20 END=0x7F\n"
      "SHAREBANK NAME=s START=0x80 END=0x8F\nACCESSBANK NAME=x START=0x90 END=0x9F\n"));
  ASSERT_TRUE(f.run(Phase::VerifyProcessor));
  EXPECT_EQ(LinkerTestAccess::romWidthBits(f.linker()), 14);
  EXPECT_EQ(LinkerTestAccess::ramWidthBits(f.linker()), 8);
  EXPECT_EQ(LinkerTestAccess::codePages(f.linker()).front().largestHole(), 0x200u);
  EXPECT_EQ(LinkerTestAccess::dataBanks(f.linker()).front().largestHole(), 0x60u);
  EXPECT_EQ(LinkerTestAccess::shareBanks(f.linker()).front().largestHole(), 0x10u);
  EXPECT_EQ(LinkerTestAccess::accessBanks(f.linker()).front().largestHole(), 0x10u);
}

// One occurrence of a section in an input file.
struct Piece {
  int type;
  uint32_t size;
  uint32_t attributes;
  uint32_t address;
};

Piece code(uint32_t size, uint32_t attributes = 0, uint32_t address = 0) {
  return {scnCode, size, attributes, address};
}
Piece udata(uint32_t size, uint32_t attributes = 0, uint32_t address = 0) {
  return {scnUData, size, attributes, address};
}
Piece idata(uint32_t size, uint32_t attributes = 0, uint32_t address = 0) {
  return {scnIData, size, attributes, address};
}

// Writes one file per piece, each holding ".s" as the piece says.
void writePieces(LinkFixture& f, uint32_t procType, const std::vector<Piece>& pieces) {
  std::string files;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::string name = "f" + std::to_string(i) + ".o";
    CoffBuilder b(name);
    b.processor(procType);
    const Piece& p = pieces[i];
    if (p.type == scnUData) {
      b.udata(".s", p.size, p.address, p.attributes);
    } else {
      b.section(".s", p.type, p.address, fixtures::Bytes(p.size, 0x11), p.attributes);
    }
    f.object(name, b);
    files += " " + name;
  }
  ASSERT_TRUE(f.commands("FILES" + files + "\n"));
}

TEST(BuildScnTables, MergesOccurrences) {
  struct Case {
    const char* what;
    uint32_t procType;
    std::vector<Piece> pieces;
    uint32_t expectSize;
    int expectAbsSize;  // -1: not absolute
  };
  const uint32_t ovl = kScnOverlay;
  const uint32_t abs = kScnAbsolute;
  const std::vector<Case> cases = {
      {"relocatable pieces add up", 0xC001, {code(10), code(6)}, 16, -1},
      {"overlay takes the largest", 0xC001, {code(10, ovl), code(6, ovl)}, 10, -1},
      {"absolute overlay at one start", 0xC001,
       {code(6, ovl | abs, 0x40), code(10, ovl | abs, 0x40)}, 10, 10},
      {"one absolute section", 0xC001, {udata(5, abs, 0x30)}, 5, 5},
      // Odd pieces of code that another piece follows take whole 2-byte
      // locations when loaded; the last piece keeps its size.
      {"odd code pieces on a 14-bit core", 0xB001, {code(3), code(5)}, 9, -1},
      {"odd code pieces on a 12-bit core", 0xA001, {code(1), code(1), code(1)}, 5, -1},
      {"odd ROM data on a 16-bit core", 0xC001,
       {{scnRomData, 3, 0, 0}, {scnRomData, 3, 0, 0}}, 7, -1},
      {"an even piece after an odd one", 0xB001, {code(3), code(4)}, 8, -1},
      {"an odd piece after even ones", 0xB001, {code(4), code(2), code(3)}, 9, -1},
      // Overlay pieces all start at the section's start, and a lone piece
      // is followed by nothing: their sizes stand as they are.
      {"odd code overlay on a 14-bit core", 0xB001, {code(3, ovl), code(2, ovl)}, 3, -1},
      {"one odd code piece on a 14-bit core", 0xB001, {code(11)}, 11, -1},
      {"one odd absolute code piece on a 14-bit core", 0xB001, {code(5, abs, 0x40)}, 5, 5},
      {"byte-addressed program memory is never rounded", 0xD001, {code(3), code(5)}, 8, -1},
      {"data is never rounded", 0xB001, {idata(3), idata(5)}, 8, -1},
      {"uninitialised data is never rounded", 0xB001, {udata(3), udata(3)}, 6, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    writePieces(f, c.procType, c.pieces);
    ASSERT_TRUE(f.run(Phase::BuildScnTables)) << f.error();
    Linker& l = f.linker();
    EXPECT_EQ(LinkerTestAccess::scnSize(l).at(".s"), c.expectSize);
    EXPECT_EQ(LinkerTestAccess::scnType(l).at(".s"), c.pieces[0].type);
    if (c.expectAbsSize < 0) {
      EXPECT_EQ(LinkerTestAccess::scnAbs(l).at(".s"), 0);
      EXPECT_EQ(LinkerTestAccess::scnAbsSize(l).count(".s"), 0u);
    } else {
      EXPECT_EQ(LinkerTestAccess::scnAbs(l).at(".s"), 1);
      EXPECT_EQ(LinkerTestAccess::scnAbsSize(l).at(".s"), uint32_t(c.expectAbsSize));
      EXPECT_EQ(LinkerTestAccess::scnAbsStart(l).at(".s"), c.pieces[0].address);
    }
  }
}

TEST(BuildScnTables, RefusesOccurrencesThatDisagree) {
  struct Case {
    const char* what;
    std::vector<Piece> pieces;
    std::string expect;
  };
  const uint32_t ovl = kScnOverlay;
  const uint32_t abs = kScnAbsolute;
  const std::vector<Case> cases = {
      {"overlay and not, checked before the type", {code(4, ovl), udata(4)},
       "section overlay types for '.s' do not match across input files."},
      {"absolute and relocatable overlay", {code(4, ovl), code(4, ovl | abs)},
       "section absolute types for '.s' do not match across input files."},
      {"absolute overlay at two starts", {code(4, ovl | abs, 0x10), code(4, ovl | abs, 0x20)},
       "starting addresses for absolute overlay section '.s' do not match across all input "
       "files."},
      {"types", {code(4), udata(4)}, "section types for '.s' do not match across input files."},
      {"share", {udata(4, kScnShare), udata(4)},
       "section share types for '.s' do not match across input files."},
      {"access", {udata(4), udata(4, kScnAccess)},
       "section access types for '.s' do not match across input files."},
      {"absolute in two files", {udata(4, abs, 0x10), udata(4, abs, 0x20)},
       "section '.s' type is non-overlay and absolute but occurs in more than one input file."},
      {"relocatable, then absolute", {udata(4), udata(4, abs, 0x10)},
       "section '.s' type is non-overlay and absolute but occurs in more than one input file."},
      {"absolute, then relocatable", {udata(4, abs, 0x10), udata(4)},
       "section '.s' type is non-overlay and absolute but occurs in more than one input file."},
      {"no type bits at the first occurrence", {{scnNone, 4, 0, 0}, code(4)},
       "unknown section type for '.s' in file './f0.o'."},
      {"no type bits at a later occurrence", {code(4), {scnNone, 4, 0, 0}},
       "section types for '.s' do not match across input files."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    writePieces(f, 0xC001, c.pieces);
    EXPECT_FALSE(f.run(Phase::BuildScnTables));
    EXPECT_EQ(f.failedPhase(), Phase::BuildScnTables);
    EXPECT_EQ(f.error(), c.expect);
  }
}

// No reader takes gigabytes of section data, so the files are written small
// and their headers given the big sizes once read.
TEST(BuildScnTables, MergedSizePast32BitsIsRefused) {
  struct Case {
    const char* what;
    uint32_t procType;
    std::vector<Piece> pieces;  // the sizes stand for the headers' s_size
    std::string expect;         // empty: accepted
  };
  const uint32_t big = 0xFFFFFFFF;
  const std::vector<Case> cases = {
      {"two halves and a byte", 0xC001, {udata(0x80000000), udata(0x80000000)},
       "section '.s' is larger than 0xffffffff bytes after merging file './f1.o'."},
      {"the largest size itself", 0xC001, {udata(big)}, ""},
      {"the largest byte-addressed code", 0xD001, {code(big)}, ""},
      {"a lone odd piece is not rounded", 0xB001, {code(big)}, ""},
      {"an odd overlay piece is not rounded", 0xB001,
       {code(2, kScnOverlay), code(big, kScnOverlay)}, ""},
      {"an odd last piece reaches the top unrounded", 0xB001,
       {code(0x7FFFFFFF), code(0x7FFFFFFF)}, ""},
      {"odd pieces rounded past the top", 0xB001, {code(0x7FFFFFFF), code(0x80000000)},
       "section '.s' is larger than 0xffffffff bytes after merging file './f1.o'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    std::vector<Piece> small = c.pieces;
    for (Piece& p : small) p.size = 2;
    writePieces(f, c.procType, small);
    ASSERT_TRUE(f.run(Phase::VerifyProcessor)) << f.error();
    auto& coffs = LinkerTestAccess::coffs(f.linker());
    for (size_t i = 0; i < c.pieces.size(); ++i)
      coffs[i]->cScnHdr.at(".s").s_size = c.pieces[i].size;
    const bool ok = f.run(Phase::BuildScnTables);
    if (c.expect.empty()) {
      ASSERT_TRUE(ok) << f.error();
      EXPECT_EQ(LinkerTestAccess::scnSize(f.linker()).at(".s"), big);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(f.error(), c.expect);
    }
  }
}

// One file with two sections of one name would be merged and loaded twice
// under one name; the verifier refuses it before any table is built.
TEST(BuildScnTables, SectionNamedTwiceInOneFileNeverGetsThere) {
  LinkFixture f;
  CoffBuilder b("a.o");
  b.processor(0xC001);
  b.section(".one", scnCode, 0, {1, 2});
  b.section(".two", scnCode, 0, {3, 4});
  fixtures::Bytes bytes = b.bytes();
  // Rename the second header to the first's name.
  const size_t second = filehdr::kSize + opthdr::kSize + scnhdr::kSize;
  ASSERT_EQ(bytes[second + 1], 't');
  bytes[second + 1] = 'o';
  bytes[second + 2] = 'n';
  bytes[second + 3] = 'e';
  f.file("a.o", std::string(bytes.begin(), bytes.end()));
  ASSERT_TRUE(f.commands("FILES a.o\nCODEPAGE NAME=p START=0 END=0xFF\n"));
  EXPECT_FALSE(f.run(Phase::LoadSections));
  EXPECT_EQ(f.failedPhase(), Phase::ReadObjectFiles);
  EXPECT_EQ(f.error(), "");
  EXPECT_NE(f.output().find("Error - "), std::string::npos);
}

TEST(VerifyMemoryAttributes, RefusesAttributesThatDoNotSuitTheSection) {
  struct Case {
    Piece piece;
    std::string directive;
    std::string expect;  // empty: accepted
  };
  const std::string tail = " memory attribute specified in the linker command file.";
  const std::vector<Case> cases = {
      {code(4), "SECTION NAME=.s ROM=p", ""},
      {code(4), "SECTION NAME=.s RAM=d", "section '.s' contains code and can not have a 'RAM'" + tail},
      {code(4), "SECTION NAME=.s ROM=p RAM=d",
       "section '.s' contains code and can not have a 'RAM'" + tail},
      {idata(4), "SECTION NAME=.s RAM=d", ""},
      {idata(4), "SECTION NAME=.s ROM=p",
       "section '.s' contains initialized data and can not have a 'ROM'" + tail},
      {udata(4), "SECTION NAME=.s ROM=p RAM=d",
       "section '.s' contains uninitialized data and can not have a 'ROM'" + tail},
      {{scnRomData, 4, 0, 0}, "SECTION NAME=.s RAM=d",
       "section '.s' contains initialized rom data and can not have a 'RAM'" + tail},
      {{scnRomData, 4, 0, 0}, "SECTION NAME=.s ROM=p", ""},
      // Directives naming no input section are left to allocation.
      {code(4), "SECTION NAME=.other RAM=d", ""},
      {idata(4), "SECTION NAME=.s_i RAM=d", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directive);
    LinkFixture f;
    CoffBuilder b("a.o");
    b.processor(0xC001);
    if (c.piece.type == scnUData)
      b.udata(".s", c.piece.size);
    else
      b.section(".s", c.piece.type, 0, fixtures::Bytes(c.piece.size, 0));
    f.object("a.o", b);
    ASSERT_TRUE(f.commands("FILES a.o\nCODEPAGE NAME=p START=0 END=0xFF\n"
                           "DATABANK NAME=d START=0 END=0xFF\n" +
                           c.directive + "\n"))
        << f.error();
    const bool ok = f.run(Phase::VerifyMemoryAttributes);
    if (c.expect.empty()) {
      EXPECT_TRUE(ok) << f.error();
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(f.failedPhase(), Phase::VerifyMemoryAttributes);
      EXPECT_EQ(f.error(), c.expect);
    }
  }
}

}  // namespace

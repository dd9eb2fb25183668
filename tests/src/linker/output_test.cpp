#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "link_fixture.h"
#include "opcat.h"

using fixtures::Bytes;
using fixtures::CoffBuilder;
using linktest::LinkFixture;
using linktest::Phase;

namespace {

CoffBuilder object(const std::string& name, std::uint32_t proc = 0xB001) {
  CoffBuilder b(name);
  b.processor(proc);
  return b;
}

// The table goes to a protected page of its own, so the program's code
// starts at 0x100.
const char* kMemories =
    "CODEPAGE NAME=page START=0x100 END=0x6FF\n"
    "CODEPAGE NAME=cin START=0x700 END=0x7FF PROTECTED\n"
    "SECTION NAME=.cinit ROM=cin\n"
    "DATABANK NAME=gpr START=0x20 END=0x7F\n";

// Phases 17 to 23, after the link phases through patching.
bool buildOutput(LinkFixture& f, std::string& err) {
  if (!f.run(Phase::PatchSections)) {
    err = std::string(linktest::phaseName(f.failedPhase())) + ": " + f.error();
    return false;
  }
  using Step = int (Linker::*)(String&);
  const Step steps[] = {&Linker::buildOutputScnNum,    &Linker::buildOutputSymbolTbl,
                        &Linker::buildOutputRawData,   &Linker::buildOutputLineInfo,
                        &Linker::buildOutputStringTbl, &Linker::buildOutputScnHdrs,
                        &Linker::buildOutputFileHdr};
  for (Step step : steps)
    if (!(f.linker().*step)(err)) return false;
  return true;
}

Bytes bytesOf(const Data& d) { return Bytes(d.data(), d.data() + d.size()); }

// ------------------------------------------------------------------ sections

TEST(OutputSections, NumbersAndHeaders) {
  LinkFixture f;
  CoffBuilder a = object("a.o");
  a.section("A", scnCode, 0, {1, 2, 3, 4});
  a.section("B", scnIData, 0x30, {5, 6, 7}, kScnAbsolute);
  CoffBuilder b = object("b.o");
  b.section("A", scnCode, 0, {8, 9});
  b.udata("C", 5, 0, kScnOverlay);
  f.object("a.o", a);
  f.object("b.o", b);
  ASSERT_TRUE(f.commands(std::string("FILES a.o b.o\n") + kMemories + "STACK SIZE=0x10\n"));
  std::string err;
  ASSERT_TRUE(buildOutput(f, err)) << err;
  const Coff& out = LinkerTestAccess::output(f.linker());

  struct Row {
    const char* name;
    int number;
    std::uint32_t flags;
  };
  const std::vector<Row> rows = {
      {"A", 1, kScnCode},         {"B", 2, kScnIData | kScnAbsolute},
      {"B_i", 3, kScnRomData},  // never the attributes of B
      {"C", 4, kScnUData},      // never the overlay bit
      {".cinit", 5, kScnRomData}, {".stack", 6, kScnUData},
  };
  ASSERT_EQ(out.cScnNum.size(), rows.size());
  ASSERT_EQ(out.cScnHdr.size(), rows.size());
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(out.cScnNum.at(r.number), r.name);
    const scnhdr& h = out.cScnHdr.at(r.name);
    EXPECT_EQ(out.getName(h), r.name);
    EXPECT_EQ(h.s_paddr, static_cast<std::uint32_t>(linktest::startOf(f.linker(), r.name)));
    EXPECT_EQ(h.s_vaddr, 0u);
    EXPECT_EQ(h.s_flags, r.flags);
  }
  EXPECT_EQ(out.cScnHdr.at("B").s_paddr, 0x30u);
  EXPECT_TRUE(out.cRelocInfo.empty());
}

TEST(OutputSections, ImageNamesLongerThanEightCharactersEnterTheStringTable) {
  struct Case {
    const char* section;
    bool inTable;
  };
  const std::vector<Case> cases = {{"short6", false}, {"longdata", true}, {"seven_7", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.section);
    LinkFixture f;
    CoffBuilder a = object("a.o");
    a.section(".code", scnCode, 0, {0, 0});
    a.section(c.section, scnIData, 0, {1});
    f.object("a.o", a);
    ASSERT_TRUE(f.commands(std::string("FILES a.o\n") + kMemories));
    std::string err;
    ASSERT_TRUE(buildOutput(f, err)) << err;
    const Coff& out = LinkerTestAccess::output(f.linker());
    const String image = String(c.section) + "_i";
    const scnhdr& h = out.cScnHdr.at(image);
    EXPECT_EQ(hasLongName(h), c.inTable);
    EXPECT_EQ(out.getName(h), image);
    EXPECT_EQ(out.cStringTbl.size(), c.inTable ? 1u : 0u);
  }
}

// ------------------------------------------------------------------ raw data

TEST(OutputRawData, PiecesOverlaysImagesTableAndStack) {
  LinkFixture f;
  CoffBuilder a = object("a.o");
  a.section(".code", scnCode, 0, std::vector<unsigned char>(0x80, 0x11));
  a.section("ov", scnCode, 0, {1, 2, 3, 4}, kScnOverlay);
  a.section("d", scnIData, 0, {0x41, 0x42, 0x43});
  CoffBuilder b = object("b.o");
  b.section(".code", scnCode, 0, {0x22, 0x23});
  b.section("ov", scnCode, 0, {9, 9}, kScnOverlay);
  b.udata("u", 3);
  f.object("a.o", a);
  f.object("b.o", b);
  ASSERT_TRUE(f.commands(std::string("FILES a.o b.o\n") + kMemories + "STACK SIZE=0x8\n"));
  std::string err;
  ASSERT_TRUE(buildOutput(f, err)) << err;
  const Coff& out = LinkerTestAccess::output(f.linker());

  // b's piece starts 0x40 words after a's: byte 0x80 of the section.
  const Bytes code = bytesOf(out.cRawData.at(".code"));
  ASSERT_EQ(code.size(), 0x82u);
  EXPECT_EQ(code[0x7F], 0x11);
  EXPECT_EQ(code[0x80], 0x22);
  EXPECT_EQ(code[0x81], 0x23);
  // Overlay pieces share the start; the later file's bytes win.
  EXPECT_EQ(bytesOf(out.cRawData.at("ov")), (Bytes{9, 9, 3, 4}));
  EXPECT_EQ(bytesOf(out.cRawData.at("d")), (Bytes{0x41, 0x42, 0x43}));
  EXPECT_EQ(bytesOf(out.cRawData.at("u")), (Bytes{0, 0, 0}));
  EXPECT_EQ(bytesOf(out.cRawData.at(".stack")), Bytes(8, 0));
  // The table: one entry of 16-bit fields, each byte a RETLW on this core.
  const Data& table = LinkerTestAccess::initTable(f.linker());
  ASSERT_EQ(table.size(), 8u);
  ASSERT_EQ(out.cRawData.at(".cinit").size(), 16u);
  for (std::uint32_t i = 0; i < table.size(); ++i) {
    const std::uint16_t word = le::getU16(out.cRawData.at(".cinit").data() + 2 * i);
    EXPECT_EQ(instDecode(word, CoreB), Inst::RETLW) << i;
    EXPECT_EQ(instGetOperand1(word, CoreB), table.data()[i]) << i;
  }
}

// On a two-byte-location core a piece of odd length still takes whole
// locations: the next piece starts at the next location, inside the buffer.
TEST(OutputRawData, OddLengthPieceOnWordLocations) {
  LinkFixture f;
  CoffBuilder a = object("a.o");
  a.section(".code", scnCode, 0, {1, 2, 3});
  CoffBuilder b = object("b.o");
  b.section(".code", scnCode, 0, {4, 5});
  f.object("a.o", a);
  f.object("b.o", b);
  ASSERT_TRUE(f.commands(std::string("FILES a.o b.o\n") + kMemories));
  std::string err;
  ASSERT_TRUE(buildOutput(f, err)) << err;
  EXPECT_EQ(bytesOf(LinkerTestAccess::output(f.linker()).cRawData.at(".code")),
            (Bytes{1, 2, 3, 0, 4, 5}));
}

// The image of an initialised-data section, by family: RETLW words where
// the program word is not a multiple of 8 bits, a copy elsewhere.
TEST(OutputRawData, RomImagesByFamily) {
  struct Case {
    const char* what;
    std::uint32_t proc;
    CoreFamily family;
    bool words;
  };
  const std::vector<Case> cases = {{"CoreA", 0xA001, CoreA, true},
                                   {"CoreB", 0xB001, CoreB, true},
                                   {"CoreC", 0xC001, CoreC, false},
                                   {"CoreD", 0xD001, CoreD, false}};
  const Bytes data = {0x00, 0x7F, 0xFF};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    CoffBuilder a = object("a.o", c.proc);
    a.section(".code", scnCode, 0, {0, 0});
    a.section("d", scnIData, 0, data);
    f.object("a.o", a);
    ASSERT_TRUE(f.commands(std::string("FILES a.o\n") + kMemories));
    std::string err;
    ASSERT_TRUE(buildOutput(f, err)) << err;
    const Bytes image = bytesOf(LinkerTestAccess::output(f.linker()).cRawData.at("d_i"));
    if (!c.words) {
      EXPECT_EQ(image, data);
      continue;
    }
    ASSERT_EQ(image.size(), 2 * data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
      const std::uint16_t word = static_cast<std::uint16_t>(image[2 * i] | image[2 * i + 1] << 8);
      EXPECT_EQ(instDecode(word, c.family), Inst::RETLW) << i;
      EXPECT_EQ(instGetOperand1(word, c.family), data[i]) << i;
    }
  }
}

// A piece must land inside its section's buffer and be as long as it was
// loaded; a disagreement is refused, not copied.
TEST(OutputRawData, PiecesThatDoNotFitAreRefused) {
  struct Case {
    const char* what;
    std::function<void(Linker&)> damage;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"raw data longer than the loaded piece",
       [](Linker& l) { LinkerTestAccess::coffs(l)[1]->cRawData[".code"] = Data(6); },
       "file './b.o', section '.code', raw data of 6 bytes where the section holds 2 bytes."},
      {"section buffer smaller than its pieces",
       [](Linker& l) { LinkerTestAccess::scnSize(l)[".code"] = 4; },
       "file './b.o', section '.code', raw data of 2 bytes at location 0x00000102 does not fit "
       "the section at 0x00000100 of 4 bytes."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    CoffBuilder a = object("a.o");
    a.section(".code", scnCode, 0, {1, 2, 3, 4});
    CoffBuilder b = object("b.o");
    b.section(".code", scnCode, 0, {5, 6});
    f.object("a.o", a);
    f.object("b.o", b);
    ASSERT_TRUE(f.commands(std::string("FILES a.o b.o\n") + kMemories));
    ASSERT_TRUE(f.run(Phase::PatchSections)) << f.error();
    c.damage(f.linker());
    String err;
    ASSERT_TRUE(f.linker().buildOutputScnNum(err));
    ASSERT_TRUE(f.linker().buildOutputSymbolTbl(err));
    EXPECT_FALSE(f.linker().buildOutputRawData(err));
    EXPECT_EQ(err, c.error);
  }
}

// ------------------------------------------------------------------ symbols and lines

// a.o has 25 records; b.o's auxiliary indexes and line indexes are raised
// by 25, by the kind of each entry.
TEST(OutputSymbols, IndexesRaisedByKindAndSectionsRenumbered) {
  LinkFixture f;
  CoffBuilder a = object("a.o");
  a.section(".code", scnCode, 0, {0, 0, 0, 0});
  a.file("a.asm");
  for (int i = 0; i < 23; ++i) a.symbol("s" + std::to_string(i), 0, 1, kClassStatic);
  ASSERT_EQ(a.model().cSymbolTbl.size(), 25u);

  CoffBuilder b = object("b.o");
  b.section(".other", scnCode, 0, {0, 0});
  b.section(".code", scnCode, 0, {0, 0});
  struct Entry {
    AuxKind kind;
    std::uint32_t index;  // of the symbol; its entry follows
  };
  std::vector<Entry> entries;
  const std::uint32_t src = b.file("b.asm");
  entries.push_back({auxFile, src});
  const std::uint32_t fn = b.function("fn", 2, 0, 10);
  entries.push_back({auxFcn, fn});
  {
    aux_fcn fa = aux_fcn::decode(b.model().cSymbolTbl[fn + 1]);
    fa.x_tagndx = 1;
    fa.encode(b.model().cSymbolTbl[fn + 1]);
  }
  aux_tag tag;
  tag.x_endndx = 7;
  entries.push_back(
      {auxTag,
       b.symbolWithAux(b.makeSymbol("tg", 0, kScnNumDebug, kClassStructTag, kTypeStruct), tag)});
  aux_eos eos;
  eos.x_tagndx = 3;
  entries.push_back(
      {auxEos, b.symbolWithAux(b.makeSymbol(".eos", 0, kScnNumAbsolute, kClassEndOfStruct), eos)});
  aux_arr arr;
  arr.x_tagndx = 4;
  entries.push_back(
      {auxArr, b.symbolWithAux(b.makeSymbol("arr", 0, 1, kClassStatic, kTypeArray), arr)});
  aux_bobf bf;
  bf.x_endndx = 5;
  entries.push_back({auxBobf, b.symbolWithAux(b.makeSymbol(".bf", 0, 2, kClassFunction), bf)});
  aux_eobf ef;
  ef.x_lnno = 9;
  entries.push_back({auxEobf, b.symbolWithAux(b.makeSymbol(".ef", 0, 2, kClassFunction), ef)});
  aux_var var;
  var.x_tagndx = 6;
  entries.push_back(
      {auxVar, b.symbolWithAux(b.makeSymbol("v", 0, 1, kClassStatic, kTypeStruct), var)});
  entries.push_back({auxScn, b.sectionSymbol(".code", 2, 2)});
  const std::uint32_t inOther = b.symbol("inother", 0, 1, kClassStatic);
  const std::uint32_t inCode = b.symbol("incode", 0, 2, kClassStatic);
  b.lineNumber(".code", src, 3, 0, fn);
  f.object("a.o", a);
  f.object("b.o", b);
  ASSERT_TRUE(f.commands(std::string("FILES a.o b.o\n") + kMemories + "STACK SIZE=0x8\n"));
  std::string err;
  ASSERT_TRUE(buildOutput(f, err)) << err;
  const Coff& out = LinkerTestAccess::output(f.linker());
  const Coff& inB = *LinkerTestAccess::coffs(f.linker())[1];
  const std::uint32_t base = 25;

  // The output's pairing is the inputs' pairing, end to end.
  std::vector<std::uint32_t> kinds = LinkerTestAccess::coffs(f.linker())[0]->cAuxKind;
  kinds.insert(kinds.end(), inB.cAuxKind.begin(), inB.cAuxKind.end());
  EXPECT_EQ(out.cAuxKind, kinds);
  ASSERT_EQ(out.cSymbolTbl.size(), base + inB.cSymbolTbl.size());
  EXPECT_EQ(LinkerTestAccess::symIndex(f.linker()), (std::vector<std::uint32_t>{0, base}));

  for (const Entry& e : entries) {
    SCOPED_TRACE(e.kind);
    const SymRecord& in = inB.cSymbolTbl[e.index + 1];
    const SymRecord& o = out.cSymbolTbl[base + e.index + 1];
    switch (e.kind) {
      case auxFcn:
        EXPECT_EQ(aux_fcn::decode(o).x_endndx, 35u);
        EXPECT_EQ(aux_fcn::decode(o).x_tagndx, 26u);
        break;
      case auxTag:
        EXPECT_EQ(aux_tag::decode(o).x_endndx, 32u);
        break;
      case auxEos:
        EXPECT_EQ(aux_eos::decode(o).x_tagndx, 28u);
        break;
      case auxArr:
        EXPECT_EQ(aux_arr::decode(o).x_tagndx, 29u);
        break;
      case auxBobf:
        EXPECT_EQ(aux_bobf::decode(o).x_endndx, 30u);
        break;
      case auxVar:
        EXPECT_EQ(aux_var::decode(o).x_tagndx, 31u);
        break;
      default:
        EXPECT_EQ(o, in);
        break;  // file, section, end of block: no index
    }
  }
  // b's .other is output section 2 (a's .code is 1), b's .code is 1.
  EXPECT_EQ(syment::decode(out.cSymbolTbl[base + inOther]).n_scnum, 2);
  EXPECT_EQ(syment::decode(out.cSymbolTbl[base + inCode]).n_scnum, 1);
  EXPECT_EQ(syment::decode(out.cSymbolTbl[base + fn]).n_scnum, 1);
  EXPECT_EQ(syment::decode(out.cSymbolTbl[base + entries[3].index]).n_scnum, kScnNumAbsolute);

  const auto& lines = out.cLineInfo.at(".code");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].l_srcndx, base + src);
  EXPECT_EQ(lines[0].l_fcnndx, base + fn);

  // The linker's own symbols never enter the output's table.
  for (std::size_t i = 0; i < out.cSymbolTbl.size(); ++i) {
    if (out.cAuxKind[i] != auxNone) continue;
    const String name = out.getName(syment::decode(out.cSymbolTbl[i]));
    EXPECT_TRUE(name != "_cinit" && name != "_stack" && name != "_stksize") << name;
  }
}

// Two inputs of one file name each keep their own symbol base.
TEST(OutputSymbols, EqualFileNamesKeepTheirOwnBase) {
  LinkFixture f;
  CoffBuilder a = object("a.o");
  a.section(".code", scnCode, 0, {0, 0});
  const std::uint32_t srcA = a.file("a.asm");
  a.lineNumber(".code", srcA, 1, 0);
  CoffBuilder b = object("b.o");
  b.section(".code", scnCode, 0, {0, 0});
  const std::uint32_t srcB = b.file("b.asm");
  b.lineNumber(".code", srcB, 2, 0);
  f.object("a.o", a);
  f.object("b.o", b);
  ASSERT_TRUE(f.commands(std::string("FILES a.o b.o\n") + kMemories));
  ASSERT_TRUE(f.run(Phase::ReadObjectFiles)) << f.error();
  LinkerTestAccess::coffs(f.linker())[1]->cFileName =
      LinkerTestAccess::coffs(f.linker())[0]->cFileName;
  std::string err;
  ASSERT_TRUE(buildOutput(f, err)) << err;
  const auto& lines = LinkerTestAccess::output(f.linker()).cLineInfo.at(".code");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].l_srcndx, srcA);
  EXPECT_EQ(lines[1].l_srcndx, 2 + srcB);
}

// ------------------------------------------------------------------ headers, strip, round trip

CoffBuilder programObject() {
  CoffBuilder a = object("main.o");
  a.optMagic(0x5A5A, 7);
  a.section(".code", scnCode, 0, {0x00, 0x28, 0x00, 0x00});  // a CALL, then a word
  a.section(".initialised_data", scnIData, 0, {1, 2, 3});
  a.udata(".vars", 4);
  const std::uint32_t src = a.file("main_source.asm");
  const std::uint32_t fn = a.function("main_entry_point", 1, 1, 0, 1);
  a.externRef("_stack");
  a.relocation(".code", 0, fn, 1);  // RELOCT_CALL
  a.lineNumber(".code", src, 10, 0, fn);
  a.lineNumber(".code", src, 11, 1, fn);
  return a;
}

TEST(OutputFile, HeadersWithAndWithoutStrip) {
  for (int strip : {0, 1}) {
    SCOPED_TRACE(strip);
    LinkFixture f;
    f.object("main.o", programObject());
    ASSERT_TRUE(f.commands(std::string("FILES main.o\n") + kMemories + "STACK SIZE=0x8\n"));
    String ignored;
    f.linker().setStrip(strip, ignored);
    ASSERT_TRUE(f.linker().setOutputFile("prog.out", ignored));
    std::string err;
    ASSERT_TRUE(buildOutput(f, err)) << err;
    const Coff& out = LinkerTestAccess::output(f.linker());
    EXPECT_EQ(out.cFileHdr.f_flags, strip ? 0x0086 : 0x0002);
    EXPECT_EQ(out.cFileHdr.f_opthdr, 16);
    EXPECT_EQ(out.cOptHdr.magic, 0x5A5A);
    EXPECT_EQ(out.cOptHdr.vstamp, 7);
    EXPECT_EQ(out.cOptHdr.proc_type, 0xB001u);
    EXPECT_EQ(out.cOptHdr.rom_width_bits, 14u);
    EXPECT_EQ(out.cOptHdr.ram_width_bits, 8u);
    EXPECT_EQ(out.cFileName, "prog.out");
    EXPECT_EQ(out.cSymbolTbl.empty(), strip == 1);
    EXPECT_EQ(out.cLineInfo.empty(), strip == 1);
  }
}

// The whole link: the written executable reads back as the model that was
// built, passes verification and holds the patched code.
TEST(OutputFile, RoundTripThroughWriteAndRead) {
  for (int strip : {0, 1}) {
    SCOPED_TRACE(strip);
    LinkFixture f;
    f.object("main.o", programObject());
    ASSERT_TRUE(f.commands(std::string("FILES main.o\n") + kMemories + "STACK SIZE=0x8\n"));
    String err;
    f.linker().setStrip(strip, err);
    ASSERT_TRUE(f.linker().link(err)) << err << f.output();
    const Coff& built = LinkerTestAccess::output(f.linker());
    std::unique_ptr<Coff> read = Coff::make("a.out");
    ASSERT_TRUE(read) << f.output();
    EXPECT_EQ(read->verify(), 1);
    fixtures::expectSameCoff(built, *read);
    EXPECT_EQ(read->cFileHdr.f_flags, strip ? 0x0086 : 0x0002);
    // The call in the first word targets main_entry_point, the second word.
    const long long target = linktest::startOf(f.linker(), ".code") + 1;
    ASSERT_GT(target, 0x100);
    const Data& code = read->cRawData.at(".code");
    EXPECT_EQ(le::getU16(code.data()), 0x2800 | target);
    if (!strip) {
      EXPECT_EQ(read->cStringTbl, built.cStringTbl);
      EXPECT_EQ(read->getName(read->cScnHdr.at(".initialised_data_i")), ".initialised_data_i");
    }
  }
}

}  // namespace

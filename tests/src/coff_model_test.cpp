// Records, classification, predicates, Data and names of the object model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "coff.h"
#include "fixtures/coff_builder.h"
#include "support/harness.h"

using namespace testing_support;

namespace {

syment sym(const char* name, std::uint8_t sclass, std::uint16_t type = 0, std::uint8_t numaux = 1,
           std::int16_t scnum = 1) {
  syment s;
  std::memcpy(s.n_name, name, std::min<std::size_t>(std::strlen(name), 8));
  s.n_sclass = sclass;
  s.n_type = type;
  s.n_numaux = numaux;
  s.n_scnum = scnum;
  return s;
}

// ---------------------------------------------------------------------------
// Codecs: field offsets and widths, little-endian, nothing packed.

TEST(CoffRecords, SymentIsEighteenBytesFieldByField) {
  syment s = sym("abcdefgh", 0x67, 0xA1B2, 1, -2);
  s.n_value = 0x11223344;
  SymRecord r = s.record();
  const unsigned char expected[18] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0x44,
                                      0x33, 0x22, 0x11, 0xFE, 0xFF, 0xB2, 0xA1, 0x67, 0x01};
  EXPECT_EQ(0, std::memcmp(r.data(), expected, 18));
  const syment back = syment::decode(r);
  EXPECT_EQ(back.n_scnum, -2);
  EXPECT_EQ(back.n_value, 0x11223344u);
  EXPECT_EQ(back.n_type, 0xA1B2);
}

TEST(CoffRecords, LineNumberHasItsAddressAtOffsetSix) {
  coff_lineno l;
  l.l_srcndx = 0x01020304;
  l.l_lnno = 0x0506;
  l.l_paddr = 0x0708090A;
  l.l_flags = 0x0B0C;
  l.l_fcnndx = 0x0D0E0F10;
  unsigned char b[16];
  l.encode(b);
  const unsigned char expected[16] = {4, 3, 2, 1, 6, 5, 0x0A, 9, 8, 7, 0x0C, 0x0B, 0x10, 0x0F, 0x0E, 0x0D};
  EXPECT_EQ(0, std::memcmp(b, expected, 16));
  const coff_lineno back = coff_lineno::decode(b);
  EXPECT_EQ(back.l_paddr, 0x0708090Au);
  EXPECT_EQ(back.l_fcnndx, 0x0D0E0F10u);
}

TEST(CoffRecords, HeadersAndRelocationsRoundTrip) {
  filehdr f;
  f.f_magic = 0x1234;
  f.f_nscns = 3;
  f.f_timdat = 0xDEADBEEF;
  f.f_symptr = 0x100;
  f.f_nsyms = 7;
  f.f_opthdr = 16;
  f.f_flags = 0x8002;
  unsigned char b[40] = {};
  f.encode(b);
  EXPECT_EQ(b[0], 0x34);
  EXPECT_EQ(b[1], 0x12);
  EXPECT_EQ(le::getU32(b + 4), 0xDEADBEEFu);
  EXPECT_EQ(le::getU16(b + 18), 0x8002);
  const filehdr g = filehdr::decode(b);
  EXPECT_EQ(g.f_nsyms, 7u);
  EXPECT_EQ(g.f_opthdr, 16);

  reloc r;
  r.r_vaddr = 0x200;
  r.r_symndx = 9;
  r.r_offset = -3;
  r.r_type = 24;
  r.encode(b);
  EXPECT_EQ(le::getS16(b + 8), -3);
  EXPECT_EQ(le::getU16(b + 10), 24);
  const reloc q = reloc::decode(b);
  EXPECT_EQ(q.r_offset, -3);

  scnhdr h;
  std::memcpy(h.s_name, ".code", 5);
  h.s_flags = 0x9040;
  h.s_nreloc = 0x1234;
  h.s_nlnno = 0x5678;
  h.encode(b);
  EXPECT_EQ(le::getU16(b + 32), 0x1234);
  EXPECT_EQ(le::getU16(b + 34), 0x5678);
  EXPECT_EQ(le::getU32(b + 36), 0x9040u);

  opthdr o;
  o.proc_type = 0xABCD;
  o.rom_width_bits = 14;
  o.encode(b);
  EXPECT_EQ(le::getU32(b + 4), 0xABCDu);
  EXPECT_EQ(opthdr::decode(b).rom_width_bits, 14u);
}

TEST(CoffRecords, AuxEncodingLeavesUnlistedBytesAlone) {
  SymRecord r;
  r.fill(0xAA);
  aux_tag t;
  t.x_size = 0x0102;
  t.x_endndx = 0x03040506;
  t.encode(r);
  for (int i : {0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 16, 17}) EXPECT_EQ(r[i], 0xAA) << i;
  EXPECT_EQ(le::getU16(r.data() + 6), 0x0102);
  EXPECT_EQ(le::getU32(r.data() + 12), 0x03040506u);

  r.fill(0x55);
  aux_arr a;
  a.x_tagndx = 1;
  a.x_lnno = 2;
  a.x_size = 3;
  a.x_dimen[3] = 7;
  a.encode(r);
  EXPECT_EQ(le::getU16(r.data() + 14), 7);
  EXPECT_EQ(r[16], 0x55);
  EXPECT_EQ(aux_arr::decode(r).x_dimen[3], 7);

  r.fill(0x11);
  aux_bobf bf;
  bf.x_lnno = 42;
  bf.x_endndx = 9;
  bf.encode(r);
  EXPECT_EQ(r[0], 0x11);
  EXPECT_EQ(aux_eobf::decode(r).x_lnno, 42);
  EXPECT_EQ(aux_bobf::decode(r).x_endndx, 9u);
}

TEST(CoffRecords, OlderLayoutRecords) {
  unsigned char b[10];
  old_reloc o;
  o.r_vaddr = 0x10;
  o.r_symndx = 3;
  o.r_type = 0x99;
  o.encode(b);
  EXPECT_EQ(le::getU16(b + 8), 0x99);
  EXPECT_EQ(old_reloc::decode(b).r_symndx, 3u);
  gnu_lineno g;
  g.l_paddr = 0x44;
  g.l_lnno = 0;
  g.encode(b);
  EXPECT_EQ(gnu_lineno::decode(b).l_symndx(), 0x44u);
}

// ---------------------------------------------------------------------------
// Classification: the first rule that holds decides.

TEST(CoffClassify, AuxKindTable) {
  struct Case {
    const char* what;
    syment s;
    AuxKind kind;
  };
  syment longName = sym("", kClassStatic, 0, 1);
  longName.set_n_offset(4);
  const Case cases[] = {
      {"no entries", sym("x", kClassFile, 0, 0), auxNone},
      {"file", sym(".file", kClassFile, kTypeArray), auxFile},
      {"end of structure", sym(".eos", kClassEndOfStruct, kTypeArray), auxEos},
      {"function", sym("f", kClassExternal, 0x20), auxFcn},
      {"array before function", sym("f", kClassExternal, 0x30), auxArr},
      {"array in a later field", sym("a", kClassExternal, 0x20 | (3 << 6)), auxArr},
      {".bf", sym(".bf", kClassFunction), auxBobf},
      {".ef", sym(".ef", kClassFunction), auxEobf},
      {".bb", sym(".bb", kClassBlock), auxBobf},
      {".eb", sym(".eb", kClassBlock), auxEobf},
      {"struct tag", sym("t", kClassStructTag, kTypeStruct), auxTag},
      {"union tag", sym("t", kClassUnionTag), auxTag},
      {"enum tag", sym("t", kClassEnumTag), auxTag},
      {"struct variable", sym("v", kClassExternal, kTypeStruct), auxVar},
      {"enum variable", sym("v", kClassStatic, kTypeEnum), auxVar},
      {"section symbol", sym(".code", kClassStatic), auxScn},
      {"section class", sym("code", kClassSection), auxScn},
      {"label with an entry", sym("lbl", kClassLabel, 0, 1), auxNone},
      {"long name is no section", longName, auxNone},
      {".bfx is no .bf", sym(".bfx", kClassFunction), auxNone},
  };
  for (const Case& c : cases) EXPECT_EQ(auxKind(c.s), c.kind) << c.what;
}

TEST(CoffClassify, SymbolPredicates) {
  EXPECT_TRUE(isArray(sym("a", 2, 3 << 14)));
  EXPECT_FALSE(isArray(sym("a", 2, 0x2F)));
  EXPECT_TRUE(isFunction(sym("f", 2, 0x20)));
  EXPECT_FALSE(isFunction(sym("f", 2, 0x80)));  // function in the second field only

  EXPECT_TRUE(isSection(sym(".x", kClassStatic)));
  EXPECT_FALSE(isSection(sym("x", kClassStatic)));
  EXPECT_FALSE(isSection(sym(".x", kClassExternal)));

  struct Case {
    std::uint8_t sclass;
    std::int16_t scnum;
    bool relocatable, extDef, extRef;
  };
  const Case cases[] = {
      {kClassExternal, 1, true, true, false},  {kClassExternal, 0, false, false, true},
      {kClassExternal, -1, false, false, false}, {kClassStatic, 2, true, false, false},
      {kClassLabel, 1, true, false, false},    {kClassBlock, 1, true, false, false},
      {kClassFunction, 1, true, false, false}, {kClassFile, 1, false, false, false},
      {kClassStatic, 0, false, false, false},  {kClassStatic, -2, false, false, false},
  };
  for (const Case& c : cases) {
    const syment s = sym("s", c.sclass, 0, 0, c.scnum);
    EXPECT_EQ(isRelocatable(s), c.relocatable) << int(c.sclass) << "/" << c.scnum;
    EXPECT_EQ(isExtDef(s), c.extDef) << int(c.sclass) << "/" << c.scnum;
    EXPECT_EQ(isExtRef(s), c.extRef) << int(c.sclass) << "/" << c.scnum;
  }

  coff_lineno l;
  EXPECT_FALSE(hasFcnIndex(l));
  l.l_flags = 3;
  EXPECT_TRUE(hasFcnIndex(l));
}

TEST(CoffClassify, SectionTypesAndFlags) {
  struct Case {
    std::uint32_t flags;
    int type;
  };
  const Case cases[] = {{0x0060, 1}, {0x0040, 2}, {0x01C0, 2}, {0x0180, 3},
                        {0x0100, 4}, {0xF000, 0}, {0, 0}};
  for (const Case& c : cases) {
    scnhdr h;
    h.s_flags = c.flags;
    EXPECT_EQ(getScnType(h), c.type) << std::hex << c.flags;
  }
  scnhdr h;
  h.s_flags = 0xFFFF;
  setScnFlags(h, 2, true, false, true);
  EXPECT_EQ(h.s_flags, 0x9040u);
  setScnFlags(h, 3, false, true, false);
  EXPECT_EQ(h.s_flags, 0x2080u);
  EXPECT_TRUE(isUdataScn(h));
  EXPECT_TRUE(isShareScn(h));
  EXPECT_FALSE(isAbsScn(h));
  setScnFlags(h, 7, true, true, true);  // no type bit, never the overlay bit
  EXPECT_EQ(h.s_flags, 0xB000u);
  EXPECT_FALSE(isOverlayScn(h));
  EXPECT_TRUE(isAccessScn(h));
  h.s_flags = kScnOverlay;
  EXPECT_TRUE(isOverlayScn(h));
}

TEST(CoffRecords, OrderingAndEquality) {
  reloc a, b;
  a.r_vaddr = 1;
  b.r_vaddr = 0xFFFFFFFF;  // unsigned comparison
  EXPECT_TRUE(a < b);
  b = a;
  b.r_offset = 5;
  EXPECT_TRUE(a == b);
  b.r_type = 2;
  EXPECT_FALSE(a == b);

  coff_lineno x, y;
  x.l_lnno = 2;
  y.l_lnno = 10;
  std::vector<coff_lineno> v = {y, x};
  std::sort(v.begin(), v.end());
  EXPECT_EQ(v[0].l_lnno, 2);
  y = x;
  y.l_flags = 1;
  y.l_fcnndx = 77;
  EXPECT_TRUE(x == y);
  y.l_paddr = 1;
  EXPECT_FALSE(x == y);
}

// ---------------------------------------------------------------------------
// Data.

TEST(CoffData, ConstructionCopyAndAppend) {
  const unsigned char bytes[] = {1, 2, 3};
  Data empty;
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.data(), nullptr);

  Data zeros(4);
  ASSERT_EQ(zeros.size(), 4u);
  EXPECT_EQ(zeros.data()[3], 0);

  Data d(3, bytes);
  Data copy(d);
  copy.data()[0] = 9;  // deep copy
  EXPECT_EQ(d.data()[0], 1);
  d.append(Data());
  EXPECT_EQ(d.size(), 3u);
  EXPECT_EQ(d.data()[2], 3);
  d.append(copy);
  ASSERT_EQ(d.size(), 6u);
  const unsigned char joined[] = {1, 2, 3, 9, 2, 3};
  EXPECT_EQ(0, std::memcmp(d.data(), joined, 6));

  Data& self = d;
  d = self;
  EXPECT_EQ(d.size(), 6u);
  EXPECT_EQ(d.data()[3], 9);
  zeros = d;
  EXPECT_EQ(zeros.size(), 6u);
  empty.append(Data(2, bytes));
  EXPECT_EQ(empty.size(), 2u);
}

// Zeros are a count until their bytes are asked for; copies and joins of
// them keep it so, and a join with real bytes gives the zeros in place.
TEST(CoffData, ZerosHoldNoBytesUntilAskedFor) {
  const unsigned char bytes[] = {1, 2, 3};
  Data zeros(std::uint32_t(64) << 20);
  EXPECT_EQ(zeros.heldSize(), 0u);
  Data copy(zeros);
  EXPECT_EQ(copy.size(), std::uint32_t(64) << 20);
  EXPECT_EQ(copy.heldSize(), 0u);
  copy.append(Data(16));
  EXPECT_EQ(copy.size(), (std::uint32_t(64) << 20) + 16);
  EXPECT_EQ(copy.heldSize(), 0u);
  std::ostringstream text;
  Data(5).print(text);
  EXPECT_EQ(text.str(), "00000000 00\n");

  Data mixed(2);
  mixed.append(Data(3, bytes));
  mixed.append(Data(2));
  ASSERT_EQ(mixed.heldSize(), 7u);
  const unsigned char joined[] = {0, 0, 1, 2, 3, 0, 0};
  EXPECT_EQ(0, std::memcmp(mixed.data(), joined, 7));

  const Data& asked = zeros;
  EXPECT_EQ(asked.data()[(std::uint32_t(64) << 20) - 1], 0);
  EXPECT_EQ(zeros.heldSize(), std::uint32_t(64) << 20);
}

// ---------------------------------------------------------------------------
// Copies of a Coff are independent.

TEST(CoffModel, DefaultIsZeroAndCopiesAreIndependent) {
  Coff c;
  EXPECT_EQ(c.cFileHdr.f_magic, 0);
  EXPECT_EQ(c.cFileHdr.f_opthdr, 0);
  EXPECT_EQ(c.cOptHdr.proc_type, 0u);
  EXPECT_EQ(c.cOptHdr.rom_width_bits, 0u);

  fixtures::CoffBuilder b;
  b.section(".code", scnCode, 0, {1, 2});
  b.externDef("main", 1, 0);
  Coff a = b.model();
  Coff copy = a;
  copy.cRawData[".code"].data()[0] = 7;
  copy.cSymbolTbl[0][8] = 1;
  copy.cStringTbl[4] = "x";
  EXPECT_EQ(a.cRawData[".code"].data()[0], 1);
  EXPECT_EQ(a.cSymbolTbl[0][8], 0);
  EXPECT_TRUE(a.cStringTbl.empty());
  a = a;
  EXPECT_EQ(a.cRawData[".code"].size(), 2u);
}

// ---------------------------------------------------------------------------
// Names through the string table.

TEST(CoffNames, InlineAndLongNames) {
  Coff c;
  c.cStringTbl = {{4, "longer_name"}, {16, "dup_named"}, {26, "dup_named"}};
  scnhdr h;
  c.setName(h, "exactly8");
  EXPECT_EQ(0, std::memcmp(h.s_name, "exactly8", 8));  // no terminating zero
  EXPECT_EQ(c.getName(h), "exactly8");
  c.setName(h, ".a");
  EXPECT_EQ(0, std::memcmp(h.s_name, ".a\0\0\0\0\0\0", 8));
  EXPECT_EQ(c.getName(h), ".a");

  c.setName(h, "dup_named");
  EXPECT_TRUE(hasLongName(h));
  EXPECT_EQ(h.s_offset(), 16u);  // the first equal entry
  EXPECT_EQ(c.getName(h), "dup_named");

  syment s;
  c.setName(s, "longer_name");
  EXPECT_TRUE(hasLongName(s));
  EXPECT_EQ(s.n_offset(), 4u);
  EXPECT_EQ(c.getName(s), "longer_name");

  aux_file a;
  a.x_offset = 26;
  EXPECT_EQ(c.getName(a), "dup_named");
}

TEST(CoffNames, MissingStringsAreFatal) {
  struct Case {
    const char* what;
    void (*run)(const Coff&);
    const char* message;
  };
  const Case cases[] = {
      {"section getName",
       [](const Coff& c) {
         scnhdr h;
         h.set_s_offset(8);
         c.getName(h);
       },
       "Error - Unable to find section name in string table.\n"},
      {"symbol getName",
       [](const Coff& c) {
         syment s;
         s.set_n_offset(8);
         c.getName(s);
       },
       "Error - Unable to find symbol name in string table.\n"},
      {"aux_file getName",
       [](const Coff& c) {
         aux_file a;
         a.x_offset = 99;
         c.getName(a);
       },
       "Error - Unable to find aux_file name in string table.\n"},
      {"section setName",
       [](const Coff& c) {
         scnhdr h;
         c.setName(h, "not_in_table");
       },
       "Error - Could not find section name 'not_in_table' in string table.\n"},
      {"symbol setName",
       [](const Coff& c) {
         syment s;
         c.setName(s, "not_in_table");
       },
       "Error - Could not find symbol name 'not_in_table' in string table.\n"},
  };
  Coff c;
  c.cStringTbl = {{4, "present_name"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    DiagnosticsScope scope;
    ExitTrap trap;
    OutputCapture out;
    int status = -1;
    try {
      k.run(c);
    } catch (const ProcessExit& e) {
      status = e.status;
    }
    EXPECT_EQ(status, 255);
    EXPECT_EQ(out.text(), String(k.message) + "Errors    : 1\nWarnings  : 0\n\n");
  }
}

TEST(CoffNames, FailedSetNameLeavesTheRecordWhenTheExitReturns) {
  DiagnosticsScope scope;
  ExitRecorder recorder;
  OutputCapture out;
  Coff c;
  scnhdr h;
  c.setName(h, ".keep");
  c.setName(h, "not_in_table");
  EXPECT_EQ(ExitRecorder::count(), 1);
  EXPECT_EQ(c.getName(h), ".keep");
  h.set_s_offset(40);
  EXPECT_EQ(c.getName(h), "");
}

}  // namespace

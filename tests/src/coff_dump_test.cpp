// Debug dumps of records, Data and whole images.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "coff.h"
#include "fixtures/coff_builder.h"

namespace {

template <class T>
String dump(const T& record) {
  std::ostringstream os;
  print(record, os);
  return os.str();
}

TEST(CoffDump, RecordLines) {
  reloc r;
  r.r_vaddr = 0x1234;
  r.r_symndx = 7;
  r.r_offset = -2;
  r.r_type = 4;
  EXPECT_EQ(dump(r), "Relocation: r_vaddr=0x00001234, r_symndx=7, r_offset=-2, r_type=4\n");

  coff_lineno l;
  l.l_srcndx = 1;
  l.l_lnno = 20;
  l.l_paddr = 0x40;
  l.l_flags = 1;
  l.l_fcnndx = 3;
  EXPECT_EQ(dump(l), "Line Number: l_srcndx=1, l_lnno=20, l_paddr=0x00000040, l_flags=0x0001, l_fcnndx=3\n");

  gnu_lineno g;
  g.l_paddr = 0x10;
  g.l_lnno = 5;
  EXPECT_EQ(dump(g), "Gnu Line Number: l_paddr=0x00000010, l_lnno=5\n");
  g.l_lnno = 0;
  EXPECT_EQ(dump(g), "Gnu Line Number: l_paddr=0x00000010, l_symndx=16\n");

  syment s;
  std::memcpy(s.n_name, "main", 4);
  s.n_value = 0x100;
  s.n_scnum = -1;
  s.n_type = 0x20;
  s.n_sclass = 2;
  s.n_numaux = 1;
  EXPECT_EQ(dump(s),
            "Symbol: _n_name=main, n_value=0x00000100, n_scnum=-1, n_type=0x0020, n_sclass=2, n_numaux=1\n");
  s.set_n_offset(12);
  EXPECT_EQ(dump(s).substr(0, 22), "Symbol: _n_offset=12, ");

  aux_fcn f;
  f.x_lnnoptr = 0x80;
  f.x_endndx = 9;
  EXPECT_EQ(dump(f), "Aux Fcn: x_tagndx=0 (unused?), x_size=0 (unused?), x_lnnoptr=0x00000080, x_edndx=9\n");
  aux_arr a;
  a.x_size = 8;
  a.x_dimen[1] = 4;
  EXPECT_EQ(dump(a),
            "Aux Arr: x_tagndx=0 (unused?), x_lnno=0 (unused?), x_size=8, x_dimen[0]=0, "
            "x_dimen[1]=4, x_dimen[2]=0, x_dimen[3]=0\n");
  EXPECT_EQ(dump(aux_file{4, 2}), "Aux File: x_offset=4, x_incline=2\n");
  EXPECT_EQ(dump(aux_scn{6, 1, 2}), "Aux Scn: x_scnlen=6, x_nreloc=1, x_nlinno=2\n");
  EXPECT_EQ(dump(aux_tag{4, 11}), "Aux Tag: x_size=4, x_endndx=11\n");
  EXPECT_EQ(dump(aux_eos{3, 4}), "Aux Eos: x_tagndx=3, x_size=4\n");
  EXPECT_EQ(dump(aux_eobf{9}), "Aux Eobf: x_lnno=9\n");
  EXPECT_EQ(dump(aux_bobf{3, 10}), "Aux Bobf: x_lnno=3, x_endndx=10\n");
  EXPECT_EQ(dump(aux_var{3, 4}), "Aux Var: x_tagndx=3, x_size=4\n");
}

TEST(CoffDump, Headers) {
  filehdr f;
  f.f_magic = 0x1234;
  f.f_nscns = 2;
  f.f_timdat = 0;
  f.f_symptr = 0x100;
  f.f_nsyms = 5;
  f.f_opthdr = 16;
  f.f_flags = 0x86;
  EXPECT_EQ(dump(f),
            "File Header: \nf_magic=4660\nf_nscns=2\nf_timdat=0 (Thu Jan  1 00:00:00 1970) \n"
            "f_symptr=0x00000100\nf_nsyms=5\nf_opthdr=16\nf_flags=0x0086\n");
  opthdr o;
  o.proc_type = 0xABCD;
  o.rom_width_bits = 14;
  o.ram_width_bits = 8;
  EXPECT_EQ(dump(o),
            "Optional Header: \nmagic=0\nvstamp=0\nproc_type=0x0000abcd\nrom_width_bits=14\n"
            "ram_width_bits=8\n");
  scnhdr h;
  std::memcpy(h.s_name, ".code", 5);
  h.s_size = 4;
  h.s_nreloc = 1;
  h.s_flags = 0x20;
  EXPECT_EQ(dump(h),
            "Section Header: \n_s_name=.code\ns_paddr=0x00000000\ns_vaddr=0x00000000\n"
            "s_size=0x00000004\ns_scnptr=0x00000000\ns_relptr=0x00000000\ns_lnnoptr=0x00000000\n"
            "s_nreloc=1\ns_nlnno=0\ns_flags=0x00000020\n");
  h.set_s_offset(30);
  EXPECT_EQ(dump(h).substr(0, 30), "Section Header: \n_s_offset=30\n");
}

TEST(CoffDump, DataGroupsAndLines) {
  unsigned char bytes[34];
  for (int i = 0; i < 34; ++i) bytes[i] = static_cast<unsigned char>(i * 7);
  std::ostringstream os;
  Data(34, bytes).print(os);
  EXPECT_EQ(os.str(),
            "00070e15 1c232a31 383f464d 545b6269 70777e85 8c939aa1 a8afb6bd c4cbd2d9 \n"
            "e0e7\n");
  std::ostringstream empty;
  Data().print(empty);
  EXPECT_EQ(empty.str(), "\n");
}

TEST(CoffDump, WholeImage) {
  fixtures::CoffBuilder b("d.o");
  b.section(".code", scnCode, 0, {0xAB, 0xCD});
  const std::uint32_t f = b.file("a_long_source.asm");
  b.function("main", 1, 0);
  b.relocation(".code", 0, 2, 1);
  b.lineNumber(".code", f, 3, 0, 2);
  const Coff c = b.laidOut();
  std::ostringstream os;
  c.print(os);
  const String text = os.str();
  EXPECT_EQ(text.rfind("CoffFile: \n\nFile Header: \n", 0), 0u);
  for (const char* part :
       {"Optional Header: \n", "_s_name=.code\n", "Line Number: l_srcndx=0, l_lnno=3",
        "Relocation: r_vaddr=0x00000000, r_symndx=2", "Raw Data: \nabcd\n", "Symbol Table: \n",
        "Index[0]= Symbol: _n_name=.file", "Index[1]= Aux File: x_offset=4, x_incline=0\n",
        "Index[3]= Aux Fcn: ", "String Table: \nOffset[4]= a_long_source.asm\n"})
    EXPECT_NE(text.find(part), String::npos) << part;
}

}  // namespace

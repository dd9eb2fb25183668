// Text dumps of the records, of Data and of a whole image (debugging aids
// printed only behind debug switches).
#include <cstdio>

#include "coff.h"
#include "platform.h"
#include "textutil.h"

namespace {

String hex2(std::uint32_t v) { return hexString(v, 2); }
String hex4(std::uint32_t v) { return hexString(v, 4); }

String inlineText(const char* name) {
  std::size_t n = 0;
  while (n < 8 && name[n] != 0) ++n;
  return String(name, n);
}

String timeText(std::uint32_t t) {
  String text = platform::ctimeText(static_cast<std::time_t>(t));
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

void printAux(const SymRecord& rec, std::uint32_t kind, std::ostream& os) {
  switch (kind) {
    case auxFile: print(aux_file::decode(rec), os); break;
    case auxScn: print(aux_scn::decode(rec), os); break;
    case auxTag: print(aux_tag::decode(rec), os); break;
    case auxEos: print(aux_eos::decode(rec), os); break;
    case auxFcn: print(aux_fcn::decode(rec), os); break;
    case auxArr: print(aux_arr::decode(rec), os); break;
    case auxEobf: print(aux_eobf::decode(rec), os); break;
    case auxBobf: print(aux_bobf::decode(rec), os); break;
    case auxVar: print(aux_var::decode(rec), os); break;
    default: {
      os << "Aux Unknown: ";
      for (unsigned char b : rec) os << ' ' << hex2(b);
      os << '\n';
      break;
    }
  }
}

}  // namespace

void print(const filehdr& r, std::ostream& os) {
  os << "File Header: \n"
     << "f_magic=" << r.f_magic << '\n'
     << "f_nscns=" << r.f_nscns << '\n'
     << "f_timdat=" << r.f_timdat << " (" << timeText(r.f_timdat) << ") \n"
     << "f_symptr=" << hex4(r.f_symptr) << '\n'
     << "f_nsyms=" << r.f_nsyms << '\n'
     << "f_opthdr=" << r.f_opthdr << '\n'
     << "f_flags=" << hex2(r.f_flags) << '\n';
}

void print(const opthdr& r, std::ostream& os) {
  os << "Optional Header: \n"
     << "magic=" << r.magic << '\n'
     << "vstamp=" << r.vstamp << '\n'
     << "proc_type=" << hex4(r.proc_type) << '\n'
     << "rom_width_bits=" << r.rom_width_bits << '\n'
     << "ram_width_bits=" << r.ram_width_bits << '\n';
}

void print(const scnhdr& r, std::ostream& os) {
  os << "Section Header: \n";
  if (hasLongName(r))
    os << "_s_offset=" << r.s_offset() << '\n';
  else
    os << "_s_name=" << inlineText(r.s_name) << '\n';
  os << "s_paddr=" << hex4(r.s_paddr) << '\n'
     << "s_vaddr=" << hex4(r.s_vaddr) << '\n'
     << "s_size=" << hex4(r.s_size) << '\n'
     << "s_scnptr=" << hex4(r.s_scnptr) << '\n'
     << "s_relptr=" << hex4(r.s_relptr) << '\n'
     << "s_lnnoptr=" << hex4(r.s_lnnoptr) << '\n'
     << "s_nreloc=" << r.s_nreloc << '\n'
     << "s_nlnno=" << r.s_nlnno << '\n'
     << "s_flags=" << hex4(r.s_flags) << '\n';
}

void print(const reloc& r, std::ostream& os) {
  os << "Relocation: r_vaddr=" << hex4(r.r_vaddr) << ", r_symndx=" << r.r_symndx
     << ", r_offset=" << r.r_offset << ", r_type=" << r.r_type << '\n';
}

void print(const gnu_lineno& r, std::ostream& os) {
  os << "Gnu Line Number: l_paddr=" << hex4(r.l_paddr) << ", ";
  if (r.l_lnno != 0)
    os << "l_lnno=" << r.l_lnno << '\n';
  else
    os << "l_symndx=" << r.l_symndx() << '\n';
}

void print(const coff_lineno& r, std::ostream& os) {
  os << "Line Number: l_srcndx=" << r.l_srcndx << ", l_lnno=" << r.l_lnno
     << ", l_paddr=" << hex4(r.l_paddr) << ", l_flags=" << hex2(r.l_flags)
     << ", l_fcnndx=" << r.l_fcnndx << '\n';
}

void print(const syment& r, std::ostream& os) {
  os << "Symbol: ";
  if (hasLongName(r))
    os << "_n_offset=" << r.n_offset();
  else
    os << "_n_name=" << inlineText(r.n_name);
  os << ", n_value=" << hex4(r.n_value) << ", n_scnum=" << r.n_scnum
     << ", n_type=" << hex2(r.n_type) << ", n_sclass=" << unsigned(r.n_sclass)
     << ", n_numaux=" << unsigned(r.n_numaux) << '\n';
}

void print(const aux_file& r, std::ostream& os) {
  os << "Aux File: x_offset=" << r.x_offset << ", x_incline=" << r.x_incline << '\n';
}

void print(const aux_scn& r, std::ostream& os) {
  os << "Aux Scn: x_scnlen=" << r.x_scnlen << ", x_nreloc=" << r.x_nreloc
     << ", x_nlinno=" << r.x_nlinno << '\n';
}

void print(const aux_tag& r, std::ostream& os) {
  os << "Aux Tag: x_size=" << r.x_size << ", x_endndx=" << r.x_endndx << '\n';
}

void print(const aux_eos& r, std::ostream& os) {
  os << "Aux Eos: x_tagndx=" << r.x_tagndx << ", x_size=" << r.x_size << '\n';
}

void print(const aux_fcn& r, std::ostream& os) {
  os << "Aux Fcn: x_tagndx=" << r.x_tagndx << " (unused?), x_size=" << r.x_size
     << " (unused?), x_lnnoptr=" << hex4(r.x_lnnoptr) << ", x_edndx=" << r.x_endndx << '\n';
}

void print(const aux_arr& r, std::ostream& os) {
  os << "Aux Arr: x_tagndx=" << r.x_tagndx << " (unused?), x_lnno=" << r.x_lnno
     << " (unused?), x_size=" << r.x_size;
  for (int i = 0; i < 4; ++i) os << ", x_dimen[" << i << "]=" << r.x_dimen[i];
  os << '\n';
}

void print(const aux_eobf& r, std::ostream& os) { os << "Aux Eobf: x_lnno=" << r.x_lnno << '\n'; }

void print(const aux_bobf& r, std::ostream& os) {
  os << "Aux Bobf: x_lnno=" << r.x_lnno << ", x_endndx=" << r.x_endndx << '\n';
}

void print(const aux_var& r, std::ostream& os) {
  os << "Aux Var: x_tagndx=" << r.x_tagndx << ", x_size=" << r.x_size << '\n';
}

void Data::print(std::ostream& os) const {
  char digits[8];
  for (std::uint32_t i = 0; i < cSize; ++i) {
    if (i != 0 && i % 4 == 0) os << ' ';
    if (i != 0 && i % 32 == 0) os << '\n';
    std::snprintf(digits, sizeof digits, "%0*x", 2, cBytes ? cBytes[i] : 0);
    os << digits;
  }
  os << '\n';
}

void Coff::print(std::ostream& os) const {
  os << "CoffFile: \n\n";
  ::print(cFileHdr, os);
  os << '\n';
  ::print(cOptHdr, os);
  os << '\n';
  for (const auto& entry : cScnNum) {
    const String& name = entry.second;
    auto hdr = cScnHdr.find(name);
    ::print(hdr != cScnHdr.end() ? hdr->second : scnhdr(), os);
    auto lines = cLineInfo.find(name);
    if (lines != cLineInfo.end() && !lines->second.empty()) {
      for (const coff_lineno& l : lines->second) ::print(l, os);
      os << '\n';
    }
    auto relocs = cRelocInfo.find(name);
    if (relocs != cRelocInfo.end() && !relocs->second.empty()) {
      for (const reloc& r : relocs->second) ::print(r, os);
      os << '\n';
    }
    os << "Raw Data: \n";
    auto raw = cRawData.find(name);
    (raw != cRawData.end() ? raw->second : Data()).print(os);
    os << '\n';
  }
  os << "Symbol Table: \n";
  for (std::size_t i = 0; i < cSymbolTbl.size(); ++i) {
    os << "Index[" << i << "]= ";
    const std::uint32_t kind = i < cAuxKind.size() ? cAuxKind[i] : auxNone;
    if (kind == auxNone)
      ::print(syment::decode(cSymbolTbl[i]), os);
    else
      printAux(cSymbolTbl[i], kind, os);
  }
  os << '\n' << "String Table: \n";
  for (const auto& entry : cStringTbl) os << "Offset[" << entry.first << "]= " << entry.second << '\n';
}

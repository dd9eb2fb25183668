// Record codecs, classification, predicates, Data and name lookup.
#include "coff.h"

#include <cstring>
#include <sstream>

#include "platform.h"

using le::getS16;
using le::getU16;
using le::getU32;
using le::putS16;
using le::putU16;
using le::putU32;

// ---------------------------------------------------------------------------
// Codecs.

filehdr filehdr::decode(const unsigned char* p) {
  filehdr h;
  h.f_magic = getU16(p + 0);
  h.f_nscns = getU16(p + 2);
  h.f_timdat = getU32(p + 4);
  h.f_symptr = getU32(p + 8);
  h.f_nsyms = getU32(p + 12);
  h.f_opthdr = getU16(p + 16);
  h.f_flags = getU16(p + 18);
  return h;
}

void filehdr::encode(unsigned char* p) const {
  putU16(p + 0, f_magic);
  putU16(p + 2, f_nscns);
  putU32(p + 4, f_timdat);
  putU32(p + 8, f_symptr);
  putU32(p + 12, f_nsyms);
  putU16(p + 16, f_opthdr);
  putU16(p + 18, f_flags);
}

opthdr opthdr::decode(const unsigned char* p) {
  opthdr h;
  h.magic = getU16(p + 0);
  h.vstamp = getU16(p + 2);
  h.proc_type = getU32(p + 4);
  h.rom_width_bits = getU32(p + 8);
  h.ram_width_bits = getU32(p + 12);
  return h;
}

void opthdr::encode(unsigned char* p) const {
  putU16(p + 0, magic);
  putU16(p + 2, vstamp);
  putU32(p + 4, proc_type);
  putU32(p + 8, rom_width_bits);
  putU32(p + 12, ram_width_bits);
}

namespace {

std::uint32_t nameOffset(const char* name) {
  return getU32(reinterpret_cast<const unsigned char*>(name) + 4);
}

void setNameOffset(char* name, std::uint32_t offset) {
  unsigned char* p = reinterpret_cast<unsigned char*>(name);
  putU32(p, 0);
  putU32(p + 4, offset);
}

bool nameIsLong(const char* name) {
  return name[0] == 0 && name[1] == 0 && name[2] == 0 && name[3] == 0;
}

// The inline name: up to the first zero, at most 8 characters.
String inlineName(const char* name) {
  std::size_t n = 0;
  while (n < 8 && name[n] != 0) ++n;
  return String(name, n);
}

}  // namespace

std::uint32_t scnhdr::s_offset() const { return nameOffset(s_name); }
void scnhdr::set_s_offset(std::uint32_t offset) { setNameOffset(s_name, offset); }

scnhdr scnhdr::decode(const unsigned char* p) {
  scnhdr h;
  std::memcpy(h.s_name, p, 8);
  h.s_paddr = getU32(p + 8);
  h.s_vaddr = getU32(p + 12);
  h.s_size = getU32(p + 16);
  h.s_scnptr = getU32(p + 20);
  h.s_relptr = getU32(p + 24);
  h.s_lnnoptr = getU32(p + 28);
  h.s_nreloc = getU16(p + 32);
  h.s_nlnno = getU16(p + 34);
  h.s_flags = getU32(p + 36);
  return h;
}

void scnhdr::encode(unsigned char* p) const {
  std::memcpy(p, s_name, 8);
  putU32(p + 8, s_paddr);
  putU32(p + 12, s_vaddr);
  putU32(p + 16, s_size);
  putU32(p + 20, s_scnptr);
  putU32(p + 24, s_relptr);
  putU32(p + 28, s_lnnoptr);
  putU16(p + 32, s_nreloc);
  putU16(p + 34, s_nlnno);
  putU32(p + 36, s_flags);
}

reloc reloc::decode(const unsigned char* p) {
  reloc r;
  r.r_vaddr = getU32(p + 0);
  r.r_symndx = getU32(p + 4);
  r.r_offset = getS16(p + 8);
  r.r_type = getU16(p + 10);
  return r;
}

void reloc::encode(unsigned char* p) const {
  putU32(p + 0, r_vaddr);
  putU32(p + 4, r_symndx);
  putS16(p + 8, r_offset);
  putU16(p + 10, r_type);
}

old_reloc old_reloc::decode(const unsigned char* p) {
  old_reloc r;
  r.r_vaddr = getU32(p + 0);
  r.r_symndx = getU32(p + 4);
  r.r_type = getU16(p + 8);
  return r;
}

void old_reloc::encode(unsigned char* p) const {
  putU32(p + 0, r_vaddr);
  putU32(p + 4, r_symndx);
  putU16(p + 8, r_type);
}

coff_lineno coff_lineno::decode(const unsigned char* p) {
  coff_lineno l;
  l.l_srcndx = getU32(p + 0);
  l.l_lnno = getU16(p + 4);
  l.l_paddr = getU32(p + 6);
  l.l_flags = getU16(p + 10);
  l.l_fcnndx = getU32(p + 12);
  return l;
}

void coff_lineno::encode(unsigned char* p) const {
  putU32(p + 0, l_srcndx);
  putU16(p + 4, l_lnno);
  putU32(p + 6, l_paddr);
  putU16(p + 10, l_flags);
  putU32(p + 12, l_fcnndx);
}

gnu_lineno gnu_lineno::decode(const unsigned char* p) {
  gnu_lineno l;
  l.l_paddr = getU32(p + 0);
  l.l_lnno = getU16(p + 4);
  return l;
}

void gnu_lineno::encode(unsigned char* p) const {
  putU32(p + 0, l_paddr);
  putU16(p + 4, l_lnno);
}

std::uint32_t syment::n_offset() const { return nameOffset(n_name); }
void syment::set_n_offset(std::uint32_t offset) { setNameOffset(n_name, offset); }

syment syment::decode(const unsigned char* p) {
  syment s;
  std::memcpy(s.n_name, p, 8);
  s.n_value = getU32(p + 8);
  s.n_scnum = getS16(p + 12);
  s.n_type = getU16(p + 14);
  s.n_sclass = p[16];
  s.n_numaux = p[17];
  return s;
}

void syment::encode(unsigned char* p) const {
  std::memcpy(p, n_name, 8);
  putU32(p + 8, n_value);
  putS16(p + 12, n_scnum);
  putU16(p + 14, n_type);
  p[16] = n_sclass;
  p[17] = n_numaux;
}

aux_file aux_file::decode(const unsigned char* p) {
  aux_file a;
  a.x_offset = getU32(p + 0);
  a.x_incline = getU32(p + 4);
  return a;
}
void aux_file::encode(unsigned char* p) const {
  putU32(p + 0, x_offset);
  putU32(p + 4, x_incline);
}

aux_scn aux_scn::decode(const unsigned char* p) {
  aux_scn a;
  a.x_scnlen = getU32(p + 0);
  a.x_nreloc = getU16(p + 4);
  a.x_nlinno = getU16(p + 6);
  return a;
}
void aux_scn::encode(unsigned char* p) const {
  putU32(p + 0, x_scnlen);
  putU16(p + 4, x_nreloc);
  putU16(p + 6, x_nlinno);
}

aux_tag aux_tag::decode(const unsigned char* p) {
  aux_tag a;
  a.x_size = getU16(p + 6);
  a.x_endndx = getU32(p + 12);
  return a;
}
void aux_tag::encode(unsigned char* p) const {
  putU16(p + 6, x_size);
  putU32(p + 12, x_endndx);
}

aux_eos aux_eos::decode(const unsigned char* p) {
  aux_eos a;
  a.x_tagndx = getU32(p + 0);
  a.x_size = getU16(p + 6);
  return a;
}
void aux_eos::encode(unsigned char* p) const {
  putU32(p + 0, x_tagndx);
  putU16(p + 6, x_size);
}

aux_fcn aux_fcn::decode(const unsigned char* p) {
  aux_fcn a;
  a.x_tagndx = getU32(p + 0);
  a.x_size = getU32(p + 4);
  a.x_lnnoptr = getU32(p + 8);
  a.x_endndx = getU32(p + 12);
  return a;
}
void aux_fcn::encode(unsigned char* p) const {
  putU32(p + 0, x_tagndx);
  putU32(p + 4, x_size);
  putU32(p + 8, x_lnnoptr);
  putU32(p + 12, x_endndx);
}

aux_arr aux_arr::decode(const unsigned char* p) {
  aux_arr a;
  a.x_tagndx = getU32(p + 0);
  a.x_lnno = getU16(p + 4);
  a.x_size = getU16(p + 6);
  for (int i = 0; i < 4; ++i) a.x_dimen[i] = getU16(p + 8 + 2 * i);
  return a;
}
void aux_arr::encode(unsigned char* p) const {
  putU32(p + 0, x_tagndx);
  putU16(p + 4, x_lnno);
  putU16(p + 6, x_size);
  for (int i = 0; i < 4; ++i) putU16(p + 8 + 2 * i, x_dimen[i]);
}

aux_eobf aux_eobf::decode(const unsigned char* p) {
  aux_eobf a;
  a.x_lnno = getU16(p + 4);
  return a;
}
void aux_eobf::encode(unsigned char* p) const { putU16(p + 4, x_lnno); }

aux_bobf aux_bobf::decode(const unsigned char* p) {
  aux_bobf a;
  a.x_lnno = getU16(p + 4);
  a.x_endndx = getU32(p + 12);
  return a;
}
void aux_bobf::encode(unsigned char* p) const {
  putU16(p + 4, x_lnno);
  putU32(p + 12, x_endndx);
}

aux_var aux_var::decode(const unsigned char* p) {
  aux_var a;
  a.x_tagndx = getU32(p + 0);
  a.x_size = getU16(p + 6);
  return a;
}
void aux_var::encode(unsigned char* p) const {
  putU32(p + 0, x_tagndx);
  putU16(p + 6, x_size);
}

// ---------------------------------------------------------------------------
// Classification and predicates.

bool isArray(const syment& s) {
  for (int shift = 4; shift <= 14; shift += 2)
    if (((s.n_type >> shift) & 3) == 3) return true;
  return false;
}

bool isFunction(const syment& s) { return ((s.n_type >> 4) & 3) == 2; }

bool isTag(const syment& s) {
  return s.n_sclass == kClassStructTag || s.n_sclass == kClassUnionTag ||
         s.n_sclass == kClassEnumTag;
}

bool isStructUnionEnum(const syment& s) {
  const unsigned base = s.n_type & 0xF;
  return base == kTypeStruct || base == kTypeUnion || base == kTypeEnum;
}

bool isSection(const syment& s) {
  return s.n_sclass == kClassSection || (s.n_sclass == kClassStatic && s.n_name[0] == '.');
}

bool isRelocatable(const syment& s) {
  if (s.n_scnum < 1) return false;
  switch (s.n_sclass) {
    case kClassExternal:
    case kClassStatic:
    case kClassLabel:
    case kClassBlock:
    case kClassFunction:
      return true;
    default:
      return false;
  }
}

bool isExtDef(const syment& s) { return s.n_sclass == kClassExternal && s.n_scnum > 0; }
bool isExtRef(const syment& s) { return s.n_sclass == kClassExternal && s.n_scnum == 0; }
bool hasLongName(const syment& s) { return nameIsLong(s.n_name); }
bool hasLongName(const scnhdr& h) { return nameIsLong(h.s_name); }

bool hasFcnIndex(const coff_lineno& l) { return (l.l_flags & kLineHasFcnIndex) != 0; }

AuxKind auxKind(const syment& s) {
  if (s.n_numaux == 0) return auxNone;
  if (s.n_sclass == kClassFile) return auxFile;
  if (s.n_sclass == kClassEndOfStruct) return auxEos;
  if (isArray(s)) return auxArr;
  if (isFunction(s)) return auxFcn;
  if (!hasLongName(s)) {
    const String name = inlineName(s.n_name);
    if (name == ".bf") return auxBobf;
    if (name == ".ef") return auxEobf;
    if (name == ".bb") return auxBobf;
    if (name == ".eb") return auxEobf;
  }
  if (isTag(s)) return auxTag;
  if (isStructUnionEnum(s)) return auxVar;
  if (isSection(s)) return auxScn;
  return auxNone;
}

int getScnType(const scnhdr& h) {
  if (h.s_flags & kScnCode) return scnCode;
  if (h.s_flags & kScnIData) return scnIData;
  if (h.s_flags & kScnUData) return scnUData;
  if (h.s_flags & kScnRomData) return scnRomData;
  return scnNone;
}

bool isUdataScn(const scnhdr& h) { return (h.s_flags & kScnUData) != 0; }
bool isAbsScn(const scnhdr& h) { return (h.s_flags & kScnAbsolute) != 0; }
bool isShareScn(const scnhdr& h) { return (h.s_flags & kScnShare) != 0; }
bool isOverlayScn(const scnhdr& h) { return (h.s_flags & kScnOverlay) != 0; }
bool isAccessScn(const scnhdr& h) { return (h.s_flags & kScnAccess) != 0; }

void setScnFlags(scnhdr& h, int type, bool absolute, bool share, bool access) {
  h.s_flags = 0;
  if (absolute) h.s_flags |= kScnAbsolute;
  if (share) h.s_flags |= kScnShare;
  if (access) h.s_flags |= kScnAccess;
  switch (type) {
    case scnCode: h.s_flags |= kScnCode; break;
    case scnIData: h.s_flags |= kScnIData; break;
    case scnUData: h.s_flags |= kScnUData; break;
    case scnRomData: h.s_flags |= kScnRomData; break;
    default: break;
  }
}

// ---------------------------------------------------------------------------
// Data.

Data::Data(std::uint32_t size, const unsigned char* bytes) : cSize(size) {
  if (cSize != 0) {
    cBytes.reset(new unsigned char[cSize]);
    std::memcpy(cBytes.get(), bytes, cSize);
  }
}

Data::Data(std::uint32_t size) : cSize(size) {}

Data::Data(const Data& o) : cSize(o.cSize) {
  if (o.cBytes) {
    cBytes.reset(new unsigned char[cSize]);
    std::memcpy(cBytes.get(), o.cBytes.get(), cSize);
  }
}

unsigned char* Data::bytes() const {
  if (!cBytes && cSize != 0) cBytes.reset(new unsigned char[cSize]());
  return cBytes.get();
}

Data& Data::operator=(const Data& o) {
  if (this != &o) {
    Data copy(o);
    *this = std::move(copy);
  }
  return *this;
}

Data::Data(Data&& o) noexcept : cSize(o.cSize), cBytes(std::move(o.cBytes)) { o.cSize = 0; }

Data& Data::operator=(Data&& o) noexcept {
  if (this != &o) {
    cBytes = std::move(o.cBytes);
    cSize = o.cSize;
    o.cSize = 0;
  }
  return *this;
}

void Data::append(const Data& o) {
  if (o.cSize == 0) return;
  TOOL_ASSERT(o.cSize <= UINT32_MAX - cSize);
  if (o.cSize > UINT32_MAX - cSize) return;
  const std::uint32_t total = cSize + o.cSize;
  if (!cBytes && !o.cBytes) {
    cSize = total;  // zeros after zeros
    return;
  }
  std::unique_ptr<unsigned char[]> joined(new unsigned char[total]());
  if (cBytes) std::memcpy(joined.get(), cBytes.get(), cSize);
  if (o.cBytes) std::memcpy(joined.get() + cSize, o.cBytes.get(), o.cSize);
  cBytes = std::move(joined);
  cSize = total;
}

// ---------------------------------------------------------------------------
// Names.

namespace {

const String* findString(const StringTable& table, std::uint32_t offset) {
  auto it = table.find(offset);
  return it == table.end() ? nullptr : &it->second;
}

String lookupOrFail(const StringTable& table, std::uint32_t offset,
                    const char* failure) {
  if (const String* s = findString(table, offset)) return *s;
  reportMessage(SevError, "Coff::getName()", failure, 1);
  return String();
}

// Copies a short name into an 8-byte field, or looks up the offset of a
// long one; false (after the fatal report) when the table lacks it.
bool storeName(const StringTable& table, char* field, const String& name,
               const char* what) {
  if (name.size() <= 8) {
    std::memset(field, 0, 8);
    std::memcpy(field, name.data(), name.size());
    return true;
  }
  for (const auto& entry : table) {
    if (entry.second == name) {
      setNameOffset(field, entry.first);
      return true;
    }
  }
  std::ostringstream s;
  s << "Could not find " << what << " name '" << name << "' in string table.";
  reportStream(SevError, "Coff::setName()", s, 1);
  return false;
}

}  // namespace

String Coff::getName(const scnhdr& h) const {
  if (hasLongName(h))
    return lookupOrFail(cStringTbl, h.s_offset(), "Unable to find section name in string table.");
  return inlineName(h.s_name);
}

String Coff::getName(const syment& s) const {
  if (hasLongName(s))
    return lookupOrFail(cStringTbl, s.n_offset(), "Unable to find symbol name in string table.");
  return inlineName(s.n_name);
}

const String& Coff::nameRef(const syment& s, String& scratch) const {
  if (hasLongName(s)) {
    if (const String* text = findString(cStringTbl, s.n_offset())) return *text;
    scratch = getName(s);  // the report of the missing string
    return scratch;
  }
  // Straight into the scratch buffer, which keeps its storage from call to
  // call.
  std::size_t n = 0;
  while (n < 8 && s.n_name[n] != 0) ++n;
  scratch.assign(s.n_name, n);
  return scratch;
}

String Coff::getName(const aux_file& a) const {
  return lookupOrFail(cStringTbl, a.x_offset, "Unable to find aux_file name in string table.");
}

void Coff::setName(scnhdr& h, const String& name) const {
  char field[8];
  std::memcpy(field, h.s_name, 8);
  if (storeName(cStringTbl, field, name, "section")) std::memcpy(h.s_name, field, 8);
}

void Coff::setName(syment& s, const String& name) const {
  char field[8];
  std::memcpy(field, s.n_name, 8);
  if (storeName(cStringTbl, field, name, "symbol")) std::memcpy(s.n_name, field, 8);
}

// The object file format shared by every program of the tool chain: its
// on-disk records with their codecs, and `Coff`, the fully decoded image of
// one object file, library member or executable.
//
// Records are plain structs decoded and encoded field by field,
// little-endian; nothing is ever copied to or from disk as a struct.
// Symbol-table records stay as their 18 raw bytes (`SymRecord`) inside the
// model, so bytes an auxiliary layout does not use pass through unchanged;
// decode one with `syment::decode(rec)` or `aux_fcn::decode(rec)` and store
// it back with `.encode(rec)`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <vector>

#include "diagnostics.h"
#include "string_table.h"

struct stat;
namespace replacement {
class OutputFile;
}

// ---------------------------------------------------------------------------
// Little-endian access to byte buffers.
namespace le {
inline std::uint16_t getU16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t getU32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::int16_t getS16(const unsigned char* p) {
  return static_cast<std::int16_t>(getU16(p));
}
inline void putU16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
inline void putU32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}
inline void putS16(unsigned char* p, std::int16_t v) { putU16(p, static_cast<std::uint16_t>(v)); }
}  // namespace le

// ---------------------------------------------------------------------------
// Format constants.

constexpr std::uint16_t kCoffMagic = 0x1234;
constexpr std::uint16_t kOptHdrSize = 16;  // any other f_opthdr marks the older layout

// f_flags bits.
constexpr std::uint16_t kFileExecutable = 0x0002;
constexpr std::uint16_t kFileNoLineNumbers = 0x0004;
constexpr std::uint16_t kFileNoSymbols = 0x0080;
constexpr std::uint16_t kFileFamilyProcessor = 0x8000;  // proc_type names a whole core family

// s_flags bits: the section type is the first of the four type bits set.
constexpr std::uint32_t kScnCode = 0x0020;
constexpr std::uint32_t kScnIData = 0x0040;
constexpr std::uint32_t kScnUData = 0x0080;
constexpr std::uint32_t kScnRomData = 0x0100;
constexpr std::uint32_t kScnAbsolute = 0x1000;
constexpr std::uint32_t kScnShare = 0x2000;
constexpr std::uint32_t kScnOverlay = 0x4000;
constexpr std::uint32_t kScnAccess = 0x8000;

// Section types as getScnType and setScnFlags number them.
enum ScnType { scnNone = 0, scnCode = 1, scnIData = 2, scnUData = 3, scnRomData = 4 };

// n_sclass values the tool chain interprets.
constexpr std::uint8_t kClassExternal = 2;
constexpr std::uint8_t kClassStatic = 3;
constexpr std::uint8_t kClassLabel = 6;
constexpr std::uint8_t kClassStructTag = 10;
constexpr std::uint8_t kClassUnionTag = 12;
constexpr std::uint8_t kClassEnumTag = 15;
constexpr std::uint8_t kClassBlock = 100;     // ".bb" / ".eb"
constexpr std::uint8_t kClassFunction = 101;  // ".bf" / ".ef"
constexpr std::uint8_t kClassEndOfStruct = 102;
constexpr std::uint8_t kClassFile = 103;
constexpr std::uint8_t kClassSection = 109;

// n_type: base types and the derived-type field values.
constexpr std::uint16_t kTypeStruct = 8;
constexpr std::uint16_t kTypeUnion = 9;
constexpr std::uint16_t kTypeEnum = 10;
constexpr std::uint16_t kTypeFunction = 0x20;  // derived field 1 = function
constexpr std::uint16_t kTypeArray = 0x30;     // derived field 1 = array

// Special section numbers that name no section.
constexpr std::int16_t kScnNumUndefined = 0;
constexpr std::int16_t kScnNumAbsolute = -1;
constexpr std::int16_t kScnNumDebug = -2;

// Layout of an auxiliary entry, chosen by the kind of its symbol.
enum AuxKind : std::uint32_t {
  auxNone = 0,
  auxFile = 1,
  auxScn = 2,
  auxTag = 3,
  auxEos = 4,
  auxFcn = 5,
  auxArr = 6,
  auxEobf = 7,
  auxBobf = 8,
  auxVar = 9
};

// One 18-byte symbol-table record: a syment or an auxiliary entry.
constexpr std::size_t kSymEntSize = 18;
using SymRecord = std::array<unsigned char, kSymEntSize>;

// ---------------------------------------------------------------------------
// Headers.

struct filehdr {
  static constexpr std::size_t kSize = 20;
  std::uint16_t f_magic = 0;
  std::uint16_t f_nscns = 0;
  std::uint32_t f_timdat = 0;
  std::uint32_t f_symptr = 0;
  std::uint32_t f_nsyms = 0;
  std::uint16_t f_opthdr = 0;
  std::uint16_t f_flags = 0;

  static filehdr decode(const unsigned char* p);
  void encode(unsigned char* p) const;
};

struct opthdr {
  static constexpr std::size_t kSize = 16;
  std::uint16_t magic = 0;
  std::uint16_t vstamp = 0;
  std::uint32_t proc_type = 0;
  std::uint32_t rom_width_bits = 0;
  std::uint32_t ram_width_bits = 0;

  static opthdr decode(const unsigned char* p);
  void encode(unsigned char* p) const;
};

// A section header. s_name holds the inline name (zero padded, no zero
// after an 8-character name) or, for a long name, u4 0 and the u4
// string-table offset s_offset.
struct scnhdr {
  static constexpr std::size_t kSize = 40;
  char s_name[8] = {};
  std::uint32_t s_paddr = 0;
  std::uint32_t s_vaddr = 0;
  std::uint32_t s_size = 0;
  std::uint32_t s_scnptr = 0;
  std::uint32_t s_relptr = 0;
  std::uint32_t s_lnnoptr = 0;
  std::uint16_t s_nreloc = 0;
  std::uint16_t s_nlnno = 0;
  std::uint32_t s_flags = 0;

  std::uint32_t s_offset() const;
  void set_s_offset(std::uint32_t offset);  // makes the name long

  static scnhdr decode(const unsigned char* p);
  void encode(unsigned char* p) const;
};

// ---------------------------------------------------------------------------
// Relocations and line numbers.

struct reloc {
  static constexpr std::size_t kSize = 12;
  std::uint32_t r_vaddr = 0;
  std::uint32_t r_symndx = 0;
  std::int16_t r_offset = 0;
  std::uint16_t r_type = 0;

  static reloc decode(const unsigned char* p);
  void encode(unsigned char* p) const;

  // Ordered by address; equal when address, symbol and type agree
  // (r_offset plays no part).
  bool operator<(const reloc& o) const { return r_vaddr < o.r_vaddr; }
  bool operator==(const reloc& o) const {
    return r_vaddr == o.r_vaddr && r_symndx == o.r_symndx && r_type == o.r_type;
  }
};

// Relocation of the older layout: no offset, and a type the reader ignores.
struct old_reloc {
  static constexpr std::size_t kSize = 10;
  std::uint32_t r_vaddr = 0;
  std::uint32_t r_symndx = 0;
  std::uint16_t r_type = 0;

  static old_reloc decode(const unsigned char* p);
  void encode(unsigned char* p) const;
};

// The type every older-layout relocation reads as (the low-byte patch).
constexpr std::uint16_t kOldLayoutRelocType = 4;

struct coff_lineno {
  static constexpr std::size_t kSize = 16;
  std::uint32_t l_srcndx = 0;
  std::uint16_t l_lnno = 0;
  std::uint32_t l_paddr = 0;
  std::uint16_t l_flags = 0;  // bit 0: l_fcnndx is valid
  std::uint32_t l_fcnndx = 0;

  static coff_lineno decode(const unsigned char* p);
  void encode(unsigned char* p) const;

  // Ordered by line number; equal when source, line and address agree.
  bool operator<(const coff_lineno& o) const { return l_lnno < o.l_lnno; }
  bool operator==(const coff_lineno& o) const {
    return l_srcndx == o.l_srcndx && l_lnno == o.l_lnno && l_paddr == o.l_paddr;
  }
};

constexpr std::uint16_t kLineHasFcnIndex = 0x0001;

// Line number of the older layout. With l_lnno 0 the u4 is the symbol
// index of a function (l_symndx) and the record only marks its start.
struct gnu_lineno {
  static constexpr std::size_t kSize = 6;
  std::uint32_t l_paddr = 0;  // also l_symndx when l_lnno is 0
  std::uint16_t l_lnno = 0;

  std::uint32_t l_symndx() const { return l_paddr; }

  static gnu_lineno decode(const unsigned char* p);
  void encode(unsigned char* p) const;
};

// ---------------------------------------------------------------------------
// Symbols and auxiliary entries.

struct syment {
  static constexpr std::size_t kSize = kSymEntSize;
  char n_name[8] = {};  // inline name, or u4 0 and u4 n_offset
  std::uint32_t n_value = 0;
  std::int16_t n_scnum = 0;
  std::uint16_t n_type = 0;
  std::uint8_t n_sclass = 0;
  std::uint8_t n_numaux = 0;

  std::uint32_t n_offset() const;
  void set_n_offset(std::uint32_t offset);  // makes the name long

  static syment decode(const unsigned char* p);
  static syment decode(const SymRecord& r) { return decode(r.data()); }
  void encode(unsigned char* p) const;
  void encode(SymRecord& r) const { encode(r.data()); }
  SymRecord record() const {
    SymRecord r{};
    encode(r);
    return r;
  }
};

// The nine auxiliary layouts. encode writes only the fields of its layout,
// so bytes it does not name keep whatever the record held.
#define COFF_AUX_CODEC(T)                                         \
  static T decode(const unsigned char* p);                        \
  static T decode(const SymRecord& r) { return decode(r.data()); } \
  void encode(unsigned char* p) const;                            \
  void encode(SymRecord& r) const { encode(r.data()); }

struct aux_file {
  std::uint32_t x_offset = 0;  // string-table offset of the source file name
  std::uint32_t x_incline = 0;
  COFF_AUX_CODEC(aux_file)
};

struct aux_scn {
  std::uint32_t x_scnlen = 0;
  std::uint16_t x_nreloc = 0;
  std::uint16_t x_nlinno = 0;
  COFF_AUX_CODEC(aux_scn)
};

struct aux_tag {
  std::uint16_t x_size = 0;
  std::uint32_t x_endndx = 0;
  COFF_AUX_CODEC(aux_tag)
};

struct aux_eos {
  std::uint32_t x_tagndx = 0;
  std::uint16_t x_size = 0;
  COFF_AUX_CODEC(aux_eos)
};

struct aux_fcn {
  std::uint32_t x_tagndx = 0;
  std::uint32_t x_size = 0;
  std::uint32_t x_lnnoptr = 0;
  std::uint32_t x_endndx = 0;
  COFF_AUX_CODEC(aux_fcn)
};

struct aux_arr {
  std::uint32_t x_tagndx = 0;
  std::uint16_t x_lnno = 0;
  std::uint16_t x_size = 0;
  std::uint16_t x_dimen[4] = {};
  COFF_AUX_CODEC(aux_arr)
};

struct aux_eobf {
  std::uint16_t x_lnno = 0;
  COFF_AUX_CODEC(aux_eobf)
};

struct aux_bobf {
  std::uint16_t x_lnno = 0;
  std::uint32_t x_endndx = 0;
  COFF_AUX_CODEC(aux_bobf)
};

struct aux_var {
  std::uint32_t x_tagndx = 0;
  std::uint16_t x_size = 0;
  COFF_AUX_CODEC(aux_var)
};

#undef COFF_AUX_CODEC

// ---------------------------------------------------------------------------
// Classification and predicates.

AuxKind auxKind(const syment& s);

bool isArray(const syment& s);
bool isFunction(const syment& s);
bool isTag(const syment& s);
bool isStructUnionEnum(const syment& s);
bool isSection(const syment& s);
bool isRelocatable(const syment& s);
bool isExtDef(const syment& s);
bool isExtRef(const syment& s);
bool hasLongName(const syment& s);
bool hasLongName(const scnhdr& h);

bool hasFcnIndex(const coff_lineno& l);

int getScnType(const scnhdr& h);
bool isUdataScn(const scnhdr& h);
bool isAbsScn(const scnhdr& h);
bool isShareScn(const scnhdr& h);
bool isOverlayScn(const scnhdr& h);
bool isAccessScn(const scnhdr& h);
// s_flags = the type bit of type 1..4 (none for other types) and the
// absolute, share and access bits; never the overlay bit.
void setScnFlags(scnhdr& h, int type, bool absolute, bool share, bool access);

// ---------------------------------------------------------------------------
// Dumps of single records (debugging aids), one line each; the headers
// print one line per field.

void print(const filehdr& r, std::ostream& os);
void print(const opthdr& r, std::ostream& os);
void print(const scnhdr& r, std::ostream& os);
void print(const reloc& r, std::ostream& os);
void print(const gnu_lineno& r, std::ostream& os);
void print(const coff_lineno& r, std::ostream& os);
void print(const syment& r, std::ostream& os);
void print(const aux_file& r, std::ostream& os);
void print(const aux_scn& r, std::ostream& os);
void print(const aux_tag& r, std::ostream& os);
void print(const aux_eos& r, std::ostream& os);
void print(const aux_fcn& r, std::ostream& os);
void print(const aux_arr& r, std::ostream& os);
void print(const aux_eobf& r, std::ostream& os);
void print(const aux_bobf& r, std::ostream& os);
void print(const aux_var& r, std::ostream& os);

// ---------------------------------------------------------------------------
// Raw bytes of one section.
//
// Zero bytes are only counted until something asks for them: a section
// without data in its file (uninitialised data, which nothing ever reads)
// costs no memory for the size its header declares.

class Data {
 public:
  Data() = default;
  Data(std::uint32_t size, const unsigned char* bytes);  // copies size bytes
  explicit Data(std::uint32_t size);                     // size zero bytes, held as a count
  Data(const Data& o);
  Data& operator=(const Data& o);
  Data(Data&& o) noexcept;
  Data& operator=(Data&& o) noexcept;
  ~Data() = default;

  // The bytes, made real on the first call; null when size() is 0.
  unsigned char* data() { return bytes(); }
  const unsigned char* data() const { return bytes(); }
  std::uint32_t size() const { return cSize; }
  // The bytes this Data holds in memory: 0 while it is zeros not yet asked for.
  std::uint32_t heldSize() const { return cBytes ? cSize : 0; }

  // This Data's bytes followed by o's.
  void append(const Data& o);

  // Hex bytes, four to a group, 32 to a line.
  void print(std::ostream& os) const;

 private:
  unsigned char* bytes() const;

  std::uint32_t cSize = 0;
  // Null when cSize is 0, or while the cSize bytes are zeros nobody asked
  // for; filled in by the first data(), which is why it is mutable.
  mutable std::unique_ptr<unsigned char[]> cBytes;
};

// ---------------------------------------------------------------------------
// One COFF image. A value type: copies are complete and independent.
//
// Sections are keyed by name everywhere except cScnNum. cAuxKind runs
// parallel to cSymbolTbl: 0 for a symbol, the AuxKind of its symbol for an
// auxiliary record. cStringTbl maps offsets (first string at 4) to strings
// laid out back to back, each followed by its zero.
class Coff {
 public:
  String cFileName;
  filehdr cFileHdr;
  opthdr cOptHdr;
  std::map<int, String> cScnNum;
  std::map<String, scnhdr> cScnHdr;
  std::map<String, Data> cRawData;
  std::map<String, std::vector<reloc>> cRelocInfo;
  std::map<String, std::vector<coff_lineno>> cLineInfo;
  std::vector<SymRecord> cSymbolTbl;
  std::vector<std::uint32_t> cAuxKind;
  StringTable cStringTbl;

  // Reads the file name (binary); null after reporting why.
  static std::unique_ptr<Coff> make(const String& name);
  // The same for a reader of the memory image alone: the symbol table and
  // line records are checked to lie in the file, as make checks them, but
  // left unread (cSymbolTbl and cLineInfo stay empty).
  static std::unique_ptr<Coff> makeMemoryImage(const String& name);
  // The same for the file name whose bytes were already read (opened false
  // when it could not be opened), with the same reports.
  static std::unique_ptr<Coff> make(const String& name, bool opened,
                                    const std::vector<unsigned char>& file);
  // Reads the image that starts at byte base of file (a whole object file,
  // or a library file with base at a member's image); every pointer in the
  // image counts from base, and every block must lie inside file. name
  // becomes cFileName. Null after reporting why.
  static std::unique_ptr<Coff> make(const std::vector<unsigned char>& file, std::uint64_t base,
                                    const String& name);

  // 1 when every cross-reference is sound; else 0, after reporting each
  // broken one.
  int verify() const;
  // The last check of verify alone: 1 when no two sections share a name
  // (the reader keeps only the last of them); else 0, after the report.
  int verifySectionCount() const;

  // Whether cSymbolTbl[i] is an auxiliary record rather than a symbol.
  bool isAuxEntry(std::size_t i) const { return i < cAuxKind.size() && cAuxKind[i] != auxNone; }

  // Names through the string table. A long name missing from the table is
  // fatal; should the exit return, the result is empty.
  String getName(const scnhdr& h) const;
  String getName(const syment& s) const;
  String getName(const aux_file& a) const;
  // The same name without a copy for a long one: a reference into
  // cStringTbl, or else the name spelt out in scratch (with getName's
  // report for a long name the table lacks).
  const String& nameRef(const syment& s, String& scratch) const;
  // Stores name inline (up to 8 characters) or as the offset of the first
  // equal string of cStringTbl, which must already hold it; a missing
  // string is fatal (the record is then left unchanged).
  void setName(scnhdr& h, const String& name) const;
  void setName(syment& s, const String& name) const;

  // Computes every pointer and count of the headers, the time stamp, the
  // x_lnnoptr of function entries and the magic number. Refuses (0, after
  // reporting why, nothing changed) an image whose section count or a
  // section's relocation or line count does not fit its 16-bit field.
  int preWrite();
  // The same layout keeping f_timdat, for images read from a file and
  // written again (library members); it also sets f_opthdr to 16, since the
  // optional header is always written.
  int preWriteKeepingTime();
  // Whether the headers already put every block where the layout would
  // (an image without symbols may also have f_symptr at its string table):
  // such an image, written without a new layout, gives back its own bytes.
  bool isLaidOut() const;
  // Length in bytes of the image write() produces.
  std::uint32_t size() const;
  // The same length, exact beyond 32 bits.
  std::uint64_t fullSize() const;
  // Points x_lnnoptr of each function entry at its function's line record.
  void fixupAuxFcns();
  // Writes the image at byte position of file, trusting the headers as they
  // stand; 1 on success, 0 after reporting the first failed write.
  int write(std::FILE* file, long position) const;
  // Replaces cFileName by the image whole (see replacement::OutputFile).
  int write() const;
  // Writes the image to cFileName itself, never through a link: a symbolic
  // link there is replaced by the file (an extraction stays where it was
  // asked to write). here is the name's lstat, null when nothing was there:
  // the file is then created outright, its bytes in one write.
  int writeHere(const struct stat* here) const;
  // write in two steps, so that the image is put in place together with
  // other files (replacement::commitAll): writeInto writes the image into
  // output, made for cFileName (or finds the old file already holds it);
  // commitInto puts it in place. Each reports its failure.
  int writeInto(replacement::OutputFile& output) const;
  int commitInto(replacement::OutputFile& output) const;
  void reportCommitFailure(const replacement::OutputFile& output) const;

  // Whole-image dump.
  void print(std::ostream& os) const;

 private:
  int layout(bool stampTime);
};

// Relocation patching: writing the instruction and data words an object file
// left open, from the final symbol values, by rules fixed per core family.
//
// Three layers, so each can be driven on its own:
//  - patchRelocation: one relocation whose value is already known, applied
//    to one section's raw bytes by the family's patcher (doPatchCore*);
//  - doPatch: the same, the value and name taken from the input file's
//    symbol table (refusing an index that names no symbol);
//  - verifyCallTargets and patchInputs: the walks over every input file
//    that Linker::verifyRelocations and Linker::patchSections run.
// Every refusal leaves the bytes as they were and puts its message into err;
// nothing else ever changes err.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include "coff.h"
#include "devtab.h"
#include "diagnostics.h"
#include "memtarg.h"
#include "opcat.h"

// The r_type of a relocation record.
enum RelocType : std::uint16_t {
  RELOCT_CALL = 1,
  RELOCT_GOTO = 2,
  RELOCT_HIGH = 3,
  RELOCT_LOW = 4,
  RELOCT_P = 5,
  RELOCT_BANKSEL = 6,
  RELOCT_PAGESEL = 7,
  RELOCT_ALL = 8,
  RELOCT_IBANKSEL = 9,
  RELOCT_F = 10,
  RELOCT_TRIS = 11,
  RELOCT_MOVLR = 12,
  RELOCT_MOVLB = 13,
  RELOCT_CALL2 = 14,
  RELOCT_FF1 = 15,
  RELOCT_FF2 = 16,
  RELOCT_LFSR1 = 17,
  RELOCT_LFSR2 = 18,
  RELOCT_BRA = 19,
  RELOCT_CONDBRA = 20,
  RELOCT_UPPER = 21,
  RELOCT_ACCESS = 22,
  RELOCT_PAGESEL_WREG = 23,
  RELOCT_PAGESEL_BITS = 24
};

// What the patchers need to know about the link as a whole.
struct PatchTarget {
  CoreFamily family = 0;
  ProcId processor = 0;
  // The ACCESSBANK memories, for the access bit of CoreD; may be null when
  // there are none.
  const std::list<Memory>* accessBanks = nullptr;
};

// One relocation with the value of its symbol.
struct PatchRequest {
  reloc record;
  // n_value of the symbol at r_symndx: absolute, references already bound.
  std::uint32_t symbolValue = 0;
  // Only used in messages.
  String symbolName;
  // Location at which this file's piece of the section begins; only the
  // CoreD relative branches use it.
  std::uint32_t loadStart = 0;

  // symbolValue plus the sign-extended r_offset, modulo 2^32.
  std::uint32_t value() const;
};

// Value bits srcBegin .. srcBegin + width - 1 go to bits dstBegin .. of the
// word that begins at a byte offset.
struct FieldSpec {
  std::uint16_t srcBegin;
  std::uint16_t dstBegin;
  std::uint16_t width;
};

// The (at most two) fields one relocation writes. Offsets are 64-bit since
// the second word of a pair lies at r_vaddr + 2, which must not wrap.
class FieldWrites {
 public:
  struct Write {
    std::uint64_t rawOffset;
    std::uint32_t value;
    FieldSpec field;
  };

  void add(std::uint64_t rawOffset, std::uint32_t value, FieldSpec field);
  // A whole 16-bit instruction word.
  void addWord(std::uint64_t rawOffset, std::uint16_t word);
  std::size_t count() const { return cCount; }
  const Write& operator[](std::size_t i) const { return cWrites[i]; }

 private:
  Write cWrites[2] = {};
  std::size_t cCount = 0;
};

// 1 when every byte the field touches lies inside data: bytes
// rawOffset + dstBegin / 8 to rawOffset + (dstBegin + width - 1) / 8.
int fieldInside(const Data& data, std::uint64_t rawOffset, FieldSpec field);

// Refuses (0, err set, data unchanged) unless every write lies inside data;
// then writes them all in order.
int applyFieldWrites(const FieldWrites& writes, const PatchRequest& request, Data& data,
                     String& err);

// Bit-by-bit field writer: for i below width, bit dstBegin + i of the word
// at byte rawOffset becomes bit srcBegin + i of value; other bits are kept.
// The field must lie inside data (an internal invariant).
void insertBits(Data& data, std::uint64_t rawOffset, std::uint32_t value, std::uint16_t srcBegin,
                std::uint16_t dstBegin, std::uint16_t width);
// Sets (on != 0) or clears bit bitPos % 8 of byte bitPos / 8.
void setBit(Data& data, std::uint64_t bitPos, int on);

// 1 when the relocation's value fits a field of bits bits that holds it
// whole; otherwise 0 with the refusal, naming the symbol, the value and
// what the field is, in err. Such a value is never cut to fit.
int fitsWholeField(const PatchRequest& request, unsigned bits, const char* what, String& err);

// A word built from zero: the opcode of inst, then operand 1 and, when
// hasOperand2 is set, operand 2, for the family.
std::uint16_t buildWord(CoreFamily family, InstType inst, std::uint16_t operand1,
                        int hasOperand2 = 0, std::uint16_t operand2 = 0);
// Bits 8 to 15 of a value, the operand of a MOVLW that loads a jump's high byte.
inline std::uint16_t highByte(std::uint32_t value) {
  return static_cast<std::uint16_t>((value >> 8) & 0xFF);
}
// BSF (set != 0) or BCF of bit of file register reg.
std::uint16_t bitWord(CoreFamily family, int set, std::uint16_t reg, std::uint16_t bit);

// The family patchers (patch_core_a.cpp .. patch_core_d.cpp).
int doPatchCoreA(const PatchTarget& target, const PatchRequest& request, Data& data, String& err);
int doPatchCoreB(const PatchTarget& target, const PatchRequest& request, Data& data, String& err);
int doPatchCoreC(const PatchTarget& target, const PatchRequest& request, Data& data, String& err);
int doPatchCoreD(const PatchTarget& target, const PatchRequest& request, Data& data, String& err);

// The field a CoreA call relocation writes; the call-target check tests it
// against the section data before the patcher ever runs.
extern const FieldSpec kCoreACallField;

// Picks the patcher by target.family.
int patchRelocation(const PatchTarget& target, const PatchRequest& request, Data& data,
                    String& err);

// The symbol a relocation names in file: its n_value and name. Refuses an
// r_symndx beyond the symbol table or on an auxiliary entry.
int relocationSymbol(const Coff& file, const reloc& record, std::uint32_t& value, String& name,
                     String& err);

// One relocation of file, its symbol looked up in file's symbol table.
int doPatch(const PatchTarget& target, std::uint32_t loadStart, Data& data, const reloc& record,
            const Coff& file, String& err);

// "file '" name "', section '" section "', "
String patchErrorPrefix(const String& fileName, const String& section);

// The CoreA rule that a call targets the lower half of a program page,
// checked over every call relocation of every input before anything is
// patched; a call whose symbol index names no symbol, or whose byte lies
// outside the section data, is refused as well. Always 1 for the other
// families; writes nothing.
int verifyCallTargets(const PatchTarget& target, const std::vector<std::unique_ptr<Coff>>& inputs,
                      String& err);

// Every relocation of every input file (inputs[i] is file position i for
// the memories), sections in section-number order, records in list order.
// Stops at the first refusal, keeping what was patched before it.
int patchInputs(const PatchTarget& target, std::vector<std::unique_ptr<Coff>>& inputs,
                const std::map<String, Memory*>& cScnMem, String& err);

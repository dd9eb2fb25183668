#include "patch.h"

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "devtab.h"
#include "fixtures/coff_builder.h"
#include "opcat.h"
#include "link_fixture.h"
#include "support/harness.h"

namespace {

using Words = std::vector<uint16_t>;
using Bytes = std::vector<unsigned char>;

// Processor rows by the geometry the patchers look at.
constexpr ProcId kA1Page = 3;     // CoreA, 1 page, 1 bank
constexpr ProcId kA2Pages = 6;    // CoreA, 2 pages
constexpr ProcId kA4Pages = 12;   // CoreA, 4 pages
constexpr ProcId kB1Page = 1;     // CoreB, 1 page, 2 banks
constexpr ProcId kB2Pages = 2;    // CoreB, 2 pages, 4 banks
constexpr ProcId kB3Pages = 10;   // CoreB, 3 pages, 2 banks
constexpr ProcId kB4Pages = 5;    // CoreB, 4 pages, 4 banks
constexpr ProcId kC = 114;        // CoreC, first general-purpose offset 0x20
constexpr ProcId kD = 125;        // CoreD

const char* const kUnsupported = "unsupported relocation type.";
const char* const kNotAligned =
    "Symbol 'target' is not word-aligned.\n"
    "It cannot be used as the target of a call or goto instruction.";
const char* const kOutOfRange = "Symbol 'target' out of range of relative branch instruction.";

// A value refused whole rather than cut to its field.
String tooWide(const char* value, const char* field) {
  return String("Symbol 'target' has the value ") + value + ", which does not fit the " + field +
         ".";
}
const char* const kCallField = "21-bit target of a call or goto instruction";
const char* const kDataWord = "16-bit data word";
const char* const kLfsr = "12-bit literal of an LFSR instruction";

String movffMessage(const char* reg) {
  return String(reg) + " cannot be used as the destination of a MOVFF instruction.";
}

// The access banks every CoreD case runs with: access RAM at the bottom of
// data memory and the special-function registers at the top.
const std::list<Memory>& accessBanks() {
  static const std::list<Memory> banks = {Memory("accram", 0x000, 0x05F, 1, 0, 0, ""),
                                          Memory("accsfr", 0xF60, 0xFFF, 1, 0, 0, "")};
  return banks;
}

PatchTarget targetFor(CoreFamily family, ProcId processor) {
  PatchTarget t;
  t.family = family;
  t.processor = processor;
  t.accessBanks = &accessBanks();
  return t;
}

Data dataOfWords(const Words& words) {
  Data d(static_cast<uint32_t>(words.size() * 2));
  for (std::size_t i = 0; i < words.size(); ++i) le::putU16(d.data() + 2 * i, words[i]);
  return d;
}

Words wordsOf(const Data& d) {
  Words w;
  for (uint32_t i = 0; i + 1 < d.size(); i += 2) w.push_back(le::getU16(d.data() + i));
  return w;
}

Data dataOfBytes(const Bytes& bytes) {
  return Data(static_cast<uint32_t>(bytes.size()), bytes.data());
}

Bytes bytesOf(const Data& d) { return Bytes(d.data(), d.data() + d.size()); }

PatchRequest request(uint16_t type, uint32_t value, int16_t offset, uint32_t loadStart,
                     uint32_t vaddr) {
  PatchRequest r;
  r.record.r_type = type;
  r.record.r_vaddr = vaddr;
  r.record.r_offset = offset;
  r.symbolValue = value;
  r.symbolName = "target";
  r.loadStart = loadStart;
  return r;
}

// A replacement word as the processor reads it.
struct Decoded {
  std::size_t word;
  InstType inst;
  int operand1;
  int operand2;  // -1: the mnemonic has no second operand
};

struct PatchCase {
  const char* what;
  CoreFamily family;
  ProcId processor;
  uint16_t type;
  uint32_t value;  // the symbol's n_value
  int16_t offset;  // r_offset
  uint32_t loadStart;
  uint32_t vaddr;
  Words fromZero;  // the section after patching when every word was 0x0000
  Words fromOnes;  // ... when every word was 0xFFFF
  String message;  // refused with exactly this, nothing written
  std::vector<Decoded> decoded;

  PatchCase(const char* what_, CoreFamily family_, ProcId processor_, uint16_t type_,
            uint32_t value_, int16_t offset_, uint32_t loadStart_, uint32_t vaddr_,
            Words fromZero_, Words fromOnes_, String message_ = "",
            std::vector<Decoded> decoded_ = {})
      : what(what_), family(family_), processor(processor_), type(type_), value(value_),
        offset(offset_), loadStart(loadStart_), vaddr(vaddr_), fromZero(std::move(fromZero_)),
        fromOnes(std::move(fromOnes_)), message(std::move(message_)),
        decoded(std::move(decoded_)) {}
};

// Expected words from 0x0000 and from 0xFFFF, for a relocation at byte 0.
#define ONE(zero, ones) Words{zero, 0x0000}, Words{ones, 0xFFFF}
// A pair of replacement words, the same from either fill.
#define PAIR(w0, w1) Words{w0, w1}, Words{w0, w1}
// One replacement word; the second word is kept.
#define FIRST(w0) Words{w0, 0x0000}, Words{w0, 0xFFFF}
#define UNCHANGED Words{0x0000, 0x0000}, Words{0xFFFF, 0xFFFF}
#define REFUSED(msg) Words{}, Words{}, msg

const std::vector<PatchCase>& patchCases() {
  using namespace Inst;
  static const std::vector<PatchCase> cases = {
      // ---- CoreD
      {"D CALL even target", CoreD, kD, RELOCT_CALL, 0x1234, 0, 0, 0, ONE(0x001A, 0xFF1A)},
      {"D CALL odd target", CoreD, kD, RELOCT_CALL, 0x1235, 0, 0, 0, REFUSED(kNotAligned)},
      {"D GOTO even target", CoreD, kD, RELOCT_GOTO, 0x0ABC, 0, 0, 0, ONE(0x005E, 0xFF5E)},
      {"D GOTO odd target", CoreD, kD, RELOCT_GOTO, 0x0001, 0, 0, 0, REFUSED(kNotAligned)},
      {"D CALL2 second word of a call to 0x1234", CoreD, kD, RELOCT_CALL2, 0x1234, 0, 0, 2,
       Words{0x0000, 0x0009}, Words{0xFFFF, 0xF009}},
      {"D CALL2 takes bits 9 to 20", CoreD, kD, RELOCT_CALL2, 0x123456, 0, 0, 0,
       ONE(0x091A, 0xF91A)},
      // A call or goto target is whole: 21 bits, never cut.
      {"D CALL to the last even address", CoreD, kD, RELOCT_CALL, 0x1FFFFE, 0, 0, 0,
       ONE(0x00FF, 0xFFFF)},
      {"D CALL2 of the last even address", CoreD, kD, RELOCT_CALL2, 0x1FFFFE, 0, 0, 0,
       ONE(0x0FFF, 0xFFFF)},
      {"D CALL beyond 21 bits", CoreD, kD, RELOCT_CALL, 0x300000, 0, 0, 0,
       REFUSED(tooWide("0x00300000", kCallField))},
      {"D GOTO just beyond 21 bits", CoreD, kD, RELOCT_GOTO, 0x200000, 0, 0, 0,
       REFUSED(tooWide("0x00200000", kCallField))},
      {"D CALL2 beyond 21 bits", CoreD, kD, RELOCT_CALL2, 0x300000, 0, 0, 2,
       REFUSED(tooWide("0x00300000", kCallField))},
      {"D CALL below 0 through a negative addend", CoreD, kD, RELOCT_CALL, 0, -2, 0, 0,
       REFUSED(tooWide("0xfffffffe", kCallField))},
      {"D HIGH", CoreD, kD, RELOCT_HIGH, 0x12345, 0, 0, 0, ONE(0x0023, 0xFF23)},
      {"D BANKSEL", CoreD, kD, RELOCT_BANKSEL, 0x0A5F, 0, 0, 0, ONE(0x000A, 0xFF0A)},
      {"D IBANKSEL", CoreD, kD, RELOCT_IBANKSEL, 0x0A5F, 0, 0, 0, ONE(0x000A, 0xFF0A)},
      {"D MOVLB", CoreD, kD, RELOCT_MOVLB, 0x05FF, 0, 0, 0, ONE(0x0005, 0xFF05)},
      {"D LOW", CoreD, kD, RELOCT_LOW, 0x12345, 0, 0, 0, ONE(0x0045, 0xFF45)},
      {"D F", CoreD, kD, RELOCT_F, 0x0F7E, 0, 0, 0, ONE(0x007E, 0xFF7E)},
      {"D LFSR2", CoreD, kD, RELOCT_LFSR2, 0x0ABC, 0, 0, 0, ONE(0x00BC, 0xFFBC)},
      {"D LFSR2 beyond 12 bits", CoreD, kD, RELOCT_LFSR2, 0x1ABC, 0, 0, 0,
       REFUSED(tooWide("0x00001abc", kLfsr))},
      {"D ALL", CoreD, kD, RELOCT_ALL, 0xFFFF, 0, 0, 0, ONE(0xFFFF, 0xFFFF)},
      {"D ALL beyond 16 bits", CoreD, kD, RELOCT_ALL, 0x12345, 0, 0, 0,
       REFUSED(tooWide("0x00012345", kDataWord))},
      {"D ALL, negative addend below 0", CoreD, kD, RELOCT_ALL, 0, -2, 0, 0,
       REFUSED(tooWide("0xfffffffe", kDataWord))},
      {"D ALL, negative addend to 16 bits", CoreD, kD, RELOCT_ALL, 0x10001, -2, 0, 0,
       ONE(0xFFFF, 0xFFFF)},
      {"D FF1", CoreD, kD, RELOCT_FF1, 0x0ABC, 0, 0, 0, ONE(0x0ABC, 0xFABC)},
      {"D FF1 beyond 12 bits", CoreD, kD, RELOCT_FF1, 0x1ABC, 0, 0, 0,
       REFUSED(tooWide("0x00001abc", "12-bit source of a MOVFF instruction"))},
      {"D FF2 beyond 12 bits", CoreD, kD, RELOCT_FF2, 0x1FFC, 0, 0, 0,
       REFUSED(tooWide("0x00001ffc", "12-bit destination of a MOVFF instruction"))},
      {"D FF2 0xFFC", CoreD, kD, RELOCT_FF2, 0xFFC, 0, 0, 0, ONE(0x0FFC, 0xFFFC)},
      {"D FF2 0xFFB", CoreD, kD, RELOCT_FF2, 0xFFB, 0, 0, 0, ONE(0x0FFB, 0xFFFB)},
      {"D FF2 TOSU", CoreD, kD, RELOCT_FF2, 0xFFF, 0, 0, 0, REFUSED(movffMessage("TOSU"))},
      {"D FF2 TOSH", CoreD, kD, RELOCT_FF2, 0xFFE, 0, 0, 0, REFUSED(movffMessage("TOSH"))},
      {"D FF2 TOSL", CoreD, kD, RELOCT_FF2, 0xFFD, 0, 0, 0, REFUSED(movffMessage("TOSL"))},
      {"D FF2 PCL", CoreD, kD, RELOCT_FF2, 0xFF9, 0, 0, 0, REFUSED(movffMessage("PCL"))},
      {"D FF2 TOSU through a negative addend", CoreD, kD, RELOCT_FF2, 0x1000, -1, 0, 0,
       REFUSED(movffMessage("TOSU"))},
      {"D LFSR1", CoreD, kD, RELOCT_LFSR1, 0x0ABC, 0, 0, 0, ONE(0x000A, 0xFFFA)},
      {"D LFSR1 of the last data address", CoreD, kD, RELOCT_LFSR1, 0x0FFF, 0, 0, 0,
       ONE(0x000F, 0xFFFF)},
      {"D LFSR1 beyond 12 bits", CoreD, kD, RELOCT_LFSR1, 0x1ABC, 0, 0, 0,
       REFUSED(tooWide("0x00001abc", kLfsr))},
      {"D UPPER", CoreD, kD, RELOCT_UPPER, 0xAB1234, 0, 0, 0, ONE(0x00AB, 0xFFAB)},
      // Branches from a piece loaded at 0x1000: the next instruction is at 0x1002.
      {"D BRA +0x7FE", CoreD, kD, RELOCT_BRA, 0x1800, 0, 0x1000, 0, ONE(0x03FF, 0xFBFF)},
      {"D BRA +0x7FF", CoreD, kD, RELOCT_BRA, 0x1801, 0, 0x1000, 0, REFUSED(kOutOfRange)},
      {"D BRA +0x800", CoreD, kD, RELOCT_BRA, 0x1802, 0, 0x1000, 0, REFUSED(kOutOfRange)},
      {"D BRA -0x800", CoreD, kD, RELOCT_BRA, 0x0802, 0, 0x1000, 0, ONE(0x0400, 0xFC00)},
      {"D BRA -0x802", CoreD, kD, RELOCT_BRA, 0x0800, 0, 0x1000, 0, REFUSED(kOutOfRange)},
      {"D BRA to itself, -2", CoreD, kD, RELOCT_BRA, 0x1000, 0, 0x1000, 0, ONE(0x07FF, 0xFFFF)},
      {"D BRA to the next instruction, 0", CoreD, kD, RELOCT_BRA, 0x1002, 0, 0x1000, 0,
       ONE(0x0000, 0xF800)},
      {"D BRA odd +3", CoreD, kD, RELOCT_BRA, 0x1005, 0, 0x1000, 0, REFUSED(kNotAligned)},
      {"D BRA odd -3", CoreD, kD, RELOCT_BRA, 0x0FFF, 0, 0x1000, 0, REFUSED(kNotAligned)},
      {"D BRA at byte 2 counts from its own word", CoreD, kD, RELOCT_BRA, 0x1014, 0, 0x1000, 2,
       Words{0x0000, 0x0008}, Words{0xFFFF, 0xF808}},
      {"D BRA with a negative addend", CoreD, kD, RELOCT_BRA, 0x1010, -0x10, 0x1000, 0,
       ONE(0x07FF, 0xFFFF)},
      {"D BRA across the top of the address space", CoreD, kD, RELOCT_BRA, 0x10, 0, 0xFFFFFFF0,
       0, ONE(0x000F, 0xF80F)},
      {"D CONDBRA +0xFE", CoreD, kD, RELOCT_CONDBRA, 0x1100, 0, 0x1000, 0, ONE(0x007F, 0xFF7F)},
      {"D CONDBRA +0x100", CoreD, kD, RELOCT_CONDBRA, 0x1102, 0, 0x1000, 0,
       REFUSED(kOutOfRange)},
      {"D CONDBRA -0x100", CoreD, kD, RELOCT_CONDBRA, 0x0F02, 0, 0x1000, 0, ONE(0x0080, 0xFF80)},
      {"D CONDBRA -0x102", CoreD, kD, RELOCT_CONDBRA, 0x0F00, 0, 0x1000, 0,
       REFUSED(kOutOfRange)},
      {"D CONDBRA -2", CoreD, kD, RELOCT_CONDBRA, 0x1000, 0, 0x1000, 0, ONE(0x00FF, 0xFFFF)},
      {"D CONDBRA 0", CoreD, kD, RELOCT_CONDBRA, 0x1002, 0, 0x1000, 0, ONE(0x0000, 0xFF00)},
      {"D CONDBRA odd +1", CoreD, kD, RELOCT_CONDBRA, 0x1003, 0, 0x1000, 0,
       REFUSED(kNotAligned)},
      // Access banks 0x000-0x05F and 0xF60-0xFFF: bit 8 clear inside, set outside.
      {"D ACCESS first of access RAM", CoreD, kD, RELOCT_ACCESS, 0x000, 0, 0, 0,
       ONE(0x0000, 0xFEFF)},
      {"D ACCESS last of access RAM", CoreD, kD, RELOCT_ACCESS, 0x05F, 0, 0, 0,
       ONE(0x0000, 0xFEFF)},
      {"D ACCESS just above access RAM", CoreD, kD, RELOCT_ACCESS, 0x060, 0, 0, 0,
       ONE(0x0100, 0xFFFF)},
      {"D ACCESS just below the second bank", CoreD, kD, RELOCT_ACCESS, 0xF5F, 0, 0, 0,
       ONE(0x0100, 0xFFFF)},
      {"D ACCESS first of the second bank", CoreD, kD, RELOCT_ACCESS, 0xF60, 0, 0, 0,
       ONE(0x0000, 0xFEFF)},
      {"D ACCESS last of the second bank", CoreD, kD, RELOCT_ACCESS, 0xFFF, 0, 0, 0,
       ONE(0x0000, 0xFEFF)},
      {"D ACCESS above data memory", CoreD, kD, RELOCT_ACCESS, 0x1000, 0, 0, 0,
       ONE(0x0100, 0xFFFF)},

      // ---- CoreC
      {"C CALL", CoreC, kC, RELOCT_CALL, 0x1ABCD, 0, 0, 0, ONE(0x0BCD, 0xEBCD)},
      {"C GOTO", CoreC, kC, RELOCT_GOTO, 0x1ABCD, 0, 0, 0, ONE(0x0BCD, 0xEBCD)},
      {"C HIGH", CoreC, kC, RELOCT_HIGH, 0x12345, 0, 0, 0, ONE(0x0023, 0xFF23)},
      {"C LOW", CoreC, kC, RELOCT_LOW, 0x12345, 0, 0, 0, ONE(0x0045, 0xFF45)},
      {"C F", CoreC, kC, RELOCT_F, 0x0A7E, 0, 0, 0, ONE(0x007E, 0xFF7E)},
      {"C P", CoreC, kC, RELOCT_P, 0x12345, 0, 0, 0, ONE(0x0500, 0xE5FF)},
      {"C ALL", CoreC, kC, RELOCT_ALL, 0xABCD, 0, 0, 0, ONE(0xABCD, 0xABCD)},
      {"C ALL beyond 16 bits", CoreC, kC, RELOCT_ALL, 0x12345, 0, 0, 0,
       REFUSED(tooWide("0x00012345", kDataWord))},
      {"C BANKSEL general purpose", CoreC, kC, RELOCT_BANKSEL, 0x0120, 0, 0, 0, FIRST(0xBA10),
       "", {{0, MOVLR, 1, -1}}},
      {"C BANKSEL first general-purpose offset", CoreC, kC, RELOCT_BANKSEL, 0x0020, 0, 0, 0,
       FIRST(0xBA00), "", {{0, MOVLR, 0, -1}}},
      {"C BANKSEL last special-function offset", CoreC, kC, RELOCT_BANKSEL, 0x001F, 0, 0, 0,
       FIRST(0xB800), "", {{0, MOVLB, 0, -1}}},
      {"C BANKSEL special function", CoreC, kC, RELOCT_BANKSEL, 0x031F, 0, 0, 0, FIRST(0xB803),
       "", {{0, MOVLB, 3, -1}}},
      {"C IBANKSEL general purpose", CoreC, kC, RELOCT_IBANKSEL, 0x0220, 0, 0, 0, FIRST(0xBA20),
       "", {{0, MOVLR, 2, -1}}},
      {"C IBANKSEL special function", CoreC, kC, RELOCT_IBANKSEL, 0x0205, 0, 0, 0,
       FIRST(0xB802), "", {{0, MOVLB, 2, -1}}},
      {"C PAGESEL", CoreC, kC, RELOCT_PAGESEL, 0x1ABCD, 0, 0, 0, PAIR(0xB0AB, 0x0103), "",
       {{0, MOVLW, 0xAB, -1}, {1, MOVWF, 3, -1}}},
      {"C PAGESEL_WREG", CoreC, kC, RELOCT_PAGESEL_WREG, 0xFF00, 0, 0, 0, PAIR(0xB0FF, 0x0103),
       "", {{0, MOVLW, 0xFF, -1}, {1, MOVWF, 3, -1}}},
      {"C MOVLR", CoreC, kC, RELOCT_MOVLR, 0x0345, 0, 0, 0, ONE(0x0030, 0xFF3F)},
      {"C MOVLB", CoreC, kC, RELOCT_MOVLB, 0x0345, 0, 0, 0, ONE(0x0003, 0xFFF3)},

      // ---- CoreA
      {"A CALL", CoreA, kA4Pages, RELOCT_CALL, 0x0F5, 0, 0, 0, ONE(0x00F5, 0xFFF5)},
      {"A GOTO", CoreA, kA4Pages, RELOCT_GOTO, 0x3A5, 0, 0, 0, ONE(0x01A5, 0xFFA5)},
      {"A HIGH", CoreA, kA4Pages, RELOCT_HIGH, 0x0ABC, 0, 0, 0, ONE(0x000A, 0xFF0A)},
      {"A LOW", CoreA, kA4Pages, RELOCT_LOW, 0x0ABC, 0, 0, 0, ONE(0x00BC, 0xFFBC)},
      {"A ALL", CoreA, kA4Pages, RELOCT_ALL, 0x0ABC, 0, 0, 0, ONE(0x0ABC, 0x0ABC)},
      {"A ALL beyond 16 bits", CoreA, kA4Pages, RELOCT_ALL, 0x10000, 0, 0, 0,
       REFUSED(tooWide("0x00010000", kDataWord))},
      {"A F", CoreA, kA4Pages, RELOCT_F, 0x2A, 0, 0, 0, ONE(0x000A, 0xFFEA)},
      {"A TRIS", CoreA, kA4Pages, RELOCT_TRIS, 0x0D, 0, 0, 0, ONE(0x0005, 0xFFFD)},
      {"A BANKSEL on one bank still writes both words", CoreA, kA1Page, RELOCT_BANKSEL, 0x20, 0,
       0, 0, PAIR(0x05A4, 0x04C4), "", {{0, BSF, 4, 5}, {1, BCF, 4, 6}}},
      {"A BANKSEL bank 2", CoreA, kA4Pages, RELOCT_BANKSEL, 0x40, 0, 0, 0, PAIR(0x04A4, 0x05C4),
       "", {{0, BCF, 4, 5}, {1, BSF, 4, 6}}},
      {"A IBANKSEL bank 3", CoreA, kA4Pages, RELOCT_IBANKSEL, 0x60, 0, 0, 0,
       PAIR(0x05A4, 0x05C4), "", {{0, BSF, 4, 5}, {1, BSF, 4, 6}}},
      {"A IBANKSEL bank 0", CoreA, kA2Pages, RELOCT_IBANKSEL, 0x1F, 0, 0, 0,
       PAIR(0x04A4, 0x04C4), "", {{0, BCF, 4, 5}, {1, BCF, 4, 6}}},
      {"A PAGESEL one page writes nothing", CoreA, kA1Page, RELOCT_PAGESEL, 0x600, 0, 0, 0,
       UNCHANGED},
      {"A PAGESEL two pages, page 1", CoreA, kA2Pages, RELOCT_PAGESEL, 0x200, 0, 0, 0,
       FIRST(0x05A3), "", {{0, BSF, 3, 5}}},
      {"A PAGESEL two pages, page 0", CoreA, kA2Pages, RELOCT_PAGESEL, 0x1FF, 0, 0, 0,
       FIRST(0x04A3), "", {{0, BCF, 3, 5}}},
      {"A PAGESEL four pages, page 2", CoreA, kA4Pages, RELOCT_PAGESEL, 0x400, 0, 0, 0,
       PAIR(0x04A3, 0x05C3), "", {{0, BCF, 3, 5}, {1, BSF, 3, 6}}},
      {"A PAGESEL_BITS one page writes nothing", CoreA, kA1Page, RELOCT_PAGESEL_BITS, 0x600, 0,
       0, 0, UNCHANGED},
      {"A PAGESEL_BITS two pages", CoreA, kA2Pages, RELOCT_PAGESEL_BITS, 0x200, 0, 0, 0,
       FIRST(0x05A3), "", {{0, BSF, 3, 5}}},
      {"A PAGESEL_BITS four pages, page 3", CoreA, kA4Pages, RELOCT_PAGESEL_BITS, 0x600, 0, 0, 0,
       PAIR(0x05A3, 0x05C3), "", {{0, BSF, 3, 5}, {1, BSF, 3, 6}}},
      {"A PAGESEL_BITS four pages, page 0", CoreA, kA4Pages, RELOCT_PAGESEL_BITS, 0x0FF, 0, 0, 0,
       PAIR(0x04A3, 0x04C3), "", {{0, BCF, 3, 5}, {1, BCF, 3, 6}}},

      // ---- CoreB
      {"B CALL", CoreB, kB1Page, RELOCT_CALL, 0x1ABC, 0, 0, 0, ONE(0x02BC, 0xFABC)},
      {"B GOTO", CoreB, kB1Page, RELOCT_GOTO, 0x1ABC, 0, 0, 0, ONE(0x02BC, 0xFABC)},
      {"B HIGH", CoreB, kB1Page, RELOCT_HIGH, 0x1ABC, 0, 0, 0, ONE(0x001A, 0xFF1A)},
      {"B LOW", CoreB, kB1Page, RELOCT_LOW, 0x1ABC, 0, 0, 0, ONE(0x00BC, 0xFFBC)},
      {"B LOW with a negative addend", CoreB, kB1Page, RELOCT_LOW, 0x1AC0, -4, 0, 0,
       ONE(0x00BC, 0xFFBC)},
      {"B ALL", CoreB, kB1Page, RELOCT_ALL, 0x1ABC, 0, 0, 0, ONE(0x1ABC, 0x1ABC)},
      {"B ALL beyond 16 bits", CoreB, kB1Page, RELOCT_ALL, 0x1ABC, -0x2000, 0, 0,
       REFUSED(tooWide("0xfffffabc", kDataWord))},
      {"B ALL at byte 2", CoreB, kB1Page, RELOCT_ALL, 0x1ABC, 0, 0, 2,
       Words{0x0000, 0x1ABC, 0x0000}, Words{0xFFFF, 0x1ABC, 0xFFFF}},
      {"B F", CoreB, kB1Page, RELOCT_F, 0x1ABC, 0, 0, 0, ONE(0x003C, 0xFFBC)},
      {"B BANKSEL two banks, bank 1", CoreB, kB1Page, RELOCT_BANKSEL, 0x0A0, 0, 0, 0,
       FIRST(0x1683), "", {{0, BSF, 3, 5}}},
      {"B BANKSEL two banks ignore bit 8", CoreB, kB1Page, RELOCT_BANKSEL, 0x120, 0, 0, 0,
       FIRST(0x1283), "", {{0, BCF, 3, 5}}},
      {"B BANKSEL four banks, bank 2", CoreB, kB2Pages, RELOCT_BANKSEL, 0x120, 0, 0, 0,
       PAIR(0x1283, 0x1703), "", {{0, BCF, 3, 5}, {1, BSF, 3, 6}}},
      {"B BANKSEL four banks, bank 3", CoreB, kB4Pages, RELOCT_BANKSEL, 0x1A0, 0, 0, 0,
       PAIR(0x1683, 0x1703), "", {{0, BSF, 3, 5}, {1, BSF, 3, 6}}},
      {"B BANKSEL four banks, bank 0", CoreB, kB2Pages, RELOCT_BANKSEL, 0x07F, 0, 0, 0,
       PAIR(0x1283, 0x1303), "", {{0, BCF, 3, 5}, {1, BCF, 3, 6}}},
      {"B IBANKSEL two banks writes nothing", CoreB, kB1Page, RELOCT_IBANKSEL, 0x100, 0, 0, 0,
       UNCHANGED},
      {"B IBANKSEL four banks, upper half", CoreB, kB2Pages, RELOCT_IBANKSEL, 0x100, 0, 0, 0,
       FIRST(0x1783), "", {{0, BSF, 3, 7}}},
      {"B IBANKSEL four banks, lower half", CoreB, kB4Pages, RELOCT_IBANKSEL, 0x0FF, 0, 0, 0,
       FIRST(0x1383), "", {{0, BCF, 3, 7}}},
      {"B PAGESEL", CoreB, kB1Page, RELOCT_PAGESEL, 0x1ABC, 0, 0, 0, PAIR(0x301A, 0x008A), "",
       {{0, MOVLW, 0x1A, -1}, {1, MOVWF, 10, -1}}},
      {"B PAGESEL at byte 2", CoreB, kB1Page, RELOCT_PAGESEL, 0x1ABC, 0, 0, 2,
       Words{0x0000, 0x301A, 0x008A, 0x0000}, Words{0xFFFF, 0x301A, 0x008A, 0xFFFF}, "",
       {{1, MOVLW, 0x1A, -1}, {2, MOVWF, 10, -1}}},
      {"B PAGESEL_WREG", CoreB, kB4Pages, RELOCT_PAGESEL_WREG, 0x0800, 0, 0, 0,
       PAIR(0x3008, 0x008A), "", {{0, MOVLW, 0x08, -1}, {1, MOVWF, 10, -1}}},
      {"B PAGESEL_BITS one page writes nothing", CoreB, kB1Page, RELOCT_PAGESEL_BITS, 0x1800, 0,
       0, 0, UNCHANGED},
      {"B PAGESEL_BITS two pages, page 1", CoreB, kB2Pages, RELOCT_PAGESEL_BITS, 0x0800, 0, 0, 0,
       FIRST(0x158A), "", {{0, BSF, 10, 3}}},
      {"B PAGESEL_BITS two pages, page 0", CoreB, kB2Pages, RELOCT_PAGESEL_BITS, 0x07FF, 0, 0, 0,
       FIRST(0x118A), "", {{0, BCF, 10, 3}}},
      {"B PAGESEL_BITS three pages, page 2", CoreB, kB3Pages, RELOCT_PAGESEL_BITS, 0x1000, 0, 0,
       0, PAIR(0x118A, 0x160A), "", {{0, BCF, 10, 3}, {1, BSF, 10, 4}}},
      {"B PAGESEL_BITS four pages, page 3", CoreB, kB4Pages, RELOCT_PAGESEL_BITS, 0x1800, 0, 0,
       0, PAIR(0x158A, 0x160A), "", {{0, BSF, 10, 3}, {1, BSF, 10, 4}}},
      {"B PAGESEL_BITS four pages, page 0", CoreB, kB4Pages, RELOCT_PAGESEL_BITS, 0x0000, 0, 0,
       0, PAIR(0x118A, 0x120A), "", {{0, BCF, 10, 3}, {1, BCF, 10, 4}}},
  };
  return cases;
}

#undef ONE
#undef PAIR
#undef FIRST
#undef UNCHANGED
#undef REFUSED

TEST(RelocationPatch, ProcessorRowsHaveTheGeometryTheCasesAssume) {
  struct Row {
    ProcId id;
    CoreFamily family;
    uint32_t pages;
    uint32_t banks;  // 0: not looked at
  };
  const Row rows[] = {{kA1Page, CoreA, 1, 1}, {kA2Pages, CoreA, 2, 0}, {kA4Pages, CoreA, 4, 0},
                      {kB1Page, CoreB, 1, 2}, {kB2Pages, CoreB, 2, 4}, {kB3Pages, CoreB, 3, 2},
                      {kB4Pages, CoreB, 4, 4}, {kC, CoreC, 1, 4},      {kD, CoreD, 1, 0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.id));
    EXPECT_EQ(procFamily(r.id), r.family);
    EXPECT_EQ(procNumPages(r.id), r.pages);
    if (r.banks) {
      EXPECT_EQ(procNumBanks(r.id), r.banks);
    }
  }
  EXPECT_EQ(procIsGeneralPurpose(kC, 0x20), 1);
  EXPECT_EQ(procIsGeneralPurpose(kC, 0x1F), 0);
}

TEST(RelocationPatch, EveryTypeOfEveryFamilyFromBothFills) {
  for (const PatchCase& c : patchCases()) {
    ASSERT_EQ(procFamily(c.processor), c.family) << c.what;
    ASSERT_EQ(c.fromZero.size(), c.fromOnes.size()) << c.what;
    const std::size_t words = c.fromZero.empty() ? 2 : c.fromZero.size();
    for (uint16_t fill : {uint16_t(0x0000), uint16_t(0xFFFF)}) {
      SCOPED_TRACE(std::string(c.what) + (fill ? ", from 0xFFFF" : ", from 0x0000"));
      const Words initial(words, fill);
      Data data = dataOfWords(initial);
      String err = "untouched";
      const int ok = patchRelocation(targetFor(c.family, c.processor),
                                     request(c.type, c.value, c.offset, c.loadStart, c.vaddr),
                                     data, err);
      if (!c.message.empty()) {
        EXPECT_EQ(ok, 0);
        EXPECT_EQ(err, c.message);
        EXPECT_EQ(wordsOf(data), initial);
        continue;
      }
      EXPECT_EQ(ok, 1);
      EXPECT_EQ(err, "untouched");
      const Words got = wordsOf(data);
      EXPECT_EQ(got, fill ? c.fromOnes : c.fromZero);
      for (const Decoded& d : c.decoded) {
        ASSERT_LT(d.word, got.size());
        const uint16_t w = got[d.word];
        ASSERT_EQ(instIsValid(w, c.family), 1) << std::hex << w;
        EXPECT_EQ(instDecode(w, c.family), d.inst) << std::hex << w;
        EXPECT_EQ(instGetOperand1(w, c.family), d.operand1) << std::hex << w;
        if (d.operand2 >= 0) {
          EXPECT_EQ(instGetOperand2(w, c.family), d.operand2) << std::hex << w;
        }
      }
    }
  }
}

// The families that accept each type; every other (family, type) pair,
// types 0 and 25 and beyond included, is refused.
TEST(RelocationPatch, TypesAFamilyDoesNotAcceptAreRefused) {
  const std::set<uint16_t> accepted[5] = {
      {},
      /* CoreB */ {1, 2, 3, 4, 6, 7, 8, 9, 10, 23, 24},
      /* CoreC */ {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 13, 23},
      /* CoreA */ {1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 24},
      /* CoreD */ {1, 2, 3, 4, 6, 8, 9, 10, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22},
  };
  const ProcId processors[5] = {0, kB4Pages, kC, kA4Pages, kD};
  for (CoreFamily family : {CoreA, CoreB, CoreC, CoreD}) {
    std::vector<uint16_t> types = {0xFFFF};
    for (uint16_t t = 0; t <= 40; ++t) types.push_back(t);
    for (uint16_t t : types) {
      SCOPED_TRACE("family " + std::to_string(family) + " type " + std::to_string(t));
      Data data = dataOfWords({0x1234, 0x5678});
      String err = "untouched";
      // An even value in range of every branch, so accepted types succeed.
      const int ok = patchRelocation(targetFor(family, processors[family]),
                                     request(t, 0x0010, 0, 0, 0), data, err);
      if (accepted[family].count(t)) {
        EXPECT_EQ(ok, 1);
        EXPECT_EQ(err, "untouched");
      } else {
        EXPECT_EQ(ok, 0);
        EXPECT_EQ(err, kUnsupported);
        EXPECT_EQ(wordsOf(data), (Words{0x1234, 0x5678}));
      }
    }
  }
}

TEST(RelocationPatch, AccessBitWithoutAnyAccessBankIsSet) {
  const std::list<Memory> none;
  PatchTarget t = targetFor(CoreD, kD);
  for (const std::list<Memory>* banks : {static_cast<const std::list<Memory>*>(nullptr), &none}) {
    t.accessBanks = banks;
    Data data = dataOfWords({0x0000});
    String err;
    EXPECT_EQ(patchRelocation(t, request(RELOCT_ACCESS, 0x000, 0, 0, 0), data, err), 1);
    EXPECT_EQ(wordsOf(data), Words{0x0100});
  }
}

// Only the bytes a field touches must exist: an 8-bit field needs one byte,
// the access bit only the second byte of its word, a pair of words four.
TEST(RelocationPatch, TouchedBytesMustLieInsideTheSectionData) {
  struct Case {
    const char* what;
    CoreFamily family;
    ProcId processor;
    uint16_t type;
    uint32_t value;
    uint32_t vaddr;
    Bytes initial;
    Bytes expected;  // empty: refused with message, bytes kept
    String message;
  };
  auto outside = [](const char* offset, int size) {
    return String("relocation at offset ") + offset +
           " patches bytes outside the section's raw data (size " + std::to_string(size) + ").";
  };
  const Case cases[] = {
      {"8-bit field in the last byte", CoreD, kD, RELOCT_LOW, 0x45, 2, {0xAA, 0xBB, 0xCC},
       {0xAA, 0xBB, 0x45}, ""},
      {"8-bit field in a one-byte section", CoreD, kD, RELOCT_LOW, 0x45, 0, {0xFF}, {0x45}, ""},
      {"7-bit field in a one-byte section keeps bit 7", CoreB, kB1Page, RELOCT_F, 0x1ABC, 0,
       {0x80}, {0xBC}, ""},
      {"8-bit field one past the end", CoreD, kD, RELOCT_LOW, 0x45, 3, {1, 2, 3}, {},
       outside("0x00000003", 3)},
      {"8-bit field in an empty section", CoreD, kD, RELOCT_LOW, 0x45, 0, {}, {},
       outside("0x00000000", 0)},
      {"16-bit field half outside", CoreD, kD, RELOCT_ALL, 0x1234, 2, {1, 2, 3}, {},
       outside("0x00000002", 3)},
      {"12-bit field needs its second byte", CoreD, kD, RELOCT_FF1, 0x123, 0, {0xFF}, {},
       outside("0x00000000", 1)},
      {"access bit lives in the second byte", CoreD, kD, RELOCT_ACCESS, 0x100, 0, {0x00}, {},
       outside("0x00000000", 1)},
      {"access bit with its second byte", CoreD, kD, RELOCT_ACCESS, 0x100, 0, {0x00, 0x00},
       {0x00, 0x01}, ""},
      {"CoreC P field lives in the second byte", CoreC, kC, RELOCT_P, 0x05, 0, {0xFF}, {},
       outside("0x00000000", 1)},
      {"second word of a pair outside: neither is written", CoreA, kA4Pages, RELOCT_BANKSEL,
       0x60, 0, {0x12, 0x34, 0x56}, {}, outside("0x00000000", 3)},
      {"pair at byte 2 of four", CoreB, kB1Page, RELOCT_PAGESEL, 0x1ABC, 2, {1, 2, 3, 4}, {},
       outside("0x00000002", 4)},
      {"pair near 2^32 does not wrap to the start", CoreC, kC, RELOCT_PAGESEL, 0x1ABCD,
       0xFFFFFFFE, {1, 2, 3, 4}, {}, outside("0xfffffffe", 4)},
      {"last byte of the address space", CoreD, kD, RELOCT_LOW, 0x45, 0xFFFFFFFF, {1, 2}, {},
       outside("0xffffffff", 2)},
      {"nothing to write on one page, nothing to refuse", CoreA, kA1Page, RELOCT_PAGESEL, 0x200,
       0x100, {1, 2}, {1, 2}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Data data = dataOfBytes(c.initial);
    String err = "untouched";
    const int ok = patchRelocation(targetFor(c.family, c.processor),
                                   request(c.type, c.value, 0, 0, c.vaddr), data, err);
    if (c.message.empty()) {
      EXPECT_EQ(ok, 1);
      EXPECT_EQ(err, "untouched");
      EXPECT_EQ(bytesOf(data), c.expected);
    } else {
      EXPECT_EQ(ok, 0);
      EXPECT_EQ(err, c.message);
      EXPECT_EQ(bytesOf(data), c.initial);
    }
  }
}

TEST(RelocationPatch, InsertBitsOutsideTheDataAssertsAndWritesNothing) {
  testing_support::OutputCapture capture;
  testing_support::ExitRecorder exits;
  Data data = dataOfBytes({0x00, 0x00});
  insertBits(data, 1, 0xFFFF, 0, 0, 16);
  EXPECT_GE(testing_support::ExitRecorder::count(), 1);
  EXPECT_EQ(testing_support::ExitRecorder::lastStatus(), 255);
  EXPECT_EQ(bytesOf(data), (Bytes{0x00, 0x00}));
}

// ---------------------------------------------------------------- symbols

struct SymbolFile {
  fixtures::CoffBuilder b{"sym.o"};
  uint32_t target;
  uint32_t withAux;
  uint32_t longName;
  SymbolFile() {
    b.section(".code", scnCode, 0, {0, 0, 0, 0});
    target = b.label("target", 1, 0x1234);
    withAux = b.function("fn", 1, 0x2000);  // withAux + 1 is its aux_fcn
    longName = b.externDef("a_rather_long_symbol_name", 1, 0x0101);
  }
};

TEST(RelocationPatch, SymbolIndexMustNameASymbol) {
  SymbolFile f;
  const uint32_t count = static_cast<uint32_t>(f.b.model().cSymbolTbl.size());
  struct Case {
    const char* what;
    uint32_t symndx;
    int16_t offset;
    uint16_t type;
    Words expected;  // empty: refused
    String message;
  };
  const Case cases[] = {
      {"symbol plus addend", f.target, 0x10, RELOCT_ALL, {0x1244, 0}, ""},
      {"negative addend", f.target, -0x35, RELOCT_ALL, {0x11FF, 0}, ""},
      {"function symbol", f.withAux, 0, RELOCT_ALL, {0x2000, 0}, ""},
      {"auxiliary entry", f.withAux + 1, 0, RELOCT_ALL, {},
       "relocation at offset 0x00000000 refers to symbol-table entry " +
           std::to_string(f.withAux + 1) + ", which is an auxiliary entry, not a symbol."},
      {"one past the table", count, 0, RELOCT_ALL, {},
       "relocation at offset 0x00000000 refers to symbol-table entry " + std::to_string(count) +
           ", beyond the " + std::to_string(count) + " entries of the symbol table."},
      {"far past the table", 0xFFFFFFFF, 0, RELOCT_ALL, {},
       "relocation at offset 0x00000000 refers to symbol-table entry 4294967295, beyond the " +
           std::to_string(count) + " entries of the symbol table."},
      {"long name in a message", f.longName, 0, RELOCT_CALL, {},
       "Symbol 'a_rather_long_symbol_name' is not word-aligned.\n"
       "It cannot be used as the target of a call or goto instruction."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reloc r;
    r.r_symndx = c.symndx;
    r.r_offset = c.offset;
    r.r_type = c.type;
    Data data = dataOfWords({0, 0});
    String err = "untouched";
    const int ok = doPatch(targetFor(CoreD, kD), 0, data, r, f.b.model(), err);
    if (c.message.empty()) {
      EXPECT_EQ(ok, 1);
      EXPECT_EQ(err, "untouched");
      EXPECT_EQ(wordsOf(data), c.expected);
    } else {
      EXPECT_EQ(ok, 0);
      EXPECT_EQ(err, c.message);
      EXPECT_EQ(wordsOf(data), (Words{0, 0}));
    }
  }
}

// ---------------------------------------------------------------- the walks

using Inputs = std::vector<std::unique_ptr<Coff>>;

Inputs inputsOf(std::initializer_list<const fixtures::CoffBuilder*> bs) {
  Inputs inputs;
  for (const fixtures::CoffBuilder* b : bs) inputs.push_back(std::make_unique<Coff>(b->model()));
  return inputs;
}

// Two CoreD files. a.o numbers its sections .code, .tbl; b.o numbers them
// .tbl, .code. .code is placed at 0x100 with a.o's piece first (0x100) and
// b.o's after it (0x104).
struct TwoFiles {
  fixtures::CoffBuilder a{"a.o"};
  fixtures::CoffBuilder b{"b.o"};
  Memory rom{"rom", 0, 0xFFFF, 0, 0, 0, ""};
  std::map<String, Memory*> scnMem;

  TwoFiles() {
    a.section(".code", scnCode, 0, {0, 0, 0, 0});
    a.section(".tbl", scnRomData, 0, {0xFF, 0xFF});
    const uint32_t aTarget = a.label("dest", 1, 0x200);
    const uint32_t aWord = a.label("word", 2, 0x1234);
    a.relocation(".code", 0, aTarget, RELOCT_BRA);
    // Two records on one byte: list order decides, the last one stays.
    a.relocation(".tbl", 0, aWord, RELOCT_LOW);
    a.relocation(".tbl", 0, aWord, RELOCT_HIGH);

    b.section(".tbl", scnRomData, 0, {0xFF, 0xFF});
    b.section(".code", scnCode, 0, {0, 0, 0, 0});
    const uint32_t bTarget = b.label("dest", 2, 0x200);
    b.relocation(".tbl", 0, bTarget, RELOCT_ALL);
    b.relocation(".code", 2, bTarget, RELOCT_BRA);

    rom.setWidthBits(8);
    rom.allocate(".code", FixedStart(0x100), 8, 0);
    rom.allocate(".tbl", FixedStart(0x200), 4, 0);
    rom.load(0, "a.o", ".code", 4);
    rom.load(1, "b.o", ".code", 4);
    rom.load(0, "a.o", ".tbl", 2);
    rom.load(1, "b.o", ".tbl", 2);
    scnMem[".code"] = &rom;
    scnMem[".tbl"] = &rom;
  }
};

TEST(RelocationPatchWalk, FilesSectionsAndRecordsInOrderWithEachPiecesLoadStart) {
  TwoFiles f;
  auto inputs = inputsOf({&f.a, &f.b});
  String err = "untouched";
  EXPECT_EQ(patchInputs(targetFor(CoreD, kD), inputs, f.scnMem, err), 1);
  EXPECT_EQ(err, "untouched");
  // a.o: branch at 0x100 to 0x200 is +0xFE (field 0x7F); HIGH after LOW.
  EXPECT_EQ(wordsOf(inputs[0]->cRawData[".code"]), (Words{0x007F, 0x0000}));
  EXPECT_EQ(bytesOf(inputs[0]->cRawData[".tbl"]), (Bytes{0x12, 0xFF}));
  // b.o: branch at 0x106 to 0x200 is +0xF8 (field 0x7C).
  EXPECT_EQ(wordsOf(inputs[1]->cRawData[".code"]), (Words{0x0000, 0x007C}));
  EXPECT_EQ(wordsOf(inputs[1]->cRawData[".tbl"]), Words{0x0200});
  // Relocations and symbols are left as they were.
  EXPECT_EQ(inputs[0]->cRelocInfo[".tbl"].size(), 2u);
}

TEST(RelocationPatchWalk, FirstRefusalStopsWithFileAndSectionKeepingEarlierPatches) {
  TwoFiles f;
  // b.o's .tbl (section 1) now carries a type no family knows; its .code
  // (section 2) comes after it in number order although it sorts first by name.
  f.b.model().cRelocInfo[".tbl"].front().r_type = 0;
  auto inputs = inputsOf({&f.a, &f.b});
  String err;
  EXPECT_EQ(patchInputs(targetFor(CoreD, kD), inputs, f.scnMem, err), 0);
  EXPECT_EQ(err, "file 'b.o', section '.tbl', unsupported relocation type.");
  EXPECT_EQ(wordsOf(inputs[0]->cRawData[".code"]), (Words{0x007F, 0x0000}));
  EXPECT_EQ(bytesOf(inputs[0]->cRawData[".tbl"]), (Bytes{0x12, 0xFF}));
  EXPECT_EQ(wordsOf(inputs[1]->cRawData[".tbl"]), Words{0xFFFF});
  EXPECT_EQ(wordsOf(inputs[1]->cRawData[".code"]), (Words{0x0000, 0x0000}));
}

TEST(RelocationPatchWalk, RefusalsOfTheMendedChecksCarryThePrefix) {
  struct Case {
    const char* what;
    std::function<void(fixtures::CoffBuilder&)> damage;
    String message;
  };
  const Case cases[] = {
      {"auxiliary symbol index",
       [](fixtures::CoffBuilder& b) {
         const uint32_t fn = b.function("fn", 1, 0x10);
         b.model().cRelocInfo[".code"].front().r_symndx = fn + 1;
       },
       "file 'c.o', section '.code', relocation at offset 0x00000000 refers to symbol-table "
       "entry 2, which is an auxiliary entry, not a symbol."},
      {"relocation past the data",
       [](fixtures::CoffBuilder& b) { b.model().cRelocInfo[".code"].front().r_vaddr = 4; },
       "file 'c.o', section '.code', relocation at offset 0x00000004 patches bytes outside the "
       "section's raw data (size 4)."},
      {"section without raw data",
       [](fixtures::CoffBuilder& b) { b.model().cRawData.erase(".code"); },
       "file 'c.o', section '.code', relocation at offset 0x00000000 patches bytes outside the "
       "section's raw data (size 0)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fixtures::CoffBuilder b("c.o");
    b.section(".code", scnCode, 0, {0, 0, 0, 0});
    const uint32_t sym = b.label("here", 1, 0x10);
    b.relocation(".code", 0, sym, RELOCT_ALL);
    c.damage(b);
    Memory rom("rom", 0, 0xFFFF, 0, 0, 0, "");
    rom.setWidthBits(16);
    rom.allocate(".code", FixedStart(0), 4, 0);
    rom.load(0, "c.o", ".code", 4);
    std::map<String, Memory*> scnMem = {{".code", &rom}};
    auto inputs = inputsOf({&b});
    String err;
    EXPECT_EQ(patchInputs(targetFor(CoreB, kB1Page), inputs, scnMem, err), 0);
    EXPECT_EQ(err, c.message);
    // A missing raw-data entry is not made up on the way.
    EXPECT_EQ(inputs[0]->cRawData.size(), b.model().cRawData.size());
  }
}

TEST(RelocationPatchWalk, SectionWithoutMemoryIsAnInternalError) {
  fixtures::CoffBuilder b("c.o");
  b.section(".code", scnCode, 0, {0, 0});
  b.relocation(".code", 0, b.label("here", 1, 0x10), RELOCT_ALL);
  auto inputs = inputsOf({&b});
  testing_support::OutputCapture capture;
  testing_support::ExitTrap trap;
  String err;
  try {
    patchInputs(targetFor(CoreB, kB1Page), inputs, {}, err);
    ADD_FAILURE() << "no assertion";
  } catch (const testing_support::ProcessExit& e) {
    EXPECT_EQ(e.status, 255);
  }
  EXPECT_NE(capture.text().find("(mem=cScnMem.find(scnName)) != cScnMem.end()"),
            std::string::npos)
      << capture.text();
}

// ---------------------------------------------------------------- call targets

TEST(CallTargetCheck, CoreACallsMustTargetTheLowerHalfOfAPage) {
  const String upper = "file 'a.o', section '.code', performs a call to \n symbol 'target' "
                       "which is not in the lower half of a page.";
  struct Case {
    const char* what;
    CoreFamily family;
    ProcId processor;
    uint16_t type;
    uint32_t value;
    int16_t offset;
    String message;  // empty: passes
  };
  const Case cases[] = {
      {"last of the lower half", CoreA, kA4Pages, RELOCT_CALL, 0x0FF, 0, ""},
      {"first of the upper half", CoreA, kA4Pages, RELOCT_CALL, 0x100, 0, upper},
      {"last of page 0", CoreA, kA4Pages, RELOCT_CALL, 0x1FF, 0, upper},
      {"first of page 1", CoreA, kA4Pages, RELOCT_CALL, 0x200, 0, ""},
      {"lower half of page 1", CoreA, kA4Pages, RELOCT_CALL, 0x2FF, 0, ""},
      {"upper half of page 1", CoreA, kA4Pages, RELOCT_CALL, 0x300, 0, upper},
      {"upper half of page 3", CoreA, kA4Pages, RELOCT_CALL, 0x7FF, 0, upper},
      {"goto into the upper half", CoreA, kA4Pages, RELOCT_GOTO, 0x100, 0, ""},
      {"addend moves the target up", CoreA, kA4Pages, RELOCT_CALL, 0x0F0, 0x10, upper},
      {"addend moves the target down", CoreA, kA4Pages, RELOCT_CALL, 0x110, -0x11, ""},
      {"value wraps below 0, unsigned", CoreA, kA1Page, RELOCT_CALL, 0, -1, upper},
      {"CoreB is not checked", CoreB, kB4Pages, RELOCT_CALL, 0x700, 0, ""},
      {"CoreC is not checked", CoreC, kC, RELOCT_CALL, 0x1100, 0, ""},
      {"CoreD is not checked", CoreD, kD, RELOCT_CALL, 0x101, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fixtures::CoffBuilder b("a.o");
    b.section(".code", scnCode, 0, {0xAA, 0xBB});
    b.relocation(".code", 0, b.label("target", 1, c.value), c.type, c.offset);
    auto inputs = inputsOf({&b});
    String err = "untouched";
    const int ok = verifyCallTargets(targetFor(c.family, c.processor), inputs, err);
    EXPECT_EQ(ok, c.message.empty() ? 1 : 0);
    EXPECT_EQ(err, c.message.empty() ? String("untouched") : c.message);
    EXPECT_EQ(bytesOf(inputs[0]->cRawData[".code"]), (Bytes{0xAA, 0xBB}));
  }
}

TEST(CallTargetCheck, FirstOffendingCallInInputOrderAndMendedRefusals) {
  auto file = [](const char* name, uint32_t value) {
    auto b = std::make_unique<fixtures::CoffBuilder>(name);
    b->section(".code", scnCode, 0, {0, 0, 0, 0});
    b->relocation(".code", 0, b->label("fine", 1, 0x010), RELOCT_CALL);
    b->relocation(".code", 2, b->label("far", 1, value), RELOCT_CALL);
    return b;
  };
  const PatchTarget coreA = targetFor(CoreA, kA4Pages);
  {
    auto a = file("a.o", 0x020);
    auto b = file("b.o", 0x180);
    auto c = file("c.o", 0x380);
    auto inputs = inputsOf({a.get(), b.get(), c.get()});
    String err;
    EXPECT_EQ(verifyCallTargets(coreA, inputs, err), 0);
    EXPECT_EQ(err, "file 'b.o', section '.code', performs a call to \n symbol 'far' which is not "
                   "in the lower half of a page.");
  }
  {
    // A call whose one byte lies past the data, and one naming an auxiliary
    // entry, are refused before their value is looked at; a goto is left to
    // the patcher.
    auto a = file("a.o", 0x020);
    a->model().cRelocInfo[".code"][1].r_vaddr = 4;
    auto inputs = inputsOf({a.get()});
    String err;
    EXPECT_EQ(verifyCallTargets(coreA, inputs, err), 0);
    EXPECT_EQ(err, "file 'a.o', section '.code', relocation at offset 0x00000004 patches bytes "
                   "outside the section's raw data (size 4).");

    auto d = file("d.o", 0x020);
    d->model().cRelocInfo[".code"][1].r_vaddr = 3;  // the low byte still fits
    inputs = inputsOf({d.get()});
    err = "untouched";
    EXPECT_EQ(verifyCallTargets(coreA, inputs, err), 1);
    EXPECT_EQ(err, "untouched");

    auto e = file("e.o", 0x020);
    const uint32_t fn = e->function("fn", 1, 0x10);
    e->model().cRelocInfo[".code"][1].r_symndx = fn + 1;
    inputs = inputsOf({e.get()});
    EXPECT_EQ(verifyCallTargets(coreA, inputs, err), 0);
    EXPECT_EQ(err, "file 'e.o', section '.code', relocation at offset 0x00000002 refers to "
                   "symbol-table entry " + std::to_string(fn + 1) +
                   ", which is an auxiliary entry, not a symbol.");

    e->model().cRelocInfo[".code"][1].r_type = RELOCT_GOTO;
    inputs = inputsOf({e.get()});
    err = "untouched";
    EXPECT_EQ(verifyCallTargets(coreA, inputs, err), 1);
    EXPECT_EQ(err, "untouched");
  }
}

}  // namespace

// ---------------------------------------------------------------- in a link

namespace {

using linktest::LinkFixture;
using linktest::Phase;

// A CoreD link with fixed addresses: main.o's .code at 0x100 branches to
// and loads the address of far, which lib.o's .lib (at 0x180) defines 4
// bytes in; two absolute data symbols take the access bit.
TEST(RelocationPatchLink, PatchesInputsWithResolvedValuesAndLoadStarts) {
  LinkFixture f("patch");
  fixtures::CoffBuilder main("main.o");
  main.processor(0xD001, 8, 8);
  main.section(".code", scnCode, 0x100, Bytes(8, 0xFF), kScnAbsolute);
  const uint32_t far = main.externRef("far");
  const uint32_t inAccess = main.symbol("inacc", 0x20, kScnNumAbsolute, kClassStatic);
  const uint32_t banked = main.symbol("banked", 0x120, kScnNumAbsolute, kClassStatic);
  main.relocation(".code", 0, far, RELOCT_BRA);
  main.relocation(".code", 2, inAccess, RELOCT_ACCESS);
  main.relocation(".code", 4, banked, RELOCT_ACCESS);
  main.relocation(".code", 6, far, RELOCT_ALL, -2);
  fixtures::CoffBuilder lib("lib.o");
  lib.processor(0xD001, 8, 8);
  lib.section(".lib", scnCode, 0x180, Bytes(8, 0), kScnAbsolute);
  lib.externDef("far", 1, 0x184);
  f.object("main.o", main);
  f.object("lib.o", lib);
  ASSERT_TRUE(f.commands("FILES main.o lib.o\nCODEPAGE NAME=p START=0 END=0x1FF\n"
                         "ACCESSBANK NAME=acc START=0 END=0x5F\n"
                         "DATABANK NAME=d START=0x100 END=0x1FF\n"))
      << f.error();
  ASSERT_TRUE(f.run(Phase::PatchSections)) << linktest::phaseName(f.failedPhase()) << ": "
                                            << f.error();
  const auto& coffs = LinkerTestAccess::coffs(f.linker());
  ASSERT_EQ(coffs.size(), 2u);
  // 0x184 - 0x102 = 0x82 bytes, 0x41 words; bit 8 clear for 0x20, set for
  // 0x120; 0x184 - 2 whole.
  EXPECT_EQ(wordsOf(coffs[0]->cRawData.at(".code")), (Words{0xF841, 0xFEFF, 0xFFFF, 0x0182}));
  EXPECT_EQ(wordsOf(coffs[1]->cRawData.at(".lib")), (Words{0, 0, 0, 0}));
}

TEST(RelocationPatchLink, RefusalsEndTheirPhaseWithTheInputsName) {
  struct Case {
    const char* what;
    uint16_t type;
    uint32_t target;
    Phase failed;
    String message;
  };
  const Case cases[] = {
      {"call into the upper half", RELOCT_CALL, 0x150, Phase::VerifyRelocations,
       "performs a call to \n symbol 'dest' which is not in the lower half of a page."},
      {"type CoreA does not have", RELOCT_BRA, 0x050, Phase::PatchSections,
       "unsupported relocation type."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f("patch");
    fixtures::CoffBuilder a("a.o");
    a.processor(0xA001, 12, 8);
    a.section(".code", scnCode, 0, Bytes(4, 0), kScnAbsolute);
    a.relocation(".code", 0, a.label("dest", 1, c.target), c.type);
    f.object("a.o", a);
    ASSERT_TRUE(f.commands("FILES a.o\nCODEPAGE NAME=p START=0 END=0x1FF\n")) << f.error();
    EXPECT_FALSE(f.run(Phase::PatchSections));
    EXPECT_EQ(f.failedPhase(), c.failed);
    // The input is named as the link found it.
    const auto& coffs = LinkerTestAccess::coffs(f.linker());
    ASSERT_EQ(coffs.size(), 1u);
    EXPECT_EQ(f.error(), "file '" + coffs[0]->cFileName + "', section '.code', " + c.message);
  }
}

}  // namespace

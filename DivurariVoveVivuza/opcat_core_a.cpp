// CoreA instruction set: 12-bit words. OPTION, SLEEP, NOP and CLRWDT are
// tested before TRIS, whose pattern covers them, so TRIS only ever decodes
// with the operands 1, 5, 6 and 7.
#include "opcat_rows.h"

namespace opcat_rows {
namespace {

constexpr Field kF = bits(4, 0);   // register
constexpr Field kD = bit(5);       // destination
constexpr Field kB = bits(7, 5);   // bit number
constexpr Field kK = bits(7, 0);   // literal, also the CALL address

const Row kRows[] = {
    plain(Inst::OPTION, 0xFFF, 0x002),
    plain(Inst::XORWF, 0xFC0, 0x180, kF, kD),
    plain(Inst::XORLW, 0xF00, 0xF00, kK),
    plain(Inst::SLEEP, 0xFFF, 0x003),
    plain(Inst::NOP, 0xFFF, 0x000),
    plain(Inst::CLRWDT, 0xFFF, 0x004),
    plain(Inst::TRIS, 0xFF8, 0x000, bits(2, 0)),
    plain(Inst::SWAPF, 0xFC0, 0x380, kF, kD),
    plain(Inst::SUBWF, 0xFC0, 0x080, kF, kD),
    plain(Inst::RRF, 0xFC0, 0x300, kF, kD),
    plain(Inst::MOVLW, 0xF00, 0xC00, kK),
    plain(Inst::RETLW, 0xF00, 0x800, kK),
    plain(Inst::MOVWF, 0xFE0, 0x020, kF),
    plain(Inst::MOVF, 0xFC0, 0x200, kF, kD),
    plain(Inst::IORWF, 0xFC0, 0x100, kF, kD),
    plain(Inst::IORLW, 0xF00, 0xD00, kK),
    plain(Inst::RLF, 0xFC0, 0x340, kF, kD),
    plain(Inst::BTFSS, 0xF00, 0x700, kF, kB),
    plain(Inst::ADDWF, 0xFC0, 0x1C0, kF, kD),
    plain(Inst::ANDLW, 0xF00, 0xE00, kK),
    plain(Inst::INCFSZ, 0xFC0, 0x3C0, kF, kD),
    plain(Inst::ANDWF, 0xFC0, 0x140, kF, kD),
    plain(Inst::BCF, 0xF00, 0x400, kF, kB),
    plain(Inst::CLRW, 0xFFF, 0x040),
    plain(Inst::BTFSC, 0xF00, 0x600, kF, kB),
    plain(Inst::INCF, 0xFC0, 0x280, kF, kD),
    plain(Inst::CALL, 0xF00, 0x900, kK),
    plain(Inst::CLRF, 0xFE0, 0x060, kF),
    plain(Inst::COMF, 0xFC0, 0x240, kF, kD),
    plain(Inst::DECF, 0xFC0, 0x0C0, kF, kD),
    plain(Inst::DECFSZ, 0xFC0, 0x2C0, kF, kD),
    plain(Inst::GOTO, 0xE00, 0xA00, bits(8, 0)),
    plain(Inst::BSF, 0xF00, 0x500, kF, kB),
};

}  // namespace

const FamilyTable kCoreATable = {kRows, sizeof kRows / sizeof kRows[0]};

}  // namespace opcat_rows

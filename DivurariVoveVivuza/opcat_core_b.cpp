// CoreB instruction set: 14-bit words. CLRWDT, OPTION and SLEEP are tested
// before TRIS, whose pattern covers them, and TRIS before NOP, so 0x0060 is
// TRIS 0 while 0x0020 and 0x0040 stay NOP.
#include "opcat_rows.h"

namespace opcat_rows {
namespace {

constexpr Field kF = bits(6, 0);    // register
constexpr Field kD = bit(7);        // destination
constexpr Field kB = bits(9, 7);    // bit number
constexpr Field kK = bits(7, 0);    // literal
constexpr Field kA = bits(10, 0);   // CALL and GOTO address

const Row kRows[] = {
    plain(Inst::ANDWF, 0x3F00, 0x0500, kF, kD),
    plain(Inst::ANDLW, 0x3F00, 0x3900, kK),
    plain(Inst::MOVF, 0x3F00, 0x0800, kF, kD),
    plain(Inst::MOVLW, 0x3C00, 0x3000, kK),
    plain(Inst::IORWF, 0x3F00, 0x0400, kF, kD),
    plain(Inst::IORLW, 0x3F00, 0x3800, kK),
    plain(Inst::INCFSZ, 0x3F00, 0x0F00, kF, kD),
    plain(Inst::INCF, 0x3F00, 0x0A00, kF, kD),
    plain(Inst::GOTO, 0x3800, 0x2800, kA),
    plain(Inst::COMF, 0x3F00, 0x0900, kF, kD),
    plain(Inst::DECF, 0x3F00, 0x0300, kF, kD),
    plain(Inst::ADDLW, 0x3E00, 0x3E00, kK),
    plain(Inst::BCF, 0x3C00, 0x1000, kF, kB),
    plain(Inst::BSF, 0x3C00, 0x1400, kF, kB),
    plain(Inst::BTFSC, 0x3C00, 0x1800, kF, kB),
    plain(Inst::BTFSS, 0x3C00, 0x1C00, kF, kB),
    plain(Inst::CALL, 0x3800, 0x2000, kA),
    plain(Inst::CLRF, 0x3F80, 0x0180, kF),
    plain(Inst::CLRW, 0x3F80, 0x0100),
    plain(Inst::CLRWDT, 0x3FFF, 0x0064),
    plain(Inst::DECFSZ, 0x3F00, 0x0B00, kF, kD),
    plain(Inst::RLF, 0x3F00, 0x0D00, kF, kD),
    plain(Inst::XORWF, 0x3F00, 0x0600, kF, kD),
    plain(Inst::XORLW, 0x3F00, 0x3A00, kK),
    plain(Inst::OPTION, 0x3FFF, 0x0062),
    plain(Inst::SLEEP, 0x3FFF, 0x0063),
    plain(Inst::TRIS, 0x3FF8, 0x0060, bits(2, 0)),
    plain(Inst::SWAPF, 0x3F00, 0x0E00, kF, kD),
    plain(Inst::SUBWF, 0x3F00, 0x0200, kF, kD),
    plain(Inst::SUBLW, 0x3E00, 0x3C00, kK),
    plain(Inst::RRF, 0x3F00, 0x0C00, kF, kD),
    plain(Inst::ADDWF, 0x3F00, 0x0700, kF, kD),
    plain(Inst::RETURN, 0x3FFF, 0x0008),
    plain(Inst::RETLW, 0x3C00, 0x3400, kK),
    plain(Inst::RETFIE, 0x3FFF, 0x0009),
    plain(Inst::NOP, 0x3F9F, 0x0000),
    plain(Inst::MOVWF, 0x3F80, 0x0080, kF),
};

}  // namespace

const FamilyTable kCoreBTable = {kRows, sizeof kRows / sizeof kRows[0]};

}  // namespace opcat_rows

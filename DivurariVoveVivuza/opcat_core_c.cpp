// CoreC instruction set: 16-bit words; no two patterns overlap.
#include "opcat_rows.h"

namespace opcat_rows {
namespace {

constexpr Field kF = bits(7, 0);     // register or literal
constexpr Field kD = bit(8);         // destination
constexpr Field kB = bits(10, 8);    // bit number
constexpr Field kA = bits(12, 0);    // CALL and GOTO address
constexpr Field kP = bits(12, 8);    // peripheral register of MOVFP and MOVPF
constexpr Field kI = bit(9);         // table high/low byte
constexpr Field kT = bit(8);         // table pointer increment

// ADDLW alone carries a register relocation type, kept as the interface has
// always answered it although the operand is a literal.
constexpr Row addlw() {
  Row row = plain(Inst::ADDLW, 0xFF00, 0xB100, kF);
  row.reloc[0] = 10;
  return row;
}

const Row kRows[] = {
    plain(Inst::SLEEP, 0xFFFF, 0x0003),
    plain(Inst::SWAPF, 0xFE00, 0x1C00, kF, kD),
    plain(Inst::SUBWF, 0xFE00, 0x0400, kF, kD),
    plain(Inst::RLNCF, 0xFE00, 0x2200, kF, kD),
    plain(Inst::TABLRD, 0xFC00, 0xA800, kI, kT, kF),
    plain(Inst::TABLWT, 0xFC00, 0xAC00, kI, kT, kF),
    plain(Inst::NOP, 0xFFFF, 0x0000),
    plain(Inst::LOG, 0xFFFF, 0x0008),
    plain(Inst::ADDWF, 0xFE00, 0x0E00, kF, kD),
    plain(Inst::MOVLW, 0xFF00, 0xB000, kF),
    plain(Inst::MOVPF, 0xE000, 0x4000, kP, kF),
    plain(Inst::MOVWF, 0xFF00, 0x0100, kF),
    plain(Inst::MULLW, 0xFF00, 0xBC00, kF),
    plain(Inst::RRNCF, 0xFE00, 0x2000, kF, kD),
    plain(Inst::NEGW, 0xFE00, 0x2C00, kF, kD),
    plain(Inst::SETF, 0xFE00, 0x2A00, kF, kD),
    plain(Inst::RETFIE, 0xFFFF, 0x0005),
    plain(Inst::RETLW, 0xFF00, 0xB600, kF),
    plain(Inst::RETURN, 0xFFFF, 0x0002),
    plain(Inst::RLCF, 0xFE00, 0x1A00, kF, kD),
    plain(Inst::SUBWFB, 0xFE00, 0x0200, kF, kD),
    plain(Inst::RRCF, 0xFE00, 0x1800, kF, kD),
    plain(Inst::TLRD, 0xFC00, 0xA000, kI, kF),
    plain(Inst::MULWF, 0xFF00, 0x3400, kF),
    plain(Inst::BTFSS, 0xF800, 0x9000, kF, kB),
    plain(Inst::DECF, 0xFE00, 0x0600, kF, kD),
    plain(Inst::DAW, 0xFE00, 0x2E00, kF, kD),
    plain(Inst::CPFSLT, 0xFF00, 0x3000, kF),
    plain(Inst::CPFSGT, 0xFF00, 0x3200, kF),
    plain(Inst::CPFSEQ, 0xFF00, 0x3100, kF),
    plain(Inst::COMF, 0xFE00, 0x1200, kF, kD),
    plain(Inst::CLRWDT, 0xFFFF, 0x0004),
    plain(Inst::DECFSZ, 0xFE00, 0x1600, kF, kD),
    plain(Inst::BTG, 0xF800, 0x3800, kF, kB),
    plain(Inst::BCF, 0xF800, 0x8800, kF, kB),
    plain(Inst::BTFSC, 0xF800, 0x9800, kF, kB),
    plain(Inst::BSF, 0xF800, 0x8000, kF, kB),
    plain(Inst::TLWT, 0xFC00, 0xA400, kI, kF),
    plain(Inst::ANDLW, 0xFF00, 0xB500, kF),
    plain(Inst::SUBLW, 0xFF00, 0xB200, kF),
    plain(Inst::CLRF, 0xFE00, 0x2800, kF, kD),
    plain(Inst::ANDWF, 0xFE00, 0x0A00, kF, kD),
    plain(Inst::ADDWFC, 0xFE00, 0x1000, kF, kD),
    plain(Inst::CALL, 0xE000, 0xE000, kA),
    plain(Inst::STOP, 0xFFFF, 0x0001),
    addlw(),
    plain(Inst::DCFSNZ, 0xFE00, 0x2600, kF, kD),
    plain(Inst::TSTFSZ, 0xFF00, 0x3300, kF),
    plain(Inst::XORWF, 0xFE00, 0x0C00, kF, kD),
    plain(Inst::XORLW, 0xFF00, 0xB400, kF),
    plain(Inst::PAUSE, 0xFFFF, 0x000E),
    plain(Inst::MOVLR, 0xFE00, 0xBA00, bits(7, 4)),
    plain(Inst::MOVLB, 0xFF00, 0xB800, bits(3, 0)),
    plain(Inst::LCALL, 0xFF00, 0xB700, kF),
    plain(Inst::IORWF, 0xFE00, 0x0800, kF, kD),
    plain(Inst::IORLW, 0xFF00, 0xB300, kF),
    plain(Inst::INFSNZ, 0xFE00, 0x2400, kF, kD),
    plain(Inst::INCFSZ, 0xFE00, 0x1E00, kF, kD),
    plain(Inst::MOVFP, 0xE000, 0x6000, kF, kP),
    plain(Inst::GOTO, 0xE000, 0xC000, kA),
    plain(Inst::INCF, 0xFE00, 0x1400, kF, kD),
};

}  // namespace

const FamilyTable kCoreCTable = {kRows, sizeof kRows / sizeof kRows[0]};

}  // namespace opcat_rows

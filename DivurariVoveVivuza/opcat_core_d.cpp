// CoreD instruction set: 16-bit words; no two patterns overlap. CALL, GOTO,
// LFSR and MOVFF take a second word, which decodes on its own as WORD2.
#include "opcat_rows.h"

namespace opcat_rows {
namespace {

// Relocation type numbers that fit CoreD operands.
constexpr std::int8_t kRelocCall = 1;
constexpr std::int8_t kRelocGoto = 2;
constexpr std::int8_t kRelocF = 10;
constexpr std::int8_t kRelocMovlb = 13;
constexpr std::int8_t kRelocCall2 = 14;
constexpr std::int8_t kRelocLfsr1 = 17;
constexpr std::int8_t kRelocLfsr2 = 18;
constexpr std::int8_t kRelocBra = 19;
constexpr std::int8_t kRelocCondBra = 20;

constexpr Field kF = bits(7, 0);    // register or literal
constexpr Field kD = bit(9);        // destination
constexpr Field kA = bit(8);        // access bank, or the CALL fast bit
constexpr Field kB = bits(11, 9);   // bit number
constexpr Field kS = bit(0);        // shadow registers of RETURN and RETFIE

// Operand 1 takes the register relocation type. Literal operations
// (ADDLW, MOVLW, RETLW, ...) answer it too, as they always have.
constexpr Row reg(Row row) {
  row.reloc[0] = kRelocF;
  return row;
}

constexpr Row branch8(InstType inst, std::uint16_t pattern) {
  Row row = plain(inst, 0xFF00, pattern, kF);
  row.form = kBranch8;
  row.reloc[0] = kRelocCondBra;
  return row;
}

constexpr Row branch11(InstType inst, std::uint16_t pattern, std::int8_t word2Operand) {
  Row row = plain(inst, 0xF800, pattern, bits(10, 0));
  row.form = kBranch11;
  row.reloc[0] = kRelocBra;
  row.word2Operand = word2Operand;
  return row;
}

// Marks an operand-less mnemonic whose second-word operand number reads 0.
constexpr Row word2Operand0(Row row) {
  row.word2Operand = 0;
  return row;
}

constexpr Row call() {
  Row row = plain(Inst::CALL, 0xFE00, 0xEC00, kF, kA);
  row.form = kCall;
  row.twoWord = 1;
  row.reloc[0] = kRelocCall;
  row.word2Reloc = kRelocCall2;
  row.word2Operand = 1;
  return row;
}

constexpr Row goTo() {
  Row row = plain(Inst::GOTO, 0xFF00, 0xEF00, kF);
  row.form = kGoto;
  row.twoWord = 1;
  row.reloc[0] = kRelocGoto;
  row.word2Reloc = kRelocCall2;
  row.word2Operand = 1;
  return row;
}

constexpr Row lfsr() {
  Row row = plain(Inst::LFSR, 0xFFC0, 0xEE00, bits(5, 4), bits(3, 0));
  row.form = kLfsr;
  row.twoWord = 1;
  row.reloc[1] = kRelocLfsr1;
  row.word2Reloc = kRelocLfsr2;
  row.word2Operand = 2;
  return row;
}

// The destination register lies in the second word, which has no relocation
// type of its own here.
constexpr Row movff() {
  Row row = plain(Inst::MOVFF, 0xF000, 0xC000, bits(11, 0), nextWord());
  row.form = kMovff;
  row.twoWord = 1;
  row.reloc[0] = kRelocF;
  row.word2Operand = 2;
  return row;
}

constexpr Row movlb() {
  Row row = plain(Inst::MOVLB, 0xFF00, 0x0100, kF);
  row.reloc[0] = kRelocMovlb;
  return row;
}

const Row kRows[] = {
    branch8(Inst::BNC, 0xE300),
    reg(plain(Inst::MULWF, 0xFE00, 0x0200, kF, kA)),
    reg(plain(Inst::BCF, 0xF000, 0x9000, kF, kB, kA)),
    plain(Inst::RETURN, 0xFFFE, 0x0012, kS),
    reg(plain(Inst::RETLW, 0xFF00, 0x0C00, kF)),
    plain(Inst::RETFIE, 0xFFFE, 0x0010, kS),
    plain(Inst::RESET, 0xFFFF, 0x00FF),
    plain(Inst::PUSH, 0xFFFF, 0x0005),
    plain(Inst::POP, 0xFFFF, 0x0006),
    reg(plain(Inst::RLNCF, 0xFC00, 0x4400, kF, kD, kA)),
    reg(plain(Inst::NEGF, 0xFE00, 0x6C00, kF, kA)),
    reg(plain(Inst::RRCF, 0xFC00, 0x3000, kF, kD, kA)),
    reg(plain(Inst::MULLW, 0xFF00, 0x0D00, kF)),
    reg(plain(Inst::MOVWF, 0xFE00, 0x6E00, kF, kA)),
    reg(plain(Inst::MOVLW, 0xFF00, 0x0E00, kF)),
    plain(Inst::WORD2, 0xF000, 0xF000, bits(11, 0)),
    lfsr(),
    movlb(),
    movff(),
    reg(plain(Inst::MOVF, 0xFC00, 0x5000, kF, kD, kA)),
    plain(Inst::NOP, 0xFFFF, 0x0000),
    plain(Inst::TBLRD, 0xFFFF, 0x0008),
    plain(Inst::STOP, 0xFFFF, 0x0020),
    plain(Inst::PAUSE, 0xFFFF, 0x0022),
    word2Operand0(plain(Inst::TRET, 0xFFFF, 0x00E1)),
    plain(Inst::TBLWTPOSTDEC, 0xFFFF, 0x000E),
    word2Operand0(plain(Inst::TRAP, 0xFFFF, 0x00E0)),
    reg(plain(Inst::XORWF, 0xFC00, 0x1800, kF, kD, kA)),
    reg(plain(Inst::XORLW, 0xFF00, 0x0A00, kF)),
    reg(plain(Inst::RLCF, 0xFC00, 0x3400, kF, kD, kA)),
    plain(Inst::TBLWT, 0xFFFF, 0x000C),
    reg(plain(Inst::INFSNZ, 0xFC00, 0x4800, kF, kD, kA)),
    reg(plain(Inst::SWAPF, 0xFC00, 0x3800, kF, kD, kA)),
    reg(plain(Inst::SUBWFB, 0xFC00, 0x5800, kF, kD, kA)),
    reg(plain(Inst::SUBWF, 0xFC00, 0x5C00, kF, kD, kA)),
    reg(plain(Inst::SUBLW, 0xFF00, 0x0800, kF)),
    reg(plain(Inst::SUBFWB, 0xFC00, 0x5400, kF, kD, kA)),
    plain(Inst::SLEEP, 0xFFFF, 0x0003),
    reg(plain(Inst::SETF, 0xFE00, 0x6800, kF, kA)),
    reg(plain(Inst::RRNCF, 0xFC00, 0x4000, kF, kD, kA)),
    reg(plain(Inst::TSTFSZ, 0xFE00, 0x6600, kF, kA)),
    branch8(Inst::BNOV, 0xE500),
    call(),
    branch8(Inst::BZ, 0xE000),
    reg(plain(Inst::BTG, 0xF000, 0x7000, kF, kB, kA)),
    reg(plain(Inst::BTFSS, 0xF000, 0xA000, kF, kB, kA)),
    reg(plain(Inst::BTFSC, 0xF000, 0xB000, kF, kB, kA)),
    reg(plain(Inst::BSF, 0xF000, 0x8000, kF, kB, kA)),
    branch11(Inst::BRA, 0xD000, -1),
    reg(plain(Inst::IORWF, 0xFC00, 0x1000, kF, kD, kA)),
    branch8(Inst::BNZ, 0xE100),
    reg(plain(Inst::COMF, 0xFC00, 0x1C00, kF, kD, kA)),
    branch8(Inst::BNN, 0xE700),
    plain(Inst::LOG, 0xFFFF, 0x0021),
    branch8(Inst::BN, 0xE600),
    branch8(Inst::BC, 0xE200),
    reg(plain(Inst::ANDWF, 0xFC00, 0x1400, kF, kD, kA)),
    reg(plain(Inst::ANDLW, 0xFF00, 0x0B00, kF)),
    reg(plain(Inst::ADDWFC, 0xFC00, 0x2000, kF, kD, kA)),
    reg(plain(Inst::ADDWF, 0xFC00, 0x2400, kF, kD, kA)),
    branch8(Inst::BOV, 0xE400),
    plain(Inst::TBLRDPREINC, 0xFFFF, 0x000B),
    reg(plain(Inst::ADDLW, 0xFF00, 0x0F00, kF)),
    reg(plain(Inst::INCFSZ, 0xFC00, 0x3C00, kF, kD, kA)),
    reg(plain(Inst::INCF, 0xFC00, 0x2800, kF, kD, kA)),
    plain(Inst::HALT, 0xFFFF, 0x0001),
    goTo(),
    reg(plain(Inst::DCFSNZ, 0xFC00, 0x4C00, kF, kD, kA)),
    plain(Inst::TBLWTPOSTINC, 0xFFFF, 0x000D),
    plain(Inst::TBLWTPREINC, 0xFFFF, 0x000F),
    reg(plain(Inst::CLRF, 0xFE00, 0x6A00, kF, kA)),
    plain(Inst::TBLRDPOSTINC, 0xFFFF, 0x0009),
    plain(Inst::CLRWDT, 0xFFFF, 0x0004),
    branch11(Inst::RCALL, 0xD800, 0),
    reg(plain(Inst::DECFSZ, 0xFC00, 0x2C00, kF, kD, kA)),
    reg(plain(Inst::DECF, 0xFC00, 0x0400, kF, kD, kA)),
    plain(Inst::DAW, 0xFFFF, 0x0007),
    reg(plain(Inst::CPFSLT, 0xFE00, 0x6000, kF, kA)),
    reg(plain(Inst::CPFSGT, 0xFE00, 0x6400, kF, kA)),
    reg(plain(Inst::CPFSEQ, 0xFE00, 0x6200, kF, kA)),
    reg(plain(Inst::IORLW, 0xFF00, 0x0900, kF)),
    plain(Inst::TBLRDPOSTDEC, 0xFFFF, 0x000A),
};

}  // namespace

const FamilyTable kCoreDTable = {kRows, sizeof kRows / sizeof kRows[0]};

}  // namespace opcat_rows

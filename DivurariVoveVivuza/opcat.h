// Instruction sets of the four core families: decoding, operand fields,
// encoding, per-mnemonic properties, validity, disassembly and mnemonic texts.
//
// Every function taking a CoreFamily dispatches on it (CoreA..CoreD of
// devtab.h). Misuse is an internal error that fails TOOL_ASSERT: a family
// code outside 1 to 4, a mnemonic foreign to the family, an operand the
// mnemonic lacks, an index outside 0 to 2, a word that does not decode. When
// the exit function returns, the operation yields 0 (a null pointer for
// texts) and setters leave the word unchanged. Callers that may hold words
// that are no instruction test them with instIsValid first.
//
// Instruction words are 16-bit; bits above the family's width (12 bits on
// CoreA, 14 on CoreB, 16 on CoreC and CoreD) are ignored when reading and
// kept when writing.
#pragma once

#include <cstdint>

#include "devtab.h"

// Mnemonic number: 0 none, 1 to 96 the mnemonics in ascending order of their
// text, 97 and 98 two pseudo-operations that no family decodes or encodes.
using InstType = std::uint8_t;

namespace Inst {
enum : InstType {
  NONE = 0,
  ADDLW, ADDWF, ADDWFC, ANDLW, ANDWF, BC, BCF, BN, BNC, BNN,                        // 1-10
  BNOV, BNZ, BOV, BRA, BSF, BTFSC, BTFSS, BTG, BZ, CALL,                            // 11-20
  CLRF, CLRW, CLRWDT, COMF, CPFSEQ, CPFSGT, CPFSLT, DAW, DCFSNZ, DECF,              // 21-30
  DECFSZ, GOTO, HALT, INCF, INCFSZ, INFSNZ, IORLW, IORWF, LCALL, LFSR,              // 31-40
  LOG, MOVF, MOVFF, MOVFP, MOVLB, MOVLR, MOVLW, MOVPF, MOVWF, MULLW,                // 41-50
  MULWF, NEGF, NEGW, NOP, OPTION, PAUSE, POP, PUSH, RCALL, RESET,                   // 51-60
  RETFIE, RETLW, RETURN, RLCF, RLF, RLNCF, RRCF, RRF, RRNCF, SETF,                  // 61-70
  SLEEP, STOP, SUBFWB, SUBLW, SUBWF, SUBWFB, SWAPF, TABLRD, TABLWT, TBLRD,          // 71-80
  TBLRDPOSTDEC, TBLRDPOSTINC, TBLRDPREINC, TBLWT, TBLWTPOSTDEC, TBLWTPOSTINC,       // 81-86
  TBLWTPREINC, TLRD, TLWT, TRAP, TRET, TRIS, TSTFSZ, WORD2, XORLW, XORWF,           // 87-96
  BANKSEL, PAGESEL,                                                                 // 97-98
  LAST = PAGESEL
};
}  // namespace Inst

// --- Decoding and operand fields --------------------------------------------

// Mnemonic of the first (mask, pattern) test the word matches, in the
// family's fixed test order; no match fails the assertion and gives 0.
InstType instDecode(std::uint16_t word, CoreFamily family);

// Operands in assembler order: 1 register, literal or address; 2 the d, b or
// s bit or a second register; 3 the CoreD access bit or the CoreC table
// register. Fields are returned unsigned, never sign-extended. CoreD MOVFF
// operand 2 reads 0 (the destination lies in the second word).
std::uint16_t instGetOperand1(std::uint16_t word, CoreFamily family);
std::uint16_t instGetOperand2(std::uint16_t word, CoreFamily family);
std::uint16_t instGetOperand3(std::uint16_t word, CoreFamily family);
// index 0, 1 or 2 selects operand 1, 2 or 3.
std::uint16_t instGetOperand(std::uint16_t word, CoreFamily family, int index);

// --- Encoding -----------------------------------------------------------------

// *word = (*word & ~mask) | pattern of the mnemonic's decoding test.
void instSetOpcode(std::uint16_t* word, InstType inst, CoreFamily family);
// Decode *word as it stands, then write the low bits of value into that
// mnemonic's operand field; every other bit is kept. So set the opcode
// first. instSetOperand2 on a CoreD MOVFF first word changes nothing.
void instSetOperand1(std::uint16_t* word, std::uint16_t value, CoreFamily family);
void instSetOperand2(std::uint16_t* word, std::uint16_t value, CoreFamily family);
void instSetOperand3(std::uint16_t* word, std::uint16_t value, CoreFamily family);

// --- Properties of a mnemonic of the family -----------------------------------

int instHasOperand1(InstType inst, CoreFamily family);
int instHasOperand2(InstType inst, CoreFamily family);
int instHasOperand3(InstType inst, CoreFamily family);
int instHasOperand(InstType inst, CoreFamily family, int index);
// 1 only for CoreD CALL, GOTO, LFSR and MOVFF.
int instIsTwoWord(InstType inst, CoreFamily family);
// Relocation type number that fits the operand, or -1 when none does.
int instRelocType1(InstType inst, CoreFamily family);
int instRelocType2(InstType inst, CoreFamily family);
int instRelocType3(InstType inst, CoreFamily family);
int instRelocType(InstType inst, CoreFamily family, int index);
// Relocation type that fits the second word, or -1.
int instWord2RelocType(InstType inst, CoreFamily family);
// Operand continued in the second word (1 or 2), 0 for CoreD RCALL, TRAP
// and TRET, -1 for every other mnemonic.
int instWord2Operand(InstType inst, CoreFamily family);

// --- Validity and disassembly -------------------------------------------------

// 1 if the word matches one of the family's decoding tests. Never asserts
// for any word.
int instIsValid(std::uint16_t word, CoreFamily family);

// Text of the instruction: the mnemonic padded to 10 characters, then its
// operands as "0x%x" joined by ",". CoreD branches print their target
// (address is the byte address of word), and CoreD CALL, GOTO, LFSR and MOVFF
// take their second half from next ("???" when next is no second word).
// *count becomes the number of words consumed, 1 or 2. The text lives in one
// buffer per family and stays valid until the next call for that family.
// An invalid word fails the assertion, gives null and leaves *count.
const char* instDisassemble(std::uint32_t address, std::uint16_t word, std::uint16_t next,
                            std::uint8_t* count, CoreFamily family);

// --- Mnemonic texts -------------------------------------------------------------

// Upper-case text of InstType 1 to 98; any other value asserts and gives null.
const char* instMnemonic(InstType inst);
// 1 and *inst set if text names a mnemonic of the family (letters A to Z
// compared without case, nothing trimmed); else 0 and *inst untouched.
int instFromMnemonic(const char* text, InstType* inst, CoreFamily family);

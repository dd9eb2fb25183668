// The whole tool chain as a firmware engineer drives it, once per core
// family: objects as an assembler writes them (calls and jumps across files,
// page and bank selection, initialised data), a library made with kesvo of
// which one member is needed and one is not, a link by torvan under a
// command file for a real processor of the family, then ponzer and dralm on
// the executable. Every result is checked against what the objects and the
// final section addresses imply, decoded with the instruction tables rather
// than with the linker's own code.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "coff.h"
#include "devtab.h"
#include "fixtures/coff_builder.h"
#include "opcat.h"
#include "patch.h"
#include "support/harness.h"

using fixtures::Bytes;
using fixtures::CoffBuilder;
using testing_support::RunResult;

namespace {

// What a patched word must decode to: the mnemonic and its first two
// operands (-1: not checked). Inst::NONE compares the whole word with op1.
struct Expect {
  InstType inst;
  long op1;
  long op2;
};

// From the final address of the symbol and the location of the word.
using ExpectFn = std::function<Expect(std::uint32_t target, std::uint32_t here)>;

// One program word of an object file.
struct Site {
  std::uint16_t word;      // as the assembler wrote it
  const char* symbol;      // null: a plain word that the link leaves alone
  std::uint16_t type;      // relocation on this word; 0: patched by the record before
  std::uint16_t type2;     // a second relocation on the same word, 0 none
  ExpectFn expect;
};

Site plainWord(std::uint16_t w) { return {w, nullptr, 0, 0, nullptr}; }

struct FamilyCase {
  const char* label;
  const char* processor;  // its row of the processor table
  CoreFamily family;
  std::string lkr;
  std::vector<Site> reset;   // absolute ".reset" at 0 of main.o
  std::vector<Site> main;    // ".code" of main.o, "start" its first word
  std::vector<Site> util;    // "farcode" of util.o, "farfunc" its first word
  std::vector<Site> helper;  // "libcode" of the library member helper.o
  std::uint32_t fastAttr;    // attribute of main.o's "fast" data section
  std::uint32_t sfr;         // value of the absolute symbol PORTX
  std::uint32_t farStart;    // where the command file puts "farcode"
  std::uint32_t bankStart;   // where it puts "bankvar"
};

// Instruction words built with the family's encoder, as an assembler does.
struct Asm {
  CoreFamily fam;
  std::uint16_t operator()(InstType inst, long op1 = -1, long op2 = -1) const {
    std::uint16_t w = 0;
    instSetOpcode(&w, inst, fam);
    if (op1 >= 0) instSetOperand1(&w, static_cast<std::uint16_t>(op1), fam);
    if (op2 >= 0) instSetOperand2(&w, static_cast<std::uint16_t>(op2), fam);
    return w;
  }
};

// Expectations.
ExpectFn lit(InstType inst, std::function<long(std::uint32_t)> op1, long op2 = -1) {
  return [=](std::uint32_t t, std::uint32_t) { return Expect{inst, op1(t), op2}; };
}
ExpectFn fixedOps(InstType inst, long op1, long op2) {
  return [=](std::uint32_t, std::uint32_t) { return Expect{inst, op1, op2}; };
}
// BSF when the address has bit mask set, else BCF, of reg, bit.
ExpectFn bitSel(std::uint32_t mask, long reg, long bit) {
  return [=](std::uint32_t t, std::uint32_t) {
    return Expect{(t & mask) ? Inst::BSF : Inst::BCF, reg, bit};
  };
}
ExpectFn rawWord(std::function<long(std::uint32_t)> value) {
  return [=](std::uint32_t t, std::uint32_t) { return Expect{Inst::NONE, value(t), -1}; };
}
// CoreD relative branch: the distance in words from the next instruction.
ExpectFn branch(InstType inst, std::uint32_t fieldMask) {
  return [=](std::uint32_t t, std::uint32_t here) {
    const std::int64_t bytes = static_cast<std::int64_t>(t) - here - 2;
    return Expect{inst, static_cast<long>(static_cast<std::uint32_t>(bytes / 2) & fieldMask), -1};
  };
}
// CoreD register operand with the access bit: 0 inside the access RAM.
ExpectFn accessReg(InstType inst, std::uint32_t accessEnd) {
  return [=](std::uint32_t t, std::uint32_t) {
    return Expect{inst, static_cast<long>(t & 0xFF), t <= accessEnd ? 0 : 1};
  };
}

constexpr unsigned kHole = 0xA5;  // what srec_cat puts where the HEX file has no byte

long low8(std::uint32_t t) { return t & 0xFF; }
long high8(std::uint32_t t) { return (t >> 8) & 0xFF; }

std::vector<FamilyCase> familyCases() {
  std::vector<FamilyCase> cases;
  using namespace Inst;
  {
    // 12-bit words, 4 pages of 512, banks of 32 selected through FSR (4)
    // bits 5 and 6; calls only into the lower half of a page.
    const Asm a{CoreA};
    FamilyCase c;
    c.label = "CoreA";
    c.processor = "XQA07";
    c.family = CoreA;
    c.lkr =
        "// XQA07\n"
        "LIBPATH .\n"
        "CODEPAGE NAME=vectors START=0x0 END=0x3 PROTECTED FILL=0x0A00\n"
        "CODEPAGE NAME=page0 START=0x4 END=0x1FF\n"
        "CODEPAGE NAME=page1 START=0x200 END=0x3FF\n"
        "CODEPAGE NAME=page2 START=0x400 END=0x5FF\n"
        "CODEPAGE NAME=page3 START=0x600 END=0x7FF\n"
        "SHAREBANK NAME=gprnobnk START=0x08 END=0x0F\n"
        "SHAREBANK NAME=gprnobnk START=0x28 END=0x2F\n"
        "SHAREBANK NAME=gprnobnk START=0x48 END=0x4F\n"
        "SHAREBANK NAME=gprnobnk START=0x68 END=0x6F\n"
        "DATABANK NAME=gpr0 START=0x10 END=0x1F\n"
        "DATABANK NAME=gpr1 START=0x30 END=0x3F\n"
        "DATABANK NAME=gpr2 START=0x50 END=0x5F\n"
        "DATABANK NAME=gpr3 START=0x70 END=0x7F\n"
        "SECTION NAME=farcode ROM=page1\n"
        "SECTION NAME=bankvar RAM=gpr2\n"
        "STACK SIZE=0x8\n";
    c.reset = {{a(GOTO, 0), "start", RELOCT_GOTO, 0, lit(GOTO, [](std::uint32_t t) -> long {
                  return t & 0x1FF;
                })}};
    c.main = {
        {a(MOVLW, 0), "_cinit", RELOCT_LOW, 0, lit(MOVLW, low8)},
        {a(BCF, 3, 5), "farfunc", RELOCT_PAGESEL, 0, bitSel(0x200, 3, 5)},
        {a(BCF, 3, 6), "farfunc", 0, 0, bitSel(0x400, 3, 6)},
        {a(CALL, 0), "farfunc", RELOCT_CALL, 0, lit(CALL, low8)},
        {a(BCF, 3, 5), "helper", RELOCT_PAGESEL_BITS, 0, bitSel(0x200, 3, 5)},
        {a(BCF, 3, 6), "helper", 0, 0, bitSel(0x400, 3, 6)},
        {a(CALL, 0), "helper", RELOCT_CALL, 0, lit(CALL, low8)},
        {a(BCF, 4, 5), "remote", RELOCT_BANKSEL, 0, bitSel(0x20, 4, 5)},
        {a(BCF, 4, 6), "remote", 0, 0, bitSel(0x40, 4, 6)},
        {a(MOVWF, 0), "remote", RELOCT_F, 0, lit(MOVWF, [](std::uint32_t t) -> long {
           return t & 0x1F;
         })},
        {a(BCF, 4, 5), "remote", RELOCT_IBANKSEL, 0, bitSel(0x20, 4, 5)},
        {a(BCF, 4, 6), "remote", 0, 0, bitSel(0x40, 4, 6)},
        {a(MOVLW, 0), "counter", RELOCT_LOW, 0, lit(MOVLW, low8)},
        {a(MOVWF, 0), "flags", RELOCT_F, 0, lit(MOVWF, [](std::uint32_t t) -> long {
           return t & 0x1F;
         })},
        {a(GOTO, 0), "done", RELOCT_GOTO, 0, lit(GOTO, [](std::uint32_t t) -> long {
           return t & 0x1FF;
         })},
    };
    c.util = {
        {a(MOVLW, 0), "table", RELOCT_LOW, 0, lit(MOVLW, low8)},
        {a(MOVWF, 0), "counter", RELOCT_F, 0, lit(MOVWF, [](std::uint32_t t) -> long {
           return t & 0x1F;
         })},
        {a(BCF, 3, 5), "start", RELOCT_PAGESEL, 0, bitSel(0x200, 3, 5)},
        {a(BCF, 3, 6), "start", 0, 0, bitSel(0x400, 3, 6)},
        plainWord(a(RETLW, 0)),
    };
    c.helper = {
        {a(BCF, 4, 5), "counter", RELOCT_BANKSEL, 0, bitSel(0x20, 4, 5)},
        {a(BCF, 4, 6), "counter", 0, 0, bitSel(0x40, 4, 6)},
        {a(MOVWF, 0), "counter", RELOCT_F, 0, lit(MOVWF, [](std::uint32_t t) -> long {
           return t & 0x1F;
         })},
        plainWord(a(RETLW, 1)),
    };
    c.fastAttr = kScnShare;
    c.sfr = 0x06;
    c.farStart = 0x200;
    c.bankStart = 0x50;
    cases.push_back(c);
  }
  {
    // 14-bit words, 4 pages of 2048 (PCLATH, 0x0A, bits 3 and 4), 4 banks
    // of 128 (STATUS bits 5 and 6; bit 7 for indirect access).
    const Asm a{CoreB};
    FamilyCase c;
    c.label = "CoreB";
    c.processor = "XQB13";
    c.family = CoreB;
    c.lkr =
        "// XQB13\n"
        "LIBPATH .\n"
        "CODEPAGE NAME=vectors START=0x0 END=0x4 PROTECTED FILL=0x2800\n"
        "CODEPAGE NAME=page0 START=0x5 END=0x7FF\n"
        "CODEPAGE NAME=page1 START=0x800 END=0xFFF\n"
        "CODEPAGE NAME=page2 START=0x1000 END=0x17FF\n"
        "CODEPAGE NAME=page3 START=0x1800 END=0x1FFF\n"
        "DATABANK NAME=sfr0 START=0x0 END=0x1F PROTECTED\n"
        "DATABANK NAME=gpr0 START=0x20 END=0x6F\n"
        "DATABANK NAME=gpr1 START=0xA0 END=0xEF\n"
        "DATABANK NAME=gpr2 START=0x120 END=0x16F\n"
        "DATABANK NAME=gpr3 START=0x1A0 END=0x1EF\n"
        "SHAREBANK NAME=gprnobnk START=0x70 END=0x7F\n"
        "SHAREBANK NAME=gprnobnk START=0xF0 END=0xFF\n"
        "SHAREBANK NAME=gprnobnk START=0x170 END=0x17F\n"
        "SHAREBANK NAME=gprnobnk START=0x1F0 END=0x1FF\n"
        "SECTION NAME=farcode ROM=page1\n"
        "SECTION NAME=bankvar RAM=gpr2\n"
        "STACK SIZE=0x10 RAM=gpr1\n";
    const auto addr11 = [](std::uint32_t t) -> long { return t & 0x7FF; };
    const auto reg7 = [](std::uint32_t t) -> long { return t & 0x7F; };
    c.reset = {{a(GOTO, 0), "start", RELOCT_GOTO, 0, lit(GOTO, addr11)}};
    c.main = {
        {a(MOVLW, 0), "_cinit", RELOCT_LOW, 0, lit(MOVLW, low8)},
        {a(MOVLW, 0), "_cinit", RELOCT_HIGH, 0, lit(MOVLW, high8)},
        {a(MOVLW, 0), "farfunc", RELOCT_PAGESEL, 0, lit(MOVLW, high8)},
        {a(MOVWF, 0x0A), "farfunc", 0, 0, fixedOps(MOVWF, 0x0A, -1)},
        {a(CALL, 0), "farfunc", RELOCT_CALL, 0, lit(CALL, addr11)},
        {a(BCF, 0x0A, 3), "helper", RELOCT_PAGESEL_BITS, 0, bitSel(0x800, 0x0A, 3)},
        {a(BCF, 0x0A, 4), "helper", 0, 0, bitSel(0x1000, 0x0A, 4)},
        {a(CALL, 0), "helper", RELOCT_CALL, 0, lit(CALL, addr11)},
        {a(BCF, 3, 5), "remote", RELOCT_BANKSEL, 0, bitSel(0x80, 3, 5)},
        {a(BCF, 3, 6), "remote", 0, 0, bitSel(0x100, 3, 6)},
        {a(MOVWF, 0), "remote", RELOCT_F, 0, lit(MOVWF, reg7)},
        {a(BCF, 3, 7), "remote", RELOCT_IBANKSEL, 0, bitSel(0x100, 3, 7)},
        {a(MOVLW, 0), "remote", RELOCT_LOW, 0, lit(MOVLW, low8)},
        {a(MOVWF, 0), "flags", RELOCT_F, 0, lit(MOVWF, reg7)},
        {a(GOTO, 0), "done", RELOCT_GOTO, 0, lit(GOTO, addr11)},
    };
    c.util = {
        {a(MOVLW, 0), "table", RELOCT_LOW, 0, lit(MOVLW, low8)},
        {a(MOVWF, 0), "counter", RELOCT_F, 0, lit(MOVWF, reg7)},
        {a(MOVLW, 0), "start", RELOCT_PAGESEL_WREG, 0, lit(MOVLW, high8)},
        {a(MOVWF, 0x0A), "start", 0, 0, fixedOps(MOVWF, 0x0A, -1)},
        {a(GOTO, 0), "start", RELOCT_GOTO, 0, lit(GOTO, addr11)},
    };
    c.helper = {
        {a(BCF, 3, 5), "counter", RELOCT_BANKSEL, 0, bitSel(0x80, 3, 5)},
        {a(BCF, 3, 6), "counter", 0, 0, bitSel(0x100, 3, 6)},
        {a(MOVWF, 0), "counter", RELOCT_F, 0, lit(MOVWF, reg7)},
        plainWord(a(RETURN)),
    };
    c.fastAttr = kScnShare;
    c.sfr = 0x06;
    c.farStart = 0x800;
    c.bankStart = 0x120;
    cases.push_back(c);
  }
  {
    // 16-bit words, 2 pages of 8192 (PCLATH, 3, takes the high byte),
    // 8 banks of 256: MOVLR for general-purpose registers, MOVLB for
    // peripheral ones; 0x1A to 0x1F are unbanked.
    const Asm a{CoreC};
    FamilyCase c;
    c.label = "CoreC";
    c.processor = "XQC04";
    c.family = CoreC;
    c.lkr =
        "// XQC04\n"
        "LIBPATH .\n"
        "CODEPAGE NAME=vectors START=0x0 END=0x27 PROTECTED FILL=0xC000\n"
        "CODEPAGE NAME=page0 START=0x28 END=0x1FFF\n"
        "CODEPAGE NAME=page1 START=0x2000 END=0x3FFF\n"
        "SHAREBANK NAME=gprnobnk START=0x1A END=0x1F\n"
        "DATABANK NAME=gpr0 START=0x20 END=0xFF\n"
        "DATABANK NAME=gpr1 START=0x120 END=0x1FF\n"
        "DATABANK NAME=gpr2 START=0x220 END=0x2FF\n"
        "DATABANK NAME=gpr3 START=0x320 END=0x3FF\n"
        "SECTION NAME=farcode ROM=page1\n"
        "SECTION NAME=bankvar RAM=gpr3\n"
        "STACK SIZE=0x20\n";
    const auto addr13 = [](std::uint32_t t) -> long { return t & 0x1FFF; };
    const auto bank = [](std::uint32_t t) -> long { return (t >> 8) & 0xF; };
    c.reset = {{a(GOTO, 0), "start", RELOCT_GOTO, 0, lit(GOTO, addr13)}};
    c.main = {
        {a(MOVLW, 0), "_cinit", RELOCT_LOW, 0, lit(MOVLW, low8)},
        {a(MOVLW, 0), "_cinit", RELOCT_HIGH, 0, lit(MOVLW, high8)},
        {a(MOVLW, 0), "farfunc", RELOCT_PAGESEL, 0, lit(MOVLW, high8)},
        {a(MOVWF, 3), "farfunc", 0, 0, fixedOps(MOVWF, 3, -1)},
        {a(CALL, 0), "farfunc", RELOCT_CALL, 0, lit(CALL, addr13)},
        {a(MOVLW, 0), "helper", RELOCT_PAGESEL_WREG, 0, lit(MOVLW, high8)},
        {a(MOVWF, 3), "helper", 0, 0, fixedOps(MOVWF, 3, -1)},
        {a(LCALL, 0), "helper", RELOCT_LOW, 0, lit(LCALL, low8)},
        {a(MOVLB, 0), "remote", RELOCT_BANKSEL, 0, lit(MOVLR, bank)},
        {a(MOVWF, 0), "remote", RELOCT_F, 0, lit(MOVWF, low8)},
        {a(MOVLR, 0), "remote", RELOCT_MOVLR, 0, lit(MOVLR, bank)},
        {a(MOVLR, 0), "PORTX", RELOCT_BANKSEL, 0, lit(MOVLB, bank)},
        {a(MOVLB, 0), "PORTX", RELOCT_MOVLB, 0, lit(MOVLB, bank)},
        {a(MOVPF, 0, 0), "flags", RELOCT_P, 0, lit(MOVPF, [](std::uint32_t t) -> long {
           return t & 0x1F;
         })},
        {0x0000, "start", RELOCT_ALL, 0, rawWord([](std::uint32_t t) -> long { return t; })},
        {a(GOTO, 0), "done", RELOCT_GOTO, 0, lit(GOTO, addr13)},
    };
    c.util = {
        {a(MOVLW, 0), "table", RELOCT_LOW, 0, lit(MOVLW, low8)},
        {a(MOVWF, 0), "counter", RELOCT_F, 0, lit(MOVWF, low8)},
        {a(MOVLW, 0), "start", RELOCT_PAGESEL, 0, lit(MOVLW, high8)},
        {a(MOVWF, 3), "start", 0, 0, fixedOps(MOVWF, 3, -1)},
        {a(GOTO, 0), "start", RELOCT_GOTO, 0, lit(GOTO, addr13)},
    };
    c.helper = {
        {a(MOVLB, 0), "counter", RELOCT_BANKSEL, 0, lit(MOVLR, bank)},
        {a(MOVWF, 0), "counter", RELOCT_F, 0, lit(MOVWF, low8)},
        plainWord(a(RETURN)),
    };
    c.fastAttr = kScnShare;
    c.sfr = 0x110;
    c.farStart = 0x2000;
    c.bankStart = 0x320;
    cases.push_back(c);
  }
  {
    // Byte-addressed program memory; two-word CALL, GOTO, LFSR and MOVFF;
    // MOVLB banks of 256 and an access RAM at 0x00-0x5F.
    const Asm a{CoreD};
    FamilyCase c;
    c.label = "CoreD";
    c.processor = "XQD02";
    c.family = CoreD;
    c.lkr =
        "// XQD02\n"
        "LIBPATH .\n"
        "CODEPAGE NAME=vectors START=0x0 END=0x17 PROTECTED FILL=0xFFFF\n"
        "CODEPAGE NAME=page START=0x18 END=0x3FFF\n"
        "CODEPAGE NAME=upper START=0x4000 END=0x7FFF\n"
        "ACCESSBANK NAME=accessram START=0x0 END=0x5F\n"
        "DATABANK NAME=gpr0 START=0x60 END=0xFF\n"
        "DATABANK NAME=gpr1 START=0x100 END=0x1FF\n"
        "DATABANK NAME=gpr2 START=0x200 END=0x2FF\n"
        "DATABANK NAME=gpr3 START=0x300 END=0x3FF\n"
        "DATABANK NAME=gpr4 START=0x400 END=0x4FF\n"
        "DATABANK NAME=gpr5 START=0x500 END=0x5FF\n"
        "ACCESSBANK NAME=accesssfr START=0xF60 END=0xFFF PROTECTED\n"
        "SECTION NAME=farcode ROM=upper\n"
        "SECTION NAME=bankvar RAM=gpr2\n"
        "STACK SIZE=0x40 RAM=gpr5\n";
    const auto half8 = [](std::uint32_t t) -> long { return (t >> 1) & 0xFF; };
    const auto upper12 = [](std::uint32_t t) -> long { return (t >> 9) & 0xFFF; };
    const auto reg12 = [](std::uint32_t t) -> long { return t & 0xFFF; };
    const std::uint16_t word2 = 0xF000;  // second word of a two-word instruction
    c.reset = {
        {a(GOTO, 0), "start", RELOCT_GOTO, 0, lit(GOTO, half8)},
        {word2, "start", RELOCT_CALL2, 0, lit(WORD2, upper12)},
    };
    c.main = {
        {a(MOVLW, 0), "_cinit", RELOCT_UPPER, 0, lit(MOVLW, [](std::uint32_t t) -> long {
           return (t >> 16) & 0xFF;
         })},
        {a(MOVLW, 0), "_cinit", RELOCT_HIGH, 0, lit(MOVLW, high8)},
        {a(MOVLW, 0), "_cinit", RELOCT_LOW, 0, lit(MOVLW, low8)},
        {a(CALL, 0, 0), "farfunc", RELOCT_CALL, 0, lit(CALL, half8, 0)},
        {word2, "farfunc", RELOCT_CALL2, 0, lit(WORD2, upper12)},
        {a(RCALL, 0), "helper", RELOCT_BRA, 0, branch(RCALL, 0x7FF)},
        {a(MOVLB, 0), "remote", RELOCT_BANKSEL, 0, lit(MOVLB, high8)},
        {a(MOVWF, 0, 0), "remote", RELOCT_F, RELOCT_ACCESS, accessReg(MOVWF, 0x5F)},
        {a(MOVWF, 0, 0), "flags", RELOCT_F, RELOCT_ACCESS, accessReg(MOVWF, 0x5F)},
        {a(LFSR, 0, 0), "counter", RELOCT_LFSR1, 0, lit(LFSR, [](std::uint32_t) -> long { return 0; },
                                                      -1)},
        {word2, "counter", RELOCT_LFSR2, 0, lit(WORD2, low8)},
        {a(MOVFF, 0), "counter", RELOCT_FF1, 0, lit(MOVFF, reg12)},
        {word2, "remote", RELOCT_FF2, 0, lit(WORD2, reg12)},
        {a(BZ, 0), "done", RELOCT_CONDBRA, 0, branch(BZ, 0xFF)},
        {0x0000, "helper", RELOCT_ALL, 0, rawWord([](std::uint32_t t) -> long { return t & 0xFFFF; })},
        {a(MOVLB, 0), "PORTX", RELOCT_MOVLB, 0, lit(MOVLB, high8)},
        {a(GOTO, 0), "done", RELOCT_GOTO, 0, lit(GOTO, half8)},
        {word2, "done", RELOCT_CALL2, 0, lit(WORD2, upper12)},
    };
    // LFSR 0: the high nibble of the address goes into operand 2.
    c.main[9].expect = [](std::uint32_t t, std::uint32_t) {
      return Expect{Inst::LFSR, 0, static_cast<long>((t >> 8) & 0xF)};
    };
    c.util = {
        {a(MOVLW, 0), "table", RELOCT_LOW, 0, lit(MOVLW, low8)},
        {a(MOVWF, 0, 0), "counter", RELOCT_F, RELOCT_ACCESS, accessReg(MOVWF, 0x5F)},
        {a(GOTO, 0), "start", RELOCT_GOTO, 0, lit(GOTO, half8)},
        {word2, "start", RELOCT_CALL2, 0, lit(WORD2, upper12)},
    };
    c.helper = {
        {a(MOVLB, 0), "counter", RELOCT_BANKSEL, 0, lit(MOVLB, high8)},
        {a(MOVWF, 0, 0), "counter", RELOCT_F, RELOCT_ACCESS, accessReg(MOVWF, 0x5F)},
        plainWord(a(RETURN, 0)),
    };
    c.fastAttr = kScnAccess;
    c.sfr = 0x180;
    c.farStart = 0x4000;
    c.bankStart = 0x200;
    cases.push_back(c);
  }
  return cases;
}

// gtest names a case by its family rather than dumping its bytes.
void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.label << " " << c.processor; }

Bytes wordsOf(const std::vector<Site>& sites) {
  Bytes b;
  for (const Site& s : sites) {
    b.push_back(static_cast<unsigned char>(s.word & 0xFF));
    b.push_back(static_cast<unsigned char>(s.word >> 8));
  }
  return b;
}

// Object files of one family, their symbols interned as they are needed.
class ObjectWriter {
 public:
  ObjectWriter(const String& name, const FamilyCase& c, std::uint32_t romBits)
      : cBuilder(name), cFamily(c.family) {
    cBuilder.processor(procCoffType(procId(c)), romBits, 8);
  }
  static ProcId procId(const FamilyCase& c) {
    ProcId id = 0;
    EXPECT_EQ(procIdFromName(c.processor, &id), 1) << c.processor;
    return id;
  }
  CoffBuilder& b() { return cBuilder; }
  void define(const String& name, std::uint32_t index) { cSymbols[name] = index; }
  std::uint32_t symbol(const String& name) {
    auto it = cSymbols.find(name);
    if (it != cSymbols.end()) return it->second;
    return cSymbols[name] = cBuilder.externRef(name);
  }
  // The code section's relocations and one source line per word.
  void code(const String& section, const std::vector<Site>& sites, std::uint32_t fileIndex,
            std::uint16_t& line, std::uint32_t base) {
    const std::uint32_t step = cFamily == CoreD ? 2 : 1;
    for (std::size_t i = 0; i < sites.size(); ++i) {
      const Site& s = sites[i];
      const std::uint32_t at = static_cast<std::uint32_t>(2 * i);
      if (s.symbol && s.type) cBuilder.relocation(section, at, symbol(s.symbol), s.type);
      if (s.symbol && s.type2) cBuilder.relocation(section, at, symbol(s.symbol), s.type2);
      cBuilder.lineNumber(section, fileIndex, line++,
                          base + static_cast<std::uint32_t>(i) * step);
    }
  }

 private:
  CoffBuilder cBuilder;
  CoreFamily cFamily;
  std::map<String, std::uint32_t> cSymbols;
};

std::string sourceText(const String& name, int lines) {
  std::string text;
  for (int i = 1; i <= lines; ++i) text += "\t; " + name + " line " + std::to_string(i) + "\n";
  return text;
}

std::string hex6(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%06x", v & 0xFFFFFF);
  return buf;
}

const scnhdr* header(const Coff& c, const String& name) {
  auto it = c.cScnHdr.find(name);
  return it == c.cScnHdr.end() ? nullptr : &it->second;
}

Bytes raw(const Coff& c, const String& name) {
  auto it = c.cRawData.find(name);
  if (it == c.cRawData.end()) return {};
  return Bytes(it->second.data(), it->second.data() + it->second.size());
}

std::uint16_t wordAt(const Bytes& b, std::size_t offset) {
  if (offset + 1 >= b.size()) return 0;
  return static_cast<std::uint16_t>(b[offset] | (b[offset + 1] << 8));
}

// Value of the external or static symbol of that name, -1 when absent.
long symbolValue(const Coff& c, const String& name) {
  for (std::size_t i = 0; i < c.cSymbolTbl.size(); ++i) {
    if (c.cAuxKind[i] != auxNone) continue;
    const syment s = syment::decode(c.cSymbolTbl[i]);
    if (c.getName(s) == name) return static_cast<long>(s.n_value);
  }
  return -1;
}

const char* typeText(int type) {
  switch (type) {
    case scnCode: return "code";
    case scnIData: return "idata";
    case scnUData: return "udata";
    case scnRomData: return "romdata";
    default: return "unknown";
  }
}

class ChainTest : public ::testing::TestWithParam<FamilyCase> {
 protected:
  void SetUp() override { cDir = testing_support::makeTempDir("e2e"); }
  void TearDown() override {
    std::filesystem::remove_all(cDir);
  }

  // Runs the program name with args in the work directory (TZ=UTC for the
  // dates).
  RunResult tool(const std::string& name, const std::vector<std::string>& args) {
    return testing_support::runToolInUtc(cDir, name, args);
  }
  // The same, args being literal words separated by blanks.
  RunResult tool(const std::string& name, const std::string& args) {
    return tool(name, testing_support::splitWords(args));
  }
  std::string path(const std::string& name) const { return cDir + "/" + name; }

  std::string cDir;
};

// Where each symbol lies: a section of the executable and an offset in it.
struct Place {
  String section;
  std::uint32_t offset;  // in locations
};

TEST_P(ChainTest, AssembleArchiveLinkConvert) {
  REQUIRE_PROGRAM("srec_cat");
  const FamilyCase& c = GetParam();
  const ProcId proc = ObjectWriter::procId(c);
  ASSERT_EQ(procFamily(proc), c.family);
  const std::uint32_t romBits = procRomWidthBits(proc);
  const std::uint32_t bpl = (romBits + 7) / 8;  // bytes per program location
  const std::uint32_t step = c.family == CoreD ? 2 : 1;  // locations per word
  const bool retlwImages = romBits % 8 != 0;
  // "done" labels the last instruction of the main line (not a second word).
  std::size_t doneIndex = c.main.size() - 1;
  if (c.main[doneIndex].type == RELOCT_CALL2) --doneIndex;
  const std::uint32_t doneAt = static_cast<std::uint32_t>(doneIndex) * step;
  const Bytes idata = {0x11, 0x22, 0x33};
  const Bytes tables = {0x01, 0x02, 0x03, 0x04};

  // main.o: reset vector, main line, initialised and uninitialised data.
  ObjectWriter mainObj("main.o", c, romBits);
  {
    CoffBuilder& b = mainObj.b();
    b.section(".reset", scnCode, 0, wordsOf(c.reset), kScnAbsolute);
    const int code = b.section(".code", scnCode, 0, wordsOf(c.main));
    const int idat = b.section(".idata", scnIData, 0, idata);
    const int udat = b.udata(".udata", 4);
    const int fast = b.udata("fast", 2, 0, c.fastAttr);
    // A one-word stub: the smallest section, placed after the data images.
    b.section("stub", scnCode, 0, wordsOf({plainWord(0)}));
    const std::uint32_t file = b.file("main.asm");
    mainObj.define("start", b.function("start", static_cast<std::int16_t>(code), 0));
    mainObj.define("done", b.label("done", static_cast<std::int16_t>(code), doneAt));
    b.symbol("message", 0, static_cast<std::int16_t>(idat), kClassStatic);
    mainObj.define("counter", b.externDef("counter", static_cast<std::int16_t>(udat), 0));
    mainObj.define("flags", b.symbol("flags", 0, static_cast<std::int16_t>(fast), kClassStatic));
    mainObj.define("PORTX", b.symbol("PORTX", c.sfr, kScnNumAbsolute, kClassStatic));
    std::uint16_t line = 1;
    mainObj.code(".reset", c.reset, file, line, 0);
    mainObj.code(".code", c.main, file, line, 0);
    b.symbol(".eof", 0, kScnNumDebug, kClassFile);
    b.writeFile(path("main.o"));
    testing_support::writeFile(path("main.asm"),
                               sourceText("main", static_cast<int>(line) - 1));
  }
  // util.o: a routine in another page and a table in data memory.
  ObjectWriter utilObj("util.o", c, romBits);
  {
    CoffBuilder& b = utilObj.b();
    const int code = b.section("farcode", scnCode, 0, wordsOf(c.util));
    const int tab = b.section("tables", scnIData, 0, tables);
    const int bank = b.udata("bankvar", 3);
    const std::uint32_t file = b.file("util.asm");
    utilObj.define("farfunc", b.function("farfunc", static_cast<std::int16_t>(code), 0));
    utilObj.define("table", b.externDef("table", static_cast<std::int16_t>(tab), 0));
    utilObj.define("remote", b.externDef("remote", static_cast<std::int16_t>(bank), 1));
    std::uint16_t line = 1;
    utilObj.code("farcode", c.util, file, line, 0);
    b.symbol(".eof", 0, kScnNumDebug, kClassFile);
    b.writeFile(path("util.o"));
    testing_support::writeFile(path("util.asm"), sourceText("util", static_cast<int>(line) - 1));
  }
  // The library: helper.o is called, unused.o is not.
  ObjectWriter helperObj("helper.o", c, romBits);
  {
    CoffBuilder& b = helperObj.b();
    const int code = b.section("libcode", scnCode, 0, wordsOf(c.helper));
    const std::uint32_t file = b.file("helper.asm");
    helperObj.define("helper", b.function("helper", static_cast<std::int16_t>(code), 0));
    std::uint16_t line = 1;
    helperObj.code("libcode", c.helper, file, line, 0);
    b.symbol(".eof", 0, kScnNumDebug, kClassFile);
    b.writeFile(path("helper.o"));
    testing_support::writeFile(path("helper.asm"),
                               sourceText("helper", static_cast<int>(line) - 1));
  }
  ObjectWriter unusedObj("unused.o", c, romBits);
  {
    CoffBuilder& b = unusedObj.b();
    const int code = b.section("spare", scnCode, 0, Bytes(4, 0));
    unusedObj.b().file("unused.asm");
    b.function("unused", static_cast<std::int16_t>(code), 0);
    b.writeFile(path("unused.o"));
  }

  RunResult r = tool("kesvo", "/c util.lib helper.o unused.o");
  ASSERT_EQ(r.status, 0) << r.output;
  std::filesystem::remove(path("helper.o"));  // only the library has it now
  std::filesystem::remove(path("unused.o"));
  r = tool("kesvo", "/t util.lib");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("helper.o"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("unused.o"), std::string::npos) << r.output;

  testing_support::writeFile(path("prog.lkr"), c.lkr);
  r = tool("torvan", "prog.lkr main.o util.o util.lib -o prog.cof -m prog.map");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Errors    : 0\nWarnings  : 0\n"), std::string::npos) << r.output;

  // The executable reads back and is consistent.
  std::unique_ptr<Coff> out;
  {
    testing_support::DiagnosticsScope scope;
    out = Coff::make(path("prog.cof"));
  }
  ASSERT_TRUE(out);
  EXPECT_EQ(out->verify(), 1);
  EXPECT_EQ(out->cFileHdr.f_flags & kFileExecutable, kFileExecutable);
  EXPECT_EQ(out->cOptHdr.proc_type, procCoffType(proc));
  EXPECT_EQ(out->cOptHdr.rom_width_bits, romBits);
  for (const auto& relocs : out->cRelocInfo) EXPECT_TRUE(relocs.second.empty()) << relocs.first;

  // The needed member came in, the other did not.
  ASSERT_TRUE(header(*out, "libcode"));
  EXPECT_FALSE(header(*out, "spare"));
  EXPECT_EQ(symbolValue(*out, "unused"), -1);

  for (const char* name : {".reset", ".code", ".idata", ".idata_i", ".udata", "fast", "farcode",
                           "tables", "tables_i", "bankvar", ".cinit", ".stack"})
    ASSERT_TRUE(header(*out, name)) << "no section " << name;
  EXPECT_EQ(header(*out, ".reset")->s_paddr, 0u);
  EXPECT_EQ(header(*out, "farcode")->s_paddr, c.farStart);
  EXPECT_EQ(header(*out, "bankvar")->s_paddr, c.bankStart);

  // Symbol addresses from the section placement alone.
  const std::map<String, Place> places = {
      {"start", {".code", 0}},
      {"done", {".code", doneAt}},
      {"counter", {".udata", 0}},
      {"flags", {"fast", 0}},
      {"farfunc", {"farcode", 0}},
      {"table", {"tables", 0}},
      {"remote", {"bankvar", 1}},
      {"helper", {"libcode", 0}},
      {"_cinit", {".cinit", 0}},
  };
  std::map<String, std::uint32_t> address;
  for (const auto& p : places) {
    address[p.first] = header(*out, p.second.section)->s_paddr + p.second.offset;
    if (p.first != "_cinit") {
      EXPECT_EQ(symbolValue(*out, p.first), static_cast<long>(address[p.first])) << p.first;
    }
  }
  address["PORTX"] = c.sfr;

  // Every word: patched ones decode to what their symbol implies, the
  // others are as the assembler wrote them.
  struct Listed {
    String section;
    const std::vector<Site>* sites;
  };
  const std::vector<std::vector<Listed>> files = {
      {{".reset", &c.reset}, {".code", &c.main}}, {{"farcode", &c.util}}, {{"libcode", &c.helper}}};
  for (const auto& file : files) {
    for (const Listed& l : file) {
      const Bytes data = raw(*out, l.section);
      const std::uint32_t start = header(*out, l.section)->s_paddr;
      ASSERT_EQ(data.size(), 2 * l.sites->size()) << l.section;
      for (std::size_t i = 0; i < l.sites->size(); ++i) {
        const Site& s = (*l.sites)[i];
        const std::uint16_t w = wordAt(data, 2 * i);
        const std::uint32_t here = start + static_cast<std::uint32_t>(i) * step;
        SCOPED_TRACE(l.section + " word " + std::to_string(i));
        if (!s.symbol) {
          EXPECT_EQ(w, s.word);
          continue;
        }
        ASSERT_TRUE(address.count(s.symbol)) << s.symbol;
        const Expect e = s.expect(address[s.symbol], here);
        if (e.inst == Inst::NONE) {
          EXPECT_EQ(w, static_cast<std::uint16_t>(e.op1)) << s.symbol;
          continue;
        }
        ASSERT_EQ(instIsValid(w, c.family), 1) << std::hex << w;
        EXPECT_STREQ(instMnemonic(instDecode(w, c.family)), instMnemonic(e.inst))
            << s.symbol << " word 0x" << std::hex << w;
        if (e.op1 >= 0) {
          EXPECT_EQ(instGetOperand1(w, c.family), e.op1) << s.symbol << std::hex << " 0x" << w;
        }
        if (e.op2 >= 0) {
          EXPECT_EQ(instGetOperand2(w, c.family), e.op2) << s.symbol << std::hex << " 0x" << w;
        }
      }
    }
  }

  // Data images and the initialisation table.
  const auto romImage = [&](const Bytes& bytes) {
    if (!retlwImages) return bytes;
    Bytes image;
    for (unsigned char byte : bytes) {
      std::uint16_t w = 0;
      instSetOpcode(&w, Inst::RETLW, c.family);
      instSetOperand1(&w, byte, c.family);
      image.push_back(static_cast<unsigned char>(w & 0xFF));
      image.push_back(static_cast<unsigned char>(w >> 8));
    }
    return image;
  };
  EXPECT_EQ(raw(*out, ".idata_i"), romImage(idata));
  EXPECT_EQ(raw(*out, "tables_i"), romImage(tables));
  EXPECT_EQ(getScnType(*header(*out, ".idata_i")), scnRomData);
  const bool wide = procMaxProgramAddress(proc) >= 0x10000 || procMaxDataAddress(proc) >= 0x10000;
  Bytes table = {2, 0};
  const auto field = [&](std::uint32_t v) {
    for (int k = 0; k < (wide ? 4 : 2); ++k) table.push_back(static_cast<unsigned char>(v >> (8 * k)));
  };
  for (const char* name : {".idata", "tables"}) {  // in name order
    field(header(*out, String(name) + "_i")->s_paddr);
    field(header(*out, name)->s_paddr);
    field(header(*out, name)->s_size);
  }
  EXPECT_EQ(raw(*out, ".cinit"), romImage(table));
  EXPECT_EQ(header(*out, ".idata")->s_size, idata.size());
  EXPECT_EQ(header(*out, ".stack")->s_size,
            c.family == CoreA ? 8u : c.family == CoreB ? 0x10u : c.family == CoreC ? 0x20u : 0x40u);

  // The reset page is filled after the reset vector.
  bool filled = false;
  for (const auto& h : out->cScnHdr)
    if (h.first.rfind(".fill_", 0) == 0) {
      filled = filled || h.second.s_paddr == c.reset.size() * step;
    }
  EXPECT_TRUE(filled);

  // The map names every section at its address.
  const std::string map = testing_support::readFile(path("prog.map"));
  for (const auto& h : out->cScnHdr) {
    const int type = getScnType(h.second);
    char row[160];
    std::snprintf(row, sizeof row, "%25s %10s %10s %10s %10s\n", h.first.c_str(), typeText(type),
                  hex6(h.second.s_paddr).c_str(),
                  (type == scnIData || type == scnUData) ? "data" : "program",
                  hex6(h.second.s_size).c_str());
    EXPECT_NE(map.find(row), std::string::npos) << "map lacks: " << row << map;
  }
  for (const char* name : {"start", "farfunc", "helper", "table", "remote"}) {
    char row[80];
    std::snprintf(row, sizeof row, "%25s %10s", name, hex6(address[name]).c_str());
    EXPECT_NE(map.find(row), std::string::npos) << "map lacks symbol " << name;
  }

  // Program memory as the executable holds it, byte address -> byte.
  std::map<std::uint32_t, unsigned char> program;
  for (const auto& h : out->cScnHdr) {
    const int type = getScnType(h.second);
    if (type != scnCode && type != scnRomData) continue;
    Bytes data = raw(*out, h.first);
    // Word-addressed memory completes a last half word; one-byte locations
    // are never padded, a pad would overwrite the next section's byte.
    if (bpl == 2 && data.size() % 2) data.push_back(0);
    if (c.family == CoreD && type == scnCode) {
      EXPECT_EQ(h.second.s_paddr % 2, 0u) << h.first << " not word-aligned";
    }
    for (std::size_t i = 0; i < data.size(); ++i)
      program[h.second.s_paddr * bpl + static_cast<std::uint32_t>(i)] = data[i];
  }
  ASSERT_FALSE(program.empty());
  for (const char* format : {"INHX32", "INHX8M"}) {
    SCOPED_TRACE(format);
    std::filesystem::remove(path("prog.hex"));
    r = tool("ponzer", std::string("-a ") + format + " prog.cof");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Errors    : 0\nWarnings  : 0\n"), std::string::npos) << r.output;
    std::filesystem::remove(path("prog.bin"));
    // Holes read as kHole, so a byte written where none belongs shows.
    const std::uint32_t end = program.rbegin()->first + 1;
    r = testing_support::runProgram("srec_cat",
                                    {"prog.hex", "-intel", "-fill", std::to_string(kHole), "0",
                                     std::to_string(end), "-o", "prog.bin", "-binary"},
                                    cDir);
    ASSERT_EQ(r.status, 0) << r.output;
    const Bytes bin = fixtures::readBytes(path("prog.bin"));
    ASSERT_EQ(bin.size(), end);
    std::size_t mismatches = 0;
    for (std::uint32_t at = 0; at < bin.size(); ++at) {
      auto it = program.find(at);
      const unsigned char expected = it == program.end() ? kHole : it->second;
      if (bin[at] != expected && ++mismatches <= 8) {
        ADD_FAILURE() << "byte 0x" << std::hex << at << ": 0x" << int(bin[at]) << " not 0x"
                      << int(expected);
      }
    }
    EXPECT_EQ(mismatches, 0u);
  }

  // dralm: the COD file, and the listing beside the executable showing the
  // disassembly of every word.
  r = tool("dralm", "prog.cof");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Errors    : 0\nWarnings  : 0\n"), std::string::npos) << r.output;
  EXPECT_GT(std::filesystem::file_size(path("prog.cod")), 0u);
  const std::string listing = testing_support::readFile(path("prog.lst"));
  for (const auto& file : files) {
    std::uint8_t skip = 1;  // words still to pass before the next instruction
    for (const Listed& l : file) {
      const Bytes data = raw(*out, l.section);
      const std::uint32_t start = header(*out, l.section)->s_paddr;
      for (std::size_t i = 0; i < l.sites->size(); ++i) {
        const std::uint16_t w = wordAt(data, 2 * i);
        const std::uint16_t next = 2 * i + 2 < data.size() ? wordAt(data, 2 * i + 2) : 0;
        const std::uint32_t here = start + static_cast<std::uint32_t>(i) * step;
        std::string text;
        if (skip > 0) --skip;
        if (skip == 0) {
          text = "??? Illegal Opcode";
          if (instIsValid(w, c.family)) text = instDisassemble(here, w, next, &skip, c.family);
        }
        char addr[16], value[16], row[96];
        std::snprintf(addr, sizeof addr, "%06lx", static_cast<unsigned long>(here));
        std::snprintf(value, sizeof value, "%04lx", static_cast<unsigned long>(w));
        std::snprintf(row, sizeof row, "%-6s   %-6s   %-24s ", addr, value, text.c_str());
        EXPECT_NE(listing.find(row), std::string::npos) << "listing lacks: " << row << "\n"
                                                        << listing;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Families, ChainTest, ::testing::ValuesIn(familyCases()),
                         [](const ::testing::TestParamInfo<FamilyCase>& i) {
                           return std::string(i.param.label);
                         });

}  // namespace

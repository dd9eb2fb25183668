// Writes the example's object files and their assembly sources into a
// directory. Object files normally come from an assembler outside the tool
// chain; here they are built with the test tree's fixture builder, as the
// assembler would have written them for this small blinker program.
//
//   make_example_objects [directory]
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fixtures/coff_builder.h"

namespace {

using fixtures::Bytes;
using fixtures::CoffBuilder;
using fixtures::words;

// The XQB01: 14-bit program words, 8-bit data.
constexpr std::uint32_t kProcessor = 0xB001;

// Relocation types the objects use.
constexpr std::uint16_t kCall = 1;
constexpr std::uint16_t kGoto = 2;
constexpr std::uint16_t kBankSel = 6;
constexpr std::uint16_t kFile = 10;

constexpr std::uint16_t GOTO = 0x2800;
constexpr std::uint16_t CALL = 0x2000;
constexpr std::uint16_t NOP = 0x0000;
constexpr std::uint16_t RETURN = 0x0008;
constexpr std::uint16_t MOVLW_FF = 0x30FF;
constexpr std::uint16_t MOVWF = 0x0080;       // register filled in by the linker
constexpr std::uint16_t DECFSZ_F = 0x0B80;    // to the register itself
constexpr std::uint16_t INCF_F = 0x0A80;      // to the register itself
constexpr std::uint16_t BSF_PORTB_0 = 0x1406;
constexpr std::uint16_t BCF_PORTB_0 = 0x1006;
constexpr std::uint16_t BCF_RP0 = 0x1283;      // bank bit, set by the linker

struct Unit {
  std::string object;
  std::string source;
  std::string text;
  CoffBuilder builder;
};

CoffBuilder start(const std::string& object) {
  CoffBuilder b(object);
  b.processor(kProcessor, 14, 8);
  return b;
}

void endOfFile(CoffBuilder& b) { b.symbol(".eof", 0, kScnNumDebug, kClassFile); }

Unit mainUnit() {
  Unit u{"main.o", "main.asm",
         "; Reset vector and main loop of the blinker.\n"
         "        extern  blink, count_up\n"
         "        global  start\n"
         "\n"
         "RESET   code    0x0000\n"
         "        goto    start\n"
         "        nop\n"
         "\n"
         "MAIN    code\n"
         "start   call    count_up\n"
         "        call    blink\n"
         "        goto    start\n"
         "\n"
         "        end\n",
         start("main.o")};
  CoffBuilder& b = u.builder;
  b.section(".reset", scnCode, 0, words({GOTO, NOP}), kScnAbsolute);
  b.section(".code", scnCode, 0, words({CALL, CALL, GOTO}));
  const std::uint32_t file = b.file(u.source);
  const std::uint32_t startFn = b.function("start", 2, 0);
  const std::uint32_t blink = b.externRef("blink");
  const std::uint32_t countUp = b.externRef("count_up");
  endOfFile(b);
  b.relocation(".reset", 0, startFn, kGoto);
  b.relocation(".code", 0, countUp, kCall);
  b.relocation(".code", 2, blink, kCall);
  b.relocation(".code", 4, startFn, kGoto);
  b.lineNumber(".reset", file, 6, 0);
  b.lineNumber(".reset", file, 7, 1);
  b.lineNumber(".code", file, 10, 0, startFn);
  b.lineNumber(".code", file, 11, 1, startFn);
  b.lineNumber(".code", file, 12, 2, startFn);
  return u;
}

Unit counterUnit() {
  Unit u{"counter.o", "counter.asm",
         "; A counter in initialised data.\n"
         "        global  count, count_up\n"
         "\n"
         "IDATA   idata\n"
         "count   db      5\n"
         "\n"
         "CODE    code\n"
         "count_up\n"
         "        banksel count\n"
         "        incf    count, f\n"
         "        return\n"
         "\n"
         "        end\n",
         start("counter.o")};
  CoffBuilder& b = u.builder;
  b.section(".cdata", scnIData, 0, {0x05});
  b.section(".code", scnCode, 0, words({BCF_RP0, INCF_F, RETURN}));
  const std::uint32_t file = b.file(u.source);
  const std::uint32_t count = b.externDef("count", 1, 0);
  const std::uint32_t countUp = b.function("count_up", 2, 0);
  endOfFile(b);
  b.relocation(".code", 0, count, kBankSel);
  b.relocation(".code", 2, count, kFile);
  for (std::uint16_t line = 9; line <= 11; ++line)
    b.lineNumber(".code", file, line, line - 9u, countUp);
  return u;
}

Unit delayUnit() {
  Unit u{"delay.o", "delay.asm",
         "; Busy-wait delay.\n"
         "        global  delay\n"
         "\n"
         "UDATA   udata\n"
         "dcount  res     1\n"
         "\n"
         "CODE    code\n"
         "delay   movlw   0xff\n"
         "        movwf   dcount\n"
         "dloop   decfsz  dcount, f\n"
         "        goto    dloop\n"
         "        return\n"
         "\n"
         "        end\n",
         start("delay.o")};
  CoffBuilder& b = u.builder;
  b.udata(".dvars", 1);
  b.section(".code", scnCode, 0, words({MOVLW_FF, MOVWF, DECFSZ_F, GOTO, RETURN}));
  const std::uint32_t file = b.file(u.source);
  const std::uint32_t dcount = b.symbol("dcount", 0, 1, kClassStatic);
  const std::uint32_t delay = b.function("delay", 2, 0);
  const std::uint32_t dloop = b.label("dloop", 2, 2);
  endOfFile(b);
  b.relocation(".code", 2, dcount, kFile);
  b.relocation(".code", 4, dcount, kFile);
  b.relocation(".code", 6, dloop, kGoto);
  for (std::uint16_t line = 8; line <= 12; ++line)
    b.lineNumber(".code", file, line, line - 8u, delay);
  return u;
}

Unit blinkUnit() {
  Unit u{"blink.o", "blink.asm",
         "; Toggles the LED on port B, bit 0.\n"
         "        global  blink\n"
         "        extern  delay\n"
         "\n"
         "CODE    code\n"
         "blink   bsf     0x06, 0\n"
         "        call    delay\n"
         "        bcf     0x06, 0\n"
         "        call    delay\n"
         "        return\n"
         "\n"
         "        end\n",
         start("blink.o")};
  CoffBuilder& b = u.builder;
  b.section(".code", scnCode, 0, words({BSF_PORTB_0, CALL, BCF_PORTB_0, CALL, RETURN}));
  const std::uint32_t file = b.file(u.source);
  const std::uint32_t blink = b.function("blink", 1, 0);
  const std::uint32_t delay = b.externRef("delay");
  endOfFile(b);
  b.relocation(".code", 2, delay, kCall);
  b.relocation(".code", 6, delay, kCall);
  for (std::uint16_t line = 6; line <= 10; ++line)
    b.lineNumber(".code", file, line, line - 6u, blink);
  return u;
}

// In the library but called by nobody, so the linker leaves it there.
Unit spareUnit() {
  Unit u{"spare.o", "spare.asm",
         "; Not called by the example: the linker leaves it in the library.\n"
         "        global  beep\n"
         "\n"
         "CODE    code\n"
         "beep    return\n"
         "\n"
         "        end\n",
         start("spare.o")};
  CoffBuilder& b = u.builder;
  b.section(".code", scnCode, 0, words({RETURN}));
  const std::uint32_t file = b.file(u.source);
  const std::uint32_t beep = b.function("beep", 1, 0);
  endOfFile(b);
  b.lineNumber(".code", file, 5, 0, beep);
  return u;
}

bool writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return !out.fail();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : ".";
  const Unit units[] = {mainUnit(), counterUnit(), delayUnit(), blinkUnit(), spareUnit()};
  for (const Unit& u : units) {
    const std::string object = dir + "/" + u.object;
    const std::string source = dir + "/" + u.source;
    fixtures::Bytes image = u.builder.bytes();
    std::FILE* f = std::fopen(object.c_str(), "wb");
    bool ok = f && std::fwrite(image.data(), 1, image.size(), f) == image.size();
    if (f) ok = std::fclose(f) == 0 && ok;
    if (!ok || !writeText(source, u.text)) {
      std::fprintf(stderr, "make_example_objects: could not write %s\n", object.c_str());
      return 1;
    }
    std::printf("wrote %s and %s\n", u.object.c_str(), u.source.c_str());
  }
  return 0;
}

// Writes the seed corpora of the fuzz targets, one directory per target:
// small valid objects, libraries, executables, command files and a COD
// file, made with the test tree's fixture builder and the tool chain's own
// linker and COD converter.
//
//   make_fuzz_seeds <corpus-directory>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "archive.h"
#include "coff2cod.h"
#include "fixtures/coff_builder.h"
#include "fuzz_support.h"
#include "link_commands.h"
#include "linker.h"
#include "parser.h"
#include "platform.h"

namespace {

namespace fs = std::filesystem;
using fixtures::Bytes;
using fixtures::CoffBuilder;
using fixtures::words;

constexpr std::uint32_t kCoreA = 0xA001;
constexpr std::uint32_t kCoreB = 0xB001;  // 14-bit words
constexpr std::uint32_t kCoreD = 0xD001;  // byte-addressed

// Relocation types of the 14-bit family.
constexpr std::uint16_t kCall = 1;
constexpr std::uint16_t kGoto = 2;
constexpr std::uint16_t kBankSel = 6;
constexpr std::uint16_t kFile = 10;

void fail(const std::string& what) {
  std::fprintf(stderr, "make_fuzz_seeds: %s\n", what.c_str());
  std::exit(1);
}

void writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out) fail("could not write " + path.string());
}

void writeFile(const fs::path& path, const Bytes& bytes) {
  writeFile(path, std::string(bytes.begin(), bytes.end()));
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("could not read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

CoffBuilder object(const std::string& name, std::uint32_t proc, std::uint32_t romWidth) {
  CoffBuilder b(name);
  b.processor(proc, romWidth, 8);
  return b;
}

void endOfFile(CoffBuilder& b) { b.symbol(".eof", 0, kScnNumDebug, kClassFile); }

// A 14-bit program complete in itself: a reset vector, code calling a
// routine, initialised and uninitialised data with bank selection.
CoffBuilder wholeProgram() {
  CoffBuilder b = object("whole.o", kCoreB, 14);
  b.section(".reset", scnCode, 0, words({0x2800, 0x0000}), kScnAbsolute);
  b.section(".code", scnCode, 0, words({0x2000, 0x1283, 0x0A80, 0x2800, 0x0008}));
  b.section(".idata", scnIData, 0, {0x05, 0x06});
  b.udata(".udata", 4);
  const std::uint32_t file = b.file("whole.asm");
  const std::uint32_t start = b.function("start", 2, 0);
  const std::uint32_t helper = b.label("helper", 2, 8);
  const std::uint32_t count = b.externDef("count", 3, 0);
  const std::uint32_t temp = b.symbol("a_rather_long_temp_name", 0, 4, kClassStatic);
  endOfFile(b);
  b.relocation(".reset", 0, start, kGoto);
  b.relocation(".code", 0, helper, kCall);
  b.relocation(".code", 2, count, kBankSel);
  b.relocation(".code", 4, temp, kFile);
  b.relocation(".code", 6, start, kGoto);
  for (std::uint16_t line = 1; line <= 5; ++line)
    b.lineNumber(".code", file, static_cast<std::uint16_t>(line + 10), line - 1u, start);
  b.lineNumber(".reset", file, 3, 0);
  return b;
}

// Calls a routine it does not define (the library's).
CoffBuilder caller() {
  CoffBuilder b = object("main.o", kCoreB, 14);
  b.section(".reset", scnCode, 0, words({0x2800, 0x0000}), kScnAbsolute);
  b.section(".code", scnCode, 0, words({0x2000, 0x2800}));
  const std::uint32_t file = b.file("main.asm");
  const std::uint32_t start = b.function("start", 2, 0);
  const std::uint32_t delay = b.externRef("delay");
  endOfFile(b);
  b.relocation(".reset", 0, start, kGoto);
  b.relocation(".code", 0, delay, kCall);
  b.relocation(".code", 2, start, kGoto);
  b.lineNumber(".code", file, 4, 0, start);
  b.lineNumber(".code", file, 5, 1, start);
  return b;
}

// The second object of a link: calls the library's routine and selects the
// bank of a variable the first object defines.
CoffBuilder second() {
  CoffBuilder b = object("second.o", kCoreB, 14);
  b.section(".code", scnCode, 0, words({0x1283, 0x2000, 0x0008}));
  const std::uint32_t file = b.file("second.asm");
  const std::uint32_t fn = b.function("second_entry", 1, 0);
  const std::uint32_t count = b.externRef("count");
  const std::uint32_t delay = b.externRef("delay");
  endOfFile(b);
  b.relocation(".code", 0, count, kBankSel);
  b.relocation(".code", 2, delay, kCall);
  for (std::uint16_t line = 1; line <= 3; ++line)
    b.lineNumber(".code", file, static_cast<std::uint16_t>(line + 1), line - 1u, fn);
  return b;
}

CoffBuilder routine(const std::string& fileName, const std::string& name) {
  CoffBuilder b = object(fileName, kCoreB, 14);
  b.section(".code", scnCode, 0, words({0x0000, 0x0008}));
  const std::uint32_t file = b.file(name + ".asm");
  const std::uint32_t fn = b.function(name, 1, 0);
  endOfFile(b);
  b.lineNumber(".code", file, 2, 0, fn);
  b.lineNumber(".code", file, 3, 1, fn);
  return b;
}

// Byte-addressed code and ROM data beyond the first 64 KB.
CoffBuilder wideProgram(bool executable) {
  CoffBuilder b = object(executable ? "wide.out" : "wide.o", kCoreD, 8);
  if (executable) b.flags(kFileExecutable);
  b.section(".code", scnCode, 0x100, {0x12, 0xEF, 0x00, 0xF0, 0x12, 0x00},
            executable ? 0 : kScnAbsolute);
  b.section(".romdata", scnRomData, 0x10200, {'t', 'e', 'x', 't', 0, 0},
            executable ? 0 : kScnAbsolute);
  b.udata(".vars", 8, 0x60, executable ? 0 : kScnAccess);
  const std::uint32_t file = b.file("wide.asm");
  b.function("main_entry_point", 1, 0x100);
  b.externDef("table", 2, 0x10200);
  endOfFile(b);
  b.lineNumber(".code", file, 7, 0x100);
  b.lineNumber(".code", file, 8, 0x104);
  return b;
}

// A 12-bit executable as the linker would leave it.
CoffBuilder smallExecutable() {
  CoffBuilder b = object("small.out", kCoreA, 12);
  b.flags(kFileExecutable);
  b.section(".code", scnCode, 0, words({0x0A00, 0x0000, 0x0C05, 0x0800}));
  b.section(".cinit", scnRomData, 0x10, words({0x0000, 0x0000}));
  const std::uint32_t file = b.file("small.asm");
  b.function("start", 1, 0);
  endOfFile(b);
  for (std::uint16_t i = 0; i < 4; ++i) b.lineNumber(".code", file, i + 3u, i);
  return b;
}

// A 14-bit executable whose source includes a file and switches the
// listing off and on again.
CoffBuilder listedExecutable() {
  CoffBuilder b = object("listed.out", kCoreB, 14);
  b.flags(kFileExecutable);
  b.section(".code", scnCode, 0, words({0x0000, 0x2003, 0x0064, 0x0008}));
  const std::uint32_t main = b.file("listed.asm");
  b.function("listed_start", 1, 0);
  aux_file include;
  include.x_offset = b.addString("macros.inc");
  include.x_incline = 3;
  const std::uint32_t inc =
      b.symbolWithAux(b.makeSymbol(".file", 0, kScnNumDebug, kClassFile), include);
  endOfFile(b);
  // In the order of the source: the list control follows the include.
  b.symbol(".nolist", 5, kScnNumDebug, kClassStatic);
  b.symbol(".list", 7, kScnNumDebug, kClassStatic);
  endOfFile(b);
  b.lineNumber(".code", main, 2, 0);
  b.lineNumber(".code", inc, 2, 1);
  b.lineNumber(".code", main, 4, 2);
  b.lineNumber(".code", main, 8, 3);
  return b;
}

// Source texts of the seed executables, so that dralm lists them.
std::string sourceText(const std::string& name, int lines) {
  std::string text;
  for (int i = 1; i <= lines; ++i) text += "  ; " + name + " line " + std::to_string(i) + "\n";
  return text;
}

Bytes olderLayout(const CoffBuilder& b) {
  fixtures::EmitOptions options;
  options.olderLayout = true;
  options.olderOptHdrSize = 0;
  return b.emit(options);
}

std::string library(const fs::path& path, const std::vector<const CoffBuilder*>& members) {
  Archive archive;
  archive.cFileName = path.string();
  for (const CoffBuilder* b : members) {
    auto member = std::make_unique<Coff>(b->laidOut());
    member->cFileName = b->model().cFileName;
    archive.cMembers.push_back(std::move(member));
  }
  archive.makeSymbols();
  if (!archive.write()) fail("could not write library " + path.string());
  return readFile(path);
}

// Links in dir under commands (read from the file of that name there);
// returns the executable.
std::string link(const fs::path& dir, const std::string& commands) {
  const fs::path home = fs::current_path();
  fs::current_path(dir);
  writeFile(dir / "seed.lkr", commands);
  Linker linker;
  Parser parser;
  String err;
  if (!parser.parseCommandFile("seed.lkr", linker) || !linker.setOutputFile("seed.out", err) ||
      !linker.link(err))
    fail("link failed in " + dir.string() + ": " + err);
  fs::current_path(home);
  return readFile(dir / "seed.out");
}

// Converts the executable at path; returns the COD file.
std::string cod(const fs::path& dir, const std::string& executable) {
  const fs::path home = fs::current_path();
  fs::current_path(dir);
  writeFile(dir / "seedcod.out", executable);
  std::unique_ptr<Coff> coff = Coff::make("seedcod.out");
  Coff2Cod conv;
  if (!coff || !conv.init(*coff, 60, true) || !conv.preWrite() || !conv.write())
    fail("COD conversion failed in " + dir.string());
  fs::current_path(home);
  return readFile(dir / "seedcod.cod");
}

std::time_t fixedClock() { return 1796720700; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds <corpus-directory>\n");
    return 2;
  }
  const fs::path out = fs::absolute(argv[1]);
  // The same bytes on every run.
  platform::setClock(fixedClock);
  setQuiet(1);

  char pattern[] = "/tmp/make_fuzz_seeds.XXXXXX";
  if (!mkdtemp(pattern)) fail("no temporary directory");
  const fs::path tmp = pattern;

  const CoffBuilder whole = wholeProgram();
  const CoffBuilder main = caller();
  const CoffBuilder delay = routine("delay.o", "delay");
  const CoffBuilder blink = routine("blink.o", "blink");
  const CoffBuilder wide = wideProgram(false);
  const CoffBuilder secondObject = second();

  // Objects.
  writeFile(out / "fuzz_coff" / "whole.o", whole.bytes());
  writeFile(out / "fuzz_coff" / "main.o", main.bytes());
  writeFile(out / "fuzz_coff" / "wide.o", wide.bytes());
  writeFile(out / "fuzz_coff" / "older.o", olderLayout(main));

  // Libraries.
  writeFile(out / "fuzz_library" / "util.lib", library(tmp / "util.lib", {&delay, &blink}));
  writeFile(out / "fuzz_library" / "one.lib", library(tmp / "one.lib", {&wide}));

  // Command files.
  const std::string blinker =
      "// Two pages of program memory, banked data memory.\n"
      "LIBPATH .;lib\n"
      "LKRPATH scripts\n"
      "CODEPAGE   NAME=vectors  START=0x0    END=0x3    PROTECTED\n"
      "CODEPAGE   NAME=page0    START=0x4    END=0x7FF  FILL=0x3FFF\n"
      "DATABANK   NAME=gpr0     START=0x20   END=0x6F\n"
      "SHAREBANK  NAME=common   START=0x70   END=0x7F\n"
      "SHAREBANK  NAME=common   START=0xF0   END=0xFF\n"
      "SECTION    NAME=.reset   ROM=vectors\n"
      "SECTION    NAME=.vars    RAM=gpr0\n"
      "STACK      SIZE=0x10     RAM=gpr0\n"
      "FILES      main.o counter.o\n"
      "FILES      util.lib\n";
  const std::string wideCommands =
      "CODEPAGE   NAME=page     START=0x0      END=0x1FFFF\n"
      "CODEPAGE   NAME=config   START=0x300000 END=0x30000D PROTECTED\n"
      "ACCESSBANK NAME=access   START=0x0      END=0x5F\n"
      "DATABANK   NAME=gpr0     START=0x60     END=0xFF\n"
      "ACCESSBANK NAME=sfr      START=0xF60    END=0xFFF    PROTECTED\n"
      "SECTION    NAME=CONFIG   ROM=config\n"
      "SECTION    NAME=.vars    RAM=access\n"
      "HEAP       MINSIZE=0x20\n"
      "FILES      wide.o\n";
  writeFile(out / "fuzz_lkr" / "blinker.lkr", blinker);
  writeFile(out / "fuzz_lkr" / "wide.lkr", wideCommands);
  writeFile(out / "fuzz_lkr" / "fixed.lkr", std::string(fuzzing::kLinkCommands));
  writeFile(out / "fuzz_lkr" / "include.lkr",
            "INCLUDE other.lkr // read where it is named\nSTACK SIZE=0x20\n");

  // Executables: linked by the tool chain, and made by hand.
  const fs::path linkDir = tmp / "link";
  fs::create_directories(linkDir);
  whole.writeFile((linkDir / "fuzz.o").string());
  secondObject.writeFile((linkDir / "second.o").string());
  const std::string utilLib = library(tmp / "util.lib", {&delay, &blink});
  writeFile(linkDir / "fuzz.lib", utilLib);
  const std::string linked = link(linkDir, fuzzing::kLinkCommands);
  const fs::path wideDir = tmp / "wide";
  fs::create_directories(wideDir);
  wide.writeFile((wideDir / "wide.o").string());
  const std::string wideLinked = link(wideDir, "CODEPAGE NAME=page START=0x0 END=0x1FFFF\n"
                                               "ACCESSBANK NAME=access START=0x0 END=0x7F\n"
                                               "FILES wide.o\n");
  const Bytes wideExe = wideProgram(true).bytes();
  const Bytes smallExe = smallExecutable().bytes();
  const Bytes listedExe = listedExecutable().bytes();
  writeFile(out / "fuzz_ponzer" / "linked.out", linked);
  writeFile(out / "fuzz_ponzer" / "wide_linked.out", wideLinked);
  writeFile(out / "fuzz_ponzer" / "wide.out", wideExe);
  writeFile(out / "fuzz_ponzer" / "small.out", smallExe);
  // dralm's inputs carry the sources their executables name.
  const std::string wideSource = sourceText("wide", 9);
  writeFile(out / "fuzz_dralm" / "linked.out",
            fuzzing::joinFiles(linked, {{"whole.asm", sourceText("whole", 16)},
                                        {"second.asm", sourceText("second", 4)},
                                        {"delay.asm", sourceText("delay", 3)}}));
  writeFile(out / "fuzz_dralm" / "wide_linked.out",
            fuzzing::joinFiles(wideLinked, {{"wide.asm", wideSource}}));
  writeFile(out / "fuzz_dralm" / "wide.out",
            fuzzing::joinFiles(std::string(wideExe.begin(), wideExe.end()),
                               {{"wide.asm", wideSource}}));
  writeFile(out / "fuzz_dralm" / "small.out",
            fuzzing::joinFiles(std::string(smallExe.begin(), smallExe.end()),
                               {{"small.asm", sourceText("small", 7)}}));
  writeFile(out / "fuzz_dralm" / "listed.out",
            fuzzing::joinFiles(std::string(listedExe.begin(), listedExe.end()),
                               {{"listed.asm", "  nop\n  goto next\n  include macros.inc\n"
                                               "  clrwdt\n  nolist\n  hidden\n  list\n"
                                               "  return\n"},
                                {"macros.inc", "; macros\n  goto next\n"}}));

  // COD files of the executables.
  writeFile(out / "fuzz_cod" / "linked.cod", cod(tmp, linked));
  writeFile(out / "fuzz_cod" / "small.cod", cod(tmp, std::string(smallExe.begin(), smallExe.end())));

  // Objects and a library for the fixed command file of the link target.
  const auto linkInput = [&](const Bytes& first, const Bytes& other) {
    return fuzzing::joinFiles(std::string(first.begin(), first.end()),
                              {{"second.o", std::string(other.begin(), other.end())},
                               {"fuzz.lib", utilLib}});
  };
  writeFile(out / "fuzz_link" / "whole.o", linkInput(whole.bytes(), secondObject.bytes()));
  writeFile(out / "fuzz_link" / "main.o", linkInput(main.bytes(), blink.bytes()));
  writeFile(out / "fuzz_link" / "older.o", linkInput(olderLayout(whole), secondObject.bytes()));

  fs::remove_all(tmp);
  std::printf("seeds written to %s\n", out.string().c_str());
  return 0;
}

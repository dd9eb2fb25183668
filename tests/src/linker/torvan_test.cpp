// torvan end to end: the built program run on fixture-built objects,
// libraries and command files, its outputs read back with the project's
// reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "banner.h"
#include "coff.h"
#include "fixtures/coff_builder.h"
#include "link_fixture.h"
#include "parser.h"
#include "patch.h"
#include "support/harness.h"

using fixtures::Bytes;
using fixtures::CoffBuilder;
using fixtures::words;
using namespace testing_support;

namespace {

constexpr std::uint32_t kCoreB = 0xB001;  // 14-bit words, two data banks
constexpr std::uint16_t kRelCall = 1;
constexpr std::uint16_t kRelLow = 4;

std::string banner() { return std::string(linkerBanner()) + "\n" + noticeBanner() + "\n\n"; }

std::string summary(int errors, int warnings = 0) {
  return "Errors    : " + std::to_string(errors) + "\nWarnings  : " + std::to_string(warnings) +
         "\n\n";
}

std::string failure(const std::string& message) {
  return banner() + "Error - " + message + "\n" + summary(1);
}

const char* const kHelp[] = {
    "Syntax:   torvan { cmdfile | [objfile] | [libfile] | [option] } ...  ",
    "  'cmdfile' is the name of a linker command file.              ",
    "       All linker command files must have the extension '.lkr' ",
    "  'objfile' is the name of an assembler or compiler generated object file. ",
    "       All object files must have the extension '.o'.          ",
    "  'libfile' is the name of a librarian created library file.   ",
    "       All library files must have the extension '.lib'.       ",
    "  'option'  is a linker command line option described below.   ",
    "",
    "Linker command line options:                                   ",
    "   /o <filename>   : specify output file 'filename', default is 'a.out'  ",
    "   /m <filename>   : create map file 'filename'                          ",
    "   /l <pathlist>   : list of directories to search for library/object files",
    "   /k <pathlist>   : list of directories to search for linker command files",
    "   /n <length>     : number of lines per listing page (0 = no pagination)",
    "   /h, /?          : show this help screen                   ",
    "   /a <hexformat>  : specify format of hex programming file  ",
    "                     valid formats are INHX8M, INHX8S, INHX32",
    "   /d              : don't create listing file               ",
    "   /q              : quiet mode operation                    ",
};

std::string help() {
  std::string text;
  for (const char* line : kHelp) text += std::string(line) + "\n";
  return text;
}

std::string maskCreated(std::string text) {
  const std::string key = "Created ";
  size_t at = text.find(key);
  if (at == std::string::npos) return text;
  at += key.size();
  return text.replace(at, text.find('\n', at) - at, "<time>");
}

const char* const kMemories =
    "CODEPAGE NAME=page0 START=0x0 END=0xFF\n"
    "DATABANK NAME=gpr0 START=0x20 END=0x6F\n";

class TorvanTest : public ::testing::Test {
 protected:
  // A code section of two words and a function.
  static CoffBuilder mainObject() {
    CoffBuilder b("main.o");
    b.processor(kCoreB, 14, 8);
    b.section(".code", scnCode, 0, words({0x0000, 0x0008}));
    b.file("main.asm");
    b.function("main", 1, 0);
    return b;
  }

  void SetUp() override {
    f.object("main.o", mainObject());
    f.file("link.lkr", std::string(kMemories) + "FILES main.o\n");
  }

  // args: literal words separated by blanks.
  RunResult run(const std::string& args) { return run(splitWords(args)); }
  RunResult run(const std::vector<std::string>& args) {
    return runProgram(toolBinDir() + "/torvan", args, f.dir());
  }

  bool exists(const std::string& name) const { return std::filesystem::exists(f.path(name)); }

  // The executable as the project's reader reads and checks it.
  std::unique_ptr<Coff> output(const std::string& name = "a.out") {
    std::unique_ptr<Coff> c = Coff::make(f.path(name));
    EXPECT_TRUE(c) << name << " unreadable";
    if (c) {
      EXPECT_EQ(c->verify(), 1);
    }
    return c;
  }

  static const scnhdr& header(const Coff& c, const String& name) {
    static const scnhdr none;
    auto it = c.cScnHdr.find(name);
    EXPECT_NE(it, c.cScnHdr.end()) << "no section " << name;
    return it == c.cScnHdr.end() ? none : it->second;
  }

  static Bytes raw(const Coff& c, const String& name) {
    auto it = c.cRawData.find(name);
    if (it == c.cRawData.end()) return {};
    return Bytes(it->second.data(), it->second.data() + it->second.size());
  }

  static bool hasSymbol(const Coff& c, const String& name) {
    for (size_t i = 0; i < c.cSymbolTbl.size(); ++i)
      if (c.cAuxKind[i] == auxNone && c.getName(syment::decode(c.cSymbolTbl[i])) == name)
        return true;
    return false;
  }

  linktest::LinkFixture f{"torvan"};
};

TEST_F(TorvanTest, MinimalLinkWritesAOut) {
  RunResult r = run("link.lkr");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, banner() + summary(0));
  auto out = output();
  ASSERT_TRUE(out);
  EXPECT_EQ(out->cFileHdr.f_flags, kFileExecutable);
  EXPECT_EQ(out->cOptHdr.proc_type, kCoreB);
  // The initialisation table is placed before the unassigned code section.
  EXPECT_EQ(header(*out, ".cinit").s_paddr, 0u);
  EXPECT_EQ(header(*out, ".cinit").s_size, 4u);
  EXPECT_EQ(header(*out, ".code").s_paddr, 2u);
  EXPECT_EQ(raw(*out, ".code"), words({0x0000, 0x0008}));
  EXPECT_TRUE(out->cRelocInfo.empty() || out->cRelocInfo[".code"].empty());
  EXPECT_TRUE(hasSymbol(*out, "main"));
  // No map file of either kind.
  EXPECT_EQ(testing_support::directoryEntries(f.dir()),
            (std::vector<std::string>{"a.out", "link.lkr", "main.o"}));
}

TEST_F(TorvanTest, LibraryMembersComeInOnlyWhenReferenced) {
  CoffBuilder caller("caller.o");
  caller.processor(kCoreB, 14, 8);
  caller.section(".code", scnCode, 0, words({0x2000}));  // CALL helper
  const std::uint32_t helperRef = caller.externRef("helper");
  caller.relocation(".code", 0, helperRef, kRelCall);
  f.object("caller.o", caller);

  CoffBuilder helper("helper.o");
  helper.processor(kCoreB, 14, 8);
  helper.section(".libcode", scnCode, 0, words({0x0008}));
  helper.function("helper", 1, 0);
  CoffBuilder unused("unused.o");
  unused.processor(kCoreB, 14, 8);
  unused.section(".spare", scnCode, 0, words({0x0008, 0x0008}));
  unused.function("unused", 1, 0);
  f.library("libs/util.lib", {&helper, &unused});
  f.file("lib.lkr", std::string(kMemories) + "LIBPATH libs\nFILES caller.o util.lib\n");

  RunResult r = run("lib.lkr -o prog.cof");
  ASSERT_EQ(r.status, 0) << r.output;
  auto out = output("prog.cof");
  ASSERT_TRUE(out);
  EXPECT_EQ(out->cScnHdr.count(".libcode"), 1u);
  EXPECT_EQ(out->cScnHdr.count(".spare"), 0u);
  EXPECT_FALSE(hasSymbol(*out, "unused"));
  const std::uint32_t target = header(*out, ".libcode").s_paddr;
  EXPECT_EQ(raw(*out, ".code"), words({static_cast<std::uint16_t>(0x2000 | target)}));
}

TEST_F(TorvanTest, AbsoluteSectionsKeepTheirAddresses) {
  CoffBuilder b("fixed.o");
  b.processor(kCoreB, 14, 8);
  b.section(".vec", scnCode, 0x40, words({0x2800}), kScnAbsolute);
  b.udata(".regs", 3, 0x30, kScnAbsolute);
  f.object("fixed.o", b);
  f.file("fixed.lkr", std::string(kMemories) + "FILES fixed.o\n");

  RunResult r = run("fixed.lkr");
  ASSERT_EQ(r.status, 0) << r.output;
  auto out = output();
  ASSERT_TRUE(out);
  EXPECT_EQ(header(*out, ".vec").s_paddr, 0x40u);
  EXPECT_EQ(header(*out, ".regs").s_paddr, 0x30u);
  EXPECT_EQ(header(*out, ".regs").s_size, 3u);
  EXPECT_EQ(getScnType(header(*out, ".regs")), scnUData);
}

TEST_F(TorvanTest, FailedMappingWritesTheErrorMapAndNoExecutable) {
  CoffBuilder big("big.o");
  big.processor(kCoreB, 14, 8);
  big.section(".code", scnCode, 0, Bytes(0x400, 0));
  f.object("big.o", big);
  f.file("big.lkr", std::string(kMemories) + "FILES big.o\n");

  RunResult r = run("big.lkr -m big.map");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output,
            failure("section '.code' can not fit the section. Section '.code' length=0x00000400"));
  EXPECT_FALSE(exists("a.out"));
  EXPECT_EQ(maskCreated(readFile(f.path("big.map"))),
            "TORVAN v2.10.00, Linker\n"
            "Linker Error Map File - Created <time>\n"
            "\n"
            "*Warning* - This is only a partial map file due to a link time error.\n"
            "   Only sections which were allocated prior to the error are shown below.\n"
            "\n"
            "CODEPAGES:\n"
            "    Memory      Start        End              Section    Address Size(Bytes)\n"
            " ---------  ---------  ---------            ---------  ---------  ---------\n"
            "     page0     0x0000     0x00ff               .cinit     0x0000     0x0004\n"
            "\n"
            "\n"
            "SHAREBANKS:\n"
            "\n"
            "DATABANKS:\n"
            "    Memory      Start        End              Section    Address Size(Bytes)\n"
            " ---------  ---------  ---------            ---------  ---------  ---------\n"
            "      gpr0     0x0020     0x006f                                           \n"
            "\n"
            "\n"
            "ACCESSBANKS:\n"
            "\n");
}

// A value that a field holds whole is refused when it does not fit, never
// cut: the link fails naming the symbol or section and the value, and no
// executable is written.
TEST_F(TorvanTest, ValuesThatDoNotFitTheirFieldAreRefused) {
  // A CoreD call and its second word, to target, at the given address.
  auto callTo = [](std::uint32_t address) {
    CoffBuilder b("call.o");
    b.processor(0xD001, 8, 8);
    b.section(".code", scnCode, 0, Bytes(4, 0));
    b.section(".far", scnCode, address, Bytes(2, 0), kScnAbsolute);
    const std::uint32_t target = b.externDef("target", 2, address);
    b.relocation(".code", 0, target, RELOCT_CALL);
    b.relocation(".code", 2, target, RELOCT_CALL2);
    return b;
  };
  // Initialised data on a core with 16-bit table fields, its image placed
  // in the memory far.
  CoffBuilder idata = mainObject();
  idata.section(".idat", scnIData, 0, {0x12, 0x34});
  struct Case {
    const char* what;
    CoffBuilder object;
    std::string commands;
    std::string message;  // empty: linked
  };
  const std::vector<Case> cases = {
      {"call within 21 bits", callTo(0x1FFFFE), "CODEPAGE NAME=p START=0 END=0x3FFFFF\n", ""},
      {"call beyond 21 bits", callTo(0x300000), "CODEPAGE NAME=p START=0 END=0x3FFFFF\n",
       "file './obj.o', section '.code', Symbol 'target' has the value 0x00300000, which does "
       "not fit the 21-bit target of a call or goto instruction."},
      {"table fields within 16 bits", idata,
       std::string(kMemories) + "CODEPAGE NAME=far START=0xFF00 END=0xFFFF\n"
                                "SECTION NAME=.idat_i ROM=far\n",
       ""},
      {"image address beyond 16 bits", idata,
       std::string(kMemories) + "CODEPAGE NAME=far START=0x12340 END=0x123FF\n"
                                "SECTION NAME=.idat_i ROM=far\n",
       "The start address of section '.idat_i', 0x00012340, does not fit the 16-bit fields of "
       "section '.cinit'."},
      {"data address beyond 16 bits", idata,
       std::string(kMemories) + "DATABANK NAME=far START=0x12000 END=0x120FF\n"
                                "SECTION NAME=.idat RAM=far\n",
       "The start address of section '.idat', 0x00012000, does not fit the 16-bit fields of "
       "section '.cinit'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(f.path("a.out"));
    f.object("obj.o", c.object);
    f.file("fit.lkr", c.commands + "FILES obj.o\n");
    RunResult r = run("fit.lkr");
    if (c.message.empty()) {
      EXPECT_EQ(r.status, 0) << r.output;
      EXPECT_TRUE(exists("a.out"));
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.output, failure(c.message));
      EXPECT_FALSE(exists("a.out"));
    }
  }
}

TEST_F(TorvanTest, FailureBeforeMappingWritesNoFileAtAll) {
  f.file("none.lkr", kMemories);
  RunResult r = run("none.lkr -m none.map");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, failure("no input object files specified."));
  EXPECT_FALSE(exists("none.map"));
  EXPECT_FALSE(exists("a.out"));
}

TEST_F(TorvanTest, ErrorReportedByTheReaderIsTheOnlyMessage) {
  f.file("broken.o", "not an object file");
  f.file("broken.lkr", std::string(kMemories) + "FILES broken.o\n");
  RunResult r = run("broken.lkr");
  EXPECT_EQ(r.status, 1);
  size_t errors = 0;
  for (size_t at = r.output.find("Error - "); at != std::string::npos;
       at = r.output.find("Error - ", at + 1))
    ++errors;
  EXPECT_EQ(errors, 1u) << r.output;
  EXPECT_NE(r.output.find(summary(1)), std::string::npos) << r.output;
}

TEST_F(TorvanTest, SuccessfulLinkWritesTheFullMap) {
  CoffBuilder b = mainObject();
  b.udata(".vars", 2);
  b.symbol("flags", 0, 2, kClassStatic);
  f.object("main.o", b);

  RunResult r = run("link.lkr -m link.map");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(exists("a.out"));
  EXPECT_EQ(maskCreated(readFile(f.path("link.map"))),
            "TORVAN v2.10.00, Linker\n"
            "Linker Map File - Created <time>\n"
            "\n"
            "                                 Section Info\n"
            "                  Section       Type    Address   Location Size(Bytes)\n"
            "                ---------  ---------  ---------  ---------  ---------\n"
            "                   .cinit    romdata   0x000000    program   0x000004\n"
            "                    .code       code   0x000002    program   0x000004\n"
            "                    .vars      udata   0x000020       data   0x000002\n"
            "\n"
            "\n"
            "\n"
            "                              Program Memory Usage \n"
            "                               Start         End      \n"
            "                           ---------   ---------      \n"
            "                            0x000000    0x000003      \n"
            "            4 out of 256 program addresses used, program memory utilization is 1%\n"
            "\n"
            "\n"
            "\n"
            "                              Symbols - Sorted by Name\n"
            "                     Name    Address   Location    Storage File                     \n"
            "                ---------  ---------  ---------  --------- ---------                \n"
            "                     main   0x000002    program     extern main.asm                 \n"
            "                    flags   0x000020       data     static main.asm                 \n"
            "\n"
            "\n"
            "\n"
            "                              Symbols - Sorted by Address\n"
            "                     Name    Address   Location    Storage File                     \n"
            "                ---------  ---------  ---------  --------- ---------                \n"
            "                     main   0x000002    program     extern main.asm                 \n"
            "                    flags   0x000020       data     static main.asm                 \n"
            "\n"
            "\n");
}

TEST_F(TorvanTest, StackSymbolsReachTheCode) {
  CoffBuilder b("stk.o");
  b.processor(kCoreB, 14, 8);
  b.section(".code", scnCode, 0, words({0x3000, 0x3000}));  // MOVLW, MOVLW
  const std::uint32_t stack = b.externRef("_stack");
  const std::uint32_t size = b.externRef("_stksize");
  b.relocation(".code", 0, stack, kRelLow);
  b.relocation(".code", 2, size, kRelLow);
  f.object("stk.o", b);
  f.file("stk.lkr", std::string(kMemories) + "STACK SIZE=0x10\nFILES stk.o\n");

  RunResult r = run("stk.lkr");
  ASSERT_EQ(r.status, 0) << r.output;
  auto out = output();
  ASSERT_TRUE(out);
  const scnhdr& h = header(*out, ".stack");
  EXPECT_EQ(getScnType(h), scnUData);
  EXPECT_EQ(h.s_size, 0x10u);
  EXPECT_EQ(h.s_paddr, 0x20u);
  EXPECT_EQ(raw(*out, ".code"), words({0x3020, 0x3010}));
}

TEST_F(TorvanTest, InitialisedDataGetsImageAndTableEntry) {
  CoffBuilder b = mainObject();
  b.section(".idat", scnIData, 0, {0x12, 0x34});
  f.object("main.o", b);

  RunResult r = run("link.lkr");
  ASSERT_EQ(r.status, 0) << r.output;
  auto out = output();
  ASSERT_TRUE(out);
  // On 14-bit words every data byte becomes a RETLW of its own.
  EXPECT_EQ(raw(*out, ".idat_i"), words({0x3412, 0x3434}));
  const std::uint32_t image = header(*out, ".idat_i").s_paddr;
  const std::uint32_t data = header(*out, ".idat").s_paddr;
  EXPECT_EQ(data, 0x20u);
  // Count 1, then image address, data address and size, 16 bits each.
  const Bytes table = {1, 0, static_cast<unsigned char>(image), 0,
                       static_cast<unsigned char>(data), 0, 2, 0};
  std::vector<std::uint16_t> retlw;
  for (unsigned char byte : table) retlw.push_back(static_cast<std::uint16_t>(0x3400 | byte));
  EXPECT_EQ(raw(*out, ".cinit"), words(retlw));
  EXPECT_EQ(header(*out, ".cinit").s_paddr, 0u);
}

// On 2-byte locations an odd piece that another piece of its section follows
// takes a whole location; the last piece is followed by nothing and keeps
// its size, so qd merges to 4 + 3 = 7 bytes and ranks after the 8 bytes of z8.
TEST_F(TorvanTest, MergedSectionRoundsOnlyThePiecesOthersFollow) {
  CoffBuilder a("a.o");
  a.processor(kCoreB, 14, 8);
  a.section("qd", scnRomData, 0, {0x01, 0x02, 0x03, 0x04});
  f.object("a.o", a);
  CoffBuilder b("b.o");
  b.processor(kCoreB, 14, 8);
  b.section("qd", scnRomData, 0, {0x05, 0x06, 0x07});
  b.section("z8", scnRomData, 0, Bytes(8, 0x11));
  f.object("b.o", b);
  const std::string tail = "SECTION NAME=.cinit ROM=page\nFILES a.o b.o\n";

  f.file("rom.lkr", "CODEPAGE NAME=page START=0x0 END=0x7FF\n" + tail);
  RunResult r = run("rom.lkr -m rom.map");
  ASSERT_EQ(r.status, 0) << r.output;
  auto out = output();
  ASSERT_TRUE(out);
  EXPECT_EQ(header(*out, "z8").s_paddr, 0x2u);
  EXPECT_EQ(header(*out, "qd").s_paddr, 0x6u);
  EXPECT_EQ(header(*out, "qd").s_size, 7u);
  EXPECT_EQ(raw(*out, "qd"), Bytes({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}));
  const std::string map = readFile(f.path("rom.map"));
  EXPECT_NE(map.find("\n                       qd    romdata   0x000006    program   0x000007\n"),
            std::string::npos)
      << map;

  // Two locations short of both: qd, now the smaller, is the one that fails.
  f.file("short.lkr", "CODEPAGE NAME=page START=0x0 END=0x6\n" + tail);
  r = run("short.lkr -m short.map");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output,
            failure("section 'qd' can not fit the section. Section 'qd' length=0x00000007"));
  const std::string partial = readFile(f.path("short.map"));
  EXPECT_NE(partial.find("      page     0x0000     0x0006               .cinit     0x0000     0x0004\n"
                         "                                                   z8     0x0002     0x0008\n"
                         "\n"),
            std::string::npos)
      << partial;
}

TEST_F(TorvanTest, FreeProgramMemoryIsFilled) {
  f.file("fill.lkr",
         "CODEPAGE NAME=page0 START=0x0 END=0xF FILL=0x3FFF\n"
         "DATABANK NAME=gpr0 START=0x20 END=0x6F\n"
         "FILES main.o\n");
  RunResult r = run("fill.lkr");
  ASSERT_EQ(r.status, 0) << r.output;
  auto out = output();
  ASSERT_TRUE(out);
  // .cinit and .code take locations 0 to 3.
  EXPECT_EQ(header(*out, ".fill_1").s_paddr, 4u);
  EXPECT_EQ(getScnType(header(*out, ".fill_1")), scnCode);
  EXPECT_EQ(raw(*out, ".fill_1"), words(std::vector<std::uint16_t>(12, 0x3FFF)));
}

TEST_F(TorvanTest, StripLeavesNoSymbolsOrLines) {
  CoffBuilder b = mainObject();
  b.lineNumber(".code", 0, 3, 0, 2);
  f.object("main.o", b);
  RunResult r = run("-s link.lkr");
  ASSERT_EQ(r.status, 0) << r.output;
  auto out = output();
  ASSERT_TRUE(out);
  EXPECT_EQ(out->cFileHdr.f_flags, 0x0086);
  EXPECT_TRUE(out->cSymbolTbl.empty());
  for (const auto& lines : out->cLineInfo) EXPECT_TRUE(lines.second.empty()) << lines.first;
}

// Arguments to exit status and standard output, run in a directory with
// main.o and link.lkr.
TEST_F(TorvanTest, CommandLine) {
  f.file("FOO.LKR", std::string(kMemories) + "FILES main.o\n");
  f.file("sub/sub.lkr", std::string(kMemories) + "FILES main.o\n");
  struct Case {
    const char* args;
    int status;
    std::string output;
  };
  const std::vector<Case> cases = {
      {"", 255, banner() + help()},
      {"main.o", 1, failure("linker command file required.")},
      {"-o", 1, failure("-o switch requires <filename>")},
      {"-o -m link.lkr", 1, failure("-o switch requires <filename>")},
      {"-o _x.out link.lkr", 1, failure("-o switch requires <filename>")},
      {"link.lkr -m", 1, failure("-m switch requires <filename>")},
      {"-x", 1, failure("unknown switch: -x")},
      {"-X link.lkr", 1, failure("unknown switch: -x")},
      {"-", 1, failure("unknown switch: -")},
      {"/", 1, failure("unknown switch: /")},
      {".lib", 1, failure("unrecognized input: .lib")},
      {"_a.o", 1, failure("unrecognized input: _a.o")},
      {"notes.txt", 1, failure("unrecognized input: notes.txt")},
      {"-l a;;b link.lkr", 1, failure("-l switch requires <pathlist>")},
      {"-l", 1, failure("-l switch requires <pathlist>")},
      {"-k ;", 1, failure("-k switch requires <pathlist>")},
      {"-n 12x", 1, failure("-n switch requires <length>")},
      {"-n", 1, failure("-n switch requires <length>")},
      {"-a inhx32", 1, failure("-a switch requires <hexformat>")},
      {"-n 60 -a INHX32 link.lkr", 0, banner() + summary(0)},
      {"-l a;b; link.lkr", 0, banner() + summary(0)},
      {"FOO.LKR", 0, banner() + summary(0)},
      {"x.LIB link.lkr", 1, failure("could not find file 'x.LIB'.")},
      {"-k sub sub.lkr", 0, banner() + summary(0)},
      {"sub.lkr -k sub", 1, failure("Could not find linker command file 'sub.lkr'.")},
      {"-quiet -x", 1, banner()},
      {"-q -x", 1, ""},
      {"-q", 1, ""},
      {"link.lkr -h", 255, banner() + help()},
      {"-q -help", 255, help()},
      {"/?", 255, banner() + help()},
      {"-o one.out -o two.out link.lkr", 1,
       failure("multiple output files declared: 'one.out', 'two.out'")},
      {"link.lkr link.lkr", 1,
       failure("Multliple inclusion of linker command file './link.lkr' ")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    std::filesystem::remove(f.path("a.out"));
    RunResult r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.output, c.output);
    EXPECT_EQ(exists("a.out"), c.status == 0);
  }
}

TEST_F(TorvanTest, HelpLinesHaveTheirExactLengths) {
  const size_t lengths[] = {69, 63, 63, 75, 63, 63, 63, 63, 0, 63,
                            73, 73, 75, 75, 73, 61, 61, 61, 61, 61};
  ASSERT_EQ(sizeof kHelp / sizeof kHelp[0], sizeof lengths / sizeof lengths[0]);
  for (size_t i = 0; i < sizeof lengths / sizeof lengths[0]; ++i)
    EXPECT_EQ(std::string(kHelp[i]).size(), lengths[i]) << "line " << i + 1;
}

TEST_F(TorvanTest, SwitchValueAttachedOrNext) {
  for (const char* args : {"-Oone.out link.lkr", "-O two.out link.lkr", "/othree.out link.lkr"}) {
    SCOPED_TRACE(args);
    RunResult r = run(args);
    EXPECT_EQ(r.status, 0) << r.output;
  }
  EXPECT_TRUE(exists("one.out"));
  EXPECT_TRUE(exists("two.out"));
  EXPECT_TRUE(exists("three.out"));
}

TEST_F(TorvanTest, AbsolutePathsAreNotSwitches) {
  f.file("bare.lkr", kMemories);
  // The first component of the fixture directory exists, so its absolute
  // paths are files; "/o" followed by a path is still the switch.
  RunResult r = run(std::vector<std::string>{f.path("main.o"), "bare.lkr", "/o" + f.path("abs.out")});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(exists("abs.out"));
  r = run(std::vector<std::string>{f.path("bare.lkr"), "main.o", "/m" + f.path("abs.map")});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(exists("abs.map"));
}

// Records the file names and directories handed over, in order.
class NameLog : public LinkerDirectives {
 public:
  std::vector<std::string> calls;
  int setMinHeapSize(uint32_t, String&) override { return 1; }
  int setMapFile(const String& n, String&) override { return log("map " + n); }
  int setOutputFile(const String& n, String&) override { return log("out " + n); }
  int addObjectFile(const String& n, String&) override { return log("obj " + n); }
  int addLibraryFile(const String& n, String&) override { return log("lib " + n); }
  int addCodePage(const Memory&, String&) override { return 1; }
  int addDataBank(const Memory&, String&) override { return 1; }
  int addShareBank(const Memory&, String&) override { return 1; }
  int addAccessBank(const Memory&, String&) override { return 1; }
  int addSectionDesc(const SectionDesc&, String&) override { return 1; }
  int setStackDesc(const StackDesc&, String&) override { return 1; }
  int addLibPath(const String& d, String&) override { return log("libpath " + d); }
  int setStrip(int flag, String&) override { return log("strip " + std::to_string(flag)); }

 private:
  int log(const std::string& call) {
    calls.push_back(call);
    return 1;
  }
};

TEST(ParseCommandLineTest, SettingsReachTheLinkerInTheOrderNamed) {
  linktest::LinkFixture f{"cmdline"};
  f.file("first.lkr", "FILES c.o\nLIBPATH d4\n");
  std::vector<std::string> args = {"torvan", "-l",  "d1",     "a.o", "first.lkr", "b.lib",
                                   "-Ld2;d3", "-s", "-m",     "out.map", "-oX.out",  "-k",
                                   "k1;k2;"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  NameLog log;
  Parser parser;
  ExitTrap trap;
  EXPECT_EQ(parser.parseCommandLine(static_cast<int>(argv.size()), argv.data(), log), 1)
      << f.output();
  EXPECT_EQ(log.calls, (std::vector<std::string>{"libpath d1", "obj a.o", "obj c.o",
                                                 "libpath d4", "lib b.lib", "libpath d2",
                                                 "libpath d3", "strip 1", "map out.map",
                                                 "out X.out"}));
  EXPECT_EQ(parser.lkrPath(), (std::list<String>{"k1", "k2"}));
}

TEST(SwitchArgumentTest, SlashStartsASwitchUnlessItStartsAnExistingDirectory) {
  const std::string dir = makeTempDir("switch");
  struct Case {
    std::string arg;
    int isSwitch;
  };
  const std::vector<Case> cases = {
      {"-x", 1},
      {"-", 1},
      {"/", 1},
      {"//x", 1},
      {"/o/tmp/a.out", 1},
      {"/l/usr/lib", 1},
      {"/q", 1},
      {"/no-such-dir-here/x.o", 1},
      {dir + "/x.o", 0},
      {dir, 0},
      {dir + "\\x.o", 0},
      {"x.o", 0},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(isSwitchArgument(c.arg), c.isSwitch) << c.arg;
  std::filesystem::remove_all(dir);
}

// A map file that would overwrite the output or an input, or an output that
// would overwrite an input, is refused before anything is read or written.
TEST_F(TorvanTest, MapOrOutputMayNotOverwriteAnotherFile) {
  CoffBuilder helper("helper.o");
  helper.processor(kCoreB, 14, 8);
  helper.section(".libcode", scnCode, 0, words({0x0008}));
  helper.function("helper", 1, 0);
  f.library("libs/util.lib", {&helper});
  f.file("withlib.lkr", std::string(kMemories) + "LIBPATH libs\nFILES main.o util.lib\n");
  const std::string object = readFile(f.path("main.o"));
  const std::string library = readFile(f.path("libs/util.lib"));
  struct Case {
    const char* args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"-m a.out link.lkr", "map file 'a.out' would overwrite the output file 'a.out'."},
      {"-o out.cof -m ./out.cof link.lkr",
       "map file './out.cof' would overwrite the output file 'out.cof'."},
      {"-m main.o link.lkr", "map file 'main.o' would overwrite the input file 'main.o'."},
      {"main.o -m ./main.o bare.lkr",
       "map file './main.o' would overwrite the input file 'main.o'."},
      {"-m libs/util.lib withlib.lkr",
       "map file 'libs/util.lib' would overwrite the input file 'util.lib'."},
      {"-m link.lkr link.lkr", "map file 'link.lkr' would overwrite the input file './link.lkr'."},
      {"-o main.o link.lkr", "output file 'main.o' would overwrite the input file 'main.o'."},
      {"main.o -o ./main.o bare.lkr",
       "output file './main.o' would overwrite the input file 'main.o'."},
      {"-o libs/util.lib withlib.lkr",
       "output file 'libs/util.lib' would overwrite the input file 'util.lib'."},
      {"-o link.lkr link.lkr",
       "output file 'link.lkr' would overwrite the input file './link.lkr'."},
      {"-m x.map -o main.o link.lkr",
       "output file 'main.o' would overwrite the input file 'main.o'."},
  };
  f.file("bare.lkr", kMemories);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    RunResult r = run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, failure(c.message));
    EXPECT_FALSE(exists("a.out"));
    EXPECT_FALSE(exists("out.cof"));
  }
  EXPECT_EQ(readFile(f.path("main.o")), object);
  EXPECT_EQ(readFile(f.path("libs/util.lib")), library);
  EXPECT_EQ(readFile(f.path("link.lkr")), std::string(kMemories) + "FILES main.o\n");
  EXPECT_FALSE(exists("x.map"));

  // Only the file the search will read counts: main.o is not in libs, so
  // libs/main.o is a new file.
  RunResult r = run("-l libs -o libs/main.o link.lkr");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(exists("libs/main.o"));
  EXPECT_EQ(readFile(f.path("main.o")), object);
}

// A device loses no contents: map and output may both name it.
TEST_F(TorvanTest, MapAndOutputMayNameOneDevice) {
  RunResult r = run("link.lkr -o /dev/null -m /dev/null");
  EXPECT_EQ(r.status, 0) << r.output;
  r = run("link.lkr -o /dev/null -m /dev/../dev/null");
  EXPECT_EQ(r.status, 0) << r.output;
}

// The executable and the map are put in place together: a map that cannot
// be written costs the executable too, and is reported once.
TEST_F(TorvanTest, FailedMapWriteFailsTheLinkAndWritesNoExecutable) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this host";
  RunResult r = run("link.lkr -m /dev/full");
  EXPECT_EQ(r.status, 1);
  const std::string message = "Error - Could not write map file '/dev/full'.\n";
  EXPECT_EQ(r.output, banner() + message + summary(1));
  EXPECT_FALSE(exists("a.out"));
}

TEST_F(TorvanTest, FailedExecutableWriteFailsTheLink) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this host";
  RunResult r = run("link.lkr -o /dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output.rfind(summary(1)), r.output.size() - summary(1).size()) << r.output;
  EXPECT_EQ(r.output.find("Error - "), r.output.rfind("Error - ")) << r.output;
}

}  // namespace

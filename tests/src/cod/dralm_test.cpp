// The program run end to end: its command line, its output and exit
// status, and the files it writes, read back with the independent parser.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "banner.h"
#include "cod_layout_parser.h"
#include "coff2cod_fixture.h"

using namespace testing_support;
using namespace dralm_test;

namespace {

const std::string kUsage =
    "Usage: dralm [-n, /n <listingPageLength>] [-d, /d] [-q, /q] <coffFile>\n";

std::string banner() {
  return std::string("DRALM v2.10.00, COFF to COD File Converter\n") + noticeBanner() + "\n\n";
}

std::string summary(int errors, int warnings) {
  return "Errors    : " + std::to_string(errors) + "\nWarnings  : " + std::to_string(warnings) +
         "\n\n";
}

std::string dralmPath() { return toolBinDir() + "/dralm"; }

// A CoreB program of twelve source lines, the first two with code.
fixtures::CoffBuilder program(const std::string& name, uint32_t proc = kCoreB,
                              const std::string& source = "main.asm") {
  fixtures::CoffBuilder b = executable(name, proc);
  b.section(".code", scnCode, 0, {0x00, 0x00, 0x08, 0x00});
  const uint32_t f = sourceFile(b, source);
  endOfFile(b);
  b.externDef("main", 1, 0);
  b.lineNumber(".code", f, 1, 0);
  b.lineNumber(".code", f, 2, 1);
  return b;
}

class DralmTest : public ConversionTest {
 protected:
  void SetUp() override {
    ConversionTest::SetUp();
    std::string source;
    for (int i = 1; i <= 12; ++i) source += "line " + std::to_string(i) + "\n";
    writeFile("main.asm", source);
    std::filesystem::create_directory("sub");
    program("prog.out").writeFile("prog.out");
    program("sub/prog.out").writeFile("sub/prog.out");
    program("self.cod").writeFile("self.cod");
    program("badproc.out", 0x1234).writeFile("badproc.out");
    program("nosrc.out", kCoreB, "missing.asm").writeFile("nosrc.out");
    fixtures::EmitOptions older;
    older.olderLayout = true;
    fixtures::writeBytes("old.out", program("old.out").emit(older));
  }

  RunResult run(const std::vector<std::string>& args) { return runProgram(dralmPath(), args, cDir); }
  // The same, args being literal words separated by blanks.
  RunResult run(const std::string& args) { return run(splitWords(args)); }
};

struct CliCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::string output;
  std::vector<const char*> written;
  std::vector<const char*> absent;
  int pageBreaks;  // form feeds in prog.lst; -1 when not looked at
};

void PrintTo(const CliCase& c, std::ostream* os) {
  *os << c.name << ": " << ::testing::PrintToString(c.args);
}

std::vector<CliCase> cliCases() {
  const std::string ok = banner() + summary(0, 0);
  const std::string usage = banner() + kUsage;
  const std::vector<const char*> none;
  const std::vector<const char*> both = {"prog.cod", "prog.lst"};
  const std::vector<const char*> codOnly = {"prog.cod"};
  const std::vector<const char*> lstOnly = {"prog.lst"};
  return {
      {"NoArguments", {}, 1, usage, none, both, -1},
      {"QuietAloneIsASilentUsageError", {"-q"}, 1, "", none, both, -1},
      {"Converts", {"prog.out"}, 0, ok, both, none, 0},
      {"QuietAfterTheName", {"prog.out", "/q"}, 0, "", both, none, 0},
      {"QuietUpperCase", {"-Q", "prog.out"}, 0, "", both, none, 0},
      {"SlashSwitches", {"/n", "5", "prog.out"}, 0, ok, both, none, 2},
      {"SwitchLetterLowerCased", {"-N", "5", "prog.out"}, 0, ok, both, none, 2},
      {"PageLengthLongerThanTheListing", {"-n", "60", "prog.out"}, 0, ok, both, none, 0},
      {"PageLengthNotANumberIsZero", {"-n", "abc", "prog.out"}, 0, ok, both, none, 0},
      {"NegativePageLengthPagesAsItsSize", {"-n", "-5", "prog.out"}, 0, ok, both, none, 2},
      {"PageLengthStopsAtTheFirstOtherCharacter", {"-n", "4x", "prog.out"}, 0, ok, both, none, 3},
      {"PageLengthAfterWhiteSpace", {"-n", " 7", "prog.out"}, 0, ok, both, none, 1},
      {"PageLengthPastAnyIntegerIsHeld", {"-n", "99999999999999999999999", "prog.out"}, 0, ok, both,
       none, 0},
      {"PageLengthWithoutValue", {"prog.out", "-n"}, 1, usage, none, both, -1},
      {"PageLengthTakesTheNameAsItsValue", {"-n", "prog.out"}, 1, usage, none, both, -1},
      {"NoListing", {"/D", "prog.out"}, 0, ok, codOnly, lstOnly, -1},
      {"NoListingWithPageLength", {"-d", "-n", "60", "prog.out"}, 0,
       banner() + "Warning - no listing file generated: /n switch ignored\n" + summary(0, 1),
       codOnly, lstOnly, -1},
      {"TwoNames", {"prog.out", "other.out"}, 1, usage, none, both, -1},
      {"TwoNamesQuiet", {"-q", "prog.out", "other.out"}, 1, "", none, both, -1},
      {"LongerSwitchIsAName", {"-dx", "prog.out"}, 1, usage, none, both, -1},
      {"UnknownSwitchIsAName", {"-x"}, 1,
       banner() + "Error - Could not open Coff file '-x' for reading.\n" + summary(1, 0), none,
       both, -1},
      {"MissingFileQuiet", {"-q", "missing.out"}, 1, "", none, {"missing.cod"}, -1},
      {"ExecutableInADirectory", {"sub/prog.out"}, 0, ok, {"prog.cod", "sub/prog.lst"},
       {"sub/prog.cod", "prog.lst"}, -1},
      {"BackslashPath", {"sub\\prog.out"}, 0, ok, {"prog.cod", "sub/prog.lst"},
       {"sub/prog.cod", "prog.lst"}, -1},
      {"UnknownProcessor", {"badproc.out"}, 1,
       banner() + "Error - Coff file 'badproc.out' names the unknown processor code 0x1234.\n" +
           summary(1, 0),
       none, {"badproc.cod", "badproc.lst"}, -1},
      {"UnknownProcessorQuiet", {"-q", "badproc.out"}, 1, "", none, {"badproc.cod"}, -1},
      {"OlderLayout", {"old.out"}, 1,
       banner() + "Error - Coff file 'old.out' missing optional file header.\n" +
           "Error - Coff file 'old.out' has no optional header; its processor is unknown.\n" +
           summary(2, 0),
       none, {"old.cod", "old.lst"}, -1},
      {"ExecutableNamedLikeItsCodFile", {"self.cod"}, 1,
       banner() + "Error - Cod file 'self.cod' would overwrite the Coff file 'self.cod'.\n" +
           summary(1, 0),
       none, {"self.lst"}, -1},
      {"MissingSourceIsAWarning", {"nosrc.out"}, 0,
       banner() + "Warning - Could not open source file 'missing.asm'.\n" +
           "This file will not be present in the list file.\n" + summary(0, 1),
       {"nosrc.cod", "nosrc.lst"}, none, -1},
  };
}

class DralmCliTest : public DralmTest, public ::testing::WithParamInterface<CliCase> {};

TEST_P(DralmCliTest, StatusOutputAndFiles) {
  const CliCase& c = GetParam();
  const std::string selfBefore = readFile("self.cod");
  const RunResult r = run(c.args);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.output, c.output);
  for (const char* f : c.written) EXPECT_TRUE(platform::fileExists(f)) << f;
  for (const char* f : c.absent) EXPECT_FALSE(platform::fileExists(f)) << f;
  EXPECT_EQ(readFile("self.cod"), selfBefore) << "an input was overwritten";
  if (c.pageBreaks >= 0) {
    const std::string listing = readFile("prog.lst");
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\f'), c.pageBreaks);
  }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, DralmCliTest, ::testing::ValuesIn(cliCases()),
    [](const ::testing::TestParamInfo<CliCase>& i) { return std::string(i.param.name); });

TEST_F(DralmTest, TheFilesWrittenHoldTheWholeProgram) {
  // Two windows, a symbol in each, two source files, a comment line.
  writeFile("two.asm", "; start\n  nop\n  return\n");
  writeFile("defs.inc", "  clrwdt\n");
  fixtures::CoffBuilder b = executable("two.out", kCoreB);
  const int low = b.section(".low", scnCode, 0x10, {0x00, 0x00});
  const int high = b.section(".high", scnCode, 0x8000, {0x08, 0x00, 0x64, 0x00});
  const uint32_t f = sourceFile(b, "two.asm");
  const uint32_t inc = sourceFile(b, "defs.inc", 3);
  endOfFile(b);
  endOfFile(b);
  b.externDef("start", static_cast<int16_t>(low), 0x10);
  b.label("far_away_label", static_cast<int16_t>(high), 0x8000);
  b.lineNumber(".low", f, 2, 0x10);
  b.lineNumber(".high", f, 3, 0x8000);
  b.lineNumber(".high", inc, 1, 0x8001);
  b.writeFile("two.out");

  const RunResult r = run("two.out");
  ASSERT_EQ(r.status, 0) << r.output;
  const codlayout::Layout layout = codlayout::parse(readFile("two.cod"));
  EXPECT_TRUE(layout.problems.empty()) << ::testing::PrintToString(layout.problems);
  ASSERT_EQ(layout.dirs.size(), 2u);
  EXPECT_EQ(layout.dirs[0].source, "two.cod");
  EXPECT_EQ(layout.dirs[0].processor, "XQB01");
  EXPECT_EQ(layout.dirs[0].version, "DRALM v2.10.00");
  EXPECT_EQ(layout.dirs[1].highAddr, 1);
  EXPECT_EQ(layout.dirs[1].source, "");

  ASSERT_EQ(layout.sourceNames, (std::vector<std::string>{"two.asm", "defs.inc"}));
  ASSERT_EQ(layout.symbols.size(), 2u);
  EXPECT_EQ(layout.symbols[0].name, "start");
  EXPECT_EQ(layout.symbols[1].name, "far_away_lab");
  EXPECT_EQ(layout.symbols[1].value, static_cast<int16_t>(0x8000));
  ASSERT_EQ(layout.longSymbols.size(), 2u);
  EXPECT_EQ(layout.longSymbols[1].name, "far_away_label");
  EXPECT_EQ(layout.longSymbols[1].type, 46);
  EXPECT_EQ(layout.longSymbols[1].value, 0x8000u);

  // Directory 0: the header's eight, then line 1 without code, line 2 with.
  ASSERT_EQ(layout.lines[0].size(), 10u);
  EXPECT_EQ(layout.lines[0][8].flags, 0x90);
  EXPECT_EQ(layout.lines[0][9].address, 0x10);
  // Directory 1: line 3 of two.asm and line 1 of defs.inc.
  ASSERT_EQ(layout.lines[1].size(), 2u);
  EXPECT_EQ(layout.lines[1][0].file, 0);
  EXPECT_EQ(layout.lines[1][0].line, 3);
  EXPECT_EQ(layout.lines[1][1].file, 1);
  EXPECT_EQ(layout.lines[1][1].address, 0x8001);

  ASSERT_EQ(layout.memoryMaps[0].size(), 1u);
  EXPECT_EQ(layout.memoryMaps[0][0].start, 0x20u);
  ASSERT_EQ(layout.memoryMaps[1].size(), 1u);
  EXPECT_EQ(layout.memoryMaps[1][0].last, 0x03u);
  EXPECT_EQ(layout.code[1].at(0)[2], 0x64);

  const std::string listing = maskDate(readFile("two.lst"));
  EXPECT_NE(listing.find("008001   0064     CLRWDT"), std::string::npos) << listing;
}

// A source costs about its longest line, not its size. A 64 MB line is
// listed under a limit that twice the line and the program's own needs fit
// in, and six times the line would not; 96 MB of short lines under a limit
// of half that. The short lines are numbered and all but three are left out
// by list control, so that the rows listed show every line was counted.
TEST_F(DralmTest, ASourceIsListedInMemoryBoundedByItsLongestLine) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory needs the address space the limit takes";
#endif
  const size_t hugeLine = size_t(64) << 20;
  writeFile("huge.asm", std::string(hugeLine, ';') + "\n");
  program("huge.out", kCoreB, "huge.asm").writeFile("huge.out");

  const size_t manyBytes = size_t(96) << 20;
  std::string many;
  many.reserve(manyBytes + 64);
  uint32_t lines = 0;
  const auto numbered = [](uint32_t n) {
    char text[32];
    std::snprintf(text, sizeof text, "; short line %07u", n);
    return std::string(text);
  };
  while (many.size() < manyBytes) many += numbered(++lines) + "\n";
  writeFile("many.asm", many);
  std::string().swap(many);
  fixtures::CoffBuilder b = executable("many.out", kCoreB);
  b.section(".code", scnCode, 0, {0x00, 0x00});
  sourceFile(b, "many.asm");
  b.symbol(".nolist", 2, kScnNumDebug, kClassStatic);
  b.symbol(".list", lines - 1, kScnNumDebug, kClassStatic);
  endOfFile(b);
  b.writeFile("many.out");
  const auto sourceRow = [](const std::string& text, const std::string& file) {
    return std::string(43, ' ') + text + std::string(80 - text.size(), ' ') + " " + file + "\n";
  };

  struct Case {
    const char* input;
    rlim_t addressSpace;
    size_t rows;       // of the listing
    std::string last;  // its last rows, whole (or the end of one)
  };
  const std::vector<Case> cases = {
      {"huge", 2 * hugeLine + (rlim_t(32) << 20), 1,
       " " + std::string(hugeLine, ';') + " huge.asm\n"},
      {"many", manyBytes / 2, 3,
       sourceRow(numbered(1), "many.asm") + sourceRow(numbered(lines - 1), "many.asm") +
           sourceRow(numbered(lines), "many.asm")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const std::string input = std::string(c.input) + ".out";
    ChildLimits limits;
    limits.addressSpace = c.addressSpace;
    limits.alarmSeconds = 120;  // only a guard
    const ChildEnd end = runChild(cDir, dralmPath(), {input}, limits);
    EXPECT_EQ(end.shellStatus(), 0) << end.output;
    EXPECT_EQ(end.output, banner() + summary(0, 0));
    // The rows follow the column rules, the last line of the header.
    const std::string listing = readFile(std::string(c.input) + ".lst");
    const size_t rules = listing.find("-----\n");
    ASSERT_NE(rules, std::string::npos);
    EXPECT_EQ(size_t(std::count(listing.begin() + rules, listing.end(), '\n')) - 1, c.rows);
    ASSERT_GE(listing.size(), c.last.size());
    EXPECT_TRUE(listing.compare(listing.size() - c.last.size(), c.last.size(), c.last) == 0)
        << listing.substr(rules + 6, 1000);
    EXPECT_TRUE(platform::fileExists(std::string(c.input) + ".cod"));
  }
  for (const std::string& name : directoryEntries(cDir))
    EXPECT_NE(name[0], '.') << "left behind: " << name;
}

// The listing and the COD file are put in place together, or neither.
TEST_F(DralmTest, AFailedCodWriteEndsWithStatusOneAndNoListing) {
  if (!platform::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ASSERT_EQ(symlink("/dev/full", "full.cod"), 0);
  program("full.out").writeFile("full.out");
  const RunResult r = run("full.out");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("Error - "), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Errors    : 1\n"), std::string::npos) << r.output;
  EXPECT_FALSE(platform::fileExists("full.lst"));
}

TEST_F(DralmTest, AFailedListingWritesNoCodFile) {
  if (!platform::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ASSERT_EQ(symlink("/dev/full", "prog.lst"), 0);
  const RunResult r = run("prog.out");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, banner() + "Error - Could not write list file 'prog.lst'.\n" + summary(1, 0));
  EXPECT_FALSE(platform::fileExists("prog.cod"));
}

}  // namespace

// The converter's command line, run end to end: arguments to exit status,
// standard output and the files written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "ponzer_run.h"

using namespace testing_support;
using namespace hex_test;

namespace {

const char* const kUsage =
    "Usage: ponzer [/a <hexformat>] [/r 0xBBBB-0xEEEE]... [/q] <coffFile>\n"
    "   where, <hexformat> is {INHX32, INHX8S, INHX8M} \n"
    "          0xBBBB is the beginning program memory address of a range to include\n"
    "          0xEEEE is the ending program memory address of a range to include\n"
    "   If no /r option is present, all rom sections will be included.\n"
    "\n";
const char* const kRangeMessage = "/r requires 0xBBBB-0xEEEE where 0xEEEE >= 0xBBBB\n";
const char* const kFormatMessage = "-a switch requires {INHX32, INHX8S, INHX8M}\n";

struct CliCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  bool banner;         // output begins with the banner
  std::string output;  // what follows the banner
  std::vector<const char*> written;  // files that must exist afterwards
  std::vector<const char*> absent;   // files that must not
};

void PrintTo(const CliCase& c, std::ostream* os) {
  *os << c.name << ":";
  for (const std::string& a : c.args) *os << " [" << a << "]";
}

std::vector<CliCase> cliCases() {
  const std::string ok = summaryText(0);
  return {
      {"NoArguments", {}, 1, true, kUsage, {}, {}},
      {"QuietAloneIsUsageErrorSilently", {"/q"}, 1, false, "", {}, {}},
      {"Converts", {"prog.cof"}, 0, true, ok, {"prog.hex"}, {"prog.hxl"}},
      {"QuietAfterName", {"prog.cof", "/q"}, 0, false, "", {"prog.hex"}, {}},
      {"QuietUpperDash", {"-Q", "prog.cof"}, 0, false, "", {"prog.hex"}, {}},
      // A switch is only the whole argument.
      {"QuietWordIsAName", {"/quiet", "prog.cof"}, 1, true, kUsage, {}, {"prog.hex"}},
      {"RangeDashUpper", {"-R", "0x0-0x3", "prog.cof"}, 0, true, ok, {"prog.hex"}, {}},
      {"RangeDecimal", {"/r", "0-3", "prog.cof"}, 0, true, ok, {"prog.hex"}, {}},
      {"TwoRanges", {"/r", "0-0", "/r", "2-3", "prog.cof"}, 0, true, ok, {"prog.hex"}, {}},
      {"RangeWithoutValue", {"prog.cof", "/r"}, 1, true, kUsage, {}, {"prog.hex"}},
      {"RangeWithoutValueQuiet", {"prog.cof", "/r", "/q"}, 1, false, "", {}, {}},
      {"RangeOnePiece", {"/r", "0x10-", "prog.cof"}, 1, true, kRangeMessage, {}, {"prog.hex"}},
      {"RangeEmptyMiddlePiece", {"/r", "0x10--0x20", "prog.cof"}, 1, true, kRangeMessage, {}, {}},
      {"RangeEndBelowBegin", {"/r", "0x20-0x10", "prog.cof"}, 1, true, kRangeMessage, {}, {}},
      {"RangeNegative", {"/r", "-5", "prog.cof"}, 1, true, kRangeMessage, {}, {}},
      {"RangeWords", {"/r", "foo-bar", "prog.cof"}, 1, true, kRangeMessage, {}, {}},
      {"RangeTrailingCharacters", {"/r", "12abc-0x20", "prog.cof"}, 1, true, kRangeMessage, {}, {}},
      {"RangePast32Bits", {"/r", "0x100000000-0x100000001", "prog.cof"}, 1, true, kRangeMessage, {}, {}},
      {"RangeBadQuiet", {"/q", "/r", "0x10-"}, 1, false, "", {}, {}},
      // Ranges that hold no program word are an error naming them.
      {"RangeSelectsNothing", {"/r", "0x100-0x1ff", "prog.cof"}, 1, true,
       "Error - No program memory word of Coff file 'prog.cof' lies in the range "
       "0x0100-0x01ff.\n" + summaryText(1),
       {}, {"prog.hex"}},
      {"RangesSelectNothing", {"/r", "300000-0x30000F", "/r", "4-5", "prog.cof"}, 1, true,
       "Error - No program memory word of Coff file 'prog.cof' lies in the ranges "
       "0x493e0-0x30000f, 0x0004-0x0005.\n" + summaryText(1),
       {}, {"prog.hex"}},
      {"RangeSelectsNothingQuiet", {"/q", "/r", "0x100-0x1ff", "prog.cof"}, 1, false, "", {}, {"prog.hex"}},
      {"FormatLowerCaseKeyword", {"/a", "inhx32", "prog.cof"}, 1, true, kFormatMessage, {}, {"prog.hex"}},
      {"FormatWithoutValue", {"prog.cof", "/a"}, 1, true, kFormatMessage, {}, {}},
      {"FormatEmptyValue", {"/a", "", "prog.cof"}, 1, true, kFormatMessage, {}, {}},
      {"FormatUnknown", {"/a", "INHX16", "prog.cof"}, 1, true, kFormatMessage, {}, {}},
      {"FormatQuiet", {"/a", "x", "/q"}, 1, false, "", {}, {}},
      {"FormatSplitUpperDash", {"-A", "INHX8S", "prog.cof"}, 0, true, ok, {"prog.hxl", "prog.hxh"},
       {"prog.hex"}},
      {"FormatInhx8m", {"/a", "INHX8M", "prog.cof"}, 0, true, ok, {"prog.hex"}, {"prog.hxl"}},
      {"LaterFormatWins", {"/a", "INHX8S", "/a", "INHX8M", "prog.cof"}, 0, true, ok, {"prog.hex"}, {"prog.hxl"}},
      {"TwoNames", {"prog.cof", "other.cof"}, 1, true, kUsage, {}, {"prog.hex"}},
      {"UnknownSwitchIsAName", {"/x", "prog.cof"}, 1, true, kUsage, {}, {}},
      {"LongerSwitchIsAName", {"-rx", "prog.cof"}, 1, true, kUsage, {}, {}},
      {"DashAloneIsAName", {"-"}, 1, true,
       "Error - Could not open Coff file '-' for reading.\n" + summaryText(1), {}, {}},
      {"MissingFile", {"missing.cof"}, 1, true,
       "Error - Could not open Coff file 'missing.cof' for reading.\n" + summaryText(1), {},
       {"missing.hex"}},
      {"MissingFileQuiet", {"/q", "missing.cof"}, 1, false, "", {}, {}},
      {"NotCoff", {"junk.cof"}, 1, true,
       "Error - Coff file 'junk.cof' does not appear to be a valid COFF file.\n" + summaryText(1),
       {}, {"junk.hex"}},
      // Output goes to the current directory under the base name.
      {"DirectoryPartDropped", {"sub/inner.cof"}, 0, true, ok, {"inner.hex"}, {"sub/inner.hex"}},
      {"BackslashDirectory", {"sub\\inner.cof"}, 0, true, ok, {"inner.hex"}, {"sub/inner.hex"}},
  };
}

class PonzerCommandLine : public ::testing::TestWithParam<CliCase> {};

TEST_P(PonzerCommandLine, StatusOutputAndFiles) {
  const CliCase& c = GetParam();
  const std::string dir = makeTempDir("ponzercli");
  const std::vector<FixtureSection> sections = {{".code", scnCode, 0, {1, 2, 3, 4, 5, 6, 7, 8}}};
  writeExecutable(dir + "/prog.cof", 14, sections);
  writeExecutable(dir + "/other.cof", 14, sections);
  ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
  writeExecutable(dir + "/sub/inner.cof", 14, sections);
  writeFile(dir + "/junk.cof", std::string(40, 'J'));

  const RunResult r = runPonzer(c.args, dir);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.output, (c.banner ? bannerText() : std::string()) + c.output);
  for (const char* f : c.written) EXPECT_TRUE(fileExists(dir + "/" + f)) << f;
  for (const char* f : c.absent) EXPECT_FALSE(fileExists(dir + "/" + f)) << f;
}

INSTANTIATE_TEST_SUITE_P(Arguments, PonzerCommandLine, ::testing::ValuesIn(cliCases()),
                         [](const ::testing::TestParamInfo<CliCase>& i) { return i.param.name; });

}  // namespace

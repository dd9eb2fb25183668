// Whole conversions end to end: the records written for fixture
// executables, the fatal reach check, refused executables and output
// files that cannot be written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "hex_test_util.h"
#include "ponzer_run.h"

using namespace testing_support;
using namespace hex_test;

namespace {

const char* const kEnd = ":00000001FF";
const char* const kFatal =
    "Error - Selected hex format does not support byte addresses above 64kb; use INHX32 format!\n";

struct ConvertCase {
  const char* name;
  uint32_t romWidthBits;
  std::vector<FixtureSection> sections;
  const char* args;  // before the file name
  int status;
  std::string output;  // after the banner
  std::map<std::string, Lines> files;
};

void PrintTo(const ConvertCase& c, std::ostream* os) { *os << c.name; }

std::vector<ConvertCase> convertCases() {
  const std::string ok = summaryText(0);
  const std::vector<FixtureSection> fourWords = {{".code", scnCode, 0, {1, 2, 3, 4, 5, 6, 7, 8}}};
  // 32 bytes from byte address 0xFFF0: the second record lies past 64k.
  const std::vector<FixtureSection> across64k = {{".code", scnCode, 0x7FF8, counting(0x10, 32)}};
  return {
      {"OddSectionPadded", 14, {{".code", scnCode, 0x10, {1, 2, 3}}}, "", 0, ok,
       {{".hex", {":020000040000FA", ":0400200001020300D6", kEnd}}}},
      {"TwoRangesTwoRuns", 14, fourWords, "/r 0-0 /r 2-3", 0, ok,
       {{".hex", {":020000040000FA", ":020000000102FB", ":0400040005060708DE", kEnd}}}},
      {"RomDataAndCodeInAddressOrder", 16,
       {{".zcode", scnCode, 0, {0xA1, 0xA2}},
        {".atable", scnRomData, 8, {0xB1, 0xB2}},
        {".data", scnIData, 4, {0xC1, 0xC2}}},
       "/a INHX8M", 0, ok, {{".hex", {":02000000A1A2BB", ":02001000B1B28B", kEnd}}}},
      {"NothingToConvert", 14, {}, "", 0, ok, {{".hex", {kEnd}}}},
      {"NothingToConvertSplit", 14, {}, "/a INHX8S", 0, ok, {{".hxl", {kEnd}}, {".hxh", {kEnd}}}},
      {"Inhx32Across64k", 14, across64k, "", 0, ok,
       {{".hex",
         {":020000040000FA", ":10FFF00010171E252C333A41484F565D646B7279B9", ":020000040001F9",
          ":1000000080878E959CA3AAB1B8BFC6CDD4DBE2E9A8", kEnd}}}},
      // The records before the one out of reach stay in the file.
      // Out of the format's reach, no file is made.
      {"Inhx8mPast64kWritesNothing", 14, across64k, "/a INHX8M", 255,
       std::string(kFatal) + summaryText(1), {{".hex", {}}}},
      // INHX8S counts words, so the same data fits.
      {"Inhx8sWordsReachFurther", 14, across64k, "/a INHX8S", 0, ok,
       {{".hxl", {":087FF800101E2C3A4856647279", ":08800000808E9CAAB8C6D4E2F0", kEnd}},
        {".hxh", {":087FF800172533414F5D6B7941", ":088000008795A3B1BFCDDBE9B8", kEnd}}}},
      {"Inhx8sPastWord0xFFFFWritesNothing", 14, {{".code", scnCode, 0xFFFE, counting(0x10, 8)}},
       "/a INHX8S /q", 255, "", {{".hxl", {}}, {".hxh", {}}}},
      // Byte-addressed program memory: adjacent odd sections keep every byte.
      {"ByteAddressedOddSections", 8,
       {{".a", scnCode, 3, {0x11, 0x12, 0x13}}, {".b", scnCode, 6, {0x21, 0x22}}}, "", 0, ok,
       {{".hex", {":020000040000FA", ":03000300111213C4", ":020006002122B5", kEnd}}}},
      {"ByteAddressedSplitByParity", 8,
       {{".a", scnCode, 3, {0x11, 0x12, 0x13}}, {".b", scnCode, 6, {0x21, 0x22}}}, "/a INHX8S", 0,
       ok,
       {{".hxl", {":0100020012EB", ":0100030021DB", kEnd}},
        {".hxh", {":020001001113D9", ":0100030022DA", kEnd}}}},
      {"ByteAddressedRangeStepsByOneByte", 8, {{".a", scnCode, 3, {0x11, 0x12, 0x13, 0x14, 0x15}}},
       "/r 4-6", 0, ok, {{".hex", {":020000040000FA", ":03000400121314C0", kEnd}}}},
  };
}

class PonzerConvert : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(PonzerConvert, WritesExpectedFiles) {
  const ConvertCase& c = GetParam();
  const std::string dir = makeTempDir("ponzerconv");
  writeExecutable(dir + "/prog.cof", c.romWidthBits, c.sections);
  const RunResult r = runPonzer(std::string(c.args) + " prog.cof", dir);
  EXPECT_EQ(r.status, c.status);
  const bool quiet = std::string(c.args).find("/q") != std::string::npos;
  EXPECT_EQ(r.output, (quiet ? std::string() : bannerText()) + c.output);
  for (const auto& f : c.files) {
    SCOPED_TRACE(f.first);
    EXPECT_EQ(readFile(dir + "/prog" + f.first), joinRecords(f.second));
  }
}

INSTANTIATE_TEST_SUITE_P(Executables, PonzerConvert, ::testing::ValuesIn(convertCases()),
                         [](const ::testing::TestParamInfo<ConvertCase>& i) { return i.param.name; });

TEST(PonzerRefuses, OlderLayout) {
  const std::string dir = makeTempDir("ponzerold");
  fixtures::EmitOptions older;
  older.olderLayout = true;
  fixtures::writeBytes(dir + "/old.cof",
                       executable(dir + "/old.cof", 14, {{".code", scnCode, 0, {1, 2}}}).emit(older));
  const RunResult r = runPonzer("old.cof", dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, bannerText() + "Error - Coff file 'old.cof' missing optional file header.\n" +
                          "Error - Coff file 'old.cof' has no optional header; its program-memory "
                          "width is unknown.\n" +
                          summaryText(2));
  EXPECT_FALSE(fileExists(dir + "/old.hex"));
}

TEST(PonzerRefuses, ProgramMemoryWidths) {
  const std::string dir = makeTempDir("ponzerwidth");
  for (uint32_t width : {0u, 7u, 10u, 24u, 32u}) {
    SCOPED_TRACE(width);
    writeExecutable(dir + "/odd.cof", width, {{".code", scnCode, 0, {1, 2}}});
    const RunResult r = runPonzer("odd.cof", dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, bannerText() + "Error - Coff file 'odd.cof' has a program-memory width of " +
                            std::to_string(width) + " bits; only 8, 12, 14 and 16 are supported.\n" +
                            summaryText(1));
    EXPECT_FALSE(fileExists(dir + "/odd.hex"));
  }
}

TEST(PonzerRefuses, BytesPast32BitAddresses) {
  const std::string dir = makeTempDir("ponzerfar");
  writeExecutable(dir + "/far.cof", 16, {{".code", scnCode, 0x80000000, {1, 2}}});
  const RunResult r = runPonzer("far.cof", dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, bannerText() +
                          "Error - Section '.code' of Coff file 'far.cof' lies beyond byte address "
                          "0xFFFFFFFF.\n" +
                          summaryText(1));
  EXPECT_FALSE(fileExists(dir + "/far.hex"));
}

TEST(PonzerOutput, UnopenableFileIsAnError) {
  const std::string dir = makeTempDir("ponzeropen");
  writeExecutable(dir + "/prog.cof", 14, {{".code", scnCode, 0, {1, 2}}});
  ASSERT_EQ(mkdir((dir + "/prog.hex").c_str(), 0755), 0);
  const RunResult r = runPonzer("prog.cof", dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, bannerText() + "Error - Could not open hex file 'prog.hex' for writing.\n" +
                          summaryText(1));
}

TEST(PonzerOutput, FailedWriteIsAnError) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full on this host";
  const std::string dir = makeTempDir("ponzerfull");
  writeExecutable(dir + "/prog.cof", 14, {{".code", scnCode, 0, {1, 2}}});
  ASSERT_EQ(symlink("/dev/full", (dir + "/prog.hxh").c_str()), 0);
  const RunResult r = runPonzer("/a INHX8S prog.cof", dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, bannerText() + "Error - Could not write hex file 'prog.hxh'.\n" + summaryText(1));
}

// An existing file is replaced, not appended to.
TEST(PonzerOutput, OverwritesEarlierFile) {
  const std::string dir = makeTempDir("ponzerover");
  writeExecutable(dir + "/prog.cof", 14, {{".code", scnCode, 0, {1, 2}}});
  writeFile(dir + "/prog.hex", std::string(500, 'x'));
  ASSERT_EQ(runPonzer("/q prog.cof", dir).status, 0);
  EXPECT_EQ(readFile(dir + "/prog.hex"), joinRecords({":020000040000FA", ":020000000102FB", kEnd}));
}

}  // namespace

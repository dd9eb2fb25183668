// The files ponzer writes, read back by independent Intel HEX readers and
// compared with the program bytes of the executable.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ponzer_run.h"

using namespace testing_support;
using namespace hex_test;

namespace {

using Image = std::map<uint32_t, uint8_t>;  // byte address to value
using Bytes = std::vector<uint8_t>;

const uint8_t kHole = 0xEE;  // fill for addresses no record covers

// What the executable's code and ROM data put where: location x bytes per
// location, a word family's odd section completed with a 0 byte.
Image programImage(uint32_t romWidthBits, const std::vector<FixtureSection>& sections) {
  const uint32_t perLocation = (romWidthBits + 7) >> 3;
  Image image;
  for (const FixtureSection& s : sections) {
    if (s.type != scnCode && s.type != scnRomData) continue;
    Bytes bytes(s.bytes.begin(), s.bytes.end());
    if (perLocation == 2 && bytes.size() % 2) bytes.push_back(0);
    for (size_t i = 0; i < bytes.size(); ++i) image[s.address * perLocation + static_cast<uint32_t>(i)] = bytes[i];
  }
  return image;
}

Bytes dense(const Image& image, uint8_t fill) {
  if (image.empty()) return {};
  const uint32_t lo = image.begin()->first;
  const uint32_t hi = image.rbegin()->first + 1;
  Bytes out(hi - lo, fill);
  for (const auto& [address, value] : image) out[address - lo] = value;
  return out;
}

std::string hexNumber(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

// srec_cat's reading of inputs (its own argument words, blank-separated)
// over the image's address span, holes filled.
Bytes srecBytes(const std::string& dir, const std::string& inputs, const Image& expected) {
  const uint32_t lo = expected.begin()->first;
  const uint32_t hi = expected.rbegin()->first + 1;
  std::vector<std::string> args{"("};
  for (const std::string& word : splitWords(inputs)) args.push_back(word);
  for (const std::string& word :
       {std::string(")"), std::string("-fill"), hexNumber(kHole), hexNumber(lo), hexNumber(hi),
        std::string("-offset"), "-" + hexNumber(lo), std::string("-o"), std::string("srec.bin"),
        std::string("-binary")})
    args.push_back(word);
  const RunResult r = runProgram("srec_cat", args, dir);
  EXPECT_EQ(r.status, 0) << r.output;
  const std::string bin = readFile(dir + "/srec.bin");
  return Bytes(bin.begin(), bin.end());
}

// objcopy's reading: from the lowest address, holes as zero bytes.
Bytes objcopyBytes(const std::string& dir, const std::string& file) {
  const RunResult r = runProgram("objcopy", {"-I", "ihex", "-O", "binary", file, "objcopy.bin"}, dir);
  EXPECT_EQ(r.status, 0) << r.output;
  const std::string bin = readFile(dir + "/objcopy.bin");
  return Bytes(bin.begin(), bin.end());
}

void expectValidHex(const std::string& dir, const std::string& file) {
  const RunResult r = runProgram("srec_info", {file, "-intel"}, dir);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output.find("mismatch"), std::string::npos) << r.output;
}

// Word family across the 64k byte boundary, with odd sections padded.
const std::vector<FixtureSection> kWordSections = {
    {".code", scnCode, 0, counting(0x01, 37)},
    {".one", scnCode, 0x100, {0x5A}},
    {".data", scnIData, 0x40, counting(0x80, 6)},
    {".table", scnRomData, 0x7FF0, counting(0x33, 81)},
};
// Word family below 64k bytes, for INHX8M.
const std::vector<FixtureSection> kSmallSections = {
    {".code", scnCode, 0x10, counting(0x02, 45)},
    {".table", scnRomData, 0x7F00, counting(0x90, 20)},
};
// Byte-addressed, sections of odd start and size side by side.
const std::vector<FixtureSection> kByteSections = {
    {".a", scnCode, 0x0F, counting(0x11, 17)},
    {".b", scnCode, 0x20, counting(0x61, 3)},
    {".c", scnRomData, 0x23, counting(0x71, 30)},
};

struct ReaderCase {
  const char* name;
  uint32_t romWidthBits;
  const std::vector<FixtureSection>* sections;
  const char* format;
};

void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.name; }

class IndependentReaders : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(IndependentReaders, ReadTheProgramBytes) {
  REQUIRE_PROGRAM("srec_cat");
  REQUIRE_PROGRAM("srec_info");
  REQUIRE_PROGRAM("objcopy");
  const ReaderCase& c = GetParam();
  const std::string dir = makeTempDir("ponzerread");
  writeExecutable(dir + "/prog.cof", c.romWidthBits, *c.sections);
  ASSERT_EQ(runPonzer(std::string("/q /a ") + c.format + " prog.cof", dir).status, 0);
  const Image expected = programImage(c.romWidthBits, *c.sections);
  expectValidHex(dir, "prog.hex");
  EXPECT_EQ(srecBytes(dir, "prog.hex -intel", expected), dense(expected, kHole));
  EXPECT_EQ(objcopyBytes(dir, "prog.hex"), dense(expected, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Files, IndependentReaders,
    ::testing::Values(ReaderCase{"WordsInhx32", 14, &kWordSections, "INHX32"},
                      ReaderCase{"SixteenBitWordsInhx32", 16, &kWordSections, "INHX32"},
                      ReaderCase{"WordsInhx8m", 12, &kSmallSections, "INHX8M"},
                      ReaderCase{"BytesInhx32", 8, &kByteSections, "INHX32"},
                      ReaderCase{"BytesInhx8m", 8, &kByteSections, "INHX8M"}),
    [](const ::testing::TestParamInfo<ReaderCase>& i) { return i.param.name; });

// The two INHX8S halves, merged again, are the INHX32 image.
class SplitHalves : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(SplitHalves, MergeToTheInhx32Image) {
  REQUIRE_PROGRAM("srec_cat");
  REQUIRE_PROGRAM("srec_info");
  const ReaderCase& c = GetParam();
  const std::string dir = makeTempDir("ponzersplit");
  writeExecutable(dir + "/prog.cof", c.romWidthBits, *c.sections);
  ASSERT_EQ(runPonzer("/q /a INHX32 prog.cof", dir).status, 0);
  ASSERT_EQ(runPonzer("/q /a INHX8S prog.cof", dir).status, 0);
  expectValidHex(dir, "prog.hxl");
  expectValidHex(dir, "prog.hxh");
  const Image expected = programImage(c.romWidthBits, *c.sections);
  const Bytes whole = srecBytes(dir, "prog.hex -intel", expected);
  EXPECT_EQ(whole, dense(expected, kHole));
  EXPECT_EQ(srecBytes(dir, "prog.hxl -intel -unsplit 2 0 prog.hxh -intel -unsplit 2 1", expected),
            whole);
}

INSTANTIATE_TEST_SUITE_P(Files, SplitHalves,
                         ::testing::Values(ReaderCase{"Words", 14, &kWordSections, "INHX8S"},
                                           ReaderCase{"SmallWords", 12, &kSmallSections, "INHX8S"},
                                           ReaderCase{"OddByteSections", 8, &kByteSections, "INHX8S"}),
                         [](const ::testing::TestParamInfo<ReaderCase>& i) { return i.param.name; });

// With ranges, exactly the selected locations are read back.
TEST(IndependentReadersRanges, SelectedLocationsOnly) {
  REQUIRE_PROGRAM("srec_cat");
  REQUIRE_PROGRAM("srec_info");
  REQUIRE_PROGRAM("objcopy");
  struct Job {
    uint32_t romWidthBits;
    const std::vector<FixtureSection>* sections;
    const char* ranges;
    std::vector<std::pair<uint32_t, uint32_t>> locations;  // inclusive, as given
  };
  const Job jobs[] = {
      {14, &kWordSections, "/r 0x3-0x7 /r 0x7FFC-0x8005 /r 0x100-0x100",
       {{0x3, 0x7}, {0x7FFC, 0x8005}, {0x100, 0x100}}},
      {8, &kByteSections, "/r 0x10-0x12 /r 0x1F-0x24", {{0x10, 0x12}, {0x1F, 0x24}}},
      // Out of order, overlapping, contained and touching.
      {14, &kWordSections, "/r 0x8000-0x8005 /r 0x4-0x9 /r 0x2-0x5 /r 0x7FF8-0x7FFF /r 0x6-0x6",
       {{0x8000, 0x8005}, {0x4, 0x9}, {0x2, 0x5}, {0x7FF8, 0x7FFF}, {0x6, 0x6}}},
      {8, &kByteSections, "/r 0x22-0x30 /r 0x10-0x1F /r 0x20-0x21 /r 0x12-0x14",
       {{0x22, 0x30}, {0x10, 0x1F}, {0x20, 0x21}, {0x12, 0x14}}},
  };
  for (const Job& job : jobs) {
    SCOPED_TRACE(job.ranges);
    const std::string dir = makeTempDir("ponzerrange");
    writeExecutable(dir + "/prog.cof", job.romWidthBits, *job.sections);
    ASSERT_EQ(runPonzer(std::string("/q ") + job.ranges + " prog.cof", dir).status, 0);
    const uint32_t perLocation = (job.romWidthBits + 7) >> 3;
    const Image all = programImage(job.romWidthBits, *job.sections);
    Image expected;
    for (const auto& [first, last] : job.locations)
      for (uint32_t b = first * perLocation; b < (last + 1) * perLocation; ++b)
        if (all.count(b)) expected[b] = all.at(b);
    expectValidHex(dir, "prog.hex");
    EXPECT_EQ(srecBytes(dir, "prog.hex -intel", expected), dense(expected, kHole));
    EXPECT_EQ(objcopyBytes(dir, "prog.hex"), dense(expected, 0));
  }
}

}  // namespace

// The Intel HEX writer: records, boundaries, address records, the split
// format, the fatal reach check and failed output files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <vector>

#include "hex.h"
#include "hex_test_util.h"
#include "platform.h"
#include "support/harness.h"

using namespace testing_support;
using hex_test::Lines;
using hex_test::ByteRun;

namespace {

const char* const kFatalText =
    "Error - Selected hex format does not support byte addresses above 64kb; use INHX32 format!\n";

struct WriteCase {
  const char* name;
  std::vector<ByteRun> runs;
  int format;
  // Suffix (".hex", ".hxl", ".hxh") to the lines the file must hold.
  std::map<std::string, Lines> files;
  int fatal;  // 1: the write ends with the fatal exit (status 255)
};

std::vector<uint8_t> counting(uint8_t first, int n) {
  std::vector<uint8_t> v;
  for (int i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(first + i));
  return v;
}

const char* const kEnd = ":00000001FF";

std::vector<WriteCase> writeCases() {
  return {
      {"RunSplitAtSixteenByteBoundaries",
       {{0x0E, counting(0, 20)}},
       fmtINHX32,
       {{".hex",
         {":020000040000FA", ":02000E000001EF", ":1000100002030405060708090A0B0C0D0E0F101148",
          ":020020001213B9", kEnd}}},
       0},
      {"SameRunInInhx8mHasNoAddressRecord",
       {{0x0E, counting(0, 20)}},
       fmtINHX8M,
       {{".hex",
         {":02000E000001EF", ":1000100002030405060708090A0B0C0D0E0F101148", ":020020001213B9",
          kEnd}}},
       0},
      {"Inhx32NewAddressRecordWhenCrossing64k",
       {{0xFFF8, counting(0xA0, 16)}},
       fmtINHX32,
       {{".hex",
         {":020000040000FA", ":08FFF800A0A1A2A3A4A5A6A7E5", ":020000040001F9",
          ":08000000A8A9AAABACADAEAF9C", kEnd}}},
       0},
      // Data out of reach is refused before any file is made.
      {"Inhx8mPast64kWritesNothing", {{0xFFF8, counting(0xA0, 16)}}, fmtINHX8M, {{".hex", {}}}, 1},
      {"Inhx32AddressRecordOnlyWhenUpperBitsChange",
       {{0x30010, {5, 6}}, {0x30000, {3, 4}}, {0x1FFF0, {1, 2}}},
       fmtINHX32,
       {{".hex",
         {":020000040001F9", ":02FFF00001020C", ":020000040003F7", ":020000000304F7",
          ":020010000506E3", kEnd}}},
       0},
      {"TopOfByteSpace",
       {{0xFFFFFFFE, {0xEE, 0xFF}}},
       fmtINHX32,
       {{".hex", {":02000004FFFFFC", ":02FFFE00EEFF14", kEnd}}},
       0},
      {"Inhx8sSplitsEvenAndOddBytes",
       {{0x20, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}}},
       fmtINHX8S,
       {{".hxl", {":0300100011335554", kEnd}}, {".hxh", {":0300100022446621", kEnd}}},
       0},
      {"Inhx8sPastWord0xFFFFWritesNothing",
       {{0x1FFFC, counting(0xB0, 8)}},
       fmtINHX8S,
       {{".hxl", {}}, {".hxh", {}}},
       1},
      {"Inhx8sReachesWord0xFFFF",
       {{0x1FFFC, counting(0xB0, 4)}},
       fmtINHX8S,
       {{".hxl", {":02FFFE00B0B29F", kEnd}}, {".hxh", {":02FFFE00B1B39D", kEnd}}},
       0},
      {"EmptyImageInhx32HoldsOnlyEndRecord", {}, fmtINHX32, {{".hex", {kEnd}}}, 0},
      {"EmptyImageInhx8m", {}, fmtINHX8M, {{".hex", {kEnd}}}, 0},
      {"EmptyImageInhx8s", {}, fmtINHX8S, {{".hxl", {kEnd}}, {".hxh", {kEnd}}}, 0},
      {"UnsortedRunsWrittenInAddressOrder",
       {{0x40, {0xAA, 0xBB}}, {0x10, {0xCC, 0xDD}}},
       fmtINHX32,
       {{".hex", {":020000040000FA", ":02001000CCDD45", ":02004000AABB59", kEnd}}},
       0},
      // Byte-addressed memory: odd starts and lengths are written as they are.
      {"OddStartAndLength",
       {{0x03, {0xA1, 0xA2, 0xA3}}},
       fmtINHX32,
       {{".hex", {":020000040000FA", ":03000300A1A2A314", kEnd}}},
       0},
      {"OddStartCrossingBoundary",
       {{0x0F, {0x5A, 0xA5}}},
       fmtINHX8M,
       {{".hex", {":01000F005A96", ":01001000A54A", kEnd}}},
       0},
      {"Inhx8sOddStartSplitByAddressParity",
       {{0x03, {0xA1, 0xA2, 0xA3}}},
       fmtINHX8S,
       {{".hxl", {":01000200A25B", kEnd}}, {".hxh", {":02000100A1A3B9", kEnd}}},
       0},
  };
}

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class HexWriteTable : public ::testing::TestWithParam<WriteCase> {};

TEST_P(HexWriteTable, WritesExpectedRecords) {
  const WriteCase& c = GetParam();
  DiagnosticsScope diag;
  ExitTrap trap;
  OutputCapture out;
  const std::string dir = makeTempDir("hexwrite");
  Hex hex = hex_test::makeHex(dir + "/img", c.runs);
  int status = -1;
  try {
    EXPECT_EQ(hex.write(c.format), 1);
  } catch (const ProcessExit& e) {
    status = e.status;
  }
  if (c.fatal) {
    EXPECT_EQ(status, 255);
    EXPECT_EQ(out.text(), std::string(kFatalText) + "Errors    : 1\nWarnings  : 0\n\n");
  } else {
    EXPECT_EQ(status, -1);
    EXPECT_EQ(out.text(), "");
  }
  for (const auto& f : c.files) {
    SCOPED_TRACE(f.first);
    EXPECT_EQ(readFile(dir + "/img" + f.first), hex_test::joinRecords(f.second));
  }
}

INSTANTIATE_TEST_SUITE_P(Records, HexWriteTable, ::testing::ValuesIn(writeCases()),
                         [](const ::testing::TestParamInfo<WriteCase>& i) { return i.param.name; });

// Every data and address record sums to zero modulo 256, over a run long
// enough to cross several boundaries and a 64k page.
TEST(HexWrite, EveryRecordChecksumsToZero) {
  DiagnosticsScope diag;
  ExitTrap trap;
  const std::string dir = makeTempDir("hexsum");
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 300; ++i) bytes.push_back(static_cast<uint8_t>(i * 37 + 11));
  const std::pair<int, uint32_t> jobs[] = {{fmtINHX32, 0xFF7B}, {fmtINHX8S, 0x1FE7B}};
  for (const auto& [format, start] : jobs) {
    Hex hex = hex_test::makeHex(dir + "/img", {{start, bytes}});
    ASSERT_EQ(hex.write(format), 1);
    for (const char* suffix : {".hex", ".hxl", ".hxh"}) {
      if ((format == fmtINHX8S) != (std::string(suffix) != ".hex")) continue;
      const std::string text = readFile(dir + "/img" + suffix);
      for (const std::string& line : hex_test::splitRecords(text)) {
        SCOPED_TRACE(line);
        ASSERT_GE(line.size(), 11u);
        ASSERT_EQ(line[0], ':');
        unsigned sum = 0;
        for (size_t i = 1; i + 1 < line.size(); i += 2) sum += std::stoul(line.substr(i, 2), nullptr, 16);
        EXPECT_EQ(sum & 0xFF, 0u);
        EXPECT_EQ(line.size(), 11u + 2 * std::stoul(line.substr(1, 2), nullptr, 16));
      }
    }
  }
}

TEST(HexWrite, UnopenableFileIsAnErrorAndResultZero) {
  DiagnosticsScope diag;
  OutputCapture out;
  Hex hex = hex_test::makeHex("/nonexistent-dir-for-hex/img", {{0, {1, 2}}});
  EXPECT_EQ(hex.write(fmtINHX32), 0);
  EXPECT_EQ(out.text(), "Error - Could not open hex file '/nonexistent-dir-for-hex/img.hex' for writing.\n");
  EXPECT_EQ(getErrorCount(), 1);
}

// The pair is written whole or not at all: the low file of an earlier run
// stays as it was, and none appears where there was none.
TEST(HexWrite, UnopenableHighFileLeavesLowFileAsItWas) {
  for (const bool earlier : {false, true}) {
    SCOPED_TRACE(earlier);
    DiagnosticsScope diag;
    OutputCapture out;
    const std::string dir = makeTempDir("hexhxh");
    ASSERT_EQ(mkdir((dir + "/img.hxh").c_str(), 0755), 0);
    if (earlier) writeFile(dir + "/img.hxl", ":00000001FF\r\n");
    Hex hex = hex_test::makeHex(dir + "/img", {{0, {1, 2}}});
    EXPECT_EQ(hex.write(fmtINHX8S), 0);
    EXPECT_EQ(out.text(), "Error - Could not open hex file '" + dir + "/img.hxh' for writing.\n");
    EXPECT_EQ(platform::fileExists(dir + "/img.hxl"), earlier ? 1 : 0);
    if (earlier) {
      EXPECT_EQ(readFile(dir + "/img.hxl"), ":00000001FF\r\n");
    }
    EXPECT_EQ(directoryEntries(dir).size(), earlier ? 2u : 1u);
  }
}

// A full device must not pass for a written file.
TEST(HexWrite, FailedWriteIsAnErrorAndResultZero) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full on this host";
  DiagnosticsScope diag;
  OutputCapture out;
  const std::string dir = makeTempDir("hexfull");
  ASSERT_EQ(symlink("/dev/full", (dir + "/img.hex").c_str()), 0);
  Hex hex = hex_test::makeHex(dir + "/img", {{0, {1, 2}}});
  EXPECT_EQ(hex.write(fmtINHX32), 0);
  EXPECT_EQ(out.text(), "Error - Could not write hex file '" + dir + "/img.hex'.\n");
  EXPECT_EQ(getErrorCount(), 1);
}

TEST(HexWrite, UnknownFormatWritesNothing) {
  DiagnosticsScope diag;
  const std::string dir = makeTempDir("hexfmt");
  Hex hex = hex_test::makeHex(dir + "/img", {{0, {1, 2}}});
  EXPECT_EQ(hex.write(3), 0);
  EXPECT_FALSE(platform::fileExists(dir + "/img.hex"));
}

// Each write starts its address records afresh.
TEST(HexWrite, SecondWriteBeginsWithItsOwnAddressRecord) {
  DiagnosticsScope diag;
  const std::string dir = makeTempDir("hextwice");
  Hex hex = hex_test::makeHex(dir + "/img", {{0x10000, {1, 2}}});
  ASSERT_EQ(hex.write(fmtINHX32), 1);
  const std::string once = readFile(dir + "/img.hex");
  ASSERT_EQ(hex.write(fmtINHX32), 1);
  EXPECT_EQ(readFile(dir + "/img.hex"), once);
  EXPECT_EQ(once.substr(0, 15), ":020000040001F9");
}

TEST(HexDump, PrintsRangesAndImage) {
  std::ostringstream os;
  AddrRange(0x10, 0x20).print(os);
  Hex hex = hex_test::makeHex("prog", {{0x20, {0xAB, 0xCD}}});
  hex.print(os);
  EXPECT_EQ(os.str(),
            "AddrRange:  cStart=0x00000010 cEnd=0x00000020\n"
            "Hex: cFileBaseName=prog, cRanges:\n"
            "HexRange: cStart=0x00000020, cData=\nabcd\n");
}

TEST(AddrRangeTest, ContainsBothEndsUnsigned) {
  const AddrRange r(0x10, 0xFFFFFFFF);
  EXPECT_FALSE(r.contains(0x0F));
  EXPECT_TRUE(r.contains(0x10));
  EXPECT_TRUE(r.contains(0xFFFFFFFF));
  const AddrRangeList list = {AddrRange(1, 2), AddrRange(5, 5)};
  EXPECT_TRUE(inAnyRange(5, list));
  EXPECT_FALSE(inAnyRange(3, list));
  EXPECT_FALSE(inAnyRange(0, {}));
}

}  // namespace

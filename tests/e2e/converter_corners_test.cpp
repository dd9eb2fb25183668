// The converters at the edges of what their command lines and the COD
// format can express: object file names that are empty, more source files
// than a line record can number, and COD files just inside and just past
// the 65,536 blocks that 16-bit block numbers reach. Each case runs the
// built program on a small executable made with the fixture builder.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "banner.h"
#include "cod.h"
#include "coff.h"
#include "fixtures/coff_builder.h"
#include "support/harness.h"

using fixtures::CoffBuilder;
using testing_support::RunResult;
using testing_support::readFile;
using testing_support::writeFile;

namespace {

constexpr std::uint32_t kCoreC = 0xC001;  // 16-bit words, two bytes per location

CoffBuilder executable(const std::string& name) {
  CoffBuilder b(name);
  b.processor(kCoreC, 16, 8);
  b.flags(kFileExecutable);
  return b;
}

std::uint32_t endOfFile(CoffBuilder& b) { return b.symbol(".eof", 0, kScnNumDebug, kClassFile); }

std::string banner(const char* first) {
  return std::string(first) + "\n" + noticeBanner() + "\n\n";
}

std::string summary(int errors, int warnings) {
  return "Errors    : " + std::to_string(errors) + "\nWarnings  : " + std::to_string(warnings) +
         "\n\n";
}

class ConverterCorners : public ::testing::Test {
 protected:
  void SetUp() override { cDir = testing_support::makeTempDir("corners"); }
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
  bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }

  std::string cDir;
};

// ------------------------------------------------------------ empty names

const char* const kPonzerUsage =
    "Usage: ponzer [/a <hexformat>] [/r 0xBBBB-0xEEEE]... [/q] <coffFile>\n"
    "   where, <hexformat> is {INHX32, INHX8S, INHX8M} \n"
    "          0xBBBB is the beginning program memory address of a range to include\n"
    "          0xEEEE is the ending program memory address of a range to include\n"
    "   If no /r option is present, all rom sections will be included.\n\n";
const char* const kDralmUsage =
    "Usage: dralm [-n, /n <listingPageLength>] [-d, /d] [-q, /q] <coffFile>\n";

// An empty argument is a file name like any other: with a second name it
// is a usage error, whichever of the two comes first.
TEST_F(ConverterCorners, AnEmptyFileNameCountsAsTheFirstOrTheSecondName) {
  CoffBuilder b = executable("prog.out");
  b.section(".code", scnCode, 0, fixtures::words({0x1234, 0x5678}));
  b.writeFile(path("prog.out"));
  const std::string ponzer = banner("PONZER v2.10.00, COFF to HEX File Converter");
  const std::string dralm = banner("DRALM v2.10.00, COFF to COD File Converter");
  struct Case {
    const char* tool;
    std::vector<std::string> args;
    int status;
    std::string output;
    const char* written;  // the file the run creates, or nullptr
  };
  const Case cases[] = {
      {"ponzer", {"", "prog.out"}, 1, ponzer + kPonzerUsage, nullptr},
      {"ponzer", {"prog.out", ""}, 1, ponzer + kPonzerUsage, nullptr},
      {"ponzer", {"/q", "", "prog.out"}, 1, "", nullptr},
      {"ponzer", {"/r", "0-1", "", "/a", "INHX8M", "prog.out"}, 1, ponzer + kPonzerUsage, nullptr},
      {"ponzer", {"prog.out"}, 0, ponzer + summary(0, 0), "prog.hex"},
      {"dralm", {"", "prog.out"}, 1, dralm + kDralmUsage, nullptr},
      {"dralm", {"-d", "prog.out", ""}, 1, dralm + kDralmUsage, nullptr},
      {"dralm", {"-d", "prog.out"}, 0, dralm + summary(0, 0), "prog.cod"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tool) + " " + ::testing::PrintToString(c.args));
    std::filesystem::remove(path("prog.hex"));
    std::filesystem::remove(path("prog.cod"));
    const RunResult r = tool(c.tool, c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.output, c.output);
    EXPECT_EQ(exists("prog.hex"), c.written && std::string(c.written) == "prog.hex");
    EXPECT_EQ(exists("prog.cod"), c.written && std::string(c.written) == "prog.cod");
  }
}

// ------------------------------------------------------------ file numbers

std::string sourceName(unsigned k) {
  char name[16];
  std::snprintf(name, sizeof name, "f%03u.asm", k);
  return name;
}

// A line record names its source file in one byte. Files past the 256th
// are listed, but the COD file keeps no name and no line record of them;
// before, their records carried the number modulo 256 and so named another
// file.
TEST_F(ConverterCorners, SourceFilesPastTheTwoHundredFiftySixthGetNoLineRecords) {
  struct Case {
    unsigned files;
    std::string warning;
  };
  const Case cases[] = {
      {256, ""},
      {300,
       "Warning - Coff file 'prog.out' names 300 source files; a Cod file numbers at most 256, so "
       "the 44 from 'f256.asm' on get no source name and no line records.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.files);
    // File k: two lines, the first with the word at location k.
    CoffBuilder b = executable("prog.out");
    std::vector<std::uint16_t> code;
    for (unsigned k = 0; k < c.files; ++k) code.push_back(static_cast<std::uint16_t>(k));
    b.section(".code", scnCode, 0, fixtures::words(code));
    for (unsigned k = 0; k < c.files; ++k) {
      writeFile(path(sourceName(k)), "  dw " + std::to_string(k) + "\n; end\n");
      const std::uint32_t f = b.file(sourceName(k));
      endOfFile(b);
      b.lineNumber(".code", f, 1, k);
    }
    b.writeFile(path("prog.out"));

    const RunResult r = tool("dralm", "prog.out");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, banner("DRALM v2.10.00, COFF to COD File Converter") + c.warning +
                            summary(0, c.warning.empty() ? 0 : 1));

    // The listing is whole: the last file's lines are there.
    const std::string listing = readFile(path("prog.lst"));
    EXPECT_NE(listing.find("; end" + std::string(75, ' ') + " " + sourceName(c.files - 1) + "\n"),
              std::string::npos);

    std::unique_ptr<Cod> cod = Cod::make(path("prog.cod"));
    ASSERT_NE(cod, nullptr);
    ASSERT_EQ(cod->cSourceNameList.size(), 256u);
    EXPECT_EQ(cod->cSourceNameList.back().fileName(), sourceName(255));
    // Two records per numbered file, each naming its own file: the code
    // line at the file's own location and the comment line.
    std::vector<unsigned> perFile(256, 0);
    size_t sourceRecords = 0;
    for (const LineInfo& l : cod->cLineInfoTable.at(0)) {
      if (l.Flags == 0x02) continue;  // page header
      ++sourceRecords;
      ++perFile[l.FileNum];
      if (l.Flags == 0x80) {
        EXPECT_EQ(l.CodeAddress, l.FileNum) << "line " << l.Line;
      }
    }
    EXPECT_EQ(sourceRecords, 2u * 256u);
    for (unsigned k = 0; k < 256; ++k) EXPECT_EQ(perFile[k], 2u) << sourceName(k);
    std::filesystem::remove_all(cDir);
    std::filesystem::create_directory(cDir);
  }
}

// ------------------------------------------------------------ block limit

// An executable whose code lies in window w: every window below it gets
// its directory, so that w + 1 directories plus a handful of tables bring
// the COD file near its 65,536 blocks without a large input. The source
// has lines lines; the first holds the code word, the others none.
//
// Blocks: w + 1 directories, one code block, one source name block, the
// line records of directory 0 (the page headers and one per line without
// code), one line record block and one memory map block of window w.
void writeHighProgram(const std::string& dir, std::uint32_t window, unsigned lines) {
  CoffBuilder b = executable("prog.out");
  const std::uint32_t location = window * 0x8000u;  // two bytes per location
  b.section(".code", scnCode, location, fixtures::words({0x0000}));
  const std::uint32_t f = b.file("prog.asm");
  endOfFile(b);
  b.lineNumber(".code", f, 1, location);
  b.writeFile(dir + "/prog.out");
  std::string source = "  nop\n";
  for (unsigned i = 1; i < lines; ++i) source += "; comment\n";
  writeFile(dir + "/prog.asm", source);
}

// The listing's line records count towards the COD file's blocks: a COD
// file one block too large leaves no listing behind (an earlier one stays
// as it was) and no COD file.
TEST_F(ConverterCorners, TheBlockLimitIsCheckedBeforeTheListingReplacesTheOld) {
  // 65,530 directories: 65,534 blocks before directory 0's line records.
  const std::uint32_t window = 65529;
  struct Case {
    const char* what;
    unsigned lines;
    const char* switches;
    std::size_t blocks;  // of the whole COD file
    bool fits;
  };
  // Directory 0's records: 8 per page header and one per line without
  // code; 85 fit in a block.
  const Case cases[] = {
      {"8 + 162 records: two blocks", 163, "", 65536, true},
      {"8 + 163 records: three blocks", 164, "", 65537, false},
      // 8 + 147 records would fit; the page headers after rows 50 and 100
      // make it 3 x 8 + 147.
      {"page headers count", 148, "-n 50", 65537, false},
  };
  const std::string oldListing = "an earlier listing\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(path("prog.cod"));
    writeFile(path("prog.lst"), oldListing);
    writeHighProgram(cDir, window, c.lines);

    const RunResult r = tool("dralm", std::string(c.switches) + " prog.out");
    const std::string head = banner("DRALM v2.10.00, COFF to COD File Converter");
    if (c.fits) {
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.output, head + summary(0, 0));
      EXPECT_EQ(std::filesystem::file_size(path("prog.cod")), c.blocks * 512u);
      EXPECT_NE(readFile(path("prog.lst")), oldListing);
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.output, head + "Error - Cod file 'prog.cod' would need " +
                              std::to_string(c.blocks) +
                              " blocks; a Cod file holds at most 65536.\n" + summary(1, 0));
      EXPECT_FALSE(exists("prog.cod"));
      EXPECT_EQ(readFile(path("prog.lst")), oldListing);
    }
  }
}

}  // namespace

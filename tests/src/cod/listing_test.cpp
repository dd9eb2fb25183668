// The listing file and the line records it adds: golden listings (date
// masked) for includes, list control, page breaks, missing and CRLF
// sources, illegal words and two-word instructions; then the records, the
// boundaries of their blocks and the failures of the listing file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "banner.h"
#include "cod_layout_parser.h"
#include "coff2cod.h"
#include "coff2cod_fixture.h"
#include "filename.h"

using namespace testing_support;
using namespace dralm_test;
using fixtures::words;

namespace {

const std::string kTitles =
    "Address  Value    Disassembly              Source                                     "
    "                                      File\n";
const std::string kRules =
    "-------  -------  -----------------------  -------------------------------------------"
    "------------------------------------  -----\n";

std::string header(bool first) {
  return std::string(first ? "" : "\f\n") + "DRALM v2.10.00, COFF to COD File Converter\n" +
         noticeBanner() + "\n" + "Listing File Generated: <date>\n\n\n" + kTitles + kRules;
}

std::string pad(const std::string& s, size_t width) {
  return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

// One row: address, value, disassembly, source text, file name.
std::string row(const std::string& address, const std::string& value,
                const std::string& disassembly, const std::string& source,
                const std::string& file) {
  return pad(address, 6) + "   " + pad(value, 6) + "   " + pad(disassembly, 24) + " " +
         pad(source, 80) + " " + file + "\n";
}

// A source row without code.
std::string text(const std::string& source, const std::string& file) {
  return row("", "", "", source, file);
}

// The whole conversion: the listing is put in place with the COD file.
bool convert(Coff2Cod& cod, const Coff& coff, uint32_t pageLength = 0) {
  return cod.init(coff, pageLength, false) == &cod && cod.preWrite() && cod.write();
}

class ListingTest : public ConversionTest {
 protected:
  // Converts with a listing; the listing with its date masked.
  std::string list(const fixtures::CoffBuilder& b, uint32_t pageLength = 0) {
    cCoff = readBack(b);
    EXPECT_TRUE(cCoff);
    if (!cCoff) return "";
    EXPECT_TRUE(convert(cCod, *cCoff, pageLength));
    return maskDate(readFile(FileName(b.model().cFileName).path() + "prog.lst"));
  }

  std::vector<LineInfo> records(size_t dir) const {
    return std::vector<LineInfo>(cCod.cLineInfoTable.at(dir).begin(),
                                 cCod.cLineInfoTable.at(dir).end());
  }

  std::unique_ptr<Coff> cCoff;
  Coff2Cod cCod;
};

std::vector<LineInfo> headerRecords() { return std::vector<LineInfo>(8, LineInfo(0, 2, 1, 0)); }

void expectRecords(const std::vector<LineInfo>& got, const std::vector<LineInfo>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    EXPECT_EQ(got[i].FileNum, want[i].FileNum);
    EXPECT_EQ(got[i].Flags, want[i].Flags);
    EXPECT_EQ(got[i].Line, want[i].Line);
    EXPECT_EQ(got[i].CodeAddress, want[i].CodeAddress);
  }
}

TEST_F(ListingTest, HeaderCarriesTheTimeOfTheRunAndARowPinsTheColumns) {
  writeFile("main.asm", "  addlw 0xff\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0x1A2, words({0x3FFF}));
  const uint32_t f = sourceFile(b, "main.asm");
  endOfFile(b);
  b.lineNumber(".code", f, 1, 0x1A2);
  std::unique_ptr<Coff> coff = readBack(b);
  ASSERT_TRUE(coff);
  Coff2Cod cod;
  ASSERT_TRUE(convert(cod, *coff));
  EXPECT_EQ(readFile("prog.lst"),
            "DRALM v2.10.00, COFF to COD File Converter\n" + std::string(noticeBanner()) +
                "\nListing File Generated: Tue Dec  8 09:05:00 2026\n\n\n" + kTitles + kRules +
                "0001a2   3fff     ADDLW     0xff" + std::string(11, ' ') + "  addlw 0xff" +
                std::string(69, ' ') + "main.asm\n");
}

TEST_F(ListingTest, IncludesTwoLevelsDeepAreExpandedInPlace) {
  writeFile("main.asm", "; main\n  include a.inc\n  movlw 1\n  include c.inc\n  end\n");
  writeFile("a.inc", "  include b.inc\n  nop\n");
  writeFile("b.inc", "  return\n");
  writeFile("c.inc", "  clrwdt\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0008, 0x0000, 0x3001, 0x0064}));
  const uint32_t main = sourceFile(b, "main.asm");
  const uint32_t a = sourceFile(b, "a.inc", 2);
  const uint32_t bb = sourceFile(b, "b.inc", 1);
  endOfFile(b);
  endOfFile(b);
  const uint32_t c = sourceFile(b, "c.inc", 4);
  endOfFile(b);
  endOfFile(b);
  b.lineNumber(".code", bb, 1, 0);
  b.lineNumber(".code", a, 2, 1);
  b.lineNumber(".code", main, 3, 2);
  b.lineNumber(".code", c, 1, 3);
  // The parent goes on after both levels: line 3 keeps its code and the
  // second include still lands at line 4.
  EXPECT_EQ(list(b), header(true) + text("; main", "main.asm") +
                         text("  include a.inc", "main.asm") +
                         text("  include b.inc", "a.inc") +
                         row("000000", "0008", "RETURN    ", "  return", "b.inc") +
                         row("000001", "0000", "NOP       ", "  nop", "a.inc") +
                         row("000002", "3001", "MOVLW     0x1", "  movlw 1", "main.asm") +
                         text("  include c.inc", "main.asm") +
                         row("000003", "0064", "CLRWDT    ", "  clrwdt", "c.inc") +
                         text("  end", "main.asm"));
}

// An include is looked for only at the next ".file" of the including file:
// one that does not name the line hides the files behind it.
TEST_F(ListingTest, OnlyTheNextIncludedFileIsLookedFor) {
  struct Case {
    const char* what;
    uint32_t firstLine, secondLine;  // include lines, in symbol-table order
    std::string rows;
  };
  const std::string f = "main.asm";
  const std::string one = row("000000", "0000", "NOP       ", "  nop", "one.inc");
  const std::string two = row("000001", "0008", "RETURN    ", "  return", "two.inc");
  const Case cases[] = {
      {"in line order", 2, 3,
       text("top", f) + text("  include one.inc", f) + one + text("  include two.inc", f) + two},
      {"out of line order", 3, 2,
       text("top", f) + text("  include one.inc", f) + text("  include two.inc", f) + one},
      {"first names no line of the file", 9, 3,
       text("top", f) + text("  include one.inc", f) + text("  include two.inc", f)},
  };
  writeFile("main.asm", "top\n  include one.inc\n  include two.inc\n");
  writeFile("one.inc", "  nop\n");
  writeFile("two.inc", "  return\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fixtures::CoffBuilder b = executable("prog.out", kCoreB);
    b.section(".code", scnCode, 0, words({0x0000, 0x0008}));
    sourceFile(b, "main.asm");
    const uint32_t first = sourceFile(b, "one.inc", c.firstLine);
    endOfFile(b);
    const uint32_t second = sourceFile(b, "two.inc", c.secondLine);
    endOfFile(b);
    endOfFile(b);
    b.lineNumber(".code", first, 1, 0);
    b.lineNumber(".code", second, 1, 1);
    Coff2Cod cod;
    std::unique_ptr<Coff> coff = readBack(b);
    ASSERT_TRUE(coff);
    ASSERT_TRUE(convert(cod, *coff));
    EXPECT_EQ(maskDate(readFile("prog.lst")), header(true) + c.rows);
  }
}

TEST_F(ListingTest, EntriesThatLookLikeListingSymbolsAreNoSymbols) {
  writeFile("main.asm", "  nop\n  include a.inc\n");
  writeFile("a.inc", "  return\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0000, 0x0008}));
  const uint32_t main = sourceFile(b, "main.asm");
  // Function entries whose bytes spell ".nolist" at line 1 and ".eof".
  b.symbolWithAux(b.makeSymbol("f1", 0, 1, kClassExternal, kTypeFunction),
                  b.makeSymbol(".nolist", 1, kScnNumDebug, kClassStatic).record());
  b.symbolWithAux(b.makeSymbol("f2", 0, 1, kClassExternal, kTypeFunction),
                  b.makeSymbol(".eof", 0, kScnNumDebug, kClassFile).record());
  const uint32_t a = sourceFile(b, "a.inc", 2);
  endOfFile(b);
  endOfFile(b);
  b.lineNumber(".code", main, 1, 0);
  b.lineNumber(".code", a, 1, 1);
  EXPECT_EQ(list(b), header(true) + row("000000", "0000", "NOP       ", "  nop", "main.asm") +
                         text("  include a.inc", "main.asm") +
                         row("000001", "0008", "RETURN    ", "  return", "a.inc"));
}

TEST_F(ListingTest, NolistAndListSwitchTheRowsAndRecordsOffAndOn) {
  writeFile("main.asm", "one\n  nolist\nthree\n  list\nfive\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0000, 0x0008}));
  sourceFile(b, "main.asm");
  b.symbol(".nolist", 2, kScnNumDebug, kClassStatic);
  b.symbol(".list", 4, kScnNumDebug, kClassStatic);
  endOfFile(b);
  b.lineNumber(".code", 0, 3, 0);
  b.lineNumber(".code", 0, 5, 1);
  EXPECT_EQ(list(b), header(true) + text("one", "main.asm") + text("  list", "main.asm") +
                         row("000001", "0008", "RETURN    ", "five", "main.asm"));
  std::vector<LineInfo> want = headerRecords();
  want.push_back(LineInfo(0, 0x90, 1, 0));
  want.push_back(LineInfo(0, 0x90, 4, 0));
  want.push_back(LineInfo(0, 0x80, 5, 1));
  expectRecords(records(0), want);
}

// A ".list" or ".nolist" counts only for the lines read while the file's
// symbols continue at its stretch of the table, up to the next ".file" or
// ".eof"; labels in between do not end the stretch. Of two for one line
// the first in the table wins.
TEST_F(ListingTest, ListControlCountsWithinItsStretchOfTheSymbolTable) {
  writeFile("main.asm", "one\n  include a.inc\nthree\nfour\nfive\nsix\n");
  writeFile("a.inc", "a one\na two\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0000}));
  sourceFile(b, "main.asm");
  for (int i = 0; i < 40; ++i) b.label("before" + std::to_string(i), 1, 0);
  // Line 4 is read after a.inc's ".eof": this one is never looked at.
  b.symbol(".nolist", 4, kScnNumDebug, kClassStatic);
  sourceFile(b, "a.inc", 2);
  b.symbol(".nolist", 1, kScnNumDebug, kClassStatic);
  b.label("inside", 1, 0);
  b.symbol(".list", 2, kScnNumDebug, kClassStatic);
  endOfFile(b);
  for (int i = 0; i < 40; ++i) b.label("after" + std::to_string(i), 1, 0);
  b.symbol(".nolist", 5, kScnNumDebug, kClassStatic);
  b.symbol(".list", 5, kScnNumDebug, kClassStatic);
  b.label("between", 1, 0);
  b.symbol(".list", 6, kScnNumDebug, kClassStatic);
  endOfFile(b);
  const std::string f = "main.asm";
  EXPECT_EQ(list(b), header(true) + text("one", f) + text("  include a.inc", f) +
                         text("a two", "a.inc") + text("three", f) + text("four", f) +
                         text("six", f));
  std::vector<LineInfo> want = headerRecords();
  for (auto [file, line] : {std::pair<uint8_t, int16_t>{0, 1}, {0, 2}, {1, 2}, {0, 3}, {0, 4},
                            {0, 6}})
    want.push_back(LineInfo(file, 0x90, line, 0));
  expectRecords(records(0), want);
}

// What the listing adds, directory by directory: page headers, rows with
// and without code, included files, list control.
TEST_F(ListingTest, TheLineRecordsCountPerDirectory) {
  writeFile("main.asm", "one\n  include gone.inc\nthree\n  include a.inc\nfive\nsix\n");
  writeFile("a.inc", "a one\na two\na three\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0000, 0x0008}));
  b.section(".high", scnCode, 0x8000, words({0x0064, 0x0064}));  // window 1
  const uint32_t main = sourceFile(b, "main.asm");
  sourceFile(b, "gone.inc", 2);
  endOfFile(b);
  const uint32_t a = sourceFile(b, "a.inc", 4);
  b.symbol(".nolist", 2, kScnNumDebug, kClassStatic);
  endOfFile(b);
  b.symbol(".list", 6, kScnNumDebug, kClassStatic);
  endOfFile(b);
  b.lineNumber(".code", main, 3, 1);
  b.lineNumber(".high", a, 1, 0x8000);
  b.lineNumber(".high", a, 1, 0x8001);
  b.lineNumber(".high", main, 6, 0x8000);
  std::unique_ptr<Coff> coff = readBack(b);
  ASSERT_TRUE(coff);
  Coff2Cod cod;
  cod.cPageLength = 2;
  cod.buildLineMap(*coff);
  cod.setupDirectory(*coff);
  ASSERT_TRUE(cod.createRawDataAndMemoryMap(*coff));
  ASSERT_EQ(cod.cDirectory.size(), 2u);
  cod.createSourceNames(*coff);
  cod.createSymbols(*coff);
  EXPECT_TRUE(cod.cLineInfoTable[0].empty());
  EXPECT_TRUE(cod.cLineInfoTable[1].empty());

  OutputCapture out;
  ASSERT_TRUE(cod.createListFile(*coff));
  EXPECT_EQ(out.text(),
            "Warning - Could not open source file 'gone.inc'.\n"
            "This file will not be present in the list file.\n");
  // Rows: one, include, three (code), include, a one (2 code), six (code):
  // three code records in window 1; four headers and three lines without
  // code in window 0, and the code of line three.
  EXPECT_EQ(cod.cLineInfoTable[1].size(), 3u);
  EXPECT_EQ(cod.cLineInfoTable[0].size(), 4u * 8u + 4u);
}

TEST_F(ListingTest, PageLengthThreeRepeatsTheHeaderEveryThreeRows) {
  writeFile("main.asm", "1\n2\n3\n4\n5\n6\n7\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0000}));
  sourceFile(b, "main.asm");
  endOfFile(b);
  const std::string f = "main.asm";
  EXPECT_EQ(list(b, 3), header(true) + text("1", f) + text("2", f) + text("3", f) +
                            header(false) + text("4", f) + text("5", f) + text("6", f) +
                            header(false) + text("7", f));
  // Every header adds its eight records, the later ones too.
  EXPECT_EQ(cCod.cLineInfoTable[0].size(), 3 * 8 + 7u);
}

TEST_F(ListingTest, AMissingSourceIsWarnedAboutAndItsIncludesStayWithIt) {
  writeFile("main.asm", "first\n  include gone.inc\n  include here.inc\nfourth\n");
  writeFile("inner.inc", "inner line\n");
  writeFile("here.inc", "here line\n");
  writeFile("orphan.inc", "orphan line\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0000, 0x0008, 0x0064}));
  const uint32_t main = sourceFile(b, "main.asm");
  sourceFile(b, "gone.inc", 2);
  sourceFile(b, "inner.inc", 1);  // line 1 of gone.inc, not of main.asm
  endOfFile(b);
  endOfFile(b);
  const uint32_t here = sourceFile(b, "here.inc", 3);
  endOfFile(b);
  endOfFile(b);
  // A missing file of its own: what it includes is listed on its own.
  sourceFile(b, "lost.asm");
  const uint32_t orphan = sourceFile(b, "orphan.inc", 1);
  endOfFile(b);
  endOfFile(b);
  b.lineNumber(".code", here, 1, 0);
  b.lineNumber(".code", main, 4, 1);
  b.lineNumber(".code", orphan, 1, 2);
  OutputCapture out;
  const std::string listing = list(b);
  EXPECT_EQ(listing, header(true) + text("first", "main.asm") +
                         text("  include gone.inc", "main.asm") +
                         text("  include here.inc", "main.asm") +
                         row("000000", "0000", "NOP       ", "here line", "here.inc") +
                         row("000001", "0008", "RETURN    ", "fourth", "main.asm") +
                         row("000002", "0064", "CLRWDT    ", "orphan line", "orphan.inc"));
  EXPECT_EQ(out.text(),
            "Warning - Could not open source file 'gone.inc'.\n"
            "This file will not be present in the list file.\n"
            "Warning - Could not open source file 'lost.asm'.\n"
            "This file will not be present in the list file.\n");
  EXPECT_EQ(getWarningCount(), 2);
  EXPECT_EQ(getErrorCount(), 0);
}

// A source that opens but is no file to read, or whose read fails, is left
// out with the same warning as a missing one, so a listing is never quietly
// empty or short; an empty source is a file of no lines.
TEST_F(ListingTest, SourcesThatCannotBeReadAreWarnedAboutAndLeftOut) {
  writeFile("empty.asm", "");
  writeFile("main.asm", "first\n");
  ASSERT_EQ(mkdir("dir.asm", 0700), 0);
  ASSERT_EQ(mkfifo("fifo.asm", 0600), 0);  // no writer: must not be waited on
  ASSERT_EQ(symlink("/dev/zero", "zero.asm"), 0);
  // A regular file whose read fails (this process's memory at address 0).
  ASSERT_EQ(symlink("/proc/self/mem", "failing.asm"), 0);
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0000}));
  for (const char* source : {"dir.asm", "fifo.asm", "zero.asm", "failing.asm", "empty.asm"}) {
    sourceFile(b, source);
    endOfFile(b);
  }
  const uint32_t main = sourceFile(b, "main.asm");
  endOfFile(b);
  b.lineNumber(".code", main, 1, 0);
  OutputCapture out;
  const std::string listing = list(b);
  EXPECT_EQ(listing, header(true) + row("000000", "0000", "NOP       ", "first", "main.asm"));
  std::string warnings;
  for (const char* source : {"dir.asm", "fifo.asm", "zero.asm", "failing.asm"})
    warnings += "Warning - Could not open source file '" + std::string(source) +
                "'.\nThis file will not be present in the list file.\n";
  EXPECT_EQ(out.text(), warnings);
  EXPECT_EQ(getWarningCount(), 4);
  EXPECT_EQ(getErrorCount(), 0);
}

TEST_F(ListingTest, IncludesNestedPastTheLimitAreWarnedAboutAndLeftOut) {
  writeFile("main.asm", "  include n.inc\n");
  writeFile("n.inc", "  include n.inc\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0000}));
  sourceFile(b, "main.asm");
  for (int i = 0; i < 105; ++i) sourceFile(b, "n.inc", 1);
  for (int i = 0; i < 106; ++i) endOfFile(b);
  const uint32_t after = sourceFile(b, "main.asm");
  endOfFile(b);
  b.lineNumber(".code", after, 1, 0);
  OutputCapture out;
  const std::string listing = list(b);
  std::string want = header(true) + text("  include n.inc", "main.asm");
  for (int i = 0; i < 100; ++i) want += text("  include n.inc", "n.inc");
  // The file after the deep nesting is still found.
  want += row("000000", "0000", "NOP       ", "  include n.inc", "main.asm");
  EXPECT_EQ(listing, want);
  EXPECT_EQ(out.text(),
            "Warning - Source file 'n.inc' is included more than 100 levels deep; it will not be "
            "present in the list file.\n");
}

TEST_F(ListingTest, CrlfLinesLoseTheirReturnAndLongLinesStayWhole) {
  const std::string longLine(1500, 'x');
  writeFile("main.asm", "  nop\r\n" + longLine + "\r\n  return\r\nlast without end");
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0000, 0x0008}));
  sourceFile(b, "main.asm");
  endOfFile(b);
  b.lineNumber(".code", 0, 1, 0);
  b.lineNumber(".code", 0, 3, 1);
  EXPECT_EQ(list(b), header(true) + row("000000", "0000", "NOP       ", "  nop", "main.asm") +
                         text(longLine, "main.asm") +
                         row("000001", "0008", "RETURN    ", "  return", "main.asm") +
                         text("last without end", "main.asm"));
}

TEST_F(ListingTest, AnIllegalWordIsMarkedAndTheNextOneDisassembled) {
  writeFile("main.asm", "  data 1\n  addwf 5,1\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0001, 0x0785}));
  sourceFile(b, "main.asm");
  endOfFile(b);
  b.lineNumber(".code", 0, 1, 0);
  b.lineNumber(".code", 0, 2, 1);
  EXPECT_EQ(list(b), header(true) +
                         row("000000", "0001", "??? Illegal Opcode", "  data 1", "main.asm") +
                         row("000001", "0785", "ADDWF     0x5,0x1", "  addwf 5,1", "main.asm"));
}

TEST_F(ListingTest, CoreDTwoWordInstructionsLeaveTheirSecondWordBlank) {
  writeFile("main.asm", "  call far\n  movff 0x123,?\n  return 0\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreD);
  // CALL with its second word; MOVFF whose next word is no second word, so
  // that word is an instruction of its own.
  b.section(".code", scnCode, 0x100, words({0xEC12, 0xF345, 0xC123, 0x0012}));
  sourceFile(b, "main.asm");
  endOfFile(b);
  b.lineNumber(".code", 0, 1, 0x100);
  b.lineNumber(".code", 0, 1, 0x102);
  b.lineNumber(".code", 0, 2, 0x104);
  b.lineNumber(".code", 0, 3, 0x106);
  EXPECT_EQ(list(b), header(true) +
                         row("000100", "ec12", "CALL      0x68a24,0x0", "  call far", "main.asm") +
                         row("000102", "f345", "", "", "") +
                         row("000104", "c123", "MOVFF     0x123,???", "  movff 0x123,?",
                             "main.asm") +
                         row("000106", "0012", "RETURN    0x0", "  return 0", "main.asm"));
  std::vector<LineInfo> want = headerRecords();
  want.push_back(LineInfo(0, 0x80, 1, 0x100));
  want.push_back(LineInfo(0, 0x00, 1, 0x102));
  want.push_back(LineInfo(0, 0x80, 2, 0x104));
  want.push_back(LineInfo(0, 0x80, 3, 0x106));
  expectRecords(records(0), want);
}

TEST_F(ListingTest, WordsOutsideTheSectionReadAsZero) {
  writeFile("main.asm", "  last\n  past\n  before\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreD);
  // An odd-sized section: its last word has only a low byte.
  b.section(".code", scnCode, 0x10, {0x12, 0x00, 0x34});
  sourceFile(b, "main.asm");
  endOfFile(b);
  b.lineNumber(".code", 0, 1, 0x12);
  b.lineNumber(".code", 0, 2, 0x40);
  b.lineNumber(".code", 0, 3, 0x02);
  const std::string listing = list(b);
  EXPECT_NE(listing.find(row("000012", "0034", "??? Illegal Opcode", "  last", "main.asm")),
            std::string::npos);
  EXPECT_NE(listing.find(row("000040", "0000", "NOP       ", "  past", "main.asm")),
            std::string::npos);
  EXPECT_NE(listing.find(row("000002", "0000", "NOP       ", "  before", "main.asm")),
            std::string::npos);
}

TEST_F(ListingTest, FilesAreListedInSymbolOrderWithTheirOwnNumbers) {
  writeFile("one.asm", "a\n");
  writeFile("two.asm", "b\n");
  fixtures::CoffBuilder b = executable("sub/prog.out", kCoreB);
  std::filesystem::create_directory("sub");
  b.section(".code", scnCode, 0, words({0x0000}));
  sourceFile(b, "one.asm");
  endOfFile(b);
  const uint32_t two = sourceFile(b, "two.asm");
  endOfFile(b);
  b.lineNumber(".code", two, 1, 0);
  // The listing lands beside the executable.
  EXPECT_EQ(list(b), header(true) + text("a", "one.asm") +
                         row("000000", "0000", "NOP       ", "b", "two.asm"));
  std::vector<LineInfo> want = headerRecords();
  want.push_back(LineInfo(0, 0x90, 1, 0));
  want.push_back(LineInfo(1, 0x80, 1, 0));
  expectRecords(records(0), want);
  EXPECT_FALSE(platform::fileExists("prog.lst"));
}

// Code rows go to the directory of their address; a row past the last
// directory goes to directory 0.
TEST_F(ListingTest, CodeRecordsGoToTheDirectoryOfTheirAddress) {
  writeFile("main.asm", "low\nhigh\nbeyond\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".low", scnCode, 0x10, words({0x0000}));
  b.section(".high", scnCode, 0x8010, words({0x0008}));
  sourceFile(b, "main.asm");
  endOfFile(b);
  b.lineNumber(".low", 0, 1, 0x10);
  b.lineNumber(".high", 0, 2, 0x8010);
  b.lineNumber(".high", 0, 3, 0x10010);
  list(b);
  ASSERT_EQ(cCod.cDirectory.size(), 2u);
  std::vector<LineInfo> want0 = headerRecords();
  want0.push_back(LineInfo(0, 0x80, 1, 0x10));
  want0.push_back(LineInfo(0, 0x80, 3, 0x0010));
  expectRecords(records(0), want0);
  expectRecords(records(1), {LineInfo(0, 0x80, 2, 0x8010)});
}

// 85 line records fill one block; the header's 8 count among them.
struct LineBlockCase {
  int sourceLines;
  uint16_t blocks;
};

class LineBlockTest : public ListingTest, public ::testing::WithParamInterface<LineBlockCase> {};

TEST_P(LineBlockTest, HeaderRecordsCountTowardsTheBlock) {
  std::string source;
  for (int i = 0; i < GetParam().sourceLines; ++i) source += "; comment\n";
  writeFile("main.asm", source);
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0000}));
  sourceFile(b, "main.asm");
  endOfFile(b);
  list(b);
  ASSERT_TRUE(cCod.preWrite());
  ASSERT_TRUE(cCod.write());
  const codlayout::Layout layout = codlayout::parse(readFile("prog.cod"));
  EXPECT_TRUE(layout.problems.empty()) << ::testing::PrintToString(layout.problems);
  ASSERT_EQ(layout.dirs.size(), 1u);
  EXPECT_EQ(layout.dirs[0].lineEnd - layout.dirs[0].lineTab + 1, GetParam().blocks);
  EXPECT_EQ(layout.lines[0].size(), 8u + GetParam().sourceLines);
}

INSTANTIATE_TEST_SUITE_P(Boundary, LineBlockTest,
                         ::testing::Values(LineBlockCase{77, 1}, LineBlockCase{78, 2}));

TEST_F(ListingTest, AListingThatCannotBeCreatedStopsTheRun) {
  mkdir("prog.lst", 0755);
  writeFile("main.asm", "a\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0000}));
  sourceFile(b, "main.asm");
  std::unique_ptr<Coff> coff = readBack(b);
  ASSERT_TRUE(coff);
  OutputCapture out;
  Coff2Cod cod;
  EXPECT_EQ(cod.init(*coff, 0, false), nullptr);
  EXPECT_EQ(out.text(), "Error - Could not open list file 'prog.lst' for writing.\n");
}

TEST_F(ListingTest, AFailedWriteOfTheListingIsReportedOnce) {
  if (!platform::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ASSERT_EQ(symlink("/dev/full", "prog.lst"), 0);
  std::string source;
  for (int i = 0; i < 2000; ++i) source += "; a line long enough to fill buffers quickly\n";
  writeFile("main.asm", source);
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0000}));
  sourceFile(b, "main.asm");
  endOfFile(b);
  std::unique_ptr<Coff> coff = readBack(b);
  ASSERT_TRUE(coff);
  OutputCapture out;
  Coff2Cod cod;
  EXPECT_FALSE(convert(cod, *coff));
  EXPECT_EQ(out.text(), "Error - Could not write list file 'prog.lst'.\n");
  EXPECT_EQ(getErrorCount(), 1);
}

TEST_F(ListingTest, AFailureAtTheCloseIsReported) {
  if (!platform::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ASSERT_EQ(symlink("/dev/full", "prog.lst"), 0);
  // Small enough to stay in the buffer until the close.
  writeFile("main.asm", "a\n");
  fixtures::CoffBuilder b = executable("prog.out", kCoreB);
  b.section(".code", scnCode, 0, words({0x0000}));
  sourceFile(b, "main.asm");
  endOfFile(b);
  std::unique_ptr<Coff> coff = readBack(b);
  ASSERT_TRUE(coff);
  OutputCapture out;
  Coff2Cod cod;
  EXPECT_FALSE(convert(cod, *coff));
  EXPECT_EQ(out.text(), "Error - Could not write list file 'prog.lst'.\n");
}

}  // namespace

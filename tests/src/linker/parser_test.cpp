#include "parser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "linker.h"
#include "platform.h"
#include "support/harness.h"

using namespace testing_support;

namespace {

// Records every directive operation as one line of text; refuses the call
// whose text equals refuseCall with refuseMessage.
class RecordingDirectives : public LinkerDirectives {
 public:
  std::vector<std::string> calls;
  std::string refuseCall;
  std::string refuseMessage;

  int setMinHeapSize(uint32_t size, String& err) override {
    return record("heap " + std::to_string(size), err);
  }
  int setMapFile(const String& name, String& err) override { return record("map " + name, err); }
  int setOutputFile(const String& name, String& err) override {
    return record("out " + name, err);
  }
  int addObjectFile(const String& name, String& err) override {
    return record("obj " + name, err);
  }
  int addLibraryFile(const String& name, String& err) override {
    return record("lib " + name, err);
  }
  int addCodePage(const Memory& m, String& err) override { return record(memory("code", m), err); }
  int addDataBank(const Memory& m, String& err) override { return record(memory("data", m), err); }
  int addShareBank(const Memory& m, String& err) override {
    return record(memory("share", m), err);
  }
  int addAccessBank(const Memory& m, String& err) override {
    return record(memory("access", m), err);
  }
  int addSectionDesc(const SectionDesc& d, String& err) override {
    return record("section " + d.getName() + " rom=" + d.getLoadMemory() + " ram=" + d.getRunMemory(),
                  err);
  }
  int setStackDesc(const StackDesc& d, String& err) override {
    return record("stack " + std::to_string(d.getSize()) + " ram=" + d.getRunMemory(), err);
  }
  int addLibPath(const String& dir, String& err) override { return record("libpath " + dir, err); }
  int setStrip(int flag, String& err) override {
    return record("strip " + std::to_string(flag), err);
  }

 private:
  static std::string memory(const std::string& kind, const Memory& m) {
    std::string s = kind + " " + m.getName() + " " + hexString(m.getStart(), 4) + ".." +
                    hexString(m.getEnd(), 4) + " type=" + std::to_string(int(m.getType()));
    if (m.isProtected()) s += " protected";
    if (m.hasFill()) s += " fill=" + m.getFill();
    return s;
  }
  int record(const std::string& call, String& err) {
    calls.push_back(call);
    if (call == refuseCall) {
      err = refuseMessage;
      return 0;
    }
    return 1;
  }
};

// Runs the test in a fresh directory, which becomes the current directory
// (command files without a directory part are looked up there).
class CommandFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    oldDir = buf;
    dir = makeTempDir("lkr");
    ASSERT_EQ(chdir(dir.c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(oldDir.c_str()), 0);
    std::filesystem::remove_all(dir);
  }

  void write(const std::string& name, const std::string& text) {
    std::filesystem::path p = std::filesystem::path(dir) / name;
    std::filesystem::create_directories(p.parent_path());
    writeFile(p.string(), text);
  }

  struct Outcome {
    int status;           // -1 when the file was read to its end
    std::string message;  // the one error reported, or empty
  };

  // Reads name with a fresh parser unless one is given.
  Outcome parse(const std::string& name, LinkerDirectives& linker, Parser* parser = nullptr) {
    DiagnosticsScope scope;
    ExitTrap trap;
    OutputCapture out;
    Parser own;
    Parser& p = parser ? *parser : own;
    Outcome result{-1, ""};
    try {
      EXPECT_EQ(p.parseCommandFile(name, linker), 1);
    } catch (const ProcessExit& e) {
      result.status = e.status;
    }
    std::string text = out.text();
    if (result.status != -1) {
      EXPECT_EQ(getErrorCount(), 1);
      const std::string head = "Error - ";
      const std::string tail = "\nErrors    : 1\nWarnings  : 0\n\n";
      EXPECT_EQ(text.compare(0, head.size(), head), 0) << text;
      if (text.size() >= head.size() + tail.size() &&
          text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
        result.message = text.substr(head.size(), text.size() - head.size() - tail.size());
      else
        ADD_FAILURE() << "unexpected output: " << text;
    } else {
      EXPECT_EQ(text, "");
    }
    return result;
  }

  std::string dir;
  std::string oldDir;
};

struct LineCase {
  const char* name;
  std::string text;                // content of t.lkr
  std::vector<std::string> calls;  // in order
  std::string message;             // empty: the file is read to its end
};

// "@" in a message stands for "./t.lkr", the name the file is read under.
std::string expand(const std::string& message) {
  std::string out;
  for (char c : message) {
    if (c == '@')
      out += "./t.lkr";
    else
      out += c;
  }
  return out;
}

const std::string kCode = "CODEPAGE NAME=p START=0 END=0x7FF";
const std::string kCodeCall = "code p 0x00000000..0x000007ff type=0";

std::vector<LineCase> lineCases() {
  return {
      {"empty_file", "", {}, ""},
      {"blank_and_comment_lines", "\n   \n// LIBPATH x\n\t\n", {}, ""},
      {"libpath_list_then_codepage", "LIBPATH a;b " + kCode + "\n",
       {"libpath a", "libpath b", kCodeCall}, ""},
      {"libpath_trailing_separator", "LIBPATH x;", {"libpath x"}, ""},
      {"libpath_quoted_operand", "LIBPATH \"my dir;other\"", {"libpath my dir", "libpath other"},
       ""},
      {"libpath_missing_operand", "LIBPATH", {}, "Illegal <libpath> for LIBPATH in '@:1'"},
      {"libpath_comment_hides_operand", "LIBPATH // a", {},
       "Illegal <libpath> for LIBPATH in '@:1'"},
      {"libpath_leading_empty_piece", "LIBPATH ;x", {}, "Illegal <libpath> for LIBPATH in '@:1'"},
      {"libpath_inner_empty_piece", "LIBPATH a;;b", {}, "Illegal <libpath> for LIBPATH in '@:1'"},
      {"libpath_only_separator", "LIBPATH ;", {}, "Illegal <libpath> for LIBPATH in '@:1'"},
      {"libpath_empty_quotes", "LIBPATH \"\"", {}, "Illegal <libpath> for LIBPATH in '@:1'"},
      {"lkrpath_missing_operand", "\nLKRPATH", {}, "Illegal <lkrpath> for LKRPATH in '@:2'"},
      {"lkrpath_empty_piece", "LKRPATH a;;b", {}, "Illegal <lkrpath> for LKRPATH in '@:1'"},
      {"paths_take_one_operand", "LIBPATH a LKRPATH b HEAP MINSIZE=1",
       {"libpath a", "heap 1"}, ""},
      {"operand_then_unknown_keyword", "LIBPATH a b", {"libpath a"},
       "Unrecognized input in '@:1': b"},
      {"files_objects_and_libraries", "FILES a.o B.LIB \"my file.o\" x.Lib",
       {"obj a.o", "lib B.LIB", "obj my file.o", "lib x.Lib"}, ""},
      {"files_stops_at_bad_name", "FILES a.o b.lib c.txt", {"obj a.o", "lib b.lib"},
       "Illegal <filename> for FILES in '@:1'"},
      {"files_alone", "FILES", {}, "Illegal <filename> for FILES in '@:1'"},
      {"files_comment_ends_operands", "FILES a.o // b.o", {"obj a.o"}, ""},
      {"files_consumes_rest_of_line", "FILES a.o " + kCode, {"obj a.o"},
       "Illegal <filename> for FILES in '@:1'"},
      {"files_name_with_underscore", "FILES _a.o", {}, "Illegal <filename> for FILES in '@:1'"},
      {"files_extension_only", "FILES .lib", {}, "Illegal <filename> for FILES in '@:1'"},
      {"files_empty_quotes", "FILES a.o \"\" b.o", {"obj a.o"},
       "Illegal <filename> for FILES in '@:1'"},
      {"files_comment_inside_quotes", "FILES \"a//b.o\"", {}, "Illegal <filename> for FILES in '@:1'"},
      {"include_alone", "INCLUDE", {}, "Illegal <filename> for INCLUDE in '@:1'"},
      {"include_not_command_file", "INCLUDE x.txt", {}, "Illegal <filename> for INCLUDE in '@:1'"},
      {"keyword_case_matters", "\n\ncodepage NAME=p START=0 END=1", {},
       "Unrecognized input in '@:3': codepage"},
      {"tabs_separate_tokens", "HEAP\tMINSIZE=3", {"heap 3"}, ""},
      {"heap_consumes_rest_of_line", "HEAP MINSIZE=3 STACK SIZE=0x40", {},
       "Invalid attributes for HEAP in '@:1'"},
      // Memories.
      {"codepage_hex_and_decimal", "CODEPAGE NAME=p START=0x10 END=4095",
       {"code p 0x00000010..0x00000fff type=0"}, ""},
      {"codepage_protected", "CODEPAGE NAME=p START=0 END=0x7FF PROTECTED",
       {kCodeCall + " protected"}, ""},
      {"codepage_protected_twice", kCode + " PROTECTED PROTECTED", {},
       "Invalid attributes for CODEPAGE in '@:1'"},
      {"codepage_without_end", "CODEPAGE NAME=p START=0", {},
       "Invalid attributes for CODEPAGE in '@:1'"},
      {"codepage_without_name", "CODEPAGE START=0 END=1", {},
       "Invalid attributes for CODEPAGE in '@:1'"},
      {"codepage_without_start", "CODEPAGE NAME=p END=1", {},
       "Invalid attributes for CODEPAGE in '@:1'"},
      {"codepage_name_twice", kCode + " NAME=q", {}, "Invalid attributes for CODEPAGE in '@:1'"},
      {"codepage_start_twice", kCode + " START=1", {}, "Invalid attributes for CODEPAGE in '@:1'"},
      {"codepage_value_missing", "CODEPAGE NAME= START=0 END=1", {},
       "Invalid attributes for CODEPAGE in '@:1'"},
      {"codepage_bare_word", kCode + " NAME", {}, "Invalid attributes for CODEPAGE in '@:1'"},
      {"codepage_empty_attribute_name", kCode + " =5", {},
       "Invalid attributes for CODEPAGE in '@:1'"},
      {"codepage_unknown_attribute", kCode + " SIZE=5", {},
       "Invalid attributes for CODEPAGE in '@:1'"},
      {"codepage_lower_case_attribute", "CODEPAGE name=p START=0 END=1", {},
       "Invalid attributes for CODEPAGE in '@:1'"},
      {"value_keeps_further_equals", "CODEPAGE NAME=a=b START=0 END=1",
       {"code a=b 0x00000000..0x00000001 type=0"}, ""},
      {"memory_consumes_rest_of_line", kCode + " HEAP MINSIZE=1", {},
       "Invalid attributes for CODEPAGE in '@:1'"},
      {"start_equal_to_end", "DATABANK NAME=d START=0x20 END=32",
       {"data d 0x00000020..0x00000020 type=1"}, ""},
      {"start_above_end", "DATABANK NAME=d START=0x21 END=0x20", {},
       "Invalid attributes for DATABANK in '@:1'"},
      {"whole_address_space", "CODEPAGE NAME=p START=0 END=0xFFFFFFFF", {},
       "Invalid attributes for CODEPAGE in '@:1'"},
      {"whole_space_by_overflow", "CODEPAGE NAME=p START=0 END=99999999999", {},
       "Invalid attributes for CODEPAGE in '@:1'"},
      {"all_but_one_location", "CODEPAGE NAME=p START=1 END=0xFFFFFFFF",
       {"code p 0x00000001..0xffffffff type=0"}, ""},
      {"bank_kinds", "DATABANK NAME=d START=0 END=1\nSHAREBANK NAME=s START=2 END=3 PROTECTED\n"
                     "ACCESSBANK NAME=a START=4 END=5",
       {"data d 0x00000000..0x00000001 type=1", "share s 0x00000002..0x00000003 type=1 protected",
        "access a 0x00000004..0x00000005 type=1"},
       ""},
      {"databank_with_fill", "DATABANK NAME=d START=0 END=1 FILL=0x1234", {},
       "Invalid attributes for DATABANK in '@:1'"},
      {"sharebank_with_fill", "SHAREBANK NAME=s START=0 END=1 FILL=0", {},
       "Invalid attributes for SHAREBANK in '@:1'"},
      {"accessbank_without_end", "ACCESSBANK NAME=a START=0", {},
       "Invalid attributes for ACCESSBANK in '@:1'"},
      // FILL texts.
      {"fill_two_digits", kCode + " FILL=0x3F", {kCodeCall + " fill=0x003F"}, ""},
      {"fill_three_digits", kCode + " FILL=0x123", {kCodeCall + " fill=0x0123"}, ""},
      {"fill_four_digits_capital_x", kCode + " FILL=0X1234", {kCodeCall + " fill=0X1234"}, ""},
      {"fill_padding_lowers_x", kCode + " FILL=0XAB", {kCodeCall + " fill=0x00AB"}, ""},
      {"fill_five_digits", kCode + " FILL=0x12345", {kCodeCall + " fill=0x00012345"}, ""},
      {"fill_eight_digits", kCode + " FILL=0x1234abcd", {kCodeCall + " fill=0x1234abcd"}, ""},
      {"fill_decimal_as_written", kCode + " FILL=255", {kCodeCall + " fill=255"}, ""},
      {"fill_single_character", kCode + " FILL=x", {kCodeCall + " fill=x"}, ""},
      {"fill_prefix_only", kCode + " FILL=0x", {}, "Invalid attributes for CODEPAGE in '@:1'"},
      {"fill_not_hex_digits", kCode + " FILL=0xZZ", {}, "Invalid attributes for CODEPAGE in '@:1'"},
      {"fill_trailing_junk", kCode + " FILL=0x12g", {}, "Invalid attributes for CODEPAGE in '@:1'"},
      {"fill_wrong_lead_digit", kCode + " FILL=1x12", {}, "Invalid attributes for CODEPAGE in '@:1'"},
      {"fill_twice", kCode + " FILL=0x1 FILL=0x2", {}, "Invalid attributes for CODEPAGE in '@:1'"},
      // SECTION, STACK, HEAP.
      {"section_rom", "SECTION NAME=.code ROM=p", {"section .code rom=p ram="}, ""},
      {"section_ram", "SECTION RAM=d NAME=.udata", {"section .udata rom= ram=d"}, ""},
      {"section_rom_and_ram", "SECTION NAME=s ROM=p RAM=d", {"section s rom=p ram=d"}, ""},
      {"section_name_only", "SECTION NAME=s", {}, "Invalid attributes for SECTION in '@:1'"},
      {"section_without_name", "SECTION ROM=p", {}, "Invalid attributes for SECTION in '@:1'"},
      {"section_rom_twice", "SECTION NAME=s ROM=p ROM=q", {},
       "Invalid attributes for SECTION in '@:1'"},
      {"section_protected", "SECTION NAME=s ROM=p PROTECTED", {},
       "Invalid attributes for SECTION in '@:1'"},
      {"section_fill", "SECTION NAME=s ROM=p FILL=0x1234", {},
       "Invalid attributes for SECTION in '@:1'"},
      {"stack_hex_size", "STACK SIZE=0x40", {"stack 64 ram="}, ""},
      {"stack_with_ram", "STACK SIZE=16 RAM=d", {"stack 16 ram=d"}, ""},
      {"stack_without_size", "STACK RAM=d", {}, "Invalid attributes for STACK in '@:1'"},
      {"stack_size_twice", "STACK SIZE=1 SIZE=2", {}, "Invalid attributes for STACK in '@:1'"},
      {"stack_rom", "STACK SIZE=1 ROM=p", {}, "Invalid attributes for STACK in '@:1'"},
      {"heap_hex_size", "HEAP MINSIZE=0x10", {"heap 16"}, ""},
      {"heap_trailing_junk_ignored", "HEAP MINSIZE=12abc", {"heap 12"}, ""},
      {"heap_alone", "HEAP", {}, "Invalid attributes for HEAP in '@:1'"},
      {"heap_other_attribute", "HEAP MINSIZE=1 RAM=d", {}, "Invalid attributes for HEAP in '@:1'"},
      // Long lines and line ends.
      {"line_numbers_count_every_line", "LIBPATH a\n\n// c\nbogus", {"libpath a"},
       "Unrecognized input in '@:4': bogus"},
      {"long_line_counts_as_one",
       "LIBPATH a" + std::string(1023 - 9, ' ') + "LIBPATH b" + std::string(468, ' ') + "\nbogus",
       {"libpath a", "libpath b"}, "Unrecognized input in '@:2': bogus"},
      {"token_across_column_1023", std::string(1019, ' ') + "LIBPATH x", {"libpath x"}, ""},
      {"line_of_exactly_1023_characters", std::string(1023, ' ') + "\nbogus", {},
       "Unrecognized input in '@:2': bogus"},
      {"line_of_1024_characters", std::string(1024, ' ') + "\nbogus", {},
       "Unrecognized input in '@:2': bogus"},
      {"long_comment_stays_a_comment",
       "// " + std::string(3000, 'x') + " " + kCode + "\nbogus", {},
       "Unrecognized input in '@:2': bogus"},
      {"file_name_across_column_1023",
       "FILES a.o" + std::string(1005, ' ') + " across.o b.lib\nbogus",
       {"obj a.o", "obj across.o", "lib b.lib"}, "Unrecognized input in '@:2': bogus"},
      {"unknown_word_far_along_a_line", std::string(5000, ' ') + "bogus", {},
       "Unrecognized input in '@:1': bogus"},
      {"crlf_reads_as_lf", "LIBPATH a\r\nFILES \"b c.o\"\r\n\r\nbogus\r\n",
       {"libpath a", "obj b c.o"}, "Unrecognized input in '@:4': bogus"},
      {"crlf_after_1023_characters", std::string(1023, ' ') + "\r\nbogus\r\n", {},
       "Unrecognized input in '@:2': bogus"},
      {"crlf_after_a_long_line", "LIBPATH a" + std::string(2000, ' ') + "\r\nbogus\r\n",
       {"libpath a"}, "Unrecognized input in '@:2': bogus"},
      {"last_line_without_newline", "LIBPATH a\nLIBPATH b", {"libpath a", "libpath b"}, ""},
  };
}

TEST_F(CommandFileTest, DirectiveLines) {
  for (const LineCase& c : lineCases()) {
    SCOPED_TRACE(c.name);
    write("t.lkr", c.text);
    RecordingDirectives rec;
    Outcome r = parse("t.lkr", rec);
    EXPECT_EQ(rec.calls, c.calls);
    if (c.message.empty()) {
      EXPECT_EQ(r.status, -1);
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.message, expand(c.message));
    }
  }
}

// Hundreds of names on one FILES line, thousands of characters long: each
// name is handed over once, whole, and in order.
TEST_F(CommandFileTest, LongFilesLineNamesEveryFile) {
  std::string text = "FILES";
  std::vector<std::string> calls;
  for (int i = 0; i < 500; ++i) {
    const std::string name = "part" + std::to_string(i) + (i % 2 ? ".lib" : ".o");
    text += " " + name;
    calls.push_back((i % 2 ? "lib " : "obj ") + name);
  }
  ASSERT_GT(text.size(), 5000u);
  write("t.lkr", text + "\nbogus\n");
  RecordingDirectives rec;
  Outcome r = parse("t.lkr", rec);
  EXPECT_EQ(rec.calls, calls);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.message, expand("Unrecognized input in '@:2': bogus"));
}

TEST_F(CommandFileTest, LkrPathDirectoriesAreCollected) {
  write("t.lkr", "LKRPATH a;b\\c LKRPATH \"d e\"");
  RecordingDirectives rec;
  Parser parser;
  parse("t.lkr", rec, &parser);
  EXPECT_EQ(parser.lkrPath(), (std::list<String>{"a", "b\\c", "d e"}));
  EXPECT_TRUE(rec.calls.empty());
}

// The linker's own refusal is reported as it stands, without file and line,
// and nothing after the refused directive is handed over.
TEST_F(CommandFileTest, LinkerRefusalEndsTheRun) {
  write("t.lkr", "FILES a.o b.o\nLIBPATH x");
  RecordingDirectives rec;
  rec.refuseCall = "obj a.o";
  rec.refuseMessage = "refused a.o";
  Outcome r = parse("t.lkr", rec);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.message, "refused a.o");
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"obj a.o"}));
}

TEST_F(CommandFileTest, LinkerMessagesThroughTheRealLinker) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"HEAP MINSIZE=0x20\nHEAP MINSIZE=16", "multiple min heap sizes declared: '32', '16'"},
      {"FILES a.o\nFILES a.o", "mutliple inclusion of object file 'a.o' "},
      {"FILES a.lib a.lib", "mutliple inclusion of library file 'a.lib' "},
      {"CODEPAGE NAME=p START=0 END=0x7FF\nCODEPAGE NAME=q START=0x7FF END=0xFFF",
       "memory 'q' overlaps memory 'p' "},
      {"STACK SIZE=0x40 RAM=d", "undefined DATABANK/SHAREBANK 'd' for STACK. "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    write("t.lkr", c.text);
    Linker linker;
    Outcome r = parse("t.lkr", linker);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.message, c.message);
  }
}

// Should the exit function return, reading stops at the error.
TEST_F(CommandFileTest, ReadingStopsWhenTheExitReturns) {
  write("t.lkr", "bogus LIBPATH a\nLIBPATH b");
  RecordingDirectives rec;
  DiagnosticsScope scope;
  ExitRecorder exits;
  OutputCapture out;
  Parser parser;
  EXPECT_EQ(parser.parseCommandFile("t.lkr", rec), 0);
  EXPECT_EQ(ExitRecorder::count(), 1);
  EXPECT_EQ(ExitRecorder::lastStatus(), 1);
  EXPECT_TRUE(rec.calls.empty());
}

TEST_F(CommandFileTest, IncludeReadsInPlace) {
  write("main.lkr", "LIBPATH m1 INCLUDE a.lkr b.lkr LIBPATH m2\nLIBPATH m3");
  write("a.lkr", "LIBPATH a1\nINCLUDE c.lkr\nLIBPATH a2");
  write("b.lkr", "LIBPATH b1");
  write("c.lkr", "LIBPATH c1");
  RecordingDirectives rec;
  Parser parser;
  Outcome r = parse("main.lkr", rec, &parser);
  // INCLUDE consumes the rest of its line: LIBPATH and m2 are file names.
  EXPECT_EQ(r.message, "Illegal <filename> for INCLUDE in './main.lkr:1'");
  EXPECT_EQ(rec.calls,
            (std::vector<std::string>{"libpath m1", "libpath a1", "libpath c1", "libpath a2",
                                      "libpath b1"}));
  EXPECT_EQ(parser.cmdFiles(),
            (std::list<String>{"./main.lkr", "./a.lkr", "./c.lkr", "./b.lkr"}));
}

TEST_F(CommandFileTest, IncludeErrorsNameTheIncludedFile) {
  write("main.lkr", "INCLUDE a.lkr\n");
  write("a.lkr", "LIBPATH a\n\nbogus\n");
  RecordingDirectives rec;
  Outcome r = parse("main.lkr", rec);
  EXPECT_EQ(r.message, "Unrecognized input in './a.lkr:3': bogus");
}

TEST_F(CommandFileTest, MultipleInclusion) {
  struct Case {
    const char* name;
    const char* main;
    std::vector<std::string> calls;
    const char* message;  // empty: read to the end
  };
  const Case cases[] = {
      {"itself", "LIBPATH m\nINCLUDE main.lkr", {"libpath m"},
       "Multliple inclusion of linker command file './main.lkr' "},
      {"itself_with_path", "INCLUDE ./main.lkr", {},
       "Multliple inclusion of linker command file './main.lkr' "},
      {"twice", "INCLUDE a.lkr\nINCLUDE a.lkr", {"libpath a"},
       "Multliple inclusion of linker command file './a.lkr' "},
      {"twice_on_one_line", "INCLUDE a.lkr a.lkr", {"libpath a"},
       "Multliple inclusion of linker command file './a.lkr' "},
      {"two_spellings_read_twice", "INCLUDE a.lkr .\\a.lkr", {"libpath a", "libpath a"}, ""},
  };
  write("a.lkr", "LIBPATH a");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write("main.lkr", c.main);
    RecordingDirectives rec;
    Outcome r = parse("main.lkr", rec);
    EXPECT_EQ(rec.calls, c.calls);
    if (*c.message) {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.message, c.message);
    } else {
      EXPECT_EQ(r.status, -1);
    }
  }
}

TEST_F(CommandFileTest, SearchOrder) {
  write("both.lkr", "LIBPATH here");
  write("inc/both.lkr", "LIBPATH there");
  write("inc/only.lkr", "LIBPATH inc");
  write("inc2/only.lkr", "LIBPATH inc2");
  write("inc2/second.lkr", "LIBPATH second");
  write("sub/named.lkr", "LIBPATH named");
  write("inc/sub2/deep.lkr", "LIBPATH deep");
  std::filesystem::create_directory(dir + "/dir.lkr");
  struct Case {
    const char* name;
    const char* main;              // read as main.lkr
    std::vector<std::string> calls;
    const char* message;
    std::list<String> files;       // cmdFiles after the run
  };
  const Case cases[] = {
      {"current_directory_first", "LKRPATH inc\nINCLUDE both.lkr", {"libpath here"}, "",
       {"./main.lkr", "./both.lkr"}},
      {"lkrpath_in_order", "LKRPATH inc;inc2 INCLUDE only.lkr second.lkr",
       {"libpath inc", "libpath second"}, "", {"./main.lkr", "inc/only.lkr", "inc2/second.lkr"}},
      {"lkrpath_with_trailing_slash", "LKRPATH inc/ INCLUDE only.lkr", {"libpath inc"}, "",
       {"./main.lkr", "inc/only.lkr"}},
      {"lkrpath_with_trailing_backslash", "LKRPATH inc\\ INCLUDE only.lkr", {"libpath inc"}, "",
       {"./main.lkr", "inc\\only.lkr"}},
      {"lkrpath_applies_only_after", "INCLUDE only.lkr\nLKRPATH inc", {},
       "Could not find linker command file 'only.lkr'.", {"./main.lkr"}},
      {"path_used_unchanged", "LKRPATH inc\nINCLUDE sub/named.lkr", {"libpath named"}, "",
       {"./main.lkr", "sub/named.lkr"}},
      {"backslash_path", "INCLUDE sub\\named.lkr", {"libpath named"}, "",
       {"./main.lkr", "sub\\named.lkr"}},
      {"path_not_searched", "LKRPATH inc\nINCLUDE sub2/deep.lkr", {},
       "Could not find linker command file 'sub2/deep.lkr'.", {"./main.lkr"}},
      {"directory_cannot_be_opened", "INCLUDE dir.lkr", {}, "Could not open './dir.lkr'",
       {"./main.lkr"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write("main.lkr", c.main);
    RecordingDirectives rec;
    Parser parser;
    Outcome r = parse("main.lkr", rec, &parser);
    EXPECT_EQ(rec.calls, c.calls);
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(r.status, *c.message ? 1 : -1);
    EXPECT_EQ(parser.cmdFiles(), c.files);
  }
}

// The command line adds -k directories before it names a command file.
TEST_F(CommandFileTest, SearchPathFromTheCommandLine) {
  write("inc/only.lkr", "LIBPATH inc");
  RecordingDirectives rec;
  Parser parser;
  EXPECT_EQ(parse("only.lkr", rec, &parser).message,
            "Could not find linker command file 'only.lkr'.");
  parser.appendLkrPath("inc");
  Outcome r = parse("only.lkr", rec, &parser);
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"libpath inc"}));
}

TEST(ParserNames, FileNameTests) {
  struct Case {
    const char* text;
    int library;
    int command;
  };
  const Case cases[] = {
      {"x.lib", 1, 0},      {"X.LIB", 1, 0},     {"dir/a.Lib", 1, 0}, {"c:\\d\\9.lib", 1, 0},
      {".lib", 0, 0},       {"_x.lib", 0, 0},    {"x.libs", 0, 0},    {"x.lkr", 0, 1},
      {"FOO.LKR", 0, 1},    {"a.b.lkr", 0, 1},   {"-x.lkr", 0, 0},    {"x.lkr.o", 0, 0},
      {"lib", 0, 0},        {"", 0, 0},          {"dir/", 0, 0},      {"d.lkr/x", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(isLibraryFileName(c.text), c.library);
    EXPECT_EQ(isCommandFileName(c.text), c.command);
  }
  EXPECT_EQ(isValidPath(""), 0);
  EXPECT_EQ(isValidPath("x"), 1);
}

TEST(ParserNames, StripComment) {
  const std::pair<std::string, std::string> cases[] = {
      {"a // b", "a "}, {"//", ""}, {"a/b", "a/b"}, {"\"x//y\"", "\"x"}, {"a ///", "a "}};
  for (const auto& c : cases) {
    std::string line = c.first;
    stripComment(line);
    EXPECT_EQ(line, c.second) << c.first;
  }
}

}  // namespace

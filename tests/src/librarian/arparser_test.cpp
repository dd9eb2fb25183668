#include "arparser.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/harness.h"

using namespace testing_support;

namespace {

const char kHelpScreen[] =
    "Syntax:   kesvo [/q] /{ctdrxh} LIBRARY [MEMBER...]  \n"
    "  /q      : quiet mode                       \n"
    "  /c      : create library LIBRARY           \n"
    "  /t      : list library LIBRARY             \n"
    "  /d      : delete MEMBER from LIBRARY       \n"
    "  /r      : add or replace MEMBER in LIBRARY \n"
    "  /x      : extract MEMBER from LIBRARY      \n"
    "  /h, /?  : show this help screen            \n"
    "\n";

struct ParseOutcome {
  int status;  // -1 when parse returned without ending the program
  std::string output;
};

ParseOutcome parseArgs(Archiver& archiver, std::vector<std::string> args, int quiet = 0) {
  DiagnosticsScope scope;
  ExitTrap trap;
  OutputCapture out;
  setQuiet(quiet);
  args.insert(args.begin(), "kesvo");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  ParseOutcome r{-1, ""};
  try {
    ArParser::parse(static_cast<int>(args.size()), argv.data(), archiver);
  } catch (const ProcessExit& e) {
    r.status = e.status;
  }
  r.output = out.text();
  return r;
}

TEST(ArParser, LibraryNames) {
  struct Case {
    const char* name;
    int expected;
  } cases[] = {
      {"a.lib", 1},       {"abcde.lib", 1}, {"X.LIB", 1},   {"m.Lib", 1},  {"dir/a.lib", 1},
      {"dir\\a.lib", 1},  {"c:a.lib", 1},   {".lib", 0},    {"_a.lib", 0}, {"a.li", 0},
      {"a.libx", 0},      {"a.o", 0},       {"lib", 0},     {"", 0},       {"abc.lib/", 0},
      {"longer/.lib", 0}, {"9.lib", 1},     {"a.b.lib", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ArParser::isLibraryName(c.name), c.expected);
  }
}

TEST(ArParser, CommandsAndMembers) {
  struct Case {
    std::vector<std::string> args;
    uint8_t cmd;
    std::list<String> members;
  } cases[] = {
      {{"/c", "abc.lib", "a.o", "dir/b.O"}, cmdCreateCode, {"a.o", "dir/b.O"}},
      {{"-T", "abc.lib"}, cmdListCode, {}},
      {{"/q", "/d", "abc.lib", "x.o"}, cmdDeleteCode, {"x.o"}},
      {{"-Q", "-q", "/R", "abc.lib", "x.o", "x.o"}, cmdReplaceCode, {"x.o", "x.o"}},
      {{"/x", "/abs/dir/abc.lib"}, cmdExtractCode, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    Archiver a;
    ParseOutcome r = parseArgs(a, c.args);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(a.hasCommand(), 1);
    EXPECT_EQ(a.command(), c.cmd);
    EXPECT_EQ(a.memberNames(), c.members);
  }
}

TEST(ArParser, HelpAndUsageErrors) {
  const std::string usageSummary = "Errors    : 1\nWarnings  : 0\n\n";
  struct Case {
    std::vector<std::string> args;
    int quiet;
    int status;
    std::string output;
  } cases[] = {
      {{}, 0, 255, kHelpScreen},
      {{"/h"}, 0, 255, kHelpScreen},
      {{"-H", "/c", "a.lib"}, 0, 255, kHelpScreen},
      {{"/?"}, 0, 255, kHelpScreen},
      {{"-?"}, 0, 255, kHelpScreen},
      {{"/z", "a.lib"}, 0, 255, kHelpScreen},
      {{"-cx", "a.lib"}, 0, 255, kHelpScreen},
      {{"a.lib"}, 0, 255, kHelpScreen},
      {{"/"}, 0, 255, kHelpScreen},
      {{""}, 0, 255, kHelpScreen},
      // A bad argument shows the help screen in quiet mode too.
      {{"/q", "/z"}, 1, 255, kHelpScreen},
      // No command in quiet mode: parsing ends, run() then fails.
      {{"/q"}, 1, -1, ""},
      {{"/c"}, 0, 1, "Error - library filename is required\n" + usageSummary},
      {{"/c", ""}, 0, 1, "Error - library filename is required\n" + usageSummary},
      {{"/t", "ab.li"}, 0, 1, "Error - library filename is required\n" + usageSummary},
      {{"/t", ".lib"}, 0, 1, "Error - library filename is required\n" + usageSummary},
      {{"/c", "a.lib", "x"}, 0, 1, "Error - invalid object filename\n" + usageSummary},
      {{"/c", "a.lib", ".o"}, 0, 1, "Error - invalid object filename\n" + usageSummary},
      {{"/c", "a.lib", "a.o", ""}, 0, 1, "Error - invalid object filename\n" + usageSummary},
      {{"/c", "a.lib", "/q"}, 0, 1, "Error - invalid object filename\n" + usageSummary},
      {{"/t", "a.lib", "/c"}, 0, 1, "Error - invalid object filename\n" + usageSummary},
      {{"/c", "a.lib", "x"}, 1, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Archiver a;
    ParseOutcome r = parseArgs(a, c.args, c.quiet);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.output, c.output);
    EXPECT_EQ(a.hasCommand(), 0);
  }
}

TEST(ArParser, UsageWithoutMessageShowsTheUsageLine) {
  DiagnosticsScope scope;
  ExitTrap trap;
  OutputCapture out;
  int status = -1;
  try {
    ArParser::usage("");
  } catch (const ProcessExit& e) {
    status = e.status;
  }
  EXPECT_EQ(status, 1);
  EXPECT_EQ(out.text(),
            "Error - Usage:  kesvo [/q] /{ctdrx} LIBRARY [MEMBER...] \n"
            "Errors    : 1\nWarnings  : 0\n\n");
}

TEST(Archiver, SetCommandOnlyOnce) {
  Archiver a;
  EXPECT_EQ(a.hasCommand(), 0);
  EXPECT_EQ(a.run(), 0);
  EXPECT_EQ(a.setCommand(cmdListCode, "abc.lib", {"a.o"}), 1);
  EXPECT_EQ(a.setCommand(cmdCreateCode, "other.lib", {}), 0);
  EXPECT_EQ(a.command(), cmdListCode);
  EXPECT_EQ(a.archiveName(), "abc.lib");
  EXPECT_EQ(a.memberNames(), std::list<String>{"a.o"});
}

TEST(Archiver, UnknownCommandCodeFails) {
  Archiver a;
  a.setCommand(5, "abc.lib", {});
  EXPECT_EQ(a.run(), 0);
  std::ostringstream os;
  a.print(os);
  EXPECT_EQ(os.str(),
            "Archiver:\n  cCmd=undefined\n  cArchive=abc.lib\n  cMembers=\n  cHasCmd=1\n");
}

}  // namespace

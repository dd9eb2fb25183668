#include "diagnostics.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform.h"
#include "support/harness.h"

using namespace testing_support;

namespace {

struct DiagCase {
  const char* name;
  int quiet;
  int verbose;
  int warnings;
  int errors;
  int fatal;  // a last fatal error
  int status;
  const char* expected;
};

// Each case reports its diagnostics and ends with the summary exit.
const DiagCase kCases[] = {
    {"warning_then_success", 0, 0, 1, 0, 0, 0,
     "Warning - w0\nErrors    : 0\nWarnings  : 1\n\n"},
    {"error_then_failure", 0, 0, 0, 2, 0, 1,
     "Error - e0\nError - e1\nErrors    : 2\nWarnings  : 0\n\n"},
    {"fatal_counts_itself", 0, 0, 1, 1, 1, 255,
     "Warning - w0\nError - e0\nError - fatal\nErrors    : 2\nWarnings  : 1\n\n"},
    {"quiet_prints_nothing", 1, 0, 1, 1, 0, 1, ""},
    {"quiet_fatal_prints_nothing", 1, 0, 0, 0, 1, 255, ""},
    {"verbose_adds_context", 0, 1, 1, 0, 0, 0,
     "Warning - w0 - Test::run()\nErrors    : 0\nWarnings  : 1\n\n"},
};

TEST(Diagnostics, DriverTable) {
  for (const DiagCase& c : kCases) {
    SCOPED_TRACE(c.name);
    DiagnosticsScope scope;
    ExitTrap trap;
    OutputCapture out;
    setQuiet(c.quiet);
    setVerbose(c.verbose);
    int status = -1;
    try {
      for (int i = 0; i < c.warnings; ++i)
        reportMessage(SevWarning, "Test::run()", "w" + std::to_string(i), 0);
      for (int i = 0; i < c.errors; ++i) {
        std::ostringstream s;
        s << "e" << i;
        reportStream(SevError, "Test::run()", s, 0);
        EXPECT_EQ(s.str(), "");
      }
      if (c.fatal) reportMessage(SevError, "Test::run()", "fatal", 1);
      printSummaryAndExit(c.errors ? 1 : 0);
    } catch (const ProcessExit& e) {
      status = e.status;
    }
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(out.text(), c.expected);
    EXPECT_EQ(getErrorCount(), c.errors + c.fatal);
    EXPECT_EQ(getWarningCount(), c.warnings);
  }
}

TEST(Diagnostics, QuietSwitchIsExact) {
  const char* with[] = {"prog", "x.o", "/Q"};
  const char* without[] = {"prog", "-quiet", "/q2", "q"};
  EXPECT_EQ(hasQuietSwitch(3, const_cast<char**>(with)), 1);
  EXPECT_EQ(hasQuietSwitch(4, const_cast<char**>(without)), 0);
}

TEST(Platform, AssertionReportsAndExits255) {
  ExitRecorder rec;
  OutputCapture out;
  int x = 1;
  TOOL_ASSERT(x == 2);
  EXPECT_EQ(ExitRecorder::count(), 1);
  EXPECT_EQ(ExitRecorder::lastStatus(), 255);
  EXPECT_NE(out.text().find("Assertion Failed!"), std::string::npos);
  EXPECT_NE(out.text().find("x == 2"), std::string::npos);
  EXPECT_NE(out.text().find("diagnostics_test.cpp"), std::string::npos);
  EXPECT_NE(out.text().find("ABNORMAL TERMINATION"), std::string::npos);
  TOOL_ASSERT(x == 1);
  EXPECT_EQ(ExitRecorder::count(), 1);
}

// In a program, the error stream is bound to standard output; the report of
// a failed assertion still goes to standard error, and only there.
TEST(Platform, AssertionReportGoesToStandardError) {
  const std::string dir = makeTempDir("assertion");
  const ChildEnd end = runInChild(
      dir,
      [] {
        // Standard output to a file of its own; standard error stays the pipe.
        const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || dup2(out, 1) < 0) return 100;
        bindErrorStreamToStdout();
        std::cout << "before\n";
        std::cerr << "Error - an error\n";
        int x = 1;
        TOOL_ASSERT(x == 2);
        return 101;  // not reached: the failed check ends the process
      },
      ChildLimits{});
  EXPECT_EQ(end.status, 255) << end.output;
  const std::string head = "Assertion Failed!\n\nExpression: x == 2\nFile: diagnostics_test.cpp\n";
  const std::string tail = "\n\nABNORMAL TERMINATION\n";
  EXPECT_EQ(end.output.compare(0, head.size(), head), 0) << end.output;
  ASSERT_GE(end.output.size(), head.size() + tail.size());
  EXPECT_EQ(end.output.substr(end.output.size() - tail.size()), tail) << end.output;
  EXPECT_EQ(readFile(dir + "/stdout.txt"), "before\nError - an error\n");
}

TEST(Platform, CtimeTextLayout) {
  // TZ=UTC is set for every test.
  EXPECT_EQ(platform::ctimeText(0), "Thu Jan  1 00:00:00 1970\n");
  EXPECT_EQ(platform::ctimeText(1000000000), "Sun Sep  9 01:46:40 2001\n");
}

}  // namespace

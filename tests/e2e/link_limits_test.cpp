// Links at the edges of what the linker can take, run as a build script
// runs it: command files nested deeper than the linker follows, and outputs
// with more sections than a symbol's 16-bit section number can name. The
// nesting cases run under a small stack, so a reader that recursed without
// bound would die of it here instead of exiting with its message.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "coff.h"
#include "fixtures/coff_builder.h"
#include "support/harness.h"

using fixtures::CoffBuilder;

namespace {

// The byte-addressed 16-bit core: 21-bit program addresses, one byte per
// location.
constexpr std::uint32_t kProcessor = 0xD001;
constexpr int kMostSections = 32767;  // the largest positive n_scnum

const char* const kMemories =
    "CODEPAGE NAME=program START=0x0 END=0x1FFFFF\n"
    "DATABANK NAME=ram START=0x0 END=0xFFFF\n";

struct Outcome {
  int status;  // exit status, or 128 + the signal that ended the program
  std::string output;
};

// Runs torvan with args in dir, its stack limited to stackBytes (0: as
// inherited). The limit is set in the child, between fork and exec, so it
// holds for the program's main thread.
Outcome runTorvan(const std::string& dir, const std::vector<std::string>& args,
                  rlim_t stackBytes) {
  testing_support::ChildLimits limits;
  limits.stack = stackBytes;
  limits.log = dir + "/torvan.log";
  const testing_support::ChildEnd end =
      testing_support::runChild(dir, testing_support::toolPath("torvan"), args, limits);
  return Outcome{end.shellStatus(), end.output};
}

void writeText(const std::string& path, const std::string& text) {
  testing_support::writeFile(path, text);
}

// main.o: one code section, and a symbol in it.
void writeMain(const std::string& dir) {
  CoffBuilder b("main.o");
  b.processor(kProcessor, 8, 8);
  b.section(".code", scnCode, 0, {0x12, 0x00});
  b.externDef("start", 1, 0);
  b.writeFile(dir + "/main.o");
}

// link.lkr includes n1.lkr, which includes n2.lkr, and so on down to
// n<levels>.lkr; each INCLUDE stands on the file's second line.
void writeIncludeChain(const std::string& dir, int levels) {
  writeMain(dir);
  writeText(dir + "/link.lkr", std::string(kMemories) + "FILES main.o\nINCLUDE n1.lkr\n");
  for (int k = 1; k <= levels; ++k) {
    std::string text = "// level " + std::to_string(k) + "\n";
    if (k < levels) text += "INCLUDE n" + std::to_string(k + 1) + ".lkr\n";
    writeText(dir + "/n" + std::to_string(k) + ".lkr", text);
  }
}

void sectionName(int i, char* buf, std::size_t size) { std::snprintf(buf, size, "s%05d", i); }

// sections.o: code sections s00000 on (the last holding the symbol
// "last"), then initialised-data sections.
void writeSections(const std::string& dir, int code, int idata, const std::string& extraCommands) {
  writeMain(dir);
  CoffBuilder b("sections.o");
  b.processor(kProcessor, 8, 8);
  char name[16];
  for (int i = 0; i < code + idata; ++i) {
    sectionName(i, name, sizeof name);
    if (i < code)
      b.section(name, scnCode, 0, {0x12, 0x00});
    else
      b.section(name, scnIData, 0, {0x5A});
  }
  if (code > 0) b.externDef("last", static_cast<std::int16_t>(code), 0);
  b.writeFile(dir + "/sections.o");
  writeText(dir + "/link.lkr", std::string(kMemories) + "FILES main.o sections.o\n" + extraCommands);
}

// Sections that fit the count, and fill sections that take the output
// past it: absolute sections at every fourth location of a CODEPAGE with
// FILL, each followed by a free range, and relocatable ones placed by
// SECTION directives in a CODEPAGE without FILL.
void writeFilledGaps(const std::string& dir, int absolute, int relocatable) {
  writeMain(dir);
  CoffBuilder b("sections.o");
  b.processor(kProcessor, 8, 8);
  std::string lkr =
      "CODEPAGE NAME=filled START=0x0 END=0xFFFFF FILL=0x0012\n"
      "CODEPAGE NAME=plain START=0x100000 END=0x1FFFFF\n"
      "FILES main.o sections.o\n";
  char name[16];
  for (int i = 0; i < absolute + relocatable; ++i) {
    sectionName(i, name, sizeof name);
    if (i < absolute) {
      b.section(name, scnCode, 0x1000 + 4 * std::uint32_t(i), {0x12, 0x00}, kScnAbsolute);
    } else {
      b.section(name, scnCode, 0, {0x12, 0x00});
      lkr += std::string("SECTION NAME=") + name + " ROM=plain\n";
    }
  }
  b.writeFile(dir + "/sections.o");
  writeText(dir + "/link.lkr", lkr);
}

// The output's symbol "last" is numbered with the last code section.
void expectLastSymbolInItsSection(const std::string& dir) {
  std::unique_ptr<Coff> out = fixtures::readImage(fixtures::readBytes(dir + "/out.out"), "out.out");
  ASSERT_TRUE(out);
  bool found = false;
  for (std::size_t i = 0; i < out->cSymbolTbl.size(); ++i) {
    if (out->isAuxEntry(i)) continue;
    const syment sym = syment::decode(out->cSymbolTbl[i]);
    String scratch;
    if (out->nameRef(sym, scratch) != "last") continue;
    found = true;
    ASSERT_GE(sym.n_scnum, 1);
    EXPECT_EQ(out->cScnNum.at(sym.n_scnum), "s32764");
  }
  EXPECT_TRUE(found);
  const std::string map = testing_support::readFile(dir + "/out.map");
  EXPECT_NE(map.find("s32764"), std::string::npos);
  EXPECT_NE(map.find(" last "), std::string::npos);
}

struct LimitCase {
  const char* name;
  std::function<void(const std::string& dir)> make;
  rlim_t stackBytes;  // 0: the inherited limit
  int status;
  // A line the output must hold; empty for none.
  std::string message;
  // Executable and map written (only for status 0).
  std::function<void(const std::string& dir)> check;
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

// Small enough that a reader recursing once per nested file dies far short
// of the deep chains below (they need several megabytes without a bound),
// large enough for the bounded nesting, also in the sanitizer build.
constexpr rlim_t kSmallStack = 1024 * 1024;

const char* const kPastDepth =
    "Error - Linker command file 'n101.lkr' is included more than 100 levels deep in "
    "'./n100.lkr:2'";

std::vector<LimitCase> limitCases() {
  auto count = [](int n) {
    return "Error - the output would have " + std::to_string(n) +
           " sections, more than the 32767 a section number can hold.";
  };
  return {
      {"include_100_levels", [](const std::string& d) { writeIncludeChain(d, 100); },
       kSmallStack, 0, "", nullptr},
      {"include_101_levels", [](const std::string& d) { writeIncludeChain(d, 101); },
       kSmallStack, 1, kPastDepth, nullptr},
      {"include_6000_levels", [](const std::string& d) { writeIncludeChain(d, 6000); },
       kSmallStack, 1, kPastDepth, nullptr},
      // main.o's .code, 32765 more and .cinit.
      {"sections_at_the_limit",
       [](const std::string& d) { writeSections(d, kMostSections - 2, 0, ""); }, 0, 0, "",
       expectLastSymbolInItsSection},
      {"sections_one_past_the_limit",
       [](const std::string& d) { writeSections(d, kMostSections - 1, 0, ""); }, 0, 1,
       count(kMostSections + 1), nullptr},
      {"stack_takes_the_output_past_the_limit",
       [](const std::string& d) {
         writeSections(d, kMostSections - 2, 0, "STACK SIZE=0x10 RAM=ram\n");
       },
       0, 1, count(kMostSections + 1), nullptr},
      // Each initialised-data section brings its image in program memory.
      {"images_take_the_output_past_the_limit",
       [](const std::string& d) { writeSections(d, 0, 16384, ""); }, 0, 1,
       count(2 + 2 * 16384), nullptr},
      // 31767 sections with main.o's and .cinit, and some 2000 free ranges.
      {"fill_sections_take_the_output_past_the_limit",
       [](const std::string& d) { writeFilledGaps(d, 2000, kMostSections - 1000 - 2000); }, 0,
       1, " sections, more than the 32767 a section number can hold.", nullptr},
  };
}

class LinkLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(LinkLimits, Link) {
  const LimitCase& c = GetParam();
  const std::string dir = testing_support::makeTempDir(std::string("limits-") + c.name);
  c.make(dir);
  const std::vector<std::string> before = testing_support::directoryState(dir);
  const Outcome r = runTorvan(dir, {"link.lkr", "/o", "out.out", "/m", "out.map"}, c.stackBytes);
  EXPECT_EQ(r.status, c.status) << r.output;
  if (!c.message.empty()) {
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
  }
  if (c.status == 0) {
    EXPECT_TRUE(std::filesystem::exists(dir + "/out.out"));
    EXPECT_TRUE(std::filesystem::exists(dir + "/out.map"));
    if (c.check) c.check(dir);
  } else {
    // Refused before anything was written: no executable, no map of
    // either kind.
    EXPECT_FALSE(std::filesystem::exists(dir + "/out.out"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/out.map"));
    // Nor anything else: the directory is as it was but for the log.
    std::vector<std::string> after = testing_support::directoryState(dir);
    const auto isLog = [](const std::string& line) { return line.rfind("torvan.log ", 0) == 0; };
    after.erase(std::remove_if(after.begin(), after.end(), isLog), after.end());
    EXPECT_EQ(after, before);
  }
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkLimits, ::testing::ValuesIn(limitCases()),
                         [](const ::testing::TestParamInfo<LimitCase>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace

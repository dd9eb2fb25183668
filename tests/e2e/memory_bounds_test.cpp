// Runs whose memory must follow what the inputs hold, not what their
// headers declare or what the output would become: each program runs in a
// child process whose address space is limited, so a run that allocated
// for a declared size would die of it (or end by an uncaught exception)
// instead of ending with its status.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "coff.h"
#include "fixtures/coff_builder.h"
#include "src/librarian/kesvo_fixture.h"
#include "support/harness.h"

using fixtures::Bytes;
using fixtures::CoffBuilder;

namespace {

using testing_support::kLimitAddressSpace;
// Far below what the declared sizes below would take, far above what the
// inputs hold.
constexpr rlim_t kAddressSpace = rlim_t(256) << 20;

// The byte-addressed 16-bit core: 21-bit program addresses.
constexpr std::uint32_t kProcessor = 0xD001;
// Each object declares this much uninitialised data, none of it in the file.
constexpr std::uint32_t kDeclared = std::uint32_t(16) << 20;
constexpr int kObjects = 140;

struct Step {
  std::string tool;
  std::vector<std::string> args;
  int status;
  std::string expect;  // a text the output holds
};

struct Case {
  const char* name;
  std::vector<Step> steps;
  std::function<void(const std::string& dir)> check = nullptr;
};

class MemoryBounds : public ::testing::Test {
 protected:
  void SetUp() override { cDir = testing_support::makeTempDir("memory-bounds"); }
  void TearDown() override { std::filesystem::remove_all(cDir); }

  testing_support::ChildEnd run(const Step& step) const {
    testing_support::ChildLimits limits;
    if (kLimitAddressSpace) limits.addressSpace = kAddressSpace;
    return testing_support::runChild(cDir, testing_support::toolPath(step.tool), step.args,
                                     limits);
  }

  void runCases(const std::vector<Case>& cases) const {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      for (const Step& step : c.steps) {
        std::string line = step.tool;
        for (const std::string& a : step.args) line += " " + (a.size() > 40 ? a.substr(0, 40) : a);
        SCOPED_TRACE(line);
        const std::vector<std::string> before = testing_support::directoryState(cDir);
        const testing_support::ChildEnd end = run(step);
        EXPECT_EQ(end.shellStatus(), step.status) << end.output;
        // A refused run writes nothing and leaves nothing behind.
        if (step.status != 0) {
          EXPECT_EQ(testing_support::directoryState(cDir), before);
        }
        EXPECT_NE(end.output.find(step.expect), std::string::npos) << end.output;
        EXPECT_EQ(end.output.find("bad_alloc"), std::string::npos) << end.output;
      }
      if (c.check) c.check(cDir);
    }
  }

  std::string cDir;
};

std::string objectName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "u%03d.o", i);
  return name;
}

// An object of a hundred-odd bytes declaring kDeclared bytes of
// uninitialised data, with a name of its own defined in it.
void writeUdataObject(const std::string& dir, int i) {
  CoffBuilder b(objectName(i));
  b.processor(kProcessor, 8, 8);
  b.udata(".udata", kDeclared);
  char symbol[16];
  std::snprintf(symbol, sizeof symbol, "v%05d", i);
  b.externDef(symbol, 1, 0);
  b.writeFile(dir + "/" + objectName(i));
}

TEST_F(MemoryBounds, SectionsWithoutDataCostNothing) {
  std::vector<std::string> all;
  for (int i = 0; i < kObjects; ++i) {
    writeUdataObject(cDir, i);
    all.push_back(objectName(i));
  }
  testing_support::writeFile(cDir + "/link.lkr",
                             "CODEPAGE NAME=program START=0x0 END=0x1FFFFF\n"
                             "DATABANK NAME=ram START=0x0 END=0xFFFF\n");
  std::vector<std::string> createAll = {"/q", "/c", "all.lib"};
  createAll.insert(createAll.end(), all.begin(), all.end());
  std::vector<std::string> link = {"link.lkr", "-o", "all.out"};
  link.insert(link.end(), all.begin(), all.end());

  const std::vector<Case> cases = {
      {"two objects: the library reads back",
       {{"kesvo", {"/q", "/c", "two.lib", "u000.o", "u001.o"}, 0, ""},
        {"kesvo", {"/t", "two.lib"}, 0, "Member: 'u001.o'"}}},
      {"every object: the library reads back",
       {{"kesvo", createAll, 0, ""}, {"kesvo", {"/t", "all.lib"}, 0, "Member: 'u139.o'"}},
       [](const std::string& dir) { EXPECT_TRUE(kesvo_test::readsBack(dir + "/all.lib")); }},
      {"every object: replaced into the library",
       {{"kesvo", {"/q", "/r", "all.lib", "u000.o", "u139.o"}, 0, ""},
        {"kesvo", {"/t", "all.lib"}, 0, "Member: 'u139.o'"}}},
      // The data does not fit the data memory: a link error, not an abort.
      {"every object linked", {{"torvan", link, 1, "Error - "}},
       [](const std::string& dir) { EXPECT_FALSE(std::filesystem::exists(dir + "/all.out")); }},
  };
  runCases(cases);
}

TEST_F(MemoryBounds, OutputLargerThanTheReadersTakeIsRefusedFirst) {
  CoffBuilder b("main.o");
  b.processor(kProcessor, 8, 8);
  b.section(".code", scnCode, 0, {0x12, 0x00});
  b.externDef("start", 1, 0);
  b.writeFile(cDir + "/main.o");
  // pages filled pages of 2 MB each, beyond the processor's space after
  // the first: their fill alone makes the executable.
  auto pages = [this](const std::string& file, int count) {
    std::string text = "DATABANK NAME=ram START=0x0 END=0xFFFF\n";
    for (int i = 0; i < count; ++i) {
      char line[128];
      std::snprintf(line, sizeof line, "CODEPAGE NAME=p%d START=0x%x END=0x%x FILL=0xFFFF\n", i,
                    unsigned(i) * 0x200000u, unsigned(i) * 0x200000u + 0x1FFFFFu);
      text += line;
    }
    testing_support::writeFile(cDir + "/" + file, text);
  };
  pages("over.lkr", 513);  // just past 1 GiB
  pages("far.lkr", 1100);

  auto nothingWritten = [](const std::string& dir) {
    EXPECT_FALSE(std::filesystem::exists(dir + "/x.out"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/x.map"));
  };
  const std::string refusal = "bytes, more than the 1073741824 bytes the tool chain's programs read.";
  const std::vector<Case> cases = {
      {"just past the limit",
       {{"torvan", {"over.lkr", "main.o", "-o", "x.out", "-m", "x.map"}, 1, refusal}},
       nothingWritten},
      {"twice the limit",
       {{"torvan", {"far.lkr", "main.o", "-o", "x.out", "-m", "x.map"}, 1, refusal}},
       nothingWritten},
  };
  runCases(cases);
}

}  // namespace

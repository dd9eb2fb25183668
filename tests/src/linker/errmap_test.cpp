// The partial map written after mapping, on a hand-built linker state.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "diagnostics.h"
#include "link_fixture.h"
#include "linker.h"
#include "platform.h"
#include "support/harness.h"

using namespace testing_support;

namespace {

std::time_t epoch() { return 0; }

class ErrorMapTest : public ::testing::Test {
 protected:
  void SetUp() override { oldClock = platform::setClock(epoch); }
  void TearDown() override { platform::setClock(oldClock); }

  // Declares a memory through the directive operations, as a command file
  // would, and gives it its location width.
  Memory& declare(const char* kind, const String& name, uint32_t start, uint32_t end) {
    Linker& l = f.linker();
    String err;
    const bool code = std::string(kind) == "code";
    Memory m(name, start, end, code ? 0 : 1, 0, 0, "");
    std::list<Memory>* list = nullptr;
    if (code) {
      EXPECT_EQ(l.addCodePage(m, err), 1) << err;
      list = &LinkerTestAccess::codePages(l);
    } else if (std::string(kind) == "data") {
      EXPECT_EQ(l.addDataBank(m, err), 1) << err;
      list = &LinkerTestAccess::dataBanks(l);
    } else if (std::string(kind) == "share") {
      EXPECT_EQ(l.addShareBank(m, err), 1) << err;
      list = &LinkerTestAccess::shareBanks(l);
    } else {
      EXPECT_EQ(l.addAccessBank(m, err), 1) << err;
      list = &LinkerTestAccess::accessBanks(l);
    }
    list->back().setWidthBits(code ? 14 : 8);
    return list->back();
  }

  void setMap(const String& name) {
    String err;
    ASSERT_EQ(f.linker().setMapFile(name, err), 1) << err;
  }

  // Writes the error map; its result and the error count.
  int write() {
    String err;
    const int result = f.linker().writeErrorMapFile(err);
    EXPECT_EQ(err, "");
    return result;
  }

  static std::string head() {
    return "TORVAN v2.10.00, Linker\nLinker Error Map File - Created " + platform::ctimeText(0) +
           "\n*Warning* - This is only a partial map file due to a link time error.\n"
           "   Only sections which were allocated prior to the error are shown below.\n\n";
  }

  linktest::LinkFixture f{"errmap"};
  platform::ClockFunction oldClock = nullptr;
};

const char* const kHeader =
    "    Memory      Start        End              Section    Address Size(Bytes)\n"
    " ---------  ---------  ---------            ---------  ---------  ---------\n";

TEST_F(ErrorMapTest, GroupsMemoriesAndSections) {
  Memory& page0 = declare("code", "page0", 0x0, 0x7FF);
  declare("code", "page1", 0x10000, 0x1FFFF);
  Memory& gpr0 = declare("data", "gpr0", 0x20, 0x6F);
  declare("data", "gpr1", 0xA0, 0xEF);
  Memory& acc = declare("access", "acc", 0x0, 0xF);
  page0.allocate(".code", FixedStart(0x10), 8, 0);
  gpr0.allocate(".a", FixedStart(0x40), 4, 0);
  gpr0.allocate(".z", FixedStart(0x20), 2, 0);
  gpr0.allocate(".e", FixedStart(0x50), 0, 0);
  acc.allocate(".fast", FixedStart(0x0), 3, 0);
  setMap("err.map");

  ASSERT_EQ(write(), 1) << f.output();
  const std::string expected = head() +
                               "CODEPAGES:\n" + kHeader +
                               "     page0     0x0000     0x07ff                .code     0x0010     0x0008\n"
                               "\n"
                               "     page1    0x10000    0x1ffff                                           \n"
                               "\n"
                               "\n"
                               "SHAREBANKS:\n"
                               "\n"
                               "DATABANKS:\n" +
                               kHeader +
                               "      gpr0     0x0020     0x006f                   .z     0x0020     0x0002\n"
                               "                                                   .a     0x0040     0x0004\n"
                               "                                                   .e     0x0050     0x0000\n"
                               "\n"
                               "      gpr1     0x00a0     0x00ef                                           \n"
                               "\n"
                               "\n"
                               "ACCESSBANKS:\n" +
                               kHeader +
                               "       acc     0x0000     0x000f                .fast     0x0000     0x0003\n"
                               "\n"
                               "\n";
  EXPECT_EQ(readFile(f.path("err.map")), expected);
  EXPECT_EQ(getErrorCount(), 0);
}

// Addresses and sizes keep every digit: four as long as the value fits in
// them, more only where it needs them.
struct WidthCase {
  const char* name;
  uint32_t start, end;
  uint32_t section, size;  // size 0: no section
  const char* row;
};

void PrintTo(const WidthCase& c, std::ostream* os) { *os << c.name; }

class ErrorMapWidthTest : public ErrorMapTest, public ::testing::WithParamInterface<WidthCase> {};

TEST_P(ErrorMapWidthTest, ValuesKeepEveryDigit) {
  const WidthCase& c = GetParam();
  Memory& m = declare("code", "m", c.start, c.end);
  m.setWidthBits(8);
  if (c.size != 0) m.allocate(".s", FixedStart(c.section), c.size, 0);
  setMap("err.map");
  ASSERT_EQ(write(), 1) << f.output();
  const std::string expected = head() + "CODEPAGES:\n" + kHeader + c.row + "\n\n" +
                               "SHAREBANKS:\n\nDATABANKS:\n\nACCESSBANKS:\n\n";
  EXPECT_EQ(readFile(f.path("err.map")), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ErrorMapWidthTest,
    ::testing::Values(
        WidthCase{"MemoryAbove16Bits", 0x300000, 0x30000D, 0x300004, 6,
                  "         m   0x300000   0x30000d                   .s   0x300004     0x0006\n"},
        WidthCase{"PageEndingAbove16Bits", 0, 0x1FFFF, 0x1FFF0, 0x10,
                  "         m     0x0000    0x1ffff                   .s    0x1fff0     0x0010\n"},
        WidthCase{"SectionLargerThan16Bits", 0, 0x1FFFF, 0x100, 0x10000,
                  "         m     0x0000    0x1ffff                   .s     0x0100    0x10000\n"},
        WidthCase{"ValuesAt16Bits", 0xFF00, 0xFFFF, 0xFFFE, 2,
                  "         m     0xff00     0xffff                   .s     0xfffe     0x0002\n"},
        WidthCase{"TopOfTheAddressSpace", 0xFFFFFF00, 0xFFFFFFFF, 0, 0,
                  "         m 0xffffff00 0xffffffff                                           \n"}),
    [](const ::testing::TestParamInfo<WidthCase>& i) { return std::string(i.param.name); });

TEST_F(ErrorMapTest, NoMemoriesStillGivesTheWarningAndEveryTitle) {
  setMap("err.map");
  ASSERT_EQ(write(), 1);
  EXPECT_EQ(readFile(f.path("err.map")),
            head() + "CODEPAGES:\n\nSHAREBANKS:\n\nDATABANKS:\n\nACCESSBANKS:\n\n");
}

TEST_F(ErrorMapTest, WithoutMapFileNothingIsWritten) {
  declare("code", "page0", 0x0, 0xFF);
  EXPECT_EQ(write(), 1);
  EXPECT_TRUE(std::filesystem::is_empty(f.dir()));
  EXPECT_EQ(f.output(), "");
}

TEST_F(ErrorMapTest, OpenFailureIsACountedError) {
  setMap("no/such/dir/err.map");
  EXPECT_EQ(write(), 0);
  EXPECT_EQ(f.output(), "Error - Could not open map file 'no/such/dir/err.map' for writing.\n");
  EXPECT_EQ(getErrorCount(), 1);
}

TEST_F(ErrorMapTest, WriteFailureIsACountedError) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this host";
  setMap("/dev/full");
  EXPECT_EQ(write(), 0);
  EXPECT_EQ(f.output(), "Error - Could not write map file '/dev/full'.\n");
  EXPECT_EQ(getErrorCount(), 1);
}

}  // namespace

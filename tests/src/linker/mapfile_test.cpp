#include "mapfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "fixtures/coff_builder.h"
#include "platform.h"
#include "support/harness.h"

using fixtures::Bytes;
using fixtures::CoffBuilder;
using namespace testing_support;

namespace {

const char* const kCreated = "Thu Jan  1 00:00:00 1970\n";

constexpr std::uint32_t kCoreB = 0xB001;  // 14-bit words: 2 bytes a location
constexpr std::uint32_t kCoreD = 0xD001;  // 8-bit words: 1 byte a location

// A section of the given size without its bytes (sizes may be huge).
int sizedSection(CoffBuilder& b, const String& name, int type, uint32_t address, uint32_t size) {
  const int number = b.section(name, type, address);
  b.model().cScnHdr[name].s_size = size;
  return number;
}

// The part of the map between two titles.
std::string between(const std::string& text, const std::string& from, const std::string& to) {
  size_t a = text.find(from);
  if (a == std::string::npos) return "<no " + from + ">";
  a += from.size();
  size_t b = text.find(to, a);
  return text.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

std::string usageOf(const Coff& output, uint64_t programSize) {
  // The table ends with the utilisation line and two empty lines.
  return between(MapFile::compose(output, programSize, kCreated),
                 "Program Memory Usage \n", "\n\n\n") + "\n";
}

const char* const kUsageHead =
    "                               Start         End      \n"
    "                           ---------   ---------      \n";

std::string usageRow(const std::string& start, const std::string& end) {
  return "                            " + start + "    " + end + "      \n";
}

std::string usageLine(const std::string& used, const std::string& size, const std::string& pct) {
  return "            " + used + " out of " + size +
         " program addresses used, program memory utilization is " + pct + "%\n";
}

TEST(MapFileTest, FullLayout) {
  CoffBuilder b("out.cof");
  b.processor(kCoreB, 14, 8);
  const int code = sizedSection(b, ".code", scnCode, 0x10, 5);
  const int init = sizedSection(b, ".init", scnIData, 0x30, 2);
  const int image = sizedSection(b, ".init_i", scnRomData, 0x2, 4);
  const int vars = sizedSection(b, ".vars", scnUData, 0x20, 3);
  sizedSection(b, "marker", scnCode, 0x1, 0);
  sizedSection(b, ".cinit", scnRomData, 0x0, 4);
  sizedSection(b, ".absdata", scnUData, 0x40, 1);
  b.model().cScnHdr[".absdata"].s_flags |= kScnAbsolute | kScnShare;

  b.file("main.asm");
  b.function("main", static_cast<int16_t>(code), 0x10);
  b.label("table", static_cast<int16_t>(image), 0x2);
  b.file("defs.inc");
  b.symbol("flag", 0x21, static_cast<int16_t>(vars), kClassStatic);
  b.externRef("undef");
  b.symbol("absval", 0x7, kScnNumAbsolute, kClassExternal);
  b.symbol(".bf", 0x10, static_cast<int16_t>(code), kClassFunction);
  b.symbol(".eof", 0, kScnNumDebug, kClassFile);
  b.externDef("counter", static_cast<int16_t>(init), 0x30);
  b.symbol(".eof", 0, kScnNumDebug, kClassFile);
  b.symbol("late", 0x12, static_cast<int16_t>(code), kClassStatic);
  b.symbol(".eof", 0, kScnNumDebug, kClassFile);  // none open: changes nothing
  b.externDef("a_name_longer_than_25_chars", static_cast<int16_t>(code), 0x11);

  const std::string expected =
      "TORVAN v2.10.00, Linker\n"
      "Linker Map File - Created Thu Jan  1 00:00:00 1970\n"
      "\n"
      "                                 Section Info\n"
      "                  Section       Type    Address   Location Size(Bytes)\n"
      "                ---------  ---------  ---------  ---------  ---------\n"
      "                   .cinit    romdata   0x000000    program   0x000004\n"
      "                   marker       code   0x000001    program   0x000000\n"
      "                  .init_i    romdata   0x000002    program   0x000004\n"
      "                    .code       code   0x000010    program   0x000005\n"
      "                    .vars      udata   0x000020       data   0x000003\n"
      "                    .init      idata   0x000030       data   0x000002\n"
      "                 .absdata      udata   0x000040       data   0x000001\n"
      "\n"
      "\n"
      "\n"
      "                              Program Memory Usage \n"
      "                               Start         End      \n"
      "                           ---------   ---------      \n"
      "                            0x000000    0x000003      \n"
      "                            0x000010    0x000012      \n"
      "            7 out of 16 program addresses used, program memory utilization is 43%\n"
      "\n"
      "\n"
      "\n"
      "                              Symbols - Sorted by Name\n"
      "                     Name    Address   Location    Storage File                     \n"
      "                ---------  ---------  ---------  --------- ---------                \n"
      "a_name_longer_than_25_chars   0x000011    program     extern                          \n"
      "                     late   0x000012    program     static                          \n"
      "                     main   0x000010    program     extern main.asm                 \n"
      "                    table   0x000002    program     static main.asm                 \n"
      "                  counter   0x000030       data     extern main.asm                 \n"
      "                     flag   0x000021       data     static defs.inc                 \n"
      "\n"
      "\n"
      "\n"
      "                              Symbols - Sorted by Address\n"
      "                     Name    Address   Location    Storage File                     \n"
      "                ---------  ---------  ---------  --------- ---------                \n"
      "                    table   0x000002    program     static main.asm                 \n"
      "                     main   0x000010    program     extern main.asm                 \n"
      "a_name_longer_than_25_chars   0x000011    program     extern                          \n"
      "                     late   0x000012    program     static                          \n"
      "                     flag   0x000021       data     static defs.inc                 \n"
      "                  counter   0x000030       data     extern main.asm                 \n"
      "\n"
      "\n";
  EXPECT_EQ(MapFile::compose(b.model(), 16, kCreated), expected);
}

struct UsageCase {
  const char* what;
  uint32_t processor;
  std::vector<std::pair<uint32_t, uint32_t>> sections;  // address, size in bytes
  uint64_t programSize;
  std::string rows;
  std::string line;
};

TEST(MapFileTest, ProgramMemoryUsage) {
  const std::vector<UsageCase> cases = {
      {"blocks join when the next section starts right after",
       kCoreB,
       {{0x0, 8}, {0x4, 2}, {0x10, 4}},
       2048,
       usageRow("0x000000", "0x000004") + usageRow("0x000010", "0x000011"),
       usageLine("7", "2048", "0")},
      {"a 3-byte section counts 2 words",
       kCoreB,
       {{0x0, 3}, {0x2, 2}},
       4,
       usageRow("0x000000", "0x000002"),
       usageLine("3", "4", "75")},
      {"an empty section neither opens nor breaks a block",
       kCoreB,
       {{0x0, 4}, {0x1, 0}, {0x2, 2}, {0x40, 0}},
       100,
       usageRow("0x000000", "0x000002"),
       usageLine("3", "100", "3")},
      {"no nonempty program section",
       kCoreB,
       {{0x0, 0}},
       2048,
       "",
       usageLine("0", "2048", "0")},
      {"no CODEPAGE: 100%", kCoreB, {{0x0, 2}}, 0, usageRow("0x000000", "0x000000"),
       usageLine("1", "0", "100")},
      {"used at least the size: 100%", kCoreB, {{0x0, 8}}, 3, usageRow("0x000000", "0x000003"),
       usageLine("4", "3", "100")},
      {"768 of 2048 truncates to 37", kCoreB, {{0x0, 1536}}, 2048,
       usageRow("0x000000", "0x0002ff"), usageLine("768", "2048", "37")},
      {"one byte a location from the processor table", kCoreD, {{0x0, 5}}, 10,
       usageRow("0x000000", "0x000004"), usageLine("5", "10", "50")},
      {"counts beyond 32 bits",
       kCoreD,
       {{0x0, 0xFFFFFFFFu}, {0x0, 0xFFFFFFFFu}},
       0x200000000ull,
       usageRow("0x000000", "0xfffffe") + usageRow("0x000000", "0xfffffe"),
       usageLine("8589934590", "8589934592", "99")},
      {"percentage of a count above 2^32 / 100",
       kCoreD,
       {{0x0, 0x80000000u}},
       0xFFFFFFFFu,
       usageRow("0x000000", "0xffffff"),
       usageLine("2147483648", "4294967295", "50")},
  };
  for (const UsageCase& c : cases) {
    SCOPED_TRACE(c.what);
    CoffBuilder b("out.cof");
    // The optional header's width disagrees with the table: the table wins.
    b.processor(c.processor, 16, 8);
    int i = 0;
    for (const auto& s : c.sections)
      sizedSection(b, "s" + std::to_string(i++), scnCode, s.first, s.second);
    EXPECT_EQ(usageOf(b.model(), c.programSize), kUsageHead + c.rows + c.line);
  }
}

// One row of either symbol table, as the map writes it.
std::string symbolLine(const std::string& name, const std::string& address,
                       const std::string& location, const std::string& storage) {
  char line[256];
  std::snprintf(line, sizeof line, "%25s %10s %10s %10s %-25s\n", name.c_str(), address.c_str(),
                location.c_str(), storage.c_str(), "");
  return line;
}

TEST(MapFileTest, SymbolsSortByNameThenStablyByAddress) {
  struct Symbol {
    const char* name;
    uint32_t address;
    bool data;
    uint8_t sclass;
  };
  // In table order. Short names ("beta", "gamma", "eta") are spelt in their
  // records, the others live in the string table.
  const std::vector<Symbol> symbols = {
      {"beta", 0x30, false, kClassExternal},
      {"alpha_long_name_x", 0x10, false, kClassExternal},
      {"beta", 0x20, false, kClassStatic},
      {"alpha_long_name_a", 0x10, false, kClassStatic},
      {"common_prefix_0123456789_b", 0x1000010, false, kClassExternal},
      {"common_prefix_0123456789_a", 0x40, false, kClassExternal},
      {"gamma_long", 0x5, false, kClassExternal},
      {"gamma", 0x5, false, kClassStatic},
      {"zeta_long_data", 0x3, true, kClassStatic},
      {"eta", 0x3, true, kClassExternal},
  };
  const std::string head =
      "                     Name    Address   Location    Storage File                     \n"
      "                ---------  ---------  ---------  --------- ---------                \n";
  const std::string byName =
      head + symbolLine("alpha_long_name_a", "0x000010", "program", "static") +
      symbolLine("alpha_long_name_x", "0x000010", "program", "extern") +
      symbolLine("beta", "0x000030", "program", "extern") +
      symbolLine("beta", "0x000020", "program", "static") +
      symbolLine("common_prefix_0123456789_a", "0x000040", "program", "extern") +
      symbolLine("common_prefix_0123456789_b", "0x000010", "program", "extern") +
      symbolLine("gamma", "0x000005", "program", "static") +
      symbolLine("gamma_long", "0x000005", "program", "extern") +
      symbolLine("eta", "0x000003", "data", "extern") +
      symbolLine("zeta_long_data", "0x000003", "data", "static");
  // Equal addresses keep their order by name; the whole 32-bit address
  // orders the rows although only its low 24 bits are shown.
  const std::string byAddress =
      head + symbolLine("gamma", "0x000005", "program", "static") +
      symbolLine("gamma_long", "0x000005", "program", "extern") +
      symbolLine("alpha_long_name_a", "0x000010", "program", "static") +
      symbolLine("alpha_long_name_x", "0x000010", "program", "extern") +
      symbolLine("beta", "0x000020", "program", "static") +
      symbolLine("beta", "0x000030", "program", "extern") +
      symbolLine("common_prefix_0123456789_a", "0x000040", "program", "extern") +
      symbolLine("common_prefix_0123456789_b", "0x000010", "program", "extern") +
      symbolLine("eta", "0x000003", "data", "extern") +
      symbolLine("zeta_long_data", "0x000003", "data", "static");

  // The string table in name order (as the linker writes it) and in
  // another order give the same tables.
  for (const bool tableInNameOrder : {true, false}) {
    SCOPED_TRACE(tableInNameOrder ? "string table in name order" : "string table unordered");
    CoffBuilder b("out.cof");
    b.processor(kCoreB);
    const int code = sizedSection(b, ".code", scnCode, 0, 2);
    const int vars = sizedSection(b, ".vars", scnUData, 0, 2);
    std::vector<std::string> longNames;
    for (const Symbol& s : symbols)
      if (std::string(s.name).size() > 8) longNames.push_back(s.name);
    std::sort(longNames.begin(), longNames.end());
    if (!tableInNameOrder) std::reverse(longNames.begin(), longNames.end());
    for (const std::string& name : longNames) b.addString(name);
    for (const Symbol& s : symbols)
      b.symbol(s.name, s.address, static_cast<int16_t>(s.data ? vars : code), s.sclass);
    const std::string map = MapFile::compose(b.model(), 16, kCreated);
    // Each table ends with its last row's newline and two empty lines.
    EXPECT_EQ(between(map, "Symbols - Sorted by Name\n", "\n\n\n") + "\n", byName);
    EXPECT_EQ(between(map, "Symbols - Sorted by Address\n", "\n\n\n") + "\n", byAddress);
  }
}

TEST(MapFileTest, LongNamesAreFoundAtAnyOffset) {
  CoffBuilder b("out.cof");
  b.processor(kCoreB);
  const int code = sizedSection(b, ".code", scnCode, 0, 2);
  const std::vector<std::pair<uint32_t, std::string>> strings = {
      {4, "near_the_start"}, {0x80000000u, "half_way_there"}, {0xFFFFFFF0u, "at_the_very_end"}};
  for (const auto& s : strings) b.model().cStringTbl[s.first] = s.second;
  uint32_t address = 0;
  for (auto it = strings.rbegin(); it != strings.rend(); ++it) {
    syment sym = b.makeSymbol("x", address++, static_cast<int16_t>(code), kClassExternal);
    sym.set_n_offset(it->first);
    b.rawRecord(sym.record());
  }
  const std::string map = MapFile::compose(b.model(), 16, kCreated);
  EXPECT_EQ(between(map, "Symbols - Sorted by Address\n", "\n\n\n") + "\n",
            "                     Name    Address   Location    Storage File                     \n"
            "                ---------  ---------  ---------  --------- ---------                \n" +
                symbolLine("at_the_very_end", "0x000000", "program", "extern") +
                symbolLine("half_way_there", "0x000001", "program", "extern") +
                symbolLine("near_the_start", "0x000002", "program", "extern"));
}

TEST(MapFileTest, AddressesAndSizesKeepTheirLow24Bits) {
  CoffBuilder b("out.cof");
  b.processor(kCoreB);
  const int n = sizedSection(b, "big", scnUData, 0x1234567, 0x1000000);
  b.symbol("far", 0x2ABCDEF, static_cast<int16_t>(n), kClassExternal);
  const std::string map = MapFile::compose(b.model(), 16, kCreated);
  EXPECT_NE(map.find("      udata   0x234567       data   0x000000\n"), std::string::npos) << map;
  EXPECT_NE(map.find("far   0xabcdef       data     extern"), std::string::npos) << map;
}

TEST(MapFileTest, ProgramAndDataLocationsFollowTheSectionType) {
  const std::vector<std::pair<int, std::string>> cases = {
      {scnNone, "unknown   0x000000    program"}, {scnCode, "code   0x000000    program"},
      {scnIData, "idata   0x000000       data"},   {scnUData, "udata   0x000000       data"},
      {scnRomData, "romdata   0x000000    program"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second);
    CoffBuilder b("out.cof");
    b.processor(kCoreB);
    sizedSection(b, "s", c.first, 0, 0);
    const std::string map = MapFile::compose(b.model(), 16, kCreated);
    EXPECT_NE(map.find(c.second), std::string::npos) << map;
  }
}

// A map of many symbols, its tables several times the size of a block of
// output, and one row alone longer than a block; rows is what each table
// lists, in name order and address order alike.
void manySymbols(CoffBuilder& b, std::string& rows) {
  b.processor(kCoreB);
  const int code = sizedSection(b, ".code", scnCode, 0, 2);
  rows = "                     Name    Address   Location    Storage File                     \n"
         "                ---------  ---------  ---------  --------- ---------                \n";
  char name[16];
  char address[16];
  for (uint32_t i = 0; i < 6000; ++i) {
    std::snprintf(name, sizeof name, "s%05u", i);  // spelt in its record
    std::snprintf(address, sizeof address, "0x%06x", i);
    b.symbol(name, i, static_cast<int16_t>(code), kClassExternal);
    rows += symbolLine(name, address, "program", "extern");
  }
  const std::string longName = "zz" + std::string(300000, 'n');
  b.symbol(longName, 6000, static_cast<int16_t>(code), kClassStatic);
  rows += longName + "   0x001770    program     static                          \n";
}

TEST(MapFileTest, TablesLongerThanABlock) {
  CoffBuilder b("out.cof");
  std::string rows;
  manySymbols(b, rows);
  const std::string map = MapFile::compose(b.model(), 16, kCreated);
  EXPECT_EQ(between(map, "Symbols - Sorted by Name\n", "\n\n\n") + "\n", rows);
  EXPECT_EQ(between(map, "Symbols - Sorted by Address\n", "\n\n\n") + "\n", rows);
  EXPECT_EQ(map.substr(map.size() - 4), " \n\n\n");
}

TEST(MapFileTest, CodeTexts) {
  EXPECT_EQ(MapFile::typeText(0), "unknown");
  EXPECT_EQ(MapFile::typeText(4), "romdata");
  EXPECT_EQ(MapFile::typeText(5), "");
  EXPECT_EQ(MapFile::typeText(-1), "");
  EXPECT_EQ(MapFile::locationText(1), "data");
  EXPECT_EQ(MapFile::locationText(2), "");
  EXPECT_EQ(MapFile::storageText(1), "static");
  EXPECT_EQ(MapFile::storageText(2), "");
  EXPECT_EQ(MapFile::kindText(0), "function");
  EXPECT_EQ(MapFile::kindText(1), "variable");
  EXPECT_EQ(MapFile::kindText(2), "");
}

class MapFileWriteTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = makeTempDir("mapfile"); }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // Runs write with a fixed clock; the result and what it printed.
  int write(const std::string& name, std::string& printed) {
    CoffBuilder b("out.cof");
    b.processor(kCoreB);
    sizedSection(b, ".code", scnCode, 0, 4);
    return write(b.model(), name, printed);
  }
  int write(const Coff& output, const std::string& name, std::string& printed) {
    DiagnosticsScope scope;
    OutputCapture out;
    platform::ClockFunction old = platform::setClock([]() -> std::time_t { return 0; });
    const int result = MapFile::write(name, output, 16);
    platform::setClock(old);
    printed = out.text();
    errors = getErrorCount();
    expected = MapFile::compose(output, 16, kCreated);
    return result;
  }

  std::string dir;
  std::string expected;
  int errors = 0;
};

TEST_F(MapFileWriteTest, WritesTheComposedText) {
  std::string printed;
  ASSERT_EQ(write(dir + "/out.map", printed), 1) << printed;
  EXPECT_EQ(readFile(dir + "/out.map"), expected);
  EXPECT_EQ(printed, "");
}

TEST_F(MapFileWriteTest, BackslashesSeparateDirectories) {
  std::filesystem::create_directory(dir + "/sub");
  std::string printed;
  ASSERT_EQ(write(dir + "\\sub\\out.map", printed), 1) << printed;
  EXPECT_EQ(readFile(dir + "/sub/out.map"), expected);
}

TEST_F(MapFileWriteTest, OpenFailureIsReported) {
  std::string printed;
  const std::string name = dir + "/missing/out.map";
  EXPECT_EQ(write(name, printed), 0);
  EXPECT_EQ(printed, "Error - Could not open map file '" + name + "' for writing.\n");
  EXPECT_EQ(errors, 1);
  EXPECT_FALSE(std::filesystem::exists(name));
}

TEST_F(MapFileWriteTest, WriteFailureIsReported) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this host";
  std::string printed;
  EXPECT_EQ(write("/dev/full", printed), 0);
  EXPECT_EQ(printed, "Error - Could not write map file '/dev/full'.\n");
  EXPECT_EQ(errors, 1);
}

// The map of an earlier link, small or large (a large one is let go on a
// thread of its own), gives way to the new map: whole, with the old file's
// permissions, and a symbolic link to it stays a link.
TEST_F(MapFileWriteTest, OverTheMapOfAnEarlierLink) {
  struct Case {
    const char* what;
    std::size_t oldSize;
    bool throughLink;
  };
  const Case cases[] = {
      {"small old map", 100, false},
      {"large old map", 3u << 20, false},
      {"large old map behind a link", 3u << 20, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const std::string target = dir + "/target.map";
    const std::string name = k.throughLink ? dir + "/link.map" : target;
    std::filesystem::remove(target);
    std::filesystem::remove(name);
    writeFile(target, std::string(k.oldSize, 'x'));
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    if (k.throughLink) {
      ASSERT_EQ(symlink("target.map", name.c_str()), 0);
    }
    std::string printed;
    ASSERT_EQ(write(name, printed), 1) << printed;
    EXPECT_EQ(printed, "");
    EXPECT_EQ(readFile(target), expected);
    struct stat st;
    ASSERT_EQ(lstat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(lstat(name.c_str(), &st), 0);
    EXPECT_EQ(S_ISLNK(st.st_mode), k.throughLink);
  }
}

// A large map the user may not write stays as it was, though its directory
// would take a new file. Written as an ordinary user, whom the bits bind.
TEST_F(MapFileWriteTest, ALargeMapThatMayNotBeWrittenIsKept) {
  const std::string name = dir + "/out.map";
  const std::string old(2u << 20, 'x');
  writeFile(name, old);
  ASSERT_TRUE(giveToUnprivileged(dir));
  ASSERT_TRUE(giveToUnprivileged(name));
  ASSERT_EQ(chmod(name.c_str(), 0444), 0);
  ChildLimits asUser;
  asUser.unprivileged = true;
  const ChildEnd end = runInChild(
      dir,
      [&] {
        std::string printed;
        const int result = write(name, printed);
        std::cout << printed;
        return result;
      },
      asUser);
  EXPECT_EQ(end.status, 0);
  EXPECT_EQ(end.output, "Error - Could not open map file '" + name + "' for writing.\n");
  EXPECT_EQ(readFile(name), old);
  EXPECT_EQ(directoryEntries(dir), std::vector<std::string>{"out.map"});
}

TEST_F(MapFileWriteTest, MapsLongerThanABlock) {
  CoffBuilder b("out.cof");
  std::string rows;
  manySymbols(b, rows);
  std::string printed;
  ASSERT_EQ(write(b.model(), dir + "/out.map", printed), 1) << printed;
  EXPECT_EQ(readFile(dir + "/out.map"), expected);

  // The first full block fails; the failure is reported once.
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this host";
  EXPECT_EQ(write(b.model(), "/dev/full", printed), 0);
  EXPECT_EQ(printed, "Error - Could not write map file '/dev/full'.\n");
  EXPECT_EQ(errors, 1);
}

TEST_F(MapFileWriteTest, NoMapWhenTheLinkEndsWhileComposing) {
  // A symbol whose long name the string table lacks ends the link.
  CoffBuilder b("out.cof");
  b.processor(kCoreB);
  const int code = sizedSection(b, ".code", scnCode, 0, 2);
  b.symbol("listed_before_it", 0, static_cast<int16_t>(code), kClassExternal);
  syment sym = b.makeSymbol("x", 1, static_cast<int16_t>(code), kClassExternal);
  sym.set_n_offset(0x7FFFFFF0u);
  b.rawRecord(sym.record());

  const std::string name = dir + "/out.map";
  DiagnosticsScope scope;
  OutputCapture out;
  ExitTrap trap;
  EXPECT_THROW(MapFile::write(name, b.model(), 16), ProcessExit);
  EXPECT_EQ(out.text().rfind("Error - Unable to find symbol name in string table.\n", 0), 0u)
      << out.text();
  EXPECT_FALSE(std::filesystem::exists(name));
}

}  // namespace

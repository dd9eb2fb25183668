#include "cod.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <sstream>

#include "banner.h"
#include "cod_layout_parser.h"
#include "debug.h"
#include "platform.h"
#include "support/harness.h"

using namespace testing_support;

namespace {

std::time_t localTime(int year, int month, int day, int hour, int minute) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

std::time_t gFixedTime = 0;
std::time_t fixedClock() { return gFixedTime; }

// Each test runs in a fresh current directory with the clock fixed at
// 09:05 on the 8th of December 2026.
class CodTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cDir = makeTempDir("codtest");
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    cOldCwd = cwd;
    ASSERT_EQ(chdir(cDir.c_str()), 0);
    gFixedTime = localTime(2026, 12, 8, 9, 5);
    cOldClock = platform::setClock(fixedClock);
  }
  void TearDown() override {
    platform::setClock(cOldClock);
    EXPECT_EQ(chdir(cOldCwd.c_str()), 0);
    std::filesystem::remove_all(cDir);
  }

  DiagnosticsScope cDiagnostics;
  std::string cDir, cOldCwd;
  platform::ClockFunction cOldClock = nullptr;
};

std::unique_ptr<Cod> newCod(size_t dirs, const std::string& name = "prog.cod") {
  auto cod = std::make_unique<Cod>();
  for (size_t i = 0; i < dirs; ++i) cod->addDirectory();
  cod->setOutputName(name);
  return cod;
}

// Numbers, writes and reads back the file's bytes.
std::string writeCod(Cod& cod) {
  EXPECT_TRUE(cod.preWrite());
  EXPECT_TRUE(cod.write());
  return readFile(cod.outputName());
}

codlayout::Layout parseClean(const std::string& bytes) {
  codlayout::Layout layout = codlayout::parse(bytes);
  for (const std::string& p : layout.problems) ADD_FAILURE() << "layout: " << p;
  return layout;
}

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

void putU16At(std::string& file, size_t offset, unsigned value) {
  file[offset] = static_cast<char>(value & 0xFF);
  file[offset + 1] = static_cast<char>(value >> 8);
}

size_t blockSpan(unsigned first, unsigned last) { return first == 0 ? 0 : last - first + 1; }

// ------------------------------------------------------------ golden bytes

TEST_F(CodTest, GoldenBytesOfASmallFile) {
  auto cod = newCod(1);
  Directory& d = cod->cDirectory[0];
  d.setVersion(codConverterVersion());
  d.setNotice("Notice");
  d.setProcessor("dev16f84x");  // one character too many for the field
  Block& code = cod->codeBlock(0, 1);
  code.Data[0] = 0x12;
  code.Data[1] = 0x34;
  code.Data[511] = 0xFF;
  cod->appendSymbol("main", codTypeAddress, 0x10);
  cod->appendSymbol("a_very_long_symbol", codTypeConstant, 0x12345);
  cod->appendSourceName("prog.asm");
  cod->cLineInfoTable[0].push_back(LineInfo(0, 2, 1, 0));
  cod->cLineInfoTable[0].push_back(LineInfo(0, 0x80, 5, 0x10));
  cod->cMemoryMapList[0].push_back(MemoryMap(0x200, 0x3FF));
  cod->appendLongSymbol("main", codTypeAddress, 0x1234);
  cod->appendLongSymbol("a_very_long_symbol", codTypeConstant, 0x12345);
  std::string file = writeCod(*cod);

  struct Patch {
    size_t offset;
    std::string bytes;
  };
  const std::vector<Patch> patches = {
      {2, bytes({1, 0})},                                  // Index[1] = block 1
      {256, bytes({8}) + "prog.cod"},                      // Source
      {330, bytes({14}) + "DRALM v2.10.00"},               // Version
      {362, bytes({6}) + "Notice"},                        // Notice
      {426, bytes({2, 0, 2, 0, 3, 0, 3, 0, 4, 0, 4, 0})},  // SymTab .. LineEnd
      {443, bytes({5, 0, 5, 0})},                          // MemMapOfs, MemMapEnd
      {451, bytes({1, 0, 8}) + "dev16f84"},                // CodType, Processor
      {462, bytes({6, 0, 6, 0})},                          // LSymTab, LSymEnd
      {512, bytes({0x12, 0x34})},                          // code block
      {1023, bytes({0xFF})},
      {1024, bytes({4}) + "main"},                         // symbols
      {1037, bytes({46, 0x10, 0})},
      {1040, bytes({12}) + "a_very_long_" + bytes({47, 0x45, 0x23})},
      {1536, bytes({8}) + "prog.asm"},                     // source name
      {2048, bytes({0, 2, 1, 0, 0, 0, 0, 0x80, 5, 0, 0x10, 0})},  // line info
      {2560, bytes({0, 2, 0xFF, 3})},                      // memory map
      {3072, bytes({4}) + "main" + bytes({46, 0, 0, 0, 0x12, 0x34}) + bytes({18}) +
                 "a_very_long_symbol" + bytes({47, 0, 0, 1, 0x23, 0x45})},
  };
  std::string expected(7 * 512, '\0');
  for (const Patch& p : patches) expected.replace(p.offset, p.bytes.size(), p.bytes);
  ASSERT_EQ(file.size(), expected.size());
  // Date and time depend on the clock: masked here, checked on their own.
  file.replace(320, 10, std::string(10, '\0'));
  for (size_t k = 0; k < file.size(); ++k)
    EXPECT_EQ(static_cast<uint8_t>(file[k]), static_cast<uint8_t>(expected[k])) << "byte " << k;
}

TEST_F(CodTest, DateAndTimeComeFromTheLocalClock) {
  struct Case {
    int year, month, day, hour, minute;
    const char* date;
    unsigned time;
  } cases[] = {
      {2026, 12, 8, 9, 5, "08Dec26", 905},
      {2000, 1, 1, 0, 0, "01Jan00", 0},
      {1999, 7, 31, 23, 59, "31Jul99", 2359},
  };
  for (const Case& c : cases) {
    gFixedTime = localTime(c.year, c.month, c.day, c.hour, c.minute);
    auto cod = newCod(2);
    std::string file = writeCod(*cod);
    EXPECT_EQ(file.substr(320, 8), bytes({7}) + c.date) << c.date;
    EXPECT_EQ(static_cast<uint8_t>(file[328]) | (static_cast<uint8_t>(file[329]) << 8),
              static_cast<int>(c.time));
    // Only the first directory is stamped.
    EXPECT_EQ(file.substr(512 + 320, 10), std::string(10, '\0'));
  }
}

// ------------------------------------------------------------ full layout

// Every table in use, two windows, several blocks per table.
std::unique_ptr<Cod> richCod() {
  auto cod = newCod(2);
  Directory& d = cod->cDirectory[0];
  d.setVersion(codConverterVersion());
  d.setNotice(noticeBanner());
  d.setProcessor("dev18x");
  cod->codeBlock(0, 5).Data[0] = 0xAA;
  cod->codeBlock(0, 2).Data[511] = 0x55;
  cod->codeBlock(1, 0).Data[100] = 7;
  for (int i = 0; i < 40; ++i)
    cod->appendSymbol("sym" + std::to_string(i), i % 2 ? codTypeAddress : codTypeConstant,
                      static_cast<uint32_t>(i * 0x1001));
  for (int i = 0; i < 10; ++i) cod->appendSourceName("src" + std::to_string(i) + ".asm");
  for (int i = 0; i < 90; ++i)
    cod->cLineInfoTable[0].push_back(
        LineInfo(static_cast<uint8_t>(i % 10), 0x80, static_cast<int16_t>(i + 1),
                 static_cast<uint16_t>(2 * i)));
  for (int i = 0; i < 3; ++i) cod->cLineInfoTable[1].push_back(LineInfo(1, 0, -1 - i, 0xFFFE));
  cod->cMemoryMapList[0].push_back(MemoryMap(0x400, 0x4FF));
  cod->cMemoryMapList[0].push_back(MemoryMap(0xB00, 0xBFF));
  for (int i = 0; i < 130; ++i)
    cod->cMemoryMapList[1].push_back(
        MemoryMap(static_cast<uint16_t>(i * 4), static_cast<uint16_t>(i * 4 + 3)));
  for (int i = 0; i < 30; ++i)
    cod->appendLongSymbol(std::string(static_cast<size_t>(i * 8 + 1), static_cast<char>('a' + i % 26)),
                          i % 2 ? codTypeAddress : codTypeConstant, 0x01020304u * static_cast<uint32_t>(i));
  for (int g = 0; g < 2; ++g) {
    LocalGroup group(0x100u * static_cast<uint32_t>(g + 1), 0x100u * static_cast<uint32_t>(g + 1) + 0x7F);
    for (int i = 0; i < 20 - 5 * g; ++i)
      group.SymbolList.push_back(Symbol("loc" + std::to_string(i), codTypeAddress, static_cast<int16_t>(i)));
    cod->cLocalGroupList.push_back(group);
  }
  for (int i = 0; i < 60; ++i)
    cod->cDebugMsgList.push_back(DebugMsg(0xA0B0C000u + static_cast<uint32_t>(i), 'a',
                                          "message " + std::to_string(i)));
  return cod;
}

void expectSameSymbol(const Symbol& s, const codlayout::Sym& p) {
  EXPECT_EQ(s.name(), p.name);
  EXPECT_EQ(s.SymbolType, p.type);
  EXPECT_EQ(s.SymbolValue, p.value);
}

TEST_F(CodTest, IndependentParserFindsEveryTableWhereThePointersSay) {
  auto cod = richCod();
  codlayout::Layout layout = parseClean(writeCod(*cod));

  ASSERT_EQ(layout.dirs.size(), 2u);
  EXPECT_EQ(layout.dirs[0].nextDir, 1);
  EXPECT_EQ(layout.dirs[1].nextDir, 0);
  EXPECT_EQ(layout.dirs[1].highAddr, 1);
  EXPECT_EQ(layout.dirs[0].source, "prog.cod");
  EXPECT_EQ(layout.dirs[0].version, "DRALM v2.10.00");
  EXPECT_EQ(layout.dirs[0].notice, String(noticeBanner()).substr(0, 63));
  EXPECT_EQ(layout.dirs[0].processor, "dev18x");
  EXPECT_EQ(layout.dirs[0].date, "08Dec26");
  EXPECT_EQ(layout.dirs[0].time, 905);

  // Code blocks in ascending index, windows in order.
  EXPECT_EQ(layout.dirs[0].index[2], 2);
  EXPECT_EQ(layout.dirs[0].index[5], 3);
  EXPECT_EQ(layout.dirs[1].index[0], 4);
  EXPECT_EQ(layout.code[0].at(5)[0], 0xAA);
  EXPECT_EQ(layout.code[0].at(2)[511], 0x55);
  EXPECT_EQ(layout.code[1].at(0)[100], 7);

  ASSERT_EQ(layout.symbols.size(), cod->cSymbolList.size());
  auto s = cod->cSymbolList.begin();
  for (const auto& p : layout.symbols) expectSameSymbol(*s++, p);
  ASSERT_EQ(layout.sourceNames.size(), 10u);
  EXPECT_EQ(layout.sourceNames[9], "src9.asm");
  for (size_t w = 0; w < 2; ++w) {
    ASSERT_EQ(layout.lines[w].size(), cod->cLineInfoTable[w].size());
    auto l = cod->cLineInfoTable[w].begin();
    for (const auto& p : layout.lines[w]) {
      EXPECT_EQ(p.file, l->FileNum);
      EXPECT_EQ(p.flags, l->Flags);
      EXPECT_EQ(p.line, l->Line);
      EXPECT_EQ(p.address, l->CodeAddress);
      ++l;
    }
    ASSERT_EQ(layout.memoryMaps[w].size(), cod->cMemoryMapList[w].size());
    auto m = cod->cMemoryMapList[w].begin();
    for (const auto& p : layout.memoryMaps[w]) {
      EXPECT_EQ(p.start, m->Start);
      EXPECT_EQ(p.last, m->Last);
      ++m;
    }
  }
  ASSERT_EQ(layout.longSymbols.size(), cod->cLongSymbolList.size());
  auto ls = cod->cLongSymbolList.begin();
  for (const auto& p : layout.longSymbols) {
    EXPECT_EQ(p.name, ls->Name);
    EXPECT_EQ(p.type, ls->Type);
    EXPECT_EQ(p.value, ls->Value);
    ++ls;
  }
  ASSERT_EQ(layout.localGroups.size(), 2u);
  auto g = cod->cLocalGroupList.begin();
  for (const auto& p : layout.localGroups) {
    EXPECT_EQ(p.start, g->StartAddr);
    EXPECT_EQ(p.end, g->EndAddr);
    ASSERT_EQ(p.symbols.size(), g->SymbolList.size());
    auto gs = g->SymbolList.begin();
    for (const auto& ps : p.symbols) expectSameSymbol(*gs++, ps);
    ++g;
  }
  ASSERT_EQ(layout.messages.size(), cod->cDebugMsgList.size());
  auto msg = cod->cDebugMsgList.begin();
  for (const auto& p : layout.messages) {
    EXPECT_EQ(p.address, msg->Address);
    EXPECT_EQ(p.type, msg->Type);
    EXPECT_EQ(p.text, msg->Msg);
    ++msg;
  }
}

TEST_F(CodTest, TwoDirectoriesCarryTheirOwnWindowTables) {
  auto cod = newCod(2);
  cod->codeBlock(0, 5);
  cod->codeBlock(0, 2);
  cod->codeBlock(1, 0);
  cod->cDirectory[0].Index[7] = 99;  // stale: no code block behind it
  cod->cLineInfoTable[1].push_back(LineInfo(0, 0x80, 1, 2));
  cod->cMemoryMapList[1].push_back(MemoryMap(0, 0x1F));
  cod->appendSymbol("a", codTypeAddress, 1);
  codlayout::Layout layout = parseClean(writeCod(*cod));
  ASSERT_EQ(layout.dirs.size(), 2u);
  const codlayout::Dir& d0 = layout.dirs[0];
  const codlayout::Dir& d1 = layout.dirs[1];
  EXPECT_EQ(d0.index[2], 2);
  EXPECT_EQ(d0.index[5], 3);
  EXPECT_EQ(d0.index[7], 0);
  EXPECT_EQ(d1.index[0], 4);
  EXPECT_EQ(d0.symTab, 5);
  EXPECT_EQ(d0.symEnd, 5);
  EXPECT_EQ(d0.lineTab, 0);
  EXPECT_EQ(d0.memMapOfs, 0);
  EXPECT_EQ(d1.lineTab, 6);
  EXPECT_EQ(d1.lineEnd, 6);
  EXPECT_EQ(d1.memMapOfs, 7);
  EXPECT_EQ(d1.memMapEnd, 7);
  EXPECT_EQ(d1.source, "");
  EXPECT_EQ(layout.blocks, 8u);
}

// ------------------------------------------------------------ boundaries

enum class Table { symbols, names, lines0, lines1, maps0, maps1, groups, longs, messages };

std::pair<unsigned, unsigned> tableSpan(const codlayout::Layout& l, Table t) {
  const codlayout::Dir& d = l.dirs[0];
  switch (t) {
    case Table::symbols: return {d.symTab, d.symEnd};
    case Table::names: return {d.namTab, d.namEnd};
    case Table::lines0: return {d.lineTab, d.lineEnd};
    case Table::lines1: return {l.dirs.at(1).lineTab, l.dirs.at(1).lineEnd};
    case Table::maps0: return {d.memMapOfs, d.memMapEnd};
    case Table::maps1: return {l.dirs.at(1).memMapOfs, l.dirs.at(1).memMapEnd};
    case Table::groups: return {d.localVars, d.localEnd};
    case Table::longs: return {d.lSymTab, d.lSymEnd};
    case Table::messages: return {d.messTab, d.messEnd};
  }
  return {0, 0};
}

size_t tableRecords(const codlayout::Layout& l, Table t) {
  switch (t) {
    case Table::symbols: return l.symbols.size();
    case Table::names: return l.sourceNames.size();
    case Table::lines0: return l.lines[0].size();
    case Table::lines1: return l.lines.at(1).size();
    case Table::maps0: return l.memoryMaps[0].size();
    case Table::maps1: return l.memoryMaps.at(1).size();
    case Table::groups: {
      size_t entries = 0;
      for (const auto& g : l.localGroups) entries += 1 + g.symbols.size();
      return entries;
    }
    case Table::longs: return l.longSymbols.size();
    case Table::messages: return l.messages.size();
  }
  return 0;
}

size_t codRecords(const Cod& c, Table t) {
  switch (t) {
    case Table::symbols: return c.cSymbolList.size();
    case Table::names: return c.cSourceNameList.size();
    case Table::lines0: return c.cLineInfoTable[0].size();
    case Table::lines1: return c.cLineInfoTable.at(1).size();
    case Table::maps0: return c.cMemoryMapList[0].size();
    case Table::maps1: return c.cMemoryMapList.at(1).size();
    case Table::groups: {
      size_t entries = 0;
      for (const auto& g : c.cLocalGroupList) entries += 1 + g.SymbolList.size();
      return entries;
    }
    case Table::longs: return c.cLongSymbolList.size();
    case Table::messages: return c.cDebugMsgList.size();
  }
  return 0;
}

void addSymbols(Cod& c, int n) {
  for (int i = 0; i < n; ++i) c.appendSymbol("s" + std::to_string(i), codTypeAddress, 1);
}
void addNames(Cod& c, int n) {
  for (int i = 0; i < n; ++i) c.appendSourceName("f" + std::to_string(i) + ".asm");
}
void addLines(Cod& c, size_t window, int n) {
  for (int i = 0; i < n; ++i)
    c.cLineInfoTable[window].push_back(LineInfo(0, 0x90, static_cast<int16_t>(i + 1), 0));
}
void addMaps(Cod& c, size_t window, int n) {
  for (int i = 0; i < n; ++i)
    c.cMemoryMapList[window].push_back(MemoryMap(static_cast<uint16_t>(i), static_cast<uint16_t>(i + 1)));
}
// Long symbols of the given name lengths (record size = length + 7).
void addLongs(Cod& c, std::vector<size_t> lengths) {
  for (size_t len : lengths) c.appendLongSymbol(std::string(len, 'L'), codTypeAddress, 0x55);
}
// Debug messages of the given text lengths (record size = length + 6).
void addMessages(Cod& c, std::vector<size_t> lengths) {
  for (size_t len : lengths) c.cDebugMsgList.push_back(DebugMsg(0x10, 'e', std::string(len, 'M')));
}
void addGroup(Cod& c, int symbols) {
  LocalGroup g(0x20, 0x40);
  for (int i = 0; i < symbols; ++i) g.SymbolList.push_back(Symbol("l" + std::to_string(i), 46, 1));
  c.cLocalGroupList.push_back(g);
}

TEST_F(CodTest, TablesBreakIntoBlocksAtTheirLimits) {
  struct Case {
    const char* what;
    Table table;
    std::function<void(Cod&)> fill;
    size_t blocks;
  };
  const Case cases[] = {
      {"no symbols", Table::symbols, [](Cod&) {}, 0},
      {"no source names", Table::names, [](Cod&) {}, 0},
      {"1 symbol", Table::symbols, [](Cod& c) { addSymbols(c, 1); }, 1},
      {"32 symbols", Table::symbols, [](Cod& c) { addSymbols(c, 32); }, 1},
      {"33 symbols", Table::symbols, [](Cod& c) { addSymbols(c, 33); }, 2},
      {"64 symbols", Table::symbols, [](Cod& c) { addSymbols(c, 64); }, 2},
      {"65 symbols", Table::symbols, [](Cod& c) { addSymbols(c, 65); }, 3},
      {"8 source names", Table::names, [](Cod& c) { addNames(c, 8); }, 1},
      {"9 source names", Table::names, [](Cod& c) { addNames(c, 9); }, 2},
      {"85 line records", Table::lines0, [](Cod& c) { addLines(c, 0, 85); }, 1},
      {"86 line records", Table::lines0, [](Cod& c) { addLines(c, 0, 86); }, 2},
      {"86 line records, window 1", Table::lines1,
       [](Cod& c) { c.addDirectory(); addLines(c, 1, 86); }, 2},
      {"128 memory-map entries", Table::maps0, [](Cod& c) { addMaps(c, 0, 128); }, 1},
      {"129 memory-map entries", Table::maps0, [](Cod& c) { addMaps(c, 0, 129); }, 2},
      {"129 memory-map entries, window 1", Table::maps1,
       [](Cod& c) { c.addDirectory(); addMaps(c, 1, 129); }, 2},
      {"long symbols of 511 bytes", Table::longs, [](Cod& c) { addLongs(c, {255, 242}); }, 1},
      {"long symbols of exactly 512 bytes", Table::longs, [](Cod& c) { addLongs(c, {255, 243}); }, 2},
      {"63 long symbols of 8 bytes", Table::longs,
       [](Cod& c) { addLongs(c, std::vector<size_t>(63, 1)); }, 1},
      {"64 long symbols of 8 bytes", Table::longs,
       [](Cod& c) { addLongs(c, std::vector<size_t>(64, 1)); }, 2},
      {"long symbols of the largest size", Table::longs, [](Cod& c) { addLongs(c, {255, 255, 255}); }, 3},
      {"63 debug messages of 8 bytes", Table::messages,
       [](Cod& c) { addMessages(c, std::vector<size_t>(63, 2)); }, 1},
      {"64 debug messages of 8 bytes", Table::messages,
       [](Cod& c) { addMessages(c, std::vector<size_t>(64, 2)); }, 2},
      {"local group of 31 entries", Table::groups, [](Cod& c) { addGroup(c, 30); }, 1},
      {"local group of 32 entries", Table::groups, [](Cod& c) { addGroup(c, 31); }, 2},
      {"local groups of 16 + 16 entries", Table::groups,
       [](Cod& c) { addGroup(c, 15); addGroup(c, 15); }, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto cod = newCod(1);
    c.fill(*cod);
    codlayout::Layout layout = parseClean(writeCod(*cod));
    auto span = tableSpan(layout, c.table);
    EXPECT_EQ(blockSpan(span.first, span.second), c.blocks);
    EXPECT_EQ(tableRecords(layout, c.table), codRecords(*cod, c.table));

    // The reader finds the same records.
    std::unique_ptr<Cod> back = Cod::make("prog.cod");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(codRecords(*back, c.table), codRecords(*cod, c.table));
  }
}

TEST_F(CodTest, BlockNumbersPast16BitsAreRefused) {
  struct Case {
    size_t longSymbols;  // one block each, after the directory
    bool fits;
  } cases[] = {{65535, true}, {65536, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.longSymbols);
    resetDiagnostics();
    std::filesystem::remove("prog.cod");
    auto cod = newCod(1);
    const std::string name(255, 'x');
    for (size_t i = 0; i < c.longSymbols; ++i) cod->appendLongSymbol(name, codTypeAddress, 0);
    OutputCapture out;
    EXPECT_EQ(cod->preWrite(), c.fits);
    EXPECT_EQ(cod->write(), c.fits);
    if (c.fits) {
      EXPECT_EQ(out.text(), "");
      std::string file = readFile("prog.cod");
      EXPECT_EQ(file.size(), 65536u * 512u);
      EXPECT_EQ(file.substr(462, 4), bytes({1, 0, 0xFF, 0xFF}));  // LSymTab 1, LSymEnd 65535
    } else {
      EXPECT_EQ(out.text(),
                "Error - Cod file 'prog.cod' would need 65537 blocks; a Cod file holds at most "
                "65536.\n");
      EXPECT_EQ(getErrorCount(), 1);
      EXPECT_FALSE(std::filesystem::exists("prog.cod"));
    }
  }
}

// ------------------------------------------------------------ names

TEST_F(CodTest, LongSymbolNamesAreCutTo255SoTheBlockStaysInStep) {
  for (size_t len : {254u, 255u, 256u, 300u, 1000u}) {
    SCOPED_TRACE(len);
    auto cod = newCod(1);
    std::string name;
    for (size_t i = 0; i < len; ++i) name.push_back(static_cast<char>('a' + i % 26));
    cod->appendLongSymbol(name, codTypeAddress, 0xDEADBEEF);
    cod->appendLongSymbol("next", codTypeConstant, 9);
    EXPECT_EQ(cod->cLongSymbolList.front().Name, name.substr(0, 255));
    EXPECT_EQ(cod->cLongSymbolList.front().NameLen, std::min<size_t>(len, 255));
    codlayout::Layout layout = parseClean(writeCod(*cod));
    ASSERT_EQ(layout.longSymbols.size(), 2u);
    EXPECT_EQ(layout.longSymbols[0].name, name.substr(0, 255));
    EXPECT_EQ(layout.longSymbols[0].value, 0xDEADBEEFu);
    EXPECT_EQ(layout.longSymbols[1].name, "next");
    EXPECT_EQ(layout.longSymbols[1].type, codTypeConstant);
    EXPECT_EQ(layout.longSymbols[1].value, 9u);
  }
}

TEST_F(CodTest, AnUnnamedLongSymbolDoesNotHideTheNextOne) {
  auto cod = newCod(1);
  cod->appendLongSymbol("", codTypeAddress, 1);
  cod->appendLongSymbol("after", codTypeAddress, 2);
  codlayout::Layout layout = parseClean(writeCod(*cod));
  ASSERT_EQ(layout.longSymbols.size(), 1u);
  EXPECT_EQ(layout.longSymbols[0].name, "after");
}

TEST_F(CodTest, SourceNamesOver62CharactersAreCutWithAWarning) {
  struct Case {
    size_t length;
    bool warned;
  } cases[] = {{1, false}, {62, false}, {63, true}, {200, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    resetDiagnostics();
    auto cod = newCod(1);
    const std::string name(c.length, 'n');
    OutputCapture out;
    EXPECT_EQ(cod->appendSourceName("first.asm"), 0u);
    EXPECT_EQ(cod->appendSourceName(name), 1u);
    std::string expected;
    if (c.warned)
      expected = "Warning - Source file name '" + name +
                 "' is longer than 62 characters; the Cod file keeps its first 62.\n";
    EXPECT_EQ(out.text(), expected);
    EXPECT_EQ(getWarningCount(), c.warned ? 1 : 0);
    codlayout::Layout layout = parseClean(writeCod(*cod));
    ASSERT_EQ(layout.sourceNames.size(), 2u);
    EXPECT_EQ(layout.sourceNames[1], name.substr(0, 62));
  }
}

TEST_F(CodTest, TheFileKeepsItsFullNameWhileSourceIsCut) {
  const std::string name = std::string(70, 'n') + ".cod";
  auto cod = newCod(1, name);
  EXPECT_EQ(cod->outputName(), name);
  EXPECT_EQ(cod->cDirectory[0].source(), name.substr(0, 63));
  codlayout::Layout layout = parseClean(writeCod(*cod));
  EXPECT_EQ(layout.dirs[0].source, name.substr(0, 63));
  EXPECT_FALSE(std::filesystem::exists(name.substr(0, 63)));
}

TEST_F(CodTest, TextFieldsAreCutToTheirFields) {
  Directory d;
  d.setVersion(std::string(30, 'v'));
  d.setNotice(std::string(70, 'o'));
  d.setProcessor("abcdefghij");
  d.setDate("08Dec2026");
  EXPECT_EQ(d.version(), std::string(19, 'v'));
  EXPECT_EQ(d.notice(), std::string(63, 'o'));
  EXPECT_EQ(d.processor(), "abcdefgh");
  EXPECT_EQ(d.date(), "08Dec20");
  // Shorter text later leaves nothing of the longer one behind.
  d.setProcessor("ab");
  uint8_t block[512];
  d.encode(block);
  EXPECT_EQ(block[453], 2);
  for (int k = 456; k < 462; ++k) EXPECT_EQ(block[k], 0) << k;
}

// ------------------------------------------------------------ reader

void expectSameCod(const Cod& a, const Cod& b) {
  ASSERT_EQ(a.cDirectory.size(), b.cDirectory.size());
  for (size_t i = 0; i < a.cDirectory.size(); ++i) {
    uint8_t x[512], y[512];
    a.cDirectory[i].encode(x);
    b.cDirectory[i].encode(y);
    EXPECT_EQ(std::string(x, x + 512), std::string(y, y + 512)) << "directory " << i;
  }
  auto encodeAll = [](const auto& list) {
    std::string s;
    for (const auto& r : list) {
      uint8_t buf[300] = {};
      r.encode(buf);
      s.append(reinterpret_cast<const char*>(buf), sizeof buf);
    }
    return s;
  };
  EXPECT_EQ(encodeAll(a.cSymbolList), encodeAll(b.cSymbolList));
  EXPECT_EQ(encodeAll(a.cSourceNameList), encodeAll(b.cSourceNameList));
  EXPECT_EQ(encodeAll(a.cLongSymbolList), encodeAll(b.cLongSymbolList));
  EXPECT_EQ(encodeAll(a.cDebugMsgList), encodeAll(b.cDebugMsgList));
  ASSERT_EQ(a.cLineInfoTable.size(), b.cLineInfoTable.size());
  for (size_t i = 0; i < a.cLineInfoTable.size(); ++i) {
    EXPECT_EQ(encodeAll(a.cLineInfoTable[i]), encodeAll(b.cLineInfoTable[i]));
    EXPECT_EQ(encodeAll(a.cMemoryMapList[i]), encodeAll(b.cMemoryMapList[i]));
    ASSERT_EQ(a.cRawDataMap[i].size(), b.cRawDataMap[i].size());
    for (const auto& entry : a.cRawDataMap[i]) {
      auto it = b.cRawDataMap[i].find(entry.first);
      ASSERT_NE(it, b.cRawDataMap[i].end());
      EXPECT_EQ(std::string(entry.second.Data, entry.second.Data + 512),
                std::string(it->second.Data, it->second.Data + 512));
    }
  }
  ASSERT_EQ(a.cLocalGroupList.size(), b.cLocalGroupList.size());
  auto g = b.cLocalGroupList.begin();
  for (const LocalGroup& ga : a.cLocalGroupList) {
    EXPECT_EQ(ga.StartAddr, g->StartAddr);
    EXPECT_EQ(ga.EndAddr, g->EndAddr);
    EXPECT_EQ(encodeAll(ga.SymbolList), encodeAll(g->SymbolList));
    ++g;
  }
}

TEST_F(CodTest, ReaderGivesBackWhatWasWritten) {
  auto cod = richCod();
  writeCod(*cod);
  std::unique_ptr<Cod> back = Cod::make("prog.cod");
  ASSERT_NE(back, nullptr);
  expectSameCod(*cod, *back);

  // And what it read writes the same bytes again.
  const std::string original = readFile("prog.cod");
  back->setOutputName("again.cod");
  back->cDirectory[0].setSource("prog.cod");
  ASSERT_TRUE(back->preWrite());
  ASSERT_TRUE(back->write());
  EXPECT_EQ(readFile("again.cod"), original);
}

// Two windows and one record of every kind; long symbols and debug
// messages two to a block.
std::string readerBase() {
  auto cod = newCod(2, "base.cod");
  cod->codeBlock(0, 0).Data[0] = 1;                          // block 2
  cod->codeBlock(1, 0).Data[0] = 2;                          // block 3
  cod->appendSymbol("sym", codTypeAddress, 1);               // block 4
  cod->appendSourceName("a.asm");                            // block 5
  cod->cLineInfoTable[1].push_back(LineInfo(0, 0x80, 1, 0));  // block 6
  addGroup(*cod, 1);                                         // block 7
  cod->cMemoryMapList[1].push_back(MemoryMap(0, 1));         // block 8
  addLongs(*cod, {255, 240});                                // block 9
  addMessages(*cod, {255, 240});                             // block 10
  return writeCod(*cod);
}

TEST_F(CodTest, ReaderRefusesMalformedFiles) {
  const std::string base = readerBase();
  ASSERT_EQ(base.size(), 11u * 512u);
  {
    writeFile("good.cod", base);
    ASSERT_NE(Cod::make("good.cod"), nullptr);
  }
  const std::string table = "Error - Cod file 'bad.cod' does not have a proper ";
  struct Case {
    const char* what;
    std::function<void(std::string&)> spoil;
    std::string message;
  };
  const Case cases[] = {
      {"empty file", [](std::string& f) { f.clear(); },
       "Error - Cod file 'bad.cod' does not have a properly formed first directory.\n"},
      {"short first directory", [](std::string& f) { f.resize(511); },
       "Error - Cod file 'bad.cod' does not have a properly formed first directory.\n"},
      {"NextDir past the end", [](std::string& f) { putU16At(f, 441, 20); },
       "Error - Cod file 'bad.cod' does not have a properly formed linked directory.\n"},
      {"NextDir to itself", [](std::string& f) { putU16At(f, 512 + 441, 1); },
       "Error - Cod file 'bad.cod' does not have a properly formed linked directory.\n"},
      {"NextDir at the highest block number", [](std::string& f) { putU16At(f, 512 + 441, 65535); },
       "Error - Cod file 'bad.cod' does not have a properly formed linked directory.\n"},
      {"symbol table past the end",
       [](std::string& f) {
         putU16At(f, 426, 30);
         putU16At(f, 428, 30);
       },
       table + "symbol table.\n"},
      {"symbol table ends before it starts", [](std::string& f) { putU16At(f, 428, 3); },
       table + "symbol table.\n"},
      {"name table past the end", [](std::string& f) { putU16At(f, 432, 40); },
       table + "name table.\n"},
      {"name table on the symbol block",
       [](std::string& f) {
         putU16At(f, 430, 4);
         putU16At(f, 432, 4);
       },
       table + "name table.\n"},
      {"line table of window 1 past the end",
       [](std::string& f) {
         putU16At(f, 512 + 434, 50);
         putU16At(f, 512 + 436, 50);
       },
       table + "line info table.\n"},
      {"memory map of window 1 past the end",
       [](std::string& f) {
         putU16At(f, 512 + 443, 60);
         putU16At(f, 512 + 445, 60);
       },
       table + "memory map table.\n"},
      {"long symbol running past its block",
       [](std::string& f) { f[9 * 512 + 262] = static_cast<char>(250); },
       table + "long symbol table.\n"},
      {"local symbol before any group",
       [](std::string& f) { f[7 * 512] = 3; },
       table + "local vars table.\n"},
      {"debug message running past its block",
       [](std::string& f) { f[10 * 512 + 261 + 5] = static_cast<char>(250); },
       table + "debug message table.\n"},
      {"truncated last block", [](std::string& f) { f.resize(f.size() - 100); },
       table + "debug message table.\n"},
      {"Index past the end", [](std::string& f) { putU16At(f, 512 + 6, 70); },
       table + "Index.\n"},
      {"Index on a directory", [](std::string& f) { putU16At(f, 512 + 6, 1); },
       table + "Index.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    resetDiagnostics();
    std::string file = base;
    c.spoil(file);
    writeFile("bad.cod", file);
    OutputCapture out;
    EXPECT_EQ(Cod::make("bad.cod"), nullptr);
    EXPECT_EQ(out.text(), c.message);
    EXPECT_EQ(getErrorCount(), 1);
  }
}

TEST_F(CodTest, ReaderReportsAMissingFile) {
  OutputCapture out;
  EXPECT_EQ(Cod::make("missing.cod"), nullptr);
  EXPECT_EQ(out.text(), "Error - Could not open Cod file 'missing.cod' for reading.\n");
}

TEST_F(CodTest, ReaderSkipsEmptySlots) {
  auto cod = newCod(1);
  cod->appendSymbol("a", codTypeAddress, 1);
  cod->cLineInfoTable[0].push_back(LineInfo(0, 0x80, 0, 0));  // counts as empty: flags alone
  cod->cLineInfoTable[0].push_back(LineInfo(0, 0, 0, 4));
  cod->cMemoryMapList[0].push_back(MemoryMap(0, 0));
  cod->cMemoryMapList[0].push_back(MemoryMap(0, 1));
  writeCod(*cod);
  std::unique_ptr<Cod> back = Cod::make("prog.cod");
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->cSymbolList.size(), 1u);
  ASSERT_EQ(back->cLineInfoTable[0].size(), 1u);
  EXPECT_EQ(back->cLineInfoTable[0].front().CodeAddress, 4);
  ASSERT_EQ(back->cMemoryMapList[0].size(), 1u);
  EXPECT_EQ(back->cMemoryMapList[0].front().Last, 1);
}

// ------------------------------------------------------------ write failures

TEST_F(CodTest, AnUnopenableFileIsReported) {
  auto cod = newCod(1, "no-such-dir/prog.cod");
  ASSERT_TRUE(cod->preWrite());
  OutputCapture out;
  EXPECT_FALSE(cod->write());
  EXPECT_EQ(out.text(), "Error - Could not open Cod file 'no-such-dir/prog.cod' for writing.\n");
  EXPECT_EQ(getErrorCount(), 1);
}

TEST_F(CodTest, EveryWriteAndTheCloseAreChecked) {
  {
    FILE* probe = std::fopen("/dev/full", "wb");
    if (!probe) GTEST_SKIP() << "no /dev/full";
    std::fclose(probe);
  }
  struct Case {
    size_t directories;
    std::string message;
  } cases[] = {
      // A device is written in place once the file is whole: however
      // large, the failure comes there.
      {1, "Error - Could not write Cod file '/dev/full'.\n"},
      {20, "Error - Could not write Cod file '/dev/full'.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directories);
    resetDiagnostics();
    auto cod = newCod(c.directories, "/dev/full");
    ASSERT_TRUE(cod->preWrite());
    OutputCapture out;
    EXPECT_FALSE(cod->write());
    EXPECT_EQ(out.text(), c.message);
    EXPECT_EQ(getErrorCount(), 1);
  }

  // A block list on an unbuffered stream fails at its first block.
  resetDiagnostics();
  FILE* file = std::fopen("/dev/full", "wb");
  ASSERT_NE(file, nullptr);
  std::setvbuf(file, nullptr, _IONBF, 0);
  OutputCapture out;
  EXPECT_FALSE(Cod::writeBlockList(file, "full.cod", BlockList(2), "line info"));
  std::fclose(file);
  EXPECT_EQ(out.text(), "Error - Could not write line info block in Cod file 'full.cod'.\n");
  EXPECT_EQ(getErrorCount(), 1);
}

TEST_F(CodTest, MisuseEndsInAnAssertionAndNothingIsWritten) {
  ExitRecorder exits;
  OutputCapture out;
  {
    auto cod = newCod(1);
    EXPECT_FALSE(cod->write());  // not numbered
    EXPECT_EQ(ExitRecorder::count(), 1);
    EXPECT_EQ(ExitRecorder::lastStatus(), 255);
  }
  {
    auto cod = newCod(1);
    cod->cDirectory.emplace_back();  // without its window tables
    EXPECT_FALSE(cod->preWrite());
    EXPECT_FALSE(cod->write());
    EXPECT_EQ(ExitRecorder::count(), 2);
  }
  EXPECT_FALSE(std::filesystem::exists("prog.cod"));
  EXPECT_NE(out.text().find("Assertion Failed!"), std::string::npos);
}

// ------------------------------------------------------------ records

TEST_F(CodTest, RecordOrderAndEquality) {
  EXPECT_TRUE(LineInfo(0, 0, 9, 0) < LineInfo(1, 0, 1, 0));  // file first
  EXPECT_TRUE(LineInfo(1, 0, 1, 0) < LineInfo(1, 0, 2, 0));  // then line
  EXPECT_TRUE(LineInfo(1, 0x80, 3, 10) == LineInfo(1, 0, 3, 99));  // flags and address play no part
  EXPECT_FALSE(LineInfo(1, 0, 3, 0) == LineInfo(2, 0, 3, 0));
  EXPECT_TRUE(MemoryMap(1, 100) < MemoryMap(2, 0));
  EXPECT_TRUE(Symbol("abc", 46, 9) == Symbol("abc", 47, 1));
  EXPECT_TRUE(Symbol("abc", 47, 9) < Symbol("abd", 46, 1));
  EXPECT_TRUE(LongSymbol("b", 46, 0) < LongSymbol("c", 46, 0));
  EXPECT_TRUE(LocalGroup(1, 99) < LocalGroup(2, 0));
  EXPECT_TRUE(DebugMsg(1, 'z', "z") < DebugMsg(2, 'a', "a"));
}

TEST_F(CodTest, BigEndianFieldsOfLongSymbolsAndDebugMessages) {
  uint8_t buf[32] = {};
  LongSymbol("ab", 46, 0x1234).encode(buf);
  EXPECT_EQ(std::string(buf, buf + 9), bytes({2, 'a', 'b', 0x2E, 0, 0, 0, 0x12, 0x34}));
  DebugMsg(0x01020304, 'x', "hi").encode(buf);
  EXPECT_EQ(std::string(buf, buf + 8), bytes({1, 2, 3, 4, 'x', 2, 'h', 'i'}));
}

// ------------------------------------------------------------ dumps

TEST_F(CodTest, SymbolDumpsNameTheirType) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {{0, ", a_reg"}, {46, ", address"}, {47, ", constant"}, {151, ", bit_7"},
               {152, ", <bad type>"}, {255, ", <bad type>"}};
  for (const Case& c : cases) {
    std::ostringstream s;
    Symbol("x", static_cast<uint8_t>(c.code), 0x10).dump(s);
    EXPECT_EQ(s.str(), "Symbol: NameLen=1, Name=x, SymbolType=" + std::to_string(c.code) + c.text +
                           ", SymbolValue=0x0010\n");
  }
  std::ostringstream s;
  LongSymbol("neg", -1, 0x1234).dump(s);
  EXPECT_EQ(s.str(), "LongSymbol: NameLen=3, Name=neg, Type=-1, <bad type>, Value=0x00001234\n");
}

TEST_F(CodTest, PrintShowsEveryTableUnderItsLabel) {
  auto cod = newCod(1);
  cod->codeBlock(0, 1).Data[1] = 0xAB;
  cod->appendSymbol("main", codTypeAddress, 0x10);
  cod->appendSourceName("prog.asm");
  cod->cLineInfoTable[0].push_back(LineInfo(0, 0x80, 5, 0x10));
  cod->cMemoryMapList[0].push_back(MemoryMap(0x200, 0x3FF));
  cod->appendLongSymbol("main", codTypeAddress, 0x1234);
  addGroup(*cod, 1);
  cod->cDebugMsgList.push_back(DebugMsg(0x20, 'a', "hello"));
  ASSERT_TRUE(cod->preWrite());
  std::ostringstream s;
  cod->print(s);
  const std::string text = s.str();
  for (const char* piece : {
           "Directory[0]\nDirectory: \n   Index[0]=0\n   Index[1]=1\n   Index[2]=0\n",
           "   Index[127]=0\n   SourceLen=8\n   Source=prog.cod\n   DateLen=7\n   Date=08Dec26\n"
           "   Time=905\n   VersionLen=0\n",
           "   SymTab=2\n   SymEnd=2\n   NamTab=3\n   NamEnd=3\n   LineTab=4\n   LineEnd=4\n"
           "   AddrSize=0\n   HighAddr=0\n   NextDir=0\n   MemMapOfs=6\n   MemMapEnd=6\n"
           "   LocalVars=5\n   LocalEnd=5\n   CodType=1\n   ProcessorLen=0\n   Processor=\n"
           "   LSymTab=7\n   LSymEnd=7\n   MessTab=8\n   MessEnd=8\n   Spare=0x00 0x00",
           "Symbol: NameLen=4, Name=main, SymbolType=46, address, SymbolValue=0x0010\n",
           "SourceName: FileNameLen=8, FileName=prog.asm\n",
           "LineInfoTable[0]\nLineInfo: FileNum=0, Flags=0x80, Line=5, CodeAddress=0x0010\n",
           "MemoryMapList[0]\nMemoryMap: Start=0x0200, Last=0x03ff\n",
           "LongSymbol: NameLen=4, Name=main, Type=46, address, Value=0x00001234\n",
           "LocalGroup----{ StartAddr=0x00000020, EndAddr=0x00000040\n"
           "Symbol: NameLen=2, Name=l0, SymbolType=46, address, SymbolValue=0x0001\n"
           "}----LocalGroup\n",
           "DebugMsg: Address=0x00000020, Type=a, MsgLen=5, Msg=hello\n",
           "RawDataMap[0]\nCode Index=1\nBlock: --sizeof(Block)=512\n   0000: 00 ab 00",
           "   01f0: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n",
       })
    EXPECT_NE(text.find(piece), std::string::npos) << piece;
}

TEST_F(CodTest, NumberingTraceBehindItsSwitch) {
  auto cod = richCod();
  DebugSwitch("Cod::preWrite", 1);
  {
    OutputCapture out;
    ASSERT_TRUE(cod->preWrite());
    EXPECT_EQ(out.text(),
              "Cod::preWrite()- dump of block mappings:\n"
              "  numDirectoryBlock=2\n"
              "  numRawDataBlock=3\n"
              "  numSymbolBlock=2\n"
              "  numSourceNameBlock=2\n"
              "  numLineInfoBlock=3\n"
              "  numLocalGroupBlock=2\n"
              "  numMemMapBlock=3\n"
              "  numLongBlock=9\n"
              "  numDebugBlock=2\n");
  }
  DebugSwitch("Cod::preWrite", 0);
  OutputCapture quiet;
  ASSERT_TRUE(cod->preWrite());
  EXPECT_EQ(quiet.text(), "");
}

}  // namespace

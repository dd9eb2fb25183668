#include "archive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "fixtures/coff_builder.h"
#include "support/harness.h"

using namespace testing_support;
using fixtures::Bytes;
using fixtures::CoffBuilder;

namespace {

const char kMagic[] = "!<arch>\n";

// A small object defining one external name in a code section.
CoffBuilder object(const String& name, const String& symbol, uint32_t time = 0) {
  CoffBuilder b(name);
  b.processor(0x2a, 16, 8);
  b.timeStamp(time);
  b.section(".code", scnCode, 0x10, {0x01, 0x02, 0x03, 0x04});
  b.file("source.asm");
  if (!symbol.empty()) b.externDef(symbol, 1, 0x10);
  b.externRef("elsewhere");
  b.relocation(".code", 0x10, 0, 1);
  return b;
}

Bytes header(const String& name, uint32_t date, uint32_t size) {
  Bytes h(libformat::kHeaderSize);
  EXPECT_EQ(libformat::encodeMemberHeader(name, date, size, h.data()), 1);
  return h;
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

Bytes magicBytes() { return Bytes(kMagic, kMagic + 8); }

// magic + (header + image) for each member, sizes as the images are.
Bytes library(const std::vector<std::pair<String, Bytes>>& members) {
  Bytes out = magicBytes();
  for (const auto& m : members) {
    append(out, header(m.first, 0, static_cast<uint32_t>(m.second.size())));
    append(out, m.second);
  }
  return out;
}

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

class ArchiveFiles : public ::testing::Test {
 protected:
  void SetUp() override { cDir = makeTempDir("archive"); }
  void TearDown() override { std::filesystem::remove_all(cDir); }
  String path(const String& name) const { return cDir + "/" + name; }
  std::vector<String> entries() const { return testing_support::directoryEntries(cDir); }
  String cDir;
};

// ---------------------------------------------------------------------------
// Member header codec

TEST(LibraryHeader, FieldsByteByByte) {
  Bytes h = header("a.o", 0, 40);
  ASSERT_EQ(h.size(), 280u);
  EXPECT_EQ(str(Bytes(h.begin(), h.begin() + 4)), "a.o/");
  for (size_t i = 4; i < 256; ++i) EXPECT_EQ(h[i], ' ') << i;
  EXPECT_EQ(h[256], '0');
  for (size_t i = 257; i < 268; ++i) EXPECT_EQ(h[i], 0) << i;
  EXPECT_EQ(h[268], '4');
  EXPECT_EQ(h[269], '0');
  for (size_t i = 270; i < 278; ++i) EXPECT_EQ(h[i], 0) << i;
  EXPECT_EQ(h[278], '`');
  EXPECT_EQ(h[279], '\n');

  Bytes t = header("x.o", 4294967295u, 999999999u);
  EXPECT_EQ(str(Bytes(t.begin() + 256, t.begin() + 268)), std::string("4294967295\0\0", 12));
  EXPECT_EQ(str(Bytes(t.begin() + 268, t.begin() + 278)), std::string("999999999\0", 10));
}

TEST(LibraryHeader, LongNameIsCutTo255) {
  String name(300, 'n');
  Bytes h = header(name, 1, 1);
  EXPECT_EQ(str(Bytes(h.begin(), h.begin() + 255)), String(255, 'n'));
  EXPECT_EQ(h[255], '/');
  EXPECT_EQ(libformat::decodeMemberName(h.data()), String(255, 'n'));
}

TEST(LibraryHeader, SizeMustFitNineDigits) {
  Bytes h(280, 0xAB);
  EXPECT_EQ(libformat::encodeMemberHeader("a.o", 0, 1000000000u, h.data()), 0);
  EXPECT_EQ(h, Bytes(280, 0xAB));  // untouched, nothing spills into ar_fmag
}

TEST(LibraryHeader, DecodeNames) {
  struct Case {
    std::string field;
    String name;
  } cases[] = {
      {"a.o/", "a.o"},
      {"sub/a.o/", "sub/a.o"},
      {"x/y/z.o/", "x/y/z.o"},
      {"dir\\b.o/", "dir\\b.o"},
      {"/", ""},
      {std::string("abc\0/", 5), "abc"},
      {std::string("a/b\0", 4), "a"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes field(256, ' ');
    std::memcpy(field.data(), c.field.data(), c.field.size());
    if (c.field.empty()) field.assign(256, 0);
    EXPECT_EQ(libformat::decodeMemberName(field.data()), c.name);
  }
  // Neither '/' nor a zero byte: the whole field.
  Bytes whole(256, 'w');
  EXPECT_EQ(libformat::decodeMemberName(whole.data()), String(256, 'w'));
}

TEST(LibraryHeader, DecodeDecimalFields) {
  struct Case {
    std::string field;
    int valid;
    uint64_t value;
  } cases[] = {
      {std::string("40\0\0\0\0\0\0\0\0", 10), 1, 40},
      {"40        ", 1, 40},
      {"9999999999", 1, 9999999999ull},
      {std::string("0\0\0\0\0\0\0\0\0\0", 10), 1, 0},
      {"          ", 0, 0},
      {std::string(10, '\0'), 0, 0},
      {"4x        ", 0, 0},
      {"-4        ", 0, 0},
      {" 4        ", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    uint64_t value = 77;
    EXPECT_EQ(libformat::decodeDecimalField(reinterpret_cast<const unsigned char*>(c.field.data()),
                                            10, value),
              c.valid);
    EXPECT_EQ(value, c.valid ? c.value : 77u);
  }
}

// ---------------------------------------------------------------------------
// Reading

TEST_F(ArchiveFiles, CraftedLibraries) {
  const Bytes a = object("a.o", "alpha").bytes();
  const Bytes b = object("b.o", "beta").bytes();
  Bytes damaged = b;
  fixtures::put16(damaged, 0, 0x4321);
  Bytes cutHeader = library({{"a.o", a}});
  const Bytes bHeader = header("b.o", 0, 1);
  append(cutHeader, Bytes(bHeader.begin(), bHeader.begin() + 100));
  Bytes headerOnly = magicBytes();
  append(headerOnly, header("a.o", 0, 0));
  Bytes wrongSize = magicBytes();
  append(wrongSize, header("a.o", 0, static_cast<uint32_t>(a.size() + 1)));
  append(wrongSize, a);
  append(wrongSize, header("b.o", 0, static_cast<uint32_t>(b.size())));
  append(wrongSize, b);
  // A size field that is not decimal is not used.
  Bytes blankSize = library({{"a.o", a}, {"b.o", b}});
  std::memset(blankSize.data() + 8 + 268, ' ', 10);
  // An older-layout member grows when decoded; only its header says where
  // the next member starts.
  fixtures::EmitOptions olderLayout;
  olderLayout.olderLayout = true;
  CoffBuilder oldObject = object("old.o", "omega");
  oldObject.lineNumber(".code", 0, 7, 0x10);
  const Bytes old = oldObject.emit(olderLayout);
  const Bytes olderInside = library({{"a.o", a}, {"old.o", old}, {"b.o", b}});
  Bytes olderBlankSize = olderInside;
  std::memset(olderBlankSize.data() + 8 + 280 + a.size() + 268, ' ', 10);
  Bytes olderTooLong = library({{"a.o", a}, {"old.o", old}});
  const Bytes longHeader = header("old.o", 0, static_cast<uint32_t>(old.size() + 1));
  std::copy(longHeader.begin(), longHeader.end(), olderTooLong.begin() + 8 + 280 + a.size());

  const String lib = "crafted.lib";
  struct Case {
    const char* name;
    Bytes bytes;
    int members;  // -1: rejected
    std::string output;
  } cases[] = {
      {"magic_only", magicBytes(), 0, ""},
      {"empty_file", Bytes(), -1,
       "Error - Could not read archive magic string in library file 'crafted.lib'.\n"},
      {"short_magic", Bytes(kMagic, kMagic + 6), -1,
       "Error - Could not read archive magic string in library file 'crafted.lib'.\n"},
      {"foreign_magic", Bytes(a.begin(), a.end()), -1,
       "Error - File 'crafted.lib' is not a valid library file.\n"},
      {"two_members", library({{"a.o", a}, {"b.o", b}}), 2, ""},
      {"cut_off_header", cutHeader, -1,
       "Error - Library file 'crafted.lib' has a missing member object file.\n"},
      {"header_without_image", headerOnly, -1,
       "Error - Coff file 'a.o' could not read file header.\n"
       "Error - Could not build member 'a.o' in library file 'crafted.lib'. \n"},
      {"damaged_second_member", library({{"a.o", a}, {"b.o", damaged}}), -1,
       "Error - Coff file 'b.o' does not appear to be a valid COFF file.\n"
       "Error - Could not build member 'b.o' in library file 'crafted.lib'. \n"},
      {"disagreeing_size", wrongSize, -1,
       "Error - Library file 'crafted.lib' member 'a.o' is " + std::to_string(a.size() + 1) +
           " bytes long by its header but " + std::to_string(a.size()) +
           " bytes by its contents.\n"},
      {"blank_size", blankSize, 2, ""},
      {"older_layout_member", olderInside, 3,
       "Error - Coff file 'old.o' missing optional file header.\n"},
      {"older_layout_member_without_size", olderBlankSize, -1,
       "Error - Coff file 'old.o' missing optional file header.\n"
       "Error - Library file 'crafted.lib' member 'old.o' is in the older object layout and its "
       "header gives no length within the file.\n"},
      {"older_layout_member_longer_than_the_file", olderTooLong, -1,
       "Error - Coff file 'old.o' missing optional file header.\n"
       "Error - Library file 'crafted.lib' member 'old.o' is in the older object layout and its "
       "header gives no length within the file.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fixtures::writeBytes(path(lib), c.bytes);
    DiagnosticsScope scope;
    OutputCapture out;
    std::unique_ptr<Archive> archive = Archive::make(path(lib));
    // Messages name the library as it was given.
    std::string expected = c.output;
    for (size_t at; (at = expected.find("'crafted.lib'")) != std::string::npos;)
      expected.replace(at, 13, "'" + path(lib) + "'");
    EXPECT_EQ(out.text(), expected);
    if (c.members < 0) {
      EXPECT_EQ(archive, nullptr);
      EXPECT_GT(getErrorCount(), 0);
    } else {
      ASSERT_NE(archive, nullptr);
      EXPECT_EQ(archive->cMembers.size(), static_cast<size_t>(c.members));
      EXPECT_EQ(archive->cFileName, path(lib));
    }
  }
}

// A library cut inside a member header is damaged; the members before the
// cut are still there for a caller that asks for them.
TEST_F(ArchiveFiles, LibraryCutInsideAMemberHeaderKeepsTheMembersBefore) {
  const Bytes a = object("a.o", "alpha").bytes();
  const Bytes full = library({{"a.o", a}});
  for (std::size_t kept : {std::size_t(1), std::size_t(100), libformat::kHeaderSize - 1}) {
    SCOPED_TRACE(kept);
    Bytes cut = full;
    const Bytes next = header("b.o", 0, 1);
    append(cut, Bytes(next.begin(), next.begin() + static_cast<long>(kept)));
    fixtures::writeBytes(path("cut.lib"), cut);
    DiagnosticsScope scope;
    OutputCapture out;
    bool whole = true;
    const std::unique_ptr<Archive> left = Archive::make(path("cut.lib"), whole);
    EXPECT_FALSE(whole);
    ASSERT_NE(left, nullptr);
    ASSERT_EQ(left->cMembers.size(), 1u);
    EXPECT_EQ(left->cMembers.front()->cFileName, "a.o");
    EXPECT_EQ(out.text(),
              "Error - Library file '" + path("cut.lib") + "' has a missing member object file.\n");
  }
  fixtures::writeBytes(path("whole.lib"), full);
  DiagnosticsScope scope;
  bool whole = false;
  EXPECT_NE(Archive::make(path("whole.lib"), whole), nullptr);
  EXPECT_TRUE(whole);
}

TEST_F(ArchiveFiles, MissingFileIsReported) {
  DiagnosticsScope scope;
  OutputCapture out;
  EXPECT_EQ(Archive::make(path("none.lib")), nullptr);
  EXPECT_EQ(out.text(),
            "Error - Could not open library file '" + path("none.lib") + "' for reading.\n");
}

TEST_F(ArchiveFiles, MemberWithDuplicateSectionNamesIsRefused) {
  CoffBuilder d("d.o");
  d.section(".same", scnCode, 0, {1, 2});
  d.section(".same", scnIData, 0, {3, 4});
  Bytes image = d.emit(fixtures::EmitOptions());
  Bytes bytes = library({{"d.o", image}});
  std::memset(bytes.data() + 8 + 268, ' ', 10);
  fixtures::writeBytes(path("dup.lib"), bytes);
  DiagnosticsScope scope;
  OutputCapture out;
  EXPECT_EQ(Archive::make(path("dup.lib")), nullptr);
  EXPECT_EQ(out.text(), "Error - Member 'd.o' in library file '" + path("dup.lib") +
                            "' has more than one section named '.same'.\n");
}

// Zero fill holds no bytes: members that each declare as much uninitialised
// data as one image may have read back together, however many they are,
// and the library keeps none of it in memory.
TEST_F(ArchiveFiles, MembersOfUninitialisedDataHoldNoBytes) {
  std::vector<std::pair<String, Bytes>> members;
  for (int i = 0; i < 17; ++i) {
    CoffBuilder m("m" + std::to_string(i) + ".o");
    m.udata(".vars", 16u << 20);
    members.push_back({"m" + std::to_string(i) + ".o", m.bytes()});
  }
  fixtures::writeBytes(path("many.lib"), library(members));
  DiagnosticsScope scope;
  OutputCapture out;
  const std::unique_ptr<Archive> many = Archive::make(path("many.lib"));
  ASSERT_NE(many, nullptr);
  EXPECT_EQ(many->cMembers.size(), 17u);
  EXPECT_EQ(out.text(), "");
  for (const auto& member : many->cMembers) {
    const Data& vars = member->cRawData.at(".vars");
    EXPECT_EQ(vars.size(), 16u << 20);
    EXPECT_EQ(vars.heldSize(), 0u);
  }
}

// ---------------------------------------------------------------------------
// Symbol index

TEST_F(ArchiveFiles, DuplicateDefinitionsKeepTheFirstAndTheLibrary) {
  const Bytes a = object("a.o", "shared").bytes();
  const Bytes b = object("b.o", "shared").bytes();
  const Bytes c = object("c.o", "shared").bytes();
  fixtures::writeBytes(path("dup.lib"), library({{"a.o", a}, {"b.o", b}, {"c.o", c}}));
  DiagnosticsScope scope;
  OutputCapture out;
  std::unique_ptr<Archive> archive = Archive::make(path("dup.lib"));
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(out.text(),
            "Error - Symbol 'shared' has multiple external definitions.\n"
            "Error - Symbol 'shared' has multiple external definitions.\n");
  EXPECT_EQ(archive->cMembers.size(), 3u);
  ASSERT_EQ(archive->symbols().count("shared"), 1u);
  EXPECT_EQ(archive->symbols().at("shared")->cFileName, "a.o");
  EXPECT_EQ(archive->makeSymbols(), 0);
}

TEST(ArchiveSymbols, IndexHoldsExactlyTheExternalDefinitions) {
  CoffBuilder b("m.o");
  b.section(".code", scnCode, 0, {1, 2, 3, 4});
  b.function("a_function_name", 1, 0);  // long name, with an aux_fcn
  b.externRef("referenced");
  b.label("local", 1, 2);
  b.symbol("static_one", 0, 1, kClassStatic);
  // A function whose auxiliary entry looks like an external definition:
  // only the pairing by kind tells it is no symbol.
  SymRecord fake{};
  std::memcpy(fake.data(), "fake", 4);
  fake[12] = 1;  // n_scnum 1
  fake[16] = kClassExternal;
  b.symbolWithAux(b.makeSymbol("fn2", 0, 1, kClassExternal, kTypeFunction), fake);
  b.externDef("last", 1, 3);  // the table's last record

  Archive archive;
  archive.cMembers.push_back(fixtures::readImage(b.bytes(), "m.o"));
  Archive empty;
  empty.cMembers.push_back(fixtures::readImage(CoffBuilder("e.o").bytes(), "e.o"));
  ASSERT_NE(archive.cMembers.front(), nullptr);
  EXPECT_EQ(archive.makeSymbols(), 1);
  std::vector<String> names;
  for (const auto& entry : archive.symbols()) names.push_back(entry.first);
  EXPECT_EQ(names, (std::vector<String>{"a_function_name", "fn2", "last"}));
  EXPECT_EQ(empty.makeSymbols(), 1);
  EXPECT_TRUE(empty.symbols().empty());
}

TEST(ArchiveSymbols, GetMemberHandsOutAnIndependentCopy) {
  CoffBuilder a = object("a.o", "alpha");
  Archive archive;
  archive.cMembers.push_back(fixtures::readImage(a.bytes(), "a.o"));
  archive.cMembers.push_back(fixtures::readImage(object("b.o", "beta").bytes(), "b.o"));
  ASSERT_EQ(archive.makeSymbols(), 1);
  EXPECT_EQ(archive.hasSymbol("alpha"), 1);
  EXPECT_EQ(archive.hasSymbol("elsewhere"), 0);
  EXPECT_EQ(archive.getMember("elsewhere"), nullptr);

  std::unique_ptr<Coff> copy = archive.getMember("beta");
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->cFileName, "b.o");
  fixtures::expectSameCoff(*copy, *archive.cMembers.back(), true);
  copy->cRawData[".code"] = Data(1);
  EXPECT_EQ(archive.cMembers.back()->cRawData[".code"].size(), 4u);
}

TEST(ArchiveSymbols, TakeMemberHandsOutTheMemberItselfOnce) {
  Archive archive;
  archive.cMembers.push_back(fixtures::readImage(object("a.o", "alpha").bytes(), "a.o"));
  archive.cMembers.push_back(fixtures::readImage(object("b.o", "beta").bytes(), "b.o"));
  ASSERT_EQ(archive.makeSymbols(), 1);
  const std::unique_ptr<Coff> expected = archive.getMember("beta");
  EXPECT_EQ(archive.takeMember("elsewhere"), nullptr);

  std::unique_ptr<Coff> taken = archive.takeMember("beta");
  ASSERT_NE(taken, nullptr);
  fixtures::expectSameCoff(*taken, *expected, true);
  // Taken once only; the index still knows the name, and the other member
  // is untouched.
  EXPECT_EQ(archive.takeMember("beta"), nullptr);
  EXPECT_EQ(archive.hasSymbol("beta"), 1);
  std::unique_ptr<Coff> alpha = archive.takeMember("alpha");
  ASSERT_NE(alpha, nullptr);
  EXPECT_EQ(alpha->cFileName, "a.o");
}

TEST(ArchiveSymbols, ReleasedMembersAreEmptyAndCannotBeTaken) {
  Archive archive;
  archive.cMembers.push_back(fixtures::readImage(object("a.o", "alpha").bytes(), "a.o"));
  ASSERT_EQ(archive.makeSymbols(), 1);
  archive.releaseMembers();
  EXPECT_EQ(archive.hasSymbol("alpha"), 1);
  EXPECT_EQ(archive.takeMember("alpha"), nullptr);
  EXPECT_TRUE(archive.cMembers.front()->cSymbolTbl.empty());
  EXPECT_TRUE(archive.cMembers.front()->cStringTbl.empty());
}

TEST(ArchiveSymbols, PrintListsIndexAndMembers) {
  Archive archive;
  archive.cMembers.push_back(fixtures::readImage(object("a.o", "alpha").bytes(), "a.o"));
  archive.makeSymbols();
  std::ostringstream os;
  archive.print(os);
  const std::string head =
      "Archive: \n  Symbols: \n    'alpha' -> a.o\n\n  Members: \n    Member[0] = CoffFile: ";
  EXPECT_EQ(os.str().substr(0, head.size()), head);
}

// ---------------------------------------------------------------------------
// Writing

TEST_F(ArchiveFiles, GoldenBytesOfAWrittenLibrary) {
  const Bytes a = object("a.o", "alpha", 1000).bytes();
  const Bytes b = object("b.o", "beta", 0).bytes();
  Archive archive;
  archive.cFileName = path("gold.lib");
  archive.cMembers.push_back(fixtures::readImage(a, "a.o"));
  archive.cMembers.push_back(fixtures::readImage(b, "sub/b.o"));
  ASSERT_EQ(archive.makeSymbols(), 1);
  DiagnosticsScope scope;
  ASSERT_EQ(archive.write(), 1);

  const Bytes file = fixtures::readBytes(path("gold.lib"));
  EXPECT_NE(Archive::make(path("gold.lib")), nullptr);  // reads back
  ASSERT_EQ(file.size(), 8 + 280 + a.size() + 280 + b.size());
  EXPECT_EQ(str(Bytes(file.begin(), file.begin() + 8)), "!<arch>\n");
  size_t h1 = 8;
  EXPECT_EQ(str(Bytes(file.begin() + h1, file.begin() + h1 + 280)),
            str(header("a.o", 1000, static_cast<uint32_t>(a.size()))));
  EXPECT_EQ(str(Bytes(file.begin() + h1, file.begin() + h1 + 4)), "a.o/");
  EXPECT_EQ(str(Bytes(file.begin() + h1 + 256, file.begin() + h1 + 268)),
            std::string("1000\0\0\0\0\0\0\0\0", 12));
  EXPECT_EQ(Bytes(file.begin() + h1 + 280, file.begin() + h1 + 280 + a.size()), a);
  size_t h2 = h1 + 280 + a.size();
  EXPECT_EQ(str(Bytes(file.begin() + h2, file.begin() + h2 + 8)), "sub/b.o/");
  // f_timdat 0: "0" and eleven zero bytes.
  EXPECT_EQ(str(Bytes(file.begin() + h2 + 256, file.begin() + h2 + 268)),
            std::string("0\0\0\0\0\0\0\0\0\0\0\0", 12));
  EXPECT_EQ(str(Bytes(file.begin() + h2 + 268, file.begin() + h2 + 278)),
            std::to_string(b.size()) + std::string(10 - std::to_string(b.size()).size(), '\0'));
  EXPECT_EQ(str(Bytes(file.begin() + h2 + 278, file.begin() + h2 + 280)), "`\n");
  EXPECT_EQ(Bytes(file.begin() + h2 + 280, file.end()), b);
  EXPECT_EQ(entries(), std::vector<String>{"gold.lib"});
}

TEST_F(ArchiveFiles, NamesSurviveARoundTrip) {
  const std::vector<String> names = {"a.o", "sub/b.o", "x/y/c.o", "dir\\d.o", String(255, 'n')};
  Archive archive;
  archive.cFileName = path("names.lib");
  for (const String& n : names)
    archive.cMembers.push_back(fixtures::readImage(CoffBuilder(n).bytes(), n));
  DiagnosticsScope scope;
  ASSERT_EQ(archive.write(), 1);
  std::unique_ptr<Archive> back = Archive::make(path("names.lib"));
  ASSERT_NE(back, nullptr);
  std::vector<String> read;
  for (const auto& m : back->cMembers) read.push_back(m->cFileName);
  EXPECT_EQ(read, names);
}

TEST_F(ArchiveFiles, MembersAreLaidOutAgainBeforeWriting) {
  CoffBuilder b = object("r.o", "alpha", 777);
  b.lineNumber(".code", 0, 5, 0x10);
  fixtures::EmitOptions reordered;
  reordered.order = {fixtures::Block::Symbols, fixtures::Block::LineNumbers,
                     fixtures::Block::Relocations, fixtures::Block::RawData};
  reordered.gap = 3;
  Archive archive;
  archive.cFileName = path("laid.lib");
  archive.cMembers.push_back(fixtures::readImage(b.emit(reordered), "r.o"));
  ASSERT_NE(archive.cMembers.front(), nullptr);
  DiagnosticsScope scope;
  ASSERT_EQ(archive.write(), 1);

  const Bytes file = fixtures::readBytes(path("laid.lib"));
  EXPECT_NE(Archive::make(path("laid.lib")), nullptr);  // reads back
  const Bytes canonical = b.bytes();
  ASSERT_EQ(file.size(), 8 + 280 + canonical.size());
  EXPECT_EQ(Bytes(file.begin() + 288, file.end()), canonical);
  std::unique_ptr<Archive> back = Archive::make(path("laid.lib"));
  ASSERT_NE(back, nullptr);
  fixtures::expectSameCoff(*back->cMembers.front(), b.laidOut());
  EXPECT_EQ(back->cMembers.front()->cFileHdr.f_timdat, 777u);
}

TEST_F(ArchiveFiles, UnwritableMembersAreRefusedBeforeTouchingTheFile) {
  const Bytes before = library({{"a.o", object("a.o", "alpha").bytes()}});
  fixtures::writeBytes(path("keep.lib"), before);

  fixtures::EmitOptions older;
  older.olderLayout = true;
  CoffBuilder oldObject = object("old.o", "beta");
  std::unique_ptr<Coff> oldMember;
  std::unique_ptr<Coff> dupMember(
      new Coff(*fixtures::readImage(CoffBuilder("d.o").bytes(), "d.o")));
  {
    DiagnosticsScope quiet;
    setQuiet(1);
    oldMember = fixtures::readImage(oldObject.emit(older), "old.o");
  }
  ASSERT_NE(oldMember, nullptr);
  dupMember->cScnNum[1] = ".x";
  dupMember->cScnNum[2] = ".x";
  dupMember->cScnHdr[".x"] = scnhdr();

  struct Case {
    std::unique_ptr<Coff>* member;
    std::string message;
  } cases[] = {
      {&oldMember, "has no optional header (older object layout)"},
      {&dupMember, "has more than one section named '.x'"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.message);
    Archive archive;
    archive.cFileName = path("keep.lib");
    archive.cMembers.push_back(std::unique_ptr<Coff>(new Coff(**c.member)));
    DiagnosticsScope scope;
    OutputCapture out;
    EXPECT_EQ(archive.write(), 0);
    EXPECT_EQ(out.text(), "Error - Member '" + (*c.member)->cFileName + "' of library file '" +
                              path("keep.lib") + "' " + c.message +
                              "; the library is not written.\n");
    EXPECT_EQ(fixtures::readBytes(path("keep.lib")), before);
    EXPECT_EQ(entries(), std::vector<String>{"keep.lib"});
  }
}

TEST_F(ArchiveFiles, FailedOpenNamesTheLibraryAndCreatesNothing) {
  Archive archive;
  archive.cFileName = path("no/such/dir/x.lib");
  DiagnosticsScope scope;
  OutputCapture out;
  EXPECT_EQ(archive.write(), 0);
  EXPECT_EQ(out.text(), "Error - Could not open library file '" + path("no/such/dir/x.lib") +
                            "' for writing.\n");
  EXPECT_TRUE(entries().empty());

  // A directory in the library's place is not replaced.
  std::filesystem::create_directory(path("d.lib"));
  archive.cFileName = path("d.lib");
  EXPECT_EQ(archive.write(), 0);
  EXPECT_TRUE(std::filesystem::is_directory(path("d.lib")));
  EXPECT_EQ(entries(), std::vector<String>{"d.lib"});
}

TEST_F(ArchiveFiles, RewriteKeepsModeAndFollowsSymbolicLinks) {
  fixtures::writeBytes(path("real.lib"), magicBytes());
  ASSERT_EQ(chmod(path("real.lib").c_str(), 0640), 0);
  std::filesystem::create_directory(path("links"));
  std::filesystem::create_symlink("../real.lib", path("links/via.lib"));

  Archive archive;
  archive.cFileName = path("links\\via.lib");  // either separator
  archive.cMembers.push_back(fixtures::readImage(object("a.o", "alpha").bytes(), "a.o"));
  DiagnosticsScope scope;
  ASSERT_EQ(archive.write(), 1);

  EXPECT_TRUE(std::filesystem::is_symlink(path("links/via.lib")));
  struct stat st;
  ASSERT_EQ(stat(path("real.lib").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  std::unique_ptr<Archive> back = Archive::make(path("real.lib"));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->cMembers.size(), 1u);
  EXPECT_EQ(entries(), (std::vector<String>{"links", "real.lib"}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(path("links")),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(ArchiveFiles, NewLibraryGetsTheUsualMode) {
  mode_t mask = umask(022);
  Archive archive;
  archive.cFileName = path("new.lib");
  DiagnosticsScope scope;
  EXPECT_EQ(archive.write(), 1);
  umask(mask);
  struct stat st;
  ASSERT_EQ(stat(path("new.lib").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(fixtures::readBytes(path("new.lib")), magicBytes());
}

}  // namespace

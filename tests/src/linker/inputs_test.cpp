#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "link_fixture.h"

using fixtures::CoffBuilder;
using linktest::LinkFixture;
using linktest::Phase;

namespace {

CoffBuilder object(const std::string& name) {
  CoffBuilder b(name);
  b.processor(0xC001);
  return b;
}

std::vector<std::string> inputNames(Linker& l) {
  std::vector<std::string> names;
  for (const auto& coff : LinkerTestAccess::coffs(l)) names.push_back(coff->cFileName);
  return names;
}

TEST(ReadObjectFiles, NoObjectFileIsAnError) {
  LinkFixture f;
  ASSERT_TRUE(f.commands("CODEPAGE NAME=p START=0 END=0xFF\n"));
  EXPECT_FALSE(f.run(Phase::ReadObjectFiles));
  EXPECT_EQ(f.error(), "no input object files specified.");
}

// Where an object file named in FILES is found, and the name it is known
// by from then on.
TEST(ReadObjectFiles, SearchOrder) {
  struct Case {
    const char* what;
    std::vector<std::string> files;  // written, relative to the directory
    std::string commands;
    std::string expectFound;  // the entry afterwards, or empty when it fails
    std::string expectError;
  };
  const std::vector<Case> cases = {
      {"LIBPATH before the current directory", {"lib/a.o", "a.o"},
       "LIBPATH lib\nFILES a.o\n", "lib/a.o", ""},
      {"current directory last", {"a.o"}, "LIBPATH lib\nFILES a.o\n", "./a.o", ""},
      {"second LIBPATH entry", {"two/a.o"}, "LIBPATH one;two\nFILES a.o\n", "two/a.o", ""},
      {"LIBPATH ending in a backslash", {"lib/a.o"}, "LIBPATH lib\\\nFILES a.o\n", "lib\\a.o", ""},
      {"LIBPATH ending in a slash", {"lib/a.o"}, "LIBPATH lib/\nFILES a.o\n", "lib/a.o", ""},
      {"a directory part is used as it stands", {"sub/a.o"}, "FILES sub\\a.o\n", "sub\\a.o", ""},
      {"a missing directory part is not searched for", {"lib/a.o", "a.o"},
       "LIBPATH lib\nFILES gone/a.o\n", "", "could not find file 'gone/a.o'."},
      {"not anywhere", {}, "LIBPATH lib\nFILES a.o\n", "", "could not find file 'a.o'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    for (const std::string& file : c.files) f.object(file, object("x.o"));
    ASSERT_TRUE(f.commands(c.commands)) << f.error();
    const bool ok = f.run(Phase::ReadObjectFiles);
    if (c.expectError.empty()) {
      ASSERT_TRUE(ok) << f.error();
      EXPECT_EQ(f.linker().getObjectFiles().front(), c.expectFound);
      ASSERT_EQ(LinkerTestAccess::coffs(f.linker()).size(), 1u);
      EXPECT_EQ(LinkerTestAccess::coffs(f.linker())[0]->cFileName, c.expectFound);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(f.error(), c.expectError);
    }
  }
}

TEST(ReadObjectFiles, EveryFileIsLocatedBeforeAnyIsRead) {
  LinkFixture f;
  f.object("a.o", object("a.o"));
  // Two missing files: the first in list order is named, and the file that
  // exists is not read.
  ASSERT_TRUE(f.commands("FILES a.o b.o c.o\n"));
  EXPECT_FALSE(f.run(Phase::ReadObjectFiles));
  EXPECT_EQ(f.error(), "could not find file 'b.o'.");
  EXPECT_TRUE(LinkerTestAccess::coffs(f.linker()).empty());
}

TEST(ReadObjectFiles, ReaderAndVerifierFailuresReportThemselves) {
  struct Case {
    const char* what;
    std::string second;  // the bytes of b.o
    size_t expectInputs;  // a.o stays when b.o cannot be read
  };
  CoffBuilder broken = object("b.o");
  broken.section(".code", scnCode, 0, {1, 2});
  broken.externDef("x", 7, 0);  // no section 7
  const fixtures::Bytes image = broken.bytes();
  const std::vector<Case> cases = {
      {"not an object file", "plain text\n", 1},
      {"fails verification", std::string(image.begin(), image.end()), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkFixture f;
    f.object("a.o", object("a.o"));
    f.file("b.o", c.second);
    ASSERT_TRUE(f.commands("FILES a.o b.o\n"));
    EXPECT_FALSE(f.run(Phase::ReadObjectFiles));
    EXPECT_EQ(f.error(), "");
    EXPECT_NE(f.output().find("Error - "), std::string::npos) << f.output();
    EXPECT_EQ(LinkerTestAccess::coffs(f.linker()).size(), c.expectInputs);
  }
}

TEST(ReadLibraryFiles, LibrariesAreSearchedInLibPathOnly) {
  CoffBuilder member = object("m.o");
  member.externDef("f", 1, 0);
  member.section(".code", scnCode, 0, {1, 2});
  {
    LinkFixture f;
    f.object("main.o", object("main.o"));
    f.library("util.lib", {&member});
    ASSERT_TRUE(f.commands("FILES main.o util.lib\n"));
    EXPECT_FALSE(f.run(Phase::ReadLibraryFiles));
    EXPECT_EQ(f.failedPhase(), Phase::ReadLibraryFiles);
    EXPECT_EQ(f.error(), "could not find file 'util.lib'.");
  }
  {
    LinkFixture f;
    f.object("main.o", object("main.o"));
    f.library("libs/util.lib", {&member});
    ASSERT_TRUE(f.commands("LIBPATH libs\nFILES main.o util.lib\n"));
    ASSERT_TRUE(f.run(Phase::ReadLibraryFiles)) << f.error();
    EXPECT_EQ(f.linker().getLibraryFiles().front(), "libs/util.lib");
    ASSERT_EQ(LinkerTestAccess::archives(f.linker()).size(), 1u);
    EXPECT_TRUE(LinkerTestAccess::archives(f.linker())[0]->hasSymbol("f"));
  }
}

TEST(ReadLibraryFiles, UnreadableLibraryReportsItself) {
  LinkFixture f;
  f.object("main.o", object("main.o"));
  f.file("bad.lib", "not a library");
  ASSERT_TRUE(f.commands("FILES main.o ./bad.lib\n"));
  EXPECT_FALSE(f.run(Phase::ReadLibraryFiles));
  EXPECT_EQ(f.failedPhase(), Phase::ReadLibraryFiles);
  EXPECT_EQ(f.error(), "");
  EXPECT_NE(f.output().find("Error - "), std::string::npos);
}

// A member that defines the given names and refers to others.
CoffBuilder member(const std::string& name, const std::vector<std::string>& defines,
                   const std::vector<std::string>& refers = {}) {
  CoffBuilder b = object(name);
  b.section(".code", scnCode, 0, {1, 2});
  for (const std::string& d : defines) b.externDef(d, 1, 0);
  for (const std::string& r : refers) b.externRef(r);
  return b;
}

TEST(ImportLibraryMembers, OrderOverMembersAndLibraries) {
  LinkFixture f;
  CoffBuilder mainObj = object("main.o");
  for (const char* ref : {"zeta", "alpha", "nowhere", "beta", "delta", "helper"})
    mainObj.externRef(ref);
  f.object("main.o", mainObj);
  f.object("other.o", member("other.o", {"helper"}));

  const CoffBuilder mBeta = member("m_beta.o", {"beta"}, {"gamma"});
  const CoffBuilder mAlpha = member("m_alpha.o", {"alpha", "delta"});
  const CoffBuilder mHelper = member("m_helper.o", {"helper"});
  const CoffBuilder mAlpha2 = member("m_alpha2.o", {"alpha"});
  const CoffBuilder mDelta = member("m_delta.o", {"delta"});
  const CoffBuilder mGamma = member("m_gamma.o", {"gamma"});
  const CoffBuilder mZeta = member("m_zeta.o", {"zeta"});
  f.library("first.lib", {&mBeta, &mAlpha, &mHelper});
  f.library("second.lib", {&mAlpha2, &mDelta, &mGamma, &mZeta});
  ASSERT_TRUE(f.commands("LIBPATH .\nFILES main.o other.o first.lib second.lib\n"));
  ASSERT_TRUE(f.run(Phase::ImportLibraryMembers)) << f.error() << f.output();

  // alpha (first library wins, and it settles delta too), then beta, whose
  // own reference gamma sorts before zeta; "nowhere" is passed over; the
  // reference to helper is met by other.o.
  EXPECT_EQ(inputNames(f.linker()),
            (std::vector<std::string>{"./main.o", "./other.o", "m_alpha.o", "m_beta.o",
                                      "m_gamma.o", "m_zeta.o"}));
}

// With many libraries each name still comes from the first library listed
// that defines it, whichever libraries after it define it too, and a name
// only the last library defines is found there.
TEST(ImportLibraryMembers, FirstListedOfManyLibrariesWins) {
  LinkFixture f;
  const int kLibraries = 60;
  CoffBuilder mainObj = object("main.o");
  for (const char* ref : {"shared", "late", "early", "nowhere"}) mainObj.externRef(ref);
  f.object("main.o", mainObj);
  std::string files = "FILES main.o";
  for (int i = 0; i < kLibraries; ++i) {
    const std::string tag = std::to_string(i);
    std::vector<CoffBuilder> members;
    members.push_back(member("own" + tag + ".o", {"own" + tag}));
    // "shared" from library 7 on, "early" in the first and again later.
    if (i >= 7) members.push_back(member("shared" + tag + ".o", {"shared"}));
    if (i == 0 || i == 30) members.push_back(member("early" + tag + ".o", {"early"}));
    if (i == kLibraries - 1) members.push_back(member("late" + tag + ".o", {"late"}));
    std::vector<const CoffBuilder*> pointers;
    for (const CoffBuilder& m : members) pointers.push_back(&m);
    f.library("l" + tag + ".lib", pointers);
    files += " l" + tag + ".lib";
  }
  ASSERT_TRUE(f.commands("LIBPATH .\n" + files + "\n"));
  ASSERT_TRUE(f.run(Phase::ImportLibraryMembers)) << f.error() << f.output();
  EXPECT_EQ(inputNames(f.linker()),
            (std::vector<std::string>{"./main.o", "early0.o",
                                      "late" + std::to_string(kLibraries - 1) + ".o",
                                      "shared7.o"}));
}

// Names in the string table and names in the record are one kind of name,
// whichever way each file spells it, and a name referenced again or defined
// in the referencing file itself is settled once.
TEST(ImportLibraryMembers, LongAndShortNamesAlike) {
  LinkFixture f;
  CoffBuilder mainObj = object("main.o");
  for (const char* ref : {"a_rather_long_name", "short", "a_rather_long_name", "own_long_name",
                          "tiny_but_long_here"})
    mainObj.externRef(ref);
  mainObj.section(".code", scnCode, 0, {1, 2});
  mainObj.externDef("own_long_name", 1, 0);
  f.object("main.o", mainObj);
  const CoffBuilder mLong = member("m_long.o", {"a_rather_long_name"}, {"tiny"});
  const CoffBuilder mShort = member("m_short.o", {"short", "tiny_but_long_here"});
  const CoffBuilder mTiny = member("m_tiny.o", {"tiny"});
  const CoffBuilder mOwn = member("m_own.o", {"own_long_name"});
  f.library("names.lib", {&mOwn, &mLong, &mShort, &mTiny});
  ASSERT_TRUE(f.commands("LIBPATH .\nFILES main.o names.lib\n"));
  ASSERT_TRUE(f.run(Phase::ImportLibraryMembers)) << f.error() << f.output();
  EXPECT_EQ(inputNames(f.linker()),
            (std::vector<std::string>{"./main.o", "m_long.o", "m_short.o", "m_tiny.o"}));
}

TEST(ImportLibraryMembers, NoLibrariesImportsNothing) {
  LinkFixture f;
  CoffBuilder mainObj = object("main.o");
  mainObj.externRef("missing");
  f.object("main.o", mainObj);
  ASSERT_TRUE(f.commands("FILES main.o\n"));
  ASSERT_TRUE(f.run(Phase::ImportLibraryMembers));
  EXPECT_EQ(LinkerTestAccess::coffs(f.linker()).size(), 1u);
}

// Symbols and auxiliary entries are told apart as the reader paired them,
// not by n_numaux.
TEST(ImportLibraryMembers, AuxiliaryEntriesFollowTheReadersPairing) {
  LinkFixture f;
  CoffBuilder mainObj = object("main.o");
  mainObj.section(".code", scnCode, 0, {1, 2});
  // A plain external with n_numaux 1 has no entry of its own: the record
  // after it is a symbol, here a reference that a member satisfies.
  syment plain = mainObj.makeSymbol("first", 0, 1, kClassExternal);
  plain.n_numaux = 1;
  mainObj.rawRecord(plain.record());
  mainObj.externRef("needed");
  // A section symbol's entry whose bytes read like a reference to "ghost"
  // is an entry all the same.
  syment scn = mainObj.makeSymbol(".code", 0, 1, kClassStatic);
  scn.n_numaux = 1;
  mainObj.rawRecord(scn.record());
  mainObj.rawRecord(mainObj.makeSymbol("ghost", 0, 0, kClassExternal).record(), auxScn);
  // The last symbol claims an entry the table does not have.
  syment last = mainObj.makeSymbol("tail", 0, 0, kClassExternal, kTypeFunction);
  last.n_numaux = 1;
  mainObj.rawRecord(last.record());
  f.object("main.o", mainObj);

  const CoffBuilder mNeeded = member("m_needed.o", {"needed"});
  const CoffBuilder mGhost = member("m_ghost.o", {"ghost"});
  const CoffBuilder mTail = member("m_tail.o", {"tail"});
  f.library("lib.lib", {&mNeeded, &mGhost, &mTail});
  ASSERT_TRUE(f.commands("LIBPATH .\nFILES main.o lib.lib\n"));
  ASSERT_TRUE(f.run(Phase::ImportLibraryMembers)) << f.output();
  EXPECT_EQ(inputNames(f.linker()),
            (std::vector<std::string>{"./main.o", "m_needed.o", "m_tail.o"}));
}

TEST(ImportLibraryMembers, ImportedMembersAreVerified) {
  LinkFixture f;
  CoffBuilder mainObj = object("main.o");
  mainObj.externRef("f");
  f.object("main.o", mainObj);
  CoffBuilder bad = member("bad.o", {"f"});
  bad.label("l", 9, 0);  // no section 9
  f.library("lib.lib", {&bad});
  ASSERT_TRUE(f.commands("LIBPATH .\nFILES main.o lib.lib\n"));
  EXPECT_FALSE(f.run(Phase::ImportLibraryMembers));
  EXPECT_EQ(f.failedPhase(), Phase::ImportLibraryMembers);
  EXPECT_EQ(f.error(), "");
  EXPECT_NE(f.output().find("bad.o"), std::string::npos) << f.output();
}

// A long chain of members, each pulling in the next, with many names no
// library holds: every member comes in, once, in chain order. (The cost of
// the import is the benchmark's to measure, not a test's.)
TEST(ImportLibraryMembers, LongChainsComeInWhole) {
  LinkFixture f;
  const int kMembers = 1500;
  auto nameOf = [](int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "s%05d", i);
    return std::string(buf);
  };
  CoffBuilder mainObj = object("main.o");
  mainObj.externRef(nameOf(0));
  f.object("main.o", mainObj);
  std::vector<CoffBuilder> members;
  members.reserve(kMembers);
  for (int i = 0; i < kMembers; ++i) {
    std::vector<std::string> refs = {nameOf(i + 1)};
    // Plenty of names that no library holds, asked for on every pass when
    // they are not remembered.
    for (int k = 0; k < 20; ++k) refs.push_back("u" + nameOf(i) + "_" + std::to_string(k));
    members.push_back(member("m" + std::to_string(i) + ".o", {nameOf(i)},
                             i + 1 < kMembers ? refs : std::vector<std::string>{}));
  }
  std::vector<const CoffBuilder*> pointers;
  for (const CoffBuilder& m : members) pointers.push_back(&m);
  f.library("chain.lib", pointers);
  ASSERT_TRUE(f.commands("LIBPATH .\nFILES main.o chain.lib\n"));
  ASSERT_TRUE(f.run(Phase::ReadLibraryFiles));
  ASSERT_TRUE(f.run(Phase::ImportLibraryMembers));
  const auto names = inputNames(f.linker());
  ASSERT_EQ(names.size(), size_t(kMembers + 1));
  for (int i = 0; i < kMembers; ++i) EXPECT_EQ(names[i + 1], "m" + std::to_string(i) + ".o");
}

}  // namespace

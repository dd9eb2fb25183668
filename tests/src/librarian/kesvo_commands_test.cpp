// What kesvo's commands do to libraries and files, end to end.
#include <sys/stat.h>

#include <map>

#include "kesvo_fixture.h"

namespace kesvo_test {
namespace {

class KesvoCommands : public KesvoTest {
 protected:
  void SetUp() override {
    KesvoTest::SetUp();
    std::filesystem::create_directory(path("dir"));
    object("a.o", "alpha", 100).writeFile(path("a.o"));
    object("dir/b.o", "beta", 200, 40).writeFile(path("dir/b.o"));
    object("c.o", "gamma", 300).writeFile(path("c.o"));
    object("n.o", "", 400).writeFile(path("n.o"));  // defines nothing
  }

  // Creates lib from the objects and checks it worked.
  void create(const std::string& lib, const std::string& objects) {
    testing_support::RunResult r = kesvo("/q /c " + lib + " " + objects);
    ASSERT_EQ(r.status, 0) << r.output;
  }

  // The image of the member at index in lib, as stored.
  Bytes memberImage(const String& lib, size_t index) {
    Bytes file = bytes(lib);
    size_t pos = 8;
    for (size_t i = 0;; ++i) {
      EXPECT_LE(pos + 280, file.size());
      if (pos + 280 > file.size()) return Bytes();
      uint64_t size = 0;
      EXPECT_EQ(libformat::decodeDecimalField(file.data() + pos + 268, 10, size), 1);
      if (i == index) return Bytes(file.begin() + pos + 280, file.begin() + pos + 280 + size);
      pos += 280 + size;
    }
  }
};

TEST_F(KesvoCommands, CreatedLibraryHoldsTheObjectFilesAsTheyAre) {
  create("new.lib", "a.o dir/b.o");
  const Bytes a = bytes("a.o");
  const Bytes b = bytes("dir/b.o");
  const Bytes lib = bytes("new.lib");
  ASSERT_EQ(lib.size(), 8 + 280 + a.size() + 280 + b.size());
  EXPECT_EQ(memberImage("new.lib", 0), a);
  EXPECT_EQ(memberImage("new.lib", 1), b);
  // ar_date from each object's f_timdat.
  EXPECT_EQ(std::string(lib.begin() + 8 + 256, lib.begin() + 8 + 260), std::string("100\0", 4));
  EXPECT_EQ(std::string(lib.begin() + 8 + 280 + a.size(), lib.begin() + 8 + 280 + a.size() + 8),
            "dir/b.o/");
  EXPECT_EQ(members("new.lib"), (std::vector<String>{"a.o", "dir/b.o"}));
}

TEST_F(KesvoCommands, ExtractRecreatesTheInputs) {
  create("x.lib", "a.o dir/b.o c.o");
  const Bytes a = bytes("a.o"), b = bytes("dir/b.o"), c = bytes("c.o");
  std::filesystem::remove(path("a.o"));
  std::filesystem::remove(path("dir/b.o"));
  std::filesystem::remove(path("c.o"));

  testing_support::RunResult r = kesvo("/x x.lib");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, banner() + "Extracting member 'a.o'.\n" + "Extracting member 'dir/b.o'.\n" +
                          "Extracting member 'c.o'.\n" + summary(0));
  EXPECT_EQ(bytes("a.o"), a);
  EXPECT_EQ(bytes("dir/b.o"), b);
  EXPECT_EQ(bytes("c.o"), c);

  // Named members only, in the order named; quiet prints nothing.
  std::filesystem::remove(path("a.o"));
  std::filesystem::remove(path("c.o"));
  r = kesvo("/q /x x.lib c.o");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(bytes("c.o"), c);
  EXPECT_FALSE(std::filesystem::exists(path("a.o")));

  // One absent name among several: nothing at all is extracted.
  std::filesystem::remove(path("c.o"));
  r = kesvo("/x x.lib a.o zz.o c.o");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output,
            banner() + "Error - 'zz.o' is not a member of library 'x.lib'.\n" + summary(1));
  EXPECT_FALSE(std::filesystem::exists(path("a.o")));
  EXPECT_FALSE(std::filesystem::exists(path("c.o")));
}

TEST_F(KesvoCommands, ReplaceKeepsThePositionAndAppendsNewMembers) {
  create("r.lib", "a.o dir/b.o c.o");
  object("dir/b.o", "beta2", 999, 12).writeFile(path("dir/b.o"));
  testing_support::RunResult r = kesvo("/r r.lib dir/b.o n.o");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, banner() + summary(0));
  EXPECT_EQ(members("r.lib"), (std::vector<String>{"a.o", "dir/b.o", "c.o", "n.o"}));
  EXPECT_EQ(memberImage("r.lib", 1), bytes("dir/b.o"));
  EXPECT_EQ(memberImage("r.lib", 0), bytes("a.o"));
  EXPECT_EQ(memberImage("r.lib", 3), bytes("n.o"));
}

TEST_F(KesvoCommands, DeleteRemovesOnlyTheFirstOfTwo) {
  create("d.lib", "n.o a.o n.o");
  testing_support::RunResult r = kesvo("/d d.lib n.o");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(members("d.lib"), (std::vector<String>{"a.o", "n.o"}));

  // Without names the library is rewritten unchanged.
  const Bytes before = bytes("d.lib");
  r = kesvo("/d d.lib");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(bytes("d.lib"), before);

  // Names are compared exactly.
  r = kesvo("/q /d d.lib A.o ./a.o");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(bytes("d.lib"), before);
}

TEST_F(KesvoCommands, NamesTakeTheirMembersInLibraryOrder) {
  const Bytes oldN = bytes("n.o");
  // Each delete of a name takes its next member.
  create("d.lib", "n.o a.o n.o c.o n.o");
  testing_support::RunResult r = kesvo("/q /d d.lib n.o c.o n.o");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(members("d.lib"), (std::vector<String>{"a.o", "n.o"}));
  r = kesvo("/q /d d.lib n.o n.o");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(members("d.lib"), (std::vector<String>{"a.o", "n.o"}));

  // Replace takes the first of a name; a new name given twice is added once.
  create("r.lib", "n.o a.o n.o");
  object("n.o", "", 401, 9).writeFile(path("n.o"));
  r = kesvo("/q /r r.lib n.o dir/b.o n.o dir/b.o");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(members("r.lib"), (std::vector<String>{"n.o", "a.o", "n.o", "dir/b.o"}));
  EXPECT_EQ(memberImage("r.lib", 0), bytes("n.o"));
  EXPECT_EQ(memberImage("r.lib", 2), oldN);

  // Extract takes the first of a name.
  r = kesvo("/q /x r.lib n.o a.o");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(bytes("n.o"), memberImage("r.lib", 0));
  fixtures::writeBytes(path("two.lib"), libraryBytes({{"t.o", object("t.o", "", 1).bytes()},
                                                      {"t.o", object("t.o", "", 2).bytes()}}));
  r = kesvo("/q /x two.lib t.o");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(bytes("t.o"), object("t.o", "", 1).bytes());
}

TEST_F(KesvoCommands, RefusedChangesLeaveTheLibraryByteIdentical) {
  create("keep.lib", "a.o dir/b.o");
  const Bytes before = bytes("keep.lib");
  object("dup.o", "alpha", 5).writeFile(path("dup.o"));
  fixtures::EmitOptions older;
  older.olderLayout = true;
  fixtures::writeBytes(path("old.o"), object("old.o", "omega", 6).emit(older));
  fixtures::writeBytes(path("bad.o"), Bytes(19, 0x34));
  CoffBuilder twin("twin.o");
  twin.section(".same", scnCode, 0, {1, 2});
  twin.section(".same", scnIData, 0, {3, 4});
  fixtures::writeBytes(path("twin.o"), twin.emit(fixtures::EmitOptions()));

  const std::string dupSymbol = "Error - Symbol 'alpha' has multiple external definitions.\n";
  const std::string oldLayout =
      "Error - Coff file 'old.o' missing optional file header.\n"
      "Error - Object file 'old.o' has no optional header (older object layout); it cannot be "
      "put into library 'keep.lib'.\n";
  struct Case {
    std::string args;
    std::string output;
    int errors;
  } cases[] = {
      {"/r keep.lib dup.o", dupSymbol, 1},
      {"/r keep.lib c.o old.o", oldLayout, 2},
      {"/r keep.lib missing.o", "Error - Could not open Coff file 'missing.o' for reading.\n", 1},
      {"/r keep.lib bad.o", "Error - Coff file 'bad.o' could not read file header.\n", 1},
      {"/r keep.lib twin.o",
       "Error - Object file 'twin.o' has more than one section named '.same'; it cannot be put "
       "into library 'keep.lib'.\n",
       1},
      {"/c keep.lib c.o old.o", oldLayout, 2},
      {"/c keep.lib c.o missing.o", "Error - Could not open Coff file 'missing.o' for reading.\n",
       1},
      {"/c keep.lib a.o dup.o", dupSymbol, 1},
      {"/d keep.lib a.o zz.o", "Error - 'zz.o' is not a member of library 'keep.lib'.\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    testing_support::RunResult r = kesvo(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, banner() + c.output + summary(c.errors));
    EXPECT_EQ(bytes("keep.lib"), before);
  }
  EXPECT_EQ(entries(), (std::vector<String>{"a.o", "bad.o", "c.o", "dir", "dir/b.o", "dup.o",
                                            "keep.lib", "n.o", "old.o", "twin.o"}));
}

TEST_F(KesvoCommands, MembersAreStoredInTheirOwnLayout) {
  CoffBuilder b = object("r.o", "rho", 77);
  b.lineNumber(".code", 0, 5, 0x10);
  b.relocation(".code", 0x10, 2, 1);
  fixtures::EmitOptions reordered;
  reordered.order = {fixtures::Block::LineNumbers, fixtures::Block::Symbols,
                     fixtures::Block::RawData, fixtures::Block::Relocations};
  reordered.gap = 5;
  fixtures::writeBytes(path("r.o"), b.emit(reordered));
  create("lay.lib", "a.o");
  testing_support::RunResult r = kesvo("/r lay.lib r.o");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(memberImage("lay.lib", 1), b.bytes());

  // Extracted, it is a sound object again.
  std::filesystem::remove(path("r.o"));
  r = kesvo("/x lay.lib r.o");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(bytes("r.o"), b.bytes());
}

TEST_F(KesvoCommands, FailedWriteLeavesTheLibraryByteIdentical) {
  create("big.lib", "a.o n.o");
  const Bytes before = bytes("big.lib");
  ASSERT_LT(before.size(), 4096u);
  object("huge.o", "huge", 1, 64 * 1024).writeFile(path("huge.o"));
  const std::vector<String> filesBefore = entries();

  // 16 blocks of 512 bytes: room for the old library, not for the new one.
  testing_support::ChildLimits limit;
  limit.fileSize = 16 * 512;
  limit.ignoreFileSizeSignal = true;
  for (const std::string& args :
       {std::string("/r big.lib huge.o"), std::string("/c big.lib huge.o a.o")}) {
    SCOPED_TRACE(args);
    testing_support::RunResult r = kesvo(args, limit);
    EXPECT_EQ(r.status, 1);
    // The object writer says why, and that is the one error.
    EXPECT_NE(r.output.find("Error - Coff file 'huge.o' could not write "), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find(summary(1)), std::string::npos) << r.output;
    EXPECT_EQ(bytes("big.lib"), before);
    EXPECT_EQ(entries(), filesBefore);
  }
}

TEST_F(KesvoCommands, FailedExtractLeavesTheExistingFileByteIdentical) {
  object("huge.o", "huge", 1, 64 * 1024).writeFile(path("huge.o"));
  create("h.lib", "huge.o");
  const Bytes old = {'o', 'l', 'd'};
  fixtures::writeBytes(path("huge.o"), old);
  const std::vector<String> filesBefore = entries();

  testing_support::ChildLimits limit;
  limit.fileSize = 16 * 512;
  limit.ignoreFileSizeSignal = true;
  testing_support::RunResult r = kesvo("/x h.lib huge.o", limit);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("Error - "), std::string::npos) << r.output;
  EXPECT_EQ(bytes("huge.o"), old);
  EXPECT_EQ(entries(), filesBefore);  // no temporary file left behind
}

TEST_F(KesvoCommands, RewriteKeepsModeAndSymbolicLink) {
  create("real.lib", "a.o c.o");
  ASSERT_EQ(chmod(path("real.lib").c_str(), 0604), 0);
  std::filesystem::create_symlink("real.lib", path("link.lib"));
  testing_support::RunResult r = kesvo("/d link.lib a.o");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(std::filesystem::is_symlink(path("link.lib")));
  EXPECT_EQ(members("real.lib"), std::vector<String>{"c.o"});
  struct stat st;
  ASSERT_EQ(stat(path("real.lib").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
}

TEST_F(KesvoCommands, DuplicateDefinitionsStillListAndExtract) {
  const Bytes a = object("a.o", "alpha", 0).bytes();
  const Bytes a2 = object("a2.o", "alpha", 0, 8).bytes();
  fixtures::writeBytes(path("dup.lib"), libraryBytes({{"x1.o", a}, {"x2.o", a2}}));
  const std::string dup = "Error - Symbol 'alpha' has multiple external definitions.\n";

  testing_support::RunResult r = kesvo("/t dup.lib");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output.substr(0, banner().size() + dup.size()), banner() + dup);
  EXPECT_NE(r.output.find("Member: 'x2.o'"), std::string::npos);

  r = kesvo("/x dup.lib");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output,
            banner() + dup + "Extracting member 'x1.o'.\nExtracting member 'x2.o'.\n" + summary(1));
  EXPECT_EQ(bytes("x2.o"), a2);

  // But a change is not written.
  const Bytes before = bytes("dup.lib");
  r = kesvo("/r dup.lib c.o");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(bytes("dup.lib"), before);
}

TEST_F(KesvoCommands, DangerousMemberNamesExtractNothing) {
  const Bytes image = object("v.o", "", 0).bytes();
  struct Case {
    String name;
    std::string reason;
  } cases[] = {
      {"../evil.o", "has a '..' component"},
      {"dir/../../evil.o", "has a '..' component"},
      {"dir\\..\\..\\evil.o", "has a '..' component"},
      {"..", "has a '..' component"},
      {cRoot + "/evil.o", "is an absolute path"},
      {"\\evil.o", "is an absolute path"},
      {"c:evil.o", "is an absolute path"},
      {"", "is empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A harmless member first: it must not be written either.
    fixtures::writeBytes(path("evil.lib"), libraryBytes({{"safe.o", image}, {c.name, image}}));
    const std::vector<String> rootBefore = entries(cRoot);
    testing_support::RunResult r = kesvo("/x evil.lib");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, banner() + "Error - Member name '" + c.name + "' in library 'evil.lib' " +
                            c.reason + "; nothing is extracted.\n" + summary(1));
    EXPECT_EQ(entries(cRoot), rootBefore);
  }
  // Named on the command line, it is refused just the same.
  fixtures::writeBytes(path("evil.lib"), libraryBytes({{"../evil.o", image}}));
  testing_support::RunResult r = kesvo("/q /x evil.lib ../evil.o");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(std::filesystem::exists(cRoot + "/evil.o"));
}

// Every entry under dir: a file as its bytes, a link as its target, a
// directory as such.
std::map<String, String> tree(const String& dir) {
  std::map<String, String> found;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    const String name = std::filesystem::relative(e.path(), dir).string();
    if (e.is_symlink())
      found[name] = "link to " + std::filesystem::read_symlink(e.path()).string();
    else if (e.is_directory())
      found[name] = "directory";
    else
      found[name] = testing_support::readFile(e.path().string());
  }
  return found;
}

TEST_F(KesvoCommands, ExtractionWritesNothingOutsideItsDirectory) {
  const Bytes image = object("v.o", "", 0).bytes();
  const String member(image.begin(), image.end());
  const String outside = cRoot + "/outside";
  struct Case {
    const char* label;
    std::vector<String> names;                            // of the library's members
    std::vector<std::pair<String, String>> links;         // name in work, target
    std::vector<String> directories;                      // made in work first
    int status;
    String error;                                         // after "Error - "
    std::vector<String> written;                          // in work, each the member
  } cases[] = {
      {"a dangling link at the name is replaced, its target not created",
       {"x.o"}, {{"x.o", "../outside/created.o"}}, {}, 0, "", {"work/x.o"}},
      {"a link to a file outside is replaced, the file left as it was",
       {"x.o"}, {{"x.o", "../outside/keep.o"}}, {}, 0, "", {"work/x.o"}},
      {"a directory part through a link is refused",
       {"safe.o", "sub/in.o"}, {{"sub", "../outside"}}, {}, 1,
       "Member 'sub/in.o' in library 'l.lib' lies beyond the symbolic link 'sub', outside the "
       "directory; nothing is extracted.",
       {}},
      {"so is a link deeper down",
       {"d/sub/in.o"}, {{"d/sub", "../../outside"}}, {"d"}, 1,
       "Member 'd/sub/in.o' in library 'l.lib' lies beyond the symbolic link 'd/sub', outside "
       "the directory; nothing is extracted.",
       {}},
      {"a real directory is written into", {"d/in.o"}, {}, {"d"}, 0, "", {"work/d/in.o"}},
      {"a link at the name to the library is still refused",
       {"x.o"}, {{"x.o", "l.lib"}}, {}, 1,
       "Member 'x.o' in library 'l.lib' would overwrite the library; nothing is extracted.", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::filesystem::remove_all(cDir);
    std::filesystem::remove_all(outside);
    std::filesystem::create_directory(cDir);
    std::filesystem::create_directory(outside);
    testing_support::writeFile(outside + "/keep.o", "keep");
    std::vector<std::pair<String, Bytes>> members;
    for (const String& name : c.names) members.push_back({name, image});
    fixtures::writeBytes(path("l.lib"), libraryBytes(members));
    for (const String& d : c.directories) std::filesystem::create_directory(path(d));
    for (const auto& link : c.links) std::filesystem::create_symlink(link.second, path(link.first));
    std::map<String, String> expected = tree(cRoot);
    for (const String& name : c.written) expected[name] = member;

    const testing_support::ChildEnd end = testing_support::runChild(
        cDir, testing_support::toolPath("kesvo"), {"/x", "l.lib"}, {});
    EXPECT_EQ(end.status, c.status);
    if (c.error.empty())
      EXPECT_EQ(end.output.find("Error - "), std::string::npos) << end.output;
    else
      EXPECT_EQ(end.output, banner() + "Error - " + c.error + "\n" + summary(1));
    EXPECT_EQ(tree(cRoot), expected);
  }
}

TEST_F(KesvoCommands, LongestMemberNameListsAndExtracts) {
  const String name = String(253, 'm') + ".o";  // 255 characters, the most a name field holds
  const Bytes image = object("m.o", "", 0).bytes();
  fixtures::writeBytes(path("long.lib"), libraryBytes({{name, image}}));
  testing_support::RunResult r = kesvo("/t long.lib");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("Member: '" + name + "'  Size: "), std::string::npos) << r.output;
  r = kesvo("/q /x long.lib");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(bytes(name), image);
}

TEST_F(KesvoCommands, DamagedLibraryIsNotRewritten) {
  create("dmg.lib", "a.o c.o");
  Bytes damaged = bytes("dmg.lib");
  // Break the second member's magic number.
  const size_t second = 8 + 280 + bytes("a.o").size() + 280;
  fixtures::put16(damaged, second, 0x1111);
  fixtures::writeBytes(path("dmg.lib"), damaged);
  testing_support::RunResult r = kesvo("/d dmg.lib a.o");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output,
            banner() + "Error - Coff file 'c.o' does not appear to be a valid COFF file.\n" +
                "Error - Could not build member 'c.o' in library file 'dmg.lib'. \n" + summary(2));
  EXPECT_EQ(bytes("dmg.lib"), damaged);

  // A defined name missing from the string table is fatal, and still
  // changes nothing.
  CoffBuilder lost("lost.o");
  lost.section(".code", scnCode, 0, {1, 2});
  SymRecord& def = lost.model().cSymbolTbl[lost.externDef("a_long_symbol_name", 1, 0)];
  syment sym = syment::decode(def);
  sym.set_n_offset(9999);
  sym.encode(def);
  const Bytes lostLib = libraryBytes({{"lost.o", lost.bytes()}});
  fixtures::writeBytes(path("lost.lib"), lostLib);
  r = kesvo("/d lost.lib lost.o");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.output,
            banner() + "Error - Unable to find symbol name in string table.\n" + summary(1));
  EXPECT_EQ(bytes("lost.lib"), lostLib);
}

}  // namespace
}  // namespace kesvo_test

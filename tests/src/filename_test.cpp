#include "filename.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/harness.h"

namespace {

TEST(FileName, Split) {
  struct Case {
    const char* text;
    const char* path;
    const char* name;
    const char* base;
    const char* ext;
    const char* full;
    int hasPath;
  } cases[] = {
      {"C:a.o", "C:", "a.o", "a", ".o", "a.o", 0},
      {"C:\\dir\\sub\\x.lib", "C:\\dir\\sub\\", "x.lib", "x", ".lib", "C:\\dir\\sub\\x.lib", 1},
      {"dir/sub/x.tar.gz", "dir/sub/", "x.tar.gz", "x.tar", ".gz", "dir/sub/x.tar.gz", 1},
      {"mixed/dir\\f", "mixed/dir\\", "f", "f", "", "mixed/dir\\f", 1},
      {"dir.d/name", "dir.d/", "name", "name", "", "dir.d/name", 1},
      {"dir/", "dir/", "", "", "", "dir/", 1},
      {".o", "", ".o", "", ".o", ".o", 0},
      {"", "", "", "", "", "", 0},
      {"/abs/a.out", "/abs/", "a.out", "a", ".out", "/abs/a.out", 1},
  };
  for (const auto& c : cases) {
    FileName f(c.text);
    SCOPED_TRACE(c.text);
    EXPECT_EQ(f.path(), c.path);
    EXPECT_EQ(f.name(), c.name);
    EXPECT_EQ(f.baseName(), c.base);
    EXPECT_EQ(f.ext(), c.ext);
    EXPECT_EQ(f.fullName(), c.full);
    EXPECT_EQ(f.hasPath(), c.hasPath);
  }
}

TEST(FileName, LongPathsAreNotCut) {
  std::string dir(300, 'd');
  std::string name(300, 'n');
  FileName f(dir + "/" + name + ".o");
  EXPECT_EQ(f.baseName(), name);
  EXPECT_EQ(f.path(), dir + "/");
}

TEST(FileName, NameTests) {
  struct Case {
    const char* text;
    int valid;
    int object;
  } cases[] = {
      {"x.O", 1, 1},   {"ab.o", 1, 1},   {"dir/ab.o", 1, 1}, {"a.o", 1, 1},
      {"ab", 1, 0},    {".o", 0, 0},     {"_a.o", 0, 0},     {"dir/", 0, 0},
      {"9.o", 1, 1},   {"a.obj", 1, 0},  {"", 0, 0},         {"C:x.o", 1, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidFileName(c.text), c.valid) << c.text;
    EXPECT_EQ(isObjectFileName(c.text), c.object) << c.text;
  }
  EXPECT_EQ(isAllDigits(""), 0);
  EXPECT_EQ(isAllDigits("007"), 1);
  EXPECT_EQ(isAllDigits("12a"), 0);
}

TEST(FileName, ExistenceUsesHostSeparators) {
  std::string dir = testing_support::makeTempDir("filename");
  testing_support::writeFile(dir + "/f.o", "x");
  std::string back = dir;
  for (char& c : back)
    if (c == '/') c = '\\';
  EXPECT_EQ(FileName(back + "\\f.o").fileExists(), 1);
  EXPECT_EQ(FileName(back + "\\f.o").pathExists(), 1);
  EXPECT_EQ(FileName(dir + "/g.o").fileExists(), 0);
  EXPECT_EQ(FileName(dir + "/").fileExists(), 0);
  EXPECT_EQ(FileName("f.o").pathExists(), 0);
  EXPECT_EQ(DirInfo(dir).dirExists(), 1);
  EXPECT_EQ(DirInfo(dir + "/f.o").dirExists(), 0);
  std::ostringstream os;
  DirInfo(dir).print(os);
  EXPECT_EQ(os.str(), "name()='" + dir + "' \ndirExists()=1\n");
}

}  // namespace

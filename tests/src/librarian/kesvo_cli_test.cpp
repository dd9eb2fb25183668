// The command line of kesvo, end to end: arguments to exit status and output.
#include "kesvo_fixture.h"

namespace kesvo_test {
namespace {

const char kHelp[] =
    "Syntax:   kesvo [/q] /{ctdrxh} LIBRARY [MEMBER...]  \n"
    "  /q      : quiet mode                       \n"
    "  /c      : create library LIBRARY           \n"
    "  /t      : list library LIBRARY             \n"
    "  /d      : delete MEMBER from LIBRARY       \n"
    "  /r      : add or replace MEMBER in LIBRARY \n"
    "  /x      : extract MEMBER from LIBRARY      \n"
    "  /h, /?  : show this help screen            \n"
    "\n";

class KesvoCommandLine : public KesvoTest {
 protected:
  void SetUp() override {
    KesvoTest::SetUp();
    // 1700000000 is Tue Nov 14 22:13:20 2023 UTC.
    const Bytes a = object("a.o", "alpha", 0).bytes();
    const Bytes b = object("b.o", "beta", 1700000000, 100).bytes();
    const Bytes l = object("l.o", "", 0).bytes();
    cSizes = {a.size(), b.size(), l.size()};
    fixtures::writeBytes(path("base.lib"),
                         libraryBytes({{"a.o", a}, {"dir/b.o", b}, {String(30, 'L') + ".o", l}}));
  }
  std::vector<size_t> cSizes;
};

TEST_F(KesvoCommandLine, ArgumentsToStatusAndOutput) {
  ASSERT_EQ(cSizes, (std::vector<size_t>{177, 273, 159}));  // as the list shows them
  const std::string list =
      "Member: 'a.o'                      Size: 177    Date: Thu Jan  1 00:00:00 1970 \n"
      "Member: 'dir/b.o'                  Size: 273    Date: Tue Nov 14 22:13:20 2023 \n"
      "Member: 'LLLLLLLLLLLLLLLLLLLLLLLLLLLLLL.o'  Size: 159    Date: Thu Jan  1 00:00:00 1970 \n";
  const std::string libRequired = "Error - library filename is required\n" + summary(1);
  const std::string badObject = "Error - invalid object filename\n" + summary(1);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string output;
  } cases[] = {
      {{}, 255, banner() + kHelp},
      {{"/h"}, 255, banner() + kHelp},
      {{"-?"}, 255, banner() + kHelp},
      {{"/?"}, 255, banner() + kHelp},
      {{"/q", "/h"}, 255, kHelp},
      {{"/z", "base.lib"}, 255, banner() + kHelp},
      {{"/Q", "/z"}, 255, kHelp},
      {{"base.lib", "/t"}, 255, banner() + kHelp},
      {{"/q"}, 1, ""},
      {{"-Q", "/q"}, 1, ""},
      {{"/t"}, 1, banner() + libRequired},
      {{"/q", "/t"}, 1, ""},
      {{"/t", "a.o"}, 1, banner() + libRequired},
      {{"/t", "abc.li"}, 1, banner() + libRequired},
      {{"/t", "base.lib", "x"}, 1, banner() + badObject},
      {{"/t", "base.lib", ".o"}, 1, banner() + badObject},
      {{"/t", "base.lib", "/c"}, 1, banner() + badObject},
      // "/q" after the command is a bad member name, but quiet all the same.
      {{"/t", "base.lib", "/q"}, 1, ""},
      {{"/t", "base.lib"}, 0, banner() + list + summary(0)},
      {{"-T", "base.LIB"}, 1,
       banner() + "Error - Could not open library file 'base.LIB' for reading.\n" + summary(1)},
      {{"/q", "/t", "base.lib"}, 0, ""},
      {{"/t", cDir + "/base.lib"}, 0, banner() + list + summary(0)},
      {{"/t", "missing.lib"}, 1,
       banner() + "Error - Could not open library file 'missing.lib' for reading.\n" + summary(1)},
      {{"/q", "/t", "missing.lib"}, 1, ""},
      {{"/x", "base.lib", "zz.o"}, 1,
       banner() + "Error - 'zz.o' is not a member of library 'base.lib'.\n" + summary(1)},
      {{"/d", "base.lib", "zz.o", "a.o", "yy.o"}, 1,
       banner() + "Error - 'zz.o' is not a member of library 'base.lib'.\n" +
           "Error - 'yy.o' is not a member of library 'base.lib'.\n" + summary(2)},
      {{"/c", "new.lib", "zz.o"}, 1,
       banner() + "Error - Could not open Coff file 'zz.o' for reading.\n" + summary(1)},
  };
  const Bytes before = bytes("base.lib");
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    testing_support::RunResult r = kesvo(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.output, c.output);
    EXPECT_EQ(bytes("base.lib"), before);
    EXPECT_EQ(entries(), std::vector<String>{"base.lib"});
  }
}

TEST_F(KesvoCommandLine, CreateWithoutMembersWritesTheMagicOnly) {
  const String abs = cDir + "/sub/x.lib";
  std::filesystem::create_directory(path("sub"));
  for (const std::string& lib : {std::string("a.lib"), abs}) {
    SCOPED_TRACE(lib);
    testing_support::RunResult r = kesvo(std::vector<std::string>{"/c", lib});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, banner() + summary(0));
    EXPECT_EQ(fixtures::readBytes(lib[0] == '/' ? lib : path(lib)),
              Bytes(libformat::magic(), libformat::magic() + 8));
  }
  // And lists as nothing at all.
  testing_support::RunResult r = kesvo("/t a.lib");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, banner() + summary(0));
}

}  // namespace
}  // namespace kesvo_test

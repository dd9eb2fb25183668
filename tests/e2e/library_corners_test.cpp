// kesvo on libraries at the edges of the format, end to end: a member in
// the older object layout among current ones, members that are already in
// our layout but not as the layout would set every field, libraries cut
// off after or inside a member header, member names longer than a header
// holds, damaged objects, and a library rewrite whose write fails. Every
// library a run says it wrote is read back.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive.h"
#include "banner.h"
#include "fixtures/coff_builder.h"
#include "src/librarian/kesvo_fixture.h"
#include "support/harness.h"

using fixtures::Bytes;
using fixtures::CoffBuilder;

namespace {

std::string banner() {
  return std::string(librarianBanner()) + "\n" + noticeBanner() + "\n\n";
}

std::string summary(int errors) {
  return "Errors    : " + std::to_string(errors) + "\nWarnings  : 0\n\n";
}

// An object defining one external name, with a relocation and a line.
CoffBuilder object(const String& name, const String& symbol, std::uint32_t time) {
  CoffBuilder b(name);
  b.processor(0x2a, 16, 8);
  b.timeStamp(time);
  b.section(".code", scnCode, 0x10, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06});
  b.file("source_file.asm");
  b.externDef(symbol, 1, 0x10);
  b.externRef("elsewhere");
  b.relocation(".code", 0x12, 0, 1);
  b.lineNumber(".code", 0, 3, 0x10);
  return b;
}

// magic + (header + image) for each member, as kesvo writes it: the header
// states the image's time stamp and its size as stored.
Bytes library(const std::vector<std::pair<String, Bytes>>& members) {
  const char* magic = libformat::magic();
  Bytes out(magic, magic + libformat::kMagicSize);
  for (const auto& m : members) {
    Bytes h(libformat::kHeaderSize);
    EXPECT_EQ(libformat::encodeMemberHeader(m.first, fixtures::get32(m.second, 4),
                                            static_cast<std::uint32_t>(m.second.size()), h.data()),
              1);
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), m.second.begin(), m.second.end());
  }
  return out;
}

// The list line of a member of size bytes stamped time, as kesvo prints it
// under TZ=UTC.
std::string listLine(const std::string& name, std::uint32_t size, std::uint32_t time) {
  const std::time_t t = time;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char date[64];
  std::strftime(date, sizeof date, "%a %b %e %H:%M:%S %Y", &tm);
  char line[512];
  std::snprintf(line, sizeof line, "Member: %-25s  Size: %-6u Date: %s \n",
                ("'" + name + "'").c_str(), static_cast<unsigned>(size), date);
  return line;
}

// The image of the member at index in a library file.
Bytes memberImage(const Bytes& lib, std::size_t index) {
  std::size_t pos = libformat::kMagicSize;
  for (std::size_t i = 0; pos + libformat::kHeaderSize <= lib.size(); ++i) {
    std::uint64_t size = 0;
    if (!libformat::decodeDecimalField(lib.data() + pos + libformat::kSizeOffset,
                                       libformat::kSizeSize, size) ||
        pos + libformat::kHeaderSize + size > lib.size())
      break;
    const auto start = lib.begin() + static_cast<long>(pos + libformat::kHeaderSize);
    if (i == index) return Bytes(start, start + static_cast<long>(size));
    pos += libformat::kHeaderSize + size;
  }
  ADD_FAILURE() << "no member " << index;
  return Bytes();
}

// Runs a shell command in dir under a file-size limit (none when 0), with
// SIGXFSZ ignored so that an oversized write fails instead of killing the
// program; standard output and standard error merged through a pipe, which
// the limit does not reach.
testing_support::RunResult runLimited(const std::string& command, const std::string& dir,
                                      rlim_t fileSizeLimit) {
  testing_support::ChildLimits limits;
  limits.fileSize = fileSizeLimit;
  limits.ignoreFileSizeSignal = fileSizeLimit > 0;
  const testing_support::ChildEnd end =
      testing_support::runChild(dir, "/bin/sh", {"-c", command}, limits);
  return testing_support::RunResult{end.status, end.output};
}

class LibraryCorners : public ::testing::Test {
 protected:
  void SetUp() override { cDir = testing_support::makeTempDir("library-corners"); }
  void TearDown() override { std::filesystem::remove_all(cDir); }

  String path(const String& name) const { return cDir + "/" + name; }
  Bytes bytes(const String& name) const { return fixtures::readBytes(path(name)); }
  void put(const String& name, const Bytes& b) const { fixtures::writeBytes(path(name), b); }

  std::vector<String> entries() const { return testing_support::directoryEntries(cDir); }

  testing_support::RunResult kesvo(const std::string& args, rlim_t fileSizeLimit = 0) const {
    return runLimited("TZ=UTC '" + testing_support::toolBinDir() + "/kesvo' " + args, cDir,
                      fileSizeLimit);
  }

  String cDir;
};

// One run of kesvo: its arguments, its output after the banner, its status,
// and a file-size limit (0: none).
struct Step {
  std::string args;
  std::string output;
  int status;
  rlim_t fileSizeLimit = 0;
  std::function<void()> before = nullptr;  // runs first, e.g. to remove files
};

struct Case {
  const char* name;
  std::vector<Step> steps;
  std::function<void()> check;  // after the last step
};

TEST_F(LibraryCorners, Cases) {
  // Current-layout members around one in the older layout, whose header's
  // size is that of its image as stored (smaller than it is decoded).
  const Bytes a = object("a.o", "alpha", 1000).bytes();
  const Bytes b = object("b.o", "beta", 2000).bytes();
  fixtures::EmitOptions olderLayout;
  olderLayout.olderLayout = true;
  const Bytes old = object("old.o", "omega", 3000).emit(olderLayout);
  std::uint32_t oldDecodedSize = 0;
  {
    testing_support::DiagnosticsScope scope;
    testing_support::OutputCapture quiet;
    std::unique_ptr<Coff> decoded = fixtures::readImage(old, "old.o");
    ASSERT_NE(decoded, nullptr);
    oldDecodedSize = decoded->size();
  }
  ASSERT_NE(oldDecodedSize, old.size());  // stepping by the decoded size would go astray
  const Bytes mixed = library({{"a.o", a}, {"old.o", old}, {"b.o", b}});
  const std::string olderNote = "Error - Coff file 'old.o' missing optional file header.\n";

  // In our layout, but with fields the layout would set otherwise: a
  // function entry whose x_lnnoptr is 0, and an object without symbols
  // whose f_symptr points at its string table.
  CoffBuilder fb("f.o");
  fb.processor(0x2a, 16, 8);
  fb.timeStamp(4000);
  fb.section(".code", scnCode, 0x20, {0x0A, 0x0B, 0x0C, 0x0D});
  const std::uint32_t fn = fb.function("function_name", 1, 0x20);
  fb.lineNumber(".code", 0, 9, 0x20, fn);
  fb.lineNumber(".code", 0, 10, 0x22, fn);
  Bytes f = fb.bytes();
  const std::uint32_t fnAux = fixtures::get32(f, 8) + 18 * (fn + 1);
  ASSERT_NE(fixtures::get32(f, fnAux + 8), 0u);
  fixtures::put32(f, fnAux + 8, 0);  // x_lnnoptr
  CoffBuilder sb("s.o");
  sb.processor(0x2a, 16, 8);
  sb.timeStamp(5000);
  sb.section(".code", scnCode, 0x30, {0x11, 0x22});
  Bytes s = sb.bytes();
  ASSERT_EQ(fixtures::get32(s, 12), 0u);  // no symbols
  fixtures::put32(s, 8, static_cast<std::uint32_t>(s.size() - 4));  // f_symptr at the strings

  // A library that ends right after a complete member header.
  Bytes cut = library({{"a.o", a}});
  {
    Bytes h(libformat::kHeaderSize);
    ASSERT_EQ(libformat::encodeMemberHeader("b.o", 0, static_cast<std::uint32_t>(b.size()),
                                            h.data()),
              1);
    cut.insert(cut.end(), h.begin(), h.end());
  }

  // Libraries cut inside the header of a third member: one byte of it, and
  // all but one.
  const Bytes ab0 = library({{"a.o", a}, {"b.o", b}});
  auto cutInHeader = [&](std::size_t kept) {
    Bytes lib = ab0;
    lib.insert(lib.end(), ab0.begin() + libformat::kMagicSize,
               ab0.begin() + static_cast<long>(libformat::kMagicSize + kept));
    return lib;
  };
  const Bytes cut1 = cutInHeader(1);
  const Bytes cut279 = cutInHeader(libformat::kHeaderSize - 1);
  auto missing = [](const std::string& lib) {
    return "Error - Library file '" + lib + "' has a missing member object file.\n";
  };
  const std::string abList = listLine("a.o", static_cast<std::uint32_t>(a.size()), 1000) +
                             listLine("b.o", static_cast<std::uint32_t>(b.size()), 2000);

  // Names of 255 characters (the most a header holds) and 256, through a
  // directory, as no file name alone may be that long.
  const String dirName = "d";
  const String name255 = dirName + "/" + String(255 - 2 - dirName.size() - 1, 'n') + ".o";
  const String name256 = dirName + "/" + String(256 - 2 - dirName.size() - 1, 'n') + ".o";
  ASSERT_EQ(name255.size(), 255u);
  ASSERT_EQ(name256.size(), 256u);
  auto tooLong = [&](const std::string& lib) {
    return "Error - Object file name '" + name256 +
           "' is 256 characters long, more than the 255 a member name can have; it cannot be "
           "put into library '" +
           lib + "'.\n";
  };

  // Objects whose string table has lost its last byte, the zero that ends
  // the name of a symbol (b.o's last string) or of the source file.
  auto unterminated = [](const Bytes& image) {
    Bytes shortened = image;
    const std::uint32_t strings =
        fixtures::get32(image, 8) + 18 * fixtures::get32(image, 12);  // f_symptr + 18 * f_nsyms
    EXPECT_EQ(shortened.back(), 0);
    shortened.pop_back();
    fixtures::put32(shortened, strings, fixtures::get32(image, strings) - 1);
    return shortened;
  };
  CoffBuilder sourceOnly("src.o");
  sourceOnly.processor(0x2a, 16, 8);
  sourceOnly.section(".code", scnCode, 0x10, {0x01, 0x02});
  sourceOnly.file("source_file.asm");
  const Bytes noSymbolEnd = unterminated(b);
  const Bytes noSourceEnd = unterminated(sourceOnly.bytes());
  const std::string badSymbol = "Error - Coff file 'nonul.o' symbol[3] has an invalid n_offset.\n";
  const std::string badSource = "Error - Unable to find aux_file name in string table.\n";

  // A library whose rewrite cannot get past the first member's file
  // header: magic, header and ten bytes of it.
  const rlim_t tooSmall = libformat::kMagicSize + libformat::kHeaderSize + 10;
  const Bytes ab = library({{"a.o", a}, {"b.o", b}});

  auto reset = [&] {
    for (const String& name : entries()) std::filesystem::remove_all(path(name));
    put("mixed.lib", mixed);
    put("cut.lib", cut);
    put("ab.lib", ab);
    put("f.o", f);
    put("s.o", s);
    put("b.o", b);
    put("cut1.lib", cut1);
    put("cut279.lib", cut279);
    put("nonul.o", noSymbolEnd);
    put("nosrc.o", noSourceEnd);
    std::filesystem::create_directory(path(dirName));
    put(name255, b);
    put(name256, b);
  };
  const std::vector<String> files = {"ab.lib",     "b.o", "cut.lib", "cut1.lib", "cut279.lib",
                                     dirName,      "f.o", "mixed.lib", "nonul.o", "nosrc.o", "s.o"};

  const Case cases[] = {
      {"older member: the others list",
       {{"/t mixed.lib",
         olderNote + listLine("a.o", static_cast<std::uint32_t>(a.size()), 1000) +
             listLine("old.o", oldDecodedSize, 3000) +
             listLine("b.o", static_cast<std::uint32_t>(b.size()), 2000) + summary(1),
         0}},
       [&] { EXPECT_EQ(bytes("mixed.lib"), mixed); }},
      {"older member: the others extract",
       {{"/x mixed.lib a.o b.o",
         olderNote + "Extracting member 'a.o'.\nExtracting member 'b.o'.\n" + summary(1), 0,
         0, [&] { std::filesystem::remove(path("b.o")); }}},
       [&] {
         EXPECT_EQ(bytes("a.o"), a);
         EXPECT_EQ(bytes("b.o"), b);
       }},
      {"older member: deleting it writes the others",
       {{"/d mixed.lib old.o", olderNote + summary(1), 0}},
       [&] { EXPECT_EQ(bytes("mixed.lib"), library({{"a.o", a}, {"b.o", b}})); }},
      {"older member: itself is not extracted",
       {{"/x mixed.lib old.o",
         olderNote +
             "Error - Member 'old.o' in library 'mixed.lib' has no optional header (older object "
             "layout); nothing is extracted.\n" +
             summary(2),
         1}},
       [&] { EXPECT_FALSE(std::filesystem::exists(path("old.o"))); }},
      {"own layout: create then extract gives back the same files",
       {{"/q /c fs.lib f.o s.o", "", 0},
        {"/x fs.lib", "Extracting member 'f.o'.\nExtracting member 's.o'.\n" + summary(0), 0, 0,
         [&] {
           std::filesystem::remove(path("f.o"));
           std::filesystem::remove(path("s.o"));
         }}},
       [&] {
         EXPECT_EQ(memberImage(bytes("fs.lib"), 0), f);
         EXPECT_EQ(memberImage(bytes("fs.lib"), 1), s);
         EXPECT_EQ(bytes("f.o"), f);
         EXPECT_EQ(bytes("s.o"), s);
       }},
      {"own layout: replace keeps the members as they are",
       {{"/q /c fs.lib f.o", "", 0}, {"/q /r fs.lib s.o f.o", "", 0}},
       [&] { EXPECT_EQ(bytes("fs.lib"), library({{"f.o", f}, {"s.o", s}})); }},
      {"library cut after a member header",
       {{"/t cut.lib",
         "Error - Coff file 'b.o' could not read file header.\n"
         "Error - Could not build member 'b.o' in library file 'cut.lib'. \n" +
             summary(2),
         1}},
       [&] { EXPECT_EQ(bytes("cut.lib"), cut); }},
      {"library cut one byte into a member header: what is left lists, and fails",
       {{"/t cut1.lib", missing("cut1.lib") + abList + summary(1), 1}},
       [&] { EXPECT_EQ(bytes("cut1.lib"), cut1); }},
      {"library cut a byte short of a member header: what is left lists, and fails",
       {{"/t cut279.lib", missing("cut279.lib") + abList + summary(1), 1}},
       [&] { EXPECT_EQ(bytes("cut279.lib"), cut279); }},
      {"library cut inside a member header: not rewritten by replace",
       {{"/r cut1.lib b.o", missing("cut1.lib") + summary(1), 1}},
       [&] { EXPECT_EQ(bytes("cut1.lib"), cut1); }},
      {"library cut inside a member header: not rewritten by delete",
       {{"/d cut279.lib a.o", missing("cut279.lib") + summary(1), 1}},
       [&] { EXPECT_EQ(bytes("cut279.lib"), cut279); }},
      {"member name of 255 characters: stored whole",
       {{"/c long.lib " + name255, summary(0), 0},
        {"/t long.lib", listLine(name255, static_cast<std::uint32_t>(b.size()), 2000) + summary(0),
         0}},
       [] {}},
      {"member name of 256 characters: not created",
       {{"/c long.lib b.o " + name256, tooLong("long.lib") + summary(1), 1}},
       [&] { EXPECT_FALSE(std::filesystem::exists(path("long.lib"))); }},
      {"member name of 256 characters: not replaced",
       {{"/r ab.lib " + name256, tooLong("ab.lib") + summary(1), 1}},
       [&] { EXPECT_EQ(bytes("ab.lib"), ab); }},
      {"a symbol's name without its zero: not created",
       {{"/c bad.lib b.o nonul.o", badSymbol + summary(1), 1}},
       [&] { EXPECT_FALSE(std::filesystem::exists(path("bad.lib"))); }},
      {"a symbol's name without its zero: not replaced",
       {{"/r ab.lib nonul.o", badSymbol + summary(1), 1}},
       [&] { EXPECT_EQ(bytes("ab.lib"), ab); }},
      // As the linker and the converters end on it: fatal.
      {"the source file's name without its zero: not created",
       {{"/c bad.lib b.o nosrc.o", badSource + summary(1), 255}},
       [&] { EXPECT_FALSE(std::filesystem::exists(path("bad.lib"))); }},
      {"the source file's name without its zero: not replaced",
       {{"/r ab.lib nosrc.o", badSource + summary(1), 255}},
       [&] { EXPECT_EQ(bytes("ab.lib"), ab); }},
      {"failed member write on replace",
       {{"/r ab.lib b.o", "Error - Coff file 'a.o' could not write file header.\n" + summary(1), 1,
         tooSmall}},
       [&] { EXPECT_EQ(bytes("ab.lib"), ab); }},
      {"failed member write on delete",
       {{"/d ab.lib b.o", "Error - Coff file 'a.o' could not write file header.\n" + summary(1), 1,
         tooSmall}},
       [&] { EXPECT_EQ(bytes("ab.lib"), ab); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    for (const Step& step : c.steps) {
      SCOPED_TRACE(step.args);
      if (step.before) step.before();
      const testing_support::RunResult r = kesvo(step.args, step.fileSizeLimit);
      EXPECT_EQ(r.status, step.status);
      const bool quiet = step.args.rfind("/q ", 0) == 0;
      EXPECT_EQ(r.output, (quiet ? "" : banner()) + step.output);
      const String written = kesvo_test::writtenLibrary(testing_support::splitWords(step.args));
      if (r.status == 0 && !written.empty()) {
        EXPECT_TRUE(kesvo_test::readsBack(path(written))) << written << " does not read back";
      }
    }
    c.check();
    // Nothing left behind by a failed write.
    if (c.steps.back().status != 0) {
      std::vector<String> now = entries();
      EXPECT_EQ(now, files);
    }
  }
}

// The linker reads every library it is given: one cut inside a member
// header stops the link, whatever the link would take from it.
TEST_F(LibraryCorners, LinkerRefusesLibraryCutInsideAMemberHeader) {
  CoffBuilder m("main.o");
  m.processor(0xD001, 8, 8);
  m.section(".code", scnCode, 0, {0x12, 0x00});
  m.externDef("start", 1, 0);
  m.writeFile(path("main.o"));
  Bytes lib = library({{"a.o", object("a.o", "alpha", 1000).bytes()}});
  lib.insert(lib.end(), lib.begin() + libformat::kMagicSize,
             lib.begin() + libformat::kMagicSize + 100);
  put("cut.lib", lib);
  testing_support::writeFile(path("link.lkr"),
                             "CODEPAGE NAME=program START=0x0 END=0x1FFFFF\n"
                             "DATABANK NAME=ram START=0x0 END=0xFFFF\n"
                             "LIBPATH .\n");
  const testing_support::RunResult r =
      runLimited("'" + testing_support::toolBinDir() + "/torvan' link.lkr main.o cut.lib -o x.out",
                 cDir, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("Error - Library file './cut.lib' has a missing member object file.\n"),
            std::string::npos)
      << r.output;
  EXPECT_FALSE(std::filesystem::exists(path("x.out")));
}

}  // namespace

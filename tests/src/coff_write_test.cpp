// Layout and writing of COFF images, and round trips through the reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "coff.h"
#include "fixtures/coff_builder.h"
#include "platform.h"
#include "support/harness.h"

using namespace testing_support;
using fixtures::Bytes;
using fixtures::CoffBuilder;
using fixtures::get16;
using fixtures::get32;

namespace {

constexpr std::time_t kFixedTime = 0x5F5E1000;
std::time_t fixedClock() { return kFixedTime; }

class FixedClock {
 public:
  FixedClock() : cOld(platform::setClock(fixedClock)) {}
  ~FixedClock() { platform::setClock(cOld); }

 private:
  platform::ClockFunction cOld;
};

// A stream that accepts `limit` bytes and fails after that.
struct LimitedSink {
  std::size_t limit;
  Bytes bytes;
};

ssize_t sinkWrite(void* cookie, const char* buf, std::size_t size) {
  auto* s = static_cast<LimitedSink*>(cookie);
  const std::size_t room = s->limit - std::min(s->limit, s->bytes.size());
  const std::size_t n = std::min(room, size);
  if (n == 0) return -1;
  s->bytes.insert(s->bytes.end(), buf, buf + n);
  return static_cast<ssize_t>(n);
}

int sinkSeek(void*, off64_t* offset, int whence) { return whence == SEEK_SET && *offset == 0 ? 0 : -1; }

std::FILE* openSink(LimitedSink& sink) {
  cookie_io_functions_t io{};
  io.write = sinkWrite;
  io.seek = sinkSeek;
  return fopencookie(&sink, "w", io);
}

// The image of the reader tests: blocks at 0, 20, 36, 76, 80, 92, 108, 180
// and 184; 193 bytes in all.
CoffBuilder standardBuilder() {
  CoffBuilder b("std.o");
  b.processor(0x5A5A, 16, 8);
  b.section(".code", scnCode, 0x10, {1, 2, 3, 4});
  const std::uint32_t f = b.file("main.asm");
  const std::uint32_t m = b.function("main", 1, 0x10);
  b.relocation(".code", 0x10, m, 1);
  b.lineNumber(".code", f, 7, 0x10, m);
  return b;
}

// One of everything: every section type and attribute, long names, lines,
// relocations and every auxiliary layout.
CoffBuilder richBuilder() {
  CoffBuilder b("rich.o");
  b.processor(0x7788, 14, 8).optMagic(0x1122, 0x0304).flags(0x8000).timeStamp(12345);
  b.section(".code", scnCode, 0x100, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60});
  b.section(".initialised_data", scnIData, 0x20, {1, 2, 3}, kScnAccess);
  b.udata(".udata", 32, 0x40, kScnAbsolute | kScnOverlay);
  b.section("rom", scnRomData, 0x800, {9, 9}, kScnShare);
  b.section("plain", scnNone, 0, {7});
  const std::uint32_t f = b.file("a_rather_long_source_name.asm");
  b.sectionSymbol(".code", 1, 6, 2, 3);
  const std::uint32_t fn = b.function("a_long_function", 1, 0x100, 12, 6);
  aux_bobf bf;
  bf.x_lnno = 3;
  bf.x_endndx = 10;
  b.symbolWithAux(b.makeSymbol(".bf", 0x100, 1, kClassFunction), bf);
  aux_eobf ef;
  ef.x_lnno = 9;
  b.symbolWithAux(b.makeSymbol(".ef", 0x104, 1, kClassFunction), ef);
  aux_tag tag;
  tag.x_size = 4;
  tag.x_endndx = 14;
  b.symbolWithAux(b.makeSymbol("tag", 0, kScnNumDebug, kClassStructTag, kTypeStruct), tag);
  aux_eos eos;
  eos.x_tagndx = 10;
  eos.x_size = 4;
  b.symbolWithAux(b.makeSymbol(".eos", 4, kScnNumAbsolute, kClassEndOfStruct), eos);
  aux_arr arr;
  arr.x_tagndx = 10;
  arr.x_size = 8;
  arr.x_dimen[0] = 2;
  arr.x_dimen[1] = 4;
  b.symbolWithAux(b.makeSymbol("table", 0x20, 2, kClassStatic, kTypeArray | kTypeStruct), arr);
  aux_var var;
  var.x_tagndx = 10;
  var.x_size = 4;
  b.symbolWithAux(b.makeSymbol("record", 0x23, 2, kClassExternal, kTypeStruct), var);
  b.externRef("an_external_reference");
  b.label("lbl", 1, 0x102);
  b.relocation(".code", 0x100, fn, 1).relocation(".code", 0x102, 19, 24, -2);
  b.relocation(".initialised_data", 0x20, 19, 4, 7);
  b.lineNumber(".code", f, 1, 0x100, fn).lineNumber(".code", f, 2, 0x102, fn);
  b.lineNumber(".code", f, 9, 0x104);
  return b;
}

String capture(const std::function<void()>& run) {
  OutputCapture out;
  run();
  return out.text();
}

// ---------------------------------------------------------------------------
// Layout.

TEST(CoffLayout, EmptyImageIsFortyBytes) {
  DiagnosticsScope scope;
  FixedClock clock;
  Coff c;
  c.cFileHdr.f_opthdr = 16;
  c.cFileHdr.f_magic = 0x4321;  // layout sets the magic in any case
  ASSERT_EQ(c.preWrite(), 1);
  EXPECT_EQ(c.size(), 40u);
  EXPECT_EQ(c.cFileHdr.f_magic, kCoffMagic);
  EXPECT_EQ(c.cFileHdr.f_timdat, std::uint32_t(kFixedTime));
  EXPECT_EQ(c.cFileHdr.f_symptr, 0u);
  EXPECT_EQ(c.cFileHdr.f_nscns, 0);

  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(c.write(f, 0), 1);
  std::fseek(f, 0, SEEK_SET);
  unsigned char got[64];
  const std::size_t n = std::fread(got, 1, sizeof got, f);
  std::fclose(f);
  Bytes expected = {0x34, 0x12, 0, 0, 0x00, 0x10, 0x5E, 0x5F, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0};
  expected.resize(36, 0);
  expected.insert(expected.end(), {4, 0, 0, 0});
  EXPECT_EQ(Bytes(got, got + n), expected);
}

TEST(CoffLayout, SectionPointersAndCounts) {
  CoffBuilder b;
  b.udata(".udata", 100);
  b.section(".code", scnCode, 0, {1, 2, 3, 4});
  b.section(".empty", scnCode);
  b.section(".data", scnIData, 0, {5, 6});
  b.externDef("x", 2, 0);
  b.relocation(".data", 0, 0, 1).relocation(".data", 1, 0, 1);
  b.lineNumber(".code", 0, 1, 0);
  const Coff c = b.laidOut();
  const std::uint32_t raw = 36 + 4 * 40;
  const scnhdr& u = c.cScnHdr.at(".udata");
  EXPECT_EQ(u.s_size, 100u);
  EXPECT_EQ(u.s_scnptr, 0u);
  const scnhdr& code = c.cScnHdr.at(".code");
  EXPECT_EQ(code.s_scnptr, raw);  // as if .udata were not there
  EXPECT_EQ(code.s_relptr, 0u);   // others have relocations, it has none
  EXPECT_EQ(code.s_nreloc, 0);
  EXPECT_EQ(code.s_lnnoptr, raw + 6 + 24);
  EXPECT_EQ(code.s_nlnno, 1);
  const scnhdr& empty = c.cScnHdr.at(".empty");
  EXPECT_EQ(empty.s_size, 0u);
  EXPECT_EQ(empty.s_scnptr, 0u);
  const scnhdr& data = c.cScnHdr.at(".data");
  EXPECT_EQ(data.s_scnptr, raw + 4);
  EXPECT_EQ(data.s_relptr, raw + 6);
  EXPECT_EQ(data.s_nreloc, 2);
  EXPECT_EQ(data.s_lnnoptr, 0u);
  EXPECT_EQ(c.cFileHdr.f_nscns, 4);
  EXPECT_EQ(c.cFileHdr.f_symptr, raw + 6 + 24 + 16);
  EXPECT_EQ(c.cFileHdr.f_nsyms, 1u);
  EXPECT_EQ(c.size(), raw + 6 + 24 + 16 + 18 + 4 + 0);
  EXPECT_EQ(b.bytes().size(), c.size());
}

TEST(CoffLayout, TimeStampAndOptionalHeaderSize) {
  DiagnosticsScope scope;
  FixedClock clock;
  Coff c = standardBuilder().model();
  c.cFileHdr.f_timdat = 77;
  c.cFileHdr.f_opthdr = 0;
  Coff kept = c;
  ASSERT_EQ(c.preWrite(), 1);
  EXPECT_EQ(c.cFileHdr.f_timdat, std::uint32_t(kFixedTime));
  EXPECT_EQ(c.cFileHdr.f_opthdr, 0);  // left as the builder set it
  ASSERT_EQ(kept.preWriteKeepingTime(), 1);
  EXPECT_EQ(kept.cFileHdr.f_timdat, 77u);
  EXPECT_EQ(kept.cFileHdr.f_opthdr, 16);
}

TEST(CoffLayout, FunctionEntriesPointAtTheirLines) {
  CoffBuilder b;
  b.section(".other", scnCode, 0, {0});
  b.section(".code", scnCode, 0, {1, 2, 3, 4});
  syment lbl = b.makeSymbol("lbl", 0, 2, kClassLabel);
  lbl.n_numaux = 1;  // a label has no entry whatever n_numaux says
  b.rawRecord(lbl.record());
  const std::uint32_t f = b.function("f", 2, 0);     // index 1
  const std::uint32_t g = b.function("g", 2, 2);     // index 3
  const std::uint32_t h = b.function("h", 1, 0);     // index 5: a section without lines
  const std::uint32_t k = b.function("k", 2, 2);     // index 7: no line names it
  const std::uint32_t u = b.function("u", 9, 2);     // index 9: no such section
  aux_fcn preset;
  preset.x_lnnoptr = 0xABCD;
  for (std::uint32_t i : {h, k, u}) preset.encode(b.model().cSymbolTbl[i + 1]);
  b.lineNumber(".code", 0, 1, 0, g);
  b.lineNumber(".code", 0, 2, 0, f);
  b.lineNumber(".code", 0, 3, 0);     // no function index
  b.lineNumber(".code", 0, 4, 2, g);  // a later match overrides
  b.lineNumber(".code", 0, 5, 2);
  b.model().cLineInfo[".code"][4].l_fcnndx = f;  // names f without the flag
  const Coff c = b.laidOut();
  const std::uint32_t lines = c.cScnHdr.at(".code").s_lnnoptr;
  auto lnnoptr = [&c](std::uint32_t i) { return aux_fcn::decode(c.cSymbolTbl[i + 1]).x_lnnoptr; };
  EXPECT_EQ(lnnoptr(f), lines + 16);
  EXPECT_EQ(lnnoptr(g), lines + 48);
  EXPECT_EQ(lnnoptr(h), 0xABCDu);
  EXPECT_EQ(lnnoptr(k), 0xABCDu);
  EXPECT_EQ(lnnoptr(u), 0xABCDu);
}

TEST(CoffLayout, OnlyLinesOfTheFunctionsOwnSectionCount) {
  CoffBuilder b;
  b.section(".code", scnCode, 0, {1, 2});
  b.section(".more", scnCode, 0, {3, 4});
  const std::uint32_t f = b.function("f", 1, 0);
  const std::uint32_t g = b.function("g", 2, 0);
  b.lineNumber(".code", 0, 1, 0, f);
  b.lineNumber(".code", 0, 2, 0, g);           // g lives in .more
  b.lineNumber(".more", 0, 3, 0, g);
  b.lineNumber(".more", 0, 4, 0, f);           // f lives in .code
  b.lineNumber(".more", 0, 5, 0, 0xFFFFFFF0);  // no such symbol
  b.lineNumber(".more", 0, 6, 0, f + 1);       // f's entry, not a symbol
  const Coff c = b.laidOut();
  auto lnnoptr = [&c](std::uint32_t i) { return aux_fcn::decode(c.cSymbolTbl[i + 1]).x_lnnoptr; };
  EXPECT_EQ(lnnoptr(f), c.cScnHdr.at(".code").s_lnnoptr);
  EXPECT_EQ(lnnoptr(g), c.cScnHdr.at(".more").s_lnnoptr);
}

TEST(CoffLayout, FunctionAsLastRecordHasNoEntryToFix) {
  CoffBuilder b;
  b.section(".code", scnCode, 0, {1});
  syment fn = b.makeSymbol("f", 0, 1, kClassExternal, kTypeFunction);
  fn.n_numaux = 1;
  b.rawRecord(fn.record());
  b.lineNumber(".code", 0, 1, 0, 0);
  Coff c = b.model();
  c.fixupAuxFcns();
  EXPECT_EQ(c.cSymbolTbl.size(), 1u);
  EXPECT_TRUE(c.cSymbolTbl[0] == fn.record());
}

TEST(CoffLayout, RefusesCountsBeyondSixteenBits) {
  struct Case {
    const char* what;
    std::function<void(Coff&)> grow;
    const char* message;
  };
  const Case cases[] = {
      {"relocations",
       [](Coff& c) { c.cRelocInfo[".code"].resize(65536); },
       "Error - Coff file 'big.o', section '.code' has more than 65535 relocations.\n"},
      {"line numbers",
       [](Coff& c) { c.cLineInfo[".code"].resize(65536); },
       "Error - Coff file 'big.o', section '.code' has more than 65535 line numbers.\n"},
      {"sections",
       [](Coff& c) {
         for (int i = 2; i <= 65536; ++i) c.cScnNum[i] = ".code";
       },
       "Error - Coff file 'big.o' has more than 65535 sections.\n"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    CoffBuilder b("big.o");
    b.section(".code", scnCode, 0, {1});
    Coff c = b.model();
    k.grow(c);
    const Coff before = c;
    DiagnosticsScope scope;
    int result = -1;
    EXPECT_EQ(capture([&] { result = c.preWrite(); }), k.message);
    EXPECT_EQ(result, 0);
    fixtures::expectSameCoff(c, before);
  }
  // 65535 still fits.
  CoffBuilder b("big.o");
  b.section(".code", scnCode, 0, {1});
  b.externDef("x", 1, 0);
  Coff c = b.model();
  c.cRelocInfo[".code"].resize(65535);
  ASSERT_EQ(c.preWrite(), 1);
  EXPECT_EQ(c.cScnHdr[".code"].s_nreloc, 65535);
}

// ---------------------------------------------------------------------------
// Writing.

TEST(CoffWrite, SizeMatchesTheBytesWritten) {
  for (const CoffBuilder& b : {standardBuilder(), richBuilder(), CoffBuilder()}) {
    const Coff c = b.laidOut();
    EXPECT_EQ(b.bytes().size(), c.size()) << c.cFileName;
  }
}

TEST(CoffWrite, AtAPositionInsideAFile) {
  const Coff c = standardBuilder().laidOut();
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  std::fwrite("prefix", 1, 6, f);
  ASSERT_EQ(c.write(f, 6), 1);
  std::fseek(f, 0, SEEK_SET);
  Bytes got(300);
  got.resize(std::fread(got.data(), 1, got.size(), f));
  std::fclose(f);
  ASSERT_EQ(got.size(), 6 + c.size());
  EXPECT_EQ(std::memcmp(got.data(), "prefix", 6), 0);
  EXPECT_EQ(Bytes(got.begin() + 6, got.end()), standardBuilder().bytes());
}

TEST(CoffWrite, FirstFailedBlockIsReported) {
  struct Case {
    std::size_t limit;
    const char* message;
  };
  const Case cases[] = {
      {0, "' could not write file header."},
      {19, "' could not write file header."},
      {20, "' could not write optional file header."},
      {36, "' could not write section header."},
      {76, "' could not write raw data."},
      {80, "' could not write reloc."},
      {100, "' could not write lineinfo."},
      {108, "' could not write symbol."},
      {180, "' could not write string table length."},
      {184, "' could not write string."},
      {192, "' could not write string."},
  };
  const Coff c = standardBuilder().laidOut();
  ASSERT_EQ(c.size(), 193u);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.limit);
    DiagnosticsScope scope;
    LimitedSink sink{k.limit, {}};
    std::FILE* f = openSink(sink);
    ASSERT_NE(f, nullptr);
    int result = -1;
    EXPECT_EQ(capture([&] { result = c.write(f, 0); }),
              String("Error - Coff file 'std.o") + k.message + "\n");
    std::fclose(f);
    EXPECT_EQ(result, 0);
  }
  LimitedSink sink{193, {}};
  std::FILE* f = openSink(sink);
  EXPECT_EQ(c.write(f, 0), 1);
  std::fclose(f);
  EXPECT_EQ(sink.bytes, standardBuilder().bytes());
}

TEST(CoffWrite, ByFileName) {
  DiagnosticsScope scope;
  const String dir = makeTempDir("coffwrite");
  Coff c = standardBuilder().laidOut();
  c.cFileName = dir + "\\out.o";  // written where "/" would put it
  EXPECT_EQ(capture([&] { EXPECT_EQ(c.write(), 1); }), "");
  EXPECT_EQ(fixtures::readBytes(dir + "/out.o"), standardBuilder().bytes());

  c.cFileName = dir + "/missing/out.o";
  EXPECT_EQ(capture([&] { EXPECT_EQ(c.write(), 0); }),
            "Error - Could not open Coff file '" + dir + "/missing/out.o' for writing.\n");

  c.cFileName = "/dev/full";
  EXPECT_EQ(capture([&] { EXPECT_EQ(c.write(), 0); }),
            "Error - Could not write Coff file '/dev/full'.\n");
}

// A file that already holds the image is left in place and stamped as
// written; one that differs, even by a byte of the same length, is replaced.
TEST(CoffWrite, OverAFileThatAlreadyHoldsTheImage) {
  DiagnosticsScope scope;
  const String dir = makeTempDir("coffsame");
  Coff c = standardBuilder().laidOut();
  c.cFileName = dir + "/out.o";
  const Bytes image = standardBuilder().bytes();
  struct Case {
    const char* what;
    std::size_t flipped;  // byte changed in the old file; image.size() for none
    bool kept;
  };
  const Case cases[] = {
      {"same bytes", image.size(), true},
      {"time stamp differs", 4, false},
      {"last string differs", image.size() - 2, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Bytes old = image;
    if (k.flipped < old.size()) old[k.flipped] ^= 0x5A;
    writeFile(c.cFileName, String(old.begin(), old.end()));
    const struct timespec past[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, c.cFileName.c_str(), past, 0), 0);
    struct stat before;
    ASSERT_EQ(stat(c.cFileName.c_str(), &before), 0);
    EXPECT_EQ(capture([&] { EXPECT_EQ(c.write(), 1); }), "");
    struct stat after;
    ASSERT_EQ(stat(c.cFileName.c_str(), &after), 0);
    EXPECT_EQ(fixtures::readBytes(c.cFileName), image);
    EXPECT_EQ(after.st_ino == before.st_ino, k.kept);
    EXPECT_GT(after.st_mtime, 1000);
  }
}

// A large file of other bytes is replaced too (and let go on a thread of
// its own), keeping its permissions.
TEST(CoffWrite, OverALargeFileOfOtherBytes) {
  DiagnosticsScope scope;
  const String dir = makeTempDir("cofflarge");
  Coff c = standardBuilder().laidOut();
  c.cFileName = dir + "/out.o";
  writeFile(c.cFileName, String(3u << 20, 'x'));
  ASSERT_EQ(chmod(c.cFileName.c_str(), 0640), 0);
  EXPECT_EQ(capture([&] { EXPECT_EQ(c.write(), 1); }), "");
  EXPECT_EQ(fixtures::readBytes(c.cFileName), standardBuilder().bytes());
  struct stat st;
  ASSERT_EQ(stat(c.cFileName.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(CoffWrite, ThroughASymbolicLink) {
  DiagnosticsScope scope;
  const String dir = makeTempDir("cofflink");
  const Bytes image = standardBuilder().bytes();
  for (const bool same : {true, false}) {
    SCOPED_TRACE(same ? "target holds the image" : "target holds other bytes");
    const String target = dir + "/target.o";
    const String link = dir + "/link.o";
    writeFile(target, same ? String(image.begin(), image.end()) : String("old"));
    std::remove(link.c_str());
    ASSERT_EQ(symlink("target.o", link.c_str()), 0);
    Coff c = standardBuilder().laidOut();
    c.cFileName = link;
    EXPECT_EQ(capture([&] { EXPECT_EQ(c.write(), 1); }), "");
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(fixtures::readBytes(target), image);
  }
}

// ---------------------------------------------------------------------------
// Round trips.

TEST(CoffRoundTrip, BuildWriteReadCompare) {
  for (const CoffBuilder& b : {standardBuilder(), richBuilder(), CoffBuilder("empty.o")}) {
    SCOPED_TRACE(b.model().cFileName);
    DiagnosticsScope scope;
    OutputCapture out;
    const Bytes bytes = b.bytes();
    std::unique_ptr<Coff> back = fixtures::readImage(bytes, b.model().cFileName);
    ASSERT_NE(back, nullptr);
    fixtures::expectSameCoff(*back, b.laidOut(), true);
    EXPECT_EQ(back->verify(), 1);
    EXPECT_EQ(back->size(), bytes.size());
    // Written again without a new layout, the image is the same.
    std::FILE* f = std::tmpfile();
    ASSERT_EQ(back->write(f, 0), 1);
    std::fseek(f, 0, SEEK_SET);
    Bytes again(bytes.size() + 8);
    again.resize(std::fread(again.data(), 1, again.size(), f));
    std::fclose(f);
    EXPECT_EQ(again, bytes);
    EXPECT_EQ(out.text(), "");
  }
}

TEST(CoffLayout, IsLaidOutOnlyWhenEveryBlockIsInPlace) {
  // Read from an image our writer produced, then changed: only the
  // placement of blocks counts, not fields the layout would also set.
  const Bytes rich = richBuilder().bytes();
  CoffBuilder strippedBuilder("bare.o");
  strippedBuilder.section(".code", scnCode, 0, {1, 2});
  const Bytes stripped = strippedBuilder.bytes();
  fixtures::EmitOptions reordered;
  reordered.order = {fixtures::Block::Symbols, fixtures::Block::RawData,
                     fixtures::Block::Relocations, fixtures::Block::LineNumbers};
  fixtures::EmitOptions gap;
  gap.gap = 2;
  fixtures::EmitOptions older;
  older.olderLayout = true;
  struct Case {
    const char* name;
    Bytes image;
    std::function<void(Coff&)> change;
    bool laidOut;
  } cases[] = {
      {"as written", rich, [](Coff&) {}, true},
      {"function entry without x_lnnoptr", rich,
       [](Coff& c) {
         for (std::size_t i = 0; i < c.cSymbolTbl.size(); ++i)
           if (c.cAuxKind[i] == auxFcn) {
             aux_fcn a = aux_fcn::decode(c.cSymbolTbl[i]);
             a.x_lnnoptr = 0;
             a.encode(c.cSymbolTbl[i]);
           }
       },
       true},
      {"no symbols, f_symptr 0", stripped, [](Coff&) {}, true},
      {"no symbols, f_symptr at the strings", stripped,
       [](Coff& c) { c.cFileHdr.f_symptr = c.size() - 4; }, true},
      {"no symbols, f_symptr elsewhere", stripped,
       [](Coff& c) { c.cFileHdr.f_symptr = c.size() - 2; }, false},
      {"symbols elsewhere", rich, [](Coff& c) { c.cFileHdr.f_symptr += 18; }, false},
      {"relocations elsewhere", rich, [](Coff& c) { c.cScnHdr.at(".code").s_relptr += 1; }, false},
      {"line count the model does not hold", rich,
       [](Coff& c) { c.cScnHdr.at("plain").s_nlnno = 1; }, false},
      {"uninitialised data with a pointer", rich,
       [](Coff& c) { c.cScnHdr.at(".udata").s_scnptr = 36; }, false},
      {"blocks in another order", richBuilder().emit(reordered), [](Coff&) {}, false},
      {"filler between blocks", richBuilder().emit(gap), [](Coff&) {}, false},
      {"older layout", standardBuilder().emit(older), [](Coff&) {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DiagnosticsScope scope;
    OutputCapture out;
    std::unique_ptr<Coff> image = fixtures::readImage(c.image);
    ASSERT_NE(image, nullptr);
    c.change(*image);
    EXPECT_EQ(image->isLaidOut(), c.laidOut);
    // Laid out again, every image is in place.
    ASSERT_EQ(image->preWriteKeepingTime(), 1);
    EXPECT_TRUE(image->isLaidOut());
  }
}

TEST(CoffRoundTrip, RichImageDetails) {
  const CoffBuilder b = richBuilder();
  std::unique_ptr<Coff> c = fixtures::readImage(b.bytes());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->cFileHdr.f_timdat, 12345u);
  EXPECT_EQ(c->cOptHdr.vstamp, 0x0304);
  EXPECT_EQ(c->cScnNum.at(2), ".initialised_data");
  EXPECT_EQ(getScnType(c->cScnHdr.at("rom")), scnRomData);
  EXPECT_TRUE(isOverlayScn(c->cScnHdr.at(".udata")));
  EXPECT_EQ(c->cRelocInfo.at(".code")[1].r_offset, -2);
  const std::vector<std::uint32_t> kinds = {0, auxFile, 0, auxScn, 0, auxFcn, 0, auxBobf, 0, auxEobf,
                                            0, auxTag, 0, auxEos, 0, auxArr, 0, auxVar, 0, 0};
  EXPECT_EQ(c->cAuxKind, kinds);
  EXPECT_EQ(c->getName(syment::decode(c->cSymbolTbl[18])), "an_external_reference");
}

TEST(CoffRoundTrip, OlderLayoutLaidOutAgain) {
  // A member read in the older layout, laid out again keeping its time
  // stamp, reads back in the current layout with the same content.
  CoffBuilder b;
  b.timeStamp(999);
  b.section(".code", scnCode, 0, {1, 2, 3, 4});
  const std::uint32_t f = b.file("x.asm");
  const std::uint32_t fn = b.function("fn", 1, 0);
  b.relocation(".code", 2, fn, kOldLayoutRelocType);
  b.lineNumber(".code", 0, 5, 0, fn);
  fixtures::EmitOptions o;
  o.olderLayout = true;
  Coff old;
  {
    DiagnosticsScope scope;
    OutputCapture out;
    std::unique_ptr<Coff> read = fixtures::readImage(b.emit(o));
    ASSERT_NE(read, nullptr);
    old = *read;
  }
  ASSERT_EQ(old.preWriteKeepingTime(), 1);
  std::FILE* file = std::tmpfile();
  ASSERT_EQ(old.write(file, 0), 1);
  std::fseek(file, 0, SEEK_SET);
  Bytes bytes(old.size() + 8);
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
  std::fclose(file);
  ASSERT_EQ(bytes.size(), old.size());
  DiagnosticsScope scope;
  OutputCapture out;
  std::unique_ptr<Coff> back = fixtures::readImage(bytes);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(out.text(), "");
  fixtures::expectSameCoff(*back, old);
  EXPECT_EQ(back->cFileHdr.f_timdat, 999u);
  EXPECT_EQ(back->getName(aux_file::decode(back->cSymbolTbl[f + 1])), "x.asm");
}

TEST(CoffRoundTrip, StrippedExecutable) {
  CoffBuilder b("a.out");
  b.flags(0x0086).processor(0x3333, 16, 8);
  b.section(".code", scnCode, 0, {1, 2});
  b.section(".config_words", scnRomData, 0x3000, {0xFF, 0x3F});
  const Coff c = b.laidOut();
  EXPECT_EQ(c.cFileHdr.f_symptr, 0u);
  EXPECT_EQ(c.cFileHdr.f_nsyms, 0u);
  const Bytes bytes = b.bytes();
  EXPECT_EQ(get32(bytes, bytes.size() - 4 - 14), 4u + 14u);  // the table follows the last block
  EXPECT_EQ(get16(bytes, 18), 0x0086);
  std::unique_ptr<Coff> back = fixtures::readImage(bytes);
  ASSERT_NE(back, nullptr);
  fixtures::expectSameCoff(*back, c);
}

}  // namespace

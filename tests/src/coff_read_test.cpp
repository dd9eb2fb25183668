// Reading COFF images: malformed input, the older layout, string-table
// splitting, symbol pairing, sections, stripped executables and members.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

#include "coff.h"
#include "fixtures/coff_builder.h"
#include "support/harness.h"

using namespace testing_support;
using fixtures::Bytes;
using fixtures::CoffBuilder;
using fixtures::get32;
using fixtures::put16;
using fixtures::put32;

namespace {

// Offsets in the standard image below (one section, current layout).
constexpr std::size_t kNscns = 2, kSymptr = 8, kNsyms = 12, kOpthdr = 16;
constexpr std::size_t kScn1 = 36;
constexpr std::size_t kSize = kScn1 + 16, kScnptr = kScn1 + 20, kRelptr = kScn1 + 24,
                      kLnnoptr = kScn1 + 28, kNreloc = kScn1 + 32, kNlnno = kScn1 + 34;

// ".code" with 4 bytes, a relocation and a line; ".file" and "main" with
// their entries.
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

std::size_t stringTableAt(const Bytes& image) {
  return get32(image, kSymptr) + 18 * std::size_t(get32(image, kNsyms));
}

// Reads bytes under name, capturing what the reader prints.
struct ReadResult {
  std::unique_ptr<Coff> coff;
  String output;
  int errors;
};

ReadResult readCaptured(const Bytes& bytes, const String& name = "bad.o", std::uint64_t base = 0) {
  DiagnosticsScope scope;
  ExitTrap trap;  // an unexpected fatal error fails the test, not the run
  OutputCapture out;
  ReadResult r;
  r.coff = Coff::make(bytes, base, name);
  r.output = out.text();
  r.errors = getErrorCount();
  return r;
}

// The same through a file, read for its memory image alone; the file is
// named in the message as given.
ReadResult readImageCaptured(const Bytes& bytes, const String& path) {
  fixtures::writeBytes(path, bytes);
  DiagnosticsScope scope;
  ExitTrap trap;
  OutputCapture out;
  ReadResult r;
  r.coff = Coff::makeMemoryImage(path);
  r.output = out.text();
  r.errors = getErrorCount();
  return r;
}

// ---------------------------------------------------------------------------
// Malformed input: each case gives its message and no object.

struct BadCase {
  const char* what;
  std::function<void(Bytes&)> damage;
  const char* message;  // after "Coff file 'bad.o' "
};

TEST(CoffReadMalformed, EachDamageGivesItsMessageAndNoObject) {
  const Bytes good = standardBuilder().bytes();
  ASSERT_EQ(good.size(), 193u);
  const std::size_t str = stringTableAt(good);
  ASSERT_EQ(str, 180u);

  const BadCase cases[] = {
      {"empty file", [](Bytes& b) { b.clear(); }, "could not read file header."},
      {"19-byte file", [](Bytes& b) { b.resize(19); }, "could not read file header."},
      {"bad magic", [](Bytes& b) { put16(b, 0, 0x1235); }, "does not appear to be a valid COFF file."},
      {"bad magic in a header-only file", [](Bytes& b) { b.resize(20); put16(b, 0, 0x3412); },
       "does not appear to be a valid COFF file."},
      {"short optional header", [](Bytes& b) { b.resize(30); },
       "could not read optional file header."},
      {"string table length cut", [str](Bytes& b) { b.resize(str + 2); },
       "could not read string table length."},
      {"string table cut", [](Bytes& b) { b.pop_back(); }, "could not read string table."},
      {"string table length 0", [str](Bytes& b) { put32(b, str, 0); }, "could not read string table."},
      {"string table length 3", [str](Bytes& b) { put32(b, str, 3); }, "could not read string table."},
      {"string table length huge", [str](Bytes& b) { put32(b, str, 0xFFFFFFFF); },
       "could not read string table."},
      {"symbol pointer past the end", [](Bytes& b) { put32(b, kSymptr, 0x7FFFFFF0); },
       "could not read string table length."},
      {"symbol count whose 18-fold wraps 32 bits", [](Bytes& b) { put32(b, kNsyms, 0x0E38E38F); },
       "could not read string table length."},
      {"symbol count huge", [](Bytes& b) { put32(b, kNsyms, 0xFFFFFFFF); },
       "could not read string table length."},
      {"more section headers than the file holds",
       [](Bytes& b) {
         b = CoffBuilder().bytes();
         put16(b, kNscns, 1);
       },
       "could not read section header."},
      {"raw data pointer past the end", [](Bytes& b) { put32(b, kScnptr, 0x10000); },
       "could not read raw data."},
      {"raw data pointer wrapping 32 bits", [](Bytes& b) { put32(b, kScnptr, 0xFFFFFFFE); },
       "could not read raw data."},
      {"raw data size huge", [](Bytes& b) { put32(b, kSize, 0xFFFFFFFF); },
       "could not read raw data."},
      {"raw data one byte too long", [](Bytes& b) { put32(b, kScnptr, std::uint32_t(b.size() - 3)); },
       "could not read raw data."},
      {"zero-filled section above 16 MiB", [](Bytes& b) {
         put32(b, kScnptr, 0);
         put32(b, kSize, (16u << 20) + 1);
       },
       "could not read raw data."},
      {"line pointer past the end", [](Bytes& b) { put32(b, kLnnoptr, 0x80000000); },
       "could not read line numbers."},
      {"line count past the end", [](Bytes& b) { put16(b, kNlnno, 0xFFFF); },
       "could not read line numbers."},
      {"relocation pointer past the end", [](Bytes& b) { put32(b, kRelptr, 0xFFFFFFFF); },
       "could not read relocation info."},
      {"relocation count past the end", [](Bytes& b) { put16(b, kNreloc, 0xFFFF); },
       "could not read relocation info."},
  };
  const std::string dir = makeTempDir("coffread");
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = good;
    c.damage(bytes);
    const ReadResult r = readCaptured(bytes);
    EXPECT_EQ(r.coff, nullptr);
    EXPECT_EQ(r.output, String("Error - Coff file 'bad.o' ") + c.message + "\n");
    EXPECT_EQ(r.errors, 1);
    // A reader of the memory image alone, which leaves the symbols and line
    // records unread, refuses the same files with the same message.
    const ReadResult m = readImageCaptured(bytes, dir + "/bad.o");
    EXPECT_EQ(m.coff, nullptr);
    EXPECT_EQ(m.output, "Error - Coff file '" + dir + "/bad.o' " + c.message + "\n");
  }
  std::filesystem::remove_all(dir);
}

TEST(CoffRead, MemoryImageAloneLeavesSymbolsLinesAndRelocationsUnread) {
  const std::string dir = makeTempDir("coffread");
  CoffBuilder b = standardBuilder();
  b.section(".romdata", scnRomData, 0x20, {5, 6});
  b.section(".idata", scnIData, 0x40, {7, 8});
  const ReadResult whole = readCaptured(b.bytes());
  const ReadResult image = readImageCaptured(b.bytes(), dir + "/std.o");
  std::filesystem::remove_all(dir);
  ASSERT_NE(whole.coff, nullptr);
  ASSERT_NE(image.coff, nullptr);
  EXPECT_EQ(image.output, "");
  const Data& wholeCode = whole.coff->cRawData.at(".code");
  const Data& imageCode = image.coff->cRawData.at(".code");
  EXPECT_EQ(Bytes(imageCode.data(), imageCode.data() + imageCode.size()),
            Bytes(wholeCode.data(), wholeCode.data() + wholeCode.size()));
  EXPECT_EQ(image.coff->cRawData.count(".romdata"), 1u);
  // Data memory is not part of the image.
  EXPECT_EQ(whole.coff->cRawData.count(".idata"), 1u);
  EXPECT_EQ(image.coff->cRawData.count(".idata"), 0u);
  EXPECT_EQ(image.coff->cScnNum, whole.coff->cScnNum);
  EXPECT_FALSE(whole.coff->cRelocInfo.empty());
  EXPECT_TRUE(image.coff->cRelocInfo.empty());
  EXPECT_EQ(image.coff->cOptHdr.rom_width_bits, whole.coff->cOptHdr.rom_width_bits);
  EXPECT_FALSE(whole.coff->cSymbolTbl.empty());
  EXPECT_FALSE(whole.coff->cLineInfo.empty());
  EXPECT_TRUE(image.coff->cSymbolTbl.empty());
  EXPECT_TRUE(image.coff->cLineInfo.empty());
}

// Blocks that section headers share or overlap: the first block, in the
// order the reader reads them, that overlaps one read before it is refused
// with its step's message. (Every sound image has its blocks back to back.)
TEST(CoffReadMalformed, SharedAndOverlappingBlocksAreRefused) {
  using fixtures::Block;
  // Three sections, each with 8 bytes, two relocations and two lines.
  auto three = []() {
    CoffBuilder b("blocks.o");
    b.processor(0x5A5A, 16, 8);
    const std::uint32_t f = b.file("main.asm");
    for (const char* name : {".a", ".b", ".c"}) {
      b.section(name, scnCode, 0, Bytes(8, 0x5A));
      for (std::uint32_t k = 0; k < 2; ++k) {
        b.relocation(name, k, f, 1);
        b.lineNumber(name, f, static_cast<std::uint16_t>(k + 1), k);
      }
    }
    return b;
  };
  struct Case {
    const char* what;
    std::vector<fixtures::BlockAlias> aliases;
    bool olderLayout;
    const char* message;
  };
  const Case cases[] = {
      {"raw data shared", {{3, Block::RawData, 1, 0}}, false, "could not read raw data."},
      {"raw data overlapping by a byte", {{2, Block::RawData, 1, 7}}, false,
       "could not read raw data."},
      {"relocations shared", {{2, Block::Relocations, 1, 0}}, false,
       "could not read relocation info."},
      {"relocations overlapping", {{3, Block::Relocations, 2, 6}}, false,
       "could not read relocation info."},
      {"line numbers shared", {{2, Block::LineNumbers, 3, 0}}, false,
       "could not read line numbers."},
      {"older layout relocations shared", {{2, Block::Relocations, 1, 0}}, true,
       "could not read relocation info."},
      {"older layout line numbers overlapping", {{3, Block::LineNumbers, 1, 3}}, true,
       "could not read line numbers."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fixtures::EmitOptions o;
    o.olderLayout = c.olderLayout;
    o.aliases = c.aliases;
    const ReadResult r = readCaptured(three().emit(o));
    const String older = c.olderLayout ? "Error - Coff file 'bad.o' missing optional file header.\n"
                                       : "";
    EXPECT_EQ(r.coff, nullptr);
    EXPECT_EQ(r.output, older + "Error - Coff file 'bad.o' " + c.message + "\n");
  }
}

TEST(CoffReadMalformed, BlockOverlapIsBlamedOnTheBlockReadLater) {
  CoffBuilder b("blocks.o");
  b.processor(0x5A5A, 16, 8);
  const std::uint32_t f = b.file("main.asm");
  b.section(".a", scnCode, 0, Bytes(24, 0x5A));
  b.section(".b", scnCode, 0, Bytes(8, 0x5A));
  b.relocation(".b", 0, f, 1);
  Bytes image = b.emit(fixtures::EmitOptions());
  constexpr std::size_t kScn2 = kScn1 + 40;
  // The second section's relocations over the first's raw data: blamed on
  // the relocations, read after that raw data.
  put32(image, kScn2 + 24, get32(image, kScnptr) + 4);
  ReadResult r = readCaptured(image);
  EXPECT_EQ(r.coff, nullptr);
  EXPECT_EQ(r.output, "Error - Coff file 'bad.o' could not read relocation info.\n");
  // The first section's raw data over the second's relocations, where
  // they stand: blamed on those relocations, read after the raw data.
  image = b.emit(fixtures::EmitOptions());
  put32(image, kScnptr, get32(image, kScn2 + 24));
  r = readCaptured(image);
  EXPECT_EQ(r.coff, nullptr);
  EXPECT_EQ(r.output, "Error - Coff file 'bad.o' could not read relocation info.\n");
  // A section of size 0 is not read, wherever its pointers point.
  image = b.emit(fixtures::EmitOptions());
  put32(image, kScn2 + 16, 0);
  put32(image, kScn2 + 20, get32(image, kScnptr));
  r = readCaptured(image);
  EXPECT_NE(r.coff, nullptr);
  EXPECT_EQ(r.output, "");
}

// Uninitialised data is never read, so its pointer, which some writers
// leave set, takes no part in the overlap check; it must still point into
// the file. Its bytes are zeros whatever the pointer points at, and none
// is held in memory until asked for.
TEST(CoffReadMalformed, UninitialisedDataPointersAreNotBlocks) {
  CoffBuilder b("blocks.o");
  b.processor(0x5A5A, 16, 8);
  const std::uint32_t f = b.file("main.asm");
  b.section(".code", scnCode, 0, Bytes(8, 0x5A));
  b.relocation(".code", 0, f, 1);
  b.lineNumber(".code", f, 1, 0);
  b.udata(".vars", 6);
  const Bytes image = b.emit(fixtures::EmitOptions());
  constexpr std::size_t kScn2 = kScn1 + 40;
  const std::uint32_t raw = get32(image, kScnptr);
  struct Case {
    const char* what;
    std::uint32_t pointer;
    bool read;
  };
  const Case cases[] = {
      {"at the code's raw data", raw, true},
      {"inside the code's raw data", raw + 4, true},
      {"at the relocations", get32(image, kScn1 + 24), true},
      {"at the line numbers", get32(image, kScn1 + 28), true},
      {"ending at the end of the file", static_cast<std::uint32_t>(image.size() - 6), true},
      {"ending past the end of the file", static_cast<std::uint32_t>(image.size() - 5), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = image;
    put32(bytes, kScn2 + 20, c.pointer);
    const ReadResult r = readCaptured(bytes);
    if (!c.read) {
      EXPECT_EQ(r.coff, nullptr);
      EXPECT_EQ(r.output, "Error - Coff file 'bad.o' could not read raw data.\n");
      continue;
    }
    ASSERT_NE(r.coff, nullptr);
    EXPECT_EQ(r.output, "");
    const Data& vars = r.coff->cRawData[".vars"];
    EXPECT_EQ(vars.size(), 6u);
    EXPECT_EQ(vars.heldSize(), 0u);
    EXPECT_EQ(Bytes(vars.data(), vars.data() + vars.size()), Bytes(6, 0));
    const Data& code = r.coff->cRawData[".code"];
    EXPECT_EQ(Bytes(code.data(), code.data() + code.size()), Bytes(8, 0x5A));
  }
}

TEST(CoffReadMalformed, OlderLayoutHeadersPastTheEnd) {
  fixtures::EmitOptions o;
  o.olderLayout = true;
  Bytes bytes = standardBuilder().emit(o);
  put16(bytes, kOpthdr, 0xFF00);
  const ReadResult r = readCaptured(bytes);
  EXPECT_EQ(r.coff, nullptr);
  EXPECT_EQ(r.output,
            "Error - Coff file 'bad.o' missing optional file header.\n"
            "Error - Coff file 'bad.o' could not read section header.\n");
  EXPECT_EQ(r.errors, 2);
}

TEST(CoffReadMalformed, ZeroFilledSectionsAreCappedInTotal) {
  CoffBuilder b;
  b.udata(".a", 8 << 20);
  b.udata(".b", 8 << 20);
  Bytes bytes = b.bytes();
  const ReadResult ok = readCaptured(bytes);  // exactly 16 MiB in all
  ASSERT_NE(ok.coff, nullptr);
  EXPECT_EQ(ok.coff->cRawData[".b"].size(), 8u << 20);

  put32(bytes, kScn1 + 40 + 16, (8 << 20) + 1);
  const ReadResult bad = readCaptured(bytes);
  EXPECT_EQ(bad.coff, nullptr);
  EXPECT_EQ(bad.output, "Error - Coff file 'bad.o' could not read raw data.\n");
}

// One code section whose long name points past the string table.
Bytes missingLongSectionName() {
  CoffBuilder b;
  b.section(".long_section_name", scnCode, 0, {1, 2});
  Bytes bytes = b.bytes();
  put32(bytes, kScn1 + 4, 99);  // s_offset into nowhere
  return bytes;
}

const char kMissingNameReport[] =
    "Error - Unable to find section name in string table.\n"
    "Errors    : 1\nWarnings  : 0\n\n";

// Runs read with an exit that unwinds; the status it exited with (-1 for
// none), and what it printed in output.
int exitStatusOf(const std::function<void()>& read, std::string& output) {
  DiagnosticsScope scope;
  ExitTrap trap;
  OutputCapture out;
  int status = -1;
  try {
    read();
  } catch (const ProcessExit& e) {
    status = e.status;
  }
  output = out.text();
  return status;
}

TEST(CoffReadMalformed, MissingLongSectionNameIsFatal) {
  const Bytes bytes = missingLongSectionName();
  std::string output;
  EXPECT_EQ(exitStatusOf([&] { Coff::make(bytes, 0, "bad.o"); }, output), 255);
  EXPECT_EQ(output, kMissingNameReport);
}

// The memory-image reader reads its file by offset: a fatal report that
// unwinds through it (as under a replaced exit function) leaves no
// descriptor open, however many times it happens.
TEST(CoffReadMalformed, MissingLongSectionNameInAMemoryImageLeavesNoDescriptorOpen) {
  const std::string dir = makeTempDir("coffread");
  fixtures::writeBytes(dir + "/bad.o", missingLongSectionName());
  const auto openDescriptors = [] {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      (void)entry;
      ++n;
    }
    return n;
  };
  const std::size_t before = openDescriptors();
  for (int i = 0; i < 3; ++i) {
    std::string output;
    EXPECT_EQ(exitStatusOf([&] { Coff::makeMemoryImage(dir + "/bad.o"); }, output), 255);
    EXPECT_EQ(output, kMissingNameReport);
  }
  EXPECT_EQ(openDescriptors(), before);
  std::filesystem::remove_all(dir);
}

TEST(CoffReadMalformed, MissingLongSectionNameGivesNoObjectWhenTheExitReturns) {
  const Bytes bytes = missingLongSectionName();
  DiagnosticsScope scope;
  ExitRecorder recorder;
  OutputCapture out;
  EXPECT_EQ(Coff::make(bytes, 0, "bad.o"), nullptr);
  EXPECT_EQ(ExitRecorder::lastStatus(), 255);
}

TEST(CoffReadMalformed, UnopenableFile) {
  const ReadResult r = [] {
    DiagnosticsScope scope;
    OutputCapture out;
    ReadResult res;
    res.coff = Coff::make("/nonexistent/dir/x.o");
    res.output = out.text();
    res.errors = getErrorCount();
    return res;
  }();
  EXPECT_EQ(r.coff, nullptr);
  EXPECT_EQ(r.output, "Error - Could not open Coff file '/nonexistent/dir/x.o' for reading.\n");
  EXPECT_EQ(r.errors, 1);
}

// ---------------------------------------------------------------------------
// Well-formed images.

TEST(CoffRead, StandardImageReadsBackAsLaidOut) {
  const CoffBuilder b = standardBuilder();
  const ReadResult r = readCaptured(b.bytes(), "std.o");
  ASSERT_NE(r.coff, nullptr);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(r.coff->cFileName, "std.o");
  fixtures::expectSameCoff(*r.coff, b.laidOut(), true);
  EXPECT_EQ(r.coff->verify(), 1);
}

TEST(CoffRead, ByFileNameWithBackslashes) {
  const String dir = makeTempDir("coffread");
  standardBuilder().writeFile(dir + "/std.o");
  DiagnosticsScope scope;
  OutputCapture out;
  std::unique_ptr<Coff> c = Coff::make(dir + "\\std.o");
  std::filesystem::remove_all(dir);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->cFileName, dir + "\\std.o");
  EXPECT_EQ(c->cRawData[".code"].size(), 4u);
  EXPECT_EQ(out.text(), "");
}

TEST(CoffRead, MemberAtABaseOffsetInsideALibrary) {
  const CoffBuilder b = standardBuilder();
  const Bytes image = b.bytes();
  Bytes library(280 + image.size() + 50, 'y');  // 'y' for the next member
  std::fill(library.begin(), library.begin() + 280, 'x');
  std::copy(image.begin(), image.end(), library.begin() + 280);
  const ReadResult r = readCaptured(library, "lib.a(std.o)", 280);
  ASSERT_NE(r.coff, nullptr);
  fixtures::expectSameCoff(*r.coff, b.laidOut());

  // A member whose blocks run past the library's end.
  Bytes cut(library.begin(), library.begin() + 280 + 100);
  const ReadResult bad = readCaptured(cut, "m", 280);
  EXPECT_EQ(bad.coff, nullptr);
  EXPECT_EQ(bad.output, "Error - Coff file 'm' could not read string table length.\n");
  // A base beyond the file.
  const ReadResult far = readCaptured(library, "m", 1u << 20);
  EXPECT_EQ(far.coff, nullptr);
  EXPECT_EQ(far.output, "Error - Coff file 'm' could not read file header.\n");
}

TEST(CoffRead, BlocksInAnyOrderWithGaps) {
  const CoffBuilder b = standardBuilder();
  fixtures::EmitOptions o;
  o.order = {fixtures::Block::Symbols, fixtures::Block::LineNumbers, fixtures::Block::Relocations,
             fixtures::Block::RawData};
  o.gap = 3;
  const ReadResult r = readCaptured(b.emit(o));
  ASSERT_NE(r.coff, nullptr);
  EXPECT_EQ(r.output, "");
  // The function entry points at its line wherever the lines lie.
  const aux_fcn fcn = aux_fcn::decode(r.coff->cSymbolTbl[3]);
  EXPECT_EQ(fcn.x_lnnoptr, r.coff->cScnHdr[".code"].s_lnnoptr);
  // Laid out again, the model is the standard one.
  Coff again = *r.coff;
  again.preWriteKeepingTime();
  fixtures::expectSameCoff(again, b.laidOut());
}

TEST(CoffRead, UninitialisedDataHasZeroBytes) {
  CoffBuilder b;
  b.udata(".udata", 100);
  b.section(".code", scnCode, 0, {9, 8});
  const Bytes bytes = b.bytes();
  const ReadResult r = readCaptured(bytes);
  ASSERT_NE(r.coff, nullptr);
  EXPECT_EQ(r.coff->cScnHdr[".udata"].s_scnptr, 0u);
  const Data& d = r.coff->cRawData[".udata"];
  ASSERT_EQ(d.size(), 100u);
  for (std::uint32_t i = 0; i < 100; ++i) ASSERT_EQ(d.data()[i], 0);
  EXPECT_EQ(r.coff->cScnHdr[".code"].s_scnptr, 36u + 80u);  // nothing for .udata
}

TEST(CoffRead, EmptySectionReadsNothingWhateverItsCounts) {
  CoffBuilder b;
  b.section(".empty", scnCode);
  b.externDef("x", 1, 0);
  Bytes bytes = b.bytes();
  put16(bytes, kNreloc, 3);
  put16(bytes, kNlnno, 2);
  put32(bytes, kRelptr, 0xFFFFFF00);  // would fail if read
  const ReadResult r = readCaptured(bytes);
  ASSERT_NE(r.coff, nullptr);
  EXPECT_EQ(r.coff->cScnHdr[".empty"].s_nreloc, 3);
  EXPECT_TRUE(r.coff->cRelocInfo.empty());
  EXPECT_TRUE(r.coff->cLineInfo.empty());
  EXPECT_TRUE(r.coff->cRawData.empty());
}

TEST(CoffRead, DuplicateSectionNames) {
  CoffBuilder b;
  b.section(".a", scnCode, 0, {1});
  b.section(".b", scnCode, 0, {2, 2});
  b.externDef("x", 1, 0);
  b.relocation(".a", 0, 0, 1).relocation(".b", 1, 0, 2);
  b.lineNumber(".a", 0, 1, 0).lineNumber(".b", 0, 2, 1);
  Bytes bytes = b.bytes();
  std::memcpy(bytes.data() + kScn1 + 40, ".a\0\0\0\0\0\0", 8);  // rename .b to .a
  const ReadResult r = readCaptured(bytes);
  ASSERT_NE(r.coff, nullptr);
  EXPECT_EQ(r.coff->cScnNum.size(), 2u);
  EXPECT_EQ(r.coff->cScnNum[2], ".a");
  EXPECT_EQ(r.coff->cScnHdr.size(), 1u);
  EXPECT_EQ(r.coff->cRawData[".a"].size(), 2u);  // the later one's
  ASSERT_EQ(r.coff->cRelocInfo[".a"].size(), 2u);
  EXPECT_EQ(r.coff->cRelocInfo[".a"][1].r_type, 2);
  EXPECT_EQ(r.coff->cLineInfo[".a"].size(), 2u);
  DiagnosticsScope scope;
  OutputCapture out;
  EXPECT_EQ(r.coff->verify(), 0);
  EXPECT_EQ(out.text(), "Error - Coff file 'bad.o', cScnHdr.size() != cScnNum.size() . \n");
}

// ---------------------------------------------------------------------------
// String-table splitting.

TEST(CoffReadStrings, SplittingTable) {
  struct Case {
    const char* what;
    Bytes strings;  // the bytes after the length field
    StringTable expected;
  };
  const Case cases[] = {
      {"empty table", {}, {}},
      {"two strings", {'a', 'b', 'c', 0, 'x', 'y', 0}, {{4, "abc"}, {8, "xy"}}},
      {"an empty string ends it", {'a', 'b', 'c', 0, 0, 'x', 'y', 'z', 0}, {{4, "abc"}}},
      {"leading empty string", {0, 'a', 0}, {}},
      {"unterminated last string", {'a', 'b', 'c', 0, 'x', 'y', 'z'}, {{4, "abc"}}},
      {"only an unterminated string", {'a', 'b'}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CoffBuilder b;
    b.section(".code", scnCode, 0, {1});
    b.externDef("x", 1, 0);
    Bytes bytes = b.bytes();
    const std::size_t str = stringTableAt(bytes);
    bytes.resize(str);
    bytes.resize(str + 4);
    put32(bytes, str, std::uint32_t(4 + c.strings.size()));
    bytes.insert(bytes.end(), c.strings.begin(), c.strings.end());
    const ReadResult r = readCaptured(bytes);
    ASSERT_NE(r.coff, nullptr);
    EXPECT_EQ(r.coff->cStringTbl, c.expected);
    EXPECT_EQ(r.output, "");
  }
}

// ---------------------------------------------------------------------------
// Symbol pairing: a symbol takes one entry exactly when its kind is not
// auxNone.

TEST(CoffReadSymbols, PairingFollowsTheKind) {
  CoffBuilder b;
  b.section(".code", scnCode, 0, {1});
  syment lbl = b.makeSymbol("lbl", 0, 1, kClassLabel);
  lbl.n_numaux = 1;  // says one entry, but a label has none
  b.rawRecord(lbl.record());
  b.externDef("next", 1, 0);
  syment fn = b.makeSymbol("fn", 0, 1, kClassExternal, kTypeFunction);
  fn.n_numaux = 2;  // still exactly one entry
  b.rawRecord(fn.record());
  b.rawRecord(SymRecord{}, auxFcn);
  b.externDef("after", 1, 0);
  const ReadResult r = readCaptured(b.bytes());
  ASSERT_NE(r.coff, nullptr);
  EXPECT_EQ(r.coff->cAuxKind, (std::vector<std::uint32_t>{0, 0, 0, auxFcn, 0}));
  EXPECT_EQ(r.coff->getName(syment::decode(r.coff->cSymbolTbl[1])), "next");
}

TEST(CoffReadSymbols, LastSymbolWithoutItsEntry) {
  CoffBuilder b;
  b.section(".code", scnCode, 0, {1});
  b.externDef("x", 1, 0);
  syment fn = b.makeSymbol("fn", 0, 1, kClassExternal, kTypeFunction);
  fn.n_numaux = 1;
  b.rawRecord(fn.record());  // the table ends before its entry
  const ReadResult r = readCaptured(b.bytes());
  ASSERT_NE(r.coff, nullptr);
  EXPECT_EQ(r.coff->cSymbolTbl.size(), 2u);
  EXPECT_EQ(r.coff->cAuxKind, (std::vector<std::uint32_t>{0, 0}));
}

// ---------------------------------------------------------------------------
// The older layout.

TEST(CoffReadOlder, ConvertsRelocationsLinesAndFileNames) {
  CoffBuilder b("old.o");
  b.processor(0x1111, 14, 8);
  b.section(".code", scnCode, 0, {1, 2, 3, 4});
  b.section(".more", scnCode, 0, {5, 6});
  const std::uint32_t f = b.file("src.asm");
  const std::uint32_t f1 = b.function("f1", 1, 0);
  const std::uint32_t f2 = b.function("f2", 1, 2);
  b.relocation(".code", 0, f1, 7, -5);  // any stored type, any offset
  b.relocation(".code", 2, f2, 1);
  b.lineNumber(".code", f, 10, 0);  // before any function start
  b.lineNumber(".code", f, 11, 0, f1);
  b.lineNumber(".code", f, 12, 1, f1);
  b.lineNumber(".code", f, 20, 2, f2);
  b.lineNumber(".more", f, 30, 0);  // the function index starts at 0 per section
  fixtures::EmitOptions o;
  o.olderLayout = true;
  const Bytes bytes = b.emit(o);
  ASSERT_EQ(b.model().cStringTbl.size(), 1u);  // "src.asm" at 4; the table ends at 12

  const ReadResult r = readCaptured(bytes, "old.o");
  ASSERT_NE(r.coff, nullptr);
  EXPECT_EQ(r.output, "Error - Coff file 'old.o' missing optional file header.\n");
  EXPECT_EQ(r.errors, 1);
  const Coff& c = *r.coff;
  EXPECT_EQ(c.cOptHdr.proc_type, 0u);
  EXPECT_EQ(c.cOptHdr.rom_width_bits, 0u);
  EXPECT_EQ(c.cOptHdr.magic, 0);
  EXPECT_EQ(c.cFileHdr.f_opthdr, 0);

  ASSERT_EQ(c.cRelocInfo.at(".code").size(), 2u);
  for (const reloc& rl : c.cRelocInfo.at(".code")) {
    EXPECT_EQ(rl.r_type, 4);
    EXPECT_EQ(rl.r_offset, 0);
  }
  EXPECT_EQ(c.cRelocInfo.at(".code")[1].r_symndx, f2);

  const std::vector<coff_lineno>& lines = c.cLineInfo.at(".code");
  ASSERT_EQ(lines.size(), 4u);  // the function starts add no line
  const std::uint32_t fcn[] = {0, f1, f1, f2};
  const std::uint16_t lnno[] = {10, 11, 12, 20};
  for (std::size_t j = 0; j < 4; ++j) {
    EXPECT_EQ(lines[j].l_srcndx, 0u);
    EXPECT_EQ(lines[j].l_flags, 1);
    EXPECT_EQ(lines[j].l_fcnndx, fcn[j]) << j;
    EXPECT_EQ(lines[j].l_lnno, lnno[j]) << j;
  }
  ASSERT_EQ(c.cLineInfo.at(".more").size(), 1u);
  EXPECT_EQ(c.cLineInfo.at(".more")[0].l_fcnndx, 0u);

  // The file name moved from the entry to the end of the table.
  const aux_file a = aux_file::decode(c.cSymbolTbl[f + 1]);
  EXPECT_EQ(a.x_offset, 4u + 8u);
  EXPECT_EQ(a.x_incline, 0u);
  EXPECT_EQ(c.getName(a), "src.asm");
}

TEST(CoffReadOlder, FileNamesGoAfterTheLastString) {
  CoffBuilder b;
  b.addString("0123456789abcde");  // offsets 4 to 19: the table ends at 20
  for (const char* name : {"abc", "def"}) {
    SymRecord aux{};
    std::memcpy(aux.data(), name, 3);
    b.symbolWithAux(b.makeSymbol(".file", 0, kScnNumDebug, kClassFile), aux);
  }
  SymRecord full;
  std::memcpy(full.data(), "eighteen_char_name", 18);  // no terminating zero
  b.symbolWithAux(b.makeSymbol(".file", 0, kScnNumDebug, kClassFile), full);
  fixtures::EmitOptions o;
  o.olderLayout = true;
  o.olderOptHdrSize = 8;  // section headers start at 28
  const ReadResult r = readCaptured(b.emit(o));
  ASSERT_NE(r.coff, nullptr);
  const Coff& c = *r.coff;
  EXPECT_EQ(aux_file::decode(c.cSymbolTbl[1]).x_offset, 20u);
  EXPECT_EQ(aux_file::decode(c.cSymbolTbl[3]).x_offset, 24u);
  EXPECT_EQ(aux_file::decode(c.cSymbolTbl[5]).x_offset, 28u);
  EXPECT_EQ(c.cStringTbl.at(20), "abc");
  EXPECT_EQ(c.cStringTbl.at(24), "def");
  EXPECT_EQ(c.cStringTbl.at(28), "eighteen_char_name");
  // Bytes past x_incline keep the rest of the name.
  EXPECT_EQ(c.cSymbolTbl[5][8], '_');
}

TEST(CoffReadOlder, EmptyFileNamesStayOutOfTheStringTable) {
  // Entry names in order, and the x_offset each reads back with; the table
  // holds "a_long_symbol_name" at 4 and ends at 23.
  struct Case {
    const char* what;
    std::vector<String> names;
    std::vector<std::uint32_t> offsets;
  } cases[] = {
      {"empty alone", {""}, {0}},
      {"empty first", {"", "abc"}, {0, 23}},
      {"empty between", {"abc", "", "de"}, {23, 0, 27}},
      {"empty last", {"abc", ""}, {23, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CoffBuilder b("old.o");
    b.section(".code", scnCode, 0, {1, 2});
    const std::uint32_t def = b.externDef("a_long_symbol_name", 1, 0);
    std::vector<std::uint32_t> files;
    for (const String& name : c.names) {
      SymRecord aux{};
      std::memcpy(aux.data(), name.data(), name.size());
      files.push_back(b.symbolWithAux(b.makeSymbol(".file", 0, kScnNumDebug, kClassFile), aux));
    }
    fixtures::EmitOptions o;
    o.olderLayout = true;
    const ReadResult r = readCaptured(b.emit(o), "old.o");
    ASSERT_NE(r.coff, nullptr);
    const Coff& c1 = *r.coff;
    StringTable expected{{4, "a_long_symbol_name"}};
    for (std::size_t k = 0; k < files.size(); ++k) {
      EXPECT_EQ(aux_file::decode(c1.cSymbolTbl[files[k] + 1]).x_offset, c.offsets[k]) << k;
      if (!c.names[k].empty()) expected[c.offsets[k]] = c.names[k];
    }
    EXPECT_EQ(c1.cStringTbl, expected);

    // Written again and read back, no string is lost.
    CoffBuilder again("again.o");
    again.model() = c1;
    const ReadResult r2 = readCaptured(again.bytes(), "again.o");
    ASSERT_NE(r2.coff, nullptr);
    EXPECT_EQ(r2.output, "");
    EXPECT_EQ(r2.coff->cStringTbl, expected);
    EXPECT_EQ(r2.coff->getName(syment::decode(r2.coff->cSymbolTbl[def])), "a_long_symbol_name");
  }
}

TEST(CoffReadOlder, SectionHeadersFollowTheDeclaredHeaderSize) {
  CoffBuilder b;
  b.section(".code", scnCode, 0x40, {7, 7});
  b.externDef("x", 1, 0x40);
  fixtures::EmitOptions o;
  o.olderLayout = true;
  o.olderOptHdrSize = 28;
  const ReadResult r = readCaptured(b.emit(o));
  ASSERT_NE(r.coff, nullptr);
  EXPECT_EQ(r.coff->cScnHdr.at(".code").s_paddr, 0x40u);
  EXPECT_EQ(r.coff->cRawData.at(".code").data()[1], 7);
}

// ---------------------------------------------------------------------------
// Images without symbols (stripped executables).

TEST(CoffReadStripped, StringTableAfterTheLastBlock) {
  CoffBuilder b("out.cof");
  b.flags(0x0086).processor(0x2222);
  b.section(".long_code_name", scnCode, 0, {1, 2, 3, 4});
  b.udata(".vars", 8);
  const Bytes bytes = b.bytes();
  ASSERT_EQ(get32(bytes, kSymptr), 0u);
  ASSERT_EQ(get32(bytes, kNsyms), 0u);
  const ReadResult r = readCaptured(bytes);
  ASSERT_NE(r.coff, nullptr);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(r.coff->cScnNum.at(1), ".long_code_name");
  fixtures::expectSameCoff(*r.coff, b.laidOut());
}

TEST(CoffReadStripped, NoStringTableAtAll) {
  CoffBuilder b;
  b.flags(0x0086);
  b.section(".code", scnCode, 0, {1, 2});
  Bytes bytes = b.bytes();
  bytes.resize(bytes.size() - 4);  // drop the length field
  const ReadResult r = readCaptured(bytes);
  ASSERT_NE(r.coff, nullptr);
  EXPECT_TRUE(r.coff->cStringTbl.empty());
  EXPECT_EQ(r.coff->cRawData.at(".code").size(), 2u);

  // The empty image without a string table.
  Bytes empty = CoffBuilder().bytes();
  ASSERT_EQ(empty.size(), 40u);
  empty.resize(36);
  const ReadResult e = readCaptured(empty);
  ASSERT_NE(e.coff, nullptr);
  EXPECT_TRUE(e.coff->cScnNum.empty());
}

TEST(CoffReadStripped, BrokenStringTableIsStillAnError) {
  CoffBuilder b;
  b.section(".code", scnCode, 0, {1, 2});
  Bytes bytes = b.bytes();
  put32(bytes, bytes.size() - 4, 2);
  const ReadResult r = readCaptured(bytes);
  EXPECT_EQ(r.coff, nullptr);
  EXPECT_EQ(r.output, "Error - Coff file 'bad.o' could not read string table.\n");
}

}  // namespace

// Inputs that no assembler, librarian or linker writes, given to the built
// programs: devices, FIFOs, directories and links to them, a sparse file
// far larger than any input, and files whose section headers share or
// overlap blocks. Each program runs in a child process whose address space
// is limited, so a reader that decodes more than a small multiple of its
// input, or reads a device without end, fails the test by running out of
// memory instead of by taking long.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "coff.h"
#include "fixtures/coff_builder.h"
#include "support/harness.h"

using fixtures::Block;
using fixtures::BlockAlias;
using fixtures::Bytes;
using fixtures::CoffBuilder;
using fixtures::EmitOptions;
using testing_support::RunResult;

namespace {

using testing_support::kLimitAddressSpace;
// Every valid run of these small inputs fits in a fraction of this.
constexpr rlim_t kAddressSpace = rlim_t(256) << 20;
// Only a guard: a program that blocks on a FIFO is killed, and fails the
// test by its status.
constexpr unsigned kGuardSeconds = 120;

// Runs tool with args in dir, in a child under the limits; standard output
// and error merged. status is the exit status, or 128 + the signal.
RunResult runLimited(const std::string& dir, const std::string& tool,
                     const std::vector<std::string>& args) {
  testing_support::ChildLimits limits;
  if (kLimitAddressSpace) limits.addressSpace = kAddressSpace;
  limits.alarmSeconds = kGuardSeconds;
  const testing_support::ChildEnd end =
      testing_support::runChild(dir, testing_support::toolPath(tool), args, limits);
  return RunResult{end.shellStatus(), end.output};
}

// A CoreB executable: one code section and a ".file" naming source.
CoffBuilder executable(const std::string& name, const std::string& source = "main.asm") {
  CoffBuilder b(name);
  b.processor(0xB001, 14, 8);
  b.flags(kFileExecutable);
  b.section(".code", scnCode, 0, fixtures::words({0x0000, 0x0008}));
  const std::uint32_t f = b.file(source);
  b.symbol(".eof", 0, kScnNumDebug, kClassFile);
  b.lineNumber(".code", f, 1, 0);
  return b;
}

// sections code sections of one block of size bytes, all but the first
// pointing at the first one's block: the file holds the block once.
Bytes sharedRawData(std::size_t sections, std::size_t size) {
  CoffBuilder b("shared.out");
  b.processor(0xB001, 14, 8);
  b.flags(kFileExecutable);
  b.section(".c0", scnCode, 0, Bytes(size, 0x11));
  EmitOptions o;
  for (std::size_t i = 1; i < sections; ++i) {
    b.section(".c" + std::to_string(i), scnCode, static_cast<std::uint32_t>(i * size / 2));
    o.aliases.push_back({static_cast<int>(i + 1), Block::RawData, 1, 0});
  }
  return b.emit(o);
}

// An object whose sections all point at the relocations of the first.
Bytes sharedRelocations(std::size_t sections, std::size_t relocations) {
  CoffBuilder b("shared.o");
  b.processor(0xB001, 14, 8);
  const std::uint32_t target = b.externRef("target");
  b.section(".c0", scnCode, 0, Bytes(2, 0));
  for (std::size_t k = 0; k < relocations; ++k) b.relocation(".c0", 0, target, 1);
  EmitOptions o;
  for (std::size_t i = 1; i < sections; ++i) {
    b.section(".c" + std::to_string(i), scnCode, 0, Bytes(2, 0));
    o.aliases.push_back({static_cast<int>(i + 1), Block::Relocations, 1, 0});
  }
  return b.emit(o);
}

// An executable whose second section's line numbers overlap the first's.
Bytes overlappingLines() {
  CoffBuilder b = executable("lines.out");
  const std::uint32_t f = 0;
  b.section(".more", scnCode, 0x10, fixtures::words({0x0000}));
  for (std::uint16_t l = 2; l < 8; ++l) b.lineNumber(".code", f, l, 0);
  EmitOptions o;
  o.aliases.push_back({2, Block::LineNumbers, 1, coff_lineno::kSize});
  return b.emit(o);
}

// Two code sections of one name at different addresses.
Bytes twoSectionsOfOneName() {
  CoffBuilder b("twin.out");
  b.processor(0xB001, 14, 8);
  b.flags(kFileExecutable);
  b.section(".code", scnCode, 0, fixtures::words({0x0001, 0x0002}));
  b.section(".code", scnCode, 0x100, fixtures::words({0x0003}));
  return b.emit(EmitOptions());
}

class HostileInput : public ::testing::Test {
 public:
  void SetUp() override { cDir = testing_support::makeTempDir("hostile"); }
  void TearDown() override { std::filesystem::remove_all(cDir); }
  std::string path(const std::string& name) const { return cDir + "/" + name; }

  void link(const std::string& name, const std::string& to) {
    ASSERT_EQ(symlink(to.c_str(), path(name).c_str()), 0) << name;
  }
  void fifo(const std::string& name) { ASSERT_EQ(mkfifo(path(name).c_str(), 0600), 0) << name; }
  void directory(const std::string& name) { std::filesystem::create_directory(path(name)); }
  // A file of size bytes of which none is stored.
  void sparse(const std::string& name, off_t size) {
    const int fd = open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
  }
  void bytes(const std::string& name, const Bytes& b) { fixtures::writeBytes(path(name), b); }
  void text(const std::string& name, const std::string& t) {
    testing_support::writeFile(path(name), t);
  }

  std::string cDir;
};

struct Case {
  const char* name;
  std::function<void(HostileInput&)> make;  // the inputs, in the test's directory
  const char* tool;
  std::vector<std::string> args;
  int status;
  std::vector<std::string> messages;  // each must appear in the output
  std::vector<std::string> absent;    // files that must not be written
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const char* const kLkr = "LIBPATH .\n"
                         "CODEPAGE NAME=page START=0x0 END=0x7FF\n"
                         "DATABANK NAME=gpr START=0x20 END=0x6F\n";

std::vector<Case> cases() {
  return {
      // Objects, executables and libraries that are not regular files.
      {"ObjectLinkedToDevZero", [](HostileInput& t) { t.link("x.o", "/dev/zero"); }, "ponzer",
       {"x.o"}, 1, {"Error - Could not open Coff file 'x.o' for reading."}, {"x.hex"}},
      {"DevZeroItself", [](HostileInput&) {}, "dralm", {"/dev/zero"}, 1,
       {"Error - Could not open Coff file '/dev/zero' for reading."}, {}},
      {"ObjectIsAFifo", [](HostileInput& t) { t.fifo("x.o"); }, "ponzer", {"x.o"}, 1,
       {"Error - Could not open Coff file 'x.o' for reading."}, {"x.hex"}},
      {"ObjectIsADirectory", [](HostileInput& t) { t.directory("x.o"); }, "dralm", {"x.o"}, 1,
       {"Error - Could not open Coff file 'x.o' for reading."}, {"x.cod"}},
      {"ObjectLargerThanAnyInput", [](HostileInput& t) { t.sparse("x.o", off_t(3) << 30); },
       "ponzer", {"x.o"}, 1, {"Error - Could not open Coff file 'x.o' for reading."}, {"x.hex"}},
      {"LinkedObjectIsDevZero",
       [](HostileInput& t) {
         t.text("x.lkr", kLkr);
         t.link("x.o", "/dev/zero");
       },
       "torvan", {"x.lkr", "x.o", "-o", "x.out"}, 1,
       {"Error - Could not open Coff file './x.o' for reading."}, {"x.out"}},
      {"LibraryMemberSourceIsAFifo", [](HostileInput& t) { t.fifo("x.o"); }, "kesvo",
       {"/c", "x.lib", "x.o"}, 1, {"Error - Could not open Coff file 'x.o' for reading."},
       {"x.lib"}},
      {"LibraryLinkedToDevZero", [](HostileInput& t) { t.link("x.lib", "/dev/zero"); }, "kesvo",
       {"/t", "x.lib"}, 1, {"Error - Could not open library file 'x.lib' for reading."}, {}},
      {"LibraryLargerThanAnyInput", [](HostileInput& t) { t.sparse("x.lib", off_t(3) << 30); },
       "kesvo", {"/t", "x.lib"}, 1,
       {"Error - Could not open library file 'x.lib' for reading."}, {}},
      {"LinkedLibraryIsAFifo",
       [](HostileInput& t) {
         t.text("x.lkr", kLkr);
         CoffBuilder m("m.o");
         m.processor(0xB001, 14, 8);
         m.section(".code", scnCode, 0, fixtures::words({0x0000}));
         m.writeFile(t.path("m.o"));
         t.fifo("x.lib");
       },
       "torvan", {"x.lkr", "m.o", "x.lib", "-o", "x.out"}, 1,
       {"Error - Could not open library file './x.lib' for reading."}, {"x.out"}},
      // Command files.
      {"CommandFileLinkedToDevZero", [](HostileInput& t) { t.link("x.lkr", "/dev/zero"); },
       "torvan", {"x.lkr"}, 1, {"Error - Could not open './x.lkr'"}, {"a.out"}},
      {"CommandFileWhoseReadFails",
       [](HostileInput& t) { t.link("x.lkr", "/proc/self/mem"); }, "torvan", {"x.lkr"}, 1,
       {"Error - Could not open './x.lkr'"}, {"a.out"}},
      {"CommandFileIsAFifo", [](HostileInput& t) { t.fifo("x.lkr"); }, "torvan", {"x.lkr"}, 1,
       {"Error - Could not open './x.lkr'"}, {"a.out"}},
      // Listing sources: left out with the warning, the run goes on.
      {"ListingSourceIsDevZero",
       [](HostileInput& t) { executable("p.out", "/dev/zero").writeFile(t.path("p.out")); },
       "dralm", {"p.out"}, 0,
       {"Warning - Could not open source file '/dev/zero'.\n"
        "This file will not be present in the list file."},
       {}},
      {"ListingSourceIsAFifo",
       [](HostileInput& t) {
         t.fifo("main.asm");
         executable("p.out").writeFile(t.path("p.out"));
       },
       "dralm", {"p.out"}, 0,
       {"Warning - Could not open source file 'main.asm'.\n"
        "This file will not be present in the list file."},
       {}},
      {"ListingSourceIsADirectory",
       [](HostileInput& t) {
         t.directory("main.asm");
         executable("p.out").writeFile(t.path("p.out"));
       },
       "dralm", {"p.out"}, 0,
       {"Warning - Could not open source file 'main.asm'.\n"
        "This file will not be present in the list file.",
        "Warnings  : 1"},
       {}},
      // Blocks shared by many headers: hundreds of times the file decoded.
      {"RawDataSharedByHeadersForTheHexConverter",
       [](HostileInput& t) { t.bytes("x.out", sharedRawData(2000, 256 << 10)); }, "ponzer",
       {"x.out"}, 1, {"Error - Coff file 'x.out' could not read raw data."}, {"x.hex"}},
      {"RawDataSharedByHeadersForTheCodConverter",
       [](HostileInput& t) { t.bytes("x.out", sharedRawData(2000, 256 << 10)); }, "dralm",
       {"-d", "x.out"}, 1, {"Error - Coff file 'x.out' could not read raw data."}, {"x.cod"}},
      {"RawDataSharedByHeadersForTheLibrarian",
       [](HostileInput& t) { t.bytes("x.o", sharedRawData(2000, 256 << 10)); }, "kesvo",
       {"/c", "x.lib", "x.o"}, 1, {"Error - Coff file 'x.o' could not read raw data."},
       {"x.lib"}},
      {"RelocationsSharedByHeaders",
       [](HostileInput& t) {
         t.text("x.lkr", kLkr);
         t.bytes("x.o", sharedRelocations(4000, 20000));
       },
       "torvan", {"x.lkr", "x.o", "-o", "x.out"}, 1,
       {"Error - Coff file './x.o' could not read relocation info."}, {"x.out"}},
      {"LineNumbersOverlap", [](HostileInput& t) { t.bytes("x.out", overlappingLines()); },
       "dralm", {"x.out"}, 1, {"Error - Coff file 'x.out' could not read line numbers."},
       {"x.cod", "x.lst"}},
      // Two sections of one name: the converters would drop one of them.
      {"TwoSectionsOfOneNameForTheHexConverter",
       [](HostileInput& t) { t.bytes("x.out", twoSectionsOfOneName()); }, "ponzer", {"x.out"},
       1, {"Error - Coff file 'x.out', cScnHdr.size() != cScnNum.size() . "}, {"x.hex"}},
      {"TwoSectionsOfOneNameForTheCodConverter",
       [](HostileInput& t) { t.bytes("x.out", twoSectionsOfOneName()); }, "dralm", {"x.out"},
       1, {"Error - Coff file 'x.out', cScnHdr.size() != cScnNum.size() . "},
       {"x.cod", "x.lst"}},
  };
}

class HostileInputCase : public HostileInput, public ::testing::WithParamInterface<Case> {};

TEST_P(HostileInputCase, IsRefusedWithinBoundedMemory) {
  const Case& c = GetParam();
  c.make(*this);
  const std::vector<std::string> before = testing_support::directoryState(cDir);
  const RunResult r = runLimited(cDir, c.tool, c.args);
  EXPECT_EQ(r.status, c.status) << r.output;
  // A refused input leaves the directory as it was: no output, nothing
  // half-written.
  if (c.status != 0) {
    EXPECT_EQ(testing_support::directoryState(cDir), before);
  }
  for (const std::string& m : c.messages) EXPECT_NE(r.output.find(m), std::string::npos) << m;
  for (const std::string& f : c.absent) EXPECT_FALSE(std::filesystem::exists(path(f))) << f;
}

INSTANTIATE_TEST_SUITE_P(Inputs, HostileInputCase, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& i) {
                           return std::string(i.param.name);
                         });

// The limit leaves room for what a valid run needs: the same programs on
// sound inputs of the same kinds succeed under it.
TEST_F(HostileInput, SoundInputsPassUnderTheSameLimit) {
  text("main.asm", "  nop\n  return\n");
  executable("p.out").writeFile(path("p.out"));
  EXPECT_EQ(runLimited(cDir, "ponzer", {"p.out"}).status, 0);
  EXPECT_EQ(runLimited(cDir, "dralm", {"p.out"}).status, 0);
  const std::string listing = testing_support::readFile(path("p.lst"));
  EXPECT_NE(listing.find("  return"), std::string::npos);
  // Sections whose blocks lie back to back share no byte.
  CoffBuilder b("adjacent.o");
  b.processor(0xB001, 14, 8);
  b.section(".a", scnCode, 0, Bytes(256 << 10, 0x22));
  b.section(".b", scnCode, 0, Bytes(256 << 10, 0x33));
  bytes("adjacent.o", b.emit(EmitOptions()));
  EXPECT_EQ(runLimited(cDir, "kesvo", {"/c", "a.lib", "adjacent.o"}).status, 0);
  EXPECT_EQ(runLimited(cDir, "kesvo", {"/t", "a.lib"}).status, 0);
}

}  // namespace

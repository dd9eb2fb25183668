// Reader inputs found by fuzzing: small files that claim more than any
// device holds.
#include <gtest/gtest.h>

#include "coff.h"
#include "fixtures/coff_builder.h"
#include "support/harness.h"

using namespace testing_support;
using fixtures::Bytes;
using fixtures::CoffBuilder;
using fixtures::put32;

namespace {

// Offset of the s_size and s_scnptr fields of section number n (from 1) in
// an image with the 16-byte optional header.
constexpr std::size_t sizeField(int n) { return 36 + 40 * std::size_t(n - 1) + 16; }
constexpr std::size_t scnptrField(int n) { return sizeField(n) + 4; }

struct ReadResult {
  std::unique_ptr<Coff> coff;
  String output;
};

ReadResult read(const Bytes& bytes) {
  DiagnosticsScope scope;
  ExitTrap trap;
  OutputCapture out;
  ReadResult r;
  r.coff = Coff::make(bytes, 0, "big.out");
  r.output = out.text();
  return r;
}

// Two program sections of two bytes each whose headers are then made to
// claim zero-filled sizes.
Bytes zeroFilledProgram(int firstType, std::uint32_t firstSize, int secondType,
                        std::uint32_t secondSize) {
  CoffBuilder b("big.out");
  b.processor(0xA001, 12, 8);
  b.flags(kFileExecutable);
  b.section(".code", firstType, 0, {1, 2});
  b.section(".cinit", secondType, 0x10, {3, 4});
  b.file("big.asm");  // so the string table follows a symbol table
  Bytes bytes = b.bytes();
  put32(bytes, sizeField(1), firstSize);
  put32(bytes, scnptrField(1), 0);
  put32(bytes, sizeField(2), secondSize);
  put32(bytes, scnptrField(2), 0);
  return bytes;
}

constexpr std::uint32_t kTwoMiB = 2u << 20;

// An 8 MB zero-filled ROM-data section in a 300-byte executable made the
// HEX converter write 22 MB of zero records.
TEST(CoffReadFuzz, ZeroFilledProgramSectionsAreHeldToTheLargestProgramMemory) {
  const ReadResult romData = read(zeroFilledProgram(scnCode, 0, scnRomData, 8u << 20));
  EXPECT_EQ(romData.coff, nullptr);
  EXPECT_EQ(romData.output, "Error - Coff file 'big.out' could not read raw data.\n");

  const ReadResult code = read(zeroFilledProgram(scnCode, kTwoMiB + 1, scnRomData, 0));
  EXPECT_EQ(code.coff, nullptr);
  EXPECT_EQ(code.output, "Error - Coff file 'big.out' could not read raw data.\n");

  // The limit holds for all of them together.
  const ReadResult both = read(zeroFilledProgram(scnCode, kTwoMiB / 2, scnRomData, kTwoMiB / 2 + 1));
  EXPECT_EQ(both.coff, nullptr);
  EXPECT_EQ(both.output, "Error - Coff file 'big.out' could not read raw data.\n");

  const ReadResult exact = read(zeroFilledProgram(scnCode, kTwoMiB / 2, scnRomData, kTwoMiB / 2));
  ASSERT_NE(exact.coff, nullptr);
  EXPECT_EQ(exact.output, "");
  EXPECT_EQ(exact.coff->cRawData[".cinit"].size(), kTwoMiB / 2);
}

// Data sections keep the general limit.
TEST(CoffReadFuzz, ZeroFilledDataSectionsKeepTheirLimit) {
  const ReadResult data = read(zeroFilledProgram(scnIData, 4u << 20, scnUData, 4u << 20));
  ASSERT_NE(data.coff, nullptr);
  EXPECT_EQ(data.output, "");
  EXPECT_EQ(data.coff->cRawData[".code"].size(), 4u << 20);
}

}  // namespace

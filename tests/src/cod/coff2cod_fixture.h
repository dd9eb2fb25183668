// Shared set-up of the conversion, listing and program tests: a fresh
// current directory per test, a fixed clock, executables made with the
// fixture builder, and the built program.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include "coff.h"
#include "fixtures/coff_builder.h"
#include "platform.h"
#include "support/harness.h"

namespace dralm_test {

// Processor codes of one model per core family.
constexpr uint32_t kCoreA = 0xA001;  // 12-bit words
constexpr uint32_t kCoreB = 0xB001;  // 14-bit words
constexpr uint32_t kCoreC = 0xC001;  // 16-bit words
constexpr uint32_t kCoreD = 0xD001;  // byte-addressed

inline uint32_t romWidthOf(uint32_t proc) {
  switch (proc & 0xF000) {
    case 0xA000: return 12;
    case 0xB000: return 14;
    case 0xD000: return 8;
    default: return 16;
  }
}

inline std::time_t fixedClock() { return 1796720700; }  // Tue Dec  8 09:05:00 2026 UTC

class ConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cDir = testing_support::makeTempDir("dralm");
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    cOldCwd = cwd;
    ASSERT_EQ(chdir(cDir.c_str()), 0);
    cOldClock = platform::setClock(fixedClock);
  }
  void TearDown() override {
    platform::setClock(cOldClock);
    EXPECT_EQ(chdir(cOldCwd.c_str()), 0);
    std::filesystem::remove_all(cDir);
  }

  testing_support::DiagnosticsScope cDiagnostics;
  std::string cDir, cOldCwd;
  platform::ClockFunction cOldClock = nullptr;
};

// An executable for proc with no sections yet.
inline fixtures::CoffBuilder executable(const std::string& name, uint32_t proc) {
  fixtures::CoffBuilder b(name);
  b.processor(proc, romWidthOf(proc), 8);
  b.flags(kFileExecutable);
  return b;
}

// A ".file" for source included at line of the file around it (0 for a
// file of its own).
inline uint32_t sourceFile(fixtures::CoffBuilder& b, const std::string& source,
                           uint32_t line = 0) {
  const uint32_t index = b.file(source);
  SymRecord& rec = b.model().cSymbolTbl[index + 1];
  aux_file a = aux_file::decode(rec);
  a.x_incline = line;
  a.encode(rec);
  return index;
}

inline uint32_t endOfFile(fixtures::CoffBuilder& b) {
  return b.symbol(".eof", 0, kScnNumDebug, kClassFile);
}

// The image as the reader gives it back, under the builder's file name.
inline std::unique_ptr<Coff> readBack(const fixtures::CoffBuilder& b) {
  return fixtures::readImage(b.bytes(), b.model().cFileName);
}

// The listing with the time of its headers replaced by "<date>".
inline std::string maskDate(const std::string& listing) {
  static const std::regex stamp("Listing File Generated: [^\n]*\n");
  return std::regex_replace(listing, stamp, "Listing File Generated: <date>\n");
}

}  // namespace dralm_test

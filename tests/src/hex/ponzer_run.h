// Running the built converter on fixture executables.
#pragma once

#include <string>
#include <vector>

#include "banner.h"
#include "fixtures/coff_builder.h"
#include "platform.h"
#include "support/harness.h"

namespace hex_test {

struct FixtureSection {
  std::string name;
  int type;
  uint32_t address;  // in program-memory locations
  fixtures::Bytes bytes;
};

inline fixtures::CoffBuilder executable(const std::string& path, uint32_t romWidthBits,
                                        const std::vector<FixtureSection>& sections) {
  fixtures::CoffBuilder b(path);
  b.processor(0x2A01, romWidthBits, 8);
  b.flags(kFileExecutable);
  for (const FixtureSection& s : sections) b.section(s.name, s.type, s.address, s.bytes);
  b.file("prog.asm");
  return b;
}

inline void writeExecutable(const std::string& path, uint32_t romWidthBits,
                            const std::vector<FixtureSection>& sections) {
  executable(path, romWidthBits, sections).writeFile(path);
}

// The built program.
inline std::string ponzerPath() { return testing_support::toolBinDir() + "/ponzer"; }

// Runs ponzer with args in dir.
inline testing_support::RunResult runPonzer(const std::vector<std::string>& args,
                                            const std::string& dir) {
  return testing_support::runProgram(ponzerPath(), args, dir);
}

// The same, args being literal words separated by blanks.
inline testing_support::RunResult runPonzer(const std::string& args, const std::string& dir) {
  return runPonzer(testing_support::splitWords(args), dir);
}

inline std::string bannerText() {
  return std::string("PONZER v2.10.00, COFF to HEX File Converter\n") + noticeBanner() + "\n\n";
}

inline std::string summaryText(int errors, int warnings = 0) {
  return "Errors    : " + std::to_string(errors) + "\nWarnings  : " + std::to_string(warnings) +
         "\n\n";
}

inline bool fileExists(const std::string& path) { return platform::fileExists(path) != 0; }

inline fixtures::Bytes counting(uint8_t first, int n) {
  fixtures::Bytes v;
  for (int i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(first + i * 7));
  return v;
}

}  // namespace hex_test

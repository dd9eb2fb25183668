// Runs the built kesvo in a scratch directory holding small object files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "archive.h"
#include "banner.h"
#include "fixtures/coff_builder.h"
#include "support/harness.h"

namespace kesvo_test {

using fixtures::Bytes;
using fixtures::CoffBuilder;

inline std::string banner() {
  return std::string(librarianBanner()) + "\n" + noticeBanner() + "\n\n";
}

inline std::string summary(int errors) {
  return "Errors    : " + std::to_string(errors) + "\nWarnings  : 0\n\n";
}

// An object defining one external name (none when empty) in a code section
// of codeSize bytes.
inline CoffBuilder object(const String& name, const String& symbol, uint32_t time,
                          size_t codeSize = 4) {
  CoffBuilder b(name);
  b.processor(0x2a, 16, 8);
  b.timeStamp(time);
  Bytes code(codeSize);
  for (size_t i = 0; i < codeSize; ++i) code[i] = static_cast<unsigned char>(i * 7 + name.size());
  b.section(".code", scnCode, 0x10, code);
  b.file("source.asm");
  if (!symbol.empty()) b.externDef(symbol, 1, 0x10);
  b.externRef("elsewhere");
  return b;
}

// A library laid out by hand: magic, then header and image per member.
inline Bytes libraryBytes(const std::vector<std::pair<String, Bytes>>& members) {
  const char* magic = libformat::magic();
  Bytes out(magic, magic + libformat::kMagicSize);
  for (const auto& m : members) {
    Bytes h(libformat::kHeaderSize);
    EXPECT_EQ(
        libformat::encodeMemberHeader(m.first, 0, static_cast<uint32_t>(m.second.size()), h.data()),
        1);
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), m.second.begin(), m.second.end());
  }
  return out;
}

// The library a kesvo command line writes (its word after /c, /r or /d,
// quotes taken off), or an empty text.
inline String writtenLibrary(const std::string& args) {
  std::vector<String> words;
  String word;
  bool quoted = false;
  for (char c : args + " ") {
    if (c == '\'') {
      quoted = !quoted;
    } else if (c == ' ' && !quoted) {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  for (std::size_t i = 0; i + 1 < words.size(); ++i)
    if (words[i] == "/c" || words[i] == "/r" || words[i] == "/d") return words[i + 1];
  return String();
}

// Whether the library at path reads back whole (reports kept quiet).
inline bool readsBack(const String& path) {
  testing_support::DiagnosticsScope scope;
  testing_support::OutputCapture out;
  return Archive::make(path) != nullptr;
}

class KesvoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cRoot = testing_support::makeTempDir("kesvo");
    cDir = cRoot + "/work";
    std::filesystem::create_directory(cDir);
  }
  void TearDown() override { std::filesystem::remove_all(cRoot); }

  String path(const String& name) const { return cDir + "/" + name; }

  // Runs kesvo with args in the work directory (TZ=UTC for the dates).
  // A library that /c, /r or /d says it wrote must read back.
  testing_support::RunResult kesvo(const std::string& args, const std::string& prefix = "") {
    testing_support::RunResult r = testing_support::runCommand(
        prefix + "TZ=UTC '" + testing_support::toolBinDir() + "/kesvo' " + args, cDir);
    const String written = writtenLibrary(args);
    if (r.status == 0 && !written.empty()) {
      EXPECT_TRUE(readsBack(written[0] == '/' ? written : path(written)))
          << written << " does not read back";
    }
    return r;
  }

  Bytes bytes(const String& name) const { return fixtures::readBytes(path(name)); }

  // Names in the work directory (recursively, relative, sorted).
  std::vector<String> entries(const String& dir = "") const {
    std::vector<String> names;
    String base = dir.empty() ? cDir : dir;
    for (const auto& e : std::filesystem::recursive_directory_iterator(base))
      names.push_back(std::filesystem::relative(e.path(), base).string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Member names of a library, in order (empty when it does not read).
  std::vector<String> members(const String& lib) {
    testing_support::DiagnosticsScope scope;
    testing_support::OutputCapture out;
    std::vector<String> names;
    std::unique_ptr<Archive> a = Archive::make(path(lib));
    if (a)
      for (const auto& m : a->cMembers) names.push_back(m->cFileName);
    return names;
  }

  String cRoot;
  String cDir;
};

}  // namespace kesvo_test

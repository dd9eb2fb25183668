// Test-side model of the instruction sets, parsed from reference_text.h, and
// a probe that lets a test run into the always-on assertions.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "devtab.h"
#include "opcat.h"
#include "reference_text.h"
#include "support/harness.h"

namespace reference_model {

struct FamilyInfo {
  CoreFamily family;
  const char* name;
  std::uint16_t widthMask;
  unsigned validWords;
};

inline void PrintTo(const FamilyInfo& info, std::ostream* os) { *os << info.name; }

inline const std::vector<FamilyInfo>& families() {
  static const std::vector<FamilyInfo> all = {
      {CoreA, "CoreA", 0x0FFF, 4041},
      {CoreB, "CoreB", 0x3FFF, 16013},
      {CoreC, "CoreC", 0xFFFF, 63496},
      {CoreD, "CoreD", 0xFFFF, 64089},
  };
  return all;
}

struct Field {
  enum Kind { kNone, kBits, kNextWord } kind = kNone;
  int high = 0;
  int low = 0;
  std::uint16_t mask() const {
    return kind == kBits ? static_cast<std::uint16_t>(((1u << (high - low + 1)) - 1u) << low) : 0;
  }
  std::uint16_t read(std::uint16_t word) const {
    return kind == kBits ? static_cast<std::uint16_t>((word & mask()) >> low) : 0;
  }
};

struct Test {
  std::string name;
  std::uint16_t mask;
  std::uint16_t pattern;
};

struct Family {
  std::vector<Test> tests;                              // in test order
  std::map<std::string, std::array<Field, 3>> fields;   // by mnemonic

  // Name of the first test the word passes, or null.
  const Test* decode(std::uint16_t word) const {
    for (const Test& t : tests)
      if ((word & t.mask) == t.pattern) return &t;
    return nullptr;
  }
  const Test& test(const std::string& name) const {
    for (const Test& t : tests)
      if (t.name == name) return t;
    throw std::runtime_error("no test for " + name);
  }
};

inline std::string trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \n");
  std::size_t e = s.find_last_not_of(" \n");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

inline std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(s);
  while (std::getline(in, part, sep)) parts.push_back(trim(part));
  return parts;
}

// "N `NAME` MASK/PATTERN; ..."
inline std::vector<Test> parseTests(const char* text) {
  std::vector<Test> tests;
  int expectedNumber = 1;
  for (const std::string& entry : split(text, ';')) {
    if (entry.empty()) continue;
    std::istringstream in(entry);
    int number;
    std::string name, maskPattern;
    in >> number >> name >> maskPattern;
    if (number != expectedNumber++ || name.size() < 3 || name.front() != '`')
      throw std::runtime_error("bad test entry: " + entry);
    std::size_t slash = maskPattern.find('/');
    tests.push_back({name.substr(1, name.size() - 2),
                     static_cast<std::uint16_t>(std::stoul(maskPattern.substr(0, slash), nullptr, 16)),
                     static_cast<std::uint16_t>(std::stoul(maskPattern.substr(slash + 1), nullptr, 16))});
  }
  return tests;
}

// "bits H-L", "bit N", "-", or "0 (...)" for the operand held by the next word.
inline Field parseField(const std::string& text) {
  Field f;
  if (text == "-") return f;
  if (text.rfind("0 (", 0) == 0) {
    f.kind = Field::kNextWord;
    return f;
  }
  f.kind = Field::kBits;
  if (text.rfind("bits ", 0) == 0) {
    std::size_t dash = text.find('-');
    f.high = std::stoi(text.substr(5, dash - 5));
    f.low = std::stoi(text.substr(dash + 1));
  } else if (text.rfind("bit ", 0) == 0) {
    f.high = f.low = std::stoi(text.substr(4));
  } else {
    throw std::runtime_error("bad field: " + text);
  }
  return f;
}

inline Family parseFamily(const char* decodeText, const std::string& familyName) {
  Family fam;
  fam.tests = parseTests(decodeText);
  for (const std::string& line : split(reference_text::kOperandFields, '\n')) {
    if (line.empty()) continue;
    std::vector<std::string> cells = split(line, '|');  // "", family, names, f1, f2, f3
    if (cells.size() != 6) throw std::runtime_error("bad field row: " + line);
    if (cells[1] != "`" + familyName + "`") continue;
    std::array<Field, 3> f = {parseField(cells[3]), parseField(cells[4]), parseField(cells[5])};
    for (const std::string& name : split(cells[2], ','))
      if (!fam.fields.emplace(name, f).second) throw std::runtime_error("twice: " + name);
  }
  return fam;
}

inline const Family& family(CoreFamily code) {
  static const Family a = parseFamily(reference_text::kDecodeA, "CoreA");
  static const Family b = parseFamily(reference_text::kDecodeB, "CoreB");
  static const Family c = parseFamily(reference_text::kDecodeC, "CoreC");
  static const Family d = parseFamily(reference_text::kDecodeD, "CoreD");
  switch (code) {
    case CoreA: return a;
    case CoreB: return b;
    case CoreC: return c;
    default: return d;
  }
}

// Mnemonic text to InstType.
inline const std::map<std::string, int>& numbering() {
  static const std::map<std::string, int> byName = [] {
    std::map<std::string, int> m;
    for (const std::string& entry : split(reference_text::kNumbering, ',')) {
      std::istringstream in(entry);
      int n;
      std::string name;
      in >> n >> name;
      m[name] = n;
    }
    return m;
  }();
  return byName;
}

// Family name to its mnemonic set, each checked against its written count.
inline const std::map<std::string, std::set<std::string>>& mnemonicSets() {
  static const std::map<std::string, std::set<std::string>> byFamily = [] {
    std::map<std::string, std::set<std::string>> m;
    for (const std::string& line : split(reference_text::kMnemonicSets, '\n')) {
      if (line.empty()) continue;
      std::size_t open = line.find('`'), close = line.find('`', open + 1);
      std::size_t count = line.find('('), colon = line.find("): ");
      if (line.rfind("- `", 0) != 0 || close == std::string::npos || colon == std::string::npos ||
          line.back() != '.')
        throw std::runtime_error("bad set line: " + line);
      const std::string familyName = line.substr(open + 1, close - open - 1);
      std::string rest = line.substr(colon + 3, line.size() - colon - 4);
      std::set<std::string> names;
      if (rest.rfind("the `", 0) == 0) {
        std::size_t end = rest.find("` set plus ");
        if (end == std::string::npos) throw std::runtime_error("bad set line: " + line);
        names = m.at(rest.substr(5, end - 5));
        rest = rest.substr(end + 11);
      }
      std::size_t andAt = rest.rfind(" and ");
      if (andAt != std::string::npos) rest.replace(andAt, 5, ", ");
      for (const std::string& name : split(rest, ','))
        if (!names.insert(name).second) throw std::runtime_error("twice: " + name);
      if (names.size() != std::stoul(line.substr(count + 1)))
        throw std::runtime_error("count differs: " + line);
      m[familyName] = names;
    }
    return m;
  }();
  return byFamily;
}

inline InstType instOf(const std::string& name) {
  auto it = numbering().find(name);
  if (it == numbering().end()) throw std::runtime_error("unknown mnemonic " + name);
  return static_cast<InstType>(it->second);
}

}  // namespace reference_model

// While alive, failed assertions only count and their text is captured.
class AssertProbe {
 public:
  int failures() const { return testing_support::ExitRecorder::count(); }
  int lastStatus() const { return testing_support::ExitRecorder::lastStatus(); }
  std::string text() const { return cCapture.text(); }

 private:
  testing_support::OutputCapture cCapture;
  testing_support::ExitRecorder cRecorder;
};

// Row tables behind opcat: one row per mnemonic of a family, in the family's
// decoding test order. The generic worker in opcat.cpp decodes, encodes,
// answers the property lookups and disassembles from these rows alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "opcat.h"

namespace opcat_rows {

enum FieldKind : std::uint8_t {
  kNoField,    // the mnemonic lacks the operand
  kBits,       // bits high..low of the word
  kNextWord,   // present, but held by the second word (reads 0, never written)
};

struct Field {
  FieldKind kind;
  std::uint8_t high;
  std::uint8_t low;
};

constexpr Field none() { return {kNoField, 0, 0}; }
constexpr Field bits(std::uint8_t high, std::uint8_t low) { return {kBits, high, low}; }
constexpr Field bit(std::uint8_t n) { return {kBits, n, n}; }
constexpr Field nextWord() { return {kNextWord, 0, 0}; }

// How the disassembler renders the operands.
enum Form : std::uint8_t {
  kPlain,     // each operand as read
  kBranch8,   // CoreD: target of a signed 8-bit word offset
  kBranch11,  // CoreD: target of a signed 11-bit word offset
  kCall,      // CoreD: target joined with the second word, then the fast bit
  kGoto,      // CoreD: target joined with the second word
  kLfsr,      // CoreD: register, literal joined with the second word
  kMovff,     // CoreD: source, destination from the second word
};

constexpr int kNoReloc = -1;

struct Row {
  InstType inst;
  std::uint16_t mask;
  std::uint16_t pattern;
  Field operand[3];
  Form form;
  std::uint8_t twoWord;
  std::int8_t reloc[3];
  std::int8_t word2Reloc;
  std::int8_t word2Operand;
};

// A one-word mnemonic with no relocation type anywhere.
constexpr Row plain(InstType inst, std::uint16_t mask, std::uint16_t pattern, Field op1 = none(),
                    Field op2 = none(), Field op3 = none()) {
  return {inst, mask, pattern, {op1, op2, op3}, kPlain, 0, {kNoReloc, kNoReloc, kNoReloc},
          kNoReloc, -1};
}

struct FamilyTable {
  const Row* rows;
  std::size_t count;
};

extern const FamilyTable kCoreATable;
extern const FamilyTable kCoreBTable;
extern const FamilyTable kCoreCTable;
extern const FamilyTable kCoreDTable;

}  // namespace opcat_rows

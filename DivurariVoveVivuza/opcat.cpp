#include "opcat.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>

#include "opcat_rows.h"
#include "platform.h"

using opcat_rows::FamilyTable;
using opcat_rows::Field;
using opcat_rows::Row;

static_assert(Inst::ADDLW == 1 && Inst::MOVLW == 47 && Inst::NOP == 54 && Inst::RETLW == 62 &&
                  Inst::WORD2 == 94 && Inst::XORWF == 96 && Inst::PAGESEL == 98,
              "mnemonic numbers are fixed by the object files and callers");

namespace {

const char* const kMnemonics[] = {
    nullptr,        "ADDLW",        "ADDWF",        "ADDWFC",      "ANDLW",        "ANDWF",
    "BC",           "BCF",          "BN",           "BNC",         "BNN",          "BNOV",
    "BNZ",          "BOV",          "BRA",          "BSF",         "BTFSC",        "BTFSS",
    "BTG",          "BZ",           "CALL",         "CLRF",        "CLRW",         "CLRWDT",
    "COMF",         "CPFSEQ",       "CPFSGT",       "CPFSLT",      "DAW",          "DCFSNZ",
    "DECF",         "DECFSZ",       "GOTO",         "HALT",        "INCF",         "INCFSZ",
    "INFSNZ",       "IORLW",        "IORWF",        "LCALL",       "LFSR",         "LOG",
    "MOVF",         "MOVFF",        "MOVFP",        "MOVLB",       "MOVLR",        "MOVLW",
    "MOVPF",        "MOVWF",        "MULLW",        "MULWF",       "NEGF",         "NEGW",
    "NOP",          "OPTION",       "PAUSE",        "POP",         "PUSH",         "RCALL",
    "RESET",        "RETFIE",       "RETLW",        "RETURN",      "RLCF",         "RLF",
    "RLNCF",        "RRCF",         "RRF",          "RRNCF",       "SETF",         "SLEEP",
    "STOP",         "SUBFWB",       "SUBLW",        "SUBWF",       "SUBWFB",       "SWAPF",
    "TABLRD",       "TABLWT",       "TBLRD",        "TBLRDPOSTDEC", "TBLRDPOSTINC", "TBLRDPREINC",
    "TBLWT",        "TBLWTPOSTDEC", "TBLWTPOSTINC", "TBLWTPREINC", "TLRD",         "TLWT",
    "TRAP",         "TRET",         "TRIS",         "TSTFSZ",      "WORD2",        "XORLW",
    "XORWF",        "BANKSEL",      "PAGESEL",
};
static_assert(sizeof kMnemonics / sizeof kMnemonics[0] == Inst::LAST + 1, "one text per InstType");

// The family's rows, or null after a failed assertion.
const FamilyTable* tableOf(CoreFamily family) {
  switch (family) {
    case CoreB: return &opcat_rows::kCoreBTable;
    case CoreC: return &opcat_rows::kCoreCTable;
    case CoreA: return &opcat_rows::kCoreATable;
    case CoreD: return &opcat_rows::kCoreDTable;
    default:
      TOOL_ASSERT(0);
      return nullptr;
  }
}

// First row whose test the word passes; null when none does. Masks hold no
// bits above the family's width, so those bits never take part.
const Row* scanRows(const FamilyTable& table, std::uint16_t word) {
  for (std::size_t i = 0; i < table.count; ++i)
    if ((word & table.rows[i].mask) == table.rows[i].pattern) return &table.rows[i];
  return nullptr;
}

// scanRows remembered per word: the listing looks up every program word
// several times. Entries are filled on each word's first lookup, not up
// front, so a short run scans only for the words it meets.
class RowCache {
 public:
  const Row* lookup(const FamilyTable& table, std::uint16_t word) {
    if (table.count >= kNoRow) return scanRows(table, word);  // indexes would not fit
    if (!cEntries) cEntries.reset(new std::uint8_t[kWords]());
    std::uint8_t& entry = cEntries[word];
    if (entry == kUnknown) {
      const Row* row = scanRows(table, word);
      entry = row ? static_cast<std::uint8_t>(row - table.rows + 1) : kNoRow;
    }
    return entry == kNoRow ? nullptr : &table.rows[entry - 1];
  }

 private:
  static constexpr std::size_t kWords = 0x10000;
  // Entry values: kUnknown, a row index + 1, or kNoRow.
  static constexpr std::uint8_t kUnknown = 0;
  static constexpr std::uint8_t kNoRow = 0xFF;
  std::unique_ptr<std::uint8_t[]> cEntries;
};

RowCache gRowCache[4];  // one per family, indexed by family code - 1

// scanRows through the family's cache; the family is one tableOf accepted.
const Row* matchWord(CoreFamily family, std::uint16_t word) {
  return gRowCache[family - 1].lookup(*tableOf(family), word);
}

const Row* findInst(const FamilyTable& table, InstType inst) {
  for (std::size_t i = 0; i < table.count; ++i)
    if (table.rows[i].inst == inst) return &table.rows[i];
  return nullptr;
}

// Row of the word's mnemonic; asserts once in the decoder and once more for
// the missing mnemonic, as every operation built on decoding does.
const Row* decodedRow(std::uint16_t word, CoreFamily family) {
  if (!tableOf(family)) return nullptr;
  const Row* row = matchWord(family, word);
  if (!row) {
    TOOL_ASSERT(0);  // the decoder's failure
    TOOL_ASSERT(0);  // InstType 0 has no fields
  }
  return row;
}

// Row of a mnemonic of the family, or null after a failed assertion.
const Row* familyRow(InstType inst, CoreFamily family) {
  const FamilyTable* table = tableOf(family);
  if (!table) return nullptr;
  const Row* row = findInst(*table, inst);
  if (!row) TOOL_ASSERT(0);
  return row;
}

bool validIndex(int index) {
  if (index >= 0 && index <= 2) return true;
  TOOL_ASSERT(0);
  return false;
}

std::uint16_t fieldMask(const Field& f) {
  return static_cast<std::uint16_t>(((1u << (f.high - f.low + 1)) - 1u) << f.low);
}

std::uint16_t readField(std::uint16_t word, const Field& f) {
  return static_cast<std::uint16_t>((word & fieldMask(f)) >> f.low);
}

std::uint16_t getOperand(std::uint16_t word, CoreFamily family, int index) {
  const Row* row = decodedRow(word, family);
  if (!row) return 0;
  const Field& f = row->operand[index];
  switch (f.kind) {
    case opcat_rows::kBits: return readField(word, f);
    case opcat_rows::kNextWord: return 0;
    default:
      TOOL_ASSERT(0);
      return 0;
  }
}

void setOperand(std::uint16_t* word, std::uint16_t value, CoreFamily family, int index) {
  if (!word) {
    TOOL_ASSERT(0);
    return;
  }
  const Row* row = decodedRow(*word, family);
  if (!row) return;
  const Field& f = row->operand[index];
  switch (f.kind) {
    case opcat_rows::kBits: {
      std::uint16_t mask = fieldMask(f);
      *word = static_cast<std::uint16_t>((*word & ~mask) | ((static_cast<unsigned>(value) << f.low) & mask));
      return;
    }
    case opcat_rows::kNextWord: return;  // the second word holds it
    default: TOOL_ASSERT(0); return;
  }
}

int hasOperand(InstType inst, CoreFamily family, int index) {
  const Row* row = familyRow(inst, family);
  if (!row) return 0;
  return row->operand[index].kind != opcat_rows::kNoField ? 1 : 0;
}

int relocType(InstType inst, CoreFamily family, int index) {
  const Row* row = familyRow(inst, family);
  return row ? row->reloc[index] : 0;
}

// Sign-extends a field of the given width to 32 bits without signed
// arithmetic: targets wrap modulo 2^32 like the addresses they are.
std::uint32_t signExtend(std::uint32_t value, unsigned width) {
  std::uint32_t sign = 1u << (width - 1);
  value &= (sign << 1) - 1u;
  return (value ^ sign) - sign;
}

// Bounded append to the family's text buffer, always ended by a NUL. Built
// by hand: the listing asks for a text per program word.
class Text {
 public:
  Text(char* buffer, std::size_t size) : cBuffer(buffer), cSize(size), cUsed(0) {
    cBuffer[0] = '\0';
  }
  // name, then spaces up to width.
  void mnemonic(const char* name, std::size_t width) {
    const std::size_t n = std::strlen(name);
    put(name, n);
    if (n < width) spaces(width - n);
  }
  // First operand without a comma, every further one with; in hex, as
  // "0x" and its digits without leading zeros.
  void operand(std::uint32_t value) {
    char text[12];
    std::size_t n = 0;
    if (cOperands++) text[n++] = ',';
    text[n++] = '0';
    text[n++] = 'x';
    unsigned digits = 1;
    while (digits < 8 && (value >> (4 * digits)) != 0) ++digits;
    while (digits-- > 0) text[n++] = "0123456789abcdef"[(value >> (4 * digits)) & 0xF];
    put(text, n);
  }
  void unknown() {
    if (cOperands++)
      put(",???", 4);
    else
      put("???", 3);
  }

 private:
  // As much of text as fits.
  void put(const char* text, std::size_t n) {
    if (n > cSize - 1 - cUsed) n = cSize - 1 - cUsed;
    std::memcpy(cBuffer + cUsed, text, n);
    cUsed += n;
    cBuffer[cUsed] = '\0';
  }
  // As many of n spaces as fit.
  void spaces(std::size_t n) {
    if (n > cSize - 1 - cUsed) n = cSize - 1 - cUsed;
    std::memset(cBuffer + cUsed, ' ', n);
    cUsed += n;
    cBuffer[cUsed] = '\0';
  }

  char* cBuffer;
  std::size_t cSize;
  std::size_t cUsed;
  int cOperands = 0;
};

constexpr std::size_t kTextSize = 80;
char gText[4][kTextSize];  // one per family, indexed by family code - 1

}  // namespace

// --- Decoding and operand fields --------------------------------------------

InstType instDecode(std::uint16_t word, CoreFamily family) {
  if (!tableOf(family)) return 0;
  const Row* row = matchWord(family, word);
  if (!row) {
    TOOL_ASSERT(0);
    return 0;
  }
  return row->inst;
}

std::uint16_t instGetOperand1(std::uint16_t word, CoreFamily family) {
  return getOperand(word, family, 0);
}

std::uint16_t instGetOperand2(std::uint16_t word, CoreFamily family) {
  return getOperand(word, family, 1);
}

std::uint16_t instGetOperand3(std::uint16_t word, CoreFamily family) {
  return getOperand(word, family, 2);
}

std::uint16_t instGetOperand(std::uint16_t word, CoreFamily family, int index) {
  return validIndex(index) ? getOperand(word, family, index) : 0;
}

// --- Encoding -----------------------------------------------------------------

void instSetOpcode(std::uint16_t* word, InstType inst, CoreFamily family) {
  if (!word) {
    TOOL_ASSERT(0);
    return;
  }
  const Row* row = familyRow(inst, family);
  if (!row) return;
  *word = static_cast<std::uint16_t>((*word & ~row->mask) | row->pattern);
}

void instSetOperand1(std::uint16_t* word, std::uint16_t value, CoreFamily family) {
  setOperand(word, value, family, 0);
}

void instSetOperand2(std::uint16_t* word, std::uint16_t value, CoreFamily family) {
  setOperand(word, value, family, 1);
}

void instSetOperand3(std::uint16_t* word, std::uint16_t value, CoreFamily family) {
  setOperand(word, value, family, 2);
}

// --- Properties ---------------------------------------------------------------

int instHasOperand1(InstType inst, CoreFamily family) { return hasOperand(inst, family, 0); }
int instHasOperand2(InstType inst, CoreFamily family) { return hasOperand(inst, family, 1); }
int instHasOperand3(InstType inst, CoreFamily family) { return hasOperand(inst, family, 2); }

int instHasOperand(InstType inst, CoreFamily family, int index) {
  return validIndex(index) ? hasOperand(inst, family, index) : 0;
}

int instIsTwoWord(InstType inst, CoreFamily family) {
  const Row* row = familyRow(inst, family);
  return row ? row->twoWord : 0;
}

int instRelocType1(InstType inst, CoreFamily family) { return relocType(inst, family, 0); }
int instRelocType2(InstType inst, CoreFamily family) { return relocType(inst, family, 1); }
int instRelocType3(InstType inst, CoreFamily family) { return relocType(inst, family, 2); }

int instRelocType(InstType inst, CoreFamily family, int index) {
  return validIndex(index) ? relocType(inst, family, index) : 0;
}

int instWord2RelocType(InstType inst, CoreFamily family) {
  const Row* row = familyRow(inst, family);
  return row ? row->word2Reloc : 0;
}

int instWord2Operand(InstType inst, CoreFamily family) {
  const Row* row = familyRow(inst, family);
  return row ? row->word2Operand : 0;
}

// --- Validity and disassembly -------------------------------------------------

int instIsValid(std::uint16_t word, CoreFamily family) {
  if (!tableOf(family)) return 0;
  return matchWord(family, word) ? 1 : 0;
}

const char* instDisassemble(std::uint32_t address, std::uint16_t word, std::uint16_t next,
                            std::uint8_t* count, CoreFamily family) {
  const Row* row = decodedRow(word, family);
  if (!row) return nullptr;

  Text text(gText[family - 1], kTextSize);
  text.mnemonic(kMnemonics[row->inst], 10);
  std::uint8_t words = 1;

  // Only CoreD has rows with forms other than kPlain.
  const Row* nextRow = row->form == opcat_rows::kPlain
                           ? nullptr
                           : matchWord(CoreD, next);
  bool secondWord = nextRow && nextRow->inst == Inst::WORD2;
  std::uint32_t op1 = row->operand[0].kind == opcat_rows::kBits ? readField(word, row->operand[0]) : 0;

  switch (row->form) {
    case opcat_rows::kBranch8:
      text.operand(address + 2u + 2u * signExtend(op1, 8));
      break;
    case opcat_rows::kBranch11:
      text.operand(address + 2u + 2u * signExtend(op1, 11));
      break;
    case opcat_rows::kCall:
    case opcat_rows::kGoto:
      if (secondWord) {
        text.operand((((next & 0xFFFu) << 8) | op1) * 2u);
        words = 2;
      } else {
        text.unknown();
      }
      if (row->form == opcat_rows::kCall) text.operand(readField(word, row->operand[1]));
      break;
    case opcat_rows::kLfsr:
      text.operand(op1);
      if (secondWord) {
        text.operand((static_cast<std::uint32_t>(readField(word, row->operand[1])) << 8) |
                     (next & 0xFFu));
        words = 2;
      } else {
        text.unknown();
      }
      break;
    case opcat_rows::kMovff:
      text.operand(op1);
      if (secondWord) {
        text.operand(next & 0xFFFu);
        words = 2;
      } else {
        text.unknown();
      }
      break;
    default:
      for (const Field& f : row->operand)
        if (f.kind == opcat_rows::kBits) text.operand(readField(word, f));
      break;
  }
  if (count) *count = words;
  return gText[family - 1];
}

// --- Mnemonic texts -------------------------------------------------------------

const char* instMnemonic(InstType inst) {
  if (inst < 1 || inst > Inst::LAST) {
    TOOL_ASSERT(0);
    return nullptr;
  }
  return kMnemonics[inst];
}

namespace {

int foldA2Z(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

bool textsEqual(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (foldA2Z(static_cast<unsigned char>(*a)) != foldA2Z(static_cast<unsigned char>(*b)))
      return false;
    if (*a == '\0') return true;
  }
}

}  // namespace

int instFromMnemonic(const char* text, InstType* inst, CoreFamily family) {
  const FamilyTable* table = tableOf(family);
  if (!table || !text) return 0;
  for (std::size_t i = 0; i < table->count; ++i) {
    if (textsEqual(text, kMnemonics[table->rows[i].inst])) {
      if (inst) *inst = table->rows[i].inst;
      return 1;
    }
  }
  return 0;
}

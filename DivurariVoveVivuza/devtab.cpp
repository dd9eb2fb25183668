#include "devtab.h"

#include <cstddef>
#include <iterator>

#include "platform.h"

namespace {

struct ProcRow {
  CoreFamily family;
  const char* name;
  std::uint16_t coffType;
  std::uint32_t programSize;  // program-memory locations
  std::uint32_t dataSize;     // bytes
  std::uint32_t firstGpr;     // first general-purpose offset within a bank
};

// One row per processor; the row's index + 1 is its ProcId.
// Ids 1 to 102 take two CoreB rows then one CoreA row in turn, ids 103 to
// 113 the last eleven CoreB rows, 114 to 124 CoreC and 125 to 131 CoreD.
// A code is the family's hex digit followed by the model number written in
// decimal digits (XQB42 is 0xB042).
const ProcRow kRows[] = {
    //  id      family  name     code    program  data  first GPR
    /*   1 */ {CoreB, "XQB01", 0xB001,  2048,  256, 0x0C},
    /*   2 */ {CoreB, "XQB02", 0xB002,  4096,  512, 0x0C},
    /*   3 */ {CoreA, "XQA01", 0xA001,   512,   32, 0x07},
    /*   4 */ {CoreB, "XQB03", 0xB003,  1024,  256, 0x20},
    /*   5 */ {CoreB, "XQB04", 0xB004,  8192,  512, 0x0C},
    /*   6 */ {CoreA, "XQA02", 0xA002,  1024,   64, 0x08},
    /*   7 */ {CoreB, "XQB05", 0xB005,   512,  256, 0x20},
    /*   8 */ {CoreB, "XQB06", 0xB006,  2048,  256, 0x0C},
    /*   9 */ {CoreA, "XQA03", 0xA003,   512,   32, 0x08},
    /*  10 */ {CoreB, "XQB07", 0xB007,  6144,  256, 0x20},
    /*  11 */ {CoreB, "XQB08", 0xB008,  4096,  512, 0x20},
    /*  12 */ {CoreA, "XQA04", 0xA004,  2048,   64, 0x07},
    /*  13 */ {CoreB, "XQB09", 0xB009,  8192,  512, 0x0C},
    /*  14 */ {CoreB, "XQB10", 0xB010,  2048,  256, 0x20},
    /*  15 */ {CoreA, "XQA05", 0xA005,   384,   32, 0x08},
    /*  16 */ {CoreB, "XQB11", 0xB011,  4096,  256, 0x20},
    /*  17 */ {CoreB, "XQB12", 0xB012,  1024,  256, 0x0C},
    /*  18 */ {CoreA, "XQA06", 0xA006,  1024,   64, 0x08},
    /*  19 */ {CoreB, "XQB13", 0xB013,  8192,  512, 0x20},
    /*  20 */ {CoreB, "XQB14", 0xB014,   512,  256, 0x20},
    /*  21 */ {CoreA, "XQA07", 0xA007,  2048,  128, 0x07},
    /*  22 */ {CoreB, "XQB15", 0xB015,  2048,  256, 0x20},
    /*  23 */ {CoreB, "XQB16", 0xB016,  6144,  512, 0x20},
    /*  24 */ {CoreA, "XQA08", 0xA008,   512,   32, 0x08},
    /*  25 */ {CoreB, "XQB17", 0xB017,  4096,  256, 0x20},
    /*  26 */ {CoreB, "XQB18", 0xB018,  8192,  512, 0x20},
    /*  27 */ {CoreA, "XQA09", 0xA009,  1024,   32, 0x08},
    /*  28 */ {CoreB, "XQB19", 0xB019,  2048,  256, 0x20},
    /*  29 */ {CoreB, "XQB20", 0xB020,  4096,  512, 0x20},
    /*  30 */ {CoreA, "XQA10", 0xA010,   512,   32, 0x07},
    /*  31 */ {CoreB, "XQB21", 0xB021,  1024,  256, 0x20},
    /*  32 */ {CoreB, "XQB22", 0xB022,  8192,  512, 0x20},
    /*  33 */ {CoreA, "XQA11", 0xA011,  2048,  128, 0x08},
    /*  34 */ {CoreB, "XQB23", 0xB023,   512,  256, 0x20},
    /*  35 */ {CoreB, "XQB24", 0xB024,  2048,  256, 0x20},
    /*  36 */ {CoreA, "XQA12", 0xA012,   384,   32, 0x08},
    /*  37 */ {CoreB, "XQB25", 0xB025,  6144,  256, 0x20},
    /*  38 */ {CoreB, "XQB26", 0xB026,  4096,  512, 0x20},
    /*  39 */ {CoreA, "XQA13", 0xA013,  1024,   32, 0x07},
    /*  40 */ {CoreB, "XQB27", 0xB027,  8192,  512, 0x20},
    /*  41 */ {CoreB, "XQB28", 0xB028,  2048,  256, 0x20},
    /*  42 */ {CoreA, "XQA14", 0xA014,  2048,   64, 0x08},
    /*  43 */ {CoreB, "XQB29", 0xB029,  4096,  256, 0x20},
    /*  44 */ {CoreB, "XQB30", 0xB030,  1024,  256, 0x20},
    /*  45 */ {CoreA, "XQA15", 0xA015,   512,   32, 0x08},
    /*  46 */ {CoreB, "XQB31", 0xB031,  8192,  512, 0x20},
    /*  47 */ {CoreB, "XQB32", 0xB032,   512,  256, 0x20},
    /*  48 */ {CoreA, "XQA16", 0xA016,  1024,   64, 0x07},
    /*  49 */ {CoreB, "XQB33", 0xB033,  2048,  256, 0x20},
    /*  50 */ {CoreB, "XQB34", 0xB034,  6144,  512, 0x20},
    /*  51 */ {CoreA, "XQA17", 0xA017,   512,   32, 0x08},
    /*  52 */ {CoreB, "XQB35", 0xB035,  4096,  256, 0x20},
    /*  53 */ {CoreB, "XQB36", 0xB036,  8192,  512, 0x20},
    /*  54 */ {CoreA, "XQA18", 0xA018,  2048,   64, 0x08},
    /*  55 */ {CoreB, "XQB37", 0xB037,  2048,  256, 0x20},
    /*  56 */ {CoreB, "XQB38", 0xB038,  4096,  512, 0x20},
    /*  57 */ {CoreA, "XQA19", 0xA019,   384,   32, 0x07},
    /*  58 */ {CoreB, "XQB39", 0xB039,  1024,  256, 0x20},
    /*  59 */ {CoreB, "XQB40", 0xB040,  8192,  512, 0x20},
    /*  60 */ {CoreA, "XQA20", 0xA020,  1024,   80, 0x08},
    /*  61 */ {CoreB, "XQB41", 0xB041,   512,  256, 0x20},
    /*  62 */ {CoreB, "XQB42", 0xB042,  2048,  256, 0x20},
    /*  63 */ {CoreA, "XQA21", 0xA021,  2048,  128, 0x08},
    /*  64 */ {CoreB, "XQB43", 0xB043,  6144,  256, 0x20},
    /*  65 */ {CoreB, "XQB44", 0xB044,  4096,  512, 0x20},
    /*  66 */ {CoreA, "XQA22", 0xA022,   512,   32, 0x07},
    /*  67 */ {CoreB, "XQB45", 0xB045,  8192,  512, 0x20},
    /*  68 */ {CoreB, "XQB46", 0xB046,  2048,  256, 0x20},
    /*  69 */ {CoreA, "XQA23", 0xA023,  1024,   32, 0x08},
    /*  70 */ {CoreB, "XQB47", 0xB047,  4096,  256, 0x20},
    /*  71 */ {CoreB, "XQB48", 0xB048,  1024,  256, 0x20},
    /*  72 */ {CoreA, "XQA24", 0xA024,   512,   32, 0x08},
    /*  73 */ {CoreB, "XQB49", 0xB049,  8192,  512, 0x20},
    /*  74 */ {CoreB, "XQB50", 0xB050,   512,  256, 0x20},
    /*  75 */ {CoreA, "XQA25", 0xA025,  2048,  128, 0x07},
    /*  76 */ {CoreB, "XQB51", 0xB051,  2048,  256, 0x20},
    /*  77 */ {CoreB, "XQB52", 0xB052,  6144,  512, 0x20},
    /*  78 */ {CoreA, "XQA26", 0xA026,   384,   32, 0x08},
    /*  79 */ {CoreB, "XQB53", 0xB053,  4096,  256, 0x20},
    /*  80 */ {CoreB, "XQB54", 0xB054,  8192,  512, 0x20},
    /*  81 */ {CoreA, "XQA27", 0xA027,  1024,   32, 0x08},
    /*  82 */ {CoreB, "XQB55", 0xB055,  2048,  256, 0x20},
    /*  83 */ {CoreB, "XQB56", 0xB056,  4096,  512, 0x20},
    /*  84 */ {CoreA, "XQA28", 0xA028,  2048,   64, 0x07},
    /*  85 */ {CoreB, "XQB57", 0xB057,  1024,  256, 0x20},
    /*  86 */ {CoreB, "XQB58", 0xB058,  8192,  512, 0x20},
    /*  87 */ {CoreA, "XQA29", 0xA029,   512,   32, 0x08},
    /*  88 */ {CoreB, "XQB59", 0xB059,   512,  256, 0x20},
    /*  89 */ {CoreB, "XQB60", 0xB060,  2048,  256, 0x20},
    /*  90 */ {CoreA, "XQA30", 0xA030,  1024,   64, 0x08},
    /*  91 */ {CoreB, "XQB61", 0xB061,  6144,  256, 0x20},
    /*  92 */ {CoreB, "XQB62", 0xB062,  4096,  512, 0x20},
    /*  93 */ {CoreA, "XQA31", 0xA031,   512,   32, 0x07},
    /*  94 */ {CoreB, "XQB63", 0xB063,  8192,  512, 0x20},
    /*  95 */ {CoreB, "XQB64", 0xB064,  2048,  256, 0x20},
    /*  96 */ {CoreA, "XQA32", 0xA032,  2048,   64, 0x08},
    /*  97 */ {CoreB, "XQB65", 0xB065,  4096,  256, 0x20},
    /*  98 */ {CoreB, "XQB66", 0xB066,  1024,  256, 0x20},
    /*  99 */ {CoreA, "XQA33", 0xA033,   384,   32, 0x08},
    /* 100 */ {CoreB, "XQB67", 0xB067,  8192,  512, 0x20},
    /* 101 */ {CoreB, "XQB68", 0xB068,   512,  256, 0x20},
    /* 102 */ {CoreA, "XQA34", 0xA034,  1024,   64, 0x08},
    /* 103 */ {CoreB, "XQB69", 0xB069,  2048,  256, 0x20},
    /* 104 */ {CoreB, "XQB70", 0xB070,  6144,  512, 0x20},
    /* 105 */ {CoreB, "XQB71", 0xB071,  4096,  256, 0x20},
    /* 106 */ {CoreB, "XQB72", 0xB072,  8192,  512, 0x20},
    /* 107 */ {CoreB, "XQB73", 0xB073,  2048,  256, 0x20},
    /* 108 */ {CoreB, "XQB74", 0xB074,  4096,  512, 0x20},
    /* 109 */ {CoreB, "XQB75", 0xB075,  1024,  256, 0x20},
    /* 110 */ {CoreB, "XQB76", 0xB076,  8192,  512, 0x20},
    /* 111 */ {CoreB, "XQB77", 0xB077,   512,  256, 0x20},
    /* 112 */ {CoreB, "XQB78", 0xB078,  2048,  256, 0x20},
    /* 113 */ {CoreB, "XQB79", 0xB079,  6144,  256, 0x20},
    /* 114 */ {CoreC, "XQC01", 0xC001,  2048, 1024, 0x20},
    /* 115 */ {CoreC, "XQC02", 0xC002,  4096, 2048, 0x20},
    /* 116 */ {CoreC, "XQC03", 0xC003,  8192, 1024, 0x20},
    /* 117 */ {CoreC, "XQC04", 0xC004, 16384, 2048, 0x20},
    /* 118 */ {CoreC, "XQC05", 0xC005,  2048, 1024, 0x20},
    /* 119 */ {CoreC, "XQC06", 0xC006,  4096, 2048, 0x20},
    /* 120 */ {CoreC, "XQC07", 0xC007,  8192, 1024, 0x20},
    /* 121 */ {CoreC, "XQC08", 0xC008, 16384, 2048, 0x20},
    /* 122 */ {CoreC, "XQC09", 0xC009,  2048, 1024, 0x20},
    /* 123 */ {CoreC, "XQC10", 0xC010,  4096, 2048, 0x20},
    /* 124 */ {CoreC, "XQC11", 0xC011,  8192, 1024, 0x20},
    /* 125 */ {CoreD, "XQD01", 0xD001, 16384,  512, 0x00},
    /* 126 */ {CoreD, "XQD02", 0xD002, 32768, 1536, 0x00},
    /* 127 */ {CoreD, "XQD03", 0xD003, 16384, 1536, 0x00},
    /* 128 */ {CoreD, "XQD04", 0xD004, 32768,  512, 0x00},
    /* 129 */ {CoreD, "XQD05", 0xD005, 16384,  512, 0x00},
    /* 130 */ {CoreD, "XQD06", 0xD006, 32768, 1536, 0x00},
    /* 131 */ {CoreD, "XQD07", 0xD007, 16384,  512, 0x00},
};

static_assert(std::size(kRows) == kProcIdLast, "one row per ProcId");

// Columns that depend on the family alone.
struct FamilyGeometry {
  std::uint32_t romWidthBits;
  std::uint32_t pageSize;
  std::uint32_t bankSize;
  std::uint32_t bankShift;
  std::uint32_t maxProgramAddress;
  std::uint32_t maxDataAddress;
};

constexpr FamilyGeometry kGeometryA = {12, 512, 32, 5, 0x7FF, 0x7F};
constexpr FamilyGeometry kGeometryB = {14, 2048, 128, 7, 0x1FFF, 0x1FF};
constexpr FamilyGeometry kGeometryC = {16, 8192, 256, 8, 0xFFFF, 0xFFF};
constexpr FamilyGeometry kGeometryD = {8, 0x200000, 256, 8, 0x1FFFFF, 0xFFF};

// The row of id, or null after a failed assertion.
const ProcRow* rowOf(ProcId id) {
  if (id < kProcIdFirst || id > kProcIdLast) {
    TOOL_ASSERT(0);
    return nullptr;
  }
  return &kRows[id - 1];
}

const FamilyGeometry* geometryOf(ProcId id) {
  const ProcRow* row = rowOf(id);
  if (!row) return nullptr;
  switch (row->family) {
    case CoreA: return &kGeometryA;
    case CoreB: return &kGeometryB;
    case CoreC: return &kGeometryC;
    default: return &kGeometryD;
  }
}

std::uint32_t ceilDiv(std::uint32_t n, std::uint32_t d) { return (n + d - 1) / d; }

int foldA2Z(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

int namesEqual(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (foldA2Z(static_cast<unsigned char>(*a)) != foldA2Z(static_cast<unsigned char>(*b)))
      return 0;
    if (*a == '\0') return 1;
  }
}

}  // namespace

CoreFamily procFamily(ProcId id) {
  const ProcRow* row = rowOf(id);
  return row ? row->family : 0;
}

const char* procName(ProcId id) {
  const ProcRow* row = rowOf(id);
  return row ? row->name : nullptr;
}

std::uint16_t procCoffType(ProcId id) {
  const ProcRow* row = rowOf(id);
  return row ? row->coffType : 0;
}

ProcId procIdFromCoffType(std::uint16_t coffType) {
  for (std::size_t i = 0; i < std::size(kRows); ++i)
    if (kRows[i].coffType == coffType) return static_cast<ProcId>(i + 1);
  TOOL_ASSERT(0);
  return 0;
}

int procIsKnownCoffType(std::uint16_t coffType) {
  for (const ProcRow& row : kRows)
    if (row.coffType == coffType) return 1;
  return 0;
}

int procIdFromName(const char* text, ProcId* id) {
  if (!text) return 0;
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    if (namesEqual(text, kRows[i].name)) {
      if (id) *id = static_cast<ProcId>(i + 1);
      return 1;
    }
  }
  return 0;
}

std::uint32_t procBankOf(ProcId id, std::uint32_t address) {
  const FamilyGeometry* g = geometryOf(id);
  return g ? address >> g->bankShift : 0;
}

std::uint32_t procBankOffset(ProcId id, std::uint32_t address) {
  const FamilyGeometry* g = geometryOf(id);
  return g ? address & (g->bankSize - 1) : 0;
}

int procIsGeneralPurpose(ProcId id, std::uint32_t address) {
  const FamilyGeometry* g = geometryOf(id);
  if (!g) return 0;
  return (address & (g->bankSize - 1)) >= kRows[id - 1].firstGpr ? 1 : 0;
}

std::uint32_t procRomWidthBits(ProcId id) {
  const FamilyGeometry* g = geometryOf(id);
  return g ? g->romWidthBits : 0;
}

std::uint32_t procRamWidthBits(ProcId id) { return rowOf(id) ? 8 : 0; }

std::uint32_t procNumPages(ProcId id) {
  const FamilyGeometry* g = geometryOf(id);
  return g ? ceilDiv(kRows[id - 1].programSize, g->pageSize) : 0;
}

std::uint32_t procProgramSize(ProcId id) {
  const ProcRow* row = rowOf(id);
  return row ? row->programSize : 0;
}

std::uint32_t procPageSize(ProcId id) {
  const FamilyGeometry* g = geometryOf(id);
  return g ? g->pageSize : 0;
}

std::uint32_t procNumBanks(ProcId id) {
  const FamilyGeometry* g = geometryOf(id);
  return g ? ceilDiv(kRows[id - 1].dataSize, g->bankSize) : 0;
}

std::uint32_t procDataSize(ProcId id) {
  const ProcRow* row = rowOf(id);
  return row ? row->dataSize : 0;
}

std::uint32_t procBankSize(ProcId id) {
  const FamilyGeometry* g = geometryOf(id);
  return g ? g->bankSize : 0;
}

std::uint32_t procMaxProgramAddress(ProcId id) {
  const FamilyGeometry* g = geometryOf(id);
  return g ? g->maxProgramAddress : 0;
}

std::uint32_t procMaxDataAddress(ProcId id) {
  const FamilyGeometry* g = geometryOf(id);
  return g ? g->maxDataAddress : 0;
}

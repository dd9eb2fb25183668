// 16-bit byte-addressed core: call and goto targets are even byte addresses
// split over two words, branches are relative to the following instruction,
// and the access bit says whether an operand lies in an access bank.
#include "patch.h"

namespace {

// A call or goto reaches any even byte address below 2^21: bits 1 to 8 in
// the first word, 9 to 20 in the second.
const unsigned kCallTargetBits = 21;
const char* const kCallTarget = "target of a call or goto instruction";
// FSR and MOVFF operands are whole data-memory addresses of 12 bits; LFSR
// splits its literal over two words.
const unsigned kDataAddressBits = 12;

String notWordAlignedMessage(const String& name) {
  return "Symbol '" + name + "' is not word-aligned.\n" +
         "It cannot be used as the target of a call or goto instruction.";
}

// Registers that a MOVFF may not write: the top of the return stack and the
// low byte of the program counter.
const char* movffForbidden(std::uint32_t value) {
  switch (value) {
    case 0xFFF: return "TOSU";
    case 0xFFE: return "TOSH";
    case 0xFFD: return "TOSL";
    case 0xFF9: return "PCL";
    default: return nullptr;
  }
}

// 0 when value lies in some ACCESSBANK (access RAM), else 1 (banked).
std::uint32_t accessBit(const PatchTarget& target, std::uint32_t value) {
  if (target.accessBanks == nullptr) return 1;
  for (const Memory& bank : *target.accessBanks)
    if (value >= bank.getStart() && value <= bank.getEnd()) return 0;
  return 1;
}

// The word distance field of a relative branch whose byte offset from the
// next instruction must lie in low..high; wrap turns a non-positive offset
// into two's complement of the field.
int branchField(const PatchRequest& request, std::int32_t low, std::int32_t high,
                std::uint32_t wrap, std::uint32_t& field, String& err) {
  const std::uint32_t next = request.loadStart + request.record.r_vaddr + 2u;
  const auto offset = static_cast<std::int32_t>(request.value() - next);
  if (offset < low || offset > high) {
    err = "Symbol '" + request.symbolName + "' out of range of relative branch instruction.";
    return 0;
  }
  std::uint32_t v = static_cast<std::uint32_t>(offset);
  if (offset <= 0) v += wrap;
  if (v & 1u) {
    err = notWordAlignedMessage(request.symbolName);
    return 0;
  }
  field = v;
  return 1;
}

}  // namespace

int doPatchCoreD(const PatchTarget& target, const PatchRequest& request, Data& data,
                 String& err) {
  const std::uint32_t value = request.value();
  const std::uint64_t at = request.record.r_vaddr;
  FieldWrites writes;
  // A field that holds the value whole: a value that does not fit it is
  // refused, never cut.
  const auto addWhole = [&](unsigned bits, const char* what, FieldSpec field) {
    if (!fitsWholeField(request, bits, what, err)) return false;
    writes.add(at, value, field);
    return true;
  };
  switch (request.record.r_type) {
    case RELOCT_CALL:
    case RELOCT_GOTO:
      if (value & 1u) {
        err = notWordAlignedMessage(request.symbolName);
        return 0;
      }
      if (!addWhole(kCallTargetBits, kCallTarget, {1, 0, 8})) return 0;
      break;
    case RELOCT_HIGH:
    case RELOCT_BANKSEL:
    case RELOCT_IBANKSEL:
    case RELOCT_MOVLB: writes.add(at, value, {8, 0, 8}); break;
    case RELOCT_LOW:
    case RELOCT_F: writes.add(at, value, {0, 0, 8}); break;
    case RELOCT_LFSR2:
      if (!addWhole(kDataAddressBits, "literal of an LFSR instruction", {0, 0, 8})) return 0;
      break;
    case RELOCT_ALL:
      if (!addWhole(16, "data word", {0, 0, 16})) return 0;
      break;
    case RELOCT_CALL2:
      if (!addWhole(kCallTargetBits, kCallTarget, {9, 0, 12})) return 0;
      break;
    case RELOCT_FF1:
      if (!addWhole(kDataAddressBits, "source of a MOVFF instruction", {0, 0, 12})) return 0;
      break;
    case RELOCT_FF2:
      if (const char* reg = movffForbidden(value)) {
        err = String(reg) + " cannot be used as the destination of a MOVFF instruction.";
        return 0;
      }
      if (!addWhole(kDataAddressBits, "destination of a MOVFF instruction", {0, 0, 12})) return 0;
      break;
    case RELOCT_LFSR1:
      if (!addWhole(kDataAddressBits, "literal of an LFSR instruction", {8, 0, 4})) return 0;
      break;
    case RELOCT_BRA: {
      std::uint32_t field = 0;
      if (!branchField(request, -0x800, 0x7FE, 0x1000, field, err)) return 0;
      writes.add(at, field, {1, 0, 11});
      break;
    }
    case RELOCT_CONDBRA: {
      std::uint32_t field = 0;
      if (!branchField(request, -0x100, 0xFE, 0x200, field, err)) return 0;
      writes.add(at, field, {1, 0, 8});
      break;
    }
    case RELOCT_UPPER: writes.add(at, value, {16, 0, 8}); break;
    case RELOCT_ACCESS: writes.add(at, accessBit(target, value), {0, 8, 1}); break;
    default: err = "unsupported relocation type."; return 0;
  }
  return applyFieldWrites(writes, request, data, err);
}

// 16-bit word-addressed core: banks are selected by MOVLR (general-purpose
// registers) or MOVLB (special-function registers); register 3 takes the
// high byte of a jump target.
#include "patch.h"

int doPatchCoreC(const PatchTarget& target, const PatchRequest& request, Data& data,
                 String& err) {
  const std::uint32_t value = request.value();
  const std::uint64_t at = request.record.r_vaddr;
  FieldWrites writes;
  switch (request.record.r_type) {
    case RELOCT_CALL:
    case RELOCT_GOTO: writes.add(at, value, {0, 0, 13}); break;
    case RELOCT_HIGH: writes.add(at, value, {8, 0, 8}); break;
    case RELOCT_LOW:
    case RELOCT_F: writes.add(at, value, {0, 0, 8}); break;
    case RELOCT_P: writes.add(at, value, {0, 8, 5}); break;
    case RELOCT_ALL:
      if (!fitsWholeField(request, 16, "data word", err)) return 0;
      writes.add(at, value, {0, 0, 16});
      break;
    case RELOCT_BANKSEL:
    case RELOCT_IBANKSEL: {
      const InstType inst =
          procIsGeneralPurpose(target.processor, value) == 1 ? Inst::MOVLR : Inst::MOVLB;
      const auto bank = static_cast<std::uint16_t>(procBankOf(target.processor, value));
      writes.addWord(at, buildWord(CoreC, inst, bank));
      break;
    }
    case RELOCT_PAGESEL:
    case RELOCT_PAGESEL_WREG:
      writes.addWord(at, buildWord(CoreC, Inst::MOVLW, highByte(value)));
      writes.addWord(at + 2, buildWord(CoreC, Inst::MOVWF, 3));
      break;
    case RELOCT_MOVLR:
      writes.add(at, procBankOf(target.processor, value & 0xFFFF), {0, 4, 4});
      break;
    case RELOCT_MOVLB:
      writes.add(at, procBankOf(target.processor, value & 0xFFFF), {0, 0, 4});
      break;
    default: err = "unsupported relocation type."; return 0;
  }
  return applyFieldWrites(writes, request, data, err);
}

// 14-bit core: register 3 bits 5 and 6 select the data bank for direct
// addressing and bit 7 the bank for indirect addressing; register 10 takes
// the page bits in its bits 3 and 4.
#include "patch.h"

int doPatchCoreB(const PatchTarget& target, const PatchRequest& request, Data& data,
                 String& err) {
  const std::uint32_t value = request.value();
  const std::uint64_t at = request.record.r_vaddr;
  FieldWrites writes;
  switch (request.record.r_type) {
    case RELOCT_CALL:
    case RELOCT_GOTO: writes.add(at, value, {0, 0, 11}); break;
    case RELOCT_HIGH: writes.add(at, value, {8, 0, 8}); break;
    case RELOCT_LOW: writes.add(at, value, {0, 0, 8}); break;
    case RELOCT_ALL:
      if (!fitsWholeField(request, 16, "data word", err)) return 0;
      writes.add(at, value, {0, 0, 16});
      break;
    case RELOCT_F: writes.add(at, value, {0, 0, 7}); break;
    case RELOCT_BANKSEL: {
      const std::uint32_t banks = procNumBanks(target.processor);
      if (banks >= 2) writes.addWord(at, bitWord(CoreB, (value & 0x80) != 0, 3, 5));
      if (banks >= 3) writes.addWord(at + 2, bitWord(CoreB, (value & 0x100) != 0, 3, 6));
      break;
    }
    case RELOCT_IBANKSEL:
      if (procNumBanks(target.processor) > 2)
        writes.addWord(at, bitWord(CoreB, (value & 0x100) != 0, 3, 7));
      break;
    case RELOCT_PAGESEL:
    case RELOCT_PAGESEL_WREG:
      writes.addWord(at, buildWord(CoreB, Inst::MOVLW, highByte(value)));
      writes.addWord(at + 2, buildWord(CoreB, Inst::MOVWF, 10));
      break;
    case RELOCT_PAGESEL_BITS: {
      const std::uint32_t pages = procNumPages(target.processor);
      if (pages >= 2) writes.addWord(at, bitWord(CoreB, (value & 0x800) != 0, 10, 3));
      if (pages >= 3) writes.addWord(at + 2, bitWord(CoreB, (value & 0x1000) != 0, 10, 4));
      break;
    }
    default: err = "unsupported relocation type."; return 0;
  }
  return applyFieldWrites(writes, request, data, err);
}

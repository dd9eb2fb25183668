// 12-bit core: register 4 bits 5 and 6 select the data bank, register 3 bits
// 5 and 6 the program page.
#include "patch.h"

const FieldSpec kCoreACallField = {0, 0, 8};

int doPatchCoreA(const PatchTarget& target, const PatchRequest& request, Data& data,
                 String& err) {
  const std::uint32_t value = request.value();
  const std::uint64_t at = request.record.r_vaddr;
  FieldWrites writes;
  switch (request.record.r_type) {
    case RELOCT_CALL: writes.add(at, value, kCoreACallField); break;
    case RELOCT_GOTO: writes.add(at, value, {0, 0, 9}); break;
    case RELOCT_HIGH: writes.add(at, value, {8, 0, 8}); break;
    case RELOCT_LOW: writes.add(at, value, {0, 0, 8}); break;
    case RELOCT_ALL:
      if (!fitsWholeField(request, 16, "data word", err)) return 0;
      writes.add(at, value, {0, 0, 16});
      break;
    case RELOCT_F: writes.add(at, value, {0, 0, 5}); break;
    case RELOCT_TRIS: writes.add(at, value, {0, 0, 3}); break;
    case RELOCT_BANKSEL:
    case RELOCT_IBANKSEL:
      // Both bank bits, whatever the bank count: the assembler reserved two words.
      writes.addWord(at, bitWord(CoreA, (value & 0x20) != 0, 4, 5));
      writes.addWord(at + 2, bitWord(CoreA, (value & 0x40) != 0, 4, 6));
      break;
    case RELOCT_PAGESEL:
    case RELOCT_PAGESEL_BITS: {
      const std::uint32_t pages = procNumPages(target.processor);
      if (pages >= 2) writes.addWord(at, bitWord(CoreA, (value & 0x200) != 0, 3, 5));
      if (pages >= 3) writes.addWord(at + 2, bitWord(CoreA, (value & 0x400) != 0, 3, 6));
      break;
    }
    default: err = "unsupported relocation type."; return 0;
  }
  return applyFieldWrites(writes, request, data, err);
}

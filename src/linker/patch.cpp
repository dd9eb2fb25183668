#include "patch.h"

#include "linker.h"
#include "platform.h"
#include "textutil.h"

namespace {

String offsetText(const reloc& record) { return hexString(record.r_vaddr, 4); }

String outsideMessage(const reloc& record, const Data& data) {
  return "relocation at offset " + offsetText(record) +
         " patches bytes outside the section's raw data (size " + std::to_string(data.size()) +
         ").";
}

// The section's raw data, or an empty buffer for a section that has none;
// a missing entry is never created, so the output gains no section.
Data& rawDataOf(Coff& file, const String& scnName, Data& none) {
  auto it = file.cRawData.find(scnName);
  return it == file.cRawData.end() ? none : it->second;
}

const Data* rawDataOf(const Coff& file, const String& scnName) {
  auto it = file.cRawData.find(scnName);
  return it == file.cRawData.end() ? nullptr : &it->second;
}

}  // namespace

// ---------------------------------------------------------------- values and fields

std::uint32_t PatchRequest::value() const {
  // Sign-extend the 16-bit addend, then add modulo 2^32.
  const auto addend = static_cast<std::uint32_t>(static_cast<std::int32_t>(record.r_offset));
  return symbolValue + addend;
}

void FieldWrites::add(std::uint64_t rawOffset, std::uint32_t value, FieldSpec field) {
  TOOL_ASSERT(cCount < 2);
  if (cCount >= 2) return;
  cWrites[cCount++] = Write{rawOffset, value, field};
}

void FieldWrites::addWord(std::uint64_t rawOffset, std::uint16_t word) {
  add(rawOffset, word, FieldSpec{0, 0, 16});
}

int fieldInside(const Data& data, std::uint64_t rawOffset, FieldSpec field) {
  if (field.width == 0) return 1;
  const std::uint64_t last = rawOffset + (field.dstBegin + field.width - 1u) / 8u;
  return last < data.size() ? 1 : 0;
}

int applyFieldWrites(const FieldWrites& writes, const PatchRequest& request, Data& data,
                     String& err) {
  // All or nothing: a pair of words is never left half written.
  for (std::size_t i = 0; i < writes.count(); ++i) {
    if (!fieldInside(data, writes[i].rawOffset, writes[i].field)) {
      err = outsideMessage(request.record, data);
      return 0;
    }
  }
  for (std::size_t i = 0; i < writes.count(); ++i) {
    const FieldWrites::Write& w = writes[i];
    insertBits(data, w.rawOffset, w.value, w.field.srcBegin, w.field.dstBegin, w.field.width);
  }
  return 1;
}

void insertBits(Data& data, std::uint64_t rawOffset, std::uint32_t value, std::uint16_t srcBegin,
                std::uint16_t dstBegin, std::uint16_t width) {
  TOOL_ASSERT(width <= 16);
  TOOL_ASSERT(srcBegin < 32);
  TOOL_ASSERT(dstBegin < 16);
  TOOL_ASSERT((srcBegin + width) < 32);
  TOOL_ASSERT(fieldInside(data, rawOffset, FieldSpec{srcBegin, dstBegin, width}));
  if (width > 16 || dstBegin >= 16 || srcBegin + width >= 32 ||
      !fieldInside(data, rawOffset, FieldSpec{srcBegin, dstBegin, width}))
    return;
  // Word-wise: the field's bits and mask at their place in the (at most
  // four) bytes from rawOffset, each touched byte merged once.
  if (width == 0) return;
  const std::uint64_t mask = ((std::uint64_t{1} << width) - 1u) << dstBegin;
  const std::uint64_t bits = (std::uint64_t{value} >> srcBegin << dstBegin) & mask;
  unsigned char* bytes = data.data() + rawOffset;
  for (unsigned b = dstBegin / 8u; b <= (dstBegin + width - 1u) / 8u; ++b) {
    const auto m = static_cast<unsigned char>(mask >> (8u * b));
    bytes[b] = static_cast<unsigned char>((bytes[b] & ~m) | (bits >> (8u * b) & m));
  }
}

void setBit(Data& data, std::uint64_t bitPos, int on) {
  const std::uint64_t byte = bitPos / 8u;
  TOOL_ASSERT(byte < data.size());
  if (byte >= data.size()) return;
  const auto mask = static_cast<unsigned char>(1u << (bitPos % 8u));
  if (on)
    data.data()[byte] = static_cast<unsigned char>(data.data()[byte] | mask);
  else
    data.data()[byte] = static_cast<unsigned char>(data.data()[byte] & ~mask);
}

int fitsWholeField(const PatchRequest& request, unsigned bits, const char* what, String& err) {
  const std::uint32_t value = request.value();
  if (bits >= 32 || value >> bits == 0) return 1;
  err = "Symbol '" + request.symbolName + "' has the value " + hexAtLeast(value, 8) +
        ", which does not fit the " + std::to_string(bits) + "-bit " + what + ".";
  return 0;
}

std::uint16_t buildWord(CoreFamily family, InstType inst, std::uint16_t operand1, int hasOperand2,
                        std::uint16_t operand2) {
  std::uint16_t word = 0;
  instSetOpcode(&word, inst, family);
  instSetOperand1(&word, operand1, family);
  if (hasOperand2) instSetOperand2(&word, operand2, family);
  return word;
}

std::uint16_t bitWord(CoreFamily family, int set, std::uint16_t reg, std::uint16_t bit) {
  return buildWord(family, set ? Inst::BSF : Inst::BCF, reg, 1, bit);
}

// ---------------------------------------------------------------- one relocation

int patchRelocation(const PatchTarget& target, const PatchRequest& request, Data& data,
                    String& err) {
  switch (target.family) {
    case CoreD: return doPatchCoreD(target, request, data, err);
    case CoreC: return doPatchCoreC(target, request, data, err);
    case CoreA: return doPatchCoreA(target, request, data, err);
    case CoreB: return doPatchCoreB(target, request, data, err);
    default: TOOL_ASSERT(0); return 0;
  }
}

int relocationSymbol(const Coff& file, const reloc& record, std::uint32_t& value, String& name,
                     String& err) {
  const std::uint32_t index = record.r_symndx;
  // Verification only checks the index against the table's length; an index
  // landing on an auxiliary entry would read its bytes as a symbol value.
  if (index >= file.cSymbolTbl.size()) {
    err = "relocation at offset " + offsetText(record) + " refers to symbol-table entry " +
          std::to_string(index) + ", beyond the " + std::to_string(file.cSymbolTbl.size()) +
          " entries of the symbol table.";
    return 0;
  }
  if (file.isAuxEntry(index)) {
    err = "relocation at offset " + offsetText(record) + " refers to symbol-table entry " +
          std::to_string(index) + ", which is an auxiliary entry, not a symbol.";
    return 0;
  }
  const syment sym = syment::decode(file.cSymbolTbl[index]);
  value = sym.n_value;
  name = file.getName(sym);
  return 1;
}

int doPatch(const PatchTarget& target, std::uint32_t loadStart, Data& data, const reloc& record,
            const Coff& file, String& err) {
  PatchRequest request;
  request.record = record;
  request.loadStart = loadStart;
  // The name only appears in messages, so it is spelt out only for a
  // refusal: a refused patch leaves the bytes as they were, and the second
  // attempt, with the name, words the message. Every long name is in its
  // file's table by now: the verifier refused a file without it, and the
  // merge moved each name together with the offsets that refer to it.
  const std::uint32_t index = record.r_symndx;
  if (index >= file.cSymbolTbl.size() || file.isAuxEntry(index))
    return relocationSymbol(file, record, request.symbolValue, request.symbolName, err);
  const syment sym = syment::decode(file.cSymbolTbl[index]);
  request.symbolValue = sym.n_value;
  if (patchRelocation(target, request, data, err)) return 1;
  request.symbolName = file.getName(sym);
  return patchRelocation(target, request, data, err);
}

String patchErrorPrefix(const String& fileName, const String& section) {
  return "file '" + fileName + "', section '" + section + "', ";
}

// ---------------------------------------------------------------- the walks

int verifyCallTargets(const PatchTarget& target, const std::vector<std::unique_ptr<Coff>>& inputs,
                      String& err) {
  if (target.family != CoreA) return 1;
  const std::uint32_t page = procPageSize(target.processor);
  if (page == 0) return 1;  // only after a failed assertion on the processor
  const std::uint32_t half = page >> 1;
  const Data none;
  for (const std::unique_ptr<Coff>& input : inputs) {
    const Coff& file = *input;
    for (const auto& numbered : file.cScnNum) {
      const String& scnName = numbered.second;
      const auto relocs = file.cRelocInfo.find(scnName);
      if (relocs == file.cRelocInfo.end()) continue;
      const Data* found = rawDataOf(file, scnName);
      const Data& data = found ? *found : none;
      for (const reloc& record : relocs->second) {
        if (record.r_type != RELOCT_CALL) continue;
        PatchRequest request;
        request.record = record;
        String message;
        if (!relocationSymbol(file, record, request.symbolValue, request.symbolName, message)) {
          err = patchErrorPrefix(file.cFileName, scnName) + message;
          return 0;
        }
        if (!fieldInside(data, record.r_vaddr, kCoreACallField)) {
          err = patchErrorPrefix(file.cFileName, scnName) + outsideMessage(record, data);
          return 0;
        }
        if (request.value() % page >= half) {
          err = patchErrorPrefix(file.cFileName, scnName) + "performs a call to \n symbol '" +
                request.symbolName + "' which is not in the lower half of a page.";
          return 0;
        }
      }
    }
  }
  return 1;
}

int patchInputs(const PatchTarget& target, std::vector<std::unique_ptr<Coff>>& inputs,
                const std::map<String, Memory*>& cScnMem, String& err) {
  for (std::size_t position = 0; position < inputs.size(); ++position) {
    Coff& file = *inputs[position];
    for (const auto& numbered : file.cScnNum) {
      const String& scnName = numbered.second;
      const auto relocs = file.cRelocInfo.find(scnName);
      if (relocs == file.cRelocInfo.end() || relocs->second.empty()) continue;
      std::map<String, Memory*>::const_iterator mem;
      TOOL_ASSERT((mem=cScnMem.find(scnName)) != cScnMem.end());
      if (mem == cScnMem.end() || mem->second == nullptr) return 0;
      const std::uint32_t loadStart = mem->second->getLoadStart(position, scnName);
      Data none;
      Data& data = rawDataOf(file, scnName, none);
      for (const reloc& record : relocs->second) {
        String message;
        if (!doPatch(target, loadStart, data, record, file, message)) {
          err = patchErrorPrefix(file.cFileName, scnName) + message;
          return 0;
        }
      }
    }
  }
  return 1;
}

// ---------------------------------------------------------------- link phases

int Linker::verifyRelocations(String& err) {
  PatchTarget target;
  target.family = cFamily;
  target.processor = cProcessor;
  target.accessBanks = &cAccessBanks;
  return verifyCallTargets(target, cCoff, err);
}

int Linker::patchSections(String& err) {
  PatchTarget target;
  target.family = cFamily;
  target.processor = cProcessor;
  target.accessBanks = &cAccessBanks;
  return patchInputs(target, cCoff, cScnMem, err);
}

// Program memory fill: every free range of a CODEPAGE declared with FILL
// becomes a code section of its own holding the pattern, so programming
// tools write those locations like any other code.
#include <cctype>
#include <vector>

#include "linker.h"
#include "platform.h"

namespace {

struct HoleWalk {
  Linker* linker;
  String* err;
  int ok;
};

bool isHexPattern(const String& fill) {
  return fill.size() > 2 && (fill[1] == 'x' || fill[1] == 'X');
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The 16-bit groups of a hexadecimal pattern, four digits each; false when
// the digits do not come in whole groups.
bool hexGroups(const String& fill, std::vector<uint16_t>& groups) {
  const std::size_t digits = fill.size() - 2;
  if (digits % 4 != 0) return false;
  for (std::size_t g = 2; g < fill.size(); g += 4) {
    uint16_t value = 0;
    for (std::size_t i = g; i < g + 4; ++i) {
      const int d = hexDigit(fill[i]);
      if (d < 0) return false;
      value = static_cast<uint16_t>((value << 4) | d);
    }
    groups.push_back(value);
  }
  return true;
}

// The leading decimal digits, kept to their low 16 bits (exact however
// many digits there are).
uint16_t decimalPattern(const String& fill) {
  uint32_t value = 0;
  for (char c : fill) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    value = (value * 10 + static_cast<uint32_t>(c - '0')) & 0xFFFF;
  }
  return static_cast<uint16_t>(value);
}

}  // namespace

void Linker::buildOutputHoleCallback(void* user, const Memory& memory, uint32_t first,
                                     uint32_t last, const String& fill) {
  HoleWalk& walk = *static_cast<HoleWalk*>(user);
  if (!walk.ok) return;  // the first refused hole ends the phase
  walk.ok = walk.linker->buildOutputHole(memory, first, last, fill, *walk.err);
}

int Linker::buildOutputHoles(String& err) {
  HoleWalk walk{this, &err, 1};
  for (const Memory& memory : cCodePage) {
    memory.forEachHole(&Linker::buildOutputHoleCallback, &walk);
    if (!walk.ok) return 0;
  }
  return 1;
}

int Linker::buildOutputHole(const Memory& memory, uint32_t first, uint32_t last, const String& fill,
                            String& err) {
  TOOL_ASSERT(first <= last);
  const uint64_t locations = uint64_t(last) - first + 1;
  // No processor has more program memory than its family can address; a
  // larger hole comes from a CODEPAGE beyond it and would ask for a buffer
  // of gigabytes.
  const uint64_t space = uint64_t(procMaxProgramAddress(cProcessor)) + 1;
  if (locations > space) {
    err = "fill of memory '" + memory.getName() + "' from " + hexString(first, 4) + " to " +
          hexString(last, 4) + " covers " + std::to_string(locations) +
          " locations, more than the " + std::to_string(space) +
          " of the processor's program address space.";
    return 0;
  }
  std::vector<uint16_t> groups;
  const bool hex = isHexPattern(fill);
  if (hex && !hexGroups(fill, groups)) {
    err = "fill pattern '" + fill + "' of memory '" + memory.getName() +
          "' is not \"0x\" followed by hexadecimal digits in groups of four.";
    return 0;
  }

  const int number = cOutput.cScnNum.empty() ? 1 : cOutput.cScnNum.rbegin()->first + 1;
  if (number > kMaxOutputSections) {
    err = "the fill sections of memory '" + memory.getName() + "' would take the output past " +
          std::to_string(kMaxOutputSections) + " sections, the most a section number can hold.";
    return 0;
  }
  ++cFillCount;
  const String name = ".fill_" + std::to_string(cFillCount);
  cOutput.cScnNum[number] = name;

  const uint64_t size = locations * bytesPerWord(rom);
  Data bytes(static_cast<uint32_t>(size));
  unsigned char* p = bytes.data();
  bool truncated = false;
  if (hex) {
    std::size_t next = 0;
    uint64_t pos = 0;
    for (; size - pos >= 2; pos += 2) {
      le::putU16(p + pos, groups[next]);
      next = (next + 1) % groups.size();
    }
    // A pass that stopped inside the pattern, or a lone last byte, cuts
    // the pattern short.
    truncated = next != 0 || pos < size;
    if (pos < size) p[pos] = static_cast<unsigned char>(groups[next]);
  } else {
    const uint16_t value = decimalPattern(fill);
    uint64_t pos = 0;
    for (; size - pos >= 2; pos += 2) le::putU16(p + pos, value);
    if (pos < size) {
      truncated = true;
      p[pos] = static_cast<unsigned char>(value);
    }
  }
  if (truncated) {
    reportMessage(SevWarning, "Linker::BuildOutputHole()",
                  "Fill pattern for memory '" + memory.getName() +
                      "' doesn't divide evenly into\n"
                      "          unused program locations.  Last value was truncated.",
                  0);
  }
  cOutput.cRawData[name] = std::move(bytes);

  scnhdr& h = cOutput.cScnHdr[name];
  // From the hundredth fill section the name no longer fits inline.
  if (name.size() > 8)
    h.set_s_offset(appendOutputString(name));
  else
    cOutput.setName(h, name);
  h.s_paddr = first;
  h.s_vaddr = 0;
  setScnFlags(h, scnCode, false, false, false);
  return 1;
}

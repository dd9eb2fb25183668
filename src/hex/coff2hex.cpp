#include <sstream>
#include <vector>

#include "filename.h"
#include "hex.h"

namespace {

const char* const kContext = "Coff2Hex::init()";

// Program-memory widths of the devices: whole locations of 1 or 2 bytes.
bool isDeviceRomWidth(uint32_t bits) { return bits == 8 || bits == 12 || bits == 14 || bits == 16; }

void refuse(std::ostringstream& s) { reportStream(SevError, kContext, s, 0); }

}  // namespace

Coff2Hex* Coff2Hex::init(const Coff& coff, const AddrRangeList& ranges) {
  cRanges.clear();

  // Without the optional header the program-memory width is unknown, and
  // any guess converts the addresses wrongly.
  if (coff.cFileHdr.f_opthdr != kOptHdrSize) {
    std::ostringstream s;
    s << "Coff file '" << coff.cFileName
      << "' has no optional header; its program-memory width is unknown.";
    refuse(s);
    return nullptr;
  }
  const uint32_t widthBits = coff.cOptHdr.rom_width_bits;
  if (!isDeviceRomWidth(widthBits)) {
    std::ostringstream s;
    s << "Coff file '" << coff.cFileName << "' has a program-memory width of " << widthBits
      << " bits; only 8, 12, 14 and 16 are supported.";
    refuse(s);
    return nullptr;
  }
  const uint32_t bytesPerLocation = (widthBits + 7) >> 3;
  // Byte-addressed program memory: each byte is a location of its own, so
  // nothing is padded (a pad byte would overwrite the next section's first
  // byte at the same address).
  const bool byteAddressed = bytesPerLocation == 1;

  cFileBaseName = FileName(coff.cFileName).baseName();

  for (const auto& entry : coff.cScnHdr) {
    const String& name = entry.first;
    const scnhdr& hdr = entry.second;
    const int type = getScnType(hdr);
    if (type != scnCode && type != scnRomData) continue;

    auto raw = coff.cRawData.find(name);
    if (raw == coff.cRawData.end() || raw->second.size() == 0) continue;
    std::vector<unsigned char> bytes(raw->second.data(), raw->second.data() + raw->second.size());
    if (!byteAddressed && bytes.size() % 2 != 0) bytes.push_back(0);

    const uint64_t startByte = static_cast<uint64_t>(hdr.s_paddr) * bytesPerLocation;
    if (startByte + bytes.size() > 0x100000000ull) {
      std::ostringstream s;
      s << "Section '" << name << "' of Coff file '" << coff.cFileName
        << "' lies beyond byte address 0xFFFFFFFF.";
      refuse(s);
      return nullptr;
    }

    if (ranges.empty()) {
      cRanges.emplace_back(static_cast<uint32_t>(startByte),
                           Data(static_cast<uint32_t>(bytes.size()), bytes.data()));
      continue;
    }

    // Walk one location at a time; consecutive selected locations form one
    // run. The bound check above keeps every location within 32 bits.
    std::vector<unsigned char> run;
    uint32_t runStart = 0;
    auto closeRun = [&]() {
      if (run.empty()) return;
      cRanges.emplace_back(runStart * bytesPerLocation,
                           Data(static_cast<uint32_t>(run.size()), run.data()));
      run.clear();
    };
    for (size_t offset = 0; offset < bytes.size(); offset += bytesPerLocation) {
      const uint32_t location = hdr.s_paddr + static_cast<uint32_t>(offset / bytesPerLocation);
      if (inAnyRange(location, ranges)) {
        if (run.empty()) runStart = location;
        run.insert(run.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                   bytes.begin() + static_cast<std::ptrdiff_t>(offset + bytesPerLocation));
      } else {
        closeRun();
      }
    }
    closeRun();
  }

  if (!ranges.empty() && cRanges.empty()) return nullptr;
  return this;
}

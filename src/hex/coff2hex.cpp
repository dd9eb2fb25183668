#include <algorithm>
#include <sstream>
#include <vector>

#include "filename.h"
#include "hex.h"
#include "textutil.h"

namespace {

const char* const kContext = "Coff2Hex::init()";

// Program-memory widths of the devices: whole locations of 1 or 2 bytes.
bool isDeviceRomWidth(uint32_t bits) { return bits == 8 || bits == 12 || bits == 14 || bits == 16; }

void refuse(std::ostringstream& s) { reportStream(SevError, kContext, s, 0); }

}  // namespace

std::vector<AddrRange> mergeRanges(const AddrRangeList& ranges) {
  std::vector<AddrRange> sorted(ranges.begin(), ranges.end());
  std::sort(sorted.begin(), sorted.end(), [](const AddrRange& a, const AddrRange& b) {
    return a.cStart < b.cStart;
  });
  std::vector<AddrRange> merged;
  for (const AddrRange& r : sorted) {
    // Wider than 32 bits, so that a range ending at 0xFFFFFFFF has a next.
    if (!merged.empty() && uint64_t(r.cStart) <= uint64_t(merged.back().cEnd) + 1)
      merged.back().cEnd = std::max(merged.back().cEnd, r.cEnd);
    else
      merged.push_back(r);
  }
  return merged;
}

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
  const std::vector<AddrRange> merged = mergeRanges(ranges);

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

    // Locations selected one after another form one run; as the merged
    // ranges neither overlap nor touch, each run is the part of one merged
    // range that lies in the section. The bound check above keeps every
    // location within 32 bits.
    const uint64_t firstLocation = hdr.s_paddr;
    const uint64_t lastLocation = firstLocation + bytes.size() / bytesPerLocation - 1;
    const auto endsBefore = [](const AddrRange& a, uint64_t location) { return a.cEnd < location; };
    auto r = std::lower_bound(merged.begin(), merged.end(), firstLocation, endsBefore);
    for (; r != merged.end() && r->cStart <= lastLocation; ++r) {
      const uint64_t from = std::max<uint64_t>(r->cStart, firstLocation);
      const uint64_t to = std::min<uint64_t>(r->cEnd, lastLocation);
      const size_t offset = static_cast<size_t>((from - firstLocation) * bytesPerLocation);
      const size_t size = static_cast<size_t>((to - from + 1) * bytesPerLocation);
      cRanges.emplace_back(static_cast<uint32_t>(from * bytesPerLocation),
                           Data(static_cast<uint32_t>(size), bytes.data() + offset));
    }
  }

  if (!ranges.empty() && cRanges.empty()) {
    // Nothing to write is a failure the user must be able to read.
    std::ostringstream s;
    s << "No program memory word of Coff file '" << coff.cFileName << "' lies in the range"
      << (ranges.size() > 1 ? "s" : "");
    const char* separator = " ";
    for (const AddrRange& r : ranges) {
      s << separator << hexAtLeast(r.cStart, 4) << '-' << hexAtLeast(r.cEnd, 4);
      separator = ", ";
    }
    s << '.';
    refuse(s);
    return nullptr;
  }
  return this;
}

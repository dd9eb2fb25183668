// Reading a COFF image (current and older layout) and checking its
// cross-references.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <sstream>

#include "coff.h"
#include "platform.h"

#include <unistd.h>

namespace {

// Zero-filled sections (s_scnptr 0) have no bytes in the file to check
// their size against; no device has memory anywhere near this, so larger
// requests are damaged headers, not programs.
constexpr std::uint64_t kMaxZeroFill = std::uint64_t(16) << 20;
// Code and ROM data are program-memory images, which the writers always
// give bytes in the file; the largest program memory of any device is
// 2 MB. Beyond that a zero-filled one only makes the converters write
// megabytes of zeros for a file of a few hundred bytes.
constexpr std::uint64_t kMaxZeroFilledProgram = std::uint64_t(2) << 20;

// The bytes of one image: either inside a file buffer, or in an open file
// read block by block as they are asked for (a memory image needs a tenth
// of an executable, the rest being symbols and line records). Every
// position counts from the image's base; a block is usable only when it
// lies wholly inside the file. The arithmetic is 64-bit, so no count or
// pointer from the file can wrap.
class ImageView {
 public:
  ImageView(const unsigned char* file, std::uint64_t size, std::uint64_t base)
      : cFile(file), cSize(size), cBase(base) {}
  // The open file fd of size bytes, read by offset; it stays open while the
  // view is used.
  ImageView(int fd, std::uint64_t size) : cFd(fd), cSize(size) {}

  bool fits(std::uint64_t pos, std::uint64_t len) const {
    if (cBase > cSize) return false;
    const std::uint64_t avail = cSize - cBase;
    return pos <= avail && len <= avail - pos;
  }

  // The len bytes at pos (len > 0); null when they do not lie in the file,
  // or when a file read by offset could not be read there. What a view of
  // a file read stays valid as long as the view.
  const unsigned char* read(std::uint64_t pos, std::uint64_t len) const {
    if (!fits(pos, len)) return nullptr;
    if (cFd < 0) return cFile + static_cast<std::size_t>(cBase + pos);
    if (pos >= cHeadPos && pos - cHeadPos <= cHead.size() && len <= cHead.size() - (pos - cHeadPos))
      return cHead.data() + (pos - cHeadPos);
    cBlocks.emplace_back(new unsigned char[static_cast<std::size_t>(len)]);
    if (!platform::readAt(cFd, cBlocks.back().get(), len, pos)) return nullptr;
    return cBlocks.back().get();
  }

  // Keeps the len bytes at pos (what fits of them) at hand: the headers,
  // which the reader decodes more than once.
  void keep(std::uint64_t pos, std::uint64_t len) const {
    if (cFd < 0 || !fits(pos, 0)) return;
    len = std::min(len, cSize - pos);
    std::vector<unsigned char> head(static_cast<std::size_t>(len));
    if (len > 0 && !platform::readAt(cFd, head.data(), len, pos)) return;
    cHead.swap(head);
    cHeadPos = pos;
  }

 private:
  const unsigned char* cFile = nullptr;
  int cFd = -1;
  std::uint64_t cSize;
  std::uint64_t cBase = 0;
  mutable std::vector<std::unique_ptr<unsigned char[]>> cBlocks;
  mutable std::vector<unsigned char> cHead;
  mutable std::uint64_t cHeadPos = 0;
};

std::uint64_t relocSize(bool older) { return older ? old_reloc::kSize : reloc::kSize; }
std::uint64_t lineSize(bool older) { return older ? gnu_lineno::kSize : coff_lineno::kSize; }

// End of the last block the section headers describe, for an image without
// a symbol table: that is where the writer puts the string table then.
std::uint64_t endOfBlocks(const ImageView& img, const filehdr& fh, bool older) {
  const std::uint64_t headers = filehdr::kSize + std::uint64_t(fh.f_opthdr);
  std::uint64_t end = headers + scnhdr::kSize * std::uint64_t(fh.f_nscns);
  for (std::uint64_t i = 0; i < fh.f_nscns; ++i) {
    const std::uint64_t pos = headers + scnhdr::kSize * i;
    const unsigned char* at = img.read(pos, scnhdr::kSize);
    if (!at) break;
    const scnhdr h = scnhdr::decode(at);
    if (h.s_scnptr != 0 && h.s_size != 0) end = std::max(end, std::uint64_t(h.s_scnptr) + h.s_size);
    if (h.s_relptr != 0 && h.s_nreloc != 0)
      end = std::max(end, h.s_relptr + relocSize(older) * h.s_nreloc);
    if (h.s_lnnoptr != 0 && h.s_nlnno != 0)
      end = std::max(end, h.s_lnnoptr + lineSize(older) * h.s_nlnno);
  }
  return end;
}

// A block of the image that a section header points at: its raw data, line
// numbers or relocations. order is its place in the order the reader reads
// them: section by section, and within a section in the order of kinds.
enum BlockKind : std::uint64_t { blockRaw, blockLines, blockRelocs, blockKinds };
struct Block {
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t order;
};
constexpr std::uint64_t kNoOverlap = UINT64_MAX;

// The order of the first block, in reading order, that overlaps a block
// read before it; kNoOverlap when the blocks are disjoint. No assembler or
// linker lets two headers share a block, and a file that does so many times
// over would decode to many times its size. Sorting once answers for a
// sound file; only a damaged one pays for the walk that finds the culprit.
std::uint64_t firstOverlap(std::vector<Block>& blocks) {
  std::sort(blocks.begin(), blocks.end(),
            [](const Block& a, const Block& b) { return a.start < b.start; });
  bool overlap = false;
  std::uint64_t reach = 0;
  for (const Block& b : blocks) {
    if (b.start < reach) {
      overlap = true;
      break;
    }
    reach = b.end;
  }
  if (!overlap) return kNoOverlap;
  std::sort(blocks.begin(), blocks.end(),
            [](const Block& a, const Block& b) { return a.order < b.order; });
  std::map<std::uint64_t, std::uint64_t> placed;  // start to end, disjoint
  for (const Block& b : blocks) {
    auto next = placed.lower_bound(b.start);
    if (next != placed.end() && next->first < b.end) return b.order;
    if (next != placed.begin() && std::prev(next)->second > b.start) return b.order;
    placed.emplace_hint(next, b.start, b.end);
  }
  return kNoOverlap;
}

// Decodes the image img shows; null after reporting why. Without debug,
// the symbol table, the line records, the relocations and the bytes of
// sections outside program memory are only checked to lie in the file: a
// memory image needs none of them, and they are most of an executable.
std::unique_ptr<Coff> parse(const ImageView& img, const String& name, bool debug = true) {
  auto coff = std::make_unique<Coff>();
  coff->cFileName = name;

  auto fail = [&name](const char* what) -> std::unique_ptr<Coff> {
    std::ostringstream s;
    s << "Coff file '" << name << "' " << what;
    reportStream(SevError, "Coff::make()", s, 0);
    return nullptr;
  };

  // File header and optional header.
  const unsigned char* head = img.read(0, filehdr::kSize);
  if (!head) return fail("could not read file header.");
  const filehdr fh = filehdr::decode(head);
  img.keep(0, filehdr::kSize + std::uint64_t(fh.f_opthdr) + scnhdr::kSize * std::uint64_t(fh.f_nscns));
  coff->cFileHdr = fh;
  if (fh.f_magic != kCoffMagic) return fail("does not appear to be a valid COFF file.");
  const bool older = fh.f_opthdr != kOptHdrSize;
  if (!older) {
    const unsigned char* opt = img.read(filehdr::kSize, opthdr::kSize);
    if (!opt) return fail("could not read optional file header.");
    coff->cOptHdr = opthdr::decode(opt);
  } else {
    std::ostringstream s;
    s << "Coff file '" << name << "' missing optional file header.";
    reportStream(SevError, "Coff::make()", s, 0);
  }

  // String table: right after the symbol table, or, in an image without
  // symbols (a stripped executable), after the last block its headers
  // describe; such an image may also have no table at all.
  const bool noSymbols = fh.f_nsyms == 0 && fh.f_symptr == 0;
  const std::uint64_t strPos =
      noSymbols ? endOfBlocks(img, fh, older) : fh.f_symptr + kSymEntSize * std::uint64_t(fh.f_nsyms);
  std::uint64_t endOffset = 4;
  if (!(noSymbols && !img.fits(strPos, 4))) {
    const unsigned char* at = img.read(strPos, 4);
    if (!at) return fail("could not read string table length.");
    const std::uint32_t length = le::getU32(at);
    if (length < 4 || !img.fits(strPos + 4, length - 4)) return fail("could not read string table.");
    const std::uint64_t count = length - 4;
    const unsigned char* bytes = count ? img.read(strPos + 4, count) : nullptr;
    if (count && !bytes) return fail("could not read string table.");
    std::uint64_t pos = 0;
    while (pos < count) {
      const void* zero = std::memchr(bytes + pos, 0, static_cast<std::size_t>(count - pos));
      if (!zero) break;  // an unterminated last string is not taken
      const std::uint64_t end = static_cast<const unsigned char*>(zero) - bytes;
      if (end == pos) break;  // an empty string ends the table
      // Offsets only grow, so each string goes at the end of the table.
      coff->cStringTbl.emplace_hint(
          coff->cStringTbl.end(), static_cast<std::uint32_t>(pos + 4),
          String(reinterpret_cast<const char*>(bytes + pos), static_cast<std::size_t>(end - pos)));
      pos = end + 1;
    }
    endOffset = pos + 4;
  }

  // Symbol table. A symbol takes the next record as its auxiliary entry
  // exactly when its kind is not auxNone.
  const std::uint64_t nsyms = fh.f_nsyms;
  if (nsyms > 0) {
    if (!img.fits(fh.f_symptr, kSymEntSize * nsyms)) return fail("could not read symbol table.");
  }
  if (nsyms > 0 && debug) {
    const unsigned char* table = img.read(fh.f_symptr, kSymEntSize * nsyms);
    if (!table) return fail("could not read symbol table.");
    coff->cSymbolTbl.reserve(static_cast<std::size_t>(nsyms));
    coff->cAuxKind.reserve(static_cast<std::size_t>(nsyms));
    auto recordAt = [table](std::uint64_t i) {
      SymRecord r;
      std::memcpy(r.data(), table + kSymEntSize * i, kSymEntSize);
      return r;
    };
    for (std::uint64_t i = 0; i < nsyms; ++i) {
      const SymRecord sym = recordAt(i);
      coff->cSymbolTbl.push_back(sym);
      coff->cAuxKind.push_back(auxNone);
      const AuxKind kind = auxKind(syment::decode(sym));
      if (kind == auxNone) continue;
      ++i;
      if (i >= nsyms) break;
      SymRecord aux = recordAt(i);
      if (older && kind == auxFile) {
        // The older layout keeps the source name in the entry itself; move
        // it to the string table, after the strings read from the file.
        std::size_t len = 0;
        while (len < kSymEntSize && aux[len] != 0) ++len;
        const String fileName(reinterpret_cast<const char*>(aux.data()), len);
        if (endOffset > UINT32_MAX) return fail("could not read string table.");
        aux_file entry;
        entry.x_offset = static_cast<std::uint32_t>(endOffset);
        entry.x_incline = 0;
        if (len == 0) {
          // An empty name stays in the entry: an empty string in the table
          // would end it for every reader, and the strings after it would be
          // lost once the table is written again. Offset 0 names no string.
          entry.x_offset = 0;
          entry.encode(aux);
        } else {
          entry.encode(aux);
          coff->cStringTbl[entry.x_offset] = fileName;
          endOffset += len + 1;
        }
      }
      coff->cSymbolTbl.push_back(aux);
      coff->cAuxKind.push_back(kind);
    }
  }

  // Sections. Their blocks are checked for overlap before any is decoded.
  const std::uint64_t headers = filehdr::kSize + std::uint64_t(fh.f_opthdr);
  std::uint64_t overlapAt = kNoOverlap;
  {
    std::vector<Block> blocks;
    blocks.reserve(std::size_t(blockKinds) * fh.f_nscns);
    for (std::uint64_t i = 0; i < fh.f_nscns; ++i) {
      const std::uint64_t pos = headers + scnhdr::kSize * i;
      const unsigned char* at = img.read(pos, scnhdr::kSize);
      if (!at) break;
      const scnhdr h = scnhdr::decode(at);
      if (h.s_size == 0) continue;
      const std::uint64_t order = blockKinds * i;
      // Uninitialised data is never read, wherever its pointer points.
      if (h.s_scnptr != 0 && getScnType(h) != scnUData)
        blocks.push_back({h.s_scnptr, std::uint64_t(h.s_scnptr) + h.s_size, order + blockRaw});
      if (h.s_nlnno > 0)
        blocks.push_back({h.s_lnnoptr, h.s_lnnoptr + lineSize(older) * h.s_nlnno,
                          order + blockLines});
      if (h.s_nreloc > 0)
        blocks.push_back({h.s_relptr, h.s_relptr + relocSize(older) * h.s_nreloc,
                          order + blockRelocs});
    }
    overlapAt = firstOverlap(blocks);
  }
  std::uint64_t zeroFilled = 0;
  std::uint64_t zeroFilledProgram = 0;
  for (std::uint64_t i = 0; i < fh.f_nscns; ++i) {
    const std::uint64_t pos = headers + scnhdr::kSize * i;
    const unsigned char* at = img.read(pos, scnhdr::kSize);
    if (!at) return fail("could not read section header.");
    const scnhdr h = scnhdr::decode(at);
    if (hasLongName(h) && coff->cStringTbl.count(h.s_offset()) == 0) {
      coff->getName(h);  // fatal
      return nullptr;
    }
    const String scnName = coff->getName(h);
    coff->cScnHdr[scnName] = h;
    coff->cScnNum.emplace_hint(coff->cScnNum.end(), static_cast<int>(i + 1), scnName);
    if (h.s_size == 0) continue;

    if (h.s_scnptr == 0) {
      zeroFilled += h.s_size;
      if (zeroFilled > kMaxZeroFill) return fail("could not read raw data.");
      const int type = getScnType(h);
      if (type == scnCode || type == scnRomData) zeroFilledProgram += h.s_size;
      if (zeroFilledProgram > kMaxZeroFilledProgram) return fail("could not read raw data.");
      coff->cRawData[scnName] = Data(h.s_size);
    } else if (getScnType(h) == scnUData) {
      // Some writers leave a pointer in uninitialised data; its bytes are
      // never used, so they are not copied, only required to be in the file.
      if (!img.fits(h.s_scnptr, h.s_size)) return fail("could not read raw data.");
      coff->cRawData[scnName] = Data(h.s_size);
    } else {
      if (!img.fits(h.s_scnptr, h.s_size) || overlapAt == blockKinds * i + blockRaw)
        return fail("could not read raw data.");
      // A memory image holds the program memory alone.
      const int type = getScnType(h);
      if (debug || type == scnCode || type == scnRomData) {
        const unsigned char* bytes = img.read(h.s_scnptr, h.s_size);
        if (!bytes) return fail("could not read raw data.");
        coff->cRawData[scnName] = Data(h.s_size, bytes);
      }
    }

    if (h.s_nlnno > 0) {
      const std::uint64_t size = lineSize(older);
      if (!img.fits(h.s_lnnoptr, size * h.s_nlnno) || overlapAt == blockKinds * i + blockLines)
        return fail("could not read line numbers.");
    }
    if (h.s_nlnno > 0 && debug) {
      const std::uint64_t size = lineSize(older);
      const unsigned char* p = img.read(h.s_lnnoptr, size * h.s_nlnno);
      if (!p) return fail("could not read line numbers.");
      // The section's list is looked up once, on its first record: an
      // older-layout table of function starts alone adds no list.
      std::vector<coff_lineno>* lines = nullptr;
      auto list = [&]() -> std::vector<coff_lineno>& {
        if (!lines) {
          lines = &coff->cLineInfo[scnName];
          if (lines->empty()) lines->reserve(h.s_nlnno);
        }
        return *lines;
      };
      std::uint32_t function = 0;
      for (std::uint64_t j = 0; j < h.s_nlnno; ++j, p += size) {
        if (!older) {
          list().push_back(coff_lineno::decode(p));
          continue;
        }
        const gnu_lineno g = gnu_lineno::decode(p);
        if (g.l_lnno == 0) {
          function = g.l_symndx();
          continue;
        }
        coff_lineno l;
        l.l_srcndx = 0;
        l.l_lnno = g.l_lnno;
        l.l_paddr = g.l_paddr;
        l.l_flags = kLineHasFcnIndex;
        l.l_fcnndx = function;
        list().push_back(l);
      }
    }

    if (h.s_nreloc > 0) {
      const std::uint64_t size = relocSize(older);
      if (!img.fits(h.s_relptr, size * h.s_nreloc) || overlapAt == blockKinds * i + blockRelocs)
        return fail("could not read relocation info.");
    }
    if (h.s_nreloc > 0 && debug) {
      const std::uint64_t size = relocSize(older);
      const unsigned char* p = img.read(h.s_relptr, size * h.s_nreloc);
      if (!p) return fail("could not read relocation info.");
      std::vector<reloc>& list = coff->cRelocInfo[scnName];
      if (list.empty()) list.reserve(h.s_nreloc);
      for (std::uint64_t k = 0; k < h.s_nreloc; ++k, p += size) {
        if (!older) {
          list.push_back(reloc::decode(p));
          continue;
        }
        const old_reloc o = old_reloc::decode(p);
        reloc r;
        r.r_vaddr = o.r_vaddr;
        r.r_symndx = o.r_symndx;
        r.r_offset = 0;
        r.r_type = kOldLayoutRelocType;
        list.push_back(r);
      }
    }
  }
  return coff;
}

}  // namespace

std::unique_ptr<Coff> Coff::make(const std::vector<unsigned char>& file, std::uint64_t base,
                                 const String& name) {
  return parse(ImageView(file.data(), file.size(), base), name);
}

std::unique_ptr<Coff> Coff::make(const String& name) {
  const platform::Activity reading("reading Coff file", name);
  std::vector<unsigned char> file;
  const bool opened = platform::readWholeFile(platform::hostPath(name), file) != platform::readNoFile;
  return make(name, opened, file);
}

std::unique_ptr<Coff> Coff::makeMemoryImage(const String& name) {
  const platform::Activity reading("reading Coff file", name);
  std::uint64_t size = 0;
  // Closed however the read ends: a fatal report may unwind through it.
  struct Descriptor {
    int fd;
    ~Descriptor() {
      if (fd >= 0) ::close(fd);
    }
  } file{platform::openRegularFile(platform::hostPath(name), size)};
  if (file.fd < 0) return make(name, false, std::vector<unsigned char>());
  // A file that gives no size (some host files do) is read to its end.
  if (size == 0) {
    std::vector<unsigned char> bytes;
    const bool opened = platform::readWholeFile(platform::hostPath(name), bytes) != platform::readNoFile;
    if (!opened) return make(name, false, bytes);
    return parse(ImageView(bytes.data(), bytes.size(), 0), name, false);
  }
  return parse(ImageView(file.fd, size), name, false);
}

std::unique_ptr<Coff> Coff::make(const String& name, bool opened,
                                 const std::vector<unsigned char>& file) {
  const platform::Activity reading("reading Coff file", name);
  if (!opened) {
    std::ostringstream s;
    s << "Could not open Coff file '" << name << "' for reading.";
    reportStream(SevError, "Coff::make()", s, 0);
    return nullptr;
  }
  // A read error leaves a short buffer, which the parser reports as the
  // block it could not read.
  return parse(ImageView(file.data(), file.size(), 0), name);
}

namespace {

// Whether the string table holds a string at an offset. Names are usually
// laid out in the order of their symbols, so a cursor walking the table
// answers most questions at once; a large table (a linked executable's,
// sorted by text) is asked through a bitmap of its offsets instead.
class StringOffsets {
 public:
  explicit StringOffsets(const StringTable& table)
      : cTable(table), cNext(table.begin()) {
    // The bitmap stays within 64 bits an entry, so offsets far apart (a
    // table made by hand) take a search of the table instead.
    if (table.size() > 256 && table.rbegin()->first / 64 <= table.size()) {
      cBits.assign(std::size_t(table.rbegin()->first) + 1, false);
      for (const auto& entry : table) cBits[entry.first] = true;
    }
  }

  bool contains(std::uint32_t offset) {
    if (!cBits.empty()) return offset < cBits.size() && cBits[offset];
    if (cNext != cTable.end() && cNext->first == offset) {
      ++cNext;
      return true;
    }
    const auto it = cTable.find(offset);
    if (it == cTable.end()) return false;
    cNext = std::next(it);
    return true;
  }

 private:
  const StringTable& cTable;
  StringTable::const_iterator cNext;
  std::vector<bool> cBits;
};

}  // namespace

int Coff::verify() const {
  int result = 1;
  const std::uint64_t n = cSymbolTbl.size();
  auto valid = [n](std::uint32_t index) { return index < n; };
  // The stream is made only for a report: a sound image, by far the usual
  // one, never pays for one.
  auto report = [&result](auto&& words) {
    std::ostringstream s;
    words(s);
    reportStream(SevError, "Coff::verify()", s, 0);
    result = 0;
  };
  const std::size_t kinds = cAuxKind.size();
  auto isAux = [this, kinds](std::size_t i) { return i < kinds && cAuxKind[i] != auxNone; };

  // 1. Section numbers of symbols. Sections numbered 1..N without a gap,
  // as the reader numbers them, make membership a range test. Fields are
  // read in place: n_scnum at 12; a long name is u4 0 at 0, its offset at 4.
  const std::size_t sections = cScnNum.size();
  const bool dense = sections == 0 || (cScnNum.begin()->first == 1 &&
                                       cScnNum.rbegin()->first == static_cast<long>(sections));
  auto knownSection = [this, dense, sections](int scn) {
    if (dense) return scn >= 1 && static_cast<std::size_t>(scn) <= sections;
    return cScnNum.count(scn) != 0;
  };
  for (std::size_t i = 0; i < n; ++i) {
    if (isAux(i)) continue;
    const int scn = le::getS16(cSymbolTbl[i].data() + 12);
    if (scn == kScnNumDebug || scn == kScnNumAbsolute || scn == kScnNumUndefined) continue;
    if (!knownSection(scn))
      report([&](std::ostream& s) {
        s << "Coff file '" << cFileName << "' symbol[" << i << "] has an invalid n_scnum.";
      });
  }

  // 2. Long symbol names.
  StringOffsets strings(cStringTbl);
  for (std::size_t i = 0; i < n; ++i) {
    if (isAux(i)) continue;
    const unsigned char* rec = cSymbolTbl[i].data();
    if (le::getU32(rec) == 0 && !strings.contains(le::getU32(rec + 4)))
      report([&](std::ostream& s) {
        s << "Coff file '" << cFileName << "' symbol[" << i << "] has an invalid n_offset.";
      });
  }

  // 3. Long section names, sections counted in name order.
  std::size_t k = 0;
  for (const auto& entry : cScnHdr) {
    if (hasLongName(entry.second) && cStringTbl.count(entry.second.s_offset()) == 0) {
      report([&](std::ostream& s) {
        s << "Coff file '" << cFileName << "' section[" << k << "] has an invalid s_offset.";
      });
    }
    ++k;
  }

  // 4. Relocation symbols.
  for (const auto& entry : cRelocInfo) {
    if (n == 0) {
      report([&](std::ostream& s) {
        s << "Coff file '" << cFileName << "' has relocation entries but an empty symbol table.";
      });
      continue;
    }
    for (std::size_t r = 0; r < entry.second.size(); ++r) {
      if (!valid(entry.second[r].r_symndx)) {
        report([&](std::ostream& s) {
          s << "Coff file '" << cFileName << "', section '" << entry.first << "' reloc[" << r
            << "] has an invalid r_symndx.";
        });
      }
    }
  }

  // 5. Indexes held by auxiliary entries.
  for (std::size_t i = 0; i < cSymbolTbl.size(); ++i) {
    if (!isAux(i)) continue;
    const SymRecord& rec = cSymbolTbl[i];
    bool ok = true;
    switch (cAuxKind[i]) {
      case auxTag: ok = valid(aux_tag::decode(rec).x_endndx); break;
      case auxEos: ok = valid(aux_eos::decode(rec).x_tagndx); break;
      case auxArr: ok = valid(aux_arr::decode(rec).x_tagndx); break;
      case auxVar: ok = valid(aux_var::decode(rec).x_tagndx); break;
      case auxFcn: {
        const aux_fcn a = aux_fcn::decode(rec);
        ok = valid(a.x_tagndx) && valid(a.x_endndx);
        break;
      }
      case auxBobf: ok = valid(aux_bobf::decode(rec).x_endndx); break;
      default: break;
    }
    if (!ok) {
      report([&](std::ostream& s) {
        s << "Coff file '" << cFileName << "' symbol[" << i
          << "] has an invalid x_tagndx or x_endndx.";
      });
    }
  }

  // 6. Line numbers. With an empty symbol table no index is valid.
  for (const auto& entry : cLineInfo) {
    for (std::size_t l = 0; l < entry.second.size(); ++l) {
      const coff_lineno& line = entry.second[l];
      if (!valid(line.l_srcndx)) {
        report([&](std::ostream& s) {
          s << "Coff file '" << cFileName << "', section '" << entry.first << "' line[" << l
            << "] has an invalid l_srcndx.";
        });
      }
      if (!valid(line.l_fcnndx)) {
        report([&](std::ostream& s) {
          s << "Coff file '" << cFileName << "', section '" << entry.first << "' line[" << l
            << "] has an invalid l_fcnndx.";
        });
      }
    }
  }

  // 7. Both section maps name the same number of sections.
  if (!verifySectionCount()) result = 0;
  return result;
}

int Coff::verifySectionCount() const {
  if (cScnHdr.size() == cScnNum.size()) return 1;
  std::ostringstream s;
  s << "Coff file '" << cFileName << "', cScnHdr.size() != cScnNum.size() . ";
  reportStream(SevError, "Coff::verify()", s, 0);
  return 0;
}

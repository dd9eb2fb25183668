// Layout of a COFF image in the current layout and writing it out.
//
// The sections are those of cScnNum, in section-number order, everywhere:
// the layout, size() and write() walk the same list, so size() always
// matches the bytes written. (A model whose two section maps disagree fails
// verify() before any writer gets it.)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>

#include "coff.h"
#include "debug.h"
#include "platform.h"
#include "replacement.h"
#include "textutil.h"

namespace {

constexpr std::uint64_t kMax16 = 0xFFFF;

const scnhdr* headerOf(const Coff& c, const String& name) {
  auto it = c.cScnHdr.find(name);
  return it == c.cScnHdr.end() ? nullptr : &it->second;
}

const Data* dataOf(const Coff& c, const String& name) {
  auto it = c.cRawData.find(name);
  return it == c.cRawData.end() ? nullptr : &it->second;
}

template <class T>
const std::vector<T>* listOf(const std::map<String, std::vector<T>>& m, const String& name) {
  auto it = m.find(name);
  return it == m.end() ? nullptr : &it->second;
}

std::uint64_t rawSize(const Coff& c, const String& name) {
  const Data* d = dataOf(c, name);
  return d ? d->size() : 0;
}

// Uninitialised data has no bytes in the file.
bool isUdata(const Coff& c, const String& name) {
  const scnhdr* h = headerOf(c, name);
  return h && isUdataScn(*h);
}

std::uint64_t relocCount(const Coff& c, const String& name) {
  const auto* l = listOf(c.cRelocInfo, name);
  return l ? l->size() : 0;
}

std::uint64_t lineCount(const Coff& c, const String& name) {
  const auto* l = listOf(c.cLineInfo, name);
  return l ? l->size() : 0;
}

std::uint64_t stringBytes(const Coff& c) {
  std::uint64_t n = 4;
  for (const auto& entry : c.cStringTbl) n += entry.second.size() + 1;
  return n;
}

struct Blocks {
  std::uint64_t scnStart = 0, scnLen = 0;
  std::uint64_t rawStart = 0, rawLen = 0;
  std::uint64_t relStart = 0, relLen = 0;
  std::uint64_t lineStart = 0, lineLen = 0;
  std::uint64_t symStart = 0, symLen = 0;
  std::uint64_t strStart = 0, strLen = 0;
};

// The string table's length is a walk over every string; the layout needs
// it only for its trace.
Blocks computeBlocks(const Coff& c, bool withStrings = true) {
  Blocks b;
  b.scnStart = filehdr::kSize + opthdr::kSize;
  b.scnLen = scnhdr::kSize * c.cScnNum.size();
  for (const auto& entry : c.cScnNum) {
    if (!isUdata(c, entry.second)) b.rawLen += rawSize(c, entry.second);
    b.relLen += reloc::kSize * relocCount(c, entry.second);
    b.lineLen += coff_lineno::kSize * lineCount(c, entry.second);
  }
  b.rawStart = b.scnStart + b.scnLen;
  b.relStart = b.rawStart + b.rawLen;
  b.lineStart = b.relStart + b.relLen;
  b.symStart = b.lineStart + b.lineLen;
  b.symLen = kSymEntSize * c.cSymbolTbl.size();
  b.strStart = b.symStart + b.symLen;
  b.strLen = withStrings ? stringBytes(c) : 0;
  return b;
}

void traceBlocks(const Blocks& b, std::ostream& os) {
  os << "  section headers: start " << b.scnStart << ", length " << b.scnLen << '\n'
     << "  raw data:        start " << b.rawStart << ", length " << b.rawLen << '\n'
     << "  relocations:     start " << b.relStart << ", length " << b.relLen << '\n'
     << "  line numbers:    start " << b.lineStart << ", length " << b.lineLen << '\n'
     << "  symbols:         start " << b.symStart << ", length " << b.symLen << '\n'
     << "  strings:         start " << b.strStart << ", length " << b.strLen << '\n';
}

std::uint32_t to32(std::uint64_t v) { return static_cast<std::uint32_t>(v); }

// Writes an image block by block: each block's records are encoded into
// one buffer and go out with one fwrite, and a block counts as written only
// when the flush after it succeeds (a full disk shows up only when the
// stdio buffer is flushed), so a failure is reported by the block it hit.
class BlockWriter {
 public:
  BlockWriter(std::FILE* file, const String& name) : cFile(file), cName(name) {}

  // Room for the next block's first n bytes. The buffer keeps its storage
  // from block to block and is not cleared: every byte is written before
  // the block goes out.
  unsigned char* block(std::size_t n) {
    cUsed = 0;
    return extend(n);
  }
  // Room for n more bytes of the block being built.
  unsigned char* extend(std::size_t n) {
    if (n > cCapacity - cUsed) grow(n);
    unsigned char* p = cBuffer.get() + cUsed;
    cUsed += n;
    return p;
  }
  void reserve(std::size_t n) {
    if (n > cCapacity - cUsed) grow(n);
  }
  std::size_t blockSize() const { return cUsed; }

  void put(const unsigned char* bytes, std::size_t n) {
    if (cOk && n > 0 && std::fwrite(bytes, 1, n, cFile) != n) cOk = false;
  }
  void putBlock() { put(cBuffer.get(), cUsed); }

  bool endBlock(const char* failure) {
    if (cOk && std::fflush(cFile) != 0) cOk = false;
    if (!cOk) {
      std::ostringstream s;
      s << "Coff file '" << cName << failure;
      reportStream(SevError, "Coff::write()", s, 0);
    }
    return cOk;
  }

 private:
  void grow(std::size_t n) {
    const std::size_t capacity = std::max(cUsed + n, 2 * cCapacity);
    std::unique_ptr<unsigned char[]> bigger(new unsigned char[capacity]);
    if (cUsed > 0) std::memcpy(bigger.get(), cBuffer.get(), cUsed);
    cBuffer = std::move(bigger);
    cCapacity = capacity;
  }

  std::FILE* cFile;
  const String& cName;
  std::unique_ptr<unsigned char[]> cBuffer;
  std::size_t cCapacity = 0;
  std::size_t cUsed = 0;
  bool cOk = true;
};

}  // namespace

int Coff::preWrite() { return layout(true); }

int Coff::preWriteKeepingTime() { return layout(false); }

int Coff::layout(bool stampTime) {
  // The section count and each section's record counts are 16-bit fields;
  // an image that does not fit is refused rather than cut.
  int fits = 1;
  std::ostringstream s;
  if (cScnNum.size() > kMax16) {
    s << "Coff file '" << cFileName << "' has more than 65535 sections.";
    reportStream(SevError, "Coff::preWrite()", s, 0);
    fits = 0;
  }
  for (const auto& entry : cScnNum) {
    if (relocCount(*this, entry.second) > kMax16) {
      s << "Coff file '" << cFileName << "', section '" << entry.second
        << "' has more than 65535 relocations.";
      reportStream(SevError, "Coff::preWrite()", s, 0);
      fits = 0;
    }
    if (lineCount(*this, entry.second) > kMax16) {
      s << "Coff file '" << cFileName << "', section '" << entry.second
        << "' has more than 65535 line numbers.";
      reportStream(SevError, "Coff::preWrite()", s, 0);
      fits = 0;
    }
  }
  if (!fits) return 0;

  const bool trace = DebugSwitch("Coff::preWrite").isOn() != 0;
  const Blocks b = computeBlocks(*this, trace);
  if (trace) {
    std::cout << "Coff::preWrite(): '" << cFileName << "'\n";
    traceBlocks(b, std::cout);
  }

  const std::uint64_t nsyms = cSymbolTbl.size();
  cFileHdr.f_nscns = static_cast<std::uint16_t>(cScnNum.size());
  if (stampTime) cFileHdr.f_timdat = static_cast<std::uint32_t>(platform::now());
  cFileHdr.f_symptr = nsyms > 0 ? to32(b.symStart) : 0;
  cFileHdr.f_nsyms = to32(nsyms);
  if (!stampTime) cFileHdr.f_opthdr = kOptHdrSize;

  std::uint64_t rawPtr = b.rawStart, relPtr = b.relStart, linePtr = b.lineStart;
  for (const auto& entry : cScnNum) {
    auto it = cScnHdr.find(entry.second);
    const std::uint64_t size = rawSize(*this, entry.second);
    const bool udata = isUdata(*this, entry.second);
    const std::uint64_t nrel = relocCount(*this, entry.second);
    const std::uint64_t nline = lineCount(*this, entry.second);
    if (it != cScnHdr.end()) {
      scnhdr& h = it->second;
      h.s_size = to32(size);
      h.s_scnptr = size > 0 && !udata ? to32(rawPtr) : 0;
      h.s_nreloc = static_cast<std::uint16_t>(nrel);
      h.s_relptr = nrel > 0 ? to32(relPtr) : 0;
      h.s_nlnno = static_cast<std::uint16_t>(nline);
      h.s_lnnoptr = nline > 0 ? to32(linePtr) : 0;
      if (trace)
        std::cout << "  section[" << entry.first << "] '" << entry.second
                  << "': s_size=" << h.s_size << ", s_scnptr=" << hexString(h.s_scnptr, 4)
                  << ", s_relptr=" << hexString(h.s_relptr, 4)
                  << ", s_lnnoptr=" << hexString(h.s_lnnoptr, 4) << '\n';
    }
    if (!udata) rawPtr += size;
    relPtr += reloc::kSize * nrel;
    linePtr += coff_lineno::kSize * nline;
  }

  fixupAuxFcns();
  cFileHdr.f_magic = kCoffMagic;
  return 1;
}

bool Coff::isLaidOut() const {
  if (cFileHdr.f_magic != kCoffMagic || cFileHdr.f_opthdr != kOptHdrSize) return false;
  const Blocks b = computeBlocks(*this, false);
  const std::uint64_t nsyms = cSymbolTbl.size();
  if (cFileHdr.f_nscns != cScnNum.size() || cFileHdr.f_nsyms != nsyms) return false;
  // Without symbols the string table starts where the symbols would, and
  // a reader finds it there through either pointer.
  if (cFileHdr.f_symptr != (nsyms > 0 ? b.symStart : 0) &&
      !(nsyms == 0 && cFileHdr.f_symptr == b.strStart))
    return false;
  std::uint64_t rawPtr = b.rawStart, relPtr = b.relStart, linePtr = b.lineStart;
  for (const auto& entry : cScnNum) {
    const scnhdr* h = headerOf(*this, entry.second);
    if (!h) return false;
    const std::uint64_t size = rawSize(*this, entry.second);
    const bool udata = isUdataScn(*h);
    const std::uint64_t nrel = relocCount(*this, entry.second);
    const std::uint64_t nline = lineCount(*this, entry.second);
    if (h->s_size != size || h->s_scnptr != (size > 0 && !udata ? rawPtr : 0) ||
        h->s_nreloc != nrel || h->s_relptr != (nrel > 0 ? relPtr : 0) || h->s_nlnno != nline ||
        h->s_lnnoptr != (nline > 0 ? linePtr : 0))
      return false;
    if (!udata) rawPtr += size;
    relPtr += reloc::kSize * nrel;
    linePtr += coff_lineno::kSize * nline;
  }
  return true;
}

std::uint32_t Coff::size() const {
  const Blocks b = computeBlocks(*this);
  if (DebugSwitch("Coff::size").isOn()) {
    std::cout << "Coff::size(): '" << cFileName << "'\n";
    traceBlocks(b, std::cout);
  }
  return to32(b.strStart + b.strLen);
}

std::uint64_t Coff::fullSize() const {
  const Blocks b = computeBlocks(*this);
  return b.strStart + b.strLen;
}

void Coff::fixupAuxFcns() {
  // Symbols and their entries are paired by cAuxKind, as the reader paired
  // them, whatever n_numaux says.
  TOOL_ASSERT(cAuxKind.size() == cSymbolTbl.size());
  const std::size_t n = std::min(cAuxKind.size(), cSymbolTbl.size());
  const bool trace = DebugSwitch("Coff::fixupAuxFcns").isOn() != 0;

  // The function symbols whose section has line records, in table order.
  struct Function {
    std::size_t index;
    const std::vector<coff_lineno>* lines;
    std::uint32_t lnnoptr;  // the section's first line record
    bool matched;
    std::size_t position;  // of the last line record naming it
  };
  std::vector<Function> functions;
  const std::uint32_t* const kind = cAuxKind.data();
  for (std::size_t f = 0; f + 1 < n; ++f) {
    // A function symbol (not an entry) followed by its function entry.
    if (kind[f + 1] != auxFcn || kind[f] != auxNone) continue;
    const syment sym = syment::decode(cSymbolTbl[f]);
    auto num = cScnNum.find(sym.n_scnum);
    if (num != cScnNum.end()) {
      auto hdr = cScnHdr.find(num->second);
      const auto* lines = listOf(cLineInfo, num->second);
      if (hdr != cScnHdr.end() && lines)
        functions.push_back({f, lines, hdr->second.s_lnnoptr, false, 0});
    }
    ++f;  // past its entry
  }
  if (functions.empty()) return;

  // One walk over each section's line records: a record counts for the
  // function it names only in that function's own section, and a later
  // record overrides an earlier one.
  constexpr std::uint32_t kNone = UINT32_MAX;
  std::vector<std::uint32_t> functionOf(n, kNone);
  for (std::size_t i = 0; i < functions.size(); ++i)
    functionOf[functions[i].index] = static_cast<std::uint32_t>(i);
  for (const auto& entry : cLineInfo) {
    const std::vector<coff_lineno>& lines = entry.second;
    for (std::size_t j = 0; j < lines.size(); ++j) {
      const coff_lineno& l = lines[j];
      if (!hasFcnIndex(l) || l.l_fcnndx >= n || functionOf[l.l_fcnndx] == kNone) continue;
      Function& fn = functions[functionOf[l.l_fcnndx]];
      if (fn.lines != &lines) continue;
      fn.matched = true;
      fn.position = j;
    }
  }

  for (const Function& fn : functions) {
    if (!fn.matched) continue;
    aux_fcn aux = aux_fcn::decode(cSymbolTbl[fn.index + 1]);
    const std::uint32_t before = aux.x_lnnoptr;
    aux.x_lnnoptr = to32(fn.lnnoptr + coff_lineno::kSize * std::uint64_t(fn.position));
    aux.encode(cSymbolTbl[fn.index + 1]);
    if (trace && aux.x_lnnoptr != before)
      std::cout << "Coff::fixupAuxFcns(): symbol[" << fn.index << "] x_lnnoptr "
                << hexString(before, 4) << " -> " << hexString(aux.x_lnnoptr, 4) << '\n';
  }
}

int Coff::write(std::FILE* file, long position) const {
  BlockWriter w(file, cFileName);
  if (std::fseek(file, position, SEEK_SET) != 0) {
    std::ostringstream s;
    s << "Coff file '" << cFileName << "' could not write file header.";
    reportStream(SevError, "Coff::write()", s, 0);
    return 0;
  }

  cFileHdr.encode(w.block(filehdr::kSize));
  w.putBlock();
  if (!w.endBlock("' could not write file header.")) return 0;

  cOptHdr.encode(w.block(opthdr::kSize));
  w.putBlock();
  if (!w.endBlock("' could not write optional file header.")) return 0;

  unsigned char* p = w.block(scnhdr::kSize * cScnNum.size());
  for (const auto& entry : cScnNum) {
    const scnhdr* h = headerOf(*this, entry.second);
    (h ? *h : scnhdr()).encode(p);
    p += scnhdr::kSize;
  }
  w.putBlock();
  if (!w.endBlock("' could not write section header.")) return 0;

  // Raw data is already bytes: each section's goes out as it stands.
  for (const auto& entry : cScnNum) {
    const Data* d = dataOf(*this, entry.second);
    if (d && d->size() > 0 && !isUdata(*this, entry.second)) w.put(d->data(), d->size());
  }
  if (!w.endBlock("' could not write raw data.")) return 0;

  std::size_t count = 0;
  for (const auto& entry : cScnNum) count += relocCount(*this, entry.second);
  p = w.block(reloc::kSize * count);
  for (const auto& entry : cScnNum) {
    if (const auto* list = listOf(cRelocInfo, entry.second)) {
      for (const reloc& r : *list) {
        r.encode(p);
        p += reloc::kSize;
      }
    }
  }
  w.putBlock();
  if (!w.endBlock("' could not write reloc.")) return 0;

  count = 0;
  for (const auto& entry : cScnNum) count += lineCount(*this, entry.second);
  p = w.block(coff_lineno::kSize * count);
  for (const auto& entry : cScnNum) {
    if (const auto* list = listOf(cLineInfo, entry.second)) {
      for (const coff_lineno& l : *list) {
        l.encode(p);
        p += coff_lineno::kSize;
      }
    }
  }
  w.putBlock();
  if (!w.endBlock("' could not write lineinfo.")) return 0;

  // The records are already their bytes, one after another: they go out as
  // they stand, without a copy as large as the table.
  static_assert(sizeof(SymRecord) == kSymEntSize, "records lie back to back");
  if (!cSymbolTbl.empty())
    w.put(reinterpret_cast<const unsigned char*>(cSymbolTbl.data()),
          kSymEntSize * cSymbolTbl.size());
  if (!w.endBlock("' could not write symbol.")) return 0;

  // The strings are gathered first: their length is the table's length.
  w.block(0);
  w.reserve(16 * cStringTbl.size());
  for (const auto& entry : cStringTbl) {
    p = w.extend(entry.second.size() + 1);
    std::memcpy(p, entry.second.data(), entry.second.size());
    p[entry.second.size()] = 0;
  }
  unsigned char length[4];
  le::putU32(length, to32(4 + std::uint64_t(w.blockSize())));
  w.put(length, 4);
  if (!w.endBlock("' could not write string table length.")) return 0;

  w.putBlock();
  if (!w.endBlock("' could not write string.")) return 0;
  return 1;
}

namespace {

// Whether the regular file target (described by st) already holds exactly
// the bytes image would write; if so it is only stamped as written now, as
// a write of the same bytes would leave it. Extracting a whole library again,
// or linking again without a change, then costs a read instead of a new
// file: creating thousands of files right after as many were removed is
// slow on some file systems. The file header (time stamp included) is
// compared before the image is rendered, so a changed image rarely costs
// more than one read.
// The whole image as write(file, 0) puts it in a file, rendered into
// memory (one more byte for the memory stream's terminating zero),
// unbuffered: each block lands in place. Null when it could not be.
std::unique_ptr<unsigned char[]> render(const Coff& image, std::uint64_t size) {
  std::unique_ptr<unsigned char[]> rendered(new unsigned char[size + 1]);
  std::FILE* memory = fmemopen(rendered.get(), size + 1, "wb");
  bool done = memory && std::setvbuf(memory, nullptr, _IONBF, 0) == 0 && image.write(memory, 0) &&
              std::ftell(memory) == static_cast<long>(size);
  if (memory && std::fclose(memory) != 0) done = false;
  if (!done) rendered.reset();
  return rendered;
}

bool leftInPlace(const Coff& image, const String& target, const struct stat& st) {
  const std::uint64_t size = image.size();
  if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) != size ||
      size < filehdr::kSize)
    return false;
  const int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const std::unique_ptr<unsigned char[]> old(new unsigned char[size]);
  // A large file is read past its header only when the header matches.
  constexpr std::uint64_t kFirstRead = 65536;
  const std::uint64_t first = std::min(size, kFirstRead);
  unsigned char header[filehdr::kSize];
  image.cFileHdr.encode(header);
  bool same = platform::readAt(fd, old.get(), first, 0) &&
              std::memcmp(header, old.get(), sizeof header) == 0;
  if (same && size > first) same = platform::readAt(fd, old.get() + first, size - first, first);
  if (same) {
    const std::unique_ptr<unsigned char[]> rendered = render(image, size);
    same = rendered && std::memcmp(rendered.get(), old.get(), size) == 0;
  }
  ::close(fd);
  return same;
}

}  // namespace

int Coff::write() const {
  const platform::Activity writing("writing Coff file", cFileName);
  replacement::OutputFile output(platform::hostPath(cFileName));
  return writeInto(output) && commitInto(output);
}

int Coff::writeHere(const struct stat* here) const {
  const platform::Activity writing("writing Coff file", cFileName);
  const String path = platform::hostPath(cFileName);
  if (!here) {
    const std::uint64_t size = this->size();
    const std::unique_ptr<unsigned char[]> image = render(*this, size);
    if (!image) return 0;  // the writer said why
    switch (replacement::createWhole(path, image.get(), static_cast<std::size_t>(size))) {
      case replacement::created:
        return 1;
      case replacement::openFailed:
        reportMessage(SevError, "Coff::write()",
                      "Could not open Coff file '" + cFileName + "' for writing.", 0);
        return 0;
      case replacement::writeFailed:
        reportMessage(SevError, "Coff::write()",
                      "Coff file '" + cFileName + "' could not write its image.", 0);
        return 0;
      case replacement::alreadyThere:
        break;  // replaced below
    }
  }
  // A link at the name is replaced as if nothing were there: its target is
  // not the name's to change.
  replacement::OutputFile output(path, replacement::OutputFile::replaceLink);
  return writeInto(output) && commitInto(output);
}

int Coff::writeInto(replacement::OutputFile& output) const {
  if (!output.prepare()) {
    reportMessage(SevError, "Coff::write()",
                  "Could not open Coff file '" + cFileName + "' for writing.", 0);
    return 0;
  }
  const struct stat* old = output.replaced();
  if (old && leftInPlace(*this, output.target(), *old)) {
    output.keepOld();
    return 1;
  }
  if (!output.open()) {
    reportMessage(SevError, "Coff::write()",
                  "Could not open Coff file '" + cFileName + "' for writing.", 0);
    return 0;
  }
  if (!write(output.file(), 0)) return 0;
  // Every block was flushed; a failing close still means the file may not
  // hold the image.
  if (!output.close()) {
    reportMessage(SevError, "Coff::write()",
                  "Coff file '" + cFileName + "' could not write string.", 0);
    return 0;
  }
  return 1;
}

void Coff::reportCommitFailure(const replacement::OutputFile& output) const {
  reportMessage(SevError, "Coff::write()",
                (output.inPlace() ? "Could not write Coff file '" : "Could not replace Coff file '") +
                    cFileName + "'.",
                0);
}

int Coff::commitInto(replacement::OutputFile& output) const {
  if (output.commit()) return 1;
  reportCommitFailure(output);
  return 0;
}

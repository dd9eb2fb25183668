// Layout of a COFF image in the current layout and writing it out.
//
// The sections are those of cScnNum, in section-number order, everywhere:
// the layout, size() and write() walk the same list, so size() always
// matches the bytes written. (A model whose two section maps disagree fails
// verify() before any writer gets it.)
#include <algorithm>
#include <iostream>
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

Blocks computeBlocks(const Coff& c) {
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
  b.strLen = stringBytes(c);
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

// Writes records through stdio and checks each block as a whole: a block is
// written only when every record reached the file, which the flush after
// the block confirms (a full disk shows up only when the buffer is flushed).
class BlockWriter {
 public:
  BlockWriter(std::FILE* file, const String& name) : cFile(file), cName(name) {}

  void put(const unsigned char* bytes, std::size_t n) {
    if (cOk && n > 0 && std::fwrite(bytes, 1, n, cFile) != n) cOk = false;
  }

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
  std::FILE* cFile;
  const String& cName;
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

  const Blocks b = computeBlocks(*this);
  const bool trace = DebugSwitch("Coff::preWrite").isOn() != 0;
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

std::uint32_t Coff::size() const {
  const Blocks b = computeBlocks(*this);
  if (DebugSwitch("Coff::size").isOn()) {
    std::cout << "Coff::size(): '" << cFileName << "'\n";
    traceBlocks(b, std::cout);
  }
  return to32(b.strStart + b.strLen);
}

void Coff::fixupAuxFcns() {
  // Symbols and their entries are paired by cAuxKind, as the reader paired
  // them, whatever n_numaux says.
  TOOL_ASSERT(cAuxKind.size() == cSymbolTbl.size());
  const std::size_t n = std::min(cAuxKind.size(), cSymbolTbl.size());
  const bool trace = DebugSwitch("Coff::fixupAuxFcns").isOn() != 0;
  for (std::size_t f = 0; f < n; ++f) {
    if (cAuxKind[f] != auxNone) continue;  // an entry without its symbol
    if (f + 1 >= n || cAuxKind[f + 1] != auxFcn) continue;
    const syment sym = syment::decode(cSymbolTbl[f]);
    auto num = cScnNum.find(sym.n_scnum);
    if (num != cScnNum.end()) {
      auto hdr = cScnHdr.find(num->second);
      const auto* lines = listOf(cLineInfo, num->second);
      if (hdr != cScnHdr.end() && lines) {
        aux_fcn aux = aux_fcn::decode(cSymbolTbl[f + 1]);
        const std::uint32_t before = aux.x_lnnoptr;
        for (std::size_t j = 0; j < lines->size(); ++j) {
          const coff_lineno& l = (*lines)[j];
          if (hasFcnIndex(l) && l.l_fcnndx == f)
            aux.x_lnnoptr = to32(hdr->second.s_lnnoptr + coff_lineno::kSize * std::uint64_t(j));
        }
        aux.encode(cSymbolTbl[f + 1]);
        if (trace && aux.x_lnnoptr != before)
          std::cout << "Coff::fixupAuxFcns(): symbol[" << f << "] x_lnnoptr "
                    << hexString(before, 4) << " -> " << hexString(aux.x_lnnoptr, 4) << '\n';
      }
    }
    ++f;  // past its entry
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

  unsigned char buf[scnhdr::kSize];
  cFileHdr.encode(buf);
  w.put(buf, filehdr::kSize);
  if (!w.endBlock("' could not write file header.")) return 0;

  cOptHdr.encode(buf);
  w.put(buf, opthdr::kSize);
  if (!w.endBlock("' could not write optional file header.")) return 0;

  for (const auto& entry : cScnNum) {
    const scnhdr* h = headerOf(*this, entry.second);
    (h ? *h : scnhdr()).encode(buf);
    w.put(buf, scnhdr::kSize);
  }
  if (!w.endBlock("' could not write section header.")) return 0;

  for (const auto& entry : cScnNum) {
    const Data* d = dataOf(*this, entry.second);
    if (d && d->size() > 0 && !isUdata(*this, entry.second)) w.put(d->data(), d->size());
  }
  if (!w.endBlock("' could not write raw data.")) return 0;

  for (const auto& entry : cScnNum) {
    if (const auto* list = listOf(cRelocInfo, entry.second)) {
      for (const reloc& r : *list) {
        r.encode(buf);
        w.put(buf, reloc::kSize);
      }
    }
  }
  if (!w.endBlock("' could not write reloc.")) return 0;

  for (const auto& entry : cScnNum) {
    if (const auto* list = listOf(cLineInfo, entry.second)) {
      for (const coff_lineno& l : *list) {
        l.encode(buf);
        w.put(buf, coff_lineno::kSize);
      }
    }
  }
  if (!w.endBlock("' could not write lineinfo.")) return 0;

  for (const SymRecord& r : cSymbolTbl) w.put(r.data(), r.size());
  if (!w.endBlock("' could not write symbol.")) return 0;

  le::putU32(buf, to32(stringBytes(*this)));
  w.put(buf, 4);
  if (!w.endBlock("' could not write string table length.")) return 0;

  for (const auto& entry : cStringTbl)
    w.put(reinterpret_cast<const unsigned char*>(entry.second.c_str()), entry.second.size() + 1);
  if (!w.endBlock("' could not write string.")) return 0;
  return 1;
}

int Coff::write() const {
  const String openFailure = "Could not open Coff file '" + cFileName + "' for writing.";
  // A regular file (or a new one) is replaced whole, so a failed write
  // leaves the old file as it was; anything else (a device, a pipe) is
  // written in place.
  String target;
  struct stat st;
  const bool replace = replacement::resolveLinks(platform::hostPath(cFileName), target) &&
                       (stat(target.c_str(), &st) != 0 || S_ISREG(st.st_mode));
  if (!replace) {
    std::FILE* file = std::fopen(platform::hostPath(cFileName).c_str(), "wb");
    if (!file) {
      reportMessage(SevError, "Coff::write()", openFailure, 0);
      return 0;
    }
    int result = write(file, 0);
    if (std::fclose(file) != 0 && result) {
      reportMessage(SevError, "Coff::write()",
                    "Coff file '" + cFileName + "' could not write string.", 0);
      result = 0;
    }
    return result;
  }

  const bool exists = stat(target.c_str(), &st) == 0;
  if (exists && access(target.c_str(), W_OK) != 0) {
    reportMessage(SevError, "Coff::write()", openFailure, 0);
    return 0;
  }
  replacement::TempFile temp(target);
  if (!temp.open() || !temp.setMode(exists ? (st.st_mode & 07777) : replacement::creationMode())) {
    reportMessage(SevError, "Coff::write()", openFailure, 0);
    return 0;
  }
  if (!write(temp.file(), 0)) return 0;
  // Every block was flushed; a failing close still means the file may not
  // hold the image.
  if (!temp.close()) {
    reportMessage(SevError, "Coff::write()",
                  "Coff file '" + cFileName + "' could not write string.", 0);
    return 0;
  }
  if (!temp.commit()) {
    reportMessage(SevError, "Coff::write()", "Could not replace Coff file '" + cFileName + "'.",
                  0);
    return 0;
  }
  return 1;
}

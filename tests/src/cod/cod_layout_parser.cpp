#include "cod_layout_parser.h"

#include <functional>
#include <set>

namespace codlayout {
namespace {

constexpr size_t kBlock = 512;

class Parser {
 public:
  Parser(const std::string& bytes, Layout& layout) : b(bytes), out(layout) {}

  void run() {
    if (b.size() % kBlock != 0) problem("file size " + num(b.size()) + " is not whole blocks");
    out.blocks = b.size() / kBlock;
    if (out.blocks == 0) {
      problem("no first directory");
      return;
    }
    readDirectories();
    next = out.dirs.size();
    const Dir& d0 = out.dirs[0];
    const size_t numDirs = out.dirs.size();
    out.code.resize(numDirs);
    out.lines.resize(numDirs);
    out.memoryMaps.resize(numDirs);

    // The file order of the tables: each must begin right after the previous one.
    for (size_t i = 0; i < numDirs; ++i)
      for (unsigned j = 0; j < 128; ++j)
        if (out.dirs[i].index[j] != 0) readCode(i, j);
    fixedTable(d0.symTab, d0.symEnd, 16, 32, "symbol", [this](size_t at) {
      out.symbols.push_back(symbol(at, "symbol"));
    });
    fixedTable(d0.namTab, d0.namEnd, 64, 8, "source name", [this](size_t at) {
      out.sourceNames.push_back(text(at, 63, "source name"));
      if (out.sourceNames.back().size() > 62) problem("source name longer than 62");
    });
    for (size_t i = 0; i < numDirs; ++i)
      fixedTable(out.dirs[i].lineTab, out.dirs[i].lineEnd, 6, 85, "line info",
                 [this, i](size_t at) {
                   out.lines[i].push_back(
                       Line{u8(at), u8(at + 1), static_cast<int16_t>(u16(at + 2)), u16(at + 4)});
                 });
    variableTable(d0.localVars, d0.localEnd, "local group", [this](size_t at, size_t room) {
      if (room < 16 || u8(at) == 0) return size_t(0);
      if (u8(at) == 7 && b.compare(at + 1, 7, "__LOCAL") == 0) {
        out.localGroups.push_back(Group{u32le(at + 8), u32le(at + 12), {}});
      } else if (out.localGroups.empty()) {
        problem("local symbol before any group marker");
      } else {
        out.localGroups.back().symbols.push_back(symbol(at, "local symbol"));
      }
      return size_t(16);
    });
    for (size_t i = 0; i < numDirs; ++i)
      fixedTable(out.dirs[i].memMapOfs, out.dirs[i].memMapEnd, 4, 128, "memory map",
                 [this, i](size_t at) {
                   out.memoryMaps[i].push_back(
                       Range{static_cast<unsigned>(u16(at)), static_cast<unsigned>(u16(at + 2))});
                 });
    variableTable(d0.lSymTab, d0.lSymEnd, "long symbol", [this](size_t at, size_t room) {
      size_t len = u8(at);
      if (len == 0) return size_t(0);
      if (len + 7 > room) {
        problem("long symbol runs past its block");
        return room;
      }
      out.longSymbols.push_back(
          LongSym{b.substr(at + 1, len), static_cast<int16_t>(u16(at + 1 + len)), u32be(at + 3 + len)});
      return len + 7;
    });
    variableTable(d0.messTab, d0.messEnd, "debug msg", [this](size_t at, size_t room) {
      if (room < 6 || u8(at + 5) == 0) return size_t(0);
      size_t len = u8(at + 5);
      if (len + 6 > room) {
        problem("debug message runs past its block");
        return room;
      }
      out.messages.push_back(Msg{u32be(at), static_cast<char>(u8(at + 4)), b.substr(at + 6, len)});
      return len + 6;
    });
    if (next != out.blocks)
      problem("blocks " + num(next) + " to " + num(out.blocks - 1) + " belong to no table");
  }

 private:
  const std::string& b;
  Layout& out;
  size_t next = 0;  // the block the next table must start at

  static std::string num(size_t v) { return std::to_string(v); }
  void problem(const std::string& text) { out.problems.push_back(text); }
  int u8(size_t at) const { return at < b.size() ? static_cast<uint8_t>(b[at]) : 0; }
  int u16(size_t at) const { return u8(at) | (u8(at + 1) << 8); }
  uint32_t u32le(size_t at) const {
    return static_cast<uint32_t>(u16(at)) | (static_cast<uint32_t>(u16(at + 2)) << 16);
  }
  uint32_t u32be(size_t at) const {
    return (static_cast<uint32_t>(u8(at)) << 24) | (static_cast<uint32_t>(u8(at + 1)) << 16) |
           (static_cast<uint32_t>(u8(at + 2)) << 8) | static_cast<uint32_t>(u8(at + 3));
  }
  bool zero(size_t from, size_t to) const {
    for (size_t k = from; k < to; ++k)
      if (u8(k) != 0) return false;
    return true;
  }

  // A length byte and a field of size characters, zero behind the text.
  std::string text(size_t at, size_t size, const std::string& what) {
    size_t len = u8(at);
    if (len > size) {
      problem(what + " length " + num(len) + " exceeds its field");
      len = size;
    }
    if (!zero(at + 1 + len, at + 1 + size)) problem(what + " has bytes behind its text");
    return b.substr(at + 1, len);
  }

  Sym symbol(size_t at, const std::string& what) {
    std::string name = text(at, 12, what);
    return Sym{name, u8(at + 13), static_cast<int16_t>(u16(at + 14))};
  }

  void readDirectories() {
    std::set<size_t> seen;
    size_t n = 0;
    for (;;) {
      if (n != out.dirs.size()) problem("directory " + num(out.dirs.size()) + " is not at its block");
      if (n >= out.blocks || !seen.insert(n).second) {
        problem("NextDir " + num(n) + " leads nowhere");
        return;
      }
      out.dirs.push_back(directory(n * kBlock, out.dirs.size()));
      n = out.dirs.back().nextDir;
      if (n == 0) return;
    }
  }

  Dir directory(size_t at, size_t i) {
    Dir d;
    for (int k = 0; k < 128; ++k) d.index[k] = static_cast<uint16_t>(u16(at + 2 * k));
    d.source = text(at + 256, 63, "Source");
    d.date = text(at + 320, 7, "Date");
    d.time = u16(at + 328);
    d.version = text(at + 330, 19, "Version");
    d.compiler = text(at + 350, 11, "Compiler");
    d.notice = text(at + 362, 63, "Notice");
    d.symTab = u16(at + 426);
    d.symEnd = u16(at + 428);
    d.namTab = u16(at + 430);
    d.namEnd = u16(at + 432);
    d.lineTab = u16(at + 434);
    d.lineEnd = u16(at + 436);
    d.addrSize = u8(at + 438);
    d.highAddr = u16(at + 439);
    d.nextDir = u16(at + 441);
    d.memMapOfs = u16(at + 443);
    d.memMapEnd = u16(at + 445);
    d.localVars = u16(at + 447);
    d.localEnd = u16(at + 449);
    d.codType = u16(at + 451);
    d.processor = text(at + 453, 8, "Processor");
    d.lSymTab = u16(at + 462);
    d.lSymEnd = u16(at + 464);
    d.messTab = u16(at + 466);
    d.messEnd = u16(at + 468);
    const std::string where = "directory " + num(i) + ": ";
    if (!zero(at + 470, at + 512)) problem(where + "Spare is not zero");
    if (!d.compiler.empty()) problem(where + "Compiler is not empty");
    if (d.addrSize != 0) problem(where + "AddrSize is not 0");
    if (d.codType != 1) problem(where + "CodType is not 1");
    if (d.highAddr != i) problem(where + "HighAddr is not its window");
    if (i > 0) {
      if (!d.source.empty() || !d.date.empty() || d.time != 0 || !d.version.empty() ||
          !d.notice.empty() || !d.processor.empty())
        problem(where + "carries identity fields");
      if (d.symTab || d.symEnd || d.namTab || d.namEnd || d.localVars || d.localEnd ||
          d.lSymTab || d.lSymEnd || d.messTab || d.messEnd)
        problem(where + "carries file-wide table pointers");
    }
    return d;
  }

  void readCode(size_t dir, unsigned j) {
    size_t n = out.dirs[dir].index[j];
    if (n != next) problem("code block " + num(j) + " of directory " + num(dir) + " is out of order");
    if (n >= out.blocks) {
      problem("code block past the end");
      return;
    }
    next = n + 1;
    out.code[dir][j] = std::vector<uint8_t>(b.begin() + n * kBlock, b.begin() + (n + 1) * kBlock);
  }

  // Checks a first/last pair and moves the expected next block past it.
  bool claim(size_t first, size_t last, const std::string& what) {
    if (first == 0) {
      if (last != 0) problem(what + ": last block without a first");
      return false;
    }
    if (first != next) problem(what + " starts at block " + num(first) + ", not " + num(next));
    if (last < first || last >= out.blocks) {
      problem(what + ": bad block range");
      return false;
    }
    next = last + 1;
    return true;
  }

  // Fixed-size records from byte 0; only the last block may be partly filled.
  void fixedTable(size_t first, size_t last, size_t size, size_t perBlock, const std::string& what,
                  const std::function<void(size_t)>& take) {
    if (!claim(first, last, what)) return;
    for (size_t n = first; n <= last; ++n) {
      size_t at = n * kBlock;
      size_t used = 0;
      while (used < perBlock && !zero(at + used * size, at + (used + 1) * size)) {
        take(at + used * size);
        ++used;
      }
      if (used == 0) problem(what + " block " + num(n) + " is empty");
      if (used < perBlock && n != last) problem(what + " block " + num(n) + " is not full");
      if (!zero(at + used * size, at + kBlock)) problem(what + " block " + num(n) + " has stray bytes");
    }
  }

  // Variable-size records: take returns a record's size, 0 at the end of a block.
  void variableTable(size_t first, size_t last, const std::string& what,
                     const std::function<size_t(size_t, size_t)>& take) {
    if (!claim(first, last, what)) return;
    size_t prevEnd = 0;
    for (size_t n = first; n <= last; ++n) {
      size_t at = n * kBlock;
      size_t offset = 0;
      bool firstRecord = true;
      for (;;) {
        size_t size = take(at + offset, kBlock - offset);
        if (size == 0) break;
        if (offset + size >= kBlock) problem(what + " record does not end before byte 512");
        // The previous block was closed only because this record did not fit.
        if (firstRecord && n != first && prevEnd + size < kBlock)
          problem(what + " block " + num(n - 1) + " was closed early");
        firstRecord = false;
        offset += size;
        if (offset >= kBlock) break;
      }
      if (offset == 0) problem(what + " block " + num(n) + " is empty");
      if (offset < kBlock && !zero(at + offset, at + kBlock))
        problem(what + " block " + num(n) + " has stray bytes");
      prevEnd = offset;
    }
  }
};

}  // namespace

Layout parse(const std::string& bytes) {
  Layout out;
  Parser(bytes, out).run();
  return out;
}

}  // namespace codlayout

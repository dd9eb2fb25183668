#include "archive.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <string_view>
#include <vector>

#include "debug.h"
#include "platform.h"
#include "replacement.h"

namespace libformat {

const char* magic() { return "!<arch>\n"; }

namespace {

// Unsigned decimal, then zero bytes to the end of the field.
void putDecimal(unsigned char* field, std::size_t width, uint32_t value) {
  std::memset(field, 0, width);
  char digits[16];
  int n = std::snprintf(digits, sizeof digits, "%u", static_cast<unsigned>(value));
  TOOL_ASSERT(n > 0 && static_cast<std::size_t>(n) < width);
  std::memcpy(field, digits, static_cast<std::size_t>(n));
}

}  // namespace

int encodeMemberHeader(const String& name, uint32_t date, uint32_t size,
                       unsigned char out[kHeaderSize]) {
  if (size > kMaxMemberSize) return 0;
  unsigned char* nameField = out + kNameOffset;
  std::memset(nameField, ' ', kNameSize);
  std::size_t n = name.size() < kMaxNameLength ? name.size() : kMaxNameLength;
  std::memcpy(nameField, name.data(), n);
  nameField[n] = '/';
  putDecimal(out + kDateOffset, kDateSize, date);
  putDecimal(out + kSizeOffset, kSizeSize, size);
  out[kFmagOffset] = '`';
  out[kFmagOffset + 1] = '\n';
  return 1;
}

String decodeMemberName(const unsigned char* field) {
  const void* zero = std::memchr(field, 0, kNameSize);
  std::size_t end = zero ? static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - field)
                         : kNameSize;
  // The blanks after the closing '/' fill most of the field, so the
  // slashes are looked for rather than every byte tested.
  std::size_t slash = String::npos;
  for (std::size_t from = 0; from < end;) {
    const void* hit = std::memchr(field + from, '/', end - from);
    if (!hit) break;
    slash = static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - field);
    from = slash + 1;
  }
  if (slash != String::npos) end = slash;
  return String(reinterpret_cast<const char*>(field), end);
}

int decodeDecimalField(const unsigned char* field, std::size_t width, uint64_t& value) {
  std::size_t i = 0;
  uint64_t v = 0;
  // A 12-byte field holds at most 12 digits, well inside 64 bits.
  while (i < width && field[i] >= '0' && field[i] <= '9') {
    v = v * 10 + static_cast<uint64_t>(field[i] - '0');
    ++i;
  }
  if (i == 0) return 0;
  for (std::size_t j = i; j < width; ++j)
    if (field[j] != 0 && field[j] != ' ') return 0;
  value = v;
  return 1;
}

}  // namespace libformat

namespace {

// The section-table half of memberWriteProblem.
String sectionTableProblem(const Coff& member) {
  std::set<String> seen;
  for (const auto& entry : member.cScnNum)
    if (!seen.insert(entry.second).second)
      return "has more than one section named '" + entry.second + "'";
  if (member.cScnNum.size() != member.cScnHdr.size()) return "has inconsistent section tables";
  return String();
}

}  // namespace

String memberWriteProblem(const Coff& member) {
  if (member.cFileHdr.f_opthdr != kOptHdrSize)
    return "has no optional header (older object layout)";
  return sectionTableProblem(member);
}

namespace {

const char* const kMakeContext = "Archive::make()";
const char* const kWriteContext = "Archive::write()";

void error(const char* context, const String& text) { reportMessage(SevError, context, text, 0); }

}  // namespace

std::unique_ptr<Archive> Archive::make(const String& name) {
  bool whole = true;
  std::unique_ptr<Archive> archive = make(name, whole);
  return whole ? std::move(archive) : nullptr;
}

std::unique_ptr<Archive> Archive::make(const String& name, bool& whole) {
  std::unique_ptr<Archive> archive = readMembers(name, whole);
  if (archive) archive->makeSymbols();
  return archive;
}

std::unique_ptr<Archive> Archive::makeForListing(const String& name, bool& whole) {
  std::unique_ptr<Archive> archive = readMembers(name, whole);
  if (archive) archive->reportDuplicates();
  return archive;
}

std::unique_ptr<Archive> Archive::readMembers(const String& name, bool& whole) {
  whole = true;
  const platform::Activity reading("reading library file", name);
  std::vector<unsigned char> bytes;
  const platform::ReadResult read = platform::readWholeFile(platform::hostPath(name), bytes);
  if (read == platform::readNoFile) {
    error(kMakeContext, "Could not open library file '" + name + "' for reading.");
    return nullptr;
  }
  if (read == platform::readFailed) bytes.clear();  // reported below as an unreadable magic string

  std::unique_ptr<Archive> archive(new Archive);
  archive->cFileName = name;

  if (bytes.size() < libformat::kMagicSize) {
    error(kMakeContext, "Could not read archive magic string in library file '" + name + "'.");
    return nullptr;
  }
  if (std::memcmp(bytes.data(), libformat::magic(), libformat::kMagicSize) != 0) {
    error(kMakeContext, "File '" + name + "' is not a valid library file.");
    return nullptr;
  }

  // Each member is read on its own: members whose headers all point at
  // one block would decode to many times the library's size. The members
  // of a library together hold no more section bytes than the file; zero
  // fill (uninitialised data above all) holds none until it is used.
  const uint64_t rawBudget = bytes.size();
  uint64_t rawDecoded = 0;
  uint64_t position = libformat::kMagicSize;
  while (position + libformat::kHeaderSize <= bytes.size()) {
    const unsigned char* header = bytes.data() + position;
    uint64_t imageStart = position + libformat::kHeaderSize;
    String memberName = libformat::decodeMemberName(header + libformat::kNameOffset);
    std::unique_ptr<Coff> member = Coff::make(bytes, imageStart, memberName);
    if (member) {
      for (const auto& raw : member->cRawData) rawDecoded += raw.second.heldSize();
      if (rawDecoded > rawBudget) member.reset();
    }
    if (!member) {
      error(kMakeContext,
            "Could not build member '" + memberName + "' in library file '" + name + "'. ");
      return nullptr;
    }
    uint64_t storedSize = 0;
    const bool sized = libformat::decodeDecimalField(header + libformat::kSizeOffset,
                                                     libformat::kSizeSize, storedSize) != 0;
    uint64_t step = 0;
    if (member->cFileHdr.f_opthdr != kOptHdrSize) {
      // An older-layout image grows when it is decoded (wider relocations
      // and line numbers, file names moved into the string table), so its
      // decoded size says nothing about where it ends: only its header
      // tells where the next member starts.
      if (!sized || storedSize > bytes.size() - imageStart) {
        error(kMakeContext, "Library file '" + name + "' member '" + memberName +
                                "' is in the older object layout and its header gives no "
                                "length within the file.");
        return nullptr;
      }
      step = storedSize;
    } else {
      // The walk finds the next header from the decoded member; a header
      // that states another length means the two have parted ways, and
      // every later member would be misread.
      step = member->size();
      if (sized && storedSize != step) {
        std::ostringstream s;
        s << "Library file '" << name << "' member '" << memberName << "' is " << storedSize
          << " bytes long by its header but " << step << " bytes by its contents.";
        reportStream(SevError, kMakeContext, s, 0);
        return nullptr;
      }
    }
    // With duplicate section names the member's size cannot be trusted.
    String problem = sectionTableProblem(*member);
    if (!problem.empty()) {
      error(kMakeContext,
            "Member '" + memberName + "' in library file '" + name + "' " + problem + ".");
      return nullptr;
    }
    archive->cMembers.push_back(std::move(member));
    position = imageStart + step;
  }
  // Bytes after the last member that do not make a whole header are what
  // is left of a member cut off: the library has lost it.
  if (position < bytes.size()) {
    error(kMakeContext, "Library file '" + name + "' has a missing member object file.");
    whole = false;
  }
  return archive;
}

namespace {

// One external definition of a member, for the index.
struct Definition {
  std::string_view name;  // into the member's string table or symbol record
  Coff* member;
};

// A definition's place in the name order: its name's first sixteen bytes
// as two big-endian numbers order all but the longest names without a look
// at their bytes.
struct NameOrder {
  std::uint64_t key0;
  std::uint64_t key1;
  std::size_t index;  // into the definitions, which are in library order
};

std::uint64_t prefixKey(std::string_view name, std::size_t from) {
  std::uint64_t key = 0;
  for (std::size_t i = from; i < from + 8; ++i)
    key = (key << 8) | (i < name.size() ? static_cast<unsigned char>(name[i]) : 0u);
  return key;
}

// The external definitions of every member, in library order. false when
// a long name is missing from its member's table: the caller then walks
// the members one by one, so that the report of it comes in its place.
bool collectDefinitions(const std::list<std::unique_ptr<Coff>>& members,
                        std::vector<Definition>& definitions) {
  for (const auto& member : members) {
    const Coff& coff = *member;
    for (std::size_t i = 0; i < coff.cSymbolTbl.size(); ++i) {
      if (coff.isAuxEntry(i)) continue;
      const syment sym = syment::decode(coff.cSymbolTbl[i]);
      if (!isExtDef(sym)) continue;
      std::string_view name;
      if (hasLongName(sym)) {
        const auto it = coff.cStringTbl.find(sym.n_offset());
        if (it == coff.cStringTbl.end()) return false;
        name = it->second;
      } else {
        // The inline name, up to its first zero, read in the record itself.
        const char* text = reinterpret_cast<const char*>(coff.cSymbolTbl[i].data());
        std::size_t n = 0;
        while (n < 8 && text[n] != 0) ++n;
        name = std::string_view(text, n);
      }
      definitions.push_back({name, member.get()});
    }
  }
  return true;
}

void reportDuplicate(const String& name) {
  reportMessage(SevError, "Archive::makeSymbols()",
                "Symbol '" + name + "' has multiple external definitions.", 0);
}

// 64-bit FNV-1a of a name.
std::uint64_t nameHash(std::string_view name) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : name) h = (h ^ c) * 0x100000001b3ull;
  return h;
}

// The indices of the definitions that repeat an earlier one's name, in
// library order. The definitions are ordered by a hash of their names with
// a stable radix sort (a few passes over small integers, no name compared),
// and only runs of one hash, where equal names must lie, are sorted by
// name.
std::vector<std::size_t> repeatedDefinitions(const std::vector<Definition>& definitions) {
  struct Keyed {
    std::uint64_t hash;
    std::size_t index;
  };
  const std::size_t n = definitions.size();
  std::vector<Keyed> keyed(n), other(n);
  for (std::size_t i = 0; i < n; ++i) keyed[i] = {nameHash(definitions[i].name), i};
  constexpr unsigned kBits = 11;
  constexpr std::size_t kBuckets = std::size_t{1} << kBits;
  std::vector<std::size_t> count(kBuckets);
  for (unsigned shift = 0; shift < 64; shift += kBits) {
    std::fill(count.begin(), count.end(), 0);
    for (const Keyed& k : keyed) ++count[(k.hash >> shift) & (kBuckets - 1)];
    std::size_t sum = 0;
    for (std::size_t& c : count) {
      const std::size_t here = c;
      c = sum;
      sum += here;
    }
    for (const Keyed& k : keyed) other[count[(k.hash >> shift) & (kBuckets - 1)]++] = k;
    keyed.swap(other);
  }
  std::vector<std::size_t> repeated;
  for (std::size_t start = 0; start < n;) {
    std::size_t end = start + 1;
    while (end < n && keyed[end].hash == keyed[start].hash) ++end;
    if (end - start > 1) {
      // Library order is kept among equal names, so the first of each is
      // the one that keeps the name.
      std::sort(keyed.begin() + static_cast<std::ptrdiff_t>(start),
                keyed.begin() + static_cast<std::ptrdiff_t>(end),
                [&definitions](const Keyed& a, const Keyed& b) {
                  const int c = definitions[a.index].name.compare(definitions[b.index].name);
                  return c != 0 ? c < 0 : a.index < b.index;
                });
      for (std::size_t k = start + 1; k < end; ++k)
        if (definitions[keyed[k].index].name == definitions[keyed[k - 1].index].name)
          repeated.push_back(keyed[k].index);
    }
    start = end;
  }
  std::sort(repeated.begin(), repeated.end());
  return repeated;
}

// Reports, in library order, each definition of a name an earlier member
// defines, without keeping an index, by the walk makeSymbols falls back on
// when a long name is missing (so that the report of it comes in its
// place). 0 when something was reported.
int walkDefinitions(const std::list<std::unique_ptr<Coff>>& members,
                    std::map<String, Coff*>& index) {
  int result = 1;
  String scratch;
  for (const auto& member : members) {
    const Coff& coff = *member;
    for (std::size_t i = 0; i < coff.cSymbolTbl.size(); ++i) {
      if (coff.isAuxEntry(i)) continue;
      syment sym = syment::decode(coff.cSymbolTbl[i]);
      if (!isExtDef(sym)) continue;
      const String& symName = coff.nameRef(sym, scratch);
      auto at = index.lower_bound(symName);
      if (at != index.end() && at->first == symName) {
        reportDuplicate(symName);
        result = 0;
      } else {
        index.emplace_hint(at, symName, member.get());
      }
    }
  }
  return result;
}

}  // namespace

int Archive::reportDuplicates() {
  cSymbols.clear();
  std::vector<Definition> definitions;
  if (!collectDefinitions(cMembers, definitions)) {
    std::map<String, Coff*> index;
    return walkDefinitions(cMembers, index);
  }
  const std::vector<std::size_t> repeated = repeatedDefinitions(definitions);
  for (std::size_t index : repeated) reportDuplicate(String(definitions[index].name));
  return repeated.empty() ? 1 : 0;
}

int Archive::makeSymbols() {
  int result = 1;
  cSymbols.clear();
  std::vector<Definition> definitions;
  if (collectDefinitions(cMembers, definitions)) {
    // In name order, each name's first definition in library order ahead
    // of the others: the index then grows at its end only, and every later
    // definition of a name is a duplicate, reported in library order.
    std::vector<NameOrder> order;
    order.reserve(definitions.size());
    for (std::size_t i = 0; i < definitions.size(); ++i)
      order.push_back({prefixKey(definitions[i].name, 0), prefixKey(definitions[i].name, 8), i});
    std::sort(order.begin(), order.end(), [&definitions](const NameOrder& a, const NameOrder& b) {
      if (a.key0 != b.key0) return a.key0 < b.key0;
      if (a.key1 != b.key1) return a.key1 < b.key1;
      const int c = definitions[a.index].name.compare(definitions[b.index].name);
      return c != 0 ? c < 0 : a.index < b.index;
    });
    std::vector<std::size_t> duplicates;
    for (std::size_t k = 0; k < order.size(); ++k) {
      const Definition& d = definitions[order[k].index];
      if (k > 0 && d.name == definitions[order[k - 1].index].name)
        duplicates.push_back(order[k].index);
      else
        cSymbols.emplace_hint(cSymbols.end(), String(d.name), d.member);
    }
    std::sort(duplicates.begin(), duplicates.end());
    for (std::size_t index : duplicates) {
      reportDuplicate(String(definitions[index].name));
      result = 0;
    }
  } else {
    result = walkDefinitions(cMembers, cSymbols);
  }
  if (DebugSwitch("Archive::makeSymbols").isOn()) {
    std::cout << "  Symbols: \n";
    for (const auto& entry : cSymbols)
      std::cout << "    " << entry.first << " -> " << entry.second->cFileName << "\n";
  }
  return result;
}

int Archive::write() {
  const platform::Activity writing("writing library file", cFileName);
  const String& name = cFileName;

  // Everything that can be refused is refused before the file is touched.
  for (const auto& member : cMembers) {
    String problem = memberWriteProblem(*member);
    if (!problem.empty()) {
      error(kWriteContext, "Member '" + member->cFileName + "' of library file '" + name + "' " +
                               problem + "; the library is not written.");
      return 0;
    }
  }
  // Members keep the pointers of the file they were read from; one whose
  // blocks lie elsewhere is laid out again so that its image describes
  // itself, one already in our layout is stored byte for byte.
  for (const auto& member : cMembers)
    if (!member->isLaidOut() && !member->preWriteKeepingTime()) return 0;
  for (const auto& member : cMembers) {
    uint32_t size = member->size();
    if (size > libformat::kMaxMemberSize) {
      std::ostringstream s;
      s << "Member '" << member->cFileName << "' is " << size
        << " bytes long, more than a member of library file '" << name << "' can hold ("
        << libformat::kMaxMemberSize << " bytes).";
      reportStream(SevError, kWriteContext, s, 0);
      return 0;
    }
  }

  // A library we could not open for writing stays as it is.
  replacement::OutputFile output(platform::hostPath(name));
  if (!output.open()) {
    error(kWriteContext, "Could not open library file '" + name + "' for writing.");
    return 0;
  }
  std::FILE* f = output.file();
  if (std::fwrite(libformat::magic(), 1, libformat::kMagicSize, f) != libformat::kMagicSize) {
    error(kWriteContext, "Could not write archive magic string in library file '" + name + "'. ");
    return 0;
  }
  long position = static_cast<long>(libformat::kMagicSize);
  for (const auto& member : cMembers) {
    unsigned char header[libformat::kHeaderSize];
    uint32_t size = member->size();
    libformat::encodeMemberHeader(member->cFileName, member->cFileHdr.f_timdat, size, header);
    if (std::fwrite(header, 1, sizeof header, f) != sizeof header) {
      error(kWriteContext, "Could not write member header for '" + member->cFileName +
                               "' in library file '" + name + "'. ");
      return 0;
    }
    position += static_cast<long>(libformat::kHeaderSize);
    // The object writer reports why it failed.
    if (!member->write(f, position)) return 0;
    position += static_cast<long>(size);
    // The next header goes where the walk of a reader will look for it.
    if (std::ftell(f) != position) {
      error(kWriteContext, "Member '" + member->cFileName +
                               "' was not written at its full size in library file '" + name +
                               "'.");
      return 0;
    }
  }
  if (!output.close()) {
    error(kWriteContext, "Could not write library file '" + name + "'.");
    return 0;
  }
  if (!output.commit()) {
    error(kWriteContext, "Could not replace library file '" + name + "'.");
    return 0;
  }
  return 1;
}

int Archive::hasSymbol(const String& name) const { return cSymbols.count(name) ? 1 : 0; }

std::unique_ptr<Coff> Archive::getMember(const String& name) const {
  auto it = cSymbols.find(name);
  if (it == cSymbols.end()) return nullptr;
  return std::unique_ptr<Coff>(new Coff(*it->second));
}

std::unique_ptr<Coff> Archive::takeMember(const String& name) {
  auto it = cSymbols.find(name);
  if (it == cSymbols.end() || !cTaken.insert(it->second).second) return nullptr;
  return std::unique_ptr<Coff>(new Coff(std::move(*it->second)));
}

void Archive::releaseMembers() {
  for (auto& member : cMembers) {
    *member = Coff();
    cTaken.insert(member.get());
  }
}

void Archive::print(std::ostream& os) const {
  os << "Archive: \n";
  os << "  Symbols: \n";
  for (const auto& entry : cSymbols)
    os << "    '" << entry.first << "' -> " << entry.second->cFileName << "\n";
  os << "\n";
  os << "  Members: \n";
  int index = 0;
  for (const auto& member : cMembers) {
    os << "    Member[" << index++ << "] = ";
    member->print(os);
  }
}

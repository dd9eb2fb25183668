#include "archive.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
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
  std::size_t end = 0;
  while (end < kNameSize && field[end] != 0) ++end;
  std::size_t slash = String::npos;
  for (std::size_t i = 0; i < end; ++i)
    if (field[i] == '/') slash = i;
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

// Reads the whole file; 0 on a read error. The caller has opened it.
int readAll(std::FILE* f, std::vector<unsigned char>& bytes) {
  unsigned char chunk[65536];
  for (;;) {
    std::size_t n = std::fread(chunk, 1, sizeof chunk, f);
    bytes.insert(bytes.end(), chunk, chunk + n);
    if (n < sizeof chunk) return std::ferror(f) ? 0 : 1;
  }
}

}  // namespace

std::unique_ptr<Archive> Archive::make(const String& name) {
  std::vector<unsigned char> bytes;
  {
    std::FILE* f = std::fopen(platform::hostPath(name).c_str(), "rb");
    if (!f) {
      error(kMakeContext, "Could not open library file '" + name + "' for reading.");
      return nullptr;
    }
    int ok = readAll(f, bytes);
    std::fclose(f);
    if (!ok) bytes.clear();  // reported below as an unreadable magic string
  }

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

  uint64_t position = libformat::kMagicSize;
  // A header cut off at the end of the file ends the library.
  while (position + libformat::kHeaderSize <= bytes.size()) {
    const unsigned char* header = bytes.data() + position;
    uint64_t imageStart = position + libformat::kHeaderSize;
    if (imageStart >= bytes.size()) {
      error(kMakeContext, "Library file '" + name + "' has a missing member object file.");
      return nullptr;
    }
    String memberName = libformat::decodeMemberName(header + libformat::kNameOffset);
    std::unique_ptr<Coff> member = Coff::make(bytes, imageStart, memberName);
    if (!member) {
      error(kMakeContext,
            "Could not build member '" + memberName + "' in library file '" + name + "'. ");
      return nullptr;
    }
    // The walk finds the next header from the decoded member; a header
    // that states another length means the two have parted ways, and every
    // later member would be misread.
    uint32_t memberSize = member->size();
    uint64_t storedSize = 0;
    if (libformat::decodeDecimalField(header + libformat::kSizeOffset, libformat::kSizeSize,
                                      storedSize) &&
        storedSize != memberSize) {
      std::ostringstream s;
      s << "Library file '" << name << "' member '" << memberName << "' is " << storedSize
        << " bytes long by its header but " << memberSize << " bytes by its contents.";
      reportStream(SevError, kMakeContext, s, 0);
      return nullptr;
    }
    // With duplicate section names the member's size cannot be trusted.
    String problem = sectionTableProblem(*member);
    if (!problem.empty()) {
      error(kMakeContext,
            "Member '" + memberName + "' in library file '" + name + "' " + problem + ".");
      return nullptr;
    }
    archive->cMembers.push_back(std::move(member));
    position = imageStart + memberSize;
  }

  archive->makeSymbols();
  return archive;
}

int Archive::makeSymbols() {
  int result = 1;
  cSymbols.clear();
  for (const auto& member : cMembers) {
    const Coff& coff = *member;
    for (std::size_t i = 0; i < coff.cSymbolTbl.size(); ++i) {
      if (i < coff.cAuxKind.size() && coff.cAuxKind[i] != auxNone) continue;
      syment sym = syment::decode(coff.cSymbolTbl[i]);
      if (!isExtDef(sym)) continue;
      String symName = coff.getName(sym);
      if (cSymbols.count(symName)) {
        reportMessage(SevError, "Archive::makeSymbols()",
                      "Symbol '" + symName + "' has multiple external definitions.", 0);
        result = 0;
      } else {
        cSymbols[symName] = member.get();
      }
    }
  }
  if (DebugSwitch("Archive::makeSymbols").isOn()) {
    std::cout << "  Symbols: \n";
    for (const auto& entry : cSymbols)
      std::cout << "    " << entry.first << " -> " << entry.second->cFileName << "\n";
  }
  return result;
}

int Archive::write() {
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
  // Members keep the pointers of the file they were read from; laying them
  // out again makes each image describe itself (our own layout comes out
  // unchanged).
  for (const auto& member : cMembers)
    if (!member->preWriteKeepingTime()) return 0;
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

  const String openFailure = "Could not open library file '" + name + "' for writing.";
  String target;
  if (!replacement::resolveLinks(platform::hostPath(name), target)) {
    error(kWriteContext, openFailure);
    return 0;
  }
  mode_t mode = replacement::creationMode();
  struct stat st;
  if (stat(target.c_str(), &st) == 0) {
    // A library we could not open for writing stays as it is.
    if (!S_ISREG(st.st_mode) || access(target.c_str(), W_OK) != 0) {
      error(kWriteContext, openFailure);
      return 0;
    }
    mode = st.st_mode & 07777;
  }

  replacement::TempFile temp(target);
  if (!temp.open() || !temp.setMode(mode)) {
    error(kWriteContext, openFailure);
    return 0;
  }
  std::FILE* f = temp.file();
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
    if (!member->write(f, position)) {
      error(kWriteContext,
            "Could not write member '" + member->cFileName + "' in library file '" + name + "'. ");
      return 0;
    }
    position += static_cast<long>(size);
    // The next header goes where the walk of a reader will look for it.
    if (std::ftell(f) != position) {
      error(kWriteContext, "Member '" + member->cFileName +
                               "' was not written at its full size in library file '" + name +
                               "'.");
      return 0;
    }
  }
  if (!temp.close()) {
    error(kWriteContext, "Could not write library file '" + name + "'.");
    return 0;
  }
  if (!temp.commit()) {
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

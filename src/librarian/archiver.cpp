#include "archiver.h"

#include <sys/stat.h>

#include <cstddef>
#include <iostream>
#include <iterator>
#include <unordered_map>
#include <vector>

#include "archive.h"
#include "coff.h"
#include "debug.h"
#include "platform.h"
#include "replacement.h"

namespace {

String missingMember(const String& member, const String& library) {
  return "'" + member + "' is not a member of library '" + library + "'.";
}

// The members of a library by name, each name's members in library order,
// so that a command naming many members finds each with one look-up.
class MemberIndex {
 public:
  using Iterator = std::list<std::unique_ptr<Coff>>::iterator;

  explicit MemberIndex(Archive& archive) : cEnd(archive.cMembers.end()) {
    cByName.reserve(archive.cMembers.size());
    for (auto it = archive.cMembers.begin(); it != archive.cMembers.end(); ++it)
      cByName[(*it)->cFileName].members.push_back(it);
  }

  // The first member named name, or the end.
  Iterator first(const String& name) const {
    auto at = cByName.find(name);
    if (at == cByName.end() || at->second.next == at->second.members.size()) return cEnd;
    return at->second.members[at->second.next];
  }
  // Forgets the first member named name, which the caller then removes.
  void dropFirst(const String& name) {
    auto at = cByName.find(name);
    if (at != cByName.end() && at->second.next < at->second.members.size()) ++at->second.next;
  }
  // Enters a member just appended to the library.
  void append(Iterator it) { cByName[(*it)->cFileName].members.push_back(it); }

 private:
  struct Named {
    std::vector<Iterator> members;
    std::size_t next = 0;  // members before it were removed
  };
  std::unordered_map<String, Named> cByName;
  Iterator cEnd;
};

// Reads the object file name and makes it ready to be put into library;
// null after reporting why.
std::unique_ptr<Coff> readObject(const String& name, const String& library, const char* context) {
  const platform::Activity reading("reading Coff file", name);
  std::vector<unsigned char> bytes;
  const bool opened =
      platform::readWholeFile(platform::hostPath(name), bytes) != platform::readNoFile;
  // The header's name field ends with '/': a longer name would be stored
  // cut, and extracted later under a name nobody gave.
  if (name.size() > libformat::kMaxNameLength) {
    reportMessage(SevError, context,
                  "Object file name '" + name + "' is " + std::to_string(name.size()) +
                      " characters long, more than the " +
                      std::to_string(libformat::kMaxNameLength) +
                      " a member name can have; it cannot be put into library '" + library +
                      "'.",
                  0);
    return nullptr;
  }
  std::unique_ptr<Coff> coff = Coff::make(name, opened, bytes);
  if (!coff) return nullptr;
  String problem = memberWriteProblem(*coff);
  if (!problem.empty()) {
    reportMessage(SevError, context,
                  "Object file '" + name + "' " + problem + "; it cannot be put into library '" +
                      library + "'.",
                  0);
    return nullptr;
  }
  // A damaged object is refused here as the linker refuses it, before it
  // can be stored and lose what the damage hides: the checks of its
  // cross-references, and the source file names, which the linker and the
  // converters look up by name (a name the table lacks is fatal there).
  if (!coff->verify()) return nullptr;
  for (std::size_t k = 0; k < coff->cSymbolTbl.size(); ++k) {
    if (!coff->isAuxEntry(k) || coff->cAuxKind[k] != auxFile) continue;
    const aux_file entry = aux_file::decode(coff->cSymbolTbl[k]);
    // Offset 0 is an empty name kept in the entry itself.
    if (entry.x_offset != 0 && coff->cStringTbl.count(entry.x_offset) == 0) {
      coff->getName(entry);  // fatal
      return nullptr;
    }
  }
  return coff;
}

// Why a member name must not be used as a file name, or an empty text.
// Library contents come from anywhere: a name may not leave the current
// directory.
String unsafeNameReason(const String& name) {
  if (name.empty()) return "is empty";
  if (name[0] == '/' || name[0] == '\\' || (name.size() >= 2 && name[1] == ':'))
    return "is an absolute path";
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of("/\\", start);
    if (end == String::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0 && end - start == 2)
      return "has a '..' component";
    start = end + 1;
  }
  return String();
}

// The first directory on the way to a member's file that is a symbolic
// link, or an empty text: through one, a member would land wherever the
// link points.
String linkOnTheWay(const String& path) {
  for (std::size_t slash = path.find('/'); slash != String::npos;
       slash = path.find('/', slash + 1)) {
    const String directory = path.substr(0, slash);
    struct stat st;
    if (::lstat(directory.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return directory;
  }
  return String();
}

// Appends "Member: %-25s  Size: %-6d Date: %s \n" with the quoted name,
// the size and the time stamp in ctime form without its newline. Members
// mostly share a time stamp, so the last one's text is kept in date.
void appendListLine(const Coff& member, String& out, std::time_t& dateOf, String& date) {
  const std::time_t t = static_cast<std::time_t>(member.cFileHdr.f_timdat);
  if (date.empty() || t != dateOf) {
    date = platform::ctimeText(t);
    if (!date.empty() && date.back() == '\n') date.pop_back();
    dateOf = t;
  }
  // Left-justified and never cut, as "%-*s" pads.
  auto pad = [&out](std::size_t written, std::size_t width) {
    if (written < width) out.append(width - written, ' ');
  };
  out += "Member: '";
  out += member.cFileName;
  out += '\'';
  pad(member.cFileName.size() + 2, 25);
  out += "  Size: ";
  const String size = std::to_string(member.size());
  out += size;
  pad(size.size(), 6);
  out += " Date: ";
  out += date;
  out += " \n";
}

}  // namespace

Archiver::Archiver() = default;
Archiver::~Archiver() = default;

int Archiver::setCommand(uint8_t cmd, const String& archive, const std::list<String>& members) {
  if (cHasCmd) return 0;
  cCmd = cmd;
  cArchive = archive;
  cMembers = members;
  cHasCmd = 1;
  return 1;
}

int Archiver::run() {
  if (!cHasCmd) return 0;
  switch (cCmd) {
    case cmdCreateCode:
      return cmdCreate();
    case cmdListCode:
      return cmdList();
    case cmdDeleteCode:
      return cmdDelete();
    case cmdReplaceCode:
      return cmdReplace();
    case cmdExtractCode:
      return cmdExtract();
    default:
      return 0;
  }
}

void Archiver::print(std::ostream& os) const {
  static const char* const names[] = {"cmdCreate", "cmdList", "cmdDelete", "cmdReplace",
                                      "cmdExtract"};
  os << "Archiver:\n";
  os << "  cCmd=" << (cCmd <= cmdExtractCode ? names[cCmd] : "undefined") << "\n";
  os << "  cArchive=" << cArchive << "\n";
  os << "  cMembers=\n";
  for (const String& m : cMembers) os << "    " << m << "\n";
  os << "  cHasCmd=" << cHasCmd << "\n";
}

// The library is written over none of the members it is made from, through
// links included. 0 after the error.
int Archiver::checkLibraryOverMembers(const char* context) const {
  const replacement::FileIdentity library = replacement::identify(platform::hostPath(cArchive));
  if (!library.regular) return 1;  // only an existing file can be a member
  for (const String& name : cMembers) {
    if (!replacement::sameFile(library, replacement::identify(platform::hostPath(name)))) continue;
    reportMessage(SevError, context,
                  "Library '" + cArchive + "' would overwrite the member '" + name +
                      "'; nothing is written.",
                  0);
    return 0;
  }
  return 1;
}

int Archiver::cmdCreate() {
  if (!checkLibraryOverMembers("Archiver::cmdCreate")) return 0;
  // An existing file of this name is replaced, never read.
  cLibrary = std::make_unique<Archive>();
  Archive& archive = *cLibrary;
  archive.cFileName = cArchive;
  for (const String& name : cMembers) {
    std::unique_ptr<Coff> coff = readObject(name, cArchive, "Archiver::cmdCreate");
    if (!coff) return 0;
    archive.cMembers.push_back(std::move(coff));
  }
  if (DebugSwitch("Archiver::cmdCreate").isOn()) archive.print(std::cout);
  if (!archive.makeSymbols()) return 0;
  return archive.write();
}

int Archiver::cmdList() {
  // What is left of a library cut short is listed, and the run fails.
  bool whole = true;
  cLibrary = Archive::makeForListing(cArchive, whole);
  Archive* const archive = cLibrary.get();
  if (!archive) return 0;
  if (!isQuiet()) {
    String text;
    std::time_t dateOf = 0;
    String date;
    for (const auto& member : archive->cMembers) appendListLine(*member, text, dateOf, date);
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cout.flush();
  }
  return whole ? 1 : 0;
}

int Archiver::cmdDelete() {
  cLibrary = Archive::make(cArchive);
  Archive* const archive = cLibrary.get();
  if (!archive) return 0;
  int missing = 0;
  MemberIndex index(*archive);
  for (const String& name : cMembers) {
    auto it = index.first(name);
    if (it == archive->cMembers.end()) {
      reportMessage(SevError, "Archiver::cmdDelete", missingMember(name, cArchive), 0);
      missing = 1;
      continue;
    }
    index.dropFirst(name);
    archive->cMembers.erase(it);
  }
  if (missing) return 0;
  if (!archive->makeSymbols()) return 0;
  return archive->write();
}

int Archiver::cmdReplace() {
  if (!checkLibraryOverMembers("Archiver::cmdReplace")) return 0;
  cLibrary = Archive::make(cArchive);
  Archive* const archive = cLibrary.get();
  if (!archive) return 0;
  MemberIndex index(*archive);
  for (const String& name : cMembers) {
    std::unique_ptr<Coff> coff = readObject(name, cArchive, "Archiver::cmdReplace");
    if (!coff) return 0;
    auto it = index.first(name);
    if (it != archive->cMembers.end()) {
      *it = std::move(coff);
    } else {
      archive->cMembers.push_back(std::move(coff));
      index.append(std::prev(archive->cMembers.end()));
    }
  }
  if (!archive->makeSymbols()) return 0;
  return archive->write();
}

int Archiver::cmdExtract() {
  cLibrary = Archive::make(cArchive);
  Archive* const archive = cLibrary.get();
  if (!archive) return 0;

  std::vector<Coff*> chosen;
  if (cMembers.empty()) {
    for (const auto& member : archive->cMembers) chosen.push_back(member.get());
  } else {
    int missing = 0;
    const MemberIndex index(*archive);
    for (const String& name : cMembers) {
      auto it = index.first(name);
      if (it == archive->cMembers.end()) {
        reportMessage(SevError, "Archiver::cmdExtract", missingMember(name, cArchive), 0);
        missing = 1;
      } else {
        chosen.push_back(it->get());
      }
    }
    if (missing) return 0;
  }

  // Every member is checked before the first file is written. Each name
  // is looked at once here (without following a link), and the write
  // goes by what was seen.
  struct stat library {};
  const bool haveLibrary = ::stat(platform::hostPath(cArchive).c_str(), &library) == 0;
  std::vector<struct stat> seen(chosen.size());
  std::vector<bool> there(chosen.size());
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    const Coff* member = chosen[i];
    auto refuse = [&](const String& why) {
      reportMessage(SevError, "Archiver::cmdExtract",
                    "Member '" + member->cFileName + "' in library '" + cArchive + "' " + why +
                        "; nothing is extracted.",
                    0);
      return 0;
    };
    String reason = unsafeNameReason(member->cFileName);
    if (!reason.empty()) {
      reportMessage(SevError, "Archiver::cmdExtract",
                    "Member name '" + member->cFileName + "' in library '" + cArchive + "' " +
                        reason + "; nothing is extracted.",
                    0);
      return 0;
    }
    String problem = memberWriteProblem(*member);
    if (!problem.empty()) return refuse(problem);
    const String path = platform::hostPath(member->cFileName);
    const String link = linkOnTheWay(path);
    if (!link.empty())
      return refuse("lies beyond the symbolic link '" + link + "', outside the directory");
    there[i] = ::lstat(path.c_str(), &seen[i]) == 0;
    // A link at the name is replaced, not followed, but one to the library
    // is refused all the same.
    const bool isLibrary =
        there[i] && haveLibrary &&
        (S_ISLNK(seen[i].st_mode)
             ? replacement::sameFile(path, platform::hostPath(cArchive)) != 0
             : S_ISREG(seen[i].st_mode) && S_ISREG(library.st_mode) &&
                   seen[i].st_dev == library.st_dev && seen[i].st_ino == library.st_ino);
    if (isLibrary) return refuse("would overwrite the library");
  }
  // Pointers of the file the member came from are not trusted: a member
  // whose blocks lie elsewhere is laid out again before it is written.
  for (Coff* member : chosen)
    if (!member->isLaidOut() && !member->preWriteKeepingTime()) return 0;

  for (std::size_t i = 0; i < chosen.size(); ++i) {
    if (!isQuiet()) {
      std::cout << "Extracting member '" << chosen[i]->cFileName << "'.\n";
      std::cout.flush();
    }
    if (!chosen[i]->writeHere(there[i] ? &seen[i] : nullptr)) return 0;
  }
  return 1;
}

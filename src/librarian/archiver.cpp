#include "archiver.h"

#include <cstddef>
#include <iostream>
#include <iterator>
#include <unordered_map>
#include <vector>

#include "archive.h"
#include "coff.h"
#include "debug.h"
#include "platform.h"
#include "readahead.h"
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

// Makes an object file read by files (as its file i) ready to be put into
// library; null after reporting why.
std::unique_ptr<Coff> readObject(ReadAhead& files, std::size_t i, const String& name,
                                 const String& library, const char* context) {
  std::vector<unsigned char> bytes;
  const bool opened = files.take(i, bytes) != platform::readNoFile;
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

// Left-justified in width characters, never cut (as "%-*s" does).
String padRight(const String& text, std::size_t width) {
  return text.size() < width ? text + String(width - text.size(), ' ') : text;
}

// "Member: %-25s  Size: %-6d Date: %s \n" with the quoted name, the size
// and the time stamp in ctime form without its newline.
String listLine(const Coff& member) {
  String date = platform::ctimeText(static_cast<std::time_t>(member.cFileHdr.f_timdat));
  if (!date.empty() && date.back() == '\n') date.pop_back();
  return "Member: " + padRight("'" + member.cFileName + "'", 25) +
         "  Size: " + padRight(std::to_string(member.size()), 6) + " Date: " + date + " \n";
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
  ReadAhead files(cMembers);
  std::size_t i = 0;
  for (const String& name : cMembers) {
    std::unique_ptr<Coff> coff = readObject(files, i++, name, cArchive, "Archiver::cmdCreate");
    if (!coff) return 0;
    archive.cMembers.push_back(std::move(coff));
  }
  if (DebugSwitch("Archiver::cmdCreate").isOn()) archive.print(std::cout);
  if (!archive.makeSymbols()) return 0;
  return archive.write();
}

int Archiver::cmdList() {
  cLibrary = Archive::make(cArchive);
  Archive* const archive = cLibrary.get();
  if (!archive) return 0;
  if (!isQuiet()) {
    for (const auto& member : archive->cMembers) std::cout << listLine(*member);
    std::cout.flush();
  }
  return 1;
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
  ReadAhead files(cMembers);
  MemberIndex index(*archive);
  std::size_t i = 0;
  for (const String& name : cMembers) {
    std::unique_ptr<Coff> coff = readObject(files, i++, name, cArchive, "Archiver::cmdReplace");
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

  // Every member is checked before the first file is written.
  for (Coff* member : chosen) {
    String reason = unsafeNameReason(member->cFileName);
    if (!reason.empty()) {
      reportMessage(SevError, "Archiver::cmdExtract",
                    "Member name '" + member->cFileName + "' in library '" + cArchive + "' " +
                        reason + "; nothing is extracted.",
                    0);
      return 0;
    }
    String problem = memberWriteProblem(*member);
    if (!problem.empty()) {
      reportMessage(SevError, "Archiver::cmdExtract",
                    "Member '" + member->cFileName + "' in library '" + cArchive + "' " + problem +
                        "; nothing is extracted.",
                    0);
      return 0;
    }
    if (replacement::sameFile(platform::hostPath(member->cFileName),
                              platform::hostPath(cArchive))) {
      reportMessage(SevError, "Archiver::cmdExtract",
                    "Member '" + member->cFileName + "' in library '" + cArchive +
                        "' would overwrite the library; nothing is extracted.",
                    0);
      return 0;
    }
  }
  // Pointers of the file the member came from are not trusted: a member
  // whose blocks lie elsewhere is laid out again before it is written.
  for (Coff* member : chosen)
    if (!member->isLaidOut() && !member->preWriteKeepingTime()) return 0;

  for (Coff* member : chosen) {
    if (!isQuiet()) {
      std::cout << "Extracting member '" << member->cFileName << "'.\n";
      std::cout.flush();
    }
    if (!member->write()) return 0;
  }
  return 1;
}

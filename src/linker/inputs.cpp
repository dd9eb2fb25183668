// Link phases 1 to 3: finding and reading the object files, opening the
// libraries, and importing the library members that satisfy undefined
// external references.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <deque>
#include <iterator>
#include <map>
#include <memory>
#include <string_view>
#include <set>
#include <vector>

#include "filename.h"
#include "linker.h"
#include "platform.h"
#include "replacement.h"

namespace {

bool endsInSeparator(const String& dir) {
  return !dir.empty() && (dir.back() == '/' || dir.back() == '\\');
}

// Locates one entry of a file list. An entry with a directory part is taken
// as it stands; otherwise the directories are tried in order (then the
// current directory when currentDirLast is set) and the first hit replaces
// the entry. 0 when nothing was found.
int locateFile(String& entry, const std::list<String>& dirs, bool currentDirLast) {
  if (FileName(entry).hasPath()) return FileName(entry).fileExists();
  std::list<String> candidates = dirs;
  if (currentDirLast) candidates.push_back(".");
  for (const String& dir : candidates) {
    String path = dir;
    if (!dir.empty() && !endsInSeparator(dir)) path += '/';
    path += entry;
    if (FileName(path).fileExists()) {
      entry = path;
      return 1;
    }
  }
  return 0;
}

// Every entry is located before any file is read, so a missing file stops
// the phase with nothing read; the first missing one is reported.
int locateAll(std::list<String>& entries, const std::list<String>& dirs, bool currentDirLast,
              String& err) {
  for (String& entry : entries) {
    const String asListed = entry;
    if (!locateFile(entry, dirs, currentDirLast)) {
      err = "could not find file '" + asListed + "'.";
      return 0;
    }
  }
  return 1;
}

// Names of one file's symbols in table order. Strings are usually laid out
// in the order of the symbols that name them, so a cursor over the string
// table answers most lookups without a search.
class NameCursor {
 public:
  explicit NameCursor(const Coff& coff) : cCoff(coff), cNext(coff.cStringTbl.begin()) {}
  const String& of(const syment& sym, String& scratch) {
    if (hasLongName(sym)) {
      const std::uint32_t offset = sym.n_offset();
      const auto& table = cCoff.cStringTbl;
      auto at = cNext != table.end() && cNext->first == offset ? cNext : table.find(offset);
      if (at != table.end()) {
        cNext = std::next(at);
        return at->second;
      }
    }
    return cCoff.nameRef(sym, scratch);  // spelt out, or the missing string reported
  }

 private:
  const Coff& cCoff;
  StringTable::const_iterator cNext;
};

// The external definitions and references of the inputs, grown one file at
// a time. Auxiliary records are recognised by the reader's pairing, the same
// one the library symbol index uses, so a name the index offers is always a
// name the imported member defines.
class ExternalNames {
 public:
  // About half the symbols of a typical input are definitions.
  explicit ExternalNames(std::size_t symbols) {
    cDefined.reserve(symbols / 2);
    cReferences.reserve(symbols / 2);
  }
  ExternalNames(const ExternalNames&) = delete;
  ExternalNames& operator=(const ExternalNames&) = delete;

  // A name both defined and referenced by the files added is settled
  // whichever comes first, so all the definitions are taken before any
  // reference: a reference to a later file's name never enters the pending
  // set only to leave it again. Each file is read once: its definitions are
  // entered and its references kept aside until all files are in.
  void add(const std::vector<const Coff*>& files) {
    cReferences.clear();
    for (const Coff* coff : files) walk(*coff);
    settleReferences();
  }
  void add(const Coff& coff) { add(std::vector<const Coff*>{&coff}); }

  // The smallest undefined name not yet known to be in no library; empty
  // when there is none.
  bool isPending(const String& name) const { return cPending.count(name) != 0; }

  bool next(String& name) const {
    if (cPending.empty()) return false;
    name = *cPending.begin();
    return true;
  }

  // Libraries never change, so a name none of them holds never needs to be
  // asked for again.
  void noLibraryHolds(const String& name) {
    cPending.erase(name);
    cNoLibrary.emplace(lasting(name), 0);
  }

 private:
  // A name of the file being walked, with its hash; a name spelt out of
  // its record is copied here, since the scratch buffer holds one name only.
  struct Named {
    std::string_view text;  // unused when spelt
    std::size_t hash;
    char spelt[8];
    std::uint8_t speltSize;
    bool isSpelt;
    std::string_view view() const { return isSpelt ? std::string_view(spelt, speltSize) : text; }
  };

  // The file's definitions are gathered first, each one's table slot asked
  // for ahead, then the text of the key each slot holds, then they are
  // entered in the same order: the probes then mostly find slot and key in
  // the cache instead of each waiting on memory in turn. Its references
  // join cReferences, named the same way.
  void walk(const Coff& coff) {
    cNames.clear();
    NameCursor names(coff);
    for (std::size_t i = 0; i < coff.cSymbolTbl.size(); ++i) {
      if (coff.isAuxEntry(i)) continue;
      const syment sym = syment::decode(coff.cSymbolTbl[i]);
      const bool definition = isExtDef(sym);
      if (!definition && !isExtRef(sym)) continue;
      const String& name = names.of(sym, cScratch);
      Named named{};
      if (&name != &cScratch) {
        named.text = name;
      } else if (name.size() <= sizeof named.spelt) {
        named.isSpelt = true;
        named.speltSize = static_cast<std::uint8_t>(name.size());
        std::memcpy(named.spelt, name.data(), name.size());
      } else {
        named.text = lasting(name);
      }
      named.hash = cDefined.hashOf(named.view());
      if (!definition) {
        cReferences.push_back(named);
        continue;
      }
      cDefined.prefetch(named.hash);
      cNames.push_back(named);
    }
    askForKeys(cNames.data(), cNames.size());
    for (const Named& named : cNames) {
      const std::string_view key = named.view();
      if (cDefined.find(key, named.hash)) continue;
      cDefined.emplace(named.isSpelt ? lasting(String(key)) : key, 0, named.hash);
      if (!cPending.empty()) {
        auto pending = cPending.find(key);
        if (pending != cPending.end()) cPending.erase(pending);
      }
    }
  }

  // The slots have arrived by the time this runs; most names of other
  // files found there are texts elsewhere in memory, asked for here before
  // they are compared.
  void askForKeys(const Named* named, std::size_t count) const {
    for (std::size_t n = 0; n < count; ++n)
      if (const std::string_view* key = cDefined.likelyKey(named[n].hash))
        __builtin_prefetch(key->data());
  }

  // The references kept aside, in batches whose slots and keys are asked
  // for ahead as a file's definitions are: a reference defined nowhere so
  // far, nor known to be in no library, is pending.
  void settleReferences() {
    constexpr std::size_t kBatch = 64;
    for (std::size_t first = 0; first < cReferences.size(); first += kBatch) {
      const std::size_t count = std::min(kBatch, cReferences.size() - first);
      const Named* batch = cReferences.data() + first;
      for (std::size_t n = 0; n < count; ++n) cDefined.prefetch(batch[n].hash);
      askForKeys(batch, count);
      for (std::size_t n = 0; n < count; ++n) {
        const std::string_view key = batch[n].view();
        if (!cDefined.find(key, batch[n].hash) && !cNoLibrary.find(key, batch[n].hash))
          cPending.emplace(key);
      }
    }
    cReferences.clear();
  }

  // A name that outlives the walk: long names are views of the inputs'
  // string tables, which stay put; names spelt out of their records are
  // kept here.
  std::string_view lasting(const String& name) {
    cSpelt.push_back(name);
    return cSpelt.back();
  }

  String cScratch;
  std::vector<Named> cNames;
  std::vector<Named> cReferences;
  std::deque<String> cSpelt;
  // Only the pending names need an order (the smallest is imported first);
  // the other two are only asked whether they hold a name.
  FlatMap<std::string_view, char, TextHash> cDefined;
  std::set<String, std::less<>> cPending;  // referenced, not defined, possibly in a library
  FlatMap<std::string_view, char, TextHash> cNoLibrary;
};

// Which library a name is imported from: the first listed whose index
// holds it. One library answers for itself; for more, one table from each
// name to its first library replaces asking every library in turn.
class LibraryIndex {
 public:
  explicit LibraryIndex(const std::vector<std::unique_ptr<Archive>>& archives)
      : cArchives(archives) {
    if (archives.size() < 2) return;
    std::size_t symbols = 0;
    for (const auto& archive : archives) symbols += archive->symbols().size();
    cFirst.reserve(symbols);
    // Libraries are entered in list order and an entry is never replaced,
    // so each name keeps the first library that defines it.
    for (const auto& archive : archives)
      for (const auto& symbol : archive->symbols()) cFirst.emplace(symbol.first, archive.get());
  }

  // Null when no library defines name.
  Archive* holderOf(const String& name) const {
    if (cArchives.empty()) return nullptr;
    if (cArchives.size() == 1)
      return cArchives.front()->hasSymbol(name) ? cArchives.front().get() : nullptr;
    Archive* const* holder = cFirst.find(name);
    return holder ? *holder : nullptr;
  }

 private:
  const std::vector<std::unique_ptr<Archive>>& cArchives;
  // Keys are views of the libraries' own index entries, which stay put.
  FlatMap<std::string_view, Archive*, TextHash> cFirst;
};

}  // namespace

int Linker::locateInputs(String& err) {
  if (cObjectFile.empty()) {
    err = "no input object files specified.";
    return 0;
  }
  cObjectNames = cObjectFile;
  cLibraryNames = cLibraryFile;
  if (!locateAll(cObjectFile, cLibPath, true, err)) return 0;
  // Libraries are looked for in the LIBPATH directories only.
  if (!locateAll(cLibraryFile, cLibPath, false, err)) return 0;
  cLocated = true;
  return 1;
}

int Linker::checkOutputs(String& err) {
  const replacement::FileIdentity output =
      replacement::identify(platform::hostPath(cOutputFile));
  replacement::FileIdentity map;
  if (!cMapFile.empty()) {
    map = replacement::identify(platform::hostPath(cMapFile));
    if (replacement::sameFile(map, output)) {
      err = "map file '" + cMapFile + "' would overwrite the output file '" + cOutputFile + "'.";
      return 0;
    }
  }
  // Every input exists: only an output that exists can be one of them.
  if (!output.regular && !map.regular) return 1;
  String overMap, overOutput;
  const auto check = [&](const String& path, const String& named) {
    const replacement::FileIdentity input = replacement::identify(platform::hostPath(path));
    if (overMap.empty() && replacement::sameFile(map, input)) overMap = named;
    if (overOutput.empty() && replacement::sameFile(output, input)) overOutput = named;
  };
  auto named = cObjectNames.begin();
  for (const String& path : cObjectFile) check(path, *named++);
  named = cLibraryNames.begin();
  for (const String& path : cLibraryFile) check(path, *named++);
  for (const String& path : cCommandFiles) check(path, path);
  if (!overMap.empty())
    err = "map file '" + cMapFile + "' would overwrite the input file '" + overMap + "'.";
  else if (!overOutput.empty())
    err = "output file '" + cOutputFile + "' would overwrite the input file '" + overOutput + "'.";
  return err.empty() ? 1 : 0;
}

int Linker::readObjectFiles(String& err) {
  if (!cLocated && cObjectFile.empty()) {
    err = "no input object files specified.";
    return 0;
  }
  if (!cLocated && !locateAll(cObjectFile, cLibPath, true, err)) return 0;
  std::vector<unsigned char> bytes;
  for (const String& name : cObjectFile) {
    const platform::Activity reading("reading Coff file", name);
    const bool opened =
        platform::readWholeFile(platform::hostPath(name), bytes) != platform::readNoFile;
    std::unique_ptr<Coff> coff = Coff::make(name, opened, bytes);
    if (!coff) return 0;
    if (!coff->verify()) return 0;
    cCoff.push_back(std::move(coff));
  }
  return 1;
}

int Linker::readLibraryFiles(String& err) {
  if (!cLocated && !locateAll(cLibraryFile, cLibPath, false, err)) return 0;
  for (const String& name : cLibraryFile) {
    std::unique_ptr<Archive> archive = Archive::make(name);
    if (!archive) return 0;
    cArchive.push_back(std::move(archive));
  }
  return 1;
}

// One member per pass: for the smallest undefined name that some library
// holds, the member of the first library that holds it. The name sets grow
// with each import instead of being rebuilt, which gives the same members in
// the same order at a cost of one walk over each input's symbols.
int Linker::importLibraryMembers(String&) {
  std::size_t symbols = 0;
  std::vector<const Coff*> files;
  files.reserve(cCoff.size());
  for (const auto& coff : cCoff) {
    symbols += coff->cSymbolTbl.size();
    files.push_back(coff.get());
  }
  ExternalNames names(symbols);
  names.add(files);

  const LibraryIndex libraries(cArchive);
  String name;
  while (names.next(name)) {
    Archive* holder = libraries.holderOf(name);
    if (!holder) {
      names.noLibraryHolds(name);
      continue;
    }
    // The member moves into the link: the library is never read again,
    // and every name the member defines is settled by its import, so no
    // later pass asks for it again. A member is as untrusted as any object
    // file; the verifier reports what it finds itself.
    std::unique_ptr<Coff> member = holder->takeMember(name);
    if (!member || !member->verify()) return 0;
    names.add(*member);
    cCoff.push_back(std::move(member));
    // The index and the walk above share one definition test, so the name
    // is settled now; anything else would import the same member forever.
    if (names.isPending(name)) {
      TOOL_ASSERT(!names.isPending(name));
      return 0;
    }
  }
  // Nothing reads the libraries again: the members left behind give their
  // memory to the phases that follow.
  for (auto& archive : cArchive) archive->releaseMembers();
  return 1;
}

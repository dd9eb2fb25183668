// Sets up a link for tests: a fresh directory (the current directory while
// the fixture lives) holding fixture-built objects and libraries and a
// linker command file read by the real parser, then runs the link phases up
// to a chosen one.
//
//   linktest::LinkFixture f;
//   fixtures::CoffBuilder main("main.o");
//   main.processor(0xC001);
//   main.section(".code", scnCode, 0, {1, 2, 3, 4});
//   f.object("main.o", main);
//   ASSERT_TRUE(f.commands("FILES main.o\nCODEPAGE NAME=page START=0 END=0xFF\n"));
//   ASSERT_TRUE(f.run(linktest::Phase::MapSections)) << f.error();
//   Memory* m = LinkerTestAccess::scnMem(f.linker()).at(".code");
//
// Libraries are looked for in the LIBPATH directories only, never in the
// current directory: name them with a directory ("./util.lib") or give
// "LIBPATH .". Diagnostics printed by the phases are captured (output());
// the error counters are reset when the fixture is made and destroyed.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fixtures/coff_builder.h"
#include "linker.h"
#include "support/harness.h"

// The linker's state, for tests (the Linker names this struct its friend).
struct LinkerTestAccess {
  // References to the members, of the types linker.h gives them.
  static auto& coffs(Linker& l) { return l.cCoff; }
  static auto& archives(Linker& l) { return l.cArchive; }
  static auto& objectFiles(Linker& l) { return l.cObjectFile; }
  static auto& libraryFiles(Linker& l) { return l.cLibraryFile; }
  static auto& codePages(Linker& l) { return l.cCodePage; }
  static auto& dataBanks(Linker& l) { return l.cDataBanks; }
  static auto& shareBanks(Linker& l) { return l.cShareBanks; }
  static auto& accessBanks(Linker& l) { return l.cAccessBanks; }
  static auto& processor(Linker& l) { return l.cProcessor; }
  static auto& family(Linker& l) { return l.cFamily; }
  static auto& romWidthBits(Linker& l) { return l.cRomWidthBits; }
  static auto& ramWidthBits(Linker& l) { return l.cRamWidthBits; }
  static auto& scnSize(Linker& l) { return l.cScnSize; }
  static auto& scnType(Linker& l) { return l.cScnType; }
  static auto& scnAbs(Linker& l) { return l.cScnAbs; }
  static auto& scnShare(Linker& l) { return l.cScnShare; }
  static auto& scnOverlay(Linker& l) { return l.cScnOverlay; }
  static auto& scnAccess(Linker& l) { return l.cScnAccess; }
  static auto& scnAbsStart(Linker& l) { return l.cScnAbsStart; }
  static auto& scnAbsSize(Linker& l) { return l.cScnAbsSize; }
  static auto& scnMem(Linker& l) { return l.cScnMem; }
  static auto& extSymDef(Linker& l) { return l.cExtSymDef; }
  // The definition the table holds for a name, found as resolution finds it.
  static Linker::ExtSymRef extSymDefOf(Linker& l, const String& name) {
    const Linker::ExtSymRef* ref = l.cExtSymDef.find(l.nameKey(name));
    return ref ? *ref : Linker::ExtSymRef{};
  }
  static auto& symIndex(Linker& l) { return l.cSymIndex; }
  static auto& initTable(Linker& l) { return l.cInitTable; }
  static auto& cinitSymbol(Linker& l) { return l.cCinitSymbol; }
  static auto& stackSymbol(Linker& l) { return l.cStackSymbol; }
  static auto& stksizeSymbol(Linker& l) { return l.cStksizeSymbol; }
  static auto& output(Linker& l) { return l.cOutput; }
  static auto& fillCount(Linker& l) { return l.cFillCount; }

  static uint64_t scaleRomSize(const Linker& l, uint64_t bytes) { return l.scaleRomSize(bytes); }
  static String stripInitSuffix(const String& name) { return Linker::stripInitSuffix(name); }
  static uint64_t initTableSize(const Linker& l) { return l.initTableSize(); }
};

namespace linktest {

// The link phases in driver order (the error map file is left out).
enum class Phase {
  ReadObjectFiles,
  ReadLibraryFiles,
  ImportLibraryMembers,
  VerifyProcessor,
  BuildScnTables,
  VerifyMemoryAttributes,
  MapSections,
  VerifyOutputScnCount,
  LoadSections,
  BuildInitTable,
  RelocateSymbols,
  RelocateLineInfo,
  MergeStringTbls,
  BuildExtSymDef,
  ResolveExternals,
  VerifyRelocations,
  PatchSections,
};

const char* phaseName(Phase phase);

class LinkFixture {
 public:
  explicit LinkFixture(const std::string& tag = "link");
  ~LinkFixture();
  LinkFixture(const LinkFixture&) = delete;
  LinkFixture& operator=(const LinkFixture&) = delete;

  const std::string& dir() const { return cDir; }
  // dir() + "/" + relPath.
  std::string path(const std::string& relPath) const;

  // Writes an object file at relPath (directories made as needed).
  void object(const std::string& relPath, const fixtures::CoffBuilder& b) const;
  // Writes a library at relPath; each member is named by its builder's file
  // name and holds the builder's image.
  void library(const std::string& relPath,
               const std::vector<const fixtures::CoffBuilder*>& members) const;
  // Writes any file (text or bytes) at relPath.
  void file(const std::string& relPath, const std::string& bytes) const;

  // Writes text as the command file name and reads it into the linker.
  // False when the parser refused a line; its message is then error().
  bool commands(const std::string& text, const std::string& name = "link.lkr");

  // Runs the phases not run yet, through last (so a test can stop, look,
  // and carry on). False when one failed:
  // failedPhase() names it and error() holds its message (empty when the
  // phase reported its own error; see output()).
  bool run(Phase last);
  // Runs just one phase.
  bool runPhase(Phase phase);

  Linker& linker() { return *cLinker; }
  const std::string& error() const { return cError; }
  Phase failedPhase() const { return cFailed; }
  // Everything printed so far (diagnostics included).
  std::string output() const { return cCapture->text(); }

 private:
  std::string cDir;
  std::string cOldDir;
  std::unique_ptr<testing_support::DiagnosticsScope> cScope;
  std::unique_ptr<testing_support::OutputCapture> cCapture;
  std::unique_ptr<Linker> cLinker;
  std::string cError;
  Phase cFailed = Phase::ReadObjectFiles;
  int cNext = 0;  // the first phase not run yet
};

// Memory of a placed section, or null.
Memory* memoryOf(Linker& l, const String& secName);
// Start (locations) of a placed section; -1 when it was not placed.
long long startOf(Linker& l, const String& secName);

}  // namespace linktest

// Everything one link needs: the settings and memories declared on the
// command line and in the linker command files, the inputs, the per-section
// tables built while linking and the output image. The directive operations
// check each declaration against what is already declared; the link phases
// live in their own source files.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <ostream>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "archive.h"
#include "coff.h"
#include "devtab.h"
#include "diagnostics.h"
#include "directives.h"
#include "flatmap.h"
#include "memtarg.h"

class Linker : public LinkerDirectives {
 public:
  Linker();
  ~Linker() override;
  Linker(const Linker&) = delete;
  Linker& operator=(const Linker&) = delete;

  int setMinHeapSize(uint32_t size, String& err) override;
  int setMapFile(const String& name, String& err) override;
  int setOutputFile(const String& name, String& err) override;
  int addObjectFile(const String& name, String& err) override;
  int addLibraryFile(const String& name, String& err) override;
  int addCodePage(const Memory& memory, String& err) override;
  int addDataBank(const Memory& memory, String& err) override;
  int addShareBank(const Memory& memory, String& err) override;
  int addAccessBank(const Memory& memory, String& err) override;
  int addSectionDesc(const SectionDesc& desc, String& err) override;
  int setStackDesc(const StackDesc& desc, String& err) override;
  int addLibPath(const String& dir, String& err) override;
  int setStrip(int flag, String& err) override;

  // Runs one link: the phases below in order, stopping at the first that
  // fails, then lays out, verifies and writes the output (link.cpp).
  int link(String& err);
  // The command files read, as the parser found them: inputs too.
  void setCommandFiles(const std::list<String>& files) { cCommandFiles = files; }

  // Sum of the CODEPAGE sizes in locations.
  uint32_t programMemorySize() const;
  enum MemType { rom, ram };
  // Bytes per location of program (rom) or data (ram) memory.
  uint32_t bytesPerWord(MemType memType) const;

  // Link phases; each returns 1 or 0 with its message in err.
  // Inputs and library import (inputs.cpp).
  // Finds every object file and library once, for the output check and
  // for reading (which finds them itself when this was not run).
  int locateInputs(String& err);
  // No output lands on an input or on the other output.
  int checkOutputs(String& err);
  int readObjectFiles(String& err);
  int readLibraryFiles(String& err);
  int importLibraryMembers(String& err);
  // Consistency checks (checks.cpp).
  int verifyProcessor(String& err);
  int buildScnTables(String& err);
  int verifyMemoryAttributes(String& err);
  // Placement (allocate.cpp) and the error map file (errmap.cpp).
  int mapSections(String& err);
  // The partial map is composed right after mapping and written only
  // should the link fail after it.
  void composeErrorMap();
  int writeErrorMapFile(String& err);
  int loadSections(String& err);
  // Stack and initialisation table (cinit.cpp).
  int buildInitTable(String& err);
  // Symbol and line relocation, string merge (relocate.cpp).
  int relocateSymbols(String& err);
  int relocateLineInfo(String& err);
  int mergeStringTbls(String& err);
  // External resolution (resolve.cpp).
  int buildExtSymDef(String& err);
  int resolveExternals(String& err);
  // Relocation patching (patch.cpp, one patch_core_*.cpp per family).
  int verifyRelocations(String& err);
  int patchSections(String& err);
  // Output building (output.cpp) and program memory fill (fill.cpp).
  // Refuses, once the sections are placed and before anything is written,
  // an output with more sections than a symbol's signed 16-bit section
  // number can name.
  int verifyOutputScnCount(String& err);
  // Refuses, at the same point, an output whose section data alone would
  // make it larger than any program of the tool chain reads.
  int verifyOutputSize(String& err);
  int buildOutputScnNum(String& err);
  int buildOutputSymbolTbl(String& err);
  int buildOutputRawData(String& err);
  int buildOutputLineInfo(String& err);
  int buildOutputStringTbl(String& err);
  int buildOutputScnHdrs(String& err);
  int buildOutputFileHdr(String& err);
  // The phases after mapping, up to the written outputs.
  int buildAndWrite(String& err);
  // The executable and the map, put in place together (link.cpp).
  int writeOutputs();
  int buildOutputHoles(String& err);

  // Output sections are numbered from 1 up to this.
  static constexpr int kMaxOutputSections = INT16_MAX;

  // Debugging dump of the members.
  void print(std::ostream& os) const;

  // Read-only views of the declarations.
  int minHeapSizeSet() const { return cMinHeapSizeSet; }
  uint32_t getMinHeapSize() const { return cMinHeapSize; }
  int stackDescSet() const { return cStackDescSet; }
  const StackDesc& getStackDesc() const { return cStackDesc; }
  const String& getMapFile() const { return cMapFile; }
  const String& getOutputFile() const { return cOutputFile; }
  const std::list<String>& getObjectFiles() const { return cObjectFile; }
  const std::list<String>& getLibraryFiles() const { return cLibraryFile; }
  const std::list<Memory>& getCodePages() const { return cCodePage; }
  const std::list<Memory>& getShareBanks() const { return cShareBanks; }
  const std::list<SectionDesc>& getSectionDescs() const { return cSectionDesc; }
  const std::list<String>& getLibPaths() const { return cLibPath; }
  int getStrip() const { return cStrip; }

 private:
  // Tests look at the state the phases build.
  friend struct LinkerTestAccess;

  // Memory names are unique across the four kinds; a SHAREBANK may repeat
  // its own name when exceptShareBanks is set.
  int checkDuplicateMemory(const Memory& memory, int exceptShareBanks, String& err) const;
  int checkCodePageOverlap(const Memory& memory, String& err) const;
  // Data banks, share banks and access banks share one address space.
  int checkDataMemoryOverlap(const Memory& memory, String& err) const;
  // 1 when a DATABANK, SHAREBANK or ACCESSBANK has the name.
  int isDataMemory(const String& name) const;
  // The memories declared so far by name and by address, so that a memory
  // directive is checked without walking every memory before it. A kind is
  // one bit; a run is a memory that holds a location, keyed by its start
  // (the runs of one address space are disjoint).
  enum MemoryKind : unsigned { kindCode = 1, kindData = 2, kindShare = 4, kindAccess = 8 };
  struct MemoryRun {
    uint32_t end;
    unsigned rank;       // the order the overlap checks walk the memories in
    std::size_t order;   // position in the memory's list
    String name;
  };
  void recordMemory(const Memory& memory, MemoryKind kind, std::list<Memory>& memories);
  std::map<String, unsigned> cMemoryNameKinds;
  std::map<uint32_t, MemoryRun> cCodeRuns;
  std::map<uint32_t, MemoryRun> cDataRuns;
  std::map<String, uint64_t> cShareBankSizes;

  // Section allocation helpers (allocate.cpp). Lengths are bytes; an image
  // of a big data section may need more than 32 bits.
  int refuseLinkerSectionNames(String& err) const;
  std::list<Memory>& memoryListOf(const String& secName);
  int allocateAbsolute(const String& secName, String& err);
  int allocateAbsAssigned(std::list<Memory>& memories, const String& memName,
                          const String& secName, uint32_t start, uint32_t length, int overlay,
                          String& err);
  int allocateAbsUnassigned(std::list<Memory>& memories, const String& secName, uint32_t start,
                            uint32_t length, int overlay, String& err);
  int allocateRelAssigned(std::list<Memory>& memories, const String& memName,
                          const String& secName, uint64_t length, int overlay, String& err);
  int allocateRelUnassigned(std::list<Memory>& memories, const String& secName, uint64_t length,
                            int overlay, String& err);
  // Each memory list's lookups (made on first use in mapSections), kept up
  // to date by every allocation from then on.
  std::map<const std::list<Memory>*, MemoryListIndex> cMemoryIndexes;
  MemoryListIndex& indexOf(std::list<Memory>& memories);
  void noteAllocation(std::list<Memory>& memories, Memory& memory);
  int allocateInitImage(const String& name, String& err);
  uint16_t alignmentOf(const String& secName) const;
  uint64_t scaleRomSize(uint64_t bytes) const;
  static String initImageName(const String& name);
  static String stripInitSuffix(const String& name);
  // The SECTION directive of a section, or null (index built on first use).
  const SectionDesc* findSectionDesc(const String& name);
  std::map<String, const SectionDesc*> cSectionDescIndex;
  // Stack and initialisation table helpers (cinit.cpp).
  int stackHasRunMemory() const;
  int allocateStack(String& err);
  int hasCinitSectionDesc();
  // 1 when the table needs 32-bit fields for the processor's addresses.
  int initTableIsWide() const;
  uint64_t initTableSize() const;
  int allocateInitTable(String& err);
  // Symbol relocation, string merge and resolution helpers (relocate.cpp,
  // resolve.cpp). An input's long names are renumbered into the merged table:
  // old and merged hold the file's own offset of each of its strings, in
  // table order, and the merged offset of each; order lists their indices
  // in merged order. The scratch space is kept from one input to the next.
  struct MergeScratch;
  void replaceStringTbl(Coff& coff, const uint32_t* old, const uint32_t* merged,
                        const uint32_t* order, MergeScratch& scratch);
  // An external definition: the record itself, in an input's cSymbolTbl or
  // one of the linker's own (cCinitSymbol, cStackSymbol, cStksizeSymbol).
  // The table lives from the definitions to the resolution, while no
  // symbol table grows, so the records stay where they are.
  using ExtSymRef = const SymRecord*;
  // A name as resolution compares names, without spelling it out: an inline
  // name by its bytes up to the first zero, a long one by its offset in the
  // merged string table, where equal strings share one offset. A long name
  // of at most eight characters keys as the inline name it equals.
  // Twelve bytes, so that with its table's tag and record pointer a slot of
  // cExtSymDef takes 24 bytes, not 32.
  struct __attribute__((packed, aligned(4))) NameKey {
    uint64_t value = 0;
    uint32_t isOffset = 0;
    bool operator==(const NameKey& o) const { return value == o.value && isOffset == o.isOffset; }
  };
  static_assert(sizeof(NameKey) == 12, "a key packs into twelve bytes");
  struct NameKeyHash {
    std::size_t operator()(const NameKey& k) const {
      uint64_t h = (k.value ^ (uint64_t(k.isOffset) << 63)) * 0x9E3779B97F4A7C15ull;
      return static_cast<std::size_t>(h ^ (h >> 29));
    }
  };
  static NameKey inlineKey(const char* text, std::size_t length);
  struct KeyedSymbol;  // a key with its hash and its record's place
  // Keys the symbols of coff that wanted accepts, in their order, and asks
  // for each one's slot of cExtSymDef ahead of its probe.
  void keySymbols(const Coff& coff, bool (*wanted)(const syment&),
                  std::vector<KeyedSymbol>& keyed) const;
  // The key of a symbol's name; valid once the string tables are merged.
  NameKey nameKey(const syment& sym) const;
  // The key of a name the linker spells itself.
  NameKey nameKey(const String& name) const;
  // Merged offsets of the long names of at most eight characters, with
  // their inline keys (hardly ever any).
  std::unordered_map<uint32_t, uint64_t> cShortLongNames;
  // Output helpers (output.cpp, fill.cpp).
  // Appends a string to the output string table at its next free offset.
  uint32_t appendOutputString(const String& text);
  // One fill section per free range; 0 with err set for a range the
  // pattern or the address space cannot take.
  int buildOutputHole(const Memory& memory, uint32_t first, uint32_t last, const String& fill,
                      String& err);
  static void buildOutputHoleCallback(void* user, const Memory& memory, uint32_t first,
                                      uint32_t last, const String& fill);

  int cMinHeapSizeSet;
  int cStackDescSet;
  uint32_t cMinHeapSize;
  StackDesc cStackDesc;
  String cStackName;
  String cMapFile;
  String cOutputFile;
  std::list<String> cObjectFile;
  std::list<String> cLibraryFile;
  // The same names as given, before locateInputs made them paths.
  std::list<String> cObjectNames;
  std::list<String> cLibraryNames;
  std::list<String> cCommandFiles;
  bool cLocated = false;  // locateInputs done: the two lists hold paths
  // The partial map's text, and whether the map file failed already.
  String cErrorMap;
  bool cMapFailed = false;
  // The names as added to the two lists, so a repeated name is found
  // without a walk over all the others.
  std::unordered_set<String> cObjectFileNames;
  std::unordered_set<String> cLibraryFileNames;
  // Lists, so that pointers into them (cScnMem) stay valid.
  std::list<Memory> cCodePage;
  std::list<Memory> cDataBanks;
  std::list<Memory> cShareBanks;
  std::list<Memory> cAccessBanks;
  std::list<SectionDesc> cSectionDesc;
  // The names of cSectionDesc, so a repeated SECTION is found without a
  // walk over all the others.
  std::unordered_set<String> cSectionDescNames;
  std::list<String> cLibPath;
  int cStrip;
  std::vector<std::unique_ptr<Archive>> cArchive;
  std::vector<std::unique_ptr<Coff>> cCoff;
  Coff cOutput;
  uint16_t cRomWidthBits;
  uint16_t cRamWidthBits;
  ProcId cProcessor;
  CoreFamily cFamily;
  std::map<String, uint32_t> cScnSize;
  std::map<String, char> cScnType;
  std::map<String, int> cScnAbs;
  std::map<String, int> cScnShare;
  std::map<String, int> cScnOverlay;
  std::map<String, int> cScnAccess;
  std::map<String, uint32_t> cScnAbsStart;
  std::map<String, uint32_t> cScnAbsSize;
  // Not owned: each points into one of the four memory lists.
  std::map<String, Memory*> cScnMem;
  // Only ever looked up by name, never walked in order.
  FlatMap<NameKey, ExtSymRef, NameKeyHash> cExtSymDef;
  // Output symbol index of each input's first record, by input position
  // (two inputs may share a file name).
  std::vector<uint32_t> cSymIndex;
  String cCinitName;
  Data cInitTable;
  SymRecord cCinitSymbol;
  SymRecord cStackSymbol;
  SymRecord cStksizeSymbol;
  int cFillCount;
};

// The message for an executable larger than the tool chain's readers take:
// exactly bytes long, or at least that when atLeast.
String outputTooLarge(const String& name, uint64_t bytes, bool atLeast);

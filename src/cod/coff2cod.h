// Conversion of a linked COFF executable into the tables of a COD file,
// and the listing file written on the way.
//
// init() runs the steps in a fixed order: the line map, directory 0, the
// code blocks and memory map of every 64 KB window, the source names, the
// symbols, and (unless told not to) the listing, which adds the line
// records: walked once without output to count the blocks they take, then
// written. The caller then runs preWrite() and write() of Cod.
//
// Symbol-table walks pair every record with its auxiliary entry through
// the reader's cAuxKind, so an auxiliary entry is never taken for a symbol.
#pragma once

#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include "cod.h"
#include "coff.h"
#include "devtab.h"
#include "replacement.h"

// One COFF line record of a code section, with the section it belongs to.
struct LstLine {
  String cScnName;
  coff_lineno cLine;
};

class Coff2Cod : public Cod {
 public:
  Coff2Cod() = default;
  ~Coff2Cod() override;
  Coff2Cod(const Coff2Cod&) = delete;
  Coff2Cod& operator=(const Coff2Cod&) = delete;

  // Builds every table from coff (which must stay alive until init returns)
  // and, unless noListing is set, writes the listing beside the executable,
  // to be put in place by write together with the COD file.
  // pageLength is the number of rows per listing page, 0 for no page
  // breaks. Null after reporting why.
  Coff2Cod* init(const Coff& coff, uint32_t pageLength, bool noListing);

  // Writes the COD file and puts it and the listing in place together:
  // both or neither. True on success.
  bool write();

  // --- The steps of init, in their order ---

  void buildLineMap(const Coff& coff);
  // Directory 0 with the identity fields, and the name of the file to write
  // (the executable's base name and ".cod", in the current directory).
  void setupDirectory(const Coff& coff);
  // False (after an error) when there is no code or ROM-data section with
  // data, or a section lies beyond the 32-bit byte address space.
  bool createRawDataAndMemoryMap(const Coff& coff);
  void createSourceNames(const Coff& coff);
  void createSymbols(const Coff& coff);

  // --- The listing ---

  // False (after the error) when the COD file would need more blocks than
  // 16-bit numbers reach once the listing has added its line records, so
  // that neither file is written. Counts them with countListingLineRecords
  // unless an upper bound of them (lineRecordBound) already fits.
  bool listingFitsCodFile(const Coff& coff);
  // Walks the listing as createListFile will, writing and reporting
  // nothing, and gives the line records each directory then holds.
  std::vector<size_t> countListingLineRecords(const Coff& coff);
  // At least as many line records per directory as the listing can give:
  // a row for every line of a source (which has no more lines than bytes)
  // and for every COFF line record, and a header for every page. False when
  // a source is no regular file, so that its size bounds nothing.
  bool lineRecordBound(const Coff& coff, std::vector<size_t>& bound) const;
  // False (after an error) when the file cannot be created or written.
  bool createListFile(const Coff& coff);
  // Lists the source of the first ".file" symbol at or after index; 1 when
  // it was listed (index then at its ".eof"), 0 when its source cannot be
  // opened (index then one past its ".file").
  int doNextFile(const Coff& coff, uint32_t& index);
  void writeListHeader(bool first);
  void nextListLine();
  // True and index at the first listable ".file" symbol at or after index.
  bool findFile(const Coff& coff, uint32_t& index) const;
  // index at a ".file" symbol: true and index at the ".eof" that closes that
  // file (the files it includes are stepped over with their own ".eof");
  // false when there is none, index then at the end of the table.
  bool findEof(const Coff& coff, uint32_t& index) const;
  // Switches the listing on or off when a ".list" or ".nolist" of the file
  // whose symbols continue at start names line.
  void checkListControl(const Coff& coff, uint32_t start, uint32_t line);
  // True when the file whose symbols continue at start includes a file at
  // line; found is then the index of the included file's ".file" symbol.
  // Only the next ".file" before a ".eof" is looked at.
  bool hasInclude(const Coff& coff, uint32_t start, uint32_t line, uint32_t& found) const;

  // The processor of coff's optional header, which must be known
  // (procIsKnownCoffType); and the bytes of one program-memory location.
  static ProcId processorOf(const Coff& coff);
  static uint32_t bytesPerWord(const Coff& coff);

  // Name of the listing: beside the executable, its base name and ".lst".
  static String listFileName(const Coff& coff);
  // Name of the COD file: in the current directory, the base name and ".cod".
  static String codFileName(const Coff& coff);

  // --- State ---

  uint32_t cPageLength = 0;
  // Symbol index of each ".file" symbol to its source file number.
  std::map<uint32_t, uint32_t> cFileNumbers;
  // l_srcndx to line number to the line records of that line, in order.
  std::map<uint32_t, std::map<uint32_t, std::list<LstLine>>> cLine;

 private:
  // What the listing's scans need to know of one symbol-table record.
  enum class Mark { aux, file, eof, list, nolist, other };

  bool checkInput(const Coff& coff, bool noListing) const;
  void markSymbols(const Coff& coff);
  Mark markAt(uint32_t index) const;
  bool put(const String& text);
  // Appends a line record to directory dir (only counts it while the
  // listing is measured); a file numbered past what FileNum holds gets none.
  void addLineRecord(size_t dir, uint32_t fileNum, uint8_t flags, uint32_t line,
                     uint16_t address);
  void addHeaderLine();
  void writeRow(const String& address, const String& value, const String& disassembly,
                const String& source, const String& file);

  // Listing state.
  std::unique_ptr<replacement::OutputFile> cListOutput;  // written whole, then kept to commit
  // The COD file, opened before the listing is written, so that a COD file
  // that cannot be made costs no listing.
  std::unique_ptr<replacement::OutputFile> cCodOutput;
  FILE* cListFile = nullptr;                              // its stream
  String cListName;
  bool cListFailed = false;
  bool cListOn = true;
  unsigned cIncludeDepth = 0;
  uint64_t cRowCount = 0;
  bool cHaveTime = false;
  String cHeaderTime;
  std::vector<Mark> cMarks;
  // For each index, the first ".file" or ".eof" at or after it (the size of
  // the table when there is none): where the scans of the list control and
  // the include test stop.
  std::vector<uint32_t> cNextStop;
  // Every ".list" and ".nolist", ordered by the stop that ends its stretch
  // of the table, then by its value (the line it names), then by index.
  struct ListControl {
    uint32_t stop;
    uint32_t line;
    uint32_t index;
    bool on;
    bool operator<(const ListControl& o) const {
      if (stop != o.stop) return stop < o.stop;
      if (line != o.line) return line < o.line;
      return index < o.index;
    }
  };
  std::vector<ListControl> cListControls;
  // While the listing is measured: nothing is written or reported, and the
  // line records are only counted, per directory.
  bool cMeasuring = false;
  std::vector<size_t> cLineCounts;
};

// Conversion of a linked COFF executable into the tables of a COD file,
// and the listing file written on the way.
//
// init() runs the steps in a fixed order: the line map, directory 0, the
// code blocks and memory map of every 64 KB window, the source names, the
// symbols, and (unless told not to) the listing, which adds the line
// records and is kept only when the COD file can number the blocks they
// take. The caller then runs preWrite() and write() of Cod.
//
// Symbol-table walks pair every record with its auxiliary entry through
// the reader's cAuxKind, so an auxiliary entry is never taken for a symbol.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "cod.h"
#include "coff.h"
#include "devtab.h"
#include "replacement.h"

// A code section that line records point into.
struct LstSection {
  String cName;
  uint32_t cAddress;  // s_paddr
  const Data* cData;  // the executable's own; null when it has none
};

// One COFF line record of a code section.
struct LstLine {
  uint32_t cFile;     // l_srcndx: the symbol index of the file's ".file"
  uint32_t cLineNo;   // l_lnno
  uint32_t cAddress;  // l_paddr
  uint32_t cSection;  // in cLineSections
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

  // False (after an error) when the file cannot be created or written, or
  // when its line records would take the COD file past the blocks it can
  // number; the old listing then stays as it was.
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
  // The line records of every code section, ordered by file and line; the
  // records of one line keep the order of their sections and of the file.
  // Their sections' data is the executable's, used while init runs.
  std::vector<LstLine> cLine;
  std::vector<LstSection> cLineSections;

 private:
  // What the listing's scans need to know of one symbol-table record.
  enum class Mark { aux, file, eof, list, nolist, other };

  bool checkInput(const Coff& coff, bool noListing) const;
  void markSymbols(const Coff& coff);
  // The listing is gathered in cListOut and written a buffer at a time.
  // put is false once a write failed (reported once, by listWriteFailed).
  // Inline, as the buffer's put: a row is a few pieces.
  bool put(std::string_view text) {
    if (cListFailed) return false;
    if (!cListOut.put(text)) listWriteFailed();
    return !cListFailed;
  }
  void putPadded(std::string_view text, size_t width);
  void listWriteFailed();
  // Appends a line record to directory dir (only counts it while the
  // listing is measured); a file numbered past what FileNum holds gets none.
  void addLineRecord(size_t dir, uint32_t fileNum, uint8_t flags, uint32_t line,
                     uint16_t address);
  void addHeaderLine();
  // A row with the address, program word and disassembly of one line
  // record, and one of a line without code; source and file are empty on
  // the second and later rows of a line.
  void writeCodeRow(uint32_t address, uint16_t word, const char* disassembly,
                    std::string_view source, std::string_view file);
  void writeSourceRow(std::string_view source, std::string_view file);
  // A row: the columns, the disassembly and the source line each padded to
  // its width, and the file name.
  void putRow(std::string_view columns, std::string_view disassembly, std::string_view source,
              std::string_view file);

  // Listing state.
  std::unique_ptr<replacement::OutputFile> cListOutput;  // written whole, then kept to commit
  // The COD file, opened before the listing is written, so that a COD file
  // that cannot be made costs no listing.
  std::unique_ptr<replacement::OutputFile> cCodOutput;
  String cListName;
  bool cListFailed = false;
  bool cListOn = true;
  bool cTraceIncludes = false;
  replacement::OutputBuffer cListOut{256 * 1024};  // the listing's rows, for its stream
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
};

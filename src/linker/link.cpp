// The link driver: the phases in their fixed order, the first failure
// ending the link with its message, then the output laid out, verified and
// written, and last the map file.
#include "linker.h"
#include "mapfile.h"
#include "platform.h"

int Linker::link(String& err) {
  // Phases whose outcome cannot stop the link report into this instead, so
  // that no stale text reaches main.
  String ignored;

  if (cOutputFile.empty()) cOutputFile = "a.out";
  const platform::Activity linking("linking executable", cOutputFile);
  if (!readObjectFiles(err)) return 0;
  if (!readLibraryFiles(err)) return 0;
  if (!importLibraryMembers(err)) return 0;
  if (!verifyProcessor(err)) return 0;
  if (!buildScnTables(err)) return 0;
  if (!verifyMemoryAttributes(err)) return 0;
  const int mapped = mapSections(err);
  // The fill sections are known once the sections are placed; an output
  // refused for its count or its size leaves no file behind, not even the
  // error map.
  if (mapped && (!verifyOutputScnCount(err) || !verifyOutputSize(err))) return 0;
  writeErrorMapFile(ignored);  // after a failed mapping too: it shows what did fit
  if (!mapped) return 0;
  if (!loadSections(err)) return 0;
  if (!buildInitTable(err)) return 0;
  if (!relocateSymbols(err)) return 0;
  if (!relocateLineInfo(err)) return 0;
  mergeStringTbls(ignored);
  if (!buildExtSymDef(err)) return 0;
  if (!resolveExternals(err)) return 0;
  if (!verifyRelocations(err)) return 0;
  if (!patchSections(err)) return 0;
  if (!buildOutputScnNum(err)) return 0;
  if (!buildOutputSymbolTbl(err)) return 0;
  if (!buildOutputRawData(err)) return 0;
  if (!buildOutputLineInfo(err)) return 0;
  if (!buildOutputStringTbl(err)) return 0;
  if (!buildOutputScnHdrs(err)) return 0;
  if (!buildOutputFileHdr(err)) return 0;
  if (!buildOutputHoles(err)) return 0;  // a fill beyond the program address space

  // Layout, verification and the writers report their own errors.
  if (!cOutput.preWrite()) return 0;
  // The symbols and line numbers, not counted before, may still take it
  // past what the readers take.
  if (cOutput.fullSize() > platform::kMaxInputSize) {
    err = outputTooLarge(cOutputFile, cOutput.fullSize(), false);
    return 0;
  }
  if (!cOutput.verify()) {
    err = "Internal Coff output file is corrupt.";
    return 0;
  }
  if (!cOutput.write()) return 0;
  if (!cMapFile.empty() && !MapFile::write(cMapFile, cOutput, programMemorySize())) return 0;
  return 1;
}

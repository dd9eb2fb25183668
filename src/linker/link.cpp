// The link driver: the phases in their fixed order, the first failure
// ending the link with its message, then the output laid out, verified and
// written together with the map file. A link that fails after mapping
// writes the partial map instead.
#include "linker.h"
#include "mapfile.h"
#include "platform.h"
#include "replacement.h"

int Linker::link(String& err) {
  // Phases whose outcome cannot stop the link report into this instead, so
  // that no stale text reaches main.
  String ignored;

  if (cOutputFile.empty()) cOutputFile = "a.out";
  const platform::Activity linking("linking executable", cOutputFile);
  if (!locateInputs(err)) return 0;
  if (!checkOutputs(err)) return 0;
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
  composeErrorMap();  // after a failed mapping too: it shows what did fit
  if (mapped && buildAndWrite(err)) return 1;
  writeErrorMapFile(ignored);
  return 0;
}

int Linker::buildAndWrite(String& err) {
  String ignored;
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
  return writeOutputs();
}

int Linker::writeOutputs() {
  // Both files are opened before either is written, and put in place
  // together: a map that cannot be made costs no executable.
  std::unique_ptr<replacement::OutputFile> map;
  if (!cMapFile.empty()) {
    map.reset(new replacement::OutputFile(platform::hostPath(cMapFile)));
    if (!MapFile::open(*map, cMapFile, "MapFile::write()")) {
      cMapFailed = true;
      return 0;
    }
  }
  replacement::OutputFile executable(platform::hostPath(cOutputFile));
  if (!cOutput.writeInto(executable)) return 0;
  if (map && !MapFile::write(*map, cMapFile, cOutput, programMemorySize())) {
    cMapFailed = true;
    return 0;
  }
  const replacement::OutputFile* failed = replacement::commitAll({&executable, map.get()});
  if (!failed) return 1;
  if (failed == &executable) {
    cOutput.reportCommitFailure(executable);
  } else {
    MapFile::reportCommitFailure(*failed, cMapFile, "MapFile::write()");
    cMapFailed = true;
  }
  return 0;
}

// The partial map, composed right after mapping and written when the link
// fails from there on, so that a user whose link fails for lack of space
// can see what went where. A successful link writes the full map instead.
#include <cstdio>
#include <sstream>

#include "banner.h"
#include "linker.h"
#include "mapfile.h"
#include "platform.h"

namespace {

void printGroup(std::ostream& os, const char* title, const std::list<Memory>& memories) {
  os << title << '\n';
  int header = 1;
  for (const Memory& m : memories) {
    m.printUsage(os, header);
    header = 0;
  }
  os << '\n';
}

}  // namespace

void Linker::composeErrorMap() {
  if (cMapFile.empty()) return;
  std::ostringstream text;
  text << linkerBanner();
  text << "\nLinker Error Map File - Created " << platform::ctimeText(platform::now());
  text << "\n*Warning* - This is only a partial map file due to a link time error.\n";
  text << "   Only sections which were allocated prior to the error are shown below.\n\n";
  printGroup(text, "CODEPAGES:", cCodePage);
  printGroup(text, "SHAREBANKS:", cShareBanks);
  printGroup(text, "DATABANKS:", cDataBanks);
  printGroup(text, "ACCESSBANKS:", cAccessBanks);
  cErrorMap = text.str();
}

// Its failures are reported here and counted; they never decide the link.
int Linker::writeErrorMapFile(String&) {
  // A map file that failed already was reported: it stays as it was.
  if (cMapFile.empty() || cMapFailed) return 1;
  if (cErrorMap.empty()) composeErrorMap();
  return MapFile::writeText(cMapFile, cErrorMap, "Linker::writeErrorMapFile()");
}

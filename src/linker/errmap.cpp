// The partial map written right after mapping, so that a user whose link
// fails for lack of space can see what went where. A successful link
// writes the full map over it.
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

// Its failures are reported here and counted; they never decide the link.
int Linker::writeErrorMapFile(String&) {
  if (cMapFile.empty()) return 1;

  std::ostringstream text;
  text << linkerBanner();
  text << "\nLinker Error Map File - Created " << platform::ctimeText(platform::now());
  text << "\n*Warning* - This is only a partial map file due to a link time error.\n";
  text << "   Only sections which were allocated prior to the error are shown below.\n\n";
  printGroup(text, "CODEPAGES:", cCodePage);
  printGroup(text, "SHAREBANKS:", cShareBanks);
  printGroup(text, "DATABANKS:", cDataBanks);
  printGroup(text, "ACCESSBANKS:", cAccessBanks);
  return MapFile::writeText(cMapFile, text.str(), "Linker::writeErrorMapFile()");
}

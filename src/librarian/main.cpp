// kesvo: creates, lists, changes and unpacks libraries of object files.
#include "archiver.h"
#include "arparser.h"
#include "banner.h"
#include "diagnostics.h"
#include "platform.h"

int main(int argc, char** argv) {
  platform::openStandardDescriptors();
  platform::tuneHeapForShortRun();
  platform::installEndHandlers();
  bindErrorStreamToStdout();
  Archiver archiver;
  if (hasQuietSwitch(argc, argv)) setQuiet(1);
  printStartBanner(librarianBanner());
  ArParser::parse(argc, argv, archiver);
  printSummaryAndExit(archiver.run() ? 0 : 1);
  return 1;
}

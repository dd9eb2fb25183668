// torvan: links object files and libraries under a linker command file into
// an executable, with a map file on request.
#include <cstring>
#include <iostream>

#include "banner.h"
#include "debug.h"
#include "diagnostics.h"
#include "linker.h"
#include "parser.h"
#include "platform.h"

namespace {

// Quiet mode is known before the banner only from these exact texts; a
// longer form such as -quiet takes effect when the command line reaches it.
bool isQuietText(const char* arg) {
  if (std::strcmp(arg, "-q") == 0 || std::strcmp(arg, "-Q") == 0) return true;
  return (std::strcmp(arg, "/q") == 0 || std::strcmp(arg, "/Q") == 0) && isSwitchArgument(arg);
}

}  // namespace

int main(int argc, char** argv) {
  platform::openStandardDescriptors();
  platform::tuneHeapForShortRun();
  platform::installEndHandlers();
  const DebugSwitch debug("debug", 0);
  bindErrorStreamToStdout();
  if (debug.isOn()) {
    DebugSwitch("MapFile::write", 1);
    DebugSwitch("Linker::importLibraryMembers", 1);
  }

  Linker linker;
  Parser parser;

  for (int i = 0; i < argc; ++i)
    if (isQuietText(argv[i])) setQuiet(1);
  printStartBanner(linkerBanner());
  if (debug.isOn())
    for (int i = 0; i < argc; ++i) std::cout << "_torvan: argv[" << i << "]='" << argv[i] << "'\n";

  parser.parseCommandLine(argc, argv, linker);
  linker.setCommandFiles(parser.cmdFiles());

  String err;
  const int linked = linker.link(err);
  if (debug.isOn()) linker.print(std::cout);
  if (!linked && !err.empty()) reportMessage(SevError, "main()", err, 0);
  printSummaryAndExit(linked ? 0 : 1);
  return linked ? 0 : 1;
}

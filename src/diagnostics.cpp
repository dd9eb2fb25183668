#include "diagnostics.h"

#include <cstring>
#include <iostream>

#include "platform.h"

namespace {
int gErrorCount = 0;
int gWarningCount = 0;
int gQuiet = 0;
int gVerbose = 0;
}  // namespace

void reportMessage(Severity severity, const String& context, const String& text, int fatal) {
  if (severity == SevWarning) {
    ++gWarningCount;
    if (!gQuiet) std::cerr << "Warning - ";
  } else {
    ++gErrorCount;
    if (!gQuiet) std::cerr << "Error - ";
  }
  if (!gQuiet) {
    std::cout.flush();
    std::cerr << text;
    if (gVerbose) std::cerr << " - " << context;
    std::cerr << '\n';
    std::cerr.flush();
  }
  if (fatal) printSummaryAndExit(255);
}

void reportStream(Severity severity, const String& context, std::ostringstream& s, int fatal) {
  String text = s.str();
  s.str(String());
  s.clear();
  reportMessage(severity, context, text, fatal);
}

void printSummaryAndExit(int status) {
  if (!gQuiet) {
    std::cout.flush();
    std::cerr << "Errors    : " << gErrorCount << '\n';
    std::cerr << "Warnings  : " << gWarningCount << '\n';
    std::cerr << '\n';
    std::cerr.flush();
  }
  platform::exitProcess(status);
}

void setQuiet(int quiet) { gQuiet = quiet; }
int isQuiet() { return gQuiet; }
void setVerbose(int verbose) { gVerbose = verbose; }
int getErrorCount() { return gErrorCount; }
int getWarningCount() { return gWarningCount; }

void resetDiagnostics() {
  gErrorCount = 0;
  gWarningCount = 0;
  gQuiet = 0;
  gVerbose = 0;
}

int hasQuietSwitch(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "-q") == 0 || std::strcmp(a, "/q") == 0 || std::strcmp(a, "-Q") == 0 ||
        std::strcmp(a, "/Q") == 0)
      return 1;
  }
  return 0;
}

void bindErrorStreamToStdout() { std::cerr.rdbuf(std::cout.rdbuf()); }
